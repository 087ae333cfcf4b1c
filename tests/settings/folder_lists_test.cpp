#include "settings/folder_lists.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "settings/settings_file.h"
#include "support/temp_dir.h"

namespace merravine {
namespace {

using testing::TempDir;

ScriptValue Texts(const std::vector<std::string>& texts) {
    ScriptValue values = ScriptValue::List({});
    for (const auto& text : texts) values.Append(ScriptValue::Text(text));
    return values;
}

struct MergeCase {
    std::vector<std::string> input;
    std::vector<std::string> expected;
};

// A failing case names its lists rather than dumping the struct's bytes.
void PrintTo(const MergeCase& merge, std::ostream* out) {
    *out << ::testing::PrintToString(merge.input) << " -> "
         << ::testing::PrintToString(merge.expected);
}

class FolderMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(FolderMerge, KeepsOneEntryPerTree) {
    EXPECT_EQ(MergeFolderList(Texts(GetParam().input)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, FolderMerge,
    ::testing::Values(
        MergeCase{{"/a/b", "/d", "/a"}, {"/d", "/a"}},  // the shorter one replaces, at the end
        MergeCase{{"/a", "/a"}, {"/a"}}, MergeCase{{"/a", "/a/b"}, {"/a"}},
        MergeCase{{"/data/Photo", "/data/Photos"}, {"/data/Photo", "/data/Photos"}},
        MergeCase{{"/data/Photos", "/data/Photo"}, {"/data/Photos", "/data/Photo"}},
        MergeCase{{"/Data", "/data/x"}, {"/Data", "/data/x"}},  // exact comparison
        MergeCase{{"/a", "", "/d"}, {"/a", "/d"}},              // empty entries swallow nothing
        MergeCase{{"", ""}, {}},
        MergeCase{{"/home", "/", "/srv"}, {"/"}},  // the root holds every folder
        MergeCase{{"/a/", "/a/b", "/a"}, {"/a"}},  // the same folder: the later, shorter spelling
        MergeCase{{"/a/b", "/a/"}, {"/a/"}}));

TEST(FolderLists, NonStringElementsUseTheirTextForm) {
    EXPECT_EQ(MergeFolderList(ScriptValue::List({ScriptValue::Int(5), ScriptValue::Text("/x")})),
              (std::vector<std::string>{"5", "/x"}));
    EXPECT_TRUE(MergeFolderList(ScriptValue::Text("/not/an/array")).empty());
}

TEST(FolderLists, SettersReplaceOneListAndSaveAll) {
    TempDir dir;
    SearchSettings settings;
    InitSearchSettings(settings, (dir.Path() / "Config.ini").string());
    SetSearchDirectory(settings, Texts({"/s"}));
    SetExcludeDirectory(settings, Texts({"/s/e"}));
    EXPECT_EQ(SetProtectDirectory(settings, Texts({"/s/p"})), 0);
    EXPECT_EQ(settings.searchDirs, (std::vector<std::string>{"/s"}));
    EXPECT_EQ(settings.excludeDirs, (std::vector<std::string>{"/s/e"}));

    EXPECT_EQ(GetSearchDirectory(settings), Texts({"/s"}));
    EXPECT_EQ(GetExcludeDirectory(settings), Texts({"/s/e"}));
    EXPECT_EQ(GetProtectDirectory(settings), Texts({"/s/p"}));

    SetExcludeDirectory(settings, ScriptValue());  // not an array: the list empties
    EXPECT_TRUE(GetExcludeDirectory(settings).IsUndefined());
    SearchSettings restarted;
    InitSearchSettings(restarted, settings.configPath);
    LoadSettings(restarted);
    EXPECT_EQ(restarted.searchDirs, settings.searchDirs);
    EXPECT_TRUE(restarted.excludeDirs.empty());
    EXPECT_EQ(restarted.protectDirs, settings.protectDirs);
    EXPECT_NE(dir.Read("Config.ini").find("excludenum=0\n"), std::string::npos);
}

TEST(FolderLists, AnEmptySearchListOffersTheHomeFolder) {
    TempDir dir;
    const char* saved = std::getenv("HOME");
    const std::string saved_home = saved != nullptr ? saved : "";
    setenv("HOME", dir.Path().c_str(), 1);
    SearchSettings settings;
    InitSearchSettings(settings, (dir.Path() / "Config.ini").string());
    EXPECT_EQ(GetSearchDirectory(settings), Texts({dir.Path().string()}));
    EXPECT_TRUE(settings.searchDirs.empty());  // offered, not stored
    if (saved != nullptr) setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace
}  // namespace merravine
