#include "codecs/readers/bmp_reader.h"

#include "core/memory.h"
#include "codecs/readers/mapped_file.h"

namespace {

// Entries of the colour table: biClrUsed, or the full table for the depth,
// never more than the 256 the picture's table holds.
uint32_t TableEntries(uint32_t used, int bits) {
    const uint32_t entries = used != 0 ? used : 1u << bits;
    return entries > 256 ? 256 : entries;
}

// Position of the highest set bit + 1; 1 for an empty mask.
int BitLength(uint64_t value) {
    int bits = 0;
    for (; value != 0; value >>= 1) ++bits;
    return bits == 0 ? 1 : bits;
}

// The little-endian value of `bytes` bytes at `at`; bytes beyond `size` are
// missing from the file and read as zero.
uint32_t PixelValue(const uint8_t* data, uint64_t size, uint64_t at, int bytes) {
    uint32_t value = 0;
    for (int k = 0; k < bytes && at + k < size; ++k) value |= static_cast<uint32_t>(data[at + k]) << (8 * k);
    return value;
}

}  // namespace

void BmpReader::Reset() {
    ZeroMemory(&fileHeader, sizeof fileHeader);
    ZeroMemory(&infoHeader, sizeof infoHeader);
    ZeroMemory(image.palette, sizeof image.palette);
    image.pixels = nullptr;  // the previous picture belongs to the batch driver now
}

void BmpReader::Release() { ReleaseHandles(); }

void BmpReader::ReadSome(void* buffer, DWORD bytes) {
    DWORD read = 0;
    ReadFile(inputFile, buffer, bytes, &read, nullptr);
}

