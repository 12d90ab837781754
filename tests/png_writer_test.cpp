// The PNG writer: the chunk list, the palette it builds, the row filters it
// chooses, failures, and files that libpng, pngcheck and our own reader take
// back to the same pixels; and a whole batch from PNG to PNG.
#include "support/test_context.h"
#include "engine/batch.h"
#include "engine/codec_set.h"
#include "engine/save_picture.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "settings/settings_store.h"
#include "support/message_boxes.h"
#include "support/png_builder.h"
#include "support/temp_folder.h"
#include "support/test_pictures.h"
#include "support/writer_fixture.h"
#include "codecs/writers/png_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <zlib.h>

#ifndef _WIN32
#include <png.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t BigEndian(const Bytes& b, size_t at) {
    return (static_cast<uint32_t>(b[at]) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
}

struct Chunk {
    std::string type;
    Bytes data;
};

// The chunks of a file whose CRCs all match; empty when anything is off.
std::vector<Chunk> Chunks(const Bytes& file) {
    std::vector<Chunk> chunks;
    if (file.size() < 8 || !std::equal(file.begin(), file.begin() + 8, PngSignature().begin())) return {};
    for (size_t at = 8; at < file.size();) {
        if (file.size() - at < 12) return {};
        const uint32_t length = BigEndian(file, at);
        if (file.size() - at - 12 < length) return {};
        const uLong crc = crc32(0, file.data() + at + 4, length + 4);
        if (crc != BigEndian(file, at + 8 + length)) return {};
        chunks.push_back({std::string(file.begin() + at + 4, file.begin() + at + 8),
                          Bytes(file.begin() + at + 8, file.begin() + at + 8 + length)});
        at += 12 + length;
    }
    return chunks;
}

Bytes Inflated(const Bytes& stream, size_t size) {
    Bytes out(size + 1);
    uLongf length = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &length, stream.data(), static_cast<uLong>(stream.size())) != Z_OK) return {};
    out.resize(length);
    return out;
}

#ifndef _WIN32
// libpng's decode as 8-bit red, green, blue rows, top first.
bool DecodeWithLibpng(const std::wstring& path, int32_t& width, int32_t& height, Bytes& rgb) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, std::string(path.begin(), path.end()).c_str())) return false;
    png.format = PNG_FORMAT_RGB;
    width = static_cast<int32_t>(png.width);
    height = static_cast<int32_t>(png.height);
    rgb.resize(PNG_IMAGE_SIZE(png));
    const bool read = png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr) != 0;
    png_image_free(&png);
    return read;
}
#endif

// Red, green, blue rows, top first, of a test picture (through its palette at 8 bits).
Bytes TopDownRgb(TestPicture& picture) {
    Bytes rgb;
    for (int32_t y = picture.height - 1; y >= 0; --y)
        for (int32_t x = 0; x < picture.width; ++x) {
            const uint8_t* p = picture.At(x, y);
            if (picture.bitCount == 8) {
                const RGBQUAD& e = picture.palette[*p];
                rgb.insert(rgb.end(), {e.rgbRed, e.rgbGreen, e.rgbBlue});
            } else {
                rgb.insert(rgb.end(), {p[2], p[1], p[0]});
            }
        }
    return rgb;
}

class PngWriting : public WriterTest {
protected:
    // Saves the picture with its palette; the file's bytes, or empty on failure.
    Bytes Save(TestPicture& picture, const wchar_t* name = L"out.png") {
        return SaveThrough(SavePng, *context.codecs.pngWriter, picture, name);
    }
    // The filtered rows of a file we wrote.
    Bytes Rows(const Bytes& file, int32_t width, int32_t height, int bytesPerPixel) {
        for (const Chunk& c : Chunks(file))
            if (c.type == "IDAT") return Inflated(c.data, static_cast<size_t>(height) * (width * bytesPerPixel + 1));
        return {};
    }
};

}  // namespace

