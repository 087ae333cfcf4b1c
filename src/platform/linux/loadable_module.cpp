// LoadModuleSymbol through dlopen/dlsym. The library is never closed: a toolkit
// unloaded under its own running threads would crash the process.
#include "platform/loadable_module.h"

#include <dlfcn.h>

namespace merravine::platform {

void* LoadModuleSymbol(const std::string& path, const char* name, std::string& error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "cannot load " + path;
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : std::string("no symbol ") + name;
    }
    return symbol;
}

}  // namespace merravine::platform
