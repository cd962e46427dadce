// Image files on the host: the file behind any links, the locks that keep
// dace commands and mounts from undoing one another's changes, and the two
// ways a changed medium goes back into its file.
#ifndef DACE_TOOLS_IMAGE_FILE_H
#define DACE_TOOLS_IMAGE_FILE_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace dace_tool {

// A failure the user can act on: printed as one line, exit status 1.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The file that `path` names once every symbolic link on the way is
// followed; the file itself need not exist (a link to a new image).
std::string resolve_links(const std::string &path);

enum class LockAccess : uint8_t { Read, Change };
enum class LockHolder : uint8_t { Command, Mount };

// A lock on an image file, held from reading the image until the last
// change is written back, so that no change is made to an image that
// another command or a mount is changing, and none is lost.
//
// The locks are open-file-description locks (fcntl F_OFD_SETLK) on two
// bytes of the image file, which need not exist in it:
//   byte 0, the access lock: shared for a command that reads, exclusive for
//     one that changes; a mount holds it for its whole life (shared when it
//     is read-only);
//   byte 1, the mount mark: a mount holds it too (exclusive, or shared when
//     read-only), so that a command that finds the access lock taken can
//     tell a mount, which it refuses at once, from another command, which
//     it waits for.
// A command that changes an image replaces the file by a rename, leaving
// its lock on the old file: whoever gets a lock then checks that the path
// still names the file it locked, and locks the new one when it does not.
// The locks go with the file descriptor: closing it, or the process
// ending, releases them.
class ImageLock {
public:
    // Opens the image (read-write for a change) and locks it. With `wait`,
    // waits while other commands hold a lock that conflicts; a mount's
    // lock is never waited for. Throws Error naming what holds the image.
    ImageLock(const std::string &path, LockAccess access, LockHolder holder = LockHolder::Command,
              bool wait = true);
    ImageLock(const ImageLock &) = delete;
    ImageLock &operator=(const ImageLock &) = delete;
    ~ImageLock();

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }     // as given
    const std::string &target() const { return target_; } // links followed
    const struct stat &status() const { return status_; } // of the locked file

private:
    bool try_access(LockAccess access);
    [[noreturn]] void refuse_for_mount(LockAccess access) const;

    std::string path_;
    std::string target_;
    struct stat status_ {};
    int fd_ = -1;
};

// Reads up to `max` bytes of the file from `offset` on.
std::vector<uint8_t> read_region(const ImageLock &lock, uint64_t offset, uint64_t max);

// Writes all of `bytes` to `fd`, at its position or at `offset`; false
// (errno set) when a write fails.
bool write_all(int fd, const std::vector<uint8_t> &bytes);
bool write_all_at(int fd, const uint8_t *bytes, size_t count, uint64_t offset);

// The whole new content of a locked image: written to a temporary file
// beside it with the image's mode and owner, synced, renamed over the
// image, and the folder synced, so that the file is the old image or the
// new one at every moment, also across a crash of the host.
void replace_image(const ImageLock &lock, const std::vector<uint8_t> &bytes);

// A new image at `path` (links followed) that must not exist yet: created
// whole beside it and moved there only if nothing appeared there meanwhile.
void create_image(const std::string &path, const std::vector<uint8_t> &bytes);

// One program or erase of the medium, as it left the bytes it changed.
struct MediumWrite {
    size_t offset = 0; // within the medium
    std::vector<uint8_t> bytes;
    bool barrier = false; // an erase or a root copy: what came before must be durable first
};

// Writes the medium's changes into the locked file in place, the medium
// starting at `origin`, in the order they were made, with the file synced
// before each barrier and at the end: a crash of the host leaves the file
// as a power cut would leave the device. For an image that is part of a
// larger file, or that has more than one name.
void write_in_place(const ImageLock &lock, uint64_t origin, const std::vector<MediumWrite> &changes);

} // namespace dace_tool

#endif // DACE_TOOLS_IMAGE_FILE_H
