// Helpers for the sensor tests: temporary folders, small files and links of fixture trees, and
// environment variables restored at the end of a test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>
#include "tests/support/scoped_env.h"

namespace tqv::test {

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tqv-sensors-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return (path_ / relative).string(); }

  private:
    std::filesystem::path path_;
};

// Writes `content` to `path`, creating the folders above it.
inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Replaces `path` whole, so a reader never sees half a file.
inline void ReplaceFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::path temporary = path.string() + ".new";
    WriteFile(temporary, content);
    std::filesystem::rename(temporary, path);
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> ReadLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// A symbolic link at `link` to `target` (taken as written, like sysfs's relative links).
inline void Link(const std::filesystem::path& link, const std::string& target) {
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::create_symlink(target, link);
}

}  // namespace tqv::test
