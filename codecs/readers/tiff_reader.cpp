#include "codecs/readers/tiff_reader.h"

#include "core/memory.h"
#include "codecs/readers/mapped_file.h"

#include <cstring>

namespace {

enum Tag : uint32_t {
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometric = 262,
    kStripOffsets = 273,
    kStripByteCounts = 279,
    kXResolution = 282,
    kYResolution = 283,
    kResolutionUnit = 296,
    kColorMap = 320,
};

enum Photometric : int32_t {
    kWhiteIsZero = 0,
    kBlackIsZero = 1,
    kRgb = 2,
    kPalette = 3,
};

constexpr uint32_t kEntryBytes = 12;
constexpr uint32_t kValueFieldAt = 8;  // within an entry: tag, type, count, then the value field

bool IsIndexDepth(int32_t bits) { return bits == 1 || bits == 4 || bits == 8; }

// Pixels per metre from a rational in the given unit; false for a unit that
// gives none. The result keeps the low 32 bits of the rounded value.
bool PerMetre(uint32_t numerator, uint32_t denominator, int32_t unit, int32_t& result) {
    double value;
    if (unit == 2) {
        value = numerator / 0.0254 / denominator + 0.5;
    } else if (unit == 3) {
        value = static_cast<double>(numerator * 100u) / denominator + 0.5;
    } else {
        return false;
    }
    // At most 2^32 / 0.0254, well inside 64 bits.
    result = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
    return true;
}

}  // namespace

void TiffReader::Reset() {
    usePlainMemory = false;
    errorCode = kErrorNone;
    outputFile = INVALID_HANDLE_VALUE;
    inputFile = INVALID_HANDLE_VALUE;
    inputMapping = nullptr;
    inputView = nullptr;
    colorMapOffset = 0;
    xResolutionOffset = 0;
    yResolutionOffset = 0;
    width = 0;
    height = 0;
    stripOffsets = nullptr;
    stripByteCounts = nullptr;
    stripOffsetCount = 0;
    stripByteCountCount = 0;
    stripData = nullptr;
    stripDataLength = 0;
    ZeroMemory(image.palette, sizeof image.palette);
    image.pixels = nullptr;  // the previous picture belongs to the batch driver now
}

void TiffReader::Release() {
    ReleaseAndClear(stripOffsets);
    ReleaseAndClear(stripByteCounts);
    ReleaseAndClear(stripData);
    ReleaseHandles();
}

bool TiffReader::Seek(uint64_t offset, uint64_t count) {
    if (offset > fileLength || count > fileLength - offset) return false;
    bytes.cursor = fileStart + offset;
    return true;
}

DecodedImage* TiffReader::Decode() {
    fileStart = bytes.cursor;
    fileLength = bytes.cursor == nullptr ? 0 : static_cast<uint64_t>(bytes.end - bytes.cursor);
    if (!ReadHeader() || !ReadDirectory() || !ChooseOutput()) return nullptr;

    uint64_t rowBytes;  // of one source row
    if (outputBitCount == 24) {
        rowBytes = static_cast<uint64_t>(width) * 3 * (bitsPerSample / 8);
    } else {
        rowBytes = bitsPerSample == 1   ? (static_cast<uint64_t>(width) + 7) / 8
                   : bitsPerSample == 4 ? (static_cast<uint64_t>(width) + 1) / 2
                                        : static_cast<uint64_t>(width);
        if (!BuildPalette()) return nullptr;
    }
    if (!JoinStrips(rowBytes)) return nullptr;
    SetBitmapHeader(*this, width, height, outputBitCount, 0, 0);
    if (!AllocatePixels()) {
        ReleaseAndClear(stripData);
        return nullptr;
    }
    Unpack(rowBytes);
    ReleaseAndClear(stripData);

    ReadResolution();
    image.sourceFormat = kFormatTiff;
    image.fileBitCount = outputBitCount == 24 ? 3 * bitsPerSample : bitsPerSample;
    GetFileTime(inputFile, nullptr, nullptr, &image.lastWriteTime);
    return &image;
}

