// The GIF reader: the public GIF suites against giflib's first frame composed
// on the logical screen, every broken file in the corpora, the failure table
// with its codes, and the hand-made cases the corpora do not pin down.
#include "support/test_context.h"
#include "codecs/readers/gif_reader.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "codecs/readers/mapped_file.h"
#include "support/corpus_path.h"
#include "support/gif_builder.h"
#include "support/reader_fixture.h"
#include "support/temp_folder.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#ifndef _WIN32
#include <gif_lib.h>
#endif

namespace fs = std::filesystem;

namespace {

using Bytes = GifBytes;

// The picture's indices, top row first, without the row padding.
Bytes ScreenIndices(const DecodedImage& image) {
    const int32_t width = image.header.biWidth;
    const int32_t height = image.header.biHeight;
    const size_t stride = static_cast<size_t>((width + 3) & ~3);
    Bytes indices;
    for (int32_t y = height - 1; y >= 0; --y) {
        const uint8_t* row = image.pixels + static_cast<size_t>(y) * stride;
        indices.insert(indices.end(), row, row + width);
    }
    return indices;
}

// Bytes after each row's width are zero.
bool PaddingIsZero(const DecodedImage& image) {
    const int32_t width = image.header.biWidth;
    const size_t stride = static_cast<size_t>((width + 3) & ~3);
    for (int32_t y = 0; y < image.header.biHeight; ++y)
        for (size_t x = static_cast<size_t>(width); x < stride; ++x)
            if (image.pixels[static_cast<size_t>(y) * stride + x] != 0) return false;
    return true;
}

bool SameColour(const RGBQUAD& entry, uint8_t red, uint8_t green, uint8_t blue) {
    return entry.rgbRed == red && entry.rgbGreen == green && entry.rgbBlue == blue && entry.rgbReserved == 0;
}

// The rows of an interlaced image in the order the file stores them.
std::vector<int32_t> InterlacedOrder(int32_t height) {
    std::vector<int32_t> order;
    const int32_t starts[] = {0, 4, 2, 1};
    const int32_t steps[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int32_t row = starts[pass]; row < height; row += steps[pass]) order.push_back(row);
    return order;
}

bool IsGif(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    return in.gcount() == 4 && memcmp(magic, "GIF8", 4) == 0;
}

// Every GIF under the folder (by content), in name order.
std::vector<fs::path> GifFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    if (!fs::is_directory(folder, error)) return files;
    for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
        if (error) break;
        if (it->is_regular_file(error) && it->file_size(error) < (64u << 20) && IsGif(it->path()))
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class GifReading : public ReaderTest {
protected:
    DecodedImage* LoadBytes(const Bytes& bytes) {
        ReleaseDecoded();
        return LoadWith(LoadGif, folder.Write(L"picture.gif", bytes));
    }
    DecodedImage* LoadFile(const fs::path& path) { return LoadWith(LoadGif, path.wstring()); }
    bool DecodeInMemory(const Bytes& bytes, int32_t& code) {
        return ReaderTest::DecodeInMemory(*context.codecs.gifReader, bytes, code, [](GifReader&) {});
    }
    // The screen's indices of a file that must decode.
    Bytes Decoded(const Bytes& file) {
        DecodedImage* image = LoadBytes(file);
        EXPECT_NE(image, nullptr) << "error " << context.codecs.gifReader->errorCode;
        return image != nullptr ? ScreenIndices(*image) : Bytes{};
    }
};

#ifndef _WIN32
// giflib's view of a file's first image, composed as the reader composes it:
// the screen in the background index, the image at its place, rows out of
// interlaced order, and the transparent entry given the background colour.
struct Reference {
    bool read = false;          // giflib decoded the first image
    int32_t expectedCode = 0;   // the reader's failure this file must give; 0: it must decode
    bool outsideRules = false;  // an extension whose size is not the standard one precedes the image
    int32_t width = 0;
    int32_t height = 0;
    int32_t tableBits = 0;
    Bytes indices;
    uint8_t palette[256][3] = {};
};

struct FileInput {
    const Bytes* bytes;
    size_t at;
};

int ReadFromMemory(GifFileType* gif, GifByteType* to, int count) {
    auto* input = static_cast<FileInput*>(gif->UserData);
    const size_t left = input->bytes->size() - input->at;
    const size_t n = std::min(left, static_cast<size_t>(count));
    memcpy(to, input->bytes->data() + input->at, n);
    input->at += n;
    return static_cast<int>(n);
}

Reference ReadReference(const Bytes& file) {
    Reference ref;
    if (file.size() < 13 || (memcmp(file.data(), "GIF87a", 6) != 0 && memcmp(file.data(), "GIF89a", 6) != 0)) {
        ref.expectedCode = kGifMalformed;
        return ref;
    }
    FileInput input{&file, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&input, ReadFromMemory, &error);
    if (gif == nullptr) return ref;
    const int32_t screenWidth = gif->SWidth;
    const int32_t screenHeight = gif->SHeight;
    const ColorMapObject* global = gif->SColorMap;
    const int background = global != nullptr ? gif->SBackGroundColor : 0;
    bool transparent = false;
    int transparentIndex = 0;
    const auto finish = [&](int32_t code) {
        ref.expectedCode = code;
        DGifCloseFile(gif, &error);
        return ref;
    };
    if (screenWidth < 1 || screenHeight < 1 || screenWidth > kLargestGifSide || screenHeight > kLargestGifSide)
        return finish(kGifBadScreen);
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR) return finish(0);
        if (type == TERMINATE_RECORD_TYPE) return finish(kGifMalformed);
        if (type == EXTENSION_RECORD_TYPE) {
            int label = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif, &label, &block) == GIF_ERROR) return finish(0);
            const int size = block != nullptr ? block[0] : 0;
            if (label != 0xF9 && label != 0x01 && label != 0xFE && label != 0xFF) return finish(kGifUnknownBlock);
            if ((label == 0xF9 && size != 4) || (label == 0x01 && size != 12) || (label == 0xFF && size != 11))
                ref.outsideRules = true;
            if (label == 0xF9 && size == 4) {
                transparent = (block[1] & 1) != 0;
                transparentIndex = block[4];
            }
            int blocks = 0;
            while (block != nullptr) {
                if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return finish(0);
                if (block != nullptr) ++blocks;
            }
            if (label == 0xF9 && blocks > 0) ref.outsideRules = true;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) return finish(kGifUnknownBlock);
        // The descriptor's checks, read from the bytes themselves.
        const size_t at = input.at;
        const auto u16 = [&](size_t i) { return file[at + i] | (file[at + i + 1] << 8); };
        if (file.size() - at < 9) return finish(kGifMalformed);
        if (u16(0) + u16(4) > screenWidth || u16(2) + u16(6) > screenHeight) return finish(kGifMalformed);
        const uint8_t packed = file[at + 8];
        const size_t localBytes = (packed & 0x80) != 0 ? 3u << ((packed & 7) + 1) : 0;
        if (file.size() - at - 9 < localBytes) return finish(kGifMalformed);
        if (localBytes == 0 && global == nullptr) return finish(kGifMalformed);
        const size_t codeSizeAt = at + 9 + localBytes;
        if (file.size() - codeSizeAt < 2) return finish(kGifMalformed);
        if (file[codeSizeAt] < 2 || file[codeSizeAt] > 8) return finish(kGifMalformed);
        if (DGifGetImageDesc(gif) == GIF_ERROR) return finish(0);
        const GifImageDesc& desc = gif->Image;
        const ColorMapObject* active = desc.ColorMap != nullptr ? desc.ColorMap : global;
        Bytes rows(static_cast<size_t>(desc.Width) * static_cast<size_t>(desc.Height));
        for (int32_t y = 0; y < desc.Height; ++y)
            if (DGifGetLine(gif, rows.data() + static_cast<size_t>(y) * desc.Width, desc.Width) == GIF_ERROR)
                return finish(0);
        ref.read = true;
        ref.width = screenWidth;
        ref.height = screenHeight;
        ref.tableBits = active->BitsPerPixel;
        ref.indices.assign(static_cast<size_t>(screenWidth) * static_cast<size_t>(screenHeight),
                           static_cast<uint8_t>(background));
        std::vector<int32_t> order(static_cast<size_t>(desc.Height));
        for (int32_t y = 0; y < desc.Height; ++y) order[static_cast<size_t>(y)] = y;
        if (desc.Interlace) order = InterlacedOrder(desc.Height);
        for (int32_t k = 0; k < desc.Height; ++k)
            memcpy(ref.indices.data() + static_cast<size_t>(desc.Top + order[static_cast<size_t>(k)]) * screenWidth +
                       desc.Left,
                   rows.data() + static_cast<size_t>(k) * desc.Width, static_cast<size_t>(desc.Width));
        for (int i = 0; i < active->ColorCount && i < 256; ++i) {
            ref.palette[i][0] = active->Colors[i].Red;
            ref.palette[i][1] = active->Colors[i].Green;
            ref.palette[i][2] = active->Colors[i].Blue;
        }
        if (transparent) {
            uint8_t colour[3] = {255, 255, 255};
            if (global != nullptr) {
                colour[0] = colour[1] = colour[2] = 0;
                if (background < global->ColorCount) {
                    colour[0] = global->Colors[background].Red;
                    colour[1] = global->Colors[background].Green;
                    colour[2] = global->Colors[background].Blue;
                }
            }
            memcpy(ref.palette[transparentIndex], colour, 3);
        }
        return finish(0);
    }
}
#endif

