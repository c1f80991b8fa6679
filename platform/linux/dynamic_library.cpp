#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace tqv::platform {

DynamicLibrary::~DynamicLibrary() { Unload(); }

bool DynamicLibrary::Load(const std::string& path) {
    Unload();
    if (path.empty()) return false;
    // RTLD_LOCAL keeps the library's symbols out of the global namespace, so two libraries
    // with the same entry point never resolve to one another.
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle_ != nullptr;
}

void DynamicLibrary::Unload() {
    if (handle_) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
}

void* DynamicLibrary::Symbol(const char* name) const {
    if (!handle_ || !name) return nullptr;
    return ::dlsym(handle_, name);
}

}  // namespace tqv::platform
