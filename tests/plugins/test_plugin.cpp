// A picture plug-in for the host's tests. One source, built once per
// variant: PLUGIN_NAME names it, and PLUGIN_ARCHIVE, PLUGIN_FAILING,
// PLUGIN_NO_VERSION, PLUGIN_NO_SUPPORT, PLUGIN_NO_INFO change what it exports
// or answers. What bitmap it hands back is read from the picture file itself,
// so one plug-in covers every shape of bitmap the host must check:
//
//   offset 0  "FLTP"
//          4  int32  biWidth
//          8  int32  biHeight (negative: top-down)
//         12  uint16 biBitCount
//         14  int16  depth reported by "GetPictureInfo" (0: the bit count)
//         16  uint32 biCompression
//         20  uint32 bytes of the header block (0: header and full colour table)
//         24  uint32 bytes of the pixel block (0xFFFFFFFF: what the rows need)
//         28  uint8  first pixel byte; each next byte is one more
//
// Every call is appended to the file named by FRAMELET_TEST_PLUGIN_LOG as
// "<plug-in> <function> <offset> <path>".
#include "codecs/readers/plugin_interface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#ifdef _WIN32
#define PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct Descriptor {
    int32_t width;
    int32_t height;
    uint16_t bitCount;
    int16_t reportedDepth;
    uint32_t compression;
    uint32_t infoBytes;
    uint32_t bitsBytes;
    uint8_t firstByte;
};

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

void Log(const char* function, intptr_t offset, const char* path) {
#ifdef _WIN32
    char log[MAX_PATH] = {};
    if (GetEnvironmentVariableA("FRAMELET_TEST_PLUGIN_LOG", log, MAX_PATH) == 0 || log[MAX_PATH - 1] != 0) return;
#else
    const char* log = getenv("FRAMELET_TEST_PLUGIN_LOG");
    if (log == nullptr || *log == 0) return;
#endif
    if (FILE* out = fopen(log, "ab")) {
        fprintf(out, "%s %s %ld %s\n", PLUGIN_NAME, function, static_cast<long>(offset), path);
        fclose(out);
    }
}

bool Recognised(const void* head) { return memcmp(head, "FLTP", 4) == 0; }

bool ReadDescriptor(const char* path, intptr_t offset, Descriptor& d) {
    FILE* in = fopen(path, "rb");
    if (in == nullptr) return false;
    uint8_t b[29];
    const bool ok =
        fseek(in, static_cast<long>(offset), SEEK_SET) == 0 && fread(b, 1, sizeof b, in) == sizeof b && Recognised(b);
    fclose(in);
    if (!ok) return false;
    d.width = static_cast<int32_t>(Le32(b + 4));
    d.height = static_cast<int32_t>(Le32(b + 8));
    d.bitCount = static_cast<uint16_t>(b[12] | b[13] << 8);
    d.reportedDepth = static_cast<int16_t>(b[14] | b[15] << 8);
    d.compression = Le32(b + 16);
    d.infoBytes = Le32(b + 20);
    d.bitsBytes = Le32(b + 24);
    d.firstByte = b[28];
    return true;
}

HLOCAL FilledBlock(const void* source, size_t sourceBytes, size_t bytes) {
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, bytes);
    if (block == nullptr) return nullptr;
    if (bytes != 0) {
        memcpy(LocalLock(block), source, sourceBytes < bytes ? sourceBytes : bytes);
        LocalUnlock(block);
    }
    return block;
}

}  // namespace

#ifndef PLUGIN_NO_VERSION
PLUGIN_EXPORT int WINAPI GetPluginInfo(int infoNumber, LPSTR buffer, int bufferLength) {
    Log("GetPluginInfo", infoNumber, "-");
#ifdef PLUGIN_ARCHIVE
    const char* version = "00AM";
#else
    const char* version = "00IN";
#endif
    if (infoNumber != 0 || bufferLength < 4) return 0;
    memcpy(buffer, version, 4);
    return 4;
}
static_assert(std::is_same_v<decltype(&GetPluginInfo), GetPluginInfoFunction>);
#endif

