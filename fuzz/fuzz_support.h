// The shared body of the reader fuzz targets: the input becomes a scratch
// file, one reader's load entry reads it, the picture is turned upright and
// converted to sRGB (so the orientation and profile parsers are in reach),
// and it is released as the batch driver would release it.
#pragma once

#include "engine/picture_context.h"

#include <cstddef>
#include <cstdint>

using LoadEntry = bool (*)(PictureContext& context, LPCWSTR path);
int FuzzLoad(LoadEntry load, const uint8_t* data, size_t size);
