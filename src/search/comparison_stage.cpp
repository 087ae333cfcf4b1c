// Classes of files compared whole with a reference, and the batches taken from them.
#include "search/comparison_stage.h"

#include <algorithm>

namespace merravine {
namespace {

// Bytes of members read in one pass: large files go a few at a time, so their outcomes
// come in as the pass goes and the other workers can take the rest of the class.
constexpr FileLen kBatchBytes = 64 << 20;

}  // namespace

bool ComparisonStage::Schedule(FileClass& file_class) {
    if (file_class.scheduled || file_class.digesting) return false;
    if (file_class.queued.empty() && !file_class.keyWanted) return false;
    file_class.scheduled = true;
    return true;
}

bool ComparisonStage::Queue(const ClassKey& key, uint32_t index) {
    FileClass& file_class = classes_[key];
    file_class.queued.push_back(index);
    return Schedule(file_class);
}

bool ComparisonStage::WantKey(const ClassKey& key) {
    FileClass& file_class = classes_[key];
    file_class.keyWanted = true;
    return Schedule(file_class);
}

bool ComparisonStage::NeedsReference(const ClassKey& key) const {
    const auto it = classes_.find(key);
    return it == classes_.end() || it->second.reference == kNone;
}

bool ComparisonStage::Take(const ClassKey& key, ComparisonBatch& batch, bool& again) {
    again = false;
    FileClass& file_class = classes_[key];
    file_class.scheduled = false;
    if (file_class.digesting) return false;
    const bool key_wanted =
        file_class.keyWanted && file_class.reference != kNone && !file_class.referenceKeyed;
    file_class.keyWanted = false;
    if (file_class.queued.empty() && !key_wanted) return false;
    batch.newReference = file_class.reference == kNone;
    const FileLen per_file = std::max<FileLen>(key.size, 1);
    const auto members =
        static_cast<size_t>(std::clamp<FileLen>(kBatchBytes / per_file, 1, membersPerPass_));
    const size_t take = std::min(file_class.queued.size(), members + (batch.newReference ? 1 : 0));
    const auto end = file_class.queued.begin() + static_cast<std::ptrdiff_t>(take);
    batch.members.assign(file_class.queued.begin(), end);
    file_class.queued.erase(file_class.queued.begin(), end);
    // Most classes are read once: an emptied queue keeps no memory for each of them.
    if (file_class.queued.empty()) std::vector<uint32_t>().swap(file_class.queued);
    if (batch.newReference) {
        file_class.reference = batch.members.front();
        batch.members.erase(batch.members.begin());
    }
    batch.reference = file_class.reference;
    batch.digest = !file_class.referenceKeyed;
    if (batch.digest) file_class.digesting = true;
    again = Schedule(file_class);
    return true;
}

bool ComparisonStage::Finish(const ClassKey& key, const ComparisonBatch& batch,
                             bool referenceFailed, bool keyed) {
    FileClass& file_class = classes_[key];
    if (batch.digest) {
        file_class.digesting = false;
        if (!referenceFailed && keyed) file_class.referenceKeyed = true;
    }
    if (referenceFailed) {
        // The reference is gone (a keyed one keeps its key): the members wait for the
        // next batch, where the first of them becomes the class's reference.
        file_class.reference = kNone;
        file_class.referenceKeyed = false;
        file_class.queued.insert(file_class.queued.begin(), batch.members.begin(),
                                 batch.members.end());
    }
    return !file_class.queued.empty() && Schedule(file_class);
}

size_t ComparisonStage::Waiting() const {
    size_t waiting = 0;
    for (const auto& [key, file_class] : classes_) waiting += file_class.queued.size();
    return waiting;
}

}  // namespace merravine