// An offset beyond the end reads nothing; the high part keeps offsets of 2 GiB
// and more from being taken as negative.
void BmpReader::ReadAt(uint32_t offset, void* buffer, DWORD bytes) {
    LONG high = 0;
    SetLastError(ERROR_SUCCESS);
    if (SetFilePointer(inputFile, static_cast<LONG>(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
        return;
    ReadSome(buffer, bytes);
}

DecodedImage* BmpReader::Decode(LPCWSTR path) {
    inputFile = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (inputFile == INVALID_HANDLE_VALUE) {
        errorCode = kBmpCannotOpen;
        return nullptr;
    }
    image.fileSize = GetFileSize(inputFile, nullptr);
    // Short reads leave the fields zero from Reset, which the checks below reject
    // or which read as an empty table and missing rows.
    ReadSome(&fileHeader, sizeof fileHeader);
    ReadSome(&infoHeader, sizeof infoHeader);
    const BITMAPINFOHEADER& h = infoHeader;
    // Top-down pictures (negative height) are left to the plug-ins.
    if (h.biWidth < 1 || h.biHeight < 1 || h.biWidth > kLargestBmpSide || h.biHeight > kLargestBmpSide) {
        errorCode = kBmpInvalidPicture;
        return nullptr;
    }
    image.fileBitCount = h.biBitCount;
    const DWORD compression = h.biCompression;
    bool decoded = false;
    switch (h.biBitCount) {
        case 1:
        case 4: decoded = compression == BI_RGB && LowDepthPath(); break;
        case 8:
        case 24: decoded = compression == BI_RGB && DirectPath(); break;
        case 16:
        case 32: {
            if (compression != BI_RGB && compression != BI_BITFIELDS) break;
            const bool wide = h.biBitCount == 32;
            redMask = wide ? 0xFF0000u : 0x7C00u;
            greenMask = wide ? 0x00FF00u : 0x03E0u;
            blueMask = wide ? 0x0000FFu : 0x001Fu;
            if (compression == BI_BITFIELDS) {
                // Straight after a 40-byte header, whatever biSize says.
                uint32_t masks[3] = {0, 0, 0};
                ReadSome(masks, sizeof masks);
                redMask = masks[0];
                greenMask = masks[1];
                blueMask = masks[2];
            }
            SetBitmapHeader(*this, h.biWidth, h.biHeight, 24, h.biXPelsPerMeter, h.biYPelsPerMeter);
            decoded = MaskedPath();
            break;
        }
        default: break;
    }
    if (!decoded) {
        if (errorCode == kErrorNone) errorCode = kBmpInvalidPicture;
        return nullptr;
    }
    image.sourceFormat = kFormatBmp;
    GetFileTime(inputFile, nullptr, nullptr, &image.lastWriteTime);
    return &image;
}

// 8 and 24 bits: the file's rows are already the delivered rows.
bool BmpReader::DirectPath() {
    const BITMAPINFOHEADER& h = infoHeader;
    const int bits = h.biBitCount;
    if (bits == 8) ReadSome(image.palette, 4 * TableEntries(h.biClrUsed, 8));
    FillInfoHeader(image.header, h.biWidth, h.biHeight, bits, h.biXPelsPerMeter, h.biYPelsPerMeter, 0);
    const uint64_t bytes = static_cast<uint64_t>(PaddedRowBytes(h.biWidth, bits)) * static_cast<uint64_t>(h.biHeight);
    image.pixels = static_cast<uint8_t*>(AllocatePages(bytes));
    if (image.pixels == nullptr) {
        errorCode = kBmpOutOfMemory;
        return false;
    }
    // Rows missing from a short file stay zero: the top of the picture.
    ReadAt(fileHeader.bfOffBits, image.pixels, static_cast<DWORD>(bytes));
    return true;
}

// 1 and 4 bits: read the packed rows, then widen them to one index a byte.
bool BmpReader::LowDepthPath() {
    const BITMAPINFOHEADER& h = infoHeader;
    const int bits = h.biBitCount;
    RGBQUAD table[256] = {};
    ReadSome(table, 4 * TableEntries(h.biClrUsed, bits));
    const uint64_t rawBytes = static_cast<uint64_t>(PaddedRowBytes(h.biWidth, bits)) * static_cast<uint64_t>(h.biHeight);
    auto* raw = static_cast<uint8_t*>(AllocatePages(rawBytes));
    if (raw == nullptr) {
        errorCode = kBmpOutOfMemory;
        return false;
    }
    ReadAt(fileHeader.bfOffBits, raw, static_cast<DWORD>(rawBytes));
    width = h.biWidth;
    height = h.biHeight;
    sourceBitCount = bits;
    targetBitCount = 8;
    ComputeStride(*this);
    auto* rows = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(imageSize)));
    bool converted = false;
    if (rows == nullptr) {
        errorCode = kBmpOutOfMemory;
    } else {
        SetBitmapHeader(*this, h.biWidth, h.biHeight, 8, h.biXPelsPerMeter, h.biYPelsPerMeter);
        converted = Convert(image.palette, rows, table, raw);
        if (converted) {
            image.pixels = rows;
        } else {
            errorCode = kBmpConversionFailed;
            ReleasePages(rows);
        }
    }
    ReleasePages(raw);
    return converted;
}

// 16 and 32 bits: every pixel's fields scaled to 0..255. The fields are taken
// as packed upward from bit 0 in the order blue, green, red, with the widths
// the masks give.
bool BmpReader::MaskedPath() {
    const BITMAPINFOHEADER& h = infoHeader;
    const int blueBits = BitLength(blueMask);
    const int greenBits = BitLength(static_cast<uint64_t>(greenMask) >> blueBits);
    const int redBits = BitLength(static_cast<uint64_t>(redMask) >> (blueBits + greenBits));
    // A field as wide as the pixel would make the divisor 2^32 - 1 wrap to zero
    // in 32 bits; rows that start beyond the file would make the rest negative.
    if (blueBits >= 32 || greenBits >= 32 || redBits >= 32 || fileHeader.bfOffBits > image.fileSize) {
        errorCode = kBmpInvalidPicture;
        return false;
    }
    const auto stride24 = static_cast<uint64_t>(PaddedRowBytes(h.biWidth, 24));
    auto* rows = static_cast<uint8_t*>(AllocatePages(stride24 * static_cast<uint64_t>(h.biHeight)));
    if (rows == nullptr) {
        errorCode = kBmpOutOfMemory;
        return false;
    }
    const uint32_t restBytes = image.fileSize - fileHeader.bfOffBits;
    // One spare byte so that a file ending where its rows begin still has a
    // buffer; its pixels then read as zero, as in a short file.
    auto* rest = static_cast<uint8_t*>(AllocatePages(uint64_t{restBytes} + 1));
    if (rest == nullptr) {
        ReleasePages(rows);
        errorCode = kBmpOutOfMemory;
        return false;
    }
    ReadAt(fileHeader.bfOffBits, rest, restBytes);
    const int pixelBytes = h.biBitCount / 8;
    const uint64_t sourceRow =
        pixelBytes == 2 ? 2 * ((static_cast<uint64_t>(h.biWidth) + 1) & ~uint64_t{1}) : 4 * static_cast<uint64_t>(h.biWidth);
    // 64-bit products: a field of up to 31 bits times 255 does not fit 32 bits.
    const uint64_t blueScale = (uint64_t{1} << blueBits) - 1;
    const uint64_t greenScale = (uint64_t{1} << greenBits) - 1;
    const uint64_t redScale = (uint64_t{1} << redBits) - 1;
    for (int32_t y = 0; y < h.biHeight; ++y) {
        const uint64_t rowStart = sourceRow * static_cast<uint64_t>(y);
        // Rows beyond the file are all zero, and zero scales to zero: the
        // zero-filled pages already hold them.
        if (rowStart >= restBytes) break;
        uint8_t* out = rows + stride24 * static_cast<uint64_t>(y);
        for (int32_t x = 0; x < h.biWidth; ++x, out += 3) {
            const uint64_t v = PixelValue(rest, restBytes, rowStart + static_cast<uint64_t>(x) * pixelBytes, pixelBytes);
            out[0] = static_cast<uint8_t>((v & blueMask) * 255 / blueScale);
            out[1] = static_cast<uint8_t>(((v & greenMask) >> blueBits) * 255 / greenScale);
            out[2] = static_cast<uint8_t>(((v & redMask) >> (blueBits + greenBits)) * 255 / redScale);
        }
    }
    ReleasePages(rest);
    image.pixels = rows;
    return true;
}

const char* BmpErrorText(int32_t code) {
    switch (code) {
        case kBmpOutOfMemory: return "not enough memory for the BMP picture";
        case kBmpInvalidPicture: return "BMP of a size, depth or compression that is not read";
        case kBmpConversionFailed: return "the BMP's 1- or 4-bit rows could not be widened";
        default: return "broken BMP file";
    }
}
