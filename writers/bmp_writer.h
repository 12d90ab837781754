// State of the BMP writer.
#pragma once

#include "engine/codec_state.h"

class BmpWriter : public CodecState {};
