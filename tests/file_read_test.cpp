// Reading and positioning: cluster order, the two forms of a position on a
// cluster boundary, seek's whence rules, failed loads, and round trips of
// whole files through remounts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Op;

namespace {

constexpr uint32_t P = 2040;

// A volume with one committed file "f" of `size` pattern bytes in clusters
// 1, 2, 3, ... in file order, opened at position 0.
struct Opened {
    explicit Opened(uint32_t size, Geometry g = small_nor()) : v(g), data(pattern_bytes(size)) {
        s = v.mount();
        EXPECT_NE(s, nullptr);
        const dace_handle w = dace_create(s, "f");
        EXPECT_EQ(write_bytes(s, w, data), size);
        EXPECT_EQ(dace_close(s, w), DACE_OK);
        h = dace_open(s, "f");
        EXPECT_NE(h, 0u);
    }
    std::vector<uint8_t> bytes(uint32_t from, uint32_t n) const {
        return {data.begin() + from, data.begin() + from + n};
    }

    Volume v;
    std::vector<uint8_t> data;
    dace_state *s = nullptr;
    dace_handle h = 0;
};

uint32_t cluster_page(uint32_t c) { return c * 8; }

} // namespace

// Medium cost: a read loads each cluster once, when its first byte is
// needed, and nothing past the end.
TEST(FileRead, MovesForwardLoadingEachClusterWhenItsFirstByteIsNeeded) {
    Opened o(2 * P + 10);
    o.v.sim.set_logging(true);
    std::vector<uint8_t> got(3 * P);
    EXPECT_EQ(dace_read(o.s, got.data(), 3 * P, o.h), 2 * P + 10);
    got.resize(2 * P + 10);
    EXPECT_EQ(got, o.data);
    EXPECT_EQ(medium_calls(o.v.sim.log()),
              shown({{Op::Read, cluster_page(2), 2048, 2048}, {Op::Read, cluster_page(3), 2048, 2048}}));
    EXPECT_EQ(dace_feof(o.s, o.h), 1);
    EXPECT_EQ(dace_read(o.s, got.data(), 1, o.h), 0u);
    EXPECT_EQ(dace_read(o.s, nullptr, 1, o.h), 0u);
}

// Medium cost: a read that ends at a cluster's end leaves the next cluster
// unread until a byte of it is asked for.
TEST(FileRead, ReadEndingAtAClusterEndLoadsTheNextOnlyWhenAsked) {
    Opened o(2 * P);
    std::vector<uint8_t> got(P);
    o.v.sim.set_logging(true);
    ASSERT_EQ(dace_read(o.s, got.data(), P, o.h), P);
    EXPECT_TRUE(o.v.sim.log().empty());
    EXPECT_EQ(dace_tell(o.s, o.h), P);
    EXPECT_EQ(dace_read(o.s, got.data(), 0, o.h), 0u);
    EXPECT_TRUE(o.v.sim.log().empty());
    ASSERT_EQ(dace_read(o.s, got.data(), 5, o.h), 5u);
    EXPECT_EQ(medium_calls(o.v.sim.log()), shown({{Op::Read, cluster_page(2), 2048, 2048}}));
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 5), o.bytes(P, 5));
}

TEST(FileRead, ShortLoadStopsTheReadAndTheNextReadTriesAgain) {
    Opened o(3 * P);
    std::vector<uint8_t> got(3 * P);
    o.v.sim.fail_read(1, 100);
    EXPECT_EQ(dace_read(o.s, got.data(), 3 * P, o.h), P);
    EXPECT_EQ(dace_tell(o.s, o.h), P);
    EXPECT_EQ(dace_read(o.s, got.data() + P, 2 * P, o.h), 2 * P);
    EXPECT_EQ(got, o.data);
}

