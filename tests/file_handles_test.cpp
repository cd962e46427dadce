// Names, lookups and the life of a handle: create, open, close, and the
// refusal of handles that do not name an open slot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Op;
using Names = std::vector<std::string>;

namespace {

const std::string k18(18, 'n');

// Opens handles on new files until one is refused; how many it got.
uint32_t handles_left(dace_state *s) {
    uint32_t n = 0;
    while (dace_create(s, ("spare" + std::to_string(n)).c_str()) != 0)
        ++n;
    return n;
}

// Update calls see the entry as the library hands it over.
struct UpdateSpy {
    static void record(void *ctx, dace_entry *e) { static_cast<UpdateSpy *>(ctx)->seen.push_back(*e); }
    std::vector<dace_entry> seen;
};

} // namespace

TEST(FileNames, NameTestReadsAtMostNineteenBytes) {
    EXPECT_EQ(dace_check_filename(""), DACE_NAME_EMPTY);
    EXPECT_EQ(dace_check_filename(nullptr), DACE_NAME_EMPTY);
    EXPECT_EQ(dace_check_filename("a"), DACE_NAME_OK);
    EXPECT_EQ(dace_check_filename(k18.c_str()), DACE_NAME_OK);
    EXPECT_EQ(dace_check_filename((k18 + "n").c_str()), DACE_NAME_TOO_LONG);
    EXPECT_EQ(dace_check_filename("/a"), DACE_NAME_SEPARATOR);
    EXPECT_EQ(dace_check_filename("a\\b"), DACE_NAME_SEPARATOR);
    EXPECT_EQ(dace_check_filename((k18 + "n/").c_str()), DACE_NAME_TOO_LONG);
    // Nineteen bytes without a terminator: the test must not look further.
    const char unterminated[19] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j',
                                   'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's'};
    EXPECT_EQ(dace_check_filename(unterminated), DACE_NAME_TOO_LONG);
}

TEST(FileNames, LookupMatchesWholeStoredNamesInTableOrder) {
    Volume v;
    std::vector<dace_entry> entries = named({"log", "twin", "twin", "x"});
    entries.push_back(make_entry(k18, 0, CLUS_END)); // fills the field: no NUL
    plant_root(v.sim, v.cfg, 0, 0, 1, entries);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);

    EXPECT_EQ(dace_find_file(s, "log"), 0);
    EXPECT_EQ(dace_find_file(s, "lo"), -1);
    EXPECT_EQ(dace_find_file(s, "logs"), -1);
    EXPECT_EQ(dace_find_file(s, "twin"), 1);
    EXPECT_EQ(dace_find_file(s, "LOG"), -1);
    EXPECT_EQ(dace_find_file(s, ""), -1); // no stored name is empty
    EXPECT_EQ(dace_find_file(s, k18.c_str()), 4);
    EXPECT_EQ(dace_find_file(s, k18.substr(0, 17).c_str()), -1);
    EXPECT_EQ(dace_find_file(s, (k18 + "x").c_str()), -1);
    EXPECT_EQ(dace_find_file(s, nullptr), -1);
}

TEST(FileCreate, StagesAnEmptyEntryAndWritesNothing) {
    Volume v;
    UpdateSpy spy;
    v.cfg.update_fn = UpdateSpy::record;
    v.cfg.update_ctx = &spy;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    v.sim.set_logging(true);

    const dace_handle h = dace_create(s, k18.c_str());
    EXPECT_EQ(h, 3u ^ HANDLE_MAGIC); // slots are stacked: the highest comes first
    EXPECT_EQ(listed_names(s), Names{k18}); // the walk sees the staged entry
    dace_entry e{};
    ASSERT_EQ(dace_statf(s, h, &e), 0);
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.clus, CLUS_END);
    EXPECT_EQ(entry_name(e), k18);
    ASSERT_EQ(spy.seen.size(), 1u);
    EXPECT_EQ(entry_name(spy.seen[0]), ""); // the name is filled in after the hook
    EXPECT_TRUE(medium_changes(v.sim.log()).empty());
    EXPECT_EQ(dace_tell(s, h), 0u);
    EXPECT_EQ(dace_feof(s, h), 1);

    // Staged, not written: the next commit writes the root copy alone.
    ASSERT_EQ(dace_close(s, h), DACE_OK);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), Names{"root copy, 1 page"});
}

