#include "shell/page_link.h"

#include <exception>
#include <memory>
#include <new>
#include <thread>

#include "shell/wire_json.h"
#include "util/log.h"

namespace merravine::shell {

namespace {

// The most text one connection may send in pieces of calls not yet complete.
constexpr size_t kMaxGatheredBytes = size_t{1} << 30;

PageCallResult Failed(std::string why) {
    PageCallResult result;
    result.error = std::move(why);
    return result;
}

}  // namespace

PageLink::PageLink(SerialExecutor& ui_thread, CommandRunner runner,
                   std::chrono::milliseconds call_timeout)
    : ui_thread_(ui_thread),
      reply_thread_(std::make_unique<SerialExecutor>()),
      runner_(std::move(runner)),
      call_timeout_(call_timeout) {}

void PageLink::AttachServer(HttpServer* server) {
    {
        std::lock_guard lock(mutex_);
        server_ = server;
    }
    std::lock_guard lock(outbox_->mutex);
    outbox_->server = server;
}

void PageLink::Outbox::Send(uint64_t connection, std::string text) {
    std::lock_guard lock(mutex);
    if (server != nullptr)
        server->Send(connection, std::make_shared<const std::string>(std::move(text)));
}

// A deferred command's work on a thread of its own. The thread holds only the outbox,
// which outlives the link, so work that never ends (a folder on a hung mount) holds
// nothing up; its answer is dropped when the server is gone by then.
void PageLink::RunDeferred(uint64_t connection, uint64_t id, DeferredWork work) {
    auto body = [outbox = outbox_, connection, id, work = std::move(work)] {
        std::string text;
        try {
            text = ReplyResultMessage(id, work());
        } catch (const std::exception& error) {
            LogDebug("a command failed: %s", error.what());
            text = ReplyErrorMessage(id, std::string("failed: ") + error.what());
        } catch (...) {
            text = ReplyErrorMessage(id, "failed");
        }
        outbox->Send(connection, std::move(text));
    };
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::exception& error) {
        LogDebug("no thread for a command: %s", error.what());
        Reply(connection, ReplyErrorMessage(id, "failed: no thread could be started"));
    }
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
    // Pieces of calls that will never come are dropped in turn after the queued ones.
    ui_thread_.Post([this, connection] { gathering_.erase(connection); });
    if (was_current) {
        LogDebug("page disconnected (connection %llu)",
                 static_cast<unsigned long long>(connection));
        if (presence_) presence_(false);
    }
}

void PageLink::OnMessage(uint64_t connection, std::string text) {
    if (LooksLikeReply(text)) {
        reply_thread_->Post([this, connection, text = std::move(text)] {
            std::optional<PageMessage> message;
            try {
                message = ParsePageMessage(text);
            } catch (const std::exception& error) {
                LogDebug("an answer of the page could not be read: %s", error.what());
            }
            if (!message || message->kind != PageMessage::Kind::kReply)
                return Drop(connection, "malformed answer");
            Resolve(connection, std::move(*message));
        });
        return;
    }
    // Commands are parsed on the UI thread too: a big argument (thousands of rows)
    // would otherwise stall every socket while it is read.
    ui_thread_.Post([this, connection, text = std::move(text)] { RunCall(connection, text); });
}

void PageLink::RunCall(uint64_t connection, const std::string& text) {
    try {
        RunMessage(connection, text);
        return;
    } catch (const std::bad_alloc&) {
        LogDebug("out of memory while reading or running a call of the page");
    } catch (const std::exception& error) {
        LogDebug("a call of the page failed: %s", error.what());
    }
    gathering_.erase(connection);
    if (const auto id = LeadingCallId(text)) {
        Reply(connection, ReplyErrorMessage(*id, "failed: the call could not be carried out"));
    } else {
        Drop(connection, "a message that could not be read");
    }
}

void PageLink::RunMessage(uint64_t connection, const std::string& text) {
    auto message = ParsePageMessage(text);
    if (!message) return Drop(connection, "malformed message");
    if (message->kind == PageMessage::Kind::kReply) return Resolve(connection, std::move(*message));
    if (message->kind == PageMessage::Kind::kPart) {
        if (!AddPiece(connection, text.size(), *message)) Drop(connection, "too many pieces");
        return;
    }
    if (!JoinPieces(connection, *message)) {
        return Reply(connection, ReplyErrorMessage(message->id, "failed: a piece has no argument"));
    }
    CallOutcome outcome = runner_(message->name, message->args);
    // The server throws away an answer for a page that has gone (dropped, closed or
    // replaced); building a big one would only hold up the calls of the page after it.
    if (outcome.status != CallOutcome::Status::kDeferred && !IsCurrent(connection)) return;
    if (outcome.status == CallOutcome::Status::kDeferred) {
        RunDeferred(connection, message->id, std::move(outcome.later));
    } else if (outcome.status == CallOutcome::Status::kDone) {
        Reply(connection, ReplyResultMessage(message->id, outcome.value));
    } else {
        Reply(connection, ReplyErrorMessage(message->id, outcome.error));
    }
}

bool PageLink::AddPiece(uint64_t connection, size_t text_bytes, PageMessage& piece) {
    auto& calls = gathering_[connection];
    size_t total = text_bytes;
    for (const auto& [id, gathering] : calls) total += gathering.bytes;
    if (total > kMaxGatheredBytes) {
        gathering_.erase(connection);
        return false;
    }
    Gathering& gathering = calls[piece.id];
    gathering.bytes += text_bytes;
    auto& items = gathering.args[piece.arg_index];
    if (items.empty()) {
        items = std::move(piece.args);
    } else {
        // push_back's doubling, not an exact reserve per piece, which would copy the
        // whole gathered array again for every piece.
        for (auto& item : piece.args) items.push_back(std::move(item));
    }
    return true;
}

bool PageLink::JoinPieces(uint64_t connection, PageMessage& call) {
    const auto calls = gathering_.find(connection);
    if (calls == gathering_.end()) return true;
    const auto found = calls->second.find(call.id);
    if (found == calls->second.end()) return true;
    Gathering gathering = std::move(found->second);
    calls->second.erase(found);
    if (calls->second.empty()) gathering_.erase(calls);
    for (auto& [index, items] : gathering.args) {
        if (index >= call.args.size()) return false;
        const ScriptValue& own = call.args[index];
        items.reserve(items.size() + own.Count());
        for (const ScriptValue& item : own.Elements()) items.push_back(item);
        call.args[index] = ScriptValue::List(std::move(items));
    }
    return true;
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
    reply_thread_->Stop();
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

bool PageLink::IsCurrent(uint64_t connection) {
    std::lock_guard lock(mutex_);
    return connection == current_;
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
