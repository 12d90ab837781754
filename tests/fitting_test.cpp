// Fitting: the tables, area averaging, the cover-and-crop geometry, the
// sharpening values, failures and golden digests.
#include "support/test_context.h"
#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class Fitting : public testing::Test {
protected:
    DecodedImage source{};
    TestPicture picture;
    std::vector<uint8_t>& rows = picture.rows;
    int liveBefore = 0;

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs(context.codecs));
        AllocationProbe::Reset();
        liveBefore = AllocationProbe::LiveBlocks();
        context.current = &source;
    }
    void TearDown() override {
        ReleasePages(context.fitted.pixels);
        context.fitted.pixels = nullptr;
        DestroyCodecs(context.codecs);
        context.current = nullptr;
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
    }
    // A picture of the given size whose pixels come from a formula.
    void Picture(int32_t width, int32_t height, int32_t bits, uint8_t (*value)(int32_t x, int32_t y, int c)) {
        Use(FormulaPicture(width, height, bits, value));
    }
    void Use(TestPicture made) {
        picture = std::move(made);
        memcpy(source.palette, picture.palette, sizeof source.palette);
        context.fitted = FittedPicture{picture.width, picture.height, picture.bitCount, rows.data(), nullptr, 0, 0, CurrentPalette()};
    }
    // Page-allocated working rows, as the scaling step leaves them.
    void Working(const TestPicture& made) {
        ReleasePages(context.fitted.pixels);
        context.fitted = FittedPicture{made.width, made.height, made.bitCount, nullptr, nullptr, 0, 0, CurrentPalette()};
        context.fitted.pixels = static_cast<uint8_t*>(AllocatePages(made.rows.size()));
        memcpy(context.fitted.pixels, made.rows.data(), made.rows.size());
    }
    const uint8_t* Pixel(int32_t x, int32_t y) const {
        return context.fitted.pixels + y * PaddedRowBytes(context.fitted.width, 24) + 3 * x;
    }
    bool Fit(int32_t slotWidth, int32_t slotHeight) {
        context.fitted.slotWidth = slotWidth;
        context.fitted.slotHeight = slotHeight;
        return FitToSlot(context.codecs.fitting, context.fitted);
    }
};

uint8_t Flat(int32_t, int32_t, int) { return 77; }
uint8_t Gradient(int32_t x, int32_t y, int c) { return static_cast<uint8_t>((x * 7 + y * 3 + c * 50) & 0xFF); }
uint8_t RowNumber(int32_t, int32_t y, int) { return static_cast<uint8_t>(y); }
uint8_t ColumnNumber(int32_t x, int32_t, int) { return static_cast<uint8_t>(x); }

}  // namespace

TEST_F(Fitting, TablesHoldTheirFormulas) {
    const FilterWorkspace& t = *context.codecs.fitting.workspace;
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
    *context.codecs.fitting.resize = ResizeJob{3, 1, in.data(), out.data()};
    ASSERT_TRUE(Resize(*context.codecs.fitting.resize, 2, 1));
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6), (std::vector<uint8_t>{40, 40, 40, 80, 80, 80}));

    std::vector<uint8_t> column = {30, 0, 0, 0, 60, 0, 0, 0, 90, 0, 0, 0};  // one pixel wide, rows 4 bytes apart
    std::vector<uint8_t> down(8, 0);
    *context.codecs.fitting.resize = ResizeJob{1, 3, column.data(), down.data()};
    ASSERT_TRUE(Resize(*context.codecs.fitting.resize, 1, 2));
    EXPECT_EQ(down[0], 40);
    EXPECT_EQ(down[4], 80);

    std::vector<uint8_t> pairs = {10, 0, 0, 20, 0, 0, 100, 0, 0, 200, 0, 0};
    std::vector<uint8_t> half(12, 0);  // room for the same-size copy below
    *context.codecs.fitting.resize = ResizeJob{4, 1, pairs.data(), half.data()};
    ASSERT_TRUE(Resize(*context.codecs.fitting.resize, 2, 1));
    EXPECT_EQ(half[0], 15);
    EXPECT_EQ(half[3], 150);
    EXPECT_FALSE(Resize(*context.codecs.fitting.resize, 0, 1));
    EXPECT_FALSE(Resize(*context.codecs.fitting.resize, 1, 25001));
    EXPECT_FALSE(Resize(*context.codecs.fitting.resize, 1, 0));
    // The averaging only shrinks: a wider or taller target is refused.
    EXPECT_FALSE(Resize(*context.codecs.fitting.resize, 5, 1));
    EXPECT_FALSE(Resize(*context.codecs.fitting.resize, 2, 2));
    EXPECT_TRUE(Resize(*context.codecs.fitting.resize, 4, 1));  // the same size copies
    EXPECT_EQ(std::vector<uint8_t>(half.begin(), half.begin() + 4), (std::vector<uint8_t>{10, 0, 0, 20}));
}

