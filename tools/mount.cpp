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
#include <string_view>
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

#ifdef DACE_HAVE_FUSE

// The image path a mount names as its source: symlinks resolved, so that
// every way of naming the image finds it.
std::string source_name(const std::string &image) {
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(image, ec);
    return ec ? std::filesystem::absolute(image).string() : canonical.string();
}

MountedImage &mounted() { return *static_cast<MountedImage *>(fuse_get_context()->private_data); }

FileId id_of(const fuse_file_info *fi) { return fi != nullptr ? FileId{fi->fh} : 0; }

void *on_init(fuse_conn_info *conn, fuse_config *cfg) {
    // An open file that is removed or replaced is renamed to a hidden name
    // (on_rename) rather than dropped, so that requests that carry only its
    // path, such as the stat of an open descriptor, still reach it.
    cfg->hard_remove = 0;
    cfg->use_ino = 0;
    // Every write must reach the volume in order, at the offset the program
    // asked for, so that a write before the end can be refused.
    conn->want &= ~static_cast<unsigned>(FUSE_CAP_WRITEBACK_CACHE);
    return fuse_get_context()->private_data;
}

int on_getattr(const char *path, struct stat *st, fuse_file_info *fi) {
    return mounted().getattr(path, *st, id_of(fi));
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
    FileId id = 0;
    if (const int r = mounted().open(path, fi->flags, id); r != 0)
        return r;
    fi->fh = id;
    // With atomic O_TRUNC the truncation arrives with the open, not before it.
    if ((fi->flags & O_TRUNC) != 0 && (fi->flags & O_ACCMODE) != O_RDONLY) {
        if (const int r = mounted().truncate(path, 0, id); r != 0) {
            mounted().release(id);
            return r;
        }
    }
    return 0;
}

int on_create(const char *path, mode_t, fuse_file_info *fi) {
    FileId id = 0;
    const int r = mounted().create(path, id);
    fi->fh = id;
    return r;
}

int on_read(const char *, char *buf, size_t size, off_t offset, fuse_file_info *fi) {
    return static_cast<int>(mounted().read(id_of(fi), buf, size, offset));
}

int on_write(const char *, const char *buf, size_t size, off_t offset, fuse_file_info *fi) {
    return static_cast<int>(mounted().write(id_of(fi), buf, size, offset));
}

int on_flush(const char *, fuse_file_info *fi) { return mounted().flush(id_of(fi)); }
int on_fsync(const char *, int, fuse_file_info *fi) { return mounted().fsync(id_of(fi)); }
int on_release(const char *, fuse_file_info *fi) { return mounted().release(id_of(fi)); }

int on_fsyncdir(const char *, int, fuse_file_info *) { return mounted().sync(); }

// With a file handle (ftruncate, fchmod, futimens) the open file is meant,
// also one whose name is gone.
int on_truncate(const char *path, off_t length, fuse_file_info *fi) {
    return mounted().truncate(path, length, id_of(fi));
}
int on_unlink(const char *path) { return mounted().unlink(path); }
// The prefix of the names the FUSE library hides removed open files under.
constexpr std::string_view kHiddenPrefix = "/.fuse_hidden";

int on_rename(const char *from, const char *to, unsigned flags) {
    if (std::string_view(to).starts_with(kHiddenPrefix))
        return mounted().hide(from, to);
    return mounted().rename(from, to, flags);
}

int on_utimens(const char *path, const struct timespec times[2], fuse_file_info *fi) {
    if (times != nullptr)
        return mounted().utimens(path, times, id_of(fi));
    const struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    return mounted().utimens(path, now, id_of(fi));
}

int on_chmod(const char *path, mode_t mode, fuse_file_info *fi) { return mounted().chmod(path, mode, id_of(fi)); }
int on_chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi) {
    return mounted().chown(path, uid, gid, id_of(fi));
}

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

// Changes on a damaged medium could build on what is lost: a damaged image
// mounts only read-only, with a warning. Reading it is safe, and verified
// reads fail where the damage lies.
std::optional<Damage> judge_damage(const std::string &image, const Image &img, bool read_only) {
    std::optional<Damage> damage = find_damage(img.bytes, img.params());
    if (!damage)
        return damage;
    // "IMAGE: the image is cut short: ..." or "IMAGE is damaged: ...".
    const std::string what = damage->cut_short ? fmt::format("{}: {}", image, damage->summary)
                                               : fmt::format("{} is damaged: {}", image, damage->summary);
    if (!read_only)
        throw Error(fmt::format("{}; not mounted: `dace check {}` lists the problems, and -o ro mounts it "
                                "read-only to copy out what is intact",
                                what, image));
    fmt::print(stderr, "dace: warning: {}; reads of what is lost fail with EIO\n", what);
    return damage;
}

// The volume a mount serves: every change reaches the image file at once.
// A read-only mount leaves the file alone: the library mounts it with
// dace_mount, on a medium that takes no program or erase, and nothing
// reaches the file; a damaged image cut short shows its missing end erased.
std::unique_ptr<Volume> volume_to_mount(const std::string &image, Image &img, bool read_only,
                                        const std::optional<Damage> &damage) {
    Params params = img.params();
    VolumeOptions vo;
    vo.mounting = read_only ? Mounting::Read : Mounting::Change;
    if (damage && extend_cut_image(img.bytes, params)) {
        vo.missing_reads_erased = true;
        if (!damage->cut_short)
            fmt::print(stderr, "dace: warning: {} ends before cluster {}, which its directory names: shown as if the "
                               "missing end were erased\n",
                       image, params.clus_count() - 1);
        else
            fmt::print(stderr, "dace: warning: {} is shown at the {} pages its root records, its missing end read as "
                               "erased\n",
                       image, params.total_pages);
    }
    vo.mirror_fd = read_only ? -1 : img.lock->fd();
    vo.mirror_origin = img.offset;
    return std::make_unique<Volume>(std::move(img.bytes), params, vo);
}

// FUSE's command line. The source in the mount table names the image, so
// that other dace commands can tell where the mount that holds it is.
std::vector<std::string> fuse_arguments(const std::string &image, const std::string &mountpoint,
                                        const std::vector<std::string> &fuse_options, bool foreground) {
    std::string options = "fsname=" + option_value(source_name(image)) + ",subtype=dace,default_permissions";
    for (const std::string &o : fuse_options)
        options += "," + o;
    std::vector<std::string> args = {"dace", mountpoint, "-s", "-o", options};
    if (foreground)
        args.emplace_back("-f");
    return args;
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
    std::vector<std::string> fuse_options;
    const MountSettings settings = parse_mount_options(mo.fuse_options, fuse_options);

    Options with_slots = opt;
    if (!with_slots.max_files)
        with_slots.max_files = kMountMaxFiles;
    // Its lock is held until the mount ends, also across the fork into the background.
    Image img = open_image(image, with_slots, settings.read_only ? LockAccess::Read : LockAccess::Change,
                           LockHolder::Mount);
    const int fd = img.lock->fd();
    const std::optional<Damage> damage = judge_damage(image, img, settings.read_only);
    MountedImage mount(volume_to_mount(image, img, settings.read_only, damage), settings,
                       [fd] { return ::fdatasync(fd) == 0 ? 0 : -errno; });
    if (damage)
        mount.show_broken(damage->broken_files);

    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        throw Error(fmt::format("/dev/fuse: {}: this machine cannot mount through FUSE", std::strerror(errno)));
    std::vector<std::string> args = fuse_arguments(image, mountpoint, fuse_options, mo.foreground);
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
