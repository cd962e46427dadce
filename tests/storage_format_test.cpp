// The bytes the library puts on the medium: CRC framing, root copies and
// their commit, data clusters, and the blank tail of a file's first cluster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;
using dace_check::get_clus_header;
using dace_check::get_root;
using dace_check::put_le16;
using dace_sim::Call;
using dace_sim::crc16_ccitt;
using dace_sim::Op;

namespace {

// A seed other than the simulator's default, so a CRC begun from a fixed
// value instead of crc_seed shows.
constexpr uint16_t kSeed = 0x1D0F;

std::vector<uint8_t> pattern(size_t n, uint8_t start) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(start + i * 7);
    return v;
}

std::vector<uint8_t> medium(FlashSim &sim, uint32_t page, uint32_t bytes) {
    const uint8_t *p = sim.bytes().data() + size_t{page} * sim.geometry().page_size;
    return {p, p + bytes};
}

} // namespace

TEST(RootCrc, HeadCoversFirstTwentyEightBytesFromSeed) {
    Volume v(small_nor(), 4, kSeed);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> copy = pattern(64, 3);
    auto *root = reinterpret_cast<dace_root *>(copy.data());
    const uint16_t expected = crc16_ccitt(kSeed, copy.data(), 28);
    EXPECT_EQ(dace_root_head_crc(s, root), expected);
    copy[28] ^= 0xFF; // the CRC fields themselves are not covered
    copy[31] ^= 0xFF;
    EXPECT_EQ(dace_root_head_crc(s, root), expected);
    copy[27] ^= 0x01;
    EXPECT_NE(dace_root_head_crc(s, root), expected);
}

TEST(RootCrc, FilesCoverExactlyCountEntries) {
    Volume v(small_nor(), 4, kSeed);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> copy = pattern(32 + 3 * 32, 5);
    auto *root = reinterpret_cast<dace_root *>(copy.data());
    put_le16(copy.data() + 26, 2); // the count as the medium holds it
    const uint16_t expected = crc16_ccitt(kSeed, copy.data() + 32, 64);
    EXPECT_EQ(dace_root_files_crc(s, root), expected);
    copy[96] ^= 0xFF; // third entry, beyond count
    copy[0] ^= 0xFF;  // header
    EXPECT_EQ(dace_root_files_crc(s, root), expected);

    // An empty directory: the CRC over zero bytes, which is the seed.
    put_le16(copy.data() + 26, 0);
    EXPECT_EQ(dace_root_files_crc(s, root), crc16_ccitt(kSeed, nullptr, 0));
}

TEST(DataCrc, ChainsHeaderWordsIntoPayloadSkippingCrcField) {
    Volume v(small_nor(), 4, kSeed);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> image = pattern(2048, 11);
    const uint16_t head = crc16_ccitt(kSeed, image.data(), 6);
    const uint16_t expected = crc16_ccitt(head, image.data() + 8, 2040);

    // Magic and link, then the payload seeded with their CRC.
    EXPECT_EQ(dace_data_crc(s, image.data()), expected);
    image[6] ^= 0xFF;
    image[7] ^= 0xFF;
    EXPECT_EQ(dace_data_crc(s, image.data()), expected);
    image[2047] ^= 0x80;
    EXPECT_NE(dace_data_crc(s, image.data()), expected);
}

TEST(FillRoot, BuildsHeaderAndZeroesOnlyPastTheEntries) {
    Volume v(small_nor(), 4, kSeed);
    v.cfg.geometry_tag = 4;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    std::vector<uint8_t> buf(1024, 0xA5);
    dace_fill_root(s, reinterpret_cast<dace_root *>(buf.data()), 2, 3, 0x01020304);

    // The header as the medium is to hold it, its CRC over those bytes.
    const dace_root copy = get_root(buf.data());
    EXPECT_EQ(copy.magic, ROOT_MAGIC);
    EXPECT_EQ(copy.seq, 0x01020304u);
    EXPECT_EQ(copy.page_size, 256);
    EXPECT_EQ(copy.geometry_tag, 4);
    EXPECT_EQ(copy.clus_pages, 8);
    EXPECT_EQ(copy.pages, 2);
    EXPECT_EQ(copy.clus_count, s->clus_count);
    EXPECT_EQ(copy.version, DACE_FORMAT_VERSION);
    EXPECT_EQ(copy.reserved2, 0u);
    EXPECT_EQ(copy.reserved3, 0);
    EXPECT_EQ(copy.count, 3);
    EXPECT_EQ(copy.head_crc, crc16_ccitt(kSeed, buf.data(), 28));
    EXPECT_EQ(copy.files_crc, 0);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 32, buf.begin() + 128), std::vector<uint8_t>(96, 0xA5));
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 128, buf.begin() + 512), std::vector<uint8_t>(384, 0));
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 512, buf.end()), std::vector<uint8_t>(512, 0xA5));

    // Entries filling the pages exactly leave nothing to zero.
    std::fill(buf.begin(), buf.end(), 0xA5);
    dace_fill_root(s, reinterpret_cast<dace_root *>(buf.data()), 1, 7, 1);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 32, buf.end()), std::vector<uint8_t>(992, 0xA5));
}

