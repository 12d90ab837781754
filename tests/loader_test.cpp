// Format detection from the first bytes, and the dispatch that follows it.
#include "support/test_context.h"
#include "engine/codec_set.h"
#include "engine/format_detect.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "settings/settings_store.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    std::vector<uint8_t> bytes;
    FormatCode expected;
};

FormatCode Detect(const TempFolder& folder, const std::vector<uint8_t>& bytes) {
    const std::wstring path = folder.Write(L"probe.dat", bytes);
    return DetectFormat(path.c_str());
}

}  // namespace

TEST(FormatDetection, FirstBytesDecide) {
    TempFolder folder;
    const Case cases[] = {
        {{'B', 'M'}, kFormatBmp},
        {{'B', 'M', 0, 0, 0, 0}, kFormatBmp},
        {{'B', 'A'}, kFormatUnknown},
        {{0xFF, 0xD8}, kFormatJpeg},
        {{'G', 'I', 'F'}, kFormatGif},
        {{'G', 'I', 'F', 'z', 'z', 'z'}, kFormatGif},  // no check of the version
        {{'G', 'I', 'X'}, kFormatUnknown},
        {{'G', 'I'}, kFormatUnreadable},
        {{'I', 'I', 0x2A, 0}, kFormatTiff},
        {{'I', 'I', 0x2B, 0}, kFormatUnknown},
        {{'M', 'M', 0, 0x2A}, kFormatTiff},
        {{'M', 'M', 0x77, 0x2A}, kFormatTiff},
        {{'M', 'M', 0x2A, 0}, kFormatUnknown},
        {{'M', 'M', 0}, kFormatUnreadable},
        {{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, kFormatPng},
        {{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0B}, kFormatUnknown},
        {{0x89, 'P', 'N', 'X', 0x0D, 0x0A, 0x1A, 0x0A}, kFormatUnknown},
        {{0x89, 'P', 'N', 'G', 0x0D}, kFormatUnreadable},
        {{'B'}, kFormatUnknown},  // one byte: the missing second byte counts as zero
        {{}, kFormatUnreadable},
        {{'P', 'K', 3, 4}, kFormatUnknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Detect(folder, c.bytes), c.expected) << "first byte count " << c.bytes.size();
    }
}

TEST(FormatDetection, ExtensionPlaysNoPart) {
    TempFolder folder;
    const std::wstring disguised = folder.Write(L"photo.png", std::vector<uint8_t>{'B', 'M', 1});
    EXPECT_EQ(DetectFormat(disguised.c_str()), kFormatBmp);
    const std::wstring notBmp = folder.Write(L"photo.bmp", std::vector<uint8_t>{'X', 'Y'});
    EXPECT_EQ(DetectFormat(notBmp.c_str()), kFormatUnknown);
    EXPECT_EQ(DetectFormat(folder.Join(L"missing.bmp").c_str()), kFormatUnknown);
    EXPECT_EQ(DetectFormat(folder.path().c_str()), kFormatUnknown);  // a folder cannot be opened
}

class Loader : public testing::Test {
protected:
    TempFolder folder;
    void SetUp() override {
        ASSERT_TRUE(CreateCodecs(context.codecs));
        appSettings = AppSettings{};
        AllocationProbe::Reset();
    }
    void TearDown() override { DestroyCodecs(context.codecs); }
};

TEST_F(Loader, FilesNoReaderTakesFailWithNoPictureAndNoMemory) {
    const int liveBefore = AllocationProbe::LiveBlocks();
    const std::wstring files[] = {
        folder.Join(L"missing.bmp"),
        folder.Write(L"empty.bmp", std::vector<uint8_t>{}),
        folder.Write(L"text.txt", std::string("plain text")),
        folder.Write(L"fake.bmp", std::string("BM but not a bitmap")),
    };
    for (const std::wstring& file : files) {
        context.current = &context.codecs.bmpReader->image;  // must be cleared, not left stale
        EXPECT_FALSE(LoadPicture(context, file.c_str()));
        EXPECT_EQ(context.current, nullptr);
    }
    EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore);
}

TEST_F(Loader, PluginEntryNeedsTheSwitchAndAnExistingFolder) {
    const std::wstring file = folder.Write(L"unknown.xyz", std::string("????"));
    context.current = nullptr;
    appSettings.UseSpi = false;
    wcscpy(appSettings.SpiPath, folder.path().c_str());
    EXPECT_FALSE(LoadWithPlugin(context, file.c_str()));
    appSettings.UseSpi = true;
    appSettings.SpiPath[0] = 0;
    EXPECT_FALSE(LoadWithPlugin(context, file.c_str()));
    context.codecs.pluginHost->image.palette[7].rgbRed = 9;
    wcscpy(appSettings.SpiPath, folder.path().c_str());
    EXPECT_FALSE(LoadWithPlugin(context, file.c_str()));  // an empty plug-in folder declines
    EXPECT_EQ(context.current, nullptr);
    EXPECT_EQ(context.codecs.pluginHost->image.palette[7].rgbRed, 0);  // the host's palette starts from zero
    EXPECT_EQ(context.codecs.pluginHost->library, nullptr);
}
