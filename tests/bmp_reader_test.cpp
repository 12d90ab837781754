// The BMP reader: every accepted depth, the rejections, truncated files and
// allocation failures, and the public bitmap test files.
#include "support/test_context.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "codecs/readers/bmp_reader.h"
#include "support/bmp_builder.h"
#include "support/corpus_path.h"
#include "support/reader_fixture.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#ifndef _WIN32
#include <png.h>
#endif

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Table(std::initializer_list<uint32_t> entries) {
    Bytes bytes;
    for (uint32_t e : entries) PushU32(bytes, e);
    return bytes;
}

// A small picture of each accepted (depth, compression) row, with a colour
// table or masks where the row has them.
BmpLayout SmallPicture(uint16_t bits, uint32_t compression, uint32_t clrUsed = 0) {
    BmpLayout layout;
    layout.width = 3;
    layout.height = 2;
    layout.bitCount = bits;
    layout.compression = compression;
    layout.clrUsed = clrUsed;
    if (bits <= 8) {
        const uint32_t entries = clrUsed != 0 ? clrUsed : 1u << bits;
        for (uint32_t i = 0; i < entries; ++i) PushU32(layout.afterHeader, 0x00103050u + 0x010203u * i);
    }
    if (compression == BI_BITFIELDS) layout.afterHeader = Table({0xF800, 0x07E0, 0x001F});
    if (compression == BI_BITFIELDS && bits == 32) layout.afterHeader = Table({0x3FF00000, 0x000FFC00, 0x000003FF});
    for (int i = 0; i < 32; ++i) layout.pixels.push_back(static_cast<uint8_t>(0x5A + 37 * i));
    return layout;
}

struct Row {
    uint16_t bits;
    uint32_t compression;
    uint32_t clrUsed;
};
constexpr Row kAcceptedRows[] = {{1, BI_RGB, 0},  {4, BI_RGB, 3},        {8, BI_RGB, 5},  {16, BI_RGB, 0},
                                 {16, BI_BITFIELDS, 0}, {24, BI_RGB, 0}, {32, BI_RGB, 0}, {32, BI_BITFIELDS, 0}};

std::string Describe(const Row& row) {
    return std::to_string(row.bits) + " bits, compression " + std::to_string(row.compression);
}

// Everything a decode delivers, for comparing two decodes.
struct Picture {
    BITMAPINFOHEADER header;
    Bytes palette;
    Bytes pixels;
    int32_t fileBitCount;
};

Picture Capture(const DecodedImage& image) {
    const int32_t stride = ((image.header.biWidth * image.header.biBitCount + 31) / 32) * 4;
    const auto* palette = reinterpret_cast<const uint8_t*>(image.palette);
    return {image.header, Bytes(palette, palette + sizeof image.palette),
            Bytes(image.pixels, image.pixels + static_cast<size_t>(stride) * image.header.biHeight), image.fileBitCount};
}

bool operator==(const Picture& a, const Picture& b) {
    return memcmp(&a.header, &b.header, sizeof a.header) == 0 && a.palette == b.palette && a.pixels == b.pixels &&
           a.fileBitCount == b.fileBitCount;
}

class BmpReading : public ReaderTest {
protected:
    DecodedImage* Load(const BmpLayout& layout) { return LoadBytes(BuildBmp(layout)); }
    DecodedImage* LoadBytes(const Bytes& bytes) {
        ReleaseDecoded();
        const std::wstring path = folder.Write(L"picture.bmp", bytes);
        return LoadFile(path);
    }
    DecodedImage* LoadFile(const std::wstring& path) {
        return LoadWith(LoadBmp, path);
    }
    void ExpectRejected(const BmpLayout& layout, int32_t code, const std::string& what) {
        EXPECT_EQ(Load(layout), nullptr) << what;
        EXPECT_EQ(context.codecs.bmpReader->errorCode, code) << what;
    }
};

}  // namespace

