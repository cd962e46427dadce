// A root copy cut short by a power cut ends in erased bytes. Its 16-bit
// CRCs catch that but for one copy in 65536, which the power-cut torture
// met: the mount then took a directory with erased entries and dropped
// every file the copy before it held.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_support.h"

namespace dace_test {
namespace {

// Writes at page 0 of `clus` a copy of `entries` in `pages` pages of which
// only the first `programmed` bytes reached the medium, with CRCs that match
// what did: the one-in-65536 case.
void plant_torn_root(FlashSim &sim, const dace_config &cfg, uint32_t clus, uint32_t seq,
                     const std::vector<dace_entry> &entries, uint16_t pages, uint32_t programmed) {
    std::vector<uint8_t> copy(size_t{pages} * cfg.page_size, 0);
    std::memcpy(copy.data() + 32, entries.data(), 32 * entries.size());
    std::memset(copy.data() + programmed, 0xFF, copy.size() - programmed);
    dace_root h{};
    h.magic = ROOT_MAGIC;
    h.seq = seq;
    h.page_size = cfg.page_size;
    h.clus_pages = cfg.clus_pages;
    h.pages = pages;
    h.count = static_cast<uint16_t>(entries.size());
    h.head_crc = crc(&h, 28, cfg.crc_seed);
    h.files_crc = crc(copy.data() + 32, 32 * entries.size(), cfg.crc_seed);
    std::memcpy(copy.data(), &h, 32);
    std::memcpy(sim.cluster(clus), copy.data(), copy.size());
}

TEST(Mount, TornCopyWhoseCrcsMatchIsNotTaken) {
    const std::vector<dace_entry> seven = named({"a", "b", "c", "d", "e", "f", "g"});
    struct Torn {
        const char *what;
        int entries;
        uint32_t programmed;
    };
    for (const Torn &t : {Torn{"the last entries erased, no fill", 7, 32 + 5 * 32},
                          Torn{"an entry and the fill cut short", 3, 32 + 2 * 32 + 20},
                          Torn{"only the fill cut short", 3, 32 + 3 * 32 + 50}}) {
        SCOPED_TRACE(t.what);
        Volume v;
        plant_root(v.sim, v.cfg, 3, 0, 4, named({"kept"}));
        plant_torn_root(v.sim, v.cfg, 5, 5, {seven.begin(), seven.begin() + t.entries}, 1, t.programmed);
        ASSERT_NE(v.mount(), nullptr);
        EXPECT_EQ(v.s->root_clus, 3);
        ASSERT_EQ(v.count(), 1);
        EXPECT_EQ(entry_name(v.entries()[0]), "kept");
    }
}

} // namespace
} // namespace dace_test
