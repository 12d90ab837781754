// Shared libraries on dlopen, and local memory on malloc.
#include "posix_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

HMODULE LoadLibraryW(LPCWSTR name) {
    void* library = dlopen(posix::SystemPath(name).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) SetLastError(ERROR_FILE_NOT_FOUND);
    return library;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) { return module != nullptr ? dlsym(module, name) : nullptr; }

BOOL FreeLibrary(HMODULE module) { return module != nullptr && dlclose(module) == 0 ? TRUE : FALSE; }

// Local memory does not move here, so a handle is its own address. The
// requested size sits in front of the block for LocalSize.
namespace {
constexpr size_t kLocalHeader = 16;  // keeps the block as aligned as malloc's
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (bytes > SIZE_MAX - kLocalHeader) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* block = (flags & LMEM_ZEROINIT) ? calloc(1, kLocalHeader + bytes) : malloc(kLocalHeader + bytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    memcpy(block, &bytes, sizeof bytes);
    return static_cast<char*>(block) + kLocalHeader;
}

LPVOID LocalLock(HLOCAL memory) { return memory; }

BOOL LocalUnlock(HLOCAL) {
    // Win32 answers FALSE with no error once the lock count reaches zero.
    SetLastError(ERROR_SUCCESS);
    return FALSE;
}

SIZE_T LocalSize(HLOCAL memory) {
    if (memory == nullptr) return 0;
    SIZE_T bytes;
    memcpy(&bytes, static_cast<char*>(memory) - kLocalHeader, sizeof bytes);
    return bytes;
}

HLOCAL LocalFree(HLOCAL memory) {
    if (memory != nullptr) free(static_cast<char*>(memory) - kLocalHeader);
    return nullptr;
}

HGLOBAL GlobalFree(HGLOBAL memory) { return LocalFree(memory); }
