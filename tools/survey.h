// A read-only survey of a medium straight from its bytes: every root log,
// every file's chain with its clusters' data CRCs, and what each cluster
// holds. `check` prints its problems and `map` draws it; they exist to see
// what the mount would hide, so they walk the chains themselves, but which
// root copy counts they take from the library's own rules, so that they
// always look at the copy the mount uses.
#ifndef DACE_TOOLS_SURVEY_H
#define DACE_TOOLS_SURVEY_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "tools/image.h"

namespace dace_tool {

// A root copy as the library's rules judge it (dace_judge_copy): its
// verdict is one of DACE_COPY_*.
struct RootCopy {
    uint32_t page = 0;
    dace_root head{};
    int verdict = DACE_COPY_VALID;
};
// The verdict in words.
const char *describe_copy(int verdict);

// The log of one root cluster as the mount walks it (dace_walk_root): the
// unbroken run of valid copies from page 0, then the copy that ended it
// (if any page was left).
struct RootLog {
    uint32_t clus = 0;
    std::vector<RootCopy> copies;
    int last_valid = -1;         // index into copies, -1 when none is valid
    uint32_t end_page = 0;       // page after the last valid copy
    bool tail_blank = true;      // the pages after the run read erased
    bool other_geometry = false; // page 0 is a sound header of another geometry: the mount refuses the medium
    // The run last records another volume size: when this log is the one in
    // force the mount refuses the medium, else it is stale.
    bool other_size = false;
    uint16_t recorded = 0;       // the cluster count the run last records; 0 when no copy records one
    uint32_t recorded_page = 0;  // the page of the copy that records it
    // A valid copy lies past the one that ended the run: commits after it
    // are hidden, which a power cut cannot do (it only tears the last write).
    bool valid_after_stop = false;
    uint32_t seq() const { return last_valid >= 0 ? copies[size_t(last_valid)].head.seq : 0; }
    uint32_t page() const { return last_valid >= 0 ? copies[size_t(last_valid)].page : 0; }
};

// Walks the log of the cluster image `clus` (clus_size bytes).
RootLog walk_root_log(const uint8_t *clus, uint32_t clus_index, const Params &p);

// The cluster count that the image's volume records: that of the root in
// force, the newest root cluster with a valid copy (judged by the library's
// rules whatever size it records; between equal generations one that
// records a size, since a mount of any other size refuses such a tie). A
// root cluster that lies past the volume it records is not the volume's.
// Nothing when the root in force records no size (writers before it was
// recorded): a mount of any size takes it. `p` gives the geometry and CRC;
// its size is not used.
std::optional<uint16_t> recorded_clusters(const std::vector<uint8_t> &image, const Params &p);

enum class ClusKind : uint8_t {
    Free,     // erased
    Root,     // the root cluster in force
    OldRoot,  // an earlier root cluster, erased when reused
    File,     // reached by a file's chain
    Stale,    // released data or other content, erased when reused
    Bad,      // bad mark
    Missing,  // past the end of an image cut short: what it held is lost
};

struct FileChain {
    dace_entry entry{};
    std::string name;
    std::vector<uint16_t> clusters; // newest first, as far as the walk went
    // The first problem found with this file's chain, empty when none: its
    // data cannot all be read.
    std::string damage;
    bool broken = false; // the walk ended at a fault: some of the data is out of reach
};

struct Survey {
    Params params;
    uint32_t clus_count = 0;
    std::vector<ClusKind> kind;
    std::vector<int32_t> owner;     // file index for ClusKind::File, else -1
    std::vector<uint8_t> conflict;  // nonzero where a problem was found
    std::vector<RootLog> roots;     // every cluster that starts with a root mark
    int chosen = -1;                // index into roots of the log in force
    std::vector<FileChain> files;
    std::vector<std::string> problems;
    std::vector<std::string> notes;
    uint32_t data_clusters_checked = 0;
    bool beyond_end = false;        // a chain links past the last cluster
    uint32_t beyond_max = 0;        // then the highest cluster a chain names there
    uint64_t held = 0;              // bytes of the medium that the image holds
    uint16_t recorded_clusters = 0; // what the copy in force records; 0: no size recorded

    const RootLog *root() const { return chosen >= 0 ? &roots[size_t(chosen)] : nullptr; }
    // The image ends before the medium does (ClusKind::Missing).
    bool cut_short() const { return held < params.medium_bytes(); }
    // The file a lookup of `name` finds (the first entry bearing it), or null.
    const FileChain *file(const std::string &name) const;
};

// What is wrong with data cluster `c` of the image, in words (no data mark,
// a CRC that does not match), or empty when it is sound.
std::string data_cluster_fault(const std::vector<uint8_t> &image, const Params &p, uint16_t c);

// `image` holds the medium of `p`, or the start of it when the image is cut
// short: the clusters it does not hold whole are Missing, a problem, and a
// chain that reaches one is damaged there. `progress(done, total)` is told
// as the files are walked; without `verify_data` the data CRCs are not
// computed.
Survey survey_image(const std::vector<uint8_t> &image, const Params &p,
                    const std::function<void(uint64_t, uint64_t)> &progress = {}, bool verify_data = true);

// The size at which to mount an image cut short so that what is intact can
// be read, its missing end reading erased (VolumeOptions::
// missing_reads_erased): the size of `p` when the image holds less of it
// (the size its root records), or for a volume that records no size, up to
// the last cluster its directory names. False when nothing is cut off, or
// the format cannot address the missing end.
bool size_to_read(const Survey &sv, Params &p);

} // namespace dace_tool

#endif // DACE_TOOLS_SURVEY_H
