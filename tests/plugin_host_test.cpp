// The plug-in host against our test plug-in (one variant per behaviour,
// built beside this program in plugins/) and the WebP plug-in we ship.
#include "support/test_context.h"
#include "engine/batch.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "settings/settings_store.h"
#include "support/corpus_path.h"
#include "support/message_boxes.h"
#include "support/png_builder.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

constexpr uint32_t kWholeBlock = 0xFFFFFFFFu;

// What the test plug-in is asked to hand back (see tests/plugins/test_plugin.cpp).
struct Shape {
    int32_t width;
    int32_t height;
    uint16_t bitCount;
    int16_t reportedDepth = 0;
    uint32_t compression = BI_RGB;
    uint32_t infoBytes = 0;  // 0: header and the whole colour table
    uint32_t bitsBytes = kWholeBlock;
    uint8_t firstByte = 11;
};

void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> TestPicture(const Shape& s, size_t leading = 0) {
    std::vector<uint8_t> b(leading, 'x');
    for (char c : std::string("FLTP")) b.push_back(static_cast<uint8_t>(c));
    Put32(b, static_cast<uint32_t>(s.width));
    Put32(b, static_cast<uint32_t>(s.height));
    Put32(b, s.bitCount | static_cast<uint32_t>(static_cast<uint16_t>(s.reportedDepth)) << 16);
    Put32(b, s.compression);
    Put32(b, s.infoBytes);
    Put32(b, s.bitsBytes);
    b.push_back(s.firstByte);
    return b;
}

std::wstring PluginBuildFolder() {
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    PathRemoveFileSpecW(path);
    PathAppendW(path, L"plugins");
    return path;
}

std::vector<std::string> Lines(const std::wstring& file) {
    const std::vector<uint8_t> bytes = ReadWholeFile(file);
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The names FindFirstFileW lists in a folder, in its order.
std::vector<std::wstring> Listed(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(TempFolder::JoinPath(folder, L"*.spi").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::string Narrow(const std::wstring& wide) {
    char text[MAX_PATH * 4] = {};
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text, sizeof text, nullptr, nullptr);
    return text;
}

class PluginHostTest : public testing::Test {
protected:
    TempFolder pictures;
    TempFolder plugins;
    std::wstring log;

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs(context.codecs));
        appSettings = AppSettings{};
        appSettings.UseSpi = true;
        wcscpy(appSettings.SpiPath, plugins.path().c_str());
        log = pictures.Join(L"calls.log");
        SetLog(log);
        AllocationProbe::Reset();
    }
    void TearDown() override {
        SetLog(L"");
        DestroyCodecs(context.codecs);
    }
    static void SetLog(const std::wstring& path) {
#ifdef _WIN32
        SetEnvironmentVariableW(L"FRAMELET_TEST_PLUGIN_LOG", path.empty() ? nullptr : path.c_str());
#else
        setenv("FRAMELET_TEST_PLUGIN_LOG", Narrow(path).c_str(), 1);
#endif
    }
    // Copies a built plug-in into the plug-in folder under a name of our choice.
    void Install(const std::wstring& variant, const std::wstring& name, const std::wstring& folder = L"") const {
        const std::wstring source = TempFolder::JoinPath(PluginBuildFolder(), variant + L".spi");
        const std::wstring target = TempFolder::JoinPath(folder.empty() ? plugins.path() : folder, name);
        ASSERT_TRUE(CopyFileW(source.c_str(), target.c_str(), FALSE)) << "missing plug-in " << Narrow(source);
    }
    // LoadWithPlugin, then what must hold after every plug-in decode.
    bool Load(const std::wstring& path) {
        const bool loaded = LoadWithPlugin(context, path.c_str());
        EXPECT_EQ(context.codecs.pluginHost->library, nullptr);
        EXPECT_EQ(context.codecs.pluginHost->infoHandle, nullptr);
        EXPECT_EQ(context.codecs.pluginHost->bitsHandle, nullptr);
        EXPECT_EQ(context.current, loaded ? &context.codecs.pluginHost->image : nullptr);
        return loaded;
    }
    void ReleasePicture() {
        ReleasePages(context.codecs.pluginHost->image.pixels);
        context.codecs.pluginHost->image.pixels = nullptr;
        EXPECT_EQ(AllocationProbe::LiveBlocks(), 0);
    }
};

