// Helpers for the Windows suites: files made with the system's own calls (any name, any
// length, any attribute), a search of a folder run to its end, and the sets it found.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "search/search_engine.h"
#include "support/temp_dir.h"

namespace merravine::testing {

/// The program's text of the temporary folder ("C:/.../merravine-test-...").
std::string ProgramFolder(const TempDir& temp);

/// Writes `content` to the file at `path` (program text, any length), making its folders.
void WriteFileAt(const std::string& path, std::string_view content);

/// Gives the entry at `path` the attributes `add` (FILE_ATTRIBUTE_HIDDEN, ...); false when
/// the file system does not keep them.
bool AddAttributes(const std::string& path, unsigned long add);

/// Searches `folders` with `skipflag`, every kind, and returns the sets found, each set and
/// the list of sets sorted.
std::set<std::set<std::string>> SearchSets(const std::vector<std::string>& folders,
                                           int32_t skipflag);

}  // namespace merravine::testing
