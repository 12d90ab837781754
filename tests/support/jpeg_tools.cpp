#include "support/jpeg_tools.h"

#include "platform/win32.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

struct Errors {
    jpeg_error_mgr base;
    jmp_buf context;
    char message[JMSG_LENGTH_MAX];
};

void JumpBack(j_common_ptr library) {
    auto* errors = reinterpret_cast<Errors*>(library->err);
    (*library->err->format_message)(library, errors->message);
    longjmp(errors->context, 1);
}

void Quiet(j_common_ptr, int) {}

}  // namespace

const JpegSegment* JpegStructure::Find(uint8_t marker) const {
    for (const JpegSegment& segment : segments)
        if (segment.marker == marker) return &segment;
    return nullptr;
}

int JpegStructure::Count(uint8_t marker) const {
    int count = 0;
    for (const JpegSegment& segment : segments) count += segment.marker == marker;
    return count;
}

JpegStructure WalkJpeg(const JpegBytes& file) {
    JpegStructure structure;
    const size_t size = file.size();
    if (size < 4 || file[0] != 0xFF || file[1] != 0xD8) return structure;
    structure.segments.push_back({0xD8, {}});
    size_t at = 2;
    while (at + 2 <= size) {
        if (file[at] != 0xFF) return structure;
        const uint8_t marker = file[at + 1];
        at += 2;
        if (marker == 0xD9) {
            structure.segments.push_back({marker, {}});
            structure.complete = at == size;
            return structure;
        }
        if (at + 2 > size) return structure;
        const size_t length = (static_cast<size_t>(file[at]) << 8) | file[at + 1];
        if (length < 2 || at + length > size) return structure;
        structure.segments.push_back({marker, JpegBytes(file.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                                        file.begin() + static_cast<std::ptrdiff_t>(at + length))});
        at += length;
        if (marker != 0xDA) continue;
        // Entropy-coded data runs to the next marker that is neither a
        // stuffed zero nor a restart.
        while (at + 1 < size) {
            if (file[at] == 0xFF && file[at + 1] != 0x00) {
                if (file[at + 1] >= 0xD0 && file[at + 1] <= 0xD7) {
                    ++structure.restartMarkers;
                    at += 2;
                    continue;
                }
                break;
            }
            ++at;
        }
    }
    return structure;
}

ReferenceDecode DecodeJpeg(const JpegBytes& file, int colourSpace) {
    ReferenceDecode result;
    jpeg_decompress_struct library;
    Errors errors;
    library.mem = nullptr;
    library.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = JumpBack;
    errors.base.emit_message = Quiet;
    if (setjmp(errors.context) != 0) {
        result.ok = false;
        result.message = errors.message;
        jpeg_destroy_decompress(&library);
        return result;
    }
    jpeg_create_decompress(&library);
    jpeg_mem_src(&library, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&library, TRUE);
    if (colourSpace >= 0) library.out_color_space = static_cast<J_COLOR_SPACE>(colourSpace);
    jpeg_start_decompress(&library);
    result.width = static_cast<int>(library.output_width);
    result.height = static_cast<int>(library.output_height);
    result.components = library.output_components;
    const size_t rowBytes = static_cast<size_t>(result.width) * static_cast<size_t>(result.components);
    result.rows.resize(rowBytes * static_cast<size_t>(result.height));
    while (library.output_scanline < library.output_height) {
        JSAMPROW row = result.rows.data() + rowBytes * library.output_scanline;
        jpeg_read_scanlines(&library, &row, 1);
    }
    jpeg_finish_decompress(&library);
    jpeg_destroy_decompress(&library);
    result.ok = true;
    return result;
}

JpegBytes EncodeJpeg(const JpegRecipe& recipe) {
    jpeg_compress_struct library;
    Errors errors;
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    library.mem = nullptr;
    library.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = JumpBack;
    if (setjmp(errors.context) != 0) {
        jpeg_destroy_compress(&library);
        free(buffer);
        return {};
    }
    jpeg_create_compress(&library);
    jpeg_mem_dest(&library, &buffer, &length);
    library.image_width = static_cast<JDIMENSION>(recipe.width);
    library.image_height = static_cast<JDIMENSION>(recipe.height);
    library.input_components = recipe.components;
    switch (recipe.components) {
        case 1: library.in_color_space = JCS_GRAYSCALE; break;
        case 3: library.in_color_space = JCS_RGB; break;
        case 4: library.in_color_space = JCS_CMYK; break;
        default: library.in_color_space = JCS_UNKNOWN; break;
    }
    jpeg_set_defaults(&library);
    jpeg_set_quality(&library, recipe.quality, TRUE);
    library.write_JFIF_header = recipe.jfif ? TRUE : FALSE;
    library.density_unit = static_cast<UINT8>(recipe.densityUnit);
    library.X_density = static_cast<UINT16>(recipe.xDensity);
    library.Y_density = static_cast<UINT16>(recipe.yDensity);
    if (recipe.progressive) jpeg_simple_progression(&library);
    jpeg_start_compress(&library, TRUE);
    for (const JpegSegment& segment : recipe.markers)
        jpeg_write_marker(&library, segment.marker, segment.body.data(), static_cast<unsigned int>(segment.body.size()));
    const size_t rowBytes = static_cast<size_t>(recipe.width) * static_cast<size_t>(recipe.components);
    while (library.next_scanline < library.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(recipe.rows.data() + rowBytes * library.next_scanline);
        jpeg_write_scanlines(&library, &row, 1);
    }
    jpeg_finish_compress(&library);
    jpeg_destroy_compress(&library);
    JpegBytes file(buffer, buffer + length);
    free(buffer);
    return file;
}
