#include "settings/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "settings/folder_lists.h"
#include "settings/settings_commands.h"
#include "support/temp_dir.h"
#include "util/log_writer.h"

namespace merravine {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class SettingsFile : public ::testing::Test {
  protected:
    SearchSettings Fresh() const {
        SearchSettings settings;
        InitSearchSettings(settings, config_.string());
        return settings;
    }
    SearchSettings Loaded(const std::string& content) const {
        dir_.Write("Config.ini", content);
        SearchSettings settings = Fresh();
        LoadSettings(settings);
        return settings;
    }
    std::string FileText() const { return dir_.Read(config_); }

    TempDir dir_;
    fs::path config_ = dir_.Path() / "Config.ini";
};

TEST_F(SettingsFile, MissingFileGivesDefaultsAndIsNotCreated) {
    SearchSettings settings = Fresh();
    LoadSettings(settings);
    EXPECT_EQ(settings.filetypes, 63);
    EXPECT_EQ(settings.skipflag, 15);
    EXPECT_EQ(settings.usemin, 0);
    EXPECT_EQ(settings.minsize, 0);
    EXPECT_EQ(settings.scanmaxfilenumber, 2147483647);
    EXPECT_EQ(settings.historymax, 20);
    EXPECT_TRUE(settings.searchDirs.empty());
    EXPECT_EQ(settings.extensionLists[LIST_PROGRAM],
              (std::vector<std::string>{"bat", "com", "dll", "drv", "exe", "msi"}));
    EXPECT_EQ(settings.extensionLists[LIST_PICTURE].size(), 16u);
    EXPECT_FALSE(fs::exists(config_));
}

TEST_F(SettingsFile, FirstSaveOnAFreshStart) {
    SearchSettings settings = Fresh();
    LoadSettings(settings);
    EXPECT_EQ(SetSearchDirectory(settings, ScriptValue::List({ScriptValue::Text("/")})), 0);
    EXPECT_EQ(FileText(),
              "[setting]\n"
              "filetypes=63\n"
              "usemin=0\n"
              "minsize=0\n"
              "usemax=0\n"
              "maxsize=0\n"
              "skipflag=15\n"
              "searchnum=1\n"
              "search_0=LwA=\n"
              "excludenum=0\n"
              "protectnum=0\n");
}

// The hard-link option is on unless the file says 0; setting it writes only its own key.
TEST_F(SettingsFile, HardLinkOptionDefaultsOnAndWritesOnlyItsKey) {
    EXPECT_EQ(Loaded("").collapsehardlinks, 1);
    EXPECT_EQ(Loaded("[setting]\ncollapsehardlinks=0\n").collapsehardlinks, 0);
    EXPECT_EQ(Loaded("[setting]\ncollapsehardlinks=7\n").collapsehardlinks, 1);
    SearchSettings settings = Loaded("[setting]\nskipflag=3\n");
    EXPECT_EQ(GetCollapseHardLinks(settings), ScriptValue::Int(1));
    EXPECT_EQ(SetCollapseHardLinks(settings, ScriptValue::Int(0)), 0);
    EXPECT_EQ(GetCollapseHardLinks(settings), ScriptValue::Int(0));
    EXPECT_EQ(FileText(), "[setting]\nskipflag=3\ncollapsehardlinks=0\n");
    SearchSettings restarted = Fresh();
    LoadSettings(restarted);
    EXPECT_EQ(restarted.collapsehardlinks, 0);
}

// The cache option is on unless the file says 0; setting it writes only `cache`, and a
// change that cannot be written still holds for this run and says it was not saved.
TEST_F(SettingsFile, CacheOptionDefaultsOnWritesOnlyItsKeyAndReportsAFailedSave) {
    EXPECT_EQ(Loaded("").cache, 1);
    EXPECT_EQ(Loaded("[setting]\ncache=0\n").cache, 0);
    EXPECT_EQ(Loaded("[setting]\ncache=-3\n").cache, 1);
    SearchSettings settings = Loaded("[setting]\nskipflag=3\n");
    EXPECT_EQ(GetUseCache(settings), ScriptValue::Int(1));
    EXPECT_EQ(SetUseCache(settings, ScriptValue::Int(0)), 0);
    EXPECT_EQ(GetUseCache(settings), ScriptValue::Int(0));
    EXPECT_EQ(FileText(), "[setting]\nskipflag=3\ncache=0\n");
    SearchSettings restarted = Fresh();
    LoadSettings(restarted);
    EXPECT_EQ(restarted.cache, 0);
    EXPECT_EQ(SetUseCache(restarted, ScriptValue::Int(5)), 0);
    EXPECT_EQ(FileText(), "[setting]\nskipflag=3\ncache=1\n");

    SearchSettings unsaved;
    InitSearchSettings(unsaved, (dir_.Path() / "gone" / "Config.ini").string());
    EXPECT_EQ(SetUseCache(unsaved, ScriptValue::Int(0)), kNotSaved);
    EXPECT_EQ(GetUseCache(unsaved), ScriptValue::Int(0));
}

TEST_F(SettingsFile, HandEditedNumberedKeysAndCounts) {
    // No searchnum: indexes 0..62 are tried; excludenum then defaults to 63 tries too.
    SearchSettings missing = Loaded(
        "[setting]\nsearch_0=LwBhAA==\nSEARCH_1=LwBiAA==\nsearch_2=/tmp/x\nsearch_63=LwB6AA==\n"
        "exclude_5=LwBiAA==\nprotectnum=0\nprotect_0=LwBhAA==\n");
    EXPECT_EQ(missing.searchDirs,
              (std::vector<std::string>{"/a", "/b", "/tmp/x"}));  // plain text kept
    EXPECT_EQ(missing.excludeDirs, (std::vector<std::string>{"/b"}));
    EXPECT_TRUE(missing.protectDirs.empty());

    // A stale third key from a longer list saved earlier is ignored.
    SearchSettings stale =
        Loaded("[setting]\nsearchnum=2\nsearch_0=LwBhAA==\nsearch_1=\nsearch_2=LwBiAA==\n");
    EXPECT_EQ(stale.searchDirs, (std::vector<std::string>{"/a"}));  // empty value skipped
    // excludenum defaults to the 2 keys tried, protectnum to those 2.
    SearchSettings chained = Loaded(
        "[setting]\nsearchnum=2\nexclude_1=LwBhAA==\nexclude_2=LwBiAA==\nprotect_1=LwBhAA==\n");
    EXPECT_EQ(chained.excludeDirs, (std::vector<std::string>{"/a"}));
    EXPECT_EQ(chained.protectDirs, (std::vector<std::string>{"/a"}));

    // A huge count costs no time: only the keys present are visited.
    SearchSettings huge = Loaded("[setting]\nsearchnum=2000000000\nsearch_1999999999=LwBhAA==\n");
    EXPECT_EQ(huge.searchDirs, (std::vector<std::string>{"/a"}));
}

TEST_F(SettingsFile, HandEditedValues) {
    const std::string long_list = "zip|" + std::string(300, 'x');
    SearchSettings settings = Loaded(
        "[Setting]\nfiletypes=0\nusemin=5\nminsize=5000000000\nusemax=-3\nmaxsize=-1\nskipflag="
        "abc\n"
        "archive=|zip||rar|\nvideo=|||\ndocument=" +
        long_list + "\nothertypes=anything\nscanmaxfilenumber=10\nhistorymax=0\n");
    EXPECT_EQ(settings.filetypes, 63);
    EXPECT_EQ(settings.usemin, 1);
    EXPECT_EQ(settings.minsize, 4294967296);
    EXPECT_EQ(settings.usemax, 1);
    EXPECT_EQ(settings.maxsize, 4294967296);  // negative: read as unsigned, above 2^32
    EXPECT_EQ(settings.skipflag, 0);          // not a number
    EXPECT_EQ(settings.extensionLists[LIST_ARCHIVE], (std::vector<std::string>{"zip", "", "rar"}));
    EXPECT_TRUE(settings.extensionLists[LIST_VIDEO].empty());
    EXPECT_EQ(settings.extensionLists[LIST_DOCUMENT],
              (std::vector<std::string>{"zip", std::string(254, 'x')}));
    EXPECT_EQ(settings.othertypes, "anything");
    EXPECT_EQ(settings.scanmaxfilenumber, 10);
    EXPECT_EQ(settings.historymax, 0);

    const std::pair<const char*, int64_t> sizes[] = {
        {"-1", 4294967296},
        {"4294967295", 4294967295},
        {"4294967296", 4294967296},
        {"  +12kb", 12},
        {"", 0},
        {"x1", 0},
        {"99999999999999999999999", 4294967296},
    };
    for (const auto& [text, expected] : sizes) {
        EXPECT_EQ(Loaded(std::string("[setting]\nminsize=") + text + "\n").minsize, expected)
            << text;
    }
}

TEST_F(SettingsFile, SplitExtensionList) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"", {}},
        {"|", {}},
        {"||", {}},
        {"zip", {"zip"}},
        {"|zip||rar|", {"zip", "", "rar"}},
        {"ZIP| a ", {"ZIP", " a "}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(SplitExtensionList(text), expected) << text;
}

