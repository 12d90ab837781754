// Fitting: the tables, area averaging, the cover-and-crop geometry, and the
// sharpening's unchanged-flat and small-picture rules.
#include "engine/codec_set.h"
#include "engine/fitting.h"
#include "engine/memory.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class Fitting : public testing::Test {
protected:
    DecodedImage source{};
    std::vector<uint8_t> rows;
    int liveBefore = 0;

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs());
        AllocationProbe::Reset();
        liveBefore = AllocationProbe::LiveBlocks();
        currentImage = &source;
    }
    void TearDown() override {
        ReleasePages(fittedPicture.pixels);
        fittedPicture.pixels = nullptr;
        DestroyCodecs();
        currentImage = nullptr;
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
    }
    // A picture of the given size whose pixels come from a formula.
    void Picture(int32_t width, int32_t height, int32_t bits, uint8_t (*value)(int32_t x, int32_t y, int c)) {
        const int64_t stride = ((width * (bits / 8)) + 3) & ~3;
        rows.assign(static_cast<size_t>(stride * height), 0);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width; ++x)
                for (int c = 0; c < bits / 8; ++c) rows[y * stride + x * (bits / 8) + c] = value(x, y, c);
        fittedPicture = FittedPicture{width, height, bits, rows.data(), nullptr, 0, 0};
    }
    bool Fit(int32_t slotWidth, int32_t slotHeight) {
        fittedPicture.slotWidth = slotWidth;
        fittedPicture.slotHeight = slotHeight;
        return FitToSlot();
    }
};

uint8_t Flat(int32_t, int32_t, int) { return 77; }
uint8_t Gradient(int32_t x, int32_t y, int c) { return static_cast<uint8_t>((x * 7 + y * 3 + c * 50) & 0xFF); }
uint8_t RowNumber(int32_t, int32_t y, int) { return static_cast<uint8_t>(y); }
uint8_t ColumnNumber(int32_t x, int32_t, int) { return static_cast<uint8_t>(x); }

}  // namespace

TEST_F(Fitting, TablesHoldTheirFormulas) {
    const FilterWorkspace& t = *filterWorkspace;
    EXPECT_EQ(t.blend[255][17], 17);
    EXPECT_EQ(t.blend[17][255], 17);
    EXPECT_EQ(t.blend[0][200], 0);
    int differing = 0;
    for (int i = 1; i <= 254; ++i)
        for (int j = 1; j <= 254; ++j) differing += t.blend[i][j] != (i * j + 127) / 255;
    EXPECT_EQ(differing, 24);  // the formula, not the rounded quotient, defines the table
    EXPECT_EQ(t.div25[0], 0);
    EXPECT_EQ(t.div25[1], 0);
    for (int v = 0; v <= 255; ++v) ASSERT_EQ(t.div25[25 * v], v);
    EXPECT_EQ(t.div25[6375], 255);
    EXPECT_EQ(t.sharpenProducts[3][-1 + 128], -1);
    EXPECT_EQ(t.sharpenProducts[3][-128 + 128], -48);
    EXPECT_EQ(t.sharpenProducts[3][127 + 128], 47);
    const uint8_t* clamp = t.clamp + kClampCentre;
    EXPECT_EQ(clamp[-1600], 0);
    EXPECT_EQ(clamp[0], 0);
    EXPECT_EQ(clamp[1], 1);
    EXPECT_EQ(clamp[254], 254);
    EXPECT_EQ(clamp[255], 255);
    EXPECT_EQ(clamp[1842], 255);
}

