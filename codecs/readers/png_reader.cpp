#include "codecs/readers/png_reader.h"

#include "core/memory.h"
#include "codecs/readers/ifd0_tags.h"
#include "codecs/readers/mapped_file.h"
#include "codecs/readers/png_format.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kLargestChunk = 0x7FFFFFFFu;

// Row layouts of the set-up table: how a reconstructed row becomes output.
enum Layout : int {
    kPacked,       // 1, 2, 4 bits grey or palette: one index per sample
    kIndex8,       // 8-bit grey or palette
    kGreyAlpha8,
    kGrey16,
    kGreyAlpha16,
    kRgb8,
    kRgba8,
    kRgb16,
    kRgba16,
};

constexpr int kLayoutBytes[] = {1, 1, 2, 2, 4, 3, 4, 6, 8};

// 16-bit layouts reconstruct only the high byte of each sample, the only one output.
constexpr bool IsWide(int layout) { return layout == kGrey16 || layout == kGreyAlpha16 || layout == kRgb16 || layout == kRgba16; }

struct Adam7Pass {
    int32_t column;
    int32_t row;
    int32_t columnStep;
    int32_t rowStep;
};
constexpr Adam7Pass kPasses[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

uint32_t BigEndian(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

bool IsType(const uint8_t* type, const char* name) { return memcmp(type, name, 4) == 0; }

// Bytes of one filtered row of `pixels` pixels, without the filter byte.
uint64_t RowBytes(int32_t pixels, int32_t bitDepth, int32_t bytesPerPixel) {
    switch (bitDepth) {
        case 1: return (static_cast<uint64_t>(pixels) + 7) / 8;
        case 2: return (static_cast<uint64_t>(pixels) + 3) / 4;
        case 4: return (static_cast<uint64_t>(pixels) + 1) / 2;
        default: return static_cast<uint64_t>(pixels) * bytesPerPixel;
    }
}

// Reverses one row's filter in place; `step` 2 touches only high bytes.
template <int kFilter, int kBpp, int kStep>
void Unfilter(uint8_t* row, const uint8_t* prior, int32_t count) {
    if constexpr (kFilter == 1) {
        for (int32_t i = kBpp; i < count; i += kStep) row[i] = static_cast<uint8_t>(row[i] + row[i - kBpp]);
    } else if constexpr (kFilter == 2) {
        for (int32_t i = 0; i < count; i += kStep) row[i] = static_cast<uint8_t>(row[i] + prior[i]);
    } else if constexpr (kFilter == 3) {
        int32_t i = 0;
        for (; i < kBpp && i < count; i += kStep) row[i] = static_cast<uint8_t>(row[i] + (prior[i] >> 1));
        for (; i < count; i += kStep) row[i] = static_cast<uint8_t>(row[i] + ((row[i - kBpp] + prior[i]) >> 1));
    } else if constexpr (kFilter == 4) {
        int32_t i = 0;
        for (; i < kBpp && i < count; i += kStep) row[i] = static_cast<uint8_t>(row[i] + prior[i]);
        for (; i < count; i += kStep)
            row[i] = static_cast<uint8_t>(row[i] + Paeth(row[i - kBpp], prior[i], prior[i - kBpp]));
    }
}

}  // namespace

PngReader::PngReader() { memset(paletteAlpha, 255, sizeof paletteAlpha); }

uint32_t PngReader::Crc(const uint8_t* bytes, uint32_t length) const {
    return static_cast<uint32_t>(crc32(0, bytes, length));
}

void PngReader::Reset() {
    blendTable = nullptr;
    decodeBuffer = nullptr;
    alphaBuffer = nullptr;
    joinedRun = nullptr;
    rowBlock = nullptr;
    sawPLTE = sawIDAT = sawIEND = sawGAMA = sawTRNS = sawICCP = sawEXIF = false;
    displayGamma = 0;
    background[0] = background[1] = background[2] = 255;
    pixelsPerMetreX = pixelsPerMetreY = 0;
    ZeroMemory(image.palette, sizeof image.palette);
    isGrey = false;
    interlaced = false;
    paletteCount = 0;
    fileGamma = 0;
    transparentRed = transparentGreen = transparentBlue = 0;
    memset(paletteAlpha, 255, sizeof paletteAlpha);
    DetachPicture(image);  // the previous picture belongs to the batch driver now
}

void PngReader::Release() {
    ReleaseAndClear(decodeBuffer);
    ReleaseAndClear(alphaBuffer);
    ReleaseAndClear(joinedRun);
    ReleaseHandles();
}

DecodedImage* PngReader::Decode() {
    if (!ReadHeader() || !SetUpFormat()) return nullptr;
    if (hasAlpha) {
        alphaBuffer = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(width) * static_cast<uint64_t>(height)));
        if (alphaBuffer == nullptr) {
            errorCode = kPngOutOfMemory;
            return nullptr;
        }
    }
    if (!ReadChunks()) {
        ReleaseIccProfile(image);  // a picture that failed keeps no block
        return nullptr;
    }
    CorrectGamma();
    Composite();
    SetBitmapHeader(*this, width, height, outputBitCount, pixelsPerMetreX, pixelsPerMetreY);
    image.pixels = decodeBuffer;
    decodeBuffer = nullptr;
    image.sourceFormat = kFormatPng;
    GetFileTime(inputFile, nullptr, nullptr, &image.lastWriteTime);
    return &image;
}