TEST_F(BmpReading, TwentyFourBitRowsAreTakenAsStored) {
    BmpLayout layout;
    layout.width = 2;
    layout.height = 2;
    layout.xPelsPerMeter = 3780;
    layout.yPelsPerMeter = -7;
    layout.pixels = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    DecodedImage* image = Load(layout);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biSize, 40u);
    EXPECT_EQ(image->header.biBitCount, 24);
    EXPECT_EQ(image->header.biWidth, 2);
    EXPECT_EQ(image->header.biHeight, 2);
    EXPECT_EQ(image->header.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(image->header.biXPelsPerMeter, 3780);
    EXPECT_EQ(image->header.biYPelsPerMeter, -7);
    EXPECT_EQ(image->fileBitCount, 24);
    EXPECT_EQ(image->sourceFormat, kFormatBmp);
    EXPECT_EQ(image->fileSize, 54u + 16u);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 16), layout.pixels);
    EXPECT_NE(image->lastWriteTime.dwHighDateTime, 0u);
    EXPECT_EQ(image, &context.codecs.bmpReader->image);
    EXPECT_EQ(context.codecs.bmpReader->inputFile, INVALID_HANDLE_VALUE) << "the file stays open after the load";
}

TEST_F(BmpReading, ColourTableCounts) {
    BmpLayout eight;
    eight.width = 3;
    eight.bitCount = 8;
    for (uint32_t i = 0; i < 256; ++i) PushU32(eight.afterHeader, 0x010101u * i);
    eight.pixels = {255, 0, 3, 0};
    // biClrUsed 0: the whole table.
    DecodedImage* image = Load(eight);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biBitCount, 8);
    EXPECT_EQ(image->header.biClrUsed, 0u);
    EXPECT_EQ(image->palette[255].rgbRed, 255);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 3), (Bytes{255, 0, 3}));

    // biClrUsed 16: sixteen entries, the other 240 zero.
    eight.clrUsed = 16;
    eight.afterHeader.resize(64);
    image = Load(eight);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[15].rgbRed, 15);
    EXPECT_EQ(image->palette[15].rgbBlue, 15);
    EXPECT_EQ(image->palette[16].rgbBlue, 0);
    EXPECT_EQ(image->palette[255].rgbRed, 0);

    // More than the table holds: 256 entries are read, and the rows still come from bfOffBits.
    eight.clrUsed = 305402420;
    eight.afterHeader.assign(4000, 0x77);
    image = Load(eight);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[255].rgbBlue, 0x77);
    EXPECT_EQ(image->pixels[0], 255);

    // 4 bits with biClrUsed 2: later entries in the file are not taken.
    BmpLayout four = SmallPicture(4, BI_RGB, 16);
    four.clrUsed = 2;
    image = Load(four);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[1].rgbBlue, 0x53);
    EXPECT_EQ(image->palette[2].rgbBlue, 0);
    four.clrUsed = 300;  // bounded too
    four.afterHeader.assign(1200, 0x44);
    image = Load(four);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[15].rgbGreen, 0x44);
    EXPECT_EQ(image->palette[16].rgbGreen, 0) << "a 4-bit picture has 16 entries";
}

TEST_F(BmpReading, LowDepthPicturesWidenToOneIndexAByte) {
    BmpLayout one;
    one.width = 10;
    one.height = 2;
    one.bitCount = 1;
    one.afterHeader = Table({0x000000, 0xFFFFFF, 0x123456});  // the third entry is not read
    one.offBits = 54 + 12;
    one.pixels = {0xA5, 0xC0, 0, 0, 0x01, 0xFF, 0, 0};
    for (uint32_t used : {0u, 2u}) {
        one.clrUsed = used;
        DecodedImage* image = Load(one);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->header.biBitCount, 8);
        EXPECT_EQ(image->fileBitCount, 1);
        EXPECT_EQ(image->palette[1].rgbGreen, 0xFF);
        EXPECT_EQ(image->palette[2].rgbGreen, 0);
        // Most significant bit first; rows 12 bytes apart at 8 bits.
        EXPECT_EQ(Bytes(image->pixels, image->pixels + 10), (Bytes{1, 0, 1, 0, 0, 1, 0, 1, 1, 1}));
        EXPECT_EQ(Bytes(image->pixels + 12, image->pixels + 22), (Bytes{0, 0, 0, 0, 0, 0, 0, 1, 1, 1}));
    }

    BmpLayout four;
    four.width = 3;
    four.bitCount = 4;
    for (uint32_t i = 0; i < 16; ++i) PushU32(four.afterHeader, i);
    four.pixels = {0xF1, 0x7C, 0, 0};  // odd width: the low nibble of the last byte is padding
    DecodedImage* image = Load(four);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 4), (Bytes{15, 1, 7, 0}));
    EXPECT_EQ(image->palette[15].rgbBlue, 15);
    EXPECT_EQ(image->fileBitCount, 4);
}

