// The TIFF reader: the accepted layouts and their edge cases on hand-made
// files, every failure with its code, and the public TIFF files against
// libtiff's samples.
#include "support/test_context.h"
#include "codecs/readers/tiff_reader.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "codecs/readers/mapped_file.h"
#include "settings/settings_store.h"
#include "support/corpus_path.h"
#include "support/reader_fixture.h"
#include "support/test_pictures.h"
#include "support/tiff_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#ifndef _WIN32
#include <tiffio.h>
#endif

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

int32_t StrideOf(const DecodedImage& image) { return ((image.header.biWidth * image.header.biBitCount + 31) / 32) * 4; }

// Blue-green-red, top row first, through the colour table for 8-bit rows.
Bytes TopDownBgr(const DecodedImage& image) {
    const int32_t w = image.header.biWidth;
    Bytes bgr(3 * static_cast<size_t>(w) * image.header.biHeight);
    uint8_t* out = bgr.data();  // written through a pointer: the large pictures stay quick in a sanitizer build
    for (int32_t y = image.header.biHeight - 1; y >= 0; --y) {
        const uint8_t* row = image.pixels + static_cast<size_t>(StrideOf(image)) * y;
        if (image.header.biBitCount != 8) {
            memcpy(out, row, 3 * static_cast<size_t>(w));
            out += 3 * static_cast<size_t>(w);
            continue;
        }
        for (int32_t x = 0; x < w; ++x) {
            const RGBQUAD& c = image.palette[row[x]];
            *out++ = c.rgbBlue;
            *out++ = c.rgbGreen;
            *out++ = c.rgbRed;
        }
    }
    return bgr;
}

// The 8-bit indexes of the picture, top row first, without row padding.
Bytes TopDownIndexes(const DecodedImage& image) {
    Bytes indexes;
    for (int32_t y = image.header.biHeight - 1; y >= 0; --y) {
        const uint8_t* row = image.pixels + static_cast<size_t>(StrideOf(image)) * y;
        indexes.insert(indexes.end(), row, row + image.header.biWidth);
    }
    return indexes;
}

// Whole memory rows, padding included.
Bytes AllRows(const DecodedImage& image) {
    return Bytes(image.pixels, image.pixels + static_cast<size_t>(StrideOf(image)) * image.header.biHeight);
}

Bytes Pattern(size_t count, uint32_t seed) {
    Bytes bytes(count);
    uint32_t h = seed * 2654435761u + 1;
    for (uint8_t& b : bytes) {
        h ^= h << 13;
        h ^= h >> 17;
        h ^= h << 5;
        b = static_cast<uint8_t>(h);
    }
    return bytes;
}

class TiffReading : public ReaderTest {
protected:
    void SetUp() override {
        ReaderTest::SetUp();
        appSettings = AppSettings{};
    }
    DecodedImage* LoadBytes(const Bytes& bytes) {
        ReleaseDecoded();
        return LoadWith(LoadTiff, folder.Write(L"picture.tif", bytes));
    }
    DecodedImage* LoadFile(const std::wstring& path) { return LoadWith(LoadTiff, path); }
    bool DecodeInMemory(const Bytes& bytes, int32_t& code) {
        ReleaseDecoded();
        return ReaderTest::DecodeInMemory(*context.codecs.tiffReader, bytes, code, [](TiffReader&) {});
    }
    void ExpectRejected(const Bytes& bytes, int32_t code, const std::string& what) {
        EXPECT_EQ(LoadBytes(bytes), nullptr) << what;
        EXPECT_EQ(context.codecs.tiffReader->errorCode, code) << what;
        EXPECT_NE(TiffErrorText(code), nullptr) << what << ": every code the reader gives has its reason";
        int32_t inMemory = kErrorNone;
        EXPECT_FALSE(DecodeInMemory(bytes, inMemory)) << what;
        EXPECT_EQ(inMemory, code) << what;
    }
    // Through the dispatch with the plug-ins off: false, and the plug-in entry
    // was reached (it clears its host's colour table first).
    void ExpectHandedToPlugins(const std::wstring& path, const std::string& what) {
        ReleaseDecoded();
        context.codecs.pluginHost->image.palette[7].rgbRed = 9;
        EXPECT_FALSE(LoadPicture(context, path.c_str())) << what;
        EXPECT_EQ(context.current, nullptr) << what;
        EXPECT_EQ(context.codecs.pluginHost->image.palette[7].rgbRed, 0) << what << ": the plug-in host was not asked";
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << what;
    }
};

TiffPicture Rgb(bool littleEndian, uint32_t width, uint32_t height, int bits, const Bytes& pixels,
                uint32_t strips = 1) {
    TiffPicture p;
    p.littleEndian = littleEndian;
    p.width = width;
    p.height = height;
    p.photometric = 2;
    p.bitsPerSample = {uint32_t(bits), uint32_t(bits), uint32_t(bits)};
    p.pixels = pixels;
    p.strips = strips;
    return p;
}

TiffPicture Indexed(uint32_t photometric, uint32_t width, uint32_t height, int bits, const Bytes& pixels) {
    TiffPicture p;
    p.width = width;
    p.height = height;
    p.photometric = photometric;
    p.bitsPerSample = {uint32_t(bits)};
    p.pixels = pixels;
    return p;
}

// 16-bit samples in the file's byte order from 8-bit ones: the upper byte is
// the sample, the lower byte noise.
Bytes Widened(const Bytes& samples, bool littleEndian) {
    Bytes wide;
    const Bytes noise = Pattern(samples.size(), 99);
    for (size_t i = 0; i < samples.size(); ++i) {
        if (littleEndian) {
            wide.insert(wide.end(), {noise[i], samples[i]});
        } else {
            wide.insert(wide.end(), {samples[i], noise[i]});
        }
    }
    return wide;
}

}  // namespace

