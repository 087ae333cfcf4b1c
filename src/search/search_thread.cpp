// The body of the search thread: one whole search, step by step.
//
// The counting pass walks the search folders once and keeps the listing; hash
// workers read contents while it runs. The search pass then replays the listing in
// walk order, recording each file as it would be recorded by a walk: it takes the
// file's outcome from the workers, counts it, and stops early on an abort or when
// the duplicate limit is passed. The finishing step builds the groups of the
// recorded files (ordered by size, then by key with the file found last first among
// equals), drops every file without a twin, and hands over with W_READY.
//
// With the content cache, its entries are read on a thread of their own while the walk
// goes on, and what the search learned is written after the results are out, on the
// engine's cache-save thread; the next search waits for that write before it reads.
//
// An aborted search keeps the files recorded before the abort, pruned like a
// finished one, so the page never shows files without a twin as duplicates.
#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "platform/file_walk.h"
#include "platform/heap_release.h"
#include "search/content_cache.h"
#include "search/engine_internals.h"
#include "search/final_check.h"
#include "search/hard_links.h"
#include "search/hash_pipeline.h"
#include "search/listing.h"
#include "search/name_count.h"
#include "search/search_engine.h"
#include "search/u64_table.h"
#include "search/walker.h"
#include "util/hash_mix.h"
#include "util/log.h"
#include "util/thread_body.h"

namespace merravine {
namespace {

constexpr uint32_t kPathEvery = 64;  // files of the search pass per update of the scanning path

// Files found from which the memory the search's tables leave is given back before the
// result records are built rather than after the results.
constexpr size_t kReleaseBeforeRecords = 250000;

struct SearchRun {
    Listing listing;
    uint32_t recorded = 0;  // files of the listing the search pass recorded
};

void RunCountingPass(SearchEngine& engine, const WalkFilters& filters, SearchRun& run,
                     HashPipeline& pipeline) {
    VisitedFolders visited;
    const double share = 1.0 / static_cast<double>(engine.settings.searchDirs.size());
    for (const std::string& folder : engine.settings.searchDirs) {
        if (CountPass(engine, filters, folder, run.listing, pipeline, visited, share) ==
            WalkReport::Aborted)
            break;
    }
    pipeline.FinishWalk();
    engine.walkDone.store(true, std::memory_order_relaxed);
}

// Moves from the counting pass to the search pass unless the search was aborted;
// a pause taken in between is held first.
bool EnterSearchPass(SearchEngine& engine) {
    for (;;) {
        if (!HoldWhilePaused(engine)) return false;
        if (ChangeStateIf(engine, W_PRESEARCH, W_SEARCH)) return true;
        const int32_t now = engine.state.load();
        if (now == W_ABORT) return false;
        if (now == W_SEARCH) return true;
    }
}

// The keys already recorded, as 64-bit digests of size and key (two different keys
// agree in all 64 bits with a chance of 2^-64, which could only make the running
// duplicate count one too high).
class SeenKeys {
  public:
    /// Adds the key; false when it was there already.
    bool Insert(FileLen size, const ContentKey& key) {
        return table_.TryEmplace(Digest(size, key), 0).second;
    }

  private:
    static uint64_t Digest(FileLen size, const ContentKey& key) {
        uint64_t h = MixIn(0, size);
        for (size_t i = 0; i < 32; i += 8) {
            uint64_t word = 0;
            std::memcpy(&word, key.bytes.data() + i, 8);
            h = MixIn(h, word);
        }
        return h;
    }

