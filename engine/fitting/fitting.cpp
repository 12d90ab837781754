#include "engine/fitting/fitting.h"

#include "core/codec_state.h"
#include "core/memory.h"
#include "engine/fitting/fitting_kernels.h"
#include "engine/load_picture.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kLargestSide = 25000;
constexpr int32_t kRatioUnit = 25000;   // scale ratios are counted in 1/25000
constexpr int32_t kWeightUnit = 32768;  // one source pixel of an averaging window
constexpr int kSharpenAmount = 3;       // 3/8 of the difference
constexpr int32_t kSharpenThreshold = 20;
constexpr int kTile = 64;     // lines averaged side by side in the vertical pass
constexpr int kRingRows = 6;  // scaled rows kept for the sharpening: a pair and the four before it

// table[i] = floor(i / x) for the window S = floor(x * 32768), x = n / m; the
// double quotients truncate the same wherever the arithmetic is IEEE double.
// The table covers i < entries (the straightforward passes build all of S).
double AveragingRatio(int32_t n, int32_t m) { return static_cast<double>(n) / static_cast<double>(m); }
int64_t AveragingWindow(double x) { return static_cast<int64_t>(x * kWeightUnit); }
void FillDivisors(double x, int64_t entries, uint8_t* table) {
    for (int64_t i = 0; i < entries; ++i)
        table[i] = static_cast<uint8_t>(static_cast<int64_t>(static_cast<double>(i) / x));
}
uint8_t* BuildDivisors(double x, int64_t entries) {
    auto* table = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(entries)));
    if (table != nullptr) FillDivisors(x, entries, table);
    return table;
}

// Area-averages `count` lines side by side, n samples down to m: sample i of
// line j is in[i * step + j], output k goes to out[k * outStep + j]. The
// weights depend only on the position along a line, so the lines share them.
// Spills round down; the last sample closes the m-th output.
void AverageLines(const uint8_t* in, int64_t step, uint8_t* out, int64_t outStep, int32_t count, int32_t n,
                  int64_t window, const uint8_t* divisor) {
    int32_t sum[kTile] = {};
    int64_t weight = 0;
    for (int32_t i = 0; i < n - 1; ++i, in += step) {
        for (int32_t j = 0; j < count; ++j) sum[j] += in[j];
        weight += kWeightUnit;
        if (weight < window) continue;
        const int32_t carry = static_cast<int32_t>(weight - window);  // the part of this sample past the window
        for (int32_t j = 0; j < count; ++j) {
            const int32_t spill = in[j] * carry / kWeightUnit;
            out[j] = divisor[sum[j] - spill];
            sum[j] = spill;
        }
        out += outStep;
        weight = carry;
    }
    weight += kWeightUnit;
    const int32_t carry = weight >= window ? static_cast<int32_t>(weight - window) : 0;
    for (int32_t j = 0; j < count; ++j) out[j] = divisor[sum[j] + in[j] - in[j] * carry / kWeightUnit];
}

// Every column of the rows (each byte of a row is one channel of one column)
// from srcHeight rows down to newHeight; the width is unchanged.
bool AverageColumns(const ResizeJob& job, uint8_t* target, int32_t newHeight) {
    const double x = AveragingRatio(job.srcHeight, newHeight);
    const int64_t window = AveragingWindow(x);
    uint8_t* divisor = BuildDivisors(x, window);
    if (divisor == nullptr) return false;
    const int64_t stride = PaddedRowBytes(job.srcWidth, 24);
    const int64_t lineBytes = 3 * static_cast<int64_t>(job.srcWidth);
    for (int64_t first = 0; first < lineBytes; first += kTile) {
        const int32_t count = static_cast<int32_t>(lineBytes - first < kTile ? lineBytes - first : kTile);
        AverageLines(job.srcRows + first, stride, target + first, stride, count, job.srcHeight, window, divisor);
    }
    ReleasePages(divisor);
    return true;
}

// Every row of the column pass's output from srcWidth pixels down to newWidth.
bool AverageRows(const ResizeJob& job, const uint8_t* source, int32_t newWidth, int32_t newHeight) {
    const double x = AveragingRatio(job.srcWidth, newWidth);
    const int64_t window = AveragingWindow(x);
    uint8_t* divisor = BuildDivisors(x, window);
    if (divisor == nullptr) return false;
    const int64_t sourceStride = PaddedRowBytes(job.srcWidth, 24);
    const int64_t targetStride = PaddedRowBytes(newWidth, 24);
    for (int32_t row = 0; row < newHeight; ++row)
        AverageLines(source + row * sourceStride, 3, job.dstRows + row * targetStride, 3, 3, job.srcWidth, window,
                     divisor);
    ReleasePages(divisor);
    return true;
}

