// Text conversions shared by every subsystem.
//
// Text is UTF-8 inside the program. File names that are not valid UTF-8 are kept
// as their raw bytes in std::string and survive every conversion below: towards
// UTF-16 each invalid byte 0xXY becomes the lone surrogate U+DCXY, and back.
#pragma once

#include <string>
#include <string_view>

namespace merravine {

/// The storage form of a text: Base64 (RFC 4648, '=' padding, no line breaks) of its UTF-16LE bytes.
std::string ToBase64(std::string_view text);
/// Undoes ToBase64; a text whose length is not a multiple of 4 comes back unchanged.
std::string FromBase64(std::string_view stored);

/// UTF-8 (possibly invalid) to UTF-16, invalid bytes as U+DC80..U+DCFF.
std::u16string Utf8ToUtf16(std::string_view text);
/// UTF-16 to UTF-8; the lone surrogates U+DC80..U+DCFF become the bytes they stand for.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace merravine
