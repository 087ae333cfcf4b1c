// The running system's version as the pages know it: 0 (before Windows Vista), 7
// (Windows 7), 8 (Windows 8.1), 10 (Windows 10 and 11), and 12 for anything else,
// which includes every system that is not Windows.
#pragma once

namespace merravine::platform {

/// The version code of the running system.
int OsVersionCode();

/// The code of Windows `major`.`minor`, by the table above.
constexpr int WindowsVersionCode(unsigned major, unsigned minor) {
    if (major < 6) return 0;
    if (major == 6) return minor == 1 ? 7 : minor == 3 ? 8 : 12;
    if (major == 10) return minor == 0 ? 10 : 12;
    return 12;
}

}  // namespace merravine::platform