// Columns first..first + columns - 1 of `count` of the picture's rows from
// `rows` on, expanded to 24 bits through the palette by the stand-alone
// reducer into out, one 24-bit row of the picture's width apart.
bool ExpandRows(ColorReducer& reducer, const FittedPicture& picture, const uint8_t* rows, int32_t count, int32_t first,
                int32_t columns, uint8_t* out) {
    reducer.width = columns;
    reducer.height = 1;
    reducer.sourceBitCount = picture.bitCount;
    reducer.targetBitCount = 24;
    ComputeStride(reducer);
    const int64_t stride = PaddedRowBytes(picture.width, picture.bitCount);
    const int64_t outStride = PaddedRowBytes(picture.width, 24);
    for (int32_t r = 0; r < count; ++r)
        if (!reducer.Convert(nullptr, out + r * outStride, picture.palette, rows + r * stride + first)) return false;
    return true;
}

// The stand-alone reducer's 24-bit copy of the picture's rows, or null.
uint8_t* ConvertTo24(ColorReducer& reducer, const FittedPicture& picture) {
    if (picture.palette == nullptr) return nullptr;  // no palette to expand through
    const uint64_t bytes =
        static_cast<uint64_t>(PaddedRowBytes(picture.width, 24)) * static_cast<uint64_t>(picture.height);
    auto* rows = static_cast<uint8_t*>(AllocatePages(bytes));
    if (rows == nullptr) return nullptr;
    if (!ExpandRows(reducer, picture, picture.sourcePixels, picture.height, 0, picture.width, rows)) {
        ReleasePages(rows);
        return nullptr;
    }
    return rows;
}

// Blurs one pixel from the five rows around it, whose columns are `columns`
// byte offsets, and stores the blurred value and the clamped difference.
inline void BlurPixel(const SharpenJob& job, const uint8_t* const* rows, const int64_t* columns, int64_t at) {
    for (int c = 0; c < 3; ++c) {
        int32_t sum = 0;
        for (int r = 0; r < 5; ++r)
            for (int k = 0; k < 5; ++k) sum += rows[r][columns[k] + c];
        const uint8_t blurred = job.div25[sum];
        int32_t d = job.srcRows[at + c] - blurred;
        d = d < -128 ? -128 : d > 127 ? 127 : d;
        job.dstRows[at + c] = blurred;
        job.diffRows[at + c] = static_cast<int8_t>(d);
    }
}

// The 5 x 5 box blur and the differences. Samples beyond the picture repeat
// its edge: rows are chosen once per row, and the two columns at each side
// get their own offsets, so the inner pixels need no coordinate tests.
void BlurAndDifferences(const SharpenJob& job) {
    const int32_t w = job.width;
    const int32_t h = job.height;
    auto edgeColumns = [w](int32_t x, int64_t* columns) {
        for (int k = 0; k < 5; ++k) {
            const int32_t xx = x + k - 2;
            columns[k] = 3 * static_cast<int64_t>(xx < 0 ? 0 : xx >= w ? w - 1 : xx);
        }
    };
    int64_t left[2][5];
    int64_t right[2][5];
    edgeColumns(0, left[0]);
    edgeColumns(1, left[1]);
    edgeColumns(w - 2, right[0]);
    edgeColumns(w - 1, right[1]);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* rows[5];
        for (int r = 0; r < 5; ++r) {
            const int32_t yy = y + r - 2;
            rows[r] = job.srcRows + static_cast<int64_t>(yy < 0 ? 0 : yy >= h ? h - 1 : yy) * job.stride;
        }
        const int64_t rowStart = static_cast<int64_t>(y) * job.stride;
        BlurPixel(job, rows, left[0], rowStart);
        BlurPixel(job, rows, left[1], rowStart + 3);
        for (int32_t x = 2; x < w - 2; ++x) {
            const int64_t centre = 3 * static_cast<int64_t>(x);
            const int64_t columns[5] = {centre - 6, centre - 3, centre, centre + 3, centre + 6};
            BlurPixel(job, rows, columns, rowStart + centre);
        }
        BlurPixel(job, rows, right[0], rowStart + 3 * static_cast<int64_t>(w - 2));
        BlurPixel(job, rows, right[1], rowStart + 3 * static_cast<int64_t>(w - 1));
    }
}

