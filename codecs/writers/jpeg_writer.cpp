#include "codecs/writers/jpeg_writer.h"

#include "core/memory.h"
#include "codecs/readers/jpeg_errors.h"
#include "codecs/writers/quality_search.h"

#include <cstring>

#include <jerror.h>

namespace {

struct FileDestination {
    jpeg_destination_mgr base;
    JpegWriter* writer;
    JOCTET* buffer;
};

void StartFileBuffer(j_compress_ptr library) {
    auto* destination = reinterpret_cast<FileDestination*>(library->dest);
    destination->buffer = static_cast<JOCTET*>(
        (*library->mem->alloc_large)(reinterpret_cast<j_common_ptr>(library), JPOOL_IMAGE, kJpegFileBufferBytes));
    destination->base.next_output_byte = destination->buffer;
    destination->base.free_in_buffer = kJpegFileBufferBytes;
}

// A short write means a full disk: the library error keeps a cut file from
// passing for a finished one.
void WriteFileBuffer(j_compress_ptr library, DWORD bytes) {
    auto* destination = reinterpret_cast<FileDestination*>(library->dest);
    if (!destination->writer->WriteOutput(destination->buffer, bytes)) ERREXIT(library, JERR_FILE_WRITE);
}

boolean FlushFullFileBuffer(j_compress_ptr library) {
    WriteFileBuffer(library, kJpegFileBufferBytes);
    library->dest->next_output_byte = reinterpret_cast<FileDestination*>(library->dest)->buffer;
    library->dest->free_in_buffer = kJpegFileBufferBytes;
    return TRUE;
}

void FlushFileBuffer(j_compress_ptr library) {
    const size_t used = kJpegFileBufferBytes - library->dest->free_in_buffer;
    if (used != 0) WriteFileBuffer(library, static_cast<DWORD>(used));
}

struct MemoryDestination {
    jpeg_destination_mgr base;
    JpegWriter* writer;
};

void StartMemoryBuffer(j_compress_ptr) {}
void FinishMemoryBuffer(j_compress_ptr) {}

// The buffer starts at the size of the 24-bit rows, which a tiny picture's
// headers alone outgrow: a full buffer is doubled, never overrun or cut.
boolean GrowMemoryBuffer(j_compress_ptr library) {
    JpegWriter& writer = *reinterpret_cast<MemoryDestination*>(library->dest)->writer;
    const uint64_t used = writer.outputCapacity;
    const uint64_t larger = used < 65536 ? used + 65536 : 2 * used;
    auto* grown = larger > UINT32_MAX ? nullptr : static_cast<uint8_t*>(AllocatePages(larger));
    if (grown == nullptr) ERREXIT1(library, JERR_OUT_OF_MEMORY, 10);
    memcpy(grown, writer.outputBuffer, static_cast<size_t>(used));
    ReleasePages(writer.outputBuffer);
    writer.outputBuffer = grown;
    writer.outputCapacity = static_cast<uint32_t>(larger);
    library->dest->next_output_byte = grown + used;
    library->dest->free_in_buffer = static_cast<size_t>(larger - used);
    return TRUE;
}

// Everything between the library's creation and destruction. Only plain data
// lives in this frame, so the error exit's jump skips no destructor.
bool Compress(JpegWriter& writer, const uint8_t* rows) {
    jpeg_compress_struct library;
    JpegErrorManager errors;
    FileDestination fileDestination;
    MemoryDestination memoryDestination;
    library.mem = nullptr;
    library.err = InstallJpegErrors(errors);
    if (setjmp(errors.context) != 0) {
        jpeg_destroy_compress(&library);
        return false;
    }
    jpeg_create_compress(&library);

    if (writer.usePlainMemory) {
        memoryDestination.base.init_destination = StartMemoryBuffer;
        memoryDestination.base.empty_output_buffer = GrowMemoryBuffer;
        memoryDestination.base.term_destination = FinishMemoryBuffer;
        memoryDestination.base.next_output_byte = writer.outputBuffer;
        memoryDestination.base.free_in_buffer = writer.outputCapacity;
        memoryDestination.writer = &writer;
        library.dest = &memoryDestination.base;
    } else {
        fileDestination.base.init_destination = StartFileBuffer;
        fileDestination.base.empty_output_buffer = FlushFullFileBuffer;
        fileDestination.base.term_destination = FlushFileBuffer;
        fileDestination.writer = &writer;
        fileDestination.buffer = nullptr;
        library.dest = &fileDestination.base;
    }

    library.image_width = static_cast<JDIMENSION>(writer.width);
    library.image_height = static_cast<JDIMENSION>(writer.height);
    library.input_components = 3;
    // Our rows are blue, green, red; the extended colour space takes them as
    // they lie, so no pixel is swapped or copied.
    library.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&library);
    library.optimize_coding = TRUE;
    library.comp_info[0].h_samp_factor = writer.lumaHSampling;
    library.comp_info[0].v_samp_factor = writer.lumaVSampling;
    jpeg_set_quality(&library, writer.quality, TRUE);
    jpeg_start_compress(&library, TRUE);