bool TiffReader::ReadHeader() {
    if (!Seek(0, 8)) return Fail(kTiffMalformed);
    if (bytes.cursor[0] == 'I' && bytes.cursor[1] == 'I') {
        littleEndian = true;
    } else if (bytes.cursor[0] == 'M' && bytes.cursor[1] == 'M') {
        littleEndian = false;
    } else {
        return Fail(kTiffMalformed);
    }
    bytes.cursor += 2;
    if (U16() != 42) return Fail(kTiffMalformed);
    // Only this first directory is read: the offset of a next one is never followed.
    if (!Seek(U32(), 2)) return Fail(kTiffMalformed);
    return true;
}

bool TiffReader::ReadDirectory() {
    const uint64_t entriesAt = static_cast<uint64_t>(bytes.cursor - fileStart) + 2;
    const uint32_t entries = U16();
    if (!Seek(entriesAt, uint64_t{entries} * kEntryBytes)) return Fail(kTiffMalformed);
    bitsPerSample = 1;
    samplesPerPixel = 0;
    compression = 1;
    photometric = 4;
    resolutionUnit = 2;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* entry = fileStart + entriesAt + uint64_t{i} * kEntryBytes;
        bytes.cursor = entry;
        const uint32_t tag = U16();
        if (!HandleEntry(tag, entry + kValueFieldAt)) return false;
    }
    if (stripOffsetCount != stripByteCountCount) return Fail(kTiffMalformed);
    stripCount = static_cast<int32_t>(stripOffsetCount);
    // A side whose tag is missing is as unusable as a side of 0.
    if (width == 0 || height == 0) return Fail(kTiffMalformed);
    return true;
}

// The cursor stands at the entry's type; the directory step moves it on.
bool TiffReader::HandleEntry(uint32_t tag, const uint8_t* valueField) {
    switch (tag) {
        case kImageWidth: return ReadSide(width);
        case kImageLength: return ReadSide(height);
        case kBitsPerSample: return ReadSampleSizes(valueField);
        case kStripOffsets: return ReadStripList(stripOffsets, stripOffsetCount);
        case kStripByteCounts: return ReadStripList(stripByteCounts, stripByteCountCount);
        default: break;
    }
    // The rest take the start of the value field whatever the declared type.
    bytes.cursor = valueField;
    switch (tag) {
        case kCompression:
            compression = static_cast<int32_t>(U16());
            if (compression != 1) return Fail(kTiffUnsupported);
            break;
        case kPhotometric: photometric = static_cast<int32_t>(U16()); break;
        case kXResolution: xResolutionOffset = U32(); break;
        case kYResolution: yResolutionOffset = U32(); break;
        case kResolutionUnit: resolutionUnit = static_cast<int32_t>(U16()); break;
        case kColorMap: colorMapOffset = U32(); break;
        default: break;
    }
    return true;
}

bool TiffReader::ReadSide(int32_t& side) {
    const uint32_t type = U16();
    bytes.cursor += 4;  // the count
    uint32_t value;
    if (type == kTiffShort) {
        value = U16();
    } else if (type == kTiffLong) {
        value = U32();
    } else {
        return Fail(kTiffMalformed);
    }
    if (value == 0) return Fail(kTiffMalformed);
    if (value > static_cast<uint32_t>(kLargestTiffSide)) return Fail(kTiffUnsupported);
    side = static_cast<int32_t>(value);
    return true;
}

