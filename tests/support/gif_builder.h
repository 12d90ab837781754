// Hand-made GIF files for the reader tests: the blocks one by one, and code
// streams written code by code, so that broken files are as easy to make as
// sound ones.
#pragma once

#include <cstdint>
#include <vector>

using GifBytes = std::vector<uint8_t>;

struct GifCode {
    int32_t code;
    int32_t bits;
};

// Signature "GIF89a" (or the given six bytes) and the logical screen; a
// global table of 2^tableBits entries when tableBits > 0.
GifBytes GifScreen(int32_t width, int32_t height, int32_t tableBits, uint8_t background, const GifBytes& table = {},
                   const char* signature = "GIF89a");
// Entries of a colour table: entry i is (i, 255 - i, 7 i) unless given.
GifBytes GifTable(int32_t tableBits);
// The graphic control extension with its transparency flag and index.
GifBytes GifGraphicControl(bool transparent, uint8_t index);
// An image descriptor; a local table of 2^tableBits entries when tableBits > 0.
GifBytes GifDescriptor(int32_t left, int32_t top, int32_t width, int32_t height, int32_t tableBits = 0,
                       bool interlaced = false, const GifBytes& table = {});
// Codes packed least significant bit first.
GifBytes PackCodes(const std::vector<GifCode>& codes);
// The codes of the indices as literals: a clear code before every run that
// would otherwise make the code size grow, the end code unless told not to.
std::vector<GifCode> LiteralCodes(const GifBytes& indices, int32_t minCodeSize, bool withEnd = true);
// The minimum code size byte, the data in sub-blocks of at most 255 bytes and
// the terminator.
GifBytes GifImageData(int32_t minCodeSize, const GifBytes& stream);
// Descriptor and data of an image whose indices are stored as literals.
GifBytes GifImage(int32_t left, int32_t top, int32_t width, int32_t height, const GifBytes& indices,
                  int32_t minCodeSize = 8, bool interlaced = false);
GifBytes GifCat(std::initializer_list<GifBytes> parts);
constexpr uint8_t kGifTrailer = 0x3B;
