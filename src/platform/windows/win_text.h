// Names and paths between the program's text and the system's UTF-16.
//
// The program's text is UTF-8 with "/" between path components. Windows names are
// UTF-16 that need not be valid: a lone surrogate is a legal name. Such a name is carried
// as the generalised UTF-8 of its units (a lone surrogate as its three-byte form), so
// every name the system lists comes back to the same units when it is opened, deleted
// or shown. Used inside the platform folder only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merravine::platform {

/// The program's text of UTF-16 units, lone surrogates kept (three bytes each).
std::string NarrowFromWide(std::wstring_view wide);
/// The UTF-16 units of a text made by NarrowFromWide; any byte that is not part of a
/// well-formed sequence becomes U+DC80..U+DCFF, as the rest of the program reads it.
std::wstring WideFromNarrow(std::string_view text);

/// The system form of `path` for file calls: "/" turned into "\", a relative path made
/// absolute, and the "\\?\" (or "\\?\UNC\") prefix that lifts the 260-character limit.
std::wstring SystemPath(std::string_view path);
/// The program's form of a system path: the "\\?\" prefix dropped, "\" turned into "/".
std::string ProgramPath(std::wstring_view path);

/// Nanoseconds since 1970 UTC of a FILETIME count (100 ns units since 1601).
int64_t NsFromFileTime(uint64_t ticks);

/// The errno value closest to a Windows error code.
int ErrnoFromWin32(unsigned long error);
/// ErrnoFromWin32 of GetLastError().
int LastErrno();

}  // namespace merravine::platform
