// The real executable with a folder on a mount whose reads never answer: closing the
// window ends the program within its bounded wait, the stuck worker left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "program_runner.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::TempDir;

bool Exists(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// True once the process has left its main(): gone, or a zombie waiting for a stuck thread.
bool MainThreadEnded(const std::string& pid) {
    const std::string stat = ReadFile("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

#ifdef MERRAVINE_HUNG_FS
// The hanging file system mounted at `where` for the life of the object.
class HungMount {
  public:
    HungMount(const std::filesystem::path& where, const std::filesystem::path& marker)
        : where_(where) {
        std::filesystem::create_directories(where);
        struct stat before {};
        stat(where.c_str(), &before);
        pid_ = fork();
        if (pid_ == 0) {
            execl(MERRAVINE_HUNG_FS, MERRAVINE_HUNG_FS, where.c_str(), marker.c_str(), nullptr);
            _exit(127);
        }
        // Mounted once the folder is on another device; the daemon may also fail.
        for (int tries = 0; tries < 200 && pid_ > 0; ++tries) {
            struct stat now {};
            if (stat(where.c_str(), &now) == 0 && now.st_dev != before.st_dev) {
                mounted_ = true;
                return;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~HungMount() { Release(); }
    /// Ends the daemon, which aborts the connection: every stuck read fails at once.
    void Release() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (mounted_) umount2(where_.c_str(), MNT_DETACH);
        mounted_ = false;
    }
    bool Mounted() const { return mounted_; }

  private:
    std::filesystem::path where_;
    pid_t pid_ = -1;
    bool mounted_ = false;
};
#endif

TEST(ProgramOnAHungMount, ClosingTheWindowEndsTheProgramDespiteAStuckWorker) {
#ifndef MERRAVINE_HUNG_FS
    GTEST_SKIP() << "built without libfuse3, so no hanging file system can be mounted";
#else
    TempDir temp;
    const auto share = temp.Path() / "share";
    const auto marker = temp.Path() / "a-read-is-stuck";
    HungMount mount(share, marker);
    if (!mount.Mounted()) GTEST_SKIP() << "FUSE cannot mount here (no /dev/fuse or no right)";

    Program program(temp.Path() / "data", temp.Path());
    ASSERT_TRUE(program.Started());
    WsTestClient page;
    ASSERT_TRUE(program.Connect(page));
    EXPECT_EQ(Ask(page, "SetSearchDirectory", "[[\"" + share.string() + "\"]]"), "\"result\":0");
    EXPECT_EQ(Ask(page, "BeginSearch"), "\"result\":0");
    // The search compares the two files of one size and gets stuck reading them.
    for (int tries = 0; tries < 1200 && !Exists(marker); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(Exists(marker)) << "the search never read the hung files";

    // A thread in a read the file system has taken cannot be killed until it answers, so
    // the process lingers as a zombie; its main thread must have ended all the same.
    const std::string pid = program.ChildPid();
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(Ask(page, "CloseWindow"), "\"result\":0");
    bool ended = false;
    for (int tries = 0; tries < 2400 && !ended; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        ended = MainThreadEnded(pid);
    }
    EXPECT_TRUE(ended) << "the program still waits for its stuck worker a minute after closing";
    // Once the mount is gone the stuck read fails, and the exit code is the program's own.
    mount.Release();
    EXPECT_EQ(program.Wait(), 0);
#endif
}

}  // namespace
}  // namespace merravine