// The short load spoilt the buffer that held the cluster before; once the
// file is cut back into that cluster, an append must not carry those bytes.
TEST(FileRead, ShortLoadLeavesNoSpoiltBufferForALaterAppend) {
    Opened o(2 * P);
    std::vector<uint8_t> got(2 * P);
    o.v.sim.fail_read(1, 100);
    ASSERT_EQ(dace_read(o.s, got.data(), 2 * P, o.h), P);
    ASSERT_EQ(dace_truncate(o.s, "f", 100), DACE_OK);
    ASSERT_EQ(dace_write(o.s, "tail", 4, o.h), 4u);
    ASSERT_EQ(dace_close(o.s, o.h), DACE_OK);
    std::vector<uint8_t> want = o.bytes(0, 100);
    want.insert(want.end(), {'t', 'a', 'i', 'l'});
    o.v.sim.reboot();
    dace_state *s = o.v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), want);
}

TEST(FileSeek, WhenceRules) {
    Opened o(100);
    EXPECT_EQ(dace_seek(o.s, o.h, 0, DACE_SEEK_END), DACE_OK);
    EXPECT_EQ(dace_tell(o.s, o.h), 100u);
    EXPECT_EQ(dace_seek(o.s, o.h, 10, DACE_SEEK_END), DACE_OK);
    EXPECT_EQ(dace_tell(o.s, o.h), 90u);
    EXPECT_EQ(dace_seek(o.s, o.h, 101, DACE_SEEK_END), DACE_SEEK_BEYOND_END);
    EXPECT_EQ(dace_seek(o.s, o.h, 5, DACE_SEEK_SET), DACE_OK);
    EXPECT_EQ(dace_seek(o.s, o.h, 0xFFFFFFFFu, DACE_SEEK_CUR), DACE_OK);
    EXPECT_EQ(dace_tell(o.s, o.h), 4u);
    EXPECT_EQ(dace_seek(o.s, o.h, 101, DACE_SEEK_SET), DACE_SEEK_BEYOND_END);
    EXPECT_EQ(dace_seek(o.s, o.h, 0, DACE_SEEK_SET), DACE_OK);
    EXPECT_EQ(dace_seek(o.s, o.h, 0xFFFFFFFFu, DACE_SEEK_CUR), DACE_SEEK_BEYOND_END);
    EXPECT_EQ(dace_seek(o.s, o.h, 1000, 3), DACE_SEEK_BAD_WHENCE) << "a bad whence is reported before the range";
    EXPECT_EQ(dace_seek(o.s, o.h, 0, -1), DACE_SEEK_BAD_WHENCE);
    EXPECT_EQ(dace_tell(o.s, o.h), 0u);
    uint8_t b = 0;
    ASSERT_EQ(dace_seek(o.s, o.h, 10, DACE_SEEK_END), DACE_OK);
    ASSERT_EQ(dace_read(o.s, &b, 1, o.h), 1u);
    EXPECT_EQ(b, o.data[90]);
}

// Medium cost: a position on a cluster boundary loads the later cluster,
// but the end of a file of whole payloads lies in its last cluster.
TEST(FileSeek, BoundariesTakeTheLaterClusterExceptAtTheEnd) {
    Opened o(2 * P);
    o.v.sim.set_logging(true);
    ASSERT_EQ(dace_seek(o.s, o.h, P, DACE_SEEK_SET), DACE_OK);
    EXPECT_EQ(medium_calls(o.v.sim.log()), shown({{Op::Read, cluster_page(2), 2048, 2048}}));
    o.v.sim.clear_log();
    ASSERT_EQ(dace_seek(o.s, o.h, 2 * P, DACE_SEEK_SET), DACE_OK);
    for (const std::string &call : medium_calls(o.v.sim.log()))
        EXPECT_EQ(call, show({Op::Read, cluster_page(2), 2048, 2048})) << "the end lies in the last cluster";
    EXPECT_EQ(dace_feof(o.s, o.h), 1);
    uint8_t b = 0;
    EXPECT_EQ(dace_read(o.s, &b, 1, o.h), 0u);
    o.v.sim.clear_log();
    ASSERT_EQ(dace_seek(o.s, o.h, 0, DACE_SEEK_SET), DACE_OK);
    EXPECT_EQ(medium_calls(o.v.sim.log()), shown({{Op::Read, cluster_page(1), 2048, 2048}}));
    EXPECT_EQ(read_rest(o.s, o.h, 777), o.data);

    // After seeking to the end of a file of whole payloads, a write appends.
    ASSERT_EQ(dace_seek(o.s, o.h, 0, DACE_SEEK_END), DACE_OK);
    ASSERT_EQ(write_bytes(o.s, o.h, pattern_bytes(10, 3)), 10u);
    ASSERT_EQ(dace_close(o.s, o.h), DACE_OK);
    const std::vector<uint8_t> tail = pattern_bytes(10, 3);
    o.data.insert(o.data.end(), tail.begin(), tail.end());
    EXPECT_EQ(file_bytes(o.s, "f"), o.data);
}

