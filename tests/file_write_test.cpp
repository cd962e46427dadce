// The write path: filling cluster buffers, writing them out, carrying a
// written newest cluster over to a fresh one, flushing, and what a power
// cut or a failing medium leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Op;
using Names = std::vector<std::string>;

namespace {

constexpr uint32_t P = 2040; // payload of the usual test geometry

// The size of the file `h` is open on.
uint32_t size_of(dace_state *s, dace_handle h) {
    dace_entry e{};
    EXPECT_EQ(dace_statf(s, h, &e), 0);
    return e.size;
}


// A flush through `h` that has nothing to write writes nothing.
void expect_nothing_pending(Volume &v, dace_handle h) {
    v.sim.set_logging(true);
    v.sim.clear_log();
    EXPECT_EQ(dace_flush(v.s, h), 0);
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Write).empty()) << "a flush found something pending";
}

// A volume holding one committed file "f" of `size` pattern bytes.
dace_state *with_file(Volume &v, uint32_t size) {
    dace_state *s = v.mount();
    if (s == nullptr)
        return nullptr;
    const dace_handle h = dace_create(s, "f");
    EXPECT_EQ(write_bytes(s, h, pattern_bytes(size)), size);
    EXPECT_EQ(dace_close(s, h), DACE_OK);
    return s;
}


} // namespace

TEST(FileWrite, FullClusterIsWrittenOnlyWhenTheNextByteNeedsRoom) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "f");
    v.sim.set_logging(true);

    ASSERT_EQ(write_bytes(s, h, pattern_bytes(P)), P);
    EXPECT_TRUE(medium_changes(v.sim.log()).empty());
    EXPECT_EQ(size_of(s, h), P);

    ASSERT_EQ(dace_write(s, "x", 1, h), 1u);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), Names{"data cluster, 8 pages"});
    EXPECT_EQ(size_of(s, h), P + 1);

    // k payloads and a byte in one call: k clusters written, the last kept.
    v.sim.clear_log();
    const dace_handle g = dace_create(s, "g");
    ASSERT_EQ(write_bytes(s, g, pattern_bytes(3 * P + 1, 7)), 3 * P + 1);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), Names(3, "data cluster, 8 pages"));
    EXPECT_EQ(page_programmed_twice(v.sim.log(), v.sim.geometry()), "");
    EXPECT_EQ(dace_tell(s, g), 3 * P + 1);
    ASSERT_EQ(dace_close(s, g), DACE_OK);
    ASSERT_EQ(dace_close(s, h), DACE_OK);

    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), cat(pattern_bytes(P), {'x'}));
    EXPECT_EQ(file_bytes(s, "g"), pattern_bytes(3 * P + 1, 7));
}

TEST(FileWrite, RefusedAnywhereButTheEnd) {
    Volume v;
    dace_state *s = with_file(v, 500);
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_open(s, "f");
    v.sim.set_logging(true);
    EXPECT_EQ(dace_write(s, "abc", 3, h), 0u);
    ASSERT_EQ(dace_seek(s, h, 499, DACE_SEEK_SET), DACE_OK);
    v.sim.clear_log();
    EXPECT_EQ(dace_write(s, "abc", 3, h), 0u);
    EXPECT_EQ(dace_write(s, nullptr, 3, h), 0u);
    EXPECT_TRUE(v.sim.log().empty());
    expect_nothing_pending(v, h);
}

// Rule 9: a written newest cluster is never programmed again: even a write
// of no bytes carries it over to a fresh cluster, and the old one stays as
// it was, for the root on the medium that names it, until the commit.
TEST(FileWrite, ZeroByteWriteCarriesTheClusterOverAndKeepsEveryByte) {
    Volume v;
    v.sim.set_strict(true);
    dace_state *s = with_file(v, 100);
    ASSERT_NE(s, nullptr);
    Files committed;
    committed.create("f", pattern_bytes(100));
    const dace_handle h = open_at_end(s, "f");
    const uint16_t old = chain_on_medium(v, "f").at(0);
    const uint32_t free_before = dace_getfreespace(s, nullptr);
    const uint64_t updates = v.sim.counters().update_calls;
    v.sim.set_logging(true);

    EXPECT_EQ(dace_write(s, "", 0, h), 0u);
    EXPECT_TRUE(medium_changes(v.sim.log()).empty());
    EXPECT_EQ(v.sim.counters().update_calls, updates + 1);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before) << "one cluster taken, one held";
    EXPECT_EQ(dace_check::medium_problems(v.sim.bytes(), v.sim.geometry(), v.cfg, &committed), "")
        << "what a power cut now leaves";

    v.sim.clear_log();
    ASSERT_EQ(dace_flush(s, h), 0);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), (Names{"data cluster, 1 page", "root copy, 1 page"}));
    EXPECT_NE(calls_of(v.sim.log(), Op::Write).at(0).addr / 8, old) << "the old cluster programmed again";
    EXPECT_EQ(v.sim.counters().overwrites, 0u);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before);
    v.sim.clear_log();
    EXPECT_EQ(dace_flush(s, h), 0);
    EXPECT_TRUE(v.sim.log().empty()) << "nothing left to flush";

    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(100));
}

