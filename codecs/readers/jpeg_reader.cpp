#include "codecs/readers/jpeg_reader.h"

#include "core/memory.h"
#include "codecs/readers/ifd0_tags.h"
#include "codecs/readers/jpeg_errors.h"
#include "codecs/readers/mapped_file.h"

#include <cstdlib>
#include <cstring>

namespace {

// The library reads the mapped view itself; when it asks for more than the
// file holds, it gets an end-of-image marker, so a cut file still decodes to
// its full size.
struct JpegSource {
    jpeg_source_mgr base;  // first, so that the library's pointer is ours
    JOCTET* eofBuffer;
};

void StartSource(j_decompress_ptr) {}
void EndSource(j_decompress_ptr) {}

boolean SupplyEndOfImage(j_decompress_ptr library) {
    auto* source = reinterpret_cast<JpegSource*>(library->src);
    source->eofBuffer[0] = 0xFF;
    source->eofBuffer[1] = JPEG_EOI;
    source->base.next_input_byte = source->eofBuffer;
    source->base.bytes_in_buffer = 2;
    return TRUE;
}

// A segment claiming more bytes than are left ends at the end of the view.
void SkipInput(j_decompress_ptr library, long count) {
    if (count <= 0) return;
    jpeg_source_mgr& source = *library->src;
    const size_t skipped = static_cast<unsigned long>(count) > source.bytes_in_buffer ? source.bytes_in_buffer
                                                                                      : static_cast<size_t>(count);
    source.next_input_byte += skipped;
    source.bytes_in_buffer -= skipped;
}

void InstallSource(jpeg_decompress_struct& library, const uint8_t* view, uint32_t size) {
    const auto common = reinterpret_cast<j_common_ptr>(&library);
    if (library.src == nullptr) {
        auto* source =
            static_cast<JpegSource*>((*library.mem->alloc_small)(common, JPOOL_PERMANENT, sizeof(JpegSource)));
        source->eofBuffer = static_cast<JOCTET*>((*library.mem->alloc_small)(common, JPOOL_PERMANENT, 2));
        library.src = &source->base;
    }
    jpeg_source_mgr& source = *library.src;
    source.init_source = StartSource;
    source.fill_input_buffer = SupplyEndOfImage;
    source.skip_input_data = SkipInput;
    source.resync_to_restart = jpeg_resync_to_restart;
    source.term_source = EndSource;
    source.next_input_byte = view;
    source.bytes_in_buffer = size;
}

bool SideInRange(JDIMENSION side) { return side >= 1 && side <= kLargestJpegSide; }

// Pixels per metre from the JFIF density: dots per inch or per centimetre.
int32_t PelsPerMeter(int unit, UINT16 density) {
    if (unit == 1) return static_cast<int32_t>(density / 0.0254 + 0.5);
    if (unit == 2) return static_cast<int32_t>(density) * 100;
    return 0;
}

// Four components folded into colour, one scanline at a time through a row
// of samples: the library's samples as they come, without inversion (255,
// 255, 255, 255) is white and k = 0 is black.
void ReadCmykRows(jpeg_decompress_struct& library, uint8_t* pixels, uint64_t stride) {
    const auto common = reinterpret_cast<j_common_ptr>(&library);
    const JDIMENSION width = library.output_width;
    const JDIMENSION height = library.output_height;
    JSAMPARRAY samples = (*library.mem->alloc_sarray)(common, JPOOL_IMAGE, width * 4, 1);
    auto* cmyk = static_cast<uint8_t*>((*library.mem->alloc_large)(common, JPOOL_IMAGE, 256 * 256));
    for (int a = 0; a < 256; ++a)
        for (int k = 0; k < 256; ++k) cmyk[a * 256 + k] = static_cast<uint8_t>(a * k / 255);
    while (library.output_scanline < height) {
        const JDIMENSION row = library.output_scanline;
        if (jpeg_read_scanlines(&library, samples, 1) != 1) break;
        uint8_t* out = pixels + static_cast<uint64_t>(height - 1 - row) * stride;
        const JSAMPLE* in = samples[0];
        for (JDIMENSION x = 0; x < width; ++x, in += 4, out += 3) {
            const uint8_t* k = cmyk + in[3];
            out[0] = k[in[2] * 256];
            out[1] = k[in[1] * 256];
            out[2] = k[in[0] * 256];
        }
    }
}

// Every scanline into its place, as many as the library will give per call
// and straight into the picture's rows: the first decoded row is the top of
// the picture, the last row in memory. Rows a cut file lacks stay zero.
void ReadRows(jpeg_decompress_struct& library, uint8_t* pixels, uint64_t stride) {
    if (library.output_components == 4) {
        ReadCmykRows(library, pixels, stride);
        return;
    }
    const auto common = reinterpret_cast<j_common_ptr>(&library);
    const JDIMENSION height = library.output_height;
    auto* rows = static_cast<JSAMPARRAY>((*library.mem->alloc_large)(common, JPOOL_IMAGE, height * sizeof(JSAMPROW)));
    for (JDIMENSION row = 0; row < height; ++row) rows[row] = pixels + static_cast<uint64_t>(height - 1 - row) * stride;
    while (library.output_scanline < height) {
        const JDIMENSION row = library.output_scanline;
        if (jpeg_read_scanlines(&library, rows + row, height - row) == 0) break;
    }
}

// The orientation of the first Exif APP1 segment and the profile of the APP2
// ICC_PROFILE segments, which the library puts together in sequence order
// (a set with a segment missing or repeated gives none). False when the
// profile's block cannot be allocated.
bool RecordDisplayTags(DecodedImage& image, jpeg_decompress_struct& library) {
    for (jpeg_saved_marker_ptr marker = library.marker_list; marker != nullptr; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= 6 && memcmp(marker->data, "Exif\0\0", 6) == 0) {
            image.orientation = ReadOrientation(marker->data + 6, marker->data_length - 6);
            break;
        }
    }
    JOCTET* profile = nullptr;
    unsigned int length = 0;
    if (!jpeg_read_icc_profile(&library, &profile, &length)) return true;
    const bool kept = KeepIccProfile(image, profile, length);
    free(profile);
    return kept;
}

