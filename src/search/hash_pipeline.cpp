// The coordinator of content reading: the walk's hand-over, the hash workers, and the
// hand-offs of files between the stages.
#include "search/hash_pipeline.h"

#include <algorithm>

#include "platform/disk_layout.h"
#include "platform/file_read.h"
#include "search/content_key.h"
#include "search/disk_order.h"
#include "search/engine_internals.h"
#include "util/hash_mix.h"
#include "util/log.h"

namespace merravine {
namespace {

constexpr size_t kWakeBatch = 64;        // queued jobs that wake an idle worker during the walk
constexpr size_t kHandOverBatch = 32;    // files the walk hands over under one lock
constexpr size_t kFirstReads = 16;       // first reads a worker takes under one lock
constexpr size_t kDiskFirstReads = 256;  // the same when they are put in disk order
constexpr size_t kBatchFiles = 32;       // most files compared in one pass over a reference
constexpr size_t kTogetherFiles = 16;    // files of small classes a worker takes to read at once
// Descriptors the rest of the process may hold beside the readers: the walk's open
// folders, the page connection, the log and the databases.
constexpr uint64_t kOtherDescriptors = 96;

// True when the files are best read in disk order: the tuning says so, or a search
// folder lies on a disk that rotates.
bool UseDiskOrder(const SearchEngine& engine) {
    if (engine.tuning.diskOrder != DiskOrder::Auto)
        return engine.tuning.diskOrder == DiskOrder::Always;
    for (const std::string& folder : engine.settings.searchDirs) {
        if (platform::PathRotation(folder) == platform::Rotation::Rotating) {
            LogLess("%s lies on a rotating disk: files are read one at a time in disk order",
                    folder.c_str());
            return true;
        }
    }
    return false;
}

size_t WorkerCount(const SearchTuning& tuning) {
    if (tuning.hashThreads > 0) return static_cast<size_t>(tuning.hashThreads);
    return std::max(1u, std::thread::hardware_concurrency());
}

// Members a worker compares in one pass, so that all workers together keep within
// the process's descriptors (each pass also holds its reference open). Should the
// limit still be met, the opens wait for a descriptor instead of failing.
size_t MembersPerPass(size_t workers) {
    const uint64_t limit = platform::OpenFileLimit();
    const uint64_t free = limit > kOtherDescriptors ? limit - kOtherDescriptors : 0;
    const uint64_t each = free / std::max<size_t>(workers, 1);
    return static_cast<size_t>(std::clamp<uint64_t>(each > 1 ? each - 1 : 1, 1, kBatchFiles));
}
}  // namespace

HashPipeline::HashPipeline(SearchEngine& engine, const Listing& listing, ContentCache* cache)
    : engine_(engine),
      listing_(listing),
      cache_(cache),
      diskOrder_(UseDiskOrder(engine)),
      workerCount_(diskOrder_ ? 1 : WorkerCount(engine.tuning)),
      fingerprints_(engine.tuning.bucketWalkLimit),
      comparison_(MembersPerPass(workerCount_)),
      keys_(cache != nullptr) {
    // A state change (an abort) must wake the search thread waiting for an outcome.
    SetStateWake(engine_, [this] {
        { std::lock_guard lock(mutex_); }
        outcomes_.notify_all();
    });
    for (size_t i = 0; i < workerCount_; ++i) workers_.emplace_back([this] { WorkerMain(); });
}

HashPipeline::~HashPipeline() { Stop(); }

void HashPipeline::Stop() {
    SetStateWake(engine_, {});
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        stopping_flag_.store(true);
    }
    jobsReady_.notify_all();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
}

// While the walk goes on, an idle worker is woken only once a few jobs wait: waking
// it for each file would cost two system calls and a context switch per file. Nobody
// waits for an outcome before the walk ends, and its end wakes every worker.
void HashPipeline::ReleaseMatching() {
    fingerprints_.ReleaseTable();
    comparison_.Release();
}

void HashPipeline::PushJob(Job job) {
    jobs_.push_back(job);
    if (walkDone_ || jobs_.size() >= kWakeBatch) jobsReady_.notify_one();
}

