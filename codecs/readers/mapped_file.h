// An input file seen as one read-only mapped block, and the byte reader that
// walks it.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

#include <cstdint>

// The next byte to read and one past the last byte of the mapped view; each
// reader that walks a mapped file holds its own. The reads do not check the
// end: their callers compare first.
struct ByteReader {
    const uint8_t* cursor = nullptr;
    const uint8_t* end = nullptr;

    ptrdiff_t Left() const { return end - cursor; }
    uint32_t U16LE();
    uint32_t U16BE();
    uint32_t U32LE();
    uint32_t U32BE();
};

namespace MappedFile {
// Opens and maps the whole file into the state's handles and points bytes at
// the view; the size, or 0 on failure (errorCode 4). Whatever was opened is
// closed by the caller's release.
uint32_t Open(LPCWSTR name, CodecState& state, ByteReader& bytes);
}  // namespace MappedFile

uint32_t SwapU16(uint32_t value);
uint32_t SwapU32(uint32_t value);

// Writes the value most significant byte first to the state's outputFile.
BOOL WriteU32BE(CodecState& state, uint32_t value);

// Fills the state's image header; called before any pixel memory exists.
void SetBitmapHeader(CodecState& state, int32_t width, int32_t height, int32_t bitCount,
                     int32_t xPelsPerMeter, int32_t yPelsPerMeter);