bool TiffReader::ReadSampleSizes(const uint8_t* valueField) {
    bytes.cursor += 2;  // the type is not examined
    const uint32_t count = U32();
    samplesPerPixel = count > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(count);
    bytes.cursor = valueField;
    if (count == 1) {
        bitsPerSample = static_cast<int32_t>(U16());
    } else if (count == 3) {
        // Three SHORTs do not fit the value field: it holds their offset.
        if (!Seek(U32(), 6)) return Fail(kTiffMalformed);
        const uint32_t red = U16();
        const uint32_t green = U16();
        const uint32_t blue = U16();
        if (red != green || green != blue || (red != 8 && red != 16)) return Fail(kTiffMalformed);
        bitsPerSample = static_cast<int32_t>(red);
    }
    // Any other count (an extra sample among them) sets no depth.
    return true;
}

// Every check comes before the allocation, so a count no file of this size
// could hold never reaches the allocator.
bool TiffReader::ReadStripList(uint32_t*& list, uint32_t& length) {
    if (list != nullptr) return Fail(kTiffMalformed);
    const uint32_t type = U16();
    const uint32_t count = U32();
    if (count == 0 || (type != kTiffShort && type != kTiffLong)) return Fail(kTiffMalformed);
    const uint64_t valueBytes = type == kTiffShort ? 2 : 4;
    // One SHORT, one LONG or two SHORTs fit the value field; more lie at its offset.
    if (count * valueBytes > 4 && !Seek(U32(), count * valueBytes)) return Fail(kTiffMalformed);
    list = static_cast<uint32_t*>(AllocatePages(uint64_t{count} * 4));
    if (list == nullptr) return Fail(kTiffOutOfMemory);
    for (uint32_t i = 0; i < count; ++i) list[i] = valueBytes == 2 ? U16() : U32();
    length = count;
    return true;
}

bool TiffReader::ChooseOutput() {
    if (photometric == kRgb && samplesPerPixel == 3 && (bitsPerSample == 8 || bitsPerSample == 16)) {
        outputBitCount = 24;
        outputStride = static_cast<int32_t>(PaddedRowBytes(width, 24));
        return true;
    }
    const bool palette = photometric == kPalette && colorMapOffset != 0;
    const bool grey = photometric == kWhiteIsZero || photometric == kBlackIsZero;
    if ((palette || grey) && IsIndexDepth(bitsPerSample)) {
        outputBitCount = 8;
        outputStride = static_cast<int32_t>(PaddedRowBytes(width, 8));
        return true;
    }
    return Fail(kTiffUnsupported);
}

bool TiffReader::BuildPalette() {
    const uint32_t entries = 1u << bitsPerSample;
    if (photometric == kPalette) {
        // All reds, then all greens, then all blues; each keeps its upper byte.
        if (!Seek(colorMapOffset, uint64_t{entries} * 6)) return Fail(kTiffOutsideFile);
        for (uint32_t i = 0; i < entries; ++i) image.palette[i].rgbRed = static_cast<BYTE>(U16() >> 8);
        for (uint32_t i = 0; i < entries; ++i) image.palette[i].rgbGreen = static_cast<BYTE>(U16() >> 8);
        for (uint32_t i = 0; i < entries; ++i) image.palette[i].rgbBlue = static_cast<BYTE>(U16() >> 8);
        return true;
    }
    const uint32_t step = 255 / (entries - 1);
    for (uint32_t i = 0; i < entries; ++i) {
        const BYTE level = static_cast<BYTE>(photometric == kWhiteIsZero ? 255 - i * step : i * step);
        image.palette[i].rgbRed = image.palette[i].rgbGreen = image.palette[i].rgbBlue = level;
    }
    return true;
}

