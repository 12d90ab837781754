// Fitting a decoded picture to its output slots: scale down to cover each
// slot (area averaging), sharpen, and crop around the centre. All per-pixel
// arithmetic is integer and table-driven, so results are defined to the bit.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "core/color_reducer.h"
#include "core/picture_records.h"

#include <cstdint>

// Pictures the batch's fitting takes at once: one per output slot.
constexpr int kFittingsAtOnce = 6;

// A block kept from picture to picture, grown when one needs more.
struct ReusedBlock {
    uint8_t* bytes;
    uint64_t capacity;
};

// Tables computed once per codec set; the blend table also serves the PNG reader.
struct FilterWorkspace {
    uint8_t blend[256][256];            // about i * j / 255
    uint8_t div25[6376];                // a sum of 25 bytes to their average
    int16_t sharpenProducts[101][256];  // (k * d) >> 3 for d = -128..127 at [k][d + 128]
    uint8_t clamp[3443];                // byte range of v = -1600..1842 at [v + kClampCentre]
    // Per picture fitted at once: the working rows and tables, and the
    // fitted pixels, which the fast fitting lends to the save.
    ReusedBlock work[kFittingsAtOnce];
    ReusedBlock out[kFittingsAtOnce];
};
constexpr int kClampCentre = 1600;

struct ResizeJob {
    int32_t srcWidth = 0;
    int32_t srcHeight = 0;
    uint8_t* srcRows = nullptr;
    uint8_t* dstRows = nullptr;
};

struct SharpenJob {
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    uint8_t* srcRows = nullptr;
    uint8_t* dstRows = nullptr;
    int8_t* diffRows = nullptr;
    const uint8_t* div25 = nullptr;
    const int16_t* products = nullptr;  // the row of the sharpening amount, at d = 0
    const uint8_t* clamp = nullptr;     // at v = 0
};

// The fitting records of a codec set, which creates and destroys them.
struct FittingRecords {
    FilterWorkspace* workspace = nullptr;
    ColorReducer* reducer = nullptr;  // converts a picture to 24 bits before scaling
    ResizeJob* resize = nullptr;
    SharpenJob* sharpen = nullptr;
};

void BuildFilterTables(FilterWorkspace& workspace);
// Releases the workspace's reused blocks.
void ReleaseFittingBlocks(FilterWorkspace& workspace);
// Scales and sharpens the picture to cover its slot; false when the slot is
// larger than the picture or a step fails (its buffers released).
bool FitToSlot(FittingRecords& records, FittedPicture& picture);
// Cuts the slot's size out of the middle of the picture.
bool CropToSlot(FittedPicture& picture);
// FitToSlot then CropToSlot, to the same bytes, computing only the pixels the
// crop keeps (and the two around them that the sharpening reads); this is
// the batch's fitting, the two steps above are its reference. The pixels
// are the workspace's first output block, lent until the next fitting:
// nobody releases them but the workspace.
bool FitCroppedToSlot(FittingRecords& records, FittedPicture& picture);
// The same for records of one source picture, each with its own slot,
// reading the source rows once for all of them. Each record that fits gets
// its pixels (from output block i for record i); one that does not, and any
// past the first kFittingsAtOnce, keeps null pixels and is left as it was.
void FitCroppedToSlots(FittingRecords& records, FittedPicture* pictures, int count);
// Area-averages the job's rows into its destination at the new size, each
// side 1..25000 and no larger than the source's (the averaging only shrinks).
bool Resize(const ResizeJob& job, int32_t newWidth, int32_t newHeight);
// Sharpens the picture's 24-bit pixels (bufferSize bytes, at least stride x
// height) with the workspace's tables through the job and puts the result in
// their place; pictures under 5 pixels either way stay as they are.
bool Sharpen(const FilterWorkspace& workspace, SharpenJob& job, FittedPicture& picture, uint64_t bufferSize);
