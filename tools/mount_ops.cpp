#include "tools/mount_ops.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>

namespace dace_tool {

namespace {

constexpr uint64_t kNanos = 1000000000ull;
constexpr mode_t kAllModeBits = 07777;

// The file a path names: "" for the folder itself, nothing for a path below
// a file (the folder is flat, so no such path exists).
std::optional<std::string> name_of(const char *path) {
    if (path == nullptr || path[0] != '/')
        return std::nullopt;
    std::string name(path + 1);
    if (name.find('/') != std::string::npos)
        return std::nullopt;
    return name;
}

// Why a new name cannot be stored, as an errno; 0 when it can.
int name_error(const std::string &name) {
    switch (dace_check_filename(name.c_str())) {
    case 0:
        return 0;
    case 1:
        return -ENAMETOOLONG;
    default:
        return -EINVAL; // empty, or a separator the medium reserves
    }
}

// Names the folder can show: addressable by a path, and the first entry of
// its name (the one every lookup finds).
bool listable(const std::string &name, std::set<std::string> &seen) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return false;
    return seen.insert(name).second;
}

struct timespec time_of(uint64_t stamp) {
    struct timespec t {};
    t.tv_sec = static_cast<time_t>(stamp / kNanos);
    t.tv_nsec = static_cast<long>(stamp % kNanos);
    return t;
}

// Sets the stamp that the library's update callback gives the entries a
// change touches, for the length of one operation.
class Stamping {
public:
    Stamping(StampSource &source, uint64_t value) : source_(source) { source_.value = value; }
    Stamping(const Stamping &) = delete;
    Stamping &operator=(const Stamping &) = delete;
    ~Stamping() { source_.value.reset(); }

private:
    StampSource &source_;
};

} // namespace

MountedImage::MountedImage(std::unique_ptr<Volume> volume, bool read_only, std::function<int()> sync)
    : volume_(std::move(volume)), read_only_(read_only), sync_(std::move(sync)), uid_(::getuid()),
      gid_(::getgid()) {
    ::clock_gettime(CLOCK_REALTIME, &mounted_at_);
}

MountedImage::~MountedImage() {
    for (const auto &[handle, programs] : opens_) {
        // A close that fell short keeps the handle open; once more retries it.
        if (dace_close(state(), handle) == 2)
            dace_close(state(), handle);
    }
    sync();
}

mode_t MountedImage::file_mode() const { return read_only_ ? 0444 : 0644; }

// Why a change did not take: the image file refused a write, or else the
// medium has no cluster the change can use.
int MountedImage::medium_error() {
    const int failed = volume_->take_mirror_error();
    if (failed == 0)
        return -ENOSPC;
    // The host's disk being full is worth telling apart; the rest is I/O.
    return failed == ENOSPC || failed == EDQUOT ? -failed : -EIO;
}

int MountedImage::find_file(const char *path, std::string &name) {
    const auto found = name_of(path);
    if (!found)
        return -ENOENT;
    if (found->empty())
        return -EISDIR;
    name = *found;
    const int position = dace_find_file(state(), name.c_str());
    return position >= 0 ? position : -ENOENT;
}

dace_handle MountedImage::handle_at(int position) {
    for (const auto &[handle, programs] : opens_)
        if (state()->files[handle ^ HANDLE_MAGIC].entry == position)
            return handle;
    return 0;
}

int MountedImage::close_idle(int position) {
    const dace_handle handle = handle_at(position);
    if (handle == 0 || opens_[handle] != 0)
        return 0;
    if (dace_close(state(), handle) != 0)
        return medium_error();
    opens_.erase(handle);
    return 0;
}

void MountedImage::fill_file_stat(const dace_entry &e, struct stat &st) const {
    const uint32_t payload = volume_->state()->clus_payload;
    const uint64_t clusters = (uint64_t{e.size} + payload - 1) / payload;
    st.st_mode = S_IFREG | file_mode();
    st.st_nlink = 1;
    st.st_uid = uid_;
    st.st_gid = gid_;
    st.st_size = static_cast<off_t>(e.size);
    st.st_blksize = static_cast<blksize_t>(payload);
    st.st_blocks = static_cast<blkcnt_t>(clusters * volume_->params().clus_size() / 512);
    st.st_mtim = st.st_ctim = st.st_atim = time_of(e.stamp);
}

int MountedImage::getattr(const char *path, struct stat &st, dace_handle handle) {
    st = {};
    dace_entry e{};
    if (handle != 0 && dace_statf(state(), handle, &e) == 0) {
        fill_file_stat(e, st);
        return 0;
    }
    const auto name = name_of(path);
    if (!name)
        return -ENOENT;
    if (name->empty()) {
        st.st_mode = S_IFDIR | (read_only_ ? 0555 : 0755);
        st.st_nlink = 2;
        st.st_uid = uid_;
        st.st_gid = gid_;
        st.st_mtim = st.st_ctim = st.st_atim = mounted_at_;
        return 0;
    }
    if (dace_stat(state(), name->c_str(), &e) != 0)
        return -ENOENT;
    fill_file_stat(e, st);
    return 0;
}

