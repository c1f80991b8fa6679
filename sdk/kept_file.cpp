#include "sdk/kept_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace tqv::sdk {

KeptFile::~KeptFile() {
    Close();
}

KeptFile::KeptFile(KeptFile&& other) noexcept : fd_(other.fd_), buffer_(std::move(other.buffer_)) {
    other.fd_ = -1;
}

KeptFile& KeptFile::operator=(KeptFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        buffer_ = std::move(other.buffer_);
        other.fd_ = -1;
    }
    return *this;
}

bool KeptFile::Open(const std::string& path) {
    Close();
    if (path.empty())
        return false;
    // O_NONBLOCK: a fifo or other odd node in place of an attribute must never block a read.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    return fd_ >= 0;
}

void KeptFile::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::optional<std::string_view> KeptFile::Read(std::size_t limit) {
    if (fd_ < 0 || limit == 0)
        return std::nullopt;
    if (buffer_.size() < limit)
        buffer_.resize(limit);
    ssize_t got;
    do {
        got = ::pread(fd_, buffer_.data(), limit, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return std::nullopt;
    return std::string_view(buffer_.data(), static_cast<std::size_t>(got));
}

std::optional<std::int64_t> KeptFile::ReadInteger() {
    auto text = Read(64);
    std::int64_t value = 0;
    if (!text || !ParseInteger(*text, value))
        return std::nullopt;
    return value;
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit) {
    // Read to the end (or the limit) in page-sized pieces: the limit may be generous (a whole
    // sensors.conf), and a buffer of that size would cost more to clear than the file to read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char chunk[4096];
    while (text.size() < limit) {
        const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, limit - text.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

std::string ReadTrimmedLine(const std::string& path) {
    auto text = ReadSmallFile(path, 4096);
    if (!text)
        return {};
    std::string_view view = *text;
    view = view.substr(0, view.find('\n'));
    return std::string(Trim(view));
}

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\n\v\f";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool ParseInteger(std::string_view text, std::int64_t& value) {
    text = Trim(text);
    if (text.empty())
        return false;
    if (text.front() == '+')
        text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseDouble(std::string_view text, double& value) {
    text = Trim(text);
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved))
        return {};
    return resolved;
}

std::vector<std::string> ListFolder(const std::string& path, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tqv::sdk
