// Writes the fitted picture as a single-image GIF89a file: the picture is
// reduced to at most 256 colours, stored in a 256-entry global colour table,
// and its indices, top row first, compressed with LZW at a minimum code size
// of 8. No extension blocks, no transparency, no interlace.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

#include <cstddef>
#include <cstdint>

// What a failed save leaves in errorCode.
enum GifWriterError : int32_t {
    kGifWriterOutOfMemory = kErrorOutOfMemory,
    kGifWriterCannotCreate = kErrorCannotCreateOutput,  // also a write that did not complete
    kGifWriterReductionFailed = kErrorConversionFailed,
};

class GifWriter : public CodecState {
public:
    static constexpr int32_t kLargestCode = 4095;

    uint8_t* indexBuffer = nullptr;     // 2 x imageSize: the reduced rows (bottom-up), then the code stream
    uint8_t* topDownIndices = nullptr;  // width x height, top row first
    uint8_t* lzwOutput = nullptr;
    size_t lzwLength = 0;
    uint32_t bitBuffer = 0;  // pending output bits, least significant first
    int32_t pendingBits = 0;
    int32_t codeMask[13] = {};
    int32_t clearCode = 256;
    int32_t endCode = 257;
    int32_t codeSize = 9;
    int32_t minCodeSize = 8;
    int32_t nextCode = 258;
    // The strings of the code table, found by (prefix code, last byte); open
    // addressing, emptied on every clear. Allocated per compression.
    uint32_t* stringSlots = nullptr;

    // No handles, no buffers, no error.
    void Reset();
    // Writes the picture (geometry already in width, height, sourceBitCount,
    // targetBitCount 8 and stride; bottom-up rows of an 8-bit picture with
    // palette, or of a 24-bit picture) to path; false with errorCode set.
    bool Save(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels);
    // Releases the buffers and closes the file.
    void Release();

    bool WriteHeader(uint8_t backgroundIndex);
    bool WriteColorTable(const RGBQUAD* palette);
    bool WriteImage();
    // Compresses count indices into lzwOutput; the number of bytes stored,
    // 0 when the string table could not be allocated.
    size_t Compress(const uint8_t* indices, size_t count);

private:
    void EmitCode(int32_t code);
    int32_t FindString(uint32_t key) const;
    void AddString(uint32_t key, int32_t code);
};