TEST_F(Fitting, CoverThenCropGeometry) {
    struct Case {
        int32_t W, H, w, h, scaledW, scaledH;
    };
    for (const Case& c : {Case{1920, 1080, 1024, 768, 1365, 768}, Case{3000, 2000, 1920, 1080, 1920, 1280},
                          Case{1000, 800, 500, 400, 500, 400}}) {
        Picture(c.W, c.H, 24, ColumnNumber);
        ASSERT_TRUE(Fit(c.w, c.h));
        EXPECT_EQ(context.fitted.width, c.scaledW);
        EXPECT_EQ(context.fitted.height, c.scaledH);
        ASSERT_TRUE(CropToSlot(context.fitted));
        EXPECT_EQ(context.fitted.width, c.w);
        EXPECT_EQ(context.fitted.height, c.h);
        ReleasePages(context.fitted.pixels);
        context.fitted.pixels = nullptr;
    }
    Picture(640, 480, 24, Flat);
    EXPECT_FALSE(Fit(800, 600));
    EXPECT_FALSE(Fit(641, 10));
    EXPECT_EQ(context.fitted.pixels, nullptr);
}

TEST_F(Fitting, NoScalingCropsTheMiddleAndKeepsEightBits) {
    Picture(1024, 900, 8, RowNumber);  // memory row y holds the value y
    ASSERT_TRUE(Fit(1024, 768));
    EXPECT_EQ(context.fitted.bitCount, 8);
    ASSERT_TRUE(CropToSlot(context.fitted));
    EXPECT_EQ(context.fitted.pixels[0], 66);  // 66 rows cut at the bottom, 66 at the top
    EXPECT_EQ(context.fitted.pixels[767 * 1024], static_cast<uint8_t>(66 + 767));

    ReleasePages(context.fitted.pixels);
    Picture(5, 3, 24, ColumnNumber);  // odd excess: the extra column on the right is cut
    ASSERT_TRUE(Fit(2, 3));
    ASSERT_TRUE(CropToSlot(context.fitted));
    EXPECT_EQ(context.fitted.pixels[0], 1);
    EXPECT_EQ(context.fitted.pixels[3], 2);
}

TEST_F(Fitting, FlatPicturesStayFlatAndEightBitsScaleToTwentyFour) {
    for (int32_t bits : {24, 8}) {
        Picture(64, 48, bits, [](int32_t, int32_t, int) -> uint8_t { return 3; });
        source.palette[3] = RGBQUAD{10, 120, 250, 0};
        if (bits == 24) rows.assign(rows.size(), 77);
        ASSERT_TRUE(Fit(32, 20));
        EXPECT_EQ(context.fitted.bitCount, 24);
        ASSERT_TRUE(CropToSlot(context.fitted));
        for (int32_t y = 0; y < 20; ++y)
            for (int32_t x = 0; x < 32; ++x) {
                const uint8_t* p = context.fitted.pixels + y * 96 + 3 * x;
                if (bits == 24) {
                    ASSERT_EQ(p[0], 77);
                } else {
                    ASSERT_EQ(p[0], 10);
                    ASSERT_EQ(p[1], 120);
                    ASSERT_EQ(p[2], 250);
                }
            }
        ReleasePages(context.fitted.pixels);
        context.fitted.pixels = nullptr;
    }
}

TEST_F(Fitting, EveryFailedAllocationReleasesTheStep) {
    struct Case {
        int32_t bits, slotWidth, slotHeight, allocations;
    };
    // 8 bits: 24-bit copy, scaled rows, column block, two divisor tables, the
    // sharpened output and differences, the crop; 24 bits without the copy;
    // no scaling: the copy of the rows and the crop.
    for (const Case& c : {Case{8, 20, 10, 8}, Case{24, 20, 10, 7}, Case{24, 40, 10, 2}}) {
        for (int failing = 1;; ++failing) {
            Picture(40, 30, c.bits, Gradient);
            AllocationProbe::FailAt(failing);
            const bool scaled = Fit(c.slotWidth, c.slotHeight);
            const bool fitted = scaled && CropToSlot(context.fitted);
            const int asked = AllocationProbe::Allocations();
            AllocationProbe::Reset();
            if (!scaled) {  // the record is as it was, with no rows
                EXPECT_EQ(context.fitted.pixels, nullptr);
                EXPECT_EQ(context.fitted.width, 40);
                EXPECT_EQ(context.fitted.height, 30);
                EXPECT_EQ(context.fitted.bitCount, c.bits);
                EXPECT_EQ(context.fitted.sourcePixels, rows.data());
            }
            ReleasePages(context.fitted.pixels);
            context.fitted.pixels = nullptr;
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << c.bits << " bits, allocation " << failing;
            if (fitted) {
                EXPECT_EQ(failing, c.allocations + 1) << c.bits << " bits";
                EXPECT_GT(failing, asked);
                break;
            }
        }
    }
}

