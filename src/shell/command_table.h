// The table of native commands the pages call by name.
//
// A call runs only when a command has exactly that name (case-sensitive, nothing
// trimmed) and exactly that argument count; anything else is "not handled" and no
// command runs. A handler is a plain function from its arguments to one value. A
// handler that throws does not take the UI thread down: the call fails with the text.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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
    ScriptValue value;  ///< the result, when done
    std::string error;  ///< the reason, when not handled or failed
};

class CommandTable {
  public:
    /// Adds a command. A second command of a name already taken is a programming
    /// error: it throws std::logic_error and the first command stays, so the program
    /// refuses to start rather than let one command silently hide another.
    void Add(std::string name, uint32_t argument_count, CommandHandler handler);
    /// The argument count of the command of that name; nullopt when there is none.
    std::optional<uint32_t> ArgumentCount(const std::string& name) const;
    /// The number of commands.
    size_t Size() const { return commands_.size(); }
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
