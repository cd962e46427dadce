// dace_erase_ahead: erases done in idle time instead of inside writes, on
// clusters that nothing on the medium needs any more, and safe to cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;
using dace_sim::Op;

namespace {

constexpr Geometry kSmall{256, 8, 160}; // 20 clusters: released ones come back soon

// The erases a call made.
template <class F> uint64_t erases_in(Volume &v, F call) {
    const uint64_t before = v.sim.counters().erase_calls;
    call();
    return v.sim.counters().erase_calls - before;
}

} // namespace

// A logger of 16-byte records, flushed every ten, a settings file replaced
// now and then: with dace_erase_ahead between flushes, no write and no
// flush erases anything, in both allocation modes, once the medium has
// come round to clusters that need an erase.
TEST(EraseAhead, TakesTheErasesOutOfWritesAndFlushes) {
    for (const bool level_wear : {false, true}) {
        SCOPED_TRACE(level_wear ? "wear levelling" : "first fit");
        Volume v(kSmall, 2);
        ASSERT_NE(v.mount(), nullptr);
        if (level_wear)
            dace_level_wear(v.s, 3);
        dace_handle log = dace_create(v.s, "log");
        const std::vector<uint8_t> record = pattern_bytes(16);
        uint64_t in_calls = 0, ahead = 0;
        for (uint32_t i = 0; i < 2000; ++i) {
            in_calls += erases_in(v, [&] { ASSERT_EQ(dace_write(v.s, record.data(), 16, log), 16u); });
            if (i % 10 != 9)
                continue;
            in_calls += erases_in(v, [&] { ASSERT_EQ(dace_flush(v.s, log), DACE_OK); });
            if (i % 200 == 199) {
                // Rotation: the log gives its clusters back.
                ASSERT_EQ(dace_close(v.s, log), DACE_OK);
                ASSERT_EQ(dace_remove(v.s, "log"), DACE_OK);
                log = dace_create(v.s, "log");
            }
            const int erased = dace_erase_ahead(v.s, 8);
            ASSERT_GE(erased, 0);
            ahead += static_cast<uint64_t>(erased);
        }
        EXPECT_EQ(in_calls, 0u);
        EXPECT_GT(ahead, 2u * kSmall.total_pages / kSmall.clus_pages) << "clusters were reused many times";
        ASSERT_EQ(dace_close(v.s, log), DACE_OK);
    }
}

// Rule 3: it erases only clusters that wait for an erase: not a file's, not
// the root's, not one held until the next commit (the root on the medium
// may still name it), and at most `max` of them.
TEST(EraseAhead, NeverTouchesWhatTheMediumMayStillNeed) {
    Volume v(kSmall, 2);
    ASSERT_NE(v.mount(), nullptr);
    put_file(v.s, "kept", 3000, 1);
    put_file(v.s, "gone", 3000, 2);
    ASSERT_EQ(dace_remove(v.s, "gone"), DACE_OK); // its clusters wait for an erase
    // An append carries kept's newest cluster over: the old one is held
    // until a commit, since the root on the medium still names it.
    const std::vector<uint16_t> chain = chain_on_medium(v, "kept");
    ASSERT_EQ(chain.size(), 2u);
    const uint16_t held = chain[0], first = chain[1];
    const dace_handle h = open_at_end(v.s, "kept");
    const std::vector<uint8_t> more = pattern_bytes(10, 3);
    ASSERT_EQ(dace_write(v.s, more.data(), 10, h), 10u);
    const std::vector<uint8_t> held_bytes(v.sim.cluster(held), v.sim.cluster(held) + v.sim.cluster_size());
    const std::vector<uint8_t> first_bytes(v.sim.cluster(first), v.sim.cluster(first) + v.sim.cluster_size());
    Files last;
    last.create("kept", pattern_bytes(3000, 1));

    EXPECT_EQ(dace_erase_ahead(v.s, 1), 1);
    EXPECT_GE(dace_erase_ahead(v.s, 100), 0);
    EXPECT_EQ(dace_erase_ahead(v.s, 100), 0) << "nothing else waits for an erase";
    EXPECT_TRUE(std::equal(held_bytes.begin(), held_bytes.end(), v.sim.cluster(held)));
    EXPECT_TRUE(std::equal(first_bytes.begin(), first_bytes.end(), v.sim.cluster(first)));

    // The power goes before the append's commit: the last commit is whole.
    v.sim.reboot();
    ASSERT_NE(v.mount(), nullptr);
    EXPECT_EQ(volume_difference(v.s, last), "");
    EXPECT_EQ(chain_problems(v.s, v.sim.bytes()), "");
}

// Rule 4: a power cut anywhere in an erase ahead loses nothing committed,
// and the volume keeps working.
TEST(EraseAhead, APowerCutDuringItLosesNothing) {
    for (uint32_t nth = 1; nth <= 3; ++nth) {
        for (const double done : {0.0, 0.01, 0.5, 1.0}) {
            SCOPED_TRACE("erase " + std::to_string(nth) + ", " + std::to_string(done) + " erased");
            Volume v(kSmall, 2);
            ASSERT_NE(v.mount(), nullptr);
            Files last;
            for (int i = 0; i < 4; ++i) {
                const std::string name = "f" + std::to_string(i);
                put_file(v.s, name.c_str(), 2500, static_cast<uint32_t>(i));
                last.create(name, pattern_bytes(2500, static_cast<uint32_t>(i)));
            }
            ASSERT_EQ(dace_remove(v.s, "f1"), DACE_OK);
            ASSERT_EQ(dace_remove(v.s, "f2"), DACE_OK);
            last.remove("f1");
            last.remove("f2");
            v.sim.cut_in_erase(nth, done);
            EXPECT_LT(dace_erase_ahead(v.s, 10), 3);
            v.sim.reboot();
            ASSERT_NE(v.mount(), nullptr);
            EXPECT_EQ(volume_difference(v.s, last), "");
            put_file(v.s, "after", 6000, 9);
            last.create("after", pattern_bytes(6000, 9));
            ASSERT_NE(remount(v), nullptr);
            EXPECT_EQ(volume_difference(v.s, last), "");
        }
    }
}
