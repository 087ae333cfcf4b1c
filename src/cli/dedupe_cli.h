// The dedupe command line: `merravine dedupe --action delete|trash|hardlink|reflink|move:DIR
// --keep first|newest|oldest|folder-order [--protect DIR]... [--dry-run] DIR...`.
#pragma once

namespace merravine {

/// Scans the folders and acts on every set but its kept member; argv[0] is "dedupe".
/// Prints one line per file and a summary. Returns 0 when no file failed, 1 when any
/// did, 2 with a message on stderr for bad arguments.
int RunDedupeCommand(int argc, char** argv);

}  // namespace merravine
