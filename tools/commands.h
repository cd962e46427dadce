// The subcommands. Each returns the exit status; errors the user can act on
// are thrown as Error and printed as one line by the caller. Commands that
// change an image build the new content in memory and replace the file only
// when everything succeeded.
#ifndef DACE_TOOLS_COMMANDS_H
#define DACE_TOOLS_COMMANDS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/image.h"
#include "tools/output.h"
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

// Reading paths (never write the image). A file whose data cannot all be
// read is reported and makes the exit status 1; cat, get and unpack read
// verified (a cluster whose mark or CRC does not match stops them) unless
// `salvage` is set, which writes what can be read, with a warning. An image
// cut short is read as a damaged one is (its missing end reads erased) and
// named so, with exit status 1; info and df, which speak for the whole
// volume, refuse it.
// A reading command on an image cut short still says so, in one line on
// the error stream: 1 when it did, so that its exit status is 1 whatever it
// could read; else 0.
int tell_cut_short(Output &o, const Image &img);

int cmd_info(Output &o, const Image &img);
int cmd_ls(Output &o, const Image &img, bool long_format);
int cmd_stat(Output &o, const Image &img, const std::string &name);
int cmd_cat(Output &o, const Image &img, const std::string &name, bool salvage = false);
int cmd_get(Output &o, const Image &img, const std::string &name, const std::string &dest, bool salvage = false);
int cmd_df(Output &o, const Image &img, bool human = false);
int cmd_unpack(Output &o, const Image &img, const std::string &dir, bool salvage = false);
int cmd_check(Output &o, const Image &img, bool verbose = false);
int cmd_map(Output &o, const Image &img, const std::string &svg_path);

// Changing paths. They refuse an image cut short, and one whose files the
// mount would cut short (a damaged chain), since their commit would make the
// loss final.
int cmd_format(Output &o, const std::string &path, const Options &opt, bool force);
struct PutOptions {
    bool append = false;
    bool force = false; // replace a file of that name, in one commit
};
// Reads the source first, then opens the image for the change.
int cmd_put(Output &o, const std::string &path, const Options &opt, const std::string &src,
            const std::optional<std::string> &name, const PutOptions &po);
int cmd_rm(Output &o, const Image &img, const std::string &name);
int cmd_mv(Output &o, const Image &img, const std::string &from, const std::string &to, bool force);
int cmd_truncate(Output &o, const Image &img, const std::string &name, uint64_t length);

struct PackOptions {
    bool skip_invalid = false;
    bool force = false; // replace an existing image
};
int cmd_pack(Output &o, const std::string &dir, const std::string &path, const Options &opt, const PackOptions &po);

// Mounts an image as a folder through FUSE until it is unmounted.
struct MountOptions {
    bool foreground = false;
    std::vector<std::string> fuse_options; // each a -o list; what the mount does not take goes to FUSE
};
int cmd_mount(const std::string &image, const std::string &mountpoint, const Options &opt, const MountOptions &mo);

// File contents through the library. What the library refuses or cannot
// complete (a read that stops short, a medium that fills, a write that
// falls short) is a LibraryError with its reason (dace_error), so that the
// tool says what the mount's errno says.
std::vector<uint8_t> read_file(Volume &v, const std::string &name);
void write_file(Volume &v, const std::string &name, const uint8_t *data, size_t size, bool append);
// Changes by name, each committed before it returns; failures as above.
void remove_file(Volume &v, const std::string &name);
// Renames by the hosts' rule (rename_by_rule): another file bearing `to` is
// refused unless `replace`, and then dropped in the same commit. False when
// both names lead to the same file, which is left as it is.
bool rename_file(Volume &v, const std::string &from, const std::string &to, bool replace);
void truncate_file(Volume &v, const std::string &name, uint32_t length);

} // namespace dace_tool

#endif // DACE_TOOLS_COMMANDS_H