bool PngReader::ReadHeader() {
    if (bytes.cursor == nullptr || static_cast<uint64_t>(bytes.Left()) < 33 || memcmp(bytes.cursor, kPngSignature, 8) != 0) {
        errorCode = kPngNotPng;
        return false;
    }
    bytes.cursor += 8;
    if (bytes.U32BE() != 13) {
        errorCode = kPngBadHeaderLength;
        return false;
    }
    const uint8_t* type = bytes.cursor;
    if (!IsType(type, "IHDR")) {
        errorCode = kPngNoHeader;
        return false;
    }
    const uint8_t* data = type + 4;
    if (Crc(type, 17) != BigEndian(data + 13)) {
        errorCode = kPngBadCrc;
        return false;
    }
    bytes.cursor = data;
    width = static_cast<int32_t>(bytes.U32BE());
    height = static_cast<int32_t>(bytes.U32BE());
    if (width < 1 || width > kLargestPngSide || height < 1 || height > kLargestPngSide) {
        errorCode = kPngInvalidPicture;
        return false;
    }
    bitDepth = data[8];
    colorType = data[9];
    bytes.cursor = data + 17;
    if (data[10] != 0) {
        errorCode = kPngBadCompression;
        return false;
    }
    if (data[11] != 0) {
        errorCode = kPngBadFilterMethod;
        return false;
    }
    if (data[12] > 1) {
        errorCode = kPngBadInterlace;
        return false;
    }
    interlaced = data[12] == 1;
    return true;
}