TEST_F(TiffReading, RgbInBothByteOrdersAndBothDepths) {
    const uint32_t w = 7;
    const uint32_t h = 5;
    const Bytes samples = Pattern(3 * w * h, 1);
    DecodedImage* image = LoadBytes(SimpleTiff(Rgb(true, w, h, 8, samples, 2)));
    ASSERT_NE(image, nullptr) << context.codecs.tiffReader->errorCode;
    EXPECT_EQ(image, &context.codecs.tiffReader->image);
    EXPECT_EQ(image->header.biSize, 40u);
    EXPECT_EQ(image->header.biWidth, 7);
    EXPECT_EQ(image->header.biHeight, 5);
    EXPECT_EQ(image->header.biBitCount, 24);
    EXPECT_EQ(image->header.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(image->sourceFormat, kFormatTiff);
    EXPECT_EQ(image->fileBitCount, 24);
    EXPECT_EQ(context.codecs.tiffReader->inputView, nullptr) << "the mapping stays after the load";
    Bytes expected;  // red, green, blue in the file: blue, green, red out
    for (size_t i = 0; i < samples.size(); i += 3)
        expected.insert(expected.end(), {samples[i + 2], samples[i + 1], samples[i]});
    EXPECT_EQ(TopDownBgr(*image), expected);
    EXPECT_EQ(image->pixels[StrideOf(*image) - 1], 0) << "row padding";
    const Bytes little = AllRows(*image);

    image = LoadBytes(SimpleTiff(Rgb(false, w, h, 8, samples, 3)));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(AllRows(*image), little) << "big-endian copy";
    for (bool littleEndian : {true, false}) {
        image = LoadBytes(SimpleTiff(Rgb(littleEndian, w, h, 16, Widened(samples, littleEndian))));
        ASSERT_NE(image, nullptr) << littleEndian;
        EXPECT_EQ(AllRows(*image), little) << "16-bit, little-endian " << littleEndian;
        EXPECT_EQ(image->fileBitCount, 48);
        EXPECT_EQ(image->header.biBitCount, 24);
    }

    // The dispatch finds the reader by the first bytes, whatever the name.
    const std::wstring path = folder.Write(L"photo.bin", SimpleTiff(Rgb(false, w, h, 8, samples)));
    ReleaseDecoded();
    ASSERT_TRUE(LoadPicture(context, path.c_str()));
    ASSERT_EQ(context.current, &context.codecs.tiffReader->image);
    EXPECT_EQ(AllRows(*context.current), little);
    EXPECT_EQ(context.current->fileSize, static_cast<uint32_t>(ReadWholeFile(path).size()));
}

TEST_F(TiffReading, GreyAndPaletteRowsAndTheirColourTables) {
    // 1-bit white is zero, 10 wide: two bytes a row, index 0 white.
    DecodedImage* image = LoadBytes(SimpleTiff(Indexed(0, 10, 2, 1, {0xA5, 0xC0, 0x5A, 0x3F})));
    ASSERT_NE(image, nullptr) << context.codecs.tiffReader->errorCode;
    EXPECT_EQ(image->header.biBitCount, 8);
    EXPECT_EQ(image->fileBitCount, 1);
    EXPECT_EQ(TopDownIndexes(*image), (Bytes{1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 1, 0, 1, 0, 0, 0}));
    EXPECT_EQ(image->palette[0].rgbRed, 255);
    EXPECT_EQ(image->palette[0].rgbBlue, 255);
    EXPECT_EQ(image->palette[1].rgbGreen, 0);
    EXPECT_EQ(image->palette[2].rgbRed, 0) << "entries beyond the ramp stay zero";

    // 4-bit black is zero, 5 wide: three bytes a row, the ramp in steps of 17.
    image = LoadBytes(SimpleTiff(Indexed(1, 5, 2, 4, {0x01, 0x23, 0x4F, 0xFE, 0xDC, 0xBA})));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(TopDownIndexes(*image), (Bytes{0, 1, 2, 3, 4, 15, 14, 13, 12, 11}));
    EXPECT_EQ(image->palette[15].rgbGreen, 255);
    EXPECT_EQ(image->palette[3].rgbRed, 51);

    // 8-bit grey: the bytes unchanged, white is zero reverses the ramp.
    image = LoadBytes(SimpleTiff(Indexed(0, 3, 1, 8, {0, 10, 255})));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(TopDownIndexes(*image), (Bytes{0, 10, 255}));
    EXPECT_EQ(image->palette[10].rgbRed, 245);
    EXPECT_EQ(image->palette[255].rgbBlue, 0);

    // Palette pictures take the upper byte of each map value.
    for (int bits : {1, 4, 8}) {
        const uint32_t entries = 1u << bits;
        TiffPicture p = Indexed(3, 2, 1, bits, {bits == 8 ? uint8_t{0xFF} : uint8_t{0xF0}, 0x10});
        for (uint32_t c = 0; c < 3; ++c)
            for (uint32_t i = 0; i < entries; ++i) p.colorMap.push_back(((i * 7 + c * 50) & 0xFF) << 8 | 0x7F);
        image = LoadBytes(SimpleTiff(p));
        ASSERT_NE(image, nullptr) << bits;
        EXPECT_EQ(image->fileBitCount, bits);
        const uint32_t last = entries - 1;
        EXPECT_EQ(image->palette[last].rgbRed, (last * 7) & 0xFF) << bits;
        EXPECT_EQ(image->palette[last].rgbGreen, (last * 7 + 50) & 0xFF) << bits;
        EXPECT_EQ(image->palette[last].rgbBlue, (last * 7 + 100) & 0xFF) << bits;
        if (bits < 8) {
            EXPECT_EQ(image->palette[entries].rgbBlue, 0) << bits;
        }
    }
}

TEST_F(TiffReading, SidesAndSampleSizes) {
    const Bytes row(3 * 25001, 7);
    DecodedImage* image = LoadBytes(SimpleTiff(Rgb(true, 25000, 1, 8, row)));
    ASSERT_NE(image, nullptr) << context.codecs.tiffReader->errorCode;
    EXPECT_EQ(image->pixels[3 * 24999 + 2], 7);
    ExpectRejected(SimpleTiff(Rgb(true, 25001, 1, 8, row)), kTiffTooLarge, "25001 wide");
    ExpectRejected(SimpleTiff(Rgb(true, 1, 25001, 8, row)), kTiffTooLarge, "25001 high");
    ExpectRejected(SimpleTiff(Rgb(true, 0, 1, 8, row)), kTiffMalformed, "0 wide");

    // SHORT sides, a side of another type, a missing side.
    auto grey = [](std::function<void(TiffBuilder&)> sides) {
        TiffBuilder t;
        const uint32_t data = t.Data({0x80, 0x40, 0, 0});
        sides(t);
        t.Entry(262, 3, {1});
        t.Entry(273, 4, {data});
        t.Entry(279, 4, {4});
        return t.Build();
    };
    image = LoadBytes(grey([](TiffBuilder& t) {
        t.Entry(256, 3, {2});
        t.Entry(257, 3, {2});
    }));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(TopDownIndexes(*image), (Bytes{1, 0, 0, 1})) << "bits per sample 1 without the tag";
    ExpectRejected(grey([](TiffBuilder& t) {
                       t.Entry(256, 3, {2});
                       t.ShortEntry(257, 8, 1, 2);
                   }),
                   kTiffMalformed, "height of type SSHORT");
    ExpectRejected(grey([](TiffBuilder& t) { t.Entry(256, 3, {2}); }), kTiffMalformed, "no height");

    // More samples than the photometric interpretation uses are declined.
    TiffPicture rgba = Rgb(true, 2, 1, 8, Pattern(8, 3));
    rgba.bitsPerSample = {8, 8, 8, 8};
    ExpectRejected(SimpleTiff(rgba), kTiffExtraSamples, "RGB with alpha");
    TiffPicture extra = Indexed(1, 8, 1, 8, {0x81, 0x7F});
    extra.bitsPerSample = {8, 8};
    ExpectRejected(SimpleTiff(extra), kTiffExtraSamples, "grey with an extra sample");
    // RGB is read from three equal sizes of 8 or 16; the triple must lie inside the file.
    for (const std::vector<uint32_t>& sizes : {std::vector<uint32_t>{8, 8, 16}, {12, 12, 12}, {4, 4, 4}}) {
        TiffPicture odd = Rgb(true, 1, 1, 8, Pattern(6, 4));
        odd.bitsPerSample = sizes;
        ExpectRejected(SimpleTiff(odd), kTiffUnsupported,
                       "sizes " + std::to_string(sizes[0]) + "/" + std::to_string(sizes[2]));
    }
    TiffBuilder outside;
    outside.Entry(256, 4, {1});
    outside.Entry(257, 4, {1});
    outside.RawEntry(258, 3, 3, 0xFFFFFFFEu);
    ExpectRejected(outside.Build(), kTiffMalformed, "triple outside the file");
}

TEST_F(TiffReading, StripsInsideTheirEntriesAndShortStripData) {
    // Two strips, offsets and byte counts each two SHORTs in their entries,
    // the second strip stored first in the file.
    TiffBuilder t;
    const uint32_t second = t.Data({50, 60, 70, 80});
    const uint32_t first = t.Data({10, 20, 30, 40});
    t.Entry(256, 3, {2});
    t.Entry(257, 3, {4});
    t.Entry(258, 3, {8});
    t.Entry(262, 3, {1});
    t.Entry(273, 3, {first, second});
    t.Entry(279, 3, {4, 4});
    DecodedImage* image = LoadBytes(t.Build());
    ASSERT_NE(image, nullptr) << context.codecs.tiffReader->errorCode;
    EXPECT_EQ(TopDownIndexes(*image), (Bytes{10, 20, 30, 40, 50, 60, 70, 80}));

    // Joined data shorter than the rows: it reads as the same data with zeros
    // after it, never as what lies behind it in the file. Cut inside a row, in
    // the middle of a pixel, for each row layout.
    const std::pair<TiffPicture, size_t> cuts[] = {
        {Indexed(1, 11, 4, 1, Pattern(8, 8)), 3},
        {Indexed(0, 5, 4, 4, Pattern(12, 8)), 4},
        {Indexed(1, 5, 4, 8, Pattern(20, 8)), 7},
        {Rgb(false, 3, 4, 8, Pattern(36, 8)), 13},
        {Rgb(true, 3, 4, 16, Pattern(72, 8)), 21},
        {Indexed(1, 4097, 2, 8, Pattern(8194, 8)), 4096},  // the joined strips end on a page boundary
    };
    for (const auto& [picture, kept] : cuts) {
        TiffPicture padded = picture;
        std::fill(padded.pixels.begin() + static_cast<std::ptrdiff_t>(kept), padded.pixels.end(), 0);
        image = LoadBytes(SimpleTiff(padded));
        ASSERT_NE(image, nullptr);
        const Bytes expected = AllRows(*image);
        TiffPicture cut = picture;
        cut.pixels.resize(kept);
        const Bytes file = SimpleTiff(cut);
        image = LoadBytes(file);
        ASSERT_NE(image, nullptr) << kept;
        EXPECT_EQ(AllRows(*image), expected) << kept;
        int32_t code = kErrorNone;
        EXPECT_TRUE(DecodeInMemory(file, code)) << kept;
    }
}

// Every failure of the table, through the load entry and in memory.
TEST_F(TiffReading, FailuresAndTheirCodes) {
    const Bytes pixels = Pattern(6, 5);
    const Bytes good = SimpleTiff(Rgb(true, 2, 1, 8, pixels));
    ASSERT_NE(LoadBytes(good), nullptr);

    Bytes file = good;
    file[0] = 'I', file[1] = 'M';
    ExpectRejected(file, kTiffMalformed, "byte-order mark");
    file = good;
    file[2] = 43;
    ExpectRejected(file, kTiffMalformed, "not 42");
    ExpectRejected(Bytes(good.begin(), good.begin() + 7), kTiffMalformed, "7 bytes");
    TiffBuilder empty;
    ExpectRejected(empty.Build(0xFFFFFFFFu), kTiffMalformed, "directory past the end");
    file = empty.Build(static_cast<int64_t>(empty.Build().size()) - 1);
    ExpectRejected(file, kTiffMalformed, "entry count cut");
    file = good;
    file.resize(file.size() - 5);  // into the last entry
    ExpectRejected(file, kTiffMalformed, "entries past the end");

    // Entries after width, height, sample sizes and photometric; kData in a
    // value field stands for the offset of the 6 pixel bytes.
    struct Raw {
        uint16_t tag, type;
        uint32_t count, field;
    };
    constexpr uint32_t kData = 0xDA7A;
    auto withEntries = [&](const std::vector<Raw>& entries, uint32_t photometric = 2) {
        TiffBuilder t;
        const uint32_t data = t.Data(pixels);
        t.Entry(256, 4, {2});
        t.Entry(257, 4, {1});
        t.Entry(258, 3, {8, 8, 8});
        t.Entry(262, 3, {photometric});
        for (const Raw& e : entries) t.RawEntry(e.tag, e.type, e.count, e.field == kData ? data : e.field);
        return t.Build();
    };
    ASSERT_NE(LoadBytes(withEntries({{273, 4, 1, kData}, {279, 4, 1, 6}})), nullptr);
    const struct {
        std::vector<Raw> entries;
        int32_t code;
        const char* what;
    } cases[] = {
        {{{273, 4, 1, kData}, {273, 4, 1, kData}, {279, 4, 1, 6}}, kTiffMalformed, "offsets twice"},
        {{{273, 3, 2, kData | kData << 16}, {279, 4, 1, 6}}, kTiffMalformed, "two offsets, one byte count"},
        {{{273, 4, 1, kData}}, kTiffMalformed, "no byte counts"},
        {{{273, 4, 1, kData}, {279, 4, 0, 6}}, kTiffMalformed, "count 0"},
        {{{273, 4, 1, kData}, {279, 9, 1, 6}}, kTiffMalformed, "byte counts of type SLONG"},
        {{{273, 4, 1, kData}, {279, 4, 3, 0xFFFFFFF0u}}, kTiffMalformed, "byte count list outside the file"},
        {{{273, 4, 0xFFFFFFFFu, 8}, {279, 4, 1, 6}}, kTiffMalformed, "a count no file could hold"},
        {{{273, 4, 1, kData}, {279, 4, 1, 0xFFFFFFFFu}}, kTiffOutsideFile, "strip past the end"},
        {{{273, 3, 2, kData | 0xFFFFu << 16}, {279, 3, 2, 6 | 1 << 16}}, kTiffOutsideFile, "strip offset past the end"},
        {{{273, 4, 1, kData}, {279, 4, 1, 0}}, kTiffOutOfMemory, "no strip bytes"},
        {{}, kTiffOutOfMemory, "no strips at all (tiles, say)"},
        {{{259, 3, 1, 5}, {273, 4, 1, kData}, {279, 4, 1, 6}}, kTiffCompressed, "LZW"},
        {{{259, 3, 0, 1}, {273, 4, 1, kData}, {279, 4, 1, 6}}, kTiffMalformed, "compression without a value"},
        {{{262, 5, 1, 2}, {273, 4, 1, kData}, {279, 4, 1, 6}}, kTiffMalformed, "photometric of type RATIONAL"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {320, 2, 768, 8}}, kTiffMalformed, "colour map of type ASCII"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {284, 3, 1, 2}}, kTiffMalformed, "one strip for three planes"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {339, 3, 1, 2}}, kTiffSignedSamples, "signed samples"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {339, 1, 3, 0x030101}}, kTiffFloatSamples, "floating-point blue"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {339, 3, 1, 4}}, kTiffUnknownSampleFormat, "untyped samples"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {339, 3, 3, 0xFFFFFFF0u}}, kTiffMalformed, "sample formats outside"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {338, 3, 1, 0}}, kTiffExtraSamples, "an extra sample"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {277, 3, 1, 4}}, kTiffExtraSamples, "four samples a pixel"},
        {{{273, 4, 1, kData}, {279, 4, 1, 6}, {322, 3, 1, 16}}, kTiffTiled, "a tile width"},
        {{{324, 4, 1, kData}, {325, 4, 1, 6}}, kTiffTiled, "tile offsets and no strips"},
    };
    for (const auto& c : cases) ExpectRejected(withEntries(c.entries), c.code, c.what);
    // A 4-bit colour map of 96 bytes that starts inside the file and ends past it.
    auto shortMap = [](uint32_t mapOffset, uint32_t count = 3 * 16) {
        TiffBuilder t;
        const uint32_t data = t.Data({1, 2});
        t.Entry(256, 4, {2});
        t.Entry(257, 4, {1});
        t.Entry(258, 3, {4});
        t.Entry(262, 3, {3});
        t.Entry(273, 4, {data});
        t.Entry(279, 4, {2});
        if (count != 0) t.RawEntry(320, 3, count, mapOffset);
        return t.Build();
    };
    const uint32_t size = static_cast<uint32_t>(shortMap(0).size());
    ASSERT_NE(LoadBytes(shortMap(size - 96)), nullptr);
    ExpectRejected(shortMap(size - 95), kTiffOutsideFile, "colour map ending past the file");
    ExpectRejected(shortMap(0xFFFFFFF0u), kTiffOutsideFile, "colour map past the file");
    ExpectRejected(shortMap(0, 0), kTiffNoColorMap, "palette without a colour map");
    ExpectRejected(shortMap(size - 96, 3 * 256), kTiffNoColorMap, "a colour map of 256 entries for 4 bits");

    // A compressed file goes on to the plug-in host.
    ExpectHandedToPlugins(folder.Write(L"lzw.tif", withEntries({{259, 3, 1, 5}, {273, 4, 1, kData}, {279, 4, 1, 6}})),
                          "LZW");
}

