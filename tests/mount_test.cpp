// dace_init after the layout step: the scan for the newest root copy, the
// rebuild of the cluster table from the file chains, and the format of a
// medium that holds no valid root.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Call;
using dace_sim::Op;

namespace {

constexpr uint32_t kClusters = 128; // small_nor()
constexpr uint32_t kPages = 8;

Call rd(uint32_t page, uint32_t count) { return Call{Op::Read, page, count, count}; }

// Which read call (1 = first) is the `occurrence`-th read of `count` bytes
// at `page`: the number to hand to fail_read.
uint64_t read_ordinal(const std::vector<Call> &log, uint32_t page, uint32_t count, int occurrence) {
    uint64_t n = 0;
    for (const Call &c : log) {
        if (c.op != Op::Read)
            continue;
        ++n;
        if (c.addr == page && c.count == count && --occurrence == 0)
            return n;
    }
    ADD_FAILURE() << "no such read";
    return 0;
}


} // namespace

// ---- format -----------------------------------------------------------------

TEST(Format, BlankMediumGetsOnePageRootAtClusterZero) {
    Volume v;
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);

    // A header read per cluster, nothing more of the free space; the cluster
    // the format takes read whole once to prove it erased; the root's CRCs
    // and one page. No erase.
    std::vector<Call> expected;
    for (uint32_t c = 0; c < kClusters; ++c)
        expected.push_back(rd(c * kPages, 8));
    expected.push_back(rd(0, 2048));
    const uint16_t head = crc(v.sim.cluster(0), 28, 0xFFFF);
    expected.push_back(Call{Op::Crc, 0, 28, head});
    expected.push_back(Call{Op::Crc, 0, 28, head});
    expected.push_back(Call{Op::Crc, 0, 0, 0xFFFF});
    expected.push_back(Call{Op::Write, 0, 256, 256});
    EXPECT_EQ(shown(v.sim.log()), shown(expected));

    const dace_root *h = copy_on_medium(v.sim, 0, 0);
    EXPECT_EQ(h->magic, ROOT_MAGIC);
    EXPECT_EQ(h->seq, 1u);
    EXPECT_EQ(h->page_size, 256);
    EXPECT_EQ(h->clus_pages, 8);
    EXPECT_EQ(h->geometry_tag, 0);
    EXPECT_EQ(h->pages, 1);
    EXPECT_EQ(h->count, 0);
    EXPECT_EQ(h->clus_count, v.sim.cluster_count());
    EXPECT_EQ(h->version, DACE_FORMAT_VERSION);
    EXPECT_EQ(h->reserved2 | h->reserved3, 0u);
    EXPECT_EQ(h->head_crc, head);
    EXPECT_EQ(h->files_crc, 0xFFFF);
    const uint8_t *c0 = v.sim.cluster(0);
    EXPECT_TRUE(std::all_of(c0 + 32, c0 + 256, [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(std::all_of(c0 + 256, c0 + v.sim.bytes().size(), [](uint8_t b) { return b == 0xFF; }));

    EXPECT_EQ(s->root_clus, 0);
    EXPECT_EQ(s->root_page, 0);
    EXPECT_EQ(s->root_end, 1);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(s->root), s->root_buf);
    EXPECT_EQ(s->clus_table[0], CLUS_END);
    for (uint32_t c = 1; c < kClusters; ++c)
        EXPECT_EQ(s->clus_table[c], CLUS_FREE) << c;
    uint32_t total = 0;
    EXPECT_EQ(dace_getfreespace(s, &total), (kClusters - kReservedClusters - 1) * 2048);
    EXPECT_EQ(total, kClusters * 2048);
}

TEST(Format, ZeroedMediumCountsAsErased) {
    Volume v;
    v.sim.fill(0x00);
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    // Zero bytes cannot take a program: the cluster the format takes is
    // erased first, the others when they are first taken.
    const std::vector<std::string> calls = medium_calls(v.sim.log());
    EXPECT_EQ(calls.size(), kClusters + 3);
    EXPECT_EQ(calls[calls.size() - 2], show(Call{Op::Erase, 0, 1, 1}));
    EXPECT_EQ(calls.back(), show(Call{Op::Write, 0, 256, 256}));
    EXPECT_EQ(s->root_clus, 0);
    for (uint32_t c = 1; c < kClusters; ++c)
        EXPECT_EQ(s->clus_table[c], CLUS_FREE) << c;
    EXPECT_EQ(s->free_clus, kClusters - kReservedClusters - 1);
}

TEST(Format, SkipsBadClusters) {
    Volume v;
    plant_word(v.sim, 0, BAD_MARK);
    plant_word(v.sim, 6, BAD_MARK);
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(medium_calls(v.sim.log()).back(), show(Call{Op::Write, 8, 256, 256}));
    EXPECT_EQ(s->root_clus, 1);
    EXPECT_EQ(s->clus_table[0], CLUS_BAD);
    EXPECT_EQ(s->clus_table[6], CLUS_BAD);
    EXPECT_EQ(s->free_clus, kClusters - kReservedClusters - 2 - 1);
    EXPECT_EQ(accounting_problems(s), "");
}

// A cluster that cannot be read may hold the newest root or a file's
// clusters: the mount refuses rather than format over the volume, roll it
// back, or let the allocator erase what it cannot see. A read that falls
// short once is tried again.
TEST(Format, UnreadableClusterRefusesTheMount) {
    for (const bool rooted : {false, true}) {
        SCOPED_TRACE(rooted ? "with a root" : "blank");
        Volume v;
        if (rooted)
            plant_root(v.sim, v.cfg, 5, 0, 3, named({"kept"}));
        v.sim.make_unreadable(3);
        v.sim.set_logging(true);
        EXPECT_EQ(v.mount(), nullptr);
        for (const Call &c : v.sim.log())
            EXPECT_TRUE(c.op != Op::Write && c.op != Op::Erase);

        v.sim.clear_faults();
        v.sim.fail_read(4); // the first 8-byte read of cluster 3
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_clus, rooted ? 5 : 0);
        EXPECT_EQ(s->clus_table[3], CLUS_FREE);
        EXPECT_EQ(accounting_problems(s), "");
    }
}

