#include "engine/prepare_picture.h"

#include "engine/upright.h"

bool PreparePicture(DecodedImage& picture, bool autoRotate, bool toSrgb, PreparedNotes& notes) {
    notes = PreparedNotes{};
    // The colours first: the same work in any order, and the palette or rows
    // are where the reader left them.
    if (toSrgb) notes.converted = ConvertToSrgb(picture, notes.profileName);
    if (!autoRotate || picture.orientation == 1) return true;
    const int32_t orientation = picture.orientation;
    if (!TurnUpright(picture)) return false;
    if (picture.orientation == 1) notes.turnedFrom = orientation;
    return true;
}
