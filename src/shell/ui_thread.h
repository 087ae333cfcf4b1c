// The UI thread: one thread that runs every command, one at a time, in the order
// the commands arrived. Tasks are posted from the transport's thread; a task never
// waits for the page, so the page's answers (read on the transport's thread) always
// get through while a task runs.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace merravine::shell {

class UiThread {
  public:
    UiThread();
    ~UiThread();
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;

    /// Queues a task; ignored once Stop() has begun.
    void Post(std::function<void()> task);
    /// Lets the running task finish, drops the queued ones and joins the thread.
    void Stop();
    /// True on the UI thread itself.
    bool IsCurrent() const;

  private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace merravine::shell
