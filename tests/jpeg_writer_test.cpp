// The JPEG writer's output decoded and taken apart: quantisers, sampling,
// markers, pixel order, the size-limit search and the failure paths.
#include "support/test_context.h"
#include "codecs/writers/jpeg_writer.h"
#include "engine/batch.h"
#include "engine/codec_set.h"
#include "engine/save_picture.h"
#include "engine/load_picture.h"
#include "core/memory.h"
#include "settings/settings_store.h"
#include "support/corpus_path.h"
#include "support/jpeg_tools.h"
#include "support/message_boxes.h"
#include "support/temp_folder.h"
#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <map>
#include <tuple>

#include <jpeglib.h>

namespace {

std::vector<int32_t> triedQualities;
void RecordQuality(int32_t quality) { triedQualities.push_back(quality); }

uint32_t U16BE(const JpegBytes& b, size_t at) { return (static_cast<uint32_t>(b[at]) << 8) | b[at + 1]; }

// Table number -> its 64 quantisers, from every DQT segment.
std::map<int, std::vector<int>> QuantTables(const JpegStructure& file) {
    std::map<int, std::vector<int>> tables;
    for (const JpegSegment& segment : file.segments) {
        if (segment.marker != 0xDB) continue;
        for (size_t at = 0; at + 65 <= segment.body.size(); at += 65) {
            EXPECT_EQ(segment.body[at] >> 4, 0) << "8-bit quantisers";
            tables[segment.body[at] & 15].assign(segment.body.begin() + static_cast<std::ptrdiff_t>(at + 1),
                                                 segment.body.begin() + static_cast<std::ptrdiff_t>(at + 65));
        }
    }
    return tables;
}

// The first component's sampling factors, h x v, from SOF0.
std::pair<int, int> LumaSampling(const JpegStructure& file) {
    const JpegSegment* frame = file.Find(0xC0);
    if (frame == nullptr || frame->body.size() < 9) return {0, 0};
    return {frame->body[7] >> 4, frame->body[7] & 15};
}

// A top-down RGB pixel of a reference decode.
const uint8_t* RgbAt(const ReferenceDecode& decoded, int x, int y) {
    return decoded.rows.data() + (static_cast<size_t>(y) * decoded.width + x) * 3;
}

// Every byte drawn from a hash of its place: no two qualities give the same
// length, and the length falls steeply with the quality.
TestPicture NoisePicture(int32_t width, int32_t height, uint32_t seed) {
    return FormulaPicture(width, height, 24, [seed](int32_t x, int32_t y, int c) {
        uint32_t v = seed * 0x9E3779B9u ^ (static_cast<uint32_t>(x) * 0x85EBCA6Bu) ^
                     (static_cast<uint32_t>(y) * 0xC2B2AE35u) ^ (static_cast<uint32_t>(c) * 0x27D4EB2Fu);
        v ^= v >> 15;
        v *= 0x2C1B3C6Du;
        v ^= v >> 12;
        return static_cast<uint8_t>(v);
    });
}

class JpegWriting : public testing::Test {
protected:
    TempFolder folder;
    DecodedImage source{};
    int liveBefore = 0;

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs(context.codecs));
        appSettings = AppSettings{};
        appSettings.Quality = 75;
        appSettings.LmtVal = 100;
        context.current = &source;
        AllocationProbe::Reset();
        liveBefore = AllocationProbe::LiveBlocks();
        triedQualities.clear();
        context.codecs.jpegWriter->qualityTrace = RecordQuality;
    }
    void TearDown() override {
        context.fitted.pixels = nullptr;
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << "a save kept memory";
        DestroyCodecs(context.codecs);
        context.current = nullptr;
    }
    // Saves the picture as the driver would and returns SaveJpeg's result.
    bool SaveTo(TestPicture& picture, const std::wstring& path) {
        context.fitted.width = picture.width;
        context.fitted.height = picture.height;
        context.fitted.bitCount = picture.bitCount;
        context.fitted.pixels = picture.rows.data();
        context.fitted.palette = CurrentPalette();
        std::copy(std::begin(picture.palette), std::end(picture.palette), std::begin(source.palette));
        triedQualities.clear();
        const bool saved = SaveJpeg(context, path.c_str());
        context.fitted.pixels = nullptr;
        return saved;
    }
    JpegBytes Save(TestPicture& picture) {
        const std::wstring path = folder.Join(L"out.jpg");
        EXPECT_TRUE(SaveTo(picture, path));
        return ReadWholeFile(path);
    }
    // The length of the writer's in-memory stream, as the size-limited save
    // measures it.
    size_t StreamLength(TestPicture& picture, int32_t quality) {
        JpegWriter& writer = *context.codecs.jpegWriter;
        writer.Reset();
        writer.width = picture.width;
        writer.height = picture.height;
        writer.sourceBitCount = 24;
        writer.targetBitCount = 24;
        ComputeStride(writer);
        writer.SetOptions(quality, appSettings.Sampling);
        writer.usePlainMemory = true;
        writer.outputCapacity = static_cast<uint32_t>(writer.imageSize);
        writer.outputBuffer = static_cast<uint8_t*>(AllocatePages(writer.outputCapacity));
        const bool encoded = writer.Encode(nullptr, nullptr, picture.rows.data());
        EXPECT_TRUE(encoded);
        writer.Release();
        return encoded ? writer.encodedLength : 0;
    }
    JpegBytes SaveAtQuality(TestPicture& picture, int32_t quality) {
        const bool limit = appSettings.Limit;
        appSettings.Limit = false;
        appSettings.Quality = quality;
        JpegBytes file = Save(picture);
        appSettings.Limit = limit;
        return file;
    }
};

