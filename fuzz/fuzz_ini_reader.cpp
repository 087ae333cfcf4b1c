// Config.ini as the user (or anything else) may have left it: any bytes parse, every
// value reads, and the text written back parses to the same values.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    merravine::IniFile file = merravine::IniFile::Parse("Config.ini", text);
    const std::string first = file.GetString("setting", "search_0", "none");
    file.GetInt("setting", "searchnum", 63);
    file.Entries("setting");
    file.Set("setting", "lang", "zh");
    const merravine::IniFile again = merravine::IniFile::Parse("Config.ini", file.Text());
    if (again.GetString("setting", "lang", "") != "zh") __builtin_trap();
    return 0;
}
