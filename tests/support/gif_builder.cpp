#include "support/gif_builder.h"

#include <cstddef>
#include <cstring>

namespace {

void PushU16(GifBytes& out, int32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

GifBytes GifCat(std::initializer_list<GifBytes> parts) {
    GifBytes all;
    for (const GifBytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

GifBytes GifTable(int32_t tableBits) {
    GifBytes table;
    for (int32_t i = 0; i < (1 << tableBits); ++i)
        table.insert(table.end(),
                     {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(7 * i)});
    return table;
}

GifBytes GifScreen(int32_t width, int32_t height, int32_t tableBits, uint8_t background, const GifBytes& table,
                   const char* signature) {
    GifBytes out(signature, signature + 6);
    PushU16(out, width);
    PushU16(out, height);
    out.push_back(tableBits > 0 ? static_cast<uint8_t>(0x80 | 0x70 | (tableBits - 1)) : 0);
    out.push_back(background);
    out.push_back(0);
    if (tableBits > 0) {
        const GifBytes entries = table.empty() ? GifTable(tableBits) : table;
        out.insert(out.end(), entries.begin(), entries.end());
    }
    return out;
}

GifBytes GifGraphicControl(bool transparent, uint8_t index) {
    return {0x21, 0xF9, 4, static_cast<uint8_t>(transparent ? 1 : 0), 0, 0, index, 0};
}

GifBytes GifDescriptor(int32_t left, int32_t top, int32_t width, int32_t height, int32_t tableBits, bool interlaced,
                       const GifBytes& table) {
    GifBytes out{0x2C};
    PushU16(out, left);
    PushU16(out, top);
    PushU16(out, width);
    PushU16(out, height);
    uint8_t packed = interlaced ? 0x40 : 0;
    if (tableBits > 0) packed |= static_cast<uint8_t>(0x80 | (tableBits - 1));
    out.push_back(packed);
    if (tableBits > 0) {
        const GifBytes entries = table.empty() ? GifTable(tableBits) : table;
        out.insert(out.end(), entries.begin(), entries.end());
    }
    return out;
}

GifBytes PackCodes(const std::vector<GifCode>& codes) {
    GifBytes out;
    uint32_t buffer = 0;
    int32_t pending = 0;
    for (const GifCode& c : codes) {
        buffer |= static_cast<uint32_t>(c.code) << pending;
        pending += c.bits;
        while (pending >= 8) {
            out.push_back(static_cast<uint8_t>(buffer));
            buffer >>= 8;
            pending -= 8;
        }
    }
    if (pending > 0) out.push_back(static_cast<uint8_t>(buffer));
    return out;
}

std::vector<GifCode> LiteralCodes(const GifBytes& indices, int32_t minCodeSize, bool withEnd) {
    const int32_t clear = 1 << minCodeSize;
    const int32_t bits = minCodeSize + 1;
    // After a clear a reader adds one string per further code; the size
    // grows when its next code reaches 2 x clear.
    const size_t run = static_cast<size_t>(clear - 2);
    std::vector<GifCode> codes;
    for (size_t i = 0; i < indices.size(); ++i) {
        if (i % run == 0) codes.push_back({clear, bits});
        codes.push_back({indices[i], bits});
    }
    if (indices.empty()) codes.push_back({clear, bits});
    if (withEnd) codes.push_back({clear + 1, bits});
    return codes;
}

GifBytes GifImageData(int32_t minCodeSize, const GifBytes& stream) {
    GifBytes out{static_cast<uint8_t>(minCodeSize)};
    for (size_t at = 0; at < stream.size(); at += 255) {
        const size_t part = stream.size() - at < 255 ? stream.size() - at : 255;
        out.push_back(static_cast<uint8_t>(part));
        out.insert(out.end(), stream.begin() + static_cast<ptrdiff_t>(at),
                   stream.begin() + static_cast<ptrdiff_t>(at + part));
    }
    out.push_back(0);
    return out;
}

GifBytes GifImage(int32_t left, int32_t top, int32_t width, int32_t height, const GifBytes& indices,
                  int32_t minCodeSize, bool interlaced) {
    return GifCat({GifDescriptor(left, top, width, height, 0, interlaced),
                   GifImageData(minCodeSize, PackCodes(LiteralCodes(indices, minCodeSize)))});
}
