// A medium mounted, or started, under a configuration that is not its own:
// a smaller total_pages, smaller clusters, another tag. Whatever the wrong
// configuration does, the right one must still find every file; and
// dace_init never formats over another configuration's volume that it can
// see.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

using Names = std::vector<std::string>;

// A configuration like `cfg` with `pages` pages.
dace_config with_pages(const dace_config &cfg, uint16_t pages) {
    dace_config c = cfg;
    c.total_pages = pages;
    return c;
}

// What dace_init or dace_mount (`init` false) makes of the medium under
// `cfg`: the reason it refuses, or DACE_E_NONE.
int reason_under(Volume &v, const dace_config &cfg, bool init) {
    std::vector<uint64_t> block(dace_getstatesize(&cfg) / 8 + 1);
    v.sim.reboot();
    dace_state *s = init ? dace_init(&cfg, block.data()) : dace_mount(&cfg, block.data());
    return s != nullptr ? DACE_E_NONE : dace_init_error(block.data());
}

// Whether any cluster below `clus` holds a byte that is not erased.
bool marks_below(FlashSim &sim, uint32_t clus) {
    for (uint32_t c = 0; c < clus; ++c)
        for (uint32_t i = 0; i < sim.cluster_size(); ++i)
            if (sim.cluster(c)[i] != 0xFF)
                return true;
    return false;
}

} // namespace

// Rule 6: with wear levelling and erases ahead, the whole volume can lie in
// the upper half of the part, where a mount of half the size sees nothing.
// dace_init with that size then formats the lower half; its root records
// the smaller size, but the volume's own root outranks it, so the right
// configuration still mounts every file.
TEST(WrongSize, AStrayFormatOfASmallerSizeLeavesTheVolumeToItsOwnConfiguration) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    dace_level_wear(s, 64);
    put_file(s, "a", 9000, 1);
    put_file(s, "b", 300, 2);
    for (uint32_t n = 0; s->root_clus < 64; ++n)
        ASSERT_EQ(dace_rename(s, n % 2 ? "c" : "b", n % 2 ? "b" : "c"), DACE_OK);
    ASSERT_GE(dace_erase_ahead(s, 0xFFFF), 0);
    ASSERT_FALSE(marks_below(v.sim, 64)) << "the test needs the volume in the upper half";
    const Names names = listed_names(s);

    const dace_config half = with_pages(v.cfg, 512);
    EXPECT_EQ(reason_under(v, half, true), DACE_E_NONE); // a blank part to it: formatted
    EXPECT_EQ(reason_under(v, half, false), DACE_E_NONE);
    s = remount(v);
    ASSERT_NE(s, nullptr) << dace_init_error(v.block.data());
    EXPECT_EQ(listed_names(s), names);
    EXPECT_EQ(file_bytes(s, "a"), pattern_bytes(9000, 1));
    // ... and the stray root is space to reuse.
    put_file(s, "d", 150000, 3);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "d"), pattern_bytes(150000, 3));
}

// Rule 6: a volume begun by an older writer keeps a root cluster whose
// copies record no size after the root has moved on. A mount of half the
// size that still sees it loads that stale directory and commits a copy
// recording its own size there; the volume's root outranks it, so the
// right configuration mounts every file. A stray root that ties with the
// volume's generation, or outranks it, refuses the right mount instead.
TEST(WrongSize, AnOlderWritersStaleRootCannotHideTheVolume) {
    Volume v;
    // A full root cluster of copies that record no size, as older writers
    // wrote them: the next commit moves the root.
    for (uint32_t page = 0; page < v.cfg.clus_pages; ++page)
        plant_root(v.sim, v.cfg, 0, page, 1, named({"early"}));
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    dace_level_wear(s, 40);
    put_file(s, "a", 5000, 1);
    put_file(s, "b", 100, 2);
    for (uint32_t n = 0; s->root->seq < 3; ++n)
        ASSERT_EQ(dace_rename(s, n % 2 ? "c" : "b", n % 2 ? "b" : "c"), DACE_OK);
    ASSERT_GE(s->root_clus, 32u);
    const Names names = listed_names(s);
    const uint32_t generation = s->root->seq;

    const dace_config half = with_pages(v.cfg, 256);
    std::vector<uint64_t> block(dace_getstatesize(&half) / 8 + 1);
    v.sim.reboot();
    dace_state *stray = dace_init(&half, block.data());
    ASSERT_NE(stray, nullptr);
    EXPECT_EQ(listed_names(stray), Names{"early"}) << "a smaller mount cannot tell this root is stale";
    ASSERT_NE(dace_create(stray, "x"), 0u);
    ASSERT_EQ(dace_commit_root(stray), 0);
    ASSERT_LT(stray->root->seq, generation);
    const uint16_t stray_root = stray->root_clus;

    s = remount(v);
    ASSERT_NE(s, nullptr) << dace_init_error(v.block.data());
    EXPECT_EQ(listed_names(s), names);
    EXPECT_EQ(file_bytes(s, "a"), pattern_bytes(5000, 1));

    // The stray root's generation raised to the volume's, then above it.
    v.leave_unchecked("the stray root is raised until the right configuration refuses the medium");
    for (const uint32_t seq : {generation, generation + 1}) {
        for (uint32_t page = 0; page < v.cfg.clus_pages &&
                                dace::load_u32(v.sim.cluster(stray_root) + page * v.cfg.page_size) == ROOT_MAGIC;
             page += copy_on_medium(v.sim, stray_root, page).pages) {
            change_copy_on_medium(v.sim, stray_root, page, [&](dace_root &h) { h.seq = seq; });
            reseal(v.sim, v.cfg, stray_root, page);
        }
        EXPECT_EQ(reason_under(v, v.cfg, false), DACE_E_SIZE_MISMATCH) << "generation " << seq;
        EXPECT_EQ(reason_under(v, v.cfg, true), DACE_E_SIZE_MISMATCH) << "generation " << seq;
    }
}

