// Small file helpers with the guarantees the settings and autostart files need.
#pragma once

#include <string>
#include <string_view>

namespace tqv::platform {

bool PathExists(const std::string& path);

// Reads the whole file into `out`. False (and `out` emptied) when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out);

// Replaces `path` with `content` so that a reader, a crash or a power loss sees either the old
// file or the new one, never a torn or empty one: a temporary file in the same folder is written,
// flushed to disk and renamed over the target, then the folder is flushed. An existing file's
// permission bits are kept; a new one gets 0644 less the umask.
bool ReplaceFileAtomically(const std::string& path, std::string_view content);

// Creates `path` and its missing parents (mode 0755 less the umask).
bool MakeDirectories(const std::string& path);

bool RemoveFile(const std::string& path);

}  // namespace tqv::platform