bool PngReader::SetUpFormat() {
    if (bitDepth != 1 && bitDepth != 2 && bitDepth != 4 && bitDepth != 8 && bitDepth != 16) {
        errorCode = kPngBadBitDepth;
        return false;
    }
    int layout = -1;
    if (bitDepth < 8) {
        if (colorType == 0 || colorType == 3) layout = kPacked;
    } else if (bitDepth == 8) {
        const int byType[7] = {kIndex8, -1, kRgb8, kIndex8, kGreyAlpha8, -1, kRgba8};
        if (colorType <= 6) layout = byType[colorType];
    } else {
        const int byType[7] = {kGrey16, -1, kRgb16, -1, kGreyAlpha16, -1, kRgba16};
        if (colorType <= 6) layout = byType[colorType];
    }
    if (layout < 0) {
        errorCode = kPngBadColourType;
        return false;
    }
    isGrey = colorType == 0 || colorType == 4;
    hasAlpha = colorType == 4 || colorType == 6;
    bytesPerPixel = kLayoutBytes[layout];
    bytesPerSample = bitDepth / 8;
    outputBitCount = colorType == 2 || colorType == 6 ? 24 : 8;

    switch (layout) {
        case kPacked: SelectRoutines<kPacked>(); break;
        case kIndex8: SelectRoutines<kIndex8>(); break;
        case kGreyAlpha8: SelectRoutines<kGreyAlpha8>(); break;
        case kGrey16: SelectRoutines<kGrey16>(); break;
        case kGreyAlpha16: SelectRoutines<kGreyAlpha16>(); break;
        case kRgb8: SelectRoutines<kRgb8>(); break;
        case kRgba8: SelectRoutines<kRgba8>(); break;
        case kRgb16: SelectRoutines<kRgb16>(); break;
        default: SelectRoutines<kRgba16>(); break;
    }
    unpackByte = bitDepth == 1 ? &PngReader::Unpack<1> : bitDepth == 2 ? &PngReader::Unpack<2> : &PngReader::Unpack<4>;

    if (isGrey) {
        const int step = bitDepth == 1 ? 255 : bitDepth == 2 ? 85 : bitDepth == 4 ? 17 : 1;
        for (int k = 0, g = 0; g < 256; ++k, g += step) {
            image.palette[k].rgbBlue = image.palette[k].rgbGreen = image.palette[k].rgbRed = static_cast<BYTE>(g);
        }
    }
    const int64_t stride = PaddedRowBytes(width, outputBitCount);
    if (stride * height > INT32_MAX) {
        errorCode = kPngInvalidPicture;
        return false;
    }
    outputStride = static_cast<int32_t>(stride);
    image.fileBitCount = colorType == 2 || colorType == 6 ? 3 * bitDepth : bitDepth;
    return true;
}

bool PngReader::ReadChunks() {
    for (;;) {
        if (static_cast<uint64_t>(bytes.Left()) < 4) {
            errorCode = kPngNotPng;
            return false;
        }
        const uint32_t length = bytes.U32BE();
        if (length > kLargestChunk) {
            errorCode = kPngBadLength;
            return false;
        }
        if (static_cast<uint64_t>(bytes.Left()) < uint64_t{length} + 8) {
            errorCode = kPngNotPng;
            return false;
        }
        const uint8_t* type = bytes.cursor;
        const uint8_t* next = type + 8 + length;
        if (IsType(type, "IHDR")) {
            errorCode = kPngMisplacedChunk;
            return false;
        }
        if (IsType(type, "IDAT")) {
            if (!HandleImageData(length, type)) return false;
            continue;  // the cursor stands after the run
        }
        if (IsType(type, "IEND")) {
            if (Crc(type, length + 4) != BigEndian(type + 4 + length)) {
                errorCode = kPngBadCrc;
                return false;
            }
            sawIEND = true;
            if (sawIDAT && (colorType != 3 || sawPLTE)) return true;
            errorCode = kPngMissingData;
            return false;
        }
        if (IsType(type, "PLTE")) {
            if (!HandlePalette(length, type)) return false;
        } else if (IsType(type, "gAMA")) {
            TakeGamma(length, type);
        } else if (IsType(type, "tRNS")) {
            TakeTransparency(length, type);
        } else if (IsType(type, "pHYs")) {
            TakeResolution(length, type);
        } else if (IsType(type, "iCCP")) {
            if (!TakeProfile(length, type)) return false;
        } else if (IsType(type, "eXIf")) {
            TakeExif(length, type);
        }
        bytes.cursor = next;
    }
}

