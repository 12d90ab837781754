// The fast fitting's inner loops: area averaging row by row with SSE2 and
// sharpening with separable sums, each limited to the pixels the crop keeps.
// They compute the same integers as the straightforward loops of fitting.cpp,
// only in another order, so every output byte is the same.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include <cstdint>

// Where each output of an averaging pass (n samples down to m) closes: the
// sample whose weight completes its window, and the part of that sample, in
// 1/32768, that belongs to the next output. Output k sums the spill of
// sample last[k - 1], samples last[k - 1] + 1 .. last[k], less the spill of
// last[k]; the weights depend only on n and m, so every line shares them.
struct AveragingPlan {
    int32_t* last = nullptr;
    int32_t* carry = nullptr;
};

// Walks the weights as the straightforward pass does; false when they would
// not close exactly m outputs.
bool PlanAveraging(int32_t n, int32_t m, int64_t window, AveragingPlan& plan);

// Largest averaging window (in samples) whose sums fit 16-bit lanes.
constexpr double kNarrowSumLimit = 255.0;

// Rows (0-based first..end-1) of a vertical pass over `bytes` byte columns
// of source rows `sourceStride` apart. Each output row k is made in target
// and handed to rowDone at once, while it is in the cache; the next row
// reuses target. Narrow passes (16-bit sums, SSE2; the window at most
// kNarrowSumLimit samples) need 2 x (bytes + 8) sums, wide ones `bytes`.
struct ColumnPass {
    const uint8_t* source;
    int64_t sourceStride;
    int32_t bytes;
    uint8_t* target;
    const AveragingPlan* plan;
    const uint8_t* divisor;
    void (*rowDone)(const uint8_t* row, int32_t k, void* context);
    void* context;
};
void AverageColumnsNarrow(const ColumnPass& pass, int32_t first, int32_t end, uint16_t* sums);
void AverageColumnsWide(const ColumnPass& pass, int32_t first, int32_t end, uint32_t* sums);

// Outputs first..end-1 of one row of 24-bit pixels, the row starting at the
// source pixel last[first - 1] (or 0 when first is 0), written from out on.
void AverageRowPixels(const uint8_t* row, int32_t origin, const AveragingPlan& plan, int32_t first, int32_t end,
                      const uint8_t* divisor, uint8_t* out);
// The same with the three channels in 16-bit lanes (SSE2), for windows of at
// most kNarrowSumLimit samples; reads one byte past the row's last pixel.
void AverageRowPixelsNarrow(const uint8_t* row, int32_t origin, const AveragingPlan& plan, int32_t first,
                            int32_t end, const uint8_t* divisor, uint8_t* out);

// The sharpening of the kept w x h pixels at (left, bottom) of a scaled
// region of width x height 24-bit pixels (rows `stride` apart, 16 bytes
// readable past the last), into out (rows outStride apart). Every kept pixel
// is at least two pixels from the region's edge or the edge is the
// picture's, so the blur's edge repetition is the picture's. The blurred
// value is the box divisor's closed form; scratch holds 12 x w + 160 bytes.
struct SharpenRegion {
    const uint8_t* rows;
    int32_t width, height;
    int64_t stride;
    int32_t left, bottom, w, h;
    uint8_t* out;
    int64_t outStride;
};
void SharpenKept(const SharpenRegion& region, uint8_t* scratch);
