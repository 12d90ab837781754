// State of the PNG reader.
#pragma once

#include "engine/codec_state.h"

class PngReader : public CodecState {};
