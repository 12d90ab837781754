// Reads the first picture of an uncompressed TIFF file from its mapped view:
// bilevel, 4- and 8-bit grey and 1-, 4- and 8-bit palette pictures become
// 8-bit rows with a 256-entry colour table, 8- and 16-bit RGB (chunky or in
// separate planes) becomes 24-bit rows. Strips are joined in order and read
// row after row; fill order 2 is read lowest bit first. Every integer tag is
// read by its declared type. A layout the reader cannot show faithfully
// (signed or floating-point samples, extra samples, tiles...) is declined
// with its own code, so that the plug-ins get the file; predictor and the
// other tags are skipped. The orientation and the ICC profile are recorded
// on the picture as the file gives them, the rows left as stored.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include "codecs/readers/ifd0_tags.h"
#include "codecs/readers/mapped_file.h"
#include "core/codec_state.h"

#include <cstdint>

// What a failed decode leaves in errorCode.
enum TiffReaderError : int32_t {
    // A strip list, the joined strips (also when there are none at all), the
    // pixels or the ICC profile cannot be allocated.
    kTiffOutOfMemory = kErrorOutOfMemory,
    // A photometric interpretation or sample depth outside what is read.
    kTiffUnsupported = kErrorInvalidPicture,
    kTiffCannotOpen = kErrorCannotOpenInput,
    // The colour map or a strip is not inside the file; it shares the number
    // of an input that cannot be opened.
    kTiffOutsideFile = 4,
    // The header or directory is malformed or outside the file; a tag the
    // reader uses of another type than BYTE, SHORT or LONG, without a value
    // or with its values outside the file; a side of 0 or missing; a strip
    // list given twice; offsets and byte counts of different number; separate
    // planes whose strips do not split into three runs.
    kTiffMalformed = 6,
    // Declines: valid files whose pictures the reader does not show.
    kTiffCompressed = 30,           // compression other than none
    kTiffTooLarge = 31,             // a side above kLargestTiffSide
    kTiffSignedSamples = 32,        // sample format 2
    kTiffFloatSamples = 33,         // sample format 3
    kTiffUnknownSampleFormat = 34,  // any other sample format but 1 (unsigned)
    kTiffExtraSamples = 35,         // extra samples, or more samples a pixel than the photometric uses
    kTiffTiled = 36,                // a tile tag
    kTiffNoColorMap = 37,           // a palette picture without a colour map of 3 x 2^depth values
};

// The reason for a TIFF error code as the command prints it; null for a code
// the reader does not give.
const char* TiffErrorText(int32_t code);

// Widest and tallest picture read; the largest buffer this allows (24-bit
// rows) stays below 2 GiB.
constexpr int32_t kLargestTiffSide = 25000;

// One directory entry as the reader sees it: its type, its number of values
// and the file offset of the first (in the entry itself when they fit its
// 4-byte value field).
struct TiffEntry {
    uint32_t type = 0;
    uint32_t count = 0;
    uint64_t valuesAt = 0;
};

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
    int32_t samplesPerPixelTag = 1;
    int32_t compression = 1;
    int32_t resolutionUnit = 2;       // inch
    int32_t planarConfiguration = 1;  // 2: separate planes
    int32_t fillOrder = 1;            // 2: lowest bit first
    int32_t sampleFormat = 1;         // the first value that is not 1 (unsigned), else 1
    bool extraSamples = false;
    bool tiled = false;
    TiffEntry colorMap;  // count 0: none
    uint32_t xResolutionOffset = 0;
    uint32_t yResolutionOffset = 0;
    uint32_t* stripOffsets = nullptr;     // page-allocated, stripOffsetCount entries
    uint32_t* stripByteCounts = nullptr;  // page-allocated, stripByteCountCount entries
    uint32_t stripOffsetCount = 0;
    uint32_t stripByteCountCount = 0;
    int32_t stripCount = 0;
    uint8_t* stripData = nullptr;  // page-allocated: all strips joined, then one zero row; or three planes
    uint64_t stripDataLength = 0;  // bytes of strips in stripData (of one plane)
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
    bool HandleEntry(uint32_t tag, const TiffEntry& entry);
    // The cursor at the first of `count` integer values of the entry; false
    // (malformed) for another type or values outside the file.
    bool SeekValues(const TiffEntry& entry, uint64_t count);
    // The next integer value of the entry's type; after SeekValues.
    uint32_t NextValue(uint32_t type);
    // The entry's first integer value into `value`.
    bool ReadValue(const TiffEntry& entry, int32_t& value);
    bool ReadSide(const TiffEntry& entry, int32_t& side);
    bool ReadSampleSizes(const TiffEntry& entry);
    bool ReadSampleFormat(const TiffEntry& entry);
    bool ReadStripList(const TiffEntry& entry, uint32_t*& list, uint32_t& length);
    bool DeclineUnfaithful();
    bool ChooseOutput();
    bool BuildPalette();
    bool SeparatePlanes() const { return planarConfiguration == 2 && outputBitCount == 24; }
    bool CheckStrips(uint64_t& total);
    bool JoinStrips(uint64_t rowBytes);
    bool JoinPlanes(uint64_t rowBytes);
    void ReverseBits();
    bool AllocatePixels();
    void Unpack(uint64_t rowBytes);
    void ReadResolution();
};
