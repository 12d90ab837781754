// Text conversion, string comparison and the thread's last-error code.
#include "posix_internal.h"

#include <cerrno>
#include <cstring>
#include <cwctype>

namespace posix {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes one UTF-8 sequence at text[i]; advances i past what it consumed.
char32_t DecodeUtf8(const unsigned char* text, size_t length, size_t& i) {
    const unsigned char lead = text[i++];
    if (lead < 0x80) return lead;
    int extra;
    char32_t c;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        c = lead & 0x07;
    } else {
        return kReplacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= length || (text[i] & 0xC0) != 0x80) return kReplacement;
        c = (c << 6) | (text[i++] & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
    return c;
}

}  // namespace

std::string ToUtf8(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) AppendUtf8(out, static_cast<char32_t>(text[i]));
    return out;
}

std::string ToUtf8(const WCHAR* text) { return ToUtf8(text, wcslen(text)); }

std::wstring FromUtf8(const char* text, size_t length) {
    std::wstring out;
    out.reserve(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length;) out += static_cast<WCHAR>(DecodeUtf8(bytes, length, i));
    return out;
}

std::wstring FromUtf8(const std::string& text) { return FromUtf8(text.data(), text.size()); }

std::string SystemPath(LPCWSTR path) {
    std::string out = ToUtf8(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

void SetLastErrorFromErrno(int error) {
    DWORD code;
    switch (error) {
        case 0: code = ERROR_SUCCESS; break;
        case ENOENT: code = ERROR_FILE_NOT_FOUND; break;
        case ENOTDIR: code = ERROR_PATH_NOT_FOUND; break;
        case EEXIST: code = ERROR_FILE_EXISTS; break;
        case ENOMEM: code = ERROR_NOT_ENOUGH_MEMORY; break;
        case EBADF: code = ERROR_INVALID_HANDLE; break;
        case EINVAL: code = ERROR_INVALID_PARAMETER; break;
        case ENAMETOOLONG: code = ERROR_PATH_NOT_FOUND; break;
        case ENOSPC:
        case EFBIG:
        case EDQUOT: code = ERROR_DISK_FULL; break;
        default: code = ERROR_ACCESS_DENIED; break;
    }
    lastError = code;
}

DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD size) {
    if (text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
    wmemcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

}  // namespace posix

DWORD GetLastError() { return posix::lastError; }

void SetLastError(DWORD code) { posix::lastError = code; }

int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    for (;; ++a, ++b) {
        const wint_t x = towlower(static_cast<wint_t>(*a));
        const wint_t y = towlower(static_cast<wint_t>(*b));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// Off Windows the "ANSI" code page is UTF-8, so both code pages convert alike.
int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int bytes, LPWSTR wide, int wideSize) {
    if (text == nullptr || bytes == 0 || wideSize < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = bytes < 0 ? strlen(text) + 1 : static_cast<size_t>(bytes);
    const std::wstring converted = posix::FromUtf8(text, length);
    const int needed = static_cast<int>(converted.size());
    if (wideSize == 0) return needed;
    if (needed > wideSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    wmemcpy(wide, converted.data(), converted.size());
    return needed;
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideSize, LPSTR text, int bytes,
                        LPCSTR, BOOL* usedDefault) {
    if (wide == nullptr || wideSize == 0 || bytes < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (usedDefault != nullptr) *usedDefault = FALSE;
    const size_t length = wideSize < 0 ? wcslen(wide) + 1 : static_cast<size_t>(wideSize);
    const std::string converted = posix::ToUtf8(wide, length);
    const int needed = static_cast<int>(converted.size());
    if (bytes == 0) return needed;
    if (needed > bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(text, converted.data(), converted.size());
    return needed;
}
