#include "codecs/readers/gif_reader.h"

#include "core/memory.h"
#include "codecs/readers/mapped_file.h"

#include <cstring>

namespace {

constexpr int32_t kLargestCode = 4095;
constexpr size_t kScreenDescriptorBytes = 7;

// Bytes from the introducer that the fixed parts of these extensions take:
// introducer, label, size byte and the block (4, 12, 11 bytes), plus the
// graphic control's terminator. The size byte in the file is not consulted.
constexpr ptrdiff_t kGraphicControlBytes = 8;
constexpr ptrdiff_t kPlainTextBytes = 15;
constexpr ptrdiff_t kApplicationBytes = 14;

}  // namespace

void GifReader::Reset() {
    screenWidth = screenHeight = 0;
    hasGlobalTable = false;
    backgroundIndex = 0;
    tableBits = 0;
    memset(globalTable, 0, sizeof globalTable);
    memset(localTable, 0, sizeof localTable);
    activeTable = nullptr;
    hasLocalTable = false;
    interlaced = false;
    transparent = false;
    transparentIndex = 0;
    flattenTransparency = true;
    fallbackColor[0] = fallbackColor[1] = fallbackColor[2] = 255;
    imageLeft = imageTop = 0;
    minCodeSize = 0;
    lzwData = nullptr;
    lzwLength = 0;
    decodedIndices = nullptr;
    imageCount = 0;
    ZeroMemory(image.palette, sizeof image.palette);
    image.pixels = nullptr;  // the previous picture belongs to the batch driver now
}

void GifReader::Release() {
    ReleaseAndClear(lzwData);
    ReleaseAndClear(decodedIndices);
    ReleaseHandles();
}

DecodedImage* GifReader::Decode() {
    if (!ReadScreen() || !FindFirstImage()) return nullptr;
    image.sourceFormat = kFormatGif;
    image.fileBitCount = tableBits;
    GetFileTime(inputFile, nullptr, nullptr, &image.lastWriteTime);
    return &image;
}

bool GifReader::ReadScreen() {
    if (bytes.Left() < 6 + static_cast<ptrdiff_t>(kScreenDescriptorBytes) || memcmp(bytes.cursor, "GIF", 3) != 0 ||
        (memcmp(bytes.cursor + 3, "87a", 3) != 0 && memcmp(bytes.cursor + 3, "89a", 3) != 0))
        return Fail(kGifMalformed);
    bytes.cursor += 6;
    screenWidth = static_cast<int32_t>(bytes.U16LE());
    screenHeight = static_cast<int32_t>(bytes.U16LE());
    if (screenWidth < 1 || screenHeight < 1 || screenWidth > kLargestGifSide || screenHeight > kLargestGifSide)
        return Fail(kGifBadScreen);
    const uint8_t packed = bytes.cursor[0];
    hasGlobalTable = (packed & 0x80) != 0;
    if (!hasGlobalTable) {
        bytes.cursor += 3;
        return true;
    }
    tableBits = (packed & 7) + 1;
    backgroundIndex = bytes.cursor[1];
    bytes.cursor += 3;
    const ptrdiff_t tableBytes = 3 << tableBits;
    if (bytes.Left() < tableBytes) return Fail(kGifMalformed);
    memcpy(globalTable, bytes.cursor, static_cast<size_t>(tableBytes));
    bytes.cursor += tableBytes;
    return true;
}

bool GifReader::SkipSubBlocks() {
    for (;;) {
        if (bytes.Left() < 1) return Fail(kGifMalformed);
        const uint8_t length = *bytes.cursor++;
        if (length == 0) return true;
        if (bytes.Left() < length) return Fail(kGifMalformed);
        bytes.cursor += length;
    }
}

