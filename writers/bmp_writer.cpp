#include "writers/bmp_writer.h"

#include "engine/codec_set.h"

bool BmpWriter::WriteBytes(const void* bytes, DWORD count) {
    DWORD written = 0;
    return WriteFile(outputFile, bytes, count, &written, nullptr) && written == count;
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
    if (!WriteBytes(&fileHeader, 14) || !WriteBytes(&infoHeader, 40)) return -1;
    return tableBytes;
}

// Every write is checked: a short write (a full disk) must not pass for a
// finished picture, since the driver would copy it to its final name.
bool BmpWriter::Write(LPCWSTR path, const RGBQUAD* palette) {
    outputFile = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (outputFile == INVALID_HANDLE_VALUE) {
        errorCode = kErrorCannotCreateOutput;
        return false;
    }
    const int32_t tableBytes = WriteHeaders(imageSize);
    const bool written = tableBytes >= 0 && (tableBytes == 0 || WriteBytes(palette, static_cast<DWORD>(tableBytes))) &&
                         WriteBytes(fittedPicture.pixels, static_cast<DWORD>(imageSize));
    if (!written) errorCode = kErrorCannotCreateOutput;
    return written;
}

void BmpWriter::Release() { ReleaseHandles(); }

bool SaveBmp(LPCWSTR path) {
    BmpWriter& writer = *bmpWriter;
    writer.usePlainMemory = false;
    writer.ResetHandles();
    writer.xPelsPerMeter = 0;
    writer.yPelsPerMeter = 0;
    writer.width = fittedPicture.width;
    writer.height = fittedPicture.height;
    writer.sourceBitCount = writer.targetBitCount = fittedPicture.bitCount;
    ComputeStride(writer);
    const bool result = writer.Write(path, currentImage->palette);
    writer.Release();
    return result;
}