TEST_F(BmpReading, MaskedPicturesScaleEachFieldTo255) {
    BmpLayout plain;
    plain.width = 3;
    plain.bitCount = 16;
    // Without masks 5-5-5: 7FFF is white, 001F pure blue; the high bit is not a field.
    plain.pixels = {0xFF, 0x7F, 0x1F, 0x00, 0x00, 0x80, 0, 0};
    DecodedImage* image = Load(plain);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 9), (Bytes{255, 255, 255, 255, 0, 0, 0, 0, 0}));
    EXPECT_EQ(image->fileBitCount, 16);
    EXPECT_EQ(image->header.biBitCount, 24);

    // 5-6-5 from the file: green = ((v AND 07E0) >> 5) x 255 / 63, truncated.
    BmpLayout fields = plain;
    fields.compression = BI_BITFIELDS;
    fields.afterHeader = Table({0xF800, 0x07E0, 0x001F});
    fields.pixels = {0x20, 0x00, 0xC0, 0x07, 0x01, 0xF8, 0, 0};  // green 1, green 62, red 31 + blue 1
    image = Load(fields);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 9), (Bytes{0, 4, 0, 0, 250, 0, 8, 0, 255}));

    // 32 bits without masks: blue, green, red bytes, and the fourth byte ignored.
    BmpLayout wide;
    wide.width = 2;
    wide.bitCount = 32;
    wide.pixels = {10, 20, 30, 99, 40, 50, 60, 255};
    image = Load(wide);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 6), (Bytes{10, 20, 30, 40, 50, 60}));

    // 32 bits with 10-10-10 masks and two alpha bits set.
    wide.compression = BI_BITFIELDS;
    wide.afterHeader = Table({0x3FF00000, 0x000FFC00, 0x000003FF});
    wide.pixels.clear();
    PushU32(wide.pixels, 0xC0000000u | (0x3FFu << 20) | (512u << 10) | 1u);
    PushU32(wide.pixels, 0x3FFu);
    image = Load(wide);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 6), (Bytes{0, 127, 255, 255, 0, 0}));

    // A 31-bit field: the product with 255 needs more than 32 bits.
    wide.afterHeader = Table({0, 0, 0x7FFFFFFF});
    wide.pixels.clear();
    PushU32(wide.pixels, 0x7FFFFFFF);
    PushU32(wide.pixels, 0x40000000);
    image = Load(wide);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 6), (Bytes{255, 0, 0, 127, 0, 0}));
}

TEST_F(BmpReading, MaskFieldsArePackedFromBitZeroWhateverTheirPositions) {
    // Masks of a red-blue swapped 5-5-5 layout: only the blue mask's length
    // counts (15 bits), and green and red have no bits above it.
    BmpLayout swapped;
    swapped.width = 2;
    swapped.bitCount = 16;
    swapped.compression = BI_BITFIELDS;
    swapped.afterHeader = Table({0x001F, 0x03E0, 0x7C00});
    swapped.pixels = {0xFF, 0x7F, 0x00, 0x7C};
    DecodedImage* image = Load(swapped);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 6), (Bytes{247, 0, 0, 247, 0, 0}));
}

