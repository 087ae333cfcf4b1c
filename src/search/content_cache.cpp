// The content-key cache in SQLite: the entries in parts (blobs of records sorted by
// device and inode), marked as ours by the file's application id, read whole at the
// start of a scan and merged with what it learned once its results are out.
#include "search/content_cache.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <unordered_map>

#include "util/hash_mix.h"
#include "util/log.h"
#include "util/thread_body.h"

namespace merravine {
namespace {

constexpr int32_t kApplicationId = 0x4D525643;  // "MRVC"
constexpr int32_t kFormat = 3;
using Stored = CacheTable::Stored;
using Digests = CacheTable::Digests;

std::atomic<int32_t> g_today_for_tests{0};
std::atomic<int64_t> g_max_entries_for_tests{0};
std::mutex g_save_hook_mutex;
std::function<void()> g_save_hook;  // under g_save_hook_mutex

int64_t MaxEntries() {
    const int64_t entries = g_max_entries_for_tests.load();
    return entries > 0 ? entries : ContentCache::kMaxEntries;
}

uint16_t Today() {
    if (const int32_t day = g_today_for_tests.load(); day != 0) return static_cast<uint16_t>(day);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint16_t>(std::chrono::duration_cast<std::chrono::hours>(now).count() / 24);
}

struct Statement {
    sqlite3_stmt* handle = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &handle, nullptr); }
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return handle != nullptr; }
};

int64_t Signed(uint64_t value) {
    int64_t out = 0;
    std::memcpy(&out, &value, sizeof out);
    return out;
}
uint64_t Unsigned(int64_t value) {
    uint64_t out = 0;
    std::memcpy(&out, &value, sizeof out);
    return out;
}

bool SameFile(const Stored& a, const Stored& b) {
    return a.facts.device == b.facts.device && a.facts.inode == b.facts.inode;
}

int32_t PragmaInt(sqlite3* db, const char* sql) {
    Statement statement(db, sql);
    if (!statement || sqlite3_step(statement.handle) != SQLITE_ROW) return -1;
    return sqlite3_column_int(statement.handle, 0);
}

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Adds one part as read from the file to `entries`, checked: whole records whose
// digests are in it; false (and nothing added) when it is not.
bool AppendPart(sqlite3_stmt* row, CacheTable& entries) {
    const void* records = sqlite3_column_blob(row, 0);
    const int record_bytes = sqlite3_column_bytes(row, 0);
    const void* digests = sqlite3_column_blob(row, 1);
    const int digest_bytes = sqlite3_column_bytes(row, 1);
    if (record_bytes % sizeof(Stored) != 0 || digest_bytes % sizeof(Digests) != 0) return false;
    return entries.Append(records, static_cast<size_t>(record_bytes) / sizeof(Stored), digests,
                          static_cast<size_t>(digest_bytes) / sizeof(Digests));
}

bool ReadPart(sqlite3_stmt* row, CacheTable& part) {
    part.Clear();
    return AppendPart(row, part);
}

// Collects records into parts and writes each part as it fills.
class PartWriter {
  public:
    PartWriter(sqlite3* db)
        : insert_(db, "INSERT INTO part(entries, digests) VALUES(?1, ?2)"), ok_(insert_) {
        entries_.reserve(ContentCache::kPartEntries);
    }
    void Add(Stored record, const Digests* digests) {
        if (digests != nullptr) {
            // Copies of one content met in one part hold its digests once.
            uint64_t tag = 0;
            std::memcpy(&tag, digests->sha.bytes.data(), sizeof tag);
            const auto [at, added] = held_.try_emplace(tag, static_cast<uint32_t>(digests_.size()));
            if (added || std::memcmp(&digests_[at->second], digests, sizeof(Digests)) != 0) {
                record.keys = static_cast<uint32_t>(digests_.size());
                digests_.push_back(*digests);
            } else {
                record.keys = at->second;
            }
        } else {
            record.keys = CacheTable::kNoKeys;
        }
        entries_.push_back(record);
        ++written_;
        if (entries_.size() >= ContentCache::kPartEntries) Flush();
    }
    bool Finish() {
        Flush();
        return ok_;
    }
    size_t Written() const { return written_; }