// Pixels that differ enough from their surroundings move 3/8 further away.
void ApplyDifferences(const SharpenJob& job) {
    for (int32_t y = 0; y < job.height; ++y) {
        for (int32_t x = 0; x < job.width; ++x) {
            const int64_t at = static_cast<int64_t>(y) * job.stride + 3 * x;
            const int8_t* d = job.diffRows + at;
            const uint8_t* src = job.srcRows + at;
            uint8_t* dst = job.dstRows + at;
            if (std::abs(d[0]) + std::abs(d[1]) + std::abs(d[2]) > kSharpenThreshold) {
                for (int c = 0; c < 3; ++c) dst[c] = job.clamp[src[c] + job.products[d[c]]];
            } else {
                for (int c = 0; c < 3; ++c) dst[c] = src[c];
            }
        }
    }
}

// The size that just covers the slot with the picture's aspect ratio.
void CoverSize(int32_t W, int32_t H, int32_t w, int32_t h, int32_t& newWidth, int32_t& newHeight) {
    const int64_t rw = static_cast<int64_t>(static_cast<double>(w) * kRatioUnit / static_cast<double>(W));
    const int64_t rh = static_cast<int64_t>(static_cast<double>(h) * kRatioUnit / static_cast<double>(H));
    if (rw < rh) {
        newHeight = h;
        const int64_t scaled = W * rh / kRatioUnit;
        newWidth = static_cast<int32_t>(scaled < w ? w : scaled);
    } else {
        newWidth = w;
        const int64_t scaled = H * rw / kRatioUnit;
        newHeight = static_cast<int32_t>(scaled < h ? h : scaled);
    }
}

// Scales the 24-bit sourcePixels to the new size into fresh pixels and
// sharpens them; on failure nothing of this step is left allocated.
bool ScaleAndSharpen(FittingRecords& records, FittedPicture& picture, int32_t newWidth, int32_t newHeight) {
    const uint64_t bytes = static_cast<uint64_t>(PaddedRowBytes(newWidth, 24)) * static_cast<uint64_t>(newHeight);
    uint8_t* scaled = static_cast<uint8_t*>(AllocatePages(bytes));
    if (scaled == nullptr) return false;
    *records.resize = ResizeJob{picture.width, picture.height, picture.sourcePixels, scaled};
    if (!Resize(*records.resize, newWidth, newHeight)) {
        ReleasePages(scaled);
        return false;
    }
    const int32_t oldWidth = picture.width;
    const int32_t oldHeight = picture.height;
    picture.pixels = scaled;
    picture.width = newWidth;
    picture.height = newHeight;
    if (Sharpen(*records.workspace, *records.sharpen, picture, bytes)) return true;
    ReleaseAndClear(picture.pixels);
    picture.width = oldWidth;
    picture.height = oldHeight;
    return false;
}

// One direction of the averaging: where its outputs close, how many divisor
// entries a window's sum can reach (255 x (x + 2) at most), and the divider.
struct Averaging {
    AveragingPlan plan;
    double x = 0;
    int64_t entries = 0;
    Divider divider;
};

Averaging MeasureAveraging(int32_t n, int32_t m) {
    Averaging averaging;
    averaging.x = AveragingRatio(n, m);
    const int64_t window = AveragingWindow(averaging.x);
    const int64_t reach = 256 * (static_cast<int64_t>(averaging.x) + 3);
    averaging.entries = window < reach ? window : reach;
    return averaging;
}

// The plan and divider of a measured averaging, in the given space.
bool PrepareAveraging(int32_t n, int32_t m, int32_t* ints, uint8_t* table, Averaging& averaging) {
    averaging.plan = AveragingPlan{ints, ints + m};
    if (!PlanAveraging(n, m, AveragingWindow(averaging.x), averaging.plan)) return false;
    FillDivisors(averaging.x, averaging.entries, table);
    averaging.divider = MakeDivider(n, m, table, averaging.entries);
    return true;
}

// The part of the scaled picture that the crop keeps (from column left and
// memory row bottom, the slot's size), and around it the region that the
// sharpening reads: two more pixels each way, fewer where the picture ends.
struct KeptRegion {
    int32_t left, bottom, w, h;
    int32_t x0, x1, y0, y1;
};

