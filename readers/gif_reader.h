// State of the GIF reader.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "engine/codec_state.h"

class GifReader : public CodecState {};
