// Files the library reads again and again. A KeptFile opens its file once and reads it with
// pread from the start on each call, so a steady update costs one system call per file.
// Also small helpers for files read once and for the numbers they hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tqv::sdk {

class KeptFile {
  public:
    KeptFile() = default;
    explicit KeptFile(const std::string& path) { Open(path); }
    ~KeptFile();
    KeptFile(KeptFile&& other) noexcept;
    KeptFile& operator=(KeptFile&& other) noexcept;
    KeptFile(const KeptFile&) = delete;
    KeptFile& operator=(const KeptFile&) = delete;

    // Opens `path` for reading; false (and closed) when it cannot be opened.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    // The file's content from its start, at most `limit` bytes; none when the read fails.
    // The view stays valid until the next read.
    std::optional<std::string_view> Read(std::size_t limit = 4096);

    // The file read as one decimal integer (surrounding blanks allowed).
    std::optional<std::int64_t> ReadInteger();

  private:
    int fd_ = -1;
    std::string buffer_;
};

// A whole small file (at most `limit` bytes), or none.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit = 65536);

// The first line of a small file, trimmed; empty when it cannot be read.
std::string ReadTrimmedLine(const std::string& path);

// A decimal integer with optional surrounding white space and nothing else.
bool ParseInteger(std::string_view text, std::int64_t& value);
// A decimal number ("2096.005") with optional surrounding white space and nothing else.
bool ParseDouble(std::string_view text, double& value);

std::string_view Trim(std::string_view text);

// Whether a file or folder exists at `path` (links followed).
bool PathExists(const std::string& path);

// Names of the entries of folder `path` that begin with `prefix`, sorted; empty when unreadable.
std::vector<std::string> ListFolder(const std::string& path, const std::string& prefix = "");

// The canonical path (every link resolved), or empty.
std::string RealPath(const std::string& path);

}  // namespace tqv::sdk
