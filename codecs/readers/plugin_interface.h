// What a picture import plug-in ("*.spi" library) exports, as the host calls
// it. Our own plug-ins build against this header too, so their exports have
// exactly these types; it belongs to no layer and needs only the platform.
#pragma once

#include "platform/win32.h"

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
