// The few window calls the engine makes, for a program without windows.
#include "posix_internal.h"

#include <cstdio>

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
    const std::string line = posix::ToUtf8(caption) + ": " + posix::ToUtf8(text) + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
    return IDOK;
}

BOOL SetWindowTextW(HWND window, LPCWSTR) {
    SetLastError(ERROR_INVALID_HANDLE);
    return window != nullptr ? TRUE : FALSE;
}
