// Builds PNG files in memory, chunk by chunk and with any field values, for
// the reader's tests; and the row filters of the format, for making filtered
// rows the reader must undo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using PngBytes = std::vector<uint8_t>;

// length, type, data, CRC; `crcDelta` is added to the correct CRC.
PngBytes PngChunk(const std::string& type, const PngBytes& data, uint32_t crcDelta = 0);
PngBytes PngSignature();
PngBytes IhdrData(uint32_t width, uint32_t height, int bitDepth, int colourType, int interlace = 0);
void PushU32BE(PngBytes& bytes, uint32_t value);
// A zlib stream of the bytes.
PngBytes Deflated(const PngBytes& raw, int level = 9);
// Signature, IHDR, `beforeData` (whole chunks), one IDAT of the filtered
// rows, IEND.
PngBytes SimplePng(uint32_t width, uint32_t height, int bitDepth, int colourType, const PngBytes& filteredRows,
                   const PngBytes& beforeData = {}, int interlace = 0);

// Bytes of one row of `pixels` pixels, without its filter byte.
size_t PngRowBytes(int32_t pixels, int bitDepth, int colourType);
// Filters one raw row (no filter byte) against the row above (raw, or empty
// for the first) and returns the filter byte followed by the filtered bytes.
PngBytes FilterRow(int filter, const PngBytes& raw, const PngBytes& above, int bytesPerPixel);
// Raw rows of a picture laid out as the format's passes (one pass when not
// interlaced), each filtered with filterOf(row number in the whole stream).
// `sample(x, y, byte)` gives byte `byte` of pixel (x, y) for depths of 8 and
// 16; for lower depths byte 0 is the sample value.
PngBytes FilteredImage(int32_t width, int32_t height, int bitDepth, int colourType, bool interlaced,
                       int (*filterOf)(int row), uint8_t (*sample)(int32_t x, int32_t y, int byte));
