// Batched first reads: the pieces read are those pread gives, a file that is not plain
// is left to the caller without waiting, failures are the file's own, and nothing
// stays open.
#include "platform/piece_read.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace merravine::platform {
namespace {

using testing::TempDir;

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::string Pattern(size_t size, unsigned seed) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + seed) % 251);
    return content;
}

struct Held {
    std::string path;
    std::vector<uint8_t> first = std::vector<uint8_t>(4097);
    std::vector<uint8_t> last = std::vector<uint8_t>(4097);
};

// A piece for the first block and, beyond it, the last block, each asked one byte
// more where it reaches the end, as the search asks them.
PieceRead PieceOf(Held& held, uint64_t size) {
    PieceRead piece;
    piece.path = held.path.c_str();
    piece.size = size;
    piece.buffers[0] = held.first.data();
    piece.buffers[1] = held.last.data();
    piece.lengths[0] = static_cast<uint32_t>(std::min<uint64_t>(size, 4096) + (size <= 4096));
    if (size > 4096) {
        piece.offsets[1] = size > 8192 ? size - 4096 : 4096;
        piece.lengths[1] = static_cast<uint32_t>(size - piece.offsets[1] + 1);
    }
    return piece;
}

TEST(PieceReads, ReadWhatPreadReadsInBatchesOfAnySizeAndCloseEverything) {
    if (!PieceReadsBatched())
        GTEST_SKIP() << "no io_uring here (or a ThreadSanitizer build, which does without)";
    TempDir dir;
    const uint64_t sizes[] = {1, 33, 4095, 4096, 4097, 8191, 8192, 8193, 100000};
    std::vector<Held> held(40);
    std::vector<PieceRead> pieces;
    for (size_t i = 0; i < held.size(); ++i) {
        const uint64_t size = sizes[i % std::size(sizes)];
        held[i].path =
            dir.Write("f" + std::to_string(i), Pattern(size, static_cast<unsigned>(i))).string();
        pieces.push_back(PieceOf(held[i], size));
    }
    const size_t open_before = OpenDescriptors();
    ReadPieces(pieces);
    EXPECT_EQ(OpenDescriptors(), open_before);
    for (size_t i = 0; i < held.size(); ++i) {
        SCOPED_TRACE(held[i].path);
        const uint64_t size = sizes[i % std::size(sizes)];
        const std::string content = Pattern(size, static_cast<unsigned>(i));
        const PieceRead& piece = pieces[i];
        ASSERT_TRUE(piece.done);
        EXPECT_EQ(piece.error, 0);
        for (size_t at = 0; at < 2; ++at) {
            if (piece.lengths[at] == 0) continue;
            const auto offset = static_cast<size_t>(piece.offsets[at]);
            const size_t expected = std::min<size_t>(piece.lengths[at], size - offset);
            ASSERT_EQ(piece.got[at], expected);  // the byte asked beyond the end is not there
            const uint8_t* buffer = piece.buffers[at];
            EXPECT_EQ(std::string(buffer, buffer + expected), content.substr(offset, expected));
        }
    }
}

// A whole file in one piece of its size and one byte more, as comparisons ask it: the
// byte beyond shows a file that grew, and a file that shrank is left to the caller.
TEST(PieceReads, WholeFilesInOnePieceShowGrowthAndLeaveShrinkingToTheCaller) {
    if (!PieceReadsBatched())
        GTEST_SKIP() << "no io_uring here (or a ThreadSanitizer build, which does without)";
    TempDir dir;
    constexpr uint64_t kSize = 128 << 10;
    const std::string content = Pattern(kSize, 5);
    const std::string paths[] = {dir.Write("same", content).string(),
                                 dir.Write("grew", content + "x").string(),
                                 dir.Write("shrank", content.substr(1)).string()};
    std::vector<std::vector<uint8_t>> buffers(std::size(paths), std::vector<uint8_t>(kSize + 1));
    std::vector<PieceRead> pieces(std::size(paths));
    for (size_t i = 0; i < pieces.size(); ++i) {
        pieces[i].path = paths[i].c_str();
        pieces[i].size = kSize;
        pieces[i].buffers[0] = buffers[i].data();
        pieces[i].lengths[0] = kSize + 1;
    }
    ReadPieces(pieces);
    ASSERT_TRUE(pieces[0].done);
    EXPECT_EQ(pieces[0].got[0], kSize);
    EXPECT_EQ(std::string(buffers[0].begin(), buffers[0].end() - 1), content);
    ASSERT_TRUE(pieces[1].done);
    EXPECT_EQ(pieces[1].got[0], kSize + 1);
    EXPECT_FALSE(pieces[2].done);
}

TEST(PieceReads, WhatIsNotAPlainFileIsLeftToTheCallerAndFailuresAreTheFilesOwn) {
    if (!PieceReadsBatched())
        GTEST_SKIP() << "no io_uring here (or a ThreadSanitizer build, which does without)";
    TempDir dir;
    const std::string plain = dir.Write("plain", Pattern(5000, 1)).string();
    const std::string fifo = (dir.Path() / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opened, it would wait for a writer
    const std::string link = (dir.Path() / "link").string();
    std::filesystem::create_symlink(plain, link);
    const std::string folder = (dir.Path() / "folder").string();
    std::filesystem::create_directory(folder);
    const std::string missing = (dir.Path() / "missing").string();
    std::string long_path = dir.Path().string();
    while (long_path.size() < PATH_MAX) long_path += "/a-rather-long-folder-name";

    std::vector<Held> held(6);
    const std::string paths[] = {fifo, link, folder, missing, long_path, plain};
    std::vector<PieceRead> pieces;
    for (size_t i = 0; i < held.size(); ++i) {
        held[i].path = paths[i];
        pieces.push_back(PieceOf(held[i], 5000));
    }
    const size_t open_before = OpenDescriptors();
    ReadPieces(pieces);
    EXPECT_EQ(OpenDescriptors(), open_before);
    EXPECT_FALSE(pieces[0].done);  // nothing to read: the caller's own check refuses it
    EXPECT_TRUE(pieces[1].done);
    EXPECT_EQ(pieces[1].error, ELOOP);  // links are not followed
    EXPECT_FALSE(pieces[2].done);       // a folder cannot be read
    EXPECT_TRUE(pieces[3].done);
    EXPECT_EQ(pieces[3].error, ENOENT);
    EXPECT_FALSE(pieces[4].done);  // too long for one open: the caller opens it in pieces
    ASSERT_TRUE(pieces[5].done);
    EXPECT_EQ(pieces[5].error, 0);
    EXPECT_EQ(pieces[5].got[0], 4096U);
    EXPECT_EQ(pieces[5].got[1], 5000U - 4096U);
}

}  // namespace
}  // namespace merravine::platform
