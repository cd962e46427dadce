// Changes by name: remove, rename and truncate. Each commits before it
// returns; released clusters stay unerased until a root copy without them is
// on the medium, and handles open on the files keep working.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Call;
using dace_sim::Op;
using Names = std::vector<std::string>;

namespace {

constexpr uint32_t P = 2040;         // payload of the usual test geometry
constexpr uint32_t kClusSize = 2048; // what a released cluster adds to the free space

std::vector<uint8_t> head(std::vector<uint8_t> a, uint32_t n) {
    a.resize(n);
    return a;
}

// Mounts `copy` on the medium of `v` as it stands: what a power cut now leaves.
dace_state *mount_copy(Volume &copy, const Volume &v) {
    copy.sim.bytes() = v.sim.bytes();
    return copy.mount();
}

// The clusters of `chain`, sorted: those a change gave back.
std::vector<uint32_t> as_sorted(std::vector<uint16_t> chain) {
    std::sort(chain.begin(), chain.end());
    return {chain.begin(), chain.end()};
}

// What a change by name wrote: one root copy of one page.
const Names kOneRootCopy{"root copy, 1 page"};

} // namespace

// ---- remove ---------------------------------------------------------------------

// Rule 3: a removal commits its root copy alone, and the file's clusters,
// free space at once, wait for an erase once that copy is on the medium.
TEST(Remove, FreesEveryClusterAndCommitsOnlyTheRoot) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "a", 2 * P + 920, 1);
    put_file(s, "e", 0, 2);
    put_file(s, "b", 100, 3);
    const dace_handle hb = dace_open(s, "b");
    const dace_handle hn = dace_create(s, "n"); // staged, not yet committed
    expect_no_effect(v, [&] {
        EXPECT_EQ(dace_remove(s, "x"), DACE_NO_FILE);
        EXPECT_EQ(dace_remove(s, "A"), DACE_NO_FILE);
        EXPECT_EQ(dace_error(s), DACE_E_NO_FILE);
        EXPECT_EQ(dace_remove(s, ""), DACE_NO_FILE);
        EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID);
        EXPECT_EQ(dace_remove(s, "b"), DACE_REFUSED);
        EXPECT_EQ(dace_remove(s, "n"), DACE_REFUSED);
    }, DACE_E_FILE_OPEN);
    ASSERT_EQ(dace_close(s, hb), DACE_OK);
    ASSERT_EQ(dace_close(s, hn), DACE_OK);
    const std::vector<uint16_t> chain = chain_on_medium(v, "a");
    ASSERT_EQ(chain.size(), 3u);
    const uint32_t free_before = dace_getfreespace(s, nullptr);
    const uint64_t updates = v.sim.counters().update_calls;
    v.sim.set_logging(true);

    ASSERT_EQ(dace_remove(s, "a"), DACE_OK);
    // No data cluster is read, written or erased: the root copy is the change.
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), kOneRootCopy);
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Read).empty());
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before + 3 * kClusSize);
    // Committed: the three wait for an erase, held no longer.
    EXPECT_EQ(erase_what_waits(v), as_sorted(chain));

    // A file without clusters: only the entry goes.
    v.sim.clear_log();
    ASSERT_EQ(dace_remove(s, "e"), DACE_OK);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), kOneRootCopy);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before + 3 * kClusSize);
    EXPECT_EQ(v.sim.counters().update_calls, updates);

    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), (Names{"b", "n"}));
    EXPECT_EQ(file_bytes(s, "b"), pattern_bytes(100, 3));
}