TEST_F(TiffReading, StripTotalsBeyondFourGigabytesFailBeforeAllocating) {
    // 65,537 strips of the same 65,536 bytes: 2^32 + 65,536 bytes joined,
    // which a 32-bit sum would take for 65,536.
    const uint32_t count = 65537;
    TiffBuilder t;
    const uint32_t data = t.Data(Bytes(65536, 1));
    t.Entry(256, 4, {256});
    t.Entry(257, 4, {256});
    t.Entry(262, 3, {1});
    t.Entry(273, 4, std::vector<uint32_t>(count, data));
    t.Entry(279, 4, std::vector<uint32_t>(count, 65536));
    const Bytes file = t.Build();
    AllocationProbe::Reset();
    ExpectRejected(file, kTiffOutOfMemory, "2^32 + 65536 bytes");
    EXPECT_EQ(AllocationProbe::Allocations(), 2 * 2) << "two lists a decode, two decodes, no joined buffer";
}

TEST_F(TiffReading, Resolution) {
    const struct {
        uint32_t xNumerator, xDenominator, yNumerator, yDenominator, unit;
        bool withY;
        int32_t x, y;
    } cases[] = {
        {72, 1, 144, 2, 2, true, 2835, 2835},
        {300, 1, 300, 3, 3, true, 30000, 10000},
        {72, 1, 72, 1, 1, true, 0, 0},
        {72, 1, 72, 0, 2, true, 0, 0},
        {72, 1, 0, 0, 2, false, 0, 0},             // no YResolution: not read from the header's bytes
        {0xFFFFFFFFu, 1, 1, 0xFFFFFFFFu, 2, true,  // the low 32 bits of the rounded value
         static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(0xFFFFFFFFu / 0.0254 + 0.5))), 0},
    };
    for (const auto& c : cases) {
        TiffBuilder t;
        const uint32_t data = t.Data({1});
        for (uint16_t tag : {256, 257, 279}) t.Entry(tag, 4, {1});
        t.Entry(262, 3, {1});
        t.Entry(273, 4, {data});
        t.Rational(282, c.xNumerator, c.xDenominator);
        if (c.withY) t.Rational(283, c.yNumerator, c.yDenominator);
        t.Entry(296, 3, {c.unit});
        DecodedImage* image = LoadBytes(t.Build());
        ASSERT_NE(image, nullptr) << c.x;
        EXPECT_EQ(image->header.biXPelsPerMeter, c.x) << c.xNumerator << "/" << c.xDenominator;
        EXPECT_EQ(image->header.biYPelsPerMeter, c.y) << c.yNumerator << "/" << c.yDenominator;
    }
    // A rational outside the file.
    TiffBuilder t;
    const uint32_t data = t.Data({1});
    for (uint16_t tag : {256, 257, 279}) t.Entry(tag, 4, {1});
    t.Entry(273, 4, {data});
    t.Entry(262, 3, {1});
    t.Rational(282, 72, 1);
    t.RawEntry(283, 5, 1, 0xFFFFFFFCu);
    DecodedImage* image = LoadBytes(t.Build());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biXPelsPerMeter, 0);
}