bool GifReader::FindFirstImage() {
    for (;;) {
        if (bytes.Left() < 1) return Fail(kGifMalformed);
        const uint8_t* introducer = bytes.cursor++;
        switch (*introducer) {
            case 0x21: {
                if (bytes.Left() < 1) return Fail(kGifMalformed);
                const uint8_t label = *bytes.cursor;
                const ptrdiff_t available = bytes.end - introducer;
                switch (label) {
                    case 0xF9:
                        if (available < kGraphicControlBytes) return Fail(kGifMalformed);
                        transparent = (introducer[3] & 1) != 0;
                        transparentIndex = introducer[6];
                        bytes.cursor = introducer + kGraphicControlBytes;
                        break;
                    case 0x01:
                    case 0xFF: {
                        const ptrdiff_t fixed = label == 0x01 ? kPlainTextBytes : kApplicationBytes;
                        if (available < fixed) return Fail(kGifMalformed);
                        bytes.cursor = introducer + fixed;
                        if (!SkipSubBlocks()) return false;
                        break;
                    }
                    case 0xFE:
                        ++bytes.cursor;
                        if (!SkipSubBlocks()) return false;
                        break;
                    default: return Fail(kGifUnknownBlock);
                }
                break;
            }
            case 0x2C:
                if (bytes.Left() < 8) return Fail(kGifMalformed);
                imageLeft = static_cast<int32_t>(bytes.U16LE());
                imageTop = static_cast<int32_t>(bytes.U16LE());
                width = static_cast<int32_t>(bytes.U16LE());
                height = static_cast<int32_t>(bytes.U16LE());
                if (imageLeft + width > screenWidth || imageTop + height > screenHeight) return Fail(kGifMalformed);
                return DecodeImage();
            case 0x3B: return Fail(kGifMalformed);
            default: return Fail(kGifUnknownBlock);
        }
    }
}

bool GifReader::DecodeImage() {
    if (bytes.Left() < 1) return Fail(kGifMalformed);
    const uint8_t packed = *bytes.cursor++;
    hasLocalTable = (packed & 0x80) != 0;
    if (hasLocalTable) {
        const int32_t bits = (packed & 7) + 1;
        const ptrdiff_t tableBytes = 3 << bits;
        if (bytes.Left() < tableBytes) return Fail(kGifMalformed);
        memset(localTable, 0, sizeof localTable);
        memcpy(localTable, bytes.cursor, static_cast<size_t>(tableBytes));
        bytes.cursor += tableBytes;
        if (imageCount == 0) tableBits = bits;
    } else if (!hasGlobalTable) {
        return Fail(kGifMalformed);
    }
    interlaced = (packed & 0x40) != 0;
    activeTable = hasLocalTable ? localTable : globalTable;

    if (!GatherData()) return false;
    const bool decoded = DecodeLzw();
    ReleaseAndClear(lzwData);
    if (!decoded || !ComposePicture()) return false;
    ReleaseAndClear(decodedIndices);
    transparent = false;
    transparentIndex = 0;
    hasLocalTable = false;
    interlaced = false;
    ++imageCount;
    return true;
}

bool GifReader::GatherData() {
    if (bytes.Left() < 2) return Fail(kGifMalformed);
    minCodeSize = *bytes.cursor++;
    if (minCodeSize < 2 || minCodeSize > 8) return Fail(kGifMalformed);
    // The joined data can never be longer than what is left of the file.
    lzwData = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(bytes.Left())));
    if (lzwData == nullptr) return Fail(kGifOutOfMemory);
    lzwLength = 0;
    uint8_t length = *bytes.cursor++;
    if (length == 0) return Fail(kGifMalformed);
    while (length != 0) {
        // The block and the length byte after it.
        if (bytes.Left() < length + 1) return Fail(kGifMalformed);
        memcpy(lzwData + lzwLength, bytes.cursor, length);
        lzwLength += length;
        bytes.cursor += length;
        length = *bytes.cursor++;
    }
    return true;
}

void GifReader::ResetTable() {
    codeSize = minCodeSize + 1;
    nextCode = clearCode + 2;
}

int32_t GifReader::ReadCode() {
    while (bitCount < codeSize) {
        // Bits beyond the joined data read as zero.
        const uint32_t byte = dataPosition < lzwLength ? lzwData[dataPosition] : 0;
        ++dataPosition;
        bitBuffer |= byte << bitCount;
        bitCount += 8;
    }
    const int32_t code = static_cast<int32_t>(bitBuffer & static_cast<uint32_t>(codeMask[codeSize]));
    bitBuffer >>= codeSize;
    bitCount -= codeSize;
    return code;
}

void GifReader::StartTable() {
    for (int k = 3; k <= 12; ++k) codeMask[k] = (1 << k) - 1;
    clearCode = 1 << minCodeSize;
    endCode = clearCode + 1;
    // Every entry starts as a one-byte string that is its own prefix, so any
    // code a corrupt stream names has a bounded, well-formed string.
    for (int32_t code = 0; code <= kLargestCode; ++code)
        strings[code] = {static_cast<uint16_t>(code), static_cast<uint8_t>(code), 1};
    ResetTable();
    bitBuffer = 0;
    bitCount = 0;
    dataPosition = 0;
}

void GifReader::WriteString(int32_t code, uint64_t at) {
    const StringEntry* entry = &strings[code];
    for (uint64_t k = entry->length; k > 0; --k) {
        decodedIndices[at + k - 1] = entry->last;
        entry = &strings[entry->prefix];
    }
}

