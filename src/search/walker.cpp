// The iterative folder walk and the entry filters.
#include "search/walker.h"

#include <algorithm>

#include "platform/file_walk.h"
#include "util/log.h"
#include "util/text.h"

namespace merravine {
namespace {

using platform::EntryType;

// True when `inner` lies below `outer` (whole path components).
bool LiesBelow(std::string_view outer, std::string_view inner) {
    if (outer.empty() || outer.size() >= inner.size() || inner.substr(0, outer.size()) != outer)
        return false;
    return outer.back() == '/' || inner[outer.size()] == '/';
}

bool IsTrashName(std::string_view name) {
    if (name == ".Trash") return true;
    constexpr std::string_view kPrefix = ".Trash-";
    if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) return false;
    return std::all_of(name.begin() + kPrefix.size(), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

class Walker {
  public:
    Walker(SearchEngine& engine, const WalkFilters& filters, Listing& listing,
           HashPipeline& pipeline, VisitedFolders& visited)
        : engine_(engine),
          filters_(filters),
          listing_(listing),
          pipeline_(pipeline),
          visited_(visited) {}

    WalkReport Run(const std::string& root) {
        std::vector<std::string> pending{root};
        bool is_root = true;
        while (!pending.empty()) {
            if (!HoldWhilePaused(engine_)) return WalkReport::Aborted;
            std::string folder = std::move(pending.back());
            pending.pop_back();
            std::vector<std::string> subfolders;
            const WalkReport report = ListFolder(folder, is_root, subfolders);
            if (report == WalkReport::Aborted) return report;
            if (is_root && report == WalkReport::ListFailed) return report;
            is_root = false;
            for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
                pending.push_back(std::move(*it));
        }
        return WalkReport::Done;
    }

  private:
    WalkReport ListFolder(const std::string& folder, bool is_root,
                          std::vector<std::string>& subfolders) {
        engine_.SetScanningPath(folder);
        platform::DirectoryListing listing(folder, is_root);
        if (!listing.IsOpen()) {
            engine_.unlistableNumber.fetch_add(1, std::memory_order_relaxed);
            engine_.problems.Add(folder);
            LogDebug("cannot list %s (%d)", folder.c_str(), listing.Error());
            return WalkReport::ListFailed;
        }
        platform::EntryStat self;
        if (listing.Stat(".", self) == 0 &&
            !visited_.seen.insert({self.device, self.inode}).second) {
            return WalkReport::Done;
        }
        if ((filters_.skipflag & FILE_SKIP_SYSTEM) != 0 && listing.OnPseudoFileSystem())
            return WalkReport::Done;

        const std::string dir = FolderWithSlash(folder);
        uint32_t folder_index = UINT32_MAX;
        int mount_root = -1;  // looked up once, when a trash name turns up
        std::string_view name;
        EntryType type = EntryType::Unknown;
        while (listing.Next(name, type)) {
            if (!HoldWhilePaused(engine_)) return WalkReport::Aborted;
            if (name == "." || name == "..") continue;
            if ((filters_.skipflag & FILE_SKIP_HIDE) != 0 && listing.EntryHidden()) continue;
            if ((filters_.skipflag & FILE_SKIP_SYSTEM) != 0 && listing.EntrySystem()) continue;
            if ((filters_.skipflag & FILE_SKIP_RECYCLE) != 0 && type != EntryType::File &&
                IsTrash(listing, dir, name, mount_root)) {
                continue;
            }
            platform::EntryStat info;
            if (type == EntryType::Unknown || type == EntryType::File) {
                const std::string name_text(name);
                if (const int error = listing.Stat(name_text.c_str(), info); error != 0) {
                    engine_.vanishedNumber.fetch_add(1, std::memory_order_relaxed);
                    continue;
                }
                type = info.type;
            }
            if (type == EntryType::Directory) {
                std::string full = dir;
                full.append(name);
                if (!filters_.excluded.empty() && filters_.excluded.count(full) != 0) continue;
                subfolders.push_back(std::move(full));
                continue;
            }
            if (type != EntryType::File) continue;  // links, FIFOs, sockets, devices
            AcceptFile(dir, name, info, folder_index);
        }
        if (listing.Error() != 0) {
            LogDebug("listing of %s ended early (%d)", folder.c_str(), listing.Error());
        }
        return WalkReport::Done;
    }

    bool IsTrash(const platform::DirectoryListing& listing, const std::string& dir,
                 std::string_view name, int& mount_root) {
        if (EqualsIgnoringAsciiCase(name, "$RECYCLE.BIN")) return true;
        if (!filters_.userTrash.empty() && name == "Trash" &&
            dir.size() + 5 == filters_.userTrash.size() &&
            filters_.userTrash.compare(0, dir.size(), dir) == 0) {
            return true;
        }
        if (!IsTrashName(name)) return false;
        if (mount_root < 0) mount_root = listing.IsMountRoot() ? 1 : 0;
        return mount_root == 1;
    }

    void AcceptFile(const std::string& dir, std::string_view name, const platform::EntryStat& info,
                    uint32_t& folder_index) {
        const NameParts parts = SplitName(name);
        const std::string lower = LowerSuffix(parts.suffix);
        if ((filters_.skipflag & FILE_SKIP_PRGRAM) != 0 &&
            filters_.programSuffixes.count(lower) != 0)
            return;
        const int32_t kind = ClassifySuffix(filters_, lower);
        if ((filters_.filetypes & kind) == 0) return;
        if (filters_.usemin && info.size < filters_.minsize) return;
        if (filters_.usemax && info.size > filters_.maxsize) return;

        if (folder_index == UINT32_MAX) {
            folder_index = static_cast<uint32_t>(listing_.folders.size());
            listing_.folders.push_back(dir);
        }
        FileEntry entry;
        entry.size = info.size;
        entry.folder = folder_index;
        const size_t offset = listing_.names.AppendContiguous(name.data(), name.size());
        entry.nameOffset = static_cast<uint32_t>(offset);
        entry.nameLength = static_cast<uint16_t>(name.size());
        entry.suffixStart = static_cast<uint16_t>(parts.namenosuffix.size());
        entry.kind = static_cast<uint8_t>(kind);
        if (!filters_.protectDirs.empty()) {
            std::string full = dir;
            full.append(name);
            if (IsProtected(filters_.protectDirs, full)) entry.flags = FILE_FLAG_PROTECTED;
        }
        const auto index = static_cast<uint32_t>(listing_.files.size());
        if (offset == SIZE_MAX || index == UINT32_MAX - 2 || !listing_.files.push_back(entry))
            return;
        engine_.totalNumber.fetch_add(1, std::memory_order_relaxed);
        pipeline_.AddFile(index, info.device, info.inode, info.links);
    }

    SearchEngine& engine_;
    const WalkFilters& filters_;
    Listing& listing_;
    HashPipeline& pipeline_;
    VisitedFolders& visited_;
};

}  // namespace

std::vector<std::string> BuildNestedExcludeList(const std::vector<std::string>& excludeDirs,
                                                const std::vector<std::string>& searchDirs) {
    std::vector<std::string> nested;
    for (std::string exclude : excludeDirs) {
        while (exclude.size() > 1 && exclude.back() == '/') exclude.pop_back();
        const bool inside =
            std::any_of(searchDirs.begin(), searchDirs.end(),
                        [&](const std::string& search) { return LiesBelow(search, exclude); });
        if (inside && std::find(nested.begin(), nested.end(), exclude) == nested.end())
            nested.push_back(exclude);
    }
    return nested;
}

int32_t ClassifySuffix(const WalkFilters& filters, const std::string& lowerSuffix) {
    const auto it = filters.kindOfSuffix.find(lowerSuffix);
    return it == filters.kindOfSuffix.end() ? KIND_OTHER : it->second;
}

bool IsProtected(const std::vector<std::string>& protectDirs, std::string_view full) {
    return std::any_of(protectDirs.begin(), protectDirs.end(),
                       [&](const std::string& protect) { return LiesBelow(protect, full); });
}

WalkFilters BuildWalkFilters(const SearchSettings& settings) {
    WalkFilters filters;
    filters.skipflag = settings.skipflag;
    filters.filetypes = settings.filetypes;
    filters.usemin = settings.usemin != 0;
    filters.usemax = settings.usemax != 0;
    filters.minsize = static_cast<uint64_t>(settings.minsize);
    filters.maxsize = static_cast<uint64_t>(settings.maxsize);
    const std::pair<size_t, int32_t> order[] = {{LIST_ARCHIVE, KIND_ARCHIVE},
                                                {LIST_DOCUMENT, KIND_DOCUMENT},
                                                {LIST_AUDIO, KIND_AUDIO},
                                                {LIST_PICTURE, KIND_PICTURE},
                                                {LIST_VIDEO, KIND_VIDEO}};
    for (const auto& [list, kind] : order) {
        for (const std::string& suffix : settings.extensionLists[list])
            filters.kindOfSuffix.try_emplace(suffix, kind);
    }
    for (const std::string& suffix : settings.extensionLists[LIST_PROGRAM])
        filters.programSuffixes.insert(suffix);
    for (const std::string& exclude :
         BuildNestedExcludeList(settings.excludeDirs, settings.searchDirs)) {
        filters.excluded.insert(exclude);
    }
    filters.protectDirs = settings.protectDirs;
    if ((settings.skipflag & FILE_SKIP_RECYCLE) != 0)
        filters.userTrash = platform::UserTrashFolder();
    return filters;
}

WalkReport CountPass(SearchEngine& engine, const WalkFilters& filters, const std::string& folder,
                     Listing& listing, HashPipeline& pipeline, VisitedFolders& visited) {
    if (folder.empty()) return WalkReport::EmptyFolder;
    if (engine.state.load(std::memory_order_relaxed) == W_ABORT) return WalkReport::Aborted;
    Walker walker(engine, filters, listing, pipeline, visited);
    return walker.Run(folder);
}

}  // namespace merravine