// Rule 5: a volume of one-page clusters whose marks all lie between the
// starts of four-page clusters: a mount with four-page clusters must not
// call it blank, and dace_init must not format over it.
TEST(WrongGeometry, AVolumeOfSmallerClustersIsNeverTakenForBlank) {
    Volume v(Geometry{256, 1, 512});
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    dace_level_wear(s, 1);
    put_file(s, "f", 200);
    const auto clear_of_quads = [&] {
        dace_entry e{};
        return dace_stat(s, "f", &e) == 0 && s->root_clus % 4 != 0 && e.clus % 4 != 0;
    };
    for (uint32_t n = 0; !clear_of_quads(); ++n)
        ASSERT_EQ(dace_rename(s, n % 2 ? "g" : "f", n % 2 ? "f" : "g"), DACE_OK);
    ASSERT_GE(dace_erase_ahead(s, 0xFFFF), 0);
    for (uint32_t page = 0; page < 512; page += 4)
        ASSERT_EQ(dace::load_u32(v.sim.cluster(page)), 0xFFFFFFFFu) << "page " << page;
    const std::vector<uint8_t> before = v.sim.bytes();

    dace_config quads = v.cfg;
    quads.clus_pages = 4;
    v.sim.set_logging(true);
    v.sim.clear_log();
    EXPECT_EQ(reason_under(v, quads, false), DACE_E_GEOMETRY);
    EXPECT_EQ(reason_under(v, quads, true), DACE_E_GEOMETRY);
    EXPECT_EQ(v.sim.bytes(), before);
    s = remount(v);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(file_bytes(s, "f"), pattern_bytes(200));
}

// Rule 5: with crc_seed 0xFFFF an empty directory's files CRC reads like an
// erased field. An empty volume of another tag is still a whole copy of
// another geometry: every other tag refuses it as such, and dace_init never
// takes it for its own first format cut short.
TEST(WrongGeometry, AnEmptyVolumeOfAnotherTagIsAnotherGeometry) {
    std::vector<uint16_t> tags{0};
    for (uint16_t t = 1; t != 0; t = static_cast<uint16_t>(t << 1))
        tags.push_back(t);
    for (const uint16_t pages : std::initializer_list<uint16_t>{16, 24, 64, 200, 1000}) {
        for (const uint16_t theirs : tags) {
            Volume v(Geometry{256, 1, pages});
            v.cfg.geometry_tag = theirs;
            ASSERT_NE(v.mount(), nullptr);
            const std::vector<uint8_t> before = v.sim.bytes();
            for (const uint16_t ours : tags) {
                if (ours == theirs)
                    continue;
                dace_config other = v.cfg;
                other.geometry_tag = ours;
                EXPECT_EQ(reason_under(v, other, false), DACE_E_GEOMETRY) << pages << " pages, tag " << theirs
                                                                           << " mounted as " << ours;
                EXPECT_EQ(reason_under(v, other, true), DACE_E_GEOMETRY);
            }
            EXPECT_EQ(v.sim.bytes(), before);
        }
    }
}
