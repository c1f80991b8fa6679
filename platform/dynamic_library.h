// Run-time loading of shared libraries.
#pragma once

#include <string>

namespace tqv::platform {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads the library at `path` (a path, never a search by name). False when it cannot be
    // loaded; the object then stays unloaded.
    bool Load(const std::string& path);
    void Unload();
    bool IsLoaded() const { return handle_ != nullptr; }

    // The address of an exported symbol, or null.
    void* Symbol(const char* name) const;

private:
    void* handle_ = nullptr;
};

}  // namespace tqv::platform
