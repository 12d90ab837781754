// Photos as they were taken: the orientation turns a picture upright and an
// embedded ICC profile converts its colours to sRGB before the fitting, so
// the fitting gets the upright sRGB picture; broken metadata is ignored.
#include "engine/batch.h"
#include "engine/codec_set.h"
#include "engine/load_picture.h"
#include "engine/prepare_picture.h"
#include "settings/settings_store.h"
#include "support/corpus_path.h"
#include "support/metadata_files.h"
#include "support/temp_folder.h"
#include "support/test_context.h"

#include <lcms2.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

Bytes Read(const std::string& posixPath) { return ReadWholeFile(HostPath(posixPath).wstring()); }
std::string Colord(const char* name) { return std::string("/usr/share/color/icc/colord/") + name; }
std::string Corpus(const char* name) { return (CorporaRoot() / name).string(); }

// Where upright pixel (X, Y) of a W x H picture (rows top-down) is stored,
// as EXIF says where the stored first row and column are shown: 2 and 4
// mirror, 3 is a half turn; from 5 on the first row is shown as the left (5,
// 8) or right (6, 7) column and the first column as the top (5, 6) or bottom
// (7, 8) row.
void StoredAt(int k, int32_t X, int32_t Y, int32_t W, int32_t H, int32_t& x, int32_t& y) {
    const int32_t kx[9] = {X, X, W - 1 - X, W - 1 - X, X, Y, Y, H - 1 - Y, H - 1 - Y};
    const int32_t ky[9] = {Y, Y, Y, H - 1 - Y, H - 1 - Y, X, W - 1 - X, W - 1 - X, X};
    x = kx[k];
    y = ky[k];
}

// The stored picture of an upright one (toStored), or the upright one of a stored one.
TestPicture Turned(TestPicture from, int k, bool toStored) {
    const bool swap = k >= 5;
    TestPicture to = FormulaPicture(swap ? from.height : from.width, swap ? from.width : from.height, 24,
                                    [](int32_t, int32_t, int) { return uint8_t{0}; });
    TestPicture& stored = toStored ? to : from;
    TestPicture& upright = toStored ? from : to;
    for (int32_t Y = 0; Y < upright.height; ++Y) {
        for (int32_t X = 0; X < upright.width; ++X) {
            int32_t x, y;
            StoredAt(k, X, Y, upright.width, upright.height, x, y);
            uint8_t* u = upright.At(X, upright.height - 1 - Y);
            uint8_t* s = stored.At(x, stored.height - 1 - y);
            std::copy_n(toStored ? u : s, 3, toStored ? s : u);
        }
    }
    return to;
}

// The picture's pixels (or palette) as LittleCMS converts them itself.
TestPicture ConvertedByLittleCms(TestPicture picture, const Bytes& profile) {
    cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(source, TYPE_BGR_8, srgb, TYPE_BGR_8, INTENT_PERCEPTUAL, 0);
    if (t == nullptr) ADD_FAILURE() << "LittleCMS refuses the profile";
    for (int32_t y = 0; t != nullptr && picture.bitCount == 24 && y < picture.height; ++y) {
        const Bytes row(picture.At(0, y), picture.At(0, y) + picture.width * 3);
        cmsDoTransform(t, row.data(), picture.At(0, y), static_cast<cmsUInt32Number>(picture.width));
    }
    for (RGBQUAD& entry : picture.palette) {
        const uint8_t in[3] = {entry.rgbBlue, entry.rgbGreen, entry.rgbRed};
        uint8_t out[3] = {in[0], in[1], in[2]};
        if (t != nullptr && picture.bitCount == 8) cmsDoTransform(t, in, out, 1);
        entry = RGBQUAD{out[0], out[1], out[2], 0};
    }
    if (t != nullptr) cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    if (source != nullptr) cmsCloseProfile(source);
    return picture;
}

