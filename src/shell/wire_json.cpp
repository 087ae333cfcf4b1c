// A small JSON reader and writer for script values. It is our own rather than a
// general JSON library because the wire form must carry bytes that are not UTF-8
// (as \udcXX) and keep a number's exact text when it is not a 32-bit integer.
#include "shell/wire_json.h"

#include <charconv>
#include <limits>

namespace merravine::shell {

namespace {

constexpr int kMaxDepth = 64;

// Recursive-descent reader over one text; every method leaves `pos_` after what it read.
class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool AtEnd() {
        SkipSpace();
        return pos_ == text_.size();
    }

    std::optional<ScriptValue> Value(int depth) {
        if (depth > kMaxDepth) return std::nullopt;
        SkipSpace();
        if (pos_ >= text_.size()) return std::nullopt;
        const char c = text_[pos_];
        if (c == '"') {
            std::string text;
            if (!String(text)) return std::nullopt;
            return ScriptValue::Text(std::move(text));
        }
        if (c == '[') return Array(depth);
        if (c == '{') return Object(depth);
        if (Literal("true")) return ScriptValue::Int(1);
        if (Literal("false")) return ScriptValue::Int(0);
        if (Literal("null")) return ScriptValue();
        return Number();
    }

    bool String(std::string& out) {
        if (!Consume('"')) return false;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) return false;
            const char escape = text_[pos_++];
            switch (escape) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u':
                    if (!UnicodeEscape(out)) return false;
                    break;
                default:
                    return false;
            }
        }
        return false;
    }

    // A non-negative integer id (up to 2^53, the page's safe integers).
    std::optional<uint64_t> Id() {
        SkipSpace();
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        if (pos_ == start || pos_ - start > 16) return std::nullopt;
        uint64_t id = 0;
        std::from_chars(text_.data() + start, text_.data() + pos_, id);
        return id;
    }

    bool Consume(char expected) {
        SkipSpace();
        if (pos_ < text_.size() && text_[pos_] == expected) {
            ++pos_;
            return true;
        }
        return false;
    }

    // The elements of an array, read into `items`.
    bool Items(int depth, ScriptValue::Array& items) {
        if (depth > kMaxDepth || !Consume('[')) return false;
        if (Consume(']')) return true;
        do {
            auto item = Value(depth + 1);
            if (!item) return false;
            items.push_back(std::move(*item));
        } while (Consume(','));
        return Consume(']');
    }

  private:
    void SkipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }

    bool Literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    std::optional<unsigned> Hex4() {
        if (pos_ + 4 > text_.size()) return std::nullopt;
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexValue(text_[pos_++]);
            if (digit < 0) return std::nullopt;
            code = (code << 4) | static_cast<unsigned>(digit);
        }
        return code;
    }

    // After "\u": a character, a surrogate pair, or a unit on its own (read by the one
    // rule of AppendUtf16Unit: U+DC80..U+DCFF is the byte it stands for).
    bool UnicodeEscape(std::string& out) {
        const auto code = Hex4();
        if (!code) return false;
        if (*code >= 0xD800 && *code <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
            const size_t saved = pos_;
            pos_ += 2;
            const auto low = Hex4();
            if (!low) return false;
            if (*low >= 0xDC00 && *low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00));
                return true;
            }
            pos_ = saved;
        }
        AppendUtf16Unit(out, static_cast<char16_t>(*code));
        return true;
    }

    std::optional<ScriptValue> Number() {
        const size_t start = pos_;
        bool integral = true;
        if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
        if (!Digits()) return std::nullopt;
        if (pos_ < text_.size() && text_[pos_] == '.') {
            integral = false;
            ++pos_;
            if (!Digits()) return std::nullopt;
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            integral = false;
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (!Digits()) return std::nullopt;
        }
        const std::string_view token = text_.substr(start, pos_ - start);
        if (integral) {
            int64_t value = 0;
            const auto [end, error] =
                std::from_chars(token.data(), token.data() + token.size(), value);
            if (error == std::errc() && end == token.data() + token.size() &&
                value >= std::numeric_limits<int32_t>::min() &&
                value <= std::numeric_limits<int32_t>::max()) {
                return ScriptValue::Int(static_cast<int32_t>(value));
            }
        }
        return ScriptValue::OtherKind(std::string(token));
    }

    bool Digits() {
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }

    std::optional<ScriptValue> Array(int depth) {
        ScriptValue::Array items;
        if (!Items(depth, items)) return std::nullopt;
        return ScriptValue::List(std::move(items));
    }

    // A script object inside a value: {"other":"text"} carries a value by its text
    // form; any other object reads as the text form a script gives a plain object.
    std::optional<ScriptValue> Object(int depth) {
        ++pos_;
        std::string text = "[object Object]";
        if (Consume('}')) return ScriptValue::OtherKind(std::move(text));
        do {
            std::string key;
            SkipSpace();
            if (!String(key) || !Consume(':')) return std::nullopt;
            auto member = Value(depth + 1);
            if (!member) return std::nullopt;
            if (key == "other" && member->IsString()) text = member->StringOrEmpty();
        } while (Consume(','));
        if (!Consume('}')) return std::nullopt;
        return ScriptValue::OtherKind(std::move(text));
    }

    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace

