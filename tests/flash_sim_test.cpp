#include "sim/flash_sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

using namespace dace_sim;

namespace {

// 64-byte pages, 4-page clusters, 3 clusters and 2 trailing pages.
constexpr Geometry small{64, 4, 14};

uint32_t write(FlashSim &s, uint32_t page, std::vector<uint8_t> data) {
    return FlashSim::write_cb(&s, page, data.data(), static_cast<uint32_t>(data.size()));
}
uint32_t erase(FlashSim &s, uint32_t first, uint32_t n = 1) { return FlashSim::erase_cb(&s, first, n); }
std::vector<uint8_t> at(const FlashSim &s, size_t offset, size_t n) {
    return {s.bytes().begin() + static_cast<std::ptrdiff_t>(offset),
            s.bytes().begin() + static_cast<std::ptrdiff_t>(offset + n)};
}
std::vector<uint8_t> filled(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

} // namespace

TEST(Crc16, ChainsOverSplitInput) {
    const char *digits = "123456789";
    EXPECT_EQ(crc16_ccitt(0xFFFF, digits, 9), 0x29B1);
    EXPECT_EQ(crc16_ccitt(0x0000, digits, 9), 0x31C3); // seed is used as given
    EXPECT_EQ(crc16_ccitt(crc16_ccitt(0xFFFF, digits, 4), digits + 4, 5), 0x29B1);
    EXPECT_EQ(crc16_ccitt(0x1234, digits, 0), 0x1234);
}

TEST(FlashSim, StartsBlankWithClustersOverWholePages) {
    FlashSim s(small);
    EXPECT_EQ(s.cluster_size(), 256u);
    EXPECT_EQ(s.cluster_count(), 3u);
    EXPECT_EQ(s.bytes(), filled(14 * 64, 0xFF));
    EXPECT_EQ(s.erases_per_cluster().size(), 3u);
    EXPECT_EQ(s.cluster(2), s.bytes().data() + 2 * 256);

    // A trailing page is readable and writable; it belongs to no cluster.
    EXPECT_EQ(write(s, 13, {1, 2, 3}), 3u);
    uint8_t out[4] = {};
    EXPECT_EQ(FlashSim::read_cb(&s, 13, out, 4), 4u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 0xFF}));
    EXPECT_EQ(s.counters().bytes_read, 4u);
}

TEST(FlashSim, ProgramOnlyClearsBits) {
    FlashSim s(small);
    EXPECT_EQ(write(s, 1, {0xF0, 0x0F, 0x3C}), 3u);
    EXPECT_EQ(s.counters().overwrites, 0u);
    // The same value, 0xFF or a superset of the bits changes nothing.
    EXPECT_EQ(write(s, 1, {0xF0, 0xFF, 0x3F}), 3u);
    EXPECT_EQ(s.counters().overwrites, 0u);
    EXPECT_EQ(write(s, 1, {0x0F, 0x0F, 0x3C}), 3u);
    EXPECT_EQ(at(s, 64, 4), (std::vector<uint8_t>{0x00, 0x0F, 0x3C, 0xFF}));
    EXPECT_EQ(s.counters().overwrites, 1u);
    EXPECT_EQ(s.counters().bytes_programmed, 9u);
}

TEST(FlashSim, StrictModeStopsBeforeChangedByte) {
    FlashSim s(small);
    s.set_strict(true);
    write(s, 0, {0xAA, 0xAA, 0xAA});
    EXPECT_EQ(write(s, 0, {0xAA, 0xFF, 0x00, 0x00, 0x00}), 2u);
    EXPECT_EQ(at(s, 0, 5), (std::vector<uint8_t>{0xAA, 0xAA, 0xAA, 0xFF, 0xFF}));
    EXPECT_EQ(s.counters().overwrites, 1u);
    EXPECT_EQ(s.counters().bytes_programmed, 5u);
}

TEST(FlashSim, RefusesRequestsOutsideTheMedium) {
    FlashSim s(small);
    s.set_logging(true);
    uint8_t buf[65] = {};
    EXPECT_EQ(FlashSim::read_cb(&s, 13, buf, 65), 0u);
    EXPECT_EQ(FlashSim::write_cb(&s, 13, buf, 65), 0u);
    EXPECT_EQ(FlashSim::write_cb(&s, 0x04000000, buf, 1), 0u); // page * page_size wraps 32 bits
    EXPECT_EQ(FlashSim::write_cb(&s, 0, nullptr, 1), 0u);
    EXPECT_EQ(FlashSim::read_cb(&s, 0, nullptr, 1), 0u);
    EXPECT_EQ(erase(s, 3), 0u);
    EXPECT_EQ(erase(s, 2, 2), 0u);
    EXPECT_EQ(erase(s, 1, 0xFFFFFFFF), 0u); // first + n wraps 32 bits
    EXPECT_EQ(s.bytes(), filled(14 * 64, 0xFF));
    EXPECT_EQ(s.counters().bytes_read + s.counters().bytes_programmed, 0u);
    EXPECT_EQ(s.erases_per_cluster(), std::vector<uint64_t>(3, 0));
    ASSERT_EQ(s.log().size(), 8u);
    EXPECT_EQ(s.log()[6], (Call{Op::Erase, 2, 2, 0}));
}

