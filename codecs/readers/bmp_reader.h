// Reads an uncompressed bitmap file with plain file reads and delivers 8-bit
// palette rows (1, 4 and 8 bits in the file) or 24-bit rows (16, 24, 32).
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

// What a failed decode leaves in errorCode.
enum BmpReaderError : int32_t {
    kBmpOutOfMemory = kErrorOutOfMemory,  // a page allocation failed
    // Size outside 1..kLargestBmpSide, a depth or compression not read, masks
    // that cannot be scaled, or pixel rows that start beyond the file.
    kBmpInvalidPicture = kErrorInvalidPicture,
    kBmpCannotOpen = kErrorCannotOpenInput,
    // Widening 1- or 4-bit rows failed; it shares the number of an input that
    // cannot be opened.
    kBmpConversionFailed = 4,
};

// Widest and tallest picture read; the largest buffer this allows (24-bit
// rows) stays below 2 GiB.
constexpr int32_t kLargestBmpSide = 25000;

class BmpReader : public CodecState {
public:
    BITMAPFILEHEADER fileHeader{};
    BITMAPINFOHEADER infoHeader{};
    uint32_t redMask = 0;
    uint32_t greenMask = 0;
    uint32_t blueMask = 0;

    // Clears both headers and the colour table before a decode.
    void Reset();
    // The decoded image, or null with errorCode set and no pixels held.
    DecodedImage* Decode(LPCWSTR path);
    // Closes what the decode opened; the decoded pixels stay.
    void Release();

private:
    // Reads up to bytes; a short file leaves the rest of the buffer as it was.
    void ReadSome(void* buffer, DWORD bytes);
    void ReadAt(uint32_t offset, void* buffer, DWORD bytes);
    bool DirectPath();
    bool LowDepthPath();
    bool MaskedPath();
};

// The reason a failed decode's errorCode names, as reports print it.
const char* BmpErrorText(int32_t code);
