// The JPEG reader against the library's own decode: grey and colour layouts,
// densities, CMYK folding, cut and lying files, limits, and public JPEGs.
#include "support/test_context.h"
#include "codecs/readers/jpeg_reader.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "settings/settings_store.h"
#include "support/corpus_path.h"
#include "support/jpeg_tools.h"
#include "support/reader_fixture.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>

#include <jpeglib.h>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Hash(uint32_t v) {
    v ^= v >> 16;
    v *= 0x7FEB352Du;
    v ^= v >> 15;
    v *= 0x846CA68Bu;
    v ^= v >> 16;
    return v;
}

JpegRecipe Recipe(int width, int height, int components, uint32_t seed = 1) {
    JpegRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.components = components;
    recipe.rows.resize(static_cast<size_t>(width) * height * components);
    for (size_t i = 0; i < recipe.rows.size(); ++i) {
        // Smooth enough to compress, noisy enough to tell rows apart.
        const size_t pixel = i / components;
        const int x = static_cast<int>(pixel % width);
        const int y = static_cast<int>(pixel / width);
        recipe.rows[i] = static_cast<uint8_t>(x * 3 + y * 5 + (i % components) * 70 + (Hash(seed + i) & 15));
    }
    return recipe;
}

// The stride of a decoded picture's rows.
size_t StrideOf(const DecodedImage& image) {
    return ((static_cast<size_t>(image.header.biWidth) * image.header.biBitCount + 31) / 32) * 4;
}

// The reference decode laid out as our picture: bottom-up rows padded to 4
// bytes, colour blue first, CMYK folded by the formula a x k / 255.
Bytes AsPicture(const ReferenceDecode& decoded) {
    const int bits = decoded.components == 1 ? 8 : 24;
    const size_t stride = ((static_cast<size_t>(decoded.width) * bits + 31) / 32) * 4;
    Bytes rows(stride * decoded.height, 0);
    for (int y = 0; y < decoded.height; ++y) {
        uint8_t* out = rows.data() + stride * (decoded.height - 1 - y);
        const uint8_t* in = decoded.rows.data() + static_cast<size_t>(y) * decoded.width * decoded.components;
        for (int x = 0; x < decoded.width; ++x, in += decoded.components) {
            if (decoded.components == 1) {
                out[x] = in[0];
            } else if (decoded.components == 3) {
                out[3 * x] = in[2];
                out[3 * x + 1] = in[1];
                out[3 * x + 2] = in[0];
            } else {
                out[3 * x] = static_cast<uint8_t>(in[2] * in[3] / 255);
                out[3 * x + 1] = static_cast<uint8_t>(in[1] * in[3] / 255);
                out[3 * x + 2] = static_cast<uint8_t>(in[0] * in[3] / 255);
            }
        }
    }
    return rows;
}

Bytes Segment(uint8_t marker, size_t declaredLength, const Bytes& body) {
    Bytes bytes = {0xFF, marker, static_cast<uint8_t>(declaredLength >> 8), static_cast<uint8_t>(declaredLength)};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

class JpegReading : public ReaderTest {
protected:
    void SetUp() override {
        ReaderTest::SetUp();
        appSettings = AppSettings{};
    }
    DecodedImage* LoadFile(const std::wstring& path) {
        DecodedImage* image = LoadWith(LoadJpeg, path);
        EXPECT_EQ(context.codecs.jpegReader->inputView, nullptr) << "the view stays mapped after the load";
        EXPECT_EQ(context.codecs.jpegReader->inputFile, INVALID_HANDLE_VALUE);
        return image;
    }
    DecodedImage* Load(const Bytes& bytes) { return LoadFile(folder.Write(L"picture.jpg", bytes)); }
    // Our decode must be the library's, laid out as a bottom-up picture.
    void ExpectSameAsReference(const Bytes& file, const std::string& what) {
        const ReferenceDecode reference = DecodeJpeg(file, -1);
        ASSERT_TRUE(reference.ok) << what << ": " << reference.message;
        const ReferenceDecode colour =
            reference.components == 3 ? DecodeJpeg(file, JCS_RGB) : reference;  // red first, to swap ourselves
        DecodedImage* image = Load(file);
        ASSERT_NE(image, nullptr) << what;
        ASSERT_EQ(image->header.biWidth, reference.width) << what;
        ASSERT_EQ(image->header.biHeight, reference.height) << what;
        ASSERT_EQ(image->header.biBitCount, reference.components == 1 ? 8 : 24) << what;
        const Bytes expected = AsPicture(colour);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image->pixels)) << what;
    }
};

}  // namespace

