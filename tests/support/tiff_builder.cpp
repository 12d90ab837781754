#include "support/tiff_builder.h"

#include <algorithm>
#include <cstddef>

namespace {
constexpr uint32_t kHeaderBytes = 8;
}

void TiffBuilder::Put16(TiffBytes& bytes, uint32_t value) const {
    const uint8_t low = static_cast<uint8_t>(value);
    const uint8_t high = static_cast<uint8_t>(value >> 8);
    if (littleEndian_) {
        bytes.insert(bytes.end(), {low, high});
    } else {
        bytes.insert(bytes.end(), {high, low});
    }
}

void TiffBuilder::Put32(TiffBytes& bytes, uint32_t value) const {
    if (littleEndian_) {
        Put16(bytes, value & 0xFFFF);
        Put16(bytes, value >> 16);
    } else {
        Put16(bytes, value >> 16);
        Put16(bytes, value & 0xFFFF);
    }
}

uint32_t TiffBuilder::Data(const TiffBytes& bytes) {
    const uint32_t offset = kHeaderBytes + static_cast<uint32_t>(data_.size());
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return offset;
}

uint32_t TiffBuilder::Shorts(const std::vector<uint32_t>& values) {
    TiffBytes bytes;
    for (uint32_t v : values) Put16(bytes, v);
    return Data(bytes);
}

void TiffBuilder::Entry(uint16_t tag, uint16_t type, const std::vector<uint32_t>& values) {
    const uint32_t size = type == 3 ? 2 : 4;
    TiffBytes field;
    for (uint32_t v : values) size == 2 ? Put16(field, v) : Put32(field, v);
    if (field.size() > 4) {
        const uint32_t offset = Data(field);
        field.clear();
        Put32(field, offset);
    }
    field.resize(4, 0);
    Put16(entries_, tag);
    Put16(entries_, type);
    Put32(entries_, static_cast<uint32_t>(values.size()));
    entries_.insert(entries_.end(), field.begin(), field.end());
    ++entryCount_;
}

void TiffBuilder::RawEntry(uint16_t tag, uint16_t type, uint32_t count, uint32_t field) {
    Put16(entries_, tag);
    Put16(entries_, type);
    Put32(entries_, count);
    Put32(entries_, field);
    ++entryCount_;
}

void TiffBuilder::ShortEntry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(entries_, tag);
    Put16(entries_, type);
    Put32(entries_, count);
    Put16(entries_, value);
    Put16(entries_, 0);
    ++entryCount_;
}

void TiffBuilder::Rational(uint16_t tag, uint32_t numerator, uint32_t denominator) {
    TiffBytes value;
    Put32(value, numerator);
    Put32(value, denominator);
    RawEntry(tag, 5, 1, Data(value));
}

TiffBytes TiffBuilder::Build(int64_t directoryOffset) const {
    TiffBytes file;
    if (littleEndian_) {
        file.insert(file.end(), {'I', 'I'});
    } else {
        file.insert(file.end(), {'M', 'M'});
    }
    Put16(file, 42);
    const uint32_t natural = kHeaderBytes + static_cast<uint32_t>(data_.size());
    Put32(file, directoryOffset < 0 ? natural : static_cast<uint32_t>(directoryOffset));
    file.insert(file.end(), data_.begin(), data_.end());
    Put16(file, entryCount_);
    file.insert(file.end(), entries_.begin(), entries_.end());
    Put32(file, 0);
    return file;
}

uint32_t TiffRowBytes(uint32_t width, const std::vector<uint32_t>& bitsPerSample) {
    uint32_t bits = 0;
    for (uint32_t b : bitsPerSample) bits += b;
    return (width * bits + 7) / 8;
}

TiffBytes SimpleTiff(const TiffPicture& picture) {
    TiffBuilder tiff(picture.littleEndian);
    const uint32_t rowBytes = TiffRowBytes(picture.width, picture.bitsPerSample);
    const uint32_t rowsPerStrip = (picture.height + picture.strips - 1) / picture.strips;
    std::vector<uint32_t> offsets;
    std::vector<uint32_t> counts;
    for (uint32_t s = 0; s < picture.strips; ++s) {
        const size_t begin = static_cast<size_t>(s) * rowsPerStrip * rowBytes;
        const size_t end = std::min(picture.pixels.size(), begin + static_cast<size_t>(rowsPerStrip) * rowBytes);
        const TiffBytes strip(picture.pixels.begin() + static_cast<std::ptrdiff_t>(std::min(begin, end)),
                              picture.pixels.begin() + static_cast<std::ptrdiff_t>(end));
        offsets.push_back(tiff.Data(strip));
        counts.push_back(static_cast<uint32_t>(strip.size()));
    }
    tiff.Entry(256, 4, {picture.width});
    tiff.Entry(257, 4, {picture.height});
    tiff.Entry(258, 3, picture.bitsPerSample);
    tiff.Entry(259, 3, {1});
    tiff.Entry(262, 3, {picture.photometric});
    if (picture.fillOrder != 1) tiff.Entry(266, 3, {picture.fillOrder});
    tiff.Entry(273, 4, offsets);
    if (picture.orientation != 0) tiff.Entry(274, 3, {picture.orientation});
    tiff.Entry(277, 3, {static_cast<uint32_t>(picture.bitsPerSample.size())});
    tiff.Entry(278, 4, {rowsPerStrip});
    tiff.Entry(279, 4, counts);
    if (!picture.colorMap.empty()) tiff.Entry(320, 3, picture.colorMap);
    const uint32_t iccCount = picture.iccCount != 0 ? picture.iccCount : static_cast<uint32_t>(picture.iccProfile.size());
    if (!picture.iccProfile.empty()) tiff.RawEntry(34675, 7, iccCount, tiff.Data(picture.iccProfile));
    return tiff.Build();
}
