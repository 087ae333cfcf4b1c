// The hashing floor of a tree: the least reading and digesting a first scan must do
// to answer with the sets it gives, on every core, with nothing else (no walk, no
// first blocks, no files that turn out unique). Each set's first file is read whole
// and digested with MD5 (its key orders the sets); every other member is read whole
// and compared with it block by block. The sets come from a scan's JSON output:
//   merravine scan --skip 0 --format json TREE | python3 -c 'import json,sys
//   [sys.stdout.write("".join(f["path"]+"\0" for f in s["files"])+"\0")
//    for s in json.load(sys.stdin)["sets"]]' > sets.bin
//   hash_floor sets.bin [threads]
// Paths end in a NUL byte; an empty path ends a set.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "search/md5.h"

namespace {

constexpr size_t kBlock = 1 << 20;

struct Set {
    std::vector<std::string> paths;
    uint64_t size = 0;
};

std::vector<Set> ReadSets(const char* file) {
    std::ifstream in(file, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Set> sets(1);
    for (size_t at = 0; at < all.size();) {
        const size_t end = all.find('\0', at);
        if (end == std::string::npos) break;
        if (end == at) {
            if (!sets.back().paths.empty()) sets.emplace_back();
        } else {
            sets.back().paths.push_back(all.substr(at, end - at));
        }
        at = end + 1;
    }
    if (sets.back().paths.empty()) sets.pop_back();
    return sets;
}

// Reads up to `want` bytes at `offset`; the bytes read.
size_t ReadAt(int fd, uint8_t* buffer, size_t want, uint64_t offset) {
    size_t have = 0;
    while (have < want) {
        const ssize_t got =
            pread(fd, buffer + have, want - have, static_cast<off_t>(offset + have));
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    return have;
}

struct Totals {
    std::atomic<uint64_t> read{0};
    std::atomic<uint64_t> digested{0};
    std::atomic<uint64_t> differing{0};  // should stay 0: the scan's sets are equal files
};

void CheckSet(const Set& set, std::vector<uint8_t>& reference, std::vector<uint8_t>& other,
              merravine::Md5& md5, Totals& totals) {
    std::vector<int> fds;
    for (const std::string& path : set.paths)
        fds.push_back(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    md5.Begin();
    std::vector<bool> equal(fds.size(), true);
    uint64_t offset = 0;
    for (;;) {
        const size_t got = fds[0] < 0 ? 0 : ReadAt(fds[0], reference.data(), kBlock, offset);
        if (got == 0) break;
        md5.Update(reference.data(), got);
        totals.digested += got;
        totals.read += got;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!equal[i] || fds[i] < 0) continue;
            const size_t have = ReadAt(fds[i], other.data(), got, offset);
            totals.read += have;
            equal[i] = have == got && std::memcmp(reference.data(), other.data(), got) == 0;
        }
        offset += got;
    }
    (void)md5.FinishKey();
    for (size_t i = 1; i < fds.size(); ++i) totals.differing += equal[i] ? 0 : 1;
    for (const int fd : fds) {
        if (fd >= 0) close(fd);
    }
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hash_floor SETS [threads]\n");
        return 2;
    }
    std::vector<Set> sets = ReadSets(argv[1]);
    for (Set& set : sets) {
        struct stat info {};
        if (!set.paths.empty() && stat(set.paths[0].c_str(), &info) == 0)
            set.size = static_cast<uint64_t>(info.st_size) * set.paths.size();
    }
    // Largest first, so that the threads end together.
    std::sort(sets.begin(), sets.end(), [](const Set& a, const Set& b) { return a.size > b.size; });
    const unsigned threads =
        argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : std::thread::hardware_concurrency();
    Totals totals;
    std::atomic<size_t> next{0};
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = CpuSeconds();
    {
        std::vector<std::jthread> workers;
        for (unsigned t = 0; t < std::max(threads, 1u); ++t) {
            workers.emplace_back([&] {
                std::vector<uint8_t> reference(kBlock);
                std::vector<uint8_t> other(kBlock);
                merravine::Md5 md5;
                for (size_t i = next++; i < sets.size(); i = next++)
                    CheckSet(sets[i], reference, other, md5, totals);
            });
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu sets, %u threads: %.3f s (cpu %.3f s), %.1f MB read, %.1f MB digested",
                sets.size(), threads, wall, CpuSeconds() - cpu_start,
                static_cast<double>(totals.read.load()) / 1e6,
                static_cast<double>(totals.digested.load()) / 1e6);
    std::printf(", %llu members differ\n",
                static_cast<unsigned long long>(totals.differing.load()));
    return 0;
}
