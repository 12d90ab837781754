// State of the JPEG reader.
#pragma once

#include "engine/codec_state.h"

class JpegReader : public CodecState {};