// Rule 8: a seek commits as a flush does, the file's cluster before the
// root copy, and a seek to where the handle stands loads nothing.
TEST(FileSeek, ToTheCurrentPositionFlushesAndLoadsNothing) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    const dace_handle h = dace_create(s, "f");
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(300)), 300u);
    v.sim.set_logging(true);
    EXPECT_EQ(dace_seek(s, h, 0, DACE_SEEK_CUR), DACE_OK);
    EXPECT_EQ(changes(v.sim.log(), v.sim, v.cfg),
              (std::vector<std::string>{"data cluster, 2 pages", "root copy, 1 page"}));
    EXPECT_TRUE(calls_of(v.sim.log(), Op::Read).empty());
    v.sim.clear_log();
    EXPECT_EQ(dace_flush(s, h), 0);
    EXPECT_TRUE(v.sim.log().empty()) << "the seek left something to flush";

    v.sim.fail_write(1);
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(5)), 5u);
    EXPECT_EQ(dace_seek(s, h, 0, DACE_SEEK_SET), DACE_SEEK_FLUSH_FAILED) << "flushing failed";
    EXPECT_EQ(dace_tell(s, h), 305u);
}

TEST(FileSeek, FailedLoadLeavesNoBufferToTrust) {
    Opened o(3 * P + 100);
    o.v.sim.fail_read(1);
    EXPECT_EQ(dace_seek(o.s, o.h, P + 7, DACE_SEEK_SET), DACE_SEEK_FAILED);
    EXPECT_EQ(dace_tell(o.s, o.h), P + 7) << "the position has moved";
    std::vector<uint8_t> got(20);
    ASSERT_EQ(dace_read(o.s, got.data(), 20, o.h), 20u);
    EXPECT_EQ(got, o.bytes(P + 7, 20));

    // The same at the end, followed by a write that carries the cluster over.
    o.v.sim.fail_read(1);
    EXPECT_EQ(dace_seek(o.s, o.h, 0, DACE_SEEK_END), DACE_SEEK_FAILED);
    o.v.sim.fail_read(1);
    EXPECT_EQ(dace_write(o.s, "z", 1, o.h), 0u) << "no write from a buffer that could not be loaded";
    ASSERT_EQ(dace_write(o.s, "z", 1, o.h), 1u);
    ASSERT_EQ(dace_close(o.s, o.h), DACE_OK);
    o.data.push_back('z');
    o.v.sim.reboot();
    dace_state *s = o.v.mount();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), o.data);
}

