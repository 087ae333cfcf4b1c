// The real executable against local clients that do not behave: strangers that open
// connections and sit on them, a page that stops reading, a call of millions of rows.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "program_runner.h"
#include "shell/app.h"
#include "support/sanitizer_build.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::TempDir;

// Plain TCP connections that never send a byte.
class IdleConnections {
  public:
    IdleConnections(uint16_t port, int count) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) break;
            if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                close(fd);
                break;
            }
            fds_.push_back(fd);
        }
    }
    ~IdleConnections() {
        for (int fd : fds_) close(fd);
    }
    size_t Count() const { return fds_.size(); }

  private:
    std::vector<int> fds_;
};

void RaiseOwnDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// Whether a line of the program's log below `data_dir` holds `text`.
bool LogMentions(const std::filesystem::path& data_dir, const std::string& text) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(data_dir / "Log", error)) {
        if (ReadFile(entry.path()).find(text) != std::string::npos) return true;
    }
    return false;
}

// CPU the program burns over one second, in percent of one core.
long CpuPercentOverASecond(const Program& program) {
    const long before = program.CpuTicks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return (program.CpuTicks() - before) * 100 / sysconf(_SC_CLK_TCK);
}

// Idle strangers must neither make the server spin nor keep the page's reload out.
void ReloadPastIdleStrangers(const std::string& wrapper, int count) {
    RaiseOwnDescriptorLimit();
    TempDir temp;
    Program program(temp.Path() / "data", temp.Path(), "", wrapper);
    ASSERT_TRUE(program.Started());
    WsTestClient page;
    ASSERT_TRUE(program.Connect(page));
    EXPECT_EQ(Ask(page, "GetOsVersion"), "\"result\":12");

    IdleConnections strangers(program.Port(), count);
    EXPECT_EQ(strangers.Count(), static_cast<size_t>(count));
    // The page reloads while the strangers hold on.
    page.Close();
    WsTestClient reloaded;
    ASSERT_TRUE(program.Connect(reloaded));
    EXPECT_EQ(Ask(reloaded, "GetOsVersion"), "\"result\":12");
    EXPECT_EQ(testing::HttpGet(program.Port(), "/app/index.html").status, 200);
    // Within two seconds the program is idle again (a generous bound: a spinning
    // accept loop takes a whole core).
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(CpuPercentOverASecond(program), 20);
    EXPECT_EQ(Ask(reloaded, "GetOsVersion"), "\"result\":12");
    EXPECT_EQ(Ask(reloaded, "CloseWindow"), "\"result\":0");
    EXPECT_EQ(program.Wait(), 0);
}

// With descriptors to spare.
TEST(ProgramUnderAttack, IdleStrangersNeitherSpinNorKeepAReloadOut) {
    ReloadPastIdleStrangers("", 1100);
}

// With a hard limit of 64 descriptors, which accept() runs into.
TEST(ProgramUnderAttack, IdleStrangersOutOfDescriptorsNeitherSpinNorKeepAReloadOut) {
    if (testing::kAddressSanitizer) {
        GTEST_SKIP() << "UBSan checks a virtual call's target by probing memory through a pipe; "
                        "with no descriptor left it takes every target for invalid and aborts";
    }
    ReloadPastIdleStrangers("prlimit --nofile=64:64", 100);
}

// A page that sends calls but never reads their answers is dropped, and the answers
// waiting for it are freed at once.
TEST(ProgramUnderAttack, APageThatStopsReadingIsDroppedAndItsMemoryFreed) {
    TempDir temp;
    Program program(temp.Path() / "data", temp.Path());
    ASSERT_TRUE(program.Started());
    WsTestClient page;
    ASSERT_TRUE(program.Connect(page));
    const std::string big(1 << 20, 'x');
    EXPECT_EQ(Ask(page, "SetSettings", "[[63,\"" + big + "\",0,\"0\",0,\"0\",15]]"),
              "\"result\":0");
    const long before = program.ResidentKiB();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(page.Send("{\"call\":" + std::to_string(1000 + i) +
                              ",\"name\":\"GetSettings\",\"args\":[]}"));
    }
    // The answers pile up until the page is dropped (the log says so); then their memory
    // is freed.
    long peak = before;
    long after = 0;
    bool dropped = false;
    for (int tries = 0; tries < 2400; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        after = program.ResidentKiB();
        peak = std::max(peak, after);
        dropped = dropped || LogMentions(temp.Path() / "data", "does not read its messages");
        if (dropped && (testing::kSanitizer || after < before + 10L * 1024)) break;
    }
    EXPECT_TRUE(dropped) << "the page that stopped reading was never dropped";
    EXPECT_GT(peak, before + 30L * 1024) << "the answers never piled up";
    int answers = 0;
    while (page.Read()) ++answers;
    EXPECT_LT(answers, 200);
    EXPECT_TRUE(page.ClosedByServer());
    // A new page is served as before.
    WsTestClient reloaded;
    ASSERT_TRUE(program.Connect(reloaded));
    EXPECT_EQ(Ask(reloaded, "CloseWindow"), "\"result\":0");
    EXPECT_EQ(program.Wait(), 0);
    if (testing::kSanitizer) {
        GTEST_SKIP() << "memory returned to the system is not measured under a sanitizer: "
                        "its allocator holds freed blocks back";
    }
    EXPECT_LT(after, before + 10L * 1024) << "resident KiB before " << before << ", peak " << peak;
}

