// The way from a worker thread back into the page.
//
// Workers (result delivery, deletion, history loading) never see the UI host: they
// are handed a PageBridge and call the page's global script functions through it.
// A call blocks the calling worker until the page answers. When the page is gone or
// does not answer in a bounded time, the call returns an error value and the worker
// goes on; no worker hangs forever. Tests hand workers a recording fake.
#pragma once

#include <string>

#include "util/script_value.h"

namespace merravine {

/// The outcome of one call into the page.
struct PageCallResult {
    bool ok = false;    ///< the function ran and returned
    ScriptValue value;  ///< what it returned (undefined when not ok)
    std::string error;  ///< why the call failed, when not ok
};

class PageBridge {
  public:
    virtual ~PageBridge() = default;
    /// Calls the page's global function `name` with one argument and waits for its result.
    virtual PageCallResult CallScriptFunction(const std::string& name,
                                              const ScriptValue& argument) = 0;
};

}  // namespace merravine