TEST_F(Fitting, RefusedPicturesAndSlots) {
    Picture(40, 30, 16, Gradient);
    EXPECT_FALSE(Fit(40, 10));  // no scaling needs 8 or 24 bits
    Picture(40, 30, 4, Gradient);
    EXPECT_FALSE(Fit(20, 10));  // 4 bits do not convert to 24
    EXPECT_EQ(context.fitted.bitCount, 4);
    EXPECT_EQ(context.fitted.sourcePixels, rows.data());
    Picture(40, 30, 8, Gradient);
    context.fitted.palette = nullptr;  // no palette to convert through
    EXPECT_FALSE(Fit(20, 10));
    EXPECT_FALSE(Fit(0, 10));
    EXPECT_FALSE(Fit(20, -1));
    EXPECT_EQ(context.fitted.pixels, nullptr);

    Working(FormulaPicture(8, 6, 24, Gradient));
    context.fitted.slotWidth = 9;  // wider than the picture
    context.fitted.slotHeight = 6;
    EXPECT_FALSE(CropToSlot(context.fitted));
    context.fitted.slotWidth = 4;
    context.fitted.bitCount = 32;
    EXPECT_FALSE(CropToSlot(context.fitted));
    context.fitted.bitCount = 24;
    EXPECT_EQ(Pixel(3, 2)[0], Gradient(3, 2, 0));  // untouched
    EXPECT_FALSE(Sharpen(*context.codecs.fitting.workspace, *context.codecs.fitting.sharpen, context.fitted, PaddedRowBytes(8, 24) * 6 - 1));     // a buffer too small for the picture
}

TEST_F(Fitting, CropTakesTheCentre) {
    // Each pixel names its column and its row counted from the top.
    auto coordinates = [](int32_t width, int32_t height) {
        return FormulaPicture(width, height, 24, [=](int32_t x, int32_t y, int c) {
            const int32_t top = height - 1 - y;
            return static_cast<uint8_t>(c == 0 ? x & 0xFF : c == 1 ? (x >> 8) | (top >> 8) << 4 : top & 0xFF);
        });
    };
    auto column = [](const uint8_t* p) { return p[0] | (p[1] & 0xF) << 8; };
    auto row = [](const uint8_t* p) { return p[2] | (p[1] >> 4) << 8; };
    struct Case {
        int32_t W, H, w, h, left, top;
    };
    // The scaled sizes of 1920 x 1080 and 3000 x 2000 for their slots, and an
    // odd excess each way: the extra column goes on the right, the extra row
    // at the bottom.
    for (const Case& c : {Case{1365, 768, 1024, 768, 170, 0}, Case{1920, 1280, 1920, 1080, 0, 100},
                          Case{500, 400, 500, 400, 0, 0}, Case{7, 6, 4, 3, 1, 1}}) {
        Working(coordinates(c.W, c.H));
        context.fitted.slotWidth = c.w;
        context.fitted.slotHeight = c.h;
        ASSERT_TRUE(CropToSlot(context.fitted));
        ASSERT_EQ(context.fitted.width, c.w);
        ASSERT_EQ(context.fitted.height, c.h);
        const uint8_t* topLeft = Pixel(0, c.h - 1);
        const uint8_t* bottomRight = Pixel(c.w - 1, 0);
        EXPECT_EQ(column(topLeft), c.left) << c.W << "x" << c.H;
        EXPECT_EQ(row(topLeft), c.top) << c.W << "x" << c.H;
        EXPECT_EQ(column(bottomRight), c.left + c.w - 1);
        EXPECT_EQ(row(bottomRight), c.top + c.h - 1);
    }
}

