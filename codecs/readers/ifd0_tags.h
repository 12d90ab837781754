// The two tags of a TIFF-structured block's first directory (IFD0) that say
// how its picture is to be shown: the orientation (274) and the ICC profile
// (34675). An EXIF block (JPEG's APP1 after "Exif\0\0", PNG's eXIf) is such a
// block, and so is a whole TIFF file. Both byte orders; every offset and
// count is checked against the block's end, and only IFD0 is read, so a
// directory chain that loops is never followed.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include <cstdint>

// Field types of a directory entry, as the TIFF structure numbers them.
constexpr uint32_t kTiffByte = 1;
constexpr uint32_t kTiffShort = 3;
constexpr uint32_t kTiffLong = 4;
constexpr uint32_t kTiffRational = 5;
constexpr uint32_t kTiffUndefined = 7;

// IFD0's orientation, 1..8; 1 when the block is no TIFF structure, the tag is
// missing, or it is not one SHORT of 1..8.
int32_t ReadOrientation(const uint8_t* block, uint64_t size);

// IFD0's ICC profile: its bytes inside the block; false when the tag is
// missing, of another type than BYTE or UNDEFINED, or not wholly inside.
bool FindIccProfile(const uint8_t* block, uint64_t size, const uint8_t*& bytes, uint32_t& count);
