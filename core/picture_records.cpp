#include "core/picture_records.h"

#include "core/memory.h"

#include <cstring>

void DetachPicture(DecodedImage& image) {
    image.pixels = nullptr;
    image.iccProfile = nullptr;
    image.iccProfileSize = 0;
    image.orientation = 1;
}

void ReleasePicture(DecodedImage& image) {
    ReleaseAndClear(image.pixels);
    ReleaseIccProfile(image);
}

uint8_t* AllocateIccProfile(DecodedImage& image, uint32_t count) {
    if (count == 0 || count > kLargestIccProfile) return nullptr;
    auto* block = static_cast<uint8_t*>(AllocatePages(count));
    if (block == nullptr) return nullptr;
    ReleaseIccProfile(image);
    image.iccProfile = block;
    image.iccProfileSize = count;
    return block;
}

bool KeepIccProfile(DecodedImage& image, const uint8_t* bytes, uint32_t count) {
    if (count == 0 || count > kLargestIccProfile) return true;
    uint8_t* block = AllocateIccProfile(image, count);
    if (block == nullptr) return false;
    memcpy(block, bytes, count);
    return true;
}

void ReleaseIccProfile(DecodedImage& image) {
    ReleaseAndClear(image.iccProfile);
    image.iccProfileSize = 0;
}
