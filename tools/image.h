// Images and the medium behind them: an image is the raw content of the
// medium (an erased cluster reads 0xFF), the whole of a file or a part of a
// larger dump. It is loaded into the tool's own medium (image_medium.h),
// mounted through the library (dace_mount to read, which never writes;
// dace_init for a change) and written back only once a command has
// succeeded (image_file.h).
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
#include "tools/crc_catalogue.h"
#include "tools/image_file.h"
#include "tools/image_medium.h"

namespace dace_tool {

// What the command line said; unset fields are found from the image.
struct Options {
    std::optional<uint16_t> page_size;
    std::optional<uint16_t> clus_pages;
    std::optional<uint16_t> geometry_tag;
    std::optional<uint16_t> max_files;
    std::optional<std::string> crc;
    std::optional<uint16_t> crc_seed;
    std::optional<uint64_t> pages; // the medium's size; unset: what the root records, else the rest of the file
    uint64_t offset = 0;           // where the medium starts in the file
    bool wait = true;              // wait for other commands that hold the image
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
    uint64_t medium_bytes() const { return uint64_t{total_pages} * page_size; }
};

// Parameters for a new medium: the options, or the defaults. A medium of
// 65536 pages or more is refused with the page size that would fit it.
Params params_for_new(const Options &opt, uint64_t total_pages);
// Refuses geometry the library cannot hold (dace_check_config), naming the
// option at fault.
void check_geometry(const Params &p);
// The configuration of a medium under these parameters, its medium
// callbacks left empty: what the library's rules for root copies need.
dace_config config_of(const Params &p);

struct Detection {
    Params params;
    std::string how;                   // one line: which values came from the image
    std::vector<std::string> warnings; // what a reading command should still say
    // The cluster count the image's root records; unset for a volume of a
    // writer that recorded none (then the file or --pages gives the size).
    std::optional<uint16_t> recorded_clusters;
    bool pages_given = false; // --pages set the size
};

// A call the library refused or could not complete, with the reason it
// gave (DACE_E_*, from dace_error or dace_init_error): reason_of gives the
// errno for it, and the message holds the table's line for it unless a
// line that says more (a cut-short image, a recorded size) stands instead.
struct LibraryError : Error {
    LibraryError(const std::string &what, int reason_code) : Error(what), reason(reason_code) {}
    int reason;
};

// `what`, the table's line for `reason`, then `hint`: "WHAT: LINE HINT".
LibraryError library_error(const std::string &what, int reason, const std::string &hint = {});

// A --pages that differs from the size the image's root records: the
// library mounts a volume only at that size (DACE_E_SIZE_MISMATCH).
struct SizeMismatch : LibraryError {
    SizeMismatch(uint32_t recorded, uint64_t asked);
    uint32_t recorded_pages;
    uint64_t asked_pages;
};

// Finds the geometry and CRC of an existing image from its root headers and
// their CRCs, taking every value the options fix as given. The medium's
// size is what the root records (SizeMismatch when --pages says another),
// or for a volume that records none, --pages or every whole page of
// `image`. `image` may hold less than that size: an image cut short, which
// the caller names so (cut_short_text). For a volume that records no size,
// a reading command (`for_change` false) takes the whole pages of an image
// cut within a page, with a warning. Throws Error naming the options to
// pass when the image leaves them open.
Detection detect(const std::vector<uint8_t> &image, const Options &opt, bool for_change = false);

// Says that an image of `held` bytes is shorter than the medium of `p`:
// "the image is cut short: it holds ... of the ... bytes of its volume ...".
std::string cut_short_text(uint64_t held, const Params &p);

// Entry stamps: what the tool's update_fn writes.
struct StampSource {
    std::optional<uint64_t> value; // unset: leave the stamp as it is
};
// Unix time in nanoseconds, or SOURCE_DATE_EPOCH when it is set.
uint64_t now_stamp();

// How a Volume mounts its medium.
enum class Mounting : uint8_t {
    // dace_mount, on a medium that refuses every program and erase: what a
    // reading command or a read-only mount uses, so that nothing it does can
    // change the medium.
    Read,
    // dace_init, on a medium where dace_mount finds a volume first: a change
    // is made only to a volume that is there, never to a blank medium or
    // other data that dace_init would format.
    Change,
    // dace_format: an empty volume, whatever the medium holds.
    Format,
};

// How a Volume starts and where its changes go besides its memory.
struct VolumeOptions {
    Mounting mounting = Mounting::Change;
    // Every program and erase also reaches this file at once, the medium
    // starting at `mirror_origin` (the mount included), so the file always
    // holds the medium as the library left it; a failed file write fails
    // the medium call.
    int mirror_fd = -1;
    uint64_t mirror_origin = 0;
    // Keep every program and erase, for write_in_place.
    bool journal = false;
    // The image may be cut short: the pages past its end read erased, so
    // that what is intact can be read (ImageMedium). Only for reading: a
    // change must never be saved from such a volume.
    bool missing_reads_erased = false;
};

// A mounted medium.
class Volume {
public:
    // Mounts `image` (total_pages × page_size bytes) as `vo` says. A mount
    // the library refuses is a LibraryError with dace_init_error's reason.
    Volume(std::vector<uint8_t> image, const Params &params, const VolumeOptions &vo);
    // With `must_exist`, Mounting::Change; without, Mounting::Format.
    Volume(std::vector<uint8_t> image, const Params &params, bool must_exist = true, int mirror_fd = -1)
        : Volume(std::move(image), params,
                 VolumeOptions{must_exist ? Mounting::Change : Mounting::Format, mirror_fd, 0, false, false}) {}
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    dace_state *state() { return state_; }
    const Params &params() const { return params_; }
    const std::vector<uint8_t> &bytes() const { return medium_->bytes(); }
    StampSource &stamp() { return stamp_; }
    // The errno of the first write to the mirror file that failed since the
    // last call, or 0; the library saw that write fail as a medium fault.
    int take_mirror_error() { return medium_->take_mirror_error(); }

    // Every program and erase since the mount, when VolumeOptions::journal.
    const std::vector<MediumWrite> &journal() const { return medium_->journal(); }

    std::vector<dace_entry> entries();
    // Clusters of the chain starting at `clus`, as the mounted table links
    // them, newest first.
    std::vector<uint16_t> chain(uint16_t clus) const;
    uint32_t chain_length(uint16_t clus) const { return static_cast<uint32_t>(chain(clus).size()); }
    std::optional<dace_entry> stat(const std::string &name);
    // The reason of the last library call on this volume (dace_error) as an
    // error: library_error(what, reason, hint).
    LibraryError failure(const std::string &what, const std::string &hint = {}) const;

private:
    Params params_;
    std::unique_ptr<ImageMedium> medium_;
    std::vector<uint64_t> block_;
    dace_state *state_ = nullptr;
    StampSource stamp_;
};

// Whether every byte is erased (0xFF): a blank medium.
bool is_blank(const std::vector<uint8_t> &image);

std::string entry_name(const dace_entry &e);
// The name with bytes that do not print shown as \xNN.
std::string printable(const std::string &name);

} // namespace dace_tool

#endif // DACE_TOOLS_IMAGE_H
