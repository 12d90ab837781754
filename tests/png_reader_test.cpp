// The PNG reader: every format and filter, interlacing, gamma, transparency,
// the chunk rules with their error codes, broken streams, truncation and
// allocation failures, and the public PNG suite against libpng.
#include "support/test_context.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "codecs/readers/mapped_file.h"
#include "codecs/readers/png_reader.h"
#include "support/corpus_path.h"
#include "support/png_builder.h"
#include "support/reader_fixture.h"
#include "support/temp_folder.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#ifndef _WIN32
#include <png.h>
#endif

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Header(uint32_t width, uint32_t height, int depth, int type, int interlace = 0) {
    return Cat({PngSignature(), PngChunk("IHDR", IhdrData(width, height, depth, type, interlace))});
}

Bytes Idat(const Bytes& filteredRows) { return PngChunk("IDAT", Deflated(filteredRows)); }
Bytes Iend() { return PngChunk("IEND", {}); }
Bytes U32(uint32_t v) {
    Bytes b;
    PushU32BE(b, v);
    return b;
}

// A palette of `count` entries (r, g, b) = (i, 255 - i, 3i).
Bytes Plte(int count) {
    Bytes data;
    for (int i = 0; i < count; ++i) data.insert(data.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(3 * i)});
    return PngChunk("PLTE", data);
}

// Pixel (x, y) of the picture, counted from its top, as blue-green-red.
struct Colour {
    uint8_t b, g, r;
    bool operator==(const Colour&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Colour& c) {
    return out << "(b " << int(c.b) << ", g " << int(c.g) << ", r " << int(c.r) << ")";
}

int32_t StrideOf(const DecodedImage& image) { return ((image.header.biWidth * image.header.biBitCount + 31) / 32) * 4; }

const uint8_t* PixelAt(const DecodedImage& image, int32_t x, int32_t y) {
    const int32_t row = image.header.biHeight - 1 - y;
    return image.pixels + static_cast<size_t>(row) * StrideOf(image) + x * (image.header.biBitCount / 8);
}

Colour ColourAt(const DecodedImage& image, int32_t x, int32_t y) {
    const uint8_t* p = PixelAt(image, x, y);
    if (image.header.biBitCount == 8) {
        const RGBQUAD& e = image.palette[*p];
        return {e.rgbBlue, e.rgbGreen, e.rgbRed};
    }
    return {p[0], p[1], p[2]};
}

// Top-down blue-green-red bytes of the whole picture.
Bytes TopDownBgr(const DecodedImage& image) {
    Bytes out;
    for (int32_t y = 0; y < image.header.biHeight; ++y)
        for (int32_t x = 0; x < image.header.biWidth; ++x) {
            const Colour c = ColourAt(image, x, y);
            out.insert(out.end(), {c.b, c.g, c.r});
        }
    return out;
}

struct Picture {
    BITMAPINFOHEADER header;
    Bytes palette;
    Bytes pixels;
    int32_t fileBitCount;
    bool operator==(const Picture& o) const {
        return memcmp(&header, &o.header, sizeof header) == 0 && palette == o.palette && pixels == o.pixels &&
               fileBitCount == o.fileBitCount;
    }
};

Picture Capture(const DecodedImage& image) {
    const auto* palette = reinterpret_cast<const uint8_t*>(image.palette);
    return {image.header, Bytes(palette, palette + sizeof image.palette),
            Bytes(image.pixels, image.pixels + static_cast<size_t>(StrideOf(image)) * image.header.biHeight),
            image.fileBitCount};
}

uint8_t Blend(int x, int y) { return context.codecs.fitting.workspace->blend[x][y]; }

// The reader's gamma table, from the rule it follows.
std::vector<uint8_t> GammaTable(uint32_t fileGamma) {
    std::vector<uint8_t> table(256, 0);
    const double exponent = 1.0 / ((fileGamma / 100000000.0) * 2200);
    for (int i = 1; i < 256; ++i) table[i] = static_cast<uint8_t>(std::pow(i / 255.0, exponent) * 255.0 + 0.5);
    return table;
}

// Deterministic sample bytes that exercise every filter.
uint8_t Noise(int32_t x, int32_t y, int byte) {
    uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u ^ static_cast<uint32_t>(byte) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    // Smooth parts as well as noise, so that averages and Paeth take every branch.
    return (x + y) % 3 == 0 ? static_cast<uint8_t>(x * 9 + y * 5 + byte * 40) : static_cast<uint8_t>(h);
}

int filterShift = 0;
int FilterOfRow(int row) { return (row + filterShift) % 5; }

struct Format {
    int depth;
    int type;
};
constexpr Format kFormats[] = {{1, 0}, {2, 0}, {4, 0}, {8, 0}, {16, 0}, {1, 3}, {2, 3}, {4, 3}, {8, 3},
                               {8, 2}, {16, 2}, {8, 4}, {16, 4}, {8, 6}, {16, 6}};

std::string Describe(const Format& f) { return "depth " + std::to_string(f.depth) + ", type " + std::to_string(f.type); }

// What the reader must deliver for pixel (x, y) of a Noise picture without
// gAMA or tRNS: the high byte of each sample, alpha composited onto white.
Colour ExpectedNoise(const Format& f, int32_t x, int32_t y) {
    const int wide = f.depth == 16 ? 2 : 1;
    auto sample = [&](int channel) { return Noise(x, y, channel * wide); };
    switch (f.type) {
        case 0: {
            const int steps[] = {0, 255, 85, 0, 17};
            const int v = f.depth < 8 ? (sample(0) & ((1 << f.depth) - 1)) * steps[f.depth] : sample(0);
            return {uint8_t(v), uint8_t(v), uint8_t(v)};
        }
        case 3: {
            const int i = f.depth < 8 ? sample(0) & ((1 << f.depth) - 1) : sample(0);
            return {uint8_t(3 * i), uint8_t(255 - i), uint8_t(i)};
        }
        case 2: return {sample(2), sample(1), sample(0)};
        case 4: {
            const int a = sample(1);
            const uint8_t v = static_cast<uint8_t>(Blend(sample(0), a) + Blend(255, 255 - a));
            return {v, v, v};
        }
        default: {
            const int a = sample(3);
            auto mix = [&](int c) { return static_cast<uint8_t>(Blend(a, sample(c)) + Blend(255 - a, 255)); };
            return {mix(2), mix(1), mix(0)};
        }
    }
}

Bytes NoisePng(const Format& f, int32_t w, int32_t h, bool interlaced, int (*filterOf)(int)) {
    const Bytes rows = FilteredImage(w, h, f.depth, f.type, interlaced, filterOf, Noise);
    return Cat({Header(w, h, f.depth, f.type, interlaced ? 1 : 0), f.type == 3 ? Plte(1 << std::min(f.depth, 8)) : Bytes{},
                Idat(rows), Iend()});
}

class PngReading : public ReaderTest {
protected:
    DecodedImage* LoadBytes(const Bytes& bytes) {
        ReleaseDecoded();
        return LoadFile(folder.Write(L"picture.png", bytes));
    }
    DecodedImage* LoadFile(const std::wstring& path) {
        return LoadWith(LoadPng, path);
    }
    bool DecodeInMemory(const Bytes& bytes, int32_t& code) {
        return ReaderTest::DecodeInMemory(*context.codecs.pngReader, bytes, code, [](PngReader& reader) {
            reader.blendTable = &context.codecs.fitting.workspace->blend[0][0];
            reader.displayGamma = 2200;
        });
    }
    void ExpectRejected(const Bytes& bytes, int32_t code, const std::string& what) {
        EXPECT_EQ(LoadBytes(bytes), nullptr) << what;
        EXPECT_EQ(context.codecs.pngReader->errorCode, code) << what;
    }
};

}  // namespace