bool PngReader::HandlePalette(uint32_t length, const uint8_t* chunk) {
    if (colorType != 3) return true;
    if (sawPLTE || sawIDAT) {
        errorCode = kPngMisplacedChunk;
        return false;
    }
    if (Crc(chunk, length + 4) != BigEndian(chunk + 4 + length)) {
        errorCode = kPngBadCrc;
        return false;
    }
    const uint32_t limit = bitDepth >= 8 ? 256u : 1u << bitDepth;
    const uint32_t entries = length / 3 < limit ? length / 3 : limit;
    const uint8_t* data = chunk + 4;
    for (uint32_t i = 0; i < entries; ++i) {
        image.palette[i].rgbRed = data[3 * i];
        image.palette[i].rgbGreen = data[3 * i + 1];
        image.palette[i].rgbBlue = data[3 * i + 2];
    }
    paletteCount = static_cast<int32_t>(entries);
    sawPLTE = true;
    return true;
}

void PngReader::TakeGamma(uint32_t length, const uint8_t* chunk) {
    if (sawGAMA || sawPLTE || sawIDAT || length != 4 || Crc(chunk, 8) != BigEndian(chunk + 8)) return;
    const uint32_t value = BigEndian(chunk + 4);
    if (value < 1 || value > kLargestChunk) return;
    fileGamma = static_cast<int32_t>(value);
    sawGAMA = true;
}

void PngReader::TakeTransparency(uint32_t length, const uint8_t* chunk) {
    if (sawTRNS || sawIDAT || Crc(chunk, length + 4) != BigEndian(chunk + 4 + length)) return;
    const uint8_t* data = chunk + 4;
    const int high = bitDepth == 16 ? 0 : 1;  // which byte of a 16-bit field holds the 8-bit key
    if (colorType == 0 && length == 2) {
        transparentGreen = data[high];
    } else if (colorType == 2 && length == 6) {
        transparentRed = data[high];
        transparentGreen = data[2 + high];
        transparentBlue = data[4 + high];
    } else if (colorType == 3 && sawPLTE && length <= static_cast<uint32_t>(paletteCount)) {
        memcpy(paletteAlpha, data, length);
        memset(paletteAlpha + length, 255, 256 - length);
    } else {
        return;
    }
    sawTRNS = true;
}

void PngReader::TakeResolution(uint32_t length, const uint8_t* chunk) {
    if (sawIDAT || length != 9 || Crc(chunk, 13) != BigEndian(chunk + 13)) return;
    const uint8_t* data = chunk + 4;
    if (data[8] != 1) return;
    const uint32_t x = BigEndian(data);
    const uint32_t y = BigEndian(data + 4);
    if (x > kLargestChunk || y > kLargestChunk) return;
    pixelsPerMetreX = static_cast<int32_t>(x);
    pixelsPerMetreY = static_cast<int32_t>(y);
}

// The first iCCP, before PLTE and IDAT, with a good CRC: a name of 1..79
// bytes and its terminator, method 0, then the deflated profile. A broken one
// is skipped; false only when memory runs out.
bool PngReader::TakeProfile(uint32_t length, const uint8_t* chunk) {
    if (sawICCP || sawPLTE || sawIDAT || Crc(chunk, length + 4) != BigEndian(chunk + 4 + length)) return true;
    sawICCP = true;
    const uint8_t* data = chunk + 4;
    const auto* nameEnd = static_cast<const uint8_t*>(memchr(data, 0, length < 80 ? length : 80));
    if (nameEnd == nullptr || nameEnd == data || static_cast<uint32_t>(nameEnd - data) + 2 > length || nameEnd[1] != 0)
        return true;
    const uint8_t* compressed = nameEnd + 2;
    return InflateProfile(compressed, static_cast<uint32_t>(data + length - compressed));
}

