// Private-profile (INI) files with the Win32 rules: section and key names
// match without regard to case, blanks around names and values are dropped,
// a value in matching quotes loses them, and every write replaces the file
// whole.
// Files are UTF-8.
#include "posix_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace posix {

namespace {

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && iswspace(static_cast<wint_t>(text[begin]))) ++begin;
    while (end > begin && iswspace(static_cast<wint_t>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

bool SameName(const std::wstring& a, LPCWSTR b) { return lstrcmpiW(a.c_str(), b) == 0; }

struct Profile {
    std::vector<std::wstring> lines;

    static Profile Read(LPCWSTR file) {
        Profile profile;
        std::ifstream in(SystemPath(file), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        std::string text = bytes.str();
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        std::wstring line;
        for (WCHAR c : FromUtf8(text)) {
            if (c == L'\n') {
                if (!line.empty() && line.back() == L'\r') line.pop_back();
                profile.lines.push_back(line);
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) profile.lines.push_back(line);
        return profile;
    }

    // Written whole to a private file beside the old one, flushed, and renamed
    // over it: another process reads the old file or the new one, never a
    // piece, and two writers never share a half-written file.
    bool Write(LPCWSTR file) const {
        std::string text;
        // Plain line ends, as Linux text files have (Read takes CR LF too).
        for (const std::wstring& line : lines) text += ToUtf8(line.c_str(), line.size()) + "\n";
        std::string path = SystemPath(file);
        // A link is followed, so that the file it names is the one replaced.
        char target[PATH_MAX];
        struct stat link;
        if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && realpath(path.c_str(), target) != nullptr)
            path = target;
        static unsigned serial = 0;  // guarded by profileWrites
        std::string temporary;
        int fd = -1;
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            temporary = path + "." + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".new";
            fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) return false;
        struct stat old;
        if (stat(path.c_str(), &old) == 0) fchmod(fd, old.st_mode & 07777);  // the file keeps who may read it
        bool written = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
        written = close(fd) == 0 && written;
        if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
            unlink(temporary.c_str());
            return false;
        }
        return true;
    }

    static bool SectionName(const std::wstring& line, std::wstring& name) {
        const std::wstring trimmed = Trim(line);
        if (trimmed.size() < 2 || trimmed[0] != L'[') return false;
        const size_t close = trimmed.find(L']');
        name = Trim(trimmed.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
        return true;
    }

    static bool KeyValue(const std::wstring& line, std::wstring& key, std::wstring& value) {
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) return false;
        key = Trim(line.substr(0, equals));
        value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        return true;
    }

    // [begin, end) of the lines after the section header; begin is npos
    // when the section does not exist.
    void FindSection(LPCWSTR section, size_t& header, size_t& end) const {
        header = std::wstring::npos;
        end = lines.size();
        std::wstring name;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (!SectionName(lines[i], name)) continue;
            if (header != std::wstring::npos) {
                end = i;
                return;
            }
            if (SameName(name, section)) header = i;
        }
    }

    size_t FindKey(size_t header, size_t end, LPCWSTR key, std::wstring* value) const {
        std::wstring name;
        std::wstring text;
        for (size_t i = header + 1; i < end; ++i) {
            if (KeyValue(lines[i], name, text) && SameName(name, key)) {
                if (value != nullptr) *value = text;
                return i;
            }
        }
        return std::wstring::npos;
    }
};

// Each write reads the file, changes it and replaces it; Win32 serialises the
// profile calls, so two threads writing keys of one file both keep theirs.
// Reads need no lock: they see the old file or its whole replacement.
std::mutex profileWrites;

// Copies text the way the profile reader does: cut to size - 1 characters.
DWORD CopyCut(const std::wstring& text, LPWSTR buffer, DWORD size) {
    if (size == 0) return 0;
    const size_t count = std::min<size_t>(text.size(), size - 1);
    wmemcpy(buffer, text.c_str(), count);
    buffer[count] = 0;
    return static_cast<DWORD>(count);
}

