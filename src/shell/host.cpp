#include "shell/host.h"

#include "shell/host_security.h"
#include "util/log.h"

namespace merravine::shell {

Host::Host(HostOptions options, CommandRunner runner, std::function<void()> on_page_gone)
    : options_(std::move(options)), on_page_gone_(std::move(on_page_gone)) {
    if (options_.secret.empty()) options_.secret = NewLaunchSecret();
    ui_thread_ = std::make_unique<SerialExecutor>();
    link_ = std::make_unique<PageLink>(*ui_thread_, std::move(runner), options_.call_timeout);
    link_->SetPresenceListener([this](bool connected) { Presence(connected); });
}

std::unique_ptr<Host> Host::Start(HostOptions options, CommandRunner runner,
                                  std::function<void()> on_page_gone, std::string& error) {
    std::unique_ptr<Host> host(
        new Host(std::move(options), std::move(runner), std::move(on_page_gone)));
    ServerConfig config;
    config.port = host->options_.port;
    config.secret = host->options_.secret;
    config.max_message_bytes = host->options_.max_message_bytes;
    config.max_queued_bytes = host->options_.max_queued_bytes;
    config.unproven_idle = host->options_.unproven_idle;
    config.route = [archive = host->options_.archive](std::string_view target) {
        return RoutePageRequest(target, archive);
    };
    host->server_ = StartHttpServer(std::move(config), *host->link_, error);
    if (!host->server_) {
        host->ui_thread_->Stop();
        return nullptr;
    }
    host->link_->AttachServer(host->server_.get());
    host->watch_ = std::thread([h = host.get()] { h->WatchPresence(); });
    LogDebug("page server listening on 127.0.0.1:%u", static_cast<unsigned>(host->Port()));
    return host;
}

Host::~Host() { Stop(); }

std::string Host::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port()) + "/app/index.html#t=" + options_.secret;
}

void Host::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    changed_.notify_all();
    if (watch_.joinable() && watch_.get_id() != std::this_thread::get_id()) watch_.join();
    link_->Shutdown();
    ui_thread_->Stop();
    if (server_) server_->Stop();
    link_->AttachServer(nullptr);
}

void Host::Presence(bool connected) {
    {
        std::lock_guard lock(mutex_);
        connected_ = connected;
        if (connected) {
            ever_connected_ = true;
        } else {
            gone_since_ = std::chrono::steady_clock::now();
        }
    }
    changed_.notify_all();
}

void Host::WatchPresence() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || (ever_connected_ && !connected_); });
        if (stopping_) return;
        const auto deadline = gone_since_ + options_.page_gone_grace;
        if (changed_.wait_until(lock, deadline, [this] { return stopping_ || connected_; })) {
            if (stopping_) return;
            continue;
        }
        LogDebug("the page is gone");
        lock.unlock();
        if (on_page_gone_) on_page_gone_();
        return;
    }
}

}  // namespace merravine::shell