// Damaged copies and copies of generation 0 are no root, but they are this
// file system's: the mount refuses and changes nothing, since formatting
// would lose the volume. A deliberate format makes it an empty one.
TEST(Format, DamagedRootsRefuseTheMountUntilADeliberateFormat) {
    Volume v;
    plant_root(v.sim, v.cfg, 0, 0, 7, named({"a", "b"}));
    plant_root(v.sim, v.cfg, 0, 1, 7, named({"a"}));
    v.sim.cluster(0)[40] ^= 1; // an entry byte of page 0: the files CRC fails
    plant_root(v.sim, v.cfg, 1, 0, 0, named({"c"}));
    plant_data(v.sim, v.cfg, 5, CLUS_END, 0x11);
    const std::vector<uint8_t> before = v.sim.bytes();
    v.sim.set_logging(true);
    EXPECT_EQ(v.mount(), nullptr);
    EXPECT_TRUE(medium_changes(v.sim.log()).empty());
    EXPECT_EQ(v.sim.bytes(), before);

    dace_state *s = v.format();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root->seq, 1u);
    EXPECT_EQ(s->root->count, 0);
    EXPECT_EQ(s->clus_table[5], CLUS_DIRTY) << "old data is erased when reused";
    ASSERT_NE(dace_create(s, "new"), 0u);
    ASSERT_EQ(dace_commit_root(s), 0);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(v.count(), 1);
    EXPECT_EQ(entry_name(v.entries()[0]), "new");
    EXPECT_EQ(accounting_problems(s), "");
}

TEST(Format, RefusedWhenOnlyTheReserveIsLeft) {
    // Eight clusters: four may be handed out before the reserve.
    for (uint32_t bad : {3u, 4u, 5u}) {
        SCOPED_TRACE(bad);
        Volume v(Geometry{256, 8, 64});
        for (uint32_t c = 0; c < bad; ++c)
            plant_word(v.sim, c, BAD_MARK);
        v.sim.set_logging(true);
        dace_state *s = v.mount();
        const auto writes = std::count_if(v.sim.log().begin(), v.sim.log().end(),
                                          [](const Call &c) { return c.op == Op::Write || c.op == Op::Erase; });
        if (bad == 3) {
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->root_clus, 3);
            EXPECT_EQ(s->free_clus, 0);
            EXPECT_EQ(writes, 1);
        } else {
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(writes, 0);
        }
    }
}

// A format whose write fell short still mounts; the next commit writes the
// empty root again, in a fresh cluster of the next generation.
TEST(Format, ShortFormatWriteIsWrittenAgainElsewhere) {
    Volume v;
    v.sim.fail_write(1, 0);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_end, 1);
    EXPECT_NE(s->root_unsaved, 0);
    EXPECT_EQ(v.sim.cluster(0)[0], 0xFF);

    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(s->root_unsaved, 0);
    EXPECT_EQ(s->root_clus, 1);
    EXPECT_EQ(s->clus_table[0], CLUS_DIRTY);

    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_clus, 1);
    EXPECT_EQ(s->root->seq, 2u);
    EXPECT_EQ(s->root->count, 0);
}

// ---- choice of the root -------------------------------------------------------

TEST(Mount, PicksNewestGenerationLowerClusterOnTie) {
    struct Case {
        std::vector<std::pair<uint32_t, uint32_t>> roots; // cluster, seq
        uint16_t chosen;
    };
    const Case cases[] = {
        {{{2, 5}, {7, 6}}, 7},
        {{{9, 6}, {7, 6}}, 7},
        {{{1, 7}, {3, 0x80000000u}}, 3}, // unsigned comparison
        {{{1, 0}, {4, 3}}, 4},
    };
    for (const Case &k : cases) {
        Volume v;
        for (auto [clus, seq] : k.roots)
            plant_root(v.sim, v.cfg, clus, 0, seq, {make_entry("c" + std::to_string(clus), 0, CLUS_END)});
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_clus, k.chosen);
        EXPECT_EQ(entry_name(v.entries()[0]), "c" + std::to_string(k.chosen));
        EXPECT_EQ(s->clus_table[k.chosen], CLUS_END);
        for (auto [clus, seq] : k.roots) {
            if (clus != k.chosen) {
                EXPECT_EQ(s->clus_table[clus], CLUS_DIRTY) << clus;
            }
        }
        EXPECT_EQ(s->free_clus, kClusters - kReservedClusters - 1);
    }
}