uint64_t Stride(int32_t width, int bitCount) { return (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4; }

struct Case {
    const char* what;
    const wchar_t* variant;
    Shape shape;
    bool decodes;
    int32_t fileBitCount;
};

}  // namespace

TEST_F(PluginHostTest, EachVariantAndBitmapShapeGivesItsResult) {
    const Case cases[] = {
        {"24-bit rows", L"good", {5, 3, 24}, true, 24},
        {"8-bit rows and table", L"good", {7, 2, 8}, true, 8},
        {"4-bit rows", L"good", {5, 2, 4}, true, 4},
        {"1-bit rows", L"good", {10, 2, 1}, true, 1},
        {"25,000 pixels wide", L"good", {25000, 1, 24}, true, 24},
        {"25,000 rows", L"good", {1, 25000, 8}, true, 8},
        {"depth 32 reported for 24-bit rows", L"good", {6, 2, 24, 32}, true, 32},
        {"pixel block shorter than the rows", L"good", {6, 4, 24, 0, BI_RGB, 0, 30}, true, 24},
        {"pixel block longer than the rows", L"good", {6, 4, 24, 0, BI_RGB, 0, 500}, true, 24},
        {"header without colour table", L"good", {3, 3, 8, 0, BI_RGB, 40}, true, 8},
        {"colour table of two entries", L"good", {3, 3, 8, 0, BI_RGB, 48}, true, 8},
        {"no GetPictureInfo: the rows' depth", L"noinfo", {6, 2, 24, 32}, true, 24},
        {"32-bit rows", L"good", {4, 4, 32}, false, 0},
        {"16-bit rows", L"good", {4, 4, 16}, false, 0},
        {"2-bit rows", L"good", {4, 4, 2}, false, 0},
        {"top-down rows", L"good", {4, -4, 24}, false, 0},
        {"run-length compressed", L"good", {4, 4, 8, 0, BI_RLE8}, false, 0},
        {"bit fields", L"good", {4, 4, 24, 0, BI_BITFIELDS}, false, 0},
        {"25,001 pixels wide", L"good", {25001, 1, 24}, false, 0},
        {"25,001 rows", L"good", {1, 25001, 8}, false, 0},
        {"no pixels wide", L"good", {0, 4, 24}, false, 0},
        {"empty pixel block", L"good", {6, 4, 24, 0, BI_RGB, 0, 0}, false, 0},
        {"header block of 39 bytes", L"good", {6, 4, 24, 0, BI_RGB, 39}, false, 0},
        {"empty header block", L"good", {6, 4, 24, 0, BI_RGB, 1}, false, 0},
        {"GetPicture fails", L"failing", {4, 4, 24}, false, 0},
        {"no IsSupported", L"nosupport", {4, 4, 24}, false, 0},
        {"archive plug-in", L"archive", {4, 4, 24}, false, 0},
        {"no GetPluginInfo", L"noversion", {4, 4, 24}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        Install(c.variant, L"plugin.spi", folder.path());
        wcscpy(appSettings.SpiPath, folder.path().c_str());
        const std::vector<uint8_t> file = TestPicture(c.shape);
        const std::wstring path = pictures.Write(L"picture.tst", file);
        const bool loaded = Load(path);
        ASSERT_EQ(loaded, c.decodes);
        if (!loaded) {
            EXPECT_EQ(AllocationProbe::LiveBlocks(), 0);
            continue;
        }
        const DecodedImage& image = context.codecs.pluginHost->image;
        const Shape& s = c.shape;
        EXPECT_EQ(image.header.biWidth, s.width);
        EXPECT_EQ(image.header.biHeight, s.height);
        EXPECT_EQ(image.header.biBitCount, s.bitCount);
        EXPECT_EQ(image.header.biXPelsPerMeter, 2835);
        EXPECT_EQ(image.fileBitCount, c.fileBitCount);
        EXPECT_EQ(image.sourceFormat, 0);
        EXPECT_EQ(image.fileSize, file.size());
        EXPECT_NE(image.lastWriteTime.dwHighDateTime, 0u);
        // The table as far as the header block holds it; the rest stays zero.
        const size_t tableEntries = s.bitCount <= 8 ? size_t{1} << s.bitCount : 0;
        const size_t delivered = s.infoBytes == 0 ? tableEntries : (s.infoBytes - 40) / 4;
        for (size_t i = 0; i < 256; ++i) {
            const RGBQUAD& entry = image.palette[i];
            const bool set = i < delivered;
            EXPECT_EQ(entry.rgbBlue, set ? i : 0) << "entry " << i;
            EXPECT_EQ(entry.rgbGreen, set ? 255 - i : 0) << "entry " << i;
        }
        // Rows as delivered; bytes the block lacks are zero.
        const uint64_t expected = Stride(s.width, s.bitCount) * static_cast<uint64_t>(s.height);
        const uint64_t given = s.bitsBytes == kWholeBlock ? expected : s.bitsBytes;
        uint64_t wrong = 0;
        for (uint64_t i = 0; i < expected; ++i) {
            const uint8_t want = i < given ? static_cast<uint8_t>(s.firstByte + i) : 0;
            wrong += image.pixels[i] != want;
        }
        EXPECT_EQ(wrong, 0u);
        ReleasePicture();
    }
}

TEST_F(PluginHostTest, APictureBehindA128ByteHeaderIsReadWithOffset128) {
    Install(L"good", L"good.spi");
    const Shape shape{4, 2, 24};
    const std::wstring late = pictures.Write(L"late.tst", TestPicture(shape, 128));
    ASSERT_TRUE(Load(late));
    ReleasePicture();
    const std::string ansi = Narrow(late);
    std::vector<std::string> calls = Lines(log);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "good GetPictureInfo 128 " + ansi), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "good GetPicture 128 " + ansi), calls.end());

    const std::wstring early = pictures.Write(L"early.tst", TestPicture(shape));
    ASSERT_TRUE(Load(early));
    ReleasePicture();
    calls = Lines(log);
    EXPECT_EQ(calls.back(), "good GetPicture 0 " + Narrow(early));
    // Only offsets 0 and 128 are tried.
    EXPECT_FALSE(Load(pictures.Write(L"other.tst", TestPicture(shape, 64))));
}

