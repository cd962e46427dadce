#include "tools/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include <fmt/format.h>

namespace dace_tool {

namespace {

namespace fs = std::filesystem;

constexpr off_t kAccessByte = 0;
constexpr off_t kMountMark = 1;
constexpr int kMaxLinkHops = 40;

std::string errno_text() { return std::strerror(errno); }

// Writes everything, at `offset`, or at the file's position when it is negative.
bool write_everything(int fd, const uint8_t *bytes, size_t count, off_t offset) {
    while (count > 0) {
        const ssize_t put = offset < 0 ? ::write(fd, bytes, count) : ::pwrite(fd, bytes, count, offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        count -= static_cast<size_t>(put);
        if (offset >= 0)
            offset += put;
    }
    return true;
}

// 0 when taken; otherwise errno (EAGAIN while another holds a conflicting lock).
int lock_byte(int fd, off_t at, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0)
        return 0;
    return errno == EACCES ? EAGAIN : errno;
}

// The lock another file description holds on byte `at` that conflicts with
// an exclusive one: F_UNLCK, F_RDLCK or F_WRLCK.
short lock_held(int fd, off_t at) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return F_UNLCK;
    return fl.l_type;
}

// /proc/self/mounts escapes blanks and backslashes as \ooo.
std::string unescape_mount_field(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string oct = field.substr(i + 1, 3);
            if (oct.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(oct, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// Where a dace mount of this image is mounted, or empty. The mount names
// its file system after the image's absolute path.
std::string mount_point_of(const std::string &path, const std::string &target) {
    std::error_code ec;
    const std::string names[] = {fs::absolute(path, ec).string(), fs::absolute(target, ec).string(),
                                 fs::weakly_canonical(target, ec).string()};
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, type, rest;
    while (mounts >> device >> point >> type && std::getline(mounts, rest)) {
        if (type.rfind("fuse.dace", 0) != 0)
            continue;
        const std::string dev = unescape_mount_field(device);
        for (const std::string &name : names)
            if (!name.empty() && dev == name)
                return unescape_mount_field(point);
    }
    return {};
}

void sync_folder(const fs::path &folder, const std::string &image) {
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0 || ::fsync(dfd) != 0) {
        const std::string why = errno_text();
        if (dfd >= 0)
            ::close(dfd);
        throw Error(fmt::format("cannot sync the folder of {}: {}; the change may not survive a crash of this "
                                "machine",
                                image, why));
    }
    ::close(dfd);
}

fs::path folder_of(const fs::path &file) { return file.parent_path().empty() ? fs::path(".") : file.parent_path(); }

// A temporary file beside `target` for its next content.
struct TempFile {
    std::string path;
    int fd = -1;

    explicit TempFile(const fs::path &target) {
        path = (folder_of(target) / fmt::format(".{}.XXXXXX", target.filename().string())).string();
        fd = ::mkstemp(path.data());
        if (fd < 0)
            throw Error(fmt::format("cannot create a temporary file beside {}: {}", target.string(), errno_text()));
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (fd >= 0)
            ::close(fd);
        if (!path.empty())
            ::unlink(path.c_str());
    }
    // Writes and syncs the content and closes the file; false (errno set) on failure.
    bool finish(const std::vector<uint8_t> &bytes, mode_t mode) {
        bool ok = write_all(fd, bytes) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
        const int saved = errno;
        ok = ::close(fd) == 0 && ok;
        fd = -1;
        if (!ok && saved != 0)
            errno = saved;
        return ok;
    }
    void keep() { path.clear(); }
};

} // namespace

bool write_all(int fd, const std::vector<uint8_t> &bytes) { return write_everything(fd, bytes.data(), bytes.size(), -1); }

bool write_all_at(int fd, const uint8_t *bytes, size_t count, uint64_t offset) {
    return write_everything(fd, bytes, count, static_cast<off_t>(offset));
}

std::string resolve_links(const std::string &path) {
    fs::path p = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return p.string();
        std::string link(PATH_MAX, '\0');
        const ssize_t n = ::readlink(p.c_str(), link.data(), link.size());
        if (n < 0)
            throw Error(fmt::format("cannot follow the link {}: {}", p.string(), errno_text()));
        link.resize(static_cast<size_t>(n));
        const fs::path next(link);
        p = next.is_absolute() ? next : folder_of(p) / next;
    }
    throw Error(fmt::format("{}: too many levels of symbolic links", path));
}

ImageLock::ImageLock(const std::string &path, LockAccess access, LockHolder holder, bool wait)
    : path_(path), target_(resolve_links(path)) {
    const int flags = (access == LockAccess::Change ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    const auto started = std::chrono::steady_clock::now();
    bool told = false;
    try {
        for (;;) {
            fd_ = ::open(target_.c_str(), flags);
            if (fd_ < 0)
                throw Error(fmt::format("cannot open image {}{}: {}", path_,
                                        access == LockAccess::Change && errno != ENOENT ? " for writing" : "",
                                        errno_text()));
            if (::fstat(fd_, &status_) != 0 || !S_ISREG(status_.st_mode))
                throw Error(fmt::format("{} is not a regular file", path_));
            if (holder == LockHolder::Mount) {
                const int r = lock_byte(fd_, kMountMark, access == LockAccess::Change ? F_WRLCK : F_RDLCK);
                if (r == EAGAIN)
                    refuse_for_mount(access);
                if (r != 0)
                    throw Error(fmt::format("cannot lock image {}: {}", path_, std::strerror(r)));
            }
            auto pause = std::chrono::milliseconds(2);
            while (!try_access(access)) {
                const short mount = lock_held(fd_, kMountMark);
                if (mount == F_WRLCK || (mount == F_RDLCK && access == LockAccess::Change))
                    refuse_for_mount(access);
                if (!wait)
                    throw Error(fmt::format("{} is in use by another dace command (--no-wait): try again when it "
                                            "has finished",
                                            path_));
                if (!told && std::chrono::steady_clock::now() - started > std::chrono::seconds(1)) {
                    std::cerr << "dace: waiting for another dace command to finish with " << path_ << std::endl;
                    told = true;
                }
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, std::chrono::milliseconds(50));
            }
            // A command that held the lock before us may have replaced the
            // file: then the lock we got guards nothing.
            struct stat now {};
            if (::stat(target_.c_str(), &now) == 0 && now.st_dev == status_.st_dev && now.st_ino == status_.st_ino)
                return;
            ::close(fd_);
            fd_ = -1;
        }
    } catch (...) {
        if (fd_ >= 0)
            ::close(fd_);
        throw;
    }
}

ImageLock::~ImageLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool ImageLock::try_access(LockAccess access) {
    const int r = lock_byte(fd_, kAccessByte, access == LockAccess::Change ? F_WRLCK : F_RDLCK);
    if (r == 0)
        return true;
    if (r == EAGAIN)
        return false;
    throw Error(fmt::format("cannot lock image {}: {}", path_, std::strerror(r)));
}

void ImageLock::refuse_for_mount(LockAccess access) const {
    const std::string point = mount_point_of(path_, target_);
    const std::string where = point.empty() ? "" : " on " + point;
    if (access == LockAccess::Read)
        throw Error(fmt::format("{} is in use by a dace mount{}: read the files there, or unmount it first", path_,
                                where));
    throw Error(fmt::format("{} is in use by a dace mount{}: unmount it first{}", path_, where,
                            point.empty() ? "" : " (fusermount3 -u " + point + ")"));
}

std::vector<uint8_t> read_region(const ImageLock &lock, uint64_t offset, uint64_t max) {
    const uint64_t size = static_cast<uint64_t>(lock.status().st_size);
    const uint64_t want = offset >= size ? 0 : std::min(size - offset, max);
    std::vector<uint8_t> bytes(static_cast<size_t>(want));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::pread(lock.fd(), bytes.data() + done, bytes.size() - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw Error(fmt::format("cannot read image {}: {}", lock.path(),
                                    got < 0 ? errno_text() : std::string("it shrank while read")));
        done += static_cast<size_t>(got);
    }
    return bytes;
}

void replace_image(const ImageLock &lock, const std::vector<uint8_t> &bytes) {
    const fs::path target(lock.target());
    const struct stat &was = lock.status();
    TempFile tmp(target);
    // The new file must be the old one's to the system: same owner, same mode.
    struct stat now {};
    if (::fstat(tmp.fd, &now) != 0)
        throw Error(fmt::format("cannot write image {}: {}", lock.path(), errno_text()));
    if ((now.st_uid != was.st_uid || now.st_gid != was.st_gid) && ::fchown(tmp.fd, was.st_uid, was.st_gid) != 0)
        throw Error(fmt::format("cannot give the new {} its owner {}:{} ({}): change it as its owner or as root",
                                lock.path(), was.st_uid, was.st_gid, errno_text()));
    if (!tmp.finish(bytes, was.st_mode & 07777) || ::rename(tmp.path.c_str(), target.c_str()) != 0)
        throw Error(fmt::format("cannot write image {}: {}", lock.path(), errno_text()));
    tmp.keep();
    sync_folder(folder_of(target), lock.path());
}

void create_image(const std::string &path, const std::vector<uint8_t> &bytes) {
    const fs::path target(resolve_links(path));
    TempFile tmp(target);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (!tmp.finish(bytes, 0666 & ~mask))
        throw Error(fmt::format("cannot write image {}: {}", path, errno_text()));
    // Never over a file that appeared since the caller looked.
    if (::renameat2(AT_FDCWD, tmp.path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST)
            throw Error(fmt::format("{} exists: pass --force to replace it", path));
        if (errno != EINVAL && errno != ENOSYS)
            throw Error(fmt::format("cannot write image {}: {}", path, errno_text()));
        // A file system without the flag: a hard link is refused as well
        // when the name is taken.
        if (::link(tmp.path.c_str(), target.c_str()) != 0)
            throw Error(errno == EEXIST ? fmt::format("{} exists: pass --force to replace it", path)
                                        : fmt::format("cannot write image {}: {}", path, errno_text()));
    } else {
        tmp.keep();
    }
    sync_folder(folder_of(target), path);
}

void write_in_place(const ImageLock &lock, uint64_t origin, const std::vector<MediumWrite> &changes) {
    const int fd = lock.fd();
    for (const MediumWrite &w : changes) {
        if ((w.barrier && ::fdatasync(fd) != 0) || !write_all_at(fd, w.bytes.data(), w.bytes.size(), origin + w.offset))
            throw Error(fmt::format("cannot write image {}: {}; it may hold part of the change, as the device "
                                    "would after a power cut",
                                    lock.path(), errno_text()));
    }
    if (::fdatasync(fd) != 0)
        throw Error(fmt::format("cannot sync image {}: {}", lock.path(), errno_text()));
}

} // namespace dace_tool