// The profile's own header gives its size, so the block is allocated once
// and the stream must fill it exactly: a stream that says more or less (or a
// bomb) gives no profile.
bool PngReader::InflateProfile(const uint8_t* compressed, uint32_t length) {
    z_stream stream{};
    stream.zalloc = PngHeapBlock;
    stream.zfree = PngFreeHeapBlock;
    stream.next_in = const_cast<Bytef*>(compressed);
    stream.avail_in = length;
    if (inflateInit(&stream) != Z_OK) return Fail(kPngOutOfMemory);
    uint8_t size[4] = {};
    stream.next_out = size;
    stream.avail_out = 4;
    int result = inflate(&stream, Z_SYNC_FLUSH);
    const uint32_t declared = BigEndian(size);
    const bool sized = result == Z_OK && stream.avail_out == 0 && declared > 4 && declared <= kLargestIccProfile;
    uint8_t* block = sized ? AllocateIccProfile(image, declared) : nullptr;
    if (block != nullptr) {
        memcpy(block, size, 4);
        stream.next_out = block + 4;
        stream.avail_out = declared - 4;
        result = inflate(&stream, Z_FINISH);
        if (result != Z_STREAM_END || stream.avail_out != 0) ReleaseIccProfile(image);
    }
    inflateEnd(&stream);
    // Only memory makes a profile fail the picture; a broken stream is skipped.
    return (sized && block == nullptr) || result == Z_MEM_ERROR ? Fail(kPngOutOfMemory) : true;
}

// The first eXIf with a good CRC gives the orientation; anywhere before IEND.
void PngReader::TakeExif(uint32_t length, const uint8_t* chunk) {
    if (sawEXIF || Crc(chunk, length + 4) != BigEndian(chunk + 4 + length)) return;
    sawEXIF = true;
    image.orientation = ReadOrientation(chunk + 4, length);
}

bool PngReader::HandleImageData(uint32_t length, const uint8_t* chunk) {
    if (sawIDAT) {
        errorCode = kPngMisplacedChunk;
        return false;
    }
    if (Crc(chunk, length + 4) != BigEndian(chunk + 4 + length)) {
        errorCode = kPngBadCrc;
        return false;
    }
    sawIDAT = true;
    decodeBuffer = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(outputStride) * static_cast<uint64_t>(height)));
    if (decodeBuffer == nullptr) {
        errorCode = kPngOutOfMemory;
        return false;
    }
    if (!GatherRun(length)) return false;
    const bool decoded = DecodePixels();
    ReleaseAndClear(joinedRun);
    return decoded;
}

// The cursor stands at the first IDAT's type; afterwards it stands after the
// run's last CRC, at the chunk that ended the run.
bool PngReader::GatherRun(uint32_t firstLength) {
    const uint8_t* first = bytes.cursor - 4;  // the first chunk's length field
    idatData = bytes.cursor + 4;
    uint64_t total = firstLength;
    int chunks = 1;
    bytes.cursor += 8 + uint64_t{firstLength};
    for (;;) {
        if (static_cast<uint64_t>(bytes.Left()) < 4) {
            errorCode = kPngBrokenRun;
            return false;
        }
        const uint32_t length = BigEndian(bytes.cursor);
        if (length > kLargestChunk || static_cast<uint64_t>(bytes.Left()) < uint64_t{length} + 12) {
            errorCode = kPngBrokenRun;
            return false;
        }
        const uint8_t* type = bytes.cursor + 4;
        if (!IsType(type, "IDAT")) break;
        if (Crc(type, length + 4) != BigEndian(type + 4 + length)) {
            errorCode = kPngBrokenRun;
            return false;
        }
        total += length;
        ++chunks;
        bytes.cursor += 12 + uint64_t{length};
    }
    if (total > 0xFFFFFFFFu) {
        errorCode = kPngOutOfMemory;
        return false;
    }
    idatLength = static_cast<uint32_t>(total);
    if (chunks == 1 || total == 0) return true;
    joinedRun = static_cast<uint8_t*>(AllocatePages(total));
    if (joinedRun == nullptr) {
        errorCode = kPngOutOfMemory;
        return false;
    }
    uint8_t* to = joinedRun;
    for (const uint8_t* at = first; at < bytes.cursor;) {
        const uint32_t length = BigEndian(at);
        memcpy(to, at + 8, length);
        to += length;
        at += 12 + uint64_t{length};
    }
    idatData = joinedRun;
    return true;
}

