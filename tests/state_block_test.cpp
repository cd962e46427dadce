// Sizing and layout of the caller's state block, slot handles and the two
// exported byte utilities.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;

namespace {

constexpr uint32_t round64(uint32_t n) { return (n + 63u) / 64u * 64u; }

// The block size for a geometry, from the region list: fixed part, root
// image, one buffer per slot, the padded cluster table, the slots.
uint64_t expected_size(uint32_t page_size, uint32_t clus_pages, uint32_t total_pages, uint32_t max_files) {
    const uint64_t clus_size = uint64_t{page_size} * clus_pages;
    return round64(static_cast<uint32_t>(sizeof(dace_state))) + clus_size * (max_files + 1) +
           round64(2 * (total_pages / clus_pages)) + uint64_t{max_files} * sizeof(dace_file);
}

// dace_getstatesize for a geometry, with valid callbacks.
uint32_t size_for(uint16_t page_size, uint16_t clus_pages, uint16_t total_pages, uint16_t max_files = 4) {
    FlashSim sim(Geometry{32, 1, 8});
    dace_config cfg = sim.config(max_files);
    cfg.page_size = page_size;
    cfg.clus_pages = clus_pages;
    cfg.total_pages = total_pages;
    return dace_getstatesize(&cfg);
}

} // namespace

TEST(StateSize, MatchesRegionSumOnEveryPointerWidth) {
    FlashSim sim(small_nor());
    const dace_config cfg = sim.config(4);
    const uint32_t fixed = round64(static_cast<uint32_t>(sizeof(dace_state)));
    const uint32_t expected = fixed + 2048u * 5u + 256u + 4u * static_cast<uint32_t>(sizeof(dace_file));
    EXPECT_EQ(dace_getstatesize(&cfg), expected);
    if (sizeof(void *) == 8) {
        EXPECT_EQ(expected, 10816u); // 192 + 2048 * 5 + 256 + 4 * 32
    } else if (sizeof(void *) == 4) {
        EXPECT_EQ(expected, 10704u);
    }
}

TEST(StateSize, RefusesMissingConfigAndCallbacks) {
    EXPECT_EQ(dace_getstatesize(nullptr), 0u);
    FlashSim sim(small_nor());
    const dace_config good = sim.config();
    ASSERT_NE(dace_getstatesize(&good), 0u);

    std::vector<dace_config> bad(5, good);
    bad[0].update_fn = nullptr;
    bad[1].crc_fn = nullptr;
    bad[2].read_fn = nullptr;
    bad[3].write_fn = nullptr;
    bad[4].erase_fn = nullptr;
    std::vector<uint64_t> block(dace_getstatesize(&good) / 8 + 1);
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(dace_getstatesize(&bad[i]), 0u) << "callback " << i;
        EXPECT_EQ(dace_init(&bad[i], block.data()), nullptr) << "callback " << i;
    }
    EXPECT_EQ(dace_init(nullptr, block.data()), nullptr);

    dace_config no_files = good;
    no_files.max_files = 0;
    EXPECT_EQ(dace_getstatesize(&no_files), 0u);

    // The reserved word is the caller's.
    dace_config reserved = good;
    reserved.reserved = 0xDEADBEEF;
    EXPECT_EQ(dace_getstatesize(&reserved), dace_getstatesize(&good));
}

TEST(StateSize, AcceptsOnlyPowerOfTwoTagsAndClusterPages) {
    FlashSim sim(small_nor());
    dace_config cfg = sim.config();
    for (uint16_t tag : std::vector<uint16_t>{0, 1, 2, 0x40, 0x8000}) {
        cfg.geometry_tag = tag;
        EXPECT_NE(dace_getstatesize(&cfg), 0u) << "tag " << tag;
    }
    for (uint16_t tag : std::vector<uint16_t>{3, 6, 0xFFFF}) {
        cfg.geometry_tag = tag;
        EXPECT_EQ(dace_getstatesize(&cfg), 0u) << "tag " << tag;
    }

    EXPECT_NE(size_for(256, 1, 1024), 0u);
    EXPECT_EQ(size_for(256, 6, 1024), 0u);
    EXPECT_EQ(size_for(256, 0, 1024), 0u); // no division by zero
}

TEST(StateSize, RefusesGeometryTheFormatCannotHold) {
    // At least 8 clusters.
    EXPECT_NE(size_for(256, 8, 64), 0u);
    EXPECT_EQ(size_for(256, 8, 63), 0u);
    // A root header must fit one page, and pages keep entries 8-byte aligned.
    EXPECT_NE(size_for(32, 8, 1024), 0u);
    EXPECT_EQ(size_for(24, 8, 1024), 0u);
    EXPECT_EQ(size_for(36, 8, 1024), 0u);
    EXPECT_NE(size_for(40, 8, 1024), 0u);
    // The cluster size is 16 bits.
    EXPECT_NE(size_for(8184, 8, 1024), 0u);
    EXPECT_EQ(size_for(8192, 8, 1024), 0u);
    EXPECT_EQ(size_for(4096, 16, 1024), 0u);
    // Cluster numbers from 0xFFFB up are table codes.
    EXPECT_EQ(size_for(32, 1, 0xFFFB), expected_size(32, 1, 0xFFFB, 4));
    EXPECT_EQ(size_for(32, 1, 0xFFFC), 0u);
}

