#include "shell/desktop_window.h"

#include <condition_variable>
#include <mutex>

namespace merravine::shell {

namespace {

class WaitingWindow final : public DesktopWindow {
  public:
    void Run() override {
        std::unique_lock lock(mutex_);
        closed_changed_.wait(lock, [this] { return closed_; });
    }
    void RequestClose() override {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        closed_changed_.notify_all();
    }
    void Minimize() override {}

  private:
    std::mutex mutex_;
    std::condition_variable closed_changed_;
    bool closed_ = false;
};

}  // namespace

std::unique_ptr<DesktopWindow> NewWaitingWindow() { return std::make_unique<WaitingWindow>(); }

}  // namespace merravine::shell