TEST_F(PngWriting, ChunkListOfBothKinds) {
    for (int bits : {8, 24}) {
        TestPicture picture = PhotoPicture(37, 11, bits, 5);
        const Bytes file = Save(picture);
        const std::vector<Chunk> chunks = Chunks(file);
        ASSERT_EQ(chunks.size(), bits == 8 ? 4u : 3u) << bits;
        EXPECT_EQ(chunks.front().type, "IHDR");
        EXPECT_EQ(chunks.front().data, IhdrData(37, 11, 8, bits == 8 ? 3 : 2));
        if (bits == 8) {
            EXPECT_EQ(chunks[1].type, "PLTE");
        }
        EXPECT_EQ(chunks[chunks.size() - 2].type, "IDAT");
        EXPECT_EQ(chunks.back().type, "IEND");
        EXPECT_TRUE(chunks.back().data.empty());
        // The stream starts with the header of a 32 KiB window at the best level.
        const Bytes& stream = chunks[chunks.size() - 2].data;
        ASSERT_GE(stream.size(), 2u);
        EXPECT_EQ(stream[0], 0x78);
        EXPECT_EQ(stream[1] >> 6, 3);
    }
}

TEST_F(PngWriting, TheFilterExamplesGiveTheirRows) {
    // Two equal rows of (10, 20, 30) .. (13, 23, 33): Sub for the first, Up for the second.
    TestPicture picture = FormulaPicture(4, 2, 24, [](int32_t x, int32_t, int c) { return static_cast<uint8_t>(30 - 10 * c + x); });
    const Bytes rows = Rows(Save(picture), 4, 2, 3);
    const Bytes first = {1, 10, 20, 30, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    Bytes second(13, 0);
    second[0] = 2;
    ASSERT_EQ(rows.size(), 26u);
    EXPECT_EQ(Bytes(rows.begin(), rows.begin() + 13), first);
    EXPECT_EQ(Bytes(rows.begin() + 13, rows.end()), second);

    // All black: None scores L - 1 and every other candidate L - 2.
    TestPicture black = FormulaPicture(5, 3, 24, [](int32_t, int32_t, int) { return uint8_t{0}; });
    EXPECT_EQ(Rows(Save(black), 5, 3, 3), Bytes(3 * 16, 0));

    // No repeats anywhere: all scores 0, so None.
    TestPicture single = FormulaPicture(1, 1, 24, [](int32_t, int32_t, int c) { return static_cast<uint8_t>(7 + 90 * c); });
    EXPECT_EQ(Rows(Save(single), 1, 1, 3), (Bytes{0, 187, 97, 7}));
}

TEST_F(PngWriting, TheScoresAndTheirTies) {
    PngWriter& w = *context.codecs.pngWriter;
    const int32_t rowSize = 13;
    Bytes buffers(6 * rowSize, 0);
    w.bytesPerPixel = 3;
    w.prevRow = buffers.data();
    w.rawRow = w.prevRow + rowSize;
    w.subRow = w.rawRow + rowSize;
    w.upRow = w.subRow + rowSize;
    w.avgRow = w.upRow + rowSize;
    w.paethRow = w.avgRow + rowSize;
    auto choose = [&](const Bytes& above, const Bytes& row) {
        memcpy(w.prevRow + 1, above.data(), 12);
        memcpy(w.rawRow + 1, row.data(), 12);
        return w.ChooseAdaptive(rowSize);
    };
    const Bytes ramp = {10, 20, 30, 11, 21, 31, 12, 22, 32, 13, 23, 33};
    const Bytes zeros(12, 0);
    EXPECT_EQ(choose(zeros, ramp), 1);
    EXPECT_EQ(Bytes(w.paethRow, w.paethRow + rowSize), (Bytes{4, 10, 20, 30, 1, 1, 1, 1, 1, 1, 1, 1, 1}))
        << "Paeth over a zero row predicts from the left";
    EXPECT_EQ(choose(ramp, ramp), 2);
    EXPECT_EQ(Bytes(w.avgRow, w.avgRow + rowSize), (Bytes{3, 5, 10, 15, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    // 100s below 200s: Sub and Paeth both find eight zeros; the tie goes to Sub.
    EXPECT_EQ(choose(Bytes(12, 200), Bytes(12, 100)), 1);
    EXPECT_EQ(Bytes(w.paethRow, w.paethRow + rowSize), (Bytes{4, 156, 156, 156, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // One more than the row above: Up and Paeth are all ones, the tie goes to Up.
    const Bytes above = {0, 0, 0, 50, 50, 50, 100, 100, 100, 150, 150, 150};
    const Bytes below = {1, 1, 1, 51, 51, 51, 101, 101, 101, 151, 151, 151};
    EXPECT_EQ(choose(above, below), 2);
    EXPECT_EQ(Bytes(w.paethRow, w.paethRow + rowSize), (Bytes{4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    // The row above is this row moved one pixel right: Sub, Up, Average and
    // Paeth are the same bytes, and Sub wins the ties.
    EXPECT_EQ(choose(Bytes{0, 0, 0, 10, 20, 30, 11, 21, 31, 12, 22, 32}, ramp), 1);
    EXPECT_EQ(Bytes(w.upRow + 1, w.upRow + rowSize), Bytes(w.subRow + 1, w.subRow + rowSize));
    EXPECT_EQ(Bytes(w.avgRow + 1, w.avgRow + rowSize), Bytes(w.subRow + 1, w.subRow + rowSize));
    // Residuals that are large and equal score nothing: None stays.
    EXPECT_EQ(choose(zeros, Bytes{100, 0, 100, 0, 100, 0, 100, 0, 100, 0, 100, 0}), 0);
}

TEST_F(PngWriting, PalettesHoldEachColourOnce) {
    // All 256 entries distinct: 768 bytes, indices unchanged.
    TestPicture picture = FormulaPicture(16, 16, 8, [](int32_t x, int32_t y, int) { return static_cast<uint8_t>(16 * y + x); });
    for (int i = 0; i < 256; ++i) picture.palette[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(255 - i), 9, 0};
    Bytes file = Save(picture);
    std::vector<Chunk> chunks = Chunks(file);
    ASSERT_EQ(chunks.size(), 4u);
    ASSERT_EQ(chunks[1].data.size(), 768u);
    EXPECT_EQ(chunks[1].data[3 * 200], 9);
    EXPECT_EQ(chunks[1].data[3 * 200 + 1], 55);
    EXPECT_EQ(chunks[1].data[3 * 200 + 2], 200);
    Bytes rows = Rows(file, 16, 16, 1);
    ASSERT_EQ(rows.size(), 16u * 17u);
    for (int32_t r = 0; r < 16; ++r) {
        EXPECT_EQ(rows[r * 17], 0) << "filter None";
        EXPECT_EQ(rows[r * 17 + 1], 16 * (15 - r)) << "the top row first";
    }

    // A repeated colour maps to its first slot; the reserved byte does not count.
    TestPicture repeated = FormulaPicture(3, 1, 8, [](int32_t x, int32_t, int) { return static_cast<uint8_t>(x); });
    for (int i = 0; i < 256; ++i) repeated.palette[i] = RGBQUAD{static_cast<BYTE>(i), 0, 0, 0};
    repeated.palette[2] = RGBQUAD{1, 0, 0, 77};
    file = Save(repeated);
    chunks = Chunks(file);
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[1].data.size(), 255u * 3);
    rows = Rows(file, 3, 1, 1);
    EXPECT_EQ(rows, (Bytes{0, 0, 1, 1}));

    // Sixteen colours and a zero rest: black becomes one more slot.
    TestPicture sixteen = FormulaPicture(4, 4, 8, [](int32_t x, int32_t y, int) { return static_cast<uint8_t>(4 * y + x); });
    memset(sixteen.palette, 0, sizeof sixteen.palette);
    for (int i = 0; i < 16; ++i) sixteen.palette[i] = RGBQUAD{static_cast<BYTE>(i + 1), 2, 3, 0};
    chunks = Chunks(Save(sixteen));
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[1].data.size(), 17u * 3);
    EXPECT_EQ(Bytes(chunks[1].data.end() - 3, chunks[1].data.end()), (Bytes{0, 0, 0}));
    // Entry 0 stays slot 0 even when a later entry has its colour.
    TestPicture zeroFirst = FormulaPicture(2, 1, 8, [](int32_t x, int32_t, int) { return static_cast<uint8_t>(x == 0 ? 5 : 0); });
    memset(zeroFirst.palette, 0, sizeof zeroFirst.palette);
    zeroFirst.palette[5] = RGBQUAD{1, 1, 1, 0};
    file = Save(zeroFirst);
    chunks = Chunks(file);
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[1].data, (Bytes{0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(Rows(file, 2, 1, 1), (Bytes{0, 1, 0}));
}

TEST_F(PngWriting, WhatWeWriteDecodesToOurPixels) {
    int checked = 0;
    for (int bits : {8, 24}) {
        for (auto [w, h] : {std::pair{1, 1}, {1, 9}, {7, 3}, {64, 48}, {333, 101}}) {
            TestPicture picture = PhotoPicture(w, h, bits, static_cast<uint32_t>(w * 31 + h + bits));
            const Bytes file = Save(picture);
            const std::string what = std::to_string(bits) + " bits, " + std::to_string(w) + " x " + std::to_string(h);
            ASSERT_FALSE(file.empty()) << what;
            const Bytes expected = TopDownRgb(picture);
            const std::wstring path = folder.Join(L"out.png");
#ifndef _WIN32
            int32_t width = 0;
            int32_t height = 0;
            Bytes rgb;
            ASSERT_TRUE(DecodeWithLibpng(path, width, height, rgb)) << what;
            EXPECT_EQ(width, w);
            EXPECT_EQ(height, h);
            EXPECT_TRUE(rgb == expected) << what << ": libpng sees other pixels";
            const std::string command = "pngcheck -q '" + std::string(path.begin(), path.end()) + "' > /dev/null 2>&1";
            EXPECT_EQ(std::system(command.c_str()), 0) << what << ": pngcheck rejects the file";
#endif
            // Our own reader takes it back as well.
            DecodedImage* saved = context.current;
            ASSERT_TRUE(LoadPng(context, path.c_str())) << what;
            Bytes ours;
            DecodedImage& image = *context.current;
            const int32_t stride = ((w * image.header.biBitCount + 31) / 32) * 4;
            for (int32_t y = h - 1; y >= 0; --y)
                for (int32_t x = 0; x < w; ++x) {
                    const uint8_t* p = image.pixels + static_cast<size_t>(y) * stride + x * (image.header.biBitCount / 8);
                    if (image.header.biBitCount == 8) ours.insert(ours.end(), {image.palette[*p].rgbRed, image.palette[*p].rgbGreen, image.palette[*p].rgbBlue});
                    else ours.insert(ours.end(), {p[2], p[1], p[0]});
                }
            EXPECT_EQ(image.header.biBitCount, bits);
            EXPECT_TRUE(ours == expected) << what << ": our reader sees other pixels";
            ReleasePages(image.pixels);
            image.pixels = nullptr;
            context.current = saved;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 10);
}

TEST_F(PngWriting, Failures) {
    TestPicture picture = PhotoPicture(9, 4, 24, 3);
    context.fitted.width = 9;
    context.fitted.height = 4;
    context.fitted.bitCount = 24;
    context.fitted.pixels = picture.rows.data();
    EXPECT_FALSE(SavePng(context, folder.Join(L"missing\\out.png").c_str()));
    EXPECT_EQ(context.codecs.pngWriter->errorCode, kPngWriterCannotCreate);
    context.fitted.bitCount = 32;
    EXPECT_FALSE(SavePng(context, folder.Join(L"deep.png").c_str()));
    EXPECT_EQ(context.codecs.pngWriter->errorCode, kPngWriterUnsupported);
    EXPECT_EQ(context.codecs.pngWriter->outputFile, INVALID_HANDLE_VALUE);
    // Filtered rows of 2 GiB and more are refused before any pixel is read.
    context.fitted.bitCount = 24;
    context.fitted.width = 40000;
    context.fitted.height = 20000;
    EXPECT_FALSE(SavePng(context, folder.Join(L"huge.png").c_str()));
    EXPECT_EQ(context.codecs.pngWriter->errorCode, kPngWriterOutOfMemory);
    context.fitted.width = 9;
    context.fitted.height = 4;

    // Every allocation in turn: pages fail with 1, zlib's memory with 24.
    for (int bits : {8, 24}) {
        TestPicture p = PhotoPicture(9, 4, bits, 3);
        memcpy(source.palette, p.palette, sizeof source.palette);
        context.fitted.bitCount = bits;
        context.fitted.pixels = p.rows.data();
        int failing = 1;
        for (;; ++failing) {
            AllocationProbe::FailAt(failing);
            const bool saved = SavePng(context, folder.Join(L"alloc.png").c_str());
            AllocationProbe::Reset();
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << bits << " bits, allocation " << failing;
            if (saved) break;
            const int32_t code = context.codecs.pngWriter->errorCode;
            EXPECT_TRUE(code == kPngWriterOutOfMemory || code == kPngWriterCompressionFailed) << code;
        }
        // Filtered rows, (the palette copy,) deflate's five blocks, the output block.
        EXPECT_EQ(failing, bits == 8 ? 9 : 8) << bits;
    }
    context.fitted.pixels = nullptr;
}

namespace {

class PngBatch : public DefaultSettingsBatch {};

}  // namespace

// A PNG with alpha in, PNG out: the slot's picture is the composited one.
TEST_F(PngBatch, PngInPngOut) {
    const int32_t w = 240;
    const int32_t h = 180;
    PngBytes raw;
    for (int32_t y = 0; y < h; ++y) {
        raw.push_back(0);
        for (int32_t x = 0; x < w; ++x) raw.insert(raw.end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(y), 90, 255});
    }
    const std::wstring input = folder.Write(L"photo.png", SimplePng(w, h, 8, 6, raw));
    appSettings.outputFormat = 1;
    appSettings.slots[0] = OutputSlot{true, 120, 90, {}, {}, false, {}};
    appSettings.slots[1].enabled = appSettings.slots[2].enabled = false;
    const WCHAR* inputs[] = {input.c_str()};
    int written = 0;
    MessageBoxRecorder recorder;
    ASSERT_TRUE(RunBatch(1, inputs, &written));
    EXPECT_TRUE(recorder.Stop().empty());
    EXPECT_EQ(written, 1);
    const std::wstring output = folder.Join(L"photo+1.png");
    const Bytes file = ReadWholeFile(output);
    const std::vector<Chunk> chunks = Chunks(file);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].data, IhdrData(120, 90, 8, 2));
    ASSERT_TRUE(CreateCodecs(context.codecs));
    ASSERT_TRUE(LoadPng(context, output.c_str()));
    EXPECT_EQ(context.current->header.biWidth, 120);
    EXPECT_EQ(context.current->header.biHeight, 90);
    // Blue is 90 everywhere in the input and survives halving and sharpening of a flat channel.
    const uint8_t* middle = context.current->pixels + 45 * 360 + 3 * 60;
    EXPECT_EQ(middle[0], 90);
    EXPECT_NEAR(middle[2], 120, 3);
    ReleasePages(context.current->pixels);
    context.current->pixels = nullptr;
    context.current = nullptr;
    DestroyCodecs(context.codecs);
    EXPECT_EQ(AllocationProbe::LiveBlocks(), 0);
}
