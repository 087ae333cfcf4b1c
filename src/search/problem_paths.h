// The files whose content could not be read and the folders that could not be listed
// during the last search: a bounded list of their paths, so the page can show what a
// count stands for without holding millions of paths. Any thread may add; the UI
// thread copies.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace merravine {

class ProblemPaths {
  public:
    /// Paths kept at most; later ones are counted by the engine but not kept.
    static constexpr size_t kMaxKept = 1000;

    void Add(std::string path) {
        std::lock_guard lock(mutex_);
        if (paths_.size() < kMaxKept) paths_.push_back(std::move(path));
    }
    std::vector<std::string> Copy() const {
        std::lock_guard lock(mutex_);
        return paths_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        paths_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
};

}  // namespace merravine
