#include "readers/bmp_reader.h"

#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "engine/memory.h"
#include "readers/mapped_file.h"

namespace {

constexpr uint32_t kTableOffset = 54;  // whatever biSize says

// Entries of the colour table: biClrUsed, or the full table for the depth,
// never more than the 256 the picture can hold.
uint32_t TableEntries(uint32_t used, int bits) {
    const uint32_t entries = used != 0 ? used : 1u << bits;
    return entries > 256 ? 256 : entries;
}

int BitLength(uint64_t value) {
    int bits = 0;
    while (value != 0) {
        ++bits;
        value >>= 1;
    }
    return bits == 0 ? 1 : bits;
}

}  // namespace

void BmpReader::Reset() {
    ZeroMemory(&fileHeader, sizeof fileHeader);
    ZeroMemory(&infoHeader, sizeof infoHeader);
    ZeroMemory(image.palette, sizeof image.palette);
    image.pixels = nullptr;
}

void BmpReader::Release() { ReleaseHandles(); }

// A short read leaves the rest of the buffer as it was (zero): missing bytes
// of a truncated file read as zero.
bool BmpReader::ReadExactly(void* buffer, DWORD bytes) {
    DWORD read = 0;
    return ReadFile(inputFile, buffer, bytes, &read, nullptr) && read == bytes;
}

bool BmpReader::ReadAt(uint32_t offset, void* buffer, DWORD bytes) {
    if (SetFilePointer(inputFile, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != ERROR_SUCCESS)
        return false;
    return ReadExactly(buffer, bytes);
}

DecodedImage* BmpReader::Decode(LPCWSTR path) {
    inputFile = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (inputFile == INVALID_HANDLE_VALUE) {
        errorCode = kErrorCannotOpenInput;
        return nullptr;
    }
    image.fileSize = GetFileSize(inputFile, nullptr);
    ReadExactly(&fileHeader, 14);
    ReadExactly(&infoHeader, 40);
    const BITMAPINFOHEADER& h = infoHeader;
    if (h.biWidth < 1 || h.biHeight < 1 || h.biWidth > kLargestBmpSide || h.biHeight > kLargestBmpSide) {
        errorCode = kErrorInvalidPicture;
        return nullptr;
    }
    image.fileBitCount = h.biBitCount;
    bool decoded = false;
    const DWORD compression = h.biCompression;
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
                uint32_t masks[3] = {0, 0, 0};
                ReadExactly(masks, 12);
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
        if (errorCode == kErrorNone) errorCode = kErrorInvalidPicture;
        return nullptr;
    }
    image.sourceFormat = kFormatBmp;
    GetFileTime(inputFile, nullptr, nullptr, &image.lastWriteTime);
    return &image;
}

bool BmpReader::DirectPath() {
    const BITMAPINFOHEADER& h = infoHeader;
    const int bits = h.biBitCount;
    if (bits == 8) ReadExactly(image.palette, 4 * TableEntries(h.biClrUsed, 8));
    FillInfoHeader(image.header, h.biWidth, h.biHeight, bits, h.biXPelsPerMeter, h.biYPelsPerMeter, 0);
    const uint64_t rowBytes = ((bits == 8 ? 1u : 3u) * static_cast<uint64_t>(h.biWidth) + 3) & ~uint64_t{3};
    const uint64_t bytes = rowBytes * static_cast<uint64_t>(h.biHeight);
    image.pixels = static_cast<uint8_t*>(AllocatePages(bytes));
    if (image.pixels == nullptr) {
        errorCode = kErrorOutOfMemory;
        return false;
    }
    ReadAt(fileHeader.bfOffBits, image.pixels, static_cast<DWORD>(bytes));
    return true;
}