    U64Table table_;
};

void RunSearchPass(SearchEngine& engine, SearchRun& run, HashPipeline& pipeline) {
    const auto limit = static_cast<uint32_t>(engine.settings.scanmaxfilenumber);
    SeenKeys seen;
    bool empty_seen = false;
    const auto count = static_cast<uint32_t>(run.listing.files.size());
    for (uint32_t index = 0; index < count; ++index) {
        if (!HoldWhilePaused(engine)) break;
        const FileEntry& entry = run.listing.files[index];
        // The page shows this path a few times a second; building it for every file
        // would cost a text and a lock per file.
        if (index % kPathEvery == 0) engine.SetScanningPath(run.listing.FullPath(entry));
        engine.scanNumber.fetch_add(1, std::memory_order_relaxed);
        ContentKey key;
        const ContentOutcome outcome = pipeline.WaitOutcome(index, key);
        if (outcome == ContentOutcome::Aborted && engine.state.load() == W_ABORT) break;
        // Otherwise a stage lost the file: it is left out, and the balance says so.
        run.recorded = index + 1;
        bool twin = false;
        if (outcome == ContentOutcome::Empty) {
            twin = empty_seen;
            empty_seen = true;
        } else if (outcome == ContentOutcome::Keyed) {
            twin = !seen.Insert(entry.size, key);
        } else if (outcome == ContentOutcome::Unreadable) {
            engine.unreadableNumber.fetch_add(1, std::memory_order_relaxed);
            engine.problems.Add(run.listing.FullPath(entry));
        }
        if (twin) engine.duplicateNumber.fetch_add(1, std::memory_order_relaxed);
        if (static_cast<uint32_t>(engine.duplicateNumber.load(std::memory_order_relaxed)) > limit)
            break;
    }
    engine.SetScanningPath({});
}

// The record of a file that has a twin. Its times and identity are read now, after its content
// was (unless `readTimes` is off); a file that can no longer be examined keeps empty
// time texts. Where the file system keeps no creation time, the last-write time
// stands in for it.
// `names` holds the entry's name, `listing` its folder.
FileRecord MakeRecord(const Listing& listing, const Listing& names, const FileEntry& entry,
                      const ContentKey& key, bool readTimes) {
    FileRecord record;
    const std::string_view name = names.Name(entry);
    record.path = listing.folders[entry.folder];
    const NameParts parts = SplitName(name);
    record.namenosuffix = parts.namenosuffix;
    record.suffix = parts.suffix;
    platform::EntryStat times;
    if (readTimes && platform::StatPath(record.FullPath(), times) == 0) {
        record.createTime = times.hasCreateTime ? times.createTime : times.modifyTime;
        record.modifyTime = times.modifyTime;
        record.accessTime = times.accessTime;
        record.device = times.device;
        record.inode = times.inode;
        record.links = times.links;
        record.modifyNs = times.modifyNs;
        record.changeNs = times.changeNs;
    }
    record.size = entry.size;
    record.key = key;
    record.kind = static_cast<int32_t>(entry.kind);
    record.flags = static_cast<int32_t>(entry.flags);
    return record;
}

// A file of a size shared by several recorded files. `sha` is the SHA-256 that goes
// with the key when the cache is used (zero otherwise): files are one set only when
// both agree, so a key taken from the cache never joins a file by MD5 alone.
struct Candidate {
    ContentKey key;
    ContentKey sha;
    uint32_t index;
};

// A file that keeps its place in the result groups, with its listing entry, so the
// listing's entries can go before the records are built.
struct Survivor {
    FileEntry entry;
    ContentKey key;
};

// Survivors grow by chunks: a vector's doubling would hold the old and the new array
// at the peak of the search's memory.
using Survivors = ChunkedVector<Survivor>;

// Appends the recorded files that have a twin, in group order: by size, then by key
// with the file found last first among equals (empty files in the order found).
// The workers must have stopped.
void PrunedOrder(const SearchRun& run, const HashPipeline& pipeline, Survivors& survivors) {
    std::vector<std::pair<FileLen, uint32_t>> shared;
    pipeline.ForEachSharedSize(
        [&](FileLen size, uint32_t head) { shared.emplace_back(size, head); });
    std::sort(shared.begin(), shared.end());

    std::vector<Candidate> members;
    for (const auto& [size, head] : shared) {
        members.clear();
        for (uint32_t index = head; index != HashPipeline::kNone && index < run.recorded;
             index = pipeline.Next(index)) {
            ContentKey key;
            ContentKey sha;
            const ContentOutcome outcome = pipeline.FinalOutcome(index, key, &sha);
            if (outcome == ContentOutcome::Empty || outcome == ContentOutcome::Keyed) {
                members.push_back(Candidate{key, sha, index});
            }
        }
        if (size > 0) {
            std::sort(members.begin(), members.end(), [](const Candidate& a, const Candidate& b) {
                if (a.key != b.key) return a.key < b.key;
                return a.sha != b.sha ? a.sha < b.sha : a.index > b.index;
            });
        }
        auto same = [](const Candidate& a, const Candidate& b) {
            return a.key == b.key && a.sha == b.sha;
        };
        size_t kept = 0;
        const Candidate* last_kept = nullptr;
        for (size_t i = 0; i < members.size(); ++i) {
            const bool twin = (i > 0 && same(members[i - 1], members[i])) ||
                              (i + 1 < members.size() && same(members[i + 1], members[i]));
            if (!twin) continue;
            // Two contents with one MD5: the groups tell sets apart by key, so only the
            // first such set is kept (a missed set, never a false one).
            if (last_kept != nullptr && last_kept->key == members[i].key &&
                last_kept->sha != members[i].sha) {
                LogLess(
                    "two different contents of %llu bytes share the key %.32s; one set is left out",
                    static_cast<unsigned long long>(size),
                    reinterpret_cast<const char*>(members[i].key.bytes.data()));
                continue;
            }
            survivors.push_back(Survivor{run.listing.files[members[i].index], members[i].key});
            last_kept = &members[i];
            ++kept;
        }
        // A size left with one file after its twinless files went is no group.
        if (kept == 1) survivors.pop_back();
    }
}

// Copies the survivors' names into `kept` and points their entries there, so the names
// of all the other files can go before the records are made.
void KeepSurvivorNames(const Listing& listing, Survivors& survivors, Listing& kept) {
    for (size_t i = 0; i < survivors.size(); ++i) {
        FileEntry& entry = survivors[i].entry;
        // A part of what the listing held always fits.
        entry.nameOffset = static_cast<uint32_t>(kept.AddName(listing.Name(entry)));
    }
}

std::vector<SizeGroup> BuildGroups(const Listing& listing, const Listing& names,
                                   Survivors& survivors, bool readTimes) {
    std::vector<SizeGroup> groups;
    for (size_t first = 0; first < survivors.size();) {
        const FileLen size = survivors[first].entry.size;
        size_t end = first + 1;
        while (end < survivors.size() && survivors[end].entry.size == size) ++end;
        SizeGroup& group = groups.emplace_back(SizeGroup{size, {}});
        group.members.reserve(end - first);  // records are large: no spare room
        for (; first < end; ++first) {
            group.members.push_back(MakeRecord(listing, names, survivors[first].entry,
                                               survivors[first].key, readTimes));
            survivors.ReleaseBefore(first);  // what the records now hold
        }
    }
    return groups;
}

size_t MemberCount(const std::vector<SizeGroup>& groups) {
    size_t members = 0;
    for (const SizeGroup& group : groups) members += group.members.size();
    return members;
}

void RunSearch(SearchEngine& engine) {
    {
        const auto lock = engine.LockGroups();
        ClearResults(engine);
    }
    const WalkFilters filters = BuildWalkFilters(engine.settings);
    SearchRun run;
    Survivors survivors;
    std::unique_ptr<ContentCache> cache;
    std::jthread cache_loader;  // joined on every way out
    const uint64_t scan_key = ScanKey(engine.settings);
    ScanHistory history;
    if (!engine.tuning.cachePath.empty()) {
        engine.WaitForCacheSave();  // the last search's findings are on disk before they are read
        history = ContentCache::ReadHistory(engine.tuning.cachePath, scan_key);
        cache = std::make_unique<ContentCache>(engine.tuning.cachePath);
        cache_loader = std::jthread([&cache] { cache->Load(); });
    }
    // The cache is written after the search's end, so its end costs no more than
    // without the cache.
    engine.StartEstimate(history, false);
    std::jthread name_count;  // stopped and joined once the walk is over
    if (engine.tuning.countNamesAhead && history.files == 0) {
        name_count = std::jthread([&engine, &filters](std::stop_token stop) {
            (void)RunGuarded("name count", [&] {
                const uint64_t names = CountNamesAhead(filters, engine.settings.searchDirs, stop);
                engine.namesAhead.store(names, std::memory_order_relaxed);
            });
        });
    }
    {
        HashPipeline pipeline(engine, run.listing, cache.get());
        RunCountingPass(engine, filters, run, pipeline);
        if (name_count.joinable()) {
            name_count.request_stop();
            name_count.join();
        }
        if (EnterSearchPass(engine)) RunSearchPass(engine, run, pipeline);
        pipeline.Stop();
        // Stopped, or ended at the limit on duplicates: files the search pass never
        // reached may be left without an outcome.
        const bool cut_short =
            engine.state.load() == W_ABORT || run.recorded < run.listing.files.size();
        engine.unbalancedNumber.store(static_cast<int32_t>(pipeline.CheckBalance(cut_short)));
        std::jthread collector;  // joined below, or on the way out
        if (cache) {
            cache_loader.join();
            // What the search learned is gathered for the cache while the result order
            // is worked out: both only read the stopped pipeline, each writes its own.
            collector = std::jthread([&pipeline, &cache] {
                (void)RunGuarded("content cache collect",
                                 [&] { pipeline.CollectForCache(*cache); });  // logged there
            });
        }
        pipeline.ReleaseMatching();
        PrunedOrder(run, pipeline, survivors);
        engine.partial.store(cut_short, std::memory_order_relaxed);
        if (cache) {
            collector.join();
            cache->DropLoaded();
            if (!cut_short) {
                const auto files = engine.totalNumber.load(std::memory_order_relaxed);
                cache->RememberScan(scan_key, ScanHistory{static_cast<uint64_t>(files)});
            }
        }
    }  // the pipeline's tables (and the entries read) go before the records are built
    // So do the listing's entries (the survivors carry theirs) and the names of the
    // files without a twin: the records are built in the memory they leave free (one
    // heap for every thread), so the peak stays where the walk left it. With hundreds
    // of thousands of files that memory is tens of MiB in pieces the records cannot all
    // reuse, and it is given back first; below that, giving it back would cost more
    // time (every page of the records faulted in anew) than the memory is worth.
    const bool release_first = run.listing.files.size() >= kReleaseBeforeRecords;
    run.listing.files.Clear();
    Listing kept_names;
    KeepSurvivorNames(run.listing, survivors, kept_names);
    run.listing.names.Clear();
    if (release_first) platform::ReleaseFreeHeap();

    const auto lock = engine.LockGroups();
    engine.groups = BuildGroups(run.listing, kept_names, survivors, engine.tuning.readTimes);
    survivors.Clear();
    kept_names.names.Clear();
    run.listing.folders.Clear();
    RecheckSets(engine.groups);
    if (engine.settings.collapsehardlinks != 0) CollapseHardLinks(engine.groups);
#ifndef NDEBUG
    if (const std::string fault = CheckGroupInvariants(engine.groups, true); !fault.empty()) {
        LogLess("result groups are inconsistent: %s", fault.c_str());
    }
#endif
    engine.duplicateNumber.store(static_cast<int32_t>(MemberCount(engine.groups)),
                                 std::memory_order_relaxed);
    const auto& finished = EngineInternals::OnFinished(engine);
    if (engine.state.load() != W_ABORT && finished) finished(engine);
    if (cache) {
        // Written once the results are out, on a thread of its own; a stopped search
        // keeps what it learned too. The next search waits for it before reading.
        std::shared_ptr<ContentCache> saving = std::move(cache);
        engine.StartCacheSave([saving] { saving->Save(); });
    }
    // The free pages go back once the results are out rather than before the records
    // are built: given back first, every page of the records would be faulted in anew.
    if (engine.tuning.releaseHeap && !release_first) platform::ReleaseFreeHeap();
}

}  // namespace

uint64_t ScanKey(const SearchSettings& settings) {
    uint64_t h = MixIn(0, static_cast<uint64_t>(settings.filetypes));
    h = MixIn(h, static_cast<uint64_t>(settings.skipflag));
    h = MixIn(h, settings.usemin != 0 ? static_cast<uint64_t>(settings.minsize) : UINT64_MAX);
    h = MixIn(h, settings.usemax != 0 ? static_cast<uint64_t>(settings.maxsize) : UINT64_MAX);
    for (const auto* list : {&settings.searchDirs, &settings.excludeDirs}) {
        h = MixIn(h, list->size());
        for (const std::string& folder : *list) h = MixIn(h, PathHash(folder, {}));
    }
    return h;
}

void SearchThreadMain(SearchEngine& engine) {
    (void)RunGuarded("search", [&] { RunSearch(engine); });  // logged there
    engine.SetScanningPath({});
    ChangeState(engine, W_READY);
}

}  // namespace merravine
