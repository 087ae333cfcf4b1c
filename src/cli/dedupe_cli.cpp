// `merravine dedupe`: one scan, then one action over every set, through the same
// action path as the window (action_worker.h), with a line per file on stdout.
#include "cli/dedupe_cli.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "cli/scan_cli.h"
#include "deletion/action_worker.h"
#include "settings/folder_lists.h"
#include "settings/settings_file.h"

namespace merravine {
namespace {

constexpr const char* kUsage =
    "usage: merravine dedupe --action delete|trash|hardlink|reflink|move:DIR "
    "--keep first|newest|oldest|folder-order [--protect DIR]... [--dry-run] DIR...";

enum class Keep { First, Newest, Oldest, FolderOrder };

struct DedupeArguments {
    SearchSettings settings;
    ActionKind action = ActionKind::Delete;
    std::string moveTarget;
    Keep keep = Keep::First;
    bool dryRun = false;
    bool haveAction = false;
    bool haveKeep = false;
};

std::optional<std::string> ParseAction(const std::string& value, DedupeArguments& args) {
    if (value == "delete") {
        args.action = ActionKind::Delete;
    } else if (value == "trash") {
        args.action = ActionKind::Trash;
    } else if (value == "hardlink") {
        args.action = ActionKind::HardLink;
    } else if (value == "reflink") {
        args.action = ActionKind::Reflink;
    } else if (value.rfind("move:", 0) == 0 && value.size() > 5) {
        args.action = ActionKind::Move;
        args.moveTarget = AbsoluteFolder(value.substr(5));
    } else {
        return "--action takes delete, trash, hardlink, reflink or move:DIR";
    }
    args.haveAction = true;
    return std::nullopt;
}

std::optional<std::string> ParseKeep(const std::string& value, DedupeArguments& args) {
    if (value == "first") {
        args.keep = Keep::First;
    } else if (value == "newest") {
        args.keep = Keep::Newest;
    } else if (value == "oldest") {
        args.keep = Keep::Oldest;
    } else if (value == "folder-order") {
        args.keep = Keep::FolderOrder;
    } else {
        return "--keep takes first, newest, oldest or folder-order";
    }
    args.haveKeep = true;
    return std::nullopt;
}

std::optional<std::string> ParseArguments(int argc, char** argv, DedupeArguments& args) {
    SearchSettings& settings = args.settings;
    settings.skipflag = 15;
    SetDefaultExtensionLists(settings);
    const auto option = [&](const std::string& arg,
                            const std::string* value) -> std::optional<std::string> {
        if (value == nullptr) {
            args.dryRun = true;  // the one flag
            return std::nullopt;
        }
        if (arg == "--action") return ParseAction(*value, args);
        if (arg == "--keep") return ParseKeep(*value, args);
        if (arg != "--protect") return "unknown option " + arg;
        settings.protectDirs.push_back(AbsoluteFolder(*value));
        return std::nullopt;
    };
    if (auto failure = ReadCommandLine(argc, argv, {"--dry-run"}, settings.searchDirs, option)) {
        return failure;
    }
    if (!args.haveAction) return std::string("--action is required");
    if (!args.haveKeep) return std::string("--keep is required");
    if (args.action == ActionKind::Move) {
        std::error_code error;
        if (!std::filesystem::is_directory(args.moveTarget, error)) {
            return "not a folder: " + args.moveTarget;
        }
        for (const std::string& folder : settings.searchDirs) {
            if (PathWithin(args.moveTarget, folder) || PathWithin(folder, args.moveTarget)) {
                return "the move folder lies inside a search folder: " + args.moveTarget;
            }
        }
    }
    return std::nullopt;
}

size_t FolderRank(const std::vector<std::string>& searchDirs, const FileRecord& record) {
    const std::string full = record.FullPath();
    for (size_t i = 0; i < searchDirs.size(); ++i) {
        if (PathWithin(full, searchDirs[i])) return i;
    }
    return searchDirs.size();
}

/// The member of `set` the rule keeps.
size_t KeptIndex(const ActionSet& set, Keep keep, const std::vector<std::string>& searchDirs) {
    size_t best = 0;
    for (size_t i = 1; i < set.members.size(); ++i) {
        const FileRecord& a = set.members[i].record;
        const FileRecord& b = set.members[best].record;
        const bool better = keep == Keep::Newest   ? a.modifyNs > b.modifyNs
                            : keep == Keep::Oldest ? a.modifyNs < b.modifyNs
                            : keep == Keep::FolderOrder
                                ? FolderRank(searchDirs, a) < FolderRank(searchDirs, b)
                                : false;
        if (better) best = i;
    }
    return best;
}

/// One set per run of equal keys; every member but the kept one is a target.
ActionBatch BuildBatch(const SearchEngine& engine, const DedupeArguments& args) {
    ActionBatch batch;
    batch.kind = args.action;
    batch.dryRun = args.dryRun;
    batch.protectDirs = engine.settings.protectDirs;
    if (args.action == ActionKind::Move) batch.moveTarget = FolderWithSlash(args.moveTarget);
    const auto& searchDirs = engine.settings.searchDirs;
    for (const SizeGroup& group : engine.groups) {
        for (size_t first = 0; first < group.members.size();) {
            size_t end = first + 1;
            while (end < group.members.size() && group.members[end].key == group.members[first].key)
                ++end;
            if (end - first >= 2) {
                ActionSet set;
                for (size_t k = first; k < end; ++k) {
                    const FileRecord& record = group.members[k];
                    std::string root;
                    if (const size_t rank = FolderRank(searchDirs, record);
                        rank < searchDirs.size()) {
                        root = searchDirs[rank];
                    }
                    set.members.push_back({record, root, false});
                }
                const size_t kept = KeptIndex(set, args.keep, searchDirs);
                const size_t index = batch.sets.size();
                for (size_t k = 0; k < set.members.size(); ++k) {
                    if (k == kept) continue;
                    // A protected file is reported as refused, and stays a kept copy.
                    set.members[k].acted = (set.members[k].record.flags & FILE_FLAG_PROTECTED) == 0;
                    batch.targets.push_back({index, k, set.members[k].record.FullPath()});
                }
                batch.sets.push_back(std::move(set));
            }
            first = end;
        }
    }
    return batch;
}

const char* Verb(ActionKind kind, bool dryRun) {
    switch (kind) {
        case ActionKind::Delete:
            return dryRun ? "would delete" : "deleted";
        case ActionKind::Trash:
            return dryRun ? "would trash" : "trashed";
        case ActionKind::HardLink:
            return dryRun ? "would hardlink" : "hardlinked";
        case ActionKind::Reflink:
            return dryRun ? "would reflink" : "reflinked";
        case ActionKind::Move:
            return dryRun ? "would move" : "moved";
    }
    return "";
}

void PrintResult(const ActionBatch& batch, const ActionTarget& target, const FileResult& result) {
    std::string line;
    switch (result.outcome) {
        case Outcome::Done:
            line = std::string(Verb(batch.kind, batch.dryRun)) + " " + target.shownPath;
            if (!result.newPath.empty()) line += " -> " + result.newPath;
            if (!result.keptPath.empty()) line += " (kept " + result.keptPath + ")";
            break;
        case Outcome::Changed:
            line = "skipped (changed since the scan) " + target.shownPath;
            break;
        case Outcome::LastCopyKept:
            line = "skipped (last copy kept) " + target.shownPath;
            break;
        case Outcome::Protected:
            line = "skipped (protected) " + target.shownPath;
            break;
        case Outcome::Refused:
            line = "skipped (not found by the scan) " + target.shownPath;
            break;
        case Outcome::Failed:
            line = "failed (" + platform::ErrorName(result.error) + ") " + target.shownPath;
            break;
    }
    std::cout << line << '\n';
}

}  // namespace

int RunDedupeCommand(int argc, char** argv) {
    try {
        DedupeArguments args;
        if (const auto failure = ParseArguments(argc, argv, args)) {
            if (*failure == "help") {
                std::cout << kUsage << '\n';
                return 0;
            }
            std::cerr << "merravine dedupe: " << *failure << '\n' << kUsage << '\n';
            return 2;
        }
        SearchEngine engine;
        engine.settings = std::move(args.settings);
        engine.tuning.readTimes = true;  // the identity every file is checked against
        if (ChangeStateIf(engine, W_READY, W_PRESEARCH)) SearchThreadMain(engine);
        ActionBatch batch;
        {
            const auto lock = engine.LockGroups();
            batch = BuildBatch(engine, args);
        }
        ActionWorker worker;
        ActionCounts counts;
        RunActionBatch(worker, nullptr, nullptr, batch, counts, PrintResult);
        std::cout << (args.dryRun ? "dry run: " : "") << counts.done << " of " << counts.requested
                  << " files " << Verb(args.action, false) << (args.dryRun ? " (would be)" : "")
                  << ", " << counts.changed << " changed, " << counts.lastCopyKept
                  << " last copies kept, " << counts.protectedKept << " protected, "
                  << counts.failed << " failed\n";
        std::cout.flush();
        return counts.failed > 0 ? 1 : 0;
    } catch (const std::exception& failure) {
        std::cerr << "merravine dedupe: " << failure.what() << '\n';
        return 1;
    }
}

}  // namespace merravine