TEST_F(JpegReading, OneGreyPixelIsAnEightBitPictureWithAGreyPalette) {
    JpegRecipe recipe = Recipe(1, 1, 1);
    recipe.rows = {77};
    context.codecs.jpegReader->image.palette[3].rgbReserved = 9;  // left over from an earlier picture
    DecodedImage* image = Load(EncodeJpeg(recipe));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image, &context.codecs.jpegReader->image);
    const BITMAPINFOHEADER& h = image->header;
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 1);
    EXPECT_EQ(h.biHeight, 1);
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 8);
    EXPECT_EQ(h.biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(h.biClrUsed, 0u);
    EXPECT_EQ(StrideOf(*image), 4u);
    EXPECT_EQ(image->fileBitCount, 8);
    EXPECT_EQ(image->sourceFormat, kFormatJpeg);
    EXPECT_NE(image->lastWriteTime.dwHighDateTime, 0u);
    EXPECT_NEAR(image->pixels[0], 77, 1);
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD& entry = image->palette[i];
        ASSERT_EQ((std::vector<int>{entry.rgbBlue, entry.rgbGreen, entry.rgbRed, entry.rgbReserved}),
                  (std::vector<int>{i, i, i, 0}))
            << "entry " << i;
    }
}

TEST_F(JpegReading, ColourRowsAreBlueFirstBottomUpAndPadded) {
    for (auto [width, height] : {std::pair{5, 3}, {1, 1}, {37, 19}}) {
        const Bytes file = EncodeJpeg(Recipe(width, height, 3));
        ExpectSameAsReference(file, std::to_string(width) + " x " + std::to_string(height));
        if (context.current == nullptr) continue;
        EXPECT_EQ(context.current->fileBitCount, 24);
        EXPECT_EQ(StrideOf(*context.current), static_cast<size_t>((3 * width + 3) & ~3));
        if (width == 5) {
            EXPECT_EQ(StrideOf(*context.current), 16u);
            EXPECT_EQ(context.current->pixels[15], 0) << "padding stays zero";
        }
    }
    // A pure red top row and a pure blue bottom row, in memory order.
    JpegRecipe flat = Recipe(16, 16, 3);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            uint8_t* p = &flat.rows[(static_cast<size_t>(y) * 16 + x) * 3];
            p[0] = y < 8 ? 255 : 0;
            p[1] = 0;
            p[2] = y < 8 ? 0 : 255;
        }
    flat.quality = 100;
    DecodedImage* image = Load(EncodeJpeg(flat));
    ASSERT_NE(image, nullptr);
    const uint8_t* bottom = image->pixels;
    const uint8_t* top = image->pixels + 15 * 48;
    EXPECT_GT(top[2], 240);
    EXPECT_LT(top[0], 15);
    EXPECT_GT(bottom[0], 240);
    EXPECT_LT(bottom[2], 15);
}

TEST_F(JpegReading, DensityBecomesPixelsPerMetre) {
    struct Case {
        int unit, x, y;
        bool jfif;
        int32_t expectX, expectY;
    };
    const Case cases[] = {{1, 72, 72, true, 2835, 2835},    {1, 96, 72, true, 3780, 2835},
                          {2, 28, 28, true, 2800, 2800},    {0, 300, 200, true, 0, 0},
                          {1, 72, 72, false, 0, 0},         {1, 0, 1, true, 0, 39},
                          {2, 65535, 1, true, 6553500, 100}};
    for (const Case& c : cases) {
        JpegRecipe recipe = Recipe(3, 2, 3);
        recipe.densityUnit = c.unit;
        recipe.xDensity = c.x;
        recipe.yDensity = c.y;
        recipe.jfif = c.jfif;
        DecodedImage* image = Load(EncodeJpeg(recipe));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->header.biXPelsPerMeter, c.expectX) << "unit " << c.unit << ", " << c.x;
        EXPECT_EQ(image->header.biYPelsPerMeter, c.expectY) << "unit " << c.unit << ", " << c.y;
    }
}

