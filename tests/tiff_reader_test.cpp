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
    ExpectRejected(SimpleTiff(Rgb(true, 25001, 1, 8, row)), kTiffUnsupported, "25001 wide");
    ExpectRejected(SimpleTiff(Rgb(true, 1, 25001, 8, row)), kTiffUnsupported, "25001 high");
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
                       t.ShortEntry(257, 1, 1, 2);
                   }),
                   kTiffMalformed, "height of type BYTE");
    ExpectRejected(grey([](TiffBuilder& t) { t.Entry(256, 3, {2}); }), kTiffMalformed, "no height");

    // Count 4 (an extra sample) sets no depth: RGB needs three samples.
    TiffPicture rgba = Rgb(true, 2, 1, 8, Pattern(8, 3));
    rgba.bitsPerSample = {8, 8, 8, 8};
    ExpectRejected(SimpleTiff(rgba), kTiffUnsupported, "RGB with alpha");
    // Count 2 sets no depth either: grey with an extra sample reads as 1-bit.
    TiffPicture extra = Indexed(1, 8, 1, 8, {0x81, 0x7F});
    extra.bitsPerSample = {8, 8};
    image = LoadBytes(SimpleTiff(extra));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->fileBitCount, 1);
    EXPECT_EQ(TopDownIndexes(*image), (Bytes{1, 0, 0, 0, 0, 0, 0, 1}));
    // The triple must be equal, 8 or 16, and inside the file.
    for (const std::vector<uint32_t>& sizes : {std::vector<uint32_t>{8, 8, 16}, {12, 12, 12}, {4, 4, 4}}) {
        TiffPicture odd = Rgb(true, 1, 1, 8, Pattern(6, 4));
        odd.bitsPerSample = sizes;
        ExpectRejected(SimpleTiff(odd), kTiffMalformed,
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
        {{{273, 4, 1, kData}, {279, 1, 1, 6}}, kTiffMalformed, "byte counts of type BYTE"},
        {{{273, 4, 1, kData}, {279, 4, 3, 0xFFFFFFF0u}}, kTiffMalformed, "byte count list outside the file"},
        {{{273, 4, 0xFFFFFFFFu, 8}, {279, 4, 1, 6}}, kTiffMalformed, "a count no file could hold"},
        {{{273, 4, 1, kData}, {279, 4, 1, 0xFFFFFFFFu}}, kTiffOutsideFile, "strip past the end"},
        {{{273, 3, 2, kData | 0xFFFFu << 16}, {279, 3, 2, 6 | 1 << 16}}, kTiffOutsideFile, "strip offset past the end"},
        {{{273, 4, 1, kData}, {279, 4, 1, 0}}, kTiffOutOfMemory, "no strip bytes"},
        {{}, kTiffOutOfMemory, "no strips at all (tiles, say)"},
        {{{259, 3, 1, 5}, {273, 4, 1, kData}, {279, 4, 1, 6}}, kTiffUnsupported, "LZW"},
    };
    for (const auto& c : cases) ExpectRejected(withEntries(c.entries), c.code, c.what);
    ExpectRejected(withEntries({{273, 4, 1, kData}, {279, 4, 1, 6}}, 3), kTiffUnsupported,
                   "palette without a colour map");

    // A 4-bit colour map of 96 bytes that starts inside the file and ends past it.
    auto shortMap = [](uint32_t mapOffset) {
        TiffBuilder t;
        const uint32_t data = t.Data({1, 2});
        t.Entry(256, 4, {2});
        t.Entry(257, 4, {1});
        t.Entry(258, 3, {4});
        t.Entry(262, 3, {3});
        t.Entry(273, 4, {data});
        t.Entry(279, 4, {2});
        t.RawEntry(320, 3, 3 * 16, mapOffset);
        return t.Build();
    };
    const uint32_t size = static_cast<uint32_t>(shortMap(0).size());
    ASSERT_NE(LoadBytes(shortMap(size - 96)), nullptr);
    ExpectRejected(shortMap(size - 95), kTiffOutsideFile, "colour map ending past the file");
    ExpectRejected(shortMap(0xFFFFFFF0u), kTiffOutsideFile, "colour map past the file");

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

// Three sample sizes that are not all 8 or all 16: that entry fails (6)
// before any later one is looked at.
bool UnreadSampleSizes(const std::string& info) {
    const size_t at = info.find(" bps");
    if (at == std::string::npos) return false;
    std::stringstream sizes(info.substr(at + 4, info.find(' ', at + 1) - at - 4));
    std::vector<std::string> values;
    for (std::string value; std::getline(sizes, value, '/');) values.push_back(value);
    return values.size() == 3 &&
           !(values[0] == values[1] && values[1] == values[2] && (values[0] == "8" || values[0] == "16"));
}

// Files whose outcome differs from what their manifest row implies, and why.
const std::map<std::string, int32_t> kOutcomeByName = {
    // Two samples: a sample-size entry of count 2 sets no depth, so 1-bit grey.
    {"image-tiff-tests/tests/images/extra_bits_gray_8b.tiff", 0},
    // A sample-size entry of count 5 sets no depth either: 1-bit grey.
    {"image-tiff-tests/tests/geotiff/geo-5b.tif", 0},
    // Tiled, but 16-bit grey: refused before the (missing) strips are looked for.
    {"image-tiff-tests/tests/images/seq/seq-1c-16b-tiled-68f373a0.tiff", kTiffUnsupported},
    // Tiled, with the tiles' offsets and sizes in the strip tags: read as strips.
    {"image-tiff-tests/tests/libtiffpic/cramps-tile.tif", 0},
};

// What the reader gives an out-of-scope file of the manifest; 0 where the
// file decodes by design.
int32_t ExpectedCode(const std::string& name, const std::string& scope, const std::string& info) {
    if (const auto named = kOutcomeByName.find(name); named != kOutcomeByName.end()) return named->second;
    const std::string reason = scope.substr(scope.find(':') + 1);
    if (reason == "BigTIFF") return kTiffMalformed;  // 43, not 42
    if (UnreadSampleSizes(info)) return kTiffMalformed;
    if (info.find(" none") == std::string::npos) return kTiffUnsupported;  // compressed
    if (reason == "tiled") return kTiffOutOfMemory;                        // no strip lists: nothing to join
    if (reason == "planar RGB") return 0;                                  // read as if chunky
    // The sample format is not read: signed samples are taken as unsigned,
    // and grey deeper than 8 bits is refused as ever.
    if (reason == "sampleformat 2")
        return info.find(" RGB ") != std::string::npos || info.find(" bps8") != std::string::npos ? 0
                                                                                                  : kTiffUnsupported;
    return kTiffUnsupported;  // photometric, depth, an extra sample
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
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    uint16_t* red = nullptr;
    uint16_t* green = nullptr;
    uint16_t* blue = nullptr;
    if (photometric == PHOTOMETRIC_PALETTE) TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue);
    Bytes line(static_cast<size_t>(TIFFScanlineSize(tif)));
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
        read = TIFFReadScanline(tif, line.data(), y, 0) == 1;
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
    uint16_t compression = 0, photometric = 99, bits = 1, samples = 1, planar = 1, format = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    const bool index = (photometric <= PHOTOMETRIC_PALETTE && photometric != PHOTOMETRIC_RGB) && samples == 1 &&
                       (bits == 1 || bits == 4 || bits == 8);
    const bool rgb = photometric == PHOTOMETRIC_RGB && samples == 3 && (bits == 8 || bits == 16);
    const bool in = compression == COMPRESSION_NONE && !TIFFIsTiled(tif) &&
                    (planar == PLANARCONFIG_CONTIG || samples == 1) && format == SAMPLEFORMAT_UINT && (index || rgb);
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
            if (row.scope == "in") {
                ASSERT_NE(image, nullptr) << name << ": error " << code;
                ++matched;
                Bytes actual = TopDownBgr(*image);
                digests.push_back(Digest(actual.data(), actual.size()));
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
            const int32_t expected = ExpectedCode(name, row.scope, row.info);
            if (expected == 0) {
                EXPECT_NE(image, nullptr) << name << " (" << row.scope << "): error " << code;
                continue;
            }
            ++rejected;
            EXPECT_EQ(image, nullptr) << name;
            EXPECT_EQ(code, expected) << name << " (" << row.scope << ")";
            if (row.scope != "out:BigTIFF") ExpectHandedToPlugins(file.wstring(), name);
        }
    }
    EXPECT_EQ(matched, 65);
    // The pictures the native build checked against libtiff; the Windows
    // build (real file mapping) must see the same ones.
    EXPECT_EQ(Digest(reinterpret_cast<const uint8_t*>(digests.data()), 4 * digests.size()), 3564850799u);
    std::printf(
        "TIFF corpora: %d in scope decoded (compared with libtiff on the native build), %d rejected, %d broken "
        "files\n",
        matched, rejected, broken);
}

namespace {
// Files of the other corpora that the reader reads otherwise than libtiff by
// design, with the reader's code for them (0: decodes).
const std::map<std::string, int32_t> kOtherDifferences = {
    // Fill order 2 (lowest bit first) is not read: the bits are taken high first.
    {"pillow-tests/Tests/images/tiff_gray_2_4_bpp/hopper4IR.tif", 0},
    {"pillow-tests/Tests/images/tiff_gray_2_4_bpp/hopper4R.tif", 0},
    // Four sample sizes for three samples: that entry sets no depth, so no RGB.
    {"pillow-tests/Tests/images/tiff_wrong_bits_per_sample_2.tiff", kTiffUnsupported},
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
