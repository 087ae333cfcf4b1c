// The Windows side of the program's own facilities: the version code the pages get, where
// the program keeps its files, the program's folder, and the data files' replacement.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/atomic_file.h"
#include "platform/data_folder.h"
#include "platform/module_directory.h"
#include "platform/os_version.h"
#include "platform/windows/win_text.h"
#include "windows_test_support.h"

namespace merravine {
namespace {

TEST(WindowsSystem, VersionCodesFollowTheTable) {
    EXPECT_EQ(platform::WindowsVersionCode(5, 1), 0);   // XP
    EXPECT_EQ(platform::WindowsVersionCode(6, 0), 12);  // Vista
    EXPECT_EQ(platform::WindowsVersionCode(6, 1), 7);
    EXPECT_EQ(platform::WindowsVersionCode(6, 2), 12);  // 8
    EXPECT_EQ(platform::WindowsVersionCode(6, 3), 8);   // 8.1
    EXPECT_EQ(platform::WindowsVersionCode(10, 0), 10);
    EXPECT_EQ(platform::WindowsVersionCode(10, 1), 12);
    EXPECT_EQ(platform::WindowsVersionCode(11, 0), 12);
    // Wine says Windows 10 unless told otherwise; any answer is one of the codes.
    const int code = platform::OsVersionCode();
    EXPECT_TRUE(code == 0 || code == 7 || code == 8 || code == 10 || code == 12) << code;
}

TEST(WindowsSystem, DataFilesGoBesideTheProgramWhenItsFolderIsWritableElseToAppData) {
    platform::DataFolderInputs inputs;
    inputs.program_folder = "C:/Tools/Merravine";
    inputs.program_folder_writable = true;
    inputs.home = "C:/Users/me";
    inputs.xdg_data_home = "C:/Users/me/AppData/Roaming";
    EXPECT_EQ(platform::ChooseDataPaths(inputs).database_file, "C:/Tools/Merravine/duplicate.db");
    inputs.program_folder_writable = false;
    const platform::DataPaths roaming = platform::ChooseDataPaths(inputs);
    EXPECT_EQ(roaming.config_file, "C:/Users/me/AppData/Roaming/merravine/Config.ini");
    EXPECT_EQ(roaming.database_file, "C:/Users/me/AppData/Roaming/merravine/duplicate.db");
    EXPECT_EQ(roaming.cache_file, "C:/Users/me/AppData/Roaming/merravine/cache.db");
    EXPECT_EQ(roaming.log_folder, "C:/Users/me/AppData/Roaming/merravine/Log");
    inputs.xdg_data_home.clear();
    EXPECT_EQ(platform::ChooseDataPaths(inputs).config_file,
              "C:/Users/me/AppData/Roaming/merravine/Config.ini");
    inputs.data_dir_env = "D:/env";
    EXPECT_EQ(platform::ChooseDataPaths(inputs).config_file, "D:/env/Config.ini");
    inputs.data_dir_option = "E:/option/";
    EXPECT_EQ(platform::ChooseDataPaths(inputs).config_file, "E:/option/Config.ini");
}

TEST(WindowsSystem, TheProgramFolderIsTheFolderOfTheRunningExecutable) {
    wchar_t own[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, own, MAX_PATH), 0u);
    const std::string folder = platform::GetModuleDirectory();
    EXPECT_EQ(folder, platform::FolderOfPath(platform::ProgramPath(own)));
    EXPECT_EQ(folder.find('\\'), std::string::npos) << folder;
    EXPECT_EQ(platform::FolderOfPath("C:/a.txt"), "C:/");
    EXPECT_EQ(platform::FolderOfPath("C:/x/a.txt"), "C:/x");
    EXPECT_EQ(platform::FolderOfPath("a.txt"), "");
}

TEST(WindowsSystem, SettingsFilesAreReplacedWholeAndReadBack) {
    testing::TempDir temp;
    const std::string file = testing::ProgramFolder(temp) + "/Config.ini";
    std::string content;
    EXPECT_EQ(platform::ReadWholeFile(file, content), platform::FileReadStatus::kMissing);
    std::string error;
    ASSERT_TRUE(platform::ReplaceFileAtomically(file, "[setting]\r\nlang=en\r\n", error)) << error;
    ASSERT_TRUE(platform::ReplaceFileAtomically(file, "[setting]\r\nlang=de\r\n", error)) << error;
    EXPECT_EQ(platform::ReadWholeFile(file, content), platform::FileReadStatus::kOk);
    EXPECT_EQ(content, "[setting]\r\nlang=de\r\n");
    EXPECT_EQ(platform::RemoveLeftoverTemporaries(file), 0);
    EXPECT_EQ(platform::ReadWholeFile(testing::ProgramFolder(temp), content),
              platform::FileReadStatus::kNotPlainFile);
    EXPECT_FALSE(platform::CreatePrivateFile(file));
    EXPECT_TRUE(platform::CreatePrivateFile(file + ".new"));
}

}  // namespace
}  // namespace merravine
