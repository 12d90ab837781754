#include "support/bmp_builder.h"

#include <cstddef>

void PushU32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

namespace {

void PushU16(std::vector<uint8_t>& bytes, uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

std::vector<uint8_t> BuildBmp(const BmpLayout& layout) {
    const uint32_t tableAt = 14 + layout.headerSize;
    const uint32_t offBits =
        layout.offBits >= 0 ? static_cast<uint32_t>(layout.offBits) : tableAt + static_cast<uint32_t>(layout.afterHeader.size());
    std::vector<uint8_t> b = {'B', 'M'};
    PushU32(b, offBits + static_cast<uint32_t>(layout.pixels.size()));
    PushU32(b, 0);
    PushU32(b, offBits);
    PushU32(b, layout.headerSize);
    PushU32(b, static_cast<uint32_t>(layout.width));
    PushU32(b, static_cast<uint32_t>(layout.height));
    PushU16(b, 1);
    PushU16(b, layout.bitCount);
    PushU32(b, layout.compression);
    PushU32(b, 0);
    PushU32(b, static_cast<uint32_t>(layout.xPelsPerMeter));
    PushU32(b, static_cast<uint32_t>(layout.yPelsPerMeter));
    PushU32(b, layout.clrUsed);
    PushU32(b, 0);
    b.resize(tableAt, 0);
    b.insert(b.end(), layout.afterHeader.begin(), layout.afterHeader.end());
    if (b.size() < offBits) b.resize(offBits, 0);
    b.resize(offBits);
    b.insert(b.end(), layout.pixels.begin(), layout.pixels.end());
    return b;
}

std::vector<uint8_t> PatternBmp(int32_t width, int32_t height, int step, int modulus) {
    BmpLayout layout;
    layout.width = width;
    layout.height = height;
    const int64_t stride = (3 * static_cast<int64_t>(width) + 3) & ~int64_t{3};
    layout.pixels.resize(static_cast<size_t>(stride * height));
    for (size_t i = 0; i < layout.pixels.size(); ++i)
        layout.pixels[i] = static_cast<uint8_t>(i * static_cast<size_t>(step) % static_cast<size_t>(modulus));
    return BuildBmp(layout);
}
