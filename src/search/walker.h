// The walk over the search folders and the filters that decide which entries take
// part in a search (Linux terms: hidden = a name starting with ".", system = an entry
// on a pseudo file system, trash = the freedesktop Trash folders and $RECYCLE.BIN).
//
// The walk is iterative: it keeps a stack of open folders, handles a folder's files
// in listing order before any of its subfolders, and walks the subfolders depth first
// in listing order. Helper threads may list folders ahead of it; what they find is
// applied in that same order, so the outcome does not depend on the thread count. Only plain files
// are ever accepted; symbolic links are never followed, and no folder (by device and inode) is
// listed twice in one search, so a file is never recorded twice under one path or through a second
// mount of the same folder.
//
// Runs on the search thread, with its helpers for the time of one CountPass.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "search/hash_pipeline.h"
#include "search/listing.h"
#include "search/search_engine.h"
#include "util/hash_mix.h"

namespace merravine {

/// The filters of one search, prepared once from the settings.
struct WalkFilters {
    int32_t skipflag = 0;
    int32_t filetypes = 0;
    bool usemin = false;
    bool usemax = false;
    uint64_t minsize = 0;
    uint64_t maxsize = 0;
    std::unordered_map<std::string, int32_t> kindOfSuffix;  ///< first list holding it wins
    std::unordered_set<std::string> programSuffixes;
    std::unordered_set<std::string> excluded;  ///< the nested exclude list
    std::vector<std::string> protectDirs;
    std::string userTrash;
};

/// The exclude folders that lie inside a search folder (whole path components; "/"
/// and a search folder ending in "/" hold everything below them), trailing "/" removed.
std::vector<std::string> BuildNestedExcludeList(const std::vector<std::string>& excludeDirs,
                                                const std::vector<std::string>& searchDirs);

/// The kind of a lower-cased suffix, by the lists archive, document, audio, picture,
/// video; 32 (other) when no list holds it.
int32_t ClassifySuffix(const WalkFilters& filters, const std::string& lowerSuffix);

/// True when `full` lies below one of the protect folders.
bool IsProtected(const std::vector<std::string>& protectDirs, std::string_view full);

WalkFilters BuildWalkFilters(const SearchSettings& settings);

enum class WalkReport { Done, EmptyFolder, ListFailed, Aborted };

/// Folders already listed in this search, by device and inode.
struct VisitedFolders {
    struct Id {
        uint64_t device;
        uint64_t inode;
        bool operator==(const Id&) const = default;
    };
    struct IdHash {
        size_t operator()(const Id& id) const { return MixPair(id.inode, id.device); }
    };
    std::unordered_set<Id, IdHash> seen;
};

/// The threads that walk the search folders: the tuning's number, or one per core
/// up to four.
size_t WalkThreadCount(const SearchTuning& tuning);

/// The counting pass over one search folder: counts every accepted file in
/// totalNumber, appends it to the listing and hands it to the pipeline. `share` is the
/// folder's part of the whole walk, added to walkedShare as the walk goes.
WalkReport CountPass(SearchEngine& engine, const WalkFilters& filters, const std::string& folder,
                     Listing& listing, HashPipeline& pipeline, VisitedFolders& visited,
                     double share = 1.0);

}  // namespace merravine
