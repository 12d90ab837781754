// Writes the fitted picture as an uncompressed bitmap: 8 bits with a
// 256-entry colour table, or 24 bits, rows bottom-up as they lie in memory.
#pragma once

#include "engine/codec_state.h"

class BmpWriter : public CodecState {
public:
    BITMAPFILEHEADER fileHeader{};
    BITMAPINFOHEADER infoHeader{};
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;

    bool Write(LPCWSTR path, const RGBQUAD* palette);
    // Fills and writes both headers; the colour-table bytes that follow, or
    // -1 when the write failed.
    int32_t WriteHeaders(int32_t pictureBytes);
    void Release();

private:
    bool WriteBytes(const void* bytes, DWORD count);
};

// The BMP entry of the output formats: FittedPicture with currentImage's palette.
bool SaveBmp(LPCWSTR path);
