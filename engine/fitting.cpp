#include "engine/fitting.h"

#include "engine/codec_set.h"
#include "engine/memory.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kLargestSide = 25000;
constexpr int32_t kSharpenAmount = 3;  // 3/8 of the difference
constexpr int32_t kSharpenThreshold = 20;

int64_t StrideFor(int64_t width, int32_t bitCount) { return (width * (bitCount / 8) + 3) & ~int64_t{3}; }

// One area-averaging pass over `lines` lines of n pixels (step bytes apart
// along a line, lineStep bytes between lines) down to m pixels.
bool AveragePass(const uint8_t* source, uint8_t* target, int32_t n, int32_t m, int64_t step, int64_t targetStep,
                 int32_t lines, int64_t lineStep, int64_t targetLineStep) {
    const double x = static_cast<double>(n) / m;
    const int64_t window = static_cast<int64_t>(x * 32768);
    auto* divisor = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(window)));
    if (divisor == nullptr) return false;
    for (int64_t i = 0; i < window; ++i) divisor[i] = static_cast<uint8_t>(static_cast<int64_t>(i / x));
    for (int32_t line = 0; line < lines; ++line) {
        for (int channel = 0; channel < 3; ++channel) {
            const uint8_t* in = source + line * lineStep + channel;
            uint8_t* out = target + line * targetLineStep + channel;
            int64_t weight = 0;
            int64_t sum = 0;
            for (int32_t i = 0; i < n - 1; ++i) {
                const int64_t p = in[i * step];
                sum += p;
                weight += 32768;
                if (weight >= window) {
                    const int64_t carry = weight - window;
                    const int64_t spill = p * carry / 32768;
                    *out = divisor[sum - spill];
                    out += targetStep;
                    sum = spill;
                    weight = carry;
                }
            }
            const int64_t p = in[static_cast<int64_t>(n - 1) * step];
            sum += p;
            weight += 32768;
            const int64_t carry = weight >= window ? weight - window : 0;
            *out = divisor[sum - p * carry / 32768];
        }
    }
    ReleasePages(divisor);
    return true;
}

// The stand-alone reducer's 24-bit copy of the source rows, or null.
uint8_t* ConvertTo24(int32_t width, int32_t height, int32_t bitCount) {
    ColorReducer& reducer = *colorReducer;
    reducer.width = width;
    reducer.height = height;
    reducer.sourceBitCount = bitCount;
    reducer.targetBitCount = 24;
    ComputeStride(reducer);
    auto* rows = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(reducer.imageSize)));
    if (rows == nullptr) return nullptr;
    if (!reducer.Convert(nullptr, rows, currentImage->palette, fittedPicture.sourcePixels)) {
        ReleasePages(rows);
        return nullptr;
    }
    return rows;
}

void BlurAndDifferences(const SharpenJob& job) {
    const int32_t w = job.width;
    const int32_t h = job.height;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            for (int channel = 0; channel < 3; ++channel) {
                int32_t sum = 0;
                for (int32_t dy = -2; dy <= 2; ++dy) {
                    const int32_t yy = y + dy < 0 ? 0 : y + dy >= h ? h - 1 : y + dy;
                    const uint8_t* row = job.srcRows + static_cast<int64_t>(yy) * job.stride + channel;
                    for (int32_t dx = -2; dx <= 2; ++dx) {
                        const int32_t xx = x + dx < 0 ? 0 : x + dx >= w ? w - 1 : x + dx;
                        sum += row[3 * xx];
                    }
                }
                const int64_t at = static_cast<int64_t>(y) * job.stride + 3 * x + channel;
                const uint8_t blurred = job.div25[sum];
                int32_t d = job.srcRows[at] - blurred;
                d = d < -128 ? -128 : d > 127 ? 127 : d;
                job.dstRows[at] = blurred;
                job.diffRows[at] = static_cast<int8_t>(d);
            }
        }
    }
}

void ApplyDifferences(const SharpenJob& job) {
    for (int32_t y = 0; y < job.height; ++y) {
        for (int32_t x = 0; x < job.width; ++x) {
            const int64_t at = static_cast<int64_t>(y) * job.stride + 3 * x;
            const int8_t* d = job.diffRows + at;
            const uint8_t* src = job.srcRows + at;
            uint8_t* dst = job.dstRows + at;
            if (std::abs(d[0]) + std::abs(d[1]) + std::abs(d[2]) > kSharpenThreshold) {
                for (int c = 0; c < 3; ++c) dst[c] = job.clamp[src[c] + job.products[d[c] + 128]];
            } else {
                for (int c = 0; c < 3; ++c) dst[c] = src[c];
            }
        }
    }
}

}  // namespace

void BuildFilterTables(FilterWorkspace& workspace) {
    for (int i = 0; i < 256; ++i) {
        workspace.blend[i][0] = workspace.blend[0][i] = 0;
        workspace.blend[i][255] = workspace.blend[255][i] = static_cast<uint8_t>(i);
    }
    for (int i = 1; i <= 254; ++i) {
        const int64_t a = 65536 * i / 255;
        for (int j = i; j <= 254; ++j)
            workspace.blend[i][j] = workspace.blend[j][i] = static_cast<uint8_t>((a * j + 32768) >> 16);
    }
    workspace.div25[0] = 0;
    for (int s = 1; s <= 6375; ++s) workspace.div25[s] = static_cast<uint8_t>((35389 + 2621 * (s - 1)) >> 16);
    for (int d = -128; d <= 127; ++d) {
        workspace.sharpenProducts[0][d + 128] = 0;
        for (int k = 1; k <= 100; ++k) workspace.sharpenProducts[k][d + 128] = static_cast<int16_t>((k * d) >> 3);
    }
    for (int v = -kClampCentre; v <= 1842; ++v)
        workspace.clamp[v + kClampCentre] = static_cast<uint8_t>(v <= 0 ? 0 : v >= 255 ? 255 : v);
}