TEST(StateSize, RefusesBlocksBeyondThirtyTwoBits) {
    // Near-64 KiB clusters and thousands of slots: the size must be refused,
    // not wrapped to a small block.
    ASSERT_GT(expected_size(65528, 1, 8, 65535), 0xFFFFFFFFull);
    EXPECT_EQ(size_for(65528, 1, 8, 65535), 0u);
    ASSERT_LT(expected_size(65528, 1, 8, 60000), 0xFFFFFFFFull);
    EXPECT_EQ(size_for(65528, 1, 8, 60000), expected_size(65528, 1, 8, 60000));
}

// A refused block gets the reason and nothing else, the medium nothing.
TEST(StateInit, RefusesNullOrMisalignedBlockRecordingOnlyTheReason) {
    Volume v;
    v.sim.set_logging(true);
    const uint32_t size = dace_getstatesize(&v.cfg);
    std::vector<uint64_t> block(size / 8 + 2, 0x5A5A5A5A5A5A5A5Aull);
    EXPECT_EQ(dace_init(&v.cfg, nullptr), nullptr);
    EXPECT_EQ(dace_init_error(nullptr), DACE_E_CONFIG);
    auto *misaligned = reinterpret_cast<uint8_t *>(block.data()) + 4;
    for (auto mount : {dace_init, dace_mount, dace_format}) {
        std::fill(block.begin(), block.end(), 0x5A5A5A5A5A5A5A5Aull);
        EXPECT_EQ(mount(&v.cfg, misaligned), nullptr);
        EXPECT_EQ(dace_init_error(misaligned), DACE_E_CONFIG);
        const auto *bytes = reinterpret_cast<const uint8_t *>(block.data());
        const size_t reason_at = 4 + offsetof(dace_state, error);
        for (size_t i = 0; i < block.size() * 8; ++i) {
            if (i != reason_at && i != reason_at + 1) {
                ASSERT_EQ(bytes[i], 0x5A) << "byte " << i;
            }
        }
    }
    EXPECT_TRUE(v.sim.log().empty());
}

TEST(StateInit, LaysOutRegionsInOrderAndEndsAtTheSize) {
    // 12 clusters: the table's 24 bytes are padded to 64; the 4 trailing
    // pages belong to no cluster.
    Volume v(Geometry{256, 8, 100}, 3, 0x1D0F);
    v.cfg.geometry_tag = 8;
    const uint32_t size = dace_getstatesize(&v.cfg);
    // Exactly the reported size plus a guard, in a garbage-filled block.
    std::vector<uint64_t> block(size / 8 + 8, 0xA5A5A5A5A5A5A5A5ull);
    auto *base = reinterpret_cast<uint8_t *>(block.data());
    dace_state *s = dace_init(&v.cfg, base);
    ASSERT_EQ(s, reinterpret_cast<dace_state *>(base));

    // The eight callback and context pointers stand in the same order in both.
    EXPECT_EQ(std::memcmp(s, &v.cfg.update_ctx, 8 * sizeof(void *)), 0);
    EXPECT_EQ(s->crc_seed, 0x1D0F);
    EXPECT_EQ(s->page_size, 256);
    EXPECT_EQ(s->geometry_tag, 8);
    EXPECT_EQ(s->clus_pages, 8);
    EXPECT_EQ(s->total_pages, 100);
    EXPECT_EQ(s->max_files, 3);
    EXPECT_EQ(s->clus_size, 2048);
    EXPECT_EQ(s->clus_payload, 2040);
    EXPECT_EQ(s->clus_count, 12);
    EXPECT_EQ(s->max_entries, 63);
    // Bookkeeping kept beside the fields starts clear on a garbage block.
    EXPECT_EQ(s->free_deficit, 0);
    EXPECT_EQ(s->held_count, 0);
    EXPECT_EQ(s->root_sealed, 0);
    EXPECT_EQ(s->root_unsaved, 0);

    const uint32_t fixed = round64(static_cast<uint32_t>(sizeof(dace_state)));
    EXPECT_EQ(s->root_buf, base + fixed);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(s->files[i].buf, base + fixed + 2048 * (i + 1)) << "slot " << i;
    EXPECT_EQ(reinterpret_cast<uint8_t *>(s->clus_table), base + fixed + 2048 * 4);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(s->files), base + fixed + 2048 * 4 + 64);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(s->files + 3), base + size);

    // Allocating, releasing and committing stays inside the block.
    ASSERT_GE(dace_alloc_clus(s), 0);
    dace::release_cluster(s, 1);
    ASSERT_EQ(dace_reopen_root(s, DACE_REOPEN_CHANGE, 0xFFFF), 0);
    ASSERT_EQ(dace_commit_root(s), 0);
    for (size_t i = size; i < block.size() * 8; ++i)
        ASSERT_EQ(base[i], 0xA5) << "byte " << i << " past the block";
}

