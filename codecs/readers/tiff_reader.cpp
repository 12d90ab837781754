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
    kFillOrder = 266,
    kStripOffsets = 273,
    kSamplesPerPixel = 277,
    kStripByteCounts = 279,
    kXResolution = 282,
    kYResolution = 283,
    kPlanarConfiguration = 284,
    kResolutionUnit = 296,
    kColorMap = 320,
    kTileWidth = 322,
    kTileLength = 323,
    kTileOffsets = 324,
    kTileByteCounts = 325,
    kExtraSamples = 338,
    kSampleFormat = 339,
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

bool IsInteger(uint32_t type) { return type == kTiffByte || type == kTiffShort || type == kTiffLong; }

// Bytes of one value of a field type; 0 for a type the format does not have.
uint32_t TypeBytes(uint32_t type) {
    constexpr uint8_t kBytes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < sizeof kBytes ? kBytes[type] : 0;
}

// Where a RATIONAL's numerator and denominator lie; 0 (none) for an entry of
// another type or without a value.
uint32_t RationalOffset(const TiffEntry& entry) {
    return entry.type == kTiffRational && entry.count > 0 ? static_cast<uint32_t>(entry.valuesAt) : 0;
}

// Samples a pixel the photometric interpretation uses; 0 for one that no
// output accepts anyway.
int32_t SamplesUsed(int32_t photometric) {
    if (photometric == kRgb) return 3;
    return photometric >= kWhiteIsZero && photometric <= kPalette ? 1 : 0;
}