bool PngReader::DecodePixels() {
    z_stream stream{};
    stream.zalloc = PngHeapBlock;
    stream.zfree = PngFreeHeapBlock;
    stream.opaque = Z_NULL;
    stream.next_in = const_cast<Bytef*>(idatData);
    stream.avail_in = idatLength;
    const int started = inflateInit(&stream);
    if (started != Z_OK) {
        errorCode = started == Z_MEM_ERROR ? kPngOutOfMemory : kPngBrokenStream;
        return false;
    }
    const uint64_t fullRow = RowBytes(width, bitDepth, bytesPerPixel) + 1;
    rowBlock = static_cast<uint8_t*>(PngHeapBlock(nullptr, 2, static_cast<uInt>(fullRow)));
    if (rowBlock == nullptr) {
        inflateEnd(&stream);
        errorCode = kPngOutOfMemory;
        return false;
    }
    currentRow = rowBlock;
    priorRow = rowBlock + fullRow;
    if (!interlaced) {
        DecodePass(stream, width, height, 0, 0, 1, 1);
    } else {
        for (const Adam7Pass& pass : kPasses) {
            const int32_t passWidth = width > pass.column ? (width - pass.column + pass.columnStep - 1) / pass.columnStep : 0;
            const int32_t passHeight = height > pass.row ? (height - pass.row + pass.rowStep - 1) / pass.rowStep : 0;
            if (passWidth == 0 || passHeight == 0) continue;
            memset(rowBlock, 0, static_cast<size_t>(2 * fullRow));
            if (!DecodePass(stream, passWidth, passHeight, pass.column, pass.row, pass.columnStep, pass.rowStep)) break;
        }
    }
    PngFreeHeapBlock(nullptr, rowBlock);
    rowBlock = currentRow = priorRow = nullptr;
    inflateEnd(&stream);
    // A broken stream still gives its rows; a lack of memory gives no picture.
    return errorCode != kPngOutOfMemory;
}

bool PngReader::DecodePass(z_stream_s& stream, int32_t passWidth, int32_t passHeight, int32_t firstColumn,
                           int32_t firstRow, int32_t columnStep, int32_t rowStep) {
    rowLength = static_cast<int32_t>(RowBytes(passWidth, bitDepth, bytesPerPixel)) + 1;
    rowPixels = passWidth;
    pixelStep = columnStep;
    byteStep = 3 * columnStep;
    lastBytePixels = bitDepth < 8 ? passWidth % (8 / bitDepth) : 0;
    const int32_t outputBytes = outputBitCount / 8;
    for (int32_t r = 0; r < passHeight; ++r) {
        const int32_t memoryRow = height - 1 - (firstRow + r * rowStep);
        uint8_t* destination = decodeBuffer + static_cast<size_t>(memoryRow) * outputStride + firstColumn * outputBytes;
        if (hasAlpha) alphaCursor = alphaBuffer + static_cast<size_t>(memoryRow) * width + firstColumn;
        stream.next_out = currentRow;
        stream.avail_out = static_cast<uInt>(rowLength);
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            // Running out of memory is no fault of the file: the rows would be made up.
            errorCode = result == Z_MEM_ERROR ? kPngOutOfMemory : kPngBrokenStream;
            return false;
        }
        // A stream that ran dry inside the row: its missing bytes count as zero.
        if (stream.avail_out != 0) memset(currentRow + rowLength - stream.avail_out, 0, stream.avail_out);
        const int filter = currentRow[0] > 4 ? 0 : currentRow[0];
        const RowRoutine routine = rowRoutine[filter];
        (this->*routine)(destination);
        if (result == Z_STREAM_END) return false;
        std::swap(currentRow, priorRow);
    }
    return true;
}

template <int kLayout>
void PngReader::SelectRoutines() {
    rowRoutine[0] = &PngReader::Reconstruct<kLayout, 0>;
    rowRoutine[1] = &PngReader::Reconstruct<kLayout, 1>;
    rowRoutine[2] = &PngReader::Reconstruct<kLayout, 2>;
    rowRoutine[3] = &PngReader::Reconstruct<kLayout, 3>;
    rowRoutine[4] = &PngReader::Reconstruct<kLayout, 4>;
}