TEST(FileCreate, RefusalsChangeNothingAndCallNoCallback) {
    Volume v(small_nor(), 2);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle open_one = dace_create(s, "taken");
    ASSERT_NE(open_one, 0u);
    ASSERT_EQ(dace_close(s, open_one), DACE_OK);
    ASSERT_NE(dace_create(s, "open"), 0u);
    v.sim.set_logging(true);

    for (const char *bad : {"", "a/b", "x\\", "nineteen-bytes-name", "taken", "open"})
        EXPECT_EQ(dace_create(s, bad), 0u) << bad;
    EXPECT_EQ(dace_create(s, nullptr), 0u);
    EXPECT_EQ(listed_names(s), (Names{"taken", "open"}));
    EXPECT_TRUE(v.sim.log().empty());

    ASSERT_NE(dace_create(s, "second"), 0u);
    EXPECT_EQ(dace_create(s, "third"), 0u) << "every slot is open";
    EXPECT_EQ(dace_open(s, "taken"), 0u);
}

TEST(FileCreate, FullDirectoryRefusesANewName) {
    Volume v;
    std::vector<dace_entry> entries;
    for (int i = 0; i < 63; ++i)
        entries.push_back(make_entry("f" + std::to_string(i), 0, CLUS_END));
    plant_root(v.sim, v.cfg, 0, 0, 1, entries);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    v.sim.set_logging(true);
    EXPECT_EQ(dace_create(s, "new"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_DIRECTORY_FULL);
    EXPECT_EQ(listed_names(s).size(), 63u);
    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_TRUE(v.sim.log().empty()) << "the refusal staged a change";
}

TEST(FileCreate, NewFilesReachTheMediumWithOneRootWrite) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    v.sim.set_logging(true);
    const dace_handle a = dace_create(s, "a");
    const dace_handle b = dace_create(s, "b");
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_EQ(dace_close(s, a), DACE_OK);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), Names{"root copy, 1 page"});

    v.sim.reboot();
    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(dace_find_file(s, "a"), 0);
    EXPECT_EQ(dace_find_file(s, "b"), 1);
}

// Medium cost: an open walks the chain in the table to the file's first
// cluster and reads that one alone; a file without clusters reads nothing.
TEST(FileOpen, WalksTheChainToTheFirstClusterAndLoadsOnlyThat) {
    Volume v;
    plant_data(v.sim, v.cfg, 9, CLUS_END, 0x09);
    plant_data(v.sim, v.cfg, 4, 9, 0x04);
    plant_data(v.sim, v.cfg, 12, 4, 0x12);
    plant_root(v.sim, v.cfg, 0, 0, 1, {make_entry("chain", 3 * 2040, 12), make_entry("empty", 0, CLUS_END)});
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    v.sim.set_logging(true);

    const dace_handle h = dace_open(s, "chain");
    ASSERT_NE(h, 0u);
    EXPECT_EQ(medium_calls(v.sim.log()), shown({{Op::Read, 72, 2048, 2048}}));
    EXPECT_EQ(dace_tell(s, h), 0u);
    EXPECT_EQ(dace_feof(s, h), 0);
    uint8_t first = 0;
    EXPECT_EQ(dace_read(s, &first, 1, h), 1u);
    EXPECT_EQ(first, 0x09) << "the first cluster in file order";
    EXPECT_EQ(medium_calls(v.sim.log()).size(), 1u) << "its byte read from the cluster loaded";
    EXPECT_EQ(dace_open(s, "chain"), 0u) << "one handle per file";

    v.sim.clear_log();
    const dace_handle e = dace_open(s, "empty");
    ASSERT_NE(e, 0u);
    EXPECT_TRUE(v.sim.log().empty());
    uint8_t byte = 0;
    EXPECT_EQ(dace_read(s, &byte, 1, e), 0u);
    EXPECT_EQ(dace_open(s, "missing"), 0u);
    EXPECT_EQ(dace_open(s, nullptr), 0u);
}

TEST(FileOpen, ShortReadRefusesAndLeavesTheSlotFree) {
    Volume v;
    plant_data(v.sim, v.cfg, 5, CLUS_END, 0x55);
    plant_root(v.sim, v.cfg, 0, 0, 1, {make_entry("f", 10, 5)});
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    v.sim.fail_read(1, 100);
    EXPECT_EQ(dace_open(s, "f"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_READ_FAILED);
    EXPECT_NE(dace_open(s, "f"), 0u);
    EXPECT_EQ(handles_left(s), 3u) << "of the 4, the refused open took none";
}

// A chain that ends before the file's first bytes (as one whose header could
// not be read at mount does) or leaves the table cannot give them.
TEST(FileOpen, ChainThatEndsTooSoonIsRefused) {
    for (const uint16_t link : {uint16_t{CLUS_END}, uint16_t{0x7000}}) {
        Volume v;
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        const dace_handle h = dace_create(s, "f");
        ASSERT_EQ(write_bytes(s, h, pattern_bytes(5000)), 5000u);
        ASSERT_EQ(dace_close(s, h), DACE_OK);
        s->clus_table[2] = link; // the middle of three clusters
        EXPECT_EQ(dace_open(s, "f"), 0u);
        s->clus_table[2] = 1;
        EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(5000));
    }
}

