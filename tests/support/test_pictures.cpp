#include "support/test_pictures.h"

#include <zlib.h>

namespace {

// xorshift32: the same sequence on every build.
struct Noise {
    uint32_t state;
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

}  // namespace

TestPicture FormulaPicture(int32_t width, int32_t height, int32_t bitCount,
                           const std::function<uint8_t(int32_t, int32_t, int)>& value) {
    TestPicture picture;
    picture.width = width;
    picture.height = height;
    picture.bitCount = bitCount;
    picture.stride = (static_cast<int64_t>(width) * (bitCount / 8) + 3) & ~int64_t{3};
    picture.rows.assign(static_cast<size_t>(picture.stride * height), 0);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            for (int c = 0; c < bitCount / 8; ++c) picture.At(x, y)[c] = value(x, y, c);
    return picture;
}

TestPicture PhotoPicture(int32_t width, int32_t height, int32_t bitCount, uint32_t seed) {
    Noise noise{seed | 1};
    const int32_t edge = static_cast<int32_t>(noise.Next() % static_cast<uint32_t>(width));
    TestPicture picture = FormulaPicture(width, height, bitCount, [&](int32_t x, int32_t y, int c) {
        const uint32_t grain = noise.Next() % 24;
        if (bitCount == 8) return static_cast<uint8_t>((x / 3 + y / 2 + grain / 8) & 0xFF);
        const int32_t ramp = (x * (60 + 40 * c)) / width + (y * (200 - 50 * c)) / height;
        return static_cast<uint8_t>((x < edge ? ramp : 255 - ramp) * 3 / 4 + static_cast<int32_t>(grain));
    });
    for (int i = 0; i < 256; ++i) {
        const uint32_t v = noise.Next();
        picture.palette[i] = RGBQUAD{static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16), 0};
        if (i % 7 == 3) picture.palette[i] = picture.palette[i - 2];
    }
    return picture;
}

uint32_t Digest(const uint8_t* bytes, uint64_t size) {
    uLong crc = crc32(0, Z_NULL, 0);
    while (size > 0) {
        const uInt chunk = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
        crc = crc32(crc, bytes, chunk);
        bytes += chunk;
        size -= chunk;
    }
    return static_cast<uint32_t>(crc);
}
