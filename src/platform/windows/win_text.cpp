// Generalised UTF-8 between the program and the system, and system path forms.
#include "platform/windows/win_text.h"

#include <windows.h>

#include <cerrno>

namespace merravine::platform {
namespace {

void AppendUnit(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

bool IsDriveAbsolute(std::wstring_view p) {
    return p.size() >= 3 && ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) &&
           p[1] == L':' && p[2] == L'\\';
}

}  // namespace

std::string NarrowFromWide(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        const uint32_t unit = static_cast<uint16_t>(wide[i]);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < wide.size()) {
            const uint32_t low = static_cast<uint16_t>(wide[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUnit(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUnit(out, unit);  // a lone surrogate keeps its three-byte form
    }
    return out;
}

std::wstring WideFromNarrow(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        uint32_t cp = 0;
        size_t len = 0;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if (c >= 0xC2 && c < 0xE0 && i + 1 < n && IsContinuation(s[i + 1])) {
            cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            len = 2;
        } else if (c >= 0xE0 && c < 0xF0 && i + 2 < n && IsContinuation(s[i + 1]) &&
                   IsContinuation(s[i + 2])) {
            cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
            len = cp >= 0x800 ? 3 : 0;  // surrogates allowed: they are how lone units travel
        } else if (c >= 0xF0 && c < 0xF5 && i + 3 < n && IsContinuation(s[i + 1]) &&
                   IsContinuation(s[i + 2]) && IsContinuation(s[i + 3])) {
            cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
                 (s[i + 3] & 0x3Fu);
            len = (cp >= 0x10000 && cp <= 0x10FFFF) ? 4 : 0;
        }
        if (len == 0) {
            out.push_back(static_cast<wchar_t>(0xDC00 + c));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
        i += len;
    }
    return out;
}

std::wstring SystemPath(std::string_view path) {
    std::wstring wide = WideFromNarrow(path);
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    if (!IsDriveAbsolute(wide) && wide.rfind(L"\\\\", 0) != 0) {
        // Relative, or rooted on the current drive: the system makes it whole.
        const DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
        if (need > 0) {
            std::wstring full(need, L'\0');
            const DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
            if (got > 0 && got < need) {
                full.resize(got);
                wide = std::move(full);
            }
        }
    }
    // "." and ".." are not resolved after the prefix; drop them here.
    std::wstring clean;
    clean.reserve(wide.size());
    size_t start = 0;
    const bool unc = wide.rfind(L"\\\\", 0) == 0;
    if (unc) start = 2;
    while (start <= wide.size()) {
        size_t end = wide.find(L'\\', start);
        if (end == std::wstring::npos) end = wide.size();
        const std::wstring_view part(wide.data() + start, end - start);
        if (part == L"..") {
            // Never above the drive, or above the share of a network path.
            const size_t cut = clean.rfind(L'\\');
            if (cut != std::wstring::npos && (!unc || cut > clean.find(L'\\'))) clean.resize(cut);
        } else if (!part.empty() && part != L".") {
            if (!clean.empty()) clean.push_back(L'\\');
            clean.append(part);
        }
        start = end + 1;
    }
    if (clean.size() == 2 && clean[1] == L':') clean.push_back(L'\\');
    return (unc ? L"\\\\?\\UNC\\" : L"\\\\?\\") + clean;
}

std::string ProgramPath(std::wstring_view path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        path.remove_prefix(8);
        std::string out = "//" + NarrowFromWide(path);
        for (char& c : out) {
            if (c == '\\') c = '/';
        }
        return out;
    }
    if (path.rfind(L"\\\\?\\", 0) == 0) path.remove_prefix(4);
    std::string out = NarrowFromWide(path);
    for (char& c : out) {
        if (c == '\\') c = '/';
    }
    return out;
}

int64_t NsFromFileTime(uint64_t ticks) {
    constexpr uint64_t kEpochDifference = 116444736000000000ULL;  // 1601 to 1970 in 100 ns
    return (static_cast<int64_t>(ticks) - static_cast<int64_t>(kEpochDifference)) * 100;
}

int ErrnoFromWin32(unsigned long error) {
    switch (error) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_PRIVILEGE_NOT_HELD:
            return EACCES;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return EOPNOTSUPP;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_BUSY:
            return EBUSY;
        default:
            return EIO;
    }
}

int LastErrno() { return ErrnoFromWin32(GetLastError()); }

}  // namespace merravine::platform
