// Writes the fitted picture as an uncompressed bitmap: 8 bits with a
// 256-entry colour table, or 24 bits, rows bottom-up as they lie in memory.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

class BmpWriter : public CodecState {
public:
    BITMAPFILEHEADER fileHeader{};
    BITMAPINFOHEADER infoHeader{};
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;

    // No handles, no error, no resolution.
    void Reset();
    // Writes pixels (geometry in width, height, targetBitCount and imageSize)
    // with palette as the colour table of an 8-bit picture.
    bool Save(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels);
    // Fills and writes both headers; the colour-table bytes that follow, or
    // -1 when the write failed.
    int32_t WriteHeaders(int32_t pictureBytes);
    void Release();
};
