// The third stage of content reading: files of one size and fingerprint (a class) read
// whole and compared byte for byte with a reference.
//
// The first file of a class read whole is its reference: it is digested while the
// files queued with it are compared with it, and those found equal take its key, so a
// set of identical files costs one digest and its members are proven equal rather than
// only alike in MD5. Files that come later are compared with it in batches, by its key
// once that is known; the reference is digested only as long as one of them still
// equals it, unless its key is wanted anyway (a twin by inode). A member that differs
// leaves the class (the fingerprint stage refines it); when the reference cannot be
// read, its members go back to the front of the queue and the first of them becomes
// the next reference.
//
// One job per class at a time, and none while a batch digests its reference: the files
// queued meanwhile wait to be compared with it in one batch, by its key. Batches by a
// known key may run side by side.
//
// The class knows nothing of threads: the pipeline that owns it calls it under its lock
// and reads the batch it took without it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "search/file_record.h"
#include "util/hash_mix.h"

namespace merravine {

/// The size and fingerprint that files of one class share.
struct ClassKey {
    FileLen size;
    uint64_t fingerprint;
    bool operator==(const ClassKey&) const = default;
};

/// What a worker takes from a class for one pass over its reference.
struct ComparisonBatch {
    uint32_t reference = UINT32_MAX;
    bool newReference = false;      ///< the reference was chosen for this batch
    bool digest = false;            ///< the reference's key is not known yet
    std::vector<uint32_t> members;  ///< in the order they were queued
};

class ComparisonStage {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    /// `membersPerPass`: most members compared in one pass (open files, less the reference).
    explicit ComparisonStage(size_t membersPerPass) : membersPerPass_(membersPerPass) {}

    /// Queues file `index` of class `key` for a whole read. True when the class needs a
    /// job now (it then counts as scheduled until Take).
    bool Queue(const ClassKey& key, uint32_t index);
    /// Frees every class once no file is compared any more (after the balance).
    void Release() { decltype(classes_)().swap(classes_); }
    /// The class's reference, whose key is not known, has a twin by inode: it is to be
    /// read for its key. True when the class needs a job now.
    bool WantKey(const ClassKey& key);
    /// True when the class has no reference yet (its next batch chooses one).
    bool NeedsReference(const ClassKey& key) const;
    /// A worker's turn for the class: false when there is nothing to read. Otherwise
    /// `batch` holds the files to read; `again` is true when another job for the class
    /// can run beside this one.
    bool Take(const ClassKey& key, ComparisonBatch& batch, bool& again);
    /// The batch was read. `referenceFailed`: the reference could not be read; `keyed`:
    /// its key was computed. True when the class needs another job.
    bool Finish(const ClassKey& key, const ComparisonBatch& batch, bool referenceFailed,
                bool keyed);
    /// Files queued and not taken yet, over all classes.
    size_t Waiting() const;

  private:
    struct ClassHash {
        size_t operator()(const ClassKey& k) const { return MixPair(k.size, k.fingerprint); }
    };
    struct FileClass {
        uint32_t reference = kNone;    // the file the others are compared with
        bool referenceKeyed = false;   // its key is known
        bool digesting = false;        // a batch reads it while its key is not known
        bool keyWanted = false;        // it has a twin by inode: read it for its key
        bool scheduled = false;        // a job for this class waits
        std::vector<uint32_t> queued;  // files waiting for a whole read, in the order sent
    };
    // Marks the class scheduled when it has work and no job yet.
    static bool Schedule(FileClass& file_class);

    const size_t membersPerPass_;
    std::unordered_map<ClassKey, FileClass, ClassHash> classes_;
};

}  // namespace merravine
