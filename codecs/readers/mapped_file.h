// An input file seen as one read-only mapped block, the process-wide read
// cursor that walks it, and the byte-order readers.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

#include <cstdint>

namespace MappedFile {
// Opens and maps the whole file into the state's handles; the size, or 0 on
// failure (errorCode 4). Whatever was opened is closed by the caller's release.
uint32_t Open(LPCWSTR name, CodecState& state);
}  // namespace MappedFile

// The next byte to read, and one past the last byte of the mapped view. The
// readers below do not check the end: their callers compare first.
extern const uint8_t* readCursor;
extern const uint8_t* readEnd;

uint32_t ReadU16LE();
uint32_t ReadU16BE();
uint32_t ReadU32LE();
uint32_t ReadU32BE();

uint32_t SwapU16(uint32_t value);
uint32_t SwapU32(uint32_t value);

// Writes the value most significant byte first to the state's outputFile.
BOOL WriteU32BE(CodecState& state, uint32_t value);

// Fills the state's image header; called before any pixel memory exists.
void SetBitmapHeader(CodecState& state, int32_t width, int32_t height, int32_t bitCount,
                     int32_t xPelsPerMeter, int32_t yPelsPerMeter);