TEST_F(Fitting, AreaAveragingOfARowAndAColumn) {
    std::vector<uint8_t> in = {30, 30, 30, 60, 60, 60, 90, 90, 90, 0, 0, 0};
    std::vector<uint8_t> out(8, 0);
    *resizeJob = ResizeJob{3, 1, in.data(), out.data()};
    ASSERT_TRUE(Resize(2, 1));
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6), (std::vector<uint8_t>{40, 40, 40, 80, 80, 80}));

    std::vector<uint8_t> column = {30, 0, 0, 0, 60, 0, 0, 0, 90, 0, 0, 0};  // one pixel wide, rows 4 bytes apart
    std::vector<uint8_t> down(8, 0);
    *resizeJob = ResizeJob{1, 3, column.data(), down.data()};
    ASSERT_TRUE(Resize(1, 2));
    EXPECT_EQ(down[0], 40);
    EXPECT_EQ(down[4], 80);

    std::vector<uint8_t> pairs = {10, 0, 0, 20, 0, 0, 100, 0, 0, 200, 0, 0};
    std::vector<uint8_t> half(8, 0);
    *resizeJob = ResizeJob{4, 1, pairs.data(), half.data()};
    ASSERT_TRUE(Resize(2, 1));
    EXPECT_EQ(half[0], 15);
    EXPECT_EQ(half[3], 150);
    EXPECT_FALSE(Resize(0, 1));
    EXPECT_FALSE(Resize(1, 25001));
}

TEST_F(Fitting, CoverThenCropGeometry) {
    struct Case {
        int32_t W, H, w, h, scaledW, scaledH;
    };
    for (const Case& c : {Case{1920, 1080, 1024, 768, 1365, 768}, Case{3000, 2000, 1920, 1080, 1920, 1280},
                          Case{1000, 800, 500, 400, 500, 400}}) {
        Picture(c.W, c.H, 24, ColumnNumber);
        ASSERT_TRUE(Fit(c.w, c.h));
        EXPECT_EQ(fittedPicture.width, c.scaledW);
        EXPECT_EQ(fittedPicture.height, c.scaledH);
        ASSERT_TRUE(CropToSlot());
        EXPECT_EQ(fittedPicture.width, c.w);
        EXPECT_EQ(fittedPicture.height, c.h);
        ReleasePages(fittedPicture.pixels);
        fittedPicture.pixels = nullptr;
    }
    Picture(640, 480, 24, Flat);
    EXPECT_FALSE(Fit(800, 600));
    EXPECT_FALSE(Fit(641, 10));
    EXPECT_EQ(fittedPicture.pixels, nullptr);
}

TEST_F(Fitting, NoScalingCropsTheMiddleAndKeepsEightBits) {
    Picture(1024, 900, 8, RowNumber);  // memory row y holds the value y
    ASSERT_TRUE(Fit(1024, 768));
    EXPECT_EQ(fittedPicture.bitCount, 8);
    ASSERT_TRUE(CropToSlot());
    EXPECT_EQ(fittedPicture.pixels[0], 66);  // 66 rows cut at the bottom, 66 at the top
    EXPECT_EQ(fittedPicture.pixels[767 * 1024], static_cast<uint8_t>(66 + 767));

    ReleasePages(fittedPicture.pixels);
    Picture(5, 3, 24, ColumnNumber);  // odd excess: the extra column on the right is cut
    ASSERT_TRUE(Fit(2, 3));
    ASSERT_TRUE(CropToSlot());
    EXPECT_EQ(fittedPicture.pixels[0], 1);
    EXPECT_EQ(fittedPicture.pixels[3], 2);
}

TEST_F(Fitting, FlatPicturesStayFlatAndEightBitsScaleToTwentyFour) {
    for (int32_t bits : {24, 8}) {
        Picture(64, 48, bits, [](int32_t, int32_t, int) -> uint8_t { return 3; });
        source.palette[3] = RGBQUAD{10, 120, 250, 0};
        if (bits == 24) rows.assign(rows.size(), 77);
        ASSERT_TRUE(Fit(32, 20));
        EXPECT_EQ(fittedPicture.bitCount, 24);
        ASSERT_TRUE(CropToSlot());
        for (int32_t y = 0; y < 20; ++y)
            for (int32_t x = 0; x < 32; ++x) {
                const uint8_t* p = fittedPicture.pixels + y * 96 + 3 * x;
                if (bits == 24) {
                    ASSERT_EQ(p[0], 77);
                } else {
                    ASSERT_EQ(p[0], 10);
                    ASSERT_EQ(p[1], 120);
                    ASSERT_EQ(p[2], 250);
                }
            }
        ReleasePages(fittedPicture.pixels);
        fittedPicture.pixels = nullptr;
    }
}

