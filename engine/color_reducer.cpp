#include "engine/color_reducer.h"

#include <cstring>

ColorReducer::ColorReducer() : ditherMode(0), width(0), height(0), sourceBitCount(0), targetBitCount(0) {}

namespace {

int32_t DibRowBytes(int32_t width, int32_t bits) {
    return static_cast<int32_t>(((static_cast<int64_t>(width) * bits + 31) / 32) * 4);
}

// Palette indices packed several to a byte, most significant first, become
// one byte each.
void UnpackRows(uint8_t* out, int32_t outStride, const uint8_t* in, int32_t inStride, int32_t width,
                int32_t height, int bits) {
    const int perByte = 8 / bits;
    const uint8_t mask = static_cast<uint8_t>((1 << bits) - 1);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = in + static_cast<int64_t>(y) * inStride;
        uint8_t* dst = out + static_cast<int64_t>(y) * outStride;
        for (int32_t x = 0; x < width; ++x) {
            const int shift = 8 - bits * (x % perByte + 1);
            dst[x] = static_cast<uint8_t>((src[x / perByte] >> shift) & mask);
        }
    }
}

}  // namespace

bool ColorReducer::Convert(RGBQUAD* outPalette, uint8_t* outPixels, const RGBQUAD* inPalette,
                           const uint8_t* inPixels) {
    const int32_t inStride = DibRowBytes(width, sourceBitCount);
    if (targetBitCount == 8 && (sourceBitCount == 1 || sourceBitCount == 4)) {
        memcpy(outPalette, inPalette, sizeof(RGBQUAD) * (1u << sourceBitCount));
        UnpackRows(outPixels, stride, inPixels, inStride, width, height, sourceBitCount);
        return true;
    }
    if (sourceBitCount == 8 && targetBitCount == 8) {
        memcpy(outPalette, inPalette, sizeof(RGBQUAD) * 256);
        memcpy(outPixels, inPixels, static_cast<size_t>(imageSize));
        return true;
    }
    if (sourceBitCount == 8 && targetBitCount == 24) {
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* src = inPixels + static_cast<int64_t>(y) * inStride;
            uint8_t* dst = outPixels + static_cast<int64_t>(y) * stride;
            for (int32_t x = 0; x < width; ++x) {
                const RGBQUAD& c = inPalette[src[x]];
                dst[3 * x] = c.rgbBlue;
                dst[3 * x + 1] = c.rgbGreen;
                dst[3 * x + 2] = c.rgbRed;
            }
        }
        return true;
    }
    return false;
}
