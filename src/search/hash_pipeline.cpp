// The hash workers and the bookkeeping that decides which files are read, how much
// of them, and when a file's outcome is final.
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

constexpr uint32_t kMany = UINT32_MAX - 1;  // several files share this fingerprint
constexpr size_t kWakeBatch = 16;           // queued jobs that wake an idle worker during the walk
constexpr size_t kHandOverBatch = 32;       // files the walk hands over under one lock
constexpr size_t kFirstReads = 8;           // first reads a worker takes under one lock
constexpr size_t kDiskFirstReads = 256;     // the same when they are put in disk order
constexpr size_t kBatchFiles = 32;          // most files compared in one pass over a reference
// Descriptors the rest of the process may hold beside the readers: the walk's open
// folders, the page connection, the log and the databases.
constexpr uint64_t kOtherDescriptors = 96;
// Bytes of members read in one pass: large files go a few at a time, so their outcomes
// come in as the pass goes and the other workers can take the rest of the class.
constexpr FileLen kBatchBytes = 64 << 20;

}  // namespace

namespace {
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
      scanLimit_(std::max<uint32_t>(engine.tuning.bucketWalkLimit, 1)),
      diskOrder_(UseDiskOrder(engine)),
      workerCount_(diskOrder_ ? 1 : WorkerCount(engine.tuning)),
      membersPerPass_(MembersPerPass(workerCount_)) {
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
    fingerprints_ = U32KeyTable();
    decltype(classes_)().swap(classes_);
    decltype(inodes_)().swap(inodes_);
}

void HashPipeline::PushJob(Job job) {
    jobs_.push_back(job);
    if (walkDone_ || jobs_.size() >= kWakeBatch) jobsReady_.notify_one();
}

void HashPipeline::Queue(uint32_t index, Bucket& bucket) {
    slots_[index].status = kQueued;
    ++bucket.pending;
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
    std::lock_guard lock(mutex_);
    for (const Added& added : added_) Take(added);
    added_.clear();
}

void HashPipeline::Take(const Added& added) {
    const uint32_t index = added.index;
    const FileLen size = listing_.files[index].size;
    slots_.push_back(Slot{});
    if (cache_ != nullptr)
        facts_.push_back(Identity{added.device, added.inode, added.modifyNs, added.changeNs});
    Slot& slot = slots_[index];
    if (added.links > 1 && size > 0) {
        auto [it, inserted] = inodes_.try_emplace(InodeKey{added.device, added.inode, size}, index);
        if (!inserted) {
            slot.aliasOf = it->second;
            slots_[it->second].hasAliases = true;
        }
    }
    Bucket& bucket = buckets_[size];
    if (bucket.count == 0) {
        bucket.head = index;
    } else {
        slots_[bucket.tail].next = index;
    }
    bucket.tail = index;
    ++bucket.count;
    if (size == 0 || bucket.count < 2) return;
    if (bucket.count == scanLimit_ + 1) MoveToFingerprintTable(bucket, size);
    if (bucket.count == 2 && slots_[bucket.head].status == kIdle) Queue(bucket.head, bucket);
    if (slot.aliasOf == kNone) {
        Queue(index, bucket);
    } else if (slots_[slot.aliasOf].status == kReference) {
        // A reference nothing else matched has a twin by inode now: it needs its key.
        FileClass& file_class = ClassOf(slot.aliasOf);
        file_class.keyWanted = true;
        Schedule(file_class, slot.aliasOf);
    } else {
        Escalate(slot.aliasOf);
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

void HashPipeline::Escalate(uint32_t index) {
    Slot& slot = slots_[index];
    if (slot.status != kPrefixed) return;
    slot.status = kWholeQueued;
    ++buckets_[listing_.files[index].size].whole;
    Plan(listing_.files[index].size);
    engine_.bytesEscalated.fetch_add(listing_.files[index].size, std::memory_order_relaxed);
    FileClass& file_class = ClassOf(index);
    file_class.queued.push_back(index);
    Schedule(file_class, index);
}

// One job per class at a time, and none while a batch digests its reference: the
// files queued meanwhile wait to be compared with it in one batch, by its key.
void HashPipeline::Schedule(FileClass& file_class, uint32_t index) {
    if (file_class.scheduled || file_class.digesting) return;
    if (file_class.queued.empty() && !file_class.keyWanted) return;
    file_class.scheduled = true;
    PushJob(Job{index, true, slots_[index].fingerprint});
}

bool HashPipeline::TakeBatch(const FingerprintKey& class_key, ClassBatch& batch) {
    FileClass& file_class = classes_[class_key];
    file_class.scheduled = false;
    if (file_class.digesting) return false;
    const bool key_wanted =
        file_class.keyWanted && file_class.reference != kNone && !file_class.referenceKeyed;
    file_class.keyWanted = false;
    if (file_class.queued.empty() && !key_wanted) return false;
    const bool new_reference = file_class.reference == kNone;
    const FileLen per_file = std::max<FileLen>(class_key.size, 1);
    const auto members =
        static_cast<size_t>(std::clamp<FileLen>(kBatchBytes / per_file, 1, membersPerPass_));
    const size_t take = std::min(file_class.queued.size(), members + (new_reference ? 1 : 0));
    const auto end = file_class.queued.begin() + static_cast<std::ptrdiff_t>(take);
    batch.members.assign(file_class.queued.begin(), end);
    file_class.queued.erase(file_class.queued.begin(), end);
    if (new_reference) {
        file_class.reference = batch.members.front();
        batch.members.erase(batch.members.begin());
    }
    batch.reference = file_class.reference;
    batch.fingerprint = class_key.fingerprint;
    batch.digest = !file_class.referenceKeyed;
    if (batch.digest) {
        file_class.digesting = true;
        Slot& reference = slots_[batch.reference];
        if (reference.status == kReference) {
            reference.status = kWholeQueued;
            ++buckets_[class_key.size].whole;
        }
        // A file alone in its class was escalated because its key is wanted.
        batch.force = batch.members.empty() || reference.hasAliases;
    } else {
        batch.key = keys_[slots_[batch.reference].keyId];
        if (cache_ != nullptr) batch.sha = shas_[slots_[batch.reference].keyId];
    }
    batch.referencePath = listing_.FullPath(listing_.files[batch.reference]);
    batch.compared.resize(batch.members.size());
    for (size_t i = 0; i < batch.members.size(); ++i) {
        batch.compared[i].path = listing_.FullPath(listing_.files[batch.members[i]]);
    }
    Schedule(file_class, batch.reference);  // by the known key, batches may run side by side
    return true;
}

void HashPipeline::MoveToFingerprintTable(const Bucket& bucket, FileLen size) {
    for (uint32_t member = bucket.head; member != kNone; member = slots_[member].next) {
        const Slot& slot = slots_[member];
        if (!Fingerprinted(slot.status)) continue;
        auto [first, added] = FindOrAddFingerprint(size, slot.fingerprint, member);
        if (!added) *first = kMany;  // the walk of the bucket escalated them already
    }
}

// Matches a fingerprinted file with the others of its size and escalates the ones
// that agree. Returns true when `index` itself needs its key and its content is in
// the worker's hands (`inHand`): it is then marked kKeying for the worker to digest.
bool HashPipeline::AfterFirstRead(uint32_t index, bool inHand, const Bucket& bucket) {
    Slot& slot = slots_[index];
    bool wanted = slot.hasAliases;
    const FileLen size = listing_.files[index].size;
    if (bucket.count <= scanLimit_) {
        // A short bucket is searched directly, which keeps the fingerprint table small.
        for (uint32_t other = bucket.head; other != kNone; other = slots_[other].next) {
            const Slot& candidate = slots_[other];
            if (other == index || candidate.fingerprint != slot.fingerprint) continue;
            if (!Fingerprinted(candidate.status)) continue;
            Escalate(other);
            wanted = true;
        }
    } else {
        // A table hit may be another fingerprint with the same hash: the whole read
        // that follows tells them apart.
        auto [first, added] = FindOrAddFingerprint(size, slot.fingerprint, index);
        if (!added) {
            if (*first != kMany) {
                Escalate(*first);
                *first = kMany;
            }
            wanted = true;
        }
    }
    if (!wanted) return false;
    if (inHand) {
        slot.status = kKeying;
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
        for (;;) {
            ClassBatch batch;
            bool whole = false;
            firsts.indices.clear();
            {
                std::unique_lock lock(mutex_);
                jobsReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (stopping_) return;
                // Either one class batch, or a few first reads (a fair share of those
                // waiting, so the other workers are not left idle at the end).
                const size_t share = std::min(FirstReadShare(), jobs_.size() / workerCount_ + 1);
                planned = 0;
                while (!jobs_.empty() && firsts.indices.size() < share) {
                    const Job job = jobs_.front();
                    if (job.whole && !firsts.indices.empty()) break;
                    jobs_.pop_front();
                    const FileEntry& entry = listing_.files[job.index];
                    if (!job.whole) {
                        firsts.indices.push_back(job.index);
                        planned += FirstReadBytes(entry.size);
                        continue;
                    }
                    batch.size = entry.size;
                    const bool new_reference =
                        classes_[FingerprintKey{entry.size, job.fingerprint}].reference == kNone;
                    whole = TakeBatch(FingerprintKey{entry.size, job.fingerprint}, batch);
                    if (whole)
                        planned = entry.size * (batch.members.size() + (new_reference ? 1 : 0));
                    break;
                }
                ++busy_;
            }
            if (whole) {
                ReadBatch(batch, scratch, context);
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
        for (FirstResult& result : firsts.results) {
            Bucket& bucket = buckets_[result.size];
            if (StageLoses(ReadStage::FirstRead, result.index)) continue;
            if (result.error != 0) {
                SetUnreadable(result.index);
            } else if (result.cached && result.keyed) {
                // Its key is known without a read; files of its size with the same end
                // blocks still need theirs, to be compared with it by SHA-256.
                Slot& slot = slots_[result.index];
                slot.cacheUse = kFromCacheKey | (result.seenToday ? kCacheSeenToday : 0);
                slot.fingerprint = result.fingerprint;
                SetKey(result.index, result.key, result.sha);
                if (result.size > ContentKey{}.bytes.size())
                    AfterFirstRead(result.index, false, bucket);
            } else if (result.keyed) {
                SetKey(result.index, result.key, result.sha);
            } else {
                if (result.cached)
                    slots_[result.index].cacheUse =
                        kFromCacheFingerprint | (result.seenToday ? kCacheSeenToday : 0);
                slots_[result.index].fingerprint = result.fingerprint;
                slots_[result.index].status = kPrefixed;
                // A file the cache answered is not in hand: should it need its key, it is
                // read whole like a larger file.
                result.digest = AfterFirstRead(
                    result.index, !result.cached && result.size <= prefix_size, bucket);
                digest = digest || result.digest;
            }
            if (!result.digest) --bucket.pending;
            wake = wake || Awaited(result.size);
        }
    }
    if (digest) {
        // Small files with a fingerprint twin: their content is still held.
        for (FirstResult& result : firsts.results) {
            if (!result.digest) continue;
            result.key = KeyOfContent(result.held, result.size, scratch.md5);
            if (context.wantSha) {
                scratch.sha.Begin();
                scratch.sha.Update(result.held, static_cast<size_t>(result.size));
                result.sha = scratch.sha.Finish();
            }
        }
        std::lock_guard lock(mutex_);
        for (const FirstResult& result : firsts.results) {
            if (!result.digest) continue;
            SetKey(result.index, result.key, result.sha);
            --buckets_[result.size].pending;
            wake = wake || Awaited(result.size);
        }
    }
    if (wake) outcomes_.notify_all();
}

void HashPipeline::ReadBatch(ClassBatch& batch, HashScratch& scratch, ReadContext& context) {
    if (!HoldWhilePaused(engine_)) return;
    const ReferenceDigest digest = !batch.digest ? ReferenceDigest::None
                                   : batch.force ? ReferenceDigest::Always
                                                 : ReferenceDigest::WhileEqual;
    ContentKey key = batch.key;
    bool keyed = false;
    context.sha = batch.sha;
    const int reference_error = CompareWithReference(batch.referencePath, batch.size, digest,
                                                     batch.compared, scratch, context, key, keyed);
    if (reference_error == kReadAborted) return;
    if (reference_error != 0)
        LogDebug("cannot read %s (%d)", batch.referencePath.c_str(), reference_error);
    for (const CompareMember& member : batch.compared) {
        if (member.error != 0) LogDebug("cannot read %s (%d)", member.path.c_str(), member.error);
    }
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        FinishBatch(batch, reference_error, keyed, key, context.sha);
        wake = Awaited(batch.size);
    }
    if (wake) outcomes_.notify_all();
}

void HashPipeline::FinishBatch(const ClassBatch& batch, int referenceError, bool keyed,
                               const ContentKey& key, const ContentKey& sha) {
    FileClass& file_class = classes_[FingerprintKey{batch.size, batch.fingerprint}];
    Bucket& bucket = buckets_[batch.size];
    Slot& reference = slots_[batch.reference];
    if (batch.digest) {
        file_class.digesting = false;
        --bucket.whole;
        if (referenceError != 0) {
            SetUnreadable(batch.reference);
        } else if (keyed) {
            SetKey(batch.reference, key, sha);
            file_class.referenceKeyed = true;
        } else {
            reference.status = kReference;
        }
    }
    if (referenceError != 0) {
        // The reference is gone (a keyed one keeps its key): the members wait for the
        // next batch, where the first of them becomes the class's reference.
        file_class.reference = kNone;
        file_class.referenceKeyed = false;
        file_class.queued.insert(file_class.queued.begin(), batch.members.begin(),
                                 batch.members.end());
    } else {
        for (size_t i = 0; i < batch.members.size(); ++i) {
            const uint32_t index = batch.members[i];
            const CompareMember& member = batch.compared[i];
            --bucket.whole;
            if (StageLoses(ReadStage::Comparison, index)) continue;
            if (member.error != 0) {
                SetUnreadable(index);
            } else if (member.equal) {
                slots_[index].keyId = reference.keyId;
                slots_[index].status = kKeyed;
                ++keyedCount_;
            } else {
                Refine(index, member.divergence, bucket);
            }
        }
    }
    if (!file_class.queued.empty()) Schedule(file_class, file_class.queued.front());
}

// A file that differs from its class's reference: its fingerprint takes in where and
// how it differs, and it is matched again with the files of its size.
void HashPipeline::Refine(uint32_t index, uint64_t divergence, const Bucket& bucket) {
    Slot& slot = slots_[index];
    slot.fingerprint = MixIn(slot.fingerprint, divergence);
    slot.refined = true;
    slot.status = kPrefixed;
    AfterFirstRead(index, false, bucket);
}

void HashPipeline::SetKey(uint32_t index, const ContentKey& key, const ContentKey& sha) {
    slots_[index].keyId = static_cast<uint32_t>(keys_.size());
    keys_.push_back(key);
    if (cache_ != nullptr) shas_.push_back(sha);
    slots_[index].status = kKeyed;
    ++keyedCount_;
}

void HashPipeline::SetUnreadable(uint32_t index) {
    slots_[index].status = kUnreadable;
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
    const Bucket& bucket = buckets_.at(size);
    if (bucket.count < 2) return walkDone_;
    const Status status = slots_[Primary(index)].status;
    if (status == kKeyed || status == kUnreadable) return true;
    if (status != kPrefixed && status != kReference) return false;
    return walkDone_ && bucket.pending == 0 && bucket.whole == 0;
}

ContentOutcome HashPipeline::FinalOutcome(uint32_t index, ContentKey& key, ContentKey* sha) const {
    const FileLen size = listing_.files[index].size;
    if (size == 0) return ContentOutcome::Empty;
    if (buckets_.at(size).count < 2) return ContentOutcome::Single;
    const Slot& primary = slots_[Primary(index)];
    switch (primary.status) {
        case kKeyed:
            key = keys_[primary.keyId];
            if (sha != nullptr && cache_ != nullptr) *sha = shas_[primary.keyId];
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

}  // namespace merravine

namespace merravine {

uint32_t HashPipeline::CheckBalance(bool cutShort) const {
    uint32_t faults = 0;
    uint64_t keyed = 0;
    uint64_t unreadable = 0;
    const auto taken = static_cast<uint32_t>(slots_.size());
    for (uint32_t index = 0; index < taken; ++index) {
        if (slots_[index].aliasOf != kNone)
            continue;  // a hard link shares its first name's outcome
        const FileLen size = listing_.files[index].size;
        if (size == 0 || buckets_.at(size).count < 2) continue;
        switch (slots_[index].status) {
            case kKeyed:
                ++keyed;
                break;
            case kUnreadable:
                ++unreadable;
                break;
            case kPrefixed:
            case kReference:
                break;
            default:
                if (cutShort) break;
                if (++faults <= 8) {
                    LogLess("ERROR: search balance: %s reached no outcome (state %d)",
                            listing_.FullPath(listing_.files[index]).c_str(),
                            static_cast<int>(slots_[index].status));
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
        for (const auto& [size, bucket] : buckets_) {
            if (bucket.pending == 0 && bucket.whole == 0) continue;
            LogLess(
                "ERROR: search balance: files of %llu bytes still owe %u first and %u whole reads",
                static_cast<unsigned long long>(size), bucket.pending, bucket.whole);
            ++faults;
        }
    }
    if (faults > 8) LogLess("ERROR: search balance: %u files out of balance in all", faults);
    return faults;
}

}  // namespace merravine

namespace merravine {

FileFacts HashPipeline::FactsOf(uint32_t index) const {
    const Identity& identity = facts_[index];
    const FileEntry& entry = listing_.files[index];
    return FileFacts{identity.device,
                     identity.inode,
                     PathHash(listing_.folders[entry.folder], listing_.Name(entry)),
                     entry.size,
                     identity.modifyNs,
                     identity.changeNs};
}

bool HashPipeline::FromCache(FirstResult& result) {
    CacheEntry entry;
    if (!cache_->Find(FactsOf(result.index), entry)) return false;
    const bool raw = result.size <= ContentKey{}.bytes.size();
    if (entry.hasKey) {
        result.keyed = true;
        result.key = entry.key;
        result.sha = entry.sha;
    } else if (raw || !entry.hasFingerprint) {
        return false;
    }
    result.cached = true;
    result.seenToday = entry.seenToday;
    result.fingerprint = entry.fingerprint;
    return true;
}

HashPipeline::CacheUse HashPipeline::ForCache(uint32_t index) const {
    const Slot& slot = slots_[index];
    if (slot.aliasOf != kNone) return CacheUse::None;
    // An entry the cache answered stays as it is unless the file was read whole now.
    const uint8_t use = slot.cacheUse & (kFromCacheKey | kFromCacheFingerprint);
    if (use == kFromCacheKey || (use == kFromCacheFingerprint && slot.status != kKeyed)) {
        // An entry marked today already needs no word with the cache file.
        return (slot.cacheUse & kCacheSeenToday) != 0 ? CacheUse::None : CacheUse::Seen;
    }
    if (slot.status == kKeyed) return CacheUse::Keyed;
    // Not read, unreadable, or its read was stopped: nothing learned.
    if (slot.status != kPrefixed && slot.status != kReference) return CacheUse::None;
    const bool fingerprinted =
        !slot.refined && listing_.files[index].size > ContentKey{}.bytes.size();
    return fingerprinted ? CacheUse::Fingerprint : CacheUse::None;
}

void HashPipeline::CollectForCache(ContentCache& cache) const {
    const auto taken = static_cast<uint32_t>(slots_.size());
    size_t learned = 0;
    size_t keyed = 0;
    for (uint32_t index = 0; index < taken; ++index) {
        const CacheUse use = ForCache(index);
        learned += use == CacheUse::Keyed || use == CacheUse::Fingerprint ? 1 : 0;
        keyed += use == CacheUse::Keyed ? 1 : 0;
    }
    cache.ReserveLearned(learned, keyed);
    for (uint32_t index = 0; index < taken; ++index) {
        const CacheUse use = ForCache(index);
        if (use == CacheUse::None) continue;
        if (use == CacheUse::Seen) {
            cache.Seen(FactsOf(index));
            continue;
        }
        const Slot& slot = slots_[index];
        CacheEntry entry;
        entry.facts = FactsOf(index);
        entry.hasFingerprint =
            !slot.refined && listing_.files[index].size > ContentKey{}.bytes.size();
        entry.fingerprint = slot.fingerprint;
        if (use == CacheUse::Keyed) {
            entry.hasKey = true;
            entry.key = keys_[slot.keyId];
            entry.sha = shas_[slot.keyId];
        }
        cache.Put(entry);
    }
}

}  // namespace merravine