TEST(FileRoundTrip, SizesAroundClusterBoundariesInOneCallAndInPieces) {
    const std::vector<uint32_t> sizes = {0, 1, P - 1, P, P + 1, 2 * P, 7 * P + 123};
    const std::vector<uint32_t> pieces = {1, 13, 64, P - 1, P, P + 1};
    for (const bool ragged : {false, true}) {
        SCOPED_TRACE(ragged ? "ragged pieces" : "one call");
        Volume v;
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::vector<uint8_t> data = pattern_bytes(sizes[i], static_cast<uint32_t>(i));
            const std::string name = "file" + std::to_string(i);
            dace_handle h = dace_create(s, name.c_str());
            ASSERT_NE(h, 0u);
            uint32_t done = 0;
            for (size_t k = 0; done < data.size(); ++k) {
                const uint32_t piece = ragged ? pieces[(i + k) % pieces.size()] : sizes[i];
                const uint32_t n = std::min<uint32_t>(piece, sizes[i] - done);
                ASSERT_EQ(dace_write(s, data.data() + done, n, h), n);
                done += n;
                if (ragged && k % 3 == 1) {
                    ASSERT_EQ(dace_flush(s, h), 0);
                }
                if (ragged && k % 5 == 2) {
                    // Seek back, read a little, and return to the end.
                    ASSERT_EQ(dace_seek(s, h, done / 2, DACE_SEEK_SET), DACE_OK);
                    uint8_t b = 0;
                    ASSERT_EQ(dace_read(s, &b, 1, h), done > 0 ? 1u : 0u);
                    ASSERT_EQ(dace_seek(s, h, 0, DACE_SEEK_END), DACE_OK);
                }
                if (ragged && k % 7 == 3) {
                    ASSERT_EQ(dace_close(s, h), DACE_OK);
                    v.sim.reboot();
                    s = v.mount();
                    ASSERT_NE(s, nullptr);
                    h = open_at_end(s, name.c_str());
                }
            }
            ASSERT_EQ(dace_close(s, h), DACE_OK);
        }
        v.sim.reboot();
        s = v.mount();
        ASSERT_NE(s, nullptr);
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "file" + std::to_string(i);
            EXPECT_EQ(file_bytes(s, name.c_str()), pattern_bytes(sizes[i], static_cast<uint32_t>(i))) << name;
            // And in pieces that straddle every boundary.
            const dace_handle h = dace_open(s, name.c_str());
            EXPECT_EQ(read_rest(s, h, 333), pattern_bytes(sizes[i], static_cast<uint32_t>(i))) << name;
            EXPECT_EQ(dace_close(s, h), DACE_OK);
        }
        EXPECT_EQ(v.sim.counters().overwrites, 0u);
        EXPECT_EQ(accounting_problems(s), "");
    }
}

// Successive clusters of a file may lie just above, far above or below one
// another, beside other files' clusters; the read must follow the file's own
// chain whichever way it runs, loading each cluster once.
TEST(FileRead, FollowsChainsThatRunAnyWayAmongOtherFiles) {
    Volume v(small_nor());
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "pad", 3 * P, 7); // clusters that "a" gets back later, below it
    std::vector<uint8_t> a, b;
    auto append = [&](const char *name, std::vector<uint8_t> &model, uint32_t n, uint32_t seed) {
        const std::vector<uint8_t> more = pattern_bytes(n, seed);
        const dace_handle h = dace_find_file(s, name) < 0 ? dace_create(s, name) : open_at_end(s, name);
        ASSERT_EQ(write_bytes(s, h, more), n);
        ASSERT_EQ(dace_close(s, h), DACE_OK);
        model = cat(model, more);
    };
    for (uint32_t round = 0; round < 3; ++round) { // interleaved: a, b, a, b, ...
        append("a", a, P + 100, round + 1);
        append("b", b, P / 2, round + 11);
    }
    put_file(s, "big", 6 * P, 3); // the next cluster of "a" lies more than four above
    append("a", a, 2 * P, 21);
    ASSERT_EQ(dace_remove(s, "pad"), DACE_OK);
    append("a", a, 3 * P, 22); // and then below

    for (int pass = 0; pass < 2; ++pass) {
        v.sim.reset_counters();
        EXPECT_EQ(file_bytes(s, "a"), a);
        const uint32_t clusters = static_cast<uint32_t>((a.size() + P - 1) / P);
        EXPECT_EQ(v.sim.counters().read_calls, clusters); // open loads the first, each read the next
        EXPECT_EQ(file_bytes(s, "b"), b);
        EXPECT_EQ(file_bytes(s, "big"), pattern_bytes(6 * P, 3));
        s = remount(v);
        ASSERT_NE(s, nullptr);
    }
}
