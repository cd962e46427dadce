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
using Names = std::vector<std::string>;

namespace {

constexpr uint32_t kClusters = 128; // small_nor()
constexpr uint32_t kPages = 8;

Call rd(uint32_t page, uint32_t count) { return Call{Op::Read, page, count, count}; }

// The reads of the log other than the 8-byte header reads and the 4-byte
// reads of page starts where a medium looks blank.
std::vector<Call> reads_beyond_headers(const std::vector<Call> &log) {
    std::vector<Call> out;
    for (const Call &c : calls_of(log, Op::Read))
        if (c.count != sizeof(dace_clus_header) && c.count != sizeof(uint32_t))
            out.push_back(c);
    return out;
}

// Writes a file that takes every cluster a write can still have.
void fill_medium(dace_state *s) {
    const dace_handle h = dace_create(s, "fill");
    ASSERT_NE(h, 0u);
    const std::vector<uint8_t> piece = pattern_bytes(4096, 77);
    while (write_bytes(s, h, piece) == piece.size()) {
    }
    ASSERT_EQ(dace_close(s, h), DACE_OK);
}

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

// Rule 4: the cluster the format takes is read whole to prove it erased
// before its one page is programmed; nothing else is erased or programmed.
TEST(Format, BlankMediumGetsOnePageRootAtClusterZero) {
    Volume v;
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);

    // A header read per cluster, and 8 bytes of every other page start (a
    // volume of smaller clusters would show there), nothing more of the free
    // space; the cluster the format takes read whole once; one root copy of
    // one page.
    const uint32_t page_starts = kClusters * (v.cfg.clus_pages - 1);
    EXPECT_EQ(calls_of(v.sim.log(), Op::Read).size(), kClusters + page_starts + 1);
    EXPECT_EQ(v.sim.counters().bytes_read, kClusters * 8 + page_starts * 4 + 2048);
    EXPECT_EQ(most_header_reads(v.sim.log(), v.sim.geometry()), 1u);
    EXPECT_EQ(reads_beyond_headers(v.sim.log()), std::vector<Call>{rd(0, 2048)});
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), Names{"root copy, 1 page"});

    const uint16_t head = crc(v.sim.cluster(0), 28, 0xFFFF);
    const dace_root h = copy_on_medium(v.sim, 0, 0);
    EXPECT_EQ(h.magic, ROOT_MAGIC);
    EXPECT_EQ(h.seq, 1u);
    EXPECT_EQ(h.page_size, 256);
    EXPECT_EQ(h.clus_pages, 8);
    EXPECT_EQ(h.geometry_tag, 0);
    EXPECT_EQ(h.pages, 1);
    EXPECT_EQ(h.count, 0);
    EXPECT_EQ(h.clus_count, v.sim.cluster_count());
    EXPECT_EQ(h.version, DACE_FORMAT_VERSION);
    EXPECT_EQ(h.reserved2 | h.reserved3, 0u);
    EXPECT_EQ(h.head_crc, head);
    EXPECT_EQ(h.files_crc, 0xFFFF);
    const uint8_t *c0 = v.sim.cluster(0);
    EXPECT_TRUE(std::all_of(c0 + 32, c0 + 256, [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(std::all_of(c0 + 256, c0 + v.sim.bytes().size(), [](uint8_t b) { return b == 0xFF; }));

    EXPECT_TRUE(listed_names(s).empty());
    uint32_t total = 0;
    EXPECT_EQ(dace_getfreespace(s, &total), (kClusters - kReservedClusters - 1) * 2048);
    EXPECT_EQ(total, kClusters * 2048);
}

// Rule 4: zero bytes cannot take a program. The cluster the format takes is
// erased before its page is programmed, the others when they are first
// taken: on strict flash a file over most of them programs no byte twice.
TEST(Format, ZeroedMediumCountsAsErased) {
    Volume v;
    v.sim.fill(0x00);
    v.sim.set_strict(true);
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(most_header_reads(v.sim.log(), v.sim.geometry()), 1u);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), (Names{"erase", "root copy, 1 page"}));
    EXPECT_EQ(erased_clusters(v.sim.log()), std::vector<uint32_t>{0});
    EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1);

    put_file(s, "f", 100 * 2040, 3);
    EXPECT_EQ(v.sim.counters().overwrites, 0u);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(100 * 2040, 3));
}

