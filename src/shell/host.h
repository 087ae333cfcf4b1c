// The UI host: the loopback page server, the page link and the UI thread, put
// together and torn down in the right order. The program's first page is
// Url(): http://127.0.0.1:PORT/app/index.html#t=SECRET.
//
// When the page has been connected once and then no page is connected for
// `page_gone_grace`, `on_page_gone` runs (on the host's watch thread): closing the
// page ends the program, while a reload (which reconnects at once) does not.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "shell/page_content.h"
#include "shell/page_link.h"

namespace merravine::shell {

struct HostOptions {
    uint16_t port = 0;   ///< 0: a free port
    std::string secret;  ///< empty: a fresh one
    size_t max_message_bytes = 64u << 20;
    size_t max_queued_bytes = 64u << 20;
    std::chrono::milliseconds unproven_idle{10000};
    std::chrono::milliseconds call_timeout{120000};
    std::chrono::milliseconds page_gone_grace{3000};
    ArchiveReader archive;
};

class Host {
  public:
    /// Starts the host; nullptr (and `error`) when the server cannot listen.
    static std::unique_ptr<Host> Start(HostOptions options, CommandRunner runner,
                                       std::function<void()> on_page_gone, std::string& error);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    uint16_t Port() const { return server_->Port(); }
    const std::string& Secret() const { return options_.secret; }
    /// The first page's address, secret included.
    std::string Url() const;
    /// The way into the page for workers; stays valid until the Host is destroyed.
    PageBridge& Bridge() { return *link_; }

    /// Fails calls into the page, stops running commands, flushes and closes the server.
    void Stop();

  private:
    Host(HostOptions options, CommandRunner runner, std::function<void()> on_page_gone);
    void Presence(bool connected);
    void WatchPresence();

    HostOptions options_;
    std::function<void()> on_page_gone_;
    std::unique_ptr<SerialExecutor> ui_thread_;
    std::unique_ptr<PageLink> link_;
    std::unique_ptr<HttpServer> server_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    bool ever_connected_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point gone_since_;
    std::thread watch_;
};

}  // namespace merravine::shell
