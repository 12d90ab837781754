// Writes the fitted picture as a PNG file: an 8-bit picture as a palette
// PNG holding each distinct colour once, a 24-bit picture as 8-bit RGB with a
// row filter chosen per row. Chunks IHDR, PLTE (palette only), one IDAT with
// the whole zlib stream, IEND; nothing is configurable.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "core/codec_state.h"

#include <cstdint>

// What a failed save leaves in errorCode.
enum PngWriterError : int32_t {
    kPngWriterOutOfMemory = kErrorOutOfMemory,
    kPngWriterCannotCreate = kErrorCannotCreateOutput,  // also a write that did not complete
    kPngWriterUnsupported = kErrorConversionFailed,     // a bit count other than 8 or 24, or the palette copy failed
    kPngWriterCompressionFailed = 24,
};

class PngWriter : public CodecState {
public:
    // Index (0 None .. 4 Paeth) of the row buffer to emit for rawRow over prevRow.
    using FilterChoice = int (PngWriter::*)(int32_t rowSize);

    int32_t bitDepth = 8;
    int32_t colorType = 0;
    int32_t bytesPerPixel = 0;
    int32_t paletteCount = 0;
    const RGBQUAD* sourcePalette = nullptr;
    const uint8_t* sourceRows = nullptr;  // bottom-up, stride apart
    uint8_t* filteredData = nullptr;      // all filtered rows, then the six row buffers
    int32_t filteredSize = 0;
    int32_t compressionLevel = 9;
    uint8_t* prevRow = nullptr;
    uint8_t* rawRow = nullptr;
    uint8_t* subRow = nullptr;
    uint8_t* upRow = nullptr;
    uint8_t* avgRow = nullptr;
    uint8_t* paethRow = nullptr;
    FilterChoice chooseFilter = nullptr;

    // No handles, no buffer, no error; level 9.
    void Reset();
    // Writes pixels (geometry already in width, height, targetBitCount,
    // rowBytes, stride) to path; false with errorCode set.
    bool Save(LPCWSTR path, const RGBQUAD* palette, const uint8_t* pixels);
    // Releases filteredData and closes the file.
    void Release();

    int ChooseNone(int32_t rowSize);
    // Builds the four filtered candidates of rawRow and picks by repeats of
    // small residuals; ties go to None, then Sub/Up, Sub, Average.
    int ChooseAdaptive(int32_t rowSize);

private:
    bool WriteChunk(const char* type, const uint8_t* data, uint32_t length);
    bool FillPaletteRows();
    void FillRgbRows();
    bool CompressAndWrite();
};