// Tags read by their declared type: LONG twins of a SHORT file give its
// picture and resolution in both byte orders (LONGs read as 16 bits would
// give their upper halves in a big-endian file: white is zero, no RGB).
TEST_F(TiffReading, LongTagsReadAsTheirShortTwins) {
    for (bool littleEndian : {true, false}) {
        for (uint32_t samples : {1u, 3u}) {
            Bytes twin;
            for (uint16_t type : {kTiffShort, kTiffLong}) {
                TiffBuilder t(littleEndian);
                const uint32_t data = t.Data(Pattern(6, 12));
                t.Entry(256, type, {6 / samples});
                t.Entry(257, type, {1});
                t.Entry(277, type, {samples});
                t.Entry(258, type, std::vector<uint32_t>(samples, 8));
                t.Entry(259, type, {1});
                t.Entry(262, type, {samples == 3 ? 2u : 1u});
                t.Entry(273, type, {data});
                t.Entry(279, type, {6});
                t.Rational(282, 300, 1);
                t.Rational(283, 200, 1);
                t.Entry(296, type, {3});
                const DecodedImage* image = LoadBytes(t.Build());
                ASSERT_NE(image, nullptr) << type << " " << littleEndian << " " << samples;
                EXPECT_EQ(image->header.biXPelsPerMeter, 30000);
                EXPECT_EQ(image->header.biYPelsPerMeter, 20000);
                if (twin.empty()) twin = TopDownBgr(*image);
                EXPECT_EQ(TopDownBgr(*image), twin) << type << " " << littleEndian << " " << samples;
            }
            EXPECT_EQ(twin[0], Pattern(3, 12)[samples == 1 ? 0 : 2]) << "black is zero; red first";
        }
    }
}