TEST_F(Fitting, EveryFailedAllocationReleasesTheStep) {
    for (int failing = 1;; ++failing) {
        Picture(40, 30, 8, Gradient);
        AllocationProbe::FailAt(failing);
        const bool fitted = Fit(20, 10) && CropToSlot();
        const int asked = AllocationProbe::Allocations();
        AllocationProbe::Reset();
        ReleasePages(fittedPicture.pixels);
        fittedPicture.pixels = nullptr;
        ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << "allocation " << failing;
        if (fitted) {
            EXPECT_GT(failing, asked);
            break;
        }
    }
}

TEST_F(Fitting, SharpeningOfOneBrightPixelAtCentreEdgeAndCorner) {
    // A 9 x 9 field of 100 with one pixel of 200: the 5 x 5 box counts the
    // bright pixel once at the centre, 3 times on an edge, 9 times in a corner.
    struct Case {
        int32_t x, y;
        uint8_t expected;
        uint8_t neighbour;  // the next pixel along the row, which sees the bright one 1, 2 or 6 times
    };
    for (const Case& c : {Case{4, 4, 236, 100}, Case{0, 4, 233, 97}, Case{0, 0, 224, 91}, Case{8, 8, 224, 91}}) {
        const int32_t stride = static_cast<int32_t>(Stride24(9));
        auto* field = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(stride) * 9));
        ASSERT_NE(field, nullptr);
        for (int32_t y = 0; y < 9; ++y)
            for (int32_t i = 0; i < 27; ++i) field[y * stride + i] = 100;
        for (int ch = 0; ch < 3; ++ch) field[c.y * stride + 3 * c.x + ch] = 200;
        fittedPicture = FittedPicture{9, 9, 24, nullptr, field, 9, 9};
        ASSERT_TRUE(Sharpen(static_cast<uint64_t>(stride) * 9));
        const uint8_t* out = fittedPicture.pixels;
        EXPECT_EQ(out[c.y * stride + 3 * c.x], c.expected) << c.x << "," << c.y;
        const int32_t nx = c.x == 8 ? 7 : c.x + 1;
        EXPECT_EQ(out[c.y * stride + 3 * nx], c.neighbour) << c.x << "," << c.y;
        // Far from the bright pixel the blur equals the field: unchanged.
        EXPECT_EQ(out[((c.y + 4) % 9) * stride + 3 * ((c.x + 4) % 9)], 100);
        ReleasePages(fittedPicture.pixels);
        fittedPicture.pixels = nullptr;
    }
}

TEST_F(Fitting, PicturesUnderFivePixelsAreNotSharpened) {
    for (auto [w, h] : {std::pair{4, 9}, std::pair{9, 4}}) {
        const uint64_t bytes = static_cast<uint64_t>(Stride24(w)) * h;
        auto* rowsIn = static_cast<uint8_t*>(AllocatePages(bytes));
        ASSERT_NE(rowsIn, nullptr);
        rowsIn[0] = 255;
        fittedPicture = FittedPicture{w, h, 24, nullptr, rowsIn, w, h};
        ASSERT_TRUE(Sharpen(bytes));
        EXPECT_EQ(fittedPicture.pixels, rowsIn);
        EXPECT_EQ(rowsIn[0], 255);
        EXPECT_EQ(rowsIn[3], 0);
        ReleasePages(fittedPicture.pixels);
        fittedPicture.pixels = nullptr;
    }
}