// Rule 9: after a flush, an append carries a partly filled newest cluster
// over to a fresh one, which leaves it out of the chain; a full one stays
// where it is and the next cluster links to it. Neither is programmed again.
TEST(FileWrite, AppendAfterAFlushContinuesBehindTheCarriedBytes) {
    for (const uint32_t first : {P - 40, P, 2 * P}) {
        SCOPED_TRACE("first part " + std::to_string(first));
        Volume v;
        v.sim.set_strict(true);
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        const dace_handle h = dace_create(s, "f");
        ASSERT_EQ(write_bytes(s, h, pattern_bytes(first)), first);
        ASSERT_EQ(dace_flush(s, h), 0);
        const uint16_t flushed = chain_on_medium(v, "f").at(0);
        ASSERT_EQ(write_bytes(s, h, pattern_bytes(100, 2)), 100u);
        ASSERT_EQ(dace_flush(s, h), 0);
        const std::vector<uint16_t> chain = chain_on_medium(v, "f");
        EXPECT_NE(chain.at(0), flushed);
        if (first % P != 0) {
            // A partly filled cluster moves: its bytes join the new ones.
            EXPECT_EQ(std::count(chain.begin(), chain.end(), flushed), 0);
        } else {
            // A full one stays where it is, and the new cluster follows it.
            EXPECT_EQ(chain.at(1), flushed);
        }
        EXPECT_EQ(v.sim.counters().overwrites, 0u);

        // The same after reading to the end instead of flushing.
        ASSERT_EQ(dace_close(s, h), DACE_OK);
        const dace_handle r = dace_open(s, "f");
        EXPECT_EQ(read_rest(s, r).size(), first + 100);
        ASSERT_EQ(write_bytes(s, r, pattern_bytes(P, 3)), P);
        ASSERT_EQ(dace_close(s, r), DACE_OK);

        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(file_bytes(s, "f"), cat(cat(pattern_bytes(first), pattern_bytes(100, 2)), pattern_bytes(P, 3)));
    }
}

TEST(FileWrite, FullMediumTakesWhatFitsAndKeepsIt) {
    Volume v(Geometry{256, 1, 64});
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "big");
    const uint64_t updates = v.sim.counters().update_calls;
    const std::vector<uint8_t> data = pattern_bytes(100 * 248);
    const uint32_t taken = write_bytes(s, h, data);
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, data.size());
    EXPECT_EQ(v.sim.counters().update_calls, updates + 1) << "a write cut short is still reported";
    EXPECT_EQ(write_bytes(s, h, data), 0u);
    ASSERT_EQ(dace_close(s, h), DACE_OK);

    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "big"), std::vector<uint8_t>(data.begin(), data.begin() + taken));
}

// ---- commits and failures --------------------------------------------------------

// Rule 8: a commit through any handle first writes out every open file's
// pending cluster (in whatever order), then the root copy that names them.
TEST(FileCommit, RootIsWrittenOnlyAfterEveryOpenFilesPendingCluster) {
    Volume v;
    dace_state *s = with_file(v, 100);
    ASSERT_NE(s, nullptr);
    const dace_handle a = open_at_end(s, "f");
    ASSERT_EQ(write_bytes(s, a, pattern_bytes(50, 9)), 50u); // carried over to a cluster only in memory
    const dace_handle b = dace_create(s, "b");
    ASSERT_EQ(write_bytes(s, b, pattern_bytes(10, 4)), 10u);
    v.sim.set_logging(true);

    ASSERT_EQ(dace_flush(s, b), 0);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg),
              (Names{"data cluster, 1 page", "data cluster, 1 page", "root copy, 1 page"}));
    expect_nothing_pending(v, a);

    // Power lost right after the commit: both files are whole.
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), cat(pattern_bytes(100), pattern_bytes(50, 9)));
    EXPECT_EQ(file_bytes(s, "b"), pattern_bytes(10, 4));
}

