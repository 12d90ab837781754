// JPEG files for the reader and writer tests: a marker walk, a reference
// decode and a reference encode, all straight through the JPEG library with
// its stock memory source and destination.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using JpegBytes = std::vector<uint8_t>;

struct JpegSegment {
    uint8_t marker = 0;  // the byte after FF
    JpegBytes body;      // what follows the length field
};

struct JpegStructure {
    bool complete = false;              // SOI first, EOI last, every length inside the file
    std::vector<JpegSegment> segments;  // in file order, entropy-coded data left out
    int restartMarkers = 0;             // RSTn found in the entropy-coded data

    const JpegSegment* Find(uint8_t marker) const;
    int Count(uint8_t marker) const;
};
JpegStructure WalkJpeg(const JpegBytes& file);

// A reference decode with the library's defaults except the output colour
// space: rows top-down, red first for colour.
struct ReferenceDecode {
    bool ok = false;
    std::string message;
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<uint8_t> rows;  // width x components bytes a row, no padding
};
// colourSpace: a J_COLOR_SPACE value; -1 keeps the library's default output.
ReferenceDecode DecodeJpeg(const JpegBytes& file, int colourSpace = -1);

// A reference encode of top-down unpadded rows.
struct JpegRecipe {
    int width = 1;
    int height = 1;
    int components = 3;  // 1 grey, 3 RGB (red first), 4 CMYK, others unnamed
    int quality = 95;
    std::vector<uint8_t> rows;
    int densityUnit = 0;  // written into the JFIF segment
    int xDensity = 1;
    int yDensity = 1;
    bool jfif = true;
    bool progressive = false;
    std::vector<JpegSegment> markers;  // APPn and the like, after the JFIF segment
};
JpegBytes EncodeJpeg(const JpegRecipe& recipe);
