// The UI host over a real WebSocket: a test client plays the page against the real
// server, page link and UI thread in this process.
#include "shell/host.h"

#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "shell/wire_json.h"
#include "ws_test_client.h"

namespace merravine::shell {
namespace {

using merravine::testing::HttpGet;
using merravine::testing::WsTestClient;
using nlohmann::json;
using SV = ScriptValue;

// Commands that show what reached native code.
CommandTable TestCommands() {
    CommandTable table;
    table.Add("Echo", 1, [](const SV::Array& a) { return a[0]; });
    table.Add("Describe", 1, [](const SV::Array& a) {
        const SV& v = a[0];
        if (v.IsUndefined()) return SV::Text("undefined");
        if (v.IsInt()) return SV::Text("int " + v.TextForm());
        if (v.IsString()) return SV::Text("string " + v.TextForm());
        if (v.IsArray()) return SV::Text("array " + std::to_string(v.Count()));
        return SV::Text("text " + v.TextForm());
    });
    table.Add("Count", 1,
              [](const SV::Array& a) { return SV::Int(static_cast<int32_t>(a[0].Count())); });
    table.Add("Nothing", 0, [](const SV::Array&) { return SV(); });
    table.Add("Throws", 0, [](const SV::Array&) -> SV { throw std::runtime_error("boom"); });
    return table;
}

class HostTest : public ::testing::Test {
  protected:
    void Start(HostOptions options = {}) {
        options.archive = [](std::string_view path) -> std::optional<std::string> {
            if (path == "index.html") return "<html></html>";
            return std::nullopt;
        };
        std::string error;
        host_ = Host::Start(
            std::move(options),
            [this](const std::string& name, const SV::Array& args) {
                return commands_.Call(name, args);
            },
            [this] { page_gone_.set_value(); }, error);
        ASSERT_TRUE(host_) << error;
    }

    // Connects and makes one round trip, so the host has taken the connection as the page.
    bool Connect(WsTestClient& client) {
        return client.Connect(host_->Port(), host_->Secret()) &&
               client.Call(999, "Echo", "[0]") ==
                   std::optional<std::string>(R"({"reply":999,"result":0})");
    }

    // A worker's call into the page, on a thread of its own.
    std::future<PageCallResult> CallPage(std::string name, SV argument) {
        return std::async(std::launch::async,
                          [this, name = std::move(name), argument = std::move(argument)] {
                              return host_->Bridge().CallScriptFunction(name, argument);
                          });
    }

