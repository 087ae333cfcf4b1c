// The content-key cache in SQLite: one table of entries keyed by device and inode,
// marked as ours by the file's application id, read whole at the start of a scan and
// written in one transaction once its results are out.
#include "search/content_cache.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "util/hash_mix.h"
#include "util/log.h"
#include "util/thread_body.h"

namespace merravine {
namespace {

constexpr int32_t kApplicationId = 0x4D525643;  // "MRVC"
constexpr int32_t kFormat = 2;

std::atomic<int32_t> g_today_for_tests{0};
std::mutex g_save_hook_mutex;
std::function<void()> g_save_hook;  // under g_save_hook_mutex

int32_t Today() {
    if (const int32_t day = g_today_for_tests.load(); day != 0) return day;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::hours>(now).count() / 24);
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

// The order of the entry table's key (device, inode), both stored as signed integers.
bool KeyOrder(uint64_t deviceA, uint64_t inodeA, uint64_t deviceB, uint64_t inodeB) {
    return std::pair(Signed(deviceA), Signed(inodeA)) < std::pair(Signed(deviceB), Signed(inodeB));
}

int32_t PragmaInt(sqlite3* db, const char* sql) {
    Statement statement(db, sql);
    if (!statement || sqlite3_step(statement.handle) != SQLITE_ROW) return -1;
    return sqlite3_column_int(statement.handle, 0);
}

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
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

void ContentCache::SetSaveHookForTests(std::function<void()> hook) {
    std::lock_guard lock(g_save_hook_mutex);
    g_save_hook = std::move(hook);
}

ContentCache::ContentCache(std::string path) : path_(std::move(path)) {}

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
    if (tables > 0 && PragmaInt(db_, "PRAGMA user_version") != kFormat) {
        LogLess("content cache %s is of another format; it is emptied", path_.c_str());
        if (!Exec(db_, "DROP TABLE IF EXISTS entry")) return false;
    }
    const std::string schema =
        "PRAGMA application_id=" + std::to_string(kApplicationId) +
        "; PRAGMA user_version=" + std::to_string(kFormat) +
        "; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
        // One b-tree keyed by the file: no row id and no second index to keep up.
        " CREATE TABLE IF NOT EXISTS entry(device INTEGER, inode INTEGER, path INTEGER,"
        " size INTEGER, mtime INTEGER, ctime INTEGER, fingerprint INTEGER, md5 BLOB, sha BLOB,"
        " seen INTEGER, PRIMARY KEY(device, inode)) WITHOUT ROWID;"
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
    Statement select(db_,
                     "SELECT device, inode, path, size, mtime, ctime, fingerprint, md5, sha, "
                     "seen FROM entry");
    if (!select) {
        LogLess("content cache %s cannot be read (%s)", path_.c_str(), sqlite3_errmsg(db_));
        return;
    }
    {  // room for every row at once, rather than growing by doubling
        Statement count(db_, "SELECT count(*), count(md5) FROM entry");
        if (count && sqlite3_step(count.handle) == SQLITE_ROW) {
            entries.Reserve(static_cast<size_t>(sqlite3_column_int64(count.handle, 0)),
                            static_cast<size_t>(sqlite3_column_int64(count.handle, 1)));
        }
    }
    const int32_t today = Today();
    int result = SQLITE_ROW;
    sqlite3_stmt* row = select.handle;
    while ((result = sqlite3_step(row)) == SQLITE_ROW) {
        CacheEntry entry;
        entry.facts.device = Unsigned(sqlite3_column_int64(row, 0));
        entry.facts.inode = Unsigned(sqlite3_column_int64(row, 1));
        entry.facts.pathHash = Unsigned(sqlite3_column_int64(row, 2));
        entry.facts.size = Unsigned(sqlite3_column_int64(row, 3));
        entry.facts.modifyNs = sqlite3_column_int64(row, 4);
        entry.facts.changeNs = sqlite3_column_int64(row, 5);
        entry.hasFingerprint = sqlite3_column_type(row, 6) != SQLITE_NULL;
        entry.fingerprint = Unsigned(sqlite3_column_int64(row, 6));
        const auto* md5 = static_cast<const uint8_t*>(sqlite3_column_blob(row, 7));
        const auto* sha = static_cast<const uint8_t*>(sqlite3_column_blob(row, 8));
        if (md5 != nullptr && sha != nullptr && sqlite3_column_bytes(row, 7) == 32 &&
            sqlite3_column_bytes(row, 8) == 32) {
            entry.hasKey = true;
            std::memcpy(entry.key.bytes.data(), md5, 32);
            std::memcpy(entry.sha.bytes.data(), sha, 32);
        }
        entries.Add(entry, sqlite3_column_int(row, 9) == today);
    }
    sqlite3_db_release_memory(db_);  // the pages read stay out of the search's peak
    if (result != SQLITE_DONE) {
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
    const CacheTable::Stored* stored = loaded_.Find(facts.device, facts.inode);
    if (stored == nullptr || !(stored->facts == facts)) return false;
    entry = loaded_.Expand(*stored);
    return true;
}

void ContentCache::Seen(const FileFacts& facts) {
    const CacheTable::Stored* stored = loaded_.Find(facts.device, facts.inode);
    if (stored != nullptr && !stored->seenToday) seen_.push_back({facts.device, facts.inode});
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
    const int32_t today = Today();
    if (!Exec(db_, "BEGIN IMMEDIATE")) {
        LogLess("content cache %s is busy (%s); this scan's findings are not kept", path_.c_str(),
                sqlite3_errmsg(db_));
        return;
    }
    bool ok = true;
    {
        Statement insert(db_,
                         "INSERT OR REPLACE INTO entry(device, inode, path, size, mtime, ctime, "
                         "fingerprint, md5, sha, seen)"
                         " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
        Statement touch(db_, "UPDATE entry SET seen=?3 WHERE device=?1 AND inode=?2");
        ok = insert && touch;
        // Rows go in in the table's key order, so the b-tree grows at its end instead
        // of splitting pages all over the file (a first save takes a third of the CPU).
        // The sort is stable: of two names of one inode the later one's row stays.
        const std::vector<CacheTable::Stored>& stored_entries = learned_.entries();
        std::vector<uint32_t> order(stored_entries.size());
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            return KeyOrder(stored_entries[a].facts.device, stored_entries[a].facts.inode,
                            stored_entries[b].facts.device, stored_entries[b].facts.inode);
        });
        for (const uint32_t at : order) {
            if (!ok) break;
            const CacheEntry entry = learned_.Expand(stored_entries[at]);
            const FileFacts& f = entry.facts;
            sqlite3_stmt* row = insert.handle;
            sqlite3_bind_int64(row, 1, Signed(f.device));
            sqlite3_bind_int64(row, 2, Signed(f.inode));
            sqlite3_bind_int64(row, 3, Signed(f.pathHash));
            sqlite3_bind_int64(row, 4, Signed(f.size));
            sqlite3_bind_int64(row, 5, f.modifyNs);
            sqlite3_bind_int64(row, 6, f.changeNs);
            if (entry.hasFingerprint) {
                sqlite3_bind_int64(row, 7, Signed(entry.fingerprint));
            } else {
                sqlite3_bind_null(row, 7);
            }
            if (entry.hasKey) {
                sqlite3_bind_blob(row, 8, entry.key.bytes.data(), 32, SQLITE_STATIC);
                sqlite3_bind_blob(row, 9, entry.sha.bytes.data(), 32, SQLITE_STATIC);
            } else {
                sqlite3_bind_null(row, 8);
                sqlite3_bind_null(row, 9);
            }
            sqlite3_bind_int(row, 10, today);
            ok = ok && sqlite3_step(row) == SQLITE_DONE;
            sqlite3_reset(row);
        }
        // An entry used today keeps its day; others are marked at most once a day.
        std::sort(seen_.begin(), seen_.end(), [](const Identity& a, const Identity& b) {
            return KeyOrder(a.device, a.inode, b.device, b.inode);
        });
        for (const Identity& f : seen_) {
            if (!ok) break;
            sqlite3_bind_int64(touch.handle, 1, Signed(f.device));
            sqlite3_bind_int64(touch.handle, 2, Signed(f.inode));
            sqlite3_bind_int(touch.handle, 3, today);
            ok = sqlite3_step(touch.handle) == SQLITE_DONE;
            sqlite3_reset(touch.handle);
        }
        if (ok && scanTotals_.files > 0) {
            Statement remember(db_,
                               "INSERT OR REPLACE INTO scan(key, files, seen)"
                               " VALUES(?1, ?2, ?3)");
            ok = static_cast<bool>(remember);
            if (ok) {
                sqlite3_bind_int64(remember.handle, 1, Signed(scanKey_));
                sqlite3_bind_int64(remember.handle, 2, Signed(scanTotals_.files));
                sqlite3_bind_int(remember.handle, 3, today);
                ok = sqlite3_step(remember.handle) == SQLITE_DONE;
            }
        }
        // Pruning reads every row; a scan that wrote or marked no entry (a second scan on
        // the same day) leaves it to the next that does, and the file cannot have grown.
        const bool changed = learned_.size() > 0 || !seen_.empty();
        for (const char* sql :
             {"DELETE FROM entry WHERE seen < ?1", "DELETE FROM scan WHERE seen < ?1"}) {
            Statement prune(db_, sql);
            if (ok && changed && prune) {
                sqlite3_bind_int(prune.handle, 1, today - kKeepDays);
                ok = sqlite3_step(prune.handle) == SQLITE_DONE;
            }
        }
        // Only a file that may have grown past its bound is sorted by age.
        const bool may_be_over = static_cast<int64_t>(loadedCount_ + learned_.size()) > kMaxEntries;
        Statement bound(db_,
                        "DELETE FROM entry WHERE (device, inode) IN (SELECT device, inode FROM"
                        " entry ORDER BY seen DESC LIMIT -1 OFFSET ?1)");
        if (ok && may_be_over && bound) {
            sqlite3_bind_int64(bound.handle, 1, kMaxEntries);
            ok = sqlite3_step(bound.handle) == SQLITE_DONE;
        }
    }
    if (!ok || !Exec(db_, "COMMIT")) {
        LogLess("content cache %s could not be written (%s); it keeps what it had", path_.c_str(),
                sqlite3_errmsg(db_));
        Exec(db_, "ROLLBACK");
    }
    learned_.Clear();
    std::vector<Identity>().swap(seen_);
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
    if (!Exec(cache.db_, "DELETE FROM entry; DELETE FROM scan")) {
        std::string why = sqlite3_errmsg(cache.db_);
        LogLess("content cache %s could not be cleared (%s)", path.c_str(), why.c_str());
        return Status::Failure(StatusCode::kIoFailed, std::move(why));
    }
    Exec(cache.db_, "VACUUM");
    LogLess("content cache %s cleared", path.c_str());
    return Status::Ok();
}

}  // namespace merravine
