// The subcommands, which the command line (cli.cpp) runs. Each returns the
// exit status; errors the user can act on are thrown as Error and printed
// as one line by the caller. Commands that change an image build the new
// content in memory and replace the file only when everything succeeded.
// They are kept by concern: the reading commands (read_commands.cpp, and
// check.cpp and map.cpp), the changing ones (change_commands.cpp), pack and
// unpack (pack.cpp), and mount (mount.cpp).
#ifndef DACE_TOOLS_COMMANDS_H
#define DACE_TOOLS_COMMANDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/file_ops.h"
#include "tools/image.h"
#include "tools/opened_image.h"
#include "tools/output.h"

namespace dace_tool {

// Reading paths (never write the image). A file whose data cannot all be
// read is reported and makes the exit status 1; cat, get and unpack read
// verified (a cluster whose mark or CRC does not match stops them) unless
// `salvage` is set, which writes what can be read, with a warning. An image
// cut short is read as a damaged one is (its missing end reads erased) and
// named so, with exit status 1; info and df, which speak for the whole
// volume, refuse it.
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

// Runs a workload on a simulated part (tools/plan.h) and prints the table,
// or JSON; `svg` names a picture of the wear to write as well.
struct PlanArgs {
    std::string workload;           // a JSON file; empty: the defaults
    nlohmann::json overrides = nlohmann::json::object(); // laid over it, in its layout
    std::vector<std::string> parts; // classes or part files, compared; the part options apply to each
    std::string svg;
    bool list_parts = false;        // print the part classes instead
};
int cmd_plan(Output &o, const PlanArgs &a);

} // namespace dace_tool

#endif // DACE_TOOLS_COMMANDS_H
