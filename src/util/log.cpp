// Placeholder until the log writer lands: accepts every line and writes nothing.
#include "util/log.h"

namespace merravine {

void LogDebug(const char*, ...) {}
void LogLess(const char*, ...) {}

}  // namespace merravine
