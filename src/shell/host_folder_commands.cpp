// The folder chooser's listing and the file-manager request as script values.
#include "shell/host_folder_commands.h"

#include "platform/data_folder.h"
#include "platform/folder_list.h"
#include "platform/shell_open.h"

namespace merravine {

ScriptValue GetHomeFolder() {
    const std::string home = platform::HomeFolder();
    return ScriptValue::Text(home.empty() ? "/" : home);
}

ScriptValue ListFolders(const ScriptValue& path) {
    const std::string text = path.IsUndefined() ? std::string() : path.TextForm();
    platform::FolderListing listing = platform::ListSubfolders(text);
    ScriptValue::Array folders;
    folders.reserve(listing.folders.size());
    for (platform::FolderEntry& entry : listing.folders) {
        folders.push_back(ScriptValue::List(
            {ScriptValue::Text(std::move(entry.name)), ScriptValue::Int(entry.hidden ? 1 : 0)}));
    }
    return ScriptValue::List({ScriptValue::Text(std::move(listing.error)),
                              ScriptValue::Text(std::move(listing.resolved)),
                              ScriptValue::List(std::move(folders))});
}

ScriptValue ShowInFileManager(const ScriptValue& full_path, platform::Launcher& launcher) {
    const std::string path = full_path.TextForm();
    if (path.empty() || path.front() != '/') return ScriptValue::Int(2);
    return ScriptValue::Int(platform::ShowItemInFileManager(launcher, path) ? 0 : 1);
}

ScriptValue OpenFile(const ScriptValue& full_path, platform::Launcher& launcher) {
    const std::string path = full_path.TextForm();
    if (path.empty() || path.front() != '/') return ScriptValue::Int(2);
    const int result = platform::OpenWithDefaultApp(launcher, path);
    return ScriptValue::Int(result == 0 ? 0 : result == 2 ? 2 : 1);
}

}  // namespace merravine
