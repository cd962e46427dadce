// Reading what the medium no longer holds as it was written. By default a
// read serves a cluster's bytes as they come; with verified reads on, a
// cluster whose mark, link or CRC does not match ends the read there, so
// no damaged byte is ever served as good.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

constexpr uint32_t P = 2040;
constexpr uint32_t kSize = 2 * P + 700; // three clusters, the last part full

// Cluster k (in file order) of the file, from the chain on the medium.
uint16_t cluster_in_file_order(Volume &v, const char *name, uint32_t k) {
    std::vector<uint16_t> chain = chain_on_medium(v, name);
    std::reverse(chain.begin(), chain.end());
    return chain.at(k);
}

struct Region {
    const char *what;
    uint32_t offset; // within the cluster image
};

} // namespace

TEST(VerifiedRead, ADamagedClusterEndsTheReadBeforeItsBytes) {
    const Region regions[] = {
        {"mark", 1},           {"link", 4},           {"CRC field", 7},      {"first payload byte", 8},
        {"mid payload", 1000}, {"last data byte", 8 + 699}, {"tail past the end", 8 + 1500},
    };
    const std::vector<uint8_t> data = pattern_bytes(kSize, 5);
    for (uint32_t k = 0; k < 3; ++k) {
        for (const Region &r : regions) {
            SCOPED_TRACE(testing::Message() << "cluster " << k << ", " << r.what);
            Volume v;
            dace_state *s = v.mount();
            ASSERT_NE(s, nullptr);
            put_file(s, "f", kSize, 5);
            const uint16_t damaged = cluster_in_file_order(v, "f", k);
            v.sim.cluster(damaged)[r.offset] ^= 0x01;
            v.leave_unchecked("damages a data cluster on purpose");
            s = remount(v);
            if (s == nullptr)
                continue; // a link that now names no cluster of the medium refuses the mount
            dace_verify_reads(s, 1);

            const dace_handle h = dace_open(s, "f");
            std::vector<uint8_t> got;
            if (h != 0) {
                got = read_rest(s, h, 1000);
                // Seeking into the damaged cluster fails like an unreadable one.
                EXPECT_EQ(dace_seek(s, h, k * P + 10, DACE_SEEK_SET), DACE_SEEK_FAILED);
                EXPECT_EQ(dace_close(s, h), DACE_OK);
            }
            ASSERT_LE(got.size(), size_t{k} * P) << "bytes of the damaged cluster were served";
            EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << "a served byte is wrong";

            // Off again, the read serves the bytes as they come.
            dace_verify_reads(s, 0);
            if (r.offset >= 8) {
                EXPECT_EQ(file_bytes(s, "f").size(), kSize);
            }
        }
    }
}

// A chain that holds fewer clusters than the size needs (the damage cut it
// at mount) refuses a verified open rather than serve another file's bytes.
TEST(VerifiedRead, ChainShorterThanTheSizeRefusesTheOpen) {
    Volume v;
    plant_root(v.sim, v.cfg, 2, 0, 3, {make_entry("f", 3 * P, 12)});
    plant_data(v.sim, v.cfg, 12, 4, 0x11);
    plant_data(v.sim, v.cfg, 4, CLUS_END, 0x22); // the first of three is missing
    v.leave_unchecked("plants a chain too short for its file on purpose");
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    dace_verify_reads(s, 1);
    EXPECT_EQ(dace_open(s, "f"), 0u);
}

// Verification is off after every mount, and costs one CRC per cluster.
TEST(VerifiedRead, OffAfterEveryMountAndOneCrcPerClusterLoaded) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "f", kSize, 5);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->options & DACE_OPT_VERIFY_READS, 0u);
    dace_verify_reads(s, 1);
    const uint64_t crcs = v.sim.counters().crc_calls;
    EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(kSize, 5));
    EXPECT_EQ(v.sim.counters().crc_calls - crcs, 3u * 2u); // header and payload of each
}

// An entry that claims bytes but names no cluster (a damaged medium) reads
// as nothing: no stale bytes of the slot's buffer, another file's, leak out.
TEST(VerifiedRead, EntryWithBytesButNoClusterReadsNothing) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "secret", 900, 7);
    ASSERT_EQ(file_bytes(s, "secret").size(), 900u); // leaves its bytes in a slot buffer
    const dace_handle h = dace_create(s, "hollow");
    ASSERT_NE(h, 0u);
    ASSERT_EQ(dace_close(s, h), DACE_OK);
    v.entries()[1].size = 900; // as if read from a damaged copy
    v.leave_unchecked("gives an entry bytes but no cluster by hand");
    const dace_handle r = dace_open(s, "hollow");
    ASSERT_NE(r, 0u);
    uint8_t buf[64];
    EXPECT_EQ(dace_read(s, buf, sizeof buf, r), 0u);
}
