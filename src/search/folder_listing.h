// Listing one folder for the walk: which of its entries take part in the search (the
// filters), read through the folder's descriptor. It touches no shared state, so any
// walk thread may list any folder; what it found is applied by the walk in its own
// order (see walker.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_walk.h"
#include "search/search_engine.h"
#include "search/walker.h"

namespace merravine {

/// An accepted file of a listed folder.
struct ListedFile {
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t modifyNs = 0;
    int64_t changeNs = 0;
    uint32_t links = 0;
    uint32_t nameOffset = 0;  ///< where its name begins in ListedFolder::names
    uint16_t nameLength = 0;
    uint16_t suffixStart = 0;
    uint8_t kind = 0;
    uint8_t flags = 0;
};

/// What listing one folder found. Reused from folder to folder (Clear keeps capacity).
struct ListedFolder {
    int openError = 0;  ///< the folder could not be opened (errno); nothing else is set
    bool hasId = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    bool pseudo = false;    ///< left out: it lies on a pseudo file system
    bool aborted = false;   ///< the search was stopped while it was listed
    int listError = 0;      ///< errno of a read that ended the listing early
    uint32_t vanished = 0;  ///< entries gone before they could be examined
    uint32_t examined = 0;  ///< entries the name filters kept (files, folders and others)
    std::string names;      ///< the accepted files' names, one after another
    std::vector<ListedFile> files;
    std::vector<std::string> subfolders;  ///< in listing order, excluded ones left out

    void Clear();
};

/// The device of a folder whose identity is not known.
inline constexpr uint64_t kUnknownDevice = UINT64_MAX;

/// True when the filters leave the entry `name` of `folder` (whose text ending in "/"
/// is `dir`) out by its name alone: "." and "..", hidden and system entries, trash
/// folders. `mountRoot` caches whether `folder` is a mount's root (-1: not asked yet).
bool LeftOutByName(const WalkFilters& filters, const platform::FolderEntries& entries,
                   const platform::WalkFolder& folder, const std::string& dir,
                   std::string_view name, platform::EntryType type, int& mountRoot);

/// Lists the open folder `folder`, whose text ending in "/" is `dir`, into `out`
/// with the buffer `entries`. Reads the folder's identity first; a folder on a pseudo
/// file system is not listed when the filters leave system entries out. Such a file
/// system is mounted on a folder of another, so only a folder whose device is not
/// `parentDevice` (the listed parent's, or kUnknownDevice) is asked.
void ListFolder(SearchEngine& engine, const WalkFilters& filters,
                const platform::WalkFolder& folder, const std::string& dir, uint64_t parentDevice,
                platform::FolderEntries& entries, ListedFolder& out);

}  // namespace merravine
