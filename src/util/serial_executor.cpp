#include "util/serial_executor.h"

#include "util/thread_body.h"

namespace merravine {

SerialExecutor::~SerialExecutor() { Stop(); }

void SerialExecutor::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
        if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_one();
}

void SerialExecutor::Drain() {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return (tasks_.empty() && !running_task_) || stopping_; });
}

void SerialExecutor::Stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
        if (thread_.get_id() != std::this_thread::get_id()) thread = std::move(thread_);
    }
    wake_.notify_one();
    drained_.notify_all();
    if (thread.joinable()) thread.join();
}

void SerialExecutor::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (stopping_) break;
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        running_task_ = true;
        lock.unlock();
        (void)RunGuarded("serial task", task);  // logged there
        task = nullptr;  // what the task holds goes before the next one starts
        lock.lock();
        running_task_ = false;
        if (tasks_.empty()) drained_.notify_all();
    }
    running_task_ = false;
    drained_.notify_all();
}

}  // namespace merravine
