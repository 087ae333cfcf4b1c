#include "util/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "util/log_writer.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(IniRead, NamesIgnoreCaseAndMissingGivesDefaults) {
    const IniFile file = IniFile::Parse("x.ini",
                                        "; comment\n"
                                        "[Setting]\r\n"
                                        "  FileTypes = 12 \n"
                                        "quoted=\"a b\"\n"
                                        "bare\n"
                                        "[other]\n"
                                        "filetypes=99\n");
    EXPECT_EQ(file.GetInt("setting", "filetypes", 63), 12);
    EXPECT_EQ(file.GetInt("SETTING", "FILETYPES", 63), 12);
    EXPECT_EQ(file.GetString("setting", "quoted", ""), "a b");
    EXPECT_EQ(file.GetString("setting", "bare", "d"), "");
    EXPECT_EQ(file.GetInt("setting", "bare", 5), 5);  // empty value: the default
    EXPECT_EQ(file.GetInt("setting", "missing", 63), 63);
    EXPECT_EQ(file.GetString("nosuch", "filetypes", "def"), "def");
    EXPECT_EQ(file.GetInt("other", "filetypes", 0), 99);

    TempDir dir;
    EXPECT_EQ(ReadProfileInt((dir.Path() / "none.ini").string(), "setting", "skipflag", 15), 15);
}

TEST(IniRead, IntegersAsTheProfileFunctionsReadThem) {
    const std::pair<const char*, int32_t> cases[] = {
        {"42", 42},  {"  -5", -5}, {"+7", 7},         {"12abc", 12},
        {"abc", 0},  {"-", 0},     {"4294967297", 1}, {"2147483648", -2147483647 - 1},
        {"0x10", 0},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(LeadingInt32(text), expected) << text;
}

TEST(IniRead, LongValuesAreCutAt258Units) {
    std::string value(257, 'a');
    value += "\xC3\xA9\xC3\xA9";  // é é: units 258 and 259
    value += std::string(40, 'b');
    const IniFile file = IniFile::Parse("x.ini", "[s]\nk=" + value + "\n");
    const std::string read = file.GetString("s", "k", "");
    EXPECT_EQ(read, std::string(257, 'a') + "\xC3\xA9");
    EXPECT_EQ(file.Find("s", "k"), value);  // the whole value is still there for a rewrite
    // A character outside the basic plane takes two units and is never split.
    const IniFile astral =
        IniFile::Parse("x.ini", "[s]\nk=" + std::string(257, 'a') + "\xF0\x9F\x98\x80\n");
    EXPECT_EQ(astral.GetString("s", "k", ""), std::string(257, 'a'));
}

TEST(IniWrite, CreatesWhatIsMissingAndKeepsEveryOtherLine) {
    IniFile fresh = IniFile::Parse("x.ini", "");
    fresh.Set("setting", "filetypes", "63");
    fresh.Set("setting", "usemin", "0");
    fresh.Set("LOG", "LEVEL", "2");
    EXPECT_EQ(fresh.Text(), "[setting]\nfiletypes=63\nusemin=0\n[LOG]\nLEVEL=2\n");

    IniFile edited = IniFile::Parse("x.ini",
                                    "; kept comment\r\n"
                                    "[Setting]\r\n"
                                    "FileTypes=1\r\n"
                                    "lang=de\r\n"
                                    "\r\n"
                                    "[LOG]\r\n"
                                    "LEVEL=1\r\n");
    edited.Set("setting", "filetypes", "63");
    edited.Set("setting", "skipflag", "15");
    edited.Set("log", "level", "2");
    edited.Set("setting", "othertypes", "a\nb[LOG]");  // a value never spills onto a new line
    EXPECT_EQ(edited.Text(),
              "; kept comment\r\n"
              "[Setting]\r\n"
              "FileTypes=63\r\n"
              "lang=de\r\n"
              "skipflag=15\r\n"
              "othertypes=a b[LOG]\r\n"
              "\r\n"
              "[LOG]\r\n"
              "LEVEL=2\r\n");
}

// A UTF-16 file whose first units cannot be converted (lone surrogates, carried as the
// bytes FF FE) is written back as text that reads back as written, not as UTF-16.
TEST(IniWrite, AUtf16FileIsWrittenBackAsTextThatReadsTheSame) {
    using namespace std::string_view_literals;
    const std::string_view utf16 = "\xFF\xFE\xFF\xDC\xFE\xDC\n\0[\0s\0]\0\n\0k\0=\0v\0"sv;
    IniFile file = IniFile::Parse("x.ini", utf16);
    EXPECT_EQ(file.GetString("s", "k", ""), "v");
    file.Set("setting", "lang", "zh");
    const IniFile again = IniFile::Parse("x.ini", file.Text());
    EXPECT_EQ(again.GetString("setting", "lang", ""), "zh");
    EXPECT_EQ(again.GetString("s", "k", ""), "v");
    EXPECT_EQ(again.Text(), file.Text());
}

TEST(IniWrite, ReplacesTheFileWholeAndKeepsModeAndLinks) {
    TempDir dir;
    const fs::path real = dir.Write("real.ini", "\xEF\xBB\xBF[s]\nk=1\n");
    chmod(real.c_str(), 0600);
    const fs::path link = dir.Path() / "Config.ini";
    fs::create_symlink(real, link);
    ASSERT_TRUE(WriteProfileString(link.string(), "s", "k", "2"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(dir.Read(real), "\xEF\xBB\xBF[s]\nk=2\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()),
              2);  // no temp left

    // A file written on Windows in UTF-16 is read and rewritten as UTF-8.
    const std::u16string wide = u"[setting]\r\nlang=fr\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    const fs::path windows = dir.Write("win.ini", bytes);
    EXPECT_EQ(ReadProfileString(windows.string(), "setting", "lang", "en"), "fr");
}

TEST(IniWrite, AFailedWriteLeavesNoFileAndSaysWhy) {
    TempDir dir;
    const std::string path = (dir.Path() / "missing" / "Config.ini").string();
    IniFile file = IniFile::Load(path);
    file.Set("setting", "filetypes", "63");
    std::string error;
    EXPECT_FALSE(file.Save(error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(path));
}

TEST(LogLevel, ReadFromTheSettingsFileWithWriteBack) {
    struct Case {
        const char* content;
        int32_t level;
        const char* after;
    };
    const Case cases[] = {
        {nullptr, 2, "[LOG]\nLEVEL=2\n"},
        {"[setting]\nfiletypes=1\n", 2, "[setting]\nfiletypes=1\n[LOG]\nLEVEL=2\n"},
        {"[log]\nlevel=7\n", 2, "[log]\nlevel=2\n"},
        {"[LOG]\nLEVEL=-1\n", 2, "[LOG]\nLEVEL=2\n"},
        {"[LOG]\nLEVEL=0\n", 0, "[LOG]\nLEVEL=0\n"},
        {"[LOG]\nLEVEL=1\n", 1, "[LOG]\nLEVEL=1\n"},
    };
    const int32_t saved = TheLogWriter().Level();
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path config = dir.Path() / "Config.ini";
        if (c.content != nullptr) dir.Write("Config.ini", c.content);
        EXPECT_EQ(LoadLogLevel(config.string()), c.level);
        EXPECT_EQ(TheLogWriter().Level(), c.level);
        EXPECT_EQ(dir.Read(config), c.after);
    }
    TheLogWriter().SetLevel(saved);
}

}  // namespace
}  // namespace merravine
