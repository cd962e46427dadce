// Staging of root copies (dace_reopen_root, dace_copy_entries), their commit,
// root moves, and what a fresh mount finds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Call;
using dace_sim::Op;

namespace {

constexpr uint16_t kNone = 0xFFFF; // `drop` of modes 0 and 1

std::vector<dace_entry> numbered(size_t n) {
    std::vector<dace_entry> out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(make_entry("e" + std::to_string(i), 0, CLUS_END));
    return out;
}

// Plants `copies` copies of one directory back to back from page 0 of
// cluster 0, each as few pages as it needs (or `pages`), and mounts.
dace_state *mount_root(Volume &v, const std::vector<dace_entry> &entries, uint32_t copies, uint32_t seq = 3,
                       uint16_t pages = 0) {
    if (pages == 0)
        pages = static_cast<uint16_t>((32 + 32 * entries.size() + 255) / 256);
    for (uint32_t i = 0; i < copies; ++i)
        plant_root(v.sim, v.cfg, 0, i * pages, seq, entries, pages);
    return v.mount();
}

std::vector<std::string> names_of(const Volume &v) {
    std::vector<std::string> out;
    for (uint16_t i = 0; i < v.count(); ++i)
        out.push_back(entry_name(v.entries()[i]));
    return out;
}

// Opens a slot on `entry` the way the file layer does: off the free list,
// onto the open list.
dace_file *open_on(dace_state *s, uint16_t entry) {
    dace_file *f = s->free_list;
    s->free_list = f->next;
    f->next = s->open_list;
    s->open_list = f;
    f->entry = entry;
    return f;
}

std::vector<uint8_t> image(const dace_state *s) { return {s->root_buf, s->root_buf + s->clus_size}; }

bool all_are(const uint8_t *p, size_t n, uint8_t value) {
    return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

const uint8_t *bytes_of(const dace_root *r) { return reinterpret_cast<const uint8_t *>(r); }

bool has_erase_of(const std::vector<Call> &log, uint32_t clus) {
    return std::any_of(log.begin(), log.end(), [clus](const Call &c) { return c.op == Op::Erase && c.addr == clus; });
}

} // namespace

// ---- staging in the same cluster ------------------------------------------------

TEST(RootCommit, StagesAfterTheCommittedCopyAndWritesItOnce) {
    Volume v;
    dace_state *s = mount_root(v, named({"a", "b", "c"}), 1);
    ASSERT_NE(s, nullptr);
    std::memset(s->root_buf + 256, 0xA5, 256); // the zero fill must not rely on the image
    v.sim.set_logging(true);

    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
    EXPECT_EQ(s->root_clus, 0);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(s->root_end, 1);
    const uint8_t *page1 = s->root_buf + 256;
    EXPECT_EQ(bytes_of(s->root), page1);
    EXPECT_EQ(std::memcmp(page1, s->root_buf, 32 + 3 * 32), 0);
    EXPECT_TRUE(all_are(page1 + 128, 128, 0x00));
    v.entries()[1].stamp = 777;

    // A second change before the commit uses the same staged copy.
    const std::vector<uint8_t> before = image(s);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
    EXPECT_EQ(image(s), before);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_TRUE(v.sim.log().empty());

    ASSERT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), std::vector<std::string>{"root copy, 1 page"});
    EXPECT_EQ(calls_of(v.sim.log(), Op::Write).at(0).addr, 1u);
    EXPECT_EQ(s->root_end, 2);
    EXPECT_EQ(std::vector<uint8_t>(v.sim.cluster(0) + 256, v.sim.cluster(0) + 512), as_on_medium(s->root, 256));
    v.sim.clear_log();
    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_TRUE(v.sim.log().empty());

    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(s->root_end, 2);
    EXPECT_EQ(s->root->seq, 3u);
    EXPECT_EQ(v.entries()[1].stamp, 777u);
}

