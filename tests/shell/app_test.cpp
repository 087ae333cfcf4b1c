// The real executable, started as a user (or a test harness) starts it: its data
// folder in a temp dir, its single-instance flag in a private runtime folder, the
// page played by a WebSocket client. Each run is wrapped in `timeout`, so a program
// that does not end fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "program_runner.h"
#include "support/temp_dir.h"
#include "ws_test_client.h"

namespace merravine {
namespace {

using testing::TempDir;
using testing::WsTestClient;

TEST(Program, StartsInAnEmptyFolderAndEndsWhenThePageClosesTheWindow) {
    TempDir temp;
    const auto data = temp.Path() / "data";
    Program program(data, temp.Path());
    ASSERT_TRUE(program.Started());
    EXPECT_NE(program.Url().find("/app/index.html#t="), std::string::npos);

    WsTestClient page;
    ASSERT_TRUE(program.Connect(page));
    EXPECT_EQ(Ask(page, "GetProductVersion"), "\"result\":\"3.1.2.3\"");
    // Without a window of its own the program never loads the desktop libraries.
    const std::string maps = program.Maps();
    EXPECT_NE(maps.find("libsqlite3"), std::string::npos) << maps;
    EXPECT_EQ(maps.find("libgtk-3"), std::string::npos);
    EXPECT_EQ(maps.find("libwebkit2gtk"), std::string::npos);
    EXPECT_EQ(Ask(page, "BeginSearch", "[1]").rfind("\"error\":\"not handled:", 0), 0u);
    EXPECT_EQ(Ask(page, "beginSearch").rfind("\"error\":\"not handled:", 0), 0u);
    EXPECT_EQ(Ask(page, "CloseWindow"), "\"result\":0");
    EXPECT_EQ(program.Wait(), 0);

    const std::string log = ReadFile(data / "Log" / "Tessvel.log");
    const size_t soft_start = log.find("[DEBUG]: Soft start!\n");
    const size_t version = log.find("[LESS ]: version: 3.1.2.3\n");
    ASSERT_NE(soft_start, std::string::npos) << log;
    ASSERT_NE(version, std::string::npos) << log;
    EXPECT_LT(soft_start, version);
    EXPECT_NE(ReadFile(data / "Config.ini").find("LEVEL=2"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(data / "duplicate.db"));
    EXPECT_EQ(log.find(program.Url().substr(program.Url().find("#t=") + 3)), std::string::npos)
        << "the launch secret must never be logged";
}

TEST(Program, TheSecondInstanceIsToldAndAReloadIsNot) {
    TempDir temp;
    Program first(temp.Path() / "first", temp.Path());
    ASSERT_TRUE(first.Started());
    WsTestClient first_page;
    ASSERT_TRUE(first.Connect(first_page));
    EXPECT_EQ(Ask(first_page, "CheckProgramHadRun"), "\"result\":0");
    first_page.Close();
    WsTestClient reloaded;  // a reload asks again and must get the first answer
    ASSERT_TRUE(first.Connect(reloaded));
    EXPECT_EQ(Ask(reloaded, "CheckProgramHadRun"), "\"result\":0");

    Program second(temp.Path() / "second", temp.Path());
    ASSERT_TRUE(second.Started());
    WsTestClient second_page;
    ASSERT_TRUE(second.Connect(second_page));
    EXPECT_EQ(Ask(second_page, "CheckProgramHadRun"), "\"result\":1");

    EXPECT_EQ(Ask(reloaded, "CloseWindow"), "\"result\":0");
    EXPECT_EQ(first.Wait(), 0);
    Program third(temp.Path() / "third", temp.Path());
    WsTestClient third_page;
    ASSERT_TRUE(third.Connect(third_page));
    EXPECT_EQ(Ask(third_page, "CheckProgramHadRun"), "\"result\":0");
    EXPECT_EQ(Ask(third_page, "CloseWindow"), "\"result\":0");
    EXPECT_EQ(Ask(second_page, "CloseWindow"), "\"result\":0");
    EXPECT_EQ(third.Wait(), 0);
    EXPECT_EQ(second.Wait(), 0);
}

TEST(Program, ATakenPortEndsWithMinusOne) {
    TempDir temp;
    Program first(temp.Path() / "first", temp.Path());
    ASSERT_TRUE(first.Started());
    Program second(temp.Path() / "second", temp.Path(), "--port " + std::to_string(first.Port()));
    EXPECT_FALSE(second.Started());
    EXPECT_EQ(second.Wait(), 255);
    EXPECT_NE(ReadFile(temp.Path() / "second" / "stderr.txt").find("cannot listen"),
              std::string::npos);
    first.Terminate();
    EXPECT_EQ(first.Wait(), 0);
}

TEST(Program, EndsWhenThePageIsGoneOrOnSigterm) {
    TempDir temp;
    Program closed(temp.Path() / "closed", temp.Path());
    ASSERT_TRUE(closed.Started());
    {
        WsTestClient page;
        ASSERT_TRUE(closed.Connect(page));
        EXPECT_EQ(Ask(page, "GetOsVersion"), "\"result\":12");
        page.Close();
    }
    EXPECT_EQ(closed.Wait(), 0) << ReadFile(temp.Path() / "closed" / "stderr.txt");

    // A worker waiting on the page does not hold the end up.
    Program terminated(temp.Path() / "terminated", temp.Path());
    ASSERT_TRUE(terminated.Started());
    WsTestClient page;
    ASSERT_TRUE(terminated.Connect(page));
    // The answer and the delivery's call into the page may come in either order.
    ASSERT_TRUE(page.Send(R"({"call":77,"name":"GetDuplicateFiles","args":[63]})"));
    std::set<std::string> messages;
    for (int i = 0; i < 2; ++i) messages.insert(page.Read().value_or("none"));
    EXPECT_EQ(messages, (std::set<std::string>{R"({"reply":77,"result":0})",
                                               R"({"call":1,"fn":"DuplicateFileToUI"})"}));
    // The delivery now waits for the page's answer.
    terminated.Terminate();
    EXPECT_EQ(terminated.Wait(), 0) << ReadFile(temp.Path() / "terminated" / "stderr.txt");
}

TEST(Program, DesktopWindowUnderXvfb) {
    if (!MERRAVINE_TEST_WEBKIT) GTEST_SKIP() << "built without WebKitGTK";
    if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no xvfb-run, so no display";
    TempDir temp;
    // Run in the window once the page has loaded: one command and one delivery into the
    // page round-trip; then the window closes as if the user closed it.
    const std::string check = R"(
        if (!window.view) await new Promise((resolve, reject) => {
            const script = document.createElement('script');
            script.src = '/view.js'; script.onload = resolve; script.onerror = reject;
            document.head.appendChild(script);
        });
        const version = await view.GetProductVersion();
        const rows = await new Promise(resolve => {
            window.DuplicateFileToUI = rows => { resolve(rows); return 1; };
            view.GetDuplicateFiles(63);
        });
        let refused = '';
        try { await view.beginSearch(); } catch (e) { refused = e.message; }
        return JSON.stringify({version, rows: rows === undefined ? 'undefined' : rows, refused});)";
    const std::filesystem::path script = temp.Write("check.js", check);
    const std::string command =
        "cd '" + temp.Path().string() + "' && MERRAVINE_WINDOW_CHECK=\"$(cat check.js)\" " +
        "timeout 120 xvfb-run -a -s '-screen 0 1024x768x24' '" MERRAVINE_EXECUTABLE
        "' --data-dir '" +
        (temp.Path() / "data").string() + "' 2>stderr.txt";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string output;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, out) != nullptr) output += buffer;
    const int status = pclose(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << output << ReadFile(temp.Path() / "stderr.txt");
    EXPECT_NE(
        output.find(
            R"(WINDOW CHECK: {"version":"3.1.2.3","rows":"undefined","refused":"not handled:)"),
        std::string::npos)
        << output << ReadFile(temp.Path() / "stderr.txt");
    const std::string log = ReadFile(temp.Path() / "data" / "Log" / "Tessvel.log");
    EXPECT_NE(log.find("page connected"), std::string::npos) << log;
    EXPECT_NE(log.find("window closed"), std::string::npos) << log;
}

}  // namespace
}  // namespace merravine