TEST(Mount, UsesLastCopyOfTheUnbrokenRun) {
    Volume v;
    plant_root(v.sim, v.cfg, 4, 0, 3, named({"a"}));
    plant_root(v.sim, v.cfg, 4, 1, 3, named({"a", "b"}), 2);
    plant_root(v.sim, v.cfg, 4, 3, 3, named({"a", "b", "c"}));
    plant_root(v.sim, v.cfg, 4, 4, 3, named({"a", "b", "c", "d"}));
    copy_on_medium(v.sim, 4, 4)->count = 9; // cut-short header: head CRC fails
    plant_root(v.sim, v.cfg, 4, 5, 3, named({"a", "b", "c", "d", "e"}));
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_clus, 4);
    EXPECT_EQ(s->root_page, 3);
    EXPECT_EQ(s->root_end, 4);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(s->root), s->root_buf + 3 * 256);
    EXPECT_EQ(s->root->count, 3);
    EXPECT_NE(s->root_sealed, 0); // the damaged copy lies in the pages after it
    // The image holds the whole cluster, the copies before the current one included.
    EXPECT_EQ(std::memcmp(s->root_buf, v.sim.cluster(4), 2048), 0);
}

// A sound copy of another generation after the run is left over from an
// earlier use of the cluster: it ends the walk instead of being revived.
TEST(Mount, CopyOfAnotherGenerationEndsTheWalk) {
    Volume v;
    plant_root(v.sim, v.cfg, 4, 0, 3, named({"a"}));
    plant_root(v.sim, v.cfg, 4, 1, 3, named({"a", "b"}));
    plant_root(v.sim, v.cfg, 4, 2, 2, named({"stale"}));
    plant_root(v.sim, v.cfg, 4, 3, 3, named({"a", "b", "c"}));
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(s->root->seq, 3u);
    EXPECT_EQ(s->root->count, 2);
    EXPECT_NE(s->root_sealed, 0);
}

TEST(Mount, DamagedFirstCopyHidesTheCluster) {
    Volume v;
    plant_root(v.sim, v.cfg, 2, 0, 3, named({"old"}));
    plant_root(v.sim, v.cfg, 5, 0, 9, named({"new"}));
    copy_on_medium(v.sim, 5, 0)->pages = 2; // head CRC no longer matches
    plant_root(v.sim, v.cfg, 5, 1, 9, named({"new"}));
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_clus, 2);
    EXPECT_EQ(s->clus_table[5], CLUS_DIRTY);
}

// A copy whose header checks out but whose extent is impossible is invalid:
// the walk neither reads past the image nor loops.
TEST(Mount, CopyWithImpossibleExtentEndsTheWalk) {
    struct Case {
        const char *what;
        uint16_t first_pages; // pages of the valid copy at page 0
        uint16_t bad_pages;   // pages written into the next copy's header
        size_t bad_entries;
    };
    const Case cases[] = {
        {"no pages", 1, 0, 1},
        {"entries past its pages", 1, 1, 8},
        {"pages past the cluster", 6, 3, 1},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Volume v;
        plant_root(v.sim, v.cfg, 3, 0, 4, named({"good"}), k.first_pages);
        std::vector<dace_entry> many(k.bad_entries, make_entry("bad", 0, CLUS_END));
        plant_root(v.sim, v.cfg, 3, k.first_pages, 4, many, 2);
        copy_on_medium(v.sim, 3, k.first_pages)->pages = k.bad_pages;
        reseal(v.sim, v.cfg, 3, k.first_pages);
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_clus, 3);
        EXPECT_EQ(s->root_page, 0);
        EXPECT_EQ(entry_name(v.entries()[0]), "good");
    }
    // The same fault in the only copy leaves no root that counts: the
    // mount refuses rather than format over a volume.
    Volume v;
    plant_root(v.sim, v.cfg, 3, 0, 4, named({"bad"}));
    copy_on_medium(v.sim, 3, 0)->pages = 0;
    reseal(v.sim, v.cfg, 3, 0);
    EXPECT_EQ(v.mount(), nullptr);
}

// ---- geometry ---------------------------------------------------------------------

