// State of the BMP reader.
#pragma once

#include "engine/codec_state.h"

class BmpReader : public CodecState {};
