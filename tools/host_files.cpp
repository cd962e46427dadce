// Files of the host that the commands read and write: a source read whole
// (never a FIFO or a device that would block), and an extracted file written
// afresh with its entry's time.
#include "tools/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "tools/image_file.h"

namespace dace_tool {

bool host_safe(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos;
}

namespace {

uint64_t mtime_ns(const struct stat &st) {
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

const char *file_kind(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

} // namespace

std::vector<uint8_t> read_host_file(const std::string &path, uint64_t *mtime) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw Error(fmt::format("{} is {}: only a regular file can be read (or - for standard input)", path,
                                file_kind(st.st_mode)));
    // Non-blocking, in case it was swapped for a FIFO since.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw Error(fmt::format("cannot open {}: {}", path, std::strerror(errno)));
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Error(fmt::format("{} is {}: only a regular file can be read (or - for standard input)", path,
                                file_kind(st.st_mode)));
    }
    if (mtime != nullptr)
        *mtime = mtime_ns(st);
    std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
    size_t done = 0;
    int error = 0;
    while (done < data.size()) {
        const ssize_t got = ::read(fd, data.data() + done, data.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        done += static_cast<size_t>(got);
    }
    ::close(fd);
    if (done != data.size())
        throw Error(fmt::format("cannot read {}: {}", path, error != 0 ? std::strerror(error) : "it shrank while read"));
    return data;
}

void write_host_file(const std::string &path, const std::vector<uint8_t> &data, uint64_t stamp) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error(fmt::format("cannot create {}: {}", path, std::strerror(errno)));
    bool ok = write_all(fd, data);
    if (ok && stamp != 0) {
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(stamp / 1000000000ull);
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(stamp % 1000000000ull);
        ok = ::futimens(fd, times) == 0;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        throw Error(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
}

} // namespace dace_tool