TEST(Mount, RefusesSoundRootOfAnotherGeometry) {
    struct Case {
        const char *what;
        void (*change)(dace_config &);
    };
    const Case cases[] = {
        {"page size", [](dace_config &c) { c.page_size = 512; }},
        {"cluster pages", [](dace_config &c) { c.clus_pages = 4; }},
        {"geometry tag", [](dace_config &c) { c.geometry_tag = 4; }},
        {"a page smaller than the cluster image", [](dace_config &c) { c.page_size = 128; }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Volume v;
        plant_root(v.sim, v.cfg, 2, 0, 8, named({"mine"}));
        dace_config other = v.cfg;
        k.change(other);
        plant_root(v.sim, other, 9, 0, 1, named({"theirs"}));
        v.sim.set_logging(true);
        EXPECT_EQ(v.mount(), nullptr);
        for (const Call &c : v.sim.log())
            EXPECT_TRUE(c.op != Op::Write && c.op != Op::Erase);
    }
}

// Rule 5: a copy that names another geometry refuses the mount only when a
// writer of that geometry can have written it whole. One that no writer
// wrote so is torn: while a root of this volume counts it is no reason to
// refuse; alone it is a mark without a root, which refuses without a format.
TEST(Mount, ForeignCopyThatNoWriterWroteWholeIsNoReasonToRefuse) {
    struct Case {
        const char *what;
        void (*spoil)(FlashSim &, const dace_config &);
    };
    const Case cases[] = {
        {"entries' CRC wrong", [](FlashSim &sim, const dace_config &) { sim.cluster(9)[40] ^= 1; }},
        {"fill not zero", [](FlashSim &sim, const dace_config &) { sim.cluster(9)[100] = 0xFF; }},
        {"CRC field reads erased",
         [](FlashSim &sim, const dace_config &) { copy_on_medium(sim, 9, 0)->files_crc = 0xFFFF; }},
        {"geometry erased, head CRC matching",
         [](FlashSim &sim, const dace_config &cfg) {
             dace_root *h = copy_on_medium(sim, 9, 0);
             h->page_size = h->geometry_tag = h->clus_pages = 0xFFFF;
             reseal(sim, cfg, 9, 0);
         }},
        {"reserved bytes not zero",
         [](FlashSim &sim, const dace_config &cfg) {
             copy_on_medium(sim, 9, 0)->reserved2 = 0xFFFFFFFF;
             reseal(sim, cfg, 9, 0);
         }},
    };
    for (const Case &k : cases) {
        for (const bool mine : {true, false}) {
            SCOPED_TRACE(std::string(k.what) + (mine ? ", beside a root of this volume" : ", alone"));
            Volume v;
            if (mine)
                plant_root(v.sim, v.cfg, 2, 0, 8, named({"mine"}));
            dace_config other = v.cfg;
            other.page_size = 512;
            plant_root(v.sim, other, 9, 0, 1, named({"theirs"}));
            k.spoil(v.sim, v.cfg);
            v.sim.set_logging(true);
            dace_state *s = v.mount();
            if (!mine) {
                EXPECT_EQ(s, nullptr);
                EXPECT_EQ(medium_changes(v.sim.log()).size(), 0u);
                continue;
            }
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->root_clus, 2);
            EXPECT_EQ(entry_name(v.entries()[0]), "mine");
        }
    }
}

// A root move cut short after a few bytes leaves ROOT_MAGIC over a header
// that does not check out: that is no root, and no reason to refuse while
// the root it moved from is there. Alone it is a mark of this file system
// that no root accounts for: the mount refuses rather than format.
TEST(Mount, CutShortRootHeaderNeitherCountsNorRefuses) {
    for (bool other_root : {true, false}) {
        SCOPED_TRACE(other_root);
        Volume v;
        if (other_root)
            plant_root(v.sim, v.cfg, 2, 0, 8, named({"mine"}));
        const uint32_t head[2] = {ROOT_MAGIC, 50};
        std::memcpy(v.sim.cluster(9), head, sizeof head); // geometry fields still 0xFF
        dace_state *s = v.mount();
        if (!other_root) {
            EXPECT_EQ(s, nullptr);
            continue;
        }
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_clus, 2);
        EXPECT_EQ(s->root->seq, 8u);
        EXPECT_EQ(s->clus_table[9], CLUS_DIRTY);
    }
    // A valid header of another geometry at a later page only ends the walk.
    Volume v;
    plant_root(v.sim, v.cfg, 2, 0, 8, named({"mine"}));
    dace_config other = v.cfg;
    other.page_size = 128;
    plant_root(v.sim, other, 2, 2, 8, named({"theirs"})); // 2 pages of 128 bytes: where page 1 starts
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_page, 0);
}

// ---- short reads --------------------------------------------------------------------

// A cluster that starts like a root but cannot be read whole may hold the
// newest root: mounting an older one instead would roll the volume back.
TEST(Mount, ShortWholeReadOfARootClusterRefusesTheMount) {
    Volume v;
    plant_root(v.sim, v.cfg, 3, 0, 2, named({"older"}));
    plant_root(v.sim, v.cfg, 6, 0, 9, named({"newer"}));
    v.sim.set_logging(true);
    ASSERT_NE(v.mount(), nullptr);
    const uint64_t whole_read = read_ordinal(v.sim.log(), 6 * kPages, 2048, 1);
    v.sim.clear_log();
    v.sim.fail_read(whole_read, 1000);
    EXPECT_EQ(v.mount(), nullptr);
    for (const Call &c : v.sim.log())
        EXPECT_TRUE(c.op != Op::Write && c.op != Op::Erase);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_clus, 6);
}

// A root cluster whose cells read differently each time (a page left half
// programmed, a read glitch) is judged and loaded from one read: whatever
// the second look would show, the mount uses only what it validated, or
// refuses. Under the sanitizers this also proves no access past a buffer.
TEST(Mount, RootIsLoadedFromTheReadItValidated) {
    for (const uint32_t unstable_page : {0u, 1u, 2u}) {
        for (uint32_t trial = 0; trial < 200; ++trial) {
            SCOPED_TRACE(testing::Message() << "unstable page " << unstable_page << ", trial " << trial);
            Volume v;
            plant_root(v.sim, v.cfg, 3, 0, 2, named({"a", "b"}));
            plant_root(v.sim, v.cfg, 3, 1, 2, named({"a", "b", "c"}));
            v.sim.make_unstable(3 * kPages + unstable_page, trial);
            v.leave_unchecked("a page that reads differently every time: a mount of a stable copy may rightly "
                              "find another root");
            dace_state *s = v.mount();
            if (s == nullptr)
                continue;
            if (s->root_clus != 3) {
                // Only a root mark that itself reads wrong hides the volume.
                EXPECT_EQ(unstable_page, 0u);
                continue;
            }
            ASSERT_LE(uint32_t{s->root_page} + s->root->pages, kPages);
            ASSERT_LE(s->root->count, 3);
            for (uint16_t e = 0; e < v.count(); ++e)
                EXPECT_EQ(entry_name(v.entries()[e]), std::string(1, static_cast<char>('a' + e)));
        }
    }
}

