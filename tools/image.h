// Image files and the medium behind them: an image is the raw content of the
// medium (an erased cluster reads 0xFF). It is loaded into the simulator,
// mounted through dace_init, and written back only by replacing the file
// whole once a command has succeeded.
#ifndef DACE_TOOLS_IMAGE_H
#define DACE_TOOLS_IMAGE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"
#include "tools/crc_catalogue.h"

namespace dace_tool {

// A failure the user can act on: printed as one line, exit status 1.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the command line said; unset fields are found from the image.
struct Options {
    std::optional<uint16_t> page_size;
    std::optional<uint16_t> clus_pages;
    std::optional<uint16_t> geometry_tag;
    std::optional<uint16_t> max_files;
    std::optional<std::string> crc;
    std::optional<uint16_t> crc_seed;
};

// Everything needed to mount a medium.
struct Params {
    uint16_t page_size = 256;
    uint16_t clus_pages = 8;
    uint16_t geometry_tag = 0;
    uint16_t total_pages = 0;
    uint16_t max_files = 4;
    uint16_t crc_seed = 0xFFFF;
    const CrcAlgo *crc = nullptr;

    uint32_t clus_size() const { return uint32_t{page_size} * clus_pages; }
    uint32_t clus_count() const { return clus_pages ? total_pages / clus_pages : 0u; }
};

// Parameters for a new medium: the options, or the defaults.
Params params_for_new(const Options &opt, uint32_t total_pages);
// Refuses geometry the library cannot hold, naming the option at fault.
void check_geometry(const Params &p);

struct Detection {
    Params params;
    std::string how; // one line: which values came from the image
};

// Finds the geometry and CRC of an existing image from its root headers and
// their CRCs, taking every value the options fix as given. Throws Error
// naming the options to pass when the image leaves them open.
Detection detect(const std::vector<uint8_t> &image, const Options &opt);

std::vector<uint8_t> read_image_file(const std::string &path);
// Writes all of `bytes` to `fd`; false (errno set) when a write fails.
bool write_all(int fd, const std::vector<uint8_t> &bytes);
// Writes `count` bytes at `offset` of `fd`; false (errno set) when a write fails.
bool write_all_at(int fd, const uint8_t *bytes, size_t count, size_t offset);
// Writes to a temporary file beside `path`, then renames it over `path`:
// the old image stays whole until the new one is complete.
void replace_image_file(const std::string &path, const std::vector<uint8_t> &bytes);

// An advisory lock (flock) on an image file. A mount holds it while it
// writes the file in place, and commands that replace the file take it too:
// a replaced file would cut the mount off, and its later changes would be lost.
class ImageLock {
public:
    // Opens `path` with `open_flags` and locks it, shared or exclusive.
    // Throws Error when the file cannot be opened or another holds the lock.
    ImageLock(const std::string &path, int open_flags, bool exclusive);
    ImageLock(const ImageLock &) = delete;
    ImageLock &operator=(const ImageLock &) = delete;
    ~ImageLock();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Entry stamps: what the tool's update_fn writes.
struct StampSource {
    std::optional<uint64_t> value; // unset: leave the stamp as it is
};
// Unix time in nanoseconds, or SOURCE_DATE_EPOCH when it is set.
uint64_t now_stamp();

// A mounted medium.
class Volume {
public:
    // Mounts `image` (total_pages × page_size bytes). With `must_exist`, a
    // medium without a valid root copy is refused instead of formatted. With
    // a `mirror_fd`, every program and erase also reaches that file at once
    // (the mount itself included), so the file always holds the medium as
    // the library left it; a failed file write fails the medium call.
    Volume(std::vector<uint8_t> image, const Params &params, bool must_exist = true, int mirror_fd = -1);
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    dace_state *state() { return state_; }
    const Params &params() const { return params_; }
    dace_sim::FlashSim &sim() { return *sim_; }
    const std::vector<uint8_t> &bytes() const { return sim_->bytes(); }
    StampSource &stamp() { return stamp_; }
    // The errno of the first write to the mirror file that failed since the
    // last call, or 0; the library saw that write fail as a medium fault.
    int take_mirror_error() { return std::exchange(mirror_error_, 0); }

    std::vector<dace_entry> entries();
    // Clusters of the chain starting at `clus`, as the mounted table links them.
    uint32_t chain_length(uint16_t clus) const;
    std::optional<dace_entry> stat(const std::string &name);

private:
    Params params_;
    std::unique_ptr<dace_sim::FlashSim> sim_;
    std::vector<uint64_t> block_;
    dace_state *state_ = nullptr;
    StampSource stamp_;
    int mirror_error_ = 0;
};

// Whether any cluster holds a valid root copy under these parameters.
bool has_valid_root(const std::vector<uint8_t> &image, const Params &p);

std::string entry_name(const dace_entry &e);
// The name with bytes that do not print shown as \xNN.
std::string printable(const std::string &name);

} // namespace dace_tool

#endif // DACE_TOOLS_IMAGE_H
