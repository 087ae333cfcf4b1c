#include <string>

#include "platform/data_folder.h"
#include "platform/log_file_ops.h"
#include "platform/module_directory.h"

namespace merravine::platform {

DataPaths MakeDataFolders(DataPaths paths) {
    for (const std::string& file : {paths.config_file, paths.database_file}) {
        const std::string folder = FolderOfPath(file);
        if (!folder.empty() && !MakeFolders(folder) && paths.error.empty()) {
            paths.error = "cannot create the folder " + folder;
        }
    }
    return paths;
}

}  // namespace merravine::platform
