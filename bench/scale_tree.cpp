// Writes a seeded tree of many small files for the scale benchmark (not a test):
//
//   scale_tree --files N --out DIR [--seed S] [--tiny]
//
// Folders hold 100 to 1000 files each (32 folders under each parent), names are 8 to 20
// bytes with a common suffix, and a tenth of the files are copies of an earlier file
// placed in another folder. One file in fifty is empty; the others' sizes are log-uniform
// from 64 bytes to 64 KiB, so small sizes are shared by many files and large ones mostly
// are not, as on a real disk; a file above
// 8 KiB holds seeded bytes in its first and last 4 KiB and a hole between them, which
// keeps the tree's disk use near 4 KiB a file. --tiny makes nine files in ten empty and
// the others 1 to 64 bytes (for trees of ten million names, where inodes and blocks are
// the limit).
// The same arguments give the same tree.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Rng {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return Next() % n; }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
};

// One file's content: its size and the seed of its bytes (copies share both).
struct Content {
    uint64_t size;
    uint64_t seed;
};

constexpr uint64_t kBlock = 4096;
constexpr uint64_t kWholeUpTo = 2 * kBlock;
constexpr const char* kSuffixes[] = {".txt", ".jpg", ".png", ".c",   ".h",   ".json", ".o",
                                     ".py",  ".mp3", ".pdf", ".log", ".xml", ".html", ""};

void Fill(uint64_t seed, uint64_t offset, char* out, size_t length) {
    Rng rng{seed * 0x2545f4914f6cdd1dULL + offset};
    for (size_t i = 0; i < length; i += 8) {
        const uint64_t word = rng.Next();
        std::memcpy(out + i, &word, std::min<size_t>(8, length - i));
    }
}

bool WriteAll(int fd, const char* data, size_t length, off_t at) {
    while (length > 0) {
        const ssize_t done = pwrite(fd, data, length, at);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += done;
        length -= static_cast<size_t>(done);
        at += done;
    }
    return true;
}

bool WriteContent(int fd, const Content& content) {
    static char buffer[kWholeUpTo];
    if (content.size <= kWholeUpTo) {
        Fill(content.seed, 0, buffer, content.size);
        return WriteAll(fd, buffer, content.size, 0);
    }
    Fill(content.seed, 0, buffer, kBlock);
    if (!WriteAll(fd, buffer, kBlock, 0)) return false;
    Fill(content.seed, 1, buffer, kBlock);
    const auto tail = static_cast<off_t>(content.size - kBlock);
    return WriteAll(fd, buffer, kBlock, tail);
}

std::string Name(Rng& rng, size_t min, size_t max) {
    static const char kLetters[] =
        "abcdefghijklmnopqrstuvwxyz0123456789_-ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const size_t length = min + rng.Below(max - min + 1);
    std::string name;
    for (size_t i = 0; i < length; ++i) name.push_back(kLetters[rng.Below(sizeof(kLetters) - 1)]);
    return name;
}

int MakeFolder(int parent, const std::string& name) {
    if (mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    return openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int Usage() {
    std::fprintf(stderr, "usage: scale_tree --files N --out DIR [--seed S] [--tiny]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t files = 0;
    uint64_t seed = 1;
    bool tiny = false;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--files" && i + 1 < argc) {
            files = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--tiny") {
            tiny = true;
        } else {
            return Usage();
        }
    }
    if (files == 0 || out.empty()) return Usage();
    if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(out.c_str());
        return 1;
    }
    const int root = open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        std::perror(out.c_str());
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    Rng rng{seed};
    std::vector<Content> made;  // every original, for the copies to draw from
    made.reserve(files);
    const double log_min = std::log(64.0);
    const double log_max = std::log(65536.0);
    uint64_t written = 0;
    uint64_t copies = 0;
    uint64_t folders = 0;
    int parent = -1;
    while (written < files) {
        if (folders % 32 == 0) {
            if (parent >= 0) close(parent);
            parent = MakeFolder(root, Name(rng, 6, 12));
            if (parent < 0) {
                std::perror("mkdir");
                return 1;
            }
        }
        const int folder = MakeFolder(parent, Name(rng, 6, 14));
        if (folder < 0) {
            std::perror("mkdir");
            return 1;
        }
        ++folders;
        const uint64_t here = std::min<uint64_t>(100 + rng.Below(901), files - written);
        for (uint64_t i = 0; i < here; ++i) {
            Content content;
            if (!made.empty() && rng.Below(10) == 0) {
                content = made[rng.Below(made.size())];
                ++copies;
            } else if (tiny) {
                content = {rng.Below(10) != 0 ? 0 : 1 + rng.Below(64), rng.Next()};
                made.push_back(content);
            } else if (rng.Below(50) == 0) {
                content = {0, 0};
                made.push_back(content);
            } else {
                const double log_size = log_min + rng.Unit() * (log_max - log_min);
                content = {static_cast<uint64_t>(std::exp(log_size)), rng.Next()};
                made.push_back(content);
            }
            const char* suffix = kSuffixes[rng.Below(std::size(kSuffixes))];
            int fd = -1;
            while (fd < 0) {
                const std::string name = Name(rng, 7, 16) + suffix;
                fd = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                if (fd < 0 && errno != EEXIST) {
                    std::perror("create");
                    return 1;
                }
            }
            if (content.size > kWholeUpTo && ftruncate(fd, static_cast<off_t>(content.size)) != 0) {
                std::perror("ftruncate");
                return 1;
            }
            if (!WriteContent(fd, content)) {
                std::perror("write");
                return 1;
            }
            close(fd);
            ++written;
        }
        close(folder);
        if (folders % 1000 == 0) {
            std::fprintf(stderr, "%llu files\r", static_cast<unsigned long long>(written));
        }
    }
    if (parent >= 0) close(parent);
    close(root);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%llu files (%llu copies) in %llu folders, %.1f s\n",
                static_cast<unsigned long long>(written), static_cast<unsigned long long>(copies),
                static_cast<unsigned long long>(folders), seconds);
    return 0;
}