TEST_F(PngReading, OnePixelRgb) {
    DecodedImage* image = LoadBytes(Cat({Header(1, 1, 8, 2), Idat({0, 10, 20, 30}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image, &context.codecs.pngReader->image);
    EXPECT_EQ(image->header.biSize, 40u);
    EXPECT_EQ(image->header.biWidth, 1);
    EXPECT_EQ(image->header.biHeight, 1);
    EXPECT_EQ(image->header.biBitCount, 24);
    EXPECT_EQ(image->header.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(image->header.biXPelsPerMeter, 0);
    EXPECT_EQ(StrideOf(*image), 4);
    EXPECT_EQ(image->fileBitCount, 24);
    EXPECT_EQ(image->sourceFormat, kFormatPng);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 4), (Bytes{30, 20, 10, 0}));
    EXPECT_EQ(context.codecs.pngReader->errorCode, kErrorNone);
    EXPECT_EQ(context.codecs.pngReader->inputView, nullptr) << "the mapping stays after the load";
    EXPECT_EQ(context.codecs.pngReader->inputFile, INVALID_HANDLE_VALUE);
}

// Every format, every filter on first and later rows, both layouts of the
// rows: the reader undoes what the format's filters did.
TEST_F(PngReading, EveryFormatAndFilterDecodesToItsSamples) {
    for (const Format& f : kFormats) {
        for (bool interlaced : {false, true}) {
            for (int shift = 0; shift < 5; ++shift) {
                filterShift = shift;
                const int32_t w = 13;
                const int32_t h = 7;
                DecodedImage* image = LoadBytes(NoisePng(f, w, h, interlaced, FilterOfRow));
                const std::string what = Describe(f) + (interlaced ? ", interlaced" : "") + ", shift " + std::to_string(shift);
                ASSERT_NE(image, nullptr) << what << ", error " << context.codecs.pngReader->errorCode;
                EXPECT_EQ(image->header.biBitCount, f.type == 2 || f.type == 6 ? 24 : 8) << what;
                EXPECT_EQ(image->fileBitCount, f.type == 2 || f.type == 6 ? 3 * f.depth : f.depth) << what;
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x)
                        ASSERT_EQ(ColourAt(*image, x, y), ExpectedNoise(f, x, y)) << what << " at " << x << ", " << y;
            }
        }
    }
}

TEST_F(PngReading, InterlacedPicturesOfEverySmallSizeMatchTheirPlainCopies) {
    for (const Format& f : {Format{1, 0}, Format{4, 3}, Format{8, 2}, Format{16, 6}}) {
        for (int32_t w = 1; w <= 10; ++w) {
            for (int32_t h = 1; h <= 10; ++h) {
                DecodedImage* plain = LoadBytes(NoisePng(f, w, h, false, FilterOfRow));
                ASSERT_NE(plain, nullptr);
                const Picture expected = Capture(*plain);
                DecodedImage* interlaced = LoadBytes(NoisePng(f, w, h, true, FilterOfRow));
                ASSERT_NE(interlaced, nullptr) << Describe(f) << ", " << w << " x " << h;
                ASSERT_TRUE(Capture(*interlaced) == expected) << Describe(f) << ", " << w << " x " << h;
            }
        }
    }
    // 1 x 1 interlaced: pass 1 alone holds the pixel, the stream has one row.
    DecodedImage* image = LoadBytes(Cat({Header(1, 1, 8, 2, 1), Idat({0, 1, 2, 3}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 3), (Bytes{3, 2, 1}));
}

TEST_F(PngReading, SixteenBitSamplesKeepTheirHighBytes) {
    // Two pixels: (0x1234, 0x5678, 0x9ABC) and (0xFF00, 0x00FF, 0x8080), filter Sub
    // on the second row so that only high bytes need reconstructing.
    const Bytes raw = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xFF, 0x00, 0x00, 0xFF, 0x80, 0x80};
    const Bytes rows = Cat({FilterRow(0, raw, {}, 6), FilterRow(1, raw, raw, 6)});
    DecodedImage* image = LoadBytes(Cat({Header(2, 2, 16, 2), Idat(rows), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->fileBitCount, 48);
    EXPECT_EQ(image->header.biBitCount, 24);
    for (int32_t y = 0; y < 2; ++y) {
        EXPECT_EQ(ColourAt(*image, 0, y), (Colour{0x9A, 0x56, 0x12}));
        EXPECT_EQ(ColourAt(*image, 1, y), (Colour{0x80, 0x00, 0xFF}));
    }
}

TEST_F(PngReading, LowDepthGreyRowsAndTheirRamps) {
    // 10 pixels of 1 bit: two data bytes a row, the second giving 2 pixels.
    DecodedImage* image = LoadBytes(Cat({Header(10, 1, 1, 0), Idat({0, 0xA5, 0xC0}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 12), (Bytes{1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0}));
    EXPECT_EQ(image->palette[0].rgbRed, 0);
    EXPECT_EQ(image->palette[1].rgbRed, 255);
    EXPECT_EQ(image->palette[1].rgbBlue, 255);
    EXPECT_EQ(image->palette[2].rgbRed, 0);
    EXPECT_EQ(image->fileBitCount, 1);

    // 2-bit ramp 0, 85, 170, 255; with tRNS grey 1 entry 1 turns white.
    const Bytes twoBit = Cat({Header(4, 1, 2, 0)});
    const Bytes row = Idat({0, 0x1B});  // 0, 1, 2, 3
    image = LoadBytes(Cat({twoBit, row, Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 4), (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{85, 85, 85}));
    EXPECT_EQ(ColourAt(*image, 2, 0), (Colour{170, 170, 170}));
    EXPECT_EQ(image->palette[4].rgbRed, 0);
    image = LoadBytes(Cat({twoBit, PngChunk("tRNS", {0, 1}), row, Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{0, 0, 0}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{255, 255, 255}));
    EXPECT_EQ(ColourAt(*image, 2, 0), (Colour{170, 170, 170}));
    image = LoadBytes(Cat({twoBit, PngChunk("tRNS", {0, 0}), row, Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{255, 255, 255}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{85, 85, 85}));

    // 4-bit ramp steps of 17.
    image = LoadBytes(Cat({Header(3, 1, 4, 0), Idat({0, 0x0F, 0x70}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 3), (Bytes{0, 15, 7}));
    EXPECT_EQ(image->palette[15].rgbGreen, 255);
    EXPECT_EQ(image->palette[7].rgbGreen, 119);
    EXPECT_EQ(image->palette[16].rgbGreen, 0);
}

TEST_F(PngReading, AlphaIsCompositedOntoWhite) {
    const Bytes rows = {0, 10, 20, 30, 0, 10, 20, 30, 255, 10, 20, 30, 128};
    DecodedImage* image = LoadBytes(Cat({Header(3, 1, 8, 6), Idat(rows), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{255, 255, 255}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{30, 20, 10}));
    EXPECT_EQ(ColourAt(*image, 2, 0), (Colour{uint8_t(Blend(128, 30) + Blend(127, 255)), uint8_t(Blend(128, 20) + Blend(127, 255)),
                                              uint8_t(Blend(128, 10) + Blend(127, 255))}));
    EXPECT_EQ(image->fileBitCount, 24);

    // Grey and alpha: the index itself is blended; the ramp stays.
    image = LoadBytes(Cat({Header(3, 1, 8, 4), Idat({0, 100, 0, 100, 255, 100, 64}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 3), (Bytes{255, 100, uint8_t(Blend(100, 64) + Blend(255, 191))}));
    EXPECT_EQ(image->fileBitCount, 8);
}

TEST_F(PngReading, PaletteTransparency) {
    // Four entries, three alpha values: the fourth entry keeps its colour.
    const Bytes file = Cat({Header(4, 1, 2, 3), Plte(4), PngChunk("tRNS", {0, 255, 128}), Idat({0, 0x1B}), Iend()});
    DecodedImage* image = LoadBytes(file);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{255, 255, 255}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{3, 254, 1}));
    EXPECT_EQ(ColourAt(*image, 2, 0), (Colour{uint8_t(Blend(128, 6) + Blend(127, 255)), uint8_t(Blend(128, 253) + Blend(127, 255)),
                                              uint8_t(Blend(128, 2) + Blend(127, 255))}));
    EXPECT_EQ(ColourAt(*image, 3, 0), (Colour{9, 252, 3}));
    // More alpha values than palette entries: tRNS is ignored.
    image = LoadBytes(Cat({Header(4, 1, 2, 3), Plte(2), PngChunk("tRNS", {0, 0, 0}), Idat({0, 0x1B}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{0, 255, 0}));
    EXPECT_FALSE(context.codecs.pngReader->sawTRNS);
    // tRNS before PLTE is not taken either.
    image = LoadBytes(Cat({Header(4, 1, 2, 3), PngChunk("tRNS", {0}), Plte(4), Idat({0, 0x1B}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{0, 255, 0}));
    // Indices beyond the palette meet zero entries; a long PLTE is cut at 2^depth.
    image = LoadBytes(Cat({Header(4, 1, 2, 3), Plte(9), Idat({0, 0x1B}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(context.codecs.pngReader->paletteCount, 4);
    EXPECT_EQ(image->palette[4].rgbGreen, 0);
}

TEST_F(PngReading, RgbColourKey) {
    const Bytes rows = {0, 1, 2, 3, 1, 2, 4};
    DecodedImage* image = LoadBytes(Cat({Header(2, 1, 8, 2), PngChunk("tRNS", {0, 1, 0, 2, 0, 3}), Idat(rows), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{255, 255, 255}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{4, 2, 1}));
    // 16 bits: the key's high bytes against the pixels' high bytes.
    const Bytes wide = {0, 1, 9, 2, 9, 3, 9, 1, 9, 2, 9, 4, 9};
    image = LoadBytes(Cat({Header(2, 1, 16, 2), PngChunk("tRNS", {1, 0, 2, 0, 3, 0}), Idat(wide), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{255, 255, 255}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{4, 2, 1}));
    // A key of the wrong length is ignored.
    image = LoadBytes(Cat({Header(2, 1, 8, 2), PngChunk("tRNS", {0, 1, 0, 2}), Idat(rows), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{3, 2, 1}));
}

TEST_F(PngReading, GammaCorrection) {
    const Bytes grey = Header(3, 1, 8, 0);
    const Bytes row = Idat({0, 0, 128, 255});
    auto withGamma = [&](uint32_t gamma) { return Cat({grey, PngChunk("gAMA", U32(gamma)), row, Iend()}); };
    DecodedImage* image = LoadBytes(withGamma(100000));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{186, 186, 186}));
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{0, 0, 0}));
    EXPECT_EQ(ColourAt(*image, 2, 0), (Colour{255, 255, 255}));
    image = LoadBytes(withGamma(50000));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{136, 136, 136}));
    image = LoadBytes(withGamma(45455));
    ASSERT_NE(image, nullptr);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(image->palette[i].rgbGreen, i);

    // 24 bits: every byte corrected.
    image = LoadBytes(Cat({Header(1, 1, 8, 2), PngChunk("gAMA", U32(100000)), Idat({0, 128, 64, 0}), Iend()}));
    ASSERT_NE(image, nullptr);
    const std::vector<uint8_t> g = GammaTable(100000);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{0, g[64], 186}));

    // Ignored: a bad CRC, a zero value, a wrong length, after PLTE, a second gAMA.
    const Bytes ignored[] = {
        Cat({grey, PngChunk("gAMA", U32(100000), 1), row, Iend()}),
        Cat({grey, PngChunk("gAMA", U32(0)), row, Iend()}),
        Cat({grey, PngChunk("gAMA", U32(0x80000000u)), row, Iend()}),
        Cat({grey, PngChunk("gAMA", {0, 1, 0x86, 0xA0, 0}), row, Iend()}),
        Cat({Header(3, 1, 8, 3), Plte(256), PngChunk("gAMA", U32(100000)), row, Iend()}),
        Cat({grey, row, PngChunk("gAMA", U32(100000)), Iend()}),
    };
    for (const Bytes& file : ignored) {
        image = LoadBytes(file);
        ASSERT_NE(image, nullptr);
        EXPECT_FALSE(context.codecs.pngReader->sawGAMA);
        EXPECT_EQ(*PixelAt(*image, 1, 0), 128);
        EXPECT_NE(ColourAt(*image, 1, 0).g, 186);
    }
    image = LoadBytes(Cat({grey, PngChunk("gAMA", U32(50000)), PngChunk("gAMA", U32(100000)), row, Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 1, 0).g, 136) << "the first gAMA counts";
}

// The key names colours of the file: it is compared before the pixels are
// corrected, so gamma cannot make transparent pixels visible.
TEST_F(PngReading, ColourKeyWithGamma) {
    const Bytes rows = {0, 128, 128, 128, 0, 0, 0, 64, 64, 64};
    const std::vector<uint8_t> g = GammaTable(50000);
    for (const Bytes& key : {Bytes{0, 128, 0, 128, 0, 128}, Bytes{0, 0, 0, 0, 0, 0}}) {
        DecodedImage* image =
            LoadBytes(Cat({Header(3, 1, 8, 2), PngChunk("gAMA", U32(50000)), PngChunk("tRNS", key), Idat(rows), Iend()}));
        ASSERT_NE(image, nullptr);
        const bool grey = key[1] == 128;
        EXPECT_EQ(ColourAt(*image, 0, 0), (grey ? Colour{255, 255, 255} : Colour{136, 136, 136}));
        EXPECT_EQ(ColourAt(*image, 1, 0), (grey ? Colour{0, 0, 0} : Colour{255, 255, 255}));
        EXPECT_EQ(ColourAt(*image, 2, 0), (Colour{g[64], g[64], g[64]}));
    }
    // A grey key picks the palette entry, which is white after correction.
    DecodedImage* image = LoadBytes(
        Cat({Header(2, 1, 8, 0), PngChunk("gAMA", U32(50000)), PngChunk("tRNS", {0, 128}), Idat({0, 128, 64}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{255, 255, 255}));
    EXPECT_EQ(ColourAt(*image, 1, 0), (Colour{g[64], g[64], g[64]}));
}

TEST_F(PngReading, PhysicalResolution) {
    auto phys = [](uint32_t x, uint32_t y, uint8_t unit) {
        Bytes data = Cat({U32(x), U32(y)});
        data.push_back(unit);
        return PngChunk("pHYs", data);
    };
    const Bytes rows = Idat({0, 1, 2, 3});
    DecodedImage* image = LoadBytes(Cat({Header(1, 1, 8, 2), phys(2835, 3780, 1), rows, Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biXPelsPerMeter, 2835);
    EXPECT_EQ(image->header.biYPelsPerMeter, 3780);
    for (const Bytes& chunk : {phys(2835, 2835, 0), phys(0x80000000u, 1, 1), PngChunk("pHYs", Bytes(8, 1))}) {
        image = LoadBytes(Cat({Header(1, 1, 8, 2), chunk, rows, Iend()}));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->header.biXPelsPerMeter, 0);
        EXPECT_EQ(image->header.biYPelsPerMeter, 0);
    }
    image = LoadBytes(Cat({Header(1, 1, 8, 2), rows, phys(2835, 2835, 1), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biXPelsPerMeter, 0) << "after the image data";
}

TEST_F(PngReading, SplitImageDataDecodesAsOneChunk) {
    filterShift = 2;
    const Format f{8, 6};
    const Bytes stream = Deflated(FilteredImage(9, 6, f.depth, f.type, false, FilterOfRow, Noise));
    DecodedImage* image = LoadBytes(Cat({Header(9, 6, 8, 6), PngChunk("IDAT", stream), Iend()}));
    ASSERT_NE(image, nullptr);
    const Picture single = Capture(*image);
    for (size_t piece : {size_t{1}, size_t{7}, stream.size() / 2}) {
        Bytes file = Header(9, 6, 8, 6);
        for (size_t at = 0; at < stream.size(); at += piece) {
            const Bytes part(stream.begin() + static_cast<std::ptrdiff_t>(at),
                             stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + piece)));
            file = Cat({file, PngChunk("IDAT", part)});
        }
        file = Cat({file, PngChunk("IDAT", {}), PngChunk("tEXt", {'a', 0, 'b'}), Iend()});
        image = LoadBytes(file);
        ASSERT_NE(image, nullptr) << piece;
        EXPECT_TRUE(Capture(*image) == single) << "pieces of " << piece;
    }
    // A run of empty chunks around the data.
    image = LoadBytes(Cat({Header(9, 6, 8, 6), PngChunk("IDAT", {}), PngChunk("IDAT", stream), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(Capture(*image) == single);
}

TEST_F(PngReading, FilterBytesAboveFourCountAsNone) {
    DecodedImage* image = LoadBytes(Cat({Header(2, 2, 8, 0), Idat({5, 7, 9, 255, 1, 2}), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(*PixelAt(*image, 0, 0), 7);
    EXPECT_EQ(*PixelAt(*image, 1, 0), 9);
    EXPECT_EQ(*PixelAt(*image, 0, 1), 1);
    EXPECT_EQ(*PixelAt(*image, 1, 1), 2);
}

TEST_F(PngReading, ShortAndBrokenStreamsDeliverTheRowsTheyHold) {
    // Six rows of 4 RGB pixels with filter None, stored uncompressed so that
    // a cut position names a row.
    const int32_t w = 4;
    const int32_t h = 6;
    Bytes rows;
    for (int32_t y = 0; y < h; ++y) {
        rows.push_back(0);
        for (int i = 0; i < 3 * w; ++i) rows.push_back(static_cast<uint8_t>(10 + y * 20 + i));
    }
    const size_t rowLength = 1 + 3 * w;
    const Bytes stored = Deflated(rows, 0);  // 2 header bytes, a 5-byte block header, the rows, adler
    auto rowIs = [&](const DecodedImage& image, int32_t y, bool decoded) {
        for (int32_t x = 0; x < w; ++x) {
            const uint8_t* in = rows.data() + y * rowLength + 1 + 3 * x;
            const Colour expected = decoded ? Colour{in[2], in[1], in[0]} : Colour{0, 0, 0};
            if (ColourAt(image, x, y) != expected) return false;
        }
        return true;
    };
    // Cut inside row 3: rows 0 to 2 and the part of row 3 that exists.
    const Bytes cut(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(7 + 3 * rowLength + 4));
    DecodedImage* image = LoadBytes(Cat({Header(w, h, 8, 2), PngChunk("IDAT", cut), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(context.codecs.pngReader->errorCode, kPngBrokenStream);
    for (int32_t y = 0; y < 3; ++y) EXPECT_TRUE(rowIs(*image, y, true)) << y;
    EXPECT_EQ(ColourAt(*image, 0, 3), (Colour{rows[3 * rowLength + 3], rows[3 * rowLength + 2], rows[3 * rowLength + 1]}));
    EXPECT_EQ(ColourAt(*image, 1, 3), (Colour{0, 0, 0})) << "the missing bytes of a cut row are zero";
    for (int32_t y = 4; y < h; ++y) EXPECT_TRUE(rowIs(*image, y, false)) << y;

    // A stream broken inside row 2: a stored block of two and a half rows,
    // then an invalid block type. The row being read when the error came is
    // not taken.
    Bytes broken = {0x78, 0x01, 0x00};
    const uint16_t stored2 = static_cast<uint16_t>(2 * rowLength + rowLength / 2);
    broken.insert(broken.end(), {uint8_t(stored2), uint8_t(stored2 >> 8), uint8_t(~stored2), uint8_t(~stored2 >> 8)});
    broken.insert(broken.end(), rows.begin(), rows.begin() + stored2);
    broken.push_back(0x07);
    image = LoadBytes(Cat({Header(w, h, 8, 2), PngChunk("IDAT", broken), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(context.codecs.pngReader->errorCode, kPngBrokenStream);
    for (int32_t y = 0; y < h; ++y) EXPECT_TRUE(rowIs(*image, y, y < 2)) << y;

    // The same with alpha: the missing rows are transparent, so white.
    Bytes alphaRows;
    for (int32_t y = 0; y < 2; ++y) {
        alphaRows.push_back(0);
        for (int x = 0; x < w; ++x) alphaRows.insert(alphaRows.end(), {1, 2, 3, 255});
    }
    image = LoadBytes(Cat({Header(w, h, 8, 6), PngChunk("IDAT", Deflated(alphaRows)), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(context.codecs.pngReader->errorCode, kErrorNone) << "a stream that ends cleanly is no error";
    EXPECT_EQ(ColourAt(*image, 3, 1), (Colour{3, 2, 1}));
    for (int32_t y = 2; y < h; ++y) EXPECT_EQ(ColourAt(*image, 2, y), (Colour{255, 255, 255})) << y;

    // No stream, or not a zlib stream: inflate starts but yields nothing.
    for (const Bytes& nothing : {Bytes{}, Bytes{0x12, 0x34, 0x56}}) {
        image = LoadBytes(Cat({Header(w, h, 8, 2), PngChunk("IDAT", nothing), Iend()}));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(context.codecs.pngReader->errorCode, kPngBrokenStream);
        EXPECT_TRUE(rowIs(*image, 0, false));
    }
}

TEST_F(PngReading, HeaderRejections) {
    const Bytes rows = Idat({0, 0});
    auto withHeader = [&](const Bytes& ihdr) { return Cat({PngSignature(), PngChunk("IHDR", ihdr), rows, Iend()}); };
    Bytes file = withHeader(IhdrData(1, 1, 8, 0));
    ASSERT_NE(LoadBytes(file), nullptr);

    Bytes signature = file;
    signature[1] = 'p';
    ExpectRejected(signature, kPngNotPng, "signature");
    ExpectRejected(Bytes(file.begin(), file.begin() + 32), kPngNotPng, "32 bytes");
    Bytes length = file;
    length[11] = 14;
    ExpectRejected(length, kPngBadHeaderLength, "IHDR length 14");
    ExpectRejected(Cat({PngSignature(), PngChunk("IHDr", IhdrData(1, 1, 8, 0)), rows, Iend()}), kPngNoHeader, "IHDr");
    ExpectRejected(Cat({PngSignature(), PngChunk("IHDR", IhdrData(1, 1, 8, 0), 1), rows, Iend()}), kPngBadCrc, "IHDR CRC");

    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{25001, 1}, {1, 25001}, {0, 1}, {1, 0}, {0x80000000u, 1}, {1, 0xFFFFFFFFu}})
        ExpectRejected(withHeader(IhdrData(w, h, 8, 0)), kPngInvalidPicture, std::to_string(w) + " x " + std::to_string(h));
    // The widest side is accepted (one row of 25000 RGB pixels).
    Bytes wideRow(1 + 3 * 25000, 7);
    wideRow[0] = 0;
    DecodedImage* image = LoadBytes(Cat({Header(25000, 1, 8, 2), Idat(wideRow), Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[3 * 24999 + 2], 7);

    Bytes ihdr = IhdrData(1, 1, 8, 0);
    ihdr[10] = 1;
    ExpectRejected(withHeader(ihdr), kPngBadCompression, "compression 1");
    ihdr = IhdrData(1, 1, 8, 0);
    ihdr[11] = 1;
    ExpectRejected(withHeader(ihdr), kPngBadFilterMethod, "filter method 1");
    ExpectRejected(withHeader(IhdrData(1, 1, 8, 0, 2)), kPngBadInterlace, "interlace 2");
    for (int depth : {0, 3, 5, 7, 9, 12, 32, 255}) ExpectRejected(withHeader(IhdrData(1, 1, depth, 2)), kPngBadBitDepth, "depth " + std::to_string(depth));
    const Format rejected[] = {{1, 2}, {2, 4}, {4, 6}, {1, 1}, {8, 1}, {8, 5}, {8, 7}, {16, 3}, {16, 1}, {16, 9}, {1, 255}};
    for (const Format& f : rejected) ExpectRejected(withHeader(IhdrData(1, 1, f.depth, f.type)), kPngBadColourType, Describe(f));
}

TEST_F(PngReading, ChunkOrderRejections) {
    const Bytes rgb = Header(1, 1, 8, 2);
    const Bytes rows = Idat({0, 1, 2, 3});
    const Bytes palette = Header(1, 1, 8, 3);
    const Bytes index = Idat({0, 0});
    ExpectRejected(Cat({rgb, PngChunk("IHDR", IhdrData(1, 1, 8, 2)), rows, Iend()}), kPngMisplacedChunk, "second IHDR");
    ExpectRejected(Cat({palette, Plte(1), Plte(1), index, Iend()}), kPngMisplacedChunk, "second PLTE");
    ExpectRejected(Cat({palette, index, Plte(1), Iend()}), kPngMisplacedChunk, "PLTE after IDAT");
    ExpectRejected(Cat({rgb, rows, PngChunk("tEXt", {'a', 0}), rows, Iend()}), kPngMisplacedChunk, "second IDAT run");
    ExpectRejected(Cat({rgb, Iend()}), kPngMissingData, "no IDAT");
    ExpectRejected(Cat({palette, index, Iend()}), kPngMissingData, "palette without PLTE");
    ExpectRejected(Cat({palette, Plte(1), PngChunk("PLTE", {1, 2, 3}, 1), index, Iend()}), kPngMisplacedChunk, "second PLTE, bad CRC");
    ExpectRejected(Cat({palette, PngChunk("PLTE", {1, 2, 3}, 1), index, Iend()}), kPngBadCrc, "PLTE CRC");
    ExpectRejected(Cat({rgb, PngChunk("IDAT", Deflated({0, 1, 2, 3}), 1), Iend()}), kPngBadCrc, "IDAT CRC");
    ExpectRejected(Cat({rgb, rows, PngChunk("IEND", {}, 1)}), kPngBadCrc, "IEND CRC");
    // PLTE in other pictures, unknown and damaged ancillary chunks are skipped unread.
    DecodedImage* image = LoadBytes(Cat({rgb, Plte(3), PngChunk("PLTE", {1}, 5), PngChunk("bKGD", {0, 0, 0, 0, 0, 0}, 9),
                                         PngChunk("zzZZ", {1, 2, 3}, 1), rows, Iend()}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ColourAt(*image, 0, 0), (Colour{3, 2, 1}));
    // Nothing after IEND is read.
    image = LoadBytes(Cat({rgb, rows, Iend(), Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'I', 'H'}}));
    ASSERT_NE(image, nullptr);
}

TEST_F(PngReading, LengthsAndEndsOfFile) {
    const Bytes rgb = Header(1, 1, 8, 2);
    const Bytes rows = Idat({0, 1, 2, 3});
    const Bytes text = PngChunk("tEXt", {'a', 0, 'b'});
    auto hugeChunk = [](uint32_t length) { return Cat({U32(length), Bytes{'t', 'E', 'X', 't', 0, 0, 0, 0, 0, 0, 0, 0}}); };
    ExpectRejected(Cat({rgb, hugeChunk(0x80000000u), rows, Iend()}), kPngBadLength, "length 2^31");
    ExpectRejected(Cat({rgb, hugeChunk(0xFFFFFFFFu), rows, Iend()}), kPngBadLength, "length 2^32 - 1");
    ExpectRejected(Cat({rgb, hugeChunk(0x7FFFFFFFu), rows, Iend()}), kPngNotPng, "chunk past the end");
    ExpectRejected(Cat({rgb, rows, hugeChunk(0x80000000u), Iend()}), kPngBrokenRun, "length 2^31 after the data");
    ExpectRejected(Cat({rgb, rows, hugeChunk(1000), Iend()}), kPngBrokenRun, "chunk past the end after the data");
    ExpectRejected(Cat({rgb, rows}), kPngBrokenRun, "the file ends after the data");
    ExpectRejected(Cat({rgb, rows, Bytes{0, 0}}), kPngBrokenRun, "two bytes after the data");
    ExpectRejected(Cat({rgb, rows, text}), kPngNotPng, "the file ends after a later chunk");
    ExpectRejected(Cat({rgb, rows, PngChunk("IDAT", {}, 1), Iend()}), kPngBrokenRun, "later IDAT CRC");
    ExpectRejected(Cat({rgb, rows, Bytes(rows.begin(), rows.end() - 1)}), kPngBrokenRun, "later IDAT cut");
    ExpectRejected(Cat({rgb, Bytes(rows.begin(), rows.end() - 1)}), kPngNotPng, "first IDAT cut");
}

// Every prefix of a small file fails with a defined code, never a crash or
// a leak; the whole file decodes.
TEST_F(PngReading, EveryPrefixFailsCleanly) {
    filterShift = 1;
    const Format f{4, 3};
    const Bytes rows = FilteredImage(5, 4, f.depth, f.type, true, FilterOfRow, Noise);
    const Bytes stream = Deflated(rows);
    const Bytes half(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
    const Bytes rest(stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2), stream.end());
    const Bytes whole = Cat({Header(5, 4, 4, 3, 1), PngChunk("gAMA", U32(45455)), Plte(16), PngChunk("tRNS", {1, 2, 3}),
                             PngChunk("IDAT", half), PngChunk("IDAT", rest), PngChunk("tEXt", {'k', 0, 'v'}), Iend()});
    ASSERT_NE(LoadBytes(whole), nullptr);
    for (size_t length = 0; length < whole.size(); ++length) {
        const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
        ReleaseDecoded();
        const std::wstring path = folder.Write(L"prefix.png", prefix);
        ASSERT_FALSE(LoadPng(context, path.c_str())) << length;
        const int32_t code = context.codecs.pngReader->errorCode;
        EXPECT_TRUE(code == kPngNotPng || code == kPngBrokenRun || (length == 0 && code == kPngCannotOpen))
            << length << " bytes: code " << code;
        int32_t inMemory = kErrorNone;
        ASSERT_FALSE(DecodeInMemory(prefix, inMemory)) << length;
        EXPECT_EQ(inMemory, length == 0 ? kPngNotPng : code) << length;
        ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << length;
    }
}

TEST_F(PngReading, EveryFailedAllocationLeavesNothingBehind) {
    filterShift = 0;
    const Format f{8, 6};
    const Bytes stream = Deflated(FilteredImage(6, 5, f.depth, f.type, false, FilterOfRow, Noise));
    const Bytes half(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
    const Bytes rest(stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2), stream.end());
    const std::wstring path =
        folder.Write(L"alloc.png", Cat({Header(6, 5, 8, 6), PngChunk("IDAT", half), PngChunk("IDAT", rest), Iend()}));
    // In order: alpha, pixels, the joined run, inflate's state, the row block,
    // inflate's window. Each is a lack of memory, never a made-up picture.
    int failing = 1;
    for (;; ++failing) {
        AllocationProbe::FailAt(failing);
        const bool loaded = LoadPng(context, path.c_str());
        AllocationProbe::Reset();
        if (failing <= 6) {
            ASSERT_FALSE(loaded) << failing;
            EXPECT_EQ(context.codecs.pngReader->errorCode, kPngOutOfMemory) << failing;
            EXPECT_EQ(context.current, nullptr);
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << failing;
            continue;
        }
        ASSERT_TRUE(loaded) << failing;
        EXPECT_EQ(context.codecs.pngReader->errorCode, kErrorNone);
        ReleaseDecoded();
        break;
    }
    EXPECT_EQ(failing, 7);
}

TEST_F(PngReading, ThroughTheLoaderDispatch) {
    const std::wstring path = folder.Write(L"photo.bin", Cat({Header(2, 1, 8, 0), Idat({0, 5, 6}), Iend()}));
    ASSERT_TRUE(LoadPicture(context, path.c_str()));
    ASSERT_EQ(context.current, &context.codecs.pngReader->image);
    EXPECT_EQ(context.current->sourceFormat, kFormatPng);
    EXPECT_EQ(context.current->fileSize, static_cast<uint32_t>(ReadWholeFile(path).size()));
    EXPECT_EQ(Bytes(context.current->pixels, context.current->pixels + 2), (Bytes{5, 6}));
    ReleaseDecoded();
    // A reader that fails hands the file to the plug-ins, which are off.
    const std::wstring broken = folder.Write(L"broken.png", Cat({Header(2, 1, 8, 0), Iend()}));
    EXPECT_FALSE(LoadPicture(context, broken.c_str()));
    EXPECT_EQ(context.current, nullptr);
}

// ---- Public test files ----

namespace {

bool HasPngSignature(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    uint8_t magic[8] = {};
    in.read(reinterpret_cast<char*>(magic), 8);
    const Bytes signature = PngSignature();
    return in.gcount() == 8 && std::equal(signature.begin(), signature.end(), magic);
}

std::vector<fs::path> PngFiles(const fs::path& folder, bool byName) {
    std::vector<fs::path> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        if ((byName && it->path().extension() == ".png") || HasPngSignature(it->path())) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

#ifndef _WIN32
// What the reader must deliver, derived from libpng's raw samples (16-bit
// samples cut to their high byte, low depths one sample a byte) with the
// reader's gamma and compositing rules.
struct Reference {
    int32_t width = 0;
    int32_t height = 0;
    Bytes bgr;
    bool plain = true;  // no gAMA and no transparency: libpng's samples are the picture as they are
};

bool ReadReference(const fs::path& file, Reference& out) {
    FILE* in = fopen(file.string().c_str(), "rb");
    if (in == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<Bytes> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(in);
        return false;
    }
    png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_DEFAULT);
    png_init_io(png, in);
    png_read_info(png, info);
    const int depth = png_get_bit_depth(png, info);
    const int type = png_get_color_type(png, info);
    png_set_strip_16(png);
    png_set_packing(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out.width = static_cast<int32_t>(png_get_image_width(png, info));
    out.height = static_cast<int32_t>(png_get_image_height(png, info));
    const size_t rowBytes = png_get_rowbytes(png, info);
    rows.assign(static_cast<size_t>(out.height), Bytes(rowBytes));
    std::vector<png_bytep> pointers;
    for (Bytes& row : rows) pointers.push_back(row.data());
    png_read_image(png, pointers.data());
    png_read_end(png, nullptr);

    std::vector<uint8_t> gamma(256);
    for (int i = 0; i < 256; ++i) gamma[i] = static_cast<uint8_t>(i);
    png_fixed_point fileGamma = 0;
    if (png_get_gAMA_fixed(png, info, &fileGamma) && fileGamma > 0) {
        gamma = GammaTable(static_cast<uint32_t>(fileGamma));
        out.plain = false;
    }
    png_bytep alphas = nullptr;
    int alphaCount = 0;
    png_color_16p key = nullptr;
    const bool keyed = png_get_tRNS(png, info, &alphas, &alphaCount, &key) != 0;
    if (keyed || (type & PNG_COLOR_MASK_ALPHA) != 0) out.plain = false;
    png_colorp palette = nullptr;
    int paletteCount = 0;
    png_get_PLTE(png, info, &palette, &paletteCount);
    const int keyShift = depth == 16 ? 8 : 0;
    const int ramp = depth == 1 ? 255 : depth == 2 ? 85 : depth == 4 ? 17 : 1;
    auto push = [&](int b, int g, int r) { out.bgr.insert(out.bgr.end(), {uint8_t(b), uint8_t(g), uint8_t(r)}); };
    for (const Bytes& row : rows) {
        for (int32_t x = 0; x < out.width; ++x) {
            switch (type) {
                case PNG_COLOR_TYPE_GRAY: {
                    const int v = row[x];
                    if (keyed && v == ((key->gray >> keyShift) & 0xFF)) push(255, 255, 255);
                    else push(gamma[v * ramp], gamma[v * ramp], gamma[v * ramp]);
                    break;
                }
                case PNG_COLOR_TYPE_RGB: {
                    const uint8_t* p = &row[3 * x];
                    if (keyed && p[0] == ((key->red >> keyShift) & 0xFF) && p[1] == ((key->green >> keyShift) & 0xFF) &&
                        p[2] == ((key->blue >> keyShift) & 0xFF))
                        push(255, 255, 255);
                    else push(gamma[p[2]], gamma[p[1]], gamma[p[0]]);
                    break;
                }
                case PNG_COLOR_TYPE_PALETTE: {
                    const int i = row[x];
                    const png_color c = i < paletteCount ? palette[i] : png_color{0, 0, 0};
                    const int a = keyed && i < alphaCount ? alphas[i] : 255;
                    auto mix = [&](int v) { return Blend(a, gamma[v]) + Blend(255 - a, 255); };
                    push(mix(c.blue), mix(c.green), mix(c.red));
                    break;
                }
                case PNG_COLOR_TYPE_GRAY_ALPHA: {
                    const int a = row[2 * x + 1];
                    const int v = gamma[Blend(row[2 * x], a) + Blend(255, 255 - a)];
                    push(v, v, v);
                    break;
                }
                default: {
                    const uint8_t* p = &row[4 * x];
                    const int a = p[3];
                    auto mix = [&](int v) { return Blend(a, gamma[v]) + Blend(255 - a, 255); };
                    push(mix(p[2]), mix(p[1]), mix(p[0]));
                    break;
                }
            }
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(in);
    return true;
}
#endif

const std::map<std::string, int32_t> kSuiteFailures = {
    {"xs1n0g01.png", kPngNotPng},       {"xs2n0g01.png", kPngNotPng},    {"xs4n0g01.png", kPngNotPng},
    {"xs7n0g01.png", kPngNotPng},       {"xcrn0g04.png", kPngNotPng},    {"xlfn0g04.png", kPngNotPng},
    {"xhdn0g08.png", kPngBadCrc},       {"xcsn0g01.png", kPngBadCrc},    {"xc1n0g08.png", kPngBadColourType},
    {"xc9n2c08.png", kPngBadColourType}, {"xd0n2c08.png", kPngBadBitDepth}, {"xd3n2c08.png", kPngBadBitDepth},
    {"xd9n2c08.png", kPngBadBitDepth},  {"xdtn0g01.png", kPngMissingData},
};

}  // namespace

TEST_F(PngReading, PngSuite) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    const fs::path suite = root / "pngsuite";
    int decoded = 0;
    int compared = 0;
    int exact = 0;
    int failed = 0;
    std::map<std::string, Picture> pictures;
    Bytes everything;  // all pictures, for one digest that both builds must reproduce
    for (const fs::path& file : PngFiles(suite, true)) {
        const std::string name = file.filename().string();
        DecodedImage* image = LoadFile(file.wstring());
        if (const auto failure = kSuiteFailures.find(name); failure != kSuiteFailures.end()) {
            EXPECT_EQ(image, nullptr) << name;
            EXPECT_EQ(context.codecs.pngReader->errorCode, failure->second) << name;
            ++failed;
            continue;
        }
        ASSERT_NE(image, nullptr) << name << ": error " << context.codecs.pngReader->errorCode;
        EXPECT_EQ(context.codecs.pngReader->errorCode, kErrorNone) << name;
        ++decoded;
        pictures[name] = Capture(*image);
        const Bytes bgr = TopDownBgr(*image);
        everything.insert(everything.end(), bgr.begin(), bgr.end());
#ifndef _WIN32
        Reference reference;
        ASSERT_TRUE(ReadReference(file, reference)) << name;
        ASSERT_EQ(image->header.biWidth, reference.width) << name;
        ASSERT_EQ(image->header.biHeight, reference.height) << name;
        EXPECT_TRUE(TopDownBgr(*image) == reference.bgr) << name << " differs from libpng's samples";
        ++compared;
        exact += reference.plain;
#endif
    }
    EXPECT_EQ(failed, 14);
    EXPECT_EQ(decoded, 161);
    // The pictures the native build checked against libpng; the Windows build
    // (other maths library, real file mapping) must see the same ones.
    EXPECT_EQ(Digest(everything.data(), everything.size()), 1046411524u);
#ifndef _WIN32
    EXPECT_EQ(compared, 161);
#endif
    // Every interlaced file decodes exactly as its plain copy.
    int pairs = 0;
    for (const auto& [name, picture] : pictures) {
        if (name.size() < 4 || name[3] != 'i') continue;
        std::string plain = name;
        plain[3] = 'n';
        const auto other = pictures.find(plain);
        if (other == pictures.end()) continue;
        EXPECT_TRUE(picture == other->second) << name << " differs from " << plain;
        ++pairs;
    }
    EXPECT_GE(pairs, 30);
    std::printf("PNG suite: %d decoded (%d compared with libpng, %d of them without gAMA or transparency), %d rejected, %d "
                "interlaced pairs\n",
                decoded, compared, exact, failed, pairs);
}

TEST_F(PngReading, CrashersAndRegressionFiles) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    const fs::path folders[] = {root / "pngsuite", root / "libspng-crashers", root / "image-png-tests" / "tests" / "bugfixes",
                                root / "gdk-pixbuf-tests" / "test-images" / "fail", root / "libpng-contrib"};
    int delivered = 0;
    int rejected = 0;
    for (const fs::path& folder : folders) {
        for (const fs::path& file : PngFiles(folder, false)) {
            DecodedImage* image = LoadFile(file.wstring());
            const bool fromFile = image != nullptr;
            const int32_t fileCode = context.codecs.pngReader->errorCode;
            if (image != nullptr) {
                ++delivered;
                EXPECT_TRUE(image->header.biBitCount == 8 || image->header.biBitCount == 24) << file;
            } else {
                ++rejected;
                EXPECT_NE(context.codecs.pngReader->errorCode, kErrorNone) << file;
            }
            ReleaseDecoded();
            int32_t code = kErrorNone;
            EXPECT_EQ(DecodeInMemory(ReadWholeFile(file.wstring()), code), fromFile) << file;
            EXPECT_EQ(code, fileCode) << file;
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << file;
        }
    }
    // Files that must fail, with the reason each has.
    const std::pair<fs::path, int32_t> failures[] = {
        {root / "libspng-crashers" / "crashers" / "badcrc.png", kPngBadCrc},
        {root / "libspng-crashers" / "crashers" / "missing_plte.png", kPngMissingData},
        {root / "libspng-crashers" / "crashers" / "zero_width.png", kPngInvalidPicture},
        {root / "libspng-crashers" / "crashers" / "huge_IDAT.png", kPngNotPng},  // 2^30 bytes in a 79-byte file
        {root / "image-png-tests" / "tests" / "bugfixes" / "x_consecutive_idat.png", kPngMisplacedChunk},
        {root / "gdk-pixbuf-tests" / "test-images" / "fail" / "invalid.4.png", kPngBadHeaderLength},
    };
    for (const auto& [file, code] : failures) {
        EXPECT_EQ(LoadFile(file.wstring()), nullptr) << file;
        EXPECT_EQ(context.codecs.pngReader->errorCode, code) << file;
    }
    EXPECT_GT(delivered + rejected, 100);
    std::printf("PNG regression files: %d delivered, %d rejected\n", delivered, rejected);
}