TEST_F(PluginHostTest, TheFirstListedPluginThatRecognisesTheFileDecides) {
    const std::wstring path = pictures.Write(L"picture.tst", TestPicture(Shape{4, 2, 24}));
    // The same two names with their contents swapped: whichever order the
    // file system lists them in, one of the two folders lists the failing one first.
    bool sawFailingFirst = false;
    for (int arrangement = 0; arrangement < 2; ++arrangement) {
        SCOPED_TRACE(arrangement);
        TempFolder folder;
        Install(arrangement == 0 ? L"failing" : L"good", L"a.spi", folder.path());
        Install(arrangement == 0 ? L"good" : L"failing", L"b.spi", folder.path());
        wcscpy(appSettings.SpiPath, folder.path().c_str());
        const std::vector<std::wstring> order = Listed(folder.path());
        ASSERT_EQ(order.size(), 2u);
        const bool failingFirst = (order[0] == L"a.spi") == (arrangement == 0);
        sawFailingFirst |= failingFirst;
        DeleteFileW(log.c_str());
        const bool loaded = Load(path);
        EXPECT_EQ(loaded, !failingFirst);
        if (loaded) ReleasePicture();
        // Only the first is asked for the picture, also when it fails.
        int pictureCalls = 0;
        for (const std::string& line : Lines(log)) {
            if (line.find(" GetPicture ") == std::string::npos) continue;
            ++pictureCalls;
            EXPECT_EQ(line.rfind(failingFirst ? "failing" : "good", 0), 0u) << line;
        }
        EXPECT_EQ(pictureCalls, 1);
    }
    EXPECT_TRUE(sawFailingFirst);
}

