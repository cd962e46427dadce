// What a survey of an image finds wrong, for `dace mount`: an image whose
// committed files are damaged, or that is cut short, mounts only read-only,
// its missing end read as erased and its broken files shown at the size
// their entries record.
#ifndef DACE_TOOLS_MOUNT_DAMAGE_H
#define DACE_TOOLS_MOUNT_DAMAGE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/image.h"

namespace dace_tool {

// What a survey of an image found wrong, for a mount to refuse it or to
// show it read-only as it is.
struct Damage {
    // One line: the first damaged file's problem, how many more; for an
    // image cut short, that it is, and how many files that cost.
    std::string summary;
    bool cut_short = false; // the image ends before its volume (Survey::cut_short)
    // Files whose chain breaks off before it holds their size, with the size
    // each entry records (the mounted library may show less).
    std::map<std::string, uint32_t> broken_files;
};
// Nothing when every committed file reads clean, as check would find it.
std::optional<Damage> find_damage(const std::vector<uint8_t> &image, const Params &p);

// For a read-only look at an image cut short: the size at which the library
// mounts it, with its missing end reading erased (VolumeOptions::
// missing_reads_erased), so that what was cut off reads as lost: the size
// its root records, or for a volume that records none, up to the last
// cluster its directory names (size_to_read). False when nothing is cut off
// or the format could not address the missing end.
bool extend_cut_image(const std::vector<uint8_t> &image, Params &p);

} // namespace dace_tool

#endif // DACE_TOOLS_MOUNT_DAMAGE_H