// Rule 1: a copy keeps an entry's worth of zero fill behind its entries
// while the cluster has room, so an append grows it by a zeroed page only
// when the table is full by that measure.
TEST(RootCow, AppendAddsAPageOnlyWhenTheTableIsFull) {
    {
        SCOPED_TRACE("committed, full");
        Volume v;
        dace_state *s = mount_root(v, numbered(7), 1);
        ASSERT_NE(s, nullptr);
        std::memset(s->root_buf + 256, 0xA5, 512);
        ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 0);
        EXPECT_EQ(s->root_page, 1);
        EXPECT_EQ(s->root->pages, 2);
        EXPECT_EQ(s->root->count, 7);
        EXPECT_TRUE(all_are(s->root_buf + 256 + 256, 256, 0x00));
    }
    SCOPED_TRACE("committed with room, then staged and full");
    Volume v;
    dace_state *s = mount_root(v, numbered(5), 1);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 0);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(s->root->pages, 1);
    v.entries()[v.count()] = make_entry("sixth", 0, CLUS_END, 6);
    ++s->root->count;

    // The staged copy is full, since a seventh entry would leave no zero
    // fill behind the table: it grows where it stands by a zeroed page.
    std::memset(s->root_buf + 512, 0xA5, 256);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 0);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(s->root_clus, 0);
    EXPECT_EQ(s->root->pages, 2);
    EXPECT_TRUE(all_are(s->root_buf + 512, 256, 0x00));
    v.entries()[v.count()] = make_entry("seventh", 0, CLUS_END, 7);
    ++s->root->count;

    v.sim.set_logging(true);
    ASSERT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), std::vector<std::string>{"root copy, 2 pages"});
    EXPECT_EQ(root_copies_written(v.sim.log(), v.sim).at(0).page, 1u);
    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(s->root_end, 3);
    EXPECT_EQ(s->root->count, 7);
    EXPECT_EQ(names_of(v).back(), "seventh");
}

// ---- root moves -------------------------------------------------------------------

// Rule 3: a full root cluster moves to a fresh cluster of the next
// generation, erased as it is taken and written nothing at staging; the old
// root cluster is held, and the move leaves the free space as it was.
TEST(RootCow, FullRootClusterMovesToAFreshClusterInEveryMode) {
    for (int mode : {DACE_REOPEN_CHANGE, DACE_REOPEN_APPEND, DACE_REOPEN_REMOVE}) {
        SCOPED_TRACE(mode);
        Volume v;
        plant_word(v.sim, 1, 0x12345678); // the cluster it moves to needs an erase
        dace_state *s = mount_root(v, named({"a", "b", "c"}), 8);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->root_end, 8);
        const uint32_t free_before = dace_getfreespace(s, nullptr);
        v.sim.set_logging(true);

        ASSERT_EQ(dace_reopen_root(s, mode, mode == DACE_REOPEN_REMOVE ? 1 : kNone), 0);
        EXPECT_EQ(erased_clusters(v.sim.log()), std::vector<uint32_t>{1});
        EXPECT_TRUE(calls_of(v.sim.log(), Op::Write).empty());
        EXPECT_EQ(s->root_clus, 1);
        EXPECT_EQ(s->root_page, 0);
        EXPECT_EQ(s->root_end, 0);
        EXPECT_EQ(bytes_of(s->root), s->root_buf);
        EXPECT_EQ(s->root->seq, 4u);
        EXPECT_EQ(s->root->pages, 1);
        const std::vector<std::string> expected_names =
            mode == DACE_REOPEN_REMOVE ? std::vector<std::string>{"a", "c"} : std::vector<std::string>{"a", "b", "c"};
        EXPECT_EQ(names_of(v), expected_names);
        const uint32_t used = 32 + 32 * uint32_t{v.count()};
        EXPECT_TRUE(all_are(s->root_buf + used, 2048 - used, 0x00)); // older copies gone from the image
        EXPECT_EQ(s->clus_table[1], CLUS_END);
        EXPECT_EQ(s->clus_table[0], CLUS_HELD);
        EXPECT_EQ(dace_getfreespace(s, nullptr), free_before);
        EXPECT_EQ(accounting_problems(s), "");
    }
}