// Where the public GIFs are: the conformance suites and samples, then the
// crash, stall, fail and fuzzed files.
const char* const kGifFolders[] = {
    "gdk-pixbuf-tests",   "zigimg-test-suite", "giflib",       "wuffs-testdata", "image-gif-tests",
    "image-rs-tests",     "libgd-tests",       "pillow-tests", "imagetestsuite", "libjpeg-turbo-seed-corpora",
    "libjpeg-turbo-bugs",
};

}  // namespace

// ---- The corpora ----

TEST_F(GifReading, PublicGifsMatchGiflibsFirstFrame) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    int decoded = 0;
    int rejected = 0;
    int compared = 0;
    int expectedFailures = 0;
    Bytes everything;  // all pictures and palettes, for one digest that both builds must reproduce
    for (const char* corpus : kGifFolders) {
        for (const fs::path& file : GifFiles(root / corpus)) {
            const std::string name = file.lexically_relative(root).generic_string();
            DecodedImage* image = LoadFile(file);
            const int32_t fileCode = context.codecs.gifReader->errorCode;
            // The same bytes in an exact-size block give the same outcome.
            const Bytes bytes = ReadWholeFile(file.wstring());
            if (image != nullptr) {
                ++decoded;
                EXPECT_EQ(image->header.biBitCount, 8) << name;
                EXPECT_EQ(image->sourceFormat, kFormatGif) << name;
                EXPECT_TRUE(PaddingIsZero(*image)) << name;
                const Bytes indices = ScreenIndices(*image);
                everything.insert(everything.end(), indices.begin(), indices.end());
                const auto* palette = reinterpret_cast<const uint8_t*>(image->palette);
                everything.insert(everything.end(), palette, palette + sizeof image->palette);
            } else {
                ++rejected;
                EXPECT_TRUE(fileCode == kGifOutOfMemory || fileCode == kGifBadScreen || fileCode == kGifUnknownBlock ||
                            fileCode == kGifMalformed)
                    << name << ": error " << fileCode;
            }
#ifndef _WIN32
            const Reference ref = ReadReference(bytes);
            if (ref.expectedCode != 0) {
                EXPECT_EQ(image, nullptr) << name;
                EXPECT_EQ(fileCode, ref.expectedCode) << name;
                ++expectedFailures;
            } else if (ref.read && !ref.outsideRules) {
                ++compared;
                if (image == nullptr) {
                    ADD_FAILURE() << name << ": giflib reads it, the reader says " << fileCode;
                } else {
                    EXPECT_EQ(image->header.biWidth, ref.width) << name;
                    EXPECT_EQ(image->header.biHeight, ref.height) << name;
                    EXPECT_EQ(image->fileBitCount, ref.tableBits) << name;
                    EXPECT_TRUE(ScreenIndices(*image) == ref.indices) << name << ": indices differ from giflib's";
                    for (int i = 0; i < 256; ++i)
                        if (!SameColour(image->palette[i], ref.palette[i][0], ref.palette[i][1], ref.palette[i][2])) {
                            ADD_FAILURE() << name << ": palette entry " << i << " differs";
                            break;
                        }
                }
            }
#endif
            ReleaseDecoded();
            int32_t code = kErrorNone;
            EXPECT_EQ(DecodeInMemory(bytes, code), image != nullptr) << name;
            EXPECT_EQ(code, fileCode) << name;
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << name;
        }
    }
    EXPECT_GT(decoded, 150);
    EXPECT_GT(rejected, 50);
    // The pictures the native build checked against giflib; the Windows
    // build (real file mapping, no giflib) must see the same ones.
    const uint32_t digest = Digest(everything.data(), everything.size());
    EXPECT_EQ(digest, 4195995316u);
