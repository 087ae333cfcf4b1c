// Windows names that are not valid UTF-16 (lone surrogates) keep every unit through the
// program: the walk, the storage form, the JSON output and back to the same file.
#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>

#include "cli/scan_output.h"
#include "platform/file_read.h"
#include "platform/windows/win_text.h"
#include "search/search_commands.h"
#include "util/text.h"
#include "windows_test_support.h"

namespace merravine {
namespace {

using platform::NarrowFromWide;
using platform::WideFromNarrow;

// Reads the JSON string literals that follow "path": in `json`, by the program's rule for
// \u escapes (pairs as one character, any other unit by AppendUtf16Unit).
std::set<std::string> JsonPaths(const std::string& json) {
    std::set<std::string> paths;
    const std::string key = "\"path\":\"";
    for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at)) {
        at += key.size();
        std::string value;
        while (at < json.size() && json[at] != '"') {
            if (json[at] != '\\') {
                value.push_back(json[at++]);
                continue;
            }
            const char escape = json[at + 1];
            at += 2;
            if (escape != 'u') {
                const std::string plain = "\"\\/bfnrt";
                const std::string meant = "\"\\/\b\f\n\r\t";
                value.push_back(meant[plain.find(escape)]);
                continue;
            }
            const auto unit = static_cast<char16_t>(std::stoul(json.substr(at, 4), nullptr, 16));
            at += 4;
            if (unit >= 0xD800 && unit < 0xDC00 && json.compare(at, 2, "\\u") == 0) {
                const auto low =
                    static_cast<char16_t>(std::stoul(json.substr(at + 2, 4), nullptr, 16));
                if (low >= 0xDC00 && low < 0xE000) {
                    AppendUtf8(value, 0x10000 + ((unit - 0xD800u) << 10) + (low - 0xDC00u));
                    at += 6;
                    continue;
                }
            }
            AppendUtf16Unit(value, unit);
        }
        paths.insert(value);
    }
    return paths;
}

TEST(WindowsNames, SystemPathsCarryTheLongPathPrefixAndNeverClimbAboveTheirRoot) {
    using platform::ProgramPath;
    using platform::SystemPath;
    EXPECT_EQ(SystemPath("C:/a/b"), L"\\\\?\\C:\\a\\b");
    EXPECT_EQ(SystemPath("C:\\a\\..\\b\\.\\c\\"), L"\\\\?\\C:\\b\\c");
    EXPECT_EQ(SystemPath("C:/"), L"\\\\?\\C:\\");
    EXPECT_EQ(SystemPath("C:/../.."), L"\\\\?\\C:\\");
    EXPECT_EQ(SystemPath("//server/share/x/../../.."), L"\\\\?\\UNC\\server\\share");
    EXPECT_EQ(SystemPath("\\\\?\\C:\\as is"), L"\\\\?\\C:\\as is");
    const std::wstring relative = SystemPath("some folder/x");
    EXPECT_EQ(relative.rfind(L"\\\\?\\", 0), 0u);
    EXPECT_EQ(relative.substr(relative.size() - 14), L"\\some folder\\x");
    EXPECT_EQ(ProgramPath(L"\\\\?\\C:\\a\\b"), "C:/a/b");
    EXPECT_EQ(ProgramPath(L"\\\\?\\UNC\\server\\share\\x"), "//server/share/x");
    EXPECT_EQ(ProgramPath(SystemPath("D:/caf\xC3\xA9/\xED\xA0\x80")),
              "D:/caf\xC3\xA9/\xED\xA0\x80");
}

