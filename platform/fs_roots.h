// Where the kernel's and the system's information trees live. Readers of /sys, /proc and /etc
// build their paths on these roots, so a test can point them at a small fixture tree through
// TQV_SYSFS_ROOT, TQV_PROCFS_ROOT and TQV_ETC_ROOT. An unset or empty variable gives the real
// root. The environment is read on every call (it is cheap), so a change takes effect at once.
#pragma once

#include <string>

namespace tqv::platform {

// "/sys", or $TQV_SYSFS_ROOT. Never ends with '/' (unless the root is "/" itself).
std::string SysfsRoot();

// "/proc", or $TQV_PROCFS_ROOT.
std::string ProcfsRoot();

// "/etc", or $TQV_ETC_ROOT.
std::string EtcRoot();

}  // namespace tqv::platform
