// A mounted image as a POSIX folder: the file operations of `dace mount`,
// each returning 0 or a byte count, or a negative errno. The FUSE binding
// (mount.cpp) only translates paths and structures, so the tests reach every
// rule here without FUSE.
//
// The volume has one flat folder; files grow only at their end and shrink
// only by truncation. Programs that open the same file share one library
// handle, counted here. Nothing here is thread-safe: the binding runs one
// request at a time.
#ifndef DACE_TOOLS_MOUNT_OPS_H
#define DACE_TOOLS_MOUNT_OPS_H

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/image.h"

namespace dace_tool {

class MountedImage {
public:
    // `sync` makes what the volume has written durable on the host (for
    // fsync); it returns 0 or a negative errno.
    MountedImage(std::unique_ptr<Volume> volume, bool read_only, std::function<int()> sync = {});
    MountedImage(const MountedImage &) = delete;
    MountedImage &operator=(const MountedImage &) = delete;
    // Closes every handle still open and commits.
    ~MountedImage();

    // `handle` is the open file's, or 0 when the call names only a path.
    int getattr(const char *path, struct stat &st, dace_handle handle = 0);
    int readdir(const char *path, std::vector<std::string> &names);
    int statfs(struct statvfs &st);

    int open(const char *path, int flags, dace_handle &handle);
    int create(const char *path, dace_handle &handle);
    long read(dace_handle handle, char *buf, size_t size, off_t offset);
    long write(dace_handle handle, const char *buf, size_t size, off_t offset);
    int flush(dace_handle handle);
    int fsync(dace_handle handle);
    int release(dace_handle handle);

    int truncate(const char *path, off_t length);
    int unlink(const char *path);
    // `flags` takes RENAME_NOREPLACE; RENAME_EXCHANGE is refused.
    int rename(const char *from, const char *to, unsigned flags);
    // Only the modification time is kept; UTIME_NOW and UTIME_OMIT work.
    int utimens(const char *path, const struct timespec times[2]);
    int chmod(const char *path, mode_t mode);
    int chown(const char *path, uid_t uid, gid_t gid);

    // Commits whatever is staged; 0 or a negative errno.
    int commit();
    // Commits, then makes the image durable on the host.
    int sync();

    Volume &volume() { return *volume_; }
    bool read_only() const { return read_only_; }

private:
    dace_state *state() { return volume_->state(); }
    mode_t file_mode() const;
    void fill_file_stat(const dace_entry &e, struct stat &st) const;
    // The entry position of the file `path` names, its name in `name`; or
    // -ENOENT, or -EISDIR for the folder itself.
    int find_file(const char *path, std::string &name);
    // The handle this mount keeps open on the file at `position`, or 0.
    dace_handle handle_at(int position);
    // Closes a handle no program holds any more (one whose close failed
    // earlier) so that the file can be removed or replaced; 0 or an errno.
    int close_idle(int position);
    int medium_error();
    // The errno for a result of a change by name; `refused` for result 2.
    int change_result(int result, int refused);

    std::unique_ptr<Volume> volume_;
    bool read_only_;
    std::function<int()> sync_;
    uid_t uid_;
    gid_t gid_;
    struct timespec mounted_at_ {};
    std::map<dace_handle, unsigned> opens_; // programs holding each handle
};

} // namespace dace_tool

#endif // DACE_TOOLS_MOUNT_OPS_H
