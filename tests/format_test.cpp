// When dace_init formats and when it refuses, dace_format, and formats cut
// short by a power cut. A medium that holds this file system's marks is
// never formatted behind the caller's back: a configuration that does not
// match it gets NULL and the medium stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

// A volume with two files and a few commits on it, mounted no more.
void populate(Volume &v) {
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "big.bin", 100000, 1);
    put_file(s, "small", 300, 2);
    ASSERT_EQ(dace_rename(s, "small", "small.txt"), DACE_OK);
}

void expect_populated(Volume &v) {
    dace_state *s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "big.bin"), pattern_bytes(100000, 1));
    EXPECT_EQ(file_bytes(s, "small.txt"), pattern_bytes(300, 2));
}

// dace_init with `cfg` must refuse and leave every byte of the medium.
void expect_refused_untouched(Volume &v, const dace_config &cfg) {
    const std::vector<uint8_t> before = v.sim.bytes();
    std::vector<uint64_t> block(dace_getstatesize(&cfg) / 8 + 1);
    v.sim.reboot();
    EXPECT_EQ(dace_init(&cfg, block.data()), nullptr);
    EXPECT_EQ(v.sim.bytes(), before);
}

uint32_t flip_crc(void *, uint16_t seed, const void *data, uint32_t count) {
    return static_cast<uint16_t>(~dace_sim::crc16_ccitt(seed, data, count));
}

} // namespace

// Rule 6: another crc_seed, another CRC routine, a smaller total_pages:
// each sees marks it cannot account for and refuses; the right
// configuration then finds every file.
TEST(Format, MismatchedConfigurationRefusesAndChangesNothing) {
    Volume v(Geometry{256, 8, 2048});
    populate(v);
    dace_config other_seed = v.cfg;
    other_seed.crc_seed = 0x1D0F;
    expect_refused_untouched(v, other_seed);
    dace_config other_crc = v.cfg;
    other_crc.crc_fn = &flip_crc;
    expect_refused_untouched(v, other_crc);
    dace_config smaller = v.cfg;
    smaller.total_pages = 256; // 32 of the 256 clusters the volume spans
    expect_refused_untouched(v, smaller);
    expect_populated(v);
}

// Rule 6: one flipped bit in the oldest copy of the root cluster hides the
// whole log: no root counts, so the mount refuses instead of formatting.
TEST(Format, DamagedOldestCopyRefusesInsteadOfFormatting) {
    Volume v;
    v.sim.set_logging(true);
    populate(v);
    const CopyWritten last = root_copies_written(v.sim.log(), v.sim).back();
    ASSERT_GT(last.page, 0u) << "the copy in force must not be the one damaged";
    ASSERT_NE(remount(v), nullptr);
    v.sim.cluster(last.clus)[40] ^= 0x04;
    v.leave_unchecked("damages the root on the medium under the mounted state");
    expect_refused_untouched(v, v.cfg);
}

// Rule 6: blank media and media of foreign data carry no mark of this file
// system: they are formatted, the foreign clusters erased as they are
// reused.
TEST(Format, BlankOrForeignMediumIsFormatted) {
    for (const bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "foreign data" : "blank");
        Volume v;
        if (foreign)
            for (uint32_t c = 0; c < v.sim.cluster_count(); c += 3)
                plant_word(v.sim, c, 0x464F4F42 + c);
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(listed_names(s).empty());
        put_file(s, "f", 5000);
        EXPECT_EQ(v.sim.counters().overwrites, 0u);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(5000));
    }
}

