// The host that decodes through third-party picture plug-ins ("*.spi"
// libraries).
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/picture_records.h"
#include "codecs/readers/plugin_interface.h"

constexpr int kPluginListSize = 100;
constexpr int kPluginHeadBytes = 2048 + 128;
constexpr int32_t kPluginLateOffset = 128;  // where a file with a leading header has its picture
constexpr int32_t kPluginMaxSide = 25000;

// File names (not paths) of the folder's picture import plug-ins, in the
// order the folder lists them.
struct PluginList {
    WCHAR names[kPluginListSize][MAX_PATH];
    int count;
};

class PluginHost {
public:
    bool keepResourcesOnDestroy = true;  // destroying the host releases nothing
    bool usePlainMemory = true;          // pixels page-allocated (the only mode a batch uses)
    HMODULE library = nullptr;           // the plug-in loaded now
    HLOCAL infoHandle = nullptr;         // header and colour table from "GetPicture"
    HLOCAL bitsHandle = nullptr;         // rows from "GetPicture"
    int32_t dataOffset = 0;              // 0, or 128 when the picture starts 128 bytes in
    DecodedImage image{};

    // The picture as the first plug-in that recognises the file delivers it,
    // or null. The caller frees library, infoHandle and bitsHandle afterwards.
    DecodedImage* Decode(LPCWSTR path, LPCWSTR folder);
    // Fills list with the folder's plug-ins that answer "00IN", at most 100.
    void ListPlugins(LPCWSTR folder, PluginList& list);
    // True with library holding the first plug-in that recognises the file
    // and dataOffset set.
    bool FindPlugin(LPCWSTR folder, LPCWSTR path);
};
