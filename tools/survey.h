// A read-only survey of a medium straight from its bytes: every root log,
// every file's chain with its clusters' data CRCs, and what each cluster
// holds. `check` prints its problems and `map` draws it; neither trusts the
// mount, since they exist to see what the mount would hide.
#ifndef DACE_TOOLS_SURVEY_H
#define DACE_TOOLS_SURVEY_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "tools/image.h"

namespace dace_tool {

// Why the walk of a root log stopped at a copy.
enum class CopyFault : uint8_t {
    None,            // valid
    NoMark,          // no root mark: the normal end of the log
    OtherGeneration, // a leftover of an earlier use of the cluster
    HeadCrc,
    Geometry,
    Size,            // pages or count leave the cluster
    FilesCrc,
};
const char *describe(CopyFault f);

struct RootCopy {
    uint32_t page = 0;
    dace_root head{};
    CopyFault fault = CopyFault::None;
};

// The copies of one root cluster from page 0: the unbroken run of valid
// ones, then the copy that ended it (if any page was left).
struct RootLog {
    uint32_t clus = 0;
    std::vector<RootCopy> copies;
    int last_valid = -1;    // index into copies, -1 when none is valid
    uint32_t end_page = 0;  // page after the last valid copy
    bool tail_blank = true; // the pages after the run read erased
    uint32_t seq() const { return last_valid >= 0 ? copies[size_t(last_valid)].head.seq : 0; }
};

// Walks the log of the cluster image `clus` (clus_size bytes).
RootLog walk_root_log(const uint8_t *clus, uint32_t clus_index, const Params &p);
// Whether the copy at `copy` (within a cluster) is valid; the header CRC and
// the entries' CRC under the parameters.
CopyFault judge_copy(const uint8_t *copy, uint32_t page, const Params &p, uint32_t page0_seq, bool first);

enum class ClusKind : uint8_t {
    Free,     // erased
    Root,     // the root cluster in force
    OldRoot,  // an earlier root cluster, erased when reused
    File,     // reached by a file's chain
    Stale,    // released data or other content, erased when reused
    Bad,      // bad mark
};

struct FileChain {
    dace_entry entry{};
    std::string name;
    std::vector<uint16_t> clusters; // newest first, as far as the walk went
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

    const RootLog *root() const { return chosen >= 0 ? &roots[size_t(chosen)] : nullptr; }
};

// `progress(done, total)` is told as the files are walked; without
// `verify_data` the data CRCs are not computed.
Survey survey_image(const std::vector<uint8_t> &image, const Params &p,
                    const std::function<void(uint64_t, uint64_t)> &progress = {}, bool verify_data = true);

} // namespace dace_tool

#endif // DACE_TOOLS_SURVEY_H
