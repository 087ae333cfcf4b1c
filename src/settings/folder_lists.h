// The three folder lists (search, exclude, protect): the script commands that
// replace and read them, and the merge rule every setter applies.
//
// The merge keeps one entry per tree: an entry that lies inside an earlier one is
// dropped, and an entry that contains earlier ones replaces them (at the end of
// the list). Containment is by whole path components: /data/Photo holds
// /data/Photo/2020 but not /data/Photos. "/" holds every absolute path. Empty
// entries are ignored. Comparisons are exact (case-sensitive), nothing is
// normalised. Commands run on the UI thread while no search runs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/search_settings.h"
#include "util/script_value.h"

namespace merravine {

/// Whether `inner` is `outer` itself or lies below it, by whole path components.
bool PathWithin(std::string_view inner, std::string_view outer);

/// The merged list of the text forms of `values`' elements, in order of first acceptance.
std::vector<std::string> MergeFolderList(const ScriptValue& values);

/// Replace one list with the merge of `values` and save the whole record: 0, or
/// kNotSaved when the file could not be written (the list is used for this run).
int32_t SetSearchDirectory(SearchSettings& settings, const ScriptValue& values);
int32_t SetExcludeDirectory(SearchSettings& settings, const ScriptValue& values);
int32_t SetProtectDirectory(SearchSettings& settings, const ScriptValue& values);

/// The search list, or when it is empty the user's home folder as the offer
/// (not stored); the undefined value when there is nothing to offer.
ScriptValue GetSearchDirectory(const SearchSettings& settings);
/// The list as an array of strings; the undefined value when it is empty.
ScriptValue GetExcludeDirectory(const SearchSettings& settings);
ScriptValue GetProtectDirectory(const SearchSettings& settings);

}  // namespace merravine
