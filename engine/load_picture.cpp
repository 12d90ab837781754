#include "engine/load_picture.h"

#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/format_detect.h"
#include "codecs/readers/mapped_file.h"
#include "settings/settings_store.h"

#include <initializer_list>

DecodedImage* currentImage = nullptr;

namespace {

// The frame every built-in load shares: a clean state, the reader's own
// decode, its release whatever the result, and the picture handed on.
template <class Reader, class DecodeStep>
bool LoadWith(Reader& reader, DecodeStep decode) {
    reader.ResetHandles();
    reader.Reset();
    reader.usePlainMemory = true;
    DecodedImage* result = decode(reader);
    reader.Release();
    currentImage = result;
    return result != nullptr;
}

// The decode of a reader that walks the mapped file with the read cursor.
template <class Reader>
DecodedImage* MapAndDecode(Reader& reader, LPCWSTR path) {
    return MappedFile::Open(path, reader, reader.bytes) != 0 ? reader.Decode() : nullptr;
}

}  // namespace

bool LoadBmp(LPCWSTR path) {
    return LoadWith(*bmpReader, [path](BmpReader& reader) { return reader.Decode(path); });
}

bool LoadPng(LPCWSTR path) {
    return LoadWith(*pngReader, [path](PngReader& reader) {
        // Transparency goes onto white through the workspace's blend table.
        reader.blendTable = filterWorkspace != nullptr ? &filterWorkspace->blend[0][0] : nullptr;
        reader.background[0] = reader.background[1] = reader.background[2] = 255;
        reader.displayGamma = 2200;
        return MapAndDecode(reader, path);
    });
}

bool LoadJpeg(LPCWSTR path) {
    return LoadWith(*jpegReader, [path](JpegReader& reader) { return reader.Decode(path); });
}

bool LoadTiff(LPCWSTR path) {
    return LoadWith(*tiffReader, [path](TiffReader& reader) { return MapAndDecode(reader, path); });
}

bool LoadGif(LPCWSTR path) {
    return LoadWith(*gifReader, [path](GifReader& reader) { return MapAndDecode(reader, path); });
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
