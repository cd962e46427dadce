// The -o options of `dace mount`: the ones the mount takes itself, for how
// it shows what the medium does not keep (modes and owners) and whether it
// is read-only; the others go to FUSE.
#ifndef DACE_TOOLS_MOUNT_OPTIONS_H
#define DACE_TOOLS_MOUNT_OPTIONS_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace dace_tool {

// How the mount shows what the medium does not keep: modes and owners.
struct MountSettings {
    bool read_only = false;
    // Mode and owner changes the medium cannot keep succeed and change
    // nothing (as `quiet` on FAT-family mounts); off, they fail with EPERM.
    bool quiet = true;
    std::optional<uid_t> uid; // owner shown; the mounting user when unset
    std::optional<gid_t> gid;
    mode_t fmask = 0133; // bits taken from 0777 for files: rw-r--r--
    mode_t dmask = 0022; // and for the folder: rwxr-xr-x
};

// Takes the options this mount understands out of the -o lists (ro, rw,
// quiet, noquiet, uid=, gid=, umask=, fmask=, dmask=); what is left goes to
// FUSE in `rest`. Throws Error for a value it cannot read.
MountSettings parse_mount_options(const std::vector<std::string> &lists, std::vector<std::string> &rest);

} // namespace dace_tool

#endif // DACE_TOOLS_MOUNT_OPTIONS_H