  private:
    void Flush() {
        if (entries_.empty() || !ok_) return;
        sqlite3_stmt* row = insert_.handle;
        sqlite3_bind_blob(row, 1, entries_.data(),
                          static_cast<int>(entries_.size() * sizeof(Stored)), SQLITE_STATIC);
        if (digests_.empty()) {
            sqlite3_bind_zeroblob(row, 2, 0);
        } else {
            sqlite3_bind_blob(row, 2, digests_.data(),
                              static_cast<int>(digests_.size() * sizeof(Digests)), SQLITE_STATIC);
        }
        ok_ = sqlite3_step(row) == SQLITE_DONE;
        sqlite3_reset(row);
        entries_.clear();
        digests_.clear();
        held_.clear();
    }

    Statement insert_;
    bool ok_;
    std::vector<Stored> entries_;
    std::vector<Digests> digests_;
    std::unordered_map<uint64_t, uint32_t> held_;  // digests_ by their SHA-256's first bytes
    size_t written_ = 0;
};

// The parts' row ids in their order (which is the entries' order).
std::vector<int64_t> PartIds(sqlite3* db) {
    std::vector<int64_t> ids;
    Statement select(db, "SELECT id FROM part ORDER BY id");
    while (select && sqlite3_step(select.handle) == SQLITE_ROW) {
        ids.push_back(sqlite3_column_int64(select.handle, 0));
    }
    return ids;
}

}  // namespace

uint64_t PathHash(std::string_view folder, std::string_view name) {
    uint64_t h = kGoldenGamma;
    for (const std::string_view part : {folder, name}) {
        size_t at = 0;
        for (; at + 8 <= part.size(); at += 8) {
            uint64_t word = 0;
            std::memcpy(&word, part.data() + at, 8);
            h = MixIn(h, word);
        }
        uint64_t tail = part.size() - at;  // the length keeps "ab"+"c" apart from "a"+"bc"
        if (part.size() > at) std::memcpy(&tail, part.data() + at, part.size() - at);
        h = MixIn(h, tail ^ (static_cast<uint64_t>(part.size()) << 56));
    }
    return MixIn(h, 0);
}

void ContentCache::SetTodayForTests(int32_t day) { g_today_for_tests.store(day); }

void ContentCache::SetMaxEntriesForTests(int64_t entries) {
    g_max_entries_for_tests.store(entries);
}

void ContentCache::SetSaveHookForTests(std::function<void()> hook) {
    std::lock_guard lock(g_save_hook_mutex);
    g_save_hook = std::move(hook);
}

ContentCache::ContentCache(std::string path) : path_(std::move(path)), today_(Today()) {}

ContentCache::~ContentCache() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
}

bool ContentCache::Open(bool create) {
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    const int opened = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (opened != SQLITE_OK && !create && opened == SQLITE_CANTOPEN) {
        createOnSave_ = true;  // nothing to read yet; the file is made when there is something
        return false;
    }
    if (opened != SQLITE_OK) {
        LogLess("content cache %s cannot be opened (%s); files are read as without it",
                path_.c_str(), db_ != nullptr ? sqlite3_errmsg(db_) : "no memory");
        return false;
    }
    sqlite3_busy_timeout(db_, 200);
    const int32_t application = PragmaInt(db_, "PRAGMA application_id");
    const int32_t tables = PragmaInt(db_, "SELECT count(*) FROM sqlite_master");
    if (application < 0 || tables < 0) {
        LogLess("content cache %s cannot be read (%s); files are read as without it", path_.c_str(),
                sqlite3_errmsg(db_));
        return false;
    }
    if (tables > 0 && application != kApplicationId) {
        LogLess("%s is not a content cache; it is left alone and files are read as without it",
                path_.c_str());
        return false;
    }
    // Parts are read and written whole: a small page cache does as well as a large one
    // (16 pages of 16 KiB; counted in pages, as a size it would be taken in the 4 KiB
    // pages of a file not yet set up).
    Exec(db_, "PRAGMA cache_size=16; PRAGMA synchronous=NORMAL");
    const bool current = tables > 0 && PragmaInt(db_, "PRAGMA user_version") == kFormat;
    if (current) return true;
    if (tables > 0) {
        LogLess("content cache %s is of another format; it is emptied", path_.c_str());
        if (!Exec(db_,
                  "DROP TABLE IF EXISTS entry; DROP TABLE IF EXISTS part;"
                  " DROP TABLE IF EXISTS scan; PRAGMA journal_mode=DELETE"))
            return false;
    }
    // 16 KiB pages: a part of 256 KiB is read and written in 16 calls, not 64 (larger
    // pages cost more memory than they save time). An emptied file's page size changes
    // with its VACUUM.
    const std::string schema =
        "PRAGMA page_size=16384;" + std::string(tables > 0 ? " VACUUM;" : "") +
        " PRAGMA application_id=" + std::to_string(kApplicationId) +
        "; PRAGMA user_version=" + std::to_string(kFormat) +
        "; PRAGMA journal_mode=WAL;"
        " CREATE TABLE IF NOT EXISTS part(id INTEGER PRIMARY KEY, entries BLOB NOT NULL,"
        " digests BLOB NOT NULL);"
        " CREATE TABLE IF NOT EXISTS scan(key INTEGER PRIMARY KEY, files INTEGER, seen INTEGER)";
    if (!Exec(db_, schema.c_str())) {
        LogLess("content cache %s cannot be set up (%s); files are read as without it",
                path_.c_str(), sqlite3_errmsg(db_));
        return false;
    }
    return true;
}

