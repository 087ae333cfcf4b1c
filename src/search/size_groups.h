// The result groups: one SizeGroup per file size, sorted by ascending size, each
// holding its FileRecords ordered by content key (equal keys adjacent, the one
// added last first among equals).
//
// Threading: the groups live in SearchEngine and are guarded by
// the groups lock (SearchEngine::LockGroups). Every function here expects the caller to hold that
// mutex (the search thread while it rebuilds them, delivery while it builds rows,
// deletion and the history loader while they change them).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "search/file_record.h"

namespace merravine {

struct SearchEngine;

struct SizeGroup {
    FileLen size = 0;
    std::vector<FileRecord> members;  ///< ordered by key; see the file comment
};

/// Empties the groups and sets totalNumber, scanNumber, duplicateNumber and the
/// unreadable count to 0. Caller holds the groups lock.
void ClearResults(SearchEngine& engine);

/// Inserts a record of a stored scan into the group of `size` (ordered by key, the
/// new record first among equal keys; appended for size 0), counts it in scanNumber
/// and, when it meets an equal key or joins an empty-file group, in duplicateNumber.
/// Returns the new record (valid until the groups next change) so the loader can set
/// its times, or nullptr when an abort request cut the insertion short.
/// Caller holds the groups lock.
FileRecord* AddToGroups(SearchEngine& engine, std::string_view path, std::string_view namenosuffix,
                        std::string_view suffix, int32_t kind, FileLen size,
                        std::string_view keyText);

/// Removes the first member of the group of `probe.size` whose path, namenosuffix and
/// suffix equal the probe's (exact bytes); drops the group when it empties. Returns
/// whether a member was removed. duplicateNumber is not changed. Caller holds the groups lock.
bool RemoveFromGroups(SearchEngine& engine, const FileRecord& probe);

/// Checks the group invariants: sorted by size, one group per size, no empty group,
/// keys ascending within a group, every member of size above 0 sharing its key with a
/// neighbour when `pruned`. Returns an empty text when they hold, else what is wrong.
std::string CheckGroupInvariants(const std::vector<SizeGroup>& groups, bool pruned);

}  // namespace merravine
