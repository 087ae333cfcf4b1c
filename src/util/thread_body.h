// Running a thread body (or any body whose exception must not travel further, such as a
// command handler) so that nothing escapes it: what escapes is logged at level 1 with
// the body's name and handed back as a failed Status.
#pragma once

#include <utility>

#include "util/result.h"

namespace merravine {

/// Logs the exception being handled as "<what> failed: <reason>" and returns it as a
/// failure whose message is the reason. Call only inside a catch block.
Status ReportEscapedException(const char* what) noexcept;

/// Runs `body()`; ok when it returned, the logged failure when it threw.
template <typename Body>
Status RunGuarded(const char* what, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return Status::Ok();
    } catch (...) {
        return ReportEscapedException(what);
    }
}

}  // namespace merravine