TEST(RootCow, CopyThatNoLongerFitsMovesTheRoot) {
    {
        SCOPED_TRACE("one page left, two-page copy");
        Volume v;
        for (uint32_t p = 0; p < 5; ++p)
            plant_root(v.sim, v.cfg, 0, p, 3, named({"a"}));
        plant_root(v.sim, v.cfg, 0, 5, 3, named({"a"}), 2);
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->root_end, 7);
        ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
        EXPECT_EQ(s->root_clus, 1);
        EXPECT_EQ(s->root->pages, 2);
        EXPECT_EQ(s->root->seq, 4u);
    }
    {
        SCOPED_TRACE("one page left, committed table full");
        Volume v;
        dace_state *s = mount_root(v, numbered(7), 7);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 0);
        EXPECT_EQ(s->root_clus, 1);
        EXPECT_EQ(s->root->pages, 2);
        EXPECT_EQ(s->root->count, 7);
    }
    SCOPED_TRACE("staged in the last page, then full");
    Volume v;
    dace_state *s = mount_root(v, numbered(5), 7);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 0);
    ASSERT_EQ(s->root_page, 7);
    v.entries()[v.count()] = make_entry("sixth", 0, CLUS_END, 6);
    ++s->root->count;
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 0);
    EXPECT_EQ(s->root_clus, 1);
    EXPECT_EQ(s->root_page, 0);
    EXPECT_EQ(s->root->pages, 2);
    EXPECT_EQ(s->root->count, 6);
    EXPECT_EQ(names_of(v).back(), "sixth");
    EXPECT_EQ(s->clus_table[0], CLUS_HELD);
    EXPECT_TRUE(all_are(s->root_buf + 32 + 6 * 32, 2048 - 32 - 6 * 32, 0x00));
}

// ---- removal ------------------------------------------------------------------------

TEST(RootCow, RemoveLeavesTheEntryOutAndRenumbersOpenSlots) {
    Volume v(small_nor(), 5);
    dace_state *s = mount_root(v, named({"a", "b", "c", "d"}), 1);
    ASSERT_NE(s, nullptr);
    dace_file *on_a = open_on(s, 0);
    dace_file *on_b = open_on(s, 1);
    dace_file *on_c = open_on(s, 2);
    dace_file *on_d = open_on(s, 3);
    dace_file *idle = s->free_list;
    idle->entry = 3; // a free slot is never renumbered

    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_REMOVE, 1), 0);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(names_of(v), (std::vector<std::string>{"a", "c", "d"}));
    EXPECT_TRUE(all_are(bytes_of(s->root) + 32 + 3 * 32, 32, 0x00));
    EXPECT_EQ(on_a->entry, 0);
    EXPECT_EQ(on_b->entry, 1); // the caller closes the removed file's slot
    EXPECT_EQ(on_c->entry, 1);
    EXPECT_EQ(on_d->entry, 2);
    EXPECT_EQ(idle->entry, 3);

    // On the staged copy the entry goes where it stands.
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_REMOVE, 0), 0);
    EXPECT_EQ(s->root_page, 1);
    EXPECT_EQ(s->root->pages, 1);
    EXPECT_EQ(names_of(v), (std::vector<std::string>{"c", "d"}));
    EXPECT_TRUE(all_are(bytes_of(s->root) + 32 + 2 * 32, 64, 0x00));
    EXPECT_EQ(on_c->entry, 0);
    EXPECT_EQ(on_d->entry, 1);

    // A position past the table removes nothing.
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_REMOVE, 5), 0);
    EXPECT_EQ(names_of(v), (std::vector<std::string>{"c", "d"}));
    EXPECT_EQ(on_d->entry, 1);
    EXPECT_EQ(idle->entry, 3);

    ASSERT_EQ(dace_commit_root(s), 0);
    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(names_of(v), (std::vector<std::string>{"c", "d"}));
}