// Four flat quadrants, each a whole number of 16 x 16 blocks: top left red,
// top right green, bottom left blue, bottom right white (picture terms).
TestPicture Quadrants(int32_t bitCount) {
    return FormulaPicture(32, 32, bitCount, [bitCount](int32_t x, int32_t memoryRow, int c) -> uint8_t {
        const bool top = memoryRow >= 16;  // the last rows in memory are the top
        const int quadrant = (top ? 0 : 2) + (x >= 16 ? 1 : 0);
        if (bitCount == 8) return static_cast<uint8_t>(quadrant + 10);
        static const uint8_t kBgr[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
        return kBgr[quadrant][c];
    });
}

void ExpectQuadrants(const ReferenceDecode& decoded, int tolerance) {
    ASSERT_TRUE(decoded.ok) << decoded.message;
    ASSERT_EQ(decoded.width, 32);
    ASSERT_EQ(decoded.height, 32);
    static const uint8_t kRgb[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    for (int y : {2, 13, 18, 29})
        for (int x : {2, 13, 18, 29}) {
            const int quadrant = (y < 16 ? 0 : 2) + (x < 16 ? 0 : 1);
            const uint8_t* pixel = RgbAt(decoded, x, y);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(pixel[c], kRgb[quadrant][c], tolerance) << "x " << x << " y " << y << " channel " << c;
        }
}

}  // namespace

TEST_F(JpegWriting, QualityBecomesTheLibrarysStandardTables) {
    TestPicture picture = PhotoPicture(24, 16, 24, 5);
    std::map<int32_t, std::map<int, std::vector<int>>> tables;
    for (int32_t quality : {100, 101, 75, 1, 0, -5, 2, 1000}) {
        tables[quality] = QuantTables(WalkJpeg(SaveAtQuality(picture, quality)));
        ASSERT_EQ(tables[quality].size(), 2u) << "quality " << quality;
    }
    for (int table : {0, 1}) {
        EXPECT_EQ(tables[100][table], std::vector<int>(64, 1)) << "quality 100 quantises by 1";
        EXPECT_EQ(tables[1][table], std::vector<int>(64, 255)) << "quality 1 clamps every quantiser";
        EXPECT_EQ(tables[101][table], tables[75][table]) << "above 100 means 75";
        EXPECT_EQ(tables[1000][table], tables[75][table]);
        EXPECT_EQ(tables[0][table], tables[1][table]) << "0 and below scale as 1";
        EXPECT_EQ(tables[-5][table], tables[1][table]);
    }
    EXPECT_NE(tables[2][0], tables[1][0]) << "2 is not clamped throughout";
    // The example luminance table at 75: 16, 11, 12 halved and rounded.
    EXPECT_EQ(std::vector<int>(tables[75][0].begin(), tables[75][0].begin() + 3), (std::vector<int>{8, 6, 6}));
    EXPECT_EQ(tables[75][1][0], 9);  // chrominance 17 halved
}

TEST_F(JpegWriting, SamplingCodesSetTheLuminanceFactors) {
    TestPicture picture = PhotoPicture(20, 20, 24, 9);
    const std::pair<int32_t, std::pair<int, int>> expected[] = {{0, {2, 2}}, {1, {2, 1}},  {2, {1, 1}},
                                                                {7, {2, 2}}, {-1, {2, 2}}, {3, {2, 2}}};
    for (const auto& [sampling, factors] : expected) {
        appSettings.Sampling = sampling;
        const JpegStructure file = WalkJpeg(Save(picture));
        EXPECT_EQ(LumaSampling(file), factors) << "sampling " << sampling;
        const JpegSegment* frame = file.Find(0xC0);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->body[10], 0x11) << "Cb is 1 x 1";
        EXPECT_EQ(frame->body[13], 0x11) << "Cr is 1 x 1";
    }
}