// Rule 11: dace_format makes an empty volume of whatever the medium holds,
// also a volume of another geometry, which would otherwise refuse every
// mount.
TEST(Format, DeliberateFormatEmptiesAnyMedium) {
    Volume v;
    populate(v);
    dace_config other = v.cfg;
    other.clus_pages = 4;
    plant_root(v.sim, other, 120, 0, 9, named({"theirs"}));
    v.sim.reboot();
    EXPECT_EQ(v.mount(), nullptr);

    v.sim.set_strict(true);
    dace_state *s = v.format();
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(listed_names(s).empty());
    EXPECT_EQ(dace_find_file(s, "big.bin"), -1);
    const uint32_t fresh_free = dace_getfreespace(s, nullptr);
    put_file(s, "new", 2000);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), std::vector<std::string>{"new"});
    EXPECT_EQ(file_bytes(s, "new"), pattern_bytes(2000));
    EXPECT_EQ(dace_getfreespace(s, nullptr) + 2048, fresh_free);
    EXPECT_EQ(v.sim.counters().overwrites, 0u);

    // Refused configurations and blocks are refused here too.
    dace_config bad = v.cfg;
    bad.max_files = 0;
    EXPECT_EQ(dace_format(&bad, v.block.data()), nullptr);
    EXPECT_EQ(dace_format(&v.cfg, nullptr), nullptr);
}

// Rule 11: a power cut anywhere in dace_format leaves the volume that was
// there or the empty one; when dace_init then refuses, dace_format
// completes it.
TEST(Format, DeliberateFormatCutShortLeavesOldOrNewAndCanBeCompleted) {
    // The format's root cluster once was the old volume's first data
    // cluster, erased before the new root copy was on the medium.
    Files old;
    old.create("big.bin", pattern_bytes(100000, 1));
    old.create("small.txt", pattern_bytes(300, 2));
    Volume probe;
    populate(probe);
    const std::vector<uint8_t> populated = probe.sim.bytes();
    probe.sim.reboot();
    probe.sim.set_logging(true);
    ASSERT_NE(probe.format(), nullptr);
    const std::vector<uint64_t> cuts =
        write_cut_points(probe.sim.log(), 256, 2048, 1);
    ASSERT_FALSE(cuts.empty());
    for (const uint64_t cut : cuts) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Volume v;
        v.sim.bytes() = populated;
        v.sim.set_strict(true);
        v.sim.cut_after_bytes(cut);
        (void)v.format();
        dace_state *s = remount(v);
        if (s == nullptr) {
            s = v.format();
            ASSERT_NE(s, nullptr);
        }
        if (listing_difference(s, Files{}).empty()) {
            put_file(s, "after", 700);
            s = remount(v);
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(file_bytes(s, "after"), pattern_bytes(700));
        } else {
            EXPECT_EQ(volume_difference(s, old), "") << "the old volume is back, but not whole";
        }
        EXPECT_EQ(v.sim.counters().overwrites, 0u);
    }
}

// Rule 11: a volume whose files hold every cluster it can hand out still
// formats (its root then goes where a file was), in either allocation
// mode, and the empty volume has all its room back.
TEST(Format, AFullVolumeFormatsToAnEmptyOne) {
    for (const bool level_wear : {false, true}) {
        SCOPED_TRACE(level_wear ? "wear levelling" : "first fit");
        Volume v;
        dace_state *s = v.mount();
        ASSERT_NE(s, nullptr);
        const uint32_t fresh_free = dace_getfreespace(s, nullptr);
        if (level_wear)
            dace_level_wear(s, 5);
        for (uint32_t n = 0, written = 1; written != 0; ++n) {
            const std::string name = "f" + std::to_string(n);
            const dace_handle h = dace_create(s, name.c_str());
            ASSERT_NE(h, 0u) << dace_error(s);
            written = write_bytes(s, h, pattern_bytes(50000, n));
            ASSERT_EQ(dace_close(s, h), DACE_OK);
        }
        ASSERT_LT(dace_getfreespace(s, nullptr), uint32_t{v.cfg.page_size} * v.cfg.clus_pages);
        v.sim.reboot();
        v.sim.set_strict(true);
        s = v.format();
        ASSERT_NE(s, nullptr) << dace_init_error(v.block.data());
        EXPECT_TRUE(listed_names(s).empty());
        EXPECT_EQ(dace_getfreespace(s, nullptr), fresh_free);
        put_file(s, "after", 9000);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(file_bytes(s, "after"), pattern_bytes(9000));
    }
}

