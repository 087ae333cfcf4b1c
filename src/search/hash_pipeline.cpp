// The hash workers and the bookkeeping that decides which files are read, how much
// of them, and when a file's outcome is final.
#include "search/hash_pipeline.h"

#include <algorithm>

#include "search/content_key.h"
#include "util/log.h"

namespace merravine {
namespace {

constexpr uint32_t kMany = UINT32_MAX - 1;  // several files share this fingerprint

}  // namespace

HashPipeline::HashPipeline(SearchEngine& engine, const Listing& listing) : engine_(engine), listing_(listing) {
    int threads = engine.tuning.hashThreads;
    if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { WorkerMain(); });
}

HashPipeline::~HashPipeline() { Stop(); }

void HashPipeline::Stop() {
    {
        std::lock_guard lock(engine_.signalMutex);
        stopping_ = true;
        stopping_flag_.store(true);
    }
    jobsReady_.notify_all();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
}

void HashPipeline::Queue(uint32_t index, bool whole) {
    Slot& slot = slots_[index];
    if (whole) {
        slot.status = kWholeQueued;
    } else {
        slot.status = kQueued;
        ++buckets_[listing_.files[index].size].pending;
    }
    jobs_.push_back(Job{index, whole});
    jobsReady_.notify_one();
}