int MountedImage::readdir(const char *path, std::vector<std::string> &names) {
    const auto name = name_of(path);
    if (!name)
        return -ENOENT;
    if (!name->empty())
        return dace_find_file(state(), name->c_str()) >= 0 ? -ENOTDIR : -ENOENT;
    std::set<std::string> seen;
    for (const dace_entry &e : volume_->entries())
        if (std::string n = entry_name(e); listable(n, seen))
            names.push_back(std::move(n));
    return 0;
}

int MountedImage::statfs(struct statvfs &st) {
    st = {};
    const dace_state *s = state();
    const uint32_t clus_size = s->clus_size;
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(state(), &total);
    st.f_bsize = st.f_frsize = clus_size;
    st.f_blocks = total / clus_size;
    st.f_bfree = st.f_bavail = free_bytes / clus_size;
    st.f_files = s->max_entries;
    st.f_ffree = st.f_favail = s->max_entries - s->root->count;
    st.f_namemax = sizeof(dace_entry::name);
    return 0;
}

int MountedImage::open(const char *path, int flags, dace_handle &handle) {
    if (read_only_ && (flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    std::string name;
    const int position = find_file(path, name);
    if (position < 0)
        return position;
    handle = handle_at(position);
    if (handle == 0) {
        handle = dace_open(state(), name.c_str());
        if (handle == 0)
            return state()->free_list == nullptr ? -ENFILE : -EIO;
    }
    ++opens_[handle];
    return 0;
}

int MountedImage::create(const char *path, dace_handle &handle) {
    if (read_only_)
        return -EROFS;
    const auto name = name_of(path);
    if (!name)
        return -ENOENT;
    if (name->empty())
        return -EEXIST;
    if (const int bad = name_error(*name); bad != 0)
        return bad;
    dace_state *s = state();
    if (dace_find_file(s, name->c_str()) >= 0)
        return -EEXIST;
    if (s->root->count >= s->max_entries)
        return -ENOSPC; // the directory holds no more entries
    if (s->free_list == nullptr)
        return -ENFILE;
    const Stamping stamping(volume_->stamp(), now_stamp());
    handle = dace_create(s, name->c_str());
    if (handle == 0)
        return -ENOSPC; // the root had to move and no cluster was free
    opens_[handle] = 1;
    return 0;
}

long MountedImage::read(dace_handle handle, char *buf, size_t size, off_t offset) {
    dace_entry e{};
    if (dace_statf(state(), handle, &e) != 0)
        return -EBADF;
    if (offset < 0)
        return -EINVAL;
    if (static_cast<uint64_t>(offset) >= e.size)
        return 0;
    const auto at = static_cast<uint32_t>(offset);
    if (dace_tell(state(), handle) != at) {
        const int r = dace_seek(state(), handle, at, 0);
        if (r == 3)
            return medium_error();
        if (r != 0)
            return -EIO;
    }
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(size, e.size - at));
    uint32_t done = 0;
    while (done < want) {
        const uint32_t got = dace_read(state(), buf + done, want - done, handle);
        if (got == 0)
            break;
        done += got;
    }
    // Bytes the entry promises but no cluster gives back: a damaged chain.
    return done == 0 ? -EIO : long{done};
}

long MountedImage::write(dace_handle handle, const char *buf, size_t size, off_t offset) {
    if (read_only_)
        return -EROFS;
    dace_entry e{};
    if (dace_statf(state(), handle, &e) != 0)
        return -EBADF;
    // Files grow only at their end: bytes already written stay as they are.
    if (offset < 0 || static_cast<uint64_t>(offset) != e.size)
        return -EPERM;
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFFull - e.size));
    if (size == 0)
        return 0;
    if (want == 0)
        return -EFBIG;
    if (dace_tell(state(), handle) != e.size && dace_seek(state(), handle, 0, 2) != 0)
        return medium_error();
    const Stamping stamping(volume_->stamp(), now_stamp());
    uint32_t done = dace_write(state(), buf, want, handle);
    // Clusters released since the last commit are handed out only once a
    // commit no longer names them: commit, then try the rest once more.
    if (done < want && dace_flush(state(), handle) == 0)
        done += dace_write(state(), buf + done, want - done, handle);
    return done == 0 ? medium_error() : long{done};
}

int MountedImage::flush(dace_handle handle) {
    if (read_only_)
        return 0;
    return dace_flush(state(), handle) == 0 ? 0 : medium_error();
}

int MountedImage::fsync(dace_handle handle) {
    if (const int r = flush(handle); r != 0)
        return r;
    return sync_ && !read_only_ ? sync_() : 0;
}

int MountedImage::sync() {
    if (const int r = commit(); r != 0)
        return r;
    return sync_ && !read_only_ ? sync_() : 0;
}

