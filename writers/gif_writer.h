// State of the GIF writer.
#pragma once

#include "engine/codec_state.h"

class GifWriter : public CodecState {};
