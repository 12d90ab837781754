// State of the JPEG writer.
#pragma once

#include "engine/codec_state.h"

class JpegWriter : public CodecState {};