// Rule 3: the root write falls short: the medium keeps the old copy, which
// still names the file's clusters, so they must stay unerased and unused
// until a later commit drops them.
TEST(Remove, ShortRootWriteLeavesTheFileWholeOnTheMedium) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "f", 2 * P + 920, 1);
    put_file(s, "k", 300, 2);
    const std::vector<uint16_t> chain = chain_on_medium(v, "f");

    v.sim.fail_write(1, 40); // the header lands, the entries do not
    ASSERT_EQ(dace_remove(s, "f"), DACE_WRITE_FAILED);
    dace_entry e{};
    EXPECT_EQ(dace_stat(s, "f", &e), 1);
    for (const uint32_t c : erase_what_waits(v))
        EXPECT_EQ(std::count(chain.begin(), chain.end(), c), 0) << "cluster " << c << " of f erased";

    // Clusters taken before the next commit must come from elsewhere.
    const dace_handle g = dace_create(s, "g");
    ASSERT_EQ(write_bytes(s, g, pattern_bytes(4 * P, 3)), 4 * P);
    {
        Volume copy;
        dace_state *old = mount_copy(copy, v);
        ASSERT_NE(old, nullptr);
        EXPECT_EQ(file_bytes(old, "f"), pattern_bytes(2 * P + 920, 1));
    }

    ASSERT_EQ(dace_close(s, g), DACE_OK);
    const std::vector<uint32_t> waiting = erase_what_waits(v);
    for (const uint16_t c : chain)
        EXPECT_EQ(std::count(waiting.begin(), waiting.end(), c), 1) << "cluster " << c << " of f still held";
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(dace_stat(s, "f", &e), 1);
    EXPECT_EQ(file_bytes(s, "k"), pattern_bytes(300, 2));
    EXPECT_EQ(file_bytes(s, "g"), pattern_bytes(4 * P, 3));
}

// Rule 8: handles name entries by position: removing an earlier file moves
// them down with their entries. A pending write of another file shares the
// removal's commit, its cluster written before the root copy naming it.
TEST(Remove, OpenHandlesFollowTheirEntriesAndShareTheCommit) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "a", 100, 1);
    put_file(s, "b", 3000, 2);
    put_file(s, "c", 500, 3);
    const dace_handle hb = dace_open(s, "b");
    const dace_handle hc = open_at_end(s, "c");
    std::vector<uint8_t> got(1000);
    ASSERT_EQ(dace_read(s, got.data(), 1000, hb), 1000u);
    ASSERT_EQ(write_bytes(s, hc, pattern_bytes(2500, 4)), 2500u);
    dace_entry e{};
    ASSERT_EQ(dace_statf(s, hc, &e), 0);
    const uint16_t pending = e.clus;
    const uint64_t updates = v.sim.counters().update_calls;
    v.sim.set_logging(true);

    ASSERT_EQ(dace_remove(s, "a"), DACE_OK);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), (Names{"data cluster, 4 pages", "root copy, 1 page"}));
    EXPECT_EQ(calls_of(v.sim.log(), Op::Write).at(0).addr, pending * 8u);
    EXPECT_EQ(v.sim.counters().update_calls, updates);
    ASSERT_EQ(dace_statf(s, hb, &e), 0);
    EXPECT_EQ(entry_name(e), "b");
    const std::vector<uint8_t> b = pattern_bytes(3000, 2);
    EXPECT_EQ(read_rest(s, hb), std::vector<uint8_t>(b.begin() + 1000, b.end()));

    // A rename under the open writer changes nothing it does.
    ASSERT_EQ(dace_rename(s, "c", "z"), DACE_OK);
    ASSERT_EQ(write_bytes(s, hc, pattern_bytes(700, 5)), 700u);
    ASSERT_EQ(dace_statf(s, hc, &e), 0);
    EXPECT_EQ(entry_name(e), "z");
    EXPECT_EQ(e.size, 3700u);
    const std::vector<uint8_t> z = cat(cat(pattern_bytes(500, 3), pattern_bytes(2500, 4)), pattern_bytes(700, 5));
    ASSERT_EQ(dace_seek(s, hc, 0, DACE_SEEK_SET), DACE_OK);
    EXPECT_EQ(read_rest(s, hc), z);
    ASSERT_EQ(dace_close(s, hb), DACE_OK);
    ASSERT_EQ(dace_close(s, hc), DACE_OK);

    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), (Names{"b", "z"}));
    EXPECT_EQ(file_bytes(s, "b"), b);
    EXPECT_EQ(file_bytes(s, "z"), z);
}

