// The BMP reader: every accepted depth, the rejections, truncated files and
// allocation failures, and a sweep over the public bitmap test files.
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "engine/memory.h"
#include "readers/bmp_reader.h"
#include "support/bmp_builder.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

std::vector<uint8_t> Table(std::initializer_list<uint32_t> entries) {
    std::vector<uint8_t> bytes;
    for (uint32_t e : entries) PushU32(bytes, e);
    return bytes;
}

class BmpReading : public testing::Test {
protected:
    TempFolder folder;
    int liveBefore = 0;

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs());
        AllocationProbe::Reset();
        liveBefore = AllocationProbe::LiveBlocks();
    }
    void TearDown() override {
        ReleaseDecoded();
        DestroyCodecs();
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
    }
    void ReleaseDecoded() {
        if (currentImage != nullptr) {
            ReleasePages(currentImage->pixels);
            currentImage->pixels = nullptr;
            currentImage = nullptr;
        }
    }
    DecodedImage* Load(const BmpLayout& layout) { return LoadBytes(BuildBmp(layout)); }
    DecodedImage* LoadBytes(const std::vector<uint8_t>& bytes) {
        ReleaseDecoded();
        const std::wstring path = folder.Write(L"picture.bmp", bytes);
        return LoadBmp(path.c_str()) ? currentImage : nullptr;
    }
    void ExpectRejected(const BmpLayout& layout, int32_t code) {
        EXPECT_EQ(Load(layout), nullptr);
        EXPECT_EQ(bmpReader->errorCode, code);
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
    }
};

}  // namespace

TEST_F(BmpReading, TwentyFourBitRowsAreTakenAsStored) {
    BmpLayout layout;
    layout.width = 2;
    layout.height = 2;
    layout.xPelsPerMeter = 3780;
    layout.pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    DecodedImage* image = Load(layout);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biBitCount, 24);
    EXPECT_EQ(image->header.biWidth, 2);
    EXPECT_EQ(image->header.biXPelsPerMeter, 3780);
    EXPECT_EQ(image->fileBitCount, 24);
    EXPECT_EQ(image->sourceFormat, kFormatBmp);
    EXPECT_EQ(image->fileSize, 54u + 16u);
    EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 16), layout.pixels);
    EXPECT_NE(image->lastWriteTime.dwHighDateTime, 0u);
}

TEST_F(BmpReading, EightBitTableHasTheUsedEntriesAndZeroAfter) {
    BmpLayout layout;
    layout.width = 3;
    layout.bitCount = 8;
    layout.clrUsed = 16;
    for (uint32_t i = 0; i < 16; ++i) PushU32(layout.afterHeader, 0x010101u * (i + 1));
    layout.pixels = {15, 0, 3, 0};
    DecodedImage* image = Load(layout);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biBitCount, 8);
    EXPECT_EQ(image->palette[15].rgbRed, 16);
    EXPECT_EQ(image->palette[16].rgbRed, 0);
    EXPECT_EQ(image->palette[255].rgbBlue, 0);
    EXPECT_EQ(image->pixels[0], 15);
    EXPECT_EQ(image->pixels[2], 3);

    layout.clrUsed = 1000;  // more than a picture can hold: bounded to the 256 entries
    layout.afterHeader.assign(4000, 0x77);
    image = Load(layout);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[255].rgbBlue, 0x77);
}

