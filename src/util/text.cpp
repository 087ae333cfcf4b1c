// UTF-8/UTF-16 conversions that never lose a byte, Base64, and the storage form.
#include "util/text.h"

#include <array>
#include <cstdint>

namespace merravine {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // invalid byte 0xXY <-> U+DCXY
constexpr uint32_t kInvalid = 0xFFFFFFFF;

struct Decoded {
    uint32_t code_point;  // kInvalid: the byte at the position is not valid UTF-8
    size_t length;
};

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one character at `pos` with the strict rules of well-formed UTF-8:
// no overlong forms, no encoded surrogates, nothing above U+10FFFF.
Decoded DecodeOne(std::string_view text, size_t pos) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) return {lead, 1};
    const size_t left = text.size() - pos;
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {kInvalid, 1};
    }
    if (left < length) return {kInvalid, 1};
    if (at(1) < low || at(1) > high) return {kInvalid, 1};
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(at(i))) return {kInvalid, 1};
        value = (value << 6) | (at(i) & 0x3Fu);
    }
    return {value, length};
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

void AppendUtf16Unit(std::string& out, char16_t unit) {
    if (unit >= 0xDC80 && unit <= 0xDCFF) {
        out += static_cast<char>(unit - kEscapeBase);  // a byte that was not valid UTF-8
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
        AppendUtf8(out, 0xFFFD);
    } else {
        AppendUtf8(out, unit);
    }
}

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 0;  // outside the alphabet (or '='): counts as zero bits
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        const Decoded d = DecodeOne(text, pos);
        if (d.code_point == kInvalid) {
            out += static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(text[pos]));
        } else if (d.code_point >= 0x10000) {
            const uint32_t v = d.code_point - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(d.code_point);
        }
        pos += d.length;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            const uint32_t high = unit - 0xD800u;
            const uint32_t low = text[i + 1] - 0xDC00u;
            AppendUtf8(out, 0x10000 + (high << 10) + low);
            ++i;
        } else {
            AppendUtf16Unit(out, unit);
        }
    }
    return out;
}

std::string WideToAnsi(std::u16string_view text) { return Utf16ToUtf8(text); }
std::u16string AnsiToWide(std::string_view text) { return Utf8ToUtf16(text); }

int64_t LeadingInt64(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r')))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
    // Accumulate towards the sign's side so that INT64_MIN itself is reachable.
    int64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        const int digit = text[pos] - '0';
        if (negative) {
            if (value < (INT64_MIN + digit) / 10) return INT64_MIN;
            value = value * 10 - digit;
        } else {
            if (value > (INT64_MAX - digit) / 10) return INT64_MAX;
            value = value * 10 + digit;
        }
    }
    return value;
}

std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

void AppendHexLower(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += kHexLower[byte >> 4];
        out += kHexLower[byte & 0x0F];
    }
}

std::string PercentEncodePath(std::string_view path) {
    std::string encoded;
    encoded.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                           byte == '_' || byte == '~' || byte == '/';
        if (plain) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHexUpper[byte >> 4];
            encoded += kHexUpper[byte & 0x0F];
        }
    }
    return encoded;
}

std::string AsciiLowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

std::string_view CutToUtf16Units(std::string_view text, size_t max_units) {
    size_t units = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const Decoded d = DecodeOne(text, pos);
        const size_t need = (d.code_point != kInvalid && d.code_point >= 0x10000) ? 2 : 1;
        if (units + need > max_units) break;
        units += need;
        pos += d.length;
    }
    return text.substr(0, pos);
}

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    const auto byte = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i]));
    };
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += kAlphabet[(group >> 6) & 63];
        out += kAlphabet[group & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest == 1) {
        const uint32_t group = byte(i) << 16;
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const uint32_t group = (byte(i) << 16) | (byte(i + 1) << 8);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += kAlphabet[(group >> 6) & 63];
        out += '=';
    }
    return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const uint32_t group = (SextetOf(text[i]) << 18) | (SextetOf(text[i + 1]) << 12) |
                               (SextetOf(text[i + 2]) << 6) | SextetOf(text[i + 3]);
        const bool last = i + 4 == text.size();
        out += static_cast<char>((group >> 16) & 0xFF);
        if (last && (text[i + 1] == '=' || text[i + 2] == '=')) break;
        out += static_cast<char>((group >> 8) & 0xFF);
        if (last && (text[i + 2] == '=' || text[i + 3] == '=')) break;
        out += static_cast<char>(group & 0xFF);
    }
    return out;
}

std::string ToBase64(std::string_view text) {
    const std::u16string units = Utf8ToUtf16(text);
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (const char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return Base64Encode(bytes);
}

std::string FromBase64(std::string_view stored) {
    const std::optional<std::string> bytes = Base64Decode(stored);
    if (!bytes) return std::string(stored);
    std::u16string units;
    units.reserve(bytes->size() / 2);
    for (size_t i = 0; i + 1 < bytes->size(); i += 2) {  // an odd last byte is dropped
        const auto low = static_cast<unsigned char>((*bytes)[i]);
        const auto high = static_cast<unsigned char>((*bytes)[i + 1]);
        units += static_cast<char16_t>(low | (high << 8));
    }
    return Utf16ToUtf8(units);
}

void AppendJsonString(std::string& out, std::string_view bytes) {
    const auto escape = [&](unsigned code) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += kHexLower[(code >> shift) & 0xF];
    };
    out += '"';
    for (size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const Decoded decoded = DecodeOne(bytes, i);
        if (decoded.code_point == kInvalid) {
            escape(kEscapeBase | byte);
        } else if (decoded.length > 1) {
            out.append(bytes.substr(i, decoded.length));
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            escape(byte);
        } else {
            out += static_cast<char>(byte);
        }
        i += decoded.length;
    }
    out += '"';
}

}  // namespace merravine
