// Photos as they were taken: the orientation turns a picture upright and an
// embedded ICC profile converts its colours to sRGB before the fitting, so
// every output is the upright sRGB picture's; broken metadata is ignored.
#include "engine/batch.h"
#include "settings/settings_store.h"
#include "support/corpus_path.h"
#include "support/metadata_files.h"
#include "support/temp_folder.h"

#include <lcms2.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

Bytes Read(const std::string& posixPath) { return ReadWholeFile(HostPath(posixPath).wstring()); }
std::string Colord(const char* name) { return std::string("/usr/share/color/icc/colord/") + name; }
std::string Corpus(const char* name) { return (CorporaRoot() / name).string(); }

TestPicture Decoded(const Bytes& jpeg) {
    const ReferenceDecode d = DecodeJpeg(jpeg);
    return FormulaPicture(d.width, d.height, 24, [&](int32_t x, int32_t row, int c) {
        return d.rows[static_cast<size_t>(((d.height - 1 - row) * d.width + x) * 3 + 2 - c)];
    });
}

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
    EXPECT_NE(t, nullptr);
    for (int32_t y = 0; y < picture.height && t != nullptr && picture.bitCount == 24; ++y) {
        const Bytes row(picture.At(0, y), picture.At(0, y) + picture.width * 3);
        cmsDoTransform(t, row.data(), picture.At(0, y), static_cast<cmsUInt32Number>(picture.width));
    }
    for (RGBQUAD& entry : picture.palette) {
        const uint8_t in[3] = {entry.rgbBlue, entry.rgbGreen, entry.rgbRed};
        uint8_t out[3];
        if (t != nullptr && picture.bitCount == 8) cmsDoTransform(t, in, out, 1);
        if (t != nullptr && picture.bitCount == 8) entry = RGBQUAD{out[0], out[1], out[2], 0};
    }
    if (t != nullptr) cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    if (source != nullptr) cmsCloseProfile(source);
    return picture;
}

class Photos : public testing::Test {
protected:
    TempFolder folder;
    TestPicture photo;  // a real photograph, 227 x 149
    int inputs = 0;

    void SetUp() override {
        appSettings = AppSettings{};
        wcscpy(settingsPath, folder.Join(L"none.ini").c_str());
        SettingsStore::Load();
        appSettings.outputFormat = 0;
        appSettings.slots[0] = OutputSlot{true, 120, 90, {}, L"_a", false, {}};
        appSettings.slots[1] = OutputSlot{true, 60, 100, {}, L"_b", false, {}};
        appSettings.slots[2].enabled = false;
        const Bytes original = Read(Corpus("libjpeg-turbo-testimages/testorig.jpg"));
        if (CorporaRoot().empty() || original.empty()) GTEST_SKIP() << "no corpora: no photograph";
        photo = Decoded(original);
    }
    // The two slots' outputs of one input, the two files joined.
    Bytes Outputs(const std::wstring& name, const Bytes& file) {
        const std::wstring path = folder.Write(name, file);
        const WCHAR* input = path.c_str();
        int written = 0;
        RunBatch(1, &input, &written);
        EXPECT_EQ(written, 2);
        const std::wstring stem = path.substr(0, path.rfind(L'.'));
        Bytes outputs = ReadWholeFile(stem + L"_a" + (appSettings.outputFormat == 2 ? L".jpg" : L".bmp"));
        const Bytes second = ReadWholeFile(stem + L"_b" + (appSettings.outputFormat == 2 ? L".jpg" : L".bmp"));
        outputs.insert(outputs.end(), second.begin(), second.end());
        return outputs;
    }
    void ExpectFittedAs(const std::string& extension, const Bytes& file, const TestPicture& expected) {
        const std::wstring n = std::to_wstring(++inputs);
        EXPECT_TRUE(Outputs(L"in" + n + L"." + std::wstring(extension.begin(), extension.end()), file) ==
                    Outputs(L"ex" + n + L".bmp", BmpFile(expected)));
    }
};

}  // namespace

