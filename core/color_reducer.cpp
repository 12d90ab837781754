#include "core/color_reducer.h"

#include "core/memory.h"
#include "core/picture_records.h"

#include <cstring>

ColorReducer::ColorReducer()
    : ditherMode(0), width(0), height(0), sourceBitCount(0), targetBitCount(0), squaresTable(nullptr) {}

namespace {

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

void ExpandRows(uint8_t* out, int64_t outStride, const uint8_t* in, int64_t inStride, const RGBQUAD* palette,
                int32_t width, int32_t height) {
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = in + y * inStride;
        uint8_t* dst = out + y * outStride;
        // An entry's four bytes at once: blue, green, red, and a fourth that
        // the next pixel's blue replaces, four pixels a turn. The last pixel
        // goes byte by byte, as nothing past the row may be written.
        int32_t x = 0;
        for (; x + 4 < width; x += 4) {
            memcpy(dst + 3 * x, &palette[src[x]], 4);
            memcpy(dst + 3 * x + 3, &palette[src[x + 1]], 4);
            memcpy(dst + 3 * x + 6, &palette[src[x + 2]], 4);
            memcpy(dst + 3 * x + 9, &palette[src[x + 3]], 4);
        }
        for (; x + 1 < width; ++x) memcpy(dst + 3 * x, &palette[src[x]], 4);
        for (; x < width; ++x) {
            const RGBQUAD& c = palette[src[x]];
            dst[3 * x] = c.rgbBlue;
            dst[3 * x + 1] = c.rgbGreen;
            dst[3 * x + 2] = c.rgbRed;
        }
    }
}

constexpr uint32_t Key(const uint8_t* bgr) {
    return bgr[0] | static_cast<uint32_t>(bgr[1]) << 8 | static_cast<uint32_t>(bgr[2]) << 16;
}
constexpr uint32_t Key(const RGBQUAD& c) {
    return c.rgbBlue | static_cast<uint32_t>(c.rgbGreen) << 8 | static_cast<uint32_t>(c.rgbRed) << 16;
}
RGBQUAD Colour(uint32_t key) {
    return RGBQUAD{static_cast<BYTE>(key), static_cast<BYTE>(key >> 8), static_cast<BYTE>(key >> 16), 0};
}
int32_t Brightness(const RGBQUAD& c) { return c.rgbBlue + c.rgbGreen + c.rgbRed; }

// Colour to small value for at most 256 colours, without allocating: open
// addressing over four times as many slots.
class ColourMap {
public:
    ColourMap() { memset(keys, 0xFF, sizeof keys); }
    // The slot of a colour: either holding it or the empty one where it goes.
    int Slot(uint32_t key) const {
        int slot = static_cast<int>((key * 2654435761u) >> (32 - kBits));
        while (keys[slot] != key && keys[slot] != kEmpty) slot = (slot + 1) & (kSlots - 1);
        return slot;
    }
    bool Holds(int slot) const { return keys[slot] != kEmpty; }
    void Put(int slot, uint32_t key, uint8_t value) {
        keys[slot] = key;
        values[slot] = value;
    }
    uint8_t Value(int slot) const { return values[slot]; }

private:
    static constexpr int kBits = 10;
    static constexpr int kSlots = 1 << kBits;
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    uint32_t keys[kSlots];
    uint8_t values[kSlots];
};

// One colour cell of the histogram: sums until averaged, then the average.
struct Cell {
    uint64_t blue;
    uint64_t green;
    uint64_t red;
    uint64_t count;
};
static_assert(sizeof(Cell) * 32768 == ColorReducer::kCellBufferBytes);

constexpr uint8_t kCubeLevels[6] = {0, 85, 135, 175, 215, 255};
constexpr int32_t kNearEnough = 800;  // squared distance a preferred colour accepts

}  // namespace

bool ColorReducer::Convert(RGBQUAD* outPalette, uint8_t* outPixels, const RGBQUAD* inPalette,
                           const uint8_t* inPixels) {
    if (width < 1 || height < 1 || outPixels == nullptr || inPixels == nullptr || inPalette == nullptr) return false;
    const int32_t inStride = static_cast<int32_t>(PaddedRowBytes(width, sourceBitCount));
    if (targetBitCount == 8 && (sourceBitCount == 1 || sourceBitCount == 4)) {
        if (outPalette == nullptr) return false;
        memcpy(outPalette, inPalette, sizeof(RGBQUAD) * (1u << sourceBitCount));
        UnpackRows(outPixels, stride, inPixels, inStride, width, height, sourceBitCount);
        return true;
    }
    if (sourceBitCount == 8 && targetBitCount == 8) {
        if (outPalette == nullptr) return false;
        memcpy(outPalette, inPalette, sizeof(RGBQUAD) * 256);
        memcpy(outPixels, inPixels, static_cast<size_t>(imageSize));
        return true;
    }
    if (sourceBitCount == 8 && targetBitCount == 24) {
        ExpandRows(outPixels, stride, inPixels, inStride, inPalette, width, height);
        return true;
    }
    return false;
}