TEST_F(PluginHostTest, FoldersWithoutPictureImportPluginsDecodeNothing) {
    const std::wstring path = pictures.Write(L"picture.tst", TestPicture(Shape{4, 2, 24}));
    EXPECT_FALSE(Load(path));  // empty folder
    Install(L"archive", L"archive.spi");
    Install(L"noversion", L"noversion.spi");
    plugins.Write(L"text.spi", std::string("not a library"));
    CreateDirectoryW(plugins.Join(L"folder.spi").c_str(), nullptr);
    EXPECT_FALSE(Load(path));
    PluginList list;
    context.codecs.pluginHost->ListPlugins(plugins.path().c_str(), list);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(context.codecs.pluginHost->library, nullptr);
    // A plug-in without IsSupported is listed but never chosen.
    Install(L"nosupport", L"nosupport.spi");
    context.codecs.pluginHost->ListPlugins(plugins.path().c_str(), list);
    ASSERT_EQ(list.count, 1);
    EXPECT_STREQ(list.names[0], L"nosupport.spi");
    EXPECT_FALSE(Load(path));
}

TEST_F(PluginHostTest, MissingAndEmptyFilesReachNoPlugin) {
    Install(L"good", L"good.spi");
    EXPECT_FALSE(Load(pictures.Join(L"missing.tst")));
    EXPECT_FALSE(Load(pictures.Write(L"empty.tst", std::vector<uint8_t>{})));
    for (const std::string& line : Lines(log)) EXPECT_EQ(line.find("IsSupported"), std::string::npos) << line;
}

TEST_F(PluginHostTest, AtMostOneHundredPluginsAreListed) {
    for (int i = 0; i < 101; ++i) Install(L"good", L"p" + std::to_wstring(i) + L".spi");
    for (int i = 0; i < 3; ++i) Install(L"archive", L"z" + std::to_wstring(i) + L".spi");
    std::vector<std::wstring> qualifying;
    for (const std::wstring& name : Listed(plugins.path()))
        if (name[0] == L'p') qualifying.push_back(name);
    ASSERT_EQ(qualifying.size(), 101u);
    PluginList list;
    context.codecs.pluginHost->ListPlugins(plugins.path().c_str(), list);
    ASSERT_EQ(list.count, 100);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(list.names[i], qualifying[static_cast<size_t>(i)]);
}

TEST_F(PluginHostTest, APathOutsideTheCodePageArrivesWithTheDefaultCharacter) {
    Install(L"good", L"good.spi");
    // Written through the platform calls: the test library cannot name the file natively.
    const std::wstring path = pictures.Join(L"\u6771\u4eac\u0416.tst");
    const std::vector<uint8_t> bytes = TestPicture(Shape{4, 2, 24});
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    CloseHandle(file);
    BOOL usedDefault = FALSE;
    char ansi[MAX_PATH] = {};
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, ansi, MAX_PATH, nullptr, &usedDefault);
    const bool loaded = Load(path);
    if (loaded) ReleasePicture();
    const std::vector<std::string> calls = Lines(log);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::string("good GetPicture 0 ") + ansi);
    if (usedDefault) {
        // Recognised from the head the host read, but the plug-in cannot open the name.
        EXPECT_FALSE(loaded);
        EXPECT_NE(std::string(ansi).find('?'), std::string::npos);
    } else {
        EXPECT_TRUE(loaded);  // natively the code page is UTF-8 and holds every character
    }
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