TEST_F(Photos, EveryOrientationGivesTheOutputsOfTheUprightPicture) {
    struct Row {
        const char* format;
        int k;
        bool autoRotate = true;
    };
    const Row rows[] = {{"jpg", 1}, {"jpg", 2}, {"jpg", 3}, {"jpg", 4},         {"jpg", 5},  {"jpg", 6},
                        {"jpg", 7}, {"jpg", 8}, {"jpg", 6, false}, {"png", 6}, {"tif", 5}, {"tif", 7, false}};
    for (const Row& row : rows) {
        const std::string format = row.format;
        SCOPED_TRACE(format + " " + std::to_string(row.k) + (row.autoRotate ? "" : " kept as stored"));
        appSettings.AutoRot = row.autoRotate;
        const TestPicture stored = Turned(photo, row.k, true);
        const Bytes exif = ExifBlock(static_cast<uint32_t>(row.k), row.k % 2 == 0);  // both byte orders
        Bytes file = format == "png" ? PngFile(stored, PngExif(exif)) : TiffFile(stored, uint32_t(row.k), {});
        if (format == "jpg") file = JpegFile(stored, {ExifSegment(exif)});
        // A JPEG is lossy: its decoded rows, turned upright, are the upright picture.
        const TestPicture upright = format == "jpg" ? Turned(Decoded(file), row.k, false) : photo;
        ExpectFittedAs(format, file, row.autoRotate ? upright : Turned(upright, row.k, true));
    }
}

TEST_F(Photos, ProfilesGiveLittleCmsOwnConversionAndSrgbOnesTodaysBytes) {
    const Bytes adobe = Read(Colord("AdobeRGB1998.icc"));
    if (adobe.empty()) GTEST_SKIP() << "colord-data is not installed";
    const auto embedded = [](const char* jpeg) {
        const JpegSegment* app2 = WalkJpeg(Read(Corpus(jpeg))).Find(0xE2);
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
    const Row rows[] = {
        {"jpg", adobe, true}, {"jpg", prophoto, true}, {"jpg", swapped, true}, {"png", adobe, true},
        {"png", prophoto, true}, {"png", swapped, true}, {"png8", adobe, true}, {"jpg", adobe, true, {3, 1, 2}},
        {"jpg", adobe, false, {}, false},
        // sRGB as colord, HP (v2, with and without black scaling) and GIMP write it
        {"jpg", Read(Colord("sRGB.icc")), false}, {"png", Read(Corpus("bmpsuite-reference/data/srgb.icc")), false},
        {"jpg", embedded("image-rs-tests/tests/images/jpg/progressive/test.jpg"), false},
        {"jpg", embedded("gdk-pixbuf-tests/issue205.jpg"), false},
        {"jpg", Read(Corpus("libjpeg-turbo-testimages/test1.icc")), false},  // CMYK: ignored
    };
    for (const Row& row : rows) {
        const std::string format = row.format;
        SCOPED_TRACE(format + " row " + std::to_string(&row - rows));
        ASSERT_FALSE(row.profile.empty());
        appSettings.ToSRGB = row.toSrgb;
        const TestPicture picture = format == "png8" ? PhotoPicture(227, 149, 8, 5) : photo;
        Bytes file = PngFile(picture, PngProfile(row.profile));
        if (format == "jpg") file = JpegFile(picture, IccSegments(row.profile, row.order.size(), row.order));
        const TestPicture stored = format == "jpg" ? Decoded(file) : picture;
        ExpectFittedAs(format.substr(0, 3), file, row.converted ? ConvertedByLittleCms(stored, row.profile) : stored);
    }
}

TEST_F(Photos, BrokenExifBlocksAndProfilesGiveTheStoredPicture) {
    for (const NamedFile& broken : BrokenMetadataFiles(photo)) {
        SCOPED_TRACE(broken.name);
        const std::string extension = broken.name.substr(broken.name.size() - 3);
        ExpectFittedAs(extension, broken.bytes, extension == "jpg" ? Decoded(broken.bytes) : photo);
    }
}

// The digest was taken on the native build; the Windows builds must write
// the same bytes for a turned photo with a wide-gamut profile.
TEST_F(Photos, ATurnedProfiledPhotoGivesTheSameBytesOnEveryBuild) {
    const Bytes adobe = Read(Colord("AdobeRGB1998.icc"));
    if (adobe.empty()) GTEST_SKIP() << "colord-data is not installed";
    std::vector<JpegSegment> segments = IccSegments(adobe);
    segments.push_back(ExifSegment(ExifBlock(6)));
    appSettings.outputFormat = 2;
    const Bytes outputs = Outputs(L"turned.jpg", JpegFile(Turned(PhotoPicture(300, 200, 24, 11), 6, true), segments));
    EXPECT_EQ(Digest(outputs.data(), outputs.size()), 0xEAA58F47u);
}
