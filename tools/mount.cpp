// `dace mount`: an image as a folder through FUSE. The image file is the
// medium: every program and erase the library makes reaches it at once, so
// what a commit made durable is in the file even if this process dies. The
// requests run one at a time, so the library's state is never shared
// between threads.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tools/commands.h"
#include "tools/mount_ops.h"

#ifdef DACE_HAVE_FUSE
#define FUSE_USE_VERSION 35
#include <fuse.h>
#endif

namespace dace_tool {

namespace {

// Files open at once when --max-files is not given: each costs one cluster
// buffer of memory.
constexpr uint16_t kMountMaxFiles = 32;

// Whether the mount options end up read-only: the last of ro and rw wins.
bool read_only_in(const std::vector<std::string> &options) {
    bool read_only = false;
    for (const std::string &list : options) {
        size_t start = 0;
        while (start <= list.size()) {
            const size_t end = std::min(list.find(',', start), list.size());
            const std::string one = list.substr(start, end - start);
            if (one == "ro" || one == "rw")
                read_only = one == "ro";
            start = end + 1;
        }
    }
    return read_only;
}

#ifdef DACE_HAVE_FUSE

MountedImage &mounted() { return *static_cast<MountedImage *>(fuse_get_context()->private_data); }

dace_handle handle_of(const fuse_file_info *fi) { return fi != nullptr ? static_cast<dace_handle>(fi->fh) : 0; }

void *on_init(fuse_conn_info *conn, fuse_config *cfg) {
    // Unlink goes to the file system even while the file is open: the
    // default would rename it to a hidden name longer than the medium takes.
    cfg->hard_remove = 1;
    cfg->use_ino = 0;
    // Every write must reach the volume in order, at the offset the program
    // asked for, so that a write before the end can be refused.
    conn->want &= ~static_cast<unsigned>(FUSE_CAP_WRITEBACK_CACHE);
    return fuse_get_context()->private_data;
}

int on_getattr(const char *path, struct stat *st, fuse_file_info *fi) {
    return mounted().getattr(path, *st, handle_of(fi));
}

int on_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags) {
    std::vector<std::string> names;
    if (const int r = mounted().readdir(path, names); r != 0)
        return r;
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const std::string &name : names)
        fill(buf, name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int on_statfs(const char *, struct statvfs *st) { return mounted().statfs(*st); }

int on_open(const char *path, fuse_file_info *fi) {
    dace_handle handle = 0;
    if (const int r = mounted().open(path, fi->flags, handle); r != 0)
        return r;
    fi->fh = handle;
    // With atomic O_TRUNC the truncation arrives with the open, not before it.
    if ((fi->flags & O_TRUNC) != 0 && (fi->flags & O_ACCMODE) != O_RDONLY) {
        if (const int r = mounted().truncate(path, 0); r != 0) {
            mounted().release(handle);
            return r;
        }
    }
    return 0;
}

int on_create(const char *path, mode_t, fuse_file_info *fi) {
    dace_handle handle = 0;
    const int r = mounted().create(path, handle);
    fi->fh = handle;
    return r;
}

int on_read(const char *, char *buf, size_t size, off_t offset, fuse_file_info *fi) {
    return static_cast<int>(mounted().read(handle_of(fi), buf, size, offset));
}

int on_write(const char *, const char *buf, size_t size, off_t offset, fuse_file_info *fi) {
    return static_cast<int>(mounted().write(handle_of(fi), buf, size, offset));
}

int on_flush(const char *, fuse_file_info *fi) { return mounted().flush(handle_of(fi)); }
int on_fsync(const char *, int, fuse_file_info *fi) { return mounted().fsync(handle_of(fi)); }
int on_release(const char *, fuse_file_info *fi) { return mounted().release(handle_of(fi)); }

int on_fsyncdir(const char *, int, fuse_file_info *) { return mounted().sync(); }

int on_truncate(const char *path, off_t length, fuse_file_info *) { return mounted().truncate(path, length); }
int on_unlink(const char *path) { return mounted().unlink(path); }
int on_rename(const char *from, const char *to, unsigned flags) { return mounted().rename(from, to, flags); }

int on_utimens(const char *path, const struct timespec times[2], fuse_file_info *) {
    if (times != nullptr)
        return mounted().utimens(path, times);
    const struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    return mounted().utimens(path, now);
}

int on_chmod(const char *path, mode_t mode, fuse_file_info *) { return mounted().chmod(path, mode); }
int on_chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *) { return mounted().chown(path, uid, gid); }

// The medium holds one flat folder of plain files.
int on_mkdir(const char *, mode_t) { return -EPERM; }
int on_mknod(const char *, mode_t, dev_t) { return -EPERM; }
int on_symlink(const char *, const char *) { return -EPERM; }
int on_link(const char *, const char *) { return -EPERM; }
int on_rmdir(const char *path) {
    struct stat st {};
    return mounted().getattr(path, st) == 0 ? -ENOTDIR : -ENOENT;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.init = on_init;
    ops.getattr = on_getattr;
    ops.readdir = on_readdir;
    ops.statfs = on_statfs;
    ops.open = on_open;
    ops.create = on_create;
    ops.read = on_read;
    ops.write = on_write;
    ops.flush = on_flush;
    ops.fsync = on_fsync;
    ops.release = on_release;
    ops.fsyncdir = on_fsyncdir;
    ops.truncate = on_truncate;
    ops.unlink = on_unlink;
    ops.rename = on_rename;
    ops.utimens = on_utimens;
    ops.chmod = on_chmod;
    ops.chown = on_chown;
    ops.mkdir = on_mkdir;
    ops.mknod = on_mknod;
    ops.symlink = on_symlink;
    ops.link = on_link;
    ops.rmdir = on_rmdir;
    return ops;
}

// A value inside one -o list: its commas and backslashes escaped.
std::string option_value(const std::string &text) {
    std::string out;
    for (const char c : text) {
        if (c == ',' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

#endif // DACE_HAVE_FUSE

} // namespace

int cmd_mount(const std::string &image, const std::string &mountpoint, const Options &opt, const MountOptions &mo) {
#ifndef DACE_HAVE_FUSE
    (void)image, (void)mountpoint, (void)opt, (void)mo;
    throw Error("this dace was built without FUSE: install libfuse3-dev and build it again");
#else
    std::error_code ec;
    if (!std::filesystem::is_directory(mountpoint, ec))
        throw Error(fmt::format("mount point {} is not a folder", mountpoint));
    const bool read_only = read_only_in(mo.fuse_options);

    Options with_slots = opt;
    if (!with_slots.max_files)
        with_slots.max_files = kMountMaxFiles;
    // Its lock is held until the mount ends, also across the fork into the background.
    Image img = open_image(image, with_slots, read_only ? LockAccess::Read : LockAccess::Change, LockHolder::Mount);
    const int fd = img.lock->fd();
    // A read-only mount leaves the file alone, even what mounting repairs.
    VolumeOptions vo;
    vo.mirror_fd = read_only ? -1 : fd;
    vo.mirror_origin = img.offset;
    auto volume = std::make_unique<Volume>(std::move(img.bytes), img.params(), vo);
    MountedImage mount(std::move(volume), read_only, [fd] { return ::fdatasync(fd) == 0 ? 0 : -errno; });

    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        throw Error(fmt::format("/dev/fuse: {}: this machine cannot mount through FUSE", std::strerror(errno)));

    std::string options = "fsname=" + option_value(std::filesystem::absolute(image).string()) +
                          ",subtype=dace,default_permissions";
    for (const std::string &o : mo.fuse_options)
        options += "," + o;
    std::vector<std::string> args = {"dace", mountpoint, "-s", "-o", options};
    if (mo.foreground)
        args.emplace_back("-f");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const fuse_operations ops = operations();
    const int status = fuse_main(static_cast<int>(args.size()), argv.data(), &ops, &mount);
    return status == 0 ? 0 : 1;
#endif
}

} // namespace dace_tool