// Only a removal may shift entries under open handles.
TEST(RootCow, ChangeAndAppendNeverLeaveAnEntryOut) {
    for (uint32_t copies : {1u, 8u}) {
        for (int mode : {DACE_REOPEN_CHANGE, DACE_REOPEN_APPEND}) {
            SCOPED_TRACE(std::to_string(copies) + " copies, mode " + std::to_string(mode));
            Volume v;
            dace_state *s = mount_root(v, named({"a", "b", "c"}), copies);
            ASSERT_NE(s, nullptr);
            dace_file *on_c = open_on(s, 2);
            ASSERT_EQ(dace_reopen_root(s, mode, 0), 0); // committed: stage or move
            EXPECT_EQ(names_of(v), (std::vector<std::string>{"a", "b", "c"}));
            ASSERT_EQ(dace_reopen_root(s, mode, 1), 0); // staged
            EXPECT_EQ(names_of(v), (std::vector<std::string>{"a", "b", "c"}));
            EXPECT_EQ(on_c->entry, 2);
        }
    }
}

TEST(RootCow, CopyEntriesLeavesOneOutAndTouchesNothingElse) {
    Volume v;
    dace_state *s = mount_root(v, named({"a", "b", "c"}), 1);
    ASSERT_NE(s, nullptr);
    const std::vector<uint8_t> before = image(s);
    std::vector<uint64_t> store(512 / 8);
    auto *dest = reinterpret_cast<dace_root *>(store.data());
    const uint8_t *out = bytes_of(dest);
    const uint8_t *src = bytes_of(s->root);

    std::memset(store.data(), 0xEE, 512);
    dace_copy_entries(s, dest, 1);
    EXPECT_EQ(std::memcmp(out, src, 26), 0);
    EXPECT_EQ(dest->count, 2);
    EXPECT_EQ(std::memcmp(out + 28, src + 28, 4), 0); // CRCs as they were
    EXPECT_EQ(std::memcmp(out + 32, src + 32, 32), 0);
    EXPECT_EQ(std::memcmp(out + 64, src + 96, 32), 0);
    EXPECT_TRUE(all_are(out + 96, 32, 0x00));
    EXPECT_TRUE(all_are(out + 128, 512 - 128, 0xEE));

    std::memset(store.data(), 0xEE, 512);
    dace_copy_entries(s, dest, 3);
    EXPECT_EQ(std::memcmp(out, src, 128), 0);
    EXPECT_TRUE(all_are(out + 128, 512 - 128, 0xEE));

    EXPECT_EQ(image(s), before);
    EXPECT_EQ(s->root_page, 0);
    EXPECT_EQ(s->root_end, 1);
    EXPECT_EQ(bytes_of(s->root), s->root_buf);
}

// ---- held clusters and faults before the commit ------------------------------------

// Rule 3: the old root cluster is held until the moved copy is on the
// medium: passed over while it is, erased when it is taken after.
TEST(RootCow, OldRootClusterIsErasedOnlyAfterTheCommit) {
    Volume v;
    dace_state *s = mount_root(v, named({"a", "b", "c"}), 8);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
    ASSERT_EQ(s->root_clus, 1);
    v.sim.set_logging(true);
    EXPECT_EQ(dace_alloc_clus(s), 2); // not the old root, first though it comes
    EXPECT_FALSE(has_erase_of(v.sim.log(), 0));
    EXPECT_EQ(s->clus_table[0], CLUS_HELD);

    ASSERT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(s->clus_table[0], CLUS_DIRTY);
    EXPECT_EQ(s->held_count, 0);
    v.sim.clear_log();
    EXPECT_EQ(dace_alloc_clus(s), 0);
    EXPECT_EQ(erased_clusters(v.sim.log()), std::vector<uint32_t>{0});
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Write).empty());
}