TEST(FlashSim, EraseBlanksWholeClustersAndCountsEach) {
    FlashSim s(small);
    s.fill(0x00);
    EXPECT_EQ(erase(s, 1, 2), 2u);
    EXPECT_EQ(at(s, 0, 256), filled(256, 0x00));
    EXPECT_EQ(at(s, 256, 512), filled(512, 0xFF));
    EXPECT_EQ(at(s, 768, 128), filled(128, 0x00)); // trailing pages untouched
    erase(s, 2);
    EXPECT_EQ(s.erases_per_cluster(), (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(s.counters().erase_calls, 2u);
    s.reset_counters();
    EXPECT_EQ(s.erases_per_cluster(), std::vector<uint64_t>(3, 0));
    EXPECT_EQ(s.counters().erase_calls, 0u);
}

TEST(FlashSim, LogsEveryCallbackWithItsResult) {
    FlashSim s(small);
    dace_entry a{}, b{};
    FlashSim::update_cb(&s, &a);
    s.set_logging(true);
    uint8_t buf[8] = {};
    FlashSim::read_cb(&s, 2, buf, 8);
    s.fail_write(1, 3);
    FlashSim::write_cb(&s, 5, buf, 8);
    erase(s, 1);
    const uint32_t crc = FlashSim::crc_cb(&s, 0xFFFF, "123456789", 9);
    FlashSim::update_cb(&s, &b);
    EXPECT_EQ(crc, 0x29B1u);
    EXPECT_EQ(a.stamp, 1u);
    EXPECT_EQ(b.stamp, 2u);
    EXPECT_EQ(s.log(), (std::vector<Call>{{Op::Read, 2, 8, 8},
                                          {Op::Write, 5, 8, 3},
                                          {Op::Erase, 1, 1, 1},
                                          {Op::Crc, 0, 9, 0x29B1},
                                          {Op::Update, 0, 0, 2}}));
    const Counters &c = s.counters();
    EXPECT_EQ(c.read_calls + c.write_calls + c.erase_calls + c.crc_calls + c.update_calls, 6u);
}

TEST(FlashSim, ShortTransfersHitOnlyTheNthCall) {
    FlashSim s(small);
    write(s, 0, {1, 2, 3, 4, 5});
    s.fail_read(2, 3);
    s.fail_write(1, 0);
    uint8_t out[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(FlashSim::read_cb(&s, 0, out, 5), 5u);
    std::memset(out, 9, sizeof out);
    EXPECT_EQ(FlashSim::read_cb(&s, 0, out, 5), 3u);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 5), (std::vector<uint8_t>{1, 2, 3, 9, 9}));
    EXPECT_EQ(FlashSim::read_cb(&s, 0, out, 5), 5u);
    EXPECT_EQ(s.counters().bytes_read, 13u);

    EXPECT_EQ(write(s, 1, {0}), 0u);
    EXPECT_EQ(s.bytes()[64], 0xFF);
    EXPECT_EQ(write(s, 1, {0}), 1u);
}

TEST(FlashSim, FailedEraseReportsAndOptionallyErases) {
    FlashSim s(small);
    s.fill(0x00);
    s.fail_erase(1, 0, false);
    EXPECT_EQ(erase(s, 0), 0u);
    EXPECT_EQ(at(s, 0, 256), filled(256, 0x00));
    s.fail_erase(2, 7, true);
    EXPECT_EQ(erase(s, 0), 1u);
    s.fill(0x00);
    EXPECT_EQ(erase(s, 0), 7u);
    EXPECT_EQ(at(s, 0, 256), filled(256, 0xFF));
}

TEST(FlashSim, WornClusterFailsUntilFaultsCleared) {
    FlashSim s(small);
    s.fill(0x00);
    s.wear_out(1);
    EXPECT_EQ(erase(s, 0, 2), 0u);
    s.reboot();
    EXPECT_EQ(erase(s, 1), 0u);
    EXPECT_EQ(at(s, 0, 512), filled(512, 0x00));
    EXPECT_EQ(erase(s, 2), 1u);
    s.clear_faults();
    EXPECT_EQ(erase(s, 0, 2), 2u);
}

TEST(FlashSim, PowerCutStopsWritePartWay) {
    FlashSim s(small);
    s.cut_after_bytes(10);
    EXPECT_EQ(write(s, 0, filled(6, 0)), 6u);
    EXPECT_TRUE(s.powered());
    EXPECT_EQ(write(s, 1, filled(8, 0)), 4u);
    EXPECT_FALSE(s.powered());
    EXPECT_EQ(at(s, 64, 5), (std::vector<uint8_t>{0, 0, 0, 0, 0xFF}));

    uint8_t out[4] = {};
    EXPECT_EQ(FlashSim::read_cb(&s, 0, out, 4), 0u);
    EXPECT_EQ(write(s, 2, {0}), 0u);
    EXPECT_EQ(erase(s, 0), 0u);
    EXPECT_EQ(s.counters().bytes_programmed, 10u);
    EXPECT_EQ(FlashSim::crc_cb(&s, 0xFFFF, "123456789", 9), 0x29B1u); // no medium involved

    s.reboot();
    EXPECT_EQ(at(s, 64, 5), (std::vector<uint8_t>{0, 0, 0, 0, 0xFF}));
    EXPECT_EQ(write(s, 2, filled(64, 0)), 64u); // the cut is spent

    s.cut_after_bytes(0);
    EXPECT_EQ(FlashSim::read_cb(&s, 0, out, 4), 4u);
    EXPECT_EQ(write(s, 3, {0}), 0u);
    EXPECT_FALSE(s.powered());
}

TEST(FlashSim, PowerCutInEraseLeavesClusterPartlyErased) {
    FlashSim s(small);
    s.fill(0x00);
    s.cut_in_erase(2, 0.3);
    EXPECT_EQ(erase(s, 0), 1u);
    EXPECT_EQ(erase(s, 1, 2), 0u);
    EXPECT_FALSE(s.powered());
    EXPECT_EQ(at(s, 256, 76), filled(76, 0xFF)); // floor(0.3 * 256)
    EXPECT_EQ(at(s, 332, 436), filled(436, 0x00));
    EXPECT_EQ(s.erases_per_cluster(), (std::vector<uint64_t>{1, 1, 0}));
}

TEST(FlashSim, RebootDisarmsPendingFaults) {
    FlashSim s(small);
    s.fail_write(1);
    s.fail_read(1);
    s.fail_erase(1);
    s.cut_after_bytes(0);
    s.cut_in_erase(1);
    s.reboot();
    uint8_t out[1];
    EXPECT_EQ(write(s, 0, {0}), 1u);
    EXPECT_EQ(FlashSim::read_cb(&s, 0, out, 1), 1u);
    EXPECT_EQ(erase(s, 0), 1u);
    EXPECT_TRUE(s.powered());
}

TEST(FlashSim, SaveAndLoadRoundTripOnlyExactImages) {
    const std::string path = ::testing::TempDir() + "flash_sim_image.bin";
    FlashSim s(small);
    write(s, 3, {0x12, 0x34});
    ASSERT_TRUE(s.save(path));
    const std::vector<uint8_t> saved = s.bytes();
    s.fill(0x00);
    ASSERT_TRUE(s.load(path));
    EXPECT_EQ(s.bytes(), saved);

    FlashSim other(Geometry{64, 4, 12}); // 128 bytes shorter
    ASSERT_TRUE(other.save(path));
    s.fill(0x5A);
    EXPECT_FALSE(s.load(path));
    std::ofstream(path, std::ios::app) << std::string(129, 'x'); // now 1 byte too long
    EXPECT_FALSE(s.load(path));
    EXPECT_FALSE(s.load(path + ".missing"));
    EXPECT_EQ(s.bytes(), filled(14 * 64, 0x5A));
    std::remove(path.c_str());
}

TEST(FlashSim, ConfigRoutesEveryCallbackHere) {
    FlashSim s(small);
    dace_config cfg = s.config(7, 0x1D0F);
    EXPECT_EQ(cfg.page_size, 64);
    EXPECT_EQ(cfg.clus_pages, 4);
    EXPECT_EQ(cfg.total_pages, 14);
    EXPECT_EQ(cfg.geometry_tag | cfg.reserved, 0u);
    EXPECT_EQ(cfg.max_files, 7);
    EXPECT_EQ(cfg.crc_seed, 0x1D0F);

    FlashSim other(small);
    other.attach(cfg);
    EXPECT_EQ(cfg.max_files, 7);
    uint8_t b[1] = {0};
    dace_entry e{};
    cfg.read_fn(cfg.io_ctx, 0, b, 1);
    cfg.write_fn(cfg.io_ctx, 0, b, 1);
    cfg.erase_fn(cfg.io_ctx, 0, 1);
    cfg.crc_fn(cfg.crc_ctx, 0, b, 1);
    cfg.update_fn(cfg.update_ctx, &e);
    const Counters &c = other.counters();
    EXPECT_EQ(c.read_calls + c.write_calls + c.erase_calls + c.crc_calls + c.update_calls, 5u);
    EXPECT_EQ(s.counters().write_calls, 0u);
}