void HashPipeline::Queue(uint32_t index, SizeBuckets::Bucket& bucket) {
    status_[index] = kQueued;
    ++bucket.firstOwed;
    balance_.Move(Stage::Sizes, Stage::FirstReads);
    Plan(FirstReadBytes(listing_.files[index].size));
    engine_.firstReadsPlanned.fetch_add(1, std::memory_order_relaxed);
    PushJob(Job{index, false, 0});
}

// The walk hands files over in small batches: one lock for a batch keeps the walk,
// which bounds the whole search on trees of small files, from queueing behind the
// workers at every file.
void HashPipeline::AddFile(uint32_t index, uint64_t device, uint64_t inode, uint32_t links,
                           int64_t modifyNs, int64_t changeNs) {
    added_.push_back(Added{index, links, device, inode, modifyNs, changeNs});
    if (added_.size() >= kHandOverBatch) HandOver();
}

void HashPipeline::HandOver() {
    if (added_.empty()) return;
    std::unique_lock lock(mutex_);
    for (const Added& added : added_) Take(added);
    added_.clear();
    if (jobs_.size() < engine_.tuning.maxQueuedJobs) return;
    walkWaits_ = true;
    jobsReady_.notify_all();
    outcomes_.wait(lock, [this] {
        return stopping_ || jobs_.size() <= engine_.tuning.maxQueuedJobs / 2 ||
               engine_.state.load() == W_ABORT;
    });
    walkWaits_ = false;
}

void HashPipeline::Take(const Added& added) {
    const uint32_t index = added.index;
    const FileLen size = listing_.files[index].size;
    status_.push_back(kIdle);
    fingerprints_.Add();
    keys_.Add();
    if (cache_ != nullptr) {
        cacheUse_.push_back(0);
        facts_.push_back(Identity{added.device, added.inode, added.modifyNs, added.changeNs});
    }
    SizeBuckets::Bucket& bucket = sizes_.Add(index, size, added.device, added.inode, added.links);
    balance_.In(Stage::Sizes);
    if (size == 0) {
        balance_.Out(Stage::Sizes);  // empty: equal to every other empty file
        return;
    }
    if (bucket.count < 2) return;  // held while alone in its size
    fingerprints_.Grew(
        sizes_, size, bucket, [this](uint32_t file) { return Fingerprinted(status_[file]); },
        [this](uint32_t file) { Escalate(file); });
    if (bucket.count == 2 && status_[bucket.head] == kIdle) Queue(bucket.head, bucket);
    const uint32_t primary = sizes_.Primary(index);
    if (primary == index) {
        Queue(index, bucket);
        return;
    }
    balance_.Out(Stage::Sizes);  // an alias shares its first name's outcome
    if (status_[primary] == kReference) {
        // A reference nothing else matched has a twin by inode now: it needs its key.
        const ClassKey key = ClassOf(primary);
        if (comparison_.WantKey(key)) PushJob(Job{primary, true, key.fingerprint});
    } else {
        Escalate(primary);
    }
}

void HashPipeline::FinishWalk() {
    HandOver();
    {
        std::lock_guard lock(mutex_);
        walkDone_ = true;
    }
    jobsReady_.notify_all();
    outcomes_.notify_all();
}

// From the fingerprint stage to the comparison stage: the file is read whole.
void HashPipeline::Escalate(uint32_t index) {
    if (status_[index] != kPrefixed) return;
    status_[index] = kWholeQueued;
    const FileLen size = listing_.files[index].size;
    ++sizes_.Of(size).wholeOwed;
    balance_.Move(Stage::Fingerprints, Stage::Comparison);
    Plan(size);
    engine_.bytesEscalated.fetch_add(size, std::memory_order_relaxed);
    const ClassKey key = ClassOf(index);
    if (comparison_.Queue(key, index)) PushJob(Job{index, true, key.fingerprint});
}

