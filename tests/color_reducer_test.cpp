// Colour conversion and reduction: the conversion pairs, the exact and the
// approximate palettes with their quirks, the diffusion shares, failures and
// golden digests.
#include "core/color_reducer.h"
#include "core/memory.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace {

// Opens the reduction's steps to the tests.
class Reducer : public ColorReducer {
public:
    using ColorReducer::BuildCellHistogram;
    using ColorReducer::SetUpDiffusion;
};

uint32_t Key(const RGBQUAD& c) { return c.rgbBlue | c.rgbGreen << 8 | c.rgbRed << 16; }
uint32_t Key(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16; }
bool operator==(const RGBQUAD& a, const RGBQUAD& b) { return memcmp(&a, &b, sizeof a) == 0; }
int Brightness(const RGBQUAD& c) { return c.rgbBlue + c.rgbGreen + c.rgbRed; }

class ColorReducerTest : public testing::Test {
protected:
    std::unique_ptr<Reducer> reducer = std::make_unique<Reducer>();
    RGBQUAD out[256];
    std::vector<uint8_t> indices;
    int liveBefore = 0;

    void SetUp() override {
        AllocationProbe::Reset();
        liveBefore = AllocationProbe::LiveBlocks();
    }
    void TearDown() override {
        AllocationProbe::Reset();
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
    }
    bool Reduce(const TestPicture& picture) {
        reducer->width = picture.width;
        reducer->height = picture.height;
        reducer->sourceBitCount = picture.bitCount;
        reducer->targetBitCount = 8;
        memset(out, 0, sizeof out);
        indices.assign(static_cast<size_t>(picture.width) * picture.height, 0xAB);
        return reducer->ReduceToPalette(picture.palette, picture.rows.data(), out, indices.data());
    }
    // Whether every pixel of a 24-bit picture is its palette entry's colour.
    bool Reproduces(TestPicture& picture) {
        for (int32_t y = 0; y < picture.height; ++y)
            for (int32_t x = 0; x < picture.width; ++x)
                if (Key(out[indices[y * picture.width + x]]) != Key(picture.At(x, y))) return false;
        return true;
    }
    uint32_t ResultDigest() {
        std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(out), reinterpret_cast<uint8_t*>(out) + sizeof out);
        bytes.insert(bytes.end(), indices.begin(), indices.end());
        return Digest(bytes.data(), bytes.size());
    }
};

// Colour i of a family whose members each sit alone in a finest cell; none is black.
uint8_t SpreadChannel(int32_t i, int c) {
    return static_cast<uint8_t>(c == 0 ? 4 + 8 * (i % 32) : c == 1 ? 4 + 8 * (i / 32) : 100);
}
uint32_t SpreadKey(int32_t i) { return SpreadChannel(i, 0) | SpreadChannel(i, 1) << 8 | SpreadChannel(i, 2) << 16; }

// The first `count` colours of the family, repeated in scan order.
TestPicture SpreadColours(int32_t count, int32_t width, int32_t height) {
    return FormulaPicture(width, height, 24,
                          [=](int32_t x, int32_t y, int c) { return SpreadChannel((y * width + x) % count, c); });
}

// Probes 78 and 80 (grey), then every colour of the cell 80..87 once, then 20
// pixels of 72, laid out as one row or one column.
TestPicture TwoCellGreys(bool oneRow) {
    std::vector<uint32_t> sequence = {78u * 0x010101u, 80u * 0x010101u};
    for (uint32_t r = 80; r < 88; ++r)
        for (uint32_t g = 80; g < 88; ++g)
            for (uint32_t b = 80; b < 88; ++b) sequence.push_back(b | g << 8 | r << 16);
    sequence.insert(sequence.end(), 20, 72u * 0x010101u);
    const int32_t n = static_cast<int32_t>(sequence.size());
    return FormulaPicture(oneRow ? n : 1, oneRow ? 1 : n, 24, [&](int32_t x, int32_t y, int c) {
        return static_cast<uint8_t>(sequence[x + y] >> (8 * c));
    });
}

}  // namespace