void ExpectSame(const TestPicture& picture, const TestPicture& expected) {
    EXPECT_EQ(picture.width, expected.width);
    EXPECT_EQ(picture.height, expected.height);
    EXPECT_TRUE(picture.rows == expected.rows) << "the pixels differ";
    EXPECT_EQ(memcmp(picture.palette, expected.palette, sizeof picture.palette), 0) << "the palettes differ";
}

class Photos : public testing::Test {
protected:
    TempFolder folder;
    TestPicture photo;  // a real photograph, 227 x 149, as the JPEG reader decodes it

    void SetUp() override {
        ASSERT_TRUE(CreateCodecs(context.codecs));
        const Bytes original = Read(Corpus("libjpeg-turbo-testimages/testorig.jpg"));
        if (CorporaRoot().empty() || original.empty()) GTEST_SKIP() << "no corpora: no photograph";
        photo = Prepared("jpg", original, false, false);
    }
    void TearDown() override { DestroyCodecs(context.codecs); }

    // What the batch fits: the file loaded, then prepared as the settings say.
    TestPicture Prepared(const std::string& extension, const Bytes& file, bool autoRotate = true, bool toSrgb = true) {
        const std::wstring path = folder.Write(L"in." + std::wstring(extension.begin(), extension.end()), file);
        PreparedNotes notes;
        if (!LoadPicture(context, path.c_str())) return {};
        DecodedImage& image = *context.current;
        EXPECT_TRUE(PreparePicture(image, autoRotate, toSrgb, notes));
        const int64_t stride = PaddedRowBytes(image.header.biWidth, image.header.biBitCount);
        const int bytes = image.header.biBitCount / 8;
        TestPicture picture =
            FormulaPicture(image.header.biWidth, image.header.biHeight, image.header.biBitCount,
                           [&](int32_t x, int32_t y, int c) { return image.pixels[y * stride + x * bytes + c]; });
        std::copy_n(image.palette, 256, picture.palette);
        ReleasePicture(image);
        context.current = nullptr;
        return picture;
    }
};

}  // namespace

TEST_F(Photos, EveryOrientationGivesTheUprightPicture) {
    struct Row {
        const char* format;
        int k;
        bool autoRotate = true;
    };
    const Row rows[] = {{"jpg", 1}, {"jpg", 2}, {"jpg", 3}, {"jpg", 4}, {"jpg", 5},        {"jpg", 6},
                        {"jpg", 7}, {"jpg", 8}, {"png", 6}, {"tif", 5}, {"png", 3, false}, {"tif", 7, false}};
    for (const Row& row : rows) {
        const std::string format = row.format;
        SCOPED_TRACE(format + " " + std::to_string(row.k) + (row.autoRotate ? "" : " with AutoRot=0"));
        const TestPicture stored = Turned(photo, row.k, true);
        const Bytes exif = ExifBlock(static_cast<uint32_t>(row.k), row.k % 2 == 0);  // both byte orders
        Bytes file = format == "png" ? PngFile(stored, PngExif(exif)) : TiffFile(stored, uint32_t(row.k), {});
        if (format == "jpg") file = JpegFile(stored, {ExifSegment(exif)});
        // A JPEG is lossy: its decoded rows are the stored picture.
        const TestPicture asStored = format == "jpg" ? Prepared(format, file, false, false) : stored;
        ExpectSame(Prepared(format, file, row.autoRotate), row.autoRotate ? Turned(asStored, row.k, false) : asStored);
    }
}

