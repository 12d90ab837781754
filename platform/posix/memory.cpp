// File mapping, page allocation and heaps on mmap and calloc.
#include "posix_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace posix {

namespace {

struct MappingObject : KernelObject {
    int fd = -1;
    size_t size = 0;
    MappingObject() : KernelObject(ObjectKind::Mapping) {}
};

// Every call locks the heap: Windows serialises a heap made without
// HEAP_NO_SERIALIZE, and no caller asks for anything else.
struct HeapObject : KernelObject {
    std::mutex lock;
    std::set<void*> blocks;
    HeapObject() : KernelObject(ObjectKind::Heap) {}
};

// Base address to length, for views and for page regions: Win32 frees both
// by base address alone. Workers map and allocate at once, so each table
// has its lock.
template <class Address>
struct AddressTable {
    std::mutex lock;
    std::map<Address, size_t> lengths;

    void Add(Address base, size_t length) {
        std::lock_guard guard(lock);
        lengths[base] = length;
    }
    // Removes the entry based at base and gives its length; 0 when there is
    // none. The caller unmaps afterwards: until then no one else can be given
    // that address.
    size_t Take(Address base) {
        std::lock_guard guard(lock);
        auto it = lengths.find(base);
        if (it == lengths.end()) return 0;
        const size_t length = it->second;
        lengths.erase(it);
        return length;
    }
};
AddressTable<const void*> views;
AddressTable<void*> regions;

// Regions of at least one 2 MiB page are offered such pages, and start on a
// boundary of one, so that all but their tail can be made of them.
constexpr size_t kLargePage = size_t{2} << 20;

// length bytes of fresh pages; a region of a large page or more starts on a
// large page's boundary (a larger mapping, trimmed) and is offered them.
void* MapRegion(size_t length, int prot) {
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    if (length < kLargePage) return mmap(nullptr, length, prot, flags, -1, 0);
    void* wide = mmap(nullptr, length + kLargePage, prot, flags, -1, 0);
    if (wide == MAP_FAILED) return wide;
    const auto base = reinterpret_cast<uintptr_t>(wide);
    const uintptr_t start = (base + kLargePage - 1) & ~(kLargePage - 1);
    if (start > base) munmap(wide, start - base);
    if (start + length < base + length + kLargePage)
        munmap(reinterpret_cast<void*>(start + length), base + kLargePage - start);
    // Pictures are large and walked whole: on 2 MiB pages they take a
    // fraction of the faults and of the address-translation misses.
    madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(start);
}

// The length of [address, address + size) when it lies in one region, or
// with size 0 that of the region based at address; 0 when there is none.
size_t RegionSpan(void* address, size_t size) {
    std::lock_guard guard(regions.lock);
    auto it = regions.lengths.upper_bound(address);
    if (it == regions.lengths.begin()) return 0;
    --it;
    if (size == 0) return it->first == address ? it->second : 0;
    auto* base = static_cast<char*>(it->first);
    auto* p = static_cast<char*>(address);
    return p >= base && p + size <= base + it->second ? size : 0;
}

size_t PageRound(size_t bytes) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

bool CloseOtherObject(KernelObject* object) {
    if (object->kind == ObjectKind::Mapping) {
        auto* mapping = static_cast<MappingObject*>(object);
        close(mapping->fd);
        delete mapping;
        return true;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

}  // namespace posix

HANDLE CreateFileMappingW(HANDLE handle, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD sizeHigh,
                          DWORD sizeLow, LPCWSTR) {
    posix::FileObject* file = posix::AsFile(handle);
    struct stat info;
    if (file == nullptr || protect != PAGE_READONLY || sizeHigh != 0 || sizeLow != 0 ||
        fstat(file->fd, &info) != 0) {
        SetLastError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (info.st_size == 0) {
        SetLastError(ERROR_FILE_INVALID);  // an empty file cannot be mapped
        return nullptr;
    }
    auto* mapping = new posix::MappingObject;
    mapping->fd = dup(file->fd);
    mapping->size = static_cast<size_t>(info.st_size);
    return mapping;
}

LPVOID MapViewOfFile(HANDLE handle, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes) {
    auto* object = static_cast<posix::KernelObject*>(handle);
    if (object == nullptr || object->kind != posix::ObjectKind::Mapping || access != FILE_MAP_READ ||
        offsetHigh != 0 || offsetLow != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* mapping = static_cast<posix::MappingObject*>(object);
    const size_t length = bytes == 0 ? mapping->size : bytes;
    if (length > mapping->size) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    void* view = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, mapping->fd, 0);
    if (view == MAP_FAILED) {
        posix::SetLastErrorFromErrno(errno);
        return nullptr;
    }
    posix::views.Add(view, length);
    return view;
}

BOOL UnmapViewOfFile(LPCVOID view) {
    const size_t length = posix::views.Take(view);
    if (length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    munmap(const_cast<void*>(view), length);
    return TRUE;
}

SIZE_T VirtualQuery(LPCVOID address, MEMORY_BASIC_INFORMATION* info, SIZE_T size) {
    std::unique_lock guard(posix::views.lock);
    auto it = posix::views.lengths.upper_bound(address);
    if (info == nullptr || size < sizeof *info || it == posix::views.lengths.begin()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    --it;
    const auto* base = static_cast<const char*>(it->first);
    const auto* p = static_cast<const char*>(address);
    const size_t length = posix::PageRound(it->second);
    guard.unlock();
    if (p < base || p >= base + length) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Views are the only regions asked about; they are committed, read-only, in whole pages.
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t offset = static_cast<size_t>(p - base) / page * page;
    *info = MEMORY_BASIC_INFORMATION{const_cast<char*>(base + offset), const_cast<char*>(base), PAGE_READONLY,
                                     length - offset, MEM_COMMIT, PAGE_READONLY, MEM_MAPPED};
    return sizeof *info;
}

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
    if (size == 0 || protect != PAGE_READWRITE || !(type & (MEM_RESERVE | MEM_COMMIT))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const size_t length = posix::PageRound(size);
    if (address == nullptr) {
        // Reserving maps inaccessible pages; committing makes them usable and zero.
        const int prot = (type & MEM_COMMIT) ? PROT_READ | PROT_WRITE : PROT_NONE;
        void* region = posix::MapRegion(length, prot);
        if (region == MAP_FAILED) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        posix::regions.Add(region, length);
        return region;
    }
    if (!(type & MEM_COMMIT) || posix::RegionSpan(address, length) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (mprotect(address, length, PROT_READ | PROT_WRITE) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return address;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
    if (type == MEM_RELEASE) {
        const size_t length = size == 0 ? posix::regions.Take(address) : 0;
        if (length == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        munmap(address, length);
        return TRUE;
    }
    if (type == MEM_DECOMMIT) {
        // Size 0 decommits the whole region from its base.
        const size_t span = posix::RegionSpan(address, size);
        if (span == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const size_t length = size == 0 ? span : posix::PageRound(size);
        madvise(address, length, MADV_DONTNEED);  // later commits see zero pages again
        mprotect(address, length, PROT_NONE);
        return TRUE;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HANDLE HeapCreate(DWORD, SIZE_T, SIZE_T) { return new posix::HeapObject; }

static posix::HeapObject* AsHeap(HANDLE handle) {
    auto* object = static_cast<posix::KernelObject*>(handle);
    if (object == nullptr || object->kind != posix::ObjectKind::Heap) return nullptr;
    return static_cast<posix::HeapObject*>(object);
}

BOOL HeapDestroy(HANDLE handle) {
    posix::HeapObject* heap = AsHeap(handle);
    if (heap == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (void* block : heap->blocks) free(block);  // destroying a heap frees all it holds
    delete heap;
    return TRUE;
}

LPVOID HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
    posix::HeapObject* heap = AsHeap(handle);
    if (heap == nullptr) return nullptr;
    void* block = (flags & HEAP_ZERO_MEMORY) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (block != nullptr) {
        std::lock_guard guard(heap->lock);
        heap->blocks.insert(block);
    }
    return block;
}

BOOL HeapFree(HANDLE handle, DWORD, LPVOID block) {
    posix::HeapObject* heap = AsHeap(handle);
    if (heap == nullptr) return FALSE;
    if (block == nullptr) return TRUE;
    std::unique_lock guard(heap->lock);
    if (heap->blocks.erase(block) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    guard.unlock();
    free(block);
    return TRUE;
}
