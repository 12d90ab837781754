#include "engine/memory.h"

HANDLE privateHeap = nullptr;

namespace {

int allocations = 0;
int failAt = 0;
int liveBlocks = 0;

// Below 2 GiB, and below the saturated INT32_MAX of an overflowing size.
constexpr uint64_t kLargestRequest = 0x7FFFFFFE;

}  // namespace

namespace AllocationProbe {

void Reset() {
    allocations = 0;
    failAt = 0;
}

void FailAt(int n) {
    allocations = 0;
    failAt = n;
}

bool Admit() { return ++allocations != failAt; }

int Allocations() { return allocations; }

int LiveBlocks() { return liveBlocks; }

}  // namespace AllocationProbe

void* AllocatePages(uint64_t bytes) {
    if (!AllocationProbe::Admit() || bytes == 0 || bytes > kLargestRequest) return nullptr;
    void* block = VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE | MEM_COMMIT,
                               PAGE_READWRITE);
    if (block != nullptr) ++liveBlocks;
    return block;
}

void ReleasePages(void* block) {
    if (block == nullptr) return;
    VirtualFree(block, 0, MEM_DECOMMIT);
    VirtualFree(block, 0, MEM_RELEASE);
    --liveBlocks;
}
