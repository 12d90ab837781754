// Shared libraries on dlopen, and local memory on malloc.
#include "posix_internal.h"

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

// Local memory does not move here, so a handle is its own address.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    return (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
}

LPVOID LocalLock(HLOCAL memory) { return memory; }

BOOL LocalUnlock(HLOCAL) {
    // Win32 answers FALSE with no error once the lock count reaches zero.
    SetLastError(ERROR_SUCCESS);
    return FALSE;
}

HLOCAL LocalFree(HLOCAL memory) {
    free(memory);
    return nullptr;
}
