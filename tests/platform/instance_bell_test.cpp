#include "platform/instance_bell.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "support/temp_dir.h"

namespace merravine::platform {
namespace {

using testing::TempDir;

// Counts rings; a test waits for the count it expects, bounded.
struct RingCounter {
    std::mutex mutex;
    std::condition_variable changed;
    int rings = 0;

    std::function<void()> Callback() {
        return [this] {
            {
                std::lock_guard lock(mutex);
                ++rings;
            }
            changed.notify_all();
        };
    }
    bool WaitFor(int expected) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return rings >= expected; });
    }
};

TEST(InstanceBell, EveryRingReachesTheListenerAndTheSocketGoesWithIt) {
    TempDir temp;
    const auto path = temp.Path() / "flag.bell";
    RingCounter counter;
    {
        auto bell = InstanceBell::Listen(path, counter.Callback());
        ASSERT_NE(bell, nullptr);
        EXPECT_TRUE(RingInstanceBell(path));
        EXPECT_TRUE(RingInstanceBell(path));
        EXPECT_TRUE(counter.WaitFor(2));
        // A caller that connects and says nothing does not hold the bell up.
        const int silent = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_TRUE(RingInstanceBell(path));
        EXPECT_TRUE(counter.WaitFor(4));
        close(silent);
    }
    // Stopped: the socket file is gone and nobody answers.
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(RingInstanceBell(path));
}

TEST(InstanceBell, AStaleSocketIsReplacedButNoOtherFile) {
    TempDir temp;
    // A socket file left by an instance that ended without removing it.
    const auto stale = temp.Path() / "stale.bell";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    ASSERT_TRUE(std::filesystem::is_socket(stale));
    EXPECT_FALSE(RingInstanceBell(stale));
    RingCounter counter;
    auto bell = InstanceBell::Listen(stale, counter.Callback());
    ASSERT_NE(bell, nullptr);
    EXPECT_TRUE(RingInstanceBell(stale));
    EXPECT_TRUE(counter.WaitFor(1));

    // A plain file where the socket would go is never removed: no bell then.
    const auto plain = temp.Write("plain.bell", "keep me");
    EXPECT_EQ(InstanceBell::Listen(plain, counter.Callback()), nullptr);
    EXPECT_TRUE(std::filesystem::is_regular_file(plain));
}

TEST(InstanceBell, APathTooLongForASocketGivesNoBell) {
    const std::filesystem::path longer = "/tmp/" + std::string(200, 'x') + ".bell";
    EXPECT_EQ(InstanceBell::Listen(longer, [] {}), nullptr);
    EXPECT_FALSE(RingInstanceBell(longer));
    EXPECT_FALSE(RingInstanceBell(""));
}

}  // namespace
}  // namespace merravine::platform
