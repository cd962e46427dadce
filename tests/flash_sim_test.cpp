#include "sim/flash_sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace dace_sim;
using Bytes = std::vector<uint8_t>;

namespace {

// 64-byte pages, 4-page clusters: 3 clusters and 2 trailing pages.
constexpr Geometry small{64, 4, 14};
const char *const digits = "123456789";

uint32_t write(FlashSim &s, uint32_t page, Bytes d) {
    return FlashSim::write_cb(&s, page, d.data(), static_cast<uint32_t>(d.size()));
}
uint32_t read(FlashSim &s, uint32_t page, uint8_t *out, uint32_t n) { return FlashSim::read_cb(&s, page, out, n); }
uint32_t erase(FlashSim &s, uint32_t first, uint32_t n = 1) { return FlashSim::erase_cb(&s, first, n); }
Bytes at(const FlashSim &s, size_t offset, size_t n) {
    return {&s.bytes()[offset], &s.bytes()[offset] + n};
}

} // namespace

TEST(Crc16, ChainsOverSplitInput) {
    EXPECT_EQ(crc16_ccitt(0xFFFF, digits, 9), 0x29B1);
    EXPECT_EQ(crc16_ccitt(0x0000, digits, 9), 0x31C3);
    EXPECT_EQ(crc16_ccitt(crc16_ccitt(0xFFFF, digits, 4), digits + 4, 5), 0x29B1);
}

TEST(FlashSim, ProgramOnlyClearsBits) {
    FlashSim s(small);
    write(s, 1, {0xF0, 0x0F, 0x3C});
    write(s, 1, {0xF0, 0xFF, 0x3F}); // changes no byte: no overwrite
    EXPECT_EQ(write(s, 1, {0x0F}), 1u);
    EXPECT_EQ(at(s, 64, 4), (Bytes{0x00, 0x0F, 0x3C, 0xFF}));
    EXPECT_EQ(s.counters().overwrites, 1u);

    s.set_strict(true); // stops before the byte it would change
    EXPECT_EQ(write(s, 1, {0x00, 0x0F, 0x00, 0x00}), 2u);
    EXPECT_EQ(at(s, 64, 4), (Bytes{0x00, 0x0F, 0x3C, 0xFF}));
    EXPECT_EQ(s.counters().overwrites, 2u);
    EXPECT_EQ(s.counters().bytes_programmed, 9u);
}

TEST(FlashSim, RefusesRequestsPastTheEnd) {
    FlashSim s(small);
    uint8_t buf[65] = {};
    EXPECT_EQ(read(s, 13, buf, 64), 64u); // a trailing page is still medium
    EXPECT_EQ(read(s, 13, buf, 65), 0u);
    EXPECT_EQ(FlashSim::write_cb(&s, 0x04000000, buf, 1), 0u); // page * page_size wraps 32 bits
    EXPECT_EQ(FlashSim::write_cb(&s, 0, nullptr, 1), 0u);
    EXPECT_EQ(erase(s, 3), 0u);
    EXPECT_EQ(erase(s, 1, 0xFFFFFFFF), 0u); // first + n wraps 32 bits
    EXPECT_EQ(s.bytes(), Bytes(14 * 64, 0xFF));
    EXPECT_EQ(s.erases_per_cluster(), std::vector<uint64_t>(3, 0));
}

TEST(FlashSim, EraseBlanksWholeClustersAndCountsEach) {
    FlashSim s(small);
    s.fill(0x00);
    EXPECT_EQ(erase(s, 1, 2), 2u);
    erase(s, 2);
    EXPECT_EQ(at(s, 0, 256), Bytes(256, 0x00));
    EXPECT_EQ(at(s, 256, 512), Bytes(512, 0xFF));
    EXPECT_EQ(at(s, 768, 128), Bytes(128, 0x00));
    EXPECT_EQ(s.erases_per_cluster(), (std::vector<uint64_t>{0, 1, 2}));
    s.reset_counters();
    EXPECT_EQ(s.erases_per_cluster(), std::vector<uint64_t>(3, 0));
}

TEST(FlashSim, LogsEveryCallbackWithItsResult) {
    FlashSim s(small);
    dace_entry e{};
    FlashSim::update_cb(&s, &e);
    s.set_logging(true);
    uint8_t buf[8] = {};
    read(s, 2, buf, 8);
    s.fail_write(1, 3);
    FlashSim::write_cb(&s, 5, buf, 8);
    erase(s, 3);
    FlashSim::crc_cb(&s, 0xFFFF, digits, 9);
    FlashSim::update_cb(&s, &e);
    EXPECT_EQ(e.stamp, 2u);
    EXPECT_EQ(s.log(), (std::vector<Call>{{Op::Read, 2, 8, 8},
                                          {Op::Write, 5, 8, 3},
                                          {Op::Erase, 3, 1, 0},
                                          {Op::Crc, 0, 9, 0x29B1},
                                          {Op::Update, 0, 0, 2}}));
}