void HashPipeline::AddFile(uint32_t index, uint64_t device, uint64_t inode, uint32_t links) {
    const FileLen size = listing_.files[index].size;
    {
        std::lock_guard lock(engine_.signalMutex);
        slots_.push_back(Slot{});
        Slot& slot = slots_[index];
        if (links > 1 && size > 0) {
            auto [it, inserted] = inodes_.try_emplace(InodeKey{device, inode, size}, index);
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
        if (bucket.count == 2 && slots_[bucket.head].status == kIdle) Queue(bucket.head, false);
        if (slot.aliasOf == kNone) {
            Queue(index, false);
        } else {
            Escalate(slot.aliasOf);
        }
    }
}

void HashPipeline::FinishWalk() {
    {
        std::lock_guard lock(engine_.signalMutex);
        walkDone_ = true;
    }
    engine_.signal.notify_all();
}

void HashPipeline::Escalate(uint32_t index) {
    if (slots_[index].status == kPrefixed) Queue(index, true);
}

void HashPipeline::AfterFirstRead(uint32_t index) {
    Slot& slot = slots_[index];
    if (slot.hasAliases) Escalate(index);
    const FileLen size = listing_.files[index].size;
    auto [it, inserted] = fingerprints_.try_emplace(FingerprintKey{size, slot.fingerprint}, index);
    if (inserted) return;
    if (it->second != kMany) {
        Escalate(it->second);
        it->second = kMany;
    }
    Escalate(index);
}

void HashPipeline::Requeue(FileClass& file_class) {
    for (auto it = file_class.waiting.rbegin(); it != file_class.waiting.rend(); ++it) {
        jobs_.push_front(Job{*it, true});
    }
    file_class.waiting.clear();
    jobsReady_.notify_all();
}

void HashPipeline::WorkerMain() {
    try {
        HashScratch scratch;
        scratch.buffer.resize(std::max(engine_.tuning.readBufferSize, engine_.tuning.prefixSize));
        scratch.other.resize(engine_.tuning.readBufferSize);
        const size_t prefix_size = std::max<size_t>(engine_.tuning.prefixSize, 1);
        ReadContext context;
        context.faultHook = &engine_.ioFaultHook;
        context.keepGoing = [this] {
            if (stopping_flag_.load(std::memory_order_relaxed)) return false;
            return HoldWhilePaused(engine_);
        };
        for (;;) {
            Job job{};
            FileLen size = 0;
            std::string path;
            std::string reference_path;
            ContentKey key;
            FingerprintKey class_key{};
            bool digest = false;  // this file becomes its class's reference
            {
                std::unique_lock lock(engine_.signalMutex);
                jobsReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (stopping_) return;
                job = jobs_.front();
                jobs_.pop_front();
                const FileEntry& entry = listing_.files[job.index];
                size = entry.size;
                path = listing_.FullPath(entry);
                if (job.whole) {
                    class_key = FingerprintKey{size, slots_[job.index].fingerprint};
                    FileClass& file_class = classes_[class_key];
                    if (file_class.reference == kNone) {
                        file_class.reference = job.index;
                        digest = true;
                    } else if (!file_class.referenceDone) {
                        file_class.waiting.push_back(job.index);
                        continue;
                    } else {
                        reference_path = listing_.FullPath(listing_.files[file_class.reference]);
                        key = keys_[slots_[file_class.reference].keyId];
                    }
                }
            }
            uint64_t fingerprint = 0;
            const bool whole = job.whole || size <= prefix_size;
            int error = 0;
            if (!HoldWhilePaused(engine_)) {
                error = kReadAborted;
            } else if (!reference_path.empty()) {
                bool equal = false;
                error = CompareWithReference(path, reference_path, size, scratch, context, equal);
                if (error == 0 && !equal) error = ComputeKey(path, size, scratch, context, key);
            } else if (whole) {
                error = ComputeKey(path, size, scratch, context, key);
            } else {
                error = ComputeFingerprint(path, size, prefix_size, scratch, context, fingerprint);
            }
            engine_.bytesRead.fetch_add(context.bytesRead, std::memory_order_relaxed);
            context.bytesRead = 0;
            if (error == kReadAborted) continue;
            if (error != 0) LogDebug("cannot read %s (%d)", path.c_str(), error);
            bool wake = false;
            {
                std::lock_guard lock(engine_.signalMutex);
                Slot& slot = slots_[job.index];
                if (!job.whole) --buckets_[size].pending;
                if (error != 0) {
                    slot.status = kUnreadable;
                } else if (whole) {
                    slot.keyId = static_cast<uint32_t>(keys_.size());
                    keys_.push_back(key);
                    slot.status = kKeyed;
                } else {
                    slot.fingerprint = fingerprint;
                    slot.status = kPrefixed;
                    AfterFirstRead(job.index);
                }
                if (digest) {
                    FileClass& file_class = classes_[class_key];
                    if (error == 0) {
                        file_class.referenceDone = true;
                    } else {
                        file_class.reference = kNone;
                    }
                    Requeue(file_class);
                }
                wake = awaited_ != kNone && listing_.files[awaited_].size == size;
            }
            if (wake) engine_.signal.notify_all();
        }
    } catch (const std::exception& failure) {
        LogLess("hash worker failed: %s", failure.what());
    } catch (...) {
        LogLess("hash worker failed");
    }
}

bool HashPipeline::Settled(uint32_t index) const {
    const FileLen size = listing_.files[index].size;
    if (size == 0) return true;
    const Bucket& bucket = buckets_.at(size);
    if (bucket.count < 2) return walkDone_;
    const Status status = slots_[Primary(index)].status;
    if (status == kKeyed || status == kUnreadable) return true;
    return status == kPrefixed && bucket.pending == 0 && walkDone_;
}

ContentOutcome HashPipeline::FinalOutcome(uint32_t index, ContentKey& key) const {
    const FileLen size = listing_.files[index].size;
    if (size == 0) return ContentOutcome::Empty;
    if (buckets_.at(size).count < 2) return ContentOutcome::Single;
    const Slot& primary = slots_[Primary(index)];
    switch (primary.status) {
        case kKeyed: key = keys_[primary.keyId]; return ContentOutcome::Keyed;
        case kUnreadable: return ContentOutcome::Unreadable;
        case kPrefixed: return ContentOutcome::Distinct;
        default: return ContentOutcome::Aborted;
    }
}

ContentOutcome HashPipeline::WaitOutcome(uint32_t index, ContentKey& key) {
    std::unique_lock lock(engine_.signalMutex);
    awaited_ = index;
    engine_.signal.wait(lock, [&] { return Settled(index) || engine_.state.load() == W_ABORT; });
    awaited_ = kNone;
    if (!Settled(index)) return ContentOutcome::Aborted;
    return FinalOutcome(index, key);
}

}  // namespace merravine