TEST_F(BmpReading, LargerHeadersStillTakeTablesAndMasksFromOffset54) {
    BmpLayout masked;
    masked.width = 1;
    masked.bitCount = 16;
    masked.compression = BI_BITFIELDS;
    masked.headerSize = 124;
    masked.pixels = {0xE0, 0x07};
    Bytes file = BuildBmp(masked);
    const Bytes masks = Table({0xF800, 0x07E0, 0x001F});
    std::copy(masks.begin(), masks.end(), file.begin() + 54);
    DecodedImage* image = LoadBytes(file);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 3), (Bytes{0, 255, 0})) << "all green in 5-6-5, not 5-5-5";

    BmpLayout eight;
    eight.bitCount = 8;
    eight.clrUsed = 2;
    eight.headerSize = 108;
    eight.afterHeader = Table({0x112233, 0x445566});  // where the table really lies
    eight.pixels = {1, 0, 0, 0};
    file = BuildBmp(eight);
    file[54] = 0xAB;  // inside the longer header
    image = LoadBytes(file);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[0].rgbBlue, 0xAB);
    EXPECT_EQ(image->pixels[0], 1);
}

TEST_F(BmpReading, SidesFrom1To25000) {
    BmpLayout across;  // 25000 x 1: a real 75,000-byte row, no giant buffer
    across.width = 25000;
    for (int i = 0; i < 75000; ++i) across.pixels.push_back(static_cast<uint8_t>(i % 251));
    DecodedImage* image = Load(across);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biWidth, 25000);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 75000), across.pixels);

    BmpLayout tall;  // 1 x 25000 at 8 bits: rows of 4 bytes
    tall.width = 1;
    tall.height = 25000;
    tall.bitCount = 8;
    tall.clrUsed = 1;
    tall.afterHeader = Table({0});
    tall.pixels.assign(100000, 0);
    tall.pixels[99996] = 9;
    image = Load(tall);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[99996], 9);
    ReleaseDecoded();

    for (auto [w, h] : {std::pair{25001, 1}, {1, 25001}, {0, 1}, {1, 0}, {-5, 3}, {INT32_MIN, 1}, {1, INT32_MAX}}) {
        BmpLayout layout;
        layout.width = w;
        layout.height = h;
        layout.pixels.assign(16, 0);
        ExpectRejected(layout, kBmpInvalidPicture, std::to_string(w) + " x " + std::to_string(h));
    }
    for (uint16_t bits : {8, 24, 32}) {  // top-down rows are left to the plug-ins
        BmpLayout topDown = SmallPicture(bits, BI_RGB);
        topDown.height = -2;
        ExpectRejected(topDown, kBmpInvalidPicture, "top-down, " + std::to_string(bits) + " bits");
    }
}

TEST_F(BmpReading, OtherDepthsAndCompressionsAreRejected) {
    const std::pair<uint16_t, uint32_t> rejected[] = {
        {2, BI_RGB},        {8, BI_RLE8}, {4, BI_RLE4},      {8, BI_RLE4},     {1, BI_BITFIELDS}, {8, BI_BITFIELDS},
        {24, BI_BITFIELDS}, {16, BI_RLE8}, {24, 4 /*JPEG*/}, {24, 5 /*PNG*/}, {32, 6 /*alpha fields*/},
        {0, BI_RGB},        {0, 4},       {48, BI_RGB},      {64, BI_RGB},     {30000, BI_RGB}};
    for (auto [bits, compression] : rejected) {
        BmpLayout layout = SmallPicture(bits <= 8 ? bits : 24, BI_RGB);
        layout.bitCount = bits;
        layout.compression = compression;
        ExpectRejected(layout, kBmpInvalidPicture, std::to_string(bits) + " bits, compression " + std::to_string(compression));
    }
}