void ContentCache::Load() {
    CacheTable entries;
    // Whatever happens, the readers waiting in Find are let go, with or without entries.
    const Status status = RunGuarded("content cache load", [&] {
        ReadAll(entries);
        entries.Index();
    });
    if (!status.IsOk()) entries.Clear();
    {
        std::lock_guard lock(mutex_);
        loaded_ = std::move(entries);
        loadedCount_ = loaded_.size();
        loadDone_ = true;
        loadedFlag_.store(true, std::memory_order_release);
    }
    loadedSignal_.notify_all();
}

void ContentCache::ReadAll(CacheTable& entries) {
    if (!Open(false)) {
        if (db_ != nullptr) sqlite3_close_v2(db_);
        db_ = nullptr;
        return;
    }
    {  // room for every entry at once, rather than growing by doubling
        Statement sizes(db_, "SELECT sum(length(entries)), sum(length(digests)) FROM part");
        if (sizes && sqlite3_step(sizes.handle) == SQLITE_ROW) {
            entries.Reserve(
                static_cast<size_t>(sqlite3_column_int64(sizes.handle, 0)) / sizeof(Stored),
                static_cast<size_t>(sqlite3_column_int64(sizes.handle, 1)) / sizeof(Digests));
        }
    }
    Statement select(db_, "SELECT entries, digests FROM part ORDER BY id");
    if (!select) {
        LogLess("content cache %s cannot be read (%s)", path_.c_str(), sqlite3_errmsg(db_));
        return;
    }
    int result = SQLITE_ROW;
    while (!damaged_ && (result = sqlite3_step(select.handle)) == SQLITE_ROW) {
        const size_t first = entries.size();
        damaged_ = !AppendPart(select.handle, entries);
        // Each entry after the one before it: the save's merge depends on that order.
        for (size_t i = first; !damaged_ && i < entries.size(); ++i) {
            damaged_ = i > 0 && !KeyBefore(entries.entries()[i - 1], entries.entries()[i]);
            loadedOldest_ = std::min(loadedOldest_, entries.entries()[i].seen);
        }
    }
    sqlite3_db_release_memory(db_);  // the pages read stay out of the search's peak
    if (damaged_) {
        LogLess("content cache %s holds entries not as written; it is emptied", path_.c_str());
        entries.Clear();
    } else if (result != SQLITE_DONE) {
        LogLess("content cache %s is damaged (%s); what it holds is not used", path_.c_str(),
                sqlite3_errmsg(db_));
        entries.Clear();
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool ContentCache::Find(const FileFacts& facts, CacheEntry& entry) {
    // Every reader asks for every file: once the entries are in, no lock is taken.
    if (!loadedFlag_.load(std::memory_order_acquire)) {
        std::unique_lock lock(mutex_);
        loadedSignal_.wait(lock, [this] { return loadDone_; });
    }
    const Stored* stored = loaded_.Find(facts.device, facts.inode);
    if (stored == nullptr || !(stored->facts == facts)) return false;
    entry = loaded_.Expand(*stored);
    entry.seenToday = stored->seen == today_;
    return true;
}

void ContentCache::Seen(const FileFacts& facts) {
    const Stored* stored = loaded_.Find(facts.device, facts.inode);
    if (stored != nullptr && stored->seen != today_) seen_.push_back({facts.device, facts.inode});
}

void ContentCache::Save() {
    std::function<void()> hook;
    {
        std::lock_guard lock(g_save_hook_mutex);
        hook = g_save_hook;
    }
    if (hook) hook();
    if (db_ == nullptr && createOnSave_ && !Open(true) && db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    if (db_ == nullptr) return;
    const int32_t oldest_kept = static_cast<int32_t>(today_) - kKeepDays;
    // A scan that learned nothing new and met only entries marked today (a second scan
    // the same day) leaves the parts as they are.
    const bool rewrite = learned_.size() > 0 || !seen_.empty() || damaged_ ||
                         (loadedCount_ > 0 && loadedOldest_ < oldest_kept);
    bool remember = false;
    if (scanTotals_.files > 0) {
        Statement known(db_, "SELECT files, seen FROM scan WHERE key=?1");
        if (known) sqlite3_bind_int64(known.handle, 1, Signed(scanKey_));
        remember = !known || sqlite3_step(known.handle) != SQLITE_ROW ||
                   Unsigned(sqlite3_column_int64(known.handle, 0)) != scanTotals_.files ||
                   sqlite3_column_int(known.handle, 1) != today_;
    }
    if (rewrite || remember) {
        if (!Exec(db_, "BEGIN IMMEDIATE")) {
            LogLess("content cache %s is busy (%s); this scan's findings are not kept",
                    path_.c_str(), sqlite3_errmsg(db_));
        } else {
            size_t written = 0;
            bool ok = !rewrite || Rewrite(written);
            if (ok && static_cast<int64_t>(written) > MaxEntries()) ok = Bound();
            if (ok && remember) {
                Statement put(db_,
                              "INSERT OR REPLACE INTO scan(key, files, seen) VALUES(?1, ?2, ?3)");
                Statement prune(db_, "DELETE FROM scan WHERE seen < ?1");
                ok = put && prune;
                if (ok) {
                    sqlite3_bind_int64(put.handle, 1, Signed(scanKey_));
                    sqlite3_bind_int64(put.handle, 2, Signed(scanTotals_.files));
                    sqlite3_bind_int(put.handle, 3, today_);
                    sqlite3_bind_int(prune.handle, 1, oldest_kept);
                    ok = sqlite3_step(put.handle) == SQLITE_DONE &&
                         sqlite3_step(prune.handle) == SQLITE_DONE;
                }
            }
            if (!ok || !Exec(db_, "COMMIT")) {
                LogLess("content cache %s could not be written (%s); it keeps what it had",
                        path_.c_str(), sqlite3_errmsg(db_));
                Exec(db_, "ROLLBACK");
            }
        }
    }
    learned_.Clear();
    std::vector<Identity>().swap(seen_);
}

bool ContentCache::Rewrite(size_t& written) {
    // What this scan learned, in the file's order; of two entries of one file (two names
    // of one inode) the later one stays.
    const std::vector<Stored>& learned = learned_.entries();
    std::vector<uint32_t> order(learned.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return KeyBefore(learned[a], learned[b]); });
    size_t kept = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        if (i + 1 < order.size() && SameFile(learned[order[i]], learned[order[i + 1]])) continue;
        order[kept++] = order[i];
    }
    order.resize(kept);
    std::sort(seen_.begin(), seen_.end(), [](const Identity& a, const Identity& b) {
        return a.device != b.device ? a.device < b.device : a.inode < b.inode;
    });
    const int32_t oldest_kept = static_cast<int32_t>(today_) - kKeepDays;

    PartWriter writer(db_);
    size_t next = 0;  // into order
    size_t seen = 0;  // into seen_
    const auto add_learned = [&](size_t at) {
        const Stored& record = learned[order[at]];
        writer.Add(record,
                   record.keys != CacheTable::kNoKeys ? &learned_.digests()[record.keys] : nullptr);
    };
    Statement read(db_, "SELECT entries, digests FROM part WHERE id=?1");
    Statement drop(db_, "DELETE FROM part WHERE id=?1");
    if (!read || !drop) return false;
    CacheTable part;
    bool ok = true;
    for (const int64_t id : PartIds(db_)) {
        sqlite3_bind_int64(read.handle, 1, id);
        // A damaged file's parts are dropped unread.
        const bool usable =
            !damaged_ && sqlite3_step(read.handle) == SQLITE_ROW && ReadPart(read.handle, part);
        if (!usable) part.Clear();
        sqlite3_reset(read.handle);
        sqlite3_bind_int64(drop.handle, 1, id);
        ok = sqlite3_step(drop.handle) == SQLITE_DONE;
        sqlite3_reset(drop.handle);
        if (!ok) return false;
        for (Stored record : part.entries()) {
            while (next < order.size() && KeyBefore(learned[order[next]], record))
                add_learned(next++);
            if (next < order.size() && SameFile(learned[order[next]], record))
                continue;  // replaced
            while (seen < seen_.size() && (seen_[seen].device != record.facts.device
                                               ? seen_[seen].device < record.facts.device
                                               : seen_[seen].inode < record.facts.inode)) {
                ++seen;
            }
            if (seen < seen_.size() && seen_[seen].device == record.facts.device &&
                seen_[seen].inode == record.facts.inode) {
                record.seen = today_;
            }
            if (record.seen < oldest_kept) continue;  // not met for the keeping time
            writer.Add(record,
                       record.keys != CacheTable::kNoKeys ? &part.digests()[record.keys] : nullptr);
        }
    }
    while (next < order.size()) add_learned(next++);
    written = writer.Written();
    return writer.Finish();
}

bool ContentCache::Bound() {
    // The day before which entries go, and how many of that day's stay (in file order).
    std::vector<uint32_t> per_day(UINT16_MAX + 1, 0);
    Statement read(db_, "SELECT entries, digests FROM part WHERE id=?1");
    if (!read) return false;
    const std::vector<int64_t> ids = PartIds(db_);
    CacheTable part;
    for (const int64_t id : ids) {
        sqlite3_bind_int64(read.handle, 1, id);
        if (sqlite3_step(read.handle) == SQLITE_ROW && ReadPart(read.handle, part)) {
            for (const Stored& record : part.entries()) ++per_day[record.seen];
        }
        sqlite3_reset(read.handle);
    }
    int64_t room = MaxEntries();
    int32_t last_day = UINT16_MAX;
    while (last_day > 0 && room > static_cast<int64_t>(per_day[last_day])) {
        room -= per_day[last_day--];
    }
    Statement drop(db_, "DELETE FROM part WHERE id=?1");
    if (!drop) return false;
    PartWriter writer(db_);
    for (const int64_t id : ids) {
        sqlite3_bind_int64(read.handle, 1, id);
        const bool usable = sqlite3_step(read.handle) == SQLITE_ROW && ReadPart(read.handle, part);
        if (!usable) part.Clear();
        sqlite3_reset(read.handle);
        sqlite3_bind_int64(drop.handle, 1, id);
        const bool dropped = sqlite3_step(drop.handle) == SQLITE_DONE;
        sqlite3_reset(drop.handle);
        if (!dropped) return false;
        for (const Stored& record : part.entries()) {
            if (record.seen < last_day || (record.seen == last_day && room-- <= 0)) continue;
            writer.Add(record,
                       record.keys != CacheTable::kNoKeys ? &part.digests()[record.keys] : nullptr);
        }
    }
    return writer.Finish();
}

ScanHistory ContentCache::ReadHistory(const std::string& path, uint64_t scanKey) {
    ScanHistory history;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) ==
            SQLITE_OK &&
        PragmaInt(db, "PRAGMA application_id") == kApplicationId) {
        Statement select(db, "SELECT files FROM scan WHERE key=?1");
        if (select) {
            sqlite3_bind_int64(select.handle, 1, Signed(scanKey));
            if (sqlite3_step(select.handle) == SQLITE_ROW) {
                history.files = Unsigned(sqlite3_column_int64(select.handle, 0));
            }
        }
    }
    if (db != nullptr) sqlite3_close_v2(db);  // a missing or foreign file: nothing known
    return history;
}

Status ContentCache::Clear(const std::string& path) {
    ContentCache cache(path);
    if (!cache.Open(true))
        return Status::Failure(StatusCode::kIoFailed, "the content cache cannot be opened");
    if (!Exec(cache.db_, "DELETE FROM part; DELETE FROM scan")) {
        std::string why = sqlite3_errmsg(cache.db_);
        LogLess("content cache %s could not be cleared (%s)", path.c_str(), why.c_str());
        return Status::Failure(StatusCode::kIoFailed, std::move(why));
    }
    Exec(cache.db_, "VACUUM");
    LogLess("content cache %s cleared", path.c_str());
    return Status::Ok();
}

}  // namespace merravine