KeptRegion FindKeptRegion(int32_t newWidth, int32_t newHeight, int32_t w, int32_t h) {
    KeptRegion kept{};
    kept.w = w;
    kept.h = h;
    kept.left = (newWidth - w) / 2;
    kept.bottom = newHeight - (newHeight - h) / 2 - h;
    kept.x0 = kept.left < 2 ? 0 : kept.left - 2;
    kept.x1 = kept.left + w + 2 > newWidth ? newWidth : kept.left + w + 2;
    kept.y0 = kept.bottom < 2 ? 0 : kept.bottom - 2;
    kept.y1 = kept.bottom + h + 2 > newHeight ? newHeight : kept.bottom + h + 2;
    return kept;
}

// A reused block with room for `bytes`: grown (its old contents dropped)
// when a picture needs more.
uint8_t* Reserve(ReusedBlock& block, uint64_t bytes) {
    if (block.capacity >= bytes) return block.bytes;
    ReleaseAndClear(block.bytes);
    block.capacity = 0;
    block.bytes = static_cast<uint8_t*>(AllocatePages(bytes));
    if (block.bytes != nullptr) block.capacity = bytes;
    return block.bytes;
}

// Where the fast fitting's working data lies in the workspace's work block,
// each part 16-byte aligned.
struct WorkLayout {
    int64_t plans, across, down, sums, window, averaged, acrossSums, ring, sharpen, total;
    int64_t ringStride;
};

WorkLayout LayOutWork(const FittedPicture& picture, int32_t newWidth, int32_t newHeight, const KeptRegion& kept,
                      const Averaging& across, const Averaging& down, int64_t rowBytes) {
    WorkLayout layout{};
    int64_t at = 0;
    auto part = [&at](int64_t bytes) {
        const int64_t start = at;
        at += (bytes + 15) / 16 * 16;
        return start;
    };
    const int64_t regionBytes = 3 * static_cast<int64_t>(kept.x1 - kept.x0);
    // The horizontal pass writes and the sharpening reads up to 32 bytes past a row.
    layout.ringStride = regionBytes + 32;
    layout.plans = part(8 * (static_cast<int64_t>(newWidth) + newHeight));
    layout.across = part(across.entries);
    layout.down = part(down.entries);
    layout.sums = part(8 * rowBytes + 64);
    // An 8-bit picture's rows, expanded: a narrow pass's window (at most
    // x + 2 rows), a wide pass's single row.
    const int64_t windowRows = down.x <= kNarrowSumLimit ? static_cast<int64_t>(down.x) + 2 : 1;
    layout.window = part(picture.bitCount == 24 ? 0 : windowRows * PaddedRowBytes(picture.width, 24));
    layout.averaged = part(2 * (rowBytes + 16));
    layout.acrossSums = part(4 * (regionBytes + 32) + 16);
    layout.ring = part(kRingRows * layout.ringStride);
    layout.sharpen = part(12 * static_cast<int64_t>(kept.w) + 192);
    layout.total = at;
    return layout;
}

// The fitting of one slot on its way: source rows in, kept rows out. Rows of
// the scaled region are averaged across in pairs into a ring of six, and each
// kept row is finished (sharpened or copied) as soon as the rows around it
// are there: the two below the pair's first lie in the ring with it.
struct SlotStream {
    ColorReducer* reducer;
    const FittedPicture* picture;
    const KeptRegion* kept;
    const Averaging* across;
    int32_t newHeight;
    int32_t origin;   // the source column of the vertical pass's first byte
    int32_t columns;  // and the number of source columns it reads
    uint8_t* window;  // an 8-bit picture's rows expanded, or null
    uint16_t* acrossSums;
    uint8_t* ring;
    int64_t ringStride;
    const uint8_t* pending;  // a row of the vertical pass waiting for the next
    bool sharpen;
    int32_t nextRow;  // the next kept row to finish, in scaled rows
    uint8_t* sharpenScratch;
    uint8_t* out;
    int64_t outStride;
};

// Source rows for the vertical pass: 24-bit rows as they lie, 8-bit ones
// expanded through the palette into the window.
const uint8_t* SourceRows(int32_t from, int32_t count, void* context) {
    const SlotStream& stream = *static_cast<const SlotStream*>(context);
    const FittedPicture& picture = *stream.picture;
    const int64_t stride = PaddedRowBytes(picture.width, picture.bitCount);
    if (stream.window == nullptr) return picture.sourcePixels + from * stride + 3 * static_cast<int64_t>(stream.origin);
    // Only the columns the pass reads. Cannot fail: the fitting checked the
    // depth and the palette, and the window is there.
    ExpandRows(*stream.reducer, picture, picture.sourcePixels + from * stride, count, stream.origin, stream.columns,
               stream.window);
    return stream.window;
}

