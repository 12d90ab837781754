#include "support/png_builder.h"

#include <cstdlib>
#include <zlib.h>

void PushU32BE(PngBytes& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
}

PngBytes PngChunk(const std::string& type, const PngBytes& data, uint32_t crcDelta) {
    PngBytes chunk;
    PushU32BE(chunk, static_cast<uint32_t>(data.size()));
    chunk.insert(chunk.end(), type.begin(), type.end());
    chunk.insert(chunk.end(), data.begin(), data.end());
    const uLong crc = crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4));
    PushU32BE(chunk, static_cast<uint32_t>(crc) + crcDelta);
    return chunk;
}

PngBytes PngSignature() { return {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }

PngBytes IhdrData(uint32_t width, uint32_t height, int bitDepth, int colourType, int interlace) {
    PngBytes data;
    PushU32BE(data, width);
    PushU32BE(data, height);
    data.push_back(static_cast<uint8_t>(bitDepth));
    data.push_back(static_cast<uint8_t>(colourType));
    data.push_back(0);
    data.push_back(0);
    data.push_back(static_cast<uint8_t>(interlace));
    return data;
}

PngBytes Deflated(const PngBytes& raw, int level) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    PngBytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level);
    out.resize(size);
    return out;
}

PngBytes SimplePng(uint32_t width, uint32_t height, int bitDepth, int colourType, const PngBytes& filteredRows,
                   const PngBytes& beforeData, int interlace) {
    PngBytes file = PngSignature();
    const PngBytes header = PngChunk("IHDR", IhdrData(width, height, bitDepth, colourType, interlace));
    file.insert(file.end(), header.begin(), header.end());
    file.insert(file.end(), beforeData.begin(), beforeData.end());
    const PngBytes data = PngChunk("IDAT", Deflated(filteredRows));
    file.insert(file.end(), data.begin(), data.end());
    const PngBytes end = PngChunk("IEND", {});
    file.insert(file.end(), end.begin(), end.end());
    return file;
}

namespace {

int Channels(int colourType) {
    switch (colourType) {
        case 2: return 3;
        case 4: return 2;
        case 6: return 4;
        default: return 1;
    }
}

int PaethOf(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

}  // namespace

size_t PngRowBytes(int32_t pixels, int bitDepth, int colourType) {
    return (static_cast<size_t>(pixels) * bitDepth * Channels(colourType) + 7) / 8;
}

PngBytes FilterRow(int filter, const PngBytes& raw, const PngBytes& above, int bytesPerPixel) {
    PngBytes out{static_cast<uint8_t>(filter)};
    for (size_t i = 0; i < raw.size(); ++i) {
        const int left = i >= static_cast<size_t>(bytesPerPixel) ? raw[i - bytesPerPixel] : 0;
        const int up = above.empty() ? 0 : above[i];
        const int corner = i >= static_cast<size_t>(bytesPerPixel) && !above.empty() ? above[i - bytesPerPixel] : 0;
        int predicted = 0;
        switch (filter) {
            case 1: predicted = left; break;
            case 2: predicted = up; break;
            case 3: predicted = (left + up) / 2; break;
            case 4: predicted = PaethOf(left, up, corner); break;
            default: break;
        }
        out.push_back(static_cast<uint8_t>(raw[i] - predicted));
    }
    return out;
}

PngBytes FilteredImage(int32_t width, int32_t height, int bitDepth, int colourType, bool interlaced,
                       int (*filterOf)(int row), uint8_t (*sample)(int32_t x, int32_t y, int byte)) {
    struct Pass {
        int32_t x0, y0, dx, dy;
    };
    const Pass adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    const Pass whole{0, 0, 1, 1};
    const int pixelBits = bitDepth * Channels(colourType);
    const int bytesPerPixel = pixelBits < 8 ? 1 : pixelBits / 8;
    PngBytes out;
    int rowNumber = 0;
    for (int p = 0; p < (interlaced ? 7 : 1); ++p) {
        const Pass pass = interlaced ? adam7[p] : whole;
        const int32_t passWidth = width > pass.x0 ? (width - pass.x0 + pass.dx - 1) / pass.dx : 0;
        const int32_t passHeight = height > pass.y0 ? (height - pass.y0 + pass.dy - 1) / pass.dy : 0;
        if (passWidth == 0 || passHeight == 0) continue;
        PngBytes above;
        for (int32_t r = 0; r < passHeight; ++r) {
            const int32_t y = pass.y0 + r * pass.dy;
            PngBytes raw(PngRowBytes(passWidth, bitDepth, colourType), 0);
            for (int32_t c = 0; c < passWidth; ++c) {
                const int32_t x = pass.x0 + c * pass.dx;
                if (pixelBits < 8) {
                    const int bit = c * bitDepth;
                    raw[bit / 8] |= static_cast<uint8_t>((sample(x, y, 0) & ((1 << bitDepth) - 1)) << (8 - bitDepth - bit % 8));
                } else {
                    for (int b = 0; b < pixelBits / 8; ++b) raw[static_cast<size_t>(c) * (pixelBits / 8) + b] = sample(x, y, b);
                }
            }
            const PngBytes filtered = FilterRow(filterOf(rowNumber++), raw, above, bytesPerPixel);
            out.insert(out.end(), filtered.begin(), filtered.end());
            above = raw;
        }
    }
    return out;
}
