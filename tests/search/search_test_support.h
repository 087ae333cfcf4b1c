// Helpers for the search tests: settings for a test tree, running a search to its
// end, the sets a search found, a brute-force reference, and a recording page bridge.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "search/search_engine.h"
#include "support/recording_bridge.h"

namespace merravine::testing {

/// Settings that search `folders` with every kind, nothing skipped, default extension lists.
SearchSettings SettingsFor(std::vector<std::string> folders);

/// Starts a search and waits for its end; fails the test when it could not start.
void RunSearchToEnd(SearchEngine& engine);

/// The sets found, in delivery order, each as the full paths of its files.
std::vector<std::vector<std::string>> DeliveredSets(const SearchEngine& engine);

/// The same sets without order: each set sorted, the sets sorted.
std::set<std::set<std::string>> Unordered(const std::vector<std::vector<std::string>>& sets);

/// Sets of identical plain files below `root` (links not followed, hidden included),
/// found by comparing whole contents; `unreadable` paths are left out.
std::set<std::set<std::string>> BruteForceSets(const std::filesystem::path& root,
                                               const std::set<std::string>& unreadable = {});

/// Writes a file of `size` bytes from `seed`, with byte `flip` (if below size) changed.
void WritePattern(const std::filesystem::path& path, size_t size, unsigned seed, size_t flip = SIZE_MAX);

}  // namespace merravine::testing