// Every cluster a root move could take is worn out and the root cluster is
// full: the change cannot be staged anywhere and must leave no trace.
TEST(Remove, RootThatCannotMoveLeavesEverythingAsItWas) {
    Volume v;
    for (uint32_t c = 124; c < 128; ++c) {
        plant_word(v.sim, c, 0x12345678);
        v.sim.wear_out(c);
    }
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "big");
    const std::vector<uint8_t> big = pattern_bytes(124 * P);
    const uint32_t size = write_bytes(s, h, big);
    ASSERT_EQ(size, 123 * P) << "every cluster outside the reserve";
    ASSERT_EQ(dace_close(s, h), DACE_OK);
    v.sim.set_logging(true);
    put_file(s, "e", 0, 2);
    const auto root_cluster_full = [&v] {
        const std::vector<CopyWritten> written = root_copies_written(v.sim.log(), v.sim);
        return !written.empty() && written.back().page == 7;
    };
    for (int i = 0; i < 8 && !root_cluster_full(); ++i)
        ASSERT_EQ(dace_rename(s, "e", "e"), DACE_OK);
    ASSERT_TRUE(root_cluster_full());

    const std::vector<uint8_t> medium = v.sim.bytes();
    const uint32_t free_before = dace_getfreespace(s, nullptr);
    EXPECT_EQ(dace_truncate(s, "big", 10), DACE_NO_ROOM);
    EXPECT_TRUE(v.sim.bytes() == medium);
    EXPECT_EQ(dace_getfreespace(s, nullptr), free_before);
    dace_entry e{};
    ASSERT_EQ(dace_stat(s, "big", &e), 0);
    EXPECT_EQ(e.size, size);
    EXPECT_EQ(listed_names(s), (Names{"big", "e"}));
    // Tried and found worn, the reserve is not tried again: no callback at all.
    expect_no_effect(v, [&] {
        EXPECT_EQ(dace_truncate(s, "big", 10), DACE_NO_ROOM);
        EXPECT_EQ(dace_error(s), DACE_E_NO_ROOT_CLUSTER);
        EXPECT_EQ(dace_remove(s, "big"), DACE_NO_ROOM);
        EXPECT_EQ(dace_error(s), DACE_E_NO_ROOT_CLUSTER);
        EXPECT_EQ(dace_rename(s, "e", "x"), DACE_NO_ROOM);
    }, DACE_E_NO_ROOT_CLUSTER);

    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "big"), head(big, size));
}

// ---- rename ---------------------------------------------------------------------

TEST(Rename, StoresTheNewNameOverTheOldField) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "abcdefgh", 10, 1);
    put_file(s, "next", 20, 2);
    put_file(s, "last", 30, 3);
    expect_no_effect(v, [&] {
        EXPECT_EQ(dace_rename(s, "nope", "ok"), DACE_NO_FILE);
        EXPECT_EQ(dace_rename(s, "nope", ""), DACE_NO_FILE) << "the old name is looked up first";
        for (const char *bad : {"", "/x", "\\x", "a/b", "ab\\", "x/"}) {
            EXPECT_EQ(dace_rename(s, "abcdefgh", bad), DACE_REFUSED) << bad;
            EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID) << bad;
        }
        EXPECT_EQ(dace_rename(s, "abcdefgh", "abcdefghijklmnopqrs"), DACE_REFUSED);
        EXPECT_EQ(dace_error(s), DACE_E_NAME_TOO_LONG);
        EXPECT_EQ(dace_rename(s, "abcdefgh", nullptr), DACE_REFUSED);
    }, DACE_E_NAME_INVALID);

    // The new bytes and a NUL; the rest of the old name stays behind them.
    ASSERT_EQ(dace_rename(s, "abcdefgh", "xy"), DACE_OK);
    // Eighteen bytes fill the field with no NUL and spill nowhere.
    const dace_entry last = listed_entries(s).at(2);
    ASSERT_EQ(dace_rename(s, "next", "abcdefghijklmnopqr"), DACE_OK);
    EXPECT_EQ(std::memcmp(&listed_entries(s).at(2), &last, sizeof last), 0);

    s = remount(v);
    ASSERT_NE(s, nullptr);
    const uint8_t field[9] = {'x', 'y', 0, 'd', 'e', 'f', 'g', 'h', 0};
    const std::vector<dace_entry> entries = listed_entries(s);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(std::memcmp(entries[0].name, field, 9), 0);
    EXPECT_EQ(std::memcmp(entries[1].name, "abcdefghijklmnopqr", 18), 0);
    EXPECT_EQ(file_bytes(s, "xy"), pattern_bytes(10, 1));
    EXPECT_EQ(file_bytes(s, "abcdefghijklmnopqr"), pattern_bytes(20, 2));
    EXPECT_EQ(file_bytes(s, "last"), pattern_bytes(30, 3));
}