TEST(FlashSim, InjectedFaultsHitOnlyTheNthCall) {
    FlashSim s(small);
    write(s, 0, {1, 2, 3, 4, 5});
    s.fail_read(2, 3);
    uint8_t out[5] = {};
    EXPECT_EQ(read(s, 0, out, 5), 5u);
    out[3] = out[4] = 9;
    EXPECT_EQ(read(s, 0, out, 5), 3u);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{1, 2, 3, 9, 9}));
    EXPECT_EQ(read(s, 0, out, 5), 5u);
    EXPECT_EQ(s.counters().bytes_read, 13u);

    s.fill(0x00);
    s.fail_erase(1);
    EXPECT_EQ(erase(s, 0), 0u);
    EXPECT_EQ(s.bytes()[0], 0x00);
    s.fail_erase(2, 7, true);
    EXPECT_EQ(erase(s, 0), 1u);
    s.fill(0x00);
    EXPECT_EQ(erase(s, 0), 7u);
    EXPECT_EQ(s.bytes()[0], 0xFF);
}

// A write can fail after it programmed everything (a part whose status
// says fail), and several in a row can fail.
TEST(FlashSim, WriteFaultsCanLandAndRepeat) {
    FlashSim s(small);
    s.fail_write(1, 0, true);
    EXPECT_EQ(write(s, 0, {1, 2, 3}), 0u);
    EXPECT_EQ(at(s, 0, 3), (Bytes{1, 2, 3}));
    s.fail_write(2, 1, false, 2);
    EXPECT_EQ(write(s, 1, {4, 5}), 2u);
    EXPECT_EQ(write(s, 2, {6, 7}), 1u);
    EXPECT_EQ(write(s, 3, {8, 9}), 1u);
    EXPECT_EQ(write(s, 4, {1, 1}), 2u);
    EXPECT_EQ(at(s, 64 * 2, 2), (Bytes{6, 0xFF}));
}

TEST(FlashSim, WornClusterSurvivesRebootUntilFaultsCleared) {
    FlashSim s(small);
    s.fill(0x00);
    s.wear_out(1);
    s.fail_write(1);
    s.cut_after_bytes(0);
    s.reboot();
    EXPECT_EQ(write(s, 0, {0}), 1u); // pending faults are gone
    EXPECT_EQ(erase(s, 0, 2), 0u);
    EXPECT_EQ(at(s, 0, 512), Bytes(512, 0x00));
    EXPECT_EQ(erase(s, 2), 1u);
    s.clear_faults();
    EXPECT_EQ(erase(s, 0, 2), 2u);
}

TEST(FlashSim, UnreadableClusterFailsEveryReadThatTouchesIt) {
    FlashSim s(small); // clusters of 4 pages of 64 bytes
    s.make_unreadable(1);
    uint8_t buf[512];
    EXPECT_EQ(read(s, 0, buf, 256), 256u);
    EXPECT_EQ(read(s, 3, buf, 65), 0u) << "reaches into cluster 1";
    EXPECT_EQ(read(s, 7, buf, 8), 0u);
    EXPECT_EQ(read(s, 8, buf, 64), 64u);
    s.reboot();
    EXPECT_EQ(read(s, 4, buf, 8), 0u);
    s.clear_faults();
    EXPECT_EQ(read(s, 4, buf, 8), 8u);
}

TEST(FlashSim, PowerCutStopsWritePartWay) {
    FlashSim s(small);
    s.cut_after_bytes(10);
    EXPECT_EQ(write(s, 0, Bytes(6, 0)), 6u);
    EXPECT_EQ(write(s, 1, Bytes(8, 0)), 4u);
    EXPECT_FALSE(s.powered());
    uint8_t out[4] = {};
    EXPECT_EQ(read(s, 0, out, 4), 0u);
    EXPECT_EQ(write(s, 2, {0}), 0u);
    EXPECT_EQ(erase(s, 0), 0u);
    EXPECT_EQ(FlashSim::crc_cb(&s, 0xFFFF, digits, 9), 0x29B1u); // touches no medium

    s.reboot();
    EXPECT_EQ(at(s, 64, 5), (Bytes{0, 0, 0, 0, 0xFF}));
    EXPECT_EQ(s.counters().bytes_programmed, 10u);
    s.cut_after_bytes(0);
    EXPECT_EQ(read(s, 0, out, 4), 4u);
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
    EXPECT_EQ(at(s, 256, 76), Bytes(76, 0xFF)); // floor(0.3 * 256)
    EXPECT_EQ(at(s, 332, 436), Bytes(436, 0x00));
}