// Separate planes: the strips fall into red, green and blue runs, each cut
// or filled with zeros to the picture's rows. Fill order 2: each byte's
// pixels lowest bit first.
TEST_F(TiffReading, SeparatePlanesAndLowBitFirst) {
    TiffBuilder t(false);
    const uint32_t red = t.Data({1, 2, 3, 4});
    const uint32_t green = t.Data({5, 6});            // one row of two
    const uint32_t blue = t.Data({7, 8, 9, 10, 11});  // one byte more than two rows
    for (uint16_t tag : {256, 257}) t.Entry(tag, 3, {2});
    t.Entry(258, 3, {8, 8, 8});
    t.Entry(262, 3, {2});
    t.Entry(273, 4, {red, green, blue});
    t.Entry(279, 4, {4, 2, 5});
    t.Entry(284, 3, {2});
    const DecodedImage* image = LoadBytes(t.Build());
    ASSERT_NE(image, nullptr) << context.codecs.tiffReader->errorCode;
    EXPECT_EQ(TopDownBgr(*image), (Bytes{7, 5, 1, 8, 6, 2, 9, 0, 3, 10, 0, 4}));

    // The 1-bit picture of GreyAndPaletteRowsAndTheirColourTables, each byte reversed.
    TiffPicture lowFirst = Indexed(0, 10, 2, 1, {0xA5, 0x03, 0x5A, 0xFC});
    lowFirst.fillOrder = 2;
    image = LoadBytes(SimpleTiff(lowFirst));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(TopDownIndexes(*image), (Bytes{1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 1, 0, 1, 0, 0, 0}));
}