TEST(Rename, OntoATakenNameOrItsOwnIsAChangeLikeAnyOther) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "a", 10, 1);
    put_file(s, "b", 20, 2);
    const uint64_t updates = v.sim.counters().update_calls;

    // Both now bear "b"; lookups find the earlier entry.
    ASSERT_EQ(dace_rename(s, "a", "b"), DACE_OK);
    EXPECT_EQ(v.sim.counters().update_calls, updates + 1);
    dace_entry e{};
    ASSERT_EQ(dace_stat(s, "b", &e), 0);
    EXPECT_EQ(e.stamp, v.sim.stamp()) << "the stamp lands in the entry renamed";
    EXPECT_EQ(e.size, 10u);
    EXPECT_EQ(file_bytes(s, "b"), pattern_bytes(10, 1));
    EXPECT_EQ(dace_stat(s, "a", &e), 1);

    v.sim.set_logging(true);
    ASSERT_EQ(dace_rename(s, "b", "b"), DACE_OK);
    EXPECT_EQ(v.sim.counters().update_calls, updates + 2);
    ASSERT_EQ(dace_stat(s, "b", &e), 0);
    EXPECT_EQ(e.stamp, v.sim.stamp());
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), kOneRootCopy);
    EXPECT_EQ(listed_names(s), (Names{"b", "b"}));
}

// ---- rename over another file ---------------------------------------------------

// The file that bore the name goes in the same commit, wherever either
// entry lies; handles open on other files follow their entries down.
TEST(RenameReplace, DropsTheFileThatBoreTheNameInTheSameCommit) {
    for (const bool source_first : {true, false}) {
        SCOPED_TRACE(source_first ? "source before target" : "target before source");
        Volume v;
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        const char *first = source_first ? "new" : "cfg";
        const char *second = source_first ? "cfg" : "new";
        put_file(s, first, 3 * P, source_first ? 1 : 2);
        put_file(s, second, 3 * P, source_first ? 2 : 1);
        put_file(s, "other", 100, 3);
        const dace_handle other = dace_open(s, "other");
        ASSERT_NE(other, 0u);
        const uint32_t free_before = dace_getfreespace(s, nullptr);
        v.sim.set_logging(true);

        ASSERT_EQ(dace_rename_replace(s, "new", "cfg"), DACE_OK);
        EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), kOneRootCopy);
        EXPECT_EQ(dace_getfreespace(s, nullptr), free_before + 3 * kClusSize);
        EXPECT_EQ(accounting_problems(s), "");
        EXPECT_EQ(read_rest(s, other), pattern_bytes(100, 3));
        ASSERT_EQ(dace_close(s, other), DACE_OK);

        s = remount(v);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(listed_names(s).size(), 2u);
        dace_entry e{};
        EXPECT_EQ(dace_stat(s, "new", &e), 1);
        EXPECT_EQ(file_bytes(s, "cfg"), pattern_bytes(3 * P, 1));
        EXPECT_EQ(file_bytes(s, "other"), pattern_bytes(100, 3));
    }
}