// Matches a fingerprinted file with the others of its size and escalates the ones
// that agree. Returns true when `index` itself needs its key and its content is in
// the worker's hands (`inHand`): it is then marked kKeying for the worker to digest.
bool HashPipeline::Match(uint32_t index, bool inHand, const SizeBuckets::Bucket& bucket) {
    const bool aliased = sizes_.HasAliases(index);
    const bool agrees = fingerprints_.Match(
        index, listing_.files[index].size, sizes_, bucket,
        [this](uint32_t file) { return Fingerprinted(status_[file]); },
        [this](uint32_t file) { Escalate(file); });
    if (!agrees && !aliased) return false;
    if (inHand) {
        status_[index] = kKeying;
        balance_.Move(Stage::Fingerprints, Stage::FirstReads);
        return true;
    }
    Escalate(index);
    return false;
}

void HashPipeline::WorkerMain() {
    try {
        HashScratch scratch;
        const size_t block = std::max<size_t>(engine_.tuning.readBufferSize, 1);
        scratch.buffer.resize(block + 1);
        scratch.other.resize(block + 1);
        FirstReadBatch firsts;
        firsts.held.resize(FirstReadShare() * (PrefixSize() + 1));
        firsts.spare.resize(FirstReadShare() * (PrefixSize() + 1));
        ReadContext context;
        context.faultHook = &EngineInternals::IoHook(engine_);
        context.wantSha = cache_ != nullptr;
        context.readCounter = &engine_.bytesRead;
        context.keepGoing = [this] {
            if (stopping_flag_.load(std::memory_order_relaxed)) return false;
            return HoldWhilePaused(engine_);
        };
        FileLen planned = 0;  // bytes planned for the job in hand
        std::vector<ClassBatch> batches;
        for (;;) {
            batches.clear();
            firsts.indices.clear();
            {
                std::unique_lock lock(mutex_);
                jobsReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (stopping_) return;
                // Either class batches (one, or small ones up to a batch of reads), or a
                // few first reads (a fair share of those waiting, so the other workers
                // are not left idle at the end).
                const size_t share = std::min(FirstReadShare(), jobs_.size() / workerCount_ + 1);
                planned = 0;
                size_t together_files = 0;
                while (!jobs_.empty() && firsts.indices.size() < share) {
                    const Job job = jobs_.front();
                    if (job.whole && !firsts.indices.empty()) break;
                    const FileEntry& entry = listing_.files[job.index];
                    if (!job.whole) {
                        if (!batches.empty()) break;
                        jobs_.pop_front();
                        firsts.indices.push_back(job.index);
                        planned += FirstReadBytes(entry.size);
                        continue;
                    }
                    const bool small = ReadsTogether(entry.size, scratch, context);
                    if (!batches.empty() && !small) break;
                    jobs_.pop_front();
                    ClassBatch batch;
                    if (TakeBatch(ClassKey{entry.size, job.fingerprint}, batch)) {
                        planned += entry.size * (batch.taken.members.size() +
                                                 (batch.taken.newReference ? 1 : 0));
                        together_files += batch.taken.members.size() + 1;
                        batches.push_back(std::move(batch));
                    }
                    if (!small || together_files >= kTogetherFiles) break;
                    if (batches.empty()) break;
                }
                ++busy_;
                if (walkWaits_ && jobs_.size() <= engine_.tuning.maxQueuedJobs / 2)
                    outcomes_.notify_all();
            }
            if (!batches.empty()) {
                ReadBatches(batches, scratch, context);
            } else if (!firsts.indices.empty()) {
                if (diskOrder_) OrderForDisk(firsts.indices);
                FirstReads(firsts, scratch, context);
                engine_.firstReadsDone.fetch_add(static_cast<uint32_t>(firsts.indices.size()),
                                                 std::memory_order_relaxed);
            }
            SettleProgress(planned, context);
            bool quiet = false;
            {
                std::lock_guard lock(mutex_);
                --busy_;
                quiet = Quiet() && awaited_ != kNone;
            }
            if (quiet) outcomes_.notify_all();
        }
    } catch (const std::exception& failure) {
        LogLess("hash worker failed: %s", failure.what());
    } catch (...) {
        LogLess("hash worker failed");
    }
}

void HashPipeline::SettleProgress(FileLen planned, ReadContext& context) {
    engine_.bytesRead.fetch_add(context.bytesRead - context.published, std::memory_order_relaxed);
    if (planned > context.bytesRead) {
        engine_.bytesCredited.fetch_add(planned - context.bytesRead, std::memory_order_relaxed);
    } else {
        Plan(context.bytesRead - planned);
    }
    context.bytesRead = 0;
    context.published = 0;
}