// ---- chains and the second pass --------------------------------------------------

TEST(Mount, RebuildsChainsNewestFirst) {
    Volume v;
    plant_root(v.sim, v.cfg, 2, 0, 3,
               {make_entry("log", 5000, 12), make_entry("one", 10, 20), make_entry("empty", 0, CLUS_END)});
    plant_data(v.sim, v.cfg, 12, 4, 0x11);
    plant_data(v.sim, v.cfg, 4, 9, 0x22);
    plant_data(v.sim, v.cfg, 9, CLUS_END, 0x33);
    plant_data(v.sim, v.cfg, 20, CLUS_END, 0x44);
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);

    // Each header once, the root cluster's copy header, then that cluster
    // whole: the chains come from the links the first pass kept, and no
    // free cluster is read beyond its header.
    std::vector<Call> expected;
    for (uint32_t c = 0; c < kClusters; ++c) {
        expected.push_back(rd(c * kPages, 8));
        if (c == 2)
            expected.push_back(rd(16, 32));
    }
    expected.push_back(rd(16, 2048));
    EXPECT_EQ(medium_calls(v.sim.log()), shown(expected));

    EXPECT_EQ(s->clus_table[12], 4);
    EXPECT_EQ(s->clus_table[4], 9);
    EXPECT_EQ(s->clus_table[9], CLUS_END);
    EXPECT_EQ(s->clus_table[20], CLUS_END);
    EXPECT_EQ(s->free_clus, kClusters - kReservedClusters - 1 - 4);
    EXPECT_EQ(v.entries()[0].size, 5000u);
    EXPECT_EQ(s->root_page, 0);
    EXPECT_EQ(s->root_end, 1);
}

// What no chain reaches is free. A cluster that looks erased by its first
// word is checked whole when first taken, and erased then unless every byte
// reads 0xFF; anything else is erased when taken.
TEST(Mount, ClustersNoChainReachesAreFreeAndErasedUnlessTheyReadBlank) {
    Volume v;
    plant_root(v.sim, v.cfg, 2, 0, 3, {make_entry("f", 100, 12)});
    plant_data(v.sim, v.cfg, 12, CLUS_END, 0x55);
    std::memset(v.sim.cluster(5), 0x00, 2048);
    plant_data(v.sim, v.cfg, 6, CLUS_END, 0x66); // data no chain reaches
    plant_root(v.sim, v.cfg, 7, 0, 2, {});     // an older root cluster
    plant_word(v.sim, 8, BAD_MARK);
    plant_word(v.sim, 9, 0x12345678);
    plant_word(v.sim, 11, 0x00000000);        // zero word over blank bytes
    v.sim.cluster(13)[1500] = 0x42;            // an erase cut short: blank head, stale tail
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->clus_table[2], CLUS_END);
    EXPECT_EQ(s->clus_table[12], CLUS_END);
    EXPECT_EQ(s->clus_table[8], CLUS_BAD);
    EXPECT_EQ(s->free_clus, kClusters - kReservedClusters - 1 - 1 - 1);
    EXPECT_EQ(accounting_problems(s), "");

    v.sim.set_logging(true);
    std::set<uint32_t> erased;
    for (int i = 0; i < 11; ++i)
        ASSERT_GE(dace_alloc_clus(s), 0);
    for (const Call &c : v.sim.log())
        if (c.op == Op::Erase)
            erased.insert(c.addr);
    EXPECT_EQ(erased, (std::set<uint32_t>{5, 6, 7, 9, 11, 13}));
}

// A cluster counts as erased only when every byte reads 0xFF: one stale byte
// anywhere, at a block edge, in the last block or in a tail shorter than a
// block, has it erased before use; so has a cluster of zero bytes.
TEST(Mount, OneStaleByteAnywhereHasAClusterErasedBeforeUse) {
    for (const Geometry g : {small_nor(), Geometry{72, 2, 64}}) {
        const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
        for (const uint8_t blank : {uint8_t{0xFF}, uint8_t{0x00}}) {
            for (const uint32_t at : {4u, 63u, 64u, 127u, clus_size - 17, clus_size - 1}) {
                SCOPED_TRACE(testing::Message() << clus_size << "-byte clusters, blank " << int{blank} << ", stale byte at " << at);
                Volume v(g);
                std::memset(v.sim.cluster(5), blank, clus_size);
                std::memset(v.sim.cluster(6), blank, clus_size);
                v.sim.cluster(5)[at] = 0x42;
                dace_state *s = v.mount();
                ASSERT_NE(s, nullptr);
                v.leave_unchecked("sets cluster table codes by hand");
                for (uint32_t c = 0; c < s->clus_count; ++c)
                    if (c != 5 && c != 6 && s->clus_table[c] == CLUS_FREE)
                        s->clus_table[c] = CLUS_BAD; // keep the search to 5 and 6
                v.sim.set_logging(true);
                ASSERT_EQ(dace_alloc_clus(s), 5);
                ASSERT_EQ(dace_alloc_clus(s), 6);
                EXPECT_EQ(medium_changes(v.sim.log()),
                          blank == 0xFF ? shown({{Op::Erase, 5, 1, 1}})
                                        : shown({{Op::Erase, 5, 1, 1}, {Op::Erase, 6, 1, 1}}));
            }
        }
    }
}

