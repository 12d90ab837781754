#include "codecs/writers/png_writer.h"

#include "core/memory.h"
#include "codecs/readers/mapped_file.h"
#include "codecs/readers/png_format.h"

#include <cstdlib>
#include <cstring>

#include <zlib.h>

namespace {

// Repeats of the residuals -4..3 in one candidate row, type byte included as
// the first byte's predecessor.
int32_t Score(const uint8_t* row, int32_t rowSize) {
    int32_t counts[256] = {};
    for (int32_t i = 1; i < rowSize; ++i)
        if (row[i] == row[i - 1]) ++counts[row[i]];
    return counts[0] + counts[1] + counts[2] + counts[3] + counts[252] + counts[253] + counts[254] + counts[255];
}

}  // namespace

void PngWriter::Reset() {
    ResetHandles();
    filteredData = nullptr;
    compressionLevel = 9;
}

void PngWriter::Release() {
    ReleaseAndClear(filteredData);
    ReleaseHandles();
}

bool PngWriter::WriteChunk(const char* type, const uint8_t* data, uint32_t length) {
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (length != 0) crc = crc32(crc, data, length);
    return WriteU32BE(*this, length) && WriteOutput(type, 4) && (length == 0 || WriteOutput(data, length)) &&
           WriteU32BE(*this, static_cast<uint32_t>(crc));
}

bool PngWriter::Save(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels) {
    if (!CreateOutput(path)) return false;
    sourceRows = pixels;
    sourcePalette = palette;
    switch (targetBitCount) {
        case 8:
            bitDepth = 8;
            bytesPerPixel = 1;
            colorType = 3;
            chooseFilter = &PngWriter::ChooseNone;
            break;
        case 24:
            bitDepth = 8;
            bytesPerPixel = 3;
            colorType = 2;
            chooseFilter = &PngWriter::ChooseAdaptive;
            break;
        default: errorCode = kPngWriterUnsupported; return false;
    }
    const int64_t rowSize = static_cast<int64_t>(width) * bytesPerPixel + 1;
    const int64_t total = static_cast<int64_t>(height) * rowSize;
    if (width < 1 || height < 1 || total + 6 * rowSize > INT32_MAX) {
        errorCode = kPngWriterOutOfMemory;
        return false;
    }
    filteredSize = static_cast<int32_t>(total);

    uint8_t header[13];
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<uint8_t>(static_cast<uint32_t>(width) >> (24 - 8 * i));
        header[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(height) >> (24 - 8 * i));
    }
    header[8] = static_cast<uint8_t>(bitDepth);
    header[9] = static_cast<uint8_t>(colorType);
    header[10] = header[11] = header[12] = 0;
    if (!WriteOutput(kPngSignature, 8) || !WriteChunk("IHDR", header, 13)) return false;

    filteredData = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(total + 6 * rowSize)));
    if (filteredData == nullptr) {
        errorCode = kPngWriterOutOfMemory;
        return false;
    }
    prevRow = filteredData + filteredSize;
    rawRow = prevRow + rowSize;
    subRow = rawRow + rowSize;
    upRow = subRow + rowSize;
    avgRow = upRow + rowSize;
    paethRow = avgRow + rowSize;

    if (colorType == 3) {
        if (!FillPaletteRows()) return false;
    } else {
        FillRgbRows();
    }
    return CompressAndWrite() && WriteChunk("IEND", nullptr, 0);
}

bool PngWriter::FillPaletteRows() {
    auto* copy = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(imageSize)));
    if (copy == nullptr) {
        errorCode = kPngWriterOutOfMemory;
        return false;
    }
    const uint8_t* pixels = sourceRows;
    RGBQUAD table[256];
    sourceBitCount = 8;
    if (!Convert(table, copy, sourcePalette, pixels)) {
        ReleasePages(copy);
        errorCode = kPngWriterUnsupported;
        return false;
    }
    sourceRows = copy;

    // Each distinct colour once, in the order of first appearance; entry 0 keeps index 0.
    uint8_t newIndex[256];
    uint8_t slots[256 * 3];
    int32_t count = 1;
    newIndex[0] = 0;
    slots[0] = table[0].rgbRed;
    slots[1] = table[0].rgbGreen;
    slots[2] = table[0].rgbBlue;
    for (int i = 1; i < 256; ++i) {
        const RGBQUAD& e = table[i];
        int32_t slot = 0;
        while (slot < count && !(slots[3 * slot] == e.rgbRed && slots[3 * slot + 1] == e.rgbGreen && slots[3 * slot + 2] == e.rgbBlue))
            ++slot;
        if (slot == count) {
            slots[3 * count] = e.rgbRed;
            slots[3 * count + 1] = e.rgbGreen;
            slots[3 * count + 2] = e.rgbBlue;
            ++count;
        }
        newIndex[i] = static_cast<uint8_t>(slot);
    }
    paletteCount = count;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = copy + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x) row[x] = newIndex[row[x]];
    }
    const bool written = WriteChunk("PLTE", slots, static_cast<uint32_t>(3 * count));
    if (written) {
        const int32_t rowSize = width + 1;
        uint8_t* out = filteredData;
        for (int32_t y = height - 1; y >= 0; --y, out += rowSize) {
            out[0] = 0;
            memcpy(out + 1, copy + static_cast<size_t>(y) * stride, static_cast<size_t>(width));
        }
    }
    ReleasePages(copy);
    sourceRows = pixels;
    return written;
}