template <int kLayout, int kFilter>
void PngReader::Reconstruct(uint8_t* destination) {
    constexpr int kBpp = kLayoutBytes[kLayout];
    Unfilter<kFilter, kBpp, IsWide(kLayout) ? 2 : 1>(currentRow + 1, priorRow + 1, rowLength - 1);
    Emit<kLayout>(destination);
}

template <int kBits>
void PngReader::Unpack(uint8_t packed, uint8_t*& destination, int32_t pixels) {
    constexpr int kMask = (1 << kBits) - 1;
    for (int32_t k = 0; k < pixels; ++k) {
        *destination = static_cast<uint8_t>((packed >> (8 - kBits * (k + 1))) & kMask);
        destination += pixelStep;
    }
}

template <int kLayout>
void PngReader::Emit(uint8_t* destination) {
    const uint8_t* row = currentRow + 1;
    const int32_t count = rowPixels;
    if constexpr (kLayout == kPacked) {
        const int32_t bytes = rowLength - 1;
        const int32_t perByte = 8 / bitDepth;
        for (int32_t b = 0; b + 1 < bytes; ++b) (this->*unpackByte)(row[b], destination, perByte);
        (this->*unpackByte)(row[bytes - 1], destination, lastBytePixels != 0 ? lastBytePixels : perByte);
    } else if constexpr (kLayout == kIndex8) {
        for (int32_t x = 0; x < count; ++x, destination += pixelStep) *destination = row[x];
    } else if constexpr (kLayout == kGreyAlpha8 || kLayout == kGrey16 || kLayout == kGreyAlpha16) {
        constexpr int kBytes = kLayoutBytes[kLayout];
        for (int32_t x = 0; x < count; ++x, destination += pixelStep) {
            *destination = row[kBytes * x];
            if constexpr (kLayout != kGrey16) {
                *alphaCursor = row[kBytes * x + kBytes / 2];
                alphaCursor += pixelStep;
            }
        }
    } else {
        constexpr int kBytes = kLayoutBytes[kLayout];
        constexpr int kSample = kLayout == kRgb16 || kLayout == kRgba16 ? 2 : 1;
        for (int32_t x = 0; x < count; ++x, destination += byteStep) {
            const uint8_t* pixel = row + kBytes * x;
            destination[0] = pixel[2 * kSample];
            destination[1] = pixel[kSample];
            destination[2] = pixel[0];
            if constexpr (kLayout == kRgba8 || kLayout == kRgba16) {
                *alphaCursor = pixel[3 * kSample];
                alphaCursor += pixelStep;
            }
        }
    }
}

// Gamma first; for an RGB colour key the key is found among the file's own
// values in the same pass, since corrected values would no longer match it.
void PngReader::CorrectGamma() {
    uint8_t table[256];
    const bool correct = sawGAMA && displayGamma != 0;
    if (correct) {
        const double exponent = 1.0 / ((fileGamma / 100000000.0) * displayGamma);
        table[0] = 0;
        for (int i = 1; i < 256; ++i) table[i] = static_cast<uint8_t>(std::pow(i / 255.0, exponent) * 255.0 + 0.5);
    }
    if (colorType == 2 && sawTRNS) {
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* pixel = decodeBuffer + static_cast<size_t>(y) * outputStride;
            for (int32_t x = 0; x < width; ++x, pixel += 3) {
                if (pixel[0] == transparentBlue && pixel[1] == transparentGreen && pixel[2] == transparentRed) {
                    pixel[0] = background[2];
                    pixel[1] = background[1];
                    pixel[2] = background[0];
                } else if (correct) {
                    for (int c = 0; c < 3; ++c) pixel[c] = table[pixel[c]];
                }
            }
        }
        return;
    }
    if (!correct) return;
    if (outputBitCount == 8) {
        for (RGBQUAD& entry : image.palette) {
            entry.rgbBlue = table[entry.rgbBlue];
            entry.rgbGreen = table[entry.rgbGreen];
            entry.rgbRed = table[entry.rgbRed];
        }
    } else {
        const size_t bytes = static_cast<size_t>(outputStride) * height;
        for (size_t i = 0; i < bytes; ++i) decodeBuffer[i] = table[decodeBuffer[i]];
    }
}