// Whatever the headers say, the rebuild ends, stays in the table and never
// claims a cluster twice; a file whose newest cluster cannot be claimed is
// cut loose rather than left pointing at someone else's cluster.
TEST(Mount, ChainRebuildSurvivesBrokenLinks) {
    Volume v;
    const std::vector<dace_entry> entries = {
        make_entry("loop", 1000, 12),   // 12 -> 4 -> 12
        make_entry("share", 1000, 30),  // 30 -> 4, which "loop" holds
        make_entry("onroot", 1000, 2),  // the root cluster
        make_entry("onbad", 1000, 40),  // a bad cluster
        make_entry("dup", 1000, 12),    // newest already claimed by "loop"
        make_entry("self", 1000, 50),   // 50 -> 50
        make_entry("retry", 1000, 70),  // header read falls short once; 71 behind it
    };
    plant_root(v.sim, v.cfg, 2, 0, 3, entries);
    plant_data(v.sim, v.cfg, 12, 4, 1);
    plant_data(v.sim, v.cfg, 4, 12, 1);
    plant_data(v.sim, v.cfg, 30, 4, 1);
    plant_word(v.sim, 40, BAD_MARK);
    plant_data(v.sim, v.cfg, 50, 50, 1);
    plant_data(v.sim, v.cfg, 70, 71, 1);
    plant_data(v.sim, v.cfg, 71, CLUS_END, 1);
    v.leave_unchecked("plants broken chains on purpose");
    v.sim.set_logging(true);
    ASSERT_NE(v.mount(), nullptr);
    v.sim.fail_read(read_ordinal(v.sim.log(), 70 * kPages, 8, 1), 5); // half the link arrives
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);

    EXPECT_EQ(s->clus_table[12], 4);
    EXPECT_EQ(s->clus_table[4], CLUS_END);
    EXPECT_EQ(s->clus_table[30], CLUS_END);
    EXPECT_EQ(s->clus_table[50], CLUS_END);
    EXPECT_EQ(s->clus_table[70], 71) << "read again";
    EXPECT_EQ(s->clus_table[71], CLUS_END);
    EXPECT_EQ(s->clus_table[40], CLUS_BAD);
    EXPECT_EQ(s->clus_table[2], CLUS_END);
    EXPECT_EQ(s->free_clus, kClusters - kReservedClusters - 1 - 1 - 6);
    EXPECT_EQ(accounting_problems(s), "");

    std::set<uint16_t> seen = {2};
    for (uint16_t e = 0; e < v.count(); ++e) {
        const dace_entry &en = v.entries()[e];
        const std::string name = entry_name(en);
        SCOPED_TRACE(name);
        const bool detached = name == "onroot" || name == "onbad" || name == "dup";
        EXPECT_EQ(en.clus, detached ? CLUS_END : entries[e].clus);
        EXPECT_EQ(en.size, detached ? 0u : 1000u);
        uint32_t steps = 0;
        for (uint16_t c = en.clus; c != CLUS_END; c = s->clus_table[c]) {
            ASSERT_LT(c, kClusters);
            ASSERT_LE(++steps, kClusters);
            EXPECT_TRUE(seen.insert(c).second) << "cluster " << c << " claimed twice";
        }
    }
}

// A medium configured smaller than it was formatted: a file's newest
// cluster, or a link in its chain, lies beyond the last cluster. Mounting
// would cut files short and the next commit would make that permanent, so
// the mount refuses and changes nothing.
TEST(Mount, ClustersBeyondTheConfiguredMediumRefuseTheMount) {
    for (const bool by_link : {false, true}) {
        SCOPED_TRACE(by_link ? "a link" : "an entry");
        Volume v(Geometry{256, 8, 2048}); // formatted with 256 clusters
        plant_root(v.sim, v.cfg, 2, 0, 3, {make_entry("big", 3000, by_link ? 20 : 200), make_entry("x", 10, 21)});
        plant_data(v.sim, v.cfg, by_link ? 20 : 200, by_link ? 150 : 21, 1);
        plant_data(v.sim, v.cfg, 150, CLUS_END, 2);
        plant_data(v.sim, v.cfg, 21, CLUS_END, 3);
        ASSERT_NE(v.mount(), nullptr);
        v.cfg.total_pages = 1024; // the firmware now says 128 clusters
        const std::vector<uint8_t> before = v.sim.bytes();
        v.sim.set_logging(true);
        EXPECT_EQ(v.mount(), nullptr);
        EXPECT_TRUE(medium_changes(v.sim.log()).empty());
        EXPECT_EQ(v.sim.bytes(), before);
    }
}

// ---- the recorded size ---------------------------------------------------------------