bool GifReader::DecodeLzw() {
    const uint64_t total = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    // An image of no pixels decodes to nothing; the block still needs a buffer.
    decodedIndices = static_cast<uint8_t*>(AllocatePages(total == 0 ? 1 : total));
    if (decodedIndices == nullptr) return Fail(kGifOutOfMemory);
    StartTable();

    uint8_t* const output = decodedIndices;
    uint64_t position = 0;
    int64_t bitsLeft = 8 * static_cast<int64_t>(lzwLength);
    int32_t previous = -1;
    // Codes are read while unread bits remain, not bytes: with small codes
    // the last byte, once loaded, can still hold whole codes.
    while (bitsLeft > 0 && position < total) {
        const int32_t code = ReadCode();
        bitsLeft -= codeSize;
        if (code == endCode) break;
        if (code == clearCode) {
            // A clear after a clear is one more clear, not a pixel.
            ResetTable();
            previous = -1;
            continue;
        }
        if (previous < 0) {
            // The code after a clear, and a first code without one, stand
            // for the one byte of their low bits.
            strings[code] = {static_cast<uint16_t>(code), static_cast<uint8_t>(code), 1};
            output[position++] = static_cast<uint8_t>(code);
            previous = code;
            continue;
        }
        int32_t current = code;
        uint8_t first;
        if (code < nextCode) {
            const uint64_t length = strings[code].length;
            if (length > total - position) break;
            WriteString(code, position);
            first = output[position];
            position += length;
        } else {
            // Not in the table yet: the previous string and its own first byte.
            const uint64_t length = strings[previous].length;
            if (length >= total - position) break;
            WriteString(previous, position);
            first = output[position];
            output[position + length] = first;
            position += length + 1;
            current = nextCode;
        }
        // A full table takes nothing more and keeps its previous code.
        if (nextCode <= kLargestCode) {
            const uint32_t length = strings[previous].length;
            strings[nextCode] = {static_cast<uint16_t>(previous), first, length + (length != UINT32_MAX ? 1u : 0u)};
            ++nextCode;
            previous = current;
            if (codeSize < 12 && nextCode > codeMask[codeSize]) ++codeSize;
        }
    }
    return true;
}

bool GifReader::ComposePicture() {
    SetBitmapHeader(*this, screenWidth, screenHeight, 8, 0, 0);
    const size_t stride = static_cast<size_t>(PaddedRowBytes(screenWidth, 8));
    image.pixels = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(stride) * screenHeight));
    if (image.pixels == nullptr) return Fail(kGifOutOfMemory);

    if (flattenTransparency && transparent) {
        const uint8_t* colour = hasGlobalTable ? globalTable + 3 * backgroundIndex : fallbackColor;
        // The same entry when the transparent index is the background's: memmove allows that.
        memmove(activeTable + 3 * transparentIndex, colour, 3);
    }
    for (int i = 0; i < 256; ++i) {
        RGBQUAD& entry = image.palette[i];
        entry.rgbRed = activeTable[3 * i];
        entry.rgbGreen = activeTable[3 * i + 1];
        entry.rgbBlue = activeTable[3 * i + 2];
        entry.rgbReserved = 0;
    }

    // Where each pass of an interlaced image starts among the decoded rows.
    const int32_t h = height;
    const int32_t pass2 = (h + 7) / 8;
    const int32_t pass3 = pass2 + (h + 3) / 8;
    const int32_t pass4 = pass3 + (h + 1) / 4;
    for (int32_t y = 0; y < screenHeight; ++y) {
        uint8_t* row = image.pixels + static_cast<size_t>(screenHeight - 1 - y) * stride;
        memset(row, backgroundIndex, static_cast<size_t>(screenWidth));
        const int32_t i = y - imageTop;
        if (i < 0 || i >= h || width == 0) continue;
        int32_t source = i;
        if (interlaced) {
            switch (i % 8) {
                case 0: source = i / 8; break;
                case 4: source = i / 8 + pass2; break;
                case 2:
                case 6: source = i / 4 + pass3; break;
                default: source = i / 2 + pass4; break;
            }
        }
        memcpy(row + imageLeft, decodedIndices + static_cast<size_t>(source) * static_cast<size_t>(width),
               static_cast<size_t>(width));
    }
    return true;
}

const char* GifErrorText(int32_t code) {
    switch (code) {
        case kGifOutOfMemory: return "not enough memory for the GIF picture";
        case kGifBadScreen: return "GIF screen size outside 1..25000";
        case kGifUnknownBlock: return "GIF block of a kind the format does not have";
        default: return "broken GIF file";
    }
}
