// Builds bitmap files in memory with any header values, for reader tests.
#pragma once

#include <cstdint>
#include <vector>

struct BmpLayout {
    int32_t width = 1;
    int32_t height = 1;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    uint32_t headerSize = 40;  // bytes from offset 14 up to what follows
    int32_t xPelsPerMeter = 2835;
    int32_t yPelsPerMeter = 2835;
    std::vector<uint8_t> afterHeader;  // colour table or masks, written at 14 + headerSize
    std::vector<uint8_t> pixels;       // written at bfOffBits
    int64_t offBits = -1;              // -1: right after afterHeader
};

std::vector<uint8_t> BuildBmp(const BmpLayout& layout);
// Little-endian bytes of a 32-bit value, for tables and masks.
void PushU32(std::vector<uint8_t>& bytes, uint32_t value);
// A 24-bit bitmap file whose bytes count up by step modulo modulus: a cheap
// stand-in for a photograph that no two slots crop alike.
std::vector<uint8_t> PatternBmp(int32_t width, int32_t height, int step, int modulus);