// Rule 3: until the moved copy is on the medium, the old root cluster is the
// root there: nothing may erase it, and a failed commit leaves it in force.
TEST(RootCow, UncommittedRootMoveLeavesTheOldRootMountable) {
    for (bool power_cut : {true, false}) {
        SCOPED_TRACE(power_cut ? "power cut" : "short write");
        Volume v;
        dace_state *s = mount_root(v, named({"a", "b", "c"}), 8);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
        v.entries()[1].stamp = 42;
        while (dace_alloc_clus(s) >= 0) {
        }
        EXPECT_EQ(s->clus_table[0], CLUS_HELD);
        EXPECT_EQ(v.sim.erases_per_cluster()[0], 0u);

        if (power_cut)
            v.sim.cut_after_bytes(100);
        else
            v.sim.fail_write(1, 100);
        EXPECT_EQ(dace_commit_root(s), -1);
        EXPECT_EQ(s->clus_table[0], CLUS_HELD);

        v.sim.reboot();
        s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_clus, 0);
        EXPECT_EQ(s->root_page, 7);
        EXPECT_EQ(s->root->seq, 3u);
        EXPECT_EQ(names_of(v), (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_EQ(v.entries()[1].stamp, 0u);
    }
}

// Rule 1: pages after the current copy that are not erased hold a write cut
// short; the next copy goes to a fresh cluster instead of over them.
TEST(RootCow, NonBlankTailMovesTheRoot) {
    struct Case {
        const char *what;
        void (*spoil)(Volume &);
        bool sealed;
    };
    const Case cases[] = {
        {"erased", [](Volume &) {}, false},
        {"zeroed", [](Volume &v) { std::memset(v.sim.cluster(0) + 512, 0x00, 6 * 256); }, false},
        {"copy cut short",
         [](Volume &v) {
             plant_root(v.sim, v.cfg, 0, 2, 2, named({"a", "b", "c"}));
             std::memset(v.sim.cluster(0) + 512 + 40, 0xFF, 256 - 40);
         },
         true},
        {"stray byte in the last page", [](Volume &v) { v.sim.cluster(0)[7 * 256 + 100] = 0x5A; }, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Volume v;
        plant_root(v.sim, v.cfg, 0, 0, 2, named({"a"}));
        plant_root(v.sim, v.cfg, 0, 1, 2, named({"a", "b"}));
        k.spoil(v);
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_page, 1);
        EXPECT_EQ(s->root_end, 2);
        EXPECT_EQ(s->root_sealed != 0, k.sealed);

        ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
        if (!k.sealed) {
            EXPECT_EQ(s->root_clus, 0);
            EXPECT_EQ(s->root_page, 2);
            continue;
        }
        EXPECT_EQ(s->root_clus, 1);
        EXPECT_EQ(s->root_page, 0);
        EXPECT_EQ(s->root->seq, 3u);
        EXPECT_EQ(s->clus_table[0], CLUS_HELD);
        v.entries()[0].stamp = 9;
        ASSERT_EQ(dace_commit_root(s), 0);

        s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_clus, 1);
        EXPECT_EQ(s->root->seq, 3u);
        EXPECT_EQ(s->root_sealed, 0);
        EXPECT_EQ(names_of(v), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(v.entries()[0].stamp, 9u);
    }
}

// Rule 2: a short root write leaves the change pending: the cluster it went
// to takes no further copy, and a commit with nothing new staged writes the
// copy again in a fresh cluster until a write succeeds.
TEST(RootCommit, ShortWriteIsRetriedInAFreshCluster) {
    Volume v;
    dace_state *s = mount_root(v, named({"a", "b", "c"}), 1, 1);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
    v.entries()[1].stamp = 777;

    v.sim.fail_write(1, 100);
    EXPECT_EQ(dace_commit_root(s), -1);
    EXPECT_EQ(s->root_clus, 0);
    EXPECT_EQ(s->root_end, 2);
    EXPECT_NE(s->root_sealed, 0);
    EXPECT_NE(s->root_unsaved, 0);

    v.sim.fail_write(1, 0);
    EXPECT_EQ(dace_commit_root(s), -1);
    EXPECT_EQ(s->root_clus, 1);
    EXPECT_NE(s->root_unsaved, 0);
    EXPECT_EQ(s->clus_table[0], CLUS_HELD); // no copy reached the medium yet

    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(s->root_clus, 2);
    EXPECT_EQ(s->root->seq, 3u);
    EXPECT_EQ(s->root_page, 0);
    EXPECT_EQ(s->root_end, 1);
    EXPECT_EQ(s->root_unsaved, 0);
    EXPECT_EQ(s->clus_table[0], CLUS_DIRTY);
    EXPECT_EQ(s->clus_table[1], CLUS_DIRTY);
    EXPECT_EQ(accounting_problems(s), "");
    v.sim.set_logging(true);
    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_TRUE(v.sim.log().empty());

    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_clus, 2);
    EXPECT_EQ(s->root->seq, 3u);
    EXPECT_EQ(names_of(v), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(v.entries()[1].stamp, 777u);
}

// ---- full medium --------------------------------------------------------------------

// Rule 10: the four clusters held back from allocation exist for root
// moves: a move takes one even with no free space left, and a bad one met
// on the way is owed rather than wrapping the counter.
TEST(RootCow, MoveOnAFullMediumTakesFromTheReserve) {
    Volume v;
    plant_word(v.sim, 124, 0x12345678);
    v.sim.wear_out(124);
    dace_state *s = mount_root(v, named({"a", "b", "c"}), 8);
    ASSERT_NE(s, nullptr);
    int taken = 0;
    while (dace_alloc_clus(s) >= 0)
        ++taken;
    ASSERT_EQ(taken, 123);
    ASSERT_EQ(dace_getfreespace(s, nullptr), 0u);

    v.sim.set_logging(true);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
    // 124 fails to erase; 125 reads back erased and is taken as it is.
    EXPECT_EQ(erased_clusters(v.sim.log()), std::vector<uint32_t>{124});
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Write).empty());
    EXPECT_EQ(s->root_clus, 125);
    EXPECT_EQ(s->clus_table[124], CLUS_BAD);
    EXPECT_EQ(s->clus_table[0], CLUS_HELD);
    EXPECT_EQ(dace_getfreespace(s, nullptr), 0u);
    EXPECT_EQ(s->free_deficit, 1);
    EXPECT_EQ(accounting_problems(s), "");

    ASSERT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(s->clus_table[0], CLUS_DIRTY);
    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->root_clus, 125);
    EXPECT_EQ(s->root->seq, 4u);
    EXPECT_EQ(names_of(v), (std::vector<std::string>{"a", "b", "c"}));
}

