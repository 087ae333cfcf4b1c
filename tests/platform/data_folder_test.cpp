#include "platform/data_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace merravine::platform {
namespace {

TEST(DataFolder, PrecedenceOfTheChoices) {
    DataFolderInputs inputs;
    inputs.program_folder = "/opt/merravine";
    inputs.home = "/home/ana";

    inputs.program_folder_writable = false;
    DataPaths user = ChooseDataPaths(inputs);
    EXPECT_EQ(user.config_file, "/home/ana/.config/merravine/Config.ini");
    EXPECT_EQ(user.database_file, "/home/ana/.local/share/merravine/duplicate.db");
    EXPECT_EQ(user.log_folder, "/home/ana/.local/state/merravine/Log");

    inputs.xdg_config_home = "/cfg";
    inputs.xdg_data_home = "relative/ignored";  // only absolute values count
    inputs.xdg_state_home = "/state/";
    DataPaths xdg = ChooseDataPaths(inputs);
    EXPECT_EQ(xdg.config_file, "/cfg/merravine/Config.ini");
    EXPECT_EQ(xdg.database_file, "/home/ana/.local/share/merravine/duplicate.db");
    EXPECT_EQ(xdg.log_folder, "/state/merravine/Log");

    inputs.program_folder_writable = true;
    DataPaths portable = ChooseDataPaths(inputs);
    EXPECT_EQ(portable.config_file, "/opt/merravine/Config.ini");
    EXPECT_EQ(portable.database_file, "/opt/merravine/duplicate.db");
    EXPECT_EQ(portable.log_folder, "/opt/merravine/Log");

    inputs.program_folder = "/usr/local/bin";  // installed: writable for root only
    EXPECT_EQ(ChooseDataPaths(inputs).config_file, "/cfg/merravine/Config.ini");
    inputs.program_folder = "/usrx/app";
    EXPECT_EQ(ChooseDataPaths(inputs).config_file, "/usrx/app/Config.ini");

    inputs.data_dir_env = "/env/";
    EXPECT_EQ(ChooseDataPaths(inputs).config_file, "/env/Config.ini");
    inputs.data_dir_option = "/opt-dir";
    DataPaths option = ChooseDataPaths(inputs);
    EXPECT_EQ(option.config_file, "/opt-dir/Config.ini");
    EXPECT_EQ(option.database_file, "/opt-dir/duplicate.db");
    EXPECT_EQ(option.log_folder, "/opt-dir/Log");
}

TEST(DataFolder, TheOptionFolderIsCreated) {
    merravine::testing::TempDir dir;
    const std::filesystem::path wanted = dir.Path() / "new" / "data";
    const DataPaths paths = ResolveDataPaths(wanted.string());
    EXPECT_TRUE(paths.error.empty()) << paths.error;
    EXPECT_EQ(paths.config_file, (wanted / "Config.ini").string());
    EXPECT_TRUE(std::filesystem::is_directory(wanted));
}

}  // namespace
}  // namespace merravine::platform
