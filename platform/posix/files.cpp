// Files and folders on POSIX descriptors, with Win32's share modes enforced
// between the handles of this process.
#include "posix_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace posix {

namespace {

std::vector<FileObject*> openFiles;

// Win32 refuses an open when either side's share mode does not allow the
// other side's access.
bool ConflictsWithOpenHandles(dev_t device, ino_t inode, DWORD access, DWORD share) {
    for (const FileObject* f : openFiles) {
        if (f->device != device || f->inode != inode) continue;
        if ((access & GENERIC_READ) && !(f->share & FILE_SHARE_READ)) return true;
        if ((access & GENERIC_WRITE) && !(f->share & FILE_SHARE_WRITE)) return true;
        if ((f->access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
        if ((f->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
}

bool OpenWithoutDeleteSharing(dev_t device, ino_t inode) {
    return std::any_of(openFiles.begin(), openFiles.end(), [&](const FileObject* f) {
        return f->device == device && f->inode == inode && !(f->share & FILE_SHARE_DELETE);
    });
}

int OpenFlags(DWORD access, DWORD disposition) {
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) flags |= O_RDWR;
    else if (access & GENERIC_WRITE) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    switch (disposition) {
        case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
        case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
        case OPEN_ALWAYS: flags |= O_CREAT; break;
        case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
        default: break;
    }
    return flags;
}

FILETIME ToFileTime(const timespec& t) {
    // 100-nanosecond intervals since 1601-01-01.
    const uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
                           static_cast<uint64_t>(t.tv_nsec) / 100u;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

bool WriteAll(int fd, const char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = write(fd, data, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

struct SearchObject : KernelObject {
    DIR* folder = nullptr;
    std::string folderPath;  // with a trailing '/'
    std::string pattern;
    SearchObject() : KernelObject(ObjectKind::Search) {}
};

SearchObject* AsSearch(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->kind == ObjectKind::Search ? static_cast<SearchObject*>(object) : nullptr;
}

// The next entry that matches, described as Win32 does; false at the end.
bool NextMatch(SearchObject& search, WIN32_FIND_DATAW& data) {
    while (const dirent* entry = readdir(search.folder)) {
        if (fnmatch(search.pattern.c_str(), entry->d_name, FNM_CASEFOLD) != 0) continue;
        struct stat info;
        if (stat((search.folderPath + entry->d_name).c_str(), &info) != 0) continue;
        ZeroMemory(&data, sizeof data);
        data.dwFileAttributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        data.ftCreationTime = ToFileTime(info.st_ctim);
        data.ftLastAccessTime = ToFileTime(info.st_atim);
        data.ftLastWriteTime = ToFileTime(info.st_mtim);
        const auto size = static_cast<uint64_t>(info.st_size);
        data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data.nFileSizeLow = static_cast<DWORD>(size);
        const std::wstring name = FromUtf8(entry->d_name);
        wcsncpy(data.cFileName, name.c_str(), MAX_PATH - 1);
        return true;
    }
    return false;
}

}  // namespace

FileObject* AsFile(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    auto* object = static_cast<KernelObject*>(handle);
    return object->kind == ObjectKind::File ? static_cast<FileObject*>(object) : nullptr;
}

}  // namespace posix

using posix::AsFile;
using posix::FileObject;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD, HANDLE) {
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = posix::SystemPath(name);
    struct stat before;
    const bool existed = stat(path.c_str(), &before) == 0;
    if (existed && S_ISDIR(before.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);  // folders need backup semantics on Windows
        return INVALID_HANDLE_VALUE;
    }
    if (existed && posix::ConflictsWithOpenHandles(before.st_dev, before.st_ino, access, share)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    const int fd = open(path.c_str(), posix::OpenFlags(access, disposition), 0666);
    if (fd < 0) {
        posix::SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    fstat(fd, &info);
    auto* file = new FileObject;
    file->fd = fd;
    file->access = access;
    file->share = share;
    file->device = info.st_dev;
    file->inode = info.st_ino;
    posix::openFiles.push_back(file);
    // Win32 reports an opened-over existing file this way, with success.
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return file;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    FileObject* file = AsFile(handle);
    if (read != nullptr) *read = 0;
    if (file == nullptr || !(file->access & GENERIC_READ)) {
        SetLastError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto* out = static_cast<char*>(buffer);
    DWORD total = 0;
    while (total < toRead) {
        const ssize_t n = ::read(file->fd, out + total, toRead - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            posix::SetLastErrorFromErrno(errno);
            if (read != nullptr) *read = total;
            return FALSE;
        }
        if (n == 0) break;  // end of file is success with a short count
        total += static_cast<DWORD>(n);
    }
    if (read != nullptr) *read = total;
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    FileObject* file = AsFile(handle);
    if (written != nullptr) *written = 0;
    if (file == nullptr || !(file->access & GENERIC_WRITE)) {
        SetLastError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const auto* in = static_cast<const char*>(buffer);
    DWORD total = 0;
    while (total < toWrite) {
        const ssize_t n = write(file->fd, in + total, toWrite - total);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            posix::SetLastErrorFromErrno(n < 0 ? errno : ENOSPC);
            if (written != nullptr) *written = total;
            return FALSE;
        }
        total += static_cast<DWORD>(n);
    }
    if (written != nullptr) *written = total;
    return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distanceHigh, DWORD method) {
    FileObject* file = AsFile(handle);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t offset = distance;
    if (distanceHigh != nullptr)
        offset = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh))
                                       << 32) |
                                      static_cast<uint32_t>(distance));
    const int whence = method == FILE_END ? SEEK_END : method == FILE_CURRENT ? SEEK_CUR : SEEK_SET;
    const off_t position = lseek(file->fd, static_cast<off_t>(offset), whence);
    if (position < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // Win32's answer to a seek before the start
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(position);
}

DWORD GetFileSize(HANDLE handle, LPDWORD sizeHigh) {
    FileObject* file = AsFile(handle);
    struct stat info;
    if (file == nullptr || fstat(file->fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<uint64_t>(info.st_size);
    if (sizeHigh != nullptr) *sizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL GetFileTime(HANDLE handle, LPFILETIME creation, LPFILETIME access, LPFILETIME write) {
    FileObject* file = AsFile(handle);
    struct stat info;
    if (file == nullptr || fstat(file->fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (creation != nullptr) *creation = posix::ToFileTime(info.st_ctim);
    if (access != nullptr) *access = posix::ToFileTime(info.st_atim);
    if (write != nullptr) *write = posix::ToFileTime(info.st_mtim);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (FileObject* file = AsFile(handle)) {
        auto& open = posix::openFiles;
        open.erase(std::remove(open.begin(), open.end(), file), open.end());
        close(file->fd);
        delete file;
        return TRUE;
    }
    return posix::CloseOtherObject(static_cast<posix::KernelObject*>(handle)) ? TRUE : FALSE;
}

BOOL DeleteFileW(LPCWSTR name) {
    const std::string path = posix::SystemPath(name);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (posix::OpenWithoutDeleteSharing(info.st_dev, info.st_ino)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
    HANDLE in = CreateFileW(existing, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) return FALSE;
    HANDLE out = CreateFileW(target, GENERIC_WRITE, 0, nullptr,
                             failIfExists ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(in);
        SetLastError(error);
        return FALSE;
    }
    const int inFd = AsFile(in)->fd;
    const int outFd = AsFile(out)->fd;
    char chunk[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = read(inFd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!posix::WriteAll(outFd, chunk, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    struct stat info;
    if (ok && fstat(inFd, &info) == 0) {
        const timespec times[2] = {info.st_atim, info.st_mtim};  // a copy keeps its write time
        futimens(outFd, times);
    }
    const int error = errno;
    CloseHandle(in);
    CloseHandle(out);
    if (!ok) {
        unlink(posix::SystemPath(target).c_str());
        posix::SetLastErrorFromErrno(error);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    if (mkdir(posix::SystemPath(path).c_str(), 0777) != 0) {
        if (errno == EEXIST) SetLastError(ERROR_ALREADY_EXISTS);
        else if (errno == ENOENT) SetLastError(ERROR_PATH_NOT_FOUND);
        else posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    if (rmdir(posix::SystemPath(path).c_str()) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
    const char* dir = getenv("TMPDIR");
    std::wstring path = posix::FromUtf8(std::string(dir != nullptr && *dir ? dir : "/tmp"));
    if (!posix::IsSeparator(path.back())) path += L'/';
    return posix::CopyOut(path, buffer, size);
}

UINT GetTempFileNameW(LPCWSTR folder, LPCWSTR prefix, UINT unique, LPWSTR name) {
    std::wstring base = folder;
    if (!base.empty() && !posix::IsSeparator(base.back())) base += base[0] == L'/' ? L'/' : L'\\';
    base.append(prefix, std::min<size_t>(wcslen(prefix), 3));
    static UINT next = static_cast<UINT>(getpid()) & 0xFFFF;
    const bool create = unique == 0;
    for (int attempt = 0; attempt < 0x10000; ++attempt) {
        const UINT number = create ? (next++ & 0xFFFF) : (unique & 0xFFFF);
        if (number == 0) continue;
        WCHAR hex[8];
        swprintf(hex, 8, L"%X", number);
        const std::wstring candidate = base + hex + L".tmp";
        if (candidate.size() >= MAX_PATH) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!create) {
            wmemcpy(name, candidate.c_str(), candidate.size() + 1);
            return number;
        }
        HANDLE file = CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            wmemcpy(name, candidate.c_str(), candidate.size() + 1);
            return number;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return 0;
    }
    return 0;
}

DWORD GetLongPathNameW(LPCWSTR shortPath, LPWSTR longPath, DWORD size) {
    // There are no short names here: an existing path is already long.
    if (!PathFileExistsW(shortPath)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return posix::CopyOut(shortPath, longPath, size);
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    const std::string path = posix::SystemPath(pattern);
    const size_t slash = path.rfind('/');
    auto* search = new posix::SearchObject;
    search->folderPath = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    search->pattern = slash == std::string::npos ? path : path.substr(slash + 1);
    search->folder = opendir(search->folderPath.c_str());
    if (search->folder == nullptr) {
        posix::SetLastErrorFromErrno(errno);
        if (GetLastError() == ERROR_FILE_NOT_FOUND) SetLastError(ERROR_PATH_NOT_FOUND);
        delete search;
        return INVALID_HANDLE_VALUE;
    }
    if (!posix::NextMatch(*search, *data)) {
        closedir(search->folder);
        delete search;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return search;
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
    posix::SearchObject* search = posix::AsSearch(handle);
    if (search == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!posix::NextMatch(*search, *data)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE handle) {
    posix::SearchObject* search = posix::AsSearch(handle);
    if (search == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    closedir(search->folder);
    delete search;
    return TRUE;
}