// Rules 3 and 10: held clusters count as free space but cannot be handed
// out; replacing clusters while the root is uncommitted must not let files
// take the clusters that the next root move needs.
TEST(RootCow, HeldClustersNeverEatTheRootReserve) {
    Volume v;
    dace_state *s = mount_root(v, named({"a"}), 8);
    ASSERT_NE(s, nullptr);
    while (s->free_clus > 1)
        ASSERT_GE(dace_alloc_clus(s), 0);
    // What a file relocating its newest cluster does, again and again.
    int replaced = 0;
    for (int round = 0; round < 8; ++round) {
        const int fresh = dace_alloc_clus(s);
        if (fresh < 0)
            break;
        dace::release_cluster(s, static_cast<uint16_t>(fresh == 1 ? 2 : 1 + round));
        ++replaced;
    }
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(dace_alloc_clus(s), -1);
    EXPECT_EQ(accounting_problems(s), "");

    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0) << "the reserve is intact for the move";
    ASSERT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(s->held_count, 0);
    EXPECT_GE(dace_alloc_clus(s), 0) << "the commit makes held clusters usable";
}

TEST(RootCow, MoveWithNoClusterLeftChangesNothing) {
    {
        Volume v;
        for (uint32_t c = 124; c < 128; ++c) {
            plant_word(v.sim, c, 0x12345678);
            v.sim.wear_out(c);
        }
        dace_state *s = mount_root(v, named({"a", "b", "c"}), 8);
        ASSERT_NE(s, nullptr);
        while (dace_alloc_clus(s) >= 0) {
        }
        const std::vector<uint8_t> before = image(s);
        EXPECT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 1);
        EXPECT_EQ(s->root_clus, 0);
        EXPECT_EQ(s->root_page, 7);
        EXPECT_EQ(s->root_end, 8);
        EXPECT_EQ(bytes_of(s->root), s->root_buf + 7 * 256);
        EXPECT_EQ(image(s), before);
        EXPECT_EQ(s->clus_table[0], CLUS_END);
        for (uint32_t c = 124; c < 128; ++c)
            EXPECT_EQ(s->clus_table[c], CLUS_BAD) << c;
        EXPECT_EQ(s->free_clus, 0);
        EXPECT_EQ(s->free_deficit, 4);
        EXPECT_EQ(accounting_problems(s), "");
    }
    // A table of max_entries cannot take one more entry anywhere.
    Volume v;
    dace_state *s = mount_root(v, numbered(63), 1);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->root->pages, 8);
    v.sim.set_logging(true);
    EXPECT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 1);
    EXPECT_TRUE(v.sim.log().empty());
    EXPECT_EQ(s->root_clus, 0);
    EXPECT_EQ(s->root_end, 8);
    EXPECT_EQ(s->clus_table[0], CLUS_END);
}