bool Resize(int32_t newWidth, int32_t newHeight) {
    if (newWidth < 1 || newHeight < 1 || newWidth > kLargestSide || newHeight > kLargestSide) return false;
    const ResizeJob& job = *resizeJob;
    const int64_t sourceStride = Stride24(job.srcWidth);
    auto* columns = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(sourceStride) * newHeight));
    if (columns == nullptr) return false;
    // Columns first (each byte of a row is one column's channel), then rows.
    const bool done =
        AveragePass(job.srcRows, columns, job.srcHeight, newHeight, sourceStride, sourceStride, job.srcWidth, 3, 3) &&
        AveragePass(columns, job.dstRows, job.srcWidth, newWidth, 3, 3, newHeight, sourceStride, Stride24(newWidth));
    ReleasePages(columns);
    return done;
}

bool Sharpen(uint64_t bufferSize) {
    FittedPicture& picture = fittedPicture;
    if (picture.width < 5 || picture.height < 5) return true;
    auto* output = static_cast<uint8_t*>(AllocatePages(bufferSize));
    if (output == nullptr) return false;
    auto* differences = static_cast<int8_t*>(AllocatePages(bufferSize));
    if (differences == nullptr) {
        ReleasePages(output);
        return false;
    }
    SharpenJob& job = *sharpenJob;
    job.width = picture.width;
    job.height = picture.height;
    job.stride = static_cast<int32_t>(Stride24(picture.width));
    job.srcRows = picture.pixels;
    job.dstRows = output;
    job.diffRows = differences;
    job.div25 = filterWorkspace->div25;
    job.products = filterWorkspace->sharpenProducts[kSharpenAmount];
    job.clamp = filterWorkspace->clamp + kClampCentre;
    BlurAndDifferences(job);
    ApplyDifferences(job);
    ReleasePages(differences);
    ReleasePages(picture.pixels);
    picture.pixels = output;
    return true;
}

bool FitToSlot() {
    FittedPicture& picture = fittedPicture;
    const int32_t W = picture.width;
    const int32_t H = picture.height;
    const int32_t w = picture.slotWidth;
    const int32_t h = picture.slotHeight;
    if (w > W || h > H) return false;
    if (w == W || h == H) {
        if (picture.bitCount != 8 && picture.bitCount != 24) return false;
        const uint64_t bytes = static_cast<uint64_t>(StrideFor(W, picture.bitCount)) * H;
        picture.pixels = static_cast<uint8_t*>(AllocatePages(bytes));
        if (picture.pixels == nullptr) return false;
        memcpy(picture.pixels, picture.sourcePixels, bytes);
        return true;
    }
    const int64_t rw = static_cast<int64_t>(w * 25000.0 / W);
    const int64_t rh = static_cast<int64_t>(h * 25000.0 / H);
    int32_t newWidth;
    int32_t newHeight;
    if (rw < rh) {
        newHeight = h;
        newWidth = static_cast<int32_t>(W * rh / 25000);
        if (newWidth < w) newWidth = w;
    } else {
        newWidth = w;
        newHeight = static_cast<int32_t>(H * rw / 25000);
        if (newHeight < h) newHeight = h;
    }
    uint8_t* const original = picture.sourcePixels;
    uint8_t* copy = nullptr;
    if (picture.bitCount != 24) {
        copy = ConvertTo24(W, H, picture.bitCount);
        if (copy == nullptr) return false;
        picture.sourcePixels = copy;
        picture.bitCount = 24;
    }
    bool result = false;
    const uint64_t bytes = static_cast<uint64_t>(Stride24(newWidth)) * newHeight;
    picture.pixels = static_cast<uint8_t*>(AllocatePages(bytes));
    if (picture.pixels != nullptr) {
        *resizeJob = ResizeJob{W, H, picture.sourcePixels, picture.pixels};
        if (Resize(newWidth, newHeight)) {
            picture.width = newWidth;
            picture.height = newHeight;
            result = Sharpen(bytes);
        }
        if (!result) {
            ReleasePages(picture.pixels);
            picture.pixels = nullptr;
        }
    }
    if (copy != nullptr) {
        ReleasePages(copy);
        picture.sourcePixels = original;
    }
    return result;
}

bool CropToSlot() {
    FittedPicture& picture = fittedPicture;
    const int32_t bits = picture.bitCount;
    if (bits != 8 && bits != 24) return false;
    const int32_t w = picture.slotWidth;
    const int32_t h = picture.slotHeight;
    const int64_t pixelBytes = bits / 8;
    const int64_t targetStride = StrideFor(w, bits);
    auto* cropped = static_cast<uint8_t*>(AllocatePages(static_cast<uint64_t>(targetStride) * h));
    if (cropped == nullptr) return false;
    const int64_t sourceStride = StrideFor(picture.width, bits);
    const int32_t left = (picture.width - w) / 2;
    const int32_t top = (picture.height - h) / 2;
    // Rows are bottom-up: picture row top is memory row height - top - 1.
    const int32_t firstRow = picture.height - top - h;
    for (int32_t r = 0; r < h; ++r)
        memcpy(cropped + r * targetStride, picture.pixels + (firstRow + r) * sourceStride + left * pixelBytes,
               static_cast<size_t>(w * pixelBytes));
    ReleasePages(picture.pixels);
    picture.pixels = cropped;
    picture.width = w;
    picture.height = h;
    return true;
}
