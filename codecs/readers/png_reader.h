// Reads a PNG file from its mapped view: checks the chunks, inflates the
// image data a row at a time and turns every row straight into its place in
// an 8-bit indexed or 24-bit bottom-up picture. 16-bit samples keep their high
// byte, gAMA is corrected for the display, and transparency is composited
// onto the background, so the picture handed on has no alpha.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "codecs/readers/mapped_file.h"
#include "core/codec_state.h"

#include <cstdint>

struct z_stream_s;  // the compression library's stream, kept out of this header

// What a failed (or, for kPngBrokenStream, a partial) decode leaves in errorCode.
enum PngReaderError : int32_t {
    kPngOutOfMemory = kErrorOutOfMemory,        // a page buffer, the row block, inflate's own memory or the ICC profile
    kPngInvalidPicture = kErrorInvalidPicture,  // a side outside 1..25000, or an output of 2 GiB or more
    kPngCannotOpen = kErrorCannotOpenInput,
    kPngNotPng = 6,               // no signature, under 33 bytes, or a chunk past the end of the file
    kPngBadCrc = 9,               // IHDR, PLTE, the first IDAT of the run, or IEND
    kPngBadLength = 10,           // a chunk length of 2^31 or more
    kPngBadHeaderLength = 11,     // the first chunk is not 13 bytes long
    kPngNoHeader = 12,            // the first chunk is not IHDR
    kPngBadColourType = 14,       // colour type not allowed for the bit depth
    kPngBadBitDepth = 15,
    kPngBadCompression = 16,
    kPngBadFilterMethod = 17,
    kPngBadInterlace = 18,
    kPngMisplacedChunk = 20,      // a second IHDR, PLTE after PLTE or IDAT, a second IDAT run
    kPngMissingData = 21,         // IEND without IDAT, or a palette picture without PLTE
    kPngBrokenRun = 22,           // a later chunk of the IDAT run is bad, or the file ends inside it
    kPngBrokenStream = 23,        // inflate could not start (fails), or the stream broke (still delivered)
};

// Widest and tallest picture read.
constexpr int32_t kLargestPngSide = 25000;

class PngReader : public CodecState {
public:
    PngReader();

    ByteReader bytes;
    int32_t bitDepth = 0;
    int32_t colorType = 0;
    bool interlaced = false;
    bool isGrey = false;
    bool hasAlpha = false;
    int32_t bytesPerPixel = 0;
    int32_t bytesPerSample = 0;
    int32_t paletteCount = 0;
    bool sawPLTE = false;
    bool sawIDAT = false;
    bool sawIEND = false;
    bool sawGAMA = false;
    bool sawTRNS = false;
    bool sawICCP = false;
    bool sawEXIF = false;
    int32_t fileGamma = 0;
    uint8_t transparentRed = 0;
    uint8_t transparentGreen = 0;  // also the grey key
    uint8_t transparentBlue = 0;
    uint8_t paletteAlpha[256];
    int32_t pixelsPerMetreX = 0;
    int32_t pixelsPerMetreY = 0;
    int32_t outputBitCount = 0;
    int32_t outputStride = 0;
    uint8_t* decodeBuffer = nullptr;
    uint8_t* alphaBuffer = nullptr;
    const uint8_t* idatData = nullptr;
    uint32_t idatLength = 0;
    int32_t displayGamma = 0;  // x 1000
    uint8_t background[3] = {255, 255, 255};  // red, green, blue
    const uint8_t* blendTable = nullptr;      // 256 x 256, about x * y / 255

    // Clears the chunk bookkeeping, the buffers and the palette before a decode.
    void Reset();
    // The decoded image, or null with errorCode set. The file is mapped and
    // the read cursor stands at its first byte.
    DecodedImage* Decode();
    // Releases the reader's buffers (the decoded pixels once handed over stay)
    // and closes the file.
    void Release();

private:
    using RowRoutine = void (PngReader::*)(uint8_t* destination);
    using UnpackRoutine = void (PngReader::*)(uint8_t packed, uint8_t*& destination, int32_t pixels);

    UnpackRoutine unpackByte = nullptr;  // one packed byte, most significant bits first
    RowRoutine rowRoutine[5] = {};
    uint8_t* rowBlock = nullptr;  // both rows in one zero-filled heap block
    uint8_t* currentRow = nullptr;
    uint8_t* priorRow = nullptr;
    int32_t rowLength = 0;  // filter byte + row bytes
    int32_t pixelStep = 1;
    int32_t byteStep = 3;
    uint8_t* alphaCursor = nullptr;
    int32_t rowPixels = 0;       // pixels of the row being converted
    int32_t lastBytePixels = 0;  // pixels of a sub-byte row's last byte; 0 = a full byte
    uint8_t* joinedRun = nullptr;
    uint8_t ownBlend[256][256];  // built only when no workspace table was given

    uint32_t Crc(const uint8_t* bytes, uint32_t length) const;
    bool ReadHeader();
    bool SetUpFormat();
    bool ReadChunks();
    bool HandlePalette(uint32_t length, const uint8_t* chunk);
    bool HandleImageData(uint32_t length, const uint8_t* chunk);
    void TakeGamma(uint32_t length, const uint8_t* chunk);
    void TakeTransparency(uint32_t length, const uint8_t* chunk);
    void TakeResolution(uint32_t length, const uint8_t* chunk);
    bool TakeProfile(uint32_t length, const uint8_t* chunk);
    bool InflateProfile(const uint8_t* compressed, uint32_t length);
    void TakeExif(uint32_t length, const uint8_t* chunk);
    bool GatherRun(uint32_t firstLength);
    bool DecodePixels();
    // One pass (or the whole picture): false when the stream ended or broke.
    bool DecodePass(z_stream_s& stream, int32_t passWidth, int32_t passHeight, int32_t firstColumn, int32_t firstRow,
                    int32_t columnStep, int32_t rowStep);
    void CorrectGamma();
    void Composite();

    // The five routines of one row layout, one per filter type.
    template <int kLayout>
    void SelectRoutines();
    template <int kLayout, int kFilter>
    void Reconstruct(uint8_t* destination);
    template <int kLayout>
    void Emit(uint8_t* destination);
    template <int kBits>
    void Unpack(uint8_t packed, uint8_t*& destination, int32_t pixels);
};

// The reason a failed decode's errorCode names, as reports print it.
const char* PngErrorText(int32_t code);