uint8_t* RingRow(const SlotStream& stream, int32_t row) { return stream.ring + (row % kRingRows) * stream.ringStride; }

void FinishRow(const SlotStream& stream, int32_t y) {
    const KeptRegion& kept = *stream.kept;
    const int32_t left = kept.left - kept.x0;
    uint8_t* out = stream.out + (y - kept.bottom) * stream.outStride;
    // The block is reused: the row's padding may hold an earlier slot's bytes.
    memset(out + 3 * static_cast<int64_t>(kept.w), 0,
           static_cast<size_t>(stream.outStride - 3 * static_cast<int64_t>(kept.w)));
    if (!stream.sharpen) {
        memcpy(out, RingRow(stream, y) + 3 * static_cast<int64_t>(left), 3 * static_cast<size_t>(kept.w));
        return;
    }
    const uint8_t* rows[5];
    for (int r = 0; r < 5; ++r) {
        const int32_t yy = y + r - 2;
        rows[r] = RingRow(stream, yy < 0 ? 0 : yy >= stream.newHeight ? stream.newHeight - 1 : yy);
    }
    SharpenKeptRow(rows, kept.x1 - kept.x0, left, kept.w, out, stream.sharpenScratch);
}

// A row of the vertical pass through the horizontal pass into the ring, then
// every kept row whose neighbourhood is complete. Narrow rows wait for the
// next one and go across together; the last goes alone when no row is left.
void AcrossAndFinish(const uint8_t* row, int32_t k, void* context) {
    SlotStream& stream = *static_cast<SlotStream*>(context);
    const KeptRegion& kept = *stream.kept;
    const Averaging& across = *stream.across;
    if (across.x <= kNarrowSumLimit) {
        if (stream.pending == nullptr && k + 1 < kept.y1) {
            stream.pending = row;
            return;
        }
        const bool pair = stream.pending != nullptr;
        const uint8_t* rows[2] = {pair ? stream.pending : row, row};
        uint8_t* targets[2] = {RingRow(stream, pair ? k - 1 : k), RingRow(stream, k)};
        AverageRowPixelsNarrow(rows, stream.origin, across.plan, kept.x0, kept.x1, across.divider, stream.acrossSums,
                               targets);
        stream.pending = nullptr;
    } else {
        AverageRowPixels(row, stream.origin, across.plan, kept.x0, kept.x1, across.divider.table, RingRow(stream, k));
    }
    const int32_t lastKept = kept.bottom + kept.h - 1;
    int32_t ready = k == stream.newHeight - 1 ? lastKept : k - (stream.sharpen ? 2 : 0);
    if (ready > lastKept) ready = lastKept;
    for (; stream.nextRow <= ready; ++stream.nextRow) FinishRow(stream, stream.nextRow);
}

// One slot's fast fitting on its way: the same bytes as ScaleAndSharpen and
// the crop, computed only for the pixels the crop keeps and the two around
// them that the sharpening reads, into an output block of the workspace.
// Its vertical pass can stop after any row and go on later.
struct SlotFitting {
    KeptRegion kept;
    Averaging across;
    Averaging down;
    SlotStream stream;
    ColumnPass pass;
    uint8_t* sums;
    int32_t next;  // the next row of the vertical pass; it ends before kept.y1
};

