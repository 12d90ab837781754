// The batch's fitting (only the kept pixels, vectorised) against the
// straightforward FitToSlot and CropToSlot: the same bytes for real
// photographs and for synthetic pictures of awkward sizes.
#include "core/memory.h"
#include "engine/codec_set.h"
#include "engine/fitting/fitting.h"
#include "engine/fitting/fitting_kernels.h"
#include "engine/load_picture.h"
#include "support/corpus_path.h"
#include "support/test_context.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct FitResult {
    bool fitted = false;
    int32_t width = 0, height = 0, bitCount = 0;
    std::vector<uint8_t> rows;
};

class FittingReference : public testing::Test {
protected:
    DecodedImage palette{};
    int liveBefore = 0;
    int oneExtra = 0;  // fits whose scaled picture was one pixel wider or taller than the slot

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs(context.codecs));
        liveBefore = AllocationProbe::LiveBlocks();
    }
    void TearDown() override {
        context.current = nullptr;
        DestroyCodecs(context.codecs);
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
    }

    FitResult Run(const FittedPicture& start, bool reference) {
        context.fitted = start;
        bool fitted = false;
        if (reference) {
            fitted = FitToSlot(context.codecs.fitting, context.fitted);
            const int32_t scaledWidth = context.fitted.width;
            const int32_t scaledHeight = context.fitted.height;
            fitted = fitted && CropToSlot(context.fitted);
            oneExtra += fitted && (scaledWidth == start.slotWidth + 1 || scaledHeight == start.slotHeight + 1);
        } else {
            fitted = FitCroppedToSlot(context.codecs.fitting, context.fitted);
        }
        return Take(context.fitted, fitted, reference);
    }

    // The result a fitting left in the record; the batch fitting's pixels are
    // the workspace's, the reference's are released here.
    static FitResult Take(FittedPicture& fitted, bool fittedOk, bool reference) {
        FitResult result;
        result.fitted = fittedOk;
        result.width = fitted.width;
        result.height = fitted.height;
        result.bitCount = fitted.bitCount;
        if (result.fitted) {
            const uint64_t bytes = static_cast<uint64_t>(PaddedRowBytes(result.width, result.bitCount)) *
                                   static_cast<uint64_t>(result.height);
            result.rows.assign(fitted.pixels, fitted.pixels + bytes);
        }
        if (reference) ReleasePages(fitted.pixels);
        fitted.pixels = nullptr;
        return result;
    }

    static void ExpectSame(const FitResult& actual, const FitResult& expected, const std::string& label) {
        ASSERT_EQ(actual.fitted, expected.fitted) << label;
        EXPECT_EQ(actual.width, expected.width) << label;
        EXPECT_EQ(actual.height, expected.height) << label;
        EXPECT_EQ(actual.bitCount, expected.bitCount) << label;
        ASSERT_TRUE(actual.rows == expected.rows) << label;
    }

    // Both fittings of the picture to each slot, one slot at a time and the
    // slots together in one read of the picture: the same outcome and bytes.
    void ExpectSameFits(int32_t width, int32_t height, int32_t bits, uint8_t* rows,
                        const std::vector<std::pair<int32_t, int32_t>>& slots, const std::string& name) {
        std::vector<FitResult> expected;
        std::vector<FittedPicture> starts;
        std::vector<std::string> labels;
        for (auto [w, h] : slots) {
            starts.push_back(FittedPicture{width, height, bits, rows, nullptr, w, h, CurrentPalette()});
            expected.push_back(Run(starts.back(), true));
            labels.push_back(name + " to " + std::to_string(w) + "x" + std::to_string(h));
            // The widest lanes the processor has, then SSE2 alone.
            for (bool wide : {true, false}) {
                UseWideVectors(wide);
                const FitResult actual = Run(starts.back(), false);
                UseWideVectors(true);
                ExpectSame(actual, expected.back(), labels.back() + (wide ? "" : ", SSE2 only"));
                EXPECT_EQ(context.fitted.sourcePixels, rows) << labels.back();
            }
        }
        for (size_t first = 0; first < starts.size(); first += kFittingsAtOnce) {
            const size_t count = std::min(starts.size() - first, static_cast<size_t>(kFittingsAtOnce));
            std::vector<FittedPicture> group(starts.begin() + first, starts.begin() + first + count);
            FitCroppedToSlots(context.codecs.fitting, group.data(), static_cast<int>(count));
            for (size_t i = 0; i < count; ++i)
                ExpectSame(Take(group[i], group[i].pixels != nullptr, false), expected[first + i],
                           labels[first + i] + ", slots together");
        }
    }

    void ExpectSameFits(TestPicture& picture, const std::vector<std::pair<int32_t, int32_t>>& slots) {
        memcpy(palette.palette, picture.palette, sizeof palette.palette);
        context.current = &palette;
        const std::string name = std::to_string(picture.width) + "x" + std::to_string(picture.height) + "x" +
                                 std::to_string(picture.bitCount);
        ExpectSameFits(picture.width, picture.height, picture.bitCount, picture.rows.data(), slots, name);
    }
};