TEST_F(BmpReading, UnsoundMasksAndOffsets) {
    BmpLayout whole = SmallPicture(32, BI_BITFIELDS);
    whole.afterHeader = Table({0, 0, 0xFFFFFFFFu});  // a 32-bit field: 2^32 - 1 would be zero in 32 bits
    ExpectRejected(whole, kBmpInvalidPicture, "32-bit blue field");
    BmpLayout shortPixel = SmallPicture(16, BI_BITFIELDS);
    shortPixel.afterHeader = Table({0, 0, 0xFFFFFFFFu});
    ExpectRejected(shortPixel, kBmpInvalidPicture, "32-bit field in a 16-bit pixel");

    // Rows that would start beyond the end of the file.
    for (uint16_t bits : {16, 32}) {
        BmpLayout beyond = SmallPicture(bits, BI_RGB);
        Bytes file = BuildBmp(beyond);
        const uint32_t offBits = static_cast<uint32_t>(file.size()) + 1;
        for (int k = 0; k < 4; ++k) file[10 + k] = static_cast<uint8_t>(offBits >> (8 * k));
        EXPECT_EQ(LoadBytes(file), nullptr);
        EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpInvalidPicture);
        for (int k = 0; k < 4; ++k) file[10 + k] = 0xFF;
        EXPECT_EQ(LoadBytes(file), nullptr);
        EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpInvalidPicture);
    }

    // A wide row of which the file holds two pixels: the read buffer ends after
    // them, and the remaining 24,998 pixels read as zero.
    BmpLayout wide = SmallPicture(32, BI_RGB);
    wide.width = 25000;
    wide.height = 1;
    wide.pixels = {1, 2, 3, 4, 5, 6, 7, 8};
    DecodedImage* image = Load(wide);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 6), (Bytes{1, 2, 3, 5, 6, 7}));
    EXPECT_EQ(std::count(image->pixels + 6, image->pixels + 75000, 0), 75000 - 6);

    // Rows starting exactly at the end: no pixel bytes, so all of them read as zero.
    BmpLayout atEnd = SmallPicture(16, BI_RGB);
    atEnd.pixels.clear();
    image = Load(atEnd);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::count(image->pixels, image->pixels + 24, 0), 24);

    // 8 and 24 bits with the rows beyond the end (also beyond 2 GiB): an all-zero picture.
    for (int64_t offBits : {int64_t{5000}, int64_t{0x80000010}}) {
        BmpLayout beyond = SmallPicture(24, BI_RGB);
        beyond.pixels.clear();
        Bytes file = BuildBmp(beyond);
        for (int k = 0; k < 4; ++k) file[10 + k] = static_cast<uint8_t>(offBits >> (8 * k));
        image = LoadBytes(file);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(std::count(image->pixels, image->pixels + 24, 0), 24);
    }
}

// A file cut after any number of bytes decodes as if the missing bytes were
// zero; only in the masked path, rows that would start beyond the shorter file
// are rejected instead.
TEST_F(BmpReading, EveryPrefixReadsAsTheFileWithZerosAfterIt) {
    for (const Row& row : kAcceptedRows) {
        const Bytes whole = BuildBmp(SmallPicture(row.bits, row.compression, row.clrUsed));
        const bool masked = row.bits == 16 || row.bits == 32;
        for (size_t length = 0; length < whole.size(); ++length) {
            Bytes padded = whole;
            std::fill(padded.begin() + static_cast<std::ptrdiff_t>(length), padded.end(), 0);
            uint32_t offBits = 0;
            for (int k = 0; k < 4; ++k) offBits |= static_cast<uint32_t>(padded[10 + k]) << (8 * k);
            const std::string what = Describe(row) + ", " + std::to_string(length) + " bytes";

            DecodedImage* reference = LoadBytes(padded);
            const bool expectPicture = reference != nullptr && !(masked && offBits > length);
            const Picture expected = reference != nullptr ? Capture(*reference) : Picture{};
            const int32_t referenceCode = context.codecs.bmpReader->errorCode;
            DecodedImage* image = LoadBytes(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)));
            ASSERT_EQ(image != nullptr, expectPicture) << what;
            if (image != nullptr) {
                EXPECT_TRUE(Capture(*image) == expected) << what;
                EXPECT_EQ(image->fileSize, length);
            } else {
                EXPECT_EQ(context.codecs.bmpReader->errorCode, reference != nullptr ? kBmpInvalidPicture : referenceCode) << what;
            }
        }
        // Up to the bit count the header is incomplete and the file rejected.
        EXPECT_EQ(LoadBytes(Bytes(whole.begin(), whole.begin() + 28)), nullptr);
    }
}