#ifndef _WIN32
    EXPECT_GT(compared, 150);
    EXPECT_GT(expectedFailures, 10);
#endif
    std::printf("GIF corpora: %d decoded, %d rejected; %d compared with giflib, %d failures it predicts; digest %u\n",
                decoded, rejected, compared, expectedFailures, digest);
}

// Files that once crashed or hung other readers, each with its outcome.
TEST_F(GifReading, CrashAndStallFiles) {
    const fs::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "no test corpora (set FRAMELET_CORPORA or provide ../shared/corpora)";
    struct Case {
        const char* path;
        int32_t code;  // 0: decodes
    };
    const Case cases[] = {
        {"gdk-pixbuf-tests/test-images/fail/bug785973.gif", kGifBadScreen},
        {"gdk-pixbuf-tests/test-images/fail/hang_114.gif", 0},  // a broken code stream is no error
        {"gdk-pixbuf-tests/test-images/fail/invalid.4.gif", kGifMalformed},
        {"gdk-pixbuf-tests/test-images/fail/overflow-codes.gif", kGifMalformed},
        {"gdk-pixbuf-tests/test-images/gif-test-suite/max-size.gif", kGifBadScreen},
        {"gdk-pixbuf-tests/test-images/gif-test-suite/image-zero-width.gif", kGifMalformed},
        {"gdk-pixbuf-tests/test-images/gif-test-suite/invalid-code.gif", 0},
        {"image-gif-tests/tests/crashtest/issue-117-out-of-range.gif", kGifMalformed},  // image below the screen
        {"image-gif-tests/tests/crashtest/issue-96-small-codesize-2.gif", kGifMalformed},
        {"image-gif-tests/tests/crashtest/issue-96-small-codesize.gif", kGifBadScreen},  // height 0
        {"image-gif-tests/tests/stall/issue-101-infinite-empty-loop.gif", kGifBadScreen},
        {"libgd-tests/gif/php_bug_75571.gif", kGifUnknownBlock},
        {"libgd-tests/gif/ossfuzz5700.gif", kGifMalformed},  // code size 12
        {"libgd-tests/gif/bug00005_0.gif", kGifUnknownBlock},
        {"libgd-tests/gif/bug00005_2.gif", kGifMalformed},  // a 65535 x 65535 image on a 400 x 331 screen
        {"libgd-tests/gif/bug00005_3.gif", kGifMalformed},
        {"libgd-tests/gif/gif_nocolormaps.gif", kGifMalformed},
        {"libgd-tests/gif/unitialized_memory_read.gif", 0},  // indices past its 2-entry table
    };
    for (const Case& c : cases) {
        const fs::path file = root / c.path;
        ASSERT_TRUE(fs::exists(file)) << c.path;
        DecodedImage* image = LoadFile(file);
        if (c.code == 0) {
            EXPECT_NE(image, nullptr) << c.path << ": error " << context.codecs.gifReader->errorCode;
        } else {
            EXPECT_EQ(image, nullptr) << c.path;
            EXPECT_EQ(context.codecs.gifReader->errorCode, c.code) << c.path;
        }
        ReleaseDecoded();
    }
}

