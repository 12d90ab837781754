// What the PNG reader and writer share: the signature, the Paeth predictor
// and zlib's memory.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include <cstdint>
#include <cstdlib>

#include <zlib.h>

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// Whichever of left, above and upper-left is nearest to left + above - upper-left;
// ties prefer left, then above. Inline: it runs once per byte of a row.
inline int Paeth(int left, int above, int upperLeft) {
    const int pa = std::abs(above - upperLeft);
    const int pb = std::abs(left - upperLeft);
    const int pc = std::abs(left + above - 2 * upperLeft);
    if (pa <= pb && pa <= pc) return left;
    return pb <= pc ? above : upperLeft;
}

// zlib's memory: zero-filled blocks of the private heap (or of the C heap
// where no private heap was created), refused when the allocation probe says so.
voidpf PngHeapBlock(voidpf, uInt items, uInt size);
void PngFreeHeapBlock(voidpf, voidpf block);