// Rule 8: when another file's pending cluster falls short, no root copy is
// written, and a power cut then leaves the last commit whole.
TEST(FileCommit, ShortWriteOfAnotherFilesClusterHoldsTheRootBack) {
    Volume v;
    dace_state *s = with_file(v, 100);
    ASSERT_NE(s, nullptr);
    const dace_handle a = open_at_end(s, "f");
    ASSERT_EQ(write_bytes(s, a, pattern_bytes(50, 9)), 50u);
    const dace_handle b = dace_create(s, "b");
    ASSERT_EQ(write_bytes(s, b, pattern_bytes(10, 4)), 10u);
    v.sim.set_logging(true);
    v.sim.fail_write(2, 100); // b's cluster goes through, a's falls short
    EXPECT_EQ(dace_flush(s, b), -1);
    v.sim.fail_write(1);
    EXPECT_EQ(dace_close(s, b), DACE_CLOSE_WRITE_FAILED);
    EXPECT_TRUE(root_copies_written(v.sim.log(), v.sim).empty())
        << "no root copy may name a cluster that is not written";

    // Power lost now: the last commit stands, with the old cluster intact.
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(100));
    EXPECT_EQ(dace_find_file(s, "b"), -1);
}

// Rule 9: a write-out that falls short inside a write keeps the cluster's
// bytes for a retry in a fresh cluster; the write takes nothing, and the
// cluster it took for the next bytes is given back.
TEST(FileWrite, ShortWriteOutInsideAWriteKeepsTheBytesForARetry) {
    Volume v;
    v.sim.set_strict(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "f");
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(P)), P);
    const uint32_t free_before = dace_getfreespace(s, nullptr);
    const uint64_t updates = v.sim.counters().update_calls;

    v.sim.fail_write(1, 256);
    EXPECT_EQ(write_bytes(s, h, pattern_bytes(300, 5)), 0u);
    EXPECT_EQ(v.sim.counters().update_calls, updates + 1);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before) << "the cluster taken for the next bytes is given back";
    EXPECT_EQ(size_of(s, h), P);

    EXPECT_EQ(write_bytes(s, h, pattern_bytes(300, 5)), 300u);
    ASSERT_EQ(dace_close(s, h), DACE_OK);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), cat(pattern_bytes(P), pattern_bytes(300, 5)));
}

TEST(FileWrite, NothingChangesWhenNoRootCopyCanBeStaged) {
    Volume v;
    dace_state *s = with_file(v, 100);
    ASSERT_NE(s, nullptr);
    const dace_handle h = open_at_end(s, "f");
    // A root cluster that takes no further copy, and no cluster to move to.
    v.leave_unchecked("sets the root's seal and table codes by hand");
    s->root_sealed = 1;
    for (uint32_t i = 0; i < s->clus_count; ++i)
        if (s->clus_table[i] == CLUS_FREE || s->clus_table[i] == CLUS_DIRTY)
            s->clus_table[i] = CLUS_BAD;
    v.sim.set_logging(true);

    EXPECT_EQ(dace_write(s, "abc", 3, h), 0u);
    EXPECT_EQ(size_of(s, h), 100u);
    EXPECT_EQ(dace_flush(s, h), 0);
    EXPECT_TRUE(medium_changes(v.sim.log()).empty());
}

// Rule 9: clusters written before a commit leave the committed ones as they
// were, so a power cut loses the unflushed bytes whole and nothing else.
TEST(FileWrite, UnflushedBytesAreLostWholeAndCommittedOnesStay) {
    Volume v;
    dace_state *s = with_file(v, 3000);
    ASSERT_NE(s, nullptr);
    const dace_handle h = open_at_end(s, "f");
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(5000, 8)), 5000u); // clusters written, root not
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(3000));
    EXPECT_EQ(accounting_problems(s), "");
}

TEST(FileWrite, PositionPastAShortenedEndTouchesNoCluster) {
    Volume v;
    dace_state *s = with_file(v, 5000);
    ASSERT_NE(s, nullptr);
    const dace_handle h = open_at_end(s, "f");
    v.entries()[0].size = 100; // as if the file were shortened by name
    v.leave_unchecked("shortens an entry by hand, leaving its chain too long");
    v.sim.set_logging(true);
    uint8_t buf[16];
    EXPECT_EQ(dace_read(s, buf, sizeof buf, h), 0u);
    EXPECT_EQ(dace_write(s, buf, sizeof buf, h), 0u);
    EXPECT_EQ(dace_feof(s, h), 1);
    EXPECT_EQ(dace_seek(s, h, 1, DACE_SEEK_CUR), DACE_SEEK_BEYOND_END);
    EXPECT_TRUE(v.sim.log().empty());
}