namespace {

// The program's blend of a sample over white: x * a / 255 rounded, plus 255 - a.
uint8_t OverWhite(int sample, int alpha) {
    const int low = std::min(sample, alpha);
    const int high = std::max(sample, alpha);
    const int blended = low == 0      ? 0
                        : high == 255 ? low
                                      : static_cast<int>((int64_t{65536} * low / 255 * high + 32768) >> 16);
    return static_cast<uint8_t>(blended + 255 - alpha);
}

// What a WebP file must decode to: libwebp's pixels on white, bottom-up rows.
std::vector<uint8_t> ExpectedRows(const std::vector<uint8_t>& webp, int& width, int& height) {
    uint8_t* bgra = WebPDecodeBGRA(webp.data(), webp.size(), &width, &height);
    if (bgra == nullptr) return {};
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    std::vector<uint8_t> rows(stride * height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                const uint8_t* p = bgra + (static_cast<size_t>(y) * width + x) * 4;
                rows[static_cast<size_t>(height - 1 - y) * stride + 3 * x + c] = OverWhite(p[c], p[3]);
            }
    WebPFree(bgra);
    return rows;
}

uint8_t Sample(int32_t x, int32_t y, int byte) {
    switch (byte) {
        case 0: return static_cast<uint8_t>(x * 13 + y);
        case 1: return static_cast<uint8_t>(y * 7);
        case 2: return static_cast<uint8_t>(x ^ y);
        default: return static_cast<uint8_t>(x < 4 ? 0 : x > 20 ? 255 : (x * 37 + y * 11));
    }
}

std::vector<uint8_t> Rgba(int width, int height) {
    std::vector<uint8_t> rgba;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int b = 0; b < 4; ++b) rgba.push_back(Sample(x, y, b));
    return rgba;
}

std::vector<uint8_t> Encoded(const std::vector<uint8_t>& rgba, int width, int height, bool lossless, bool alpha) {
    std::vector<uint8_t> pixels = rgba;
    if (!alpha)
        for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 255;
    uint8_t* out = nullptr;
    const size_t size = lossless ? WebPEncodeLosslessRGBA(pixels.data(), width, height, width * 4, &out)
                                 : WebPEncodeRGBA(pixels.data(), width, height, width * 4, 80, &out);
    std::vector<uint8_t> bytes(out, out + size);
    WebPFree(out);
    return bytes;
}

class WebpPlugin : public PluginHostTest {
protected:
    void SetUp() override {
        PluginHostTest::SetUp();
        Install(L"webp", L"webp.spi");
    }
    // Decodes through the plug-in and compares with libwebp's own pixels.
    void ExpectDecodesAsLibwebp(const std::vector<uint8_t>& webp, const std::wstring& name) {
        int width = 0;
        int height = 0;
        const std::vector<uint8_t> expected = ExpectedRows(webp, width, height);
        const std::wstring path = pictures.Write(name, webp);
        const bool loaded = Load(path);
        ASSERT_EQ(loaded, !expected.empty());
        if (!loaded) return;
        const DecodedImage& image = context.codecs.pluginHost->image;
        EXPECT_EQ(image.header.biWidth, width);
        EXPECT_EQ(image.header.biHeight, height);
        EXPECT_EQ(image.header.biBitCount, 24);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image.pixels)) << "pixels differ";
        ReleasePicture();
    }
};

}  // namespace

