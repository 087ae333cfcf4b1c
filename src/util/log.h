// The log writer's entry points: printf-style lines with a fixed prefix, written
// whole under one lock, rotated by size. LogDebug writes at level 2 and above,
// LogLess at level 1 and above.
#pragma once

namespace merravine {

/// Writes one line when the log level is 2 or more.
void LogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Writes one line when the log level is 1 or more.
void LogLess(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace merravine