// Every prefix of a small file gives a defined result, also read from a
// buffer of exactly its size; the next-directory offset is never followed.
TEST_F(TiffReading, EveryPrefixAndALoopingDirectory) {
    TiffPicture p = Indexed(3, 5, 3, 4, Pattern(9, 6));
    for (uint32_t c = 0; c < 3 * 16; ++c) p.colorMap.push_back(c * 1000);
    Bytes whole = SimpleTiff(p);
    // Point the next-directory offset back at the directory itself.
    const uint32_t directory = whole[4] | whole[5] << 8 | whole[6] << 16 | whole[7] << 24;
    std::copy(whole.begin() + 4, whole.begin() + 8, whole.end() - 4);
    ASSERT_EQ(directory + 2 + 12 * (whole[directory] | whole[directory + 1] << 8) + 4, whole.size());
    ASSERT_NE(LoadBytes(whole), nullptr);
    for (size_t length = 0; length < whole.size(); ++length) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        const bool loaded = LoadBytes(prefix) != nullptr;
        const int32_t code = context.codecs.tiffReader->errorCode;
        if (!loaded) {
            EXPECT_TRUE(code == kTiffMalformed || code == kTiffOutsideFile || (length == 0 && code == kTiffCannotOpen))
                << length << " bytes: code " << code;
        }
        int32_t inMemory = kErrorNone;
        EXPECT_EQ(DecodeInMemory(prefix, inMemory), loaded) << length;
        if (length > 0) {
            EXPECT_EQ(inMemory, code) << length;
        }
        ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << length;
    }
}

TEST_F(TiffReading, EveryFailedAllocationLeavesNothingBehind) {
    const std::wstring path = folder.Write(L"alloc.tif", SimpleTiff(Rgb(true, 4, 3, 8, Pattern(36, 7), 2)));
    // In order: the offsets, the byte counts, the joined strips, the pixels.
    int failing = 1;
    for (;; ++failing) {
        ReleaseDecoded();
        AllocationProbe::FailAt(failing);
        const bool loaded = LoadTiff(context, path.c_str());
        AllocationProbe::Reset();
        if (failing <= 4) {
            ASSERT_FALSE(loaded) << failing;
            EXPECT_EQ(context.codecs.tiffReader->errorCode, kTiffOutOfMemory) << failing;
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << failing;
            continue;
        }
        ASSERT_TRUE(loaded) << failing;
        break;
    }
    EXPECT_EQ(failing, 5);
}

// ---- Public test files ----

namespace {

bool StartsAsTiff(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    uint8_t magic[4] = {};
    in.read(reinterpret_cast<char*>(magic), 4);
    return in.gcount() == 4 && ((magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42 && magic[3] == 0) ||
                                (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 42));
}

struct ManifestRow {
    std::string info;
    std::string verdict;
    std::string scope;
};

// The TIFF rows of a corpus's manifest, by path inside the corpus.
std::map<std::string, ManifestRow> ReadManifest(const fs::path& corpus) {
    std::map<std::string, ManifestRow> rows;
    std::ifstream in(corpus / "MANIFEST.tsv");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() >= 6 && (fields[2] == "TIFF" || fields[2] == "BigTIFF"))
            rows[fields[0]] = {fields[3], fields[4], fields[5]};
    }
    return rows;
}

// Files whose outcome differs from what their manifest row implies, and why.
const std::map<std::string, int32_t> kOutcomeByName = {
    // 65,537 rows: the height is refused before the compression is read.
    {"image-tiff-tests/tests/images/big_g4.tif", kTiffTooLarge},
};

