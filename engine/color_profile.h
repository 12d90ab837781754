// Converting a decoded picture from its embedded ICC profile to sRGB with
// LittleCMS: perceptual intent, the library's own sRGB profile, 8-bit
// blue-green-red transforms in place, default flags. With these settings any
// program on the same library gets the same bytes.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/picture_records.h"

// Characters of a profile's description kept, the terminator among them.
constexpr int kProfileNameLength = 128;

// Converts a 24-bit picture's pixels, or an 8-bit picture's palette, from its
// profile to sRGB, and releases the profile, which no longer describes the
// picture; true then, with the profile's English description (control
// characters made spaces, empty when it has none) in name. False, the
// picture unchanged, when there is nothing to convert: no profile, a profile
// equivalent to sRGB (matrix and curves within what separates sRGB's usual
// encodings, no lookup table), a profile that is not RGB, not for images, or
// that LittleCMS refuses. Safe on several threads at once: each call has a
// LittleCMS context of its own, whose error log is silenced.
bool ConvertToSrgb(DecodedImage& picture, WCHAR (&name)[kProfileNameLength]);
