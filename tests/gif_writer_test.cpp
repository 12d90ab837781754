// The GIF writer: the code stream's exact bytes, its code-size switches and
// full-table clear, the sub-blocks, files that giflib and our reader take
// back to the reducer's indices and palette, failures; and a batch from GIF
// to GIF.
#include "support/test_context.h"
#include "codecs/writers/gif_writer.h"
#include "engine/batch.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "engine/save_picture.h"
#include "settings/settings_store.h"
#include "support/gif_builder.h"
#include "support/message_boxes.h"
#include "support/temp_folder.h"
#include "support/test_pictures.h"
#include "support/writer_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <gif_lib.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// 13-byte header, 768-byte table and 10-byte image descriptor come first.
constexpr size_t kCodeSizeAt = 13 + 768 + 10;

// The lengths of the data sub-blocks of a file we wrote; empty when the
// layout around them is off.
std::vector<size_t> BlockLengths(const Bytes& file, Bytes* stream = nullptr) {
    std::vector<size_t> lengths;
    if (file.size() < kCodeSizeAt + 3 || file[kCodeSizeAt] != 8) return {};
    size_t at = kCodeSizeAt + 1;
    while (at < file.size() && file[at] != 0) {
        const size_t length = file[at];
        if (file.size() - at - 1 < length) return {};
        if (stream != nullptr) stream->insert(stream->end(), file.begin() + at + 1, file.begin() + at + 1 + length);
        lengths.push_back(length);
        at += length + 1;
    }
    // Terminator, then the trailer ends the file.
    if (file.size() != at + 2 || file[at + 1] != 0x3B) return {};
    return lengths;
}

// The codes of a stream with minimum code size 8, each with the number of
// bits it was read with, tracking the code size as a reader does.
std::vector<GifCode> ReadCodes(const Bytes& stream) {
    std::vector<GifCode> codes;
    uint32_t buffer = 0;
    int32_t count = 0;
    size_t at = 0;
    int32_t size = 9;
    int32_t next = 258;
    bool first = true;
    for (;;) {
        while (count < size && at < stream.size()) {
            buffer |= static_cast<uint32_t>(stream[at++]) << count;
            count += 8;
        }
        if (count < size) return codes;
        const int32_t code = static_cast<int32_t>(buffer & ((1u << size) - 1));
        buffer >>= size;
        count -= size;
        codes.push_back({code, size});
        if (code == 256) {
            size = 9;
            next = 258;
            first = true;
            continue;
        }
        if (code == 257) return codes;
        if (!first && next < 4096 && ++next > (1 << size) - 1 && size < 12) ++size;
        first = false;
    }
}

class GifWriting : public WriterTest {
protected:
    // Saves the picture as the driver would; the file's bytes, or empty.
    Bytes Save(TestPicture& picture, const wchar_t* name = L"out.gif") {
        return SaveThrough(SaveGif, *context.codecs.gifWriter, picture, name);
    }
    // The code stream of count indices straight from the compressor.
    Bytes Compressed(const Bytes& indices) {
        Bytes output(2 * indices.size() + 16);
        GifWriter& writer = *context.codecs.gifWriter;
        writer.minCodeSize = 8;
        writer.lzwOutput = output.data();
        const size_t length = writer.Compress(indices.data(), indices.size());
        output.resize(length);
        return output;
    }
};

// Indices that compress badly, from a seed.
Bytes Noise(size_t count, uint32_t seed) {
    Bytes indices(count);
    for (uint8_t& index : indices) {
        seed = seed * 1103515245u + 12345u;
        index = static_cast<uint8_t>(seed >> 16);
    }
    return indices;
}

}  // namespace

