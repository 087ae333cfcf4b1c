// A real search over real files, with the history file beside it: the setting in
// which the history commands and the delete worker run in the program.
#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "history/history_commands.h"
#include "history/history_db.h"
#include "history_test_util.h"
#include "search/result_rows.h"
#include "search/search_engine.h"
#include "support/recording_bridge.h"
#include "support/temp_dir.h"

namespace merravine::testing {

class SearchFixture {
  public:
    SearchFixture() {
        history::OpenHistoryDb(history, (temp.Path() / "data").string());
        engine.settings.searchDirs = {Root()};
        engine.settings.skipflag = 0;
    }

    std::string Root() const { return (temp.Path() / "files").string(); }

    /// Writes a file below the searched folder; returns its full path.
    std::string Write(const std::string& relative, const std::string& content) const {
        return temp.Write("files/" + relative, content).string();
    }

    /// Runs one whole search and waits for it.
    void Search() {
        StartSearch(engine);
        WaitForSearch(engine);
    }

    /// The full paths of every file in the result groups, sorted.
    std::vector<std::string> FilesInGroups() {
        const auto lock = engine.LockGroups();
        std::vector<std::string> files;
        for (const auto& group : engine.groups) {
            for (const auto& member : group.members) files.push_back(member.FullPath());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    /// The full paths of every file stored in scan `id`, sorted.
    std::vector<std::string> FilesInScan(int32_t id) {
        std::vector<std::string> files;
        for (const auto& row : ReadAll(history, id)) {
            files.push_back(row.path + row.namenosuffix + row.suffix);
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    /// The rows a delivery of every kind gives now.
    ScriptValue Rows() { return BuildDuplicateRows(engine, KIND_ALL); }

    TempDir temp;
    history::HistoryDb history;
    RecordingBridge bridge;
    SearchEngine engine;
};

/// The rows of `rows` whose folder is `folder` (full path, ending in "/").
inline ScriptValue RowsIn(const ScriptValue& rows, const std::string& folder) {
    ScriptValue picked;
    for (const auto& row : rows.Elements()) {
        if (row.At(1).StringOrEmpty() == folder) picked.Append(row);
    }
    return picked;
}

}  // namespace merravine::testing
