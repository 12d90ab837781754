#include "engine/load_picture.h"

#include "engine/codec_set.h"
#include "engine/format_detect.h"
#include "readers/mapped_file.h"
#include "settings/settings_store.h"

#include <initializer_list>

DecodedImage* currentImage = nullptr;
FittedPicture fittedPicture{};

// Formats whose reader is not built yet decline every file, which hands it
// on to the plug-ins.
bool LoadTiff(LPCWSTR) { return false; }

bool LoadGif(LPCWSTR path) {
    GifReader& reader = *gifReader;
    reader.ResetHandles();
    reader.Reset();
    reader.usePlainMemory = true;
    DecodedImage* result = nullptr;
    if (MappedFile::Open(path, reader) != 0) result = reader.Decode();
    reader.Release();
    currentImage = result;
    return result != nullptr;
}

bool LoadWithPlugin(LPCWSTR path) {
    PluginHost& host = *pluginHost;
    host.library = nullptr;
    host.infoHandle = nullptr;
    host.bitsHandle = nullptr;
    ZeroMemory(host.image.palette, sizeof host.image.palette);
    host.usePlainMemory = true;

    bool result = false;
    const WCHAR* folder = appSettings.SpiPath;
    if (appSettings.UseSpi && folder[0] != 0 && PathIsDirectoryW(folder)) {
        currentImage = host.Decode(path, folder);
        result = currentImage != nullptr;
    }
    // The plug-in's memory and library go; the decoded picture stays.
    for (HLOCAL* memory : {&host.bitsHandle, &host.infoHandle}) {
        if (*memory == nullptr) continue;
        LocalUnlock(*memory);
        LocalFree(*memory);
        *memory = nullptr;
    }
    if (host.library != nullptr) {
        FreeLibrary(host.library);
        host.library = nullptr;
    }
    return result;
}

bool LoadPicture(LPCWSTR path) {
    if (!PathFileExistsW(path)) return false;
    currentImage = nullptr;
    using LoadEntry = bool (*)(LPCWSTR);
    static const LoadEntry kBuiltIn[] = {nullptr, LoadBmp, LoadPng, LoadJpeg, LoadTiff, LoadGif};
    const FormatCode format = DetectFormat(path);
    if (format == kFormatUnreadable) return false;
    if (format != kFormatUnknown && kBuiltIn[format](path)) return true;
    if (LoadWithPlugin(path)) return true;
    currentImage = nullptr;
    return false;
}
