#include "support/bmp_builder.h"

void PushU32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

namespace {

void PushU16(std::vector<uint8_t>& bytes, uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

std::vector<uint8_t> BuildBmp(const BmpSpec& spec) {
    const uint32_t tableAt = 14 + spec.headerSize;
    const uint32_t offBits =
        spec.offBits >= 0 ? static_cast<uint32_t>(spec.offBits) : tableAt + static_cast<uint32_t>(spec.afterHeader.size());
    std::vector<uint8_t> b = {'B', 'M'};
    PushU32(b, offBits + static_cast<uint32_t>(spec.pixels.size()));
    PushU32(b, 0);
    PushU32(b, offBits);
    PushU32(b, spec.headerSize);
    PushU32(b, static_cast<uint32_t>(spec.width));
    PushU32(b, static_cast<uint32_t>(spec.height));
    PushU16(b, 1);
    PushU16(b, spec.bitCount);
    PushU32(b, spec.compression);
    PushU32(b, 0);
    PushU32(b, static_cast<uint32_t>(spec.xPelsPerMeter));
    PushU32(b, static_cast<uint32_t>(spec.yPelsPerMeter));
    PushU32(b, spec.clrUsed);
    PushU32(b, 0);
    b.resize(tableAt, 0);
    b.insert(b.end(), spec.afterHeader.begin(), spec.afterHeader.end());
    if (b.size() < offBits) b.resize(offBits, 0);
    b.resize(offBits);
    b.insert(b.end(), spec.pixels.begin(), spec.pixels.end());
    return b;
}
