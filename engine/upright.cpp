#include "engine/upright.h"

#include "core/memory.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Memory row M, column X of the upright picture takes the stored picture's
// row (flip ? H - 1 - i : i) and column (mirror ? W - 1 - j : j), where
// (i, j) is (M, X), or (X, M) when transposed. Rows count bottom-up as they
// lie in memory; the eight EXIF orientations come out as below.
struct Turn {
    bool transpose;
    bool mirror;
    bool flip;
};
constexpr Turn kTurns[9] = {
    {false, false, false},                                             // (no orientation 0)
    {false, false, false}, {false, true, false}, {false, true, true},  // 1 as stored, 2 mirrored, 3 half turn
    {false, false, true},  {true, true, true},   {true, true, false},  // 4 flipped, 5 transposed, 6 a right turn
    {true, false, false},  {true, false, true},                        // 7 transverse, 8 a left turn
};

// Source pixels to the tile's side that a transposing copy reads and writes
// at once, so that both sides stay in the caches.
constexpr int32_t kTile = 32;

template <int kBytes>
void SwapPixels(uint8_t* a, uint8_t* b) {
    for (int i = 0; i < kBytes; ++i) std::swap(a[i], b[i]);
}

template <int kBytes>
void MirrorRow(uint8_t* row, int32_t width) {
    for (int32_t left = 0, right = width - 1; left < right; ++left, --right)
        SwapPixels<kBytes>(row + left * kBytes, row + right * kBytes);
}

// Orientations 2 to 4 in place: rows swapped end for end, each mirrored.
template <int kBytes>
void TurnInPlace(uint8_t* pixels, int64_t stride, int32_t width, int32_t height, const Turn& turn) {
    const int64_t rowBytes = int64_t{width} * kBytes;
    if (turn.flip) {
        for (int32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
            std::swap_ranges(pixels + top * stride, pixels + top * stride + rowBytes, pixels + bottom * stride);
    }
    if (turn.mirror) {
        for (int32_t row = 0; row < height; ++row) MirrorRow<kBytes>(pixels + row * stride, width);
    }
}

// Orientations 5 to 8: the stored width x height picture into a height x
// width one, a tile of kTile x kTile pixels at a time.
template <int kBytes>
void Transpose(const uint8_t* from, int64_t fromStride, uint8_t* to, int64_t toStride, int32_t width, int32_t height,
               const Turn& turn) {
    const int64_t rowStep = turn.flip ? -fromStride : fromStride;
    const uint8_t* firstRow = from + (turn.flip ? (height - 1) * fromStride : 0);
    for (int32_t m0 = 0; m0 < width; m0 += kTile) {
        const int32_t m1 = std::min(m0 + kTile, width);
        for (int32_t x0 = 0; x0 < height; x0 += kTile) {
            const int32_t x1 = std::min(x0 + kTile, height);
            for (int32_t m = m0; m < m1; ++m) {
                const int32_t column = turn.mirror ? width - 1 - m : m;
                const uint8_t* in = firstRow + x0 * rowStep + int64_t{column} * kBytes;
                uint8_t* out = to + m * toStride + int64_t{x0} * kBytes;
                for (int32_t x = x0; x < x1; ++x, in += rowStep, out += kBytes) memcpy(out, in, kBytes);
            }
        }
    }
}

template <int kBytes>
bool TurnPixels(DecodedImage& picture, const Turn& turn) {
    BITMAPINFOHEADER& header = picture.header;
    const int32_t width = header.biWidth;
    const int32_t height = header.biHeight;
    const int64_t stride = PaddedRowBytes(width, header.biBitCount);
    if (!turn.transpose) {
        TurnInPlace<kBytes>(picture.pixels, stride, width, height, turn);
        return true;
    }
    const int64_t turnedStride = PaddedRowBytes(height, header.biBitCount);
    auto* turned = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(turnedStride) * width));
    if (turned == nullptr) return false;
    Transpose<kBytes>(picture.pixels, stride, turned, turnedStride, width, height, turn);
    ReleasePages(picture.pixels);
    picture.pixels = turned;
    std::swap(header.biWidth, header.biHeight);
    std::swap(header.biXPelsPerMeter, header.biYPelsPerMeter);
    return true;
}

}  // namespace

bool TurnUpright(DecodedImage& picture) {
    const int32_t orientation = picture.orientation;
    if (orientation < 2 || orientation > 8 || picture.pixels == nullptr) return true;
    const int bitCount = picture.header.biBitCount;
    if (bitCount != 8 && bitCount != 24) return true;
    const Turn& turn = kTurns[orientation];
    if (!(bitCount == 8 ? TurnPixels<1>(picture, turn) : TurnPixels<3>(picture, turn))) return false;
    picture.orientation = 1;
    return true;
}
