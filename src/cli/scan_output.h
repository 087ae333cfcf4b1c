// The printed forms of a finished scan for the command line: text (one path per
// line, a blank line after each set), JSON and CSV (RFC 4180).
//
// JSON strings carry every byte of a name: valid UTF-8 as it is, and each byte that
// is not part of valid UTF-8 as the escape \udcXX (a lone surrogate), so the output
// stays valid JSON and the name can be rebuilt byte for byte.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "search/size_groups.h"

namespace merravine {

/// Figures printed with the sets.
struct ScanStats {
    int64_t counted = 0;
    int64_t scanned = 0;
    int64_t duplicates = 0;
    int64_t unreadable = 0;
    uint64_t bytesRead = 0;
    double seconds = 0;
};

enum class ScanFormat { Text, Json, Csv };

/// `text` as one CSV field: quoted (quotes doubled) when it holds a comma, quote, CR or LF.
std::string CsvField(std::string_view text);

/// Prints every set of `groups` (no cap) in delivery order in `format`.
void WriteScanResult(std::ostream& out, ScanFormat format, const std::vector<SizeGroup>& groups,
                     const ScanStats& stats);

}  // namespace merravine
