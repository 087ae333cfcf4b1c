// The table of native commands the pages call by name.
//
// A call runs only when a command has exactly that name (case-sensitive, nothing
// trimmed) and exactly that argument count; anything else is "not handled" and no
// command runs. A handler is a plain function from its arguments to one value. A
// handler that throws does not take the UI thread down: the call fails with the text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "util/script_value.h"

namespace merravine::shell {

/// One command's body: its arguments in, one value out.
using CommandHandler = std::function<ScriptValue(const ScriptValue::Array& args)>;

/// What became of one call.
struct CallOutcome {
    enum class Status { kDone, kNotHandled, kFailed };
    Status status = Status::kNotHandled;
    ScriptValue value;   ///< the result, when done
    std::string error;   ///< the reason, when not handled or failed
};

class CommandTable {
public:
    /// Adds a command, or replaces the one of that name.
    void Add(std::string name, uint32_t argument_count, CommandHandler handler);
    /// True when a command of that name exists (whatever its argument count).
    bool Has(const std::string& name) const;
    /// Runs the command of exactly that name and argument count.
    CallOutcome Call(const std::string& name, const ScriptValue::Array& args) const;

private:
    struct Entry {
        uint32_t argument_count = 0;
        CommandHandler handler;
    };
    std::unordered_map<std::string, Entry> commands_;
};

}  // namespace merravine::shell