// Slots that cut a little, half, most and nearly all of a picture away, the
// crops without scaling, and one wider than the picture, which is refused.
std::vector<std::pair<int32_t, int32_t>> SlotsFor(int32_t W, int32_t H) {
    std::vector<std::pair<int32_t, int32_t>> slots = {
        {W - 1, H - 1},
        {W - 1, H - 2},
        {W / 2 + 1, H / 3},
        {W / 3, H / 2 + 1},
        {W, H / 2},
        {W / 2, H},
        {5, 5},
        {4, 7},
        {7, 4},
        {1, 1},
        {W, H},
        {W + 1, H / 2},
    };
    std::vector<std::pair<int32_t, int32_t>> usable;
    for (auto [w, h] : slots)
        if (w >= 1 && h >= 1) usable.emplace_back(w, h);
    return usable;
}

}  // namespace

TEST_F(FittingReference, SyntheticPicturesOfEveryRowPaddingAndBitCount) {
    // Widths of each row padding, odd sizes, and 8-bit sources (converted to
    // 24 bits when scaled, cropped as they are when not).
    for (int32_t width : {64, 65, 66, 67, 211}) {
        for (int32_t bits : {24, 8}) {
            TestPicture picture = PhotoPicture(width, 157, bits, static_cast<uint32_t>(width + bits));
            ExpectSameFits(picture, SlotsFor(width, 157));
        }
    }
}

TEST_F(FittingReference, SlotsNearTheCoverSize) {
    // Slots in the picture's proportion and one pixel off it give crops of
    // 0 to 3 pixels, the excess on either side and at the picture's edges.
    TestPicture picture = PhotoPicture(61, 47, 24, 5);
    std::vector<std::pair<int32_t, int32_t>> slots;
    for (int32_t w = 3; w <= 60; w += 3)
        for (int32_t dh = -1; dh <= 1; ++dh) slots.emplace_back(w, w * 47 / 61 + dh < 1 ? 1 : w * 47 / 61 + dh);
    ExpectSameFits(picture, slots);
    EXPECT_GT(oneExtra, 0);  // some fits had the one-pixel excess
}

TEST_F(FittingReference, WindowsOfMoreThan255Samples) {
    // Averaging windows too wide for 16-bit sums, each way; 8-bit rows are
    // expanded a row at a time for them.
    for (int32_t bits : {24, 8}) {
        TestPicture tall = PhotoPicture(300, 2603, bits, 21);
        ExpectSameFits(tall, {{1, 5}, {2, 9}, {6, 9}});
        TestPicture wide = PhotoPicture(2600, 300, bits, 22);
        ExpectSameFits(wide, {{5, 1}, {9, 2}, {9, 6}});
    }
}

TEST_F(FittingReference, RealPhotographs) {
    const std::filesystem::path corpora = CorporaRoot();
    if (corpora.empty()) GTEST_SKIP() << "no corpora folder";
    std::vector<std::filesystem::path> photos;
    for (const char* name : {"testorig.jpg", "nightshot_iso_100.bmp", "vgl_6434_0018a.bmp"})
        photos.push_back(corpora / "libjpeg-turbo-testimages" / name);
    // A wallpaper-sized photograph where the machine has one.
    const std::filesystem::path large = HostPath("/usr/share/backgrounds/mate/nature/Garden.jpg");
    if (std::filesystem::exists(large)) photos.push_back(large);
    for (const std::filesystem::path& photo : photos) {
        ASSERT_TRUE(LoadPicture(context, photo.wstring().c_str())) << photo;
        DecodedImage& image = *context.current;
        const int32_t W = image.header.biWidth;
        const int32_t H = image.header.biHeight;
        std::vector<std::pair<int32_t, int32_t>> slots = SlotsFor(W, H);
        for (auto slot : {std::pair{1024, 768}, std::pair{800, 600}, std::pair{160, 120}, std::pair{100, 100}})
            if (slot.first <= W && slot.second <= H) slots.push_back(slot);
        ExpectSameFits(W, H, image.header.biBitCount, image.pixels, slots, photo.filename().string());
        ReleasePages(image.pixels);
        image.pixels = nullptr;
    }
}

TEST_F(FittingReference, EveryFailedAllocationLeavesTheRecordAsItWas) {
    for (int32_t bits : {24, 8}) {
        TestPicture picture = PhotoPicture(40, 30, bits, 3);
        memcpy(palette.palette, picture.palette, sizeof palette.palette);
        context.current = &palette;
        for (int failing = 1;; ++failing) {
            // A fresh workspace each time, so that every allocation is asked for again.
            DestroyCodecs(context.codecs);
            ASSERT_TRUE(CreateCodecs(context.codecs));
            context.fitted = FittedPicture{40, 30, bits, picture.rows.data(), nullptr, 20, 10, CurrentPalette()};
            AllocationProbe::Reset();
            AllocationProbe::FailAt(failing);
            const bool fitted = FitCroppedToSlot(context.codecs.fitting, context.fitted);
            const int asked = AllocationProbe::Allocations();
            AllocationProbe::Reset();
            if (fitted) {
                EXPECT_GT(failing, asked);
                EXPECT_EQ(context.fitted.width, 20);
                context.fitted.pixels = nullptr;
                break;
            }
            EXPECT_EQ(context.fitted.pixels, nullptr) << bits << " bits, allocation " << failing;
            EXPECT_EQ(context.fitted.width, 40);
            EXPECT_EQ(context.fitted.height, 30);
            EXPECT_EQ(context.fitted.bitCount, bits);
            EXPECT_EQ(context.fitted.sourcePixels, picture.rows.data());
        }
        // Whatever the workspace holds goes with it (TearDown counts the blocks).
    }
}
