// One thread that runs posted tasks one at a time, in the order they were posted. The
// UI host runs every command on one (a task never waits for the page, so the page's
// answers always get through), and a search delivers its results on one (two deliveries
// asked for in quick succession reach the page in that order, so the older never replaces
// the newer). An exception a task throws is logged and goes no further.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace merravine {

class SerialExecutor {
  public:
    SerialExecutor() = default;
    /// Stop(): the running task ends, the queued ones are dropped.
    ~SerialExecutor();
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    /// Queues a task (the thread starts with the first one); ignored once Stop() has begun.
    void Post(std::function<void()> task);
    /// Waits until every task posted so far has run. Not from a task of this executor.
    void Drain();
    /// Lets the running task finish, drops the queued ones and joins the thread (unless
    /// called from a task, which cannot wait for itself).
    void Stop();

  private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;     // a task was posted, or Stop() began
    std::condition_variable drained_;  // the queue is empty and no task runs
    std::deque<std::function<void()>> tasks_;
    bool running_task_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace merravine