// Bad clusters are never erased or programmed: the root goes to the first
// good one, and a file that fills the medium leaves the bad marks as they were.
TEST(Format, SkipsBadClusters) {
    Volume v;
    plant_word(v.sim, 0, BAD_MARK);
    plant_word(v.sim, 6, BAD_MARK);
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const std::vector<CopyWritten> root = root_copies_written(v.sim.log(), v.sim);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].clus, 1u);
    EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 2 - 1);

    fill_medium(s);
    for (const uint32_t c : erased_clusters(v.sim.log()))
        EXPECT_TRUE(c != 0 && c != 6) << "bad cluster " << c << " erased";
    EXPECT_EQ(dace::load_u32(v.sim.cluster(0)), BAD_MARK);
    EXPECT_EQ(dace::load_u32(v.sim.cluster(6)), BAD_MARK);
}

// Rule 6: a cluster that cannot be read may hold the newest root or a
// file's clusters: the mount refuses rather than format over the volume,
// roll it back, or let the allocator erase what it cannot see. A read that
// falls short once is tried again.
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
        EXPECT_EQ(listed_names(s), rooted ? Names{"kept"} : Names{});
        EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1) << "cluster 3 counts as free";
    }
}

// Rules 6 and 11: damaged copies and copies of generation 0 are no root,
// but they are this file system's: the mount refuses and changes nothing,
// since formatting would lose the volume. A deliberate format makes it an
// empty one, and old data is erased before it is reused.
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

    v.sim.set_strict(true);
    v.sim.clear_log();
    dace_state *s = v.format();
    ASSERT_NE(s, nullptr);
    const std::vector<CopyWritten> root = root_copies_written(v.sim.log(), v.sim);
    ASSERT_EQ(root.size(), 1u);
    // Above the damaged root's generation: were its copies to read whole one
    // day, the new volume would still outrank them.
    EXPECT_EQ(root[0].head.seq, 8u);
    EXPECT_TRUE(listed_names(s).empty());
    put_file(s, "new", 10 * 2040); // over cluster 5, which holds old data
    EXPECT_EQ(v.sim.counters().overwrites, 0u);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), Names{"new"});
    EXPECT_EQ(file_bytes(s, "new"), pattern_bytes(10 * 2040));
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
            EXPECT_EQ(root_copies_written(v.sim.log(), v.sim).at(0).clus, 3u);
            EXPECT_EQ(dace_getfreespace(s, nullptr), 0u);
            EXPECT_EQ(writes, 1);
        } else {
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(writes, 0);
        }
    }
}

// Rule 2: a format whose write fell short still mounts; the next commit
// writes the empty root again, in a fresh cluster of the next generation,
// and the cluster it left counts as free space again.
TEST(Format, ShortFormatWriteIsWrittenAgainElsewhere) {
    Volume v;
    v.sim.fail_write(1, 0);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(v.sim.cluster(0)[0], 0xFF);

    v.sim.set_logging(true);
    EXPECT_EQ(dace_commit_root(s), 0);
    const std::vector<CopyWritten> root = root_copies_written(v.sim.log(), v.sim);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].clus, 1u);
    EXPECT_EQ(root[0].page, 0u);
    EXPECT_EQ(root[0].head.seq, 2u);
    EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1);
    v.sim.clear_log();
    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_TRUE(v.sim.log().empty()) << "the copy counts as written now";

    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(listed_names(s).empty());
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
        EXPECT_EQ(listed_names(s), Names{"c" + std::to_string(k.chosen)});
        // The other root clusters are free space, erased when reused.
        EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1);
    }
}