TEST(RenameReplace, RefusalsAndPlainRenames) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "a", 10, 1);
    put_file(s, "b", 20, 2);
    const dace_handle hb = dace_open(s, "b");
    expect_no_effect(v, [&] {
        EXPECT_EQ(dace_rename_replace(s, "x", "b"), DACE_NO_FILE);
        EXPECT_EQ(dace_rename_replace(s, nullptr, "b"), DACE_NO_FILE);
        EXPECT_EQ(dace_rename_replace(s, "a", "b"), DACE_REFUSED) << "the file bearing the name is open";
        EXPECT_EQ(dace_error(s), DACE_E_FILE_OPEN);
        EXPECT_EQ(dace_rename_replace(s, "a", "a/b"), DACE_REFUSED);
        EXPECT_EQ(dace_rename_replace(s, "a", nullptr), DACE_REFUSED);
    }, DACE_E_NAME_INVALID);
    // The open file may itself be renamed over another, and onto its own name.
    ASSERT_EQ(dace_rename_replace(s, "b", "a"), DACE_OK);
    ASSERT_EQ(dace_rename_replace(s, "a", "a"), DACE_OK);
    ASSERT_EQ(dace_rename_replace(s, "a", "c"), DACE_OK) << "no file bears the name: a plain rename";
    ASSERT_EQ(dace_close(s, hb), DACE_OK);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(listed_names(s).size(), 1u);
    EXPECT_EQ(file_bytes(s, "c"), pattern_bytes(20, 2));
}

// Rule 1: cut anywhere in the commit, the medium holds both files under
// their old names or the renamed file alone: never neither, never a torn
// file.
TEST(RenameReplace, PowerCutAtEveryByteLeavesOldPairOrNewName) {
    Volume v;
    ASSERT_NE(v.mount(), nullptr);
    put_file(v.s, "tmp", P + 10, 1);
    put_file(v.s, "cfg", 2 * P, 2);
    const std::vector<uint8_t> before = v.sim.bytes();
    const uint64_t programmed = v.sim.counters().bytes_programmed;
    ASSERT_EQ(dace_rename_replace(v.s, "tmp", "cfg"), DACE_OK);
    const uint64_t commit_bytes = v.sim.counters().bytes_programmed - programmed;
    ASSERT_GT(commit_bytes, 0u);

    for (uint64_t cut = 0; cut <= commit_bytes; ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Volume w;
        w.sim.bytes() = before;
        dace_state *s = w.mount();
        ASSERT_NE(s, nullptr);
        w.sim.cut_after_bytes(cut);
        const int result = dace_rename_replace(s, "tmp", "cfg");
        EXPECT_TRUE(result == 0 || result == 4) << result;
        s = remount(w);
        ASSERT_NE(s, nullptr);
        dace_entry e{};
        if (dace_stat(s, "tmp", &e) == 0) {
            EXPECT_EQ(file_bytes(s, "tmp"), pattern_bytes(P + 10, 1));
            EXPECT_EQ(file_bytes(s, "cfg"), pattern_bytes(2 * P, 2));
        } else {
            EXPECT_EQ(w.count(), 1u);
            EXPECT_EQ(file_bytes(s, "cfg"), pattern_bytes(P + 10, 1));
        }
        EXPECT_EQ(accounting_problems(s), "");
    }
}

// ---- truncate -------------------------------------------------------------------

