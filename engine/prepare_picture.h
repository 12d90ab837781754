// The step between decoding and fitting: the picture as it was meant to be
// seen, upright and in sRGB, as far as the settings ask.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/picture_records.h"
#include "engine/color_profile.h"

// What the step did, for a report.
struct PreparedNotes {
    int32_t turnedFrom = 1;  // the orientation the picture was turned upright from; 1 when not turned
    bool converted = false;  // the colours went from the embedded profile to sRGB
    WCHAR profileName[kProfileNameLength] = {};  // that profile's description
};

// Converts the picture to sRGB when toSrgb is set and turns it upright when
// autoRotate is; an upright picture without a profile costs nothing. False
// only when memory runs out for the turn: the picture then fails as one
// whose allocation failed (its blocks are still the caller's to release).
bool PreparePicture(DecodedImage& picture, bool autoRotate, bool toSrgb, PreparedNotes& notes);