namespace {

// Commits a change by name and returns where its root copy went; the
// cluster `kept` must come out of it unchanged.
CopyWritten commit_a_rename(Volume &v, const char *from, const char *to, uint32_t kept) {
    const std::vector<uint8_t> before(v.sim.cluster(kept), v.sim.cluster(kept) + v.sim.cluster_size());
    v.sim.set_logging(true);
    v.sim.clear_log();
    EXPECT_EQ(dace_rename(v.s, from, to), DACE_OK);
    const std::vector<CopyWritten> root = root_copies_written(v.sim.log(), v.sim);
    EXPECT_EQ(root.size(), 1u);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), v.sim.cluster(kept)))
        << "cluster " << kept << " was programmed or erased";
    return root.empty() ? CopyWritten{} : root[0];
}

} // namespace

// Rule 1: a copy cut short ends the walk, so the copy before it stays in
// force, and the pages after it, not blank, are never programmed again: the
// next commit moves the root to a fresh cluster of the next generation.
TEST(Mount, UsesLastCopyOfTheUnbrokenRun) {
    Volume v;
    plant_root(v.sim, v.cfg, 4, 0, 3, named({"a"}));
    plant_root(v.sim, v.cfg, 4, 1, 3, named({"a", "b"}), 2);
    plant_root(v.sim, v.cfg, 4, 3, 3, named({"a", "b", "c"}));
    plant_root(v.sim, v.cfg, 4, 4, 3, named({"a", "b", "c", "d"}));
    change_copy_on_medium(v.sim, 4, 4, [](dace_root &h) { h.count = 9; }); // cut-short header: head CRC fails
    plant_root(v.sim, v.cfg, 4, 5, 3, named({"a", "b", "c", "d", "e"}));
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), (Names{"a", "b", "c"}));
    const CopyWritten moved = commit_a_rename(v, "a", "z", 4);
    EXPECT_NE(moved.clus, 4u);
    EXPECT_EQ(moved.page, 0u);
    EXPECT_EQ(moved.head.seq, 4u);
    ASSERT_NE(remount(v), nullptr);
    EXPECT_EQ(listed_names(v.s), (Names{"z", "b", "c"}));
}

// Rule 1: a sound copy of another generation after the run is left over
// from an earlier use of the cluster: it ends the walk instead of being
// revived, and the next commit goes to a fresh cluster.
TEST(Mount, CopyOfAnotherGenerationEndsTheWalk) {
    Volume v;
    plant_root(v.sim, v.cfg, 4, 0, 3, named({"a"}));
    plant_root(v.sim, v.cfg, 4, 1, 3, named({"a", "b"}));
    plant_root(v.sim, v.cfg, 4, 2, 2, named({"stale"}));
    plant_root(v.sim, v.cfg, 4, 3, 3, named({"a", "b", "c"}));
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), (Names{"a", "b"}));
    const CopyWritten moved = commit_a_rename(v, "b", "y", 4);
    EXPECT_NE(moved.clus, 4u);
    EXPECT_EQ(moved.head.seq, 4u);
}

TEST(Mount, DamagedFirstCopyHidesTheCluster) {
    Volume v;
    plant_root(v.sim, v.cfg, 2, 0, 3, named({"old"}));
    plant_root(v.sim, v.cfg, 5, 0, 9, named({"new"}));
    change_copy_on_medium(v.sim, 5, 0, [](dace_root &h) { h.pages = 2; }); // head CRC no longer matches
    plant_root(v.sim, v.cfg, 5, 1, 9, named({"new"}));
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), Names{"old"});
    EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1) << "cluster 5 counts as free";
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
        change_copy_on_medium(v.sim, 3, k.first_pages, [&](dace_root &h) { h.pages = k.bad_pages; });
        reseal(v.sim, v.cfg, 3, k.first_pages);
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(listed_names(s), Names{"good"});
    }
    // The same fault in the only copy leaves no root that counts: the
    // mount refuses rather than format over a volume.
    Volume v;
    plant_root(v.sim, v.cfg, 3, 0, 4, named({"bad"}));
    change_copy_on_medium(v.sim, 3, 0, [](dace_root &h) { h.pages = 0; });
    reseal(v.sim, v.cfg, 3, 0);
    EXPECT_EQ(v.mount(), nullptr);
}