// Rule 3: a truncation gives back only the clusters past the new length;
// committed, they wait for an erase. A file of 5000 bytes in clusters A, B,
// C (file order).
TEST(Truncate, ReleasesOnlyTheClustersPastTheNewLength) {
    struct Case {
        uint32_t length;
        uint32_t released; // newest first
    };
    for (const Case k : {Case{4080, 1}, {2041, 1}, {2040, 2}, {0, 3}, {5000, 0}}) {
        SCOPED_TRACE("length " + std::to_string(k.length));
        Volume v;
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        put_file(s, "f", 5000, 1);
        put_file(s, "g", 100, 2);
        const std::vector<uint16_t> chain = chain_on_medium(v, "f");
        ASSERT_EQ(chain.size(), 3u);
        const dace_entry g = listed_entries(s).at(1);
        expect_no_effect(v, [&] {
            EXPECT_EQ(dace_truncate(s, "f", 5001), DACE_REFUSED);
            EXPECT_EQ(dace_error(s), DACE_E_BEYOND_END);
            EXPECT_EQ(dace_truncate(s, "F", 0), DACE_NO_FILE);
        }, DACE_E_NO_FILE);
        const uint32_t free_before = dace_getfreespace(s, nullptr);
        const uint64_t updates = v.sim.counters().update_calls;
        v.sim.set_logging(true);

        ASSERT_EQ(dace_truncate(s, "f", k.length), DACE_OK);
        EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), kOneRootCopy);
        EXPECT_EQ(v.sim.counters().update_calls, updates + 1);
        dace_entry e{};
        ASSERT_EQ(dace_stat(s, "f", &e), 0);
        EXPECT_EQ(e.size, k.length);
        EXPECT_EQ(e.clus, k.released < 3 ? chain[k.released] : CLUS_END);
        EXPECT_EQ(dace_getfreespace(s, nullptr), free_before + k.released * kClusSize);
        // Committed: the clusters released wait for an erase, the rest are the file's.
        EXPECT_EQ(erase_what_waits(v), as_sorted({chain.begin(), chain.begin() + k.released}));
        EXPECT_EQ(std::memcmp(&listed_entries(s).at(1), &g, sizeof g), 0);

        s = remount(v);
        ASSERT_NE(s, nullptr);
        const std::vector<uint8_t> kept = head(pattern_bytes(5000, 1), k.length);
        EXPECT_EQ(file_bytes(s, "f"), kept);
        const dace_handle h = open_at_end(s, "f");
        ASSERT_EQ(write_bytes(s, h, pattern_bytes(3000, 3)), 3000u);
        ASSERT_EQ(dace_close(s, h), DACE_OK);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(file_bytes(s, "f"), cat(kept, pattern_bytes(3000, 3)));
    }
}

// ---- truncating an open file ------------------------------------------------------

// Rule 8: a writer at the end of "f" with `committed` bytes on the medium
// and `pending` more unflushed, truncated to every interesting length: its
// unwritten bytes below the length reach the medium with the truncate's
// commit, those past it are dropped unwritten, and appending goes on at the
// new end.
TEST(TruncateOpenFile, WriterStaysInStepWithItsChainAtEveryLength) {
    for (const uint32_t committed : {0u, P, 3000u, 2 * P})
        for (const uint32_t pending : {0u, 10u, P + 60})
            for (const uint32_t length : {0u, 1u, P - 1, P, P + 1, 2 * P, committed + pending - 1, committed + pending}) {
                const uint32_t size = committed + pending;
                if (length > size)
                    continue;
                SCOPED_TRACE("committed " + std::to_string(committed) + " pending " + std::to_string(pending) +
                             " length " + std::to_string(length));
                Volume v;
                v.sim.set_strict(true);
                dace_state *s = v.mount();
                ASSERT_NE(s, nullptr);
                const std::vector<uint8_t> bytes = pattern_bytes(size, 1);
                dace_handle h = dace_create(s, "f");
                ASSERT_EQ(dace_write(s, bytes.data(), committed, h), committed);
                if (committed != 0) {
                    ASSERT_EQ(dace_close(s, h), DACE_OK);
                    h = open_at_end(s, "f");
                }
                ASSERT_EQ(dace_write(s, bytes.data() + committed, pending, h), pending);
                v.sim.set_logging(true);

                ASSERT_EQ(dace_truncate(s, "f", length), DACE_OK);
                // The root copy last, before it at most the cluster that now
                // ends the file: never one that was given back.
                std::vector<uint32_t> written;
                for (const Call &c : v.sim.log())
                    if (c.op == Op::Write)
                        written.push_back(c.addr / 8);
                const std::vector<std::string> what = changes(v.sim.log(), v.sim, v.cfg);
                ASSERT_FALSE(what.empty());
                EXPECT_EQ(what.back(), "root copy, 1 page");
                dace_entry e{};
                ASSERT_EQ(dace_stat(s, "f", &e), 0);
                for (size_t i = 0; i + 1 < written.size(); ++i)
                    EXPECT_EQ(written[i], e.clus);
                EXPECT_EQ(dace_tell(s, h), length);
                EXPECT_EQ(dace_feof(s, h), 1);
                EXPECT_EQ(accounting_problems(s), "");
                {
                    Volume copy;
                    dace_state *c = mount_copy(copy, v);
                    ASSERT_NE(c, nullptr);
                    EXPECT_EQ(file_bytes(c, "f"), head(bytes, length));
                }

                const std::vector<uint8_t> more = pattern_bytes(P + 60, 2);
                ASSERT_EQ(write_bytes(s, h, more), P + 60);
                ASSERT_EQ(dace_close(s, h), DACE_OK);
                s = remount(v);
                ASSERT_NE(s, nullptr);
                EXPECT_EQ(file_bytes(s, "f"), cat(head(bytes, length), more));
                EXPECT_EQ(v.sim.counters().overwrites, 0u);
            }
}

