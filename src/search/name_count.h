// Counting the names below the search folders ahead of the walk, from the folders'
// listings alone: no entry's status is read, which is most of what the walk costs.
// A first scan has no earlier scan of the same folders to tell how long its walk is
// going to be; this count tells it early, so the remaining time is not a guess from
// the shape of the folders walked so far.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "search/walker.h"

namespace merravine {

/// The entries the walk will examine below `folders` (what ListedFolder::examined
/// counts), in every folder the walk enters: not excluded, not on a pseudo file system
/// when system entries are left out, not reached twice, never through a link. An
/// entry whose type the listing does not tell is counted but not entered, and changes
/// made meanwhile are missed, so the count can be a little off. 0 when `stop` is
/// requested before the end.
uint64_t CountNamesAhead(const WalkFilters& filters, const std::vector<std::string>& folders,
                         const std::stop_token& stop);

}  // namespace merravine
