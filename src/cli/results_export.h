// Export of the results shown: every set of the result groups (all kinds), written as
// CSV or JSON in the very form `merravine scan --format csv|json` prints.
#pragma once

#include "search/search_engine.h"
#include "util/script_value.h"

namespace merravine {

/// Writes the groups to `file` (absolute) in `format` ("csv" or "json"); 0 when
/// written, 1 busy (a search runs), 2 bad arguments, 3 the file could not be written.
/// An existing file is replaced whole or left as it was.
ScriptValue ExportResults(const SearchEngine& engine, const ScriptValue& file, const ScriptValue& format);

}  // namespace merravine