TEST_F(JpegReading, FourComponentsAreFoldedWithoutInversion) {
    // Flat 8 x 8 blocks come back exactly at quality 100.
    const uint8_t blocks[][4] = {{255, 255, 255, 255}, {255, 0, 0, 255}, {37, 200, 90, 0}, {128, 64, 255, 128}};
    JpegRecipe recipe = Recipe(32, 8, 4);
    recipe.quality = 100;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) std::copy(blocks[x / 8], blocks[x / 8] + 4, &recipe.rows[(y * 32 + x) * 4]);
    const Bytes file = EncodeJpeg(recipe);
    DecodedImage* image = Load(file);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biBitCount, 24);
    EXPECT_EQ(image->fileBitCount, 24);
    const uint8_t expected[][3] = {{255, 255, 255}, {0, 0, 255}, {0, 0, 0}, {128, 32, 64}};  // blue, green, red
    for (int block = 0; block < 4; ++block) {
        const uint8_t* pixel = image->pixels + 3 * (8 * block + 3);
        EXPECT_EQ((Bytes{pixel[0], pixel[1], pixel[2]}), Bytes(expected[block], expected[block] + 3))
            << "block " << block;
    }
    // Every pixel of a busy picture as the formula gives it from the library's samples.
    ExpectSameAsReference(EncodeJpeg(Recipe(29, 17, 4, 5)), "CMYK");
}

TEST_F(JpegReading, ACutScanStillGivesTheWholePicture) {
    const Bytes whole = EncodeJpeg(Recipe(64, 48, 3));
    const JpegStructure structure = WalkJpeg(whole);
    ASSERT_TRUE(structure.complete);
    // The scan's data begins after the SOS segment; cut halfway through it.
    size_t scanStart = 0;
    for (size_t i = 0; i + 1 < whole.size(); ++i)
        if (whole[i] == 0xFF && whole[i + 1] == 0xDA) scanStart = i + 2 + ((whole[i + 2] << 8) | whole[i + 3]);
    ASSERT_GT(scanStart, 0u);
    const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>((scanStart + whole.size()) / 2));
    DecodedImage* image = Load(cut);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(context.codecs.jpegReader->errorCode, kErrorNone);
    EXPECT_EQ(image->header.biWidth, 64);
    EXPECT_EQ(image->header.biHeight, 48);
    // The top rows, decoded before the cut, are the whole file's.
    const Bytes full = AsPicture(DecodeJpeg(whole, JCS_RGB));
    const size_t stride = StrideOf(*image);
    EXPECT_TRUE(
        std::equal(full.end() - static_cast<std::ptrdiff_t>(8 * stride), full.end(), image->pixels + 40 * stride));

    // Every prefix of a small file: no picture while the header is incomplete,
    // the full size from the start of the scan on.
    JpegRecipe smallRecipe = Recipe(16, 16, 3);
    smallRecipe.quality = 50;
    const Bytes small = EncodeJpeg(smallRecipe);
    size_t smallScan = 0;
    for (size_t i = 0; i + 1 < small.size(); ++i)
        if (small[i] == 0xFF && small[i + 1] == 0xDA) smallScan = i + 2 + ((small[i + 2] << 8) | small[i + 3]);
    for (size_t length = 0; length < small.size(); ++length) {
        DecodedImage* prefix = Load(Bytes(small.begin(), small.begin() + static_cast<std::ptrdiff_t>(length)));
        if (prefix == nullptr) {
            EXPECT_LT(length, smallScan) << length << " bytes";
            EXPECT_EQ(context.codecs.jpegReader->errorCode, length == 0 ? int32_t{kJpegCannotOpen} : int32_t{kErrorNone})
                << length << " bytes";
        } else {
            EXPECT_EQ(prefix->header.biWidth, 16);
            EXPECT_EQ(prefix->header.biHeight, 16);
        }
        if (length >= smallScan) {
            EXPECT_NE(prefix, nullptr) << length << " bytes";
        }
    }
}

