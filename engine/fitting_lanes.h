// The vertical pass's inner step and the division of sums, written once for
// any width of 16-bit lanes: Lanes128 (SSE2, every build) and Lanes256
// (AVX2, compiled on its own and chosen at run time where the processor has
// it). Everything here has internal linkage, so each file that includes it,
// compiled for its own instruction set, keeps its own copy.
#pragma once

#ifndef FRAMELET_LAYER_ENGINE
#error "engine headers are for the engine library and the app"
#endif

#include "engine/fitting_kernels.h"

#include <cstdint>

namespace {

// The part of a sample that belongs to the next window, rounded down.
inline int32_t Spill(uint8_t sample, int32_t carry) { return (sample * carry) >> 15; }

// The spill of every byte of a row, 2 x L::kLanes at a time. For 16-bit
// lanes, (2p x carry) >> 16 is (p x carry) >> 15, as carry < 32768.
template <class L>
void SetSpill(const uint8_t* row, int32_t carry, uint16_t* spill, int32_t bytes) {
    using V = typename L::Vector;
    const V part = L::Set(static_cast<int16_t>(carry));
    int32_t j = 0;
    for (; j + 2 * L::kLanes <= bytes; j += 2 * L::kLanes) {
        V low, high;
        L::Widen(row + j, low, high);
        L::Store(spill + j, L::MulHigh(L::Add(low, low), part));
        L::Store(spill + j + L::kLanes, L::MulHigh(L::Add(high, high), part));
    }
    for (; j < bytes; ++j) spill[j] = static_cast<uint16_t>(Spill(row[j], carry));
}

// The divider in registers, for a row's worth of divisions.
template <class L>
struct DividerLanes {
    typename L::Vector high, low;
    int32_t runs;
    typename L::Vector below[kDividerRuns], above[kDividerRuns];  // a run's first quotient less one, its last plus one
    const uint8_t* table;
    bool multiply;
};

template <class L>
DividerLanes<L> LoadDivider(const Divider& divider) {
    DividerLanes<L> lanes{};
    lanes.high = L::Set(static_cast<int16_t>(divider.high));
    lanes.low = L::Set(static_cast<int16_t>(divider.low));
    lanes.runs = divider.runs;
    for (int32_t r = 0; r < divider.runs; ++r) {
        lanes.below[r] = L::Set(static_cast<int16_t>(divider.runFirst[r] - 1));
        lanes.above[r] = L::Set(static_cast<int16_t>(divider.runLast[r] + 1));
    }
    lanes.table = divider.table;
    lanes.multiply = divider.multiply;
    return lanes;
}

// The quotients of 16-bit sums: i x factor is P1 2^32 + (P0 + Q1) 2^16 + Q0
// with P = i x high and Q = i x low, so the quotient is P1 plus the carry
// out of P0 + Q1, and the sum is exact where P0 + Q1 ends in 16 zeros.
template <class L>
inline typename L::Vector Divide(typename L::Vector sums, const DividerLanes<L>& divider) {
    using V = typename L::Vector;
    const V sign = L::Set(static_cast<int16_t>(0x8000));
    const V p0 = L::MulLow(sums, divider.high);
    const V middle = L::Add(p0, L::MulHigh(sums, divider.low));
    const V carried = L::Greater(L::Xor(p0, sign), L::Xor(middle, sign));
    V quotients = L::Sub(L::MulHigh(sums, divider.high), carried);
    if (divider.runs == 0) return quotients;
    V inRun = L::Set(0);
    for (int32_t r = 0; r < divider.runs; ++r)
        inRun = L::Or(inRun, L::And(L::Greater(quotients, divider.below[r]), L::Greater(divider.above[r], quotients)));
    const V exact = L::Equal(middle, L::Set(0));
    return L::Add(quotients, L::And(inRun, exact));
}

// 2 x L::kLanes averages from their sums, into out.
template <class L>
inline void DivideStep(typename L::Vector low, typename L::Vector high, const DividerLanes<L>& divider, uint8_t* out) {
    if (divider.multiply) {
        L::PackStore(out, Divide<L>(low, divider), Divide<L>(high, divider));
        return;
    }
    uint16_t sums[2 * L::kLanes];
    L::Store(sums, low);
    L::Store(sums + L::kLanes, high);
    const uint8_t* table = divider.table;  // held in a register: out may alias anything
    for (int lane = 0; lane < 2 * L::kLanes; lane += 4) {
        out[lane] = table[sums[lane]];
        out[lane + 1] = table[sums[lane + 1]];
        out[lane + 2] = table[sums[lane + 2]];
        out[lane + 3] = table[sums[lane + 3]];
    }
}

// One output row over every byte column, 2 x L::kLanes at a time: the
// window's rows added to the spill it starts with, less the closing row's
// spill, which stays behind as the next window's start, divided into out.
// The closing row's spill is taken as in SetSpill.
template <class L>
void CloseWindow(const uint8_t* row, int64_t stride, int32_t count, int32_t carry, uint16_t* spill,
                 const Divider& divider, uint8_t* out, int32_t bytes) {
    using V = typename L::Vector;
    const DividerLanes<L> lanes = LoadDivider<L>(divider);
    const V part = L::Set(static_cast<int16_t>(carry));
    const uint8_t* closing = row + (count - 1) * stride;
    int32_t j = 0;
    for (; j + 2 * L::kLanes <= bytes; j += 2 * L::kLanes) {
        V low = L::Load(spill + j);
        V high = L::Load(spill + j + L::kLanes);
        V lastLow = L::Set(0), lastHigh = L::Set(0);
        for (const uint8_t* in = row + j; in <= closing + j; in += stride) {
            L::Widen(in, lastLow, lastHigh);
            low = L::Add(low, lastLow);
            high = L::Add(high, lastHigh);
        }
        const V spillLow = L::MulHigh(L::Add(lastLow, lastLow), part);
        const V spillHigh = L::MulHigh(L::Add(lastHigh, lastHigh), part);
        DivideStep<L>(L::Sub(low, spillLow), L::Sub(high, spillHigh), lanes, out + j);
        L::Store(spill + j, spillLow);
        L::Store(spill + j + L::kLanes, spillHigh);
    }
    for (; j < bytes; ++j) {
        int32_t sum = spill[j];
        for (int32_t i = 0; i < count; ++i) sum += row[i * stride + j];
        spill[j] = static_cast<uint16_t>(Spill(closing[j], carry));
        out[j] = divider.table[sum - spill[j]];
    }
}

}  // namespace
