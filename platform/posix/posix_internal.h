// Shared pieces of the POSIX stand-in: text conversion at the system-call
// boundary, errno translation and the kernel objects behind a HANDLE.
#pragma once

#include "win32_api.h"

#include <string>
#include <sys/types.h>

namespace posix {

// UTF-32 wide text to UTF-8; unpaired or invalid code points become U+FFFD.
std::string ToUtf8(const WCHAR* text, size_t length);
std::string ToUtf8(const WCHAR* text);
// UTF-8 to wide text; malformed bytes become U+FFFD.
std::wstring FromUtf8(const char* text, size_t length);
std::wstring FromUtf8(const std::string& text);

// A Win32-style path as the kernel wants it: UTF-8 with '\' turned into '/'.
std::string SystemPath(LPCWSTR path);

// Records errno as the nearest Win32 error code.
void SetLastErrorFromErrno(int error);

inline bool IsSeparator(WCHAR c) { return c == L'\\' || c == L'/'; }

// Copies text into a caller's buffer of size characters the way the Win32
// query functions do: the length without the terminator when it fits, else
// the size needed including the terminator (and nothing written).
DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD size);

// Writes every byte, retrying what a signal interrupts; false on any failure.
bool WriteAll(int fd, const char* data, size_t bytes);

enum class ObjectKind { File, Mapping, Heap, Search };

struct KernelObject {
    ObjectKind kind;
    explicit KernelObject(ObjectKind k) : kind(k) {}
    virtual ~KernelObject() = default;
};

struct FileObject : KernelObject {
    int fd = -1;
    DWORD access = 0;
    DWORD share = 0;
    dev_t device = 0;
    ino_t inode = 0;
    FileObject() : KernelObject(ObjectKind::File) {}
};

// Returns the object behind a handle when it is of the wanted kind.
FileObject* AsFile(HANDLE handle);
// Releases a mapping or heap object (files are closed by the file code).
bool CloseOtherObject(KernelObject* object);

}  // namespace posix
