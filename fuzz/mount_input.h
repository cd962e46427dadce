// How an input of the mount target is laid out, shared by the target and by
// the generator of its seeds: a 5-byte header, then the medium's bytes.
//
//   byte 0     setup: index into kMountSetups (modulo its size)
//   byte 1     flags (MountFlag)
//   byte 2     bits 0-1: max_files - 1; bits 2-7: the page that reads
//              unstably with kUnstablePage
//   bytes 3-4  crc_seed, little-endian
//   then       the image; bytes past its end read as erased (0xFF)
#ifndef DACE_FUZZ_MOUNT_INPUT_H
#define DACE_FUZZ_MOUNT_INPUT_H

#include <cstddef>
#include <cstdint>

#include "sim/flash_sim.h"

namespace dace_fuzz {

struct MountSetup {
    dace_sim::Geometry geometry;
    uint16_t geometry_tag;
};

// Small media, so that an image is a few KiB and every cluster is within
// the fuzzer's reach: one root cluster holds three to fifteen entries.
inline constexpr MountSetup kMountSetups[] = {
    {{32, 4, 32}, 0},  // 8 clusters of 128 bytes: the fewest a volume may have
    {{64, 2, 40}, 0},  // 20 clusters of 128 bytes
    {{64, 4, 48}, 2},  // 12 clusters of 256 bytes, a geometry tag
    {{32, 8, 75}, 0},  // 9 clusters of 256 bytes and 3 trailing pages
    {{128, 4, 32}, 0}, // 8 clusters of 512 bytes
};
inline constexpr size_t kMountSetupCount = sizeof(kMountSetups) / sizeof(kMountSetups[0]);

inline constexpr size_t kMountHeaderSize = 5;

enum MountFlag : uint8_t {
    // Recompute the CRCs of every root copy header found at a page start, so
    // that the fuzzer reaches what lies behind them (counts, entries, links).
    kFixRootCrcs = 1,
    // After the checks, change every file (append, truncate, rename, remove),
    // create one, and mount the result again.
    kChangeAfterMount = 2,
    // One page (byte 2) reads differently each time, as cells left half
    // programmed do; answers may then disagree, but nothing may be read or
    // written outside the buffers.
    kUnstablePage = 4,
    // Reads verify each cluster's mark, link and CRC.
    kVerifyReads = 8,
};

} // namespace dace_fuzz

#endif // DACE_FUZZ_MOUNT_INPUT_H
