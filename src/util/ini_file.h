// INI files read and written the way the Windows profile functions do it:
// section and key names compared without regard to (ASCII) case, values as text,
// a missing file or key giving the caller's default, text reads cut at 258
// UTF-16 units, and writes that create the file, section or key when missing,
// replace the value in place and keep every other line as it was.
//
// Values are UTF-8 on disk. A file that starts with a UTF-16LE byte-order mark (a
// file brought over from Windows) is read and rewritten as UTF-8; a UTF-8
// byte-order mark is kept. Line ends follow the file's first line end.
//
// A document is held in memory and saved in one atomic replacement of the file,
// so that a crash never leaves half a file. Not thread-safe: one owner at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace merravine {

class IniFile {
  public:
    /// Longest text a read gives, in UTF-16 units; a longer value is cut.
    static constexpr size_t kMaxReadUnits = 258;

    /// Reads the file at `path`; a missing or unreadable file gives an empty document,
    /// and an unreadable one is never saved over (its content would be lost).
    static IniFile Load(const std::string& path);
    /// A document parsed from `text`, to be saved to `path`.
    static IniFile Parse(const std::string& path, std::string_view text);

    /// The value of `key`, whole, or nothing when the section or key is absent.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    /// The value cut to 258 UTF-16 units, or `fallback` (cut likewise) when absent.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view fallback) const;
    /// The leading decimal integer of the value (0 when it has none), or `fallback`
    /// when the key is absent or its value empty. Overflow wraps around at 32 bits.
    int32_t GetInt(std::string_view section, std::string_view key, int32_t fallback) const;

    /// The keys and whole values of `section`, in file order.
    std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;

    /// Sets `key` in `section`, adding what is missing. Line breaks in `value` become blanks.
    void Set(std::string_view section, std::string_view key, std::string_view value);

    /// The file's text as it would be saved.
    std::string Text() const;
    /// Replaces the file with Text(); on failure the file is untouched and `error` says why.
    bool Save(std::string& error) const;

    const std::string& Path() const { return path_; }

  private:
    std::optional<size_t> FindSection(std::string_view section) const;
    std::optional<size_t> FindKey(size_t section_line, std::string_view key) const;

    std::string path_;
    std::vector<std::string> lines_;
    std::string eol_ = "\n";
    bool utf8_bom_ = false;
    bool unreadable_ = false;
};

/// Reads one text value from the file at `path` (opened for this read only).
std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key, std::string_view fallback);
/// Reads one integer value from the file at `path`.
int32_t ReadProfileInt(const std::string& path, std::string_view section, std::string_view key,
                       int32_t fallback);
/// Writes one value into the file at `path`, keeping everything else; false (and a
/// log line) when the file could not be replaced.
bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value);

/// The leading decimal integer of `text` as the profile functions read it:
/// leading blanks, an optional sign, digits; wraps around at 32 bits; no digits gives 0.
int32_t LeadingInt32(std::string_view text);

}  // namespace merravine