bool ColorReducer::ReduceToPalette(const RGBQUAD* inPalette, const uint8_t* inPixels, RGBQUAD* outPalette,
                                   uint8_t* outPixels) {
    this->inPalette = inPalette;
    this->inPixels = inPixels;
    this->outPalette = outPalette;
    this->outPixels = outPixels;
    if (width < 1 || height < 1 || targetBitCount != 8 || (sourceBitCount != 8 && sourceBitCount != 24) ||
        inPixels == nullptr || outPalette == nullptr || outPixels == nullptr ||
        (sourceBitCount == 8 && inPalette == nullptr))
        return false;
    SetUpDiffusion();
    if (!FillWorkCopy()) return false;
    const int32_t count = CountDistinctColors();
    bool reduced = count > 0;
    if (reduced) {
        if (squaresTable == nullptr) FillSquares();
        if (count <= 256) {
            BuildExactPalette(count);
            MapExactColors();
        } else {
            cellBuffer = static_cast<uint8_t*>(AllocatePages(kCellBufferBytes));
            reduced = cellBuffer != nullptr;
            if (reduced) {
                SelectPalette(BuildCellHistogram());
                MapWithDiffusion();
            }
            ReleaseAndClear(cellBuffer);
        }
    }
    ReleaseAndClear(workPixels);
    return reduced;
}

void ColorReducer::SetUpDiffusion() {
    for (int32_t v = -255; v <= 510; ++v) clampTable[v + 255] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    // Sixteenths with an arithmetic shift: a share of -1 stays -1, of 1 becomes 0.
    for (int32_t e = -255; e <= 255; ++e) {
        weightRight[e + 255] = (7 * e) >> 4;
        weightBelow[e + 255] = (5 * e) >> 4;
        weightBelowLeft[e + 255] = (3 * e) >> 4;
        weightBelowRight[e + 255] = e >> 4;
    }
    // Floyd-Steinberg is the only mode there is.
    spreadFirst = &ColorReducer::SpreadFirstPixel;
    spreadMiddle = &ColorReducer::SpreadInnerPixel;
    spreadLast = &ColorReducer::SpreadLastPixel;
    spreadLastRow = &ColorReducer::SpreadAlongLastRow;
    spreadSingle = &ColorReducer::SpreadDownOnly;
}

bool ColorReducer::FillWorkCopy() {
    const int64_t rowLength = PaddedRowBytes(width, 24);
    if (rowLength > INT32_MAX) return false;
    workStride = static_cast<int32_t>(rowLength);
    const uint64_t bytes = static_cast<uint64_t>(workStride) * static_cast<uint64_t>(height);
    workPixels = static_cast<uint8_t*>(AllocatePages(bytes));
    if (workPixels == nullptr) return false;
    if (sourceBitCount == 8)
        ExpandRows(workPixels, workStride, inPixels, PaddedRowBytes(width, 8), inPalette, width, height);
    else
        memcpy(workPixels, inPixels, static_cast<size_t>(bytes));
    return true;
}

void ColorReducer::FillSquares() {
    for (int32_t d = -255; d <= 255; ++d) squares[d + 255] = d * d;
    squaresTable = squares + 255;
}

int32_t ColorReducer::CountDistinctColors() {
    constexpr uint64_t kSetBytes = (uint64_t{1} << 24) / 8;
    auto* seen = static_cast<uint32_t*>(AllocatePages(kSetBytes));
    if (seen == nullptr) return 0;
    int32_t count = 0;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* p = workPixels + static_cast<int64_t>(y) * workStride;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            const uint32_t key = Key(p);
            const uint32_t bit = 1u << (key & 31);
            if ((seen[key >> 5] & bit) == 0) {
                seen[key >> 5] |= bit;
                ++count;
            }
        }
    }
    ReleasePages(seen);
    return count;
}