TEST_F(BmpReading, EveryFailedAllocationLeavesNothingBehind) {
    for (const Row& row : kAcceptedRows) {
        BmpLayout layout = SmallPicture(row.bits, row.compression, row.clrUsed);
        const std::wstring path = folder.Write(L"alloc.bmp", BuildBmp(layout));
        int failures = 0;
        for (int failing = 1;; ++failing) {
            AllocationProbe::FailAt(failing);
            const bool loaded = LoadBmp(context, path.c_str());
            const int asked = AllocationProbe::Allocations();
            AllocationProbe::Reset();
            if (loaded) {
                EXPECT_GT(failing, asked) << Describe(row) << ": a failed allocation was not noticed";
                ReleaseDecoded();
                break;
            }
            ++failures;
            EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpOutOfMemory) << Describe(row);
            EXPECT_EQ(context.current, nullptr);
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << Describe(row) << ", allocation " << failing;
        }
        // The low-depth and masked paths hold two buffers at once, the direct path one.
        EXPECT_EQ(failures, row.bits == 8 || row.bits == 24 ? 1 : 2) << Describe(row);
    }
}

TEST_F(BmpReading, MissingFileCannotBeOpened) {
    EXPECT_EQ(LoadFile(folder.Join(L"absent.bmp")), nullptr);
    EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpCannotOpen);
    EXPECT_EQ(LoadBytes({}), nullptr);
    EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpInvalidPicture);
}

// ---- Public test files ----

namespace {

bool StartsWithBM(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    char magic[2] = {0, 0};
    in.read(magic, 2);
    return in.gcount() == 2 && magic[0] == 'B' && magic[1] == 'M';
}

std::vector<fs::path> BitmapFiles(const fs::path& root) {
    std::vector<fs::path> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        std::string extension = it->path().extension().string();
        for (char& c : extension) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (extension == ".bmp" || extension == ".dib" || StartsWithBM(it->path())) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Blue-green-red, top row first: the order of a reference picture.
Bytes TopDownBgr(const DecodedImage& image) {
    const int32_t w = image.header.biWidth;
    const int32_t h = image.header.biHeight;
    const int32_t stride = ((w * image.header.biBitCount + 31) / 32) * 4;
    Bytes bgr;
    for (int32_t y = h - 1; y >= 0; --y) {
        const uint8_t* row = image.pixels + static_cast<size_t>(stride) * y;
        for (int32_t x = 0; x < w; ++x) {
            if (image.header.biBitCount == 8) {
                const RGBQUAD& c = image.palette[row[x]];
                bgr.insert(bgr.end(), {c.rgbBlue, c.rgbGreen, c.rgbRed});
            } else {
                bgr.insert(bgr.end(), row + 3 * x, row + 3 * x + 3);
            }
        }
    }
    return bgr;
}

#ifndef _WIN32
bool ReadReferencePng(const fs::path& file, int32_t& width, int32_t& height, Bytes& bgr) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, file.string().c_str())) return false;
    png.format = PNG_FORMAT_BGR;
    width = static_cast<int32_t>(png.width);
    height = static_cast<int32_t>(png.height);
    bgr.resize(PNG_IMAGE_SIZE(png));
    const bool read = png_image_finish_read(&png, nullptr, bgr.data(), 0, nullptr) != 0;
    png_image_free(&png);
    return read;
}
#endif

enum class Expect {
    kSame,          // the reference picture, to within `tolerance` per channel
    kWrongColours,  // decoded, but the colour table is read from offset 54 (inside a longer header)
    kRejected,
};

struct SuiteFile {
    const char* name;
    Expect expect;
    const char* reference;  // bmpsuite-reference/html/<reference>
    int tolerance = 0;
};

}  // namespace

TEST_F(BmpReading, PublicBitmapFilesNeverCrashOrLeak) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    int decoded = 0;
    int rejected = 0;
    for (const fs::path& file : BitmapFiles(root)) {
        if (DecodedImage* image = LoadFile(file.wstring())) {
            ++decoded;
            const BITMAPINFOHEADER& h = image->header;
            EXPECT_TRUE(h.biBitCount == 8 || h.biBitCount == 24) << file;
            EXPECT_TRUE(h.biWidth >= 1 && h.biWidth <= kLargestBmpSide && h.biHeight >= 1 &&
                        h.biHeight <= kLargestBmpSide)
                << file;
        } else {
            ++rejected;
            EXPECT_NE(context.codecs.bmpReader->errorCode, kErrorNone) << file;
        }
        ReleaseDecoded();
        ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << file;
    }
    EXPECT_GT(decoded, 100);
    EXPECT_GT(rejected, 40);
    std::printf("bitmap corpus: %d decoded, %d rejected\n", decoded, rejected);
}

