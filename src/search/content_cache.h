// The content-key cache: what earlier scans learned about files' contents, kept in an
// SQLite file ("cache.db" in the data folder), so a scan reads again only the files
// that changed.
//
// An entry belongs to one file, found by device and inode, and is used only when the
// file's path, size, last-write time and status-change time (both to the nanosecond)
// are all still what they were: any write, rename over it, or new file in its place
// changes one of them. An entry holds the fingerprint of the file's first and last
// block, and, for a file that was read whole, its MD5 content key and its SHA-256.
// Two files are taken as equal from the cache only by their SHA-256.
//
// Beside the entries, the file keeps the totals of the last finished scan of each set
// of folders and settings, so the next one can tell its progress from the start.
//
// The file holds the entries as they are held in memory (cache_table.h), sorted by
// device and inode, in parts of kPartEntries: a load copies a few blobs instead of
// decoding a row a file, and a save merges what a scan learned into them part by part.
//
// Nothing here is ever fatal: a missing, locked, corrupt or foreign file is logged
// and the scan goes on reading files as if there were no cache. Entries not seen for
// kKeepDays days are pruned, and the file keeps at most kMaxEntries entries (64 bytes
// each on disk, 64 more with digests, so it stays below about 130 MiB).
//
// Threads: Load runs on a thread of its own while the walk goes on; Find waits for
// it and may then be called from any thread. Put, Seen and DropLoaded run on the
// search thread once the readers have stopped; Save runs after them on any one thread
// (the search hands the cache to a thread of its own, so its results need not wait).
//
// Memory: entries are held compactly (cache_table.h); the entries read are dropped
// before the search builds its results, and what the search learned is held once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "search/cache_table.h"
#include "search/file_record.h"
#include "search/scan_estimate.h"
#include "util/result.h"

struct sqlite3;

namespace merravine {

/// A 64-bit hash of a path given as folder text and name.
uint64_t PathHash(std::string_view folder, std::string_view name);

class ContentCache {
  public:
    static constexpr int32_t kKeepDays = 90;
    static constexpr int64_t kMaxEntries = 1'000'000;
    static constexpr size_t kPartEntries = 4096;

    /// Opens (creating it when missing) the cache file at `path`.
    explicit ContentCache(std::string path);
    ~ContentCache();
    ContentCache(const ContentCache&) = delete;
    ContentCache& operator=(const ContentCache&) = delete;

    /// Reads every entry into memory; afterwards Find answers. Safe to call once.
    void Load();
    /// Sets `entry` to the entry of a file whose facts all match; false when there is
    /// none. Waits for Load.
    bool Find(const FileFacts& facts, CacheEntry& entry);

    /// Makes room for what Put will be given (`keyed` entries of them with digests).
    void ReserveLearned(size_t entries, size_t keyed) { learned_.Reserve(entries, keyed); }
    /// Keeps what this scan learned about a file, to be written by Save; returns a
    /// handle on its digests (CacheTable::kNoKeys when it has none).
    uint32_t Put(const CacheEntry& entry) { return learned_.Add(entry, today_); }
    /// The same for a file whose digests are those of an entry put before (`digests`,
    /// its handle): they are held once.
    void PutSharing(const CacheEntry& entry, uint32_t digests) {
        learned_.AddSharing(entry, today_, digests);
    }
    /// Notes that a file's entry was used by this scan (it is kept from pruning); an
    /// entry found marked today needs no note.
    void Seen(const FileFacts& facts);
    /// Lets go of the entries read by Load (after the last Find and Seen).
    void DropLoaded() { loaded_.Clear(); }
    /// Writes the entries put, marks the entries found as seen today, and prunes; writes
    /// nothing when none of that changes the file.
    void Save();

    /// The totals of the last finished scan whose settings hash to `scanKey`, from the
    /// cache file at `path` (zero when unknown); reads only that, at once.
    static ScanHistory ReadHistory(const std::string& path, uint64_t scanKey);
    /// Keeps the totals of this scan for the next one with the same settings (by Save).
    void RememberScan(uint64_t scanKey, const ScanHistory& totals) {
        scanKey_ = scanKey;
        scanTotals_ = totals;
    }

    /// Entries read by Load (for tests and the log).
    size_t Loaded() const { return loadedCount_; }

    /// Empties the cache file at `path` (creating it when missing); logged either way.
    static Status Clear(const std::string& path);

    /// Test seam: days since 1970 that stand for "today".
    static void SetTodayForTests(int32_t day);
    /// Test seam: the most entries a file keeps (0: kMaxEntries).
    static void SetMaxEntriesForTests(int64_t entries);
    /// Test seam: runs as every Save begins (it may hold the save up); empty: nothing.
    static void SetSaveHookForTests(std::function<void()> hook);

  private:
    // Opens the file; `create` makes it when missing (else a missing file is left to Save).
    bool Open(bool create);
    void ReadAll(CacheTable& entries);
    // Merges the parts with what this scan learned and saw, in one pass; false when a
    // statement failed. `written` counts the entries the file then holds.
    bool Rewrite(size_t& written);
    // Keeps the kMaxEntries entries seen last; false when a statement failed.
    bool Bound();

    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    std::condition_variable loadedSignal_;
    bool loadDone_ = false;
    std::atomic<bool> loadedFlag_{false};  // loadDone_, read without the lock
    bool createOnSave_ = false;            // the file was missing at Load
    bool damaged_ = false;                 // its parts are not as written: rewritten whole
    uint16_t today_;
    CacheTable loaded_;
    size_t loadedCount_ = 0;
    uint16_t loadedOldest_ = UINT16_MAX;  // the earliest day an entry read was seen
    struct Identity {
        uint64_t device;
        uint64_t inode;
    };
    std::vector<Identity> seen_;  // entries used that were not yet marked today
    CacheTable learned_;
    uint64_t scanKey_ = 0;
    ScanHistory scanTotals_;
};

}  // namespace merravine
