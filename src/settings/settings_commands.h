// The script commands that read and set the search options.
//
// GetSettings answers [filetypes, othertypes, usemin, minsize, usemax, maxsize,
// skipflag]: integers, except othertypes and the two sizes, which are strings
// (sizes in decimal). SetSettings takes an array in the same order. Both run on
// the UI thread, and only while no search runs.
#pragma once

#include <cstdint>

#include "settings/search_settings.h"
#include "util/script_value.h"

namespace merravine {

/// The seven search options as the page reads them.
ScriptValue GetSettings(const SearchSettings& settings);

/// Applies the first seven elements of `values` and saves the record: 0, or kNotSaved
/// when the file could not be written. With fewer than seven elements nothing changes
/// and nothing is saved: 1.
int32_t SetSettings(SearchSettings& settings, const ScriptValue& values);

/// The hard-link option: 1 when names of one file count as one member, else 0.
ScriptValue GetCollapseHardLinks(const SearchSettings& settings);

/// Sets the hard-link option from `value` (non-zero: on) and writes only its key,
/// `collapsehardlinks`, to the settings file: 0.
int32_t SetCollapseHardLinks(SearchSettings& settings, const ScriptValue& value);

/// The content-key cache option: 1 when scans keep and use what earlier scans learned.
ScriptValue GetUseCache(const SearchSettings& settings);

/// Sets the cache option from `value` (non-zero: on) and writes only its key, `cache`:
/// 0, or kNotSaved when the file could not be written (the option holds for this run).
int32_t SetUseCache(SearchSettings& settings, const ScriptValue& value);

}  // namespace merravine