// Plans the fitting of the picture at the new size in the workspace's blocks
// `block`; false when it cannot be done.
bool StartScaling(FittingRecords& records, const FittedPicture& picture, int block, int32_t newWidth, int32_t newHeight,
                  SlotFitting& fitting) {
    if (newWidth > kLargestSide || newHeight > kLargestSide) return false;
    if (picture.bitCount != 24 && (picture.bitCount != 8 || picture.palette == nullptr)) return false;
    const KeptRegion& kept = fitting.kept = FindKeptRegion(newWidth, newHeight, picture.slotWidth, picture.slotHeight);
    Averaging& across = fitting.across = MeasureAveraging(picture.width, newWidth);
    Averaging& down = fitting.down = MeasureAveraging(picture.height, newHeight);
    // The source columns whose averages make the region's pixels. Planning
    // needs the space first, so the span is bounded by the whole width.
    const int64_t rowBytes = 3 * static_cast<int64_t>(picture.width);
    const WorkLayout layout = LayOutWork(picture, newWidth, newHeight, kept, across, down, rowBytes);
    FilterWorkspace& workspace = *records.workspace;
    uint8_t* work = Reserve(workspace.work[block], static_cast<uint64_t>(layout.total));
    const int64_t outStride = PaddedRowBytes(kept.w, 24);
    uint8_t* out = work == nullptr ? nullptr
                                   : Reserve(workspace.out[block],
                                             static_cast<uint64_t>(outStride) * static_cast<uint64_t>(kept.h));
    if (out == nullptr) return false;
    auto* ints = reinterpret_cast<int32_t*>(work + layout.plans);
    if (!PrepareAveraging(picture.width, newWidth, ints, work + layout.across, across) ||
        !PrepareAveraging(picture.height, newHeight, ints + 2 * newWidth, work + layout.down, down))
        return false;
    const int32_t first = kept.x0 == 0 ? 0 : across.plan.last[kept.x0 - 1];
    const int32_t columns = across.plan.last[kept.x1 - 1] + 1 - first;
    fitting.stream = SlotStream{records.reducer,
                                &picture,
                                &kept,
                                &across,
                                newHeight,
                                first,
                                columns,
                                picture.bitCount == 24 ? nullptr : work + layout.window,
                                reinterpret_cast<uint16_t*>(work + layout.acrossSums),
                                work + layout.ring,
                                layout.ringStride,
                                nullptr,
                                newWidth >= 5 && newHeight >= 5,
                                kept.bottom,
                                work + layout.sharpen,
                                out,
                                outStride};
    ColumnPass& pass = fitting.pass;
    pass.rows = SourceRows;
    pass.sourceStride = PaddedRowBytes(picture.width, 24);
    pass.bytes = 3 * columns;
    pass.target[0] = work + layout.averaged;
    pass.target[1] = work + layout.averaged + rowBytes + 16;
    pass.plan = &down.plan;
    pass.divider = down.divider;
    pass.rowDone = AcrossAndFinish;
    pass.context = &fitting.stream;
    fitting.sums = work + layout.sums;
    fitting.next = kept.y0;
    return true;
}

// The vertical pass's rows up to end, exclusive.
void AdvanceScaling(SlotFitting& fitting, int32_t end) {
    if (end <= fitting.next) return;
    if (fitting.down.x <= kNarrowSumLimit) {
        AverageColumnsNarrow(fitting.pass, fitting.next, end, reinterpret_cast<uint16_t*>(fitting.sums));
    } else {
        AverageColumnsWide(fitting.pass, fitting.next, end, reinterpret_cast<uint32_t*>(fitting.sums));
    }
    fitting.next = end;
}

void FinishScaling(const SlotFitting& fitting, FittedPicture& picture) {
    picture.pixels = fitting.stream.out;
    picture.width = fitting.kept.w;
    picture.height = fitting.kept.h;
    picture.bitCount = 24;
}

// Source bytes read by every slot before any goes on: a band that stays in
// the second-level cache while the other slots read it again.
constexpr int64_t kBandBytes = 256 * 1024;

// Steps the slots' vertical passes through the source together, a band of
// rows at a time: each takes the rows whose windows close within the band,
// so the band comes from memory once. A pass that goes on after a band
// recomputes its spill from the row before, which is still in the cache.
void StreamScalings(SlotFitting* fittings, int count, int64_t rowBytes) {
    const int64_t band = rowBytes >= kBandBytes ? 1 : kBandBytes / rowBytes;
    for (int64_t below = band;; below += band) {
        bool unfinished = false;
        for (int i = 0; i < count; ++i) {
            SlotFitting& fitting = fittings[i];
            int32_t end = fitting.next;
            while (end < fitting.kept.y1 && fitting.down.plan.last[end] < below) ++end;
            AdvanceScaling(fitting, end);
            unfinished = unfinished || fitting.next < fitting.kept.y1;
        }
        if (!unfinished) return;
    }
}

// The w x h middle of rows of width x height pixels at `bits`. An odd excess
// leaves the extra column on the right and the extra row at the bottom cut
// away; rows are bottom-up, so picture rows top .. top + h - 1 are memory rows
// height - top - h .. height - top - 1.
void CopyCentre(const uint8_t* rows, int32_t width, int32_t height, int32_t bits, int32_t w, int32_t h, uint8_t* out) {
    const int64_t pixelBytes = bits / 8;
    const int64_t sourceStride = PaddedRowBytes(width, bits);
    const int64_t targetStride = PaddedRowBytes(w, bits);
    const int32_t left = (width - w) / 2;
    const int32_t top = (height - h) / 2;
    const int64_t firstRow = height - top - h;
    const size_t rowBytes = static_cast<size_t>(w * pixelBytes);
    for (int32_t r = 0; r < h; ++r) {
        memcpy(out + r * targetStride, rows + (firstRow + r) * sourceStride + left * pixelBytes, rowBytes);
        memset(out + r * targetStride + rowBytes, 0, static_cast<size_t>(targetStride) - rowBytes);  // a reused block
    }
}

