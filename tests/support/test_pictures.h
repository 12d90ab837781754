// Deterministic pictures for the engine tests, and a digest of output bytes.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <functional>
#include <vector>

// Bottom-up rows padded to 4 bytes; 24-bit pixels blue, green, red.
struct TestPicture {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitCount = 0;
    int64_t stride = 0;
    std::vector<uint8_t> rows;
    RGBQUAD palette[256] = {};

    // Pixel x of memory row y.
    uint8_t* At(int32_t x, int32_t y) { return rows.data() + y * stride + x * (bitCount / 8); }
};

// Every byte from value(x, memory row y, channel).
TestPicture FormulaPicture(int32_t width, int32_t height, int32_t bitCount,
                           const std::function<uint8_t(int32_t, int32_t, int)>& value);
// Gradients, hard edges and noise drawn from a seed; an 8-bit picture gets a
// generated palette with some repeated entries.
TestPicture PhotoPicture(int32_t width, int32_t height, int32_t bitCount, uint32_t seed);
// CRC-32 of the bytes.
uint32_t Digest(const uint8_t* bytes, uint64_t size);