// What the reader gives an out-of-scope file of the manifest; 0 where it
// reads the file (separate planes), which then equals libtiff's samples.
int32_t ExpectedCode(const std::string& name, const std::string& scope, const std::string& info) {
    if (const auto named = kOutcomeByName.find(name); named != kOutcomeByName.end()) return named->second;
    const std::string reason = scope.substr(scope.find(':') + 1);
    if (reason == "BigTIFF") return kTiffMalformed;  // 43, not 42
    if (info.find(" none") == std::string::npos) return kTiffCompressed;
    if (reason == "tiled") return kTiffTiled;
    if (reason == "planar RGB") return 0;
    if (reason == "sampleformat 2") return kTiffSignedSamples;
    if (reason == "sampleformat 3") return kTiffFloatSamples;
    const bool rgb = info.find(" RGB ") != std::string::npos;
    const bool index = info.find("IsZero ") != std::string::npos || info.find(" Palette ") != std::string::npos;
    const int samples = std::atoi(info.c_str() + info.find(" spp") + 4);
    if ((rgb && samples > 3) || (index && samples > 1)) return kTiffExtraSamples;
    return kTiffUnsupported;  // photometric, depth
}

// In-scope files that decode otherwise than libtiff by design: the rows
// that still agree.
const std::map<std::string, int32_t> kRowsAgreeingByName = {
    // Strip 6 is longer than its rows; joined strips are read row after row,
    // so every later row starts later than libtiff's.
    {"image-tiff-tests/tests/fuzz_images/oor_panic/id=000026,sig=06,src=000012,op=havoc,rep=2", 48},
};

#ifndef _WIN32
// libtiff's samples of the first directory as blue-green-red, top row
// first: RGB by the upper byte, grey by the ramp, palette by the upper bytes
// of the colour map.
bool ReadReference(const fs::path& file, int32_t& width, int32_t& height, Bytes& bgr) {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(file.string().c_str(), "r");
    if (tif == nullptr) return false;
    uint32_t w = 0;
    uint32_t h = 0;
    uint16_t bits = 1;
    uint16_t samples = 1;
    uint16_t photometric = 0;
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    const bool separate = planar == PLANARCONFIG_SEPARATE && samples == 3;
    uint16_t* red = nullptr;
    uint16_t* green = nullptr;
    uint16_t* blue = nullptr;
    if (photometric == PHOTOMETRIC_PALETTE) TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue);
    Bytes line(static_cast<size_t>(TIFFScanlineSize(tif)) * (separate ? 3 : 1));
    Bytes plane(separate ? line.size() / 3 : 0);
    bool read = uint64_t{w} * h <= uint64_t{kLargestTiffSide} * kLargestTiffSide;
    bgr.resize(read ? 3 * static_cast<size_t>(w) * h : 0);
    uint8_t* out = bgr.data();
    auto put = [&out](uint8_t b, uint8_t g, uint8_t r) {
        out[0] = b;
        out[1] = g;
        out[2] = r;
        out += 3;
    };
    for (uint32_t y = 0; y < h && read; ++y) {
        read = separate || TIFFReadScanline(tif, line.data(), y, 0) == 1;
        // Separate planes are read one a sample and interleaved as chunky samples.
        for (uint16_t s = 0; s < 3 && separate && read; ++s) {
            read = TIFFReadScanline(tif, plane.data(), y, s) == 1;
            const size_t size = bits / 8;
            for (size_t x = 0; x < w; ++x) memcpy(&line[(3 * x + s) * size], &plane[x * size], size);
        }
        for (uint32_t x = 0; x < w && read; ++x) {
            if (photometric == PHOTOMETRIC_RGB) {
                const int size = bits / 8;
                const uint8_t* p = line.data() + static_cast<size_t>(x) * 3 * size;
                // libtiff hands 16-bit samples over in this machine's order.
                auto upper = [&](int c) {
                    return size == 1 ? p[c] : static_cast<uint8_t>(reinterpret_cast<const uint16_t*>(p)[c] >> 8);
                };
                put(upper(2), upper(1), upper(0));
                continue;
            }
            const int perByte = 8 / bits;
            const int shift = 8 - bits * (1 + static_cast<int>(x) % perByte);
            const int v = (line[x / perByte] >> shift) & ((1 << bits) - 1);
            if (photometric == PHOTOMETRIC_PALETTE) {
                put(uint8_t(blue[v] >> 8), uint8_t(green[v] >> 8), uint8_t(red[v] >> 8));
            } else {
                const int level = v * 255 / ((1 << bits) - 1);
                const uint8_t g = static_cast<uint8_t>(photometric == PHOTOMETRIC_MINISWHITE ? 255 - level : level);
                put(g, g, g);
            }
        }
    }
    TIFFClose(tif);
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return read;
}

// For files without a manifest row: uncompressed chunky strips of a layout
// the reader reads, as libtiff sees the first directory.
bool InScopeByLibtiff(const fs::path& file) {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    TIFF* tif = TIFFOpen(file.string().c_str(), "r");
    if (tif == nullptr) return false;
    uint16_t compression = 0, photometric = 99, bits = 1, samples = 1, format = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    const bool index = (photometric <= PHOTOMETRIC_PALETTE && photometric != PHOTOMETRIC_RGB) && samples == 1 &&
                       (bits == 1 || bits == 4 || bits == 8);
    const bool rgb = photometric == PHOTOMETRIC_RGB && samples == 3 && (bits == 8 || bits == 16);
    const bool in =
        compression == COMPRESSION_NONE && !TIFFIsTiled(tif) && format == SAMPLEFORMAT_UINT && (index || rgb);
    TIFFClose(tif);
    return in;
}
#endif

}  // namespace

