#include "util/thread_body.h"

#include <exception>
#include <string>

#include "util/log.h"

namespace merravine {

Status ReportEscapedException(const char* what) noexcept {
    std::string reason = "unknown exception";
    try {
        throw;
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
    }
    try {
        LogLess("%s failed: %s", what, reason.c_str());
        return Status::Failure(StatusCode::kFailed, std::move(reason));
    } catch (...) {
        return Status::Failure(StatusCode::kFailed, std::string());  // out of memory
    }
}

}  // namespace merravine