TEST_F(SettingsFile, SetAndGetSettings) {
    SearchSettings settings = Fresh();
    LoadSettings(settings);
    const ScriptValue six =
        ScriptValue::List({ScriptValue::Int(1), ScriptValue::Text(""), ScriptValue::Int(1),
                           ScriptValue::Text("1"), ScriptValue::Int(1), ScriptValue::Text("2")});
    EXPECT_EQ(SetSettings(settings, six), 1);
    EXPECT_EQ(settings.filetypes, 63);
    EXPECT_FALSE(fs::exists(config_));

    ScriptValue eight = ScriptValue::List({
        ScriptValue::Int(0),
        ScriptValue::Text("other"),
        ScriptValue::Int(1),
        ScriptValue::OtherKind("5000000000"),
        ScriptValue::Int(0),
        ScriptValue::OtherKind("1048576.0"),
        ScriptValue::Int(4),
        ScriptValue::Text("ignored"),
    });
    EXPECT_EQ(SetSettings(settings, eight), 0);
    EXPECT_EQ(
        GetSettings(settings),
        ScriptValue::List({ScriptValue::Int(63), ScriptValue::Text("other"), ScriptValue::Int(1),
                           ScriptValue::Text("5000000000"), ScriptValue::Int(0),
                           ScriptValue::Text("1048576"), ScriptValue::Int(4)}));
    EXPECT_NE(FileText().find("minsize=5000000000\n"), std::string::npos);
    EXPECT_EQ(FileText().find("othertypes"), std::string::npos);  // never written

    SearchSettings restarted = Fresh();
    LoadSettings(restarted);
    EXPECT_EQ(restarted.minsize, 4294967296);  // clamped on the next start
    EXPECT_EQ(restarted.maxsize, 1048576);
    EXPECT_EQ(restarted.skipflag, 4);
}