namespace {

// Whether a mount of `v` with `total_pages` refuses, having written and
// erased nothing.
void expect_refused_untouched(Volume &v, uint16_t total_pages) {
    const std::vector<uint8_t> before = v.sim.bytes();
    const uint16_t right = v.cfg.total_pages;
    v.cfg.total_pages = total_pages;
    EXPECT_EQ(v.mount(), nullptr) << total_pages << " pages";
    v.cfg.total_pages = right;
    EXPECT_TRUE(v.sim.bytes() == before) << "a refused mount changed the medium";
}

} // namespace

// Rule 6: every root copy records the volume's cluster count, so a
// configuration of another size is refused wherever the newest root
// stands. With wear levelling the root moves up the medium and older root
// logs stay unerased below: a smaller configuration used to mount such an
// older log, and its first commit handed committed clusters out again.
TEST(Mount, AnotherSizeThanTheVolumeRecordsIsRefused) {
    Volume v(Geometry{256, 8, 512}); // 64 clusters; the format puts the root at cluster 0
    ASSERT_NE(v.mount(), nullptr);
    dace_level_wear(v.s, 32);
    Files files;
    for (uint32_t i = 0; v.s->root_clus < 32; ++i) {
        const std::string name = "up" + std::to_string(i);
        put_file(v.s, name.c_str(), 700, i);
        files.create(name, file_bytes(v.s, name.c_str()));
    }
    ASSERT_NE(remount(v), nullptr);
    dace_level_wear(v.s, 1); // later files in the lower half, beside the old root log
    for (uint32_t i = 0; i < 4; ++i) {
        const std::string name = "low" + std::to_string(i);
        put_file(v.s, name.c_str(), 3000, 100 + i);
        files.create(name, file_bytes(v.s, name.c_str()));
    }
    ASSERT_EQ(v.sim.cluster(0)[0], 0x07) << "the old root log is still in cluster 0";

    expect_refused_untouched(v, 256); // half: only the older root log lies within
    expect_refused_untouched(v, 1024); // larger than the volume
    ASSERT_NE(remount(v), nullptr);
    EXPECT_EQ(volume_difference(v.s, files), "");
}

// Copies of writers that did not record the size hold zeros there and
// mount under any size, as before; the first commit after records it.
TEST(Mount, CopiesWithoutARecordedSizeMountAndGainOneAtTheNextCommit) {
    Volume v;
    plant_root(v.sim, v.cfg, 3, 0, 4, named({"old"})); // planted as those writers wrote them
    ASSERT_EQ(copy_on_medium(v.sim, 3, 0)->clus_count, 0);
    ASSERT_NE(v.mount(), nullptr);
    ASSERT_EQ(dace_rename(v.s, "old", "new"), DACE_OK);
    const dace_root *written = copy_on_medium(v.sim, 3, 1);
    EXPECT_EQ(written->clus_count, kClusters);
    EXPECT_EQ(written->version, DACE_FORMAT_VERSION);
    ASSERT_NE(remount(v), nullptr);
    EXPECT_EQ(entry_name(v.entries()[0]), "new");
    expect_refused_untouched(v, 512);
}

// A valid copy later in the log that records another size refuses the
// mount rather than roll the volume back to the copy before it.
TEST(Mount, ALaterCopyOfAnotherSizeRefusesRatherThanRollBack) {
    Volume v;
    plant_root(v.sim, v.cfg, 3, 0, 4, named({"old"}));
    plant_root(v.sim, v.cfg, 3, 1, 4, named({"newer"}));
    dace_root *later = copy_on_medium(v.sim, 3, 1);
    later->clus_count = 64;
    later->version = DACE_FORMAT_VERSION;
    reseal(v.sim, v.cfg, 3, 1);
    expect_refused_untouched(v, v.cfg.total_pages);
    v.cfg.total_pages = 512;
    ASSERT_NE(v.mount(), nullptr);
    EXPECT_EQ(entry_name(v.entries()[0]), "newer");
}

// A deliberate format under another size gives the old volume up: its roots
// are erased first, so that the new volume mounts under its own size.
TEST(Format, AnotherSizeFormatsAfreshAndMountsUnderItsOwnSize) {
    Volume v;
    ASSERT_NE(v.mount(), nullptr);
    put_file(v.s, "gone", 5000);
    v.cfg.total_pages = 512;
    expect_refused_untouched(v, 512);
    std::vector<uint64_t> block(dace_getstatesize(&v.cfg) / 8 + 1);
    dace_state *s = dace_format(&v.cfg, block.data());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root->count, 0);
    ASSERT_NE(remount(v), nullptr);
    EXPECT_EQ(v.count(), 0);
    expect_refused_untouched(v, 1024);
}

// ---- which root clusters are read whole ---------------------------------------------

namespace {

struct MountReads {
    uint64_t whole = 0, bytes = 0;
};

MountReads reads_of(const std::vector<Call> &log, uint32_t clus_size) {
    MountReads r;
    for (const Call &c : log) {
        if (c.op != Op::Read)
            continue;
        r.bytes += c.count;
        r.whole += c.count == clus_size ? 1 : 0;
    }
    return r;
}

uint32_t root_marks(FlashSim &sim) {
    uint32_t n = 0;
    for (uint32_t c = 0; c < sim.cluster_count(); ++c)
        n += copy_on_medium(sim, c, 0)->magic == ROOT_MAGIC ? 1 : 0;
    return n;
}

} // namespace

