// A set of short-lived worker threads that are started and never waited for by the
// caller (one per result delivery request), but joined before their owner dies, so
// no worker outlives the search engine it reads.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace merravine {

class WorkerThreads {
public:
    WorkerThreads() = default;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;
    ~WorkerThreads() { JoinAll(); }

    /// Runs `body` on a new thread; exceptions from it are caught and dropped.
    /// Threads that have finished are joined and forgotten first.
    void Start(std::function<void()> body);
    /// Waits for every thread started so far.
    void JoinAll();

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::mutex mutex_;
    std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace merravine