// Cells left half programmed read back with some cleared bits set, and
// stay so through reboots and through every erase of their cluster but one
// that completes: a cut-short erase leaves the rest of the cluster as it was.
TEST(FlashSim, UnstablePageReadsAsItPleasesUntilAnEraseCompletes) {
    FlashSim s(small); // clusters of 4 pages of 64 bytes
    s.fill(0x00);
    s.make_unstable(6, 3); // cluster 1, its third page
    const auto disturbed = [&s](uint32_t page) {
        uint8_t buf[64];
        for (int tries = 0; tries < 4; ++tries)
            if (read(s, page, buf, 64) != 64 || Bytes(buf, buf + 64) != at(s, size_t{page} * 64, 64))
                return true;
        return false;
    };
    EXPECT_TRUE(disturbed(6));
    EXPECT_FALSE(disturbed(5));
    EXPECT_EQ(at(s, 6 * 64, 64), Bytes(64, 0x00)) << "a read changed the medium";

    s.cut_in_erase(1, 0.25); // blanks page 4 alone
    EXPECT_EQ(erase(s, 1), 0u);
    s.reboot();
    EXPECT_TRUE(s.unstable(6)) << "an erase cut short";
    EXPECT_TRUE(disturbed(6));
    s.fail_erase(1);
    EXPECT_EQ(erase(s, 1), 0u);
    EXPECT_TRUE(s.unstable(6)) << "an erase that failed without erasing";
    EXPECT_TRUE(disturbed(6));

    s.fail_erase(1, 0, true); // fails, but erased all the same
    EXPECT_EQ(erase(s, 1), 0u);
    EXPECT_FALSE(s.unstable(6));
    EXPECT_EQ(write(s, 6, Bytes(64, 0x00)), 64u);
    EXPECT_FALSE(disturbed(6));

    s.make_unstable(9);
    s.wear_out(2);
    EXPECT_EQ(erase(s, 2), 0u);
    EXPECT_TRUE(s.unstable(9)) << "an erase of a worn cluster";
    s.clear_faults();
    EXPECT_FALSE(s.unstable(9));
}

TEST(FlashSim, LoadsOnlyImagesOfExactlyItsSize) {
    const std::string path = ::testing::TempDir() + "flash_sim_image.bin";
    FlashSim s(small);
    write(s, 3, {0x12, 0x34});
    const Bytes saved = s.bytes();
    ASSERT_TRUE(s.save(path));
    s.fill(0x00);
    ASSERT_TRUE(s.load(path));
    std::ofstream(path, std::ios::app) << 'x';
    EXPECT_FALSE(s.load(path));
    ASSERT_TRUE(FlashSim(Geometry{64, 4, 13}).save(path));
    EXPECT_FALSE(s.load(path));
    EXPECT_EQ(s.bytes(), saved);
    std::remove(path.c_str());
}

TEST(FlashSim, ConfigRoutesEveryCallbackHere) {
    FlashSim s(small), other(small);
    dace_config cfg = s.config(7, 0x1D0F);
    EXPECT_EQ((std::vector<unsigned>{cfg.page_size, cfg.clus_pages, cfg.total_pages, cfg.geometry_tag,
                                     cfg.max_files, cfg.crc_seed, cfg.reserved}),
              (std::vector<unsigned>{64, 4, 14, 0, 7, 0x1D0F, 0}));
    other.attach(cfg);
    uint8_t b[1] = {0};
    dace_entry e{};
    cfg.read_fn(cfg.io_ctx, 0, b, 1);
    cfg.write_fn(cfg.io_ctx, 0, b, 1);
    cfg.erase_fn(cfg.io_ctx, 0, 1);
    cfg.crc_fn(cfg.crc_ctx, 0, b, 1);
    cfg.update_fn(cfg.update_ctx, &e);
    const Counters &c = other.counters();
    EXPECT_EQ(c.read_calls + c.write_calls + c.erase_calls + c.crc_calls + c.update_calls, 5u);
    EXPECT_EQ(cfg.max_files, 7);
}

// A mirror that copies each reported range ends up equal to the content, cut
// writes and partial erases included; one that refuses fails the call.
TEST(FlashSim, MirrorSeesEveryChangedRangeAndCanFailTheCall) {
    FlashSim s(small);
    Bytes copy(s.bytes().size(), 0xFF);
    std::vector<std::pair<size_t, size_t>> ranges;
    bool accept = true;
    s.set_mirror([&](size_t offset, size_t count) {
        ranges.emplace_back(offset, count);
        std::copy_n(s.bytes().begin() + static_cast<std::ptrdiff_t>(offset), count,
                    copy.begin() + static_cast<std::ptrdiff_t>(offset));
        return accept;
    });

    EXPECT_EQ(write(s, 5, Bytes(64, 0x0F)), 64u);
    EXPECT_EQ(erase(s, 1), 1u);
    s.cut_after_bytes(10);
    EXPECT_EQ(write(s, 1, Bytes(64, 0x00)), 10u);
    s.reboot();
    s.cut_in_erase(1, 0.25);
    EXPECT_EQ(erase(s, 0), 0u);
    s.reboot();
    EXPECT_EQ(ranges, (std::vector<std::pair<size_t, size_t>>{{320, 64}, {256, 256}, {64, 10}, {0, 64}}));
    EXPECT_EQ(copy, s.bytes());

    ranges.clear();
    uint8_t out[8];
    EXPECT_EQ(read(s, 0, out, 8), 8u);
    EXPECT_TRUE(ranges.empty()) << "reads change nothing";
    accept = false;
    EXPECT_EQ(write(s, 9, Bytes(64, 0x00)), 0u);
    EXPECT_EQ(erase(s, 2), 0u);
}