// ---- geometry ---------------------------------------------------------------------

// Rule 5: a whole copy of another geometry refuses the mount, which writes
// nothing, so a medium is never formatted afresh under another
// configuration.
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
         [](FlashSim &sim, const dace_config &) {
             change_copy_on_medium(sim, 9, 0, [](dace_root &h) { h.files_crc = 0xFFFF; });
         }},
        {"geometry erased, head CRC matching",
         [](FlashSim &sim, const dace_config &cfg) {
             change_copy_on_medium(sim, 9, 0,
                                   [](dace_root &h) { h.page_size = h.geometry_tag = h.clus_pages = 0xFFFF; });
             reseal(sim, cfg, 9, 0);
         }},
        {"reserved bytes not zero",
         [](FlashSim &sim, const dace_config &cfg) {
             change_copy_on_medium(sim, 9, 0, [](dace_root &h) { h.reserved2 = 0xFFFFFFFF; });
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
            EXPECT_EQ(listed_names(s), Names{"mine"});
        }
    }
}

// Rule 5: a root move cut short after a few bytes leaves ROOT_MAGIC over a
// header that does not check out: that is no root, and no reason to refuse
// while the root it moved from is there. Alone it is a mark of this file
// system that no root accounts for: the mount refuses rather than format.
TEST(Mount, CutShortRootHeaderNeitherCountsNorRefuses) {
    for (bool other_root : {true, false}) {
        SCOPED_TRACE(other_root);
        Volume v;
        if (other_root)
            plant_root(v.sim, v.cfg, 2, 0, 8, named({"mine"}));
        plant_word(v.sim, 9, ROOT_MAGIC); // generation 50, geometry fields still 0xFF
        dace_check::put_le32(v.sim.cluster(9) + 4, 50);
        dace_state *s = v.mount();
        if (!other_root) {
            EXPECT_EQ(s, nullptr);
            continue;
        }
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(listed_names(s), Names{"mine"});
        EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1) << "cluster 9 counts as free";
    }
    // A valid header of another geometry at a later page only ends the walk.
    Volume v;
    plant_root(v.sim, v.cfg, 2, 0, 8, named({"mine"}));
    dace_config other = v.cfg;
    other.page_size = 128;
    plant_root(v.sim, other, 2, 2, 8, named({"theirs"})); // 2 pages of 128 bytes: where page 1 starts
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), Names{"mine"});
}

// ---- short reads --------------------------------------------------------------------

// Rule 6: a cluster that starts like a root but cannot be read whole may
// hold the newest root: mounting an older one instead would roll the
// volume back. Its whole read is tried once; a later mount that reads it
// finds the newer root.
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
    EXPECT_EQ(listed_names(s), Names{"newer"});
}

// Rule 7: a root cluster whose cells read differently each time (a page
// left half programmed, a read glitch) is judged and loaded from one read:
// whatever the second look would show, the mount uses only what it
// validated, or refuses. Under the sanitizers this also proves no access
// past a buffer.
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
            const Names names = listed_names(s);
            if (names.empty()) {
                // Only a root mark that itself reads wrong hides the volume.
                EXPECT_EQ(unstable_page, 0u);
                continue;
            }
            EXPECT_TRUE(names == (Names{"a", "b"}) || names == (Names{"a", "b", "c"})) << names.size() << " names";
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

    // Each header once, the root cluster's copy header and that cluster
    // whole: the chains come from the links the first pass kept, and no
    // free cluster is read beyond its header.
    EXPECT_EQ(calls_of(v.sim.log(), Op::Read).size(), kClusters + 2);
    EXPECT_EQ(most_header_reads(v.sim.log(), v.sim.geometry()), 1u);
    EXPECT_EQ(sorted(shown(reads_beyond_headers(v.sim.log()))), sorted(shown({rd(16, 32), rd(16, 2048)})));
    EXPECT_TRUE(changes(v.sim.log(), v.sim, v.cfg).empty());

    // File order is the chain walked back from the newest cluster.
    EXPECT_EQ(file_bytes(s, "log"), cat(cat(std::vector<uint8_t>(2040, 0x33), std::vector<uint8_t>(2040, 0x22)),
                                        std::vector<uint8_t>(920, 0x11)));
    EXPECT_EQ(file_bytes(s, "one"), std::vector<uint8_t>(10, 0x44));
    EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1 - 4);
}

