#include "shell/command_table.h"

#include <exception>
#include <stdexcept>

#include "util/log.h"

namespace merravine::shell {

void CommandTable::Add(std::string name, uint32_t argument_count, CommandHandler handler) {
    if (commands_.contains(name)) throw std::logic_error("command " + name + " registered twice");
    commands_.emplace(std::move(name), Entry{argument_count, std::move(handler)});
}

std::optional<uint32_t> CommandTable::ArgumentCount(const std::string& name) const {
    const auto found = commands_.find(name);
    if (found == commands_.end()) return std::nullopt;
    return found->second.argument_count;
}

CallOutcome CommandTable::Call(const std::string& name, const ScriptValue::Array& args) const {
    CallOutcome outcome;
    const auto found = commands_.find(name);
    if (found == commands_.end() || found->second.argument_count != args.size()) {
        outcome.error = "not handled: " + name + " with " + std::to_string(args.size()) +
                        (args.size() == 1 ? " argument" : " arguments");
        return outcome;
    }
    try {
        outcome.value = found->second.handler(args);
        outcome.status = CallOutcome::Status::kDone;
    } catch (const std::exception& error) {
        LogDebug("command %s failed: %s", name.c_str(), error.what());
        outcome.status = CallOutcome::Status::kFailed;
        outcome.error = "failed: " + name + ": " + error.what();
    } catch (...) {
        LogDebug("command %s failed", name.c_str());
        outcome.status = CallOutcome::Status::kFailed;
        outcome.error = "failed: " + name;
    }
    return outcome;
}

}  // namespace merravine::shell
