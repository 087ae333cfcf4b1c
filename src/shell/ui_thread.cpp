#include "shell/ui_thread.h"

#include <exception>

#include "util/log.h"
#include "util/thread_body.h"

namespace merravine::shell {

UiThread::UiThread() : thread_([this] { Run(); }) {}

UiThread::~UiThread() { Stop(); }

void UiThread::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void UiThread::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool UiThread::IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

void UiThread::Run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        (void)RunGuarded("UI thread task", task);  // logged there
    }
}

}  // namespace merravine::shell
