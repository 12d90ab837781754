// Writes the fitted picture as a lossy WebP file with libwebp's default
// configuration, the one its simple encoder and cwebp use, either at the
// configured quality or at the highest quality the search finds within a
// size limit.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

#include <cstdint>

// The longest side the format can hold.
constexpr int32_t kWebpLargestSide = 16383;

// libwebp fills its tables of routines on first use, without a lock where it
// is built without threads (the Windows builds): one small encode before a
// batch's workers start makes every later use read them only.
void PrepareWebpForWorkers();

class WebpWriter : public CodecState {
public:
    int32_t quality = 75;
    // The stream of the last encode, in libwebp's memory; the save releases it.
    uint8_t* encoded = nullptr;
    uint32_t encodedLength = 0;

    // Start values, no handles, no error, no stream.
    void Reset();
    // As the JPEG quality reads: above 100 becomes 75, below 1 becomes 1.
    void SetQuality(int32_t quality);
    // Encodes the picture into memory and only then creates the file at path
    // and writes it. pixels are bottom-up rows of sourceBitCount bits, 8-bit
    // rows expanded through palette. Fails with errorCode 2 for a side of 0
    // or beyond kWebpLargestSide, 1 when libwebp runs out of memory, 5 when
    // the file cannot be created or written.
    bool Encode(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels);
    // Searches a quality whose encoding is at most limitKiB KiB and writes it.
    bool EncodeWithinLimit(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels, int32_t limitKiB);
    // Releases the 24-bit copy and the stream, and closes what is open.
    void Release();
    // One encode of bottom-up 24-bit rows at a quality into encoded, which
    // replaces the last stream.
    bool EncodeToMemory(const uint8_t* rows, int32_t atQuality);

private:
    // The 24-bit rows of the picture, or null with errorCode set.
    const uint8_t* CheckedRows(const RGBQUAD* palette, const uint8_t* pixels);
    // Creates the file at path and writes encoded to it.
    bool WriteStream(LPCWSTR path);
    void ReleaseStream();
};
