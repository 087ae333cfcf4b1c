// A process killed with SIGKILL while it replaces 1,000 files with hard links: every
// name must still hold its content afterwards (the old file or the link, never neither).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "deletion/action_commands.h"
#include "history/search_fixture.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;

std::string ContentOf(int n) {
    return "content of set " + std::to_string(n) + std::string(static_cast<size_t>(n % 97), '.');
}

TEST(ActionCrash, AKillDuringHardLinkingLeavesEveryNameWithItsContent) {
    testing::SearchFixture f;
    constexpr int kFiles = 1000;
    for (int i = 0; i < kFiles; ++i) {
        f.Write("a/f" + std::to_string(i), ContentOf(i));
        f.Write("b/f" + std::to_string(i), ContentOf(i));
    }
    f.Search();
    ActionBatch batch =
        BatchFromRows(f.engine, testing::RowsIn(f.Rows(), f.Root() + "/b/"), ActionKind::HardLink);
    ASSERT_EQ(batch.targets.size(), static_cast<size_t>(kFiles));

    // The child says after each file that it went on, and goes on only while it holds
    // a token: it gets 350, and is killed after 300, while it still works at full speed.
    int ticks[2];
    int tokens[2];
    ASSERT_EQ(pipe(ticks), 0);
    ASSERT_EQ(pipe(tokens), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ticks[0]);
        close(tokens[1]);
        ActionWorker worker;
        worker.SetAfterEachFile([&](size_t) {
            char tick = 1;
            if (write(ticks[1], &tick, 1) != 1 || read(tokens[0], &tick, 1) != 1) _exit(3);
        });
        ActionCounts counts;
        RunActionBatch(worker, nullptr, nullptr, batch, counts);
        _exit(counts.done == kFiles ? 0 : 1);
    }
    close(ticks[1]);
    close(tokens[0]);
    char buffer[350] = {};
    ASSERT_EQ(write(tokens[1], buffer, sizeof buffer), static_cast<ssize_t>(sizeof buffer));
    size_t seen = 0;
    while (seen < 300) {
        const ssize_t n = read(ticks[0], buffer, sizeof buffer);
        if (n <= 0) break;
        seen += static_cast<size_t>(n);
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(ticks[0]);
    close(tokens[1]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended before it was killed";

    size_t linked = 0;
    for (int i = 0; i < kFiles; ++i) {
        for (const char* side : {"/a/f", "/b/f"}) {
            const std::string path = f.Root() + side + std::to_string(i);
            std::ifstream in(path, std::ios::binary);
            ASSERT_TRUE(in.good()) << path;
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), ContentOf(i)) << path;
        }
        struct stat a {
        }, b{};
        stat((f.Root() + "/a/f" + std::to_string(i)).c_str(), &a);
        stat((f.Root() + "/b/f" + std::to_string(i)).c_str(), &b);
        linked += a.st_ino == b.st_ino;
    }
    EXPECT_GE(linked, 300u);
    EXPECT_LT(linked, static_cast<size_t>(kFiles));
    // At most the one file in hand can have left its temporary link behind.
    size_t temporaries = 0;
    for (const auto& entry : fs::directory_iterator(f.Root() + "/b")) {
        temporaries += entry.path().filename().string().rfind(".merravine-", 0) == 0;
    }
    EXPECT_LE(temporaries, 1u);
}

}  // namespace
}  // namespace merravine