TEST(MediumImage, FormattedRootIsLittleEndianWithConfiguredTagAndSeed) {
    Volume v(small_nor(), 4, kSeed);
    v.cfg.geometry_tag = 0x100;
    v.sim.set_logging(true);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), std::vector<std::string>{"root copy, 1 page"});

    const std::vector<uint8_t> page = medium(v.sim, 0, 256);
    const std::vector<uint8_t> header = {
        0x07, 0x80, 0xCE, 0xDA, // magic, little-endian
        1, 0, 0, 0,             // seq
        0, 1, 0, 1, 8, 0, 1, 0, // page_size 256, tag 0x100, clus_pages 8, pages 1
        0x80, 0, 1, 0,          // the volume's 128 clusters, format version 1
        0, 0, 0, 0, 0, 0, 0, 0, // reserved, count 0
    };
    EXPECT_EQ(std::vector<uint8_t>(page.begin(), page.begin() + 28), header);
    const uint16_t head_crc = crc16_ccitt(kSeed, header.data(), 28);
    const uint16_t files_crc = crc16_ccitt(kSeed, nullptr, 0);
    EXPECT_EQ(page[28], head_crc & 0xFF);
    EXPECT_EQ(page[29], head_crc >> 8);
    EXPECT_EQ(page[30], files_crc & 0xFF);
    EXPECT_EQ(page[31], files_crc >> 8);
    EXPECT_EQ(std::vector<uint8_t>(page.begin() + 32, page.end()), std::vector<uint8_t>(224, 0));
    // Every other byte of the medium is still erased.
    const std::vector<uint8_t> rest(v.sim.bytes().begin() + 256, v.sim.bytes().end());
    EXPECT_EQ(rest, std::vector<uint8_t>(rest.size(), 0xFF));
}

TEST(CommitRoot, WritesStagedCopyOnceWithFreshCrcs) {
    // A root at cluster 3 whose one page is full: appending an entry needs a
    // second page, so the copy goes to pages 1-2 of cluster 3.
    Volume v(small_nor(), 4, kSeed);
    std::vector<dace_entry> seven;
    for (int i = 0; i < 7; ++i)
        seven.push_back(make_entry("f" + std::to_string(i), 0, CLUS_END));
    plant_root(v.sim, v.cfg, 3, 0, 9, seven);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(listed_names(s).size(), 7u);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_APPEND, 0xFFFF), 0);
    ASSERT_EQ(s->root_page, 1);
    ASSERT_EQ(s->root->pages, 2);
    v.entries()[7] = make_entry("new", 0, CLUS_END);
    s->root->count = 8;

    v.sim.set_logging(true);
    EXPECT_EQ(dace_commit_root(s), 0);
    // One write, of the copy's two pages, and nothing read or erased.
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), std::vector<std::string>{"root copy, 2 pages"});
    EXPECT_EQ(calls_of(v.sim.log(), Op::Write).at(0).addr, 3u * 8 + 1);
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Read).empty());

    const std::vector<uint8_t> written = medium(v.sim, 25, 512);
    EXPECT_EQ(written, as_on_medium(s->root, 512));
    const dace_root on_medium = get_root(written.data());
    EXPECT_EQ(on_medium.head_crc, crc16_ccitt(kSeed, written.data(), 28));
    EXPECT_EQ(on_medium.files_crc, crc16_ccitt(kSeed, written.data() + 32, 256));

    // Nothing is staged any more: no callback at all.
    v.sim.clear_log();
    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_TRUE(v.sim.log().empty());
}

// Rule 2: a root write that falls short closes its root cluster; the next
// copy goes to page 0 of a fresh one, a generation on.
TEST(CommitRoot, ShortWriteStillUsesThePagesAndSealsTheCluster) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, 0xFFFF), 0);
    ASSERT_EQ(s->root_page, 1);
    v.sim.fail_write(1, 100);
    EXPECT_EQ(dace_commit_root(s), -1);
    EXPECT_EQ(s->root_end, 2);

    // Later copies behind a torn one would be hidden at mount: the next
    // change starts a new root cluster although 6 pages are left.
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, 0xFFFF), 0);
    EXPECT_NE(s->root_clus, 0);
    EXPECT_EQ(s->root_page, 0);
    EXPECT_EQ(s->root->seq, 2u);
    v.sim.set_logging(true);
    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), std::vector<std::string>{"root copy, 1 page"});
    const CopyWritten written = root_copies_written(v.sim.log(), v.sim).at(0);
    EXPECT_NE(written.clus, 0u);
    EXPECT_EQ(written.page, 0u);
    EXPECT_EQ(written.head.seq, 2u);
}