    // The last row in memory is the top of the picture.
    const int64_t stride = PaddedRowBytes(writer.width, 24);
    while (library.next_scanline < library.image_height) {
        const int64_t memoryRow = static_cast<int64_t>(writer.height) - 1 - library.next_scanline;
        JSAMPROW line = const_cast<JSAMPROW>(rows + memoryRow * stride);
        jpeg_write_scanlines(&library, &line, 1);
    }
    jpeg_finish_compress(&library);
    if (writer.usePlainMemory)
        writer.encodedLength = writer.outputCapacity - static_cast<uint32_t>(memoryDestination.base.free_in_buffer);
    jpeg_destroy_compress(&library);
    return true;
}

}  // namespace

void JpegWriter::Reset() {
    ResetHandles();
    usePlainMemory = false;
    conversionBuffer = nullptr;
    quality = 75;
    lumaHSampling = 2;
    lumaVSampling = 2;
    outputBuffer = nullptr;
    outputCapacity = 0;
    encodedLength = 0;
}

void JpegWriter::SetOptions(int32_t newQuality, int32_t sampling) {
    quality = newQuality > 100 ? 75 : newQuality;
    lumaHSampling = sampling == 2 ? 1 : 2;
    lumaVSampling = sampling == 1 || sampling == 2 ? 1 : 2;
}

bool JpegWriter::Encode(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels) {
    if (!usePlainMemory) {
        pixels = Rows24(palette, pixels);
        if (pixels == nullptr) return false;
        if (!CreateOutput(path)) return false;
    }
    return pixels != nullptr && Compress(*this, pixels);
}

bool JpegWriter::EncodeToMemory(const uint8_t* rows, int32_t atQuality) {
    quality = atQuality;
    return Compress(*this, rows);
}

bool JpegWriter::EncodeWithinLimit(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels, int32_t limitKiB) {
    const uint8_t* rows = Rows24(palette, pixels);
    if (rows == nullptr) return false;
    usePlainMemory = true;
    const uint64_t capacity =
        static_cast<uint64_t>(PaddedRowBytes(width, 24)) * static_cast<uint64_t>(height > 0 ? height : 0);
    outputBuffer = capacity > UINT32_MAX ? nullptr : static_cast<uint8_t*>(AllocatePages(capacity));
    if (outputBuffer == nullptr) return false;
    outputCapacity = static_cast<uint32_t>(capacity);
    MemoryTrial<JpegWriter> trial(*this, rows);
    // One write of the whole stream.
    const bool result =
        SearchQualityWithinLimit(trial, limitKiB, qualityTrace) && CreateOutput(path) && WriteOutput(outputBuffer, encodedLength);
    ReleaseAndClear(outputBuffer);
    outputCapacity = 0;
    return result;
}

void JpegWriter::Release() {
    ReleaseAndClear(conversionBuffer);
    ReleaseAndClear(outputBuffer);
    outputCapacity = 0;
    ReleaseHandles();
}
