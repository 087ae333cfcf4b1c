#include "platform/data_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/log_file_ops.h"
#include "platform/module_directory.h"

namespace merravine::platform {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Join(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// An XDG base folder: the variable when it holds an absolute path, else the fallback below home.
std::string BaseFolder(const std::string& variable, const std::string& home, const char* fallback) {
    if (!variable.empty() && variable.front() == '/') return variable;
    return Join(home, fallback);
}

// Folders of installed programs: writable for root, but no place for a user's
// settings, so a program found there keeps its files in the user's folders.
bool IsSystemFolder(const std::string& folder) {
    for (const char* system :
         {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/snap", "/nix"}) {
        const std::string_view prefix(system);
        if (folder.compare(0, prefix.size(), prefix) == 0 &&
            (folder.size() == prefix.size() || folder[prefix.size()] == '/')) {
            return true;
        }
    }
    return false;
}

DataPaths AllIn(const std::string& folder) {
    return {Join(folder, kConfigName),
            Join(folder, kDatabaseName),
            Join(folder, kLogFolderName),
            {},
            Join(folder, kCacheName)};
}

}  // namespace

DataPaths ChooseDataPaths(const DataFolderInputs& inputs) {
    if (!inputs.data_dir_option.empty()) return AllIn(inputs.data_dir_option);
    if (!inputs.data_dir_env.empty()) return AllIn(inputs.data_dir_env);
    if (!inputs.program_folder.empty() && inputs.program_folder_writable &&
        !IsSystemFolder(inputs.program_folder)) {
        return AllIn(inputs.program_folder);
    }
    const std::string config =
        Join(BaseFolder(inputs.xdg_config_home, inputs.home, ".config"), kAppFolderName);
    const std::string data =
        Join(BaseFolder(inputs.xdg_data_home, inputs.home, ".local/share"), kAppFolderName);
    const std::string state =
        Join(BaseFolder(inputs.xdg_state_home, inputs.home, ".local/state"), kAppFolderName);
    return {Join(config, kConfigName),
            Join(data, kDatabaseName),
            Join(state, kLogFolderName),
            {},
            Join(data, kCacheName)};
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        home = found->pw_dir;
    }
    return home;
}

DataPaths ResolveDataPaths(const std::string& data_dir_option) {
    DataFolderInputs inputs;
    std::error_code ignored;
    const auto absolute = [&ignored](const std::string& path) {
        return path.empty() ? path
                            : std::filesystem::absolute(path, ignored).lexically_normal().string();
    };
    inputs.data_dir_option = absolute(data_dir_option);
    inputs.data_dir_env = absolute(Env("MERRAVINE_DATA_DIR"));
    inputs.program_folder = GetModuleDirectory();
    inputs.program_folder_writable =
        !inputs.program_folder.empty() && access(inputs.program_folder.c_str(), W_OK) == 0;
    inputs.home = HomeFolder();
    inputs.xdg_config_home = Env("XDG_CONFIG_HOME");
    inputs.xdg_data_home = Env("XDG_DATA_HOME");
    inputs.xdg_state_home = Env("XDG_STATE_HOME");

    return MakeDataFolders(ChooseDataPaths(inputs));
}

}  // namespace merravine::platform
