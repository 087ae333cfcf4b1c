// The two printf-style entry points over the process-wide log writer.
#include "util/log.h"

#include <cstdarg>

#include "util/log_writer.h"

namespace merravine {

void LogDebug(const char* format, ...) {
    CLogWriter& writer = TheLogWriter();
    if (writer.Level() < 2) return;
    va_list args;
    va_start(args, format);
    writer.Write(LOG_KIND_DEBUG, format, args);
    va_end(args);
}

void LogLess(const char* format, ...) {
    CLogWriter& writer = TheLogWriter();
    if (writer.Level() < 1) return;
    va_list args;
    va_start(args, format);
    writer.Write(LOG_KIND_LESS, format, args);
    va_end(args);
}

}  // namespace merravine
