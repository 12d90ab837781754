// Turning a decoded picture upright as its orientation says, by exact pixel
// moves: the picture that comes out is the one the camera showed, so its
// slots, crops and names are those of an upright file.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/picture_records.h"

// Turns an 8-bit or 24-bit picture upright and sets its orientation to 1; an
// upright picture (and any other depth) is left alone. Mirroring and the half
// turn (2, 3, 4) move pixels inside the picture's own block; the turns that
// swap width and height (5 to 8) copy it tile by tile into one new page block,
// which replaces the old, so for a moment the picture is held twice. False,
// the picture unchanged, only when that block cannot be allocated.
bool TurnUpright(DecodedImage& picture);