// First reads of a few files, their outcomes published under one lock. The content
// of a small file stays in `held` until it is known whether its key is wanted.
size_t HashPipeline::FirstReadShare() const { return diskOrder_ ? kDiskFirstReads : kFirstReads; }

// Puts first reads in the order their files lie on the disk. A file that cannot be
// located keeps its place among those whose place is unknown; its read tells why.
void HashPipeline::OrderForDisk(std::vector<uint32_t>& indices) const {
    if (indices.size() < 2) return;
    std::vector<DiskPlace> places;
    places.reserve(indices.size());
    for (const uint32_t index : indices) {
        platform::FileLocation location;
        DiskPlace place;
        place.index = index;
        if (platform::LocateFile(listing_.FullPath(listing_.files[index]), location) == 0) {
            place.device = location.device;
            place.inode = location.inode;
            place.hasPhysical = location.hasPhysical;
            place.physical = location.physical;
        }
        places.push_back(place);
    }
    indices = DiskReadOrder(std::move(places));
}

void HashPipeline::FirstReads(FirstReadBatch& firsts, HashScratch& scratch, ReadContext& context) {
    const size_t prefix_size = PrefixSize();
    firsts.results.clear();
    firsts.reads.clear();
    // The cache answers first; the files it cannot answer for are read together.
    for (size_t i = 0; i < firsts.indices.size(); ++i) {
        FirstResult result;
        result.index = firsts.indices[i];
        result.size = listing_.files[result.index].size;
        result.held = firsts.held.data() + i * (prefix_size + 1);
        if (!HoldWhilePaused(engine_)) return;
        if (cache_ != nullptr && FromCache(result)) {
            engine_.firstReadsCached.fetch_add(1, std::memory_order_relaxed);
            engine_.bytesCached.fetch_add(FirstReadBytes(result.size), std::memory_order_relaxed);
        } else if (result.size <= ContentKey{}.bytes.size()) {  // the content is the key
            const std::string path = listing_.FullPath(listing_.files[result.index]);
            result.error = ComputeKey(path, result.size, scratch, context, result.key);
            if (result.error == kReadAborted) return;
            if (result.error != 0) LogDebug("cannot read %s (%d)", path.c_str(), result.error);
            result.keyed = true;
            result.sha = context.sha;
        } else {
            FingerprintRead read;
            read.path = listing_.FullPath(listing_.files[result.index]);
            read.size = result.size;
            read.block = firsts.held.data() + i * (prefix_size + 1);
            firsts.reads.push_back(std::move(read));
        }
        firsts.results.push_back(result);
    }
    if (!firsts.reads.empty()) {
        if (!HoldWhilePaused(engine_)) return;
        ComputeFingerprints(firsts.reads, prefix_size, firsts.spare.data(), context);
        size_t next = 0;
        for (FirstResult& result : firsts.results) {
            if (result.cached || result.keyed) continue;
            const FingerprintRead& read = firsts.reads[next++];
            if (read.error == kReadAborted) return;
            if (read.error != 0) LogDebug("cannot read %s (%d)", read.path.c_str(), read.error);
            result.error = read.error;
            result.fingerprint = read.fingerprint;
        }
    }
    bool wake = false;
    bool digest = false;
    {
        std::lock_guard lock(mutex_);
        PublishFirstReads(firsts, digest, wake);
    }
    if (digest) {
        // Small files with a fingerprint twin: their content is still held.
        for (FirstResult& result : firsts.results) {
            if (!result.digest) continue;
            DigestContent(result.held, result.size, scratch, context, result.key, result.sha);
        }
        std::lock_guard lock(mutex_);
        for (const FirstResult& result : firsts.results) {
            if (!result.digest) continue;
            SetKey(result.index, result.key, result.sha);
            balance_.Out(Stage::FirstReads);
            --sizes_.Of(result.size).firstOwed;
            wake = wake || Awaited(result.size);
        }
    }
    if (wake) outcomes_.notify_all();
}