TEST_F(WebpPlugin, LossyLosslessAndAlphaFilesDecodeToLibwebpsPixelsOnWhite) {
    const std::vector<uint8_t> rgba = Rgba(37, 23);
    const struct {
        const wchar_t* name;
        bool lossless;
        bool alpha;
    } kinds[] = {{L"lossy.webp", false, false},
                 {L"lossless.webp", true, false},
                 {L"lossy-alpha.webp", false, true},
                 {L"lossless-alpha.webp", true, true}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(Narrow(kind.name));
        const std::vector<uint8_t> webp = Encoded(rgba, 37, 23, kind.lossless, kind.alpha);
        ASSERT_FALSE(webp.empty());
        ExpectDecodesAsLibwebp(webp, kind.name);
    }
    // Lossless with alpha is the same picture as a PNG of the same pixels
    // through our own PNG reader.
    const std::wstring png =
        pictures.Write(L"same.png", SimplePng(37, 23, 8, 6,
                                              FilteredImage(
                                                  37, 23, 8, 6, false, [](int) { return 0; }, Sample)));
    const std::wstring webp = pictures.Write(L"same.webp", Encoded(rgba, 37, 23, true, true));
    ASSERT_TRUE(LoadPng(context, png.c_str()));
    const std::vector<uint8_t> fromPng(context.codecs.pngReader->image.pixels, context.codecs.pngReader->image.pixels + 24 * 112);
    ReleasePages(context.codecs.pngReader->image.pixels);
    ASSERT_TRUE(Load(webp));
    EXPECT_TRUE(std::equal(fromPng.begin(), fromPng.end(), context.codecs.pluginHost->image.pixels));
    ReleasePicture();
}

TEST_F(WebpPlugin, CorpusFilesDecodeAsLibwebpDecodesThem) {
    const std::filesystem::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no corpora";
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().extension() != ".webp") continue;
        SCOPED_TRACE(entry.path().string());
        ExpectDecodesAsLibwebp(ReadWholeFile(entry.path().wstring()), L"corpus.webp");
        ++files;
    }
    EXPECT_GT(files, 0);
}

TEST_F(WebpPlugin, TruncatedAndDamagedFilesFail) {
    const std::vector<uint8_t> webp = Encoded(Rgba(16, 16), 16, 16, false, false);
    for (size_t length : {size_t{12}, size_t{30}, webp.size() / 2, webp.size() - 1}) {
        std::vector<uint8_t> cut(webp.begin(), webp.begin() + static_cast<std::ptrdiff_t>(length));
        ExpectDecodesAsLibwebp(cut, L"cut.webp");
    }
}

TEST_F(WebpPlugin, ABatchTurnsAWebpPhotographIntoTheThreeWallpapersOnlyWithPluginsOn) {
    DestroyCodecs(context.codecs);  // a batch makes its own set
    wcscpy(settingsPath, pictures.Join(L"none.ini").c_str());
    SettingsStore::Load();
    appSettings.outputFormat = 0;
    appSettings.UseSpi = true;
    wcscpy(appSettings.SpiPath, plugins.path().c_str());
    const int width = 1600, height = 1200;
    std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = i % 4 == 3 ? 255 : static_cast<uint8_t>((i / 4 % width) * 255 / width + i % 4 * 40);
    const std::wstring input = pictures.Write(L"photo.webp", Encoded(rgba, width, height, false, false));
    const WCHAR* paths[] = {input.c_str()};
    int written = 0;
    {
        MessageBoxRecorder recorder;
        EXPECT_TRUE(RunBatch(1, paths, &written));
        EXPECT_TRUE(recorder.Stop().empty());
    }
    EXPECT_EQ(written, 3);
    EXPECT_TRUE(FileExists(TempFolder::JoinPath(pictures.Join(L"Output"), L"photo1024x768.bmp")));
    EXPECT_TRUE(FileExists(TempFolder::JoinPath(pictures.Join(L"800x600"), L"photo.bmp")));
    EXPECT_TRUE(FileExists(pictures.Join(L"photo.bmp")));

    appSettings.UseSpi = false;
    MessageBoxRecorder recorder;
    EXPECT_TRUE(RunBatch(1, paths, &written));
    EXPECT_EQ(written, 0);
    EXPECT_FALSE(FileExists(pictures.Join(L"photo+1.bmp")));
    const std::vector<ShownMessage> shown = recorder.Stop();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, L"ファイル変換に失敗しました。");
}