TEST_F(JpegWriting, FileIsOneBaselineScanWithTheLibraryDefaults) {
    TestPicture picture = PhotoPicture(37, 21, 24, 3);
    const JpegBytes bytes = Save(picture);
    const JpegStructure file = WalkJpeg(bytes);
    ASSERT_TRUE(file.complete);
    ASSERT_GE(file.segments.size(), 2u);
    EXPECT_EQ(file.segments.front().marker, 0xD8);
    EXPECT_EQ(file.segments.back().marker, 0xD9);

    ASSERT_EQ(file.segments[1].marker, 0xE0) << "JFIF straight after SOI";
    const JpegBytes& jfif = file.segments[1].body;
    ASSERT_EQ(jfif.size(), 14u);
    EXPECT_EQ(std::string(jfif.begin(), jfif.begin() + 5), std::string("JFIF\0", 5));
    EXPECT_EQ(jfif[5], 1);
    EXPECT_EQ(jfif[6], 1);
    EXPECT_EQ(jfif[7], 0) << "density unit";
    EXPECT_EQ(U16BE(jfif, 8), 1u);
    EXPECT_EQ(U16BE(jfif, 10), 1u);
    EXPECT_EQ(jfif[12], 0) << "no thumbnail";
    EXPECT_EQ(jfif[13], 0);

    const JpegSegment* frame = file.Find(0xC0);
    ASSERT_NE(frame, nullptr);
    const JpegBytes& sof = frame->body;
    ASSERT_EQ(sof.size(), 15u);
    EXPECT_EQ(sof[0], 8) << "8-bit samples";
    EXPECT_EQ(U16BE(sof, 1), 21u);
    EXPECT_EQ(U16BE(sof, 3), 37u);
    EXPECT_EQ(sof[5], 3);
    EXPECT_EQ((JpegBytes{sof[6], sof[8], sof[9], sof[11], sof[12], sof[14]}), (JpegBytes{1, 0, 2, 1, 3, 1}))
        << "ids 1, 2, 3 with tables 0, 1, 1";
    EXPECT_EQ(QuantTables(file).size(), 2u);
    EXPECT_EQ(file.Count(0xDA), 1) << "one scan";
    EXPECT_EQ(file.Find(0xDA)->body[0], 3) << "interleaved";
    EXPECT_GE(file.Count(0xC4), 1);
    for (uint8_t absent : {0xC1, 0xC2, 0xC9, 0xCA, 0xDD, 0xFE, 0xEE, 0xE1})
        EXPECT_EQ(file.Count(absent), 0) << std::hex << int{absent};
    EXPECT_EQ(file.restartMarkers, 0);

    // Huffman tables are computed for each picture, not the standard ones.
    TestPicture other = FormulaPicture(
        37, 21, 24, [](int32_t x, int32_t y, int c) { return static_cast<uint8_t>(x * 5 + y * 3 + c * 40); });
    const JpegStructure second = WalkJpeg(Save(other));
    ASSERT_NE(second.Find(0xC4), nullptr);
    EXPECT_NE(second.Find(0xC4)->body, file.Find(0xC4)->body);
}

