// Builds TIFF files in memory for the reader's tests: a header in either byte
// order, a data area, and one directory whose entries are written in the
// order given, with any field values (also wrong ones).
#pragma once

#include <cstdint>
#include <vector>

using TiffBytes = std::vector<uint8_t>;

class TiffBuilder {
public:
    explicit TiffBuilder(bool littleEndian = true) : littleEndian_(littleEndian) {}

    // Appends bytes to the data area and returns their file offset.
    uint32_t Data(const TiffBytes& bytes);
    // Appends 16-bit values in the file's byte order; their offset.
    uint32_t Shorts(const std::vector<uint32_t>& values);
    // An entry of SHORT (3) or LONG (4) values: in the value field when they
    // fit its 4 bytes, else in the data area behind an offset.
    void Entry(uint16_t tag, uint16_t type, const std::vector<uint32_t>& values);
    // An entry written as given: the value field holds `field` as a 32-bit
    // value in the file's byte order (an offset, or a LONG).
    void RawEntry(uint16_t tag, uint16_t type, uint32_t count, uint32_t field);
    // An entry whose value field starts with the 16-bit value (SHORT layout).
    void ShortEntry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value);
    // A RATIONAL entry, numerator and denominator in the data area.
    void Rational(uint16_t tag, uint32_t numerator, uint32_t denominator);

    // Header, data area, directory (entry count, entries, next offset 0).
    // `directoryOffset` overrides where the header says the directory is.
    TiffBytes Build(int64_t directoryOffset = -1) const;

private:
    bool littleEndian_;
    TiffBytes data_;
    TiffBytes entries_;
    uint16_t entryCount_ = 0;

    void Put16(TiffBytes& bytes, uint32_t value) const;
    void Put32(TiffBytes& bytes, uint32_t value) const;
};

// A whole picture: width, height, photometric, the sample sizes (one value per
// sample), the pixel bytes as stored, split into `strips` strips of whole rows
// (the last may be shorter), and a colour map for palette pictures.
struct TiffPicture {
    bool littleEndian = true;
    uint32_t width = 1;
    uint32_t height = 1;
    uint32_t photometric = 1;
    std::vector<uint32_t> bitsPerSample = {8};
    TiffBytes pixels;
    uint32_t strips = 1;
    std::vector<uint32_t> colorMap;  // all reds, all greens, all blues
    uint32_t fillOrder = 1;          // written only when not 1
    uint32_t orientation = 0;        // tag 274 when not 0
    TiffBytes iccProfile;            // tag 34675 when not empty
    uint32_t iccCount = 0;           // that tag's count when not 0 (a wrong one); else the profile's size
};

// Bytes of one stored row.
uint32_t TiffRowBytes(uint32_t width, const std::vector<uint32_t>& bitsPerSample);
// The picture with its tags in ascending order, all sides and strip lists as LONG.
TiffBytes SimpleTiff(const TiffPicture& picture);
