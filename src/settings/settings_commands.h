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

}  // namespace merravine
