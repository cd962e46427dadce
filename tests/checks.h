// The checks that the suites, the torture and the fuzz targets share. Each
// checker returns what is wrong, or an empty string when all is well, so
// that a GoogleTest suite can report it (EXPECT_EQ(..., "")) and a fuzz
// target can stop on it (FUZZ_CHECK_NONE). Nothing here depends on
// GoogleTest.
#ifndef DACE_TESTS_CHECKS_H
#define DACE_TESTS_CHECKS_H

#include <cstdint>
#include <string>

#include "dace/dace.h"
#include "dace/dace_internal.h"

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

} // namespace dace_check

#endif // DACE_TESTS_CHECKS_H
