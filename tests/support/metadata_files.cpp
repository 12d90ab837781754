#include "support/metadata_files.h"

#include "support/png_builder.h"
#include "support/tiff_builder.h"

#include <algorithm>

namespace {

// Top-down rows red first, as the encoders take them; indices for 8 bits.
Bytes TopDown(const TestPicture& picture) {
    const int channels = picture.bitCount / 8;
    Bytes rows;
    for (int32_t y = picture.height - 1; y >= 0; --y)
        for (int32_t x = 0; x < picture.width; ++x)
            for (int c = channels - 1; c >= 0; --c)
                rows.push_back(picture.rows[static_cast<size_t>(y * picture.stride + x * channels + c)]);
    return rows;
}

void Append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

// Little-endian words for blocks built by hand.
Bytes Words(std::initializer_list<std::pair<uint32_t, int>> words) {
    Bytes bytes;
    for (auto [value, size] : words)
        for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return bytes;
}

}  // namespace

Bytes ExifBlock(uint32_t orientation, bool littleEndian) {
    TiffBuilder block(littleEndian);
    block.Entry(274, 3, {orientation});
    return block.Build();
}

JpegSegment ExifSegment(const Bytes& block) {
    JpegSegment segment{0xE1, {'E', 'x', 'i', 'f', 0, 0}};
    Append(segment.body, block);
    return segment;
}

std::vector<JpegSegment> IccSegments(const Bytes& profile, size_t chunks, const std::vector<int>& order) {
    constexpr size_t kLargestPiece = 65519;  // a segment's 65533 bytes less the ICC_PROFILE header
    if (chunks == 0) chunks = std::max<size_t>(1, (profile.size() + kLargestPiece - 1) / kLargestPiece);
    std::vector<int> sequence = order;
    for (int i = 1; sequence.size() < chunks && order.empty(); ++i) sequence.push_back(i);
    const size_t piece = (profile.size() + chunks - 1) / chunks;
    std::vector<JpegSegment> segments;
    for (int number : sequence) {
        JpegSegment segment{0xE2, {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0}};
        segment.body.push_back(static_cast<uint8_t>(number));
        segment.body.push_back(static_cast<uint8_t>(chunks));
        const size_t from = std::min(profile.size(), (static_cast<size_t>(number) - 1) * piece);
        segment.body.insert(segment.body.end(), profile.begin() + static_cast<std::ptrdiff_t>(from),
                            profile.begin() + static_cast<std::ptrdiff_t>(std::min(profile.size(), from + piece)));
        segments.push_back(segment);
    }
    return segments;
}

Bytes PngExif(const Bytes& block) { return PngChunk("eXIf", block); }

Bytes PngProfile(const Bytes& profile) {
    Bytes data = {'I', 'C', 'C', 0, 0};
    Append(data, Deflated(profile));
    return PngChunk("iCCP", data);
}

Bytes JpegFile(const TestPicture& picture, const std::vector<JpegSegment>& segments) {
    JpegRecipe recipe;
    recipe.width = picture.width;
    recipe.height = picture.height;
    recipe.rows = TopDown(picture);
    recipe.markers = segments;
    return EncodeJpeg(recipe);
}

Bytes PngFile(const TestPicture& picture, const Bytes& chunks) {
    const Bytes rows = TopDown(picture);
    const size_t rowBytes = rows.size() / static_cast<size_t>(picture.height);
    Bytes filtered;
    for (size_t at = 0; at < rows.size(); at += rowBytes) {
        filtered.push_back(0);
        filtered.insert(filtered.end(), rows.begin() + static_cast<std::ptrdiff_t>(at),
                        rows.begin() + static_cast<std::ptrdiff_t>(at + rowBytes));
    }
    Bytes before = chunks;
    if (picture.bitCount == 8) {
        Bytes palette;
        for (const RGBQUAD& entry : picture.palette) Append(palette, {entry.rgbRed, entry.rgbGreen, entry.rgbBlue});
        Append(before, PngChunk("PLTE", palette));
    }
    const auto width = static_cast<uint32_t>(picture.width);
    const auto height = static_cast<uint32_t>(picture.height);
    return SimplePng(width, height, 8, picture.bitCount == 8 ? 3 : 2, filtered, before);
}

Bytes TiffFile(const TestPicture& picture, uint32_t orientation, const Bytes& profile, uint32_t iccCount) {
    TiffPicture tiff;
    tiff.width = static_cast<uint32_t>(picture.width);
    tiff.height = static_cast<uint32_t>(picture.height);
    tiff.photometric = 2;
    tiff.bitsPerSample = {8, 8, 8};
    tiff.pixels = TopDown(picture);
    tiff.orientation = orientation;
    tiff.iccProfile = profile;
    tiff.iccCount = iccCount;
    return SimpleTiff(tiff);
}

std::vector<NamedFile> BrokenMetadataFiles(const TestPicture& picture) {
    Bytes truncated = ExifBlock(6);
    truncated.resize(16);  // the entry cut after its type
    // IFD0 without the orientation; its chain goes to an IFD1 that has one
    // (a thumbnail's) and back to IFD0.
    const Bytes loop = Words({{0x002A4949, 4}, {8, 4}, {1, 2}, {296, 2}, {3, 2}, {1, 4}, {2, 4}, {26, 4},
                              {1, 2}, {274, 2}, {3, 2}, {1, 4}, {6, 4}, {8, 4}});
    TiffBuilder hugeCount;
    hugeCount.RawEntry(274, 3, 0xFFFFFFFFu, 6);
    const Bytes hugeDirectory = Words({{0x002A4949, 4}, {8, 4}, {0xFFFF, 2}, {274, 2}, {3, 2}, {1, 4}, {6, 4}});
    // A header that says RGB display profile, with tags past its end.
    Bytes refused = Words({{0x00020000, 4}});
    refused.resize(128);
    std::copy_n("mntrRGB XYZ ", 12, refused.begin() + 12);
    std::copy_n("acsp", 4, refused.begin() + 36);
    Append(refused, Words({{0x01000000, 4}, {0x5A595872, 4}, {0x00100000, 4}, {0x14000000, 4}}));
    Bytes broken = Deflated(refused);
    broken.resize(broken.size() / 2);
    Bytes brokenChunk = {'I', 'C', 'C', 0, 0};
    Append(brokenChunk, broken);
    return {
        {"exif-truncated.jpg", JpegFile(picture, {ExifSegment(truncated)})},
        {"exif-loop.jpg", JpegFile(picture, {ExifSegment(loop)})},
        {"exif-huge-count.jpg", JpegFile(picture, {ExifSegment(hugeCount.Build())})},
        {"exif-huge-directory.jpg", JpegFile(picture, {ExifSegment(hugeDirectory)})},
        {"icc-refused.jpg", JpegFile(picture, IccSegments(refused))},
        {"icc-chunk-missing.jpg", JpegFile(picture, IccSegments(refused, 3, {1, 3}))},
        {"exif-truncated.png", PngFile(picture, PngExif(truncated))},
        {"iccp-broken-stream.png", PngFile(picture, PngChunk("iCCP", brokenChunk))},
        {"orientation-9.tif", TiffFile(picture, 9, {})},
        {"icc-past-the-end.tif", TiffFile(picture, 0, refused, 0x7FFFFFF0u)},
    };
}