// A picture that needs no scaling, copied whole for the crop that follows.
bool CopyUnscaled(FittedPicture& picture) {
    const uint64_t bytes =
        static_cast<uint64_t>(PaddedRowBytes(picture.width, picture.bitCount)) * static_cast<uint64_t>(picture.height);
    picture.pixels = static_cast<uint8_t*>(AllocatePages(bytes));
    if (picture.pixels == nullptr) return false;
    memcpy(picture.pixels, picture.sourcePixels, bytes);
    return true;
}

// A picture that needs no scaling, cropped straight from its rows into the
// workspace's output block `block`.
bool CropUnscaled(FilterWorkspace& workspace, int block, FittedPicture& picture) {
    const int32_t w = picture.slotWidth;
    const int32_t h = picture.slotHeight;
    uint8_t* out = Reserve(workspace.out[block],
                           static_cast<uint64_t>(PaddedRowBytes(w, picture.bitCount)) * static_cast<uint64_t>(h));
    if (out == nullptr) return false;
    CopyCentre(picture.sourcePixels, picture.width, picture.height, picture.bitCount, w, h, out);
    picture.pixels = out;
    picture.width = w;
    picture.height = h;
    return true;
}

// What both fittings do with a picture and its slot.
struct FitPlan {
    enum Step { kRefuse, kCrop, kScale } step = kRefuse;
    int32_t newWidth = 0;  // the cover size, for kScale
    int32_t newHeight = 0;
};

FitPlan PlanFit(const FittedPicture& picture) {
    const int32_t W = picture.width;
    const int32_t H = picture.height;
    const int32_t w = picture.slotWidth;
    const int32_t h = picture.slotHeight;
    FitPlan plan;
    if (w < 1 || h < 1 || W < 1 || H < 1 || picture.sourcePixels == nullptr) return plan;
    if (w > W || h > H) return plan;
    if (w == W || h == H) {
        if (picture.bitCount == 8 || picture.bitCount == 24) plan.step = FitPlan::kCrop;
        return plan;
    }
    plan.step = FitPlan::kScale;
    CoverSize(W, H, w, h, plan.newWidth, plan.newHeight);
    return plan;
}

// The reference scales 24-bit rows; a copy converted for them lives only
// here, and the record goes back to the original rows afterwards.
bool ScaleAndSharpenRows24(FittingRecords& records, FittedPicture& picture, int32_t newWidth, int32_t newHeight) {
    if (picture.bitCount == 24) return ScaleAndSharpen(records, picture, newWidth, newHeight);
    uint8_t* const original = picture.sourcePixels;
    const int32_t originalBits = picture.bitCount;
    uint8_t* copy = ConvertTo24(*records.reducer, picture);
    if (copy == nullptr) return false;
    picture.sourcePixels = copy;
    picture.bitCount = 24;
    const bool fitted = ScaleAndSharpen(records, picture, newWidth, newHeight);
    ReleasePages(copy);
    picture.sourcePixels = original;
    if (!fitted) picture.bitCount = originalBits;
    return fitted;
}
}  // namespace

void ReleaseFittingBlocks(FilterWorkspace& workspace) {
    for (int i = 0; i < kFittingsAtOnce; ++i) {
        for (ReusedBlock* block : {&workspace.work[i], &workspace.out[i]}) {
            ReleaseAndClear(block->bytes);
            block->capacity = 0;
        }
    }
}

void BuildFilterTables(FilterWorkspace& workspace) {
    BuildBlendTable(workspace.blend);
    workspace.div25[0] = 0;
    for (int s = 1; s <= 6375; ++s) workspace.div25[s] = static_cast<uint8_t>((35389 + 2621 * (s - 1)) >> 16);
    for (int d = -128; d <= 127; ++d) {
        workspace.sharpenProducts[0][d + 128] = 0;
        for (int k = 1; k <= 100; ++k) workspace.sharpenProducts[k][d + 128] = static_cast<int16_t>((k * d) >> 3);
    }
    for (int v = -kClampCentre; v <= 1842; ++v)
        workspace.clamp[v + kClampCentre] = static_cast<uint8_t>(v <= 0 ? 0 : v >= 255 ? 255 : v);
}

