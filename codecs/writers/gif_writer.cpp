#include "codecs/writers/gif_writer.h"

#include "core/memory.h"

#include <cstring>

namespace {

// Twice the largest table (3838 strings) keeps the probe chains short.
constexpr uint32_t kSlotCount = 8192;
constexpr uint32_t kSlotBytes = kSlotCount * sizeof(uint32_t);

// A slot holds key << 12 | code; codes of strings are 258 and up, so a used
// slot is never 0.
uint32_t SlotOf(uint32_t key) { return (key * 2654435761u) >> 19; }

// Sub-blocks are gathered here and written a batch at a time.
constexpr size_t kBlocksPerWrite = 32;

}  // namespace

void GifWriter::Reset() {
    ResetHandles();
    usePlainMemory = false;
    indexBuffer = nullptr;
    topDownIndices = nullptr;
    stringSlots = nullptr;
    lzwOutput = nullptr;
    lzwLength = 0;
}

void GifWriter::Release() {
    ReleasePages(indexBuffer);
    ReleasePages(topDownIndices);
    ReleasePages(stringSlots);
    indexBuffer = nullptr;
    topDownIndices = nullptr;
    stringSlots = nullptr;
    ReleaseHandles();
}

bool GifWriter::Save(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels) {
    if (!CreateOutput(path)) return false;
    indexBuffer = static_cast<uint8_t*>(AllocatePages(2 * static_cast<uint64_t>(imageSize)));
    if (indexBuffer == nullptr) {
        errorCode = kGifWriterOutOfMemory;
        return false;
    }
    RGBQUAD reduced[256] = {};
    if (!ReduceToPalette(palette, pixels, reduced, indexBuffer)) {
        errorCode = kGifWriterReductionFailed;
        return false;
    }
    static const uint8_t kTrailer = 0x3B;
    return WriteHeader(0) && WriteColorTable(reduced) && WriteImage() && WriteOutput(&kTrailer, 1);
}

bool GifWriter::WriteHeader(uint8_t backgroundIndex) {
    const int32_t b = targetBitCount - 1;
    const uint8_t header[13] = {'G',
                                'I',
                                'F',
                                '8',
                                '9',
                                'a',
                                static_cast<uint8_t>(width),
                                static_cast<uint8_t>(width >> 8),
                                static_cast<uint8_t>(height),
                                static_cast<uint8_t>(height >> 8),
                                static_cast<uint8_t>(b + 16 * (b + 8)),
                                backgroundIndex,
                                0};
    return WriteOutput(header, sizeof header);
}

bool GifWriter::WriteColorTable(const RGBQUAD* palette) {
    uint8_t table[768];
    for (int i = 0; i < 256; ++i) {
        table[3 * i] = palette[i].rgbRed;
        table[3 * i + 1] = palette[i].rgbGreen;
        table[3 * i + 2] = palette[i].rgbBlue;
    }
    return WriteOutput(table, sizeof table);
}

bool GifWriter::WriteImage() {
    const uint8_t descriptor[10] = {0x2C,
                                    0,
                                    0,
                                    0,
                                    0,
                                    static_cast<uint8_t>(width),
                                    static_cast<uint8_t>(width >> 8),
                                    static_cast<uint8_t>(height),
                                    static_cast<uint8_t>(height >> 8),
                                    0};
    if (!WriteOutput(descriptor, sizeof descriptor)) return false;

    const size_t rowLength = static_cast<size_t>(width);
    const size_t count = rowLength * static_cast<size_t>(height);
    topDownIndices = static_cast<uint8_t*>(AllocatePages(count));
    if (topDownIndices == nullptr) {
        errorCode = kGifWriterOutOfMemory;
        return false;
    }
    for (int32_t y = 0; y < height; ++y)
        memcpy(topDownIndices + static_cast<size_t>(y) * rowLength,
               indexBuffer + static_cast<size_t>(height - 1 - y) * rowLength, rowLength);

    minCodeSize = 8;
    lzwOutput = indexBuffer;
    const size_t length = Compress(topDownIndices, count);
    if (length == 0) return false;

    const uint8_t codeSizeByte = static_cast<uint8_t>(minCodeSize);
    if (!WriteOutput(&codeSizeByte, 1)) return false;
    uint8_t blocks[kBlocksPerWrite * 256];
    size_t used = 0;
    for (size_t done = 0; done < length;) {
        const size_t part = length - done < 255 ? length - done : 255;
        blocks[used] = static_cast<uint8_t>(part);
        memcpy(blocks + used + 1, lzwOutput + done, part);
        used += part + 1;
        done += part;
        // Room is kept for one more block and the terminator.
        if (used + 257 > sizeof blocks || done == length) {
            if (done == length) blocks[used++] = 0;  // the block terminator
            if (!WriteOutput(blocks, static_cast<DWORD>(used))) return false;
            used = 0;
        }
    }
    return true;
}