bool BmpReader::LowDepthPath() {
    const BITMAPINFOHEADER& h = infoHeader;
    const int bits = h.biBitCount;
    RGBQUAD table[256] = {};
    ReadExactly(table, 4 * TableEntries(h.biClrUsed, bits));
    const uint64_t packed = bits == 1 ? (static_cast<uint64_t>(h.biWidth) + 7) / 8 : (static_cast<uint64_t>(h.biWidth) + 1) / 2;
    const uint64_t rawBytes = ((packed + 3) & ~uint64_t{3}) * static_cast<uint64_t>(h.biHeight);
    auto* raw = static_cast<uint8_t*>(AllocatePages(rawBytes));
    if (raw == nullptr) {
        errorCode = kErrorOutOfMemory;
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
        errorCode = kErrorOutOfMemory;
    } else {
        SetBitmapHeader(*this, h.biWidth, h.biHeight, 8, h.biXPelsPerMeter, h.biYPelsPerMeter);
        converted = Convert(image.palette, rows, table, raw);
        if (converted) {
            image.pixels = rows;
        } else {
            errorCode = kErrorCannotOpenInput;
            ReleasePages(rows);
        }
    }
    ReleasePages(raw);
    return converted;
}

bool BmpReader::MaskedPath() {
    const BITMAPINFOHEADER& h = infoHeader;
    const int blueBits = BitLength(blueMask);
    const int greenBits = BitLength(static_cast<uint64_t>(greenMask) >> blueBits);
    const int redBits = BitLength(static_cast<uint64_t>(redMask) >> (blueBits + greenBits));
    // A field as wide as the pixel would make the scale divisor 2^32 - 1 wrap to zero.
    if (blueBits >= 32 || greenBits >= 32 || redBits >= 32 || fileHeader.bfOffBits > image.fileSize) {
        errorCode = kErrorInvalidPicture;
        return false;
    }
    const uint64_t stride24 = (3 * static_cast<uint64_t>(h.biWidth) + 3) & ~uint64_t{3};
    auto* rows = static_cast<uint8_t*>(AllocatePages(stride24 * static_cast<uint64_t>(h.biHeight)));
    if (rows == nullptr) {
        errorCode = kErrorOutOfMemory;
        return false;
    }
    const uint32_t restBytes = image.fileSize - fileHeader.bfOffBits;
    // One spare byte so that a file ending at its header still has a buffer.
    auto* rest = static_cast<uint8_t*>(AllocatePages(uint64_t{restBytes} + 1));
    if (rest == nullptr) {
        ReleasePages(rows);
        errorCode = kErrorOutOfMemory;
        return false;
    }
    ReadAt(fileHeader.bfOffBits, rest, restBytes);
    const int pixelBytes = h.biBitCount / 8;
    const uint64_t sourceRow =
        pixelBytes == 2 ? 2 * ((static_cast<uint64_t>(h.biWidth) + 1) & ~uint64_t{1}) : 4 * static_cast<uint64_t>(h.biWidth);
    const uint64_t blueScale = (uint64_t{1} << blueBits) - 1;
    const uint64_t greenScale = (uint64_t{1} << greenBits) - 1;
    const uint64_t redScale = (uint64_t{1} << redBits) - 1;
    for (int32_t y = 0; y < h.biHeight; ++y) {
        uint8_t* dst = rows + stride24 * static_cast<uint64_t>(y);
        for (int32_t x = 0; x < h.biWidth; ++x) {
            const uint64_t at = sourceRow * static_cast<uint64_t>(y) + static_cast<uint64_t>(x) * pixelBytes;
            // Bytes past the end of the file read as zero.
            uint32_t v = 0;
            for (int k = 0; k < pixelBytes; ++k)
                if (at + k < restBytes) v |= static_cast<uint32_t>(rest[at + k]) << (8 * k);
            dst[3 * x] = static_cast<uint8_t>(((v & blueMask) * uint64_t{255}) / blueScale);
            dst[3 * x + 1] = static_cast<uint8_t>((((v & greenMask) >> blueBits) * uint64_t{255}) / greenScale);
            dst[3 * x + 2] =
                static_cast<uint8_t>(((static_cast<uint64_t>(v & redMask) >> (blueBits + greenBits)) * 255) / redScale);
        }
    }
    ReleasePages(rest);
    image.pixels = rows;
    return true;
}

bool LoadBmp(LPCWSTR path) {
    BmpReader& reader = *bmpReader;
    reader.ResetHandles();
    reader.Reset();
    reader.usePlainMemory = true;
    DecodedImage* result = reader.Decode(path);
    reader.Release();
    currentImage = result;
    return result != nullptr;
}
