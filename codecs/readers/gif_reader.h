// Reads the first image of a GIF87a or GIF89a file from its mapped view into
// an 8-bit picture the size of the file's logical screen: the image at its
// offset, the background index around it, the transparent entry given the
// background colour (white without a global table). Later images and every
// extension but the graphic control are stepped over.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "codecs/readers/mapped_file.h"
#include "core/codec_state.h"

#include <cstddef>
#include <cstdint>

// What a failed decode leaves in errorCode.
enum GifReaderError : int32_t {
    kGifOutOfMemory = kErrorOutOfMemory,   // gathered data, decoded indices or the picture
    kGifBadScreen = kErrorInvalidPicture,  // a screen side outside 1..25000
    kGifUnknownBlock = 4,                  // a block byte or extension label the format does not have
    kGifMalformed = 6,                     // no signature, a truncated table, extension, descriptor or sub-block chain,
                                           // an image outside the screen, no colour table, a code size outside 2..8,
                                           // empty image data, or the trailer before any image
};

// Widest and tallest logical screen read.
constexpr int32_t kLargestGifSide = 25000;

class GifReader : public CodecState {
public:
    ByteReader bytes;
    // One string of the code table: its last byte, the entry before it and
    // its length. Every entry is well formed at all times, so a corrupt
    // stream can only make a wrong string, never an unbounded walk.
    struct StringEntry {
        uint16_t prefix;
        uint8_t last;
        uint32_t length;
    };

    int32_t screenWidth = 0;
    int32_t screenHeight = 0;
    bool hasGlobalTable = false;
    uint8_t backgroundIndex = 0;
    int32_t tableBits = 0;
    uint8_t globalTable[768] = {};
    uint8_t localTable[768] = {};
    uint8_t* activeTable = nullptr;
    bool hasLocalTable = false;
    bool interlaced = false;
    bool transparent = false;
    uint8_t transparentIndex = 0;
    bool flattenTransparency = true;
    uint8_t fallbackColor[3] = {255, 255, 255};
    int32_t imageLeft = 0;
    int32_t imageTop = 0;
    int32_t minCodeSize = 0;
    uint8_t* lzwData = nullptr;  // the data sub-blocks joined, in a buffer as large as the rest of the file
    size_t lzwLength = 0;
    uint8_t* decodedIndices = nullptr;  // width x height, top row first
    int32_t imageCount = 0;

    int32_t clearCode = 0;
    int32_t endCode = 0;
    int32_t codeSize = 0;
    int32_t nextCode = 0;
    int32_t codeMask[13] = {};
    uint32_t bitBuffer = 0;
    int32_t bitCount = 0;
    size_t dataPosition = 0;
    StringEntry strings[4096] = {};

    // The reset values of the fields above.
    void Reset();
    // Decodes the mapped file from bytes.cursor to bytes.end; the picture, or null
    // with errorCode set.
    DecodedImage* Decode();
    // Releases the work buffers and the file; the picture's pixels stay.
    void Release();

private:
    bool ReadScreen();
    bool FindFirstImage();
    bool SkipSubBlocks();
    bool DecodeImage();
    bool GatherData();
    bool DecodeLzw();
    // Masks, special codes, the one-byte strings and the bit reader's start.
    void StartTable();
    // The string of code into decodedIndices, backwards from its last byte at
    // at + length - 1.
    void WriteString(int32_t code, uint64_t at);
    bool ComposePicture();
    int32_t ReadCode();
    void ResetTable();
};

// The reason a failed decode's errorCode names, as reports print it.
const char* GifErrorText(int32_t code);