TEST_F(BmpReading, LowDepthPicturesWidenToEightBits) {
    BmpLayout one;
    one.width = 10;
    one.bitCount = 1;
    one.afterHeader = Table({0x000000, 0xFFFFFF, 0x123456});  // a third entry is not read
    one.offBits = 54 + 12;
    one.pixels = {0xA5, 0xC0, 0, 0};
    for (uint32_t used : {0u, 2u}) {
        one.clrUsed = used;
        DecodedImage* image = Load(one);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->header.biBitCount, 8);
        EXPECT_EQ(image->fileBitCount, 1);
        EXPECT_EQ(image->palette[1].rgbGreen, 0xFF);
        EXPECT_EQ(image->palette[2].rgbGreen, 0);
        EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 10),
                  (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0, 1, 1, 1}));
    }

    BmpLayout four;
    four.width = 3;
    four.bitCount = 4;
    for (uint32_t i = 0; i < 16; ++i) PushU32(four.afterHeader, i);
    four.pixels = {0xF1, 0x70, 0, 0};
    DecodedImage* image = Load(four);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 3), (std::vector<uint8_t>{15, 1, 7}));
    EXPECT_EQ(image->palette[15].rgbBlue, 15);
}

TEST_F(BmpReading, MaskedPicturesScaleEachFieldTo255) {
    BmpLayout plain;
    plain.width = 2;
    plain.bitCount = 16;
    plain.pixels = {0xFF, 0x7F, 0x1F, 0x00};  // 7FFF white, 001F pure blue in 5-5-5
    DecodedImage* image = Load(plain);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 6), (std::vector<uint8_t>{255, 255, 255, 255, 0, 0}));
    EXPECT_EQ(image->fileBitCount, 16);

    BmpLayout fields = plain;
    fields.compression = 3;
    fields.afterHeader = Table({0xF800, 0x07E0, 0x001F});
    fields.pixels = {0x20, 0x00, 0x00, 0xF8};  // green 1 of 63; red 31 of 31
    image = Load(fields);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[1], 255 / 63);
    EXPECT_EQ(image->pixels[5], 255);

    BmpLayout wide;
    wide.width = 1;
    wide.bitCount = 32;
    wide.pixels = {10, 20, 30, 99};  // the fourth byte (alpha) is ignored
    image = Load(wide);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 3), (std::vector<uint8_t>{10, 20, 30}));
}

TEST_F(BmpReading, LargerHeadersStillTakeMasksFromOffset54) {
    BmpLayout layout;
    layout.width = 1;
    layout.bitCount = 16;
    layout.compression = 3;
    layout.headerSize = 124;
    layout.pixels = {0xE0, 0x07};
    std::vector<uint8_t> file = BuildBmp(layout);
    const std::vector<uint8_t> masks = Table({0xF800, 0x07E0, 0x001F});
    std::copy(masks.begin(), masks.end(), file.begin() + 54);
    DecodedImage* image = LoadBytes(file);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[1], 255);  // all green in 5-6-5
    EXPECT_EQ(image->pixels[0], 0);
}

TEST_F(BmpReading, SizeLimitsAndUnsupportedKinds) {
    BmpLayout edge;
    edge.width = 25000;
    edge.pixels.assign(75000, 0x40);
    DecodedImage* image = Load(edge);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[74999], 0x40);
    ReleaseDecoded();

    for (auto [width, height] : {std::pair{25001, 1}, {1, 25001}, {0, 1}, {1, 0}, {1, -1}, {-5, 3}}) {
        BmpLayout layout;
        layout.width = width;
        layout.height = height;
        ExpectRejected(layout, kErrorInvalidPicture);
    }
    const std::pair<uint16_t, uint32_t> rejected[] = {{2, 0}, {8, 1}, {4, 2}, {24, 3}, {16, 1}, {32, 4}, {0, 0}, {48, 0}};
    for (auto [bits, compression] : rejected) {
        BmpLayout layout;
        layout.bitCount = bits;
        layout.compression = compression;
        layout.pixels.assign(16, 0);
        ExpectRejected(layout, kErrorInvalidPicture);
    }
}

