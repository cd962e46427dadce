// The cluster table: how clusters are taken, held, given back and walked.
// Scenarios are set up on the table of a freshly formatted volume (root in
// cluster 0, clusters 1-127 free, free_clus 123).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Call;
using dace_sim::Op;

namespace {

struct Fresh : Volume {
    Fresh() {
        mount();
        sim.set_logging(true);
    }
    std::vector<uint16_t> table() const { return {s->clus_table, s->clus_table + s->clus_count}; }
    size_t calls(Op op) const {
        size_t n = 0;
        for (const Call &c : sim.log())
            n += c.op == op;
        return n;
    }
    size_t erases() const { return calls(Op::Erase); }
};

} // namespace

TEST(Allocator, TakesFirstFreeClusterFromZeroEveryTime) {
    Fresh v;
    v.leave_unchecked("sets cluster table codes by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->free_clus, 123);
    EXPECT_EQ(dace_alloc_clus(s), 1);
    EXPECT_EQ(s->clus_table[1], CLUS_END);
    EXPECT_EQ(s->free_clus, 122);
    EXPECT_EQ(dace_alloc_clus(s), 2);
    EXPECT_EQ(dace_alloc_clus(s), 3);
    // No cursor: a lower cluster that becomes free is the next one taken.
    s->clus_table[1] = CLUS_FREE;
    EXPECT_EQ(dace_alloc_clus(s), 1);
    EXPECT_EQ(s->free_clus, 119);
    EXPECT_EQ(v.erases(), 0u); // free clusters that read back erased need no erase
    EXPECT_EQ(v.calls(Op::Write), 0u);
}

// Medium cost, and rule 4: a free cluster is read whole once when first
// taken and erased only when a byte of it is not 0xFF; one the allocator
// erased itself, or could not read, is not read again.
TEST(Allocator, ReadsAFreeClusterWholeOnceAndErasesItOnlyWhenStale) {
    Fresh v;
    v.leave_unchecked("sets cluster table codes by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    // What the mount only knows by its first word: an erase cut short
    // leaves stale bytes behind an erased start.
    v.sim.cluster(1)[2047] = 0x00;
    v.sim.cluster(2)[700] = 0x7E;
    EXPECT_EQ(dace_alloc_clus(s), 1);
    EXPECT_EQ(dace_alloc_clus(s), 2);
    EXPECT_EQ(dace_alloc_clus(s), 3);
    EXPECT_EQ(v.sim.log(), (std::vector<Call>{{Op::Read, 8, 2048, 2048},
                                              {Op::Erase, 1, 1, 1},
                                              {Op::Read, 16, 2048, 2048},
                                              {Op::Erase, 2, 1, 1},
                                              {Op::Read, 24, 2048, 2048}}));
    EXPECT_EQ(v.sim.cluster(1)[2047], 0xFF);
    EXPECT_EQ(v.sim.cluster(2)[700], 0xFF);

    // A free cluster that cannot be read is erased before use, and one the
    // allocator erased itself is never read.
    v.sim.clear_log();
    v.sim.fail_read(1);
    EXPECT_EQ(dace_alloc_clus(s), 4);
    EXPECT_EQ(v.erases(), 1u);
    s->clus_table[4] = CLUS_DIRTY;
    v.sim.clear_log();
    EXPECT_EQ(dace_alloc_clus(s), 4);
    EXPECT_EQ(v.sim.log(), (std::vector<Call>{{Op::Erase, 4, 1, 1}}));
}

TEST(Allocator, LevelledWearTakesNextFitFromTheCursorAndWraps) {
    Fresh v;
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    dace_level_wear(s, 126);
    EXPECT_EQ(dace_alloc_clus(s), 126);
    EXPECT_EQ(dace_alloc_clus(s), 127);
    EXPECT_EQ(dace_alloc_clus(s), 1); // cluster 0 is the root
    s->clus_table[126] = CLUS_DIRTY;
    // A cluster behind the cursor waits for the search to come round.
    EXPECT_EQ(dace_alloc_clus(s), 2);
    dace_level_wear(s, 128 + 126); // taken modulo the cluster count
    EXPECT_EQ(dace_alloc_clus(s), 126);

    // Every mount starts first-fit again until asked.
    v.sim.reboot();
    ASSERT_NE(v.mount(), nullptr);
    EXPECT_EQ(dace_alloc_clus(v.s), 1);
}

// Rule 4: a cluster that waits for an erase is erased when it is taken, by
// its cluster number, and no other is touched.
TEST(Allocator, ErasesDirtyClusterOnlyWhenTaken) {
    Fresh v;
    v.leave_unchecked("sets cluster table codes by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    s->clus_table[1] = CLUS_BAD;
    s->clus_table[2] = CLUS_DIRTY;
    s->clus_table[9] = CLUS_DIRTY;
    std::memset(v.sim.cluster(2), 0x5C, 2048);
    EXPECT_EQ(dace_alloc_clus(s), 2);
    EXPECT_EQ(erased_clusters(v.sim.log()), std::vector<uint32_t>{2}); // a cluster number, not a page
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Write).empty());
    EXPECT_EQ(v.sim.cluster(2)[2047], 0xFF);
    EXPECT_EQ(s->clus_table[2], CLUS_END);
    EXPECT_EQ(s->clus_table[9], CLUS_DIRTY);
    EXPECT_EQ(s->free_clus, 122);
}

class EraseResult : public ::testing::TestWithParam<uint32_t> {};

TEST_P(EraseResult, OtherThanOneMarksClusterBadAndSearchGoesOn) {
    Fresh v;
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    s->clus_table[1] = CLUS_DIRTY;
    s->clus_table[2] = CLUS_DIRTY;
    // The erase even happened; only its result counts.
    v.sim.fail_erase(1, GetParam(), true);
    EXPECT_EQ(dace_alloc_clus(s), 2);
    EXPECT_EQ(s->clus_table[1], CLUS_BAD);
    EXPECT_EQ(s->clus_table[2], CLUS_END);
    EXPECT_EQ(s->free_clus, 121); // one for the bad cluster, one taken
    EXPECT_EQ(v.erases(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Allocator, EraseResult, ::testing::Values(0u, 2u, 0xFFFFFFFFu));

TEST(Allocator, FailedErasesStopTheSearchWhenCountReachesZero) {
    Fresh v;
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    for (uint32_t i = 1; i < s->clus_count; ++i) {
        s->clus_table[i] = CLUS_DIRTY;
        v.sim.wear_out(i);
    }
    EXPECT_EQ(dace_alloc_clus(s), -1);
    EXPECT_EQ(s->free_clus, 0);
    EXPECT_EQ(v.erases(), 123u);
    EXPECT_EQ(v.sim.log().back().addr, 123u);
    EXPECT_EQ(s->clus_table[123], CLUS_BAD);
    for (uint32_t i = 124; i < s->clus_count; ++i)
        EXPECT_EQ(s->clus_table[i], CLUS_DIRTY) << "cluster " << i;

    // A later call refuses at once.
    v.sim.clear_log();
    EXPECT_EQ(dace_alloc_clus(s), -1);
    EXPECT_EQ(v.erases(), 0u);
}

TEST(Allocator, RefusesAtZeroWithoutErasingAnything) {
    Fresh v;
    v.leave_unchecked("sets cluster table codes by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    for (uint32_t i = 1; i < s->clus_count; ++i)
        s->clus_table[i] = static_cast<uint16_t>(i % 2 ? CLUS_DIRTY : CLUS_FREE);
    s->free_clus = 0;
    const std::vector<uint16_t> before = v.table();
    EXPECT_EQ(dace_alloc_clus(s), -1);
    EXPECT_EQ(v.table(), before);
    EXPECT_TRUE(v.sim.log().empty());
}

TEST(Allocator, FailsAtTableEndWhenNothingIsUsable) {
    Fresh v;
    v.leave_unchecked("sets cluster table codes by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    for (uint32_t i = 1; i < s->clus_count; ++i)
        s->clus_table[i] = static_cast<uint16_t>(i % 3 == 0 ? CLUS_BAD : (i % 3 == 1 ? CLUS_HELD : i - 1));
    EXPECT_EQ(dace_alloc_clus(s), -1);
    EXPECT_EQ(s->free_clus, 123);
    EXPECT_TRUE(v.sim.log().empty());
}

TEST(FreeCount, KeepsDeficitInsteadOfWrapping) {
    Fresh v;
    v.leave_unchecked("sets the free count by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    s->free_clus = 1;
    for (int i = 0; i < 3; ++i)
        dace::lower_free_count(s);
    EXPECT_EQ(s->free_clus, 0);
    EXPECT_EQ(s->free_deficit, 2);
    dace::raise_free_count(s);
    dace::raise_free_count(s);
    EXPECT_EQ(s->free_clus, 0);
    EXPECT_EQ(dace_getfreespace(s, nullptr), 0u);
    dace::raise_free_count(s);
    EXPECT_EQ(s->free_clus, 1);
    EXPECT_EQ(s->free_deficit, 0);
}

// Rule 3: a released cluster counts as free space at once, but is not
// handed out, and nothing reaches the medium at release.
TEST(HeldClusters, CountAsFreeButAreNotHandedOut) {
    Fresh v;
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_alloc_clus(s), 1);
    ASSERT_EQ(dace_alloc_clus(s), 2);
    const uint32_t free_before = dace_getfreespace(s, nullptr);
    v.sim.clear_log();
    dace::release_cluster(s, 1);
    EXPECT_EQ(s->clus_table[1], CLUS_HELD);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before + 2048);
    EXPECT_TRUE(v.sim.log().empty()); // nothing reaches the medium at release
    EXPECT_EQ(dace_alloc_clus(s), 3);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before);
    // Numbers outside the table are ignored.
    dace::release_cluster(s, 128);
    dace::release_cluster(s, CLUS_END);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before);
}

// Rules 3 and 10: a held cluster's count is no licence to hand out a
// cluster of the reserve that root moves need.
TEST(HeldClusters, DoNotOpenTheReserveToFiles) {
    Fresh v;
    v.leave_unchecked("sets the free count and table codes by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_alloc_clus(s), 1);
    ASSERT_EQ(dace_alloc_clus(s), 2);
    s->free_clus = 1; // one cluster left above the reserve
    dace::release_cluster(s, 1);
    ASSERT_EQ(s->free_clus, 2);
    EXPECT_EQ(dace_alloc_clus(s), 3);
    // The one count left is the held cluster's: handing out a free one
    // now would take from the reserve.
    EXPECT_EQ(dace_alloc_clus(s), -1);
    EXPECT_EQ(s->free_clus, 1);
    s->clus_table[4] = CLUS_DIRTY;
    v.sim.clear_log();
    EXPECT_EQ(dace::take_cluster(s, false), -1);
    EXPECT_TRUE(v.sim.log().empty());
}

// Rule 3: held clusters wait for an erase only once a root copy without
// them is on the medium; a root write that fell short leaves them held.
TEST(HeldClusters, BecomeDirtyOnlyWhenRootCommitReachesMedium) {
    Fresh v;
    v.leave_unchecked("sets cluster table codes by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_alloc_clus(s), 1);
    ASSERT_EQ(dace_alloc_clus(s), 2);
    s->clus_table[2] = 1;
    s->clus_table[5] = CLUS_BAD;
    dace::release_cluster(s, 2);
    dace::release_cluster(s, 1);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, 0xFFFF), 0);

    // The root on the medium may still name them while the write fell short.
    v.sim.fail_write(1, 0);
    EXPECT_EQ(dace_commit_root(s), -1);
    EXPECT_EQ(s->clus_table[1], CLUS_HELD);
    EXPECT_EQ(s->clus_table[2], CLUS_HELD);

    // The rewrite moves the root (to cluster 3) and holds the old root too.
    EXPECT_EQ(dace_commit_root(s), 0);
    ASSERT_EQ(s->root_clus, 3);
    std::vector<uint16_t> expected(128, CLUS_FREE);
    expected[0] = CLUS_DIRTY;
    expected[1] = CLUS_DIRTY;
    expected[2] = CLUS_DIRTY;
    expected[3] = CLUS_END;
    expected[5] = CLUS_BAD;
    EXPECT_EQ(v.table(), expected);
    EXPECT_EQ(s->held_count, 0);
}

TEST(NextClus, WalksTheChainNewestFirst) {
    Fresh v;
    v.leave_unchecked("sets entries and table links by hand, with no clusters on the medium");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    // File order 9, 4, 12 (newest); a one-cluster file on 20; an empty file.
    s->root->count = 3;
    v.entries()[0] = make_entry("three", 5000, 12);
    v.entries()[1] = make_entry("one", 10, 20);
    v.entries()[2] = make_entry("none", 0, CLUS_END);
    s->clus_table[12] = 4;
    s->clus_table[4] = 9;
    s->clus_table[9] = CLUS_END;
    s->clus_table[20] = CLUS_END;
    dace_file three{}, one{}, none{};
    three.entry = 0;
    one.entry = 1;
    none.entry = 2;

    EXPECT_EQ(dace_next_clus(s, &three, 9), 4);
    EXPECT_EQ(dace_next_clus(s, &three, 4), 12);
    EXPECT_EQ(dace_next_clus(s, &three, 12), -1);
    // A cluster outside the file, or none at all, leads to its first cluster.
    EXPECT_EQ(dace_next_clus(s, &three, 20), 9);
    EXPECT_EQ(dace_next_clus(s, &three, CLUS_END), 9);
    EXPECT_EQ(dace_next_clus(s, &one, 20), -1);
    EXPECT_EQ(dace_next_clus(s, &one, CLUS_END), 20);
    EXPECT_EQ(dace_next_clus(s, &none, 3), -1);
    EXPECT_EQ(dace_next_clus(s, &none, CLUS_END), -1);
    // A slot whose entry is not in the directory has no clusters.
    dace_file closed{};
    closed.entry = 0xFFFF;
    EXPECT_EQ(dace_next_clus(s, &closed, 9), -1);
}

TEST(NextClus, EndsInsideTheTableOnCorruptLinks) {
    Fresh v;
    v.leave_unchecked("sets entries and broken table links by hand");
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    s->root->count = 3;
    v.entries()[0] = make_entry("loop", 0, 7);
    v.entries()[1] = make_entry("wild", 0, 30);
    v.entries()[2] = make_entry("outside", 0, 500);
    s->clus_table[7] = 8; // 7 -> 8 -> 7 ...
    s->clus_table[8] = 7;
    s->clus_table[30] = 200; // past the table
    s->clus_table[31] = CLUS_DIRTY;
    dace_file f{};

    f.entry = 0;
    EXPECT_EQ(dace_next_clus(s, &f, 8), 7);
    EXPECT_EQ(dace_next_clus(s, &f, 50), -1);
    f.entry = 1;
    EXPECT_EQ(dace_next_clus(s, &f, 50), -1);
    s->clus_table[30] = 31; // a table code is no link either
    EXPECT_EQ(dace_next_clus(s, &f, 50), -1);
    f.entry = 2;
    EXPECT_EQ(dace_next_clus(s, &f, 50), -1);
}

TEST(FreeSpace, CountsWholeClustersLessReserveAndRoot) {
    Fresh v;
    dace_state *s = v.s;
    ASSERT_NE(s, nullptr);
    const uint32_t fresh = 128u - kReservedClusters - 1u;
    uint32_t total = 0;
    EXPECT_EQ(dace_getfreespace(s, &total), fresh * 2048u);
    EXPECT_EQ(total, 128u * 2048u);
    EXPECT_EQ(dace_getfreespace(s, nullptr), fresh * 2048u);
    ASSERT_EQ(dace_alloc_clus(s), 1);
    EXPECT_EQ(dace_getfreespace(s, &total), (fresh - 1u) * 2048u);
    EXPECT_EQ(total, 128u * 2048u);
}