uint8_t Reversed(uint8_t b) {
    b = static_cast<uint8_t>(b >> 4 | b << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

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

const char* TiffErrorText(int32_t code) {
    static_assert(kLargestTiffSide == 25000, "the reason names the largest side");
    switch (code) {
        case kTiffOutOfMemory: return "TIFF picture data is empty or does not fit in memory";
        case kTiffUnsupported: return "TIFF of this colour type or sample depth is not supported";
        case kTiffOutsideFile: return "TIFF data lies outside the file";
        case kTiffMalformed: return "TIFF file is malformed";
        case kTiffCompressed: return "compressed TIFF is not supported";
        case kTiffTooLarge: return "TIFF wider or taller than 25000 pixels is not supported";
        case kTiffSignedSamples: return "TIFF with signed samples is not supported";
        case kTiffFloatSamples: return "TIFF with floating-point samples is not supported";
        case kTiffUnknownSampleFormat: return "TIFF with samples of an unknown format is not supported";
        case kTiffExtraSamples: return "TIFF with extra samples is not supported";
        case kTiffTiled: return "tiled TIFF is not supported";
        case kTiffNoColorMap: return "TIFF palette picture without a colour map";
        default: return nullptr;
    }
}

void TiffReader::Reset() {
    usePlainMemory = false;
    errorCode = kErrorNone;
    outputFile = INVALID_HANDLE_VALUE;
    inputFile = INVALID_HANDLE_VALUE;
    inputMapping = nullptr;
    inputView = nullptr;
    colorMap = TiffEntry{};
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
    DetachPicture(image);  // the previous picture belongs to the batch driver now
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
    if (!ReadHeader() || !ReadDirectory() || !DeclineUnfaithful() || !ChooseOutput()) return nullptr;

    uint64_t rowBytes;  // of one source row, of one plane when they are separate
    if (outputBitCount == 24) {
        rowBytes = static_cast<uint64_t>(width) * (SeparatePlanes() ? 1 : 3) * (bitsPerSample / 8);
    } else {
        rowBytes = bitsPerSample == 1   ? (static_cast<uint64_t>(width) + 7) / 8
                   : bitsPerSample == 4 ? (static_cast<uint64_t>(width) + 1) / 2
                                        : static_cast<uint64_t>(width);
        if (!BuildPalette()) return nullptr;
    }
    if (!(SeparatePlanes() ? JoinPlanes(rowBytes) : JoinStrips(rowBytes))) return nullptr;
    if (fillOrder == 2) ReverseBits();
    SetBitmapHeader(*this, width, height, outputBitCount, 0, 0);
    if (!AllocatePixels()) {
        ReleaseAndClear(stripData);
        return nullptr;
    }
    Unpack(rowBytes);
    ReleaseAndClear(stripData);

    ReadResolution();
    // The orientation (274) and ICC profile (34675) tags of the directory.
    const uint8_t* profile = nullptr;
    uint32_t profileBytes = 0;
    image.orientation = ReadOrientation(fileStart, fileLength);
    if (FindIccProfile(fileStart, fileLength, profile, profileBytes) && !KeepIccProfile(image, profile, profileBytes)) {
        ReleaseAndClear(image.pixels);
        errorCode = kTiffOutOfMemory;
        return nullptr;
    }
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
    samplesPerPixelTag = 1;
    compression = 1;
    photometric = 4;
    resolutionUnit = 2;
    planarConfiguration = 1;
    fillOrder = 1;
    sampleFormat = 1;
    extraSamples = false;
    tiled = false;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint64_t at = entriesAt + uint64_t{i} * kEntryBytes;
        bytes.cursor = fileStart + at;
        const uint32_t tag = U16();
        TiffEntry entry;
        entry.type = U16();
        entry.count = U32();
        // Values that fit the 4-byte value field are in it; else it holds their offset.
        const bool inField = uint64_t{entry.count} * TypeBytes(entry.type) <= 4;
        entry.valuesAt = inField ? at + kValueFieldAt : U32();
        if (!HandleEntry(tag, entry)) return false;
    }
    if (stripOffsetCount != stripByteCountCount) return Fail(kTiffMalformed);
    stripCount = static_cast<int32_t>(stripOffsetCount);
    // A side whose tag is missing is as unusable as a side of 0.
    if (width == 0 || height == 0) return Fail(kTiffMalformed);
    return true;
}

// One case a tag: every tag the reader uses, read by its declared type; all
// others are skipped.
bool TiffReader::HandleEntry(uint32_t tag, const TiffEntry& entry) {
    switch (tag) {
        case kImageWidth: return ReadSide(entry, width);
        case kImageLength: return ReadSide(entry, height);
        case kBitsPerSample: return ReadSampleSizes(entry);
        case kCompression: return ReadValue(entry, compression) && (compression == 1 || Fail(kTiffCompressed));
        case kPhotometric: return ReadValue(entry, photometric);
        case kFillOrder: return ReadValue(entry, fillOrder);
        case kStripOffsets: return ReadStripList(entry, stripOffsets, stripOffsetCount);
        case kSamplesPerPixel: return ReadValue(entry, samplesPerPixelTag);
        case kStripByteCounts: return ReadStripList(entry, stripByteCounts, stripByteCountCount);
        case kXResolution: xResolutionOffset = RationalOffset(entry); return true;
        case kYResolution: yResolutionOffset = RationalOffset(entry); return true;
        case kPlanarConfiguration: return ReadValue(entry, planarConfiguration);
        case kResolutionUnit: return ReadValue(entry, resolutionUnit);
        case kColorMap: colorMap = entry; return IsInteger(entry.type) || Fail(kTiffMalformed);
        case kTileWidth:
        case kTileLength:
        case kTileOffsets:
        case kTileByteCounts: tiled = true; return true;
        case kExtraSamples: extraSamples = entry.count > 0; return true;
        case kSampleFormat: return ReadSampleFormat(entry);
        default: return true;
    }
}

bool TiffReader::SeekValues(const TiffEntry& entry, uint64_t count) {
    return IsInteger(entry.type) && count <= entry.count && Seek(entry.valuesAt, count * TypeBytes(entry.type));
}

uint32_t TiffReader::NextValue(uint32_t type) {
    if (type == kTiffByte) return *bytes.cursor++;
    return type == kTiffShort ? U16() : U32();
}

bool TiffReader::ReadValue(const TiffEntry& entry, int32_t& value) {
    if (entry.count == 0 || !SeekValues(entry, 1)) return Fail(kTiffMalformed);
    value = static_cast<int32_t>(NextValue(entry.type));
    return true;
}

bool TiffReader::ReadSide(const TiffEntry& entry, int32_t& side) {
    if (!ReadValue(entry, side)) return false;
    if (side == 0) return Fail(kTiffMalformed);
    // Taken as unsigned: a LONG beyond the int32 range is too large as well.
    if (static_cast<uint32_t>(side) > static_cast<uint32_t>(kLargestTiffSide)) return Fail(kTiffTooLarge);
    return true;
}

// Count 1 gives the depth, count 3 the depth of RGB when all three agree (0
// when they do not, which no layout reads); any other count, an extra sample
// among them, sets no depth.
bool TiffReader::ReadSampleSizes(const TiffEntry& entry) {
    samplesPerPixel = entry.count > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(entry.count);
    if (entry.count != 1 && entry.count != 3) return true;
    if (!SeekValues(entry, entry.count)) return Fail(kTiffMalformed);
    const uint32_t first = NextValue(entry.type);
    bool equal = true;
    for (uint32_t i = 1; i < entry.count; ++i) equal = NextValue(entry.type) == first && equal;
    bitsPerSample = equal ? static_cast<int32_t>(first) : 0;
    return true;
}

// One value a sample; the first that is not 1 (unsigned integers) decides.
bool TiffReader::ReadSampleFormat(const TiffEntry& entry) {
    if (!SeekValues(entry, entry.count)) return Fail(kTiffMalformed);
    for (uint32_t i = 0; i < entry.count && sampleFormat == 1; ++i)
        sampleFormat = static_cast<int32_t>(NextValue(entry.type));
    return true;
}

// Every check comes before the allocation, so a count no file of this size
// could hold never reaches the allocator.
bool TiffReader::ReadStripList(const TiffEntry& entry, uint32_t*& list, uint32_t& length) {
    if (list != nullptr || entry.count == 0 || !SeekValues(entry, entry.count)) return Fail(kTiffMalformed);
    list = static_cast<uint32_t*>(AllocatePages(uint64_t{entry.count} * 4));
    if (list == nullptr) return Fail(kTiffOutOfMemory);
    for (uint32_t i = 0; i < entry.count; ++i) list[i] = NextValue(entry.type);
    length = entry.count;
    return true;
}

// Valid layouts that would come out wrong if read as an accepted one: they
// are declined, so that a plug-in may read them.
bool TiffReader::DeclineUnfaithful() {
    switch (sampleFormat) {
        case 1: break;
        case 2: return Fail(kTiffSignedSamples);
        case 3: return Fail(kTiffFloatSamples);
        default: return Fail(kTiffUnknownSampleFormat);
    }
    if (tiled) return Fail(kTiffTiled);
    const int32_t used = SamplesUsed(photometric);
    if (used != 0 && (extraSamples || samplesPerPixel > used || samplesPerPixelTag > used))
        return Fail(kTiffExtraSamples);
    return true;
}

bool TiffReader::ChooseOutput() {
    if (photometric == kRgb && samplesPerPixel == 3 && (bitsPerSample == 8 || bitsPerSample == 16)) {
        outputBitCount = 24;
        outputStride = static_cast<int32_t>(PaddedRowBytes(width, 24));
        return true;
    }
    const bool grey = photometric == kWhiteIsZero || photometric == kBlackIsZero;
    if ((photometric == kPalette || grey) && IsIndexDepth(bitsPerSample)) {
        if (photometric == kPalette && colorMap.count != 3u << bitsPerSample) return Fail(kTiffNoColorMap);
        outputBitCount = 8;
        outputStride = static_cast<int32_t>(PaddedRowBytes(width, 8));
        return true;
    }
    return Fail(kTiffUnsupported);
}

bool TiffReader::BuildPalette() {
    const uint32_t entries = 1u << bitsPerSample;
    if (photometric == kPalette) {
        // All reds, then all greens, then all blues; each keeps the upper byte of 16 bits.
        if (!SeekValues(colorMap, colorMap.count)) return Fail(kTiffOutsideFile);
        const uint32_t type = colorMap.type;
        for (uint32_t i = 0; i < entries; ++i) image.palette[i].rgbRed = static_cast<BYTE>(NextValue(type) >> 8);
        for (uint32_t i = 0; i < entries; ++i) image.palette[i].rgbGreen = static_cast<BYTE>(NextValue(type) >> 8);
        for (uint32_t i = 0; i < entries; ++i) image.palette[i].rgbBlue = static_cast<BYTE>(NextValue(type) >> 8);
        return true;
    }
    const uint32_t step = 255 / (entries - 1);
    for (uint32_t i = 0; i < entries; ++i) {
        const BYTE level = static_cast<BYTE>(photometric == kWhiteIsZero ? 255 - i * step : i * step);
        image.palette[i].rgbRed = image.palette[i].rgbGreen = image.palette[i].rgbBlue = level;
    }
    return true;
}

// Every strip inside the file and their total size one allocation can be
// asked for (none at all cannot).
bool TiffReader::CheckStrips(uint64_t& total) {
    total = 0;
    for (int32_t i = 0; i < stripCount; ++i) total += stripByteCounts[i];
    // More than a 32-bit sum could hold is never asked for.
    if (total == 0 || total > 0xFFFFFFFFu) return Fail(kTiffOutOfMemory);
    for (int32_t i = 0; i < stripCount; ++i) {
        if (uint64_t{stripOffsets[i]} + stripByteCounts[i] > fileLength) return Fail(kTiffOutsideFile);
    }
    return true;
}

// The joined strips are followed by one source row of zeros, so the row in
// which the data ends can be read whole: its missing bytes are zero.
bool TiffReader::JoinStrips(uint64_t rowBytes) {
    uint64_t total;
    if (!CheckStrips(total)) return false;
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

// Separate planes: the strips fall into three equal runs, red, green and
// blue, each joined into a plane of its own of exactly the picture's rows,
// cut where a run is longer and zero where it is shorter.
bool TiffReader::JoinPlanes(uint64_t rowBytes) {
    uint64_t total;
    if (stripCount % 3 != 0) return Fail(kTiffMalformed);
    if (!CheckStrips(total)) return false;
    const uint64_t planeBytes = rowBytes * static_cast<uint64_t>(height);
    stripData = static_cast<uint8_t*>(AllocatePages(3 * planeBytes));
    if (stripData == nullptr) return Fail(kTiffOutOfMemory);
    const int32_t run = stripCount / 3;
    for (int32_t plane = 0; plane < 3; ++plane) {
        uint8_t* end = stripData + plane * planeBytes;
        uint64_t room = planeBytes;
        for (int32_t i = plane * run; i < (plane + 1) * run; ++i) {
            const uint64_t taken = stripByteCounts[i] < room ? stripByteCounts[i] : room;
            memcpy(end, fileStart + stripOffsets[i], static_cast<size_t>(taken));
            end += taken;
            room -= taken;
        }
    }
    stripDataLength = planeBytes;
    return true;
}

// Fill order 2 stores each byte's pixels from its lowest bit up.
void TiffReader::ReverseBits() {
    const uint64_t length = SeparatePlanes() ? 3 * stripDataLength : stripDataLength;
    for (uint64_t i = 0; i < length; ++i) stripData[i] = Reversed(stripData[i]);
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
            const size_t sampleBytes = static_cast<size_t>(bitsPerSample / 8);
            // From one sample of a pixel to the next, and from one pixel to the next.
            const size_t apart = SeparatePlanes() ? static_cast<size_t>(stripDataLength) : sampleBytes;
            const size_t step = SeparatePlanes() ? sampleBytes : 3 * sampleBytes;
            const uint8_t* red = source + (bitsPerSample == 16 ? high : 0);
            for (int32_t x = 0; x < width; ++x, red += step, target += 3) {
                target[0] = red[2 * apart];
                target[1] = red[apart];
                target[2] = red[0];
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