TEST_F(ColorReducerTest, ConvertUnpacksExpandsAndCopies) {
    RGBQUAD in[256];
    for (int i = 0; i < 256; ++i) in[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(255 - i), 7, 0};
    RGBQUAD palette[256];
    uint8_t target[64];
    auto run = [&](int32_t w, int32_t h, int32_t from, int32_t to, const std::vector<uint8_t>& rows) {
        memset(palette, 0xEE, sizeof palette);
        memset(target, 0xEE, sizeof target);
        reducer->width = w;
        reducer->height = h;
        reducer->sourceBitCount = from;
        reducer->targetBitCount = to;
        reducer->stride = to == 24 ? (3 * w + 3) & ~3 : (w + 3) & ~3;
        reducer->imageSize = reducer->stride * h;
        return reducer->Convert(palette, target, in, rows.data());
    };
    // Most significant bit first; the second row starts 4 bytes on.
    ASSERT_TRUE(run(10, 2, 1, 8, {0xB0, 0x40, 0, 0, 0x80, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(target, target + 10), (std::vector<uint8_t>{1, 0, 1, 1, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(target[12], 1);
    EXPECT_TRUE(palette[1] == in[1]);
    EXPECT_EQ(palette[2].rgbRed, 0xEE);  // entries beyond the depth are left alone
    // An odd width reads only the high nibble of the last byte.
    ASSERT_TRUE(run(3, 1, 4, 8, {0x12, 0x3F, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(target, target + 4), (std::vector<uint8_t>{1, 2, 3, 0xEE}));
    EXPECT_TRUE(palette[15] == in[15]);
    EXPECT_EQ(palette[16].rgbRed, 0xEE);
    ASSERT_TRUE(run(2, 1, 8, 24, {5, 200, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(target, target + 6), (std::vector<uint8_t>{5, 250, 7, 200, 55, 7}));
    EXPECT_EQ(palette[0].rgbRed, 0xEE);  // no palette for 24 bits
    ASSERT_TRUE(run(2, 2, 8, 8, {9, 8, 1, 2, 7, 6, 3, 4}));
    EXPECT_EQ(std::vector<uint8_t>(target, target + 8), (std::vector<uint8_t>{9, 8, 1, 2, 7, 6, 3, 4}));
    EXPECT_TRUE(palette[255] == in[255]);
    for (auto [from, to] : {std::pair{24, 8}, {8, 4}, {16, 24}, {4, 24}, {24, 24}}) {
        EXPECT_FALSE(run(2, 1, from, to, {1, 2, 3, 4, 5, 6, 0, 0})) << from << " to " << to;
        EXPECT_EQ(target[0], 0xEE);
    }
    EXPECT_FALSE(run(0, 1, 8, 24, {1, 2, 3, 4}));
}

TEST_F(ColorReducerTest, AtMost256ColoursAreKeptExactlyInBrightnessOrder) {
    TestPicture all = SpreadColours(256, 16, 16);
    ASSERT_TRUE(Reduce(all));
    EXPECT_TRUE(Reproduces(all));
    std::set<uint32_t> distinct;
    for (int i = 0; i < 256; ++i) {
        distinct.insert(Key(out[i]));
        if (i > 0) {
            EXPECT_LE(Brightness(out[i - 1]), Brightness(out[i]));
        }
    }
    EXPECT_EQ(distinct.size(), 256u);
    EXPECT_EQ(distinct.count(0), 0u);

    // A selection sort with swaps, not a stable one: brightness 5, 3, 5, 3 in
    // scan order end up B, D, C, A.
    const uint8_t abcd[4][3] = {{5, 0, 0}, {0, 3, 0}, {0, 0, 5}, {1, 1, 1}};
    TestPicture four = FormulaPicture(4, 1, 24, [&](int32_t x, int32_t, int c) { return abcd[x][c]; });
    ASSERT_TRUE(Reduce(four));
    EXPECT_EQ(Key(out[0]), Key(four.At(1, 0)));
    EXPECT_EQ(Key(out[1]), Key(four.At(3, 0)));
    EXPECT_EQ(Key(out[2]), Key(four.At(2, 0)));
    EXPECT_EQ(Key(out[3]), Key(four.At(0, 0)));
    EXPECT_EQ(indices, (std::vector<uint8_t>{3, 0, 2, 1}));

    TestPicture single = FormulaPicture(3, 2, 24, [](int32_t, int32_t, int c) { return static_cast<uint8_t>(9 - c); });
    ASSERT_TRUE(Reduce(single));
    EXPECT_TRUE(out[0] == (RGBQUAD{9, 8, 7, 0}));
    for (int i = 1; i < 256; ++i) ASSERT_EQ(Key(out[i]), 0u) << i;
    EXPECT_EQ(indices, std::vector<uint8_t>(6, 0));
}

TEST_F(ColorReducerTest, EightBitSourceKeepsFirstAppearanceOrderWithoutRepeats) {
    TestPicture picture = FormulaPicture(4, 1, 8, [](int32_t x, int32_t, int) {
        return static_cast<uint8_t>(std::vector<int>{2, 3, 0, 6}[x]);
    });
    picture.palette[0] = RGBQUAD{1, 2, 3, 0};
    picture.palette[1] = RGBQUAD{4, 5, 6, 0};
    picture.palette[2] = RGBQUAD{1, 2, 3, 9};  // repeats entry 0
    picture.palette[3] = RGBQUAD{7, 8, 9, 77};
    picture.palette[4] = RGBQUAD{4, 5, 6, 0};  // repeats entry 1, used by no pixel
    picture.palette[5] = RGBQUAD{0, 0, 1, 0};  // darker than all, still not moved
    ASSERT_TRUE(Reduce(picture));
    const RGBQUAD expected[6] = {{1, 2, 3, 0}, {4, 5, 6, 0}, {7, 8, 9, 77}, {0, 0, 1, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(out[i] == expected[i]) << i;
    EXPECT_EQ(indices, (std::vector<uint8_t>{0, 2, 0, 4}));
}

TEST_F(ColorReducerTest, ApproximatePathHandChecked) {
    // 272 colours in the one cell 128..135, 128..135, 152..159: average
    // (131, 131, 153). Grey 135 (distance 356) and (135, 135, 175) (distance
    // 516) both take that cell; black takes an empty one. Sorted, the 253
    // unfilled entries and black come first.
    TestPicture cell = FormulaPicture(16, 17, 24, [](int32_t x, int32_t y, int c) {
        const int32_t k = y * 16 + x;
        return static_cast<uint8_t>(c == 0 ? 128 + k % 8 : c == 1 ? 128 + (k / 8) % 8 : 152 + k / 64);
    });
    ASSERT_TRUE(Reduce(cell));
    for (int i = 0; i < 254; ++i) ASSERT_EQ(Key(out[i]), 0u) << i;
    EXPECT_TRUE(out[254] == (RGBQUAD{131, 131, 153, 0}));
    EXPECT_TRUE(out[255] == (RGBQUAD{131, 131, 153, 0}));
    EXPECT_EQ(indices, std::vector<uint8_t>(272, 254));  // the first of equals wins

    // Cells 72..79 (average 72, the most populated) and 80..87 (average 83,
    // taken by grey 85). Probe 78 maps to 83 with error -5; its next pixel 80
    // receives -3 (7/16) along a row and becomes 77, nearer 72, but -2 (5/16)
    // down a column and becomes 78, nearer 83.
    for (bool oneRow : {true, false}) {
        TestPicture greys = TwoCellGreys(oneRow);
        ASSERT_TRUE(Reduce(greys));
        EXPECT_TRUE(out[254] == (RGBQUAD{72, 72, 72, 0}));
        EXPECT_TRUE(out[255] == (RGBQUAD{83, 83, 83, 0}));
        EXPECT_EQ(Key(out[253]), 0u);
        EXPECT_EQ(indices[0], 255);
        EXPECT_EQ(indices[1], oneRow ? 254 : 255) << (oneRow ? "one row" : "one column");
        EXPECT_EQ(std::vector<uint8_t>(indices.end() - 20, indices.end()), std::vector<uint8_t>(20, 254));
    }
}

TEST_F(ColorReducerTest, SmallPicturesGetBlackFromAnEmptyCell) {
    // 257 colours leave the exact path: the palette is full and its first
    // entry is black, which no pixel has.
    TestPicture small = SpreadColours(257, 257, 1);
    ASSERT_TRUE(Reduce(small));
    EXPECT_EQ(Key(out[0]), 0u);
    EXPECT_NE(Key(out[1]), 0u);
    // From 65,536 pixels on, cells need a pixel to be preferred: no black.
    TestPicture large = SpreadColours(300, 256, 256);
    ASSERT_TRUE(Reduce(large));
    std::set<uint32_t> colours;
    for (int32_t i = 0; i < 300; ++i) colours.insert(SpreadKey(i));
    for (int i = 0; i < 256; ++i) ASSERT_EQ(colours.count(Key(out[i])), 1u) << "entry " << i;
}

TEST_F(ColorReducerTest, SpreadSlotsReachTheirNeighboursWithClampedShares) {
    reducer->SetUpDiffusion();
    reducer->workStride = 12;  // three pixels a row
    uint8_t rows[24];
    const int32_t error[3] = {16, -1, 200};
    // Changes per neighbour after the slot ran on the pixel at `at`.
    auto run = [&](ColorReducer::SpreadOperation slot, int at) {
        memset(rows, 100, sizeof rows);
        for (int i = 2; i < 24; i += 3) rows[i] = 250;
        (reducer.get()->*slot)(rows + at, error);
        std::vector<int> changed;
        for (int i = 0; i < 24; ++i)
            if (rows[i] != (i % 3 == 2 ? 250 : 100)) changed.push_back(i);
        return changed;
    };
    // Inner pixel: right +7, below +5, below-left +3, below-right +1 on blue;
    // -1 stays -1 on green; red clamps at 255.
    EXPECT_EQ(run(reducer->spreadMiddle, 3), (std::vector<int>{6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
    EXPECT_EQ(rows[6], 107);
    EXPECT_EQ(rows[15], 105);
    EXPECT_EQ(rows[12], 103);
    EXPECT_EQ(rows[18], 101);
    EXPECT_EQ(rows[7], 99);
    EXPECT_EQ(rows[19], 99);
    EXPECT_EQ(rows[20], 255);
    EXPECT_EQ(run(reducer->spreadFirst, 0), (std::vector<int>{3, 4, 5, 12, 13, 14, 15, 16, 17}));
    EXPECT_EQ(run(reducer->spreadLast, 6), (std::vector<int>{15, 16, 17, 18, 19, 20}));
    EXPECT_EQ(rows[15], 103);
    EXPECT_EQ(run(reducer->spreadLastRow, 12), (std::vector<int>{15, 16, 17}));
    EXPECT_EQ(run(reducer->spreadSingle, 0), (std::vector<int>{12, 13, 14}));
    // Shares round down: +1 gives nothing anywhere.
    EXPECT_EQ(reducer->weightRight[255 + 1], 0);
    EXPECT_EQ(reducer->weightBelowRight[255 - 1], -1);
    EXPECT_EQ(reducer->weightBelow[255 - 255], -80);
}

TEST_F(ColorReducerTest, CellResolutionFollowsTheOccupiedCells) {
    auto shiftFor = [&](TestPicture picture) {
        reducer->width = picture.width;
        reducer->height = picture.height;
        reducer->workStride = static_cast<int32_t>(picture.stride);
        reducer->workPixels = picture.rows.data();
        reducer->cellBuffer = static_cast<uint8_t*>(AllocatePages(ColorReducer::kCellBufferBytes));
        const int32_t shift = reducer->BuildCellHistogram();
        ReleasePages(reducer->cellBuffer);
        reducer->cellBuffer = nullptr;
        reducer->workPixels = nullptr;
        return shift;
    };
    // i selects a 4-bit cell through blue and green, and a 3-bit cell through its top bits.
    auto cells = [](int32_t count) {
        return FormulaPicture(count, 1, 24, [](int32_t x, int32_t, int c) {
            return static_cast<uint8_t>((c == 0 ? x % 16 : c == 1 ? (x / 16) % 16 : x / 256) << 4);
        });
    };
    EXPECT_EQ(shiftFor(cells(256)), 3);
    EXPECT_EQ(shiftFor(cells(257)), 4);  // 257 four-bit cells, 64 three-bit ones
    TestPicture many = FormulaPicture(512, 1, 24, [](int32_t x, int32_t, int c) {
        return static_cast<uint8_t>(((x >> (3 * c)) & 7) << 5);
    });
    EXPECT_EQ(shiftFor(many), 5);
}

TEST_F(ColorReducerTest, FailuresReleaseEverything) {
    for (int32_t colours : {200, 300}) {  // the exact path and the approximate one
        TestPicture picture = SpreadColours(colours, 30, 20);
        for (int failing = 1;; ++failing) {
            AllocationProbe::FailAt(failing);
            const bool reduced = Reduce(picture);
            const int asked = AllocationProbe::Allocations();
            AllocationProbe::Reset();
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << "allocation " << failing;
            if (reduced) {
                EXPECT_EQ(failing, colours == 200 ? 3 : 4);  // work copy, bit set, (cell buffer)
                EXPECT_LT(asked, failing);
                break;
            }
        }
    }
    TestPicture picture = PhotoPicture(8, 8, 24, 5);
    for (int32_t bits : {1, 4, 16, 32}) {
        picture.bitCount = bits;
        EXPECT_FALSE(Reduce(picture)) << bits;
    }
    reducer->sourceBitCount = 24;
    reducer->targetBitCount = 24;
    EXPECT_FALSE(reducer->ReduceToPalette(nullptr, picture.rows.data(), out, indices.data()));
    reducer->targetBitCount = 8;
    EXPECT_FALSE(reducer->ReduceToPalette(nullptr, nullptr, out, indices.data()));
    reducer->width = 0;
    EXPECT_FALSE(reducer->ReduceToPalette(nullptr, picture.rows.data(), out, indices.data()));
    reducer->width = 8;
    reducer->sourceBitCount = 8;  // without a palette
    EXPECT_FALSE(reducer->ReduceToPalette(nullptr, picture.rows.data(), out, indices.data()));
    EXPECT_EQ(AllocationProbe::Allocations(), 0);
}

TEST_F(ColorReducerTest, GoldenDigests) {
    TestPicture faint = PhotoPicture(90, 80, 24, 5);
    for (uint8_t& v : faint.rows) v = static_cast<uint8_t>(100 + v / 4);
    TestPicture noise = FormulaPicture(70, 60, 24, [](int32_t x, int32_t y, int c) {
        const uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^
                           static_cast<uint32_t>(c) * 83492791u;
        return static_cast<uint8_t>((h * 2654435761u) >> 24);
    });
    struct Case {
        const char* name;
        TestPicture picture;
        uint32_t digest;
    };
    Case cases[] = {
        {"exact from 8 bits", PhotoPicture(50, 40, 8, 1), 250573438u},
        {"exact from 24 bits", PhotoPicture(33, 7, 24, 4), 3407711773u},
        {"finest cells", faint, 1164592780u},
        {"middle cells, threshold 0", PhotoPicture(120, 90, 24, 2), 2467347244u},
        {"middle cells, threshold 1", PhotoPicture(300, 240, 24, 3), 24376713u},
        {"coarsest cells", noise, 4160822392u},
    };
    for (Case& c : cases) {
        ASSERT_TRUE(Reduce(c.picture));
        EXPECT_EQ(ResultDigest(), c.digest) << c.name;
    }
}
