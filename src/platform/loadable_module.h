// Shared libraries loaded while the program runs, for parts that pull in large
// libraries only some runs need (the desktop window's toolkit and browser engine).
#pragma once

#include <string>

namespace merravine::platform {

/// Loads the shared library at `path` (once; it stays loaded until the process ends)
/// and returns the address of its symbol `name`, or nullptr with `error` telling why.
void* LoadModuleSymbol(const std::string& path, const char* name, std::string& error);

}  // namespace merravine::platform