// Two million ticked rows reach DeleteFiles whole, in pieces as the page sends them,
// and the deletion answers with its counts. The rows name a real file under a size it
// does not have, so nothing is deleted. The sanitizer builds parse about twenty times
// slower, so there a twentieth of the rows travel, in the same pieces.
TEST(ProgramUnderAttack, TwoMillionRowsReachDeleteFilesWhole) {
    TempDir temp;
    const auto files = temp.Path() / "files";
    std::filesystem::create_directories(files);
    std::ofstream(files / "kept.txt") << "content";
    Program program(temp.Path() / "data", temp.Path());
    ASSERT_TRUE(program.Started());
    WsTestClient page;
    ASSERT_TRUE(program.Connect(page));

    constexpr int kRows = testing::kSanitizer ? 100000 : 2000000;
    constexpr int kPiece = 5000;
    const std::string row =
        "[0,\"" + files.string() + "/\",\"kept.\",\"txt\",\"99\",\"99\",\"\",\"\",\"\",1,2,0]";
    std::string piece;
    for (int i = 0; i < kPiece; ++i) piece += (i == 0 ? "" : ",") + row;
    for (int sent = 0; sent < kRows - kPiece; sent += kPiece) {
        ASSERT_TRUE(page.Send("{\"part\":5,\"arg\":0,\"items\":[" + piece + "]}"));
    }
    ASSERT_TRUE(page.Send("{\"call\":5,\"name\":\"DeleteFiles\",\"args\":[[" + piece + "]]}"));
    // Reading millions of rows takes long on a loaded machine; a bound, not a measure.
    EXPECT_EQ(page.Read(std::chrono::seconds(600)),
              std::optional<std::string>(R"({"reply":5,"result":0})"));
    const auto report = page.Read();
    ASSERT_TRUE(report);
    // Every row arrived (requested) and each was refused: no scan delivered it.
    const std::string rows = std::to_string(kRows);
    EXPECT_NE(
        report->find(R"("fn":"DelFileResultToUI","arg":[)" + rows + ",0,0,0,0,0," + rows + ","),
        std::string::npos)
        << *report;
    EXPECT_TRUE(std::filesystem::exists(files / "kept.txt"));
    page.Close();
    EXPECT_EQ(program.Wait(), 0);
}

// A call whose reading runs out of memory (the address space capped a little above what
// the running program holds) is answered with an error, and the program goes on.
TEST(ProgramUnderAttack, ACallThatExhaustsMemoryIsAnsweredAndTheProgramLives) {
    if (testing::kSanitizer) {
        GTEST_SKIP() << "a sanitizer reserves terabytes of address space for its shadow, "
                        "so no address-space cap can be set under it";
    }
    TempDir temp;
    Program program(temp.Path() / "data", temp.Path());
    ASSERT_TRUE(program.Started());
    WsTestClient page;
    ASSERT_TRUE(program.Connect(page));
    EXPECT_EQ(Ask(page, "GetOsVersion"), "\"result\":12");
    // Room for the message itself and its copies, not for the millions of values in it
    // (below the reader's count limit, so the reading itself runs out of memory).
    const long cap = (program.VirtualKiB() + 160L * 1024) * 1024;
    ASSERT_EQ(std::system(("prlimit --pid " + program.ChildPid() + " --as=" + std::to_string(cap) +
                           ":" + std::to_string(cap))
                              .c_str()),
              0);
    std::string zeros;
    zeros.reserve(14u << 20);
    for (int i = 0; i < (7 << 20); ++i) zeros += (i == 0 ? "0" : ",0");
    EXPECT_EQ(Ask(page, "SetSettings", "[[" + zeros + "]]"),
              "\"error\":\"failed: the call could not be carried out\"");
    EXPECT_EQ(Ask(page, "GetOsVersion"), "\"result\":12");
    EXPECT_EQ(Ask(page, "CloseWindow"), "\"result\":0");
    EXPECT_EQ(program.Wait(), 0);
}

// The end of the program waits for its workers only so long: one stuck for good (in a
// read from a hung mount) is left behind instead of keeping the closed program alive.
TEST(ProgramUnderAttack, TheEndWaitsForWorkersOnlySoLong) {
    EXPECT_TRUE(shell::RunWithin([] {}, std::chrono::seconds(5)));
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(shell::RunWithin([released] { released.wait(); }, std::chrono::milliseconds(200)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    release->set_value();
}

}  // namespace
}  // namespace merravine
