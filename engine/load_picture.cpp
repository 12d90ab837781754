#include "engine/load_picture.h"

#include "engine/format_detect.h"
#include "codecs/readers/mapped_file.h"
#include "settings/settings_store.h"

#include <initializer_list>

namespace {

// The frame every built-in load shares: a clean state, the reader's own
// decode, its release whatever the result, and the picture handed on.
template <class Reader, class DecodeStep>
bool LoadWith(PictureContext& context, Reader& reader, DecodeStep decode) {
    reader.ResetHandles();
    reader.Reset();
    reader.usePlainMemory = true;
    DecodedImage* result = decode(reader);
    reader.Release();
    context.loadError = reader.errorCode;
    context.current = result;
    return result != nullptr;
}

// The decode of a reader that walks the mapped file with the read cursor.
template <class Reader>
DecodedImage* MapAndDecode(Reader& reader, LPCWSTR path) {
    return MappedFile::Open(path, reader, reader.bytes) != 0 ? reader.Decode() : nullptr;
}

}  // namespace

bool LoadBmp(PictureContext& context, LPCWSTR path) {
    return LoadWith(context, *context.codecs.bmpReader, [path](BmpReader& reader) { return reader.Decode(path); });
}

bool LoadPng(PictureContext& context, LPCWSTR path) {
    const FilterWorkspace* workspace = context.codecs.fitting.workspace;
    return LoadWith(context, *context.codecs.pngReader, [path, workspace](PngReader& reader) {
        // Transparency goes onto white through the workspace's blend table.
        reader.blendTable = workspace != nullptr ? &workspace->blend[0][0] : nullptr;
        reader.background[0] = reader.background[1] = reader.background[2] = 255;
        reader.displayGamma = 2200;
        return MapAndDecode(reader, path);
    });
}

bool LoadJpeg(PictureContext& context, LPCWSTR path) {
    return LoadWith(context, *context.codecs.jpegReader, [path](JpegReader& reader) { return reader.Decode(path); });
}

bool LoadTiff(PictureContext& context, LPCWSTR path) {
    return LoadWith(context, *context.codecs.tiffReader, [path](TiffReader& reader) { return MapAndDecode(reader, path); });
}

bool LoadGif(PictureContext& context, LPCWSTR path) {
    return LoadWith(context, *context.codecs.gifReader, [path](GifReader& reader) { return MapAndDecode(reader, path); });
}

bool LoadWithPlugin(PictureContext& context, LPCWSTR path) {
    PluginHost& host = *context.codecs.pluginHost;
    host.library = nullptr;
    host.infoHandle = nullptr;
    host.bitsHandle = nullptr;
    ZeroMemory(host.image.palette, sizeof host.image.palette);
    host.usePlainMemory = true;

    bool result = false;
    const WCHAR* folder = appSettings.SpiPath;
    if (appSettings.UseSpi && folder[0] != 0 && PathIsDirectoryW(folder)) {
        std::unique_lock<std::mutex> alone;
        if (context.pluginLock != nullptr) alone = std::unique_lock<std::mutex>(*context.pluginLock);
        context.current = host.Decode(path, folder);
        result = context.current != nullptr;
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

bool LoadPicture(PictureContext& context, LPCWSTR path) {
    context.current = nullptr;
    context.loadFormat = kFormatUnknown;
    context.loadError = 0;
    if (!PathFileExistsW(path)) return false;
    using LoadEntry = bool (*)(PictureContext&, LPCWSTR);
    static const LoadEntry kBuiltIn[] = {nullptr, LoadBmp, LoadPng, LoadJpeg, LoadTiff, LoadGif};
    const FormatCode format = DetectFormat(path);
    context.loadFormat = format;
    if (format == kFormatUnreadable) return false;
    if (format != kFormatUnknown && kBuiltIn[format](context, path)) return true;
    if (LoadWithPlugin(context, path)) return true;
    context.current = nullptr;
    return false;
}