TEST_F(Fitting, ScaledToFourIsOnlyAveraged) {
    // 40 x 8 for 10 x 4 scales to 20 x 4, 8 x 40 for 4 x 10 to 4 x 20, and
    // 40 x 10 for 10 x 5 to 20 x 5, which is sharpened.
    struct Case {
        int32_t W, H, w, h, scaledW, scaledH;
        bool sharpened;
    };
    for (const Case& c : {Case{40, 8, 10, 4, 20, 4, false}, Case{8, 40, 4, 10, 4, 20, false},
                          Case{40, 10, 10, 5, 20, 5, true}}) {
        Use(PhotoPicture(c.W, c.H, 24, 7));
        std::vector<uint8_t> averaged(static_cast<size_t>(PaddedRowBytes(c.scaledW, 24) * c.scaledH));
        *context.codecs.fitting.resize = ResizeJob{c.W, c.H, rows.data(), averaged.data()};
        ASSERT_TRUE(Resize(*context.codecs.fitting.resize, c.scaledW, c.scaledH));
        ASSERT_TRUE(Fit(c.w, c.h));
        ASSERT_EQ(context.fitted.width, c.scaledW);
        ASSERT_EQ(context.fitted.height, c.scaledH);
        EXPECT_EQ(memcmp(context.fitted.pixels, averaged.data(), averaged.size()) != 0, c.sharpened) << c.W << "x" << c.H;
        ReleasePages(context.fitted.pixels);
        context.fitted.pixels = nullptr;
    }
}

TEST_F(Fitting, GoldenDigests) {
    struct Case {
        int32_t W, H, bits;
        uint32_t seed;
        int32_t w, h;
        uint32_t digest;
    };
    // Wide and tall covers, an 8-bit source, a crop without scaling and a
    // picture too small to sharpen; the digest is of the cropped rows.
    for (const Case& c : {Case{211, 157, 24, 11, 120, 80, 1575621649u}, Case{160, 120, 8, 12, 100, 100, 332680902u},
                          Case{97, 301, 24, 13, 40, 200, 2718868875u}, Case{64, 48, 24, 14, 64, 20, 3277721571u},
                          Case{90, 20, 8, 15, 9, 4, 2790295871u}}) {
        Use(PhotoPicture(c.W, c.H, c.bits, c.seed));
        ASSERT_TRUE(Fit(c.w, c.h));
        ASSERT_TRUE(CropToSlot(context.fitted));
        EXPECT_EQ(Digest(context.fitted.pixels, static_cast<uint64_t>(PaddedRowBytes(c.w, 24)) * c.h), c.digest)
            << c.W << "x" << c.H << " to " << c.w << "x" << c.h;
        ReleasePages(context.fitted.pixels);
        context.fitted.pixels = nullptr;
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
        const int32_t stride = static_cast<int32_t>(PaddedRowBytes(9, 24));
        auto* field = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(stride) * 9));
        ASSERT_NE(field, nullptr);
        for (int32_t y = 0; y < 9; ++y)
            for (int32_t i = 0; i < 27; ++i) field[y * stride + i] = 100;
        for (int ch = 0; ch < 3; ++ch) field[c.y * stride + 3 * c.x + ch] = 200;
        context.fitted = FittedPicture{9, 9, 24, nullptr, field, 9, 9, nullptr};
        ASSERT_TRUE(Sharpen(*context.codecs.fitting.workspace, *context.codecs.fitting.sharpen, context.fitted, static_cast<uint64_t>(stride) * 9));
        const uint8_t* out = context.fitted.pixels;
        EXPECT_EQ(out[c.y * stride + 3 * c.x], c.expected) << c.x << "," << c.y;
        const int32_t nx = c.x == 8 ? 7 : c.x + 1;
        EXPECT_EQ(out[c.y * stride + 3 * nx], c.neighbour) << c.x << "," << c.y;
        // Far from the bright pixel the blur equals the field: unchanged.
        EXPECT_EQ(out[((c.y + 4) % 9) * stride + 3 * ((c.x + 4) % 9)], 100);
        ReleasePages(context.fitted.pixels);
        context.fitted.pixels = nullptr;
    }
}

TEST_F(Fitting, PicturesUnderFivePixelsAreNotSharpened) {
    for (auto [w, h] : {std::pair{4, 9}, std::pair{9, 4}}) {
        const uint64_t bytes = static_cast<uint64_t>(PaddedRowBytes(w, 24)) * h;
        auto* rowsIn = static_cast<uint8_t*>(AllocatePages(bytes));
        ASSERT_NE(rowsIn, nullptr);
        rowsIn[0] = 255;
        context.fitted = FittedPicture{w, h, 24, nullptr, rowsIn, w, h, nullptr};
        ASSERT_TRUE(Sharpen(*context.codecs.fitting.workspace, *context.codecs.fitting.sharpen, context.fitted, bytes));
        EXPECT_EQ(context.fitted.pixels, rowsIn);
        EXPECT_EQ(rowsIn[0], 255);
        EXPECT_EQ(rowsIn[3], 0);
        ReleasePages(context.fitted.pixels);
        context.fitted.pixels = nullptr;
    }
}
