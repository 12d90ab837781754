// The shared body of the reader fuzz targets: the input becomes a scratch
// file, one reader's load entry reads it, the picture is turned upright and
// converted to sRGB (so the orientation and profile parsers are in reach),
// and it is released as the batch driver would release it.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

int FuzzLoad(bool (*load)(LPCWSTR), const uint8_t* data, size_t size);
