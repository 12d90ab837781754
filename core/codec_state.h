// The common part of every reader's and writer's state.
#pragma once

#include "core/color_reducer.h"
#include "core/picture_records.h"

#include <cstdint>

// Error codes shared by every codec; each codec's header adds its own.
enum CodecError : int32_t {
    kErrorNone = 0,
    kErrorOutOfMemory = 1,
    kErrorInvalidPicture = 2,
    kErrorCannotOpenInput = 4,
    kErrorCannotCreateOutput = 5,
    kErrorConversionFailed = 7,
};

class CodecState : public ColorReducer {
public:
    // Readers: set, pixels come from the page allocator; clear, from a DIB
    // section. Writers give it their own meaning.
    bool usePlainMemory = true;
    HANDLE outputFile = INVALID_HANDLE_VALUE;
    HANDLE inputFile = INVALID_HANDLE_VALUE;
    HANDLE inputMapping = nullptr;
    const uint8_t* inputView = nullptr;
    DecodedImage image{};
    int32_t errorCode = kErrorNone;
    // Test hook of the writers with a size limit: told of the quality of each
    // encode of the search.
    void (*qualityTrace)(int32_t quality) = nullptr;
    // A writer's 24-bit copy of an 8-bit picture, made by Rows24; the writer
    // releases it.
    uint8_t* conversionBuffer = nullptr;

    // The first step of every load or save: no handles, no error.
    void ResetHandles();
    // The last step of every load or save: unmap and close whatever is open.
    void ReleaseHandles();

    // A writer's output file, created anew; false with errorCode 5.
    bool CreateOutput(LPCWSTR path);
    // Every write of a writer goes through here: a short write (a full disk)
    // fails with errorCode 5, so a cut file never passes for a finished one.
    bool WriteOutput(const void* bytes, DWORD count);
    // The picture's rows in 24 bits, for a writer that takes nothing else:
    // pixels themselves, or conversionBuffer expanded from them through
    // palette; null with errorCode 1 or 7 on failure.
    const uint8_t* Rows24(const RGBQUAD* palette, const uint8_t* pixels);
    // Records code as the reason and returns false, for a failing step.
    bool Fail(int32_t code) {
        errorCode = code;
        return false;
    }
};

// The 40-byte header of an uncompressed bottom-up picture.
void FillInfoHeader(BITMAPINFOHEADER& header, int32_t width, int32_t height, int32_t bitCount, int32_t xPelsPerMeter,
                    int32_t yPelsPerMeter, uint32_t colours);

// rowBytes, stride and imageSize for width, height and targetBitCount.
void ComputeStride(ColorReducer& state);