TEST_F(BmpReading, BitmapSuiteGoodFiles) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    const fs::path suite = root / "pillow-tests" / "Tests" / "images" / "bmp" / "g";
    const fs::path references = root / "bmpsuite-reference" / "html";
    if (!fs::is_directory(suite)) GTEST_SKIP() << "no bitmap suite at " << suite.string();
    // 16-bit fields are scaled with truncation (x 255 / 31), the references round.
    const SuiteFile files[] = {
        {"pal1.bmp", Expect::kSame, "pal1.png"},
        {"pal1wb.bmp", Expect::kSame, "pal1.png"},
        {"pal1bg.bmp", Expect::kSame, "pal1bg.png"},
        {"pal4.bmp", Expect::kSame, "pal4.png"},
        {"pal8.bmp", Expect::kSame, "pal8.png"},
        {"pal8-0.bmp", Expect::kSame, "pal8.png"},
        {"pal8nonsquare.bmp", Expect::kSame, "pal8nonsquare-e.png"},
        {"pal8w124.bmp", Expect::kSame, "pal8w124.png"},
        {"pal8w125.bmp", Expect::kSame, "pal8w125.png"},
        {"pal8w126.bmp", Expect::kSame, "pal8w126.png"},
        {"rgb16.bmp", Expect::kSame, "rgb16.png", 1},
        {"rgb16-565.bmp", Expect::kSame, "rgb16-565.png", 1},
        {"rgb16-565pal.bmp", Expect::kSame, "rgb16-565.png", 1},
        {"rgb24.bmp", Expect::kSame, "rgb24.png"},
        {"rgb24pal.bmp", Expect::kSame, "rgb24.png"},
        {"rgb32.bmp", Expect::kSame, "rgb24.png"},
        {"pal8v4.bmp", Expect::kWrongColours, "pal8.png"},
        {"pal8v5.bmp", Expect::kWrongColours, "pal8.png"},
        {"pal4rle.bmp", Expect::kRejected, nullptr},
        {"pal8rle.bmp", Expect::kRejected, nullptr},
        {"pal8topdown.bmp", Expect::kRejected, nullptr},
        {"pal8os2.bmp", Expect::kRejected, nullptr},  // a 12-byte header read as 40 bytes: absurd width
    };
    Picture pal8{};
    if (DecodedImage* image = LoadFile((suite / "pal8.bmp").wstring())) pal8 = Capture(*image);
    for (const SuiteFile& entry : files) {
        const fs::path file = suite / entry.name;
        DecodedImage* image = LoadFile(file.wstring());
        if (entry.expect == Expect::kRejected) {
            EXPECT_EQ(image, nullptr) << entry.name;
            EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpInvalidPicture) << entry.name;
            continue;
        }
        ASSERT_NE(image, nullptr) << entry.name;
        if (entry.expect == Expect::kWrongColours) {
            // The same indices as pal8.bmp, from bfOffBits behind the longer header.
            EXPECT_EQ(Capture(*image).pixels, pal8.pixels) << entry.name;
            EXPECT_NE(Capture(*image).palette, pal8.palette) << entry.name;
            continue;
        }
#ifndef _WIN32
        int32_t width = 0;
        int32_t height = 0;
        Bytes expected;
        ASSERT_TRUE(ReadReferencePng(references / entry.reference, width, height, expected)) << entry.reference;
        ASSERT_EQ(image->header.biWidth, width) << entry.name;
        ASSERT_EQ(image->header.biHeight, height) << entry.name;
        const Bytes actual = TopDownBgr(*image);
        ASSERT_EQ(actual.size(), expected.size());
        int worst = 0;
        for (size_t i = 0; i < actual.size(); ++i) worst = std::max(worst, std::abs(actual[i] - expected[i]));
        EXPECT_LE(worst, entry.tolerance) << entry.name << " differs from " << entry.reference;
#else
        EXPECT_EQ(TopDownBgr(*image).size(), 3u * image->header.biWidth * image->header.biHeight);