void ColorReducer::BuildExactPalette(int32_t count) {
    if (sourceBitCount == 8) {
        // The source's own order; only repeated colours drop out, used or not.
        int32_t taken = 0;
        for (int i = 0; i < 256; ++i) {
            bool repeated = false;
            for (int32_t j = 0; j < taken && !repeated; ++j) repeated = Key(outPalette[j]) == Key(inPalette[i]);
            if (!repeated) outPalette[taken++] = inPalette[i];
        }
        return;
    }
    // Distinct colours in scan order, then a selection sort by brightness.
    uint32_t found[256];
    int32_t collected = 0;
    ColourMap seen;
    for (int32_t y = 0; y < height && collected < count; ++y) {
        const uint8_t* p = workPixels + static_cast<int64_t>(y) * workStride;
        for (int32_t x = 0; x < width && collected < count; ++x, p += 3) {
            const uint32_t key = Key(p);
            const int slot = seen.Slot(key);
            if (seen.Holds(slot)) continue;
            seen.Put(slot, key, 0);
            found[collected++] = key;
        }
    }
    for (int32_t i = 0; i < collected; ++i) {
        int32_t darkest = i;
        for (int32_t j = i + 1; j < collected; ++j)
            if (Brightness(Colour(found[j])) < Brightness(Colour(found[darkest]))) darkest = j;
        outPalette[i] = Colour(found[darkest]);
        const uint32_t swapped = found[i];
        found[i] = found[darkest];
        found[darkest] = swapped;
    }
}

// Every pixel gets the first of the 256 entries with its colour.
void ColorReducer::MapExactColors() {
    ColourMap index;
    for (int i = 255; i >= 0; --i) index.Put(index.Slot(Key(outPalette[i])), Key(outPalette[i]), static_cast<uint8_t>(i));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* p = workPixels + static_cast<int64_t>(y) * workStride;
        uint8_t* out = outPixels + static_cast<int64_t>(y) * width;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            const int slot = index.Slot(Key(p));
            out[x] = index.Holds(slot) ? index.Value(slot) : 0;  // every colour is in the palette
        }
    }
}

int32_t ColorReducer::BuildCellHistogram() {
    // Finer cells while the picture occupies few of the coarser ones.
    uint64_t cells4[4096 / 64] = {};
    uint64_t cells3[512 / 64] = {};
    int32_t occupied4 = 0;
    int32_t occupied3 = 0;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* p = workPixels + static_cast<int64_t>(y) * workStride;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            const uint32_t c4 = (p[2] >> 4) << 8 | (p[1] >> 4) << 4 | p[0] >> 4;
            const uint32_t c3 = (p[2] >> 5) << 6 | (p[1] >> 5) << 3 | p[0] >> 5;
            const uint64_t bit4 = uint64_t{1} << (c4 & 63);
            const uint64_t bit3 = uint64_t{1} << (c3 & 63);
            occupied4 += (cells4[c4 >> 6] & bit4) == 0;
            occupied3 += (cells3[c3 >> 6] & bit3) == 0;
            cells4[c4 >> 6] |= bit4;
            cells3[c3 >> 6] |= bit3;
        }
    }
    const int32_t shift = occupied4 <= 256 ? 3 : occupied3 <= 256 ? 4 : 5;
    const int32_t bits = 8 - shift;
    auto* cells = reinterpret_cast<Cell*>(cellBuffer);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* p = workPixels + static_cast<int64_t>(y) * workStride;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            Cell& cell = cells[(p[2] >> shift) << (2 * bits) | (p[1] >> shift) << bits | p[0] >> shift];
            cell.blue += p[0];
            cell.green += p[1];
            cell.red += p[2];
            ++cell.count;
        }
    }
    for (int32_t i = 0; i < 1 << (3 * bits); ++i) {
        Cell& cell = cells[i];
        if (cell.count == 0) continue;
        cell.blue /= cell.count;
        cell.green /= cell.count;
        cell.red /= cell.count;
    }
    return shift;
}