TEST_F(JpegReading, SegmentsClaimingMoreThanTheFileHoldsStopAtItsEnd) {
    // Files of whole pages, so that a read past the view leaves the mapping.
    for (uint8_t marker : {0xE1, 0xFE, 0xEE}) {
        for (size_t size : {size_t{4096}, size_t{8192}}) {
            Bytes file = {0xFF, 0xD8};
            const Bytes lie = Segment(marker, 0xFFFF, Bytes(size - 6, 0x5A));
            file.insert(file.end(), lie.begin(), lie.end());
            ASSERT_EQ(file.size(), size);
            EXPECT_EQ(Load(file), nullptr);
            EXPECT_EQ(context.codecs.jpegReader->errorCode, kErrorNone);
        }
    }
    // A picture whose last segment before the scan lies: the claimed bytes
    // swallow the scan, and the file ends without an image.
    const Bytes whole = EncodeJpeg(Recipe(8, 8, 3));
    Bytes file(whole.begin(), whole.begin() + 2);
    const Bytes lie = Segment(0xE2, 0xFFFF, {1, 2, 3});
    file.insert(file.end(), lie.begin(), lie.end());
    file.insert(file.end(), whole.begin() + 2, whole.end());
    EXPECT_EQ(Load(file), nullptr);
    EXPECT_EQ(context.codecs.jpegReader->errorCode, kErrorNone);
}

TEST_F(JpegReading, FilesThatAreNoJpegFailQuietlyAndGoOnToPlugins) {
    const Bytes notJpeg[] = {{0xFF, 0xD8},
                             {0xFF, 0xD8, 0xFF},
                             {0xFF, 0xD8, 'n', 'o', 't', ' ', 'a', ' ', 'J', 'P', 'E', 'G'},
                             {0xFF, 0xD8, 0xFF, 0xD9},
                             Bytes(3000, 0xFF)};
    for (const Bytes& bytes : notJpeg) {
        Bytes file = bytes;
        file[0] = 0xFF;
        file[1] = 0xD8;
        EXPECT_EQ(Load(file), nullptr) << file.size() << " bytes";
        EXPECT_EQ(context.codecs.jpegReader->errorCode, kErrorNone);
        const std::wstring path = folder.Write(L"fake.jpg", file);
        context.current = &context.codecs.jpegReader->image;
        EXPECT_FALSE(LoadPicture(context, path.c_str())) << "with plug-ins off nothing else takes it";
        EXPECT_EQ(context.current, nullptr);
    }
    EXPECT_EQ(LoadFile(folder.Join(L"absent.jpg")), nullptr);
    EXPECT_EQ(context.codecs.jpegReader->errorCode, kJpegCannotOpen);
    EXPECT_EQ(Load({}), nullptr);
    EXPECT_EQ(context.codecs.jpegReader->errorCode, kJpegCannotOpen);
}

TEST_F(JpegReading, SidesUpTo25000AndOneThreeOrFourComponents) {
    for (auto [width, height] : {std::pair{25000, 1}, {1, 25000}}) {
        JpegRecipe recipe = Recipe(width, height, 1);
        DecodedImage* image = Load(EncodeJpeg(recipe));
        ASSERT_NE(image, nullptr) << width << " x " << height;
        EXPECT_EQ(image->header.biWidth, width);
        EXPECT_EQ(image->header.biHeight, height);
    }
    for (auto [width, height] : {std::pair{25001, 1}, {1, 25001}, {60000, 2}}) {
        EXPECT_EQ(Load(EncodeJpeg(Recipe(width, height, 1))), nullptr) << width << " x " << height;
        EXPECT_EQ(context.codecs.jpegReader->errorCode, kJpegInvalidPicture);
    }
    // Two components of no named colour space (the library writes no more than four).
    const Bytes file = EncodeJpeg(Recipe(8, 8, 2));
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(Load(file), nullptr);
    EXPECT_EQ(context.codecs.jpegReader->errorCode, kJpegInvalidPicture);
}

