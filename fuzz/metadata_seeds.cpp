// Writes the photo tests' pictures with broken and well-formed EXIF blocks
// and ICC profiles into FOLDER/jpeg, FOLDER/png and FOLDER/tiff, as seeds of
// the readers' fuzz targets:   metadata_seeds FOLDER
#include "support/metadata_files.h"
#include "support/temp_folder.h"

#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const TestPicture picture = PhotoPicture(64, 48, 24, 3);
    std::vector<NamedFile> files = BrokenMetadataFiles(picture);
    // Well-formed ones too, with colord-data's profile when it is installed.
    const Bytes profile = ReadWholeFile(L"/usr/share/color/icc/colord/AdobeRGB1998.icc");
    std::vector<JpegSegment> segments = {ExifSegment(ExifBlock(6, false))};
    Bytes chunks = PngExif(ExifBlock(8));
    if (!profile.empty()) {
        const std::vector<JpegSegment> icc = IccSegments(profile, 3, {2, 3, 1});
        segments.insert(segments.end(), icc.begin(), icc.end());
        const Bytes iccp = PngProfile(profile);
        chunks.insert(chunks.end(), iccp.begin(), iccp.end());
    }
    files.push_back({"turned-profiled.jpg", JpegFile(picture, segments)});
    files.push_back({"turned-profiled.png", PngFile(picture, chunks)});
    files.push_back({"turned-profiled.tif", TiffFile(picture, 5, profile)});
    const std::filesystem::path root = argv[1];
    for (const NamedFile& file : files) {
        const std::string extension = file.name.substr(file.name.size() - 3);
        const std::filesystem::path folder = root / (extension == "jpg" ? "jpeg" : extension == "tif" ? "tiff" : "png");
        std::filesystem::create_directories(folder);
        std::ofstream(folder / file.name, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(file.bytes.size()));
    }
    return 0;
}
