// Mounting media that no correct writer produced: root copies with sound
// CRCs but arbitrary entries, and data headers with arbitrary links. The
// mount must never read or write outside its buffers, must end, and must
// leave a cluster table in which no cluster serves two chains.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "test_support.h"

namespace dace_test {
namespace {

// Checks the table the mount built against its own rules.
void check_table(const Volume &v, const std::string &where) {
    const dace_state *s = v.s;
    for (uint32_t i = 0; i < s->clus_count; ++i) {
        const uint16_t code = s->clus_table[i];
        ASSERT_TRUE(code < s->clus_count || code == CLUS_END || code == CLUS_FREE || code == CLUS_DIRTY ||
                    code == CLUS_BAD)
            << where << ": cluster " << i << " has code " << code;
    }
    EXPECT_EQ(accounting_problems(s), "");

    std::set<uint16_t> claimed{s->root_clus};
    for (uint32_t e = 0; e < v.count(); ++e) {
        uint16_t c = v.entries()[e].clus;
        for (uint32_t steps = 0; c != CLUS_END; ++steps) {
            ASSERT_LT(c, s->clus_count) << where << ": entry " << e;
            ASSERT_TRUE(claimed.insert(c).second) << where << ": cluster " << c << " claimed twice";
            ASSERT_LE(steps, s->clus_count) << where << ": chain of entry " << e << " does not end";
            c = s->clus_table[c];
        }
    }
}

TEST(MountRobustness, ArbitraryEntriesAndLinksBuildASoundTable) {
    const uint32_t seed = test_seed(20261207);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 gen(seed);
    auto rng = [&gen] { return static_cast<uint32_t>(gen()); };
    const Geometry g{256, 4, 128}; // 32 clusters of 1 KiB
    for (int round = 0; round < 2000; ++round) {
        Volume v(g);
        const uint32_t clusters = v.sim.cluster_count();
        auto any_clus = [&] {
            // Mostly real cluster numbers, sometimes codes and wild values.
            const uint32_t pick = rng() % 10;
            if (pick == 0)
                return static_cast<uint16_t>(rng());
            if (pick == 1)
                return static_cast<uint16_t>(CLUS_END);
            return static_cast<uint16_t>(rng() % clusters);
        };
        for (uint32_t c = 0; c < clusters; ++c) {
            switch (rng() % 4) {
            case 0:
                plant_data(v.sim, v.cfg, c, any_clus(), static_cast<uint8_t>(rng()));
                break;
            case 1:
                plant_word(v.sim, c, BAD_MARK);
                break;
            default:
                break; // blank
            }
        }
        std::vector<dace_entry> entries;
        const uint32_t n = rng() % 12;
        for (uint32_t i = 0; i < n; ++i)
            entries.push_back(make_entry("f" + std::to_string(i), rng() % 5000, any_clus()));
        const uint32_t root = rng() % clusters;
        plant_root(v.sim, v.cfg, root, 0, 1 + rng() % 3, entries);

        const std::string where = "round " + std::to_string(round);
        v.leave_unchecked("plants broken chains on purpose; check_table checks what must hold");
        if (v.mount() == nullptr)
            continue; // every usable cluster bad: refusing is fine
        check_table(v, where);
        if (HasFailure())
            return;
        // The successor walk ends inside the table for every file.
        for (uint32_t e = 0; e < v.count(); ++e) {
            dace_file probe{};
            probe.entry = static_cast<uint16_t>(e);
            for (uint32_t c = 0; c < v.s->clus_count; ++c)
                (void)dace_next_clus(v.s, &probe, static_cast<uint16_t>(c));
        }
    }
}

// Headers that lie about their size or page count are not trusted.
TEST(MountRobustness, RootHeadersThatOverrunTheClusterAreIgnored) {
    const Geometry g{256, 4, 128};
    for (uint16_t pages : {uint16_t{0}, uint16_t{5}, uint16_t{0xFFFF}}) {
        for (uint16_t count : {uint16_t{0}, uint16_t{8}, uint16_t{0xFFFF}}) {
            Volume v(g);
            dace_root h{};
            h.magic = ROOT_MAGIC;
            h.seq = 9;
            h.page_size = v.cfg.page_size;
            h.clus_pages = v.cfg.clus_pages;
            h.pages = pages;
            h.count = count;
            dace_check::put_root(v.sim.cluster(3), h);
            dace_check::put_le16(v.sim.cluster(3) + 28, crc(v.sim.cluster(3), 28, v.cfg.crc_seed));
            // Only a header that fits counts; the others are no root that
            // counts, and the mount refuses rather than format over them.
            const bool fits = pages != 0 && pages <= 4 && uint32_t{count} * 32 + 32 <= uint32_t{pages} * 256;
            if (!fits) {
                EXPECT_EQ(v.mount(), nullptr) << pages << " pages, " << count << " entries";
            } else if (v.mount() != nullptr) {
                EXPECT_EQ(v.s->root_clus, 3) << pages << " pages, " << count << " entries";
            }
        }
    }
}

} // namespace
// Rule 6: any one read of a mount may fail: the mount then refuses, or every
// file reads back whole or cannot be opened, and nothing this mount writes
// overwrites a committed cluster, so a later mount finds every file whole.
TEST(MountRobustness, FailedReadAtMountNeverCostsCommittedData) {
    const Geometry g{256, 1, 64};
    const std::vector<uint8_t> three = pattern_bytes(3 * 248, 1);
    const std::vector<uint8_t> one = pattern_bytes(100, 2);
    Volume probe(g);
    ASSERT_NE(probe.mount(), nullptr);
    for (const auto &[name, bytes] : {std::pair{"three", three}, std::pair{"one", one}}) {
        const dace_handle h = dace_create(probe.s, name);
        ASSERT_EQ(write_bytes(probe.s, h, bytes), bytes.size());
        ASSERT_EQ(dace_close(probe.s, h), DACE_OK);
    }
    probe.sim.reset_counters();
    ASSERT_NE(probe.mount(), nullptr);
    const uint64_t reads = probe.sim.counters().read_calls;

    for (uint64_t nth = 1; nth <= reads; ++nth) {
        for (const uint32_t done : {0u, 5u}) {
            SCOPED_TRACE("read " + std::to_string(nth) + " gives " + std::to_string(done) + " bytes");
            Volume v(g);
            v.sim.bytes() = probe.sim.bytes();
            v.sim.fail_read(nth, done);
            if (v.mount() == nullptr)
                continue;
            for (const auto &[name, bytes] : {std::pair{"three", three}, std::pair{"one", one}}) {
                const dace_handle h = dace_open(v.s, name);
                if (h != 0) {
                    EXPECT_EQ(read_rest(v.s, h), bytes) << name;
                    EXPECT_EQ(dace_close(v.s, h), DACE_OK);
                }
            }
            // Use every cluster this mount will hand out.
            const dace_handle fill = dace_create(v.s, "fill");
            ASSERT_NE(fill, 0u);
            while (write_bytes(v.s, fill, pattern_bytes(248, 3)) != 0) {
            }
            ASSERT_EQ(dace_close(v.s, fill), DACE_OK);

            v.sim.reboot();
            ASSERT_NE(v.mount(), nullptr);
            EXPECT_EQ(file_bytes(v.s, "three"), three);
            EXPECT_EQ(file_bytes(v.s, "one"), one);
            if (HasFailure())
                return;
        }
    }
}

} // namespace dace_test
