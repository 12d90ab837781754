// Reads an uncompressed bitmap file with plain file reads and delivers 8-bit
// palette rows (1, 4 and 8 bits in the file) or 24-bit rows (16, 24, 32).
#pragma once

#include "engine/codec_state.h"

class BmpReader : public CodecState {
public:
    BITMAPFILEHEADER fileHeader{};
    BITMAPINFOHEADER infoHeader{};
    uint32_t redMask = 0;
    uint32_t greenMask = 0;
    uint32_t blueMask = 0;

    void Reset();
    // The decoded image, or null with errorCode set and no pixels held.
    DecodedImage* Decode(LPCWSTR path);
    void Release();

private:
    bool ReadExactly(void* buffer, DWORD bytes);
    bool ReadAt(uint32_t offset, void* buffer, DWORD bytes);
    bool DirectPath();
    bool LowDepthPath();
    bool MaskedPath();
};

constexpr int32_t kLargestBmpSide = 25000;
