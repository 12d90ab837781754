// State of the PNG writer.
#pragma once

#include "engine/codec_state.h"

class PngWriter : public CodecState {};