bool Resize(const ResizeJob& job, int32_t newWidth, int32_t newHeight) {
    if (newWidth < 1 || newHeight < 1 || newWidth > kLargestSide || newHeight > kLargestSide) return false;
    // Averaging windows of less than a source pixel would read past the divisor table.
    if (newWidth > job.srcWidth || newHeight > job.srcHeight || job.srcRows == nullptr || job.dstRows == nullptr)
        return false;
    const uint64_t bytes = static_cast<uint64_t>(PaddedRowBytes(job.srcWidth, 24)) * static_cast<uint64_t>(newHeight);
    auto* columns = static_cast<uint8_t*>(AllocatePages(bytes));
    if (columns == nullptr) return false;
    const bool done = AverageColumns(job, columns, newHeight) && AverageRows(job, columns, newWidth, newHeight);
    ReleasePages(columns);
    return done;
}

bool Sharpen(const FilterWorkspace& workspace, SharpenJob& job, FittedPicture& picture, uint64_t bufferSize) {
    if (picture.width < 5 || picture.height < 5) return true;
    const int64_t stride = PaddedRowBytes(picture.width, 24);
    if (picture.pixels == nullptr || bufferSize < static_cast<uint64_t>(stride) * static_cast<uint64_t>(picture.height))
        return false;
    auto* output = static_cast<uint8_t*>(AllocatePages(bufferSize));
    if (output == nullptr) return false;
    auto* differences = static_cast<int8_t*>(AllocatePages(bufferSize));
    if (differences == nullptr) {
        ReleasePages(output);
        return false;
    }
    job.width = picture.width;
    job.height = picture.height;
    job.stride = static_cast<int32_t>(stride);
    job.srcRows = picture.pixels;
    job.dstRows = output;
    job.diffRows = differences;
    job.div25 = workspace.div25;
    job.products = workspace.sharpenProducts[kSharpenAmount] + 128;
    job.clamp = workspace.clamp + kClampCentre;
    BlurAndDifferences(job);
    ApplyDifferences(job);
    ReleasePages(differences);
    ReleasePages(picture.pixels);
    picture.pixels = output;
    return true;
}

bool FitToSlot(FittingRecords& records, FittedPicture& picture) {
    const FitPlan plan = PlanFit(picture);
    if (plan.step == FitPlan::kCrop) return CopyUnscaled(picture);
    return plan.step == FitPlan::kScale && ScaleAndSharpenRows24(records, picture, plan.newWidth, plan.newHeight);
}

bool FitCroppedToSlot(FittingRecords& records, FittedPicture& picture) {
    FitCroppedToSlots(records, &picture, 1);
    return picture.pixels != nullptr;
}

void FitCroppedToSlots(FittingRecords& records, FittedPicture* pictures, int count) {
    SlotFitting fittings[kFittingsAtOnce];
    FittedPicture* scaled[kFittingsAtOnce];
    int scaling = 0;
    for (int i = 0; i < count; ++i) {
        FittedPicture& picture = pictures[i];
        picture.pixels = nullptr;
        const FitPlan plan = i < kFittingsAtOnce ? PlanFit(picture) : FitPlan{};  // no blocks for more
        if (plan.step == FitPlan::kCrop) {
            CropUnscaled(*records.workspace, i, picture);
        } else if (plan.step == FitPlan::kScale &&
                   StartScaling(records, picture, i, plan.newWidth, plan.newHeight, fittings[scaling])) {
            scaled[scaling++] = &picture;
        }
    }
    if (scaling == 0) return;
    StreamScalings(fittings, scaling, 3 * static_cast<int64_t>(scaled[0]->width));
    for (int i = 0; i < scaling; ++i) FinishScaling(fittings[i], *scaled[i]);
}

bool CropToSlot(FittedPicture& picture) {
    const int32_t bits = picture.bitCount;
    const int32_t w = picture.slotWidth;
    const int32_t h = picture.slotHeight;
    if (bits != 8 && bits != 24) return false;
    if (picture.pixels == nullptr || w < 1 || h < 1 || w > picture.width || h > picture.height) return false;
    auto* cropped = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(PaddedRowBytes(w, bits)) * h));
    if (cropped == nullptr) return false;
    CopyCentre(picture.pixels, picture.width, picture.height, bits, w, h, cropped);
    ReleasePages(picture.pixels);
    picture.pixels = cropped;
    picture.width = w;
    picture.height = h;
    return true;
}