// Hands each first read's result on: an outcome (unreadable, or a key), or a
// fingerprint for the fingerprint stage to match. Caller holds the lock.
void HashPipeline::PublishFirstReads(FirstReadBatch& firsts, bool& digest, bool& wake) {
    const size_t prefix_size = PrefixSize();
    for (FirstResult& result : firsts.results) {
        SizeBuckets::Bucket& bucket = sizes_.Of(result.size);
        if (StageLoses(ReadStage::FirstRead, result.index)) continue;
        if (result.error != 0) {
            SetUnreadable(result.index);
            balance_.Out(Stage::FirstReads);
        } else if (result.cached && result.keyed) {
            // Its key is known without a read; files of its size with the same end
            // blocks still need theirs, to be compared with it by SHA-256.
            cacheUse_[result.index] = kFromCacheKey | (result.seenToday ? kCacheSeenToday : 0);
            fingerprints_.Set(result.index, result.fingerprint);
            SetKey(result.index, result.key, result.sha);
            balance_.Out(Stage::FirstReads);
            if (result.size > ContentKey{}.bytes.size()) Match(result.index, false, bucket);
        } else if (result.keyed) {
            SetKey(result.index, result.key, result.sha);
            balance_.Out(Stage::FirstReads);
        } else {
            if (result.cached)
                cacheUse_[result.index] =
                    kFromCacheFingerprint | (result.seenToday ? kCacheSeenToday : 0);
            fingerprints_.Set(result.index, result.fingerprint);
            status_[result.index] = kPrefixed;
            balance_.Move(Stage::FirstReads, Stage::Fingerprints);
            // A file the cache answered is not in hand: should it need its key, it is
            // read whole like a larger file.
            result.digest =
                Match(result.index, !result.cached && result.size <= prefix_size, bucket);
            digest = digest || result.digest;
        }
        if (!result.digest) --bucket.firstOwed;
        wake = wake || Awaited(result.size);
    }
}

// Compares each class taken. Small classes go in groups whose files are read in one
// batch; a class alone, or one too large to share the batch, is compared by itself.
void HashPipeline::ReadBatches(std::vector<ClassBatch>& batches, HashScratch& scratch,
                               ReadContext& context) {
    if (!HoldWhilePaused(engine_)) return;
    std::vector<ClassComparison> group;
    size_t first = 0;  // the first batch not compared yet
    while (first < batches.size()) {
        size_t compared = 0;
        if (batches.size() - first >= 2) {
            group.clear();
            for (size_t i = first; i < batches.size(); ++i) {
                ClassBatch& batch = batches[i];
                ClassComparison one;
                one.referencePath = &batch.referencePath;
                one.size = batch.classKey.size;
                one.digest = DigestOf(batch);
                one.members = &batch.compared;
                group.push_back(one);
            }
            if (!CompareClassesTogether(group, scratch, context, compared)) return;
            for (size_t i = 0; i < compared; ++i) {
                ClassBatch& batch = batches[first + i];
                batch.referenceError = group[i].result;
                batch.keyed = group[i].keyed;
                if (group[i].keyed) {
                    batch.key = group[i].key;
                    batch.sha = group[i].sha;
                }
            }
        }
        if (compared == 0) {  // alone, or too large to be read beside others
            CompareBatch(batches[first], scratch, context);
            if (batches[first].referenceError == kReadAborted) return;
            compared = 1;
        }
        first += compared;
    }
    bool wake = false;
    for (const ClassBatch& batch : batches) {
        if (batch.referenceError != 0) {
            LogDebug("cannot read %s (%d)", batch.referencePath.c_str(), batch.referenceError);
        }
        for (const CompareMember& member : batch.compared) {
            if (member.error != 0)
                LogDebug("cannot read %s (%d)", member.path.c_str(), member.error);
        }
    }
    {
        std::lock_guard lock(mutex_);
        for (const ClassBatch& batch : batches) {
            FinishBatch(batch, batch.referenceError, batch.keyed, batch.key, batch.sha);
            wake = wake || Awaited(batch.classKey.size);
        }
    }
    if (wake) outcomes_.notify_all();
}