    CommandTable commands_ = TestCommands();
    std::promise<void> page_gone_;
    std::unique_ptr<Host> host_;
};

json Parsed(const std::optional<std::string>& text) {
    EXPECT_TRUE(text.has_value());
    return text ? json::parse(*text) : json();
}

TEST_F(HostTest, ValuesCrossBothWays) {
    Start();
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    const struct {
        const char* args;
        const char* reply;
    } cases[] = {
        {"[null]", R"({"reply":1,"result":"undefined"})"},
        {"[true]", R"({"reply":1,"result":"int 1"})"},
        {"[2147483647]", R"({"reply":1,"result":"int 2147483647"})"},
        {R"([{"other":"5000000000"}])", R"({"reply":1,"result":"text 5000000000"})"},
        {R"([{"other":"0.5"}])", R"({"reply":1,"result":"text 0.5"})"},
        {R"([[1,[2,3],"x"]])", R"({"reply":1,"result":"array 3"})"},
        {R"(["\udc80a"])", R"({"reply":1,"result":"string \udc80a"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(page.Call(1, "Describe", c.args), c.reply) << c.args;
    }
    // Undefined goes to the page as null; a size beyond 32 bits comes back as its text.
    EXPECT_EQ(page.Call(2, "Nothing", "[]"), R"({"reply":2,"result":null})");
    EXPECT_EQ(page.Call(3, "Echo", R"([{"other":"5000000000"}])"),
              R"({"reply":3,"result":"5000000000"})");
    // A name that is not UTF-8 comes back exactly as it went.
    EXPECT_EQ(page.Call(4, "Echo", R"([["\udcff\udcfe.txt","b\u00e4r"]])"),
              R"({"reply":4,"result":["\udcff\udcfe.txt","bär"]})");
    EXPECT_EQ(page.Call(5, "Throws", "[]"), R"({"reply":5,"error":"failed: Throws: boom"})");
}

TEST_F(HostTest, ExactNamesAndCountsOnly) {
    Start();
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    for (const auto& [name, args] :
         std::vector<std::pair<std::string, std::string>>{{"Echo", "[]"},
                                                          {"Echo", "[1,2]"},
                                                          {"echo", "[1]"},
                                                          {"ECHO", "[1]"},
                                                          {"Echo ", "[1]"},
                                                          {"", "[]"},
                                                          {"Unknown", "[]"}}) {
        const json reply = Parsed(page.Call(6, name, args));
        ASSERT_TRUE(reply.contains("error")) << name << args;
        EXPECT_EQ(reply["error"].get<std::string>().rfind("not handled:", 0), 0u) << reply;
    }
    EXPECT_EQ(page.Call(7, "Echo", "[1]"), R"({"reply":7,"result":1})");
}

TEST_F(HostTest, ManyCallsInFlightAreAnsweredInOrder) {
    Start();
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    constexpr int kCalls = 2000;
    for (int id = 1; id <= kCalls; ++id) {
        ASSERT_TRUE(page.Send("{\"call\":" + std::to_string(id) + ",\"name\":\"Echo\",\"args\":[" +
                              std::to_string(id * 3) + "]}"));
    }
    for (int id = 1; id <= kCalls; ++id) {
        const json reply = Parsed(page.Read());
        ASSERT_EQ(reply["reply"], id);
        ASSERT_EQ(reply["result"], id * 3);
    }
}

SV Row(int i, const std::string& name) {
    return SV::List({SV::Int(0),
                     SV::Text("/home/ann/pictures/holiday " + std::to_string(i / 100) + "/"),
                     SV::Text(name), SV::Text("jpg"), SV::Text("5000000000"), SV::Text("4882813"),
                     SV::Text("2024-05-01 10:00:00"), SV::Text("2024-05-01 10:00:00"),
                     SV::Text("2024-05-02 11:00:00"), SV::Int(i / 2 + 1), SV::Int(16), SV::Int(0)});
}

TEST_F(HostTest, PageBridgeDeliversOneHundredThousandRows) {
    Start();
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    SV rows;
    for (int i = 0; i < 100000; ++i) rows.Append(Row(i, "IMG_" + std::to_string(i) + "."));
    auto delivered = CallPage("DuplicateFileToUI", rows);

    const json call = Parsed(page.Read());
    ASSERT_EQ(call["fn"], "DuplicateFileToUI");
    ASSERT_EQ(call["arg"].size(), 100000u);
    EXPECT_EQ(call["arg"][99999][2], "IMG_99999.");
    EXPECT_EQ(call["arg"][99999][4], "5000000000");
    EXPECT_EQ(call["arg"][99999][9], 50000);
    ASSERT_TRUE(page.Send("{\"reply\":" + call["call"].dump() + ",\"result\":100000}"));

    const PageCallResult result = delivered.get();
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.value, SV::Int(100000));
}

TEST_F(HostTest, RowsComeBackFromThePageByteForByte) {
    Start();
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    SV rows;
    rows.Append(Row(1, std::string("caf\xE9 \xFF\x80.", 8)));
    rows.Append(Row(2, "\xF0\x9F\x98\x80 \"quoted\"\n."));
    auto echoed = CallPage("Echo", rows);
    // The page treats strings as opaque: it sends the argument's text back unchanged.
    const auto call = page.Read();
    ASSERT_TRUE(call.has_value());
    const size_t at = call->find("\"arg\":");
    ASSERT_NE(at, std::string::npos);
    const std::string arg = call->substr(at + 6, call->size() - at - 7);
    const std::string id = call->substr(8, call->find(',') - 8);
    ASSERT_TRUE(page.Send("{\"reply\":" + id + ",\"result\":" + arg + "}"));
    const PageCallResult result = echoed.get();
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.value, rows);
}

TEST_F(HostTest, PageErrorsAndMissingPageReachTheWorkerAsValues) {
    HostOptions options;
    options.call_timeout = std::chrono::milliseconds(200);
    Start(options);
    // No page connected: the worker learns it at once.
    PageCallResult alone = host_->Bridge().CallScriptFunction("DelFileResultToUI", SV::Int(1));
    EXPECT_FALSE(alone.ok);
    EXPECT_EQ(alone.error, "no page is connected");

    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    auto failing = CallPage("DelFileResultToUI", SV::List({SV::Int(3), SV::Int(3), SV::Int(0)}));
    const json call = Parsed(page.Read());
    EXPECT_EQ(call["arg"], json::parse("[3,3,0]"));
    ASSERT_TRUE(
        page.Send("{\"reply\":" + call["call"].dump() + ",\"error\":\"no such function\"}"));
    const PageCallResult failed = failing.get();
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, "no such function");

