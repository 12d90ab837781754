#include "codecs/writers/bmp_writer.h"

void BmpWriter::Reset() {
    usePlainMemory = false;
    ResetHandles();
    xPelsPerMeter = 0;
    yPelsPerMeter = 0;
}

int32_t BmpWriter::WriteHeaders(int32_t pictureBytes) {
    const int32_t colours = targetBitCount == 24 ? 0 : 1 << targetBitCount;
    const int32_t tableBytes = 4 * colours;
    fileHeader.bfType = 0x4D42;
    fileHeader.bfSize = static_cast<DWORD>(54 + tableBytes + pictureBytes);
    fileHeader.bfReserved1 = 0;
    fileHeader.bfReserved2 = 0;
    fileHeader.bfOffBits = static_cast<DWORD>(54 + tableBytes);
    FillInfoHeader(infoHeader, width, height, targetBitCount, xPelsPerMeter, yPelsPerMeter,
                   static_cast<DWORD>(colours));
    if (!WriteOutput(&fileHeader, 14) || !WriteOutput(&infoHeader, 40)) return -1;
    return tableBytes;
}

bool BmpWriter::Save(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels) {
    if (!CreateOutput(path)) return false;
    const int32_t tableBytes = WriteHeaders(imageSize);
    return tableBytes >= 0 && (tableBytes == 0 || WriteOutput(palette, static_cast<DWORD>(tableBytes))) &&
           WriteOutput(pixels, static_cast<DWORD>(imageSize));
}

void BmpWriter::Release() { ReleaseHandles(); }
