#include "platform/fs_roots.h"

#include <cstdlib>

namespace tqv::platform {

namespace {

std::string RootFrom(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    std::string root = (value && value[0]) ? value : fallback;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

}  // namespace

std::string SysfsRoot() {
    return RootFrom("TQV_SYSFS_ROOT", "/sys");
}

std::string ProcfsRoot() {
    return RootFrom("TQV_PROCFS_ROOT", "/proc");
}

std::string EtcRoot() {
    return RootFrom("TQV_ETC_ROOT", "/etc");
}

}  // namespace tqv::platform