void AppendJsonValue(std::string& out, const ScriptValue& value) {
    if (value.IsUndefined()) {
        out += "null";
    } else if (const auto number = value.IntReading()) {
        out += std::to_string(*number);
    } else if (value.IsArray()) {
        out += '[';
        bool first = true;
        for (const auto& item : value.Elements()) {
            if (!first) out += ',';
            first = false;
            AppendJsonValue(out, item);
        }
        out += ']';
    } else {
        AppendJsonString(out, value.TextForm());
    }
}

std::optional<PageMessage> ParsePageMessage(std::string_view text) {
    Reader reader(text);
    if (!reader.Consume('{')) return std::nullopt;
    PageMessage message;
    bool has_call = false;
    bool has_reply = false;
    bool has_name = false;
    bool has_args = false;
    if (!reader.Consume('}')) {
        do {
            std::string key;
            if (!reader.String(key) || !reader.Consume(':')) return std::nullopt;
            if (key == "call" || key == "reply") {
                const auto id = reader.Id();
                if (!id) return std::nullopt;
                message.id = *id;
                (key == "call" ? has_call : has_reply) = true;
            } else if (key == "name") {
                if (!reader.String(message.name)) return std::nullopt;
                has_name = true;
            } else if (key == "error") {
                if (!reader.String(message.error)) return std::nullopt;
                message.ok = false;
            } else if (key == "args") {
                if (!reader.Items(1, message.args)) return std::nullopt;
                has_args = true;
            } else {
                auto value = reader.Value(1);
                if (!value) return std::nullopt;
                if (key == "result") message.result = std::move(*value);
            }
        } while (reader.Consume(','));
        if (!reader.Consume('}')) return std::nullopt;
    }
    if (!reader.AtEnd() || has_call == has_reply) return std::nullopt;
    if (has_call) {
        if (!has_name || !has_args) return std::nullopt;
        message.kind = PageMessage::Kind::kCall;
    } else {
        message.kind = PageMessage::Kind::kReply;
    }
    return message;
}

bool LooksLikeReply(std::string_view text) { return text.substr(0, 9) == "{\"reply\":"; }

std::string ReplyResultMessage(uint64_t id, const ScriptValue& result) {
    std::string out = "{\"reply\":" + std::to_string(id) + ",\"result\":";
    AppendJsonValue(out, result);
    out += '}';
    return out;
}

std::string ReplyErrorMessage(uint64_t id, std::string_view error) {
    std::string out = "{\"reply\":" + std::to_string(id) + ",\"error\":";
    AppendJsonString(out, error);
    out += '}';
    return out;
}

std::string FunctionCallMessage(uint64_t id, std::string_view function,
                                const ScriptValue& argument) {
    std::string out = "{\"call\":" + std::to_string(id) + ",\"fn\":";
    AppendJsonString(out, function);
    if (!argument.IsUndefined()) {
        out += ",\"arg\":";
        AppendJsonValue(out, argument);
    }
    out += '}';
    return out;
}

}  // namespace merravine::shell