void HashPipeline::CompareBatch(ClassBatch& batch, HashScratch& scratch, ReadContext& context) {
    ContentKey key = batch.key;
    context.sha = batch.sha;
    batch.referenceError =
        CompareWithReference(batch.referencePath, batch.classKey.size, DigestOf(batch),
                             batch.compared, scratch, context, key, batch.keyed);
    batch.key = key;
    batch.sha = context.sha;
}

bool HashPipeline::TakeBatch(const ClassKey& key, ClassBatch& batch) {
    bool again = false;
    if (!comparison_.Take(key, batch.taken, again)) return false;
    batch.classKey = key;
    const uint32_t reference = batch.taken.reference;
    if (batch.taken.digest) {
        if (status_[reference] == kReference) {
            status_[reference] = kWholeQueued;
            ++sizes_.Of(key.size).wholeOwed;
        }
        // A file alone in its class was escalated because its key is wanted.
        batch.force = batch.taken.members.empty() || sizes_.HasAliases(reference);
    } else {
        batch.key = keys_.Key(reference);
        batch.sha = keys_.Sha(reference);
    }
    batch.referencePath = listing_.FullPath(listing_.files[reference]);
    batch.compared.resize(batch.taken.members.size());
    for (size_t i = 0; i < batch.taken.members.size(); ++i) {
        batch.compared[i].path = listing_.FullPath(listing_.files[batch.taken.members[i]]);
    }
    if (again) PushJob(Job{reference, true, key.fingerprint});
    return true;
}

void HashPipeline::FinishBatch(const ClassBatch& batch, int referenceError, bool keyed,
                               const ContentKey& key, const ContentKey& sha) {
    SizeBuckets::Bucket& bucket = sizes_.Of(batch.classKey.size);
    const uint32_t reference = batch.taken.reference;
    if (batch.taken.digest) {
        --bucket.wholeOwed;
        if (referenceError != 0) {
            SetUnreadable(reference);
            balance_.Out(Stage::Comparison);
        } else if (keyed) {
            SetKey(reference, key, sha);
            balance_.Out(Stage::Comparison);
        } else {
            status_[reference] = kReference;
        }
    }
    if (referenceError == 0) {
        for (size_t i = 0; i < batch.taken.members.size(); ++i) {
            const uint32_t index = batch.taken.members[i];
            const CompareMember& member = batch.compared[i];
            --bucket.wholeOwed;
            if (StageLoses(ReadStage::Comparison, index)) continue;
            if (member.error != 0) {
                SetUnreadable(index);
                balance_.Out(Stage::Comparison);
            } else if (member.equal) {
                keys_.Share(index, reference);
                status_[index] = kKeyed;
                ++keyedCount_;
                balance_.Out(Stage::Comparison);
            } else {
                Refine(index, member.divergence, bucket);
            }
        }
    }
    if (comparison_.Finish(batch.classKey, batch.taken, referenceError != 0, keyed))
        PushJob(Job{reference, true, batch.classKey.fingerprint});
}

// A file that differs from its class's reference goes back to the fingerprint stage:
// its fingerprint takes in where and how it differs, and it is matched again.
void HashPipeline::Refine(uint32_t index, uint64_t divergence, const SizeBuckets::Bucket& bucket) {
    fingerprints_.Refine(index, divergence);
    status_[index] = kPrefixed;
    balance_.Move(Stage::Comparison, Stage::Fingerprints);
    Match(index, false, bucket);
}

void HashPipeline::SetKey(uint32_t index, const ContentKey& key, const ContentKey& sha) {
    keys_.Set(index, key, sha);
    status_[index] = kKeyed;
    ++keyedCount_;
}

void HashPipeline::SetUnreadable(uint32_t index) {
    status_[index] = kUnreadable;
    ++unreadableCount_;
}

bool HashPipeline::StageLoses(ReadStage stage, uint32_t index) const {
    const StageFaultHook& hook = EngineInternals::StageHook(engine_);
    return hook && hook(stage, listing_.FullPath(listing_.files[index]));
}

bool HashPipeline::Awaited(FileLen size) const {
    return awaited_ != kNone && listing_.files[awaited_].size == size;
}