// Header to last row; false on a picture this reader does not take. A library
// error jumps straight back to Decompress.
bool ReadPicture(JpegReader& reader, jpeg_decompress_struct& library) {
    InstallSource(library, reader.inputView, reader.image.fileSize);
    jpeg_save_markers(&library, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(&library, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&library, TRUE);
    // Checked before the library sizes its own buffers from the header too.
    if (!SideInRange(library.image_width) || !SideInRange(library.image_height)) {
        reader.errorCode = kJpegInvalidPicture;
        return false;
    }
    if (!RecordDisplayTags(reader.image, library)) {
        reader.errorCode = kJpegOutOfMemory;
        return false;
    }
    // Colour comes out blue-green-red, the row layout of the picture.
    if (library.out_color_space == JCS_RGB) library.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&library);

    const JDIMENSION width = library.output_width;
    const JDIMENSION height = library.output_height;
    const int components = library.output_components;
    if (!SideInRange(width) || !SideInRange(height) || (components != 1 && components != 3 && components != 4)) {
        reader.errorCode = kJpegInvalidPicture;
        return false;
    }
    DecodedImage& image = reader.image;
    int32_t bitCount = 24;
    if (components == 1) {
        bitCount = 8;
        for (int i = 0; i < 256; ++i) {
            const auto level = static_cast<BYTE>(i);
            image.palette[i] = RGBQUAD{level, level, level, 0};
        }
    }
    const auto stride = static_cast<uint64_t>(PaddedRowBytes(width, bitCount));
    SetBitmapHeader(reader, static_cast<int32_t>(width), static_cast<int32_t>(height), bitCount, 0, 0);
    image.pixels = static_cast<uint8_t*>(AllocatePages(stride * height));
    if (image.pixels == nullptr) {
        reader.errorCode = kJpegOutOfMemory;
        return false;
    }

    ReadRows(library, image.pixels, stride);
    jpeg_finish_decompress(&library);

    image.header.biXPelsPerMeter = PelsPerMeter(library.density_unit, library.X_density);
    image.header.biYPelsPerMeter = PelsPerMeter(library.density_unit, library.Y_density);
    image.fileBitCount = bitCount;
    image.sourceFormat = kFormatJpeg;
    GetFileTime(reader.inputFile, nullptr, nullptr, &image.lastWriteTime);
    return true;
}

// Everything between the library's creation and destruction. Only plain data
// lives in this frame, so the error exit's jump skips no destructor.
DecodedImage* Decompress(JpegReader& reader) {
    // A picture handed out before belongs to its caller; a failure here must
    // release only blocks of its own.
    DetachPicture(reader.image);
    jpeg_decompress_struct library;
    JpegErrorManager errors;
    library.mem = nullptr;
    library.err = InstallJpegErrors(errors);
    volatile bool decoded = false;
    if (setjmp(errors.context) == 0) {
        jpeg_create_decompress(&library);
        decoded = ReadPicture(reader, library);
    }
    jpeg_destroy_decompress(&library);
    // Rows of a picture that stopped half-way are not handed to anybody.
    if (!decoded) {
        ReleasePicture(reader.image);
        return nullptr;
    }
    return &reader.image;
}

}  // namespace

void JpegReader::Reset() {
    ResetHandles();
    usePlainMemory = false;
    ZeroMemory(image.palette, sizeof image.palette);
    DetachPicture(image);  // the previous picture belongs to the batch driver now
}

DecodedImage* JpegReader::Decode(LPCWSTR path) {
    ByteReader bytes;  // the library reads the view itself
    if (MappedFile::Open(path, *this, bytes) == 0) {
        errorCode = kJpegCannotOpen;
        return nullptr;
    }
    return Decompress(*this);
}

void JpegReader::Release() { ReleaseHandles(); }

const char* JpegErrorText(int32_t code) {
    switch (code) {
        case kJpegOutOfMemory: return "not enough memory for the JPEG picture";
        case kJpegInvalidPicture: return "JPEG of a size or component count that is not read";
        case kJpegCannotOpen: return "the JPEG file could not be read";
        default: return "broken or unsupported JPEG data";
    }
}
