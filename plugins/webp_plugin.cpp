// A picture import plug-in for WebP files on libwebp. It hands back what the
// built-in readers do: a bottom-up 24-bit bitmap, alpha composited on white,
// in movable local memory that the caller frees.
#include "codecs/readers/plugin_interface.h"

#include <webp/decode.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

// On Windows the .def file names the exports.
#ifdef _WIN32
#define PLUGIN_EXPORT extern "C"
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Results of the plug-in interface.
enum PluginResult : int {
    kSuccess = 0,
    kCancelled = 1,
    kUnknownFormat = 2,
    kBrokenData = 3,
    kOutOfMemory = 4,
    kReadError = 6,
};

// Flags bit: the "path" is the picture in memory and the offset its length.
constexpr unsigned kInputInMemory = 1;
// Whole files are read into memory; nothing this large is a picture we can hold.
constexpr long kMaxFileBytes = 512L << 20;

bool IsWebp(const uint8_t* head) { return memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0; }

// The file's bytes from offset on (or the caller's memory), released on scope exit.
class Input {
public:
    Input(LPCSTR path, intptr_t offset, unsigned flags) {
        if (flags & kInputInMemory) {
            data_ = reinterpret_cast<const uint8_t*>(path);
            size_ = offset > 0 ? static_cast<size_t>(offset) : 0;
            result_ = data_ != nullptr && size_ != 0 ? kSuccess : kReadError;
            return;
        }
        FILE* in = fopen(path, "rb");
        if (in == nullptr) return;
        long end = -1;
        if (fseek(in, 0, SEEK_END) == 0) end = ftell(in);
        if (end >= 0 && offset >= 0 && offset < end && end - offset <= kMaxFileBytes &&
            fseek(in, static_cast<long>(offset), SEEK_SET) == 0) {
            size_ = static_cast<size_t>(end - offset);
            owned_ = new (std::nothrow) uint8_t[size_];
            if (owned_ == nullptr) {
                result_ = kOutOfMemory;
            } else if (fread(owned_, 1, size_, in) == size_) {
                data_ = owned_;
                result_ = kSuccess;
            }
        }
        fclose(in);
    }
    ~Input() { delete[] owned_; }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    int result() const { return result_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    uint8_t* owned_ = nullptr;
    size_t size_ = 0;
    int result_ = kReadError;
};

// x * y / 255 rounded, as the program's PNG reader blends: exact at 0 and 255.
int Blend(int x, int y) {
    const int low = x < y ? x : y;
    const int high = x < y ? y : x;
    if (low == 0) return 0;
    if (high == 255) return low;
    return static_cast<int>((int64_t{65536} * low / 255 * high + 32768) >> 16);
}

int CopyText(const char* text, LPSTR buffer, int bufferLength) {
    if (buffer == nullptr || bufferLength <= 0) return 0;
    int length = static_cast<int>(strlen(text));
    if (length > bufferLength - 1) length = bufferLength - 1;
    memcpy(buffer, text, static_cast<size_t>(length));
    buffer[length] = 0;
    return length;
}

}  // namespace

PLUGIN_EXPORT int WINAPI GetPluginInfo(int infoNumber, LPSTR buffer, int bufferLength) {
    static const char* const kInfo[] = {"00IN", "WebP picture plug-in for Framelet (libwebp)", "*.webp",
                                        "WebP picture"};
    if (infoNumber < 0 || infoNumber >= static_cast<int>(sizeof kInfo / sizeof kInfo[0])) return 0;
    return CopyText(kInfo[infoNumber], buffer, bufferLength);
}

PLUGIN_EXPORT int WINAPI IsSupported(LPCSTR, void* head) {
    return head != nullptr && IsWebp(static_cast<const uint8_t*>(head)) ? 1 : 0;
}

PLUGIN_EXPORT int WINAPI GetPictureInfo(LPCSTR path, intptr_t offset, unsigned flags, PluginPictureInfo* info) {
    if (info == nullptr) return kBrokenData;
    const Input input(path, offset, flags);
    if (input.result() != kSuccess) return input.result();
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(input.data(), input.size(), &features) != VP8_STATUS_OK) return kUnknownFormat;
    memset(info, 0, sizeof *info);
    info->width = features.width;
    info->height = features.height;
    info->colorDepth = static_cast<int16_t>(features.has_alpha ? 32 : 24);
    return kSuccess;
}

PLUGIN_EXPORT int WINAPI GetPicture(LPCSTR path, intptr_t offset, unsigned flags, HLOCAL* info, HLOCAL* bits,
                                    PluginProgress progress, intptr_t userData) {
    if (info == nullptr || bits == nullptr) return kBrokenData;
    *info = *bits = nullptr;
    const Input input(path, offset, flags);
    if (input.result() != kSuccess) return input.result();
    int width = 0;
    int height = 0;
    if (!WebPGetInfo(input.data(), input.size(), &width, &height)) return kUnknownFormat;
    if (progress != nullptr && progress(0, height, userData) != 0) return kCancelled;

    uint8_t* decoded = WebPDecodeBGRA(input.data(), input.size(), &width, &height);
    if (decoded == nullptr) return kBrokenData;
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    const uint64_t bytes = static_cast<uint64_t>(stride) * static_cast<uint64_t>(height);
    HLOCAL rows = bytes <= SIZE_MAX ? LocalAlloc(LMEM_MOVEABLE, static_cast<size_t>(bytes)) : nullptr;
    HLOCAL header = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, sizeof(BITMAPINFOHEADER));
    if (rows == nullptr || header == nullptr) {
        WebPFree(decoded);
        if (rows != nullptr) LocalFree(rows);
        if (header != nullptr) LocalFree(header);
        return kOutOfMemory;
    }

    auto* out = static_cast<uint8_t*>(LocalLock(rows));
    for (int y = 0; y < height; ++y) {
        const uint8_t* source = decoded + static_cast<size_t>(y) * width * 4;
        uint8_t* row = out + static_cast<size_t>(height - 1 - y) * stride;  // bottom-up
        uint8_t* target = row;
        for (int x = 0; x < width; ++x, source += 4, target += 3) {
            const int alpha = source[3];
            for (int c = 0; c < 3; ++c)
                target[c] = static_cast<uint8_t>(Blend(alpha, source[c]) + 255 - alpha);  // on white
        }
        for (size_t pad = static_cast<size_t>(width) * 3; pad < stride; ++pad) row[pad] = 0;
    }
    LocalUnlock(rows);
    WebPFree(decoded);

    auto* h = static_cast<BITMAPINFOHEADER*>(LocalLock(header));
    h->biSize = sizeof(BITMAPINFOHEADER);
    h->biWidth = width;
    h->biHeight = height;
    h->biPlanes = 1;
    h->biBitCount = 24;
    h->biCompression = BI_RGB;
    LocalUnlock(header);

    *info = header;
    *bits = rows;
    if (progress != nullptr) progress(height, height, userData);
    return kSuccess;
}

// The exports have exactly the types the host calls them through.
static_assert(std::is_same_v<decltype(&GetPluginInfo), GetPluginInfoFunction>);
static_assert(std::is_same_v<decltype(&IsSupported), IsSupportedFunction>);
static_assert(std::is_same_v<decltype(&GetPictureInfo), GetPictureInfoFunction>);
static_assert(std::is_same_v<decltype(&GetPicture), GetPictureFunction>);
