#include "codecs/writers/quality_search.h"

namespace {

// One encode; fits tells whether its stream is at most limit bytes.
bool Attempt(QualityTrial& trial, void (*trace)(int32_t), int32_t quality, int64_t limit, bool& fits) {
    if (trace != nullptr) trace(quality);
    uint32_t length = 0;
    if (!trial.EncodeAt(quality, length)) return false;
    fits = static_cast<int64_t>(length) <= limit;
    return true;
}

}  // namespace

bool SearchQualityWithinLimit(QualityTrial& trial, int32_t limitKiB, void (*trace)(int32_t quality)) {
    // In 64 bits, so that a large setting cannot wrap round to a negative limit.
    const int64_t limit = static_cast<int64_t>(limitKiB) * 1024;
    bool fits = false;
    if (!Attempt(trial, trace, 100, limit, fits)) return false;
    if (fits) return true;
    int32_t lastTooBig = 100;
    int32_t step = 31;
    int32_t bestFit = 0;  // the highest quality that fitted so far
    for (int32_t quality = 69; quality >= 1;) {
        if (!Attempt(trial, trace, quality, limit, fits)) return false;
        if (!fits) {
            lastTooBig = quality;
            if (quality == 7) step = 1;
            quality -= step;
        } else {
            if (quality > bestFit) bestFit = quality;
            if (step == 1) break;
            step /= 2;
            quality = lastTooBig - step;
        }
    }
    // The search can end on an attempt over the limit after one below it
    // (a picture that fits at 7 ends on 8): that one is encoded again.
    return fits || bestFit == 0 || Attempt(trial, trace, bestFit, limit, fits);
}
