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
// The same, leaving the owner's pointer null.
template <class T>
void ReleaseAndClear(T*& block) {
    ReleasePages(block);
    block = nullptr;
}

// The growable heap for file lists, the filter workspace and the compression
// library's memory; created first at start-up and destroyed last.
extern HANDLE privateHeap;
constexpr SIZE_T kPrivateHeapInitialSize = 65536;

// Counting and failure injection shared by every allocation site that tests
// need to fail: page buffers, codec-set objects and heap blocks. The counts
// are process-wide and may be kept from any thread, as are the write probe's.
namespace AllocationProbe {
void Reset();
// The n-th allocation asked for after this call fails (1-based); 0 never.
void FailAt(int n);
// Asked by every allocation site before it allocates; false means fail.
bool Admit();
int Allocations();
int LiveBlocks();
// Page blocks larger than `bytes` are refused from now on, beside the
// allocator's own limit (Reset keeps the cap). The fuzz targets set it, so
// that inputs claiming huge pictures fail at once instead of filling them.
void CapPageBlocks(uint64_t bytes);
}  // namespace AllocationProbe

// Failure injection for output files, beside the allocation probe: the n-th
// create, write or copy of an output fails as on a full disk. Writers ask
// through CodecState::CreateOutput and WriteOutput, the batch through
// CopyToNewFile; each asks once per call.
enum class WriteFault { Create, Write, Copy, CutCopy };
namespace WriteProbe {
void Reset();
// The n-th call of the kind after this call fails (1-based); 0 never. A cut
// copy fails after it has written its first block.
void FailAt(WriteFault fault, int n);
// Asked by every create (Create), write (Write) and copy (Copy); false means fail.
bool Admit(WriteFault site);
int Calls(WriteFault site);
}  // namespace WriteProbe

// CopyFileW(from, to, TRUE) as the write probe lets it happen.
bool CopyToNewFile(LPCWSTR from, LPCWSTR to);