TEST_F(JpegWriting, TopRowFirstAndRedAndBlueInTheirPlaces) {
    TestPicture picture = Quadrants(24);
    appSettings.Quality = 100;
    ExpectQuadrants(DecodeJpeg(Save(picture), JCS_RGB), 2);
    appSettings.Quality = 75;
    appSettings.Sampling = 2;
    ExpectQuadrants(DecodeJpeg(Save(picture), JCS_RGB), 8);
}

TEST_F(JpegWriting, PaddedRowsOfAnOddWidthStayInPlace) {
    TestPicture picture = PhotoPicture(37, 23, 24, 11);  // 111 bytes of pixels in 112-byte rows
    appSettings.Quality = 100;
    appSettings.Sampling = 2;
    const ReferenceDecode decoded = DecodeJpeg(Save(picture), JCS_RGB);
    ASSERT_TRUE(decoded.ok) << decoded.message;
    ASSERT_EQ(decoded.width, 37);
    ASSERT_EQ(decoded.height, 23);
    int worst = 0;
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(RgbAt(decoded, x, y)[c] - picture.At(x, 22 - y)[2 - c]));
    EXPECT_LE(worst, 6);
}

TEST_F(JpegWriting, EightBitPicturesGoOutAsTheirPaletteColours) {
    TestPicture indexed = Quadrants(8);
    indexed.palette[10] = RGBQUAD{0, 0, 255, 0};
    indexed.palette[11] = RGBQUAD{0, 255, 0, 0};
    indexed.palette[12] = RGBQUAD{255, 0, 0, 0};
    indexed.palette[13] = RGBQUAD{255, 255, 255, 0};
    appSettings.Quality = 100;
    const JpegBytes fromIndices = Save(indexed);
    ExpectQuadrants(DecodeJpeg(fromIndices, JCS_RGB), 2);
    // The same stream as the picture drawn in 24 bits.
    TestPicture direct = Quadrants(24);
    EXPECT_EQ(Save(direct), fromIndices);

    TestPicture photo = PhotoPicture(29, 13, 8, 21);
    TestPicture expanded = FormulaPicture(29, 13, 24, [&](int32_t x, int32_t y, int c) {
        const RGBQUAD& entry = photo.palette[*photo.At(x, y)];
        return c == 0 ? entry.rgbBlue : c == 1 ? entry.rgbGreen : entry.rgbRed;
    });
    EXPECT_EQ(Save(photo), Save(expanded));
}

TEST_F(JpegWriting, StreamsLongerThanTheirRowsInTheSizeLimitedSave) {
    // A 1 x 1 picture has 4 bytes of rows and a stream of some hundreds; the
    // memory buffer must grow, and the file be the same as without the limit.
    for (auto [width, height] : {std::pair{1, 1}, {8, 8}, {2, 100}}) {
        TestPicture picture = NoisePicture(width, height, 77);
        const JpegBytes unlimited = SaveAtQuality(picture, 100);
        appSettings.Limit = true;
        appSettings.LmtVal = 32767;
        const JpegBytes limited = Save(picture);
        appSettings.Limit = false;
        EXPECT_EQ(triedQualities, std::vector<int32_t>{100});
        EXPECT_GT(unlimited.size(), static_cast<size_t>(((3 * width + 3) & ~3) * height));
        EXPECT_EQ(limited, unlimited) << width << " x " << height;
        EXPECT_TRUE(WalkJpeg(limited).complete);
    }
}

