// A page bridge for tests: records every call into the page, lets a test wait for
// the n-th call, and can run a test's own reaction inside a call (as a page script
// would, calling commands back before it returns).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "util/page_bridge.h"

namespace merravine::testing {

class RecordingBridge : public PageBridge {
  public:
    PageCallResult CallScriptFunction(const std::string& name,
                                      const ScriptValue& argument) override {
        if (on_call) on_call(name, argument);
        std::lock_guard lock(mutex_);
        calls_.emplace_back(name, argument);
        changed_.notify_all();
        return PageCallResult{true, ScriptValue(), ""};
    }

    /// Waits until `count` calls have arrived and returns a copy of all of them.
    std::vector<std::pair<std::string, ScriptValue>> WaitForCalls(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return calls_.size() >= count; });
        return calls_;
    }

    /// How many calls have arrived so far.
    size_t CallCount() {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }

    /// Runs inside each call, before it is recorded (set it before the call can come).
    std::function<void(const std::string&, const ScriptValue&)> on_call;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, ScriptValue>> calls_;
};

}  // namespace merravine::testing

namespace merravine {

/// Shows a script value in test failures: integers bare, strings quoted, arrays in brackets.
inline void PrintTo(const ScriptValue& value, std::ostream* out) {
    if (value.IsArray()) {
        *out << '[';
        for (size_t i = 0; i < value.Count(); ++i) {
            if (i > 0) *out << ", ";
            PrintTo(value.At(i), out);
        }
        *out << ']';
    } else if (value.IsString()) {
        *out << '"' << value.StringOrEmpty() << '"';
    } else {
        *out << value.TextForm();
    }
}

}  // namespace merravine
