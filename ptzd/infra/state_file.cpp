#include "infra/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "infra/log.h"

namespace ptzd {

namespace {

std::string Why(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string WriteStateFile(const std::string& path, const std::string& data) {
    std::vector<char> name(path.begin(), path.end());
    for (char c : std::string(".XXXXXX")) name.push_back(c);
    name.push_back('\0');
    // mkostemp opens with O_CREAT | O_EXCL: a fresh file, never a link's target.
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return Why("cannot create a file beside", path);
    const std::string temporary = name.data();
    std::string error;
    for (size_t done = 0; done < data.size() && error.empty();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = Why("cannot write", temporary);
        else done += static_cast<size_t>(n);
    }
    if (error.empty() && ::fchmod(fd, 0644) != 0) error = Why("cannot set the mode of", temporary);
    if (error.empty() && ::fsync(fd) != 0) error = Why("cannot flush", temporary);
    if (::close(fd) != 0 && error.empty()) error = Why("cannot close", temporary);
    if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) error = Why("cannot replace", path);
    if (!error.empty()) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself is durable once the directory is flushed.
    const std::string directory = DirectoryOf(path);
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return Why("cannot open the directory", directory);
    if (::fsync(dir) != 0) error = Why("cannot flush the directory", directory);
    ::close(dir);
    return error;
}

bool ReadStateFile(const std::string& path, std::string& data, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= limit;
    data.clear();
    char buffer[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
        if (data.size() > limit) ok = false;
    }
    ::close(fd);
    return ok;
}

StateRead LoadStateFile(const std::string& path, std::string& data, size_t limit) {
    data.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return StateRead::Missing;
    if (ReadStateFile(path, data, limit)) return StateRead::Read;
    data.clear();
    SetAsideStateFile(path, S_ISLNK(st.st_mode) ? "it is a symbolic link"
                            : !S_ISREG(st.st_mode) ? "it is not a regular file"
                            : static_cast<size_t>(st.st_size) > limit ? "it is larger than " + std::to_string(limit) + " bytes"
                                                                       : "it cannot be read");
    return StateRead::Unreadable;
}

std::string SetAsideStateFile(const std::string& path, const std::string& why) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    const std::string base = path + ".bad-" + stamp;
    for (int n = 1; n <= 100; ++n) {
        const std::string aside = n == 1 ? base : base + "-" + std::to_string(n);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            Log(Level::Error, "state file " + path + " set aside as " + aside + ": " + why +
                                  "; the head starts with what could be read from it");
            return aside;
        }
        if (errno != EEXIST) break;
    }
    Log(Level::Error, "state file " + path + ": " + why + ", and it cannot be set aside: " + std::strerror(errno) +
                          "; the head starts with what could be read from it (the file is replaced at the next save)");
    return "";
}

}  // namespace ptzd
