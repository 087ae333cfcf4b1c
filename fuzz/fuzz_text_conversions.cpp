// The storage form and the text conversions over any bytes: nothing reads out of
// bounds, and what is stored decodes to what was stored.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace merravine;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (FromBase64(ToBase64(bytes)) != bytes) __builtin_trap();
    const auto decoded = Base64Decode(bytes);
    if (decoded && Base64Decode(Base64Encode(*decoded)) != decoded) __builtin_trap();
    FromBase64(bytes);
    Utf16ToUtf8(Utf8ToUtf16(bytes));
    AnsiToWide(bytes);
    LeadingInt64(bytes);
    CutToUtf16Units(bytes, size / 2);
    ParseDecimal(bytes, UINT64_MAX);
    PercentEncodePath(bytes);
    AsciiLowered(bytes);
    std::string json;
    AppendJsonString(json, bytes);
    return 0;
}
