// The vertical pass's step, the division of the horizontal pass's sums and
// the sharpening's sums with sixteen 16-bit lanes, compiled for AVX2 on its
// own: nothing here runs unless the processor has it.
#include "engine/fitting/fitting_kernels.h"

#include "engine/fitting/fitting_lanes.h"

#include <immintrin.h>

namespace {

struct Lanes256 {
    using Vector = __m256i;
    static constexpr int kLanes = 16;
    static Vector Set(int16_t value) { return _mm256_set1_epi16(value); }
    static Vector Load(const uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void Store(uint16_t* p, Vector v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    // Thirty-two bytes as two vectors of sixteen, in their order.
    static void Widen(const uint8_t* p, Vector& low, Vector& high) {
        low = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        high = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    }
    // Packing works within each 128-bit half; the permutation puts the
    // four quarters back in order.
    static void PackStore(uint8_t* out, Vector low, Vector high) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_permute4x64_epi64(_mm256_packus_epi16(low, high), 0xD8));
    }
    static Vector Add(Vector a, Vector b) { return _mm256_add_epi16(a, b); }
    static Vector Sub(Vector a, Vector b) { return _mm256_sub_epi16(a, b); }
    static Vector MulHigh(Vector a, Vector b) { return _mm256_mulhi_epu16(a, b); }
    static Vector MulLow(Vector a, Vector b) { return _mm256_mullo_epi16(a, b); }
    static Vector Xor(Vector a, Vector b) { return _mm256_xor_si256(a, b); }
    static Vector And(Vector a, Vector b) { return _mm256_and_si256(a, b); }
    static Vector Greater(Vector a, Vector b) { return _mm256_cmpgt_epi16(a, b); }
    static Vector Equal(Vector a, Vector b) { return _mm256_cmpeq_epi16(a, b); }
    static Vector Min(Vector a, Vector b) { return _mm256_min_epi16(a, b); }
    static Vector Max(Vector a, Vector b) { return _mm256_max_epi16(a, b); }
    static Vector ShiftRightUnsigned(Vector a, int bits) { return _mm256_srli_epi16(a, bits); }
    static Vector ShiftRightSigned(Vector a, int bits) { return _mm256_srai_epi16(a, bits); }
};

}  // namespace

void CloseWindowAvx2(const uint8_t* row, int64_t stride, int32_t count, int32_t carry, uint16_t* spill,
                     const Divider& divider, uint8_t* out, int32_t bytes) {
    CloseWindow<Lanes256>(row, stride, count, carry, spill, divider, out, bytes);
}

void SharpenSumsAvx2(const uint8_t* const* rows, int32_t width, int32_t left, int32_t w, uint16_t* columnSums,
                     uint8_t* sharpened, uint8_t* size) {
    SharpenSums<Lanes256>(rows, width, left, w, columnSums, sharpened, size);
}

void DivideSumsAvx2(const uint16_t* sums, int32_t count, const Divider& divider, uint8_t* out) {
    DivideSums<Lanes256>(sums, count, divider, out);
}