// Rule 8: a close writes the file's cluster (only the pages that hold its
// bytes), then the root copy that names it, and frees the handle's slot.
TEST(FileClose, WritesTheClusterThenTheRootAndFreesTheSlot) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "hundred");
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(100)), 100u);
    v.sim.set_logging(true);

    ASSERT_EQ(dace_close(s, h), DACE_OK);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), (Names{"data cluster, 1 page", "root copy, 1 page"}));
    dace_entry e{};
    ASSERT_EQ(dace_stat(s, "hundred", &e), 0);
    EXPECT_EQ(calls_of(v.sim.log(), Op::Write).at(0).addr, e.clus * 8u);
    const uint8_t *c = v.sim.cluster(e.clus);
    EXPECT_EQ(dace::load_u32(c), DATA_MAGIC);
    EXPECT_EQ(c[4] | c[5] << 8, CLUS_END);
    EXPECT_EQ(c[6] | c[7] << 8, crc(c + 8, 2040, crc(c, 6, 0xFFFF)));
    EXPECT_EQ(std::vector<uint8_t>(c + 8, c + 108), pattern_bytes(100));
    for (int i = 108; i < 2048; ++i)
        ASSERT_EQ(c[i], 0xFF) << i;

    v.sim.clear_log();
    EXPECT_EQ(dace_close(s, h), DACE_CLOSE_NOT_OPEN);
    EXPECT_EQ(dace_close(s, 0), DACE_CLOSE_BAD_HANDLE);
    EXPECT_TRUE(v.sim.log().empty());
    EXPECT_EQ(handles_left(s), 4u) << "the closed handle's slot came back";
}

// Rule 8: a close whose cluster write falls short writes no root copy and
// keeps the handle open; closing again writes both.
TEST(FileClose, ShortClusterWriteKeepsTheHandleOpenForARetry) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "f");
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(300)), 300u);
    v.sim.set_logging(true);
    v.sim.fail_write(1, 256);
    EXPECT_EQ(dace_close(s, h), DACE_CLOSE_WRITE_FAILED);
    EXPECT_EQ(dace_tell(s, h), 300u) << "the handle stays open";
    EXPECT_TRUE(root_copies_written(v.sim.log(), v.sim).empty()) << "the root must wait for the cluster";
    EXPECT_EQ(dace_close(s, h), DACE_OK);

    v.sim.reboot();
    s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(300));
}

TEST(FileHandles, ClosedOrForeignHandlesAreRefusedEverywhere) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "f");
    ASSERT_EQ(dace_close(s, h), DACE_OK);
    v.sim.set_logging(true);
    uint8_t buf[4] = {1, 2, 3, 4};
    for (const dace_handle bad : {h, dace_handle{0}, dace_handle{2u ^ HANDLE_MAGIC}, dace_handle{7u ^ HANDLE_MAGIC}}) {
        EXPECT_EQ(dace_write(s, buf, 4, bad), 0u);
        EXPECT_EQ(dace_read(s, buf, 4, bad), 0u);
        EXPECT_EQ(dace_flush(s, bad), -1);
        EXPECT_EQ(dace_seek(s, bad, 0, DACE_SEEK_SET), DACE_SEEK_FAILED);
        EXPECT_EQ(dace_tell(s, bad), 0xFFFFFFFFu);
        EXPECT_EQ(dace_feof(s, bad), -1);
    }
    EXPECT_EQ(dace_close(s, 7u ^ HANDLE_MAGIC), DACE_CLOSE_BAD_HANDLE);
    EXPECT_EQ(dace_close(s, 2u ^ HANDLE_MAGIC), DACE_CLOSE_NOT_OPEN);
    EXPECT_TRUE(v.sim.log().empty());
    dace_entry e{};
    ASSERT_EQ(dace_stat(s, "f", &e), 0);
    EXPECT_EQ(e.size, 0u);
}