    // A page that never answers: the worker is released after the bounded wait.
    auto unanswered = CallPage("DuplicateFileToUI", SV());
    const json silent = Parsed(page.Read());
    EXPECT_FALSE(silent.contains("arg"));  // undefined: no argument at all
    const PageCallResult timed_out = unanswered.get();
    EXPECT_FALSE(timed_out.ok);
    EXPECT_EQ(timed_out.error, "the page did not answer in time");
    // Its late answer is ignored, and the connection still works.
    ASSERT_TRUE(page.Send("{\"reply\":" + silent["call"].dump() + ",\"result\":1}"));
    EXPECT_EQ(page.Call(8, "Echo", "[8]"), R"({"reply":8,"result":8})");
}

TEST_F(HostTest, PageThatDisconnectsReleasesTheWaitingWorker) {
    Start();  // the bounded wait is two minutes: only the disconnect can release the worker
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    auto waiting = CallPage("DuplicateFileToUI", SV::List({Row(0, "a.")}));
    ASSERT_TRUE(page.Read().has_value());
    page.Close();
    const PageCallResult result = waiting.get();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "the page was closed");
}

TEST_F(HostTest, LastConnectionWins) {
    Start();
    WsTestClient old_page;
    ASSERT_TRUE(Connect(old_page));
    auto waiting = CallPage("DuplicateFileToUI", SV::Int(1));
    ASSERT_TRUE(old_page.Read().has_value());

    WsTestClient reloaded;
    ASSERT_TRUE(Connect(reloaded));
    EXPECT_TRUE(old_page.ClosedByServer());
    const PageCallResult replaced = waiting.get();
    EXPECT_FALSE(replaced.ok);
    EXPECT_EQ(replaced.error, "the page was replaced by another");

    auto next = CallPage("DuplicateFileToUI", SV::Int(2));
    const json call = Parsed(reloaded.Read());
    EXPECT_EQ(call["arg"], 2);
    ASSERT_TRUE(reloaded.Send("{\"reply\":" + call["call"].dump() + ",\"result\":\"ok\"}"));
    EXPECT_EQ(next.get().value, SV::Text("ok"));
}

TEST_F(HostTest, ClosingThePageEndsTheProgramAfterTheGrace) {
    HostOptions options;
    options.page_gone_grace = std::chrono::milliseconds(50);
    Start(options);
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    EXPECT_EQ(page.Call(1, "Echo", "[1]"), R"({"reply":1,"result":1})");
    page.Close();
    page_gone_.get_future().get();  // returns only once the host has reported the page gone
}

TEST_F(HostTest, OnlyOurOwnPageMayConnect) {
    Start();
    const uint16_t port = host_->Port();
    const std::string own = "127.0.0.1:" + std::to_string(port);
    const std::string target = "/ws";
    const struct {
        std::string target, host, origin;
        int status;
    } cases[] = {
        {target, own, "http://" + own, 101},
        {target, "localhost:" + std::to_string(port), "http://localhost:" + std::to_string(port),
         101},
        {"/ws?t=" + host_->Secret(), own, "http://" + own, 403},  // the secret in the request line
        {target, own, "", 403},                                   // no Origin
        {target, own, "http://evil.example", 403},                // another site
        {target, own, "http://127.0.0.1:1", 403},                 // another local port
        {target, "evil.example:" + std::to_string(port),
         "http://evil.example:" + std::to_string(port), 403},
        {"/app/index.html?t=" + host_->Secret(), own, "http://" + own, 403},  // upgrade elsewhere
    };
    for (const auto& c : cases) {
        WsTestClient client;
        EXPECT_EQ(client.ConnectRaw(port, c.target, c.host, c.origin), c.status)
            << c.target << " " << c.origin;
        client.Close();
    }
    EXPECT_EQ(HttpGet(port, "/app/index.html").status, 200);
    EXPECT_EQ(HttpGet(port, "/app/index.html", "evil.example:" + std::to_string(port)).status, 403);
    EXPECT_EQ(HttpGet(port, "/app/../app/index.html").status, 404);
    EXPECT_EQ(HttpGet(port, "/app/%2e%2e/CMakeLists.txt").status, 404);
    EXPECT_EQ(HttpGet(port, "/view.js").content_type, "text/javascript; charset=utf-8");
}

