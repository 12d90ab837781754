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

// The trial of a writer whose EncodeToMemory(rows, quality) leaves its
// stream's length in encodedLength.
template <class Writer>
class MemoryTrial final : public QualityTrial {
public:
    MemoryTrial(Writer& writer, const uint8_t* rows) : writer_(writer), rows_(rows) {}
    bool EncodeAt(int32_t quality, uint32_t& length) override {
        if (!writer_.EncodeToMemory(rows_, quality)) return false;
        length = writer_.encodedLength;
        return true;
    }

private:
    Writer& writer_;
    const uint8_t* rows_;
};

// Encodes at 100 and, when that is longer than limitKiB KiB, searches down
// for the highest quality that fits (1 when none does). The trial's last
// encode is then the stream to write. False as soon as an encode fails.
// trace, when set, is told of the quality of each encode.
bool SearchQualityWithinLimit(QualityTrial& trial, int32_t limitKiB, void (*trace)(int32_t quality));
