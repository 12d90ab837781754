// The pictures that pass between readers, the fitting step and writers.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// A decoded picture laid out as a device-independent bitmap: header and a
// 256-entry colour table (together a valid BITMAPINFO), bottom-up rows padded
// to 4 bytes, 24-bit pixels blue-green-red; then where it came from, and
// how the file says its rows are to be shown.
struct DecodedImage {
    BITMAPINFOHEADER header;
    RGBQUAD palette[256];
    int32_t sourceFormat;  // format code of the reader; 0 for a plug-in
    uint8_t* pixels;
    HBITMAP dibSection;  // only when a reader ran without plain memory
    uint32_t fileSize;
    int32_t fileBitCount;  // depth as stored in the file, before conversion
    FILETIME lastWriteTime;
    // The EXIF/TIFF orientation of the stored rows: 1 upright, 2..8 mirrored
    // and/or turned; 1 also when the file gives none or an invalid one.
    int32_t orientation = 1;
    // The embedded ICC profile as stored: a page block of iccProfileSize
    // bytes that the picture owns like its pixels; null when there is none.
    uint8_t* iccProfile;
    uint32_t iccProfileSize;
};

// Largest embedded profile kept; the JPEG format's own limit (255 segments)
// is about as much.
constexpr uint32_t kLargestIccProfile = 16u << 20;

// A reader's picture after it was handed on: no blocks (they are the batch
// driver's now), upright, no profile.
void DetachPicture(DecodedImage& image);
// Releases the pixels and the profile, leaving both null.
void ReleasePicture(DecodedImage& image);
// A page block of count bytes (1..kLargestIccProfile) for the picture's
// profile, set on the picture; null, the picture unchanged, when memory runs
// out or the count is out of range.
uint8_t* AllocateIccProfile(DecodedImage& image, uint32_t count);
// Keeps a copy of the bytes as the picture's profile. A count of 0 or past
// kLargestIccProfile is no profile to keep (true, nothing kept); false when
// memory runs out.
bool KeepIccProfile(DecodedImage& image, const uint8_t* bytes, uint32_t count);
// Releases the profile block; the picture then has none.
void ReleaseIccProfile(DecodedImage& image);

// The picture on its way from the decoded image through fitting to a writer.
struct FittedPicture {
    int32_t width;
    int32_t height;
    int32_t bitCount;
    uint8_t* sourcePixels;  // currentImage->pixels, or a 24-bit copy of them
    uint8_t* pixels;        // the fitted rows: the reference fitting's own, the batch fitting's lent
    int32_t slotWidth;
    int32_t slotHeight;
    const RGBQUAD* palette;  // the colours of 8-bit source pixels
};

// Bytes of one bottom-up row of width pixels of bitCount bits (1, 4, 8, 24),
// padded to a multiple of 4: the one row rule of every picture in memory and
// in bitmap files.
constexpr int64_t PaddedRowBytes(int64_t width, int32_t bitCount) { return (width * bitCount + 31) / 32 * 4; }

// Format codes shared by detection, dispatch and DecodedImage::sourceFormat.
enum FormatCode : int32_t {
    kFormatUnknown = 0,  // not recognised or not openable: try plug-ins
    kFormatBmp = 1,
    kFormatPng = 2,
    kFormatJpeg = 3,
    kFormatTiff = 4,
    kFormatGif = 5,
    kFormatUnreadable = 6,  // opened but not readable: give up
};