TEST(WindowsNames, EveryUnitSequenceSurvivesTheProgramTextStorageFormAndJson) {
    const std::vector<std::wstring> names = {L"plain",
                                             L"caf\u00e9",
                                             L"pair \xD83D\xDE00",
                                             L"high \xD800 alone",
                                             L"low \xDC00 alone",
                                             L"reversed \xDC00\xD800",
                                             L"high at the end \xDBFF",
                                             L"\xDFFF",
                                             L"two highs \xD800\xD801x"};
    for (const std::wstring& name : names) {
        const std::string text = NarrowFromWide(name);
        EXPECT_EQ(WideFromNarrow(text), name) << text;
        EXPECT_EQ(WideFromNarrow(FromBase64(ToBase64(text))), name) << text;
        std::string json = "{\"path\":";
        AppendJsonString(json, text);
        json += "}";
        EXPECT_EQ(JsonPaths(json), std::set<std::string>{text}) << json;
    }
    // Valid UTF-16 becomes ordinary UTF-8, the same as the program's own conversion.
    EXPECT_EQ(NarrowFromWide(L"pair \xD83D\xDE00"), Utf16ToUtf8(u"pair \xD83D\xDE00"));
    EXPECT_EQ(NarrowFromWide(L"caf\u00e9"), "caf\xC3\xA9");
}

// Makes files of the names `odd` (beside a plain one, all of one content), scans them and
// checks every path found: its storage form, its JSON form, and that it opens the file.
// False when the file system refuses one of the names.
bool ScanOddNames(const std::vector<std::wstring>& odd) {
    testing::TempDir temp;
    const std::string root = testing::ProgramFolder(temp) + "/names";
    testing::WriteFileAt(root + "/plain.txt", "same bytes everywhere");
    for (const std::wstring& name : odd) {
        HANDLE file =
            CreateFileW((platform::SystemPath(root) + L"\\" + name).c_str(), GENERIC_WRITE, 0,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, "same bytes everywhere", 21, &written, nullptr));
        CloseHandle(file);
    }

    SearchEngine engine;
    engine.settings.skipflag = 0;
    engine.settings.searchDirs = {root};
    EXPECT_TRUE(StartSearch(engine));
    WaitForSearch(engine);
    std::ostringstream json;
    std::set<std::string> found;
    {
        const auto lock = engine.LockGroups();
        WriteScanResult(json, ScanFormat::Json, engine.groups, ScanStats{});
        for (const SizeGroup& group : engine.groups) {
            for (const FileRecord& member : group.members) found.insert(member.FullPath());
        }
    }
    EXPECT_EQ(found.size(), odd.size() + 1) << json.str();

    std::set<std::wstring> names;
    for (const std::string& path : found) {
        names.insert(WideFromNarrow(path.substr(path.rfind('/') + 1)));
        // The storage form is plain ASCII that gives back the same text, which reaches the file.
        const std::string stored = ToBase64(path);
        EXPECT_EQ(stored.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_EQ(FromBase64(stored), path);
        platform::ContentFile file;
        EXPECT_EQ(file.Open(FromBase64(stored)), 0) << stored;
        EXPECT_EQ(file.Size(), 21u);
    }
    for (const std::wstring& name : odd) EXPECT_EQ(names.count(name), 1u);
    // The JSON output gives back every path.
    EXPECT_EQ(JsonPaths(json.str()), found) << json.str();
    return true;
}

TEST(WindowsNames, NamesBeyondAsciiAndTheBasicPlaneAreFoundPrintedAndOpenedAgain) {
    EXPECT_TRUE(ScanOddNames(
        {L"caf\u00e9 \u65e5\u672c.txt", L"pair \xD83D\xDE00.txt", L"it's a [name], #1.txt"}));
}

TEST(WindowsNames, LoneSurrogateNamesAreFoundStoredPrintedAndOpenedAgain) {
    if (!ScanOddNames({L"lone \xD800 high.txt", L"lone \xDC00 low.txt", L"end \xDBFF"})) {
        GTEST_SKIP()
            << "the file system refuses names with lone surrogates (Wine maps names to UTF-8 "
               "strictly); the conversions are checked on their own above";
    }
}

}  // namespace
}  // namespace merravine
