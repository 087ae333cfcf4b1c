// Linux has no Windows version: the "anything else" code.
#include "platform/os_version.h"

namespace merravine::platform {

int OsVersionCode() { return 12; }

}  // namespace merravine::platform