// Key names of a section, each with its terminator, then one more.
DWORD ListKeys(const Profile& profile, size_t header, size_t end, LPWSTR buffer, DWORD size) {
    if (size < 2) return 0;
    std::wstring list;
    std::wstring key;
    std::wstring value;
    for (size_t i = header == std::wstring::npos ? end : header + 1; i < end; ++i)
        if (Profile::KeyValue(profile.lines[i], key, value)) list += key + L'\0';
    if (list.size() + 1 > size) {
        // Win32 cuts the list and reports size - 2.
        wmemcpy(buffer, list.c_str(), size - 2);
        buffer[size - 2] = 0;
        buffer[size - 1] = 0;
        return size - 2;
    }
    wmemcpy(buffer, list.c_str(), list.size());
    buffer[list.size()] = 0;
    return static_cast<DWORD>(list.empty() ? 0 : list.size());
}

}  // namespace

}  // namespace posix

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR file) {
    if (section == nullptr || buffer == nullptr || file == nullptr) return 0;
    const posix::Profile profile = posix::Profile::Read(file);
    size_t header;
    size_t end;
    profile.FindSection(section, header, end);
    if (key == nullptr) return posix::ListKeys(profile, header, end, buffer, size);
    std::wstring value;
    if (header != std::wstring::npos && profile.FindKey(header, end, key, &value) != std::wstring::npos)
        return posix::CopyCut(value, buffer, size);
    // The default loses its trailing blanks, as on Windows.
    std::wstring fallback = defaultValue != nullptr ? defaultValue : L"";
    while (!fallback.empty() && fallback.back() == L' ') fallback.pop_back();
    return posix::CopyCut(fallback, buffer, size);
}

UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue, LPCWSTR file) {
    WCHAR text[64];
    if (GetPrivateProfileStringW(section, key, L"", text, 64, file) == 0)
        return static_cast<UINT>(defaultValue);
    // Leading blanks, an optional sign, then digits up to the first other character.
    const WCHAR* p = text;
    while (*p != 0 && *p <= L' ') ++p;
    bool negative = false;
    if (*p == L'-' || *p == L'+') negative = *p++ == L'-';
    UINT value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) value = value * 10u + static_cast<UINT>(*p - L'0');
    return negative ? 0u - value : value;
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR file) {
    if (section == nullptr || file == nullptr) return FALSE;
    std::lock_guard guard(posix::profileWrites);
    posix::Profile profile = posix::Profile::Read(file);
    size_t header;
    size_t end;
    profile.FindSection(section, header, end);
    auto& lines = profile.lines;
    if (key == nullptr) {
        if (header == std::wstring::npos) return TRUE;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header),
                    lines.begin() + static_cast<std::ptrdiff_t>(end));
        return profile.Write(file) ? TRUE : FALSE;
    }
    const size_t line = header == std::wstring::npos ? std::wstring::npos
                                                      : profile.FindKey(header, end, key, nullptr);
    if (value == nullptr) {
        if (line == std::wstring::npos) return TRUE;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(line));
        return profile.Write(file) ? TRUE : FALSE;
    }
    const std::wstring entry = std::wstring(key) + L"=" + value;
    if (line != std::wstring::npos) {
        lines[line] = entry;
    } else if (header != std::wstring::npos) {
        // After the section's last key, before any blank lines that end it.
        size_t at = end;
        while (at > header + 1 && posix::Trim(lines[at - 1]).empty()) --at;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    } else {
        lines.push_back(L"[" + std::wstring(section) + L"]");
        lines.push_back(entry);
    }
    return profile.Write(file) ? TRUE : FALSE;
}

BOOL WritePrivateProfileSectionW(LPCWSTR section, LPCWSTR entries, LPCWSTR file) {
    if (section == nullptr || file == nullptr) return FALSE;
    std::lock_guard guard(posix::profileWrites);
    posix::Profile profile = posix::Profile::Read(file);
    size_t header;
    size_t end;
    profile.FindSection(section, header, end);
    auto& lines = profile.lines;
    if (header == std::wstring::npos) {
        header = lines.size();
        lines.push_back(L"[" + std::wstring(section) + L"]");
        end = lines.size();
    } else {
        // The section's old lines go, up to the blank lines that end it.
        while (end > header + 1 && posix::Trim(lines[end - 1]).empty()) --end;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(header + 1),
                    lines.begin() + static_cast<std::ptrdiff_t>(end));
    }
    // Each entry ends with a terminator; an empty one ends the list.
    std::vector<std::wstring> added;
    for (const WCHAR* entry = entries; entry != nullptr && *entry != 0; entry += wcslen(entry) + 1)
        added.emplace_back(entry);
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(header + 1), added.begin(), added.end());
    return profile.Write(file) ? TRUE : FALSE;
}