#endif
    }

    // Masks not packed from bit 0 (red 24-31, green 4-11, blue 16-23) are taken
    // by their lengths alone: blue 24 bits, green 1 bit above it (always 0 here), red 7.
    DecodedImage* image = LoadFile((suite / "rgb32bf.bmp").wstring());
    ASSERT_NE(image, nullptr);
    const Bytes shifted = TopDownBgr(*image);
#ifndef _WIN32
    int32_t width = 0;
    int32_t height = 0;
    Bytes expected;
    ASSERT_TRUE(ReadReferencePng(references / "rgb24.png", width, height, expected));
    ASSERT_EQ(shifted.size(), expected.size());
    for (size_t i = 0; i < shifted.size(); i += 3) {
        ASSERT_EQ(shifted[i], (expected[i] * 65536u * 255u) / 0xFFFFFFu) << i;
        ASSERT_EQ(shifted[i + 1], 0) << i;
        ASSERT_EQ(shifted[i + 2], ((expected[i + 2] >> 1) * 255u) / 127u) << i;
    }
#else
    for (size_t i = 1; i < shifted.size(); i += 3) ASSERT_EQ(shifted[i], 0) << i;
#endif
}

TEST_F(BmpReading, BitmapSuiteBadFilesAndKnownCrashers) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    // Fields the reader does not look at (bfSize, biSizeImage, planes, resolution)
    // cannot make a file bad; an oversized table is bounded; indices beyond it
    // meet zero entries; a short file has zero rows.
    const std::pair<const char*, bool> decodes[] = {
        {"badbitcount.bmp", false},   {"badbitssize.bmp", true},   {"baddens1.bmp", true},
        {"baddens2.bmp", true},       {"badfilesize.bmp", true},   {"badheadersize.bmp", true},
        {"badpalettesize.bmp", true}, {"badplanes.bmp", true},     {"badrle.bmp", false},
        {"badwidth.bmp", false},      {"pal8badindex.bmp", true},  {"reallybig.bmp", false},
        {"rletopdown.bmp", false},    {"shortfile.bmp", true},
    };
    const fs::path bad = root / "pillow-tests" / "Tests" / "images" / "bmp" / "b";
    for (const auto& [name, decoded] : decodes) {
        DecodedImage* image = LoadFile((bad / name).wstring());
        EXPECT_EQ(image != nullptr, decoded) << name;
        if (!decoded) {
            EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpInvalidPicture) << name;
        }
    }
    // shortfile.bmp has 211 bytes of 16-byte rows: rows 14 to 63 are missing and zero.
    DecodedImage* image = LoadFile((bad / "shortfile.bmp").wstring());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::count(image->pixels + 14 * 128, image->pixels + 64 * 128, 0), 50 * 128);
    EXPECT_NE(std::count(image->pixels, image->pixels + 13 * 128, 1), 0);

    // A height of 1,509,949,441 that once overflowed a row-size product.
    EXPECT_EQ(LoadFile((root / "gdk-pixbuf-tests" / "cve-2015-4491.bmp").wstring()), nullptr);
    EXPECT_EQ(context.codecs.bmpReader->errorCode, kBmpInvalidPicture);

    // Palette indices beyond biClrUsed (CVE-2018-14498): the picture decodes,
    // and the entries beyond the table are zero, never memory beyond it.
    const fs::path overrun = root / "libjpeg-turbo-bugs" / "compress" / "github_258_CVE-2018-14498";
    const std::vector<fs::path> overruns = BitmapFiles(overrun);
    EXPECT_FALSE(overruns.empty()) << overrun;
    for (const fs::path& file : overruns) {
        DecodedImage* image = LoadFile(file.wstring());
        ASSERT_NE(image, nullptr) << file;
        uint32_t used = 0;
        std::ifstream in(file, std::ios::binary);
        in.seekg(46);
        in.read(reinterpret_cast<char*>(&used), 4);
        const RGBQUAD none{};
        for (uint32_t i = std::min(used, 256u); i < 256; ++i)
            EXPECT_EQ(memcmp(&image->palette[i], &none, sizeof none), 0) << file << ", entry " << i;
    }
}