// Rule 4: what no chain reaches is free. A cluster that looks erased by its
// first word is checked whole when first taken, and erased then unless every
// byte reads 0xFF; anything else is erased when taken. A bad cluster is
// never taken.
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
    v.sim.set_strict(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), std::vector<uint8_t>(100, 0x55));
    EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1 - 1 - 1);

    // Eleven clusters, first fit: 1, 3 to 7, 9 to 11, 13 and 14.
    v.sim.set_logging(true);
    put_file(s, "g", 11 * 2040, 4);
    const std::vector<uint32_t> erased = erased_clusters(v.sim.log());
    EXPECT_EQ(std::set<uint32_t>(erased.begin(), erased.end()), (std::set<uint32_t>{5, 6, 7, 9, 11, 13}));
    EXPECT_EQ(erased.size(), 6u) << "a cluster erased twice";
    EXPECT_EQ(v.sim.counters().overwrites, 0u);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "g"), pattern_bytes(11 * 2040, 4));
}

// Rule 4: a cluster counts as erased only when every byte reads 0xFF: one
// stale byte anywhere, at a block edge, in the last block or in a tail
// shorter than a block, has it erased before use; so has a cluster of zero
// bytes.
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
                EXPECT_TRUE(calls_of(v.sim.log(), Op::Write).empty());
                const std::vector<uint32_t> erased = erased_clusters(v.sim.log());
                EXPECT_EQ(erased, blank == 0xFF ? std::vector<uint32_t>{5} : (std::vector<uint32_t>{5, 6}));
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
    EXPECT_EQ(free_clusters(v), kClusters - kReservedClusters - 1 - 1 - 6);
    EXPECT_EQ(accounting_problems(s), "");

    std::set<uint16_t> seen = {2};
    dace_dir dir;
    uint16_t e = 0;
    for (const dace_entry *found = dace_readdir(s, dace_opendir(s, &dir)); found != nullptr;
         found = dace_readdir(s, &dir), ++e) {
        const dace_entry &en = *found;
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

// Rule 6: a medium configured smaller than it was formatted: a file's newest
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
    const auto root_in_upper_half = [&v] {
        for (uint32_t c = 32; c < v.sim.cluster_count(); ++c)
            if (copy_on_medium(v.sim, c, 0).magic == ROOT_MAGIC)
                return true;
        return false;
    };
    Files files;
    for (uint32_t i = 0; !root_in_upper_half(); ++i) {
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
    ASSERT_EQ(copy_on_medium(v.sim, 3, 0).clus_count, 0);
    ASSERT_NE(v.mount(), nullptr);
    ASSERT_EQ(dace_rename(v.s, "old", "new"), DACE_OK);
    const dace_root written = copy_on_medium(v.sim, 3, 1);
    EXPECT_EQ(written.clus_count, kClusters);
    EXPECT_EQ(written.version, DACE_FORMAT_VERSION);
    ASSERT_NE(remount(v), nullptr);
    EXPECT_EQ(listed_names(v.s), Names{"new"});
    expect_refused_untouched(v, 512);
}

// Rule 6: a valid copy later in the log that records another size refuses
// the mount rather than roll the volume back to the copy before it.
TEST(Mount, ALaterCopyOfAnotherSizeRefusesRatherThanRollBack) {
    Volume v;
    plant_root(v.sim, v.cfg, 3, 0, 4, named({"old"}));
    plant_root(v.sim, v.cfg, 3, 1, 4, named({"newer"}));
    change_copy_on_medium(v.sim, 3, 1, [](dace_root &later) {
        later.clus_count = 64;
        later.version = DACE_FORMAT_VERSION;
    });
    reseal(v.sim, v.cfg, 3, 1);
    expect_refused_untouched(v, v.cfg.total_pages);
    v.cfg.total_pages = 512;
    ASSERT_NE(v.mount(), nullptr);
    EXPECT_EQ(listed_names(v.s), Names{"newer"});
}

// Rule 11: a deliberate format under another size gives the old volume up:
// its roots are erased first, so that the new volume mounts under its own
// size.
TEST(Format, AnotherSizeFormatsAfreshAndMountsUnderItsOwnSize) {
    Volume v;
    ASSERT_NE(v.mount(), nullptr);
    put_file(v.s, "gone", 5000);
    v.cfg.total_pages = 512;
    expect_refused_untouched(v, 512);
    std::vector<uint64_t> block(dace_getstatesize(&v.cfg) / 8 + 1);
    dace_state *s = dace_format(&v.cfg, block.data());
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(listed_names(s).empty());
    ASSERT_NE(remount(v), nullptr);
    EXPECT_TRUE(listed_names(v.s).empty());
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
        n += copy_on_medium(sim, c, 0).magic == ROOT_MAGIC ? 1 : 0;
    return n;
}

} // namespace

