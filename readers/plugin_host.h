// The host that decodes through third-party picture plug-ins, and the
// interface those plug-ins export ("*.spi" libraries).
#pragma once

#include "engine/picture_records.h"

#include <cstdint>

// What "GetPictureInfo" fills in: packed, little-endian. On the 32-bit
// product the text handle is 32 bits (26 bytes in all); 64-bit plug-ins of
// the same interface hand back a full-width handle.
#pragma pack(push, 1)
struct PluginPictureInfo {
    int32_t left;
    int32_t top;
    int32_t width;
    int32_t height;
    uint16_t xDensity;
    uint16_t yDensity;
    int16_t colorDepth;
    HLOCAL textInfo;  // freed with GlobalFree by whoever receives it
};
#pragma pack(pop)
static_assert(sizeof(PluginPictureInfo) == 22 + sizeof(HLOCAL), "plug-in picture information layout");

// The plug-in functions, with the Windows API calling convention. Offsets and
// user data are pointer-sized: 32 bits on the product.
typedef int(WINAPI* PluginProgress)(int position, int total, intptr_t userData);
typedef int(WINAPI* GetPluginInfoFunction)(int infoNumber, LPSTR buffer, int bufferLength);
typedef int(WINAPI* IsSupportedFunction)(LPCSTR path, void* head);
typedef int(WINAPI* GetPictureInfoFunction)(LPCSTR path, intptr_t offset, unsigned flags, PluginPictureInfo* info);
typedef int(WINAPI* GetPictureFunction)(LPCSTR path, intptr_t offset, unsigned flags, HLOCAL* info, HLOCAL* bits,
                                        PluginProgress progress, intptr_t userData);

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