int MountedImage::release(dace_handle handle) {
    const auto it = opens_.find(handle);
    if (it == opens_.end() || it->second == 0)
        return -EBADF;
    if (--it->second > 0)
        return 0;
    int r = dace_close(state(), handle);
    if (r == 2)
        r = dace_close(state(), handle);
    if (r == 2)
        return medium_error(); // kept, closed again when the file is next needed
    opens_.erase(it);
    return 0;
}

int MountedImage::truncate(const char *path, off_t length) {
    if (read_only_)
        return -EROFS;
    std::string name;
    if (const int position = find_file(path, name); position < 0)
        return position;
    dace_entry e{};
    dace_stat(state(), name.c_str(), &e);
    if (length < 0)
        return -EINVAL;
    if (static_cast<uint64_t>(length) > e.size)
        return -EPERM; // a file cannot be lengthened but by writing at its end
    if (static_cast<uint64_t>(length) == e.size)
        return 0;
    const Stamping stamping(volume_->stamp(), now_stamp());
    return change_result(dace_truncate(state(), name.c_str(), static_cast<uint32_t>(length)), -EPERM);
}

int MountedImage::unlink(const char *path) {
    if (read_only_)
        return -EROFS;
    std::string name;
    const int position = find_file(path, name);
    if (position < 0)
        return position;
    if (const int r = close_idle(position); r != 0)
        return r;
    // An open file's clusters cannot go while a program reads them.
    return change_result(dace_remove(state(), name.c_str()), -EBUSY);
}

int MountedImage::rename(const char *from, const char *to, unsigned flags) {
    if (read_only_)
        return -EROFS;
    if ((flags & ~unsigned{RENAME_NOREPLACE}) != 0)
        return -EINVAL; // exchanging two names is not offered
    const auto old_name = name_of(from);
    const auto new_name = name_of(to);
    if (!old_name || !new_name)
        return -ENOENT;
    if (old_name->empty() || new_name->empty())
        return -EBUSY; // the folder itself
    const int position = dace_find_file(state(), old_name->c_str());
    if (position < 0)
        return -ENOENT;
    if (const int bad = name_error(*new_name); bad != 0)
        return bad;
    const int bearer = dace_find_file(state(), new_name->c_str());
    if (bearer >= 0 && (flags & RENAME_NOREPLACE) != 0)
        return -EEXIST;
    if (bearer == position)
        return 0; // both names are the same file
    if (const int r = bearer >= 0 ? close_idle(bearer) : 0; r != 0)
        return r;
    // Refused (2) only when the file to be replaced is open: the name is valid.
    return change_result(dace_rename_replace(state(), old_name->c_str(), new_name->c_str()), -EBUSY);
}

int MountedImage::utimens(const char *path, const struct timespec times[2]) {
    const struct timespec &mtime = times[1];
    if (read_only_)
        return -EROFS;
    const auto name = name_of(path);
    if (!name || name->empty())
        return name ? 0 : -ENOENT; // the folder keeps no time of its own
    if (dace_find_file(state(), name->c_str()) < 0)
        return -ENOENT;
    if (mtime.tv_nsec == UTIME_OMIT)
        return 0;
    uint64_t stamp = 0;
    if (mtime.tv_nsec == UTIME_NOW) {
        stamp = now_stamp();
    } else {
        if (mtime.tv_sec < 0 || mtime.tv_nsec < 0 || mtime.tv_nsec >= static_cast<long>(kNanos))
            return -EINVAL; // the stamp holds no time before 1970
        stamp = static_cast<uint64_t>(mtime.tv_sec) * kNanos + static_cast<uint64_t>(mtime.tv_nsec);
    }
    // Renaming a file to its own name is the change by name that touches
    // nothing but the entry, whose stamp the update callback then sets.
    const Stamping stamping(volume_->stamp(), stamp);
    return change_result(dace_rename(state(), name->c_str(), name->c_str()), -EINVAL);
}

int MountedImage::chmod(const char *path, mode_t mode) {
    struct stat st {};
    if (const int r = getattr(path, st); r != 0)
        return r;
    // The medium keeps no modes: only the ones shown are accepted.
    return (mode & kAllModeBits) == (st.st_mode & kAllModeBits) ? 0 : -EPERM;
}

int MountedImage::chown(const char *path, uid_t uid, gid_t gid) {
    struct stat st {};
    if (const int r = getattr(path, st); r != 0)
        return r;
    const bool same_user = uid == static_cast<uid_t>(-1) || uid == uid_;
    const bool same_group = gid == static_cast<gid_t>(-1) || gid == gid_;
    return same_user && same_group ? 0 : -EPERM;
}

int MountedImage::change_result(int result, int refused) {
    switch (result) {
    case 0:
        return 0;
    case 1:
        return -ENOENT;
    case 2:
        return refused;
    case 3:
        return -ENOSPC; // the root had to move and no cluster was free
    default:
        return medium_error(); // the change stands in memory but did not reach the image
    }
}

int MountedImage::commit() {
    if (read_only_)
        return 0;
    return dace_commit_root(state()) == 0 ? 0 : medium_error();
}

} // namespace dace_tool