// Medium cost: with wear levelling the root moves up the medium and leaves
// its old clusters unerased. The mount ranks them by their first copy's
// header and reads whole only the one it loads: a header per cluster, a
// root header per root mark, one cluster.
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
    EXPECT_EQ(listed_names(v.s).size(), 50u);
}

// Medium cost and the ranking: it keeps as many candidates as a cluster
// buffer holds (8 of 8 bytes in a 64-byte cluster). When every one kept
// holds no valid copy, the mount ranks the rest again and still finds the
// root, reading each root cluster whole once.
TEST(Mount, FindsTheRootBelowMoreTornRootClustersThanItRanksAtOnce) {
    Volume v(Geometry{64, 1, 64}, 1);
    plant_root(v.sim, v.cfg, 3, 0, 5, named({"real"}));
    for (uint32_t c = 10; c < 22; ++c) {
        plant_root(v.sim, v.cfg, c, 0, 10 + c, {});
        v.sim.cluster(c)[40] = 0xFF; // the fill of a copy cut short
    }
    v.sim.set_logging(true);
    ASSERT_NE(v.mount(), nullptr);
    EXPECT_EQ(listed_names(v.s), Names{"real"});
    EXPECT_EQ(reads_of(v.sim.log(), 64).whole, 13u);
    for (const Call &c : v.sim.log())
        EXPECT_TRUE(c.op != Op::Write && c.op != Op::Erase);
}

// ---- dace_mount -------------------------------------------------------------------

// Rule 6: dace_mount never erases or programs, whatever the medium holds: it
// mounts a volume, or refuses with a reason; it never formats, and never
// completes a first format cut short (dace_init does).
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
             v.sim.cluster(0)[40] ^= 0xFF; // the fill of the format's copy, at page 0 of its cluster
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

// Rule 6: a cut-short first format is dace_init's to complete, not
// dace_mount's.
TEST(MountOnly, LeavesAFirstFormatCutShortToDaceInit) {
    Volume v;
    v.sim.cut_after_bytes(20);
    (void)v.mount();
    v.sim.reboot();
    EXPECT_EQ(v.mount_only(), nullptr);
    ASSERT_NE(v.mount(), nullptr) << "dace_init completes it";
    EXPECT_NE(v.mount_only(), nullptr);
}
