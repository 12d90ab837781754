// State of the GIF reader.
#pragma once

#include "engine/codec_state.h"

class GifReader : public CodecState {};