void PngWriter::FillRgbRows() {
    const int32_t rowSize = 3 * width + 1;
    uint8_t* out = filteredData;
    uint8_t* const buffers[5] = {rawRow, subRow, upRow, avgRow, paethRow};
    for (int32_t y = height - 1; y >= 0; --y, out += rowSize) {
        const uint8_t* pixel = sourceRows + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x, pixel += 3) {
            rawRow[1 + 3 * x] = pixel[2];
            rawRow[2 + 3 * x] = pixel[1];
            rawRow[3 + 3 * x] = pixel[0];
        }
        const int chosen = (this->*chooseFilter)(rowSize);
        memcpy(out, buffers[chosen], static_cast<size_t>(rowSize));
        memcpy(prevRow, rawRow, static_cast<size_t>(rowSize));
    }
}

int PngWriter::ChooseNone(int32_t) {
    rawRow[0] = 0;
    return 0;
}

int PngWriter::ChooseAdaptive(int32_t rowSize) {
    const uint8_t* r = rawRow;
    const uint8_t* p = prevRow;
    const int32_t n = bytesPerPixel;
    rawRow[0] = 0;
    subRow[0] = 1;
    upRow[0] = 2;
    avgRow[0] = 3;
    paethRow[0] = 4;
    for (int32_t i = 1; i < rowSize; ++i) {
        const int left = i > n ? r[i - n] : 0;
        const int corner = i > n ? p[i - n] : 0;
        subRow[i] = static_cast<uint8_t>(r[i] - left);
        upRow[i] = static_cast<uint8_t>(r[i] - p[i]);
        avgRow[i] = static_cast<uint8_t>(r[i] - ((left + p[i]) >> 1));
        paethRow[i] = static_cast<uint8_t>(r[i] - Paeth(left, p[i], corner));
    }
    const int32_t none = Score(rawRow, rowSize);
    const int32_t sub = Score(subRow, rowSize);
    const int32_t up = Score(upRow, rowSize);
    const int32_t average = Score(avgRow, rowSize);
    const int32_t paeth = Score(paethRow, rowSize);
    const int predictive = paeth > average ? 4 : 3;
    const int32_t predictiveScore = paeth > average ? paeth : average;
    const int neighbour = up > sub ? 2 : 1;
    const int32_t neighbourScore = up > sub ? up : sub;
    const int winner = predictiveScore > neighbourScore ? predictive : neighbour;
    const int32_t winnerScore = predictiveScore > neighbourScore ? predictiveScore : neighbourScore;
    return winnerScore > none ? winner : 0;
}

bool PngWriter::CompressAndWrite() {
    z_stream stream{};
    stream.zalloc = PngHeapBlock;
    stream.zfree = PngFreeHeapBlock;
    stream.opaque = Z_NULL;
    const int strategy = colorType == 2 ? Z_FILTERED : Z_DEFAULT_STRATEGY;
    if (deflateInit2(&stream, compressionLevel, Z_DEFLATED, 15, 9, strategy) != Z_OK) {
        errorCode = kPngWriterCompressionFailed;
        return false;
    }
    const uLong bound = deflateBound(&stream, static_cast<uLong>(filteredSize));
    auto* compressed = static_cast<uint8_t*>(AllocatePages(bound));
    if (compressed == nullptr) {
        deflateEnd(&stream);
        errorCode = kPngWriterOutOfMemory;
        return false;
    }
    stream.next_in = filteredData;
    stream.avail_in = static_cast<uInt>(filteredSize);
    stream.next_out = compressed;
    stream.avail_out = static_cast<uInt>(bound);
    const int result = deflate(&stream, Z_FINISH);
    const int ended = deflateEnd(&stream);
    bool written = false;
    if (result != Z_STREAM_END || ended != Z_OK) {
        errorCode = kPngWriterCompressionFailed;
    } else {
        written = WriteChunk("IDAT", compressed, static_cast<uint32_t>(stream.total_out));
    }
    ReleasePages(compressed);
    return written;
}