// Rule 6: the first format of a blank medium, cut short anywhere in its one
// page: the next dace_init finds no root that counts but recognises what is
// left as its own unfinished format, and completes it.
TEST(Format, FirstFormatCutShortIsCompletedByTheNextMount) {
    for (const uint64_t cut : {0u, 1u, 3u, 4u, 20u, 28u, 31u, 32u, 100u, 255u}) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Volume v;
        v.sim.set_strict(true);
        v.sim.cut_after_bytes(cut);
        (void)v.mount();
        dace_state *s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(listed_names(s).empty());
        put_file(s, "f", 3000);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(3000));
        EXPECT_EQ(v.sim.counters().overwrites, 0u);
    }
    // Half-programmed cells of that page, read differently every time.
    for (uint32_t seed = 1; seed <= 50; ++seed) {
        Volume v;
        v.sim.cut_after_bytes(100);
        (void)v.mount();
        v.sim.make_unstable(0, seed);
        dace_state *s = remount(v);
        if (s != nullptr) {
            EXPECT_TRUE(listed_names(s).empty());
        }
    }
}

// Rule 6: what another configuration formatted is no format cut short, even
// an empty volume: its first copy is whole, only its CRCs differ. It is
// refused like any other volume.
TEST(Format, AnotherConfigurationsEmptyVolumeIsNoFormatCutShort) {
    Volume v;
    ASSERT_NE(v.mount(), nullptr);
    dace_config other = v.cfg;
    other.crc_seed = 0x1234;
    expect_refused_untouched(v, other);

    Volume w;
    dace_state *s = w.mount();
    ASSERT_NE(s, nullptr);
    ASSERT_NE(dace_create(s, "empty"), 0u);
    ASSERT_EQ(dace_commit_root(s), 0);
    expect_refused_untouched(w, other);
}

TEST(Format, ConfigurationProblemsAreNamed) {
    Volume v;
    struct Case {
        void (*change)(dace_config &);
        int reason;
    };
    const Case cases[] = {
        {[](dace_config &c) { c.read_fn = nullptr; }, DACE_CONFIG_CALLBACK},
        {[](dace_config &c) { c.max_files = 0; }, DACE_CONFIG_MAX_FILES},
        {[](dace_config &c) { c.geometry_tag = 3; }, DACE_CONFIG_GEOMETRY_TAG},
        {[](dace_config &c) { c.clus_pages = 6; }, DACE_CONFIG_CLUS_PAGES},
        {[](dace_config &c) { c.clus_pages = 0; }, DACE_CONFIG_CLUS_PAGES},
        {[](dace_config &c) { c.total_pages = 56; }, DACE_CONFIG_TOO_FEW_CLUSTERS},
        {[](dace_config &c) { c.page_size = 100; }, DACE_CONFIG_PAGE_SIZE},
        {[](dace_config &c) { c.page_size = 16; }, DACE_CONFIG_PAGE_SIZE},
        {[](dace_config &c) { c.page_size = 4096, c.clus_pages = 16; }, DACE_CONFIG_CLUS_SIZE},
        {[](dace_config &c) { c.page_size = 32, c.clus_pages = 1, c.total_pages = 0xFFFF; },
         DACE_CONFIG_TOO_MANY_CLUSTERS},
        {[](dace_config &c) { c.max_files = 0xFFFF, c.page_size = 65528, c.clus_pages = 1, c.total_pages = 64; },
         DACE_CONFIG_STATE_SIZE},
    };
    EXPECT_EQ(dace_check_config(&v.cfg), DACE_CONFIG_OK);
    EXPECT_EQ(dace_check_config(nullptr), DACE_CONFIG_NULL);
    for (const Case &k : cases) {
        dace_config c = v.cfg;
        k.change(c);
        EXPECT_EQ(dace_check_config(&c), k.reason);
        EXPECT_EQ(dace_getstatesize(&c), 0u);
    }
}