// ---- round trips ---------------------------------------------------------------------

// Commits enough copies, growing the table past a page, to move the root
// several times; every commit must be what the next mount finds, and no
// page is ever programmed twice without an erase.
TEST(RootCommit, RoundTripsThroughSeveralRootMoves) {
    Volume v;
    v.sim.set_strict(true);
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    std::vector<dace_entry> model;
    int moves = 0;
    for (uint32_t i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        const uint16_t old_clus = s->root_clus;
        const uint32_t old_seq = s->root->seq;
        if (i % 4 == 0 && model.size() < 12) {
            ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, kNone), 0);
            model.push_back(make_entry("f" + std::to_string(i), 0, CLUS_END, i));
            v.entries()[v.count()] = model.back();
            ++s->root->count;
        } else {
            ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, kNone), 0);
            const size_t k = i % model.size();
            model[k].stamp = i * 10;
            v.entries()[k].stamp = i * 10;
        }
        ASSERT_EQ(dace_commit_root(s), 0);
        const uint16_t clus = s->root_clus, page = s->root_page, end = s->root_end;
        const bool moved = clus != old_clus;
        moves += moved ? 1 : 0;
        EXPECT_EQ(s->root->seq, old_seq + (moved ? 1 : 0));

        s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->root_clus, clus);
        EXPECT_EQ(s->root_page, page);
        EXPECT_EQ(s->root_end, end);
        EXPECT_EQ(s->root_sealed, 0);
        ASSERT_EQ(v.count(), model.size());
        for (size_t k = 0; k < model.size(); ++k)
            EXPECT_EQ(std::memcmp(&v.entries()[k], &model[k], sizeof(dace_entry)), 0) << k;
        if (moved) {
            EXPECT_EQ(s->clus_table[old_clus], CLUS_DIRTY);
        }
    }
    EXPECT_GE(moves, 3);
    EXPECT_EQ(v.sim.counters().overwrites, 0u);
    EXPECT_EQ(page_programmed_twice(v.sim.log(), v.sim.geometry()), "");
}
