// Reads the first picture of an uncompressed TIFF file from its mapped view:
// bilevel, 4- and 8-bit grey and 1-, 4- and 8-bit palette pictures become
// 8-bit rows with a 256-entry colour table, 8- and 16-bit RGB becomes 24-bit
// rows. Strips are joined in order and read row after row; every tag not
// needed for that (orientation, planar layout, fill order, predictor...) is
// skipped, so a picture is always taken as top-left, chunky, high bit first.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "codecs/readers/mapped_file.h"
#include "core/codec_state.h"

#include <cstdint>

// What a failed decode leaves in errorCode.
enum TiffReaderError : int32_t {
    // A strip list, the joined strips (also when there are none at all) or
    // the pixels cannot be allocated.
    kTiffOutOfMemory = kErrorOutOfMemory,
    // A side outside 1..kLargestTiffSide, compression other than none, or a
    // picture the reader does not read (depth, photometric, missing colour map).
    kTiffUnsupported = kErrorInvalidPicture,
    kTiffCannotOpen = kErrorCannotOpenInput,
    // The colour map or a strip is not inside the file; it shares the number
    // of an input that cannot be opened.
    kTiffOutsideFile = 4,
    // The header or directory is malformed or outside the file; a side or a
    // strip list of the wrong type; a side of 0 or missing; a strip list given
    // twice, empty or outside the file; offsets and byte counts of different
    // number; a sample-size triple outside the file, unequal, or not 8 or 16.
    kTiffMalformed = 6,
};

// Widest and tallest picture read; the largest buffer this allows (24-bit
// rows) stays below 2 GiB.
constexpr int32_t kLargestTiffSide = 25000;

// Field types of a directory entry that the reader reads.
constexpr uint32_t kTiffShort = 3;
constexpr uint32_t kTiffLong = 4;

// The state of one decode: the common codec part, then what the directory
// said and the buffers built from it.
class TiffState : public CodecState {
public:
    ByteReader bytes;
    bool littleEndian = true;
    // The next value in the file's byte order.
    uint32_t U16() { return littleEndian ? bytes.U16LE() : bytes.U16BE(); }
    uint32_t U32() { return littleEndian ? bytes.U32LE() : bytes.U32BE(); }
    int32_t photometric = 4;  // no picture is accepted with it: a file without the tag fails
    int32_t bitsPerSample = 1;
    int32_t samplesPerPixel = 0;  // the count of the sample-size entry
    int32_t compression = 1;
    int32_t resolutionUnit = 2;  // inch
    uint32_t colorMapOffset = 0;
    uint32_t xResolutionOffset = 0;
    uint32_t yResolutionOffset = 0;
    uint32_t* stripOffsets = nullptr;     // page-allocated, stripOffsetCount entries
    uint32_t* stripByteCounts = nullptr;  // page-allocated, stripByteCountCount entries
    uint32_t stripOffsetCount = 0;
    uint32_t stripByteCountCount = 0;
    int32_t stripCount = 0;
    uint8_t* stripData = nullptr;  // page-allocated: all strips joined, then one zero row
    uint64_t stripDataLength = 0;  // bytes of strips in stripData
    int32_t outputBitCount = 0;
    int32_t outputStride = 0;
};

class TiffReader : public TiffState {
public:
    // Clears the handles' error, the offsets, the sides, the strip lists and
    // the colour table before a decode.
    void Reset();
    // The decoded image, or null with errorCode set and no pixels held. The
    // file is mapped and the read cursor stands at its first byte.
    DecodedImage* Decode();
    // Frees the strip lists and the joined strips and closes the file; the
    // decoded pixels stay with the caller.
    void Release();

private:
    const uint8_t* fileStart = nullptr;  // the view: offsets in the file count from here
    uint64_t fileLength = 0;

    // True when `count` bytes from `offset` lie inside the file; then the
    // cursor stands at `offset`.
    bool Seek(uint64_t offset, uint64_t count);
    bool ReadHeader();
    bool ReadDirectory();
    bool HandleEntry(uint32_t tag, const uint8_t* valueField);
    bool ReadSide(int32_t& side);
    bool ReadSampleSizes(const uint8_t* valueField);
    bool ReadStripList(uint32_t*& list, uint32_t& length);
    bool ChooseOutput();
    bool BuildPalette();
    bool JoinStrips(uint64_t rowBytes);
    bool AllocatePixels();
    void Unpack(uint64_t rowBytes);
    void ReadResolution();
};

// The reason a failed decode's errorCode names, as reports print it.
const char* TiffErrorText(int32_t code);