// ---- a format that meets a failing medium -----------------------------------

namespace {

// Whether the mounted volume holds exactly the populated files, or nothing:
// the old volume whole or the new one.
bool old_or_new(dace_state *s) {
    const std::vector<std::string> names = listed_names(s);
    if (names.empty())
        return true;
    return names == std::vector<std::string>{"big.bin", "small.txt"} &&
           file_bytes(s, "big.bin") == pattern_bytes(100000, 1) && file_bytes(s, "small.txt") == pattern_bytes(300, 2);
}

} // namespace

// Rule 11: a format whose root write falls short in two clusters returns
// NULL and leaves the old volume in force with every cluster it owns, so
// that nothing erases them (an erase ahead of a returned state did, while
// the old root still named them). Once short, the copy goes to a second
// cluster one generation higher, which wins also when the first write did
// land whole although the part reported failure.
TEST(Format, ARootWriteThatFallsShortNeverFreesTheOldVolume) {
    Volume v(Geometry{256, 8, 2048});
    populate(v);
    v.sim.reboot();
    v.sim.fail_write(1, 100, false, 2);
    dace_state *s = v.format();
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(dace_init_error(v.block.data()), DACE_E_WRITE_FAILED);
    if (s != nullptr)
        (void)dace_erase_ahead(s, 0xFFFF);
    expect_populated(v);

    struct Once {
        uint32_t programmed;
        bool lands;
    };
    for (const Once once : {Once{0, false}, Once{100, false}, Once{0, true}}) {
        SCOPED_TRACE("first write programs " + std::string(once.lands ? "all" : std::to_string(once.programmed)) +
                     " bytes");
        v.sim.reboot();
        v.sim.set_logging(true);
        v.sim.clear_log();
        v.sim.fail_write(1, once.programmed, once.lands);
        s = v.format();
        ASSERT_NE(s, nullptr) << dace_init_error(v.block.data());
        EXPECT_EQ(calls_of(v.sim.log(), dace_sim::Op::Write).size(), 2u);
        v.sim.set_logging(false);
        (void)dace_erase_ahead(s, 0xFFFF);
        put_file(s, "after", 5000);
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(listed_names(s), std::vector<std::string>{"after"});
        EXPECT_EQ(file_bytes(s, "after"), pattern_bytes(5000));
        ASSERT_EQ(dace_remove(s, "after"), DACE_OK);
        populate(v);
    }
}

// Rules 6 and 11: a cluster the format cannot read may hold the old
// volume's newest root. The format puts its root above every generation it
// can read, then erases that cluster, so that it cannot bring the old
// directory back over clusters the new volume has reused once it reads
// again. When that erase fails, the format says so and the medium holds the
// old volume or the new one.
TEST(Format, AnUnreadableNewestRootNeverComesBack) {
    for (const bool erase_fails : {false, true}) {
        SCOPED_TRACE(erase_fails ? "its erase fails" : "its erase works");
        Volume v;
        populate(v);
        dace_state *s = remount(v);
        ASSERT_NE(s, nullptr);
        // A root move, so that an older root cluster stays beside the newest.
        const uint16_t older = s->root_clus;
        for (uint32_t n = 0; s->root_clus == older; ++n)
            ASSERT_EQ(dace_rename(s, n % 2 ? "small" : "small.txt", n % 2 ? "small.txt" : "small"), DACE_OK);
        if (listed_names(s).back() == "small") {
            ASSERT_EQ(dace_rename(s, "small", "small.txt"), DACE_OK);
        }
        const uint16_t newest = s->root_clus;
        v.sim.reboot();
        v.sim.make_unreadable(newest);
        if (erase_fails)
            v.sim.wear_out(newest);
        s = v.format();
        v.sim.clear_faults();
        if (erase_fails) {
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(dace_init_error(v.block.data()), DACE_E_UNREADABLE);
            s = remount(v);
            ASSERT_NE(s, nullptr);
            EXPECT_TRUE(old_or_new(s));
            continue;
        }
        ASSERT_NE(s, nullptr) << dace_init_error(v.block.data());
        EXPECT_TRUE(listed_names(s).empty());
        put_file(s, "new", 60000, 9); // over the old volume's clusters
        s = remount(v);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(listed_names(s), std::vector<std::string>{"new"});
        EXPECT_EQ(file_bytes(s, "new"), pattern_bytes(60000, 9));
    }
}

