#include "codecs/readers/plugin_host.h"

#include "core/memory.h"

#include <algorithm>
#include <cstring>

namespace {

// Plug-ins take 8-bit paths in the system's code page; characters outside
// it arrive as the code page's default character. Longer paths are cut.
void AnsiPath(LPCWSTR path, char (&ansi)[MAX_PATH]) {
    ZeroMemory(ansi, sizeof ansi);
    if (WideCharToMultiByte(CP_ACP, 0, path, -1, ansi, MAX_PATH, nullptr, nullptr) == 0) ansi[MAX_PATH - 1] = 0;
}

// The host never lets the user cancel a decode.
int WINAPI Progress(int, int, intptr_t) { return 0; }

template <class Function>
Function Export(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace

void PluginHost::ListPlugins(LPCWSTR folder, PluginList& list) {
    ZeroMemory(&list, sizeof list);
    WCHAR pattern[MAX_PATH];
    if (PathCombineW(pattern, folder, L"*.spi") == nullptr) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        WCHAR file[MAX_PATH];
        if (PathCombineW(file, folder, found.cFileName) == nullptr) continue;
        library = LoadLibraryW(file);
        if (library == nullptr) continue;
        if (auto getPluginInfo = Export<GetPluginInfoFunction>(library, "GetPluginInfo")) {
            char version[8] = {};
            getPluginInfo(0, version, sizeof version);
            if (memcmp(version, "00IN", 4) == 0) {
                wcsncpy(list.names[list.count], found.cFileName, MAX_PATH - 1);
                ++list.count;
            }
        }
        FreeLibrary(library);
        library = nullptr;
    } while (list.count < kPluginListSize && FindNextFileW(search, &found));
    FindClose(search);
}

bool PluginHost::FindPlugin(LPCWSTR folder, LPCWSTR path) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    image.fileSize = GetFileSize(file, nullptr);
    uint8_t head[kPluginHeadBytes] = {};  // zero beyond the end of a short file
    DWORD read = 0;
    ReadFile(file, head, sizeof head, &read, nullptr);
    CloseHandle(file);
    if (read == 0) return false;

    PluginList list;
    ListPlugins(folder, list);
    char ansi[MAX_PATH];
    AnsiPath(path, ansi);
    for (int i = 0; i < list.count; ++i) {
        WCHAR plugin[MAX_PATH];
        if (PathCombineW(plugin, folder, list.names[i]) == nullptr) continue;
        library = LoadLibraryW(plugin);
        if (library == nullptr) continue;
        if (auto isSupported = Export<IsSupportedFunction>(library, "IsSupported")) {
            if (isSupported(ansi, head) != 0) {
                dataOffset = 0;
                return true;
            }
            if (isSupported(ansi, head + kPluginLateOffset) != 0) {
                dataOffset = kPluginLateOffset;
                return true;
            }
        }
        FreeLibrary(library);
        library = nullptr;
    }
    return false;
}

DecodedImage* PluginHost::Decode(LPCWSTR path, LPCWSTR folder) {
    if (!FindPlugin(folder, path)) return nullptr;
    PluginPictureInfo info;
    ZeroMemory(&info, sizeof info);
    char ansi[MAX_PATH];
    AnsiPath(path, ansi);

    int reportedDepth = 0;
    if (auto getPictureInfo = Export<GetPictureInfoFunction>(library, "GetPictureInfo")) {
        if (getPictureInfo(ansi, dataOffset, 0, &info) == 0) {
            if (info.textInfo != nullptr) GlobalFree(info.textInfo);
            reportedDepth = info.colorDepth;
        }
    }
    auto getPicture = Export<GetPictureFunction>(library, "GetPicture");
    if (getPicture == nullptr) return nullptr;
    if (getPicture(ansi, dataOffset, 0, &infoHandle, &bitsHandle, Progress, 0) != 0) return nullptr;

    // The header is read only when the block holds all of it.
    const SIZE_T infoBytes = infoHandle != nullptr ? LocalSize(infoHandle) : 0;
    const auto* header =
        static_cast<const BITMAPINFOHEADER*>(infoBytes >= sizeof(BITMAPINFOHEADER) ? LocalLock(infoHandle) : nullptr);
    if (header == nullptr) return nullptr;
    const int bitCount = header->biBitCount;
    if (header->biCompression != BI_RGB || header->biWidth < 1 || header->biWidth > kPluginMaxSide ||
        header->biHeight < 1 || header->biHeight > kPluginMaxSide ||
        (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24)) {
        return nullptr;
    }
    image.fileBitCount = reportedDepth != 0 ? reportedDepth : bitCount;
    const uint64_t expected =
        static_cast<uint64_t>(PaddedRowBytes(header->biWidth, bitCount)) * static_cast<uint64_t>(header->biHeight);

    // Header and colour table; a shorter block leaves the rest of the table zero.
    const size_t tableBytes = std::min<size_t>(infoBytes, sizeof image.header + sizeof image.palette);
    memcpy(&image.header, header, std::min(tableBytes, sizeof image.header));
    if (tableBytes > sizeof image.header)
        memcpy(image.palette, reinterpret_cast<const uint8_t*>(header) + sizeof image.header,
               tableBytes - sizeof image.header);

    const SIZE_T bitsBytes = bitsHandle != nullptr ? LocalSize(bitsHandle) : 0;
    const auto* bits = static_cast<const uint8_t*>(bitsBytes != 0 ? LocalLock(bitsHandle) : nullptr);
    if (bits == nullptr) return nullptr;
    image.pixels = static_cast<uint8_t*>(AllocatePages(expected));
    image.dibSection = nullptr;
    if (image.pixels == nullptr) return nullptr;
    // Bytes the plug-in did not deliver stay zero.
    memcpy(image.pixels, bits, static_cast<size_t>(std::min<uint64_t>(bitsBytes, expected)));

    image.sourceFormat = kFormatUnknown;
    image.lastWriteTime = FILETIME{};
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        GetFileTime(file, nullptr, nullptr, &image.lastWriteTime);
        CloseHandle(file);
    }
    return &image;
}
