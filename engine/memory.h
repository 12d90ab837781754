// Page-granular buffers for pixels and work rows, and the private heap.
// Every page allocation of the system goes through AllocatePages and every
// release through ReleasePages, so that tests can make the n-th allocation
// fail and can count the blocks still alive.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Reserve and commit read-write pages, zero-filled; null on failure. Requests
// of 2 GiB - 1 and more are refused on every build, as a 32-bit process would.
void* AllocatePages(uint64_t bytes);
// Decommit, then release; null is ignored.
void ReleasePages(void* block);

// The growable heap for file lists, the filter workspace and the compression
// library's memory; created first at start-up and destroyed last.
extern HANDLE privateHeap;
constexpr SIZE_T kPrivateHeapInitialSize = 65536;

// Counting and failure injection shared by every allocation site that tests
// need to fail: page buffers, codec-set objects and heap blocks.
namespace AllocationProbe {
void Reset();
// The n-th allocation asked for after this call fails (1-based); 0 never.
void FailAt(int n);
// Asked by every allocation site before it allocates; false means fail.
bool Admit();
int Allocations();
int LiveBlocks();
}  // namespace AllocationProbe