#ifndef PLUGIN_NO_SUPPORT
PLUGIN_EXPORT int WINAPI IsSupported(LPCSTR path, void* head) {
    Log("IsSupported", 0, path);
    return Recognised(head) ? 1 : 0;
}
static_assert(std::is_same_v<decltype(&IsSupported), IsSupportedFunction>);
#endif

#ifndef PLUGIN_NO_INFO
PLUGIN_EXPORT int WINAPI GetPictureInfo(LPCSTR path, intptr_t offset, unsigned, PluginPictureInfo* info) {
    Log("GetPictureInfo", offset, path);
    Descriptor d;
    if (!ReadDescriptor(path, offset, d)) return 1;
    info->width = d.width;
    info->height = d.height;
    info->colorDepth = d.reportedDepth != 0 ? d.reportedDepth : static_cast<int16_t>(d.bitCount);
    // A text block, as plug-ins hand back comments; the host frees it.
    static const char kText[] = "test picture";
#ifdef _WIN32
    info->textInfo = GlobalAlloc(GMEM_FIXED, sizeof kText);
#else
    info->textInfo = LocalAlloc(LMEM_FIXED, sizeof kText);
#endif
    if (info->textInfo != nullptr) memcpy(info->textInfo, kText, sizeof kText);
    return 0;
}
static_assert(std::is_same_v<decltype(&GetPictureInfo), GetPictureInfoFunction>);
#endif

PLUGIN_EXPORT int WINAPI GetPicture(LPCSTR path, intptr_t offset, unsigned, HLOCAL* info, HLOCAL* bits,
                                    PluginProgress progress, intptr_t userData) {
    Log("GetPicture", offset, path);
#ifdef PLUGIN_FAILING
    return 1;
#endif
    Descriptor d;
    if (!ReadDescriptor(path, offset, d)) return 1;
    if (progress != nullptr && progress(0, 1, userData) != 0) return 1;

    struct {
        BITMAPINFOHEADER header;
        RGBQUAD table[256];
    } bitmap;
    memset(&bitmap, 0, sizeof bitmap);
    bitmap.header.biSize = sizeof bitmap.header;
    bitmap.header.biWidth = d.width;
    bitmap.header.biHeight = d.height;
    bitmap.header.biPlanes = 1;
    bitmap.header.biBitCount = d.bitCount;
    bitmap.header.biCompression = d.compression;
    bitmap.header.biXPelsPerMeter = 2835;
    bitmap.header.biYPelsPerMeter = 2835;
    for (int i = 0; i < 256; ++i) {
        bitmap.table[i].rgbBlue = static_cast<BYTE>(i);
        bitmap.table[i].rgbGreen = static_cast<BYTE>(255 - i);
        bitmap.table[i].rgbRed = static_cast<BYTE>(i / 2);
    }
    const size_t tableEntries = d.bitCount <= 8 ? size_t{1} << d.bitCount : 0;
    const size_t infoBytes = d.infoBytes != 0 ? d.infoBytes : sizeof bitmap.header + 4 * tableEntries;
    *info = FilledBlock(&bitmap, sizeof bitmap, infoBytes);

    const uint64_t rowBytes = ((static_cast<uint64_t>(d.width < 0 ? -d.width : d.width) * d.bitCount + 31) / 32) * 4;
    const uint64_t rows = static_cast<uint64_t>(d.height < 0 ? -static_cast<int64_t>(d.height) : d.height);
    const uint64_t bitsBytes = d.bitsBytes != 0xFFFFFFFFu ? d.bitsBytes : rowBytes * rows;
    if (bitsBytes > (uint64_t{1} << 28)) return 1;
    *bits = LocalAlloc(LMEM_MOVEABLE, static_cast<size_t>(bitsBytes));
    if (*info == nullptr || *bits == nullptr) return 1;
    if (bitsBytes != 0) {
        auto* p = static_cast<uint8_t*>(LocalLock(*bits));
        for (uint64_t i = 0; i < bitsBytes; ++i) p[i] = static_cast<uint8_t>(d.firstByte + i);
        LocalUnlock(*bits);
    }
    return 0;
}
static_assert(std::is_same_v<decltype(&GetPicture), GetPictureFunction>);