// Every TIFF of the conformance corpora, as their manifests scope it: files
// in scope decode to libtiff's samples, files out of scope fail with their
// code and go on to the plug-ins, broken files give a defined result.
TEST_F(TiffReading, PublicTiffFiles) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    const char* corpora[] = {"libtiff-test-images", "image-tiff-tests", "derived-uncompressed-tiff",
                             "zigimg-test-suite", "golang-image-testdata"};
    int matched = 0;
    int readOutOfScope = 0;  // separate planes
    int rejected = 0;
    int broken = 0;
    std::vector<uint32_t> digests;  // of every in-scope picture, for one digest that both builds must reproduce
    for (const char* corpus : corpora) {
        for (const auto& [path, row] : ReadManifest(root / corpus)) {
            const fs::path file = root / corpus / path;
            const std::string name = std::string(corpus) + "/" + path;
            DecodedImage* image = LoadFile(file.wstring());
            const int32_t code = context.codecs.tiffReader->errorCode;
            if (row.verdict.rfind("broken", 0) == 0) {
                // Defined, and the same from a buffer of exactly the file's size.
                ++broken;
                EXPECT_EQ(image == nullptr, code != kErrorNone) << name;
                ReleaseDecoded();
                int32_t inMemory = kErrorNone;
                EXPECT_EQ(DecodeInMemory(ReadWholeFile(file.wstring()), inMemory), code == kErrorNone) << name;
                EXPECT_EQ(inMemory, code) << name;
                continue;
            }
            const int32_t expected = row.scope == "in" ? 0 : ExpectedCode(name, row.scope, row.info);
            if (expected == 0) {
                ASSERT_NE(image, nullptr) << name << " (" << row.scope << "): error " << code;
                Bytes actual = TopDownBgr(*image);
                if (row.scope == "in") {
                    ++matched;
                    digests.push_back(Digest(actual.data(), actual.size()));
                } else {
                    ++readOutOfScope;
                }
#ifndef _WIN32
                int32_t width = 0;
                int32_t height = 0;
                Bytes expected;
                ASSERT_TRUE(ReadReference(file, width, height, expected)) << name;
                ASSERT_EQ(image->header.biWidth, width) << name;
                ASSERT_EQ(image->header.biHeight, height) << name;
                if (const auto rows = kRowsAgreeingByName.find(name); rows != kRowsAgreeingByName.end()) {
                    const size_t agreeing = 3 * static_cast<size_t>(width) * rows->second;
                    EXPECT_FALSE(actual == expected) << name;
                    actual.resize(agreeing);
                    expected.resize(agreeing);
                }
                EXPECT_TRUE(actual == expected) << name << " differs from libtiff's samples";
#endif
                continue;
            }
            ++rejected;
            EXPECT_EQ(image, nullptr) << name;
            EXPECT_EQ(code, expected) << name << " (" << row.scope << ")";
            EXPECT_NE(TiffErrorText(code), nullptr) << name;
            if (row.scope != "out:BigTIFF") ExpectHandedToPlugins(file.wstring(), name);
        }
    }
    EXPECT_EQ(matched, 65);
    EXPECT_EQ(readOutOfScope, 2);
    // The pictures the native build checked against libtiff; the Windows
    // build (real file mapping) must see the same ones.
    EXPECT_EQ(Digest(reinterpret_cast<const uint8_t*>(digests.data()), 4 * digests.size()), 3564850799u);
    std::printf(
        "TIFF corpora: %d in scope and %d out of scope decoded (compared with libtiff on the native build), %d "
        "rejected, %d broken files\n",
        matched, readOutOfScope, rejected, broken);
}

namespace {
// Files of the other corpora that the reader reads otherwise than libtiff by
// design, with the reader's code for them (0: decodes).
const std::map<std::string, int32_t> kOtherDifferences = {
    // Four sample sizes for three samples: declined as an extra sample.
    {"pillow-tests/Tests/images/tiff_wrong_bits_per_sample_2.tiff", kTiffExtraSamples},
};
}  // namespace

// TIFF files of the other corpora (regression, fuzz and broken files among
// them): a defined result, the same from a buffer of exactly the file's
// size; what decodes and libtiff reads as in scope equals libtiff's samples.
TEST_F(TiffReading, OtherTiffFilesGiveDefinedResults) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    int decoded = 0;
    int compared = 0;
    int failed = 0;
    int differences = 0;
    for (const char* corpus : {"pillow-tests", "gdk-pixbuf-tests", "libgd-tests", "image-rs-tests", "wuffs-testdata"}) {
        std::vector<fs::path> files;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(root / corpus, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->is_regular_file(error) && StartsAsTiff(it->path())) files.push_back(it->path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            DecodedImage* image = LoadFile(file.wstring());
            const int32_t code = context.codecs.tiffReader->errorCode;
            EXPECT_EQ(image == nullptr, code != kErrorNone) << file;
            const auto known = kOtherDifferences.find(fs::relative(file, root).generic_string());
            if (known != kOtherDifferences.end()) {
                EXPECT_EQ(code, known->second) << file;
                ++differences;
            }
#ifndef _WIN32
            const bool in = known == kOtherDifferences.end() && InScopeByLibtiff(file);
            int32_t width = 0;
            int32_t height = 0;
            Bytes expected;
            if (in && ReadReference(file, width, height, expected)) {
                ASSERT_NE(image, nullptr) << file << ": error " << code;
                ASSERT_EQ(image->header.biWidth, width) << file;
                ASSERT_EQ(image->header.biHeight, height) << file;
                EXPECT_TRUE(TopDownBgr(*image) == expected) << file << " differs from libtiff's samples";
                ++compared;
            }
#endif
            image != nullptr ? ++decoded : ++failed;
            ReleaseDecoded();
            int32_t inMemory = kErrorNone;
            EXPECT_EQ(DecodeInMemory(ReadWholeFile(file.wstring()), inMemory), code == kErrorNone) << file;
            EXPECT_EQ(inMemory, code) << file;
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << file;
        }
    }
    EXPECT_EQ(differences, static_cast<int>(kOtherDifferences.size()));
    std::printf("other TIFF files: %d decoded (%d compared with libtiff), %d failed\n", decoded, compared, failed);
}
