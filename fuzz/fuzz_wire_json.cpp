// Messages from the page: any text is read or refused within its bounds, and a value
// that was read is written as JSON that reads back to the same value.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shell/wire_json.h"

namespace {

// A value as the page sends it: the result of a reply.
std::optional<merravine::ScriptValue> ReadValue(std::string_view json) {
    using namespace merravine::shell;
    const auto message = ParsePageMessage("{\"reply\":1,\"result\":" + std::string(json) + "}");
    if (!message || message->kind != PageMessage::Kind::kReply || !message->ok) return std::nullopt;
    return message->result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace merravine::shell;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ParsePageMessage(text);
    LeadingCallId(text);
    LooksLikeReply(text);
    const auto value = ReadValue(text);
    if (!value) return 0;
    std::string written;
    AppendJsonValue(written, *value);
    const auto again = ReadValue(written);
    if (!again) __builtin_trap();
    std::string rewritten;
    AppendJsonValue(rewritten, *again);
    if (rewritten != written) __builtin_trap();
    return 0;
}
