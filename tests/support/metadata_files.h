// Picture files that carry an orientation or an ICC profile, well formed or
// broken: for the photo tests, and as seeds of the readers' fuzz targets.
#pragma once

#include "support/jpeg_tools.h"
#include "support/test_pictures.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// An EXIF block whose IFD0 holds only the orientation.
Bytes ExifBlock(uint32_t orientation, bool littleEndian = true);
// The APP1 segment of an EXIF block.
JpegSegment ExifSegment(const Bytes& block);
// A profile as APP2 ICC_PROFILE segments: cut into `chunks` pieces (0: as
// few as hold it), written in `order` (1-based sequence numbers; empty: 1,
// 2, ...), each saying `chunks`.
std::vector<JpegSegment> IccSegments(const Bytes& profile, size_t chunks = 0, const std::vector<int>& order = {});
// eXIf and iCCP chunks.
Bytes PngExif(const Bytes& block);
Bytes PngProfile(const Bytes& profile);

// A 24-bit picture as a JPEG of quality 95 with these segments.
Bytes JpegFile(const TestPicture& picture, const std::vector<JpegSegment>& segments);
// An RGB (24-bit) or palette (8-bit) PNG with these chunks before PLTE and IDAT.
Bytes PngFile(const TestPicture& picture, const Bytes& chunks);
// A 24-bit picture as an RGB TIFF; its tags as TiffPicture takes them.
Bytes TiffFile(const TestPicture& picture, uint32_t orientation, const Bytes& profile, uint32_t iccCount = 0);

// Broken EXIF blocks and profiles around the 24-bit picture, each named with
// its extension: every one must give the stored picture.
struct NamedFile {
    std::string name;
    Bytes bytes;
};
std::vector<NamedFile> BrokenMetadataFiles(const TestPicture& picture);