TEST_F(JpegWriting, FilesLongerThanTheWriteBufferComeOutWhole) {
    // Noise at 100 without subsampling: more than one full 1 MiB buffer.
    TestPicture picture = NoisePicture(1024, 512, 31);
    appSettings.Sampling = 2;
    const JpegBytes file = SaveAtQuality(picture, 100);
    ASSERT_GT(file.size(), size_t{kJpegFileBufferBytes});
    EXPECT_TRUE(WalkJpeg(file).complete);
    EXPECT_EQ(file.size(), StreamLength(picture, 100));
    appSettings.Limit = true;
    appSettings.LmtVal = 32767;
    EXPECT_EQ(Save(picture), file) << "the file and the memory stream are the same bytes";
}

// The worked sequences, on a picture whose length falls with the quality: the
// limit is put between the length at T and the length at T + 1.
TEST_F(JpegWriting, SizeLimitSearchTriesTheWorkedSequences) {
    TestPicture picture = NoisePicture(512, 512, 1234);
    std::map<int32_t, size_t> length;
    const auto lengthAt = [&](int32_t q) {
        if (length.count(q) == 0) length[q] = StreamLength(picture, q);
        return length[q];
    };

    struct Case {
        int32_t fitsAt;  // the highest quality that fits; 0 for none
        std::vector<int32_t> tried;
        int32_t written;
    };
    const Case cases[] = {
        {100, {100}, 100},
        {99, {100, 69, 85, 93, 97, 99}, 99},
        {77, {100, 69, 85, 70, 78, 71, 75, 77}, 77},
        {40, {100, 69, 38, 54, 39, 47, 40, 44, 41, 38, 40}, 40},
        {6, {100, 69, 38, 7, 6}, 6},
        // Ends on 8, over the limit, after 7 fitted: 7 is encoded again and written.
        {7, {100, 69, 38, 7, 23, 8, 7}, 7},
    };
    appSettings.Quality = 3;  // not used with the limit on
    for (const Case& c : cases) {
        const int32_t limitKiB = static_cast<int32_t>((lengthAt(c.fitsAt) + 1023) / 1024);
        const size_t limit = static_cast<size_t>(limitKiB) * 1024;
        for (int32_t q : c.tried)
            ASSERT_EQ(lengthAt(q) <= limit, q <= c.fitsAt) << "the test picture does not separate quality " << q
                                                           << " from " << c.fitsAt << " at " << limitKiB << " KiB";
        appSettings.Limit = true;
        appSettings.LmtVal = limitKiB;
        const JpegBytes written = Save(picture);
        EXPECT_EQ(triedQualities, c.tried) << "fits at " << c.fitsAt;
        EXPECT_EQ(written, SaveAtQuality(picture, c.written)) << "fits at " << c.fitsAt;
        EXPECT_LE(written.size(), limit);
    }
}