// A reader of a 5000-byte file, its buffer in a cluster that stays or goes.
TEST(TruncateOpenFile, ReaderIsClampedToTheNewEnd) {
    struct Case {
        uint32_t at;
        bool by_seek; // else by reading up to `at`
        uint32_t length;
    };
    const std::vector<uint8_t> bytes = pattern_bytes(5000, 1);
    for (const Case k : {Case{4500, false, 3000}, {2500, false, 3000}, {2900, true, 2500}, {2 * P, false, 2 * P},
                         {2 * P, true, P}, {P, true, P}, {1000, false, 0}}) {
        SCOPED_TRACE("at " + std::to_string(k.at) + (k.by_seek ? " by seek" : " by read") + ", length " +
                     std::to_string(k.length));
        Volume v;
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        put_file(s, "f", 5000, 1);
        const dace_handle h = dace_open(s, "f");
        if (k.by_seek) {
            ASSERT_EQ(dace_seek(s, h, k.at, DACE_SEEK_SET), DACE_OK);
        } else {
            std::vector<uint8_t> got(k.at);
            ASSERT_EQ(dace_read(s, got.data(), k.at, h), k.at);
        }
        v.sim.set_logging(true);

        ASSERT_EQ(dace_truncate(s, "f", k.length), DACE_OK);
        EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), kOneRootCopy);
        const uint32_t at = k.at < k.length ? k.at : k.length;
        EXPECT_EQ(dace_tell(s, h), at);
        EXPECT_EQ(read_rest(s, h), std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + k.length));
        EXPECT_EQ(dace_feof(s, h), 1);
        ASSERT_EQ(dace_seek(s, h, 0, DACE_SEEK_SET), DACE_OK);
        EXPECT_EQ(read_rest(s, h), head(bytes, k.length));

        ASSERT_EQ(write_bytes(s, h, pattern_bytes(100, 2)), 100u);
        ASSERT_EQ(dace_close(s, h), DACE_OK);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(file_bytes(s, "f"), cat(head(bytes, k.length), pattern_bytes(100, 2)));
    }
}

// Rule 1: on a damaged medium the chain the mount found may be longer or
// shorter than the size needs. Truncation must still commit an entry the
// next mount accepts: bytes exactly when there is a cluster. Otherwise the
// copy would not count and the mount would roll back past the truncation.
TEST(Truncate, AChainOfTheWrongLengthStillCommitsAnEntryTheMountTakes) {
    struct Case {
        const char *what;
        uint32_t size, length;
        std::vector<uint16_t> chain; // newest first
        uint32_t size_after;
    };
    const Case cases[] = {
        {"longer chain, cut to nothing", 100, 0, {12, 4}, 0},
        {"shorter chain, cut past its end", 3 * P, P + 1, {12}, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Volume v;
        plant_root(v.sim, v.cfg, 2, 0, 3, {make_entry("f", k.size, k.chain.front()), make_entry("g", 0, CLUS_END)});
        for (size_t i = 0; i < k.chain.size(); ++i)
            plant_data(v.sim, v.cfg, k.chain[i], i + 1 < k.chain.size() ? k.chain[i + 1] : CLUS_END, 0x5A);
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(dace_truncate(s, "f", k.length), DACE_OK);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        dace_entry e{};
        ASSERT_EQ(dace_stat(s, "f", &e), 0);
        EXPECT_EQ(e.size, k.size_after);
        EXPECT_EQ(e.clus, CLUS_END);
        EXPECT_EQ(accounting_problems(s), "");
    }
}