TEST(StateInit, StacksClosedSlotsOnTheFreeList) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->open_list, nullptr);
    EXPECT_EQ(s->free_list, &s->files[3]);
    EXPECT_EQ(s->files[0].next, nullptr);
    for (uint32_t i = 0; i < 4; ++i) {
        if (i > 0) {
            EXPECT_EQ(s->files[i].next, &s->files[i - 1]) << "slot " << i;
        }
        // Closed from the start, so a handle to a never-used slot is refused.
        EXPECT_EQ(s->files[i].entry, 0xFFFF) << "slot " << i;
    }

    Volume one(small_nor(), 1);
    s = one.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->free_list, &s->files[0]);
    EXPECT_EQ(s->files[0].next, nullptr);
    EXPECT_EQ(s->files[0].entry, 0xFFFF);
}

TEST(Handles, EncodeSlotIndexWithMagic) {
    EXPECT_EQ(HANDLE_MAGIC, 0xDACE00FDu);
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(dace::slot_of(s, i ^ HANDLE_MAGIC), &s->files[i]);
        EXPECT_EQ(dace::open_slot_of(s, i ^ HANDLE_MAGIC), nullptr) << "slot " << i << " is not open";
    }
    EXPECT_EQ(dace::slot_of(s, 4 ^ HANDLE_MAGIC), nullptr);
    EXPECT_EQ(dace::slot_of(s, 0x10000u ^ HANDLE_MAGIC), nullptr);
    EXPECT_EQ(dace::slot_of(s, 0), nullptr);

    s->files[2].entry = 0;
    EXPECT_EQ(dace::open_slot_of(s, 2 ^ HANDLE_MAGIC), &s->files[2]);
}

TEST(Handles, ZeroNamesNoSlotEvenWithMostSlots) {
    Volume v(Geometry{32, 1, 8}, 0xFFFF);
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(dace::slot_of(s, 0), nullptr);
    EXPECT_EQ(dace::slot_of(s, 0xFFFEu ^ HANDLE_MAGIC), &s->files[0xFFFE]);
    EXPECT_EQ(s->files[0xFFFE].entry, 0xFFFF);
}

TEST(ByteUtils, MemcpyCopiesForwardOverOverlap) {
    uint8_t up[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    dace_memcpy(up + 1, up, 4); // each byte read after the one before was written
    EXPECT_EQ(std::vector<uint8_t>(up, up + 8), (std::vector<uint8_t>{1, 1, 1, 1, 1, 6, 7, 8}));

    uint8_t down[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    dace_memcpy(down, down + 2, 5);
    EXPECT_EQ(std::vector<uint8_t>(down, down + 8), (std::vector<uint8_t>{3, 4, 5, 6, 7, 6, 7, 8}));
}

TEST(ByteUtils, MemsetFillsExactlyCountAndZeroTouchesNothing) {
    uint8_t buf[8] = {};
    dace_memset(buf + 2, 0xC3, 3);
    dace_memset(buf, 0x11, 0);
    dace_memcpy(buf, buf + 2, 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), (std::vector<uint8_t>{0, 0, 0xC3, 0xC3, 0xC3, 0, 0, 0}));
    // Not even the pointers are followed.
    dace_memcpy(nullptr, nullptr, 0);
    dace_memset(nullptr, 0, 0);
}

// DACE_STATE_SIZE is a constant expression (a static block can be sized by
// it) and equals dace_getstatesize for every configuration this accepts,
// with the pointers and alignment of the target it is compiled for (the
// test runs on 64-bit and on -m32; the firmware checks the Cortex-M).
TEST(StateSize, TheMacroEqualsTheCallForEveryGeometry) {
    static_assert(DACE_STATE_SIZE(256, 8, 1024, 4) > 10000u, "a constant expression");
    static uint64_t block[(DACE_STATE_SIZE(256, 8, 1024, 4) + 7) / 8];
    Volume v;
    ASSERT_GE(sizeof block, dace_getstatesize(&v.cfg));
    ASSERT_LT(sizeof block - dace_getstatesize(&v.cfg), 8u);
    uint32_t compared = 0;
    using U16 = uint16_t;
    for (const U16 page : {U16{32}, U16{40}, U16{64}, U16{256}, U16{512}, U16{2048}, U16{4096}})
        for (const U16 clus_pages : {U16{1}, U16{2}, U16{4}, U16{8}, U16{16}, U16{64}})
            for (const U16 total : {U16{64}, U16{100}, U16{1000}, U16{4096}, U16{65535}})
                for (const U16 files : {U16{1}, U16{3}, U16{4}, U16{17}}) {
                    dace_config cfg = v.cfg;
                    cfg.page_size = page;
                    cfg.clus_pages = clus_pages;
                    cfg.total_pages = total;
                    cfg.max_files = files;
                    const uint32_t size = dace_getstatesize(&cfg);
                    if (size == 0)
                        continue;
                    ++compared;
                    EXPECT_EQ(DACE_STATE_SIZE(page, clus_pages, total, files), size)
                        << page << " x " << clus_pages << ", " << total << " pages, " << files << " files";
                }
    EXPECT_GT(compared, 400u);
}