TEST_F(JpegWriting, SizeLimitOfZeroWritesTheQualityOneFile) {
    TestPicture picture = PhotoPicture(64, 48, 24, 8);
    appSettings.Sampling = 2;
    const JpegBytes qualityOne = SaveAtQuality(picture, 1);
    appSettings.Limit = true;
    appSettings.LmtVal = 0;
    const JpegBytes written = Save(picture);
    EXPECT_EQ(triedQualities, (std::vector<int32_t>{100, 69, 38, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(written, qualityOne);
    EXPECT_EQ(LumaSampling(WalkJpeg(written)), std::make_pair(1, 1)) << "sampling still applies";
    appSettings.LmtVal = -3;
    EXPECT_EQ(Save(picture), qualityOne);
    // The largest setting is 2 TiB, not a limit wrapped round below zero.
    appSettings.LmtVal = INT32_MAX;
    Save(picture);
    EXPECT_EQ(triedQualities, std::vector<int32_t>{100});
}

TEST_F(JpegWriting, ALengthOfExactlyTheLimitFits) {
    // A flat picture turned into noise one pixel at a time: its length at 100
    // climbs a few bytes a step, through whole numbers of KiB and one byte more.
    bool foundExact = false;
    bool foundOver = false;
    for (uint32_t seed = 1; seed <= 8 && !(foundExact && foundOver); ++seed) {
        const TestPicture noise = NoisePicture(64, 64, seed);
        TestPicture picture = FormulaPicture(64, 64, 24, [](int32_t, int32_t, int) { return uint8_t{128}; });
        for (size_t k = 0; k < picture.rows.size() && !(foundExact && foundOver); ++k) {
            picture.rows[k] = noise.rows[k];
            const size_t length = StreamLength(picture, 100);
            const size_t rest = length % 1024;
            if ((rest == 0 && foundExact) || (rest == 1 && foundOver) || rest > 1) continue;
            appSettings.Limit = true;
            appSettings.LmtVal = static_cast<int32_t>(length / 1024);
            const JpegBytes written = Save(picture);
            appSettings.Limit = false;
            if (rest == 0) {
                foundExact = true;
                EXPECT_EQ(triedQualities, std::vector<int32_t>{100});
                EXPECT_EQ(written.size(), length);
            } else {
                foundOver = true;
                ASSERT_GE(triedQualities.size(), 2u);
                EXPECT_EQ(triedQualities[1], 69) << "one byte over the limit does not fit";
                EXPECT_LT(written.size(), length);
            }
        }
    }
    EXPECT_TRUE(foundExact);
    EXPECT_TRUE(foundOver);
}

TEST_F(JpegWriting, FailuresReportFalseAndKeepNoMemory) {
    TestPicture picture = PhotoPicture(8, 8, 24, 2);
    EXPECT_FALSE(SaveTo(picture, folder.Join(L"missing\\out.jpg")));
    EXPECT_EQ(context.codecs.jpegWriter->errorCode, kErrorCannotCreateOutput);
    EXPECT_EQ(context.codecs.jpegWriter->outputFile, INVALID_HANDLE_VALUE);
    appSettings.Limit = true;
    EXPECT_FALSE(SaveTo(picture, folder.Join(L"missing\\out.jpg")));
    EXPECT_EQ(context.codecs.jpegWriter->errorCode, kErrorCannotCreateOutput);
    appSettings.Limit = false;

    // A library error (an empty picture) fails the save and closes the file.
    TestPicture empty = PhotoPicture(8, 8, 24, 2);
    empty.width = 0;
    const std::wstring path = folder.Join(L"empty.jpg");
    EXPECT_FALSE(SaveTo(empty, path));
    EXPECT_EQ(context.codecs.jpegWriter->errorCode, kErrorNone);
    EXPECT_EQ(context.codecs.jpegWriter->outputFile, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileW(path.c_str())) << "the partial file can be deleted";
    appSettings.Limit = true;
    EXPECT_FALSE(SaveTo(empty, path));
    EXPECT_FALSE(FileExists(path)) << "the limited save creates its file only after an encode";
    appSettings.Limit = false;

    // An 8-bit picture without a palette cannot be expanded.
    TestPicture indexed = PhotoPicture(8, 8, 8, 2);
    context.current = nullptr;
    EXPECT_FALSE(SaveTo(indexed, folder.Join(L"none.jpg")));
    EXPECT_EQ(context.codecs.jpegWriter->errorCode, kErrorConversionFailed);
    context.current = &source;
}

TEST_F(JpegWriting, EveryFailedAllocationFailsTheSave) {
    // 8 bits need the 24-bit copy; the limited save adds its output buffer and,
    // for a stream longer than the rows, a larger one.
    for (bool limit : {false, true}) {
        TestPicture picture = PhotoPicture(4, 4, 8, 6);
        appSettings.Limit = limit;
        appSettings.LmtVal = 1000;
        int failures = 0;
        for (int failing = 1;; ++failing) {
            AllocationProbe::FailAt(failing);
            const std::wstring path = folder.Join(L"alloc.jpg");
            const bool saved = SaveTo(picture, path);
            const int asked = AllocationProbe::Allocations();
            AllocationProbe::Reset();
            ASSERT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << "allocation " << failing;
            if (saved) {
                EXPECT_GT(failing, asked);
                break;
            }
            ++failures;
            if (failing == 1) {
                EXPECT_EQ(context.codecs.jpegWriter->errorCode, kErrorOutOfMemory);
            }
            DeleteFileW(path.c_str());
        }
        EXPECT_EQ(failures, limit ? 3 : 1) << (limit ? "limited" : "plain");
    }
}

#ifndef _WIN32
// A full disk: the plain save fails on the library's write error, the limited
// save on its one write; neither reports a file.
TEST_F(JpegWriting, ShortWritesFailTheSave) {
    TestPicture picture = PhotoPicture(64, 64, 24, 4);
    EXPECT_FALSE(SaveTo(picture, L"/dev/full"));
    appSettings.Limit = true;
    EXPECT_FALSE(SaveTo(picture, L"/dev/full"));
    EXPECT_EQ(context.codecs.jpegWriter->errorCode, kErrorCannotCreateOutput);
}
#endif

// ---- End to end ----

// A photograph read as a bitmap and as a JPEG gives the three default wallpapers.
TEST(JpegOutput, APhotographBecomesThreeJpegWallpapers) {
    const std::filesystem::path root = CorporaRoot();
    if (root.empty()) GTEST_SKIP() << "the shared corpora are not present";
    const std::filesystem::path data = root / "wuffs-testdata" / "test" / "data";
    for (const auto& [source, inputName, smallestName] :
         {std::tuple{"harvesters.bmp", L"harvesters.bmp", L"harvesters.jpg"},
          // The input holds the plain name, so the smallest wallpaper is numbered.
          std::tuple{"harvesters.jpeg", L"harvesters.jpg", L"harvesters+1.jpg"}}) {
        const std::filesystem::path photo = data / source;
        if (!std::filesystem::exists(photo)) GTEST_SKIP() << "missing " << photo.string();
        TempFolder folder;
        const std::wstring input = folder.Join(inputName);
        std::filesystem::copy_file(photo, std::filesystem::path(input));
        appSettings = AppSettings{};
        wcscpy(settingsPath, folder.Join(L"none.ini").c_str());
        SettingsStore::Load();
        appSettings.outputFormat = 2;
        AllocationProbe::Reset();
        const int liveBefore = AllocationProbe::LiveBlocks();

        const WCHAR* inputs[] = {input.c_str()};
        int written = 0;
        MessageBoxRecorder recorder;
        ASSERT_TRUE(RunBatch(1, inputs, &written)) << source;
        EXPECT_TRUE(recorder.Stop().empty()) << source;
        EXPECT_EQ(written, 3) << source;
        EXPECT_EQ(AllocationProbe::LiveBlocks(), liveBefore) << source;
        const std::pair<std::wstring, std::pair<int, int>> outputs[] = {
            {TempFolder::JoinPath(folder.Join(L"Output"), L"harvesters1024x768.jpg"), {1024, 768}},
            {TempFolder::JoinPath(folder.Join(L"800x600"), L"harvesters.jpg"), {800, 600}},
            {folder.Join(smallestName), {160, 120}},
        };
        for (const auto& [path, size] : outputs) {
            const ReferenceDecode decoded = DecodeJpeg(ReadWholeFile(path), JCS_RGB);
            ASSERT_TRUE(decoded.ok) << source << ": " << decoded.message;
            EXPECT_EQ(decoded.width, size.first) << source;
            EXPECT_EQ(decoded.height, size.second) << source;
            EXPECT_EQ(LumaSampling(WalkJpeg(ReadWholeFile(path))), std::make_pair(2, 2)) << source;
        }
    }
}
