// The checks that the suites, the torture and the fuzz targets share. Each
// checker returns what is wrong, or an empty string when all is well, so
// that a GoogleTest suite can report it (EXPECT_EQ(..., "")) and a fuzz
// target can stop on it (FUZZ_CHECK_NONE). Nothing here depends on
// GoogleTest.
#ifndef DACE_TESTS_CHECKS_H
#define DACE_TESTS_CHECKS_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "dace/dace_internal.h"
#include "sim/flash_sim.h"

namespace dace_check {

using dace::kReservedClusters;

// The name an entry holds: up to its first NUL, or all 18 bytes.
inline std::string entry_name(const dace_entry &e) {
    size_t n = 0;
    while (n < sizeof e.name && e.name[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char *>(e.name), n);
}

// The allocator's counts agree with its table, whatever the medium held:
// free_clus, less what it owes, is the clusters it could still hand out
// (free, to be erased, or held) less the reserve kept for root moves, and
// held_count is the clusters held until the next commit.
inline std::string accounting_problems(const dace_state *s) {
    uint32_t usable = 0, held = 0;
    for (uint32_t i = 0; i < s->clus_count; ++i) {
        const uint16_t code = s->clus_table[i];
        usable += (code == CLUS_FREE || code == CLUS_DIRTY || code == CLUS_HELD) ? 1 : 0;
        held += code == CLUS_HELD ? 1 : 0;
    }
    std::string out;
    if (int64_t{s->free_clus} - s->free_deficit != int64_t{usable} - kReservedClusters)
        out += "free_clus " + std::to_string(s->free_clus) + " owing " + std::to_string(s->free_deficit) +
               ", but the table has " + std::to_string(usable) + " usable clusters, less " +
               std::to_string(kReservedClusters) + " in reserve";
    if (held != s->held_count)
        out += std::string(out.empty() ? "" : "; ") + "held_count " + std::to_string(s->held_count) +
               ", but the table holds " + std::to_string(held);
    return out;
}

// Every file's chain on a volume just mounted, as its table holds it: the
// chain stays on the medium, ends, takes one cluster for every payload the
// file's size begins, and shares no cluster with another chain or the root;
// each of its clusters in `medium` (the bytes of the whole medium) carries
// the data mark, the link the table holds, and a CRC over its header and
// payload.
inline std::string chain_problems(dace_state *s, const std::vector<uint8_t> &medium) {
    std::string out;
    const auto note = [&out](const std::string &what) { out += (out.empty() ? "" : "; ") + what; };
    std::vector<bool> claimed(s->clus_count, false);
    if (s->root_clus < s->clus_count)
        claimed[s->root_clus] = true;
    dace_dir dir;
    for (const dace_entry *e = dace_readdir(s, dace_opendir(s, &dir)); e != nullptr; e = dace_readdir(s, &dir)) {
        const std::string name = "'" + entry_name(*e) + "'";
        uint32_t hops = 0;
        bool broken = false;
        for (uint16_t c = e->clus; c != CLUS_END; c = s->clus_table[c], ++hops) {
            if (c >= s->clus_count || size_t{c + 1u} * s->clus_size > medium.size()) {
                note(name + " chains to cluster " + std::to_string(c) + ", outside the medium");
                broken = true;
                break;
            }
            if (hops >= s->clus_count) {
                note(name + " chains in a loop");
                broken = true;
                break;
            }
            if (claimed[c])
                note(name + " chains through cluster " + std::to_string(c) + ", which the root or another file holds");
            claimed[c] = true;
            const uint8_t *image = medium.data() + size_t{c} * s->clus_size;
            dace_clus_header h;
            std::memcpy(&h, image, sizeof h);
            const uint16_t head = dace_sim::crc16_ccitt(s->crc_seed, image, 6);
            const uint16_t crc = dace_sim::crc16_ccitt(head, image + sizeof h, s->clus_payload);
            if (h.magic != DATA_MAGIC || h.link != s->clus_table[c] || h.crc != crc)
                note("cluster " + std::to_string(c) + " of " + name + " has a damaged header (mark, link or CRC)");
        }
        const uint64_t needed = (uint64_t{e->size} + s->clus_payload - 1u) / s->clus_payload;
        if (!broken && hops != needed)
            note(name + " of " + std::to_string(e->size) + " bytes chains through " + std::to_string(hops) +
                 " clusters instead of " + std::to_string(needed));
    }
    return out;
}

} // namespace dace_check

#endif // DACE_TESTS_CHECKS_H