TEST_F(SettingsFile, SaveKeepsOtherKeysAndStaleEntries) {
    SearchSettings settings = Loaded(
        "[LOG]\nLEVEL=2\n[setting]\nlang=de\nsearchnum=3\nsearch_0=LwBhAA==\n"
        "search_1=LwBiAA==\nsearch_2=LwBjAA==\n");
    SetSearchDirectory(settings, ScriptValue::List({ScriptValue::Text("/z")}));
    const std::string text = FileText();
    EXPECT_EQ(text.find("[LOG]\nLEVEL=2\n[setting]\nlang=de\nsearchnum=1\nsearch_0=LwB6AA==\n"), 0u)
        << text;
    EXPECT_NE(text.find("search_2=LwBjAA=="), std::string::npos);  // stale, ignored on load
    SearchSettings restarted = Fresh();
    LoadSettings(restarted);
    EXPECT_EQ(restarted.searchDirs, (std::vector<std::string>{"/z"}));
}

TEST_F(SettingsFile, FolderNamesOfAnyBytesSurviveSaveAndLoad) {
    const std::vector<std::string> names = {
        "/home/ana/Fotos/Ni\xC3\xB1os", "/srv/" + std::string(200, 'd'),
        "/srv/\xE6\x96\x87\xE4\xBB\xB6", "/mnt/old/caf\xE9", "/tmp/\xF0\x9F\x98\x80/\xFF\xFE"};
    SearchSettings settings = Fresh();
    ScriptValue values;
    for (const auto& name : names) values.Append(ScriptValue::Text(name));
    SetProtectDirectory(settings, values);
    SearchSettings restarted = Fresh();
    LoadSettings(restarted);
    EXPECT_EQ(restarted.protectDirs, names);
}

TEST_F(SettingsFile, AFailedSaveKeepsTheValuesAndIsLogged) {
    TempDir log_dir;
    const fs::path log = log_dir.Path() / "Tessvel.log";
    ASSERT_TRUE(TheLogWriter().OpenLog(log.string()));
    SearchSettings settings;
    InitSearchSettings(settings, (dir_.Path() / "gone" / "Config.ini").string());
    EXPECT_EQ(SetExcludeDirectory(settings, ScriptValue::List({ScriptValue::Text("/x")})),
              kNotSaved);
    EXPECT_EQ(settings.excludeDirs, (std::vector<std::string>{"/x"}));
    EXPECT_EQ(SetSettings(settings, ScriptValue::List({ScriptValue::Int(1), ScriptValue::Text(""),
                                                       ScriptValue::Int(0), ScriptValue::Text("0"),
                                                       ScriptValue::Int(0), ScriptValue::Text("0"),
                                                       ScriptValue::Int(3)})),
              kNotSaved);
    EXPECT_EQ(settings.skipflag, 3);
    EXPECT_NE(log_dir.Read(log).find("Failed to save the settings"), std::string::npos);
    TheLogWriter().OpenLog("");
}

// A Config.ini that is not a plain file (here a FIFO, which would block a reader with
// no writer forever) is neither read nor replaced: the defaults apply, the log says
// why, and a change answers that it could not be saved.
TEST_F(SettingsFile, AConfigThatIsNotAPlainFileIsRefusedWithTheDefaults) {
    TempDir log_dir;
    const fs::path log = log_dir.Path() / "Tessvel.log";
    ASSERT_TRUE(TheLogWriter().OpenLog(log.string()));
    const fs::path config = dir_.Path() / "Config.ini";
    ASSERT_EQ(mkfifo(config.c_str(), 0600), 0);
    SearchSettings settings;
    InitSearchSettings(settings, config.string());
    LoadSettings(settings);
    EXPECT_EQ(settings.skipflag, 15);
    EXPECT_EQ(settings.filetypes, KIND_ALL);
    EXPECT_EQ(SetSearchDirectory(settings, ScriptValue::List({ScriptValue::Text("/s")})),
              kNotSaved);
    EXPECT_TRUE(fs::is_fifo(config));
    EXPECT_NE(log_dir.Read(log).find("is not a plain file"), std::string::npos);
    TheLogWriter().OpenLog("");
}

}  // namespace
}  // namespace merravine
