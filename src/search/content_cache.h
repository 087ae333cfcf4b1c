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
// Nothing here is ever fatal: a missing, locked, corrupt or foreign file is logged
// and the scan goes on reading files as if there were no cache. Entries not seen for
// kKeepDays days are pruned, and the file keeps at most kMaxEntries entries (about
// 130 bytes each on disk, so it stays below about 130 MiB).
//
// Threads: Load runs on a thread of its own while the walk goes on; Find waits for
// it and may then be called from any thread. Put, Seen and Save run on the search
// thread once the readers have stopped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "search/file_record.h"
#include "search/scan_estimate.h"
#include "util/result.h"

struct sqlite3;

namespace merravine {

/// A file as the walk saw it: what an entry must match.
struct FileFacts {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t pathHash = 0;
    FileLen size = 0;
    int64_t modifyNs = 0;
    int64_t changeNs = 0;
};

struct CacheEntry {
    FileFacts facts;
    uint64_t fingerprint = 0;
    bool hasFingerprint = false;
    bool hasKey = false;  ///< `key` and `sha` were computed from the whole content
    ContentKey key;
    ContentKey sha;
    int32_t seenDay = 0;  ///< days since 1970 when a scan last met the file
};

/// A 64-bit hash of a path given as folder text and name.
uint64_t PathHash(std::string_view folder, std::string_view name);

class ContentCache {
  public:
    static constexpr int32_t kKeepDays = 90;
    static constexpr int64_t kMaxEntries = 1'000'000;

    /// Opens (creating it when missing) the cache file at `path`.
    explicit ContentCache(std::string path);
    ~ContentCache();
    ContentCache(const ContentCache&) = delete;
    ContentCache& operator=(const ContentCache&) = delete;

    /// Reads every entry into memory; afterwards Find answers. Safe to call once.
    void Load();
    /// The entry of a file whose facts all match, or null. Waits for Load.
    const CacheEntry* Find(const FileFacts& facts);

    /// Keeps what this scan learned about a file, to be written by Save.
    void Put(const CacheEntry& entry) { learned_.push_back(entry); }
    /// Notes that a file's entry was used by this scan (it is kept from pruning).
    void Seen(const FileFacts& facts) { seen_.push_back(facts); }
    /// Writes the entries put, marks the entries found as seen today, and prunes.
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
    size_t Loaded() const { return entries_.size(); }

    /// Empties the cache file at `path` (creating it when missing); logged either way.
    static Status Clear(const std::string& path);

    /// Test seam: days since 1970 that stand for "today".
    static void SetTodayForTests(int32_t day);

  private:
    bool Open();
    void ReadAll(std::unordered_map<uint64_t, CacheEntry>& entries);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    std::condition_variable loadedSignal_;
    bool loaded_ = false;
    std::unordered_map<uint64_t, CacheEntry> entries_;  // by device and inode
    std::vector<FileFacts> seen_;
    std::vector<CacheEntry> learned_;
    uint64_t scanKey_ = 0;
    ScanHistory scanTotals_;
};

}  // namespace merravine
