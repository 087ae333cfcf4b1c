#include "shell/page_link.h"

#include <memory>

#include "shell/wire_json.h"
#include "util/log.h"

namespace merravine::shell {

namespace {

PageCallResult Failed(std::string why) {
    PageCallResult result;
    result.error = std::move(why);
    return result;
}

}  // namespace

PageLink::PageLink(SerialExecutor& ui_thread, CommandRunner runner,
                   std::chrono::milliseconds call_timeout)
    : ui_thread_(ui_thread), runner_(std::move(runner)), call_timeout_(call_timeout) {}

void PageLink::AttachServer(HttpServer* server) {
    std::lock_guard lock(mutex_);
    server_ = server;
}

void PageLink::SetPresenceListener(std::function<void(bool connected)> listener) {
    presence_ = std::move(listener);
}

void PageLink::OnOpen(uint64_t connection) {
    uint64_t replaced = 0;
    HttpServer* server = nullptr;
    {
        std::lock_guard lock(mutex_);
        replaced = current_;
        current_ = connection;
        server = server_;
        if (replaced != 0) FailPendingOf(replaced, "the page was replaced by another");
    }
    answered_.notify_all();
    LogDebug("page connected (connection %llu)", static_cast<unsigned long long>(connection));
    if (replaced != 0 && server != nullptr) server->Close(replaced);
    if (presence_) presence_(true);
}

void PageLink::OnClose(uint64_t connection) {
    bool was_current = false;
    {
        std::lock_guard lock(mutex_);
        was_current = connection == current_;
        if (was_current) current_ = 0;
        FailPendingOf(connection, "the page was closed");
    }
    answered_.notify_all();
    if (was_current) {
        LogDebug("page disconnected (connection %llu)",
                 static_cast<unsigned long long>(connection));
        if (presence_) presence_(false);
    }
}

void PageLink::OnMessage(uint64_t connection, std::string text) {
    if (LooksLikeReply(text)) {
        auto message = ParsePageMessage(text);
        if (!message || message->kind != PageMessage::Kind::kReply)
            return Drop(connection, "malformed answer");
        Resolve(connection, std::move(*message));
        return;
    }
    // Commands are parsed on the UI thread too: a big argument (thousands of rows)
    // would otherwise stall every socket while it is read.
    ui_thread_.Post([this, connection, text = std::move(text)] { RunCall(connection, text); });
}

void PageLink::RunCall(uint64_t connection, const std::string& text) {
    auto message = ParsePageMessage(text);
    if (!message) return Drop(connection, "malformed message");
    if (message->kind == PageMessage::Kind::kReply) return Resolve(connection, std::move(*message));
    const CallOutcome outcome = runner_(message->name, message->args);
    if (outcome.status == CallOutcome::Status::kDone) {
        Reply(connection, ReplyResultMessage(message->id, outcome.value));
    } else {
        Reply(connection, ReplyErrorMessage(message->id, outcome.error));
    }
}

void PageLink::Resolve(uint64_t connection, PageMessage message) {
    {
        std::lock_guard lock(mutex_);
        const auto found = pending_.find(message.id);
        if (found == pending_.end() || found->second.done || found->second.connection != connection)
            return;
        found->second.done = true;
        found->second.result.ok = message.ok;
        found->second.result.value = std::move(message.result);
        found->second.result.error = std::move(message.error);
    }
    answered_.notify_all();
}

PageCallResult PageLink::CallScriptFunction(const std::string& name, const ScriptValue& argument) {
    uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = next_call_++;
    }
    // The text of a big call (100,000 rows) is built here, on the worker, outside the lock.
    auto text = std::make_shared<const std::string>(FunctionCallMessage(id, name, argument));
    std::unique_lock lock(mutex_);
    if (shut_down_) return Failed("the page is closed");
    if (current_ == 0 || server_ == nullptr) return Failed("no page is connected");
    pending_[id].connection = current_;
    server_->Send(current_, std::move(text));
    const bool done = answered_.wait_for(lock, call_timeout_, [&] { return pending_[id].done; });
    PageCallResult result = std::move(pending_[id].result);
    pending_.erase(id);
    if (!done) result = Failed("the page did not answer in time");
    if (!result.ok)
        LogDebug("call of %s in the page failed: %s", name.c_str(), result.error.c_str());
    return result;
}

void PageLink::Shutdown() {
    {
        std::lock_guard lock(mutex_);
        shut_down_ = true;
        for (auto& [id, pending] : pending_) {
            if (pending.done) continue;
            pending.done = true;
            pending.result = Failed("the page is closed");
        }
    }
    answered_.notify_all();
}

void PageLink::FailPendingOf(uint64_t connection, const char* why) {
    for (auto& [id, pending] : pending_) {
        if (pending.done || pending.connection != connection) continue;
        pending.done = true;
        pending.result = Failed(why);
    }
}

void PageLink::Reply(uint64_t connection, std::string text) {
    std::lock_guard lock(mutex_);
    if (server_ != nullptr)
        server_->Send(connection, std::make_shared<const std::string>(std::move(text)));
}

void PageLink::Drop(uint64_t connection, const char* why) {
    LogDebug("closing page connection %llu: %s", static_cast<unsigned long long>(connection), why);
    std::lock_guard lock(mutex_);
    if (server_ != nullptr) server_->Close(connection);
}

}  // namespace merravine::shell