TEST_F(HostTest, BadMessagesCloseOnlyTheirConnection) {
    HostOptions options;
    options.max_message_bytes = 4096;
    Start(options);
    const struct {
        std::string message;
        bool binary;
    } cases[] = {
        {"{\"call\":1,\"name\":\"Echo\",\"args\":[\"" + std::string(5000, 'x') + "\"]}",
         false},  // too big
        {"not json", false},
        {"{\"call\":1,\"name\":\"Echo\"}", false},
        {"{\"reply\":1,\"result\":", false},
        {"{\"call\":1,\"name\":\"Echo\",\"args\":[1]}", true},  // a binary frame
    };
    for (const auto& c : cases) {
        WsTestClient bad;
        ASSERT_TRUE(Connect(bad));
        ASSERT_TRUE(bad.Send(c.message, c.binary));
        EXPECT_TRUE(bad.ClosedByServer()) << c.message.substr(0, 40);
        // The server stays up: a new page connects and is answered.
        WsTestClient good;
        ASSERT_TRUE(Connect(good));
        EXPECT_EQ(good.Call(2, "Echo", "[2]"), R"({"reply":2,"result":2})");
        good.Close();
    }
}

// A connection is the page's only once its first message is the secret; before that
// it is answered nothing, replaces no page, and is closed when it sends anything else
// or nothing for too long.
TEST_F(HostTest, TheSecretIsTheFirstMessageAndNothingComesBeforeIt) {
    HostOptions options;
    options.unproven_idle = std::chrono::milliseconds(300);
    Start(options);
    const uint16_t port = host_->Port();
    const std::string own = "127.0.0.1:" + std::to_string(port);
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    for (const std::string& first :
         {std::string(R"({"call":1,"name":"Echo","args":[1]})"), std::string("0123"),
          host_->Secret() + "0", std::string(2000, 'x')}) {
        WsTestClient stranger;
        ASSERT_EQ(stranger.ConnectRaw(port, "/ws", own, "http://" + own), 101);
        ASSERT_TRUE(stranger.Send(first));
        EXPECT_EQ(stranger.Read(), std::nullopt) << first.substr(0, 20);
        EXPECT_TRUE(stranger.ClosedByServer());
    }
    WsTestClient silent;
    ASSERT_EQ(silent.ConnectRaw(port, "/ws", own, "http://" + own), 101);
    EXPECT_TRUE(silent.ClosedByServer()) << "closed after the idle time";
    // None of them took the page's place.
    EXPECT_EQ(page.Call(3, "Echo", "[3]"), R"({"reply":3,"result":3})");
}

// Strangers beyond the cap close the oldest strangers, never the page; the page's
// reconnection gets in however many there are.
TEST_F(HostTest, StrangersBeyondTheCapCloseTheOldestStrangers) {
    Start();
    const uint16_t port = host_->Port();
    const std::string own = "127.0.0.1:" + std::to_string(port);
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    std::vector<std::unique_ptr<WsTestClient>> strangers;
    for (int i = 0; i < 100; ++i) {
        strangers.push_back(std::make_unique<WsTestClient>());
        ASSERT_EQ(strangers.back()->ConnectRaw(port, "/ws", own, "http://" + own), 101);
    }
    EXPECT_TRUE(strangers.front()->ClosedByServer());
    EXPECT_EQ(page.Call(4, "Echo", "[4]"), R"({"reply":4,"result":4})");
    WsTestClient reloaded;
    ASSERT_TRUE(Connect(reloaded));
}

