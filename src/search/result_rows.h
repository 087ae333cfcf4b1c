// The result rows: the groups turned into the flat list of rows the results page
// shows, consecutive rows with one set number being one set of identical files, and
// their delivery to the page. A row holds the twelve described values, then the
// file's device and inode (decimal texts, "0" when unknown) and its link count.
#pragma once

#include <cstdint>
#include <functional>

#include "search/search_engine.h"
#include "util/page_bridge.h"
#include "util/script_value.h"

namespace merravine {

/// Groups delivered to the page at most (later groups are left out).
inline constexpr size_t kMaxDeliveredGroups = 10001;

/// Calls `visit(group, member, setNumber)` for every member whose kind is in `mask`,
/// in delivery order, over at most `maxGroups` groups. Set numbers start at 1 and rise
/// at every new group and at every change of key within a group. A set of fewer than
/// two members (what a removal leaves) is passed over.
/// Caller holds the groups lock.
void ForEachDeliveredMember(
    const std::vector<SizeGroup>& groups, int32_t mask, size_t maxGroups,
    const std::function<void(const SizeGroup&, const FileRecord&, int32_t)>& visit);

/// Sets whose members' kinds are in `mask`, over all groups (none left out).
/// Takes the groups lock.
int32_t CountSets(const SearchEngine& engine, int32_t mask);

/// The rows for `mask`: an array of rows, or the undefined value when no
/// row is selected. Takes the groups lock.
ScriptValue BuildDuplicateRows(const SearchEngine& engine, int32_t mask);

/// Builds the rows (holding the groups lock) and then, without the lock, hands them to the
/// page's DuplicateFileToUI. Returns whether the page call succeeded.
bool DeliverDuplicates(const SearchEngine& engine, PageBridge& bridge, int32_t mask);

}  // namespace merravine
