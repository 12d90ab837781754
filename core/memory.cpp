#include "core/memory.h"

#include <atomic>

HANDLE privateHeap = nullptr;

namespace {

// The probes count across every thread: the n-th allocation or output call
// of the process fails, whichever worker makes it.
std::atomic<int> allocations = 0;
std::atomic<int> failAt = 0;
std::atomic<int> liveBlocks = 0;

// Calls of Create, Write and Copy since the last reset; the site and call
// that fail.
std::atomic<int> outputCalls[3] = {};
std::atomic<int> faultSite = -1;
std::atomic<int> faultAt = 0;
std::atomic<bool> cutCopy = false;

DWORD CALLBACK CancelAfterFirstBlock(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                                     DWORD reason, HANDLE, HANDLE, LPVOID) {
    return reason == CALLBACK_CHUNK_FINISHED ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

// Below 2 GiB, and below the saturated INT32_MAX of an overflowing size.
constexpr uint64_t kLargestRequest = 0x7FFFFFFE;
uint64_t largestBlock = kLargestRequest;

}  // namespace

namespace AllocationProbe {

void Reset() { FailAt(0); }

void FailAt(int n) {
    allocations = 0;
    failAt = n;
}

bool Admit() { return ++allocations != failAt; }

int Allocations() { return allocations; }

int LiveBlocks() { return liveBlocks; }

void CapPageBlocks(uint64_t bytes) { largestBlock = bytes < kLargestRequest ? bytes : kLargestRequest; }

}  // namespace AllocationProbe

void* AllocatePages(uint64_t bytes) {
    if (!AllocationProbe::Admit() || bytes == 0 || bytes > largestBlock) return nullptr;
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

namespace WriteProbe {

void Reset() { FailAt(WriteFault::Create, 0); }

void FailAt(WriteFault fault, int n) {
    outputCalls[0] = outputCalls[1] = outputCalls[2] = 0;
    cutCopy = fault == WriteFault::CutCopy;
    faultSite = static_cast<int>(cutCopy ? WriteFault::Copy : fault);
    faultAt = n;
}

bool Admit(WriteFault site) {
    const int index = static_cast<int>(site);
    return ++outputCalls[index] != faultAt || index != faultSite;
}

int Calls(WriteFault site) { return outputCalls[static_cast<int>(site)]; }

}  // namespace WriteProbe

bool CopyToNewFile(LPCWSTR from, LPCWSTR to) {
    if (WriteProbe::Admit(WriteFault::Copy)) return CopyFileW(from, to, TRUE) != FALSE;
    if (cutCopy && CopyFileExW(from, to, CancelAfterFirstBlock, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)) {
        // A system that ignores the progress routine (Wine does) finished the
        // copy: it is taken back, as the cancel would have done.
        DeleteFileW(to);
        SetLastError(ERROR_REQUEST_ABORTED);
        return false;
    }
    if (!cutCopy) SetLastError(ERROR_DISK_FULL);
    return false;
}