// With wear levelling the root moves up the medium and leaves its old
// clusters unerased. The mount ranks them by their first copy's header and
// reads whole only the one it loads: a header per cluster, a root header
// per root mark, one cluster.
TEST(Mount, ReadsWholeOnlyTheRootClusterItLoads) {
    Volume v;
    ASSERT_NE(v.mount(), nullptr);
    dace_level_wear(v.s, 0);
    for (uint32_t i = 0; i < 50; ++i)
        put_file(v.s, ("f" + std::to_string(i)).c_str(), 1024, i);
    const uint32_t marks = root_marks(v.sim);
    ASSERT_GT(marks, 5u) << "the workload left too few old root clusters";
    v.sim.set_logging(true);
    v.sim.clear_log();
    ASSERT_NE(remount(v), nullptr);
    const MountReads r = reads_of(v.sim.log(), v.sim.cluster_size());
    EXPECT_EQ(r.whole, 1u);
    EXPECT_EQ(r.bytes, 8u * kClusters + 32u * marks + v.sim.cluster_size());
    EXPECT_EQ(v.count(), 50);
}

// The ranking keeps as many candidates as a cluster buffer holds (8 of
// 8 bytes in a 64-byte cluster). When every one kept holds no valid copy,
// the mount ranks the rest again and still finds the root.
TEST(Mount, FindsTheRootBelowMoreTornRootClustersThanItRanksAtOnce) {
    Volume v(Geometry{64, 1, 64}, 1);
    plant_root(v.sim, v.cfg, 3, 0, 5, named({"real"}));
    for (uint32_t c = 10; c < 22; ++c) {
        plant_root(v.sim, v.cfg, c, 0, 10 + c, {});
        v.sim.cluster(c)[40] = 0xFF; // the fill of a copy cut short
    }
    v.sim.set_logging(true);
    ASSERT_NE(v.mount(), nullptr);
    EXPECT_EQ(v.s->root_clus, 3);
    EXPECT_EQ(entry_name(v.entries()[0]), "real");
    EXPECT_EQ(reads_of(v.sim.log(), 64).whole, 13u);
    for (const Call &c : v.sim.log())
        EXPECT_TRUE(c.op != Op::Write && c.op != Op::Erase);
}

// ---- dace_mount -------------------------------------------------------------------

// dace_mount never erases or programs, whatever the medium holds: it mounts
// a volume, or refuses with a reason; it never formats, and never completes
// a first format cut short (dace_init does).
TEST(MountOnly, NeverWritesWhateverTheMediumHolds) {
    struct Case {
        const char *what;
        void (*prepare)(Volume &);
        int reason; // DACE_E_NONE: it mounts
    };
    const Case cases[] = {
        {"blank", [](Volume &) {}, DACE_E_NOT_A_VOLUME},
        {"random bytes",
         [](Volume &v) {
             uint32_t x = 0x1234567u;
             for (uint8_t &b : v.sim.bytes()) {
                 x = x * 1103515245u + 12345u;
                 b = static_cast<uint8_t>(x >> 16);
             }
         },
         DACE_E_NOT_A_VOLUME},
        {"a volume",
         [](Volume &v) {
             ASSERT_NE(v.mount(), nullptr);
             put_file(v.s, "a", 5000);
         },
         DACE_E_NONE},
        {"a volume whose only root is damaged",
         [](Volume &v) {
             ASSERT_NE(v.mount(), nullptr);
             put_file(v.s, "a", 5000);
             v.sim.cluster(v.s->root_clus)[40] ^= 0xFF;
         },
         DACE_E_DAMAGED},
        {"another geometry's volume",
         [](Volume &v) {
             dace_config other = v.cfg;
             other.clus_pages = 4;
             plant_root(v.sim, other, 6, 0, 3, named({"theirs"}));
         },
         DACE_E_GEOMETRY},
        {"a first format cut short",
         [](Volume &v) {
             v.sim.cut_after_bytes(20);
             (void)v.mount();
             v.sim.reboot();
         },
         DACE_E_DAMAGED},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Volume v;
        k.prepare(v);
        const std::vector<uint8_t> before = v.sim.bytes();
        v.sim.set_logging(true);
        v.sim.clear_log();
        dace_state *s = v.mount_only();
        EXPECT_EQ(dace_init_error(v.block.data()), k.reason);
        EXPECT_EQ(s != nullptr, k.reason == DACE_E_NONE);
        EXPECT_EQ(medium_changes(v.sim.log()).size(), 0u);
        EXPECT_TRUE(v.sim.bytes() == before);
        if (s != nullptr) {
            EXPECT_EQ(file_bytes(s, "a"), pattern_bytes(5000));
        }
    }
}

// A cut-short first format is dace_init's to complete, not dace_mount's.
TEST(MountOnly, LeavesAFirstFormatCutShortToDaceInit) {
    Volume v;
    v.sim.cut_after_bytes(20);
    (void)v.mount();
    v.sim.reboot();
    EXPECT_EQ(v.mount_only(), nullptr);
    ASSERT_NE(v.mount(), nullptr) << "dace_init completes it";
    EXPECT_NE(v.mount_only(), nullptr);
}
