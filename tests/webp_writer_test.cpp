// The WebP writer: photographs fitted and written as WebP are cwebp -q's file
// of the same fitted picture, a size limit holds, both builds write the same
// bytes; quality edges and sides the format cannot hold.
#include "core/memory.h"
#include "engine/batch.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "engine/save_picture.h"
#include "settings/settings_store.h"
#include "support/corpus_path.h"
#include "support/test_context.h"
#include "support/writer_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

std::vector<int32_t> tried;

#ifndef _WIN32
// The plain fitting as cwebp reads it: top row first, red, green, blue.
bool SavePpm(PictureContext& context, LPCWSTR path) {
    const int32_t w = context.fitted.width;
    std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(context.fitted.height) + "\n255\n";
    for (int32_t y = context.fitted.height - 1; y >= 0; --y)
        for (int32_t x = 0; x < 3 * w; ++x)  // byte x is channel x % 3 of pixel x / 3, counted from red
            ppm += static_cast<char>(context.fitted.pixels[y * PaddedRowBytes(w, 24) + x + 2 - 2 * (x % 3)]);
    std::ofstream(std::filesystem::path(path), std::ios::binary) << ppm;
    return context.fitted.bitCount == 24;
}
#endif

class WebpOutput : public DefaultSettingsBatch {
protected:
    std::vector<uint8_t> Render(SaveEntry save, const wchar_t* name) {
        EXPECT_TRUE(RenderSlot(context, folder.Join(name).c_str(), save));
        return ReadWholeFile(folder.Join(name));
    }
};

class WebpWriting : public WriterTest {};

}  // namespace

TEST_F(WebpOutput, PhotographsComeOutAsCwebpMakesThemAndWithinTheLimit) {
    struct Case {
        const char* photo;  // in the corpora, or an absolute path
        int32_t width, height, quality, limitKiB;
        uint32_t digest;  // of the files written; 0 for a wallpaper, whose package may change
    };
    const Case cases[] = {
        {"wuffs-testdata/test/data/harvesters.bmp", 1024, 768, 75, 0, 3873437588u},
        {"wuffs-testdata/test/data/harvesters.bmp", 800, 600, 90, 40, 1383909728u},
        {"wuffs-testdata/test/data/hibiscus.regular.png", 300, 200, 50, 8, 2183543046u},
        {"libjpeg-turbo-testimages/testorig.jpg", 160, 120, 20, 2, 3628759631u},
        {"/usr/share/backgrounds/mate/nature/Garden.jpg", 1920, 1080, 75, 100, 0},
    };
    const std::filesystem::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "the shared corpora are not present";
    ASSERT_TRUE(CreateCodecs(context.codecs));
    context.codecs.webpWriter->qualityTrace = [](int32_t quality) { tried.push_back(quality); };
    for (const Case& c : cases) {
        const std::filesystem::path photo = c.photo[0] == '/' ? HostPath(c.photo) : root / c.photo;
        if (!std::filesystem::exists(photo)) continue;  // a wallpaper package that is not installed
        ASSERT_TRUE(LoadPicture(context, photo.wstring().c_str())) << c.photo;
        context.fitted.slotWidth = c.width;
        context.fitted.slotHeight = c.height;
        appSettings.Quality = c.quality;
        appSettings.Limit = false;
        std::vector<uint8_t> written = Render(SaveWebp, L"photo.webp");  // then the limited file, for the digest
#ifndef _WIN32
        // The same bytes, so the same pixels decoded.
        Render(SavePpm, L"fitted.ppm");
        const std::string command = "cd '" + std::filesystem::path(folder.path()).string() + "' && cwebp -quiet -q " +
                                    std::to_string(c.quality) + " fitted.ppm -o cwebp.webp";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(written, ReadWholeFile(folder.Join(L"cwebp.webp"))) << c.photo;
#endif
        if (c.limitKiB > 0) {
            appSettings.Limit = true;
            appSettings.LmtVal = c.limitKiB;
            tried.clear();
            const std::vector<uint8_t> limited = Render(SaveWebp, L"limited.webp");
            EXPECT_LE(limited.size(), c.limitKiB * 1024u) << c.photo;
            ASSERT_GT(tried.size(), 1u) << c.photo << ": quality 100 fits already";
            appSettings.Limit = false;
            appSettings.Quality = tried.back();
            EXPECT_EQ(Render(SaveWebp, L"at.webp"), limited) << c.photo << ": not the last quality tried";
            written.insert(written.end(), limited.begin(), limited.end());
        }
        if (c.digest != 0) {
            EXPECT_EQ(Digest(written.data(), written.size()), c.digest) << c.photo;
        }
        ReleaseAndClear(context.current->pixels);
        context.current = nullptr;
    }
    DestroyCodecs(context.codecs);
    EXPECT_EQ(AllocationProbe::LiveBlocks(), 0);
}

TEST_F(WebpWriting, QualityEdgesAndSidesTheFormatCannotHold) {
    appSettings.Limit = false;
    TestPicture photo = PhotoPicture(40, 30, 24, 3);
    const auto at = [&](int32_t quality) {
        appSettings.Quality = quality;
        return SaveThrough(SaveWebp, *context.codecs.webpWriter, photo, L"q.webp");
    };
    EXPECT_EQ(at(101), at(75)) << "above 100 means 75, as for JPEG";
    EXPECT_EQ(at(-5), at(1));
    EXPECT_NE(at(1), at(75));
    TestPicture wide = PhotoPicture(kWebpLargestSide + 1, 1, 24, 4);
    EXPECT_TRUE(SaveThrough(SaveWebp, *context.codecs.webpWriter, wide, L"wide.webp").empty());
    EXPECT_EQ(context.codecs.webpWriter->errorCode, kErrorInvalidPicture);
    EXPECT_FALSE(FileExists(folder.Join(L"wide.webp")));
}