// The joined strips are followed by one source row of zeros, so the row in
// which the data ends can be read whole: its missing bytes are zero.
bool TiffReader::JoinStrips(uint64_t rowBytes) {
    uint64_t total = 0;
    for (int32_t i = 0; i < stripCount; ++i) total += stripByteCounts[i];
    // Nothing to allocate; or more than a 32-bit sum could hold, which no
    // allocation is asked for.
    if (total == 0 || total > 0xFFFFFFFFu) return Fail(kTiffOutOfMemory);
    for (int32_t i = 0; i < stripCount; ++i) {
        if (uint64_t{stripOffsets[i]} + stripByteCounts[i] > fileLength) return Fail(kTiffOutsideFile);
    }
    stripData = static_cast<uint8_t*>(AllocatePages(total + rowBytes));
    if (stripData == nullptr) return Fail(kTiffOutOfMemory);
    uint8_t* end = stripData;
    for (int32_t i = 0; i < stripCount; ++i) {
        memcpy(end, fileStart + stripOffsets[i], stripByteCounts[i]);
        end += stripByteCounts[i];
    }
    stripDataLength = total;
    return true;
}

bool TiffReader::AllocatePixels() {
    image.pixels =
        static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(outputStride) * static_cast<uint64_t>(height)));
    if (image.pixels == nullptr) return Fail(kTiffOutOfMemory);
    return true;
}

// Source rows top first; the first lands in the last row of memory. Rows the
// joined data does not reach stay zero, as the pages came.
void TiffReader::Unpack(uint64_t rowBytes) {
    const uint64_t rowsHeld = (stripDataLength + rowBytes - 1) / rowBytes;
    const int32_t rows = rowsHeld < static_cast<uint64_t>(height) ? static_cast<int32_t>(rowsHeld) : height;
    const int high = littleEndian ? 1 : 0;  // the upper byte of a 16-bit sample
    for (int32_t r = 0; r < rows; ++r) {
        const uint8_t* source = stripData + static_cast<uint64_t>(r) * rowBytes;
        uint8_t* target = image.pixels + static_cast<size_t>(height - 1 - r) * static_cast<size_t>(outputStride);
        if (outputBitCount == 24) {
            const int step = bitsPerSample == 16 ? 6 : 3;
            const int offset = bitsPerSample == 16 ? high : 0;
            const int sample = bitsPerSample / 8;
            for (int32_t x = 0; x < width; ++x, source += step, target += 3) {
                target[0] = source[offset + 2 * sample];
                target[1] = source[offset + sample];
                target[2] = source[offset];
            }
            continue;
        }
        switch (bitsPerSample) {
            case 1:
                for (int32_t x = 0; x < width; ++x)
                    target[x] = static_cast<uint8_t>((source[x >> 3] >> (7 - (x & 7))) & 1);
                break;
            case 4:
                for (int32_t x = 0; x < width; ++x)
                    target[x] = static_cast<uint8_t>((x & 1) != 0 ? source[x >> 1] & 0x0F : source[x >> 1] >> 4);
                break;
            default: memcpy(target, source, static_cast<size_t>(width)); break;
        }
    }
}

// A missing rational, one outside the file, a zero denominator or another
// unit leaves both resolutions 0.
void TiffReader::ReadResolution() {
    if (xResolutionOffset == 0 || yResolutionOffset == 0) return;
    if (!Seek(xResolutionOffset, 8)) return;
    const uint32_t xNumerator = U32();
    const uint32_t xDenominator = U32();
    if (xDenominator == 0 || !Seek(yResolutionOffset, 8)) return;
    const uint32_t yNumerator = U32();
    const uint32_t yDenominator = U32();
    if (yDenominator == 0) return;
    int32_t x;
    int32_t y;
    if (!PerMetre(xNumerator, xDenominator, resolutionUnit, x) ||
        !PerMetre(yNumerator, yDenominator, resolutionUnit, y))
        return;
    image.header.biXPelsPerMeter = x;
    image.header.biYPelsPerMeter = y;
}

const char* TiffErrorText(int32_t code) {
    switch (code) {
        case kTiffOutOfMemory: return "not enough memory for the TIFF picture";
        case kTiffUnsupported: return "TIFF of a size, compression or layout that is not read";
        case kTiffOutsideFile: return "TIFF data lies outside the file";
        default: return "broken TIFF file";
    }
}