// Rule 2: a copy whose write fell short stays pending while no cluster can
// take it, and the next commit that finds one writes it there.
TEST(CommitRoot, UnsavedCopyStaysPendingWhileNoClusterCanTakeIt) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, 0xFFFF), 0);
    v.sim.fail_write(1, 0);
    ASSERT_EQ(dace_commit_root(s), -1);

    const std::vector<uint16_t> table(s->clus_table, s->clus_table + s->clus_count);
    for (uint32_t i = 1; i < s->clus_count; ++i)
        s->clus_table[i] = CLUS_BAD;
    v.sim.set_logging(true);
    EXPECT_EQ(dace_commit_root(s), -1);
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Write).empty());
    EXPECT_EQ(s->root_clus, 0);
    EXPECT_EQ(s->root_unsaved, 1);

    // Once a cluster is there, the same call writes the copy, one generation on.
    std::copy(table.begin(), table.end(), s->clus_table);
    v.sim.clear_log();
    EXPECT_EQ(dace_commit_root(s), 0);
    EXPECT_EQ(s->root_unsaved, 0);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), std::vector<std::string>{"root copy, 1 page"});
    const CopyWritten written = root_copies_written(v.sim.log(), v.sim).at(0);
    EXPECT_EQ(written.clus, 1u);
    EXPECT_EQ(written.page, 0u);
    EXPECT_EQ(written.head.seq, 2u);
}

TEST(CommitClus, CompletesHeaderAndWritesWholeCluster) {
    Volume v(small_nor(), 4, kSeed);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    v.leave_unchecked("sets cluster table codes by hand");
    s->clus_table[5] = 9;
    std::vector<uint8_t> image = pattern(2048, 1); // header holds stale bytes
    std::vector<uint16_t> table(s->clus_table, s->clus_table + s->clus_count);

    v.sim.set_logging(true);
    EXPECT_EQ(dace_commit_clus(s, 5, image.data()), 0);
    const dace_clus_header h = get_clus_header(image.data());
    EXPECT_EQ(h.magic, DATA_MAGIC);
    EXPECT_EQ(h.link, 9);
    EXPECT_EQ(h.crc, crc16_ccitt(crc16_ccitt(kSeed, image.data(), 6), image.data() + 8, 2040));
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg), std::vector<std::string>{"data cluster, 8 pages"});
    EXPECT_EQ(medium(v.sim, 40, 2048), image);
    EXPECT_EQ(std::vector<uint16_t>(s->clus_table, s->clus_table + s->clus_count), table);

    // A first cluster carries CLUS_END; a short write reports failure.
    s->clus_table[6] = CLUS_END;
    v.sim.fail_write(1, 2047);
    EXPECT_EQ(dace_commit_clus(s, 6, image.data()), -1);
    EXPECT_EQ(image[4], 0xFF);
    EXPECT_EQ(image[5], 0xFF);
}

// Whatever cluster of the file the buffer holds, the payload past the end of
// the file is blanked: meaningless bytes (a removed file's, left in a reused
// buffer) never reach the medium, and blank pages need no program.
TEST(ClearUnusedData, BlanksThePayloadPastTheEndInAnyCluster) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    v.leave_unchecked("sets an entry and a slot by hand");
    s->root->count = 1;
    v.entries()[0] = make_entry("f", 0, CLUS_END);
    dace_file *f = &s->files[0];
    f->entry = 0;

    struct Case {
        uint32_t pos, clus_off, size, blank_from; // blank_from 2040: nothing changes
    };
    const Case cases[] = {
        {100, 100, 100, 100},   {0, 0, 0, 0},           {2039, 2039, 2039, 2039},
        {2140, 100, 2140, 100}, {4085, 5, 4085, 5},     {2040, 2040, 2040, 2040},
        {100, 100, 2040, 2040}, {4080, 2040, 4080, 2040},
    };
    for (const Case &c : cases) {
        std::memset(f->buf, 0x11, 2048);
        std::memset(s->files[1].buf, 0x22, 16);
        f->pos = c.pos;
        f->clus_off = static_cast<uint16_t>(c.clus_off);
        v.entries()[0].size = c.size;
        dace_clear_unused_data(s, f);
        std::vector<uint8_t> expected(2048, 0x11);
        std::fill(expected.begin() + 8 + c.blank_from, expected.end(), 0xFF);
        EXPECT_EQ(std::vector<uint8_t>(f->buf, f->buf + 2048), expected) << "pos " << c.pos << " size " << c.size;
        EXPECT_EQ(std::vector<uint8_t>(s->files[1].buf, s->files[1].buf + 16), std::vector<uint8_t>(16, 0x22));
    }
}
