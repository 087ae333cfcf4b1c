// Benchmark of the content cache's file: how long a scan's findings take to write and
// to read back, apart from any walk or read of files.
//   1. a first save of N entries into a new cache.db (a third of them with digests);
//   2. a load of them, a lookup of every one, and a save that writes nothing new;
//   3. a load, lookups, and a save of a tenth of them changed;
//   4. the load alone, five times (a second scan's cost before its first lookup).
// Usage: cache_bench [entries] [work folder]   (100,000 and a temporary folder by default)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "search/content_cache.h"

namespace fs = std::filesystem;
using merravine::CacheEntry;
using merravine::ContentCache;

namespace {

// Wall and CPU (user + system) seconds since a start.
struct Clock {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpu = CpuSeconds();

    static double CpuSeconds() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    void Print(const char* what) const {
        std::printf("%s: %.3f s (cpu %.3f s)\n", what,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
                    CpuSeconds() - cpu);
    }
};

// Entries as a walk meets them: inodes of one device in no particular order.
std::vector<CacheEntry> MakeEntries(size_t count) {
    std::mt19937_64 random(7);
    std::vector<CacheEntry> entries(count);
    for (size_t i = 0; i < count; ++i) {
        CacheEntry& e = entries[i];
        e.facts.device = 2049;
        e.facts.inode = random() % (count * 20) + 1;
        e.facts.pathHash = random();
        e.facts.size = 4096 + random() % 100000;
        e.facts.modifyNs = static_cast<int64_t>(random() >> 2);
        e.facts.changeNs = e.facts.modifyNs + 1;
        e.fingerprint = random();
        e.hasFingerprint = true;
        if (i % 3 == 0) {
            e.hasKey = true;
            for (auto& b : e.key.bytes) b = static_cast<uint8_t>(random());
            for (auto& b : e.sha.bytes) b = static_cast<uint8_t>(random());
        }
    }
    return entries;
}

// Loads the cache and looks every entry up; returns how many matched.
size_t LoadAndFind(ContentCache& cache, const std::vector<CacheEntry>& entries) {
    cache.Load();
    size_t found = 0;
    CacheEntry held;
    for (const CacheEntry& e : entries) {
        if (cache.Find(e.facts, held)) {
            ++found;
            cache.Seen(e.facts);
        }
    }
    cache.DropLoaded();
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100'000;
    const fs::path work = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "cache_bench";
    fs::remove_all(work);
    fs::create_directories(work);
    const std::string file = (work / "cache.db").string();
    std::vector<CacheEntry> entries = MakeEntries(count);

    Clock clock;
    {
        ContentCache cache(file);
        cache.Load();
        cache.ReserveLearned(entries.size(), entries.size() / 3 + 1);
        for (const CacheEntry& e : entries) cache.Put(e);
        cache.Save();
    }
    clock.Print("first save");
    std::printf("  %zu entries, file %.1f MiB\n", count,
                static_cast<double>(fs::file_size(file)) / (1 << 20));

    clock = Clock{};
    size_t found = 0;
    {
        ContentCache cache(file);
        found = LoadAndFind(cache, entries);
        cache.Save();
    }
    clock.Print("load, lookups, save of nothing");
    std::printf("  %zu found\n", found);

    for (size_t i = 0; i < entries.size(); i += 10) entries[i].facts.modifyNs += 1;
    clock = Clock{};
    {
        ContentCache cache(file);
        found = LoadAndFind(cache, entries);
        cache.ReserveLearned(entries.size() / 10 + 1, entries.size() / 30 + 1);
        for (size_t i = 0; i < entries.size(); i += 10) cache.Put(entries[i]);
        cache.Save();
    }
    clock.Print("load, lookups, save of a tenth changed");
    std::printf("  %zu found\n", found);

    for (int round = 0; round < 5; ++round) {
        clock = Clock{};
        ContentCache cache(file);
        cache.Load();
        clock.Print("load alone");
    }
    fs::remove_all(work);
    return 0;
}
