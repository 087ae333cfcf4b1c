// Where the program keeps its files: Config.ini, duplicate.db and the Log folder.
//
// In order of precedence:
//   1. the folder given with --data-dir, then the MERRAVINE_DATA_DIR environment
//      variable: all three files in that one folder;
//   2. the program's own folder, when it is writable (portable use) and is not a
//      system folder such as /usr/bin (writable for root, but no place for settings);
//   3. the user's folders: $XDG_CONFIG_HOME/merravine/Config.ini,
//      $XDG_DATA_HOME/merravine/duplicate.db and $XDG_STATE_HOME/merravine/Log,
//      with the usual fallbacks below the home folder for unset or relative values.
#pragma once

#include <string>

namespace merravine::platform {

/// The names of the program's files and folders in its data folder, on every system.
inline constexpr const char* kConfigName = "Config.ini";
inline constexpr const char* kDatabaseName = "duplicate.db";
inline constexpr const char* kCacheName = "cache.db";
inline constexpr const char* kLogFolderName = "Log";
inline constexpr const char* kAppFolderName = "merravine";  ///< below the per-user folders

struct DataPaths {
    std::string config_file;    ///< full path of Config.ini
    std::string database_file;  ///< full path of duplicate.db
    std::string log_folder;     ///< full path of the Log folder (created when the log is opened)
    std::string error;          ///< why a folder could not be created; empty when all is well
    std::string cache_file;  ///< full path of cache.db, the content-key cache, beside duplicate.db
};

/// Everything the choice depends on, so that it can be made without touching the system.
struct DataFolderInputs {
    std::string data_dir_option;  ///< value of --data-dir, empty when not given
    std::string data_dir_env;     ///< MERRAVINE_DATA_DIR, empty when unset
    std::string program_folder;   ///< the executable's folder
    bool program_folder_writable = false;
    std::string home;
    std::string xdg_config_home;
    std::string xdg_data_home;
    std::string xdg_state_home;
};

/// Picks the paths from `inputs` alone.
DataPaths ChooseDataPaths(const DataFolderInputs& inputs);

/// Creates the folders of Config.ini and duplicate.db; the first that cannot be made is
/// told in `paths.error` (unless an error is already there).
DataPaths MakeDataFolders(DataPaths paths);

/// Start-up: picks the paths for this process (`data_dir_option` is the value of
/// --data-dir, empty when absent) and creates the folders of Config.ini and duplicate.db.
DataPaths ResolveDataPaths(const std::string& data_dir_option);

/// The user's home folder: $HOME, else the password database; empty when unknown.
std::string HomeFolder();

}  // namespace merravine::platform
