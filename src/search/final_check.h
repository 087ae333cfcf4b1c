// The last look at the sets before they become the results. The walk and the keys
// describe the tree as it was; two things can make a set wrong by its end:
//   - a file that was empty at the walk may have been written since (a download, a
//     copy in progress): empty files are kept only while they still are empty plain files;
//   - one file may be reachable under two names with one link (a file bind-mounted onto
//     another name): the names share a device and inode, and such a file is not its own
//     duplicate, so it counts once. (Hard links, several links, are the pipeline's.)
// Sets and size groups left with fewer than two members then go.
#pragma once

#include <vector>

#include "search/size_groups.h"

namespace merravine {

/// Re-checks the sets as above; keeps the order of what stays.
void RecheckSets(std::vector<SizeGroup>& groups);

}  // namespace merravine
