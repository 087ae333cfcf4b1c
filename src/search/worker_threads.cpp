// Start, reap and join of the delivery worker threads.
#include "search/worker_threads.h"

#include "util/log.h"
#include "util/thread_body.h"

namespace merravine {

void WorkerThreads::Start(std::function<void()> body) {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done.load(std::memory_order_acquire)) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    worker->thread = std::thread([this, raw, turn = nextTurn_++, body = std::move(body)] {
        {
            std::unique_lock wait_lock(mutex_);
            turnEnded_.wait(wait_lock, [&] { return turn_ == turn; });
        }
        (void)RunGuarded("worker thread", body);  // logged there
        {
            std::lock_guard end_lock(mutex_);
            ++turn_;
        }
        turnEnded_.notify_all();
        raw->done.store(true, std::memory_order_release);
    });
    workers_.push_back(std::move(worker));
}

void WorkerThreads::JoinAll() {
    std::list<std::unique_ptr<Worker>> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(workers_);
    }
    for (auto& worker : taken) worker->thread.join();
}

}  // namespace merravine
