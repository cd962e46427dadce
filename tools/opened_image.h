// An image a command works on: read from its file (or from bytes) with the
// parameters detected in it, mounted as the command needs it (whole, to
// read what is intact, or for a change), and the change written back; and
// a new medium (format, pack) written into its file.
#ifndef DACE_TOOLS_OPENED_IMAGE_H
#define DACE_TOOLS_OPENED_IMAGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/image.h"
#include "tools/image_file.h"
#include "tools/output.h"
#include "tools/survey.h"
#include "tools/volume.h"

namespace dace_tool {

// An existing image with the parameters it was read with.
struct Image {
    std::string path;
    std::vector<uint8_t> bytes; // the medium
    Detection detection;
    // Held while the command runs; null for bytes that came from elsewhere.
    std::shared_ptr<ImageLock> lock;
    uint64_t offset = 0; // where the medium starts in the file
    // The medium is the whole file, which has no other name: a change
    // replaces the file; otherwise it is written into the file in place.
    bool whole_file = true;
    const Params &params() const { return detection.params; }
    // The file ends before the volume its root records: `bytes` holds only
    // the start of the medium, and what lay past it is lost.
    bool cut_short() const { return bytes.size() < params().medium_bytes(); }
};

// Opens and locks an image (see ImageLock) and reads its medium from
// --offset: the size its root records (or --pages, which must agree),
// else --pages pages or all to the end. An image shorter than its volume
// is read as far as it goes (Image::cut_short).
Image open_image(const std::string &path, const Options &opt, LockAccess access = LockAccess::Read,
                 LockHolder holder = LockHolder::Command);
Image image_from_bytes(std::vector<uint8_t> bytes, const Options &opt);

// A reading command on an image cut short still says so, in one line on
// the error stream: 1 when it did, so that its exit status is 1 whatever it
// could read; else 0.
int tell_cut_short(Output &o, const Image &img);

// Every file's chain as it lies, without the data CRCs: what the mount
// would hide of a damaged image.
Survey chains_of(const Image &img);

// Each mount refuses as the library refuses (a LibraryError with its
// reason); all but mount_for_change mount with dace_mount on a medium that
// takes no write (Mounting::Read).
// For commands whose answer is about the whole volume (info, df): the
// library mounts it only whole, so an image cut short is refused.
Volume mount_whole(const Image &img);
// For reading what is intact of an image cut short: the library mounts it
// at the size the survey `sv` shows (size_to_read), the clusters it lacks
// reading erased, so no file reads anything from them, and the survey of
// the image as it is tells what is missing.
Volume mount_to_read(const Image &img, const Survey &sv);
// The mount cuts short a chain it cannot follow, and the command's commit
// would make that loss final: a changing command refuses such an image,
// unless the damaged file is the one it removes (`removed`), and any image
// cut short.
Volume mount_for_change(const Image &img, const std::string &removed = {});
// Writes the volume's change back: the file replaced whole, or the changes
// written into it in place.
void save(const Image &img, Volume &v);

// The lock on an image a new medium replaces, or null when there is none
// yet; refuses an existing one without --force.
std::unique_ptr<ImageLock> lock_for_new(const std::string &path, const Options &opt, bool force);
// Whether the new medium goes into the locked file in place (at --offset,
// or into a file with several names): its volume then keeps a journal.
bool new_medium_in_place(const ImageLock *lock, const Options &opt);
// Writes a new medium to `path`: a new file; with `lock`, over the locked
// file (replacing it, or into it at --offset or when it has other names).
void write_new_medium(const std::string &path, const Options &opt, const ImageLock *lock, Volume &v);

} // namespace dace_tool

#endif // DACE_TOOLS_OPENED_IMAGE_H
