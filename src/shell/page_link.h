// The page connection seen from inside the program: commands in, calls into the page out.
//
// Threads: the server's I/O thread delivers OnOpen/OnMessage/OnClose; commands are
// parsed and run on the UI thread, one at a time in arrival order, and their answers
// go back to the connection that asked; workers call CallScriptFunction and block
// until the page answers, the page goes away, the wait times out or Shutdown() runs.
// Answers from the page are read on a thread of their own: never on the I/O thread
// (a big answer would stall every socket) and never on the UI thread (a busy command
// must not hold a worker up). A call that cannot be read or run (out of memory
// included) is still answered, with an error. A big argument arrives in pieces
// (wire_json.h), which are gathered on the UI thread until their call comes. The last connection
// wins: a new page (a reload) replaces the old one, whose connection is closed and whose unanswered
// calls fail at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "shell/command_table.h"
#include "shell/http_server.h"
#include "shell/wire_json.h"
#include "util/page_bridge.h"
#include "util/serial_executor.h"

namespace merravine::shell {

/// Runs one command by name on the UI thread.
using CommandRunner =
    std::function<CallOutcome(const std::string& name, const ScriptValue::Array& args)>;

class PageLink final : public ServerEvents, public PageBridge {
  public:
    PageLink(SerialExecutor& ui_thread, CommandRunner runner,
             std::chrono::milliseconds call_timeout);

    /// The server to answer through; set once it runs, before any page can connect.
    void AttachServer(HttpServer* server);
    /// Told (on the I/O thread) whenever a page connects (true) or the current one leaves (false).
    void SetPresenceListener(std::function<void(bool connected)> listener);

    void OnOpen(uint64_t connection) override;
    void OnMessage(uint64_t connection, std::string text) override;
    void OnClose(uint64_t connection) override;

    /// Calls the page's global function `name`; blocks until the page answers or fails.
    PageCallResult CallScriptFunction(const std::string& name,
                                      const ScriptValue& argument) override;

    /// Fails every waiting call and every later one; commands still queued are not answered.
    void Shutdown();

  private:
    struct Pending {
        uint64_t connection = 0;
        bool done = false;
        PageCallResult result;
    };

    // An argument being gathered from pieces, per connection and call (UI thread only).
    struct Gathering {
        std::map<uint32_t, ScriptValue::Array> args;
        size_t bytes = 0;
    };

    void RunCall(uint64_t connection, const std::string& text);
    void RunMessage(uint64_t connection, const std::string& text);
    bool AddPiece(uint64_t connection, size_t text_bytes, PageMessage& piece);
    bool JoinPieces(uint64_t connection, PageMessage& call);
    void Resolve(uint64_t connection, PageMessage message);
    void FailPendingOf(uint64_t connection, const char* why);  // mutex_ held
    bool IsCurrent(uint64_t connection);
    void Reply(uint64_t connection, std::string text);
    void RunDeferred(uint64_t connection, uint64_t id, DeferredWork work);

    // The way to the server for threads that may outlive the link (deferred commands).
    struct Outbox {
        std::mutex mutex;
        HttpServer* server = nullptr;
        void Send(uint64_t connection, std::string text);
    };
    void Drop(uint64_t connection, const char* why);

    SerialExecutor& ui_thread_;
    std::unique_ptr<SerialExecutor> reply_thread_;
    CommandRunner runner_;
    std::chrono::milliseconds call_timeout_;
    std::function<void(bool)> presence_;
    std::shared_ptr<Outbox> outbox_ = std::make_shared<Outbox>();

    std::mutex mutex_;
    std::condition_variable answered_;
    HttpServer* server_ = nullptr;
    uint64_t current_ = 0;  // 0: no page connected
    bool shut_down_ = false;
    uint64_t next_call_ = 1;
    std::unordered_map<uint64_t, Pending> pending_;
    std::unordered_map<uint64_t, std::map<uint64_t, Gathering>> gathering_;  // UI thread only
};

}  // namespace merravine::shell
