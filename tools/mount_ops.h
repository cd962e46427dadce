// A mounted image as a POSIX folder: the file operations of `dace mount`,
// each returning 0 or a byte count, or a negative errno. What the library
// refuses or cannot do gets the errno the reason table (reasons.h) gives
// the reason it names (dace_error), the one the tool's messages and the
// Python package use; the mount's own errnos are for what only the host
// knows (a path, the folder, a POSIX operation the medium does not offer,
// a host disk that is full). The FUSE binding
// (mount.cpp) only translates paths and structures, so the tests reach every
// rule here without FUSE.
//
// The volume has one flat folder; files grow only at their end and shrink
// only by truncation. Programs that open the same file share one open file
// (one library handle), counted here. A file removed or replaced while
// programs hold it open leaves the medium at once: its content moves into
// this process's memory, where those programs go on using it until the last
// of them closes it, so nothing of it is left on the image, even after a
// crash. Nothing here is thread-safe: the binding runs one request at a time.
// The mount's -o options are read in mount_options.h, and the damage that
// keeps an image from mounting read-write is found in mount_damage.h.
#ifndef DACE_TOOLS_MOUNT_OPS_H
#define DACE_TOOLS_MOUNT_OPS_H

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/mount_damage.h"
#include "tools/mount_options.h"
#include "tools/volume.h"

namespace dace_tool {

// An open file as every program holding it sees it; 0 is never one.
using FileId = uint64_t;

class MountedImage {
public:
    // `sync` makes what the volume has written durable on the host (for
    // fsync); it returns 0 or a negative errno. Reads are verified: a
    // cluster whose mark, link or CRC does not match reads as EIO.
    MountedImage(std::unique_ptr<Volume> volume, const MountSettings &settings, std::function<int()> sync = {});
    MountedImage(std::unique_ptr<Volume> volume, bool read_only, std::function<int()> sync = {});
    MountedImage(const MountedImage &) = delete;
    MountedImage &operator=(const MountedImage &) = delete;
    // Closes every handle still open and commits.
    ~MountedImage();

    // `id` is the open file's, or 0 when the call names only a path; an
    // open file is found by its id even after its name is gone.
    int getattr(const char *path, struct stat &st, FileId id = 0);
    int readdir(const char *path, std::vector<std::string> &names);
    int statfs(struct statvfs &st);

    int open(const char *path, int flags, FileId &id);
    int create(const char *path, FileId &id);
    long read(FileId id, char *buf, size_t size, off_t offset);
    long write(FileId id, const char *buf, size_t size, off_t offset);
    int flush(FileId id);
    int fsync(FileId id);
    int release(FileId id);

    int truncate(const char *path, off_t length, FileId id = 0);
    // The name goes at once; a file still open lives on until its last close.
    int unlink(const char *path);
    // `flags` takes RENAME_NOREPLACE; RENAME_EXCHANGE is refused. A file
    // replaced while open lives on, as after unlink.
    int rename(const char *from, const char *to, unsigned flags);
    // Takes the file `path` names off the medium, as unlink does, and lets
    // `hidden` (a name the medium need not hold) lead to it while programs
    // hold it open. The FUSE library moves an open file that is removed or
    // replaced to such a name, so that requests by path still reach it.
    int hide(const char *path, const char *hidden);
    // Only the modification time is kept; UTIME_NOW and UTIME_OMIT work.
    int utimens(const char *path, const struct timespec times[2], FileId id = 0);
    int chmod(const char *path, mode_t mode, FileId id = 0);
    int chown(const char *path, uid_t uid, gid_t gid, FileId id = 0);

    // Commits whatever is staged; 0 or a negative errno.
    int commit();
    // Commits, then makes the image durable on the host.
    int sync();

    // Files of a damaged medium: each shows the size its entry records, and
    // a read of bytes the medium no longer holds of it is EIO.
    void show_broken(std::map<std::string, uint32_t> sizes) { broken_ = std::move(sizes); }

    Volume &volume() { return *volume_; }
    bool read_only() const { return settings_.read_only; }

private:
    // The content of a file whose name is gone while programs held it open.
    struct Detached {
        std::vector<char> data;
        uint64_t readable = 0; // bytes before the first that could not be read
        uint64_t stamp = 0;
    };
    struct OpenFile {
        unsigned programs = 0; // 0: a close failed, the handle waits to be closed again
        dace_handle handle = 0;
        std::unique_ptr<Detached> detached; // set once the file left the medium
    };

    dace_state *state() { return volume_->state(); }
    mode_t file_mode() const;
    void fill_file_stat(const dace_entry &e, struct stat &st) const;
    // The size a file shows: its entry's, or what its broken chain once held.
    uint64_t shown_size(const dace_entry &e) const;
    // The entry position of the file `path` names, its name in `name`; or
    // -ENOENT, or -EISDIR for the folder itself.
    int find_file(const char *path, std::string &name);
    OpenFile *open_file(FileId id);
    // The open file `id` means or, without one, the file a hidden `path` names.
    OpenFile *held_file(const char *path, FileId id);
    // The open file this mount keeps on the entry at `position`, or nothing.
    std::map<FileId, OpenFile>::iterator open_at(int position);
    // Makes the file at `position` removable: a handle no program holds
    // (its close failed earlier) is closed, and one that programs hold is
    // detached. 0 or an errno.
    int let_go(int position, std::map<FileId, OpenFile>::iterator &held);
    // Moves an open file's content into memory and closes its handle.
    int detach(OpenFile &f);
    // Undoes detach after the change it made way for was refused whole.
    void reattach(OpenFile &f, const std::string &name);
    long read_detached(const Detached &d, char *buf, size_t size, off_t offset) const;
    long write_detached(Detached &d, const char *buf, size_t size, off_t offset);
    // A change of mode or owner the medium cannot keep.
    int unkept() const { return settings_.quiet ? 0 : -EPERM; }
    // The negated errno for the reason of the last library call (dace_error,
    // through the table in reasons.h).
    int failure();
    // 0 for a change by name that returned DACE_OK, else failure().
    int changed(int result);

    std::unique_ptr<Volume> volume_;
    MountSettings settings_;
    std::function<int()> sync_;
    uid_t uid_;
    gid_t gid_;
    struct timespec mounted_at_ {};
    std::map<FileId, OpenFile> files_;
    std::map<std::string, FileId> hidden_; // names given by hide()
    std::map<std::string, uint32_t> broken_;
    FileId next_id_ = 1;
    uint64_t detached_bytes_ = 0; // held in memory by detached files
};

} // namespace dace_tool

#endif // DACE_TOOLS_MOUNT_OPS_H
