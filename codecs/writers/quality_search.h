// The size limit's search over quality, one for every writer that has a
// quality, so that a limit picks its quality by the same steps in each format.
#pragma once

#ifndef FRAMELET_LAYER_CODECS
#error "readers and writers are for the codecs library and the layers above it"
#endif

#include <cstdint>

// One writer's encode into memory at a given quality.
class QualityTrial {
public:
    // False on a failure; otherwise the stream's length in length.
    virtual bool EncodeAt(int32_t quality, uint32_t& length) = 0;

protected:
    ~QualityTrial() = default;
};

// Encodes at 100 and, when that is longer than limitKiB KiB, searches down
// for the highest quality that fits (1 when none does). The trial's last
// encode is then the stream to write. False as soon as an encode fails.
// trace, when set, is told of the quality of each encode.
bool SearchQualityWithinLimit(QualityTrial& trial, int32_t limitKiB, void (*trace)(int32_t quality));
