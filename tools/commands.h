// The subcommands. Each returns the exit status; errors the user can act on
// are thrown as Error and printed as one line by the caller. Commands that
// change an image build the new content in memory and replace the file only
// when everything succeeded.
#ifndef DACE_TOOLS_COMMANDS_H
#define DACE_TOOLS_COMMANDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/image.h"
#include "tools/output.h"

namespace dace_tool {

// An existing image with the parameters it was read with.
struct Image {
    std::string path;
    std::vector<uint8_t> bytes;
    Detection detection;
    const Params &params() const { return detection.params; }
};

Image open_image(const std::string &path, const Options &opt);
Image image_from_bytes(std::vector<uint8_t> bytes, const Options &opt);

// Reading paths (never write the image).
int cmd_info(Output &o, const Image &img);
int cmd_ls(Output &o, const Image &img, bool long_format);
int cmd_stat(Output &o, const Image &img, const std::string &name);
int cmd_cat(Output &o, const Image &img, const std::string &name);
int cmd_get(Output &o, const Image &img, const std::string &name, const std::string &dest);
int cmd_df(Output &o, const Image &img);
int cmd_unpack(Output &o, const Image &img, const std::string &dir);
int cmd_check(Output &o, const Image &img, bool verbose = false);
int cmd_map(Output &o, const Image &img, const std::string &svg_path);

// Changing paths.
int cmd_format(Output &o, const std::string &path, const Options &opt, uint32_t pages, bool force);
int cmd_put(Output &o, const Image &img, const std::string &src, const std::optional<std::string> &name,
            bool append);
int cmd_rm(Output &o, const Image &img, const std::string &name);
int cmd_mv(Output &o, const Image &img, const std::string &from, const std::string &to, bool force);
int cmd_truncate(Output &o, const Image &img, const std::string &name, uint64_t length);

struct PackOptions {
    std::optional<uint32_t> pages;
    bool skip_invalid = false;
};
int cmd_pack(Output &o, const std::string &dir, const std::string &path, const Options &opt, const PackOptions &po);

// Mounts an image as a folder through FUSE until it is unmounted.
struct MountOptions {
    bool foreground = false;
    std::vector<std::string> fuse_options; // each a -o list; what the mount does not take goes to FUSE
};
int cmd_mount(const std::string &image, const std::string &mountpoint, const Options &opt, const MountOptions &mo);

// File contents through the library.
std::vector<uint8_t> read_file(Volume &v, const std::string &name);
void write_file(Volume &v, const std::string &name, const uint8_t *data, size_t size, bool append);

} // namespace dace_tool

#endif // DACE_TOOLS_COMMANDS_H