void PngReader::Composite() {
    if (!(sawTRNS || hasAlpha) || colorType == 2) return;  // an RGB key was taken with the gamma pass
    if (blendTable == nullptr) {
        BuildBlendTable(ownBlend);
        blendTable = &ownBlend[0][0];
    }
    const uint8_t* t = blendTable;
    auto blend = [t](int x, int y) { return t[x * 256 + y]; };
    const uint8_t red = background[0];
    const uint8_t green = background[1];
    const uint8_t blue = background[2];
    switch (colorType) {
        case 0: {
            RGBQUAD& entry = image.palette[transparentGreen];
            entry.rgbBlue = blue;
            entry.rgbGreen = green;
            entry.rgbRed = red;
            break;
        }
        case 3:
            for (int i = 0; i < 256; ++i) {
                RGBQUAD& entry = image.palette[i];
                const int a = paletteAlpha[i];
                entry.rgbBlue = static_cast<BYTE>(blend(a, entry.rgbBlue) + blend(255 - a, blue));
                entry.rgbGreen = static_cast<BYTE>(blend(a, entry.rgbGreen) + blend(255 - a, green));
                entry.rgbRed = static_cast<BYTE>(blend(a, entry.rgbRed) + blend(255 - a, red));
            }
            break;
        case 4:
            for (int32_t y = 0; y < height; ++y) {
                uint8_t* pixel = decodeBuffer + static_cast<size_t>(y) * outputStride;
                const uint8_t* alpha = alphaBuffer + static_cast<size_t>(y) * width;
                for (int32_t x = 0; x < width; ++x)
                    pixel[x] = static_cast<uint8_t>(blend(pixel[x], alpha[x]) + blend(red, 255 - alpha[x]));
            }
            break;
        case 6:
            for (int32_t y = 0; y < height; ++y) {
                uint8_t* pixel = decodeBuffer + static_cast<size_t>(y) * outputStride;
                const uint8_t* alpha = alphaBuffer + static_cast<size_t>(y) * width;
                for (int32_t x = 0; x < width; ++x, pixel += 3) {
                    const int a = alpha[x];
                    pixel[0] = static_cast<uint8_t>(blend(a, pixel[0]) + blend(255 - a, blue));
                    pixel[1] = static_cast<uint8_t>(blend(a, pixel[1]) + blend(255 - a, green));
                    pixel[2] = static_cast<uint8_t>(blend(a, pixel[2]) + blend(255 - a, red));
                }
            }
            break;
        default: break;
    }
}

const char* PngErrorText(int32_t code) {
    switch (code) {
        case kPngOutOfMemory: return "not enough memory for the PNG picture";
        case kPngInvalidPicture: return "PNG size outside 1..25000";
        case kPngCannotOpen: return "the PNG file could not be read";
        case kPngBadCrc: return "PNG chunk with a wrong checksum";
        case kPngBadLength: return "PNG chunk length out of range";
        case kPngBadHeaderLength:
        case kPngNoHeader: return "PNG without a proper header chunk";
        case kPngBadColourType: return "PNG colour type not allowed for its bit depth";
        case kPngBadBitDepth: return "PNG bit depth not allowed";
        case kPngBadCompression: return "PNG compression method not allowed";
        case kPngBadFilterMethod: return "PNG filter method not allowed";
        case kPngBadInterlace: return "PNG interlace method not allowed";
        case kPngMisplacedChunk: return "PNG chunk out of place";
        case kPngMissingData: return "PNG without image data or palette";
        case kPngBrokenRun:
        case kPngBrokenStream: return "broken PNG image data";
        default: return "broken PNG file";
    }
}
