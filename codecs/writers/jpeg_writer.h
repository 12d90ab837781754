// Writes the fitted picture as a baseline JPEG file with optimised Huffman
// tables, either at the configured quality or at the highest quality the
// search finds within a size limit.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

#include <cstdint>

// Bytes of the file destination's buffer: a wallpaper usually goes out in one
// or two writes.
constexpr uint32_t kJpegFileBufferBytes = 1048576;

class JpegWriter : public CodecState {
public:
    int32_t quality = 75;
    int32_t lumaHSampling = 2;
    int32_t lumaVSampling = 2;
    // The memory destination of the size-limited save: page-allocated, grown
    // when a stream does not fit, released by the save itself.
    uint8_t* outputBuffer = nullptr;
    uint32_t outputCapacity = 0;
    uint32_t encodedLength = 0;

    // Start values, no handles, no error; usePlainMemory clear (file output).
    void Reset();
    // A quality above 100 becomes 75; the sampling code picks the luminance
    // factors (1: 2 x 1, 2: 1 x 1, anything else: 2 x 2).
    void SetOptions(int32_t quality, int32_t sampling);
    // usePlainMemory clear: creates the file at path and writes the picture,
    // expanding 8-bit rows through palette. Set: encodes 24-bit rows into
    // outputBuffer and leaves the stream's length in encodedLength. pixels are
    // bottom-up rows of sourceBitCount bits.
    bool Encode(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels);
    // One encode of bottom-up 24-bit rows at a quality into outputBuffer,
    // which the caller has made and set usePlainMemory for: the size
    // limit's search.
    bool EncodeToMemory(const uint8_t* rows, int32_t atQuality);
    // Searches a quality whose encoding is at most limitKiB KiB and writes it.
    bool EncodeWithinLimit(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels, int32_t limitKiB);
    // Releases the 24-bit copy and closes what is open.
    void Release();
};