TEST_F(Photos, ProfilesGiveLittleCmsOwnConversionAndSrgbOnesTheStoredPicture) {
    const Bytes adobe = Read(Colord("AdobeRGB1998.icc"));
    if (adobe.empty()) GTEST_SKIP() << "colord-data is not installed";
    const auto embedded = [](const char* jpeg) {
        const JpegStructure structure = WalkJpeg(Read(Corpus(jpeg)));
        const JpegSegment* app2 = structure.Find(0xE2);
        return app2 != nullptr ? Bytes(app2->body.begin() + 14, app2->body.end()) : Bytes{};
    };
    const Bytes prophoto = Read(Colord("ProPhotoRGB.icc"));
    const Bytes swapped = Read(Colord("SwappedRedAndGreen.icc"));
    struct Row {
        const char* format;  // png8: a palette picture
        Bytes profile;
        bool converted;
        std::vector<int> order = {};  // of the JPEG's chunks; empty: as few as hold it, in order
        bool toSrgb = true;
    };
    // clang-format off
    const Row rows[] = {
        {"jpg", adobe, true}, {"jpg", prophoto, true}, {"jpg", swapped, true}, {"png", adobe, true},
        {"png", prophoto, true}, {"png", swapped, true}, {"png8", adobe, true}, {"jpg", adobe, true, {3, 1, 2}},
        {"png", adobe, false, {}, false},
        // sRGB as colord, HP (v2, with and without black scaling) and GIMP write it
        {"jpg", Read(Colord("sRGB.icc")), false}, {"png", Read(Corpus("bmpsuite-reference/data/srgb.icc")), false},
        {"jpg", embedded("image-rs-tests/tests/images/jpg/progressive/test.jpg"), false},
        {"jpg", embedded("gdk-pixbuf-tests/issue205.jpg"), false},
        {"jpg", Read(Corpus("libjpeg-turbo-testimages/test1.icc")), false},  // CMYK: ignored
    };
    // clang-format on
    for (const Row& row : rows) {
        const std::string format = row.format;
        SCOPED_TRACE(format + " row " + std::to_string(&row - rows));
        ASSERT_FALSE(row.profile.empty());
        const TestPicture picture = format == "png8" ? PhotoPicture(227, 149, 8, 5) : photo;
        Bytes file = PngFile(picture, PngProfile(row.profile));
        if (format == "jpg") file = JpegFile(picture, IccSegments(row.profile, row.order.size(), row.order));
        const TestPicture asStored = format == "jpg" ? Prepared(format, file, true, false) : picture;
        ExpectSame(Prepared(format.substr(0, 3), file, true, row.toSrgb),
                   row.converted ? ConvertedByLittleCms(asStored, row.profile) : asStored);
    }
}

TEST_F(Photos, BrokenExifBlocksAndProfilesGiveTheStoredPicture) {
    for (const NamedFile& broken : BrokenMetadataFiles(photo)) {
        SCOPED_TRACE(broken.name);
        const std::string extension = broken.name.substr(broken.name.size() - 3);
        ExpectSame(Prepared(extension, broken.bytes),
                   extension == "jpg" ? Prepared(extension, broken.bytes, false, false) : photo);
    }
}

// The digest was taken on the native build; the Windows builds must write
// the same bytes for a turned photo with a wide-gamut profile.
TEST(PhotoBatch, ATurnedProfiledPhotoGivesTheSameBytesOnEveryBuild) {
    const Bytes adobe = Read(Colord("AdobeRGB1998.icc"));
    if (adobe.empty()) GTEST_SKIP() << "colord-data is not installed";
    TempFolder folder;
    appSettings = AppSettings{};
    wcscpy(settingsPath, folder.Join(L"none.ini").c_str());
    SettingsStore::Load();
    appSettings.outputFormat = 2;
    appSettings.slots[0] = OutputSlot{true, 120, 90, {}, L"_a", false, {}};
    appSettings.slots[1] = OutputSlot{true, 60, 100, {}, L"_b", false, {}};
    appSettings.slots[2].enabled = false;
    std::vector<JpegSegment> segments = IccSegments(adobe);
    segments.push_back(ExifSegment(ExifBlock(6)));
    const std::wstring path =
        folder.Write(L"turned.jpg", JpegFile(Turned(PhotoPicture(300, 200, 24, 11), 6, true), segments));
    const WCHAR* input = path.c_str();
    RunBatch(1, &input, nullptr);
    Bytes outputs = ReadWholeFile(folder.Join(L"turned_a.jpg"));
    const Bytes second = ReadWholeFile(folder.Join(L"turned_b.jpg"));
    outputs.insert(outputs.end(), second.begin(), second.end());
    EXPECT_EQ(Digest(outputs.data(), outputs.size()), 0xEAA58F47u);
}