// Rule 11: a cluster in the middle of a file that the format cannot read
// leaves it unknown which clusters the old volume owns: every cluster that
// holds data stays held, and the new root goes to one that holds none. A
// power cut in the format then leaves the old volume whole.
TEST(Format, AnUnreadableClusterOfAFileKeepsTheWholeOldVolumeThroughACut) {
    Volume probe;
    populate(probe);
    const std::vector<uint8_t> populated = probe.sim.bytes();
    ASSERT_NE(remount(probe), nullptr);
    const std::vector<uint16_t> chain = chain_on_medium(probe, "big.bin");
    ASSERT_GT(chain.size(), 3u);
    const uint16_t unreadable = chain[chain.size() - 2]; // the second in file order
    for (const uint64_t cut : {0u, 1u, 40u, 255u}) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        Volume v;
        v.sim.bytes() = populated;
        v.sim.set_strict(true);
        v.sim.make_unreadable(unreadable);
        v.sim.cut_after_bytes(cut);
        (void)v.format();
        v.sim.clear_faults();
        expect_populated(v);
    }
    // Uncut, the format erases that cluster once its root is on the medium.
    Volume v;
    v.sim.bytes() = populated;
    v.sim.make_unreadable(unreadable);
    dace_state *s = v.format();
    ASSERT_NE(s, nullptr) << dace_init_error(v.block.data());
    v.sim.clear_faults();
    const uint8_t *erased = v.sim.cluster(unreadable);
    EXPECT_TRUE(std::all_of(erased, erased + v.sim.cluster_size(), [](uint8_t b) { return b == 0xFF; }));
    put_file(s, "new", 3000);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), std::vector<std::string>{"new"});
}

// A root at the last generation mounts and reads, but cannot move: the
// change that needs a move is refused with its reason rather than wrap to
// generation 0, which no mount chooses. dace_format starts the count again
// and erases the root above it.
TEST(Format, TheLastGenerationNeverWraps) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "keep", 3000);
    const uint16_t r = s->root_clus;
    for (uint32_t page = 0; page < s->root_end; page += copy_on_medium(v.sim, r, page).pages) {
        change_copy_on_medium(v.sim, r, page, [](dace_root &h) { h.seq = 0xFFFFFFFFu; });
        reseal(v.sim, v.cfg, r, page);
    }
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "keep"), pattern_bytes(3000));
    int result = DACE_OK;
    for (uint32_t n = 0; result == DACE_OK && n < 64; ++n)
        result = dace_rename(s, n % 2 ? "kept" : "keep", n % 2 ? "keep" : "kept");
    EXPECT_EQ(result, DACE_NO_ROOM);
    EXPECT_EQ(dace_error(s), DACE_E_LAST_GENERATION);
    (void)dace_erase_ahead(s, 0xFFFF);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(listed_names(s).size(), 1u);
    EXPECT_EQ(file_bytes(s, listed_names(s)[0].c_str()), pattern_bytes(3000));

    v.sim.reboot();
    s = v.format();
    ASSERT_NE(s, nullptr) << dace_init_error(v.block.data());
    EXPECT_EQ(s->root->seq, 1u);
    put_file(s, "fresh", 2000);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(listed_names(s), std::vector<std::string>{"fresh"});
}
