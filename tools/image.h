// Images: an image is the raw content of the medium (an erased cluster
// reads 0xFF), the whole of a file or a part of a larger dump. Here is what
// is found in one before it is mounted (volume.h): the options that fix its
// setting, its geometry, CRC and size detected from its root headers, and
// how a refusal of the library is said.
#ifndef DACE_TOOLS_IMAGE_H
#define DACE_TOOLS_IMAGE_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "tools/crc_catalogue.h"
#include "tools/image_file.h"

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

// Whether every byte is erased (0xFF): a blank medium.
bool is_blank(const std::vector<uint8_t> &image);

std::string entry_name(const dace_entry &e);
// The name with bytes that do not print shown as \xNN.
std::string printable(const std::string &name);

} // namespace dace_tool

#endif // DACE_TOOLS_IMAGE_H
