// State of the TIFF reader.
#pragma once

#include "engine/codec_state.h"

class TiffReader : public CodecState {};