TEST_F(GifWriting, SmallestCodeStreams) {
    // Codes 256, 5, 257; the last byte holds the three pending bits.
    EXPECT_EQ(Compressed({5}), (Bytes{0x00, 0x0B, 0x04, 0x04}));
    // Codes 256, 0, 258, 0, 257.
    EXPECT_EQ(Compressed({0, 0, 0, 0}), (Bytes{0x00, 0x01, 0x08, 0x04, 0x10, 0x10}));
    // Eight 9-bit codes end on a byte boundary, and one more byte still follows.
    const Bytes codes = Compressed({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(ReadCodes(codes).size(), 8u);
    EXPECT_EQ(codes.size(), 10u);
    EXPECT_EQ(codes.back(), 0);
}

TEST_F(GifWriting, FullTableClearsAtTwelveBits) {
    const Bytes indices = Noise(20000, 7);
    const std::vector<GifCode> codes = ReadCodes(Compressed(indices));
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.front().code, 256);
    EXPECT_EQ(codes.back().code, 257);
    size_t clears = 0;
    size_t lastClear = 0;
    for (size_t i = 1; i < codes.size(); ++i) {
        if (codes[i].code != 256) continue;
        ++clears;
        // One first code and 3838 that each take a table entry: 4095 is
        // assigned before the clear, which still goes out at 12 bits.
        EXPECT_EQ(i - lastClear - 1, 3839u) << "clear " << clears;
        EXPECT_EQ(codes[i].bits, 12);
        ASSERT_LT(i + 1, codes.size());
        EXPECT_EQ(codes[i + 1].bits, 9);
        lastClear = i;
    }
    EXPECT_GE(clears, 2u);
}

TEST_F(GifWriting, CodeStreamInSubBlocks) {
    bool seen255 = false;
    bool seen256 = false;
    for (int32_t width = 200; width < 260 && !(seen255 && seen256); ++width) {
        TestPicture picture =
            FormulaPicture(width, 1, 8, [](int32_t x, int32_t, int) { return static_cast<uint8_t>(x * 37); });
        for (int i = 0; i < 256; ++i) picture.palette[i] = {static_cast<uint8_t>(i), 0, 0, 0};
        Bytes stream;
        const std::vector<size_t> blocks = BlockLengths(Save(picture), &stream);
        ASSERT_FALSE(blocks.empty()) << width;
        if (stream.size() == 255) {
            EXPECT_EQ(blocks, std::vector<size_t>{255});
            seen255 = true;
        } else if (stream.size() == 256) {
            EXPECT_EQ(blocks, (std::vector<size_t>{255, 1}));
            seen256 = true;
        }
    }
    EXPECT_TRUE(seen255 && seen256);
}

// giflib and our reader give back the reducer's indices and palette, the
// top row first.
TEST_F(GifWriting, FilesDecodeToTheReducedPicture) {
    struct Case {
        int32_t width, height, bits;
        uint32_t seed;
    };
    const Case cases[] = {{1, 1, 8, 1}, {3, 2, 24, 2}, {97, 61, 24, 3}, {200, 150, 8, 4}, {301, 203, 24, 5}};
    for (const Case& c : cases) {
        TestPicture picture = PhotoPicture(c.width, c.height, c.bits, c.seed);
        const std::string what =
            std::to_string(c.width) + "x" + std::to_string(c.height) + "x" + std::to_string(c.bits);
        // What the reducer makes of the picture, bottom-up.
        ColorReducer reducer;
        reducer.width = c.width;
        reducer.height = c.height;
        reducer.sourceBitCount = c.bits;
        reducer.targetBitCount = 8;
        RGBQUAD palette[256] = {};
        Bytes reduced(static_cast<size_t>(c.width) * c.height);
        ASSERT_TRUE(reducer.ReduceToPalette(picture.palette, picture.rows.data(), palette, reduced.data())) << what;
        Bytes topDown;
        for (int32_t y = c.height - 1; y >= 0; --y)
            topDown.insert(topDown.end(), reduced.begin() + static_cast<ptrdiff_t>(y) * c.width,
                           reduced.begin() + static_cast<ptrdiff_t>(y + 1) * c.width);

        const Bytes file = Save(picture);
        ASSERT_FALSE(BlockLengths(file).empty()) << what;
        EXPECT_EQ(
            Bytes(file.begin(), file.begin() + 13),
            (Bytes{'G', 'I', 'F', '8', '9', 'a', static_cast<uint8_t>(c.width), static_cast<uint8_t>(c.width >> 8),
                   static_cast<uint8_t>(c.height), static_cast<uint8_t>(c.height >> 8), 0xF7, 0, 0}))
            << what;
        const std::wstring path = folder.Join(L"out.gif");
#ifndef _WIN32
        int error = 0;
        GifFileType* gif = DGifOpenFileName(std::string(path.begin(), path.end()).c_str(), &error);
        ASSERT_NE(gif, nullptr) << what;
        ASSERT_EQ(DGifSlurp(gif), GIF_OK) << what << ": giflib error " << gif->Error;
        ASSERT_EQ(gif->ImageCount, 1) << what;
        ASSERT_NE(gif->SColorMap, nullptr);
        EXPECT_EQ(gif->SColorMap->ColorCount, 256);
        const SavedImage& frame = gif->SavedImages[0];
        EXPECT_EQ(frame.ImageDesc.Width, c.width);
        EXPECT_EQ(frame.ImageDesc.Height, c.height);
        EXPECT_FALSE(frame.ImageDesc.Interlace);
        EXPECT_EQ(frame.ExtensionBlockCount, 0);
        EXPECT_TRUE(Bytes(frame.RasterBits, frame.RasterBits + topDown.size()) == topDown) << what;
        for (int i = 0; i < 256; ++i) {
            const GifColorType& entry = gif->SColorMap->Colors[i];
            EXPECT_TRUE(entry.Red == palette[i].rgbRed && entry.Green == palette[i].rgbGreen &&
                        entry.Blue == palette[i].rgbBlue)
                << what << ": entry " << i;
        }
        DGifCloseFile(gif, &error);
#endif
        ASSERT_TRUE(LoadGif(context, path.c_str())) << what;
        DecodedImage& image = *context.current;
        EXPECT_EQ(image.fileBitCount, 8);
        const size_t stride = static_cast<size_t>((c.width + 3) & ~3);
        Bytes ours;
        for (int32_t y = c.height - 1; y >= 0; --y)
            ours.insert(ours.end(), image.pixels + y * stride, image.pixels + y * stride + c.width);
        EXPECT_TRUE(ours == topDown) << what << ": our reader sees other indices";
        EXPECT_EQ(memcmp(image.palette, palette, sizeof palette), 0) << what;
        ReleasePages(image.pixels);
        image.pixels = nullptr;
        context.current = &source;
    }
}

TEST_F(GifWriting, FewColoursAreKeptExactly) {
    // 24 bits, 200 colours, every pixel in its place.
    TestPicture picture = FormulaPicture(37, 23, 24, [](int32_t x, int32_t y, int channel) {
        const int colour = (x * 7 + y * 3) % 200;
        return static_cast<uint8_t>(channel == 0 ? colour : channel == 1 ? 255 - colour : colour / 2);
    });
    const Bytes file = Save(picture);
    ASSERT_FALSE(file.empty());
    ASSERT_TRUE(LoadGif(context, folder.Join(L"out.gif").c_str()));
    DecodedImage& image = *context.current;
    const size_t stride = 40;
    for (int32_t y = 0; y < 23; ++y)
        for (int32_t x = 0; x < 37; ++x) {
            const RGBQUAD& entry = image.palette[image.pixels[y * stride + x]];
            const uint8_t* p = picture.At(x, y);
            ASSERT_TRUE(entry.rgbBlue == p[0] && entry.rgbGreen == p[1] && entry.rgbRed == p[2]) << x << ", " << y;
        }
    ReleasePages(image.pixels);
    image.pixels = nullptr;
    context.current = &source;
}

TEST_F(GifWriting, Failures) {
    TestPicture picture = PhotoPicture(40, 30, 24, 9);
    Fit(picture);
    EXPECT_FALSE(SaveGif(context, folder.Join(L"missing\\out.gif").c_str()));
    EXPECT_EQ(context.codecs.gifWriter->errorCode, kGifWriterCannotCreate);
#ifndef _WIN32
    // A full disk: no write may pass for a finished file.
    EXPECT_FALSE(SaveGif(context, L"/dev/full"));
    EXPECT_EQ(context.codecs.gifWriter->errorCode, kGifWriterCannotCreate);
#endif
    // Every allocation in turn: the writer's own fail with 1, the reducer's with 7.
    int failing = 1;
    for (;; ++failing) {
        AllocationProbe::FailAt(failing);
        const bool saved = SaveGif(context, folder.Join(L"alloc.gif").c_str());
        AllocationProbe::Reset();
        ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << failing;
        if (saved) break;
        const int32_t code = context.codecs.gifWriter->errorCode;
        EXPECT_TRUE(code == kGifWriterOutOfMemory || code == kGifWriterReductionFailed) << code;
        EXPECT_EQ(context.codecs.gifWriter->outputFile, INVALID_HANDLE_VALUE);
    }
    // Index buffer, the reducer's work copy, colour set and cells, the
    // top-down indices and the string table.
    EXPECT_EQ(failing, 7);
}

namespace {

class GifBatch : public DefaultSettingsBatch {};

}  // namespace

// A GIF in, GIF out: the slot's picture keeps the input's colours.
TEST_F(GifBatch, GifInGifOut) {
    Bytes indices;
    for (int32_t y = 0; y < 90; ++y)
        for (int32_t x = 0; x < 120; ++x) indices.push_back(static_cast<uint8_t>((x / 30 + y / 30) % 4));
    const Bytes input = GifCat({GifScreen(120, 90, 2, 0), GifImage(0, 0, 120, 90, indices, 2), {kGifTrailer}});
    const std::wstring path = folder.Write(L"tiles.gif", input);
    appSettings.outputFormat = 4;
    appSettings.slots[0] = OutputSlot{true, 60, 45, {}, {}, false, {}};
    appSettings.slots[1].enabled = appSettings.slots[2].enabled = false;
    const WCHAR* inputs[] = {path.c_str()};
    int written = 0;
    MessageBoxRecorder recorder;
    ASSERT_TRUE(RunBatch(1, inputs, &written));
    EXPECT_TRUE(recorder.Stop().empty());
    EXPECT_EQ(written, 1);
    const std::wstring output = folder.Join(L"tiles+1.gif");
    ASSERT_TRUE(FileExists(output));
    ASSERT_TRUE(CreateCodecs(context.codecs));
    ASSERT_TRUE(LoadGif(context, output.c_str()));
    EXPECT_EQ(context.current->header.biWidth, 60);
    EXPECT_EQ(context.current->header.biHeight, 45);
    // The middle of the top-left tile is table entry 0: (0, 255, 0).
    const RGBQUAD& entry = context.current->palette[context.current->pixels[(45 - 1 - 7) * 60 + 7]];
    EXPECT_EQ(entry.rgbRed, 0);
    EXPECT_EQ(entry.rgbGreen, 255);
    EXPECT_EQ(entry.rgbBlue, 0);
    ReleasePages(context.current->pixels);
    context.current->pixels = nullptr;
    context.current = nullptr;
    DestroyCodecs(context.codecs);
    EXPECT_EQ(AllocationProbe::LiveBlocks(), 0);
}