// ---- Hand-made cases ----

TEST_F(GifReading, SmallImageOnLargeScreen) {
    const Bytes indices{1, 2, 3, 4, 5, 6};
    DecodedImage* image = LoadBytes(GifCat({GifScreen(5, 4, 3, 7), GifImage(1, 2, 3, 2, indices, 3), {kGifTrailer}}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image, &context.codecs.gifReader->image);
    EXPECT_EQ(image->header.biSize, 40u);
    EXPECT_EQ(image->header.biWidth, 5);
    EXPECT_EQ(image->header.biHeight, 4);
    EXPECT_EQ(image->header.biBitCount, 8);
    EXPECT_EQ(image->header.biXPelsPerMeter, 0);
    EXPECT_EQ(image->sourceFormat, kFormatGif);
    EXPECT_EQ(image->fileBitCount, 3);
    const Bytes expected{7, 7, 7, 7, 7,  //
                         7, 7, 7, 7, 7,  //
                         7, 1, 2, 3, 7,  //
                         7, 4, 5, 6, 7};
    EXPECT_EQ(ScreenIndices(*image), expected);
    EXPECT_TRUE(PaddingIsZero(*image));
    EXPECT_TRUE(SameColour(image->palette[5], 5, 250, 35));
}

// Extensions before the first image are stepped over by their standard
// sizes; later images change nothing.
TEST_F(GifReading, AnimatedFileGivesItsFirstImage) {
    const Bytes loop{0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0};
    const Bytes comment{0x21, 0xFE, 3, 'a', 'b', 'c', 2, 'd', 'e', 0};
    // The size byte says 200; the reader steps 12 bytes regardless.
    Bytes text{0x21, 0x01, 200};
    text.insert(text.end(), 12, 0);
    text.insert(text.end(), {1, 'x', 0});
    const Bytes file = GifCat({GifScreen(2, 2, 2, 0),
                               loop,
                               comment,
                               text,
                               GifGraphicControl(false, 0),
                               GifImage(0, 0, 2, 2, {1, 2, 3, 1}, 2),
                               GifGraphicControl(true, 1),
                               GifImage(0, 0, 2, 2, {0, 0, 0, 0}, 2),
                               {kGifTrailer}});
    EXPECT_EQ(Decoded(file), (Bytes{1, 2, 3, 1}));
    EXPECT_TRUE(SameColour(context.codecs.gifReader->image.palette[1], 1, 254, 7)) << "the second image's transparency leaked";
}

TEST_F(GifReading, TransparentEntryTakesTheBackgroundColour) {
    // With a global table: the background entry's colour.
    DecodedImage* image = LoadBytes(
        GifCat({GifScreen(2, 1, 2, 3), GifGraphicControl(true, 1), GifImage(0, 0, 2, 1, {1, 2}, 2), {kGifTrailer}}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ScreenIndices(*image), (Bytes{1, 2}));
    EXPECT_TRUE(SameColour(image->palette[1], 3, 252, 21));
    EXPECT_TRUE(SameColour(image->palette[2], 2, 253, 14));
    // The transparent entry is the background entry: it keeps its colour.
    image = LoadBytes(
        GifCat({GifScreen(2, 1, 2, 2), GifGraphicControl(true, 2), GifImage(0, 0, 2, 1, {1, 2}, 2), {kGifTrailer}}));
    ASSERT_NE(image, nullptr);
    EXPECT_TRUE(SameColour(image->palette[2], 2, 253, 14));
    // Without one: white, in the image's local table.
    image = LoadBytes(GifCat({GifScreen(2, 1, 0, 0),
                              GifGraphicControl(true, 2),
                              GifDescriptor(0, 0, 2, 1, 2),
                              GifImageData(2, PackCodes(LiteralCodes({1, 2}, 2))),
                              {kGifTrailer}}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->fileBitCount, 2);
    EXPECT_TRUE(SameColour(image->palette[2], 255, 255, 255));
    EXPECT_TRUE(SameColour(image->palette[1], 1, 254, 7));
}

TEST_F(GifReading, TwoColourFile) {
    DecodedImage* image = LoadBytes(GifCat({GifScreen(3, 1, 1, 0), GifImage(0, 0, 3, 1, {1, 0, 1}, 2), {kGifTrailer}}));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->fileBitCount, 1);
    EXPECT_EQ(ScreenIndices(*image), (Bytes{1, 0, 1}));
    EXPECT_TRUE(SameColour(image->palette[1], 1, 254, 7));
    for (int i = 2; i < 256; ++i) EXPECT_TRUE(SameColour(image->palette[i], 0, 0, 0)) << i;
}

TEST_F(GifReading, InterlacedRowsFollowThePasses) {
    for (int32_t height = 1; height <= 8; ++height) {
        // Stored in pass order, each row holding its own number.
        Bytes stored;
        for (int32_t row : InterlacedOrder(height)) stored.insert(stored.end(), {static_cast<uint8_t>(row), 9});
        Bytes expected;
        for (int32_t row = 0; row < height; ++row) expected.insert(expected.end(), {static_cast<uint8_t>(row), 9});
        const Bytes file =
            GifCat({GifScreen(2, height, 4, 0), GifImage(0, 0, 2, height, stored, 4, true), {kGifTrailer}});
        EXPECT_EQ(Decoded(file), expected) << "height " << height;
    }
}

// Code streams the corpora do not pin down: what is missing stays index 0,
// and codes outside the table give bounded strings.
TEST_F(GifReading, UnusualCodeStreams) {
    struct Case {
        const char* what;
        std::vector<int32_t> codes;  // 9 bits each: minimum code size 8 on a 6 x 1 image
        Bytes expected;
    };
    const Case cases[] = {
        {"no end code", {256, 10, 11, 12}, {10, 11, 12, 0, 0, 0}},
        {"no clear code first", {10, 11, 257}, {10, 11, 0, 0, 0, 0}},
        {"next code used at once", {256, 10, 258, 257}, {10, 10, 10, 0, 0, 0}},
        {"a code past the table", {256, 10, 300, 257}, {10, 10, 10, 0, 0, 0}},
        {"an unknown code after a clear", {256, 300, 11, 257}, {300 & 0xFF, 11, 0, 0, 0, 0}},
        {"a string naming itself", {256, 258, 258, 258, 257}, {2, 2, 2, 2, 2, 0}},
        {"a string past the image", {256, 10, 258, 258, 258, 257}, {10, 10, 10, 10, 10, 0}},
        {"stop at the end code", {256, 10, 257, 11}, {10, 0, 0, 0, 0, 0}},
        {"clear after clear", {256, 256, 10, 256, 256, 11, 257}, {10, 11, 0, 0, 0, 0}},
        {"end after clear", {256, 10, 256, 257, 11}, {10, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        std::vector<GifCode> codes;
        for (int32_t code : c.codes) codes.push_back({code, 9});
        const Bytes file = GifCat(
            {GifScreen(6, 1, 8, 0), GifDescriptor(0, 0, 6, 1), GifImageData(8, PackCodes(codes)), {kGifTrailer}});
        EXPECT_EQ(Decoded(file), c.expected) << c.what;
    }
    // 3-bit codes: the last byte, loaded for code 2, still holds code 3 and
    // the end code (4 bits by then).
    const Bytes small = GifCat({GifScreen(3, 1, 2, 0),
                                GifDescriptor(0, 0, 3, 1),
                                GifImageData(2, PackCodes({{4, 3}, {1, 3}, {2, 3}, {3, 3}, {5, 4}})),
                                {kGifTrailer}});
    ASSERT_EQ(small.size(), 13u + 12u + 10u + 5u + 1u);
    EXPECT_EQ(Decoded(small), (Bytes{1, 2, 3}));
}

TEST_F(GifReading, FailuresGiveTheirCodes) {
    const Bytes localTable = GifDescriptor(0, 0, 2, 2, 2);
    const Bytes image = GifImage(0, 0, 2, 2, {1, 2, 3, 0}, 2);
    const Bytes screen = GifScreen(2, 2, 2, 0);
    Bytes badVersion = GifCat({screen, image, {kGifTrailer}});
    badVersion[4] = '8';
    struct Case {
        const char* what;
        Bytes file;
        int32_t code;
    };
    const Case cases[] = {
        {"not a GIF", {'P', 'N', 'G', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0}, kGifMalformed},
        {"version 88a", badVersion, kGifMalformed},
        {"12 bytes", Bytes(screen.begin(), screen.begin() + 12), kGifMalformed},
        {"screen width 0", GifCat({GifScreen(0, 2, 2, 0), image}), kGifBadScreen},
        {"screen height 25001", GifCat({GifScreen(2, 25001, 2, 0), image}), kGifBadScreen},
        {"global table cut", Bytes(screen.begin(), screen.end() - 1), kGifMalformed},
        {"nothing after the screen", screen, kGifMalformed},
        {"trailer first", GifCat({screen, {kGifTrailer}}), kGifMalformed},
        {"unknown block", GifCat({screen, {0x00}, image}), kGifUnknownBlock},
        {"unknown extension", GifCat({screen, {0x21, 0x2A, 1, 0, 0}, image}), kGifUnknownBlock},
        {"label missing", GifCat({screen, {0x21}}), kGifMalformed},
        {"graphic control cut", GifCat({screen, {0x21, 0xF9, 4, 1, 0, 0, 2}}), kGifMalformed},
        {"application cut", GifCat({screen, {0x21, 0xFF, 11, 'N', 'E', 'T'}}), kGifMalformed},
        {"comment chain cut", GifCat({screen, {0x21, 0xFE, 5, 'a', 'b'}}), kGifMalformed},
        {"descriptor cut", GifCat({screen, {0x2C, 0, 0, 0, 0, 2, 0, 2}}), kGifMalformed},
        {"packed byte missing", GifCat({screen, {0x2C, 0, 0, 0, 0, 2, 0, 2, 0}}), kGifMalformed},
        {"image past the right", GifCat({screen, GifImage(1, 0, 2, 2, {1, 2, 3, 0}, 2)}), kGifMalformed},
        {"image past the bottom", GifCat({screen, GifImage(0, 1, 2, 2, {1, 2, 3, 0}, 2)}), kGifMalformed},
        {"local table cut", GifCat({screen, Bytes(localTable.begin(), localTable.end() - 1)}), kGifMalformed},
        {"no colour table", GifCat({GifScreen(2, 2, 0, 0), image, {kGifTrailer}}), kGifMalformed},
        {"code size 1", GifCat({screen, GifDescriptor(0, 0, 2, 2), {1, 1, 0x44, 0}}), kGifMalformed},
        {"code size 9", GifCat({screen, GifDescriptor(0, 0, 2, 2), {9, 1, 0x44, 0}}), kGifMalformed},
        {"code size alone", GifCat({screen, GifDescriptor(0, 0, 2, 2), {2}}), kGifMalformed},
        {"empty image data", GifCat({screen, GifDescriptor(0, 0, 2, 2), {2, 0, kGifTrailer}}), kGifMalformed},
        {"sub-block cut", GifCat({screen, GifDescriptor(0, 0, 2, 2), {2, 5, 0x44, 0x01}}), kGifMalformed},
        {"terminator missing", GifCat({screen, GifDescriptor(0, 0, 2, 2), {2, 2, 0x44, 0x01}}), kGifMalformed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LoadBytes(c.file), nullptr) << c.what;
        EXPECT_EQ(context.codecs.gifReader->errorCode, c.code) << c.what;
        int32_t code = kErrorNone;
        EXPECT_FALSE(DecodeInMemory(c.file, code)) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
    }
}

// Every prefix of a file: a defined result and no read past the end.
TEST_F(GifReading, EveryTruncationIsDefined) {
    Bytes indices;
    for (int i = 0; i < 64; ++i) indices.push_back(static_cast<uint8_t>(i * 5 % 16));
    const Bytes file =
        GifCat({GifScreen(8, 8, 4, 0), GifGraphicControl(true, 3), GifImage(0, 0, 8, 8, indices, 4), {kGifTrailer}});
    const size_t imageEnd = file.size() - 1;  // the trailer is never needed
    for (size_t length = 0; length <= file.size(); ++length) {
        int32_t code = kErrorNone;
        const bool decoded = DecodeInMemory(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(length)), code);
        EXPECT_EQ(decoded, length >= imageEnd) << length;
        if (!decoded) {
            EXPECT_EQ(code, kGifMalformed) << length;
        }
    }
}

// The largest screen is allowed, and its size does not wrap round.
TEST_F(GifReading, LargestScreen) {
    DecodedImage* image =
        LoadBytes(GifCat({GifScreen(25000, 25000, 1, 1), GifImage(24999, 24999, 1, 1, {0}, 2), {kGifTrailer}}));
    // The indices and the picture take 625 MB each, more than a 32-bit process
    // may find room for: there the sides are still taken, only memory is refused.
    if (sizeof(void*) == 4 && image == nullptr) {
        EXPECT_EQ(context.codecs.gifReader->errorCode, kGifOutOfMemory);
        return;
    }
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->header.biWidth, 25000);
    EXPECT_EQ(image->header.biHeight, 25000);
    const size_t stride = 25000;
    EXPECT_EQ(image->pixels[stride - 1], 0) << "the image's pixel, bottom right";
    EXPECT_EQ(image->pixels[stride - 2], 1);
    EXPECT_EQ(image->pixels[stride * 25000 - 1], 1);
}

TEST_F(GifReading, AllocationFailuresLeaveNothing) {
    const Bytes file = GifCat({GifScreen(4, 4, 2, 0), GifImage(0, 0, 4, 4, Bytes(16, 1), 2), {kGifTrailer}});
    // The gathered data, the decoded indices and the picture.
    for (int failing = 1; failing <= 3; ++failing) {
        AllocationProbe::FailAt(failing);
        int32_t code = kErrorNone;
        EXPECT_FALSE(DecodeInMemory(file, code)) << failing;
        EXPECT_EQ(code, kGifOutOfMemory) << failing;
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << failing;
    }
    AllocationProbe::FailAt(4);
    int32_t code = kErrorNone;
    EXPECT_TRUE(DecodeInMemory(file, code));
    AllocationProbe::Reset();
}
