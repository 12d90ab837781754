#include "core/codec_state.h"

#include "core/memory.h"

void CodecState::ResetHandles() {
    outputFile = INVALID_HANDLE_VALUE;
    inputFile = INVALID_HANDLE_VALUE;
    inputMapping = nullptr;
    inputView = nullptr;
    errorCode = kErrorNone;
}

void CodecState::ReleaseHandles() {
    if (inputView != nullptr) UnmapViewOfFile(inputView);
    if (inputMapping != nullptr) CloseHandle(inputMapping);
    if (inputFile != INVALID_HANDLE_VALUE) CloseHandle(inputFile);
    if (outputFile != INVALID_HANDLE_VALUE) CloseHandle(outputFile);
    inputView = nullptr;
    inputMapping = nullptr;
    inputFile = INVALID_HANDLE_VALUE;
    outputFile = INVALID_HANDLE_VALUE;
}

bool CodecState::CreateOutput(LPCWSTR path) {
    if (WriteProbe::Admit(WriteFault::Create))
        outputFile = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (outputFile != INVALID_HANDLE_VALUE) return true;
    errorCode = kErrorCannotCreateOutput;
    return false;
}

bool CodecState::WriteOutput(const void* bytes, DWORD count) {
    DWORD written = 0;
    if (WriteProbe::Admit(WriteFault::Write) && WriteFile(outputFile, bytes, count, &written, nullptr) &&
        written == count)
        return true;
    errorCode = kErrorCannotCreateOutput;
    return false;
}

const uint8_t* CodecState::Rows24(const RGBQUAD* palette, const uint8_t* pixels) {
    if (sourceBitCount != 8) return pixels;
    conversionBuffer = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(imageSize)));
    if (conversionBuffer == nullptr) {
        errorCode = kErrorOutOfMemory;
        return nullptr;
    }
    if (!Convert(nullptr, conversionBuffer, palette, pixels)) {
        errorCode = kErrorConversionFailed;
        return nullptr;
    }
    return conversionBuffer;
}

void ComputeStride(ColorReducer& state) {
    const int32_t width = state.width;
    int32_t rowBytes;
    bool padded = true;
    switch (state.targetBitCount) {
        case 1: rowBytes = (width + 7) >> 3; break;
        case 2: rowBytes = (width + 3) >> 2; break;
        case 4: rowBytes = (width + 1) >> 1; break;
        case 8: rowBytes = width; break;
        case 24: rowBytes = 3 * width; break;
        case 48:
            rowBytes = 6 * width;
            padded = false;
            break;
        default:
            rowBytes = 4 * width;
            padded = false;
            break;
    }
    state.rowBytes = rowBytes;
    state.stride = padded ? static_cast<int32_t>(PaddedRowBytes(width, state.targetBitCount)) : rowBytes;
    // A product beyond 32 bits saturates, and no page allocation accepts it.
    const int64_t size = static_cast<int64_t>(state.stride) * state.height;
    state.imageSize = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

void FillInfoHeader(BITMAPINFOHEADER& header, int32_t width, int32_t height, int32_t bitCount, int32_t xPelsPerMeter,
                    int32_t yPelsPerMeter, uint32_t colours) {
    header.biSize = 40;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(bitCount);
    header.biCompression = BI_RGB;
    header.biSizeImage = 0;
    header.biXPelsPerMeter = xPelsPerMeter;
    header.biYPelsPerMeter = yPelsPerMeter;
    header.biClrUsed = colours;
    header.biClrImportant = 0;
}