TEST_F(BmpReading, UnsoundMasksAndOffsetsAreRejected) {
    BmpLayout layout;
    layout.bitCount = 32;
    layout.compression = 3;
    layout.afterHeader = Table({0, 0, 0xFFFFFFFFu});  // a 32-bit blue field
    layout.pixels = {1, 2, 3, 4};
    ExpectRejected(layout, kErrorInvalidPicture);

    BmpLayout beyond;
    beyond.bitCount = 16;
    beyond.pixels = {1, 2, 3, 4};
    beyond.offBits = 4096;
    std::vector<uint8_t> file = BuildBmp(beyond);
    file.resize(100);
    EXPECT_EQ(LoadBytes(file), nullptr);
    EXPECT_EQ(bmpReader->errorCode, kErrorInvalidPicture);
}

TEST_F(BmpReading, ShortFilesReadTheMissingBytesAsZero) {
    BmpLayout layout;
    layout.width = 2;
    layout.height = 2;
    layout.bitCount = 16;
    layout.pixels = {0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F};
    std::vector<uint8_t> file = BuildBmp(layout);
    file.resize(file.size() - 4);  // the top row is missing
    DecodedImage* image = LoadBytes(file);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[0], 255);
    EXPECT_EQ(image->pixels[8], 0);

    // Every prefix of small files of each path gives a picture or a rejection.
    for (uint16_t bits : {1, 8, 16, 24, 32}) {
        BmpLayout any;
        any.width = 3;
        any.height = 2;
        any.bitCount = bits;
        if (bits <= 8) any.afterHeader.assign(4u << bits, 0x11);
        any.pixels.assign(24, 0x5A);
        const std::vector<uint8_t> whole = BuildBmp(any);
        for (size_t length = 0; length <= whole.size(); ++length) {
            LoadBytes(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
            ReleaseDecoded();
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << bits << " bits, " << length << " bytes";
        }
    }
}

TEST_F(BmpReading, EveryFailedAllocationLeavesNothingBehind) {
    for (uint16_t bits : {4, 8, 16}) {
        BmpLayout layout;
        layout.width = 4;
        layout.height = 4;
        layout.bitCount = bits;
        if (bits <= 8) layout.afterHeader.assign(4u << bits, 0x22);
        layout.pixels.assign(64, 0x33);
        const std::wstring path = folder.Write(L"alloc.bmp", BuildBmp(layout));
        for (int failing = 1;; ++failing) {
            AllocationProbe::FailAt(failing);
            const bool loaded = LoadBmp(path.c_str());
            const int asked = AllocationProbe::Allocations();
            AllocationProbe::Reset();
            if (loaded) {
                EXPECT_GT(failing, asked) << "a failed allocation was not noticed";
                ReleaseDecoded();
                break;
            }
            EXPECT_EQ(bmpReader->errorCode, kErrorOutOfMemory);
            EXPECT_EQ(currentImage, nullptr);
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << bits << " bits, allocation " << failing;
        }
    }
}

TEST_F(BmpReading, PublicBitmapFilesNeverCrashOrLeak) {
    const char* configured = std::getenv("FRAMELET_CORPORA");
    std::filesystem::path root = configured != nullptr ? configured : "../shared/corpora";
#ifdef _WIN32
    if (root.string().rfind("/", 0) == 0) root = "Z:" + root.string();
#endif
    std::error_code error;
    if (!std::filesystem::is_directory(root, error)) GTEST_SKIP() << "no test corpora at " << root.string();
    int decoded = 0;
    int rejected = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
        if (!entry.is_regular_file() || entry.file_size() > (4u << 20)) continue;
        std::string extension = entry.path().extension().string();
        for (char& c : extension) c = static_cast<char>(tolower(c));
        if (extension != ".bmp" && extension != ".dib") continue;
        if (LoadBmp(entry.path().wstring().c_str())) {
            ++decoded;
            ReleaseDecoded();
        } else {
            ++rejected;
        }
        ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << entry.path().string();
    }
    EXPECT_GT(decoded, 50);
    EXPECT_GT(rejected, 10);
    std::printf("bitmap corpus: %d decoded, %d rejected\n", decoded, rejected);
}