// A big array argument sent in pieces reaches the command whole, in order; a piece
// for an argument the call does not have fails that call only.
TEST_F(HostTest, PiecesOfAnArgumentAreJoinedBeforeTheCall) {
    Start();
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    ASSERT_TRUE(page.Send(R"({"part":7,"arg":0,"items":[1,2]})"));
    ASSERT_TRUE(page.Send(R"({"part":7,"arg":0,"items":[3]})"));
    EXPECT_EQ(page.Call(7, "Echo", "[[4,5]]"), R"({"reply":7,"result":[1,2,3,4,5]})");
    EXPECT_EQ(page.Call(8, "Echo", "[[4,5]]"), R"({"reply":8,"result":[4,5]})");
    ASSERT_TRUE(page.Send(R"({"part":9,"arg":3,"items":[1]})"));
    const auto failed = page.Call(9, "Echo", "[[]]");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->rfind(R"({"reply":9,"error":"failed:)", 0), 0u) << *failed;
    EXPECT_EQ(page.Call(10, "Count", "[[1,2,3]]"), R"({"reply":10,"result":3})");
}

// A deferred command (one that starts a program or lists a slow folder) holds no
// other command up: later calls are answered first, and it answers when it is done.
TEST_F(HostTest, ADeferredCommandHoldsNoOtherCommandUp) {
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    commands_.AddDeferred("Slow", 1, [released](const SV::Array& a) -> DeferredWork {
        return [released, value = a[0]] {
            released.wait();
            return value;
        };
    });
    commands_.AddDeferred("Fails", 0, [](const SV::Array&) -> DeferredWork {
        return []() -> SV { throw std::runtime_error("no file manager"); };
    });
    Start();
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    ASSERT_TRUE(page.Send(R"({"call":1,"name":"Slow","args":["late"]})"));
    EXPECT_EQ(page.Call(2, "Echo", "[2]"), R"({"reply":2,"result":2})");
    EXPECT_EQ(page.Call(3, "Fails", "[]"), R"({"reply":3,"error":"failed: no file manager"})");
    release->set_value();
    EXPECT_EQ(page.Read(), R"({"reply":1,"result":"late"})");
}

// Calls a page sent before it went away still take effect (only their answers have
// nowhere to go), and a page that comes after is answered as before.
TEST_F(HostTest, CallsOfAPageThatHasGoneStillTakeEffect) {
    auto held = std::make_shared<std::promise<void>>();
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    commands_.Add("Hold", 0, [held, released](const SV::Array&) {
        held->set_value();
        released.wait();
        return SV::Int(0);
    });
    // Written on the UI thread only, until the last record is told.
    auto recorded = std::make_shared<std::vector<std::string>>();
    auto recorded_all = std::make_shared<std::promise<void>>();
    commands_.Add("Record", 1, [recorded, recorded_all](const SV::Array& a) {
        recorded->push_back(a[0].TextForm());
        if (recorded->size() == 3) recorded_all->set_value();
        return SV::Text(std::string(1 << 20, 'r'));
    });
    HostOptions options;
    options.page_gone_grace = std::chrono::milliseconds(1);
    Start(options);
    WsTestClient page;
    ASSERT_TRUE(Connect(page));
    ASSERT_TRUE(page.Send(R"({"call":1,"name":"Hold","args":[]})"));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(page.Send(R"({"call":)" + std::to_string(2 + i) +
                              R"(,"name":"Record","args":["r)" + std::to_string(i) + R"("]})"));
    }
    held->get_future().get();
    page.Close();
    page_gone_.get_future().get();  // the host knows the page is gone: the calls are behind it
    release->set_value();
    // A bound only so that calls that never run fail the test rather than hang it.
    ASSERT_EQ(recorded_all->get_future().wait_for(std::chrono::seconds(60)),
              std::future_status::ready);
    EXPECT_EQ(*recorded, (std::vector<std::string>{"r0", "r1", "r2"}));

    WsTestClient reloaded;
    ASSERT_TRUE(Connect(reloaded));
    EXPECT_EQ(reloaded.Call(5, "Echo", "[5]"), R"({"reply":5,"result":5})");
}

TEST(HostStart, ATakenPortIsReported) {
    std::string error;
    auto first = Host::Start({}, nullptr, nullptr, error);
    ASSERT_TRUE(first);
    HostOptions same;
    same.port = first->Port();
    EXPECT_EQ(Host::Start(same, nullptr, nullptr, error), nullptr);
    EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
}

}  // namespace
}  // namespace merravine::shell
