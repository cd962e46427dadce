// The file operations of `dace mount` on a mounted image (mount_ops.h):
// what the library refuses gets the reason table's errno, and a file
// removed or replaced while open lives on in memory.
#include "tools/mount_ops.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>

#include "tools/reasons.h"

namespace dace_tool {

namespace {

constexpr uint64_t kNanos = 1000000000ull;
constexpr mode_t kAllModeBits = 07777;
constexpr mode_t kWriteBits = 0222;

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

// The errno the table gives a reason, negated as the file operations
// return it.
int negated(int reason) { return -reason_of(reason).errno_value; }

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

// The stamp a utimens request asks for: nothing to change, a value, or an
// errno for a time the stamp cannot hold.
int stamp_asked(const struct timespec &mtime, std::optional<uint64_t> &stamp) {
    if (mtime.tv_nsec == UTIME_OMIT)
        return 0;
    if (mtime.tv_nsec == UTIME_NOW) {
        stamp = now_stamp();
        return 0;
    }
    if (mtime.tv_sec < 0 || mtime.tv_nsec < 0 || mtime.tv_nsec >= static_cast<long>(kNanos))
        return -EINVAL; // the stamp holds no time before 1970
    stamp = static_cast<uint64_t>(mtime.tv_sec) * kNanos + static_cast<uint64_t>(mtime.tv_nsec);
    return 0;
}

MountSettings settings_with(bool read_only) {
    MountSettings s;
    s.read_only = read_only;
    return s;
}

} // namespace

MountedImage::MountedImage(std::unique_ptr<Volume> volume, const MountSettings &settings, std::function<int()> sync)
    : volume_(std::move(volume)), settings_(settings), sync_(std::move(sync)),
      uid_(settings.uid.value_or(::getuid())), gid_(settings.gid.value_or(::getgid())) {
    ::clock_gettime(CLOCK_REALTIME, &mounted_at_);
    // A program must never get bytes the medium did not keep as written.
    dace_verify_reads(state(), 1);
}

MountedImage::MountedImage(std::unique_ptr<Volume> volume, bool read_only, std::function<int()> sync)
    : MountedImage(std::move(volume), settings_with(read_only), std::move(sync)) {}

MountedImage::~MountedImage() {
    for (const auto &[id, f] : files_) {
        // A close that fell short keeps the handle open; once more retries it.
        if (f.handle != 0 && dace_close(state(), f.handle) == DACE_CLOSE_WRITE_FAILED)
            dace_close(state(), f.handle);
    }
    sync();
}

mode_t MountedImage::file_mode() const {
    const mode_t mode = 0777 & ~settings_.fmask;
    return settings_.read_only ? mode & ~kWriteBits : mode;
}

// Why the last library call failed, as the table says; a host disk that
// is full or over quota, which made the image file refuse a write the
// library saw fall short, is worth telling apart.
int MountedImage::failure() {
    const int host = volume_->take_mirror_error();
    if (host == ENOSPC || host == EDQUOT)
        return -host;
    const int reason = dace_error(state());
    // A call that did all it was asked and still left the operation short
    // (bytes the entry promises that no read gives) is an I/O error.
    return reason != DACE_E_NONE ? negated(reason) : -EIO;
}

// A path that leads to no file is ENOENT whatever its name: the FUSE
// library makes sure that the names it hides removed open files under
// (longer than a name may be) lead nowhere by that answer alone.
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

MountedImage::OpenFile *MountedImage::open_file(FileId id) {
    const auto it = files_.find(id);
    return it == files_.end() || it->second.programs == 0 ? nullptr : &it->second;
}

MountedImage::OpenFile *MountedImage::held_file(const char *path, FileId id) {
    if (id != 0)
        return open_file(id);
    const auto name = name_of(path);
    const auto it = name ? hidden_.find(*name) : hidden_.end();
    return it == hidden_.end() ? nullptr : open_file(it->second);
}

std::map<FileId, MountedImage::OpenFile>::iterator MountedImage::open_at(int position) {
    for (auto it = files_.begin(); it != files_.end(); ++it)
        if (it->second.handle != 0 && state()->files[it->second.handle ^ HANDLE_MAGIC].entry == position)
            return it;
    return files_.end();
}

int MountedImage::let_go(int position, std::map<FileId, OpenFile>::iterator &held) {
    held = open_at(position);
    if (held == files_.end())
        return 0;
    if (held->second.programs > 0)
        return detach(held->second);
    if (dace_close(state(), held->second.handle) != DACE_OK)
        return failure();
    files_.erase(held);
    held = files_.end();
    return 0;
}

// Whatever the programs wrote is committed by the close, so the change by
// name that follows removes the file whole; bytes that cannot be read back
// stay unreadable in memory too.
int MountedImage::detach(OpenFile &f) {
    dace_entry e{};
    if (dace_statf(state(), f.handle, &e) != DACE_OK)
        return failure();
    auto d = std::make_unique<Detached>();
    d->stamp = e.stamp;
    d->data.resize(e.size);
    uint32_t done = 0;
    const int sought = e.size > 0 ? dace_seek(state(), f.handle, 0, DACE_SEEK_SET) : DACE_SEEK_FAILED;
    if (sought == DACE_SEEK_FLUSH_FAILED)
        return failure();
    while (sought == DACE_OK && done < e.size) {
        const uint32_t got = dace_read(state(), d->data.data() + done, e.size - done, f.handle);
        if (got == 0)
            break;
        done += got;
    }
    d->readable = done;
    int closed = dace_close(state(), f.handle);
    if (closed == DACE_CLOSE_WRITE_FAILED)
        closed = dace_close(state(), f.handle);
    if (closed != DACE_OK)
        return failure();
    detached_bytes_ += d->data.size();
    f.handle = 0;
    f.detached = std::move(d);
    return 0;
}

void MountedImage::reattach(OpenFile &f, const std::string &name) {
    const dace_handle handle = dace_open(state(), name.c_str());
    if (handle == 0)
        return; // the programs go on with the copy in memory
    detached_bytes_ -= f.detached->data.size();
    f.detached.reset();
    f.handle = handle;
}

uint64_t MountedImage::shown_size(const dace_entry &e) const {
    if (broken_.empty())
        return e.size;
    const auto it = broken_.find(entry_name(e));
    return it == broken_.end() ? e.size : std::max(e.size, it->second);
}

void MountedImage::fill_file_stat(const dace_entry &e, struct stat &st) const {
    const uint32_t payload = volume_->state()->clus_payload;
    const uint64_t clusters = (uint64_t{e.size} + payload - 1) / payload;
    st.st_mode = S_IFREG | file_mode();
    st.st_nlink = 1;
    st.st_uid = uid_;
    st.st_gid = gid_;
    st.st_size = static_cast<off_t>(shown_size(e));
    st.st_blksize = static_cast<blksize_t>(payload);
    st.st_blocks = static_cast<blkcnt_t>(clusters * volume_->params().clus_size() / 512);
    st.st_mtim = st.st_ctim = st.st_atim = time_of(e.stamp);
}

int MountedImage::getattr(const char *path, struct stat &st, FileId id) {
    st = {};
    if (const OpenFile *f = held_file(path, id)) {
        dace_entry e{};
        if (f->detached) {
            e.size = static_cast<uint32_t>(f->detached->data.size());
            e.stamp = f->detached->stamp;
            fill_file_stat(e, st);
            st.st_nlink = 0; // no name leads to it any more
            st.st_blocks = 0;
            return 0;
        }
        if (dace_statf(state(), f->handle, &e) == DACE_OK) {
            fill_file_stat(e, st);
            return 0;
        }
    }
    const auto name = name_of(path);
    if (!name)
        return -ENOENT;
    if (name->empty()) {
        const mode_t mode = 0777 & ~settings_.dmask;
        st.st_mode = S_IFDIR | (settings_.read_only ? mode & ~kWriteBits : mode);
        st.st_nlink = 2;
        st.st_uid = uid_;
        st.st_gid = gid_;
        st.st_mtim = st.st_ctim = st.st_atim = mounted_at_;
        return 0;
    }
    dace_entry e{};
    if (dace_stat(state(), name->c_str(), &e) != DACE_OK)
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

int MountedImage::open(const char *path, int flags, FileId &id) {
    if (settings_.read_only && (flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    if (OpenFile *f = held_file(path, 0)) {
        ++f->programs;
        id = hidden_.at(*name_of(path));
        return 0;
    }
    std::string name;
    const int position = find_file(path, name);
    if (position < 0)
        return position;
    auto it = open_at(position);
    if (it == files_.end()) {
        const dace_handle handle = dace_open(state(), name.c_str());
        if (handle == 0)
            return failure(); // every handle open, or its first cluster does not read back
        it = files_.emplace(next_id_++, OpenFile{0, handle, nullptr}).first;
    }
    ++it->second.programs;
    id = it->first;
    return 0;
}

int MountedImage::create(const char *path, FileId &id) {
    if (settings_.read_only)
        return -EROFS;
    const auto name = name_of(path);
    if (!name)
        return -ENOENT;
    if (name->empty())
        return -EEXIST; // the folder itself
    const Stamping stamping(volume_->stamp());
    // The library judges the name, then the directory and the handles.
    const dace_handle handle = dace_create(state(), name->c_str());
    if (handle == 0)
        return failure();
    id = files_.emplace(next_id_++, OpenFile{1, handle, nullptr}).first->first;
    return 0;
}

long MountedImage::read_detached(const Detached &d, char *buf, size_t size, off_t offset) const {
    if (static_cast<uint64_t>(offset) >= d.data.size())
        return 0;
    const auto at = static_cast<size_t>(offset);
    const size_t want = std::min(size, d.data.size() - at);
    if (at + want > d.readable)
        return negated(DACE_E_DAMAGED); // what the medium did not give back when the file left it
    std::memcpy(buf, d.data.data() + at, want);
    return static_cast<long>(want);
}

long MountedImage::read(FileId id, char *buf, size_t size, off_t offset) {
    const OpenFile *f = open_file(id);
    if (f == nullptr)
        return -EBADF;
    if (offset < 0)
        return -EINVAL;
    if (f->detached)
        return read_detached(*f->detached, buf, size, offset);
    dace_entry e{};
    if (dace_statf(state(), f->handle, &e) != DACE_OK)
        return failure();
    const uint64_t shown = shown_size(e);
    if (static_cast<uint64_t>(offset) >= shown)
        return 0;
    if (std::min<uint64_t>(static_cast<uint64_t>(offset) + size, shown) > e.size)
        return negated(DACE_E_DAMAGED); // what the medium lost of a broken file
    const auto at = static_cast<uint32_t>(offset);
    // A seek commits first; then the cluster there must read back as written.
    if (dace_tell(state(), f->handle) != at && dace_seek(state(), f->handle, at, DACE_SEEK_SET) != DACE_OK)
        return failure();
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(size, e.size - at));
    uint32_t done = 0;
    while (done < want) {
        const uint32_t got = dace_read(state(), buf + done, want - done, f->handle);
        if (got == 0)
            break;
        done += got;
    }
    // Bytes the entry promises but the medium does not give back as written.
    // A short count would read as the end of the file: the read fails whole.
    return done < want ? failure() : long{done};
}

long MountedImage::write_detached(Detached &d, const char *buf, size_t size, off_t offset) {
    // The same rules as on the medium: a program sees one kind of file.
    if (offset < 0 || static_cast<uint64_t>(offset) != d.data.size())
        return -reason_of(DACE_E_NOT_AT_END).errno_value;
    if (size == 0)
        return 0;
    // Memory for files no name leads to is bounded by what the medium holds.
    const uint64_t capacity = uint64_t{state()->clus_count} * state()->clus_payload;
    const uint64_t room = std::min<uint64_t>(0xFFFFFFFFull - d.data.size(),
                                             capacity > detached_bytes_ ? capacity - detached_bytes_ : 0);
    const auto want = static_cast<size_t>(std::min<uint64_t>(size, room));
    if (want == 0)
        return negated(d.data.size() == 0xFFFFFFFFull ? DACE_E_FILE_TOO_LARGE : DACE_E_MEDIUM_FULL);
    const bool whole = d.readable == d.data.size();
    d.data.insert(d.data.end(), buf, buf + want);
    if (whole)
        d.readable = d.data.size();
    d.stamp = now_stamp();
    detached_bytes_ += want;
    return static_cast<long>(want);
}

long MountedImage::write(FileId id, const char *buf, size_t size, off_t offset) {
    if (settings_.read_only)
        return -EROFS;
    OpenFile *f = open_file(id);
    if (f == nullptr)
        return -EBADF;
    if (f->detached)
        return write_detached(*f->detached, buf, size, offset);
    const dace_handle handle = f->handle;
    dace_entry e{};
    if (dace_statf(state(), handle, &e) != DACE_OK)
        return failure();
    // Files grow only at their end: bytes already written stay as they are.
    // The mount refuses this itself, as an operation the medium does not
    // offer (the library is never asked: it writes at a handle's position).
    if (offset < 0 || static_cast<uint64_t>(offset) != e.size)
        return -reason_of(DACE_E_NOT_AT_END).errno_value;
    const auto want = static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFFull - e.size));
    if (size == 0)
        return 0;
    if (want == 0)
        return negated(DACE_E_FILE_TOO_LARGE);
    // A seek commits first; then the last cluster must read back as written.
    if (dace_tell(state(), handle) != e.size && dace_seek(state(), handle, 0, DACE_SEEK_END) != DACE_OK)
        return failure();
    const Stamping stamping(volume_->stamp());
    uint32_t done = dace_write(state(), buf, want, handle);
    // Clusters released since the last commit are handed out only once a
    // commit no longer names them: commit, then try the rest once more.
    if (done < want && dace_flush(state(), handle) == DACE_OK)
        done += dace_write(state(), buf + done, want - done, handle);
    return done == 0 ? failure() : long{done};
}

int MountedImage::flush(FileId id) {
    const OpenFile *f = open_file(id);
    if (f == nullptr)
        return -EBADF;
    // A file no name leads to has nothing to make durable.
    if (settings_.read_only || f->detached)
        return 0;
    return dace_flush(state(), f->handle) == DACE_OK ? 0 : failure();
}

int MountedImage::fsync(FileId id) {
    if (const int r = flush(id); r != 0)
        return r;
    return sync_ && !settings_.read_only ? sync_() : 0;
}

int MountedImage::sync() {
    if (const int r = commit(); r != 0)
        return r;
    return sync_ && !settings_.read_only ? sync_() : 0;
}

int MountedImage::release(FileId id) {
    const auto it = files_.find(id);
    if (it == files_.end() || it->second.programs == 0)
        return -EBADF;
    OpenFile &f = it->second;
    if (--f.programs > 0)
        return 0;
    if (f.detached) {
        detached_bytes_ -= f.detached->data.size();
        std::erase_if(hidden_, [id](const auto &named) { return named.second == id; });
        files_.erase(it);
        return 0;
    }
    int r = dace_close(state(), f.handle);
    if (r == DACE_CLOSE_WRITE_FAILED)
        r = dace_close(state(), f.handle);
    if (r == DACE_CLOSE_WRITE_FAILED)
        return failure(); // kept, closed again when the file is next needed
    files_.erase(it);
    return 0;
}

int MountedImage::truncate(const char *path, off_t length, FileId id) {
    if (settings_.read_only)
        return -EROFS;
    OpenFile *f = held_file(path, id);
    if (length < 0)
        return -EINVAL;
    if (f != nullptr && f->detached) {
        Detached &d = *f->detached;
        if (static_cast<uint64_t>(length) > d.data.size())
            return -reason_of(DACE_E_BEYOND_END).errno_value;
        detached_bytes_ -= d.data.size() - static_cast<size_t>(length);
        d.data.resize(static_cast<size_t>(length));
        d.readable = std::min<uint64_t>(d.readable, d.data.size());
        d.stamp = now_stamp();
        return 0;
    }
    std::string name;
    dace_entry e{};
    if (f != nullptr) {
        if (dace_statf(state(), f->handle, &e) != DACE_OK)
            return failure();
        name = entry_name(e);
    } else if (const int position = find_file(path, name); position < 0) {
        return position;
    }
    dace_stat(state(), name.c_str(), &e);
    if (static_cast<uint64_t>(length) > e.size)
        return -reason_of(DACE_E_BEYOND_END).errno_value; // a file cannot be lengthened but by writing at its end
    if (static_cast<uint64_t>(length) == e.size)
        return 0;
    const Stamping stamping(volume_->stamp());
    return changed(dace_truncate(state(), name.c_str(), static_cast<uint32_t>(length)));
}

int MountedImage::unlink(const char *path) {
    if (settings_.read_only)
        return -EROFS;
    if (const auto hidden = name_of(path); hidden && hidden_.erase(*hidden) > 0)
        return 0; // the file itself goes with its last close
    std::string name;
    const int position = find_file(path, name);
    if (position < 0)
        return position;
    auto held = files_.end();
    if (const int r = let_go(position, held); r != 0)
        return r;
    const int result = dace_remove(state(), name.c_str());
    if (held != files_.end() && result >= DACE_NO_FILE && result <= DACE_NO_ROOM)
        reattach(held->second, name); // nothing changed: the name still leads to the file
    return changed(result);
}

int MountedImage::rename(const char *from, const char *to, unsigned flags) {
    if (settings_.read_only)
        return -EROFS;
    if ((flags & ~unsigned{RENAME_NOREPLACE}) != 0)
        return -EINVAL; // exchanging two names is not offered
    const auto old_name = name_of(from);
    const auto new_name = name_of(to);
    if (!old_name || !new_name)
        return -ENOENT;
    if (old_name->empty() || new_name->empty())
        return -EBUSY; // the folder itself
    const bool noreplace = (flags & RENAME_NOREPLACE) != 0;
    // A file that programs hold open leaves the medium before it is replaced.
    auto held = files_.end();
    const RenameOutcome r = rename_by_rule(*volume_, *old_name, *new_name, !noreplace,
                                           [&](int bearer) { return let_go(bearer, held); });
    switch (r.how) {
    case Renamed::Done: return 0;
    case Renamed::NoFile: return -ENOENT; // whatever the name: see find_file
    case Renamed::SameName: return noreplace ? -EEXIST : 0; // the new name is taken, by the file itself
    case Renamed::NameTaken: return -EEXIST;
    case Renamed::NoWay: return r.result;
    case Renamed::Failed: break;
    }
    if (held != files_.end() && r.result >= DACE_NO_FILE && r.result <= DACE_NO_ROOM)
        reattach(held->second, *new_name);
    return changed(r.result);
}

int MountedImage::hide(const char *path, const char *hidden) {
    const auto hidden_name = name_of(hidden);
    if (!hidden_name || hidden_name->empty())
        return -EINVAL;
    std::string name;
    const int position = find_file(path, name);
    if (position < 0)
        return position;
    const auto held = open_at(position);
    const FileId id = held != files_.end() && held->second.programs > 0 ? held->first : 0;
    if (const int r = unlink(path); r != 0)
        return r;
    if (id != 0)
        hidden_[*hidden_name] = id;
    return 0;
}

int MountedImage::utimens(const char *path, const struct timespec times[2], FileId id) {
    if (settings_.read_only)
        return -EROFS;
    std::optional<uint64_t> stamp;
    OpenFile *f = held_file(path, id);
    if (f != nullptr && f->detached) {
        const int bad = stamp_asked(times[1], stamp);
        if (bad == 0 && stamp)
            f->detached->stamp = *stamp;
        return bad;
    }
    const auto name = name_of(path);
    if (!name || name->empty())
        return name ? 0 : -ENOENT; // the folder keeps no time of its own
    if (dace_find_file(state(), name->c_str()) < 0)
        return -ENOENT;
    if (const int bad = stamp_asked(times[1], stamp); bad != 0 || !stamp)
        return bad;
    // Renaming a file to its own name is the change by name that touches
    // nothing but the entry, whose stamp the update callback then sets.
    const Stamping stamping(volume_->stamp(), *stamp);
    return changed(dace_rename(state(), name->c_str(), name->c_str()));
}

int MountedImage::chmod(const char *path, mode_t mode, FileId id) {
    struct stat st {};
    if (const int r = getattr(path, st, id); r != 0)
        return r;
    if ((mode & kAllModeBits) == (st.st_mode & kAllModeBits))
        return 0;
    return settings_.read_only ? -EROFS : unkept();
}

int MountedImage::chown(const char *path, uid_t uid, gid_t gid, FileId id) {
    struct stat st {};
    if (const int r = getattr(path, st, id); r != 0)
        return r;
    const bool same_user = uid == static_cast<uid_t>(-1) || uid == uid_;
    const bool same_group = gid == static_cast<gid_t>(-1) || gid == gid_;
    if (same_user && same_group)
        return 0;
    return settings_.read_only ? -EROFS : unkept();
}

int MountedImage::changed(int result) { return result == DACE_OK ? 0 : failure(); }

int MountedImage::commit() {
    if (settings_.read_only)
        return 0;
    return dace_commit_root(state()) == DACE_OK ? 0 : failure();
}

} // namespace dace_tool