void ColorReducer::SelectPalette(int32_t shift) {
    auto* cells = reinterpret_cast<Cell*>(cellBuffer);
    const int32_t cellCount = 1 << (3 * (8 - shift));
    // Small pictures have a threshold of 0: empty and taken cells stay eligible.
    const uint64_t threshold = (static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) >> 16;
    const int32_t* sq = squaresTable;
    int32_t filled = 0;
    auto take = [&](Cell& cell) {
        outPalette[filled++] = RGBQUAD{static_cast<BYTE>(cell.blue), static_cast<BYTE>(cell.green),
                                       static_cast<BYTE>(cell.red), 0};
        cell.count = 0;
    };
    for (int k = 0; k < 216; ++k) {
        const int32_t blue = kCubeLevels[k % 6];
        const int32_t green = kCubeLevels[(k / 6) % 6];
        const int32_t red = kCubeLevels[k / 36];
        int32_t nearest = -1;
        int32_t best = kNearEnough;
        for (int32_t i = 0; i < cellCount; ++i) {
            const Cell& cell = cells[i];
            if (cell.count < threshold) continue;
            const int32_t d = sq[static_cast<int32_t>(cell.blue) - blue] + sq[static_cast<int32_t>(cell.green) - green] +
                              sq[static_cast<int32_t>(cell.red) - red];
            if (d < best) {
                best = d;
                nearest = i;
            }
        }
        if (nearest >= 0) take(cells[nearest]);
    }
    while (filled < 256) {
        int32_t fullest = 0;
        for (int32_t i = 1; i < cellCount; ++i)
            if (cells[i].count > cells[fullest].count) fullest = i;
        if (cells[fullest].count == 0) break;
        take(cells[fullest]);
    }
    // Stable insertion sort of all 256 entries: the unfilled zeros come first.
    for (int i = 1; i < 256; ++i) {
        const RGBQUAD entry = outPalette[i];
        int j = i - 1;
        for (; j >= 0 && Brightness(outPalette[j]) > Brightness(entry); --j) outPalette[j + 1] = outPalette[j];
        outPalette[j + 1] = entry;
    }
}

int32_t ColorReducer::NearestEntry(const uint8_t* pixel) const {
    const int32_t* sq = squaresTable;
    int32_t nearest = 0;
    int32_t best = INT32_MAX;
    // Partial sums already at the best cannot win: a later entry must be strictly nearer.
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD& c = outPalette[i];
        int32_t d = sq[pixel[0] - c.rgbBlue];
        if (d >= best) continue;
        d += sq[pixel[1] - c.rgbGreen];
        if (d >= best) continue;
        d += sq[pixel[2] - c.rgbRed];
        if (d >= best) continue;
        best = d;
        nearest = i;
    }
    return nearest;
}

void ColorReducer::MapWithDiffusion() {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* p = workPixels + static_cast<int64_t>(y) * workStride;
        uint8_t* out = outPixels + static_cast<int64_t>(y) * width;
        const bool lastRow = y == height - 1;
        for (int32_t x = 0; x < width; ++x, p += 3) {
            const int32_t index = NearestEntry(p);
            out[x] = static_cast<uint8_t>(index);
            const RGBQUAD& entry = outPalette[index];
            const int32_t error[3] = {p[0] - entry.rgbBlue, p[1] - entry.rgbGreen, p[2] - entry.rgbRed};
            const bool lastPixel = x == width - 1;
            SpreadOperation spread;
            if (lastRow)
                spread = lastPixel ? nullptr : spreadLastRow;
            else if (width == 1)
                spread = spreadSingle;
            else
                spread = x == 0 ? spreadFirst : lastPixel ? spreadLast : spreadMiddle;
            if (spread != nullptr) (this->*spread)(p, error);
        }
    }
}

void ColorReducer::Receive(uint8_t* neighbour, const int32_t* weight, const int32_t* error) {
    for (int c = 0; c < 3; ++c) neighbour[c] = clampTable[255 + neighbour[c] + weight[255 + error[c]]];
}

void ColorReducer::SpreadFirstPixel(uint8_t* pixel, const int32_t* error) {
    Receive(pixel + 3, weightRight, error);
    Receive(pixel + workStride, weightBelow, error);
    Receive(pixel + workStride + 3, weightBelowRight, error);
}

void ColorReducer::SpreadInnerPixel(uint8_t* pixel, const int32_t* error) {
    Receive(pixel + 3, weightRight, error);
    Receive(pixel + workStride, weightBelow, error);
    Receive(pixel + workStride + 3, weightBelowRight, error);
    Receive(pixel + workStride - 3, weightBelowLeft, error);
}

void ColorReducer::SpreadLastPixel(uint8_t* pixel, const int32_t* error) {
    Receive(pixel + workStride, weightBelow, error);
    Receive(pixel + workStride - 3, weightBelowLeft, error);
}

void ColorReducer::SpreadAlongLastRow(uint8_t* pixel, const int32_t* error) { Receive(pixel + 3, weightRight, error); }

void ColorReducer::SpreadDownOnly(uint8_t* pixel, const int32_t* error) { Receive(pixel + workStride, weightBelow, error); }

void BuildBlendTable(uint8_t (&table)[256][256]) {
    for (int i = 0; i < 256; ++i) {
        table[i][0] = table[0][i] = 0;
        table[i][255] = table[255][i] = static_cast<uint8_t>(i);
    }
    for (int i = 1; i <= 254; ++i) {
        const int64_t a = 65536 * i / 255;
        for (int j = i; j <= 254; ++j) table[i][j] = table[j][i] = static_cast<uint8_t>((a * j + 32768) >> 16);
    }
}