// Rule 9: a data write that falls short leaves its cluster partly
// programmed; the retry, with more bytes and another CRC, must go to a
// fresh cluster, however
// the retry comes: a flush, a close, a write crossing into the next cluster,
// or another handle's commit.
TEST(FileWrite, ShortDataWriteIsRetriedInAFreshCluster) {
    enum Via { Flush, Close, Boundary, OtherHandle };
    for (const Via via : {Flush, Close, Boundary, OtherHandle}) {
        for (const uint32_t done : {0u, 4u, 100u}) {
            SCOPED_TRACE("via " + std::to_string(via) + ", " + std::to_string(done) + " bytes programmed");
            Volume v(Geometry{256, 1, 64});
            v.sim.set_strict(true);
            dace_state *s = v.mount();
            ASSERT_NE(s, nullptr);
            const dace_handle other = dace_create(s, "other");
            const dace_handle h = dace_create(s, "d");
            const std::vector<uint8_t> a = pattern_bytes(via == Boundary ? 496 : 300, 1);
            ASSERT_EQ(write_bytes(s, h, a), a.size());

            v.sim.fail_write(1, done);
            switch (via) {
            case Flush:
                EXPECT_EQ(dace_flush(s, h), -1);
                break;
            case Close:
                EXPECT_EQ(dace_close(s, h), DACE_CLOSE_WRITE_FAILED);
                break;
            case Boundary:
                EXPECT_EQ(dace_write(s, "x", 1, h), 0u);
                break;
            case OtherHandle:
                EXPECT_EQ(dace_flush(s, other), -1);
                break;
            }
            const std::vector<uint8_t> b = pattern_bytes(60, 2);
            ASSERT_EQ(write_bytes(s, h, b), b.size());
            ASSERT_EQ(dace_close(s, h), DACE_OK);
            // Strict flash: the spoilt cluster was written again only after
            // an erase, if at all.
            EXPECT_EQ(v.sim.counters().overwrites, 0u);
            EXPECT_EQ(accounting_problems(s), "");

            s = remount(v);
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(file_bytes(s, "d"), cat(a, b));
        }
    }
}

// Rules 4 and 9: with no cluster left to move to (failed erases have taken
// the reserve), a write that fell short is retried in the same cluster
// after erasing it, as long as that cluster holds nothing committed: a data
// cluster never named by a root copy, or a root cluster whose one copy
// never reached the medium.
TEST(FileCommit, NoClusterLeftRetriesInTheErasedCluster) {
    const auto use_up_clusters = [](dace_state *s) {
        for (uint32_t i = 0; i < s->clus_count; ++i)
            if (s->clus_table[i] == CLUS_FREE || s->clus_table[i] == CLUS_DIRTY)
                s->clus_table[i] = CLUS_BAD;
    };
    for (const bool root : {false, true}) {
        SCOPED_TRACE(root ? "root copy" : "data cluster");
        Volume v;
        v.sim.set_strict(true);
        dace_state *s = with_file(v, 100);
        ASSERT_NE(s, nullptr);
        const dace_handle h = open_at_end(s, "f");
        if (root)
            s->root_sealed = 1; // the next copy goes to page 0 of a fresh cluster
        ASSERT_EQ(dace_write(s, "0123456789", 10, h), 10u);
        v.sim.set_logging(true);
        v.sim.fail_write(root ? 2 : 1, 10);
        ASSERT_EQ(dace_flush(s, h), -1);
        const std::vector<dace_sim::Call> writes = calls_of(v.sim.log(), Op::Write);
        const auto short_write = std::find_if(writes.begin(), writes.end(),
                                              [](const dace_sim::Call &c) { return c.result < c.count; });
        ASSERT_NE(short_write, writes.end());
        const uint32_t spoilt = short_write->addr / v.sim.geometry().clus_pages;
        use_up_clusters(s);

        EXPECT_EQ(dace_flush(s, h), 0);
        // The spoilt cluster is the one erased, before its pages take a program again.
        EXPECT_EQ(erased_clusters(v.sim.log()), std::vector<uint32_t>{spoilt});
        EXPECT_EQ(page_programmed_twice(v.sim.log(), v.sim.geometry()), "");
        EXPECT_EQ(v.sim.counters().overwrites, 0u);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(file_bytes(s, "f"), cat(pattern_bytes(100), {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    }
}