void GifWriter::EmitCode(int32_t code) {
    bitBuffer += static_cast<uint32_t>(code) << pendingBits;
    pendingBits += codeSize;
    while (pendingBits >= 8) {
        lzwOutput[lzwLength++] = static_cast<uint8_t>(bitBuffer);
        bitBuffer >>= 8;
        pendingBits -= 8;
    }
}

int32_t GifWriter::FindString(uint32_t key) const {
    for (uint32_t slot = SlotOf(key);; slot = (slot + 1) & (kSlotCount - 1)) {
        const uint32_t entry = stringSlots[slot];
        if (entry == 0) return -1;
        if (entry >> 12 == key) return static_cast<int32_t>(entry & 0xFFF);
    }
}

void GifWriter::AddString(uint32_t key, int32_t code) {
    uint32_t slot = SlotOf(key);
    while (stringSlots[slot] != 0) slot = (slot + 1) & (kSlotCount - 1);
    stringSlots[slot] = key << 12 | static_cast<uint32_t>(code);
}

size_t GifWriter::Compress(const uint8_t* indices, size_t count) {
    stringSlots = static_cast<uint32_t*>(AllocatePages(kSlotBytes));
    if (stringSlots == nullptr) {
        errorCode = kGifWriterOutOfMemory;
        return 0;
    }
    bitBuffer = 0;
    pendingBits = 0;
    lzwLength = 0;
    for (int k = 3; k <= 12; ++k) codeMask[k] = (1 << k) - 1;
    clearCode = 1 << minCodeSize;
    endCode = clearCode + 1;
    codeSize = minCodeSize + 1;
    nextCode = clearCode + 2;

    EmitCode(clearCode);
    int32_t current = indices[0];
    for (size_t i = 1; i < count; ++i) {
        const uint8_t byte = indices[i];
        // A string is its prefix's code and its last byte.
        const uint32_t key = static_cast<uint32_t>(current) << 8 | byte;
        // The last index always goes out as a code of its own.
        if (i + 1 < count) {
            const int32_t found = FindString(key);
            if (found >= 0) {
                current = found;
                continue;
            }
        }
        EmitCode(current);
        if (nextCode > kLargestCode) {
            // The table is full: the clear still goes out at 12 bits.
            EmitCode(clearCode);
            codeSize = minCodeSize + 1;
            nextCode = clearCode + 2;
            memset(stringSlots, 0, kSlotBytes);
        } else {
            if (codeSize < 12 && nextCode > codeMask[codeSize]) ++codeSize;
            // At the last index the string may be known already; it still
            // takes a code, so the code size moves as a reader expects.
            if (i + 1 < count) AddString(key, nextCode);
            ++nextCode;
        }
        current = byte;
    }
    EmitCode(current);
    EmitCode(endCode);
    // The last byte goes out even when no bits are pending.
    lzwOutput[lzwLength++] = static_cast<uint8_t>(bitBuffer);
    ReleaseAndClear(stringSlots);
    return lzwLength;
}
