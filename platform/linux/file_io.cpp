#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tqv::platform {
namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderPart(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // A regular file's size sizes the buffer at once; files of /proc and /sys report 0 or a
    // page and simply grow it.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        out.reserve(static_cast<std::size_t>(st.st_size) + 1);
    }
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            out.clear();
            return false;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
    std::string folder = FolderPart(path);
    std::string slashless = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string tmpl = (folder == "/" ? std::string("/") : folder + "/") + "." + slashless + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');

    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;

    struct stat st {};
    mode_t mode;
    if (::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0644 & ~mask;
    }

    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, content.data(), content.size()) &&
              ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(name.data(), path.c_str()) != 0) {
        ::unlink(name.data());
        return false;
    }
    int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
        ::fsync(dirfd);
        ::close(dirfd);
    }
    return true;
}

bool MakeDirectories(const std::string& path) {
    if (path.empty()) return false;
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace tqv::platform