bool HashPipeline::Settled(uint32_t index) const {
    const FileLen size = listing_.files[index].size;
    if (size == 0) return true;
    const SizeBuckets::Bucket& bucket = sizes_.Of(size);
    if (bucket.count < 2) return walkDone_;
    const Status status = status_[sizes_.Primary(index)];
    if (status == kKeyed || status == kUnreadable) return true;
    if (status != kPrefixed && status != kReference) return false;
    return walkDone_ && bucket.firstOwed == 0 && bucket.wholeOwed == 0;
}

ContentOutcome HashPipeline::FinalOutcome(uint32_t index, ContentKey& key, ContentKey* sha) const {
    const FileLen size = listing_.files[index].size;
    if (size == 0) return ContentOutcome::Empty;
    if (sizes_.Of(size).count < 2) return ContentOutcome::Single;
    const uint32_t primary = sizes_.Primary(index);
    switch (status_[primary]) {
        case kKeyed:
            key = keys_.Key(primary);
            if (sha != nullptr) *sha = keys_.Sha(primary);
            return ContentOutcome::Keyed;
        case kUnreadable:
            return ContentOutcome::Unreadable;
        case kPrefixed:
        case kReference:
            return ContentOutcome::Distinct;
        default:
            return ContentOutcome::Aborted;
    }
}

ContentOutcome HashPipeline::WaitOutcome(uint32_t index, ContentKey& key) {
    std::unique_lock lock(mutex_);
    awaited_ = index;
    outcomes_.wait(lock,
                   [&] { return Settled(index) || Quiet() || engine_.state.load() == W_ABORT; });
    awaited_ = kNone;
    if (!Settled(index)) return ContentOutcome::Aborted;
    return FinalOutcome(index, key);
}

uint32_t HashPipeline::CheckBalance(bool cutShort) const {
    uint32_t faults = 0;
    uint64_t keyed = 0;
    uint64_t unreadable = 0;
    StageBalance::Counts held{};  // files each stage holds as their outcome
    const uint32_t taken = sizes_.Taken();
    for (uint32_t index = 0; index < taken; ++index) {
        if (sizes_.IsAlias(index)) continue;  // a hard link shares its first name's outcome
        const FileLen size = listing_.files[index].size;
        if (size == 0) continue;
        if (sizes_.Of(size).count < 2) {
            ++held[static_cast<size_t>(Stage::Sizes)];
            continue;
        }
        switch (status_[index]) {
            case kKeyed:
                ++keyed;
                break;
            case kUnreadable:
                ++unreadable;
                break;
            case kPrefixed:
                ++held[static_cast<size_t>(Stage::Fingerprints)];
                break;
            case kReference:
                ++held[static_cast<size_t>(Stage::Comparison)];
                break;
            default:
                if (cutShort) break;
                if (++faults <= 8) {
                    LogLess("ERROR: search balance: %s reached no outcome (state %d)",
                            listing_.FullPath(listing_.files[index]).c_str(),
                            static_cast<int>(status_[index]));
                }
        }
    }
    if (keyed != keyedCount_ || unreadable != unreadableCount_) {
        LogLess(
            "ERROR: search balance: %llu keyed and %llu unreadable files, but %llu and %llu "
            "published",
            static_cast<unsigned long long>(keyed), static_cast<unsigned long long>(unreadable),
            static_cast<unsigned long long>(keyedCount_),
            static_cast<unsigned long long>(unreadableCount_));
        faults +=
            static_cast<uint32_t>(keyed > keyedCount_ ? keyed - keyedCount_ : keyedCount_ - keyed);
        faults +=
            static_cast<uint32_t>(unreadable > unreadableCount_ ? unreadable - unreadableCount_
                                                                : unreadableCount_ - unreadable);
    }
    if (!cutShort) {
        faults += balance_.Check(held);
        sizes_.ForEach([&](FileLen size, const SizeBuckets::Bucket& bucket) {
            if (bucket.firstOwed == 0 && bucket.wholeOwed == 0) return;
            LogLess(
                "ERROR: search balance: files of %llu bytes still owe %u first and %u whole reads",
                static_cast<unsigned long long>(size), bucket.firstOwed, bucket.wholeOwed);
            ++faults;
        });
    }
    if (faults > 8) LogLess("ERROR: search balance: %u files out of balance in all", faults);
    return faults;
}

}  // namespace merravine
