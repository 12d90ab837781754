// Shell path helpers, folder queries and the module's own path.
// Both '\' and '/' separate; where a helper inserts a separator it uses '/'
// for a path that starts with '/' (a POSIX absolute path) and '\' otherwise,
// so Win32-style strings come out exactly as on Windows.
#include "posix_internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace posix {

namespace {

WCHAR SeparatorFor(const std::wstring& path) { return !path.empty() && path[0] == L'/' ? L'/' : L'\\'; }

bool HasDrive(const WCHAR* path) { return path[0] != 0 && path[1] == L':'; }

bool IsUnc(const WCHAR* path) { return path[0] == L'\\' && path[1] == L'\\'; }

// Length of the root of a path: "X:\", "X:", "\\", "\" or "/".
size_t RootLength(const std::wstring& path) {
    if (path.size() >= 2 && IsUnc(path.c_str())) return 2;
    if (!path.empty() && IsSeparator(path[0])) return 1;
    if (path.size() >= 2 && path[1] == L':') return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
    return 0;
}

// Removes "." segments and lets ".." remove the segment before it, never the root.
std::wstring Canonicalize(const std::wstring& path) {
    const size_t root = RootLength(path);
    std::vector<std::wstring> segments;
    std::wstring current;
    const bool trailing = path.size() > root && IsSeparator(path.back());
    for (size_t i = root; i <= path.size(); ++i) {
        if (i < path.size() && !IsSeparator(path[i])) {
            current += path[i];
            continue;
        }
        if (current == L"..") {
            if (!segments.empty()) segments.pop_back();
        } else if (current != L"." && !(current.empty() && i == path.size())) {
            segments.push_back(current);
        }
        current.clear();
    }
    std::wstring out = path.substr(0, root);
    const WCHAR separator = SeparatorFor(path);
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) out += separator;
        out += segments[i];
    }
    if (trailing && !segments.empty()) out += separator;
    if (out.size() == 2 && out[1] == L':') out += L'\\';  // a bare drive names its root
    return out;
}

}  // namespace

}  // namespace posix

using posix::IsSeparator;

BOOL PathFileExistsW(LPCWSTR path) {
    struct stat info;
    return path != nullptr && *path != 0 && stat(posix::SystemPath(path).c_str(), &info) == 0;
}

BOOL GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID information) {
    struct stat info;
    if (name == nullptr || *name == 0 || level != GetFileExInfoStandard || information == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (stat(posix::SystemPath(name).c_str(), &info) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    data.dwFileAttributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    const auto size = static_cast<uint64_t>(info.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    *static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information) = data;
    return TRUE;
}

BOOL PathIsDirectoryW(LPCWSTR path) {
    struct stat info;
    if (path == nullptr || *path == 0 || stat(posix::SystemPath(path).c_str(), &info) != 0) return FALSE;
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FALSE;
}

BOOL PathRemoveFileSpecW(LPWSTR path) {
    if (path == nullptr) return FALSE;
    WCHAR* p = path;
    WCHAR* cut = path;
    // A leading "\" or "\\" is the root and stays.
    if (IsSeparator(*p)) cut = ++p;
    if (IsSeparator(*p)) cut = ++p;
    for (; *p; ++p) {
        if (IsSeparator(*p)) {
            cut = p;
        } else if (*p == L':') {
            // The separator after a drive belongs to the root.
            cut = p + 1;
            if (IsSeparator(p[1])) cut = ++p + 1;
        }
    }
    if (*cut == 0) return FALSE;
    *cut = 0;
    return TRUE;
}

LPWSTR PathCombineW(LPWSTR dest, LPCWSTR dir, LPCWSTR file) {
    if (dest == nullptr) return nullptr;
    if (dir == nullptr && file == nullptr) {
        dest[0] = 0;
        return nullptr;
    }
    const std::wstring folder = dir != nullptr ? dir : L"";
    std::wstring joined;
    if (file == nullptr || *file == 0) {
        joined = folder;
    } else if (folder.empty() || posix::IsUnc(file) || posix::HasDrive(file)) {
        joined = file;
    } else if (IsSeparator(*file)) {
        // Rooted but not absolute: it goes below the root of dir.
        joined = folder.substr(0, posix::RootLength(folder)) + (file + 1);
    } else {
        joined = folder;
        if (!IsSeparator(joined.back())) joined += posix::SeparatorFor(folder);
        joined += file;
    }
    if (joined.size() >= MAX_PATH) {
        dest[0] = 0;
        return nullptr;
    }
    const std::wstring result = joined.empty() ? std::wstring(L"\\") : posix::Canonicalize(joined);
    wmemcpy(dest, result.c_str(), result.size() + 1);
    return dest;
}

BOOL PathAppendW(LPWSTR path, LPCWSTR more) {
    if (path == nullptr || more == nullptr) return FALSE;
    if (!posix::IsUnc(more))
        while (IsSeparator(*more)) ++more;
    return PathCombineW(path, path, more) != nullptr;
}

LPWSTR PathFindFileNameW(LPCWSTR path) {
    LPCWSTR name = path;
    for (LPCWSTR p = path; *p; ++p)
        if ((IsSeparator(*p) || *p == L':') && p[1] != 0 && !IsSeparator(p[1])) name = p + 1;
    return const_cast<LPWSTR>(name);
}

LPWSTR PathFindExtensionW(LPCWSTR path) {
    // An extension is the last '.' not followed by a separator or a space.
    LPCWSTR dot = nullptr;
    LPCWSTR p = path;
    for (; *p; ++p) {
        if (IsSeparator(*p) || *p == L' ') dot = nullptr;
        else if (*p == L'.') dot = p;
    }
    return const_cast<LPWSTR>(dot != nullptr ? dot : p);
}

void PathRemoveExtensionW(LPWSTR path) {
    if (path != nullptr) *PathFindExtensionW(path) = 0;
}

HRESULT SHGetFolderPathW(HWND, int folder, HANDLE, DWORD, LPWSTR path) {
    if (folder != CSIDL_APPDATA) return E_FAIL;
    // The per-user configuration folder of the XDG conventions.
    std::string base;
    if (const char* config = getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        base = config;
    } else if (const char* home = getenv("HOME"); home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        return E_FAIL;
    }
    mkdir(base.c_str(), 0700);
    const std::wstring wide = posix::FromUtf8(base);
    if (wide.size() >= MAX_PATH) return E_FAIL;
    wmemcpy(path, wide.c_str(), wide.size() + 1);
    return S_OK;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD size) {
    char target[PATH_MAX];
    const ssize_t length = module == nullptr ? readlink("/proc/self/exe", target, sizeof target - 1) : -1;
    if (length <= 0 || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring wide = posix::FromUtf8(target, static_cast<size_t>(length));
    if (wide.size() >= size) {  // Win32 truncates and reports the buffer size
        wmemcpy(name, wide.c_str(), size - 1);
        name[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(name, wide.c_str(), wide.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide.size());
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring full = name;
    if (!IsSeparator(full[0])) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            posix::SetLastErrorFromErrno(errno);
            return 0;
        }
        full = posix::FromUtf8(std::string(cwd)) + L"/" + full;
    }
    full = posix::Canonicalize(full);
    const DWORD result = posix::CopyOut(full, buffer, size);
    if (result < size && filePart != nullptr) {
        LPWSTR part = PathFindFileNameW(buffer);
        *filePart = IsSeparator(*part) ? nullptr : part;
    }
    return result;
}
