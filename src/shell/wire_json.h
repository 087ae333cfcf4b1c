// JSON text of the messages on the page connection, and of the script values in them.
//
// Strings are UTF-8 inside the program, but a file name may hold bytes that are not
// valid UTF-8. On the wire every such byte 0xXY travels as the escape \udcXY (a lone
// surrogate, which a page's string keeps as it is), and that escape is read back as
// the byte, so a name sent to the page and sent back comes back byte for byte.
//
// Messages, one JSON object per WebSocket text message:
//   page -> native call   {"call":ID,"name":"BeginSearch","args":[...]}
//   native -> page answer {"reply":ID,"result":VALUE} or {"reply":ID,"error":"text"}
//   native -> page call   {"call":ID,"fn":"DuplicateFileToUI","arg":VALUE}   (no arg: undefined)
//   page -> native answer {"reply":ID,"result":VALUE} or {"reply":ID,"error":"text"}
// Values: integers, strings, arrays, null for undefined. From the page, true and false
// read as 1 and 0, a number that is not a 32-bit integer keeps its text with no integer
// reading, and {"other":"text"} stands for any other script value by its text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/script_value.h"
#include "util/text.h"  // AppendJsonString

namespace merravine::shell {

/// Appends the JSON form of `value` (undefined as null, another kind as its text).
void AppendJsonValue(std::string& out, const ScriptValue& value);

/// One message read from the page.
struct PageMessage {
    enum class Kind { kCall, kReply };
    Kind kind = Kind::kCall;
    uint64_t id = 0;
    std::string name;         ///< call: the command's name
    ScriptValue::Array args;  ///< call: its arguments
    bool ok = true;           ///< reply: false when the page's function failed
    ScriptValue result;       ///< reply: the function's result
    std::string error;        ///< reply: why it failed
};

/// Reads a message from the page; nullopt when it is malformed.
std::optional<PageMessage> ParsePageMessage(std::string_view text);

/// True when the text looks like a reply; a cheap test that reads only its first bytes.
bool LooksLikeReply(std::string_view text);

/// The answer to a page's call: its result.
std::string ReplyResultMessage(uint64_t id, const ScriptValue& result);
/// The answer to a page's call: an error the page's promise rejects with.
std::string ReplyErrorMessage(uint64_t id, std::string_view error);
/// A call of the page's global function `function` with one argument (omitted when undefined).
std::string FunctionCallMessage(uint64_t id, std::string_view function,
                                const ScriptValue& argument);

}  // namespace merravine::shell
