// The end-of-search check of the stages' accounts.
#include "search/stage_balance.h"

#include "util/log.h"

namespace merravine {

const char* StageName(Stage stage) {
    switch (stage) {
        case Stage::Sizes:
            return "size buckets";
        case Stage::FirstReads:
            return "first reads";
        case Stage::Fingerprints:
            return "fingerprint matching";
        case Stage::Comparison:
            return "whole comparison";
    }
    return "?";
}

uint32_t StageBalance::Check(const Counts& held) const {
    uint64_t faults = 0;
    for (size_t i = 0; i < kStageCount; ++i) {
        const uint64_t accounted = out_[i] + held[i];
        if (accounted == in_[i]) continue;
        LogLess(
            "ERROR: search balance: the %s stage took in %llu files but gave out %llu and "
            "holds %llu",
            StageName(static_cast<Stage>(i)), static_cast<unsigned long long>(in_[i]),
            static_cast<unsigned long long>(out_[i]), static_cast<unsigned long long>(held[i]));
        faults += accounted > in_[i] ? accounted - in_[i] : in_[i] - accounted;
    }
    return faults > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(faults);
}

}  // namespace merravine
