// The BMP writer's file layout, byte for byte.
#include "support/test_context.h"
#include "engine/codec_set.h"
#include "engine/save_picture.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "support/temp_folder.h"
#include "codecs/writers/bmp_writer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint32_t U16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }

class BmpWriterFile : public testing::Test {
protected:
    TempFolder folder;
    DecodedImage source{};
    std::vector<uint8_t> pixels;

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs(context.codecs));
        context.current = &source;
    }
    void TearDown() override {
        DestroyCodecs(context.codecs);
        context.current = nullptr;
    }
    std::vector<uint8_t> Save(int32_t width, int32_t height, int32_t bits) {
        context.fitted.width = width;
        context.fitted.height = height;
        context.fitted.bitCount = bits;
        context.fitted.pixels = pixels.data();
        context.fitted.palette = source.palette;
        const std::wstring path = folder.Join(L"out.bmp");
        EXPECT_TRUE(SaveBmp(context, path.c_str()));
        context.fitted.pixels = nullptr;
        return ReadWholeFile(path);
    }
};

}  // namespace

TEST_F(BmpWriterFile, EightBitPictureCarriesAll256PaletteEntries) {
    source.palette[0] = RGBQUAD{1, 2, 3, 0};
    source.palette[255] = RGBQUAD{9, 8, 7, 0};
    source.header.biXPelsPerMeter = 3780;  // the source's resolution is not carried over
    pixels = {0xFF, 0, 0, 0};
    const std::vector<uint8_t> file = Save(1, 1, 8);
    ASSERT_EQ(file.size(), 1082u);
    EXPECT_EQ(U16(file, 0), 0x4D42u);
    EXPECT_EQ(U32(file, 2), 1082u);
    EXPECT_EQ(U32(file, 6), 0u);
    EXPECT_EQ(U32(file, 10), 1078u);
    EXPECT_EQ(U32(file, 14), 40u);
    EXPECT_EQ(U32(file, 18), 1u);
    EXPECT_EQ(U32(file, 22), 1u);
    EXPECT_EQ(U16(file, 26), 1u);
    EXPECT_EQ(U16(file, 28), 8u);
    EXPECT_EQ(U32(file, 30), 0u);
    EXPECT_EQ(U32(file, 38), 0u);
    EXPECT_EQ(U32(file, 42), 0u);
    EXPECT_EQ(U32(file, 46), 256u);
    EXPECT_EQ(U32(file, 50), 0u);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 54, file.begin() + 58), (std::vector<uint8_t>{1, 2, 3, 0}));
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 54 + 1020, file.begin() + 1078), (std::vector<uint8_t>{9, 8, 7, 0}));
    EXPECT_EQ(file[1078], 0xFF);
}

TEST_F(BmpWriterFile, TwentyFourBitRowsAreWrittenAsTheyLieInMemory) {
    pixels.resize(32);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i + 1);
    const std::vector<uint8_t> file = Save(5, 2, 24);
    ASSERT_EQ(file.size(), 86u);
    EXPECT_EQ(U32(file, 2), 86u);
    EXPECT_EQ(U32(file, 10), 54u);
    EXPECT_EQ(U32(file, 18), 5u);
    EXPECT_EQ(U32(file, 22), 2u);
    EXPECT_EQ(U16(file, 28), 24u);
    EXPECT_EQ(U32(file, 46), 0u);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 54, file.end()), pixels);
}

TEST_F(BmpWriterFile, AFileThatCannotBeCreatedFailsWithCode5) {
    pixels.resize(4);
    context.fitted.width = 1;
    context.fitted.height = 1;
    context.fitted.bitCount = 24;
    context.fitted.pixels = pixels.data();
    EXPECT_FALSE(SaveBmp(context, folder.Join(L"missing\\out.bmp").c_str()));
    EXPECT_EQ(context.codecs.bmpWriter->errorCode, kErrorCannotCreateOutput);
    EXPECT_EQ(context.codecs.bmpWriter->outputFile, INVALID_HANDLE_VALUE);
    context.fitted.pixels = nullptr;
}

TEST_F(BmpWriterFile, WhatWeWriteReadsBackToTheSamePixels) {
    for (int32_t bits : {8, 24}) {
        const int32_t width = 7;
        const int32_t height = 3;
        const int32_t stride = ((width * bits / 8) + 3) & ~3;
        pixels.assign(static_cast<size_t>(stride * height), 0);
        for (int32_t y = 0; y < height; ++y)
            for (int32_t x = 0; x < width * bits / 8; ++x) pixels[y * stride + x] = static_cast<uint8_t>(x * 31 + y * 5);
        for (int i = 0; i < 256; ++i) source.palette[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(255 - i), 7, 0};
        Save(width, height, bits);
        ASSERT_TRUE(LoadBmp(context, folder.Join(L"out.bmp").c_str()));
        ASSERT_EQ(context.current->header.biBitCount, bits);
        EXPECT_EQ(std::vector<uint8_t>(context.current->pixels, context.current->pixels + pixels.size()), pixels);
        if (bits == 8) {
            EXPECT_EQ(0, memcmp(context.current->palette, source.palette, sizeof source.palette));
        }
        ReleasePages(context.current->pixels);
        context.current->pixels = nullptr;
        context.current = &source;
    }
}
