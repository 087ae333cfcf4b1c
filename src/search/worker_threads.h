// A set of short-lived worker threads that are started and never waited for by the
// caller (one per result delivery request), but joined before their owner dies, so
// no worker outlives the search engine it reads. The bodies run one after another in
// the order they were started: two deliveries asked for in quick succession (the page
// switching kinds) reach the page in that order, so the older never replaces the newer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
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

    /// Runs `body` on a new thread once every body started before it has ended;
    /// exceptions from it are caught and dropped. Threads that have finished are
    /// joined and forgotten first.
    void Start(std::function<void()> body);
    /// Waits for every thread started so far.
    void JoinAll();

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::mutex mutex_;  // guards workers_ and the turns
    std::condition_variable turnEnded_;
    uint64_t nextTurn_ = 0;  // the turn of the next body started
    uint64_t turn_ = 0;      // the turn whose body may run now
    std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace merravine
