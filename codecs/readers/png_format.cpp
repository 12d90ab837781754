#include "codecs/readers/png_format.h"

#include "core/memory.h"

#include <cstdlib>

voidpf PngHeapBlock(voidpf, uInt items, uInt size) {
    if (!AllocationProbe::Admit()) return Z_NULL;
    const uint64_t bytes = static_cast<uint64_t>(items) * size;
    if (bytes == 0 || bytes > 0x7FFFFFFFu) return Z_NULL;
    if (privateHeap == nullptr) return calloc(1, static_cast<size_t>(bytes));
    return HeapAlloc(privateHeap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(bytes));
}

void PngFreeHeapBlock(voidpf, voidpf block) {
    if (block == nullptr) return;
    if (privateHeap == nullptr) {
        free(block);
        return;
    }
    HeapFree(privateHeap, 0, block);
}
