// The content-key cache: a second scan of unchanged files reads nothing and finds the
// same sets; any change to a file (content with its times put back, another file in
// its place, a reused inode number, another device) makes it read again; equality
// from the cache rests on SHA-256, never on MD5 alone; a missing, foreign, damaged or
// locked cache file only costs the reads.
#include "search/content_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "search_test_support.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::DeliveredSets;
using testing::TempDir;
using Sets = std::set<std::set<std::string>>;

struct ScanResult {
    Sets sets;
    uint64_t bytesRead = 0;
    std::vector<std::vector<std::string>> ordered;
};

ScanResult Scan(const std::filesystem::path& root, const std::string& cache, int threads = 2) {
    SearchEngine engine;
    engine.settings = testing::SettingsFor({root.string()});
    engine.tuning.cachePath = cache;
    engine.tuning.hashThreads = threads;
    engine.tuning.prefixSize = 1024;
    engine.tuning.readBufferSize = 4096;
    testing::RunSearchToEnd(engine);
    EXPECT_EQ(engine.unreadableNumber.load(), 0);
    ScanResult result;
    result.ordered = DeliveredSets(engine);
    result.sets = testing::Unordered(result.ordered);
    result.bytesRead = engine.bytesRead.load();
    return result;
}

void Sql(const std::string& db, const std::string& statement) {
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &connection), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(connection, statement.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(connection);
}

using Records = std::vector<CacheTable::Stored>;
using DigestList = std::vector<CacheTable::Digests>;

// Reads every entry of the cache file at `db`, lets `edit` change them, and writes
// them back in the file's order (as one part).
void EditEntries(const std::string& db, const std::function<void(Records&, DigestList&)>& edit) {
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &connection), SQLITE_OK);
    CacheTable table;
    sqlite3_stmt* select = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(connection, "SELECT entries, digests FROM part ORDER BY id", -1,
                                 &select, nullptr),
              SQLITE_OK);
    while (sqlite3_step(select) == SQLITE_ROW) {
        const void* records = sqlite3_column_blob(select, 0);
        const size_t count = static_cast<size_t>(sqlite3_column_bytes(select, 0)) / 64;
        const void* digests = sqlite3_column_blob(select, 1);
        const size_t keyed = static_cast<size_t>(sqlite3_column_bytes(select, 1)) / 64;
        ASSERT_TRUE(table.Append(records, count, digests, keyed));
    }
    sqlite3_finalize(select);
    // Each entry with digests of its own (the file may share them between copies).
    Records records = table.entries();
    DigestList digests;
    for (CacheTable::Stored& record : records) {
        if (record.keys == CacheTable::kNoKeys) continue;
        digests.push_back(table.digests()[record.keys]);
        record.keys = static_cast<uint32_t>(digests.size() - 1);
    }
    edit(records, digests);
    std::sort(records.begin(), records.end(), KeyBefore);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_exec(connection, "DELETE FROM part", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(connection, "INSERT INTO part(entries, digests) VALUES(?1, ?2)",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    sqlite3_bind_blob(insert, 1, records.data(), static_cast<int>(records.size() * 64),
                      SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, digests.data(), static_cast<int>(digests.size() * 64),
                      SQLITE_STATIC);
    EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
    sqlite3_finalize(insert);
    sqlite3_close(connection);
}

CacheTable::Stored* RecordOf(Records& records, ino_t inode) {
    for (CacheTable::Stored& record : records) {
        if (record.facts.inode == inode) return &record;
    }
    ADD_FAILURE() << "no entry for inode " << inode;
    return &records.front();
}

// How many entries the cache file at `db` holds.
int64_t EntryCount(const std::string& db) {
    int64_t count = 0;
    EditEntries(
        db, [&](Records& records, DigestList&) { count = static_cast<int64_t>(records.size()); });
    return count;
}

struct stat StatOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info;
}

