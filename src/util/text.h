// Text conversions shared by every subsystem.
//
// Text is UTF-8 inside the program. File names that are not valid UTF-8 are kept
// as their raw bytes in std::string and survive every conversion below: towards
// UTF-16 each invalid byte 0xXY becomes the lone surrogate U+DCXY, and back.
//
// The storage form of a text (folder values in Config.ini, path columns of the
// stored scans) is Base64 of its UTF-16LE code units, so that it stays plain ASCII.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merravine {

/// The storage form of a text: Base64 (RFC 4648, '=' padding, no line breaks) of its UTF-16LE
/// bytes.
std::string ToBase64(std::string_view text);
/// Undoes ToBase64; a text whose length is not a multiple of 4 comes back unchanged.
std::string FromBase64(std::string_view stored);

/// Appends the UTF-8 form of a code point (at most U+10FFFF).
void AppendUtf8(std::string& out, uint32_t code_point);
/// Appends one UTF-16 unit that is not part of a surrogate pair: U+DC80..U+DCFF as the
/// byte it stands for, any other lone surrogate as U+FFFD, anything else as its UTF-8.
/// This is the one rule by which UTF-16 (and JSON's \u escapes) gives back raw bytes.
void AppendUtf16Unit(std::string& out, char16_t unit);

/// UTF-8 (possibly invalid) to UTF-16, invalid bytes as U+DC80..U+DCFF.
std::u16string Utf8ToUtf16(std::string_view text);
/// UTF-16 to UTF-8; the lone surrogates U+DC80..U+DCFF become the bytes they stand for.
/// Any other unpaired surrogate (never produced by Utf8ToUtf16) becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

/// Appends the JSON string literal of `bytes`, quotes included: control characters
/// and DEL escaped, every byte that is not part of well-formed UTF-8 as the lone
/// surrogate escape \udcXX, so the literal is valid JSON and gives back the bytes.
void AppendJsonString(std::string& out, std::string_view bytes);

/// The narrow form of a UTF-16 text. The program's narrow text is UTF-8, so this is Utf16ToUtf8.
std::string WideToAnsi(std::u16string_view text);
/// The UTF-16 form of a narrow text; the same as Utf8ToUtf16.
std::u16string AnsiToWide(std::string_view text);

/// Standard Base64 of `bytes` with '=' padding; empty input gives an empty text.
std::string Base64Encode(std::string_view bytes);
/// Decodes Base64. A text whose length is not a multiple of 4 gives no result.
/// Characters outside the alphabet count as 0 and a '=' before the last group as 0;
/// in the last group '=' in place 2 or 3 ends the output early.
std::optional<std::string> Base64Decode(std::string_view text);

/// The leading decimal integer of `text` as a signed 64-bit value: optional leading
/// blanks and sign, then digits; no digits gives 0; a value beyond 64 bits saturates.
/// "1048576.0" gives 1048576. This is the one reading of a number stored as text.
int64_t LeadingInt64(std::string_view text);
/// A whole text of decimal digits (no sign, no blanks) up to `max`; nullopt otherwise.
std::optional<uint64_t> ParseDecimal(std::string_view text, uint64_t max);

/// Hexadecimal digits, lower and upper case.
inline constexpr std::string_view kHexLower = "0123456789abcdef";
inline constexpr std::string_view kHexUpper = "0123456789ABCDEF";
/// The value of a hexadecimal digit of either case; -1 for any other character.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
/// Appends the bytes as two lower-case hexadecimal digits each.
void AppendHexLower(std::string& out, std::string_view bytes);

/// Percent-encodes every byte but the unreserved characters of RFC 3986 and '/'
/// (upper-case digits), as file URIs and trash info files write paths.
std::string PercentEncodePath(std::string_view path);

/// ASCII case folding; bytes outside A..Z (UTF-8 included) stay as they are.
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
/// `text` with A..Z folded to a..z.
std::string AsciiLowered(std::string_view text);
/// Equal when A..Z and a..z are taken as the same.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
/// The longest prefix of `text` that fits into `max_units` UTF-16 code units
/// without splitting a character.
std::string_view CutToUtf16Units(std::string_view text, size_t max_units);

}  // namespace merravine
