// Files and folders on POSIX descriptors, with Win32's share modes enforced
// between the handles of this process.
#include "posix_internal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace posix {

namespace {

// Every file handle of the process, for the share-mode checks; read and
// changed only under the lock. Win32 checks the share modes and opens or
// deletes in one step, so the lock is held from the check to the act: two
// threads never both get a handle that excludes the other's.
std::mutex openFilesLock;
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

}  // namespace

bool WriteAll(int fd, const char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = write(fd, data, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

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
        const std::string path = search.folderPath + entry->d_name;
        struct stat info;
        struct stat link;
        if (stat(path.c_str(), &info) != 0 || lstat(path.c_str(), &link) != 0) continue;
        ZeroMemory(&data, sizeof data);
        // A symbolic link reads as the reparse point it is on Windows, and a
        // leading dot as the hidden attribute, as Wine shows them.
        data.dwFileAttributes = (S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0) |
                                (S_ISLNK(link.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT : 0) |
                                (entry->d_name[0] == '.' ? FILE_ATTRIBUTE_HIDDEN : 0);
        if (data.dwFileAttributes == 0) data.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
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
    std::lock_guard guard(posix::openFilesLock);
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
    // ext4 writes a file back when it is closed if it was truncated to
    // nothing (its guard for replace-by-truncate), and deleting it then waits
    // for that write. An empty file needs no truncation, so a writable open
    // truncates by hand, and only a file that holds data.
    int flags = posix::OpenFlags(access, disposition);
    const bool truncateByHand = (flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY;
    if (truncateByHand) flags &= ~O_TRUNC;
    const int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) {
        posix::SetLastErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 ||
        (truncateByHand && S_ISREG(info.st_mode) && info.st_size != 0 && ftruncate(fd, 0) != 0)) {
        posix::SetLastErrorFromErrno(errno);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
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
        {
            std::lock_guard guard(posix::openFilesLock);
            auto& open = posix::openFiles;
            open.erase(std::remove(open.begin(), open.end(), file), open.end());
        }
        close(file->fd);
        delete file;
        return TRUE;
    }
    return posix::CloseOtherObject(static_cast<posix::KernelObject*>(handle)) ? TRUE : FALSE;
}

BOOL DeleteFileW(LPCWSTR name) {
    const std::string path = posix::SystemPath(name);
    std::lock_guard guard(posix::openFilesLock);
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

namespace posix {

namespace {

// A private file beside destination, with the source's permissions; -1 on
// failure (errno set).
int CreatePrivateBeside(const std::string& destination, mode_t mode, std::string& name) {
    const size_t slash = destination.rfind('/');
    name = (slash == std::string::npos ? std::string(".") : destination.substr(0, slash)) + "/.copy-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) fchmod(fd, mode & 0777);
    return fd;
}

// Gives the finished private file the destination's name: atomically and only
// when the name is free, or over what is there. errno tells a taken name.
bool Publish(const std::string& from, const std::string& to, bool failIfExists) {
    if (!failIfExists) return rename(from.c_str(), to.c_str()) == 0;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // A file system without that rename: a second link is just as exclusive.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
}

LARGE_INTEGER Large(int64_t value) {
    LARGE_INTEGER result;
    result.QuadPart = value;
    return result;
}

}  // namespace

}  // namespace posix

// The copy is made in a private file in the destination's folder and renamed
// to its name only when complete: no one ever sees a partial or empty
// destination, a failed or cancelled copy leaves nothing, and with
// COPY_FILE_FAIL_IF_EXISTS a name another process takes meanwhile is never
// replaced.
BOOL CopyFileExW(LPCWSTR existing, LPCWSTR target, LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel,
                 DWORD flags) {
    const bool failIfExists = (flags & COPY_FILE_FAIL_IF_EXISTS) != 0;
    const std::string destination = posix::SystemPath(target);
    struct stat existingTarget;
    if (lstat(destination.c_str(), &existingTarget) == 0) {
        if (failIfExists || S_ISDIR(existingTarget.st_mode)) {
            SetLastError(failIfExists ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
            return FALSE;
        }
        std::lock_guard guard(posix::openFilesLock);
        if (posix::ConflictsWithOpenHandles(existingTarget.st_dev, existingTarget.st_ino, GENERIC_WRITE, 0)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    HANDLE in = CreateFileW(existing, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) return FALSE;
    const int inFd = AsFile(in)->fd;
    struct stat source;
    if (fstat(inFd, &source) != 0) {
        posix::SetLastErrorFromErrno(errno);
        CloseHandle(in);
        return FALSE;
    }
    std::string temporary;
    const int outFd = posix::CreatePrivateBeside(destination, source.st_mode, temporary);
    if (outFd < 0) {
        posix::SetLastErrorFromErrno(errno == ENOENT ? ENOTDIR : errno);
        CloseHandle(in);
        return FALSE;
    }
    const int64_t total = source.st_size;
    int64_t copied = 0;
    DWORD failure = ERROR_SUCCESS;
    auto cancelled = [&](DWORD reason) {
        if (cancel != nullptr && *cancel) return true;
        if (progress == nullptr) return false;
        const DWORD answer = progress(posix::Large(total), posix::Large(copied), posix::Large(total),
                                      posix::Large(copied), 1, reason, in, nullptr, data);
        if (answer == PROGRESS_QUIET) progress = nullptr;
        return answer == PROGRESS_CANCEL || answer == PROGRESS_STOP;
    };
    if (cancelled(CALLBACK_STREAM_SWITCH)) failure = ERROR_REQUEST_ABORTED;
    char chunk[65536];
    while (failure == ERROR_SUCCESS) {
        const ssize_t n = read(inFd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) break;
        if (n < 0 || !posix::WriteAll(outFd, chunk, static_cast<size_t>(n))) {
            posix::SetLastErrorFromErrno(errno);
            failure = GetLastError();
            break;
        }
        copied += n;
        if (cancelled(CALLBACK_CHUNK_FINISHED)) failure = ERROR_REQUEST_ABORTED;
    }
    if (failure == ERROR_SUCCESS) {
        const timespec times[2] = {source.st_atim, source.st_mtim};  // a copy keeps its write time
        futimens(outFd, times);
    }
    // A file system may report a full disk only when the file is closed.
    if (close(outFd) != 0 && failure == ERROR_SUCCESS) {
        posix::SetLastErrorFromErrno(errno);
        failure = GetLastError();
    }
    CloseHandle(in);
    if (failure == ERROR_SUCCESS && !posix::Publish(temporary, destination, failIfExists)) {
        posix::SetLastErrorFromErrno(errno);
        failure = GetLastError();
    }
    if (failure != ERROR_SUCCESS) {
        unlink(temporary.c_str());
        SetLastError(failure);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
    return CopyFileExW(existing, target, nullptr, nullptr, nullptr, failIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0);
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
    // One counter for every thread, so that threads try different numbers;
    // the exclusive create still moves past a name that is taken.
    static std::atomic<UINT> next{static_cast<UINT>(getpid()) & 0xFFFF};
    const bool create = unique == 0;
    for (int attempt = 0; attempt < 0x10000; ++attempt) {
        const UINT number = create ? (next.fetch_add(1) & 0xFFFF) : (unique & 0xFFFF);
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