void PutTimesBack(const std::string& path, const struct stat& before) {
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Three files of one size, two of them equal, in sizes that take every path: a raw
// key, a small file read whole, a large one compared block by block.
class CacheTree {
  public:
    explicit CacheTree(size_t size)
        : size_(size), root_(dir_.Path() / "tree"), cache_((dir_.Path() / "cache.db").string()) {
        testing::WritePattern(root_ / "a", size, 1);
        testing::WritePattern(root_ / "sub/b", size, 1);
        testing::WritePattern(root_ / "c", size, 2);
    }
    std::string Path(const char* name) const { return (root_ / name).string(); }
    Sets Expected() const { return testing::BruteForceSets(root_); }
    const std::filesystem::path& Root() const { return root_; }
    const std::string& Cache() const { return cache_; }
    size_t Size() const { return size_; }

  private:
    size_t size_;
    TempDir dir_;
    std::filesystem::path root_;
    std::string cache_;
};

TEST(ContentCache, ASecondScanOfUnchangedFilesReadsNothing) {
    for (const size_t size : {20ul, 900ul, 50000ul}) {
        CacheTree tree(size);
        const ScanResult cold = Scan(tree.Root(), tree.Cache());
        EXPECT_EQ(cold.sets, tree.Expected()) << size;
        EXPECT_GT(cold.bytesRead, 0u) << size;
        const ScanResult warm = Scan(tree.Root(), tree.Cache());
        EXPECT_EQ(warm.ordered, cold.ordered) << size;
        EXPECT_EQ(warm.bytesRead, 0u) << size;
    }
}

// Each change must make the file read again; the sets follow the new contents.
TEST(ContentCache, AChangedFileIsReadAgain) {
    for (const size_t size : {20ul, 900ul, 50000ul}) {
        {  // content changed, size and last-write time put back: the change time differs
            CacheTree tree(size);
            Scan(tree.Root(), tree.Cache());
            const struct stat before = StatOf(tree.Path("sub/b"));
            testing::WritePattern(tree.Path("sub/b"), size, 2);  // now equal to c, not to a
            PutTimesBack(tree.Path("sub/b"), before);
            const ScanResult warm = Scan(tree.Root(), tree.Cache());
            EXPECT_EQ(warm.sets, tree.Expected()) << "touch -r, " << size;
            EXPECT_EQ(warm.sets, (Sets{{tree.Path("sub/b"), tree.Path("c")}})) << size;
        }
        {  // replaced by another file of the same size and times (a new inode)
            CacheTree tree(size);
            Scan(tree.Root(), tree.Cache());
            const struct stat before = StatOf(tree.Path("sub/b"));
            testing::WritePattern(tree.Path("sub/b.new"), size, 2);
            PutTimesBack(tree.Path("sub/b.new"), before);
            std::filesystem::rename(tree.Path("sub/b.new"), tree.Path("sub/b"));
            EXPECT_EQ(Scan(tree.Root(), tree.Cache()).sets, tree.Expected())
                << "replaced, " << size;
        }
        {  // deleted, and its inode number given to a new file with its name and times
            CacheTree tree(size);
            Scan(tree.Root(), tree.Cache());
            const struct stat before = StatOf(tree.Path("sub/b"));
            bool reused = false;
            for (int attempt = 0; attempt < 20 && !reused; ++attempt) {
                std::filesystem::remove(tree.Path("sub/b"));
                testing::WritePattern(tree.Path("sub/b"), size, 2);
                reused = StatOf(tree.Path("sub/b")).st_ino == before.st_ino;
            }
            PutTimesBack(tree.Path("sub/b"), before);
            EXPECT_EQ(Scan(tree.Root(), tree.Cache()).sets, tree.Expected())
                << "inode reused, " << size;
        }
        {  // an entry for the same path and inode on another device: never used
            CacheTree tree(size);
            Scan(tree.Root(), tree.Cache());
            // Were it used, c would take a's key and join its set.
            const ino_t a = StatOf(tree.Path("a")).st_ino;
            const ino_t c = StatOf(tree.Path("c")).st_ino;
            EditEntries(tree.Cache(), [&](Records& records, DigestList& digests) {
                CacheTable::Stored* of_c = RecordOf(records, c);
                const CacheTable::Digests of_a = digests.at(RecordOf(records, a)->keys);
                ++of_c->facts.device;
                of_c->keys = static_cast<uint32_t>(digests.size());
                digests.push_back(of_a);
            });
            const ScanResult warm = Scan(tree.Root(), tree.Cache());
            EXPECT_EQ(warm.sets, tree.Expected()) << "other device, " << size;
            EXPECT_GT(warm.bytesRead, 0u) << size;
        }
    }
}

// Two different contents made to share one MD5 in the cache (a stand-in for a
// constructed collision): both taken from the cache, they are never one set.
TEST(ContentCache, EqualityFromTheCacheRestsOnSha256) {
    TempDir dir;
    const std::filesystem::path root = dir.Path() / "tree";
    const std::string cache = (dir.Path() / "cache.db").string();
    for (const char* name : {"a1", "a2"}) testing::WritePattern(root / name, 50000, 1, 30000);
    for (const char* name : {"b1", "b2"}) testing::WritePattern(root / name, 50000, 1, 20000);
    testing::WritePattern(root / "c", 50000, 1, 10000);
    testing::WritePattern(root / "c-twin", 50000, 1, 10000);
    const ScanResult cold = Scan(root, cache);
    ASSERT_EQ(cold.sets, testing::BruteForceSets(root));
    ASSERT_EQ(cold.sets.size(), 3u);
    const auto ino = [&](const char* name) { return StatOf((root / name).string()).st_ino; };
    EditEntries(cache, [&](Records& records, DigestList& digests) {
        const ContentKey a_md5 = digests.at(RecordOf(records, ino("a1"))->keys).key;
        for (const char* name : {"b1", "b2", "c"}) {
            digests.at(RecordOf(records, ino(name))->keys).key = a_md5;
        }
    });
    const ScanResult warm = Scan(root, cache);
    EXPECT_EQ(warm.bytesRead, 0u);
    for (const auto& set : warm.sets) {
        const bool has_a = set.count((root / "a1").string()) != 0;
        const bool has_other =
            set.count((root / "b1").string()) != 0 || set.count((root / "c").string()) != 0;
        EXPECT_FALSE(has_a && has_other) << "files of different content in one set";
        EXPECT_EQ(set.size(), 2u);
    }
    EXPECT_TRUE(warm.sets.count({(root / "a1").string(), (root / "a2").string()}) != 0);
}

// A cache file that cannot be used never stops a scan, and a foreign file is left
// as it was.
TEST(ContentCache, AnUnusableCacheFileOnlyCostsTheReads) {
    CacheTree tree(50000);
    const std::filesystem::path folder = std::filesystem::path(tree.Cache()).parent_path();
    {  // in a folder that does not exist
        const ScanResult scan = Scan(tree.Root(), (folder / "missing/cache.db").string());
        EXPECT_EQ(scan.sets, tree.Expected());
    }
    {  // damaged: not an SQLite file at all
        const std::string damaged = (folder / "damaged.db").string();
        std::ofstream(damaged) << std::string(5000, 'x');
        EXPECT_EQ(Scan(tree.Root(), damaged).sets, tree.Expected());
        EXPECT_EQ(Scan(tree.Root(), damaged).sets, tree.Expected());
    }
    {  // another program's database: left alone
        const std::string foreign = (folder / "foreign.db").string();
        Sql(foreign, "CREATE TABLE notes(text); INSERT INTO notes VALUES('keep me')");
        const auto before = std::filesystem::file_size(foreign);
        EXPECT_EQ(Scan(tree.Root(), foreign).sets, tree.Expected());
        EXPECT_EQ(std::filesystem::file_size(foreign), before);
    }
    {  // locked by another writer for the whole scan
        Scan(tree.Root(), tree.Cache());
        sqlite3* holder = nullptr;
        ASSERT_EQ(sqlite3_open(tree.Cache().c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        EXPECT_EQ(Scan(tree.Root(), tree.Cache()).sets, tree.Expected());
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
    }
    {  // cleared: the next scan reads everything again
        ASSERT_TRUE(ContentCache::Clear(tree.Cache()).IsOk());
        EXPECT_GT(Scan(tree.Root(), tree.Cache()).bytesRead, 0u);
    }
}

// A finished scan keeps its file count for the next one with the same settings, which
// can tell its progress from the start; other settings, a clear or a foreign file know
// nothing.
TEST(ContentCache, AFinishedScanIsRememberedForTheNextWithTheSameSettings) {
    CacheTree tree(50000);
    SearchSettings settings = testing::SettingsFor({tree.Root().string()});
    EXPECT_EQ(ContentCache::ReadHistory(tree.Cache(), ScanKey(settings)).files, 0u);
    Scan(tree.Root(), tree.Cache());
    const uint64_t files = ContentCache::ReadHistory(tree.Cache(), ScanKey(settings)).files;
    EXPECT_EQ(files, 3u);
    settings.skipflag ^= FILE_SKIP_HIDE;
    EXPECT_EQ(ContentCache::ReadHistory(tree.Cache(), ScanKey(settings)).files, 0u);
    settings.skipflag ^= FILE_SKIP_HIDE;
    settings.excludeDirs.push_back(tree.Path("sub"));
    EXPECT_EQ(ContentCache::ReadHistory(tree.Cache(), ScanKey(settings)).files, 0u);
    ASSERT_TRUE(ContentCache::Clear(tree.Cache()).IsOk());
    settings.excludeDirs.clear();
    EXPECT_EQ(ContentCache::ReadHistory(tree.Cache(), ScanKey(settings)).files, 0u);
    const std::string foreign = tree.Path("a");
    EXPECT_EQ(ContentCache::ReadHistory(foreign, ScanKey(settings)).files, 0u);
}

// Entries of files no scan has met for the keeping time go; the others stay.
TEST(ContentCache, EntriesNotSeenForLongArePruned) {
    CacheTree tree(50000);
    ContentCache::SetTodayForTests(20000);
    Scan(tree.Root(), tree.Cache());
    std::filesystem::remove(tree.Path("c"));
    ContentCache::SetTodayForTests(20000 + ContentCache::kKeepDays / 2);
    Scan(tree.Root(), tree.Cache());  // a and b are seen again, c is gone
    ContentCache::SetTodayForTests(20000 + ContentCache::kKeepDays + 1);
    Scan(tree.Root(), tree.Cache());
    ContentCache::SetTodayForTests(0);
    EXPECT_EQ(EntryCount(tree.Cache()), 2);
}

CacheEntry MadeEntry(uint64_t device, uint64_t inode, bool keyed) {
    CacheEntry entry;
    entry.facts = FileFacts{device, inode, inode * 131, 4096 + inode, int64_t(inode) * 7, 9};
    entry.fingerprint = inode ^ device;
    entry.hasFingerprint = true;
    entry.hasKey = keyed;
    std::memcpy(entry.key.bytes.data(), &inode, sizeof inode);
    entry.sha.bytes[3] = static_cast<uint8_t>(inode);
    entry.sha.bytes[9] = static_cast<uint8_t>(inode >> 8);
    return entry;
}

// Entries found in the cache file at `db`, and each found as it was made.
size_t FoundAsMade(const std::string& db, const std::vector<CacheEntry>& entries) {
    ContentCache cache(db);
    cache.Load();
    size_t found = 0;
    CacheEntry held;
    for (const CacheEntry& want : entries) {
        if (!cache.Find(want.facts, held)) continue;
        ++found;
        EXPECT_EQ(held.fingerprint, want.fingerprint);
        EXPECT_EQ(held.hasKey, want.hasKey);
        if (held.hasKey && want.hasKey) {
            EXPECT_EQ(held.key, want.key);
            EXPECT_EQ(held.sha, want.sha);
        }
    }
    return found;
}

// Several parts' worth of entries: saved, read back, then merged with a scan that
// changed a tenth of them, found a new device and met the rest.
TEST(ContentCache, ManyEntriesAreMergedPartByPart) {
    TempDir dir;
    const std::string db = (dir.Path() / "cache.db").string();
    std::vector<CacheEntry> entries;
    for (uint64_t inode = 1; inode <= 3 * ContentCache::kPartEntries + 100; ++inode) {
        entries.push_back(MadeEntry(5, inode * 3, inode % 3 == 0));
    }
    ContentCache::SetTodayForTests(20000);
    {
        ContentCache cache(db);
        cache.Load();
        // Met in no order, one file twice (its later entry stays).
        for (size_t i = entries.size(); i-- > 0;) cache.Put(entries[i]);
        CacheEntry older = entries[10];
        older.facts.modifyNs = 1;
        cache.Put(older);
        cache.Put(entries[10]);
        cache.Save();
    }
    EXPECT_EQ(EntryCount(db), static_cast<int64_t>(entries.size()));
    EXPECT_EQ(FoundAsMade(db, entries), entries.size());

    ContentCache::SetTodayForTests(20001);
    std::vector<CacheEntry> now = entries;
    {
        ContentCache cache(db);
        cache.Load();
        CacheEntry held;
        for (size_t i = 0; i < now.size(); ++i) {
            if (i % 10 == 0) {
                now[i].facts.changeNs += 1;
                now[i].hasKey = !now[i].hasKey;
                cache.Put(now[i]);
            } else {
                ASSERT_TRUE(cache.Find(now[i].facts, held));
                EXPECT_FALSE(held.seenToday);
                cache.Seen(now[i].facts);
            }
        }
        for (uint64_t inode = 1; inode <= 50; ++inode) {
            now.push_back(MadeEntry(4, inode, true));  // before every entry of device 5
            cache.Put(now.back());
        }
        cache.Save();
    }
    EXPECT_EQ(EntryCount(db), static_cast<int64_t>(now.size()));
    EXPECT_EQ(FoundAsMade(db, now), now.size());
    EXPECT_EQ(FoundAsMade(db, {entries[0], entries[10]}), 0u) << "replaced entries are gone";
    // Every entry was met today: a scan that changes nothing writes nothing.
    const auto before = std::filesystem::last_write_time(db);
    {
        ContentCache cache(db);
        cache.Load();
        CacheEntry held;
        for (const CacheEntry& entry : now) {
            ASSERT_TRUE(cache.Find(entry.facts, held));
            EXPECT_TRUE(held.seenToday);
            cache.Seen(entry.facts);
        }
        cache.Save();
    }
    EXPECT_EQ(std::filesystem::last_write_time(db), before);
    ContentCache::SetTodayForTests(0);
}

// Past its bound the file keeps the entries met last.
TEST(ContentCache, AFullFileKeepsTheEntriesMetLast) {
    TempDir dir;
    const std::string db = (dir.Path() / "cache.db").string();
    ContentCache::SetMaxEntriesForTests(5000);
    std::vector<CacheEntry> older;
    std::vector<CacheEntry> newer;
    for (uint64_t inode = 1; inode <= 4000; ++inode)
        older.push_back(MadeEntry(1, inode * 2, inode % 2));
    for (uint64_t inode = 1; inode <= 3000; ++inode)
        newer.push_back(MadeEntry(1, inode * 2 + 1, true));
    for (const auto& [day, batch] : {std::pair{20000, &older}, std::pair{20001, &newer}}) {
        ContentCache::SetTodayForTests(day);
        ContentCache cache(db);
        cache.Load();
        for (const CacheEntry& entry : *batch) cache.Put(entry);
        cache.Save();
    }
    ContentCache::SetMaxEntriesForTests(0);
    ContentCache::SetTodayForTests(0);
    EXPECT_EQ(EntryCount(db), 5000);
    EXPECT_EQ(FoundAsMade(db, newer), newer.size());
    EXPECT_EQ(FoundAsMade(db, older), 2000u);
}

// A cache file of the format before is emptied once and then used.
TEST(ContentCache, AFileOfTheFormerFormatIsEmptiedOnce) {
    CacheTree tree(50000);
    Sql(tree.Cache(),
        "PRAGMA application_id=1297241667; PRAGMA user_version=2;"
        " CREATE TABLE entry(device INTEGER, inode INTEGER, path INTEGER, size INTEGER,"
        " mtime INTEGER, ctime INTEGER, fingerprint INTEGER, md5 BLOB, sha BLOB, seen INTEGER,"
        " PRIMARY KEY(device, inode)) WITHOUT ROWID;"
        " INSERT INTO entry VALUES(1, 2, 3, 4, 5, 6, 7, NULL, NULL, 8);"
        " CREATE TABLE scan(key INTEGER PRIMARY KEY, files INTEGER, seen INTEGER)");
    const ScanResult first = Scan(tree.Root(), tree.Cache());
    EXPECT_EQ(first.sets, tree.Expected());
    EXPECT_GT(first.bytesRead, 0u);
    const ScanResult second = Scan(tree.Root(), tree.Cache());
    EXPECT_EQ(second.sets, tree.Expected());
    EXPECT_EQ(second.bytesRead, 0u) << "what the first scan learned was kept";
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(tree.Cache().c_str(), &connection), SQLITE_OK);
    EXPECT_NE(sqlite3_exec(connection, "SELECT 1 FROM entry", nullptr, nullptr, nullptr), SQLITE_OK)
        << "the former table is gone";
    sqlite3_stmt* page = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(connection, "PRAGMA page_size", -1, &page, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(page), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(page, 0), 16384) << "set up as a new file is";
    sqlite3_finalize(page);
    sqlite3_close(connection);
}

// Parts that are not as written (cut short, or pointing past their digests) are not
// used, and the next save replaces them.
TEST(ContentCache, PartsNotAsWrittenAreReplaced) {
    for (const char* damage : {"UPDATE part SET entries = substr(entries, 1, 100)",
                               "UPDATE part SET digests = zeroblob(0)"}) {
        CacheTree tree(50000);
        Scan(tree.Root(), tree.Cache());
        Sql(tree.Cache(), damage);
        const ScanResult damaged = Scan(tree.Root(), tree.Cache());
        EXPECT_EQ(damaged.sets, tree.Expected()) << damage;
        EXPECT_GT(damaged.bytesRead, 0u) << damage;
        const ScanResult after = Scan(tree.Root(), tree.Cache());
        EXPECT_EQ(after.sets, tree.Expected()) << damage;
        EXPECT_EQ(after.bytesRead, 0u) << damage;
    }
}

}  // namespace
}  // namespace merravine
