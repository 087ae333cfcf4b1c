// Names of one file (hard links) in the result groups. Two members with the same
// device and inode are one file: deleting one of the names frees nothing while another
// name remains. With the collapse option on, a set keeps one name per file, and a set
// left with one file is no set.
#pragma once

#include <vector>

#include "search/size_groups.h"

namespace merravine {

/// True when `a` and `b` are known to be names of one file (identity read, equal).
bool SameFile(const FileRecord& a, const FileRecord& b);

/// Keeps the first name of each file in every set (members of one key in a group);
/// removes the sets left with one member and the groups left empty. Members whose
/// identity was not read are kept as they are. Caller holds the groups lock.
/// Returns the number of names removed.
size_t CollapseHardLinks(std::vector<SizeGroup>& groups);

}  // namespace merravine
