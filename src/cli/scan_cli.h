// The scan command line: `merravine scan [--kinds MASK] [--min BYTES] [--max BYTES]
// [--skip FLAGS] [--exclude DIR]... [--protect DIR]... [--threads N]
// [--format text|json|csv] DIR...`, running the same search engine as the window,
// without reading or writing Config.ini.
#pragma once

#include <string>

#include "settings/search_settings.h"

namespace merravine {

/// Runs one scan and prints its sets on stdout; argv[0] is "scan". Returns 0 on
/// success, 2 with a one-line message on stderr for bad arguments or a search folder
/// that does not exist. Progress goes to stderr when it is a terminal.
int RunScanCommand(int argc, char** argv);

/// Gives `settings` the extension lists a fresh installation uses.
void SetDefaultExtensionLists(SearchSettings& settings);

/// An absolute folder text without trailing "/" (links are not resolved).
std::string AbsoluteFolder(const std::string& folder);

}  // namespace merravine