TEST_F(JpegReading, NoPixelMemoryOutlivesAFailedDecode) {
    const Bytes file = EncodeJpeg(Recipe(16, 16, 3));
    AllocationProbe::FailAt(1);
    EXPECT_EQ(Load(file), nullptr);
    EXPECT_EQ(context.codecs.jpegReader->errorCode, kJpegOutOfMemory);
    AllocationProbe::Reset();

    // A second frame header after the scan: the library stops in its last
    // step, once the rows exist.
    const JpegStructure structure = WalkJpeg(file);
    const JpegSegment* frame = structure.Find(0xC0);
    ASSERT_NE(frame, nullptr);
    Bytes twice(file.begin(), file.end() - 2);
    const Bytes again = Segment(0xC0, frame->body.size() + 2, frame->body);
    twice.insert(twice.end(), again.begin(), again.end());
    twice.insert(twice.end(), {0xFF, 0xD9});
    EXPECT_EQ(Load(twice), nullptr);
    EXPECT_EQ(context.codecs.jpegReader->errorCode, kErrorNone);
    EXPECT_EQ(context.codecs.jpegReader->image.pixels, nullptr);
}

// ---- Public test files ----

TEST_F(JpegReading, PublicPicturesDecodeAsTheLibraryDecodesThem) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "the shared corpora are not present";
    const char* const decodable[] = {
        "libjpeg-turbo-testimages/testorig.jpg",
        "libjpeg-turbo-testimages/testimgint.jpg",
        "libjpeg-turbo-testimages/testimgari.jpg",
        "wuffs-testdata/test/data/harvesters.jpeg",
        "wuffs-testdata/test/data/hibiscus.primitive.jpeg",
        "zigimg-test-suite/fixtures/jpeg/tuba.jpg",
        "zigimg-test-suite/fixtures/jpeg/tuba_restart_prog.jpg",
        "gdk-pixbuf-tests/test-images/reftests/cat.jpg",
        "pillow-tests/Tests/images/jpg/progressive/cat.jpg",
    };
    int tried = 0;
    for (const char* name : decodable) {
        const fs::path path = root / name;
        if (!fs::exists(path)) continue;
        ++tried;
        ExpectSameAsReference(ReadWholeFile(path.wstring()), name);
    }
    EXPECT_GT(tried, 0) << "none of the public pictures was found";
    // 12-bit samples are beyond this build of the library: refused, not read.
    const fs::path twelve = root / "libjpeg-turbo-testimages" / "testorig12.jpg";
    if (fs::exists(twelve)) {
        EXPECT_EQ(LoadFile(twelve.wstring()), nullptr);
        EXPECT_EQ(context.codecs.jpegReader->errorCode, kErrorNone);
    }
}

// The library's regression files: each one either decodes within the limits
// or fails cleanly, and a decode matches the library's own where both succeed.
TEST_F(JpegReading, LibraryRegressionFilesNeverBreakTheReader) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "the shared corpora are not present";
    const fs::path bugs = root / "libjpeg-turbo-bugs";
    if (!fs::is_directory(bugs)) GTEST_SKIP() << "missing " << bugs.string();
    int files = 0;
    int decoded = 0;
    for (const auto& entry : fs::recursive_directory_iterator(bugs)) {
        if (!entry.is_regular_file() || entry.path().filename().string()[0] == '_') continue;
        const Bytes bytes = ReadWholeFile(entry.path().wstring());
        if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) continue;
        ++files;
        DecodedImage* image = LoadFile(entry.path().wstring());
        if (image == nullptr) continue;
        ++decoded;
        EXPECT_GE(image->header.biWidth, 1);
        EXPECT_LE(image->header.biWidth, 25000);
        EXPECT_GE(image->header.biHeight, 1);
        EXPECT_LE(image->header.biHeight, 25000);
        EXPECT_NE(image->pixels, nullptr);
    }
    EXPECT_GT(files, 0);
    std::printf("[          ] %d regression JPEGs, %d decoded\n", files, decoded);
}
