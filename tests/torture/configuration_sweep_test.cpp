// Mounts and inits under a configuration that is not the medium's own: every
// other cluster count from the fewest a volume can have to twice the
// medium's, every other cluster size, page size and geometry tag, over the
// volumes that the workloads leave behind in both allocation modes. The
// wrong configuration reads nothing at or beyond its own total_pages;
// dace_mount never writes; dace_init formats only a medium that shows it
// no mark of this file system at any page start in its range, and a volume
// it then mounts takes one change. Afterwards the right configuration must
// mount the medium, find every committed file whole and use the rest.
//
// The wrong configuration sees the same bytes through a simulator of its
// own geometry (its page numbers are its own pages); what it changes is
// copied back to the medium. DACE_TORTURE_SCALE=N sweeps N seeds' volumes
// per workload and mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "tests/test_support.h"
#include "tests/torture/torture.h"

namespace dace_torture {
namespace {

using dace_sim::Call;
using dace_sim::Op;

constexpr uint32_t kFirstSeed = 0xC0F1u;

struct Wrong {
    const char *what;
    uint16_t page_size, clus_pages, geometry_tag;
    uint32_t bytes; // of the medium as the wrong configuration believes it to be
};

// Every wrong configuration for a medium of geometry `g`.
std::vector<Wrong> wrong_configurations(const Geometry &g) {
    std::vector<Wrong> out;
    const uint32_t medium = uint32_t{g.total_pages} * g.page_size;
    const uint32_t cluster = uint32_t{g.page_size} * g.clus_pages;
    const uint32_t clusters = g.total_pages / g.clus_pages;
    for (uint32_t n = 8; n <= 2 * clusters; ++n)
        if (n != clusters)
            out.push_back({"cluster count", g.page_size, g.clus_pages, 0, n * cluster});
    for (uint32_t pages = 1; pages <= 64; pages *= 2)
        if (pages != g.clus_pages)
            out.push_back({"pages a cluster", g.page_size, static_cast<uint16_t>(pages), 0, medium});
    for (const uint32_t page : {g.page_size / 2u, g.page_size * 2u})
        out.push_back({"page size", static_cast<uint16_t>(page), g.clus_pages, 0, medium});
    for (uint32_t tag = 1; tag <= 0x8000; tag *= 2)
        out.push_back({"geometry tag", g.page_size, g.clus_pages, static_cast<uint16_t>(tag), medium});
    return out;
}

// Whether the medium, seen in pages of `page` bytes, holds a mark of this
// file system at a page start below `bytes`: a data mark, or a root header
// whose head CRC matches.
bool marks_at_page_starts(const std::vector<uint8_t> &medium, uint32_t page, uint32_t bytes, uint16_t seed) {
    for (size_t at = 0; at + 32 <= std::min<size_t>(bytes, medium.size()); at += page) {
        const uint32_t word = dace::load_u32(&medium[at]);
        if (word == DATA_MAGIC)
            return true;
        if (word == ROOT_MAGIC && dace_sim::crc16_ccitt(seed, &medium[at], 28) == dace::load_u16(&medium[at + 28]))
            return true;
    }
    return false;
}

// The end, in bytes, of the furthest call of the log that touches the medium.
uint64_t furthest_reach(const std::vector<Call> &log, const FlashSim &sim) {
    uint64_t end = 0;
    for (const Call &c : log) {
        if (c.op == Op::Read || c.op == Op::Write)
            end = std::max(end, (uint64_t{c.addr}) * sim.geometry().page_size + c.count);
        else if (c.op == Op::Erase)
            end = std::max(end, uint64_t{c.addr + c.count} * sim.cluster_size());
    }
    return end;
}

// A volume of a few files that wear levelling and erases ahead may leave in
// any part of the medium, its root moved a few times, at generation 3 or
// more; with `older_writer` it was begun by a writer that recorded no size,
// whose full root cluster the first commit left behind.
MadeVolume sparse_volume(const Geometry &g, uint32_t seed, bool level_wear, bool older_writer, bool erase_ahead) {
    std::mt19937 rng(seed);
    Medium m(g, 2);
    if (older_writer)
        for (uint32_t page = 0; page < g.clus_pages; ++page)
            dace_test::plant_root(m.sim, m.cfg, 0, page, 1, {});
    dace_state *s = m.mount();
    MadeVolume out;
    if (s == nullptr) {
        ADD_FAILURE() << "the sparse volume did not mount";
        return out;
    }
    if (level_wear)
        dace_level_wear(s, static_cast<uint16_t>(rng()));
    const auto files = static_cast<uint32_t>(1 + rng() % 4);
    for (uint32_t i = 0; i < files; ++i) {
        const std::string name = "f" + std::to_string(i);
        const dace_check::Bytes bytes = dace_test::pattern_bytes(static_cast<size_t>(rng() % (3u * s->clus_payload)), seed + i);
        dace_test::put_file(s, name.c_str(), static_cast<uint32_t>(bytes.size()), seed + i);
        out.files.create(name, bytes);
    }
    out.files.create("flip");
    EXPECT_NE(dace_create(s, "flip"), 0u);
    EXPECT_EQ(dace_commit_root(s), 0);
    bool flipped = false;
    const auto renames = static_cast<uint32_t>(rng() % 24);
    for (uint32_t n = 0; n < renames || s->root->seq < 3; ++n) {
        EXPECT_EQ(dace_rename(s, flipped ? "flop" : "flip", flipped ? "flip" : "flop"), DACE_OK);
        flipped = !flipped;
    }
    if (flipped)
        out.files.rename("flip", "flop");
    if (erase_ahead) {
        EXPECT_GE(dace_erase_ahead(s, 0xFFFF), 0);
    }
    out.bytes = m.sim.bytes();
    out.older_writer = older_writer;
    return out;
}

const char *reason_name(int reason) {
    switch (reason) {
    case DACE_E_DAMAGED: return "damaged";
    case DACE_E_UNREADABLE: return "unreadable";
    case DACE_E_NOT_A_VOLUME: return "not a volume";
    case DACE_E_GEOMETRY: return "geometry";
    case DACE_E_SIZE_MISMATCH: return "size mismatch";
    default: return "another reason";
    }
}

// What the wrong configuration did, for the printed figures.
struct Outcome {
    std::map<int, uint32_t> refused; // by reason
    uint32_t mounted = 0, formatted = 0, changed = 0;
};

class ConfigurationSweep : public ::testing::TestWithParam<WorkloadParam> {};

TEST_P(ConfigurationSweep, TheRightConfigurationStillFindsEveryFile) {
    const Workload &w = *GetParam().workload;
    const bool level_wear = GetParam().level_wear;
    const std::string named = std::string(w.name) + ", " + mode_name(level_wear);
    for (const uint32_t seed : seeds_from(kFirstSeed)) {
        const std::string replay = replay_command("ConfigurationSweep", GetParam(), seed);
        // The workload's own volume, nearly full, and sparse ones.
        std::vector<MadeVolume> volumes{made_volume(w, level_wear, seed)};
        for (uint32_t k = 0; k < 6; ++k)
            volumes.push_back(sparse_volume(w.geometry, seed * 8 + k, level_wear, k % 2 == 1, k % 3 != 0));
        if (HasFailure())
            return;
        Outcome outcome;
        const std::vector<Wrong> wrongs = wrong_configurations(w.geometry);
        for (const MadeVolume &made : volumes)
        for (const Wrong &wrong : wrongs) {
            const Geometry g{wrong.page_size, wrong.clus_pages, static_cast<uint16_t>(wrong.bytes / wrong.page_size)};
            const std::string where = named + ", " + wrong.what + ": " + std::to_string(g.page_size) + "-byte pages, " +
                                      std::to_string(g.clus_pages) + " a cluster, " + std::to_string(g.total_pages) +
                                      " pages, tag " + std::to_string(wrong.geometry_tag) + "; replay: " + replay;
            FlashSim view(g);
            dace_config cfg = view.config(w.max_files);
            cfg.geometry_tag = wrong.geometry_tag;
            if (dace_check_config(&cfg) != DACE_CONFIG_OK || wrong.bytes > 0xFFFFu * uint32_t{g.page_size})
                continue;
            std::copy_n(made.bytes.begin(), std::min<size_t>(made.bytes.size(), view.bytes().size()),
                        view.bytes().begin());
            const std::vector<uint8_t> seen = view.bytes();
            view.set_logging(true);
            std::vector<uint64_t> block(dace_getstatesize(&cfg) / 8 + 1);
            dace_state *s = dace_mount(&cfg, block.data());
            EXPECT_EQ(view.bytes(), seen) << where << ": dace_mount changed the medium";
            // Only an older writer's root that records no size can pass a
            // smaller mount.
            EXPECT_TRUE(s == nullptr || (made.older_writer && wrong.bytes < made.bytes.size()))
                << where << ": the wrong mount took the medium";
            if (s == nullptr)
                s = dace_init(&cfg, block.data());
            if (s == nullptr) {
                ++outcome.refused[dace_init_error(block.data())];
            } else {
                ++outcome.mounted;
                EXPECT_FALSE(marks_at_page_starts(seen, g.page_size, wrong.bytes, cfg.crc_seed) &&
                             view.bytes() != seen)
                    << where << ": dace_init formatted a medium that holds marks of this file system";
                outcome.formatted += view.bytes() != seen ? 1 : 0;
                const dace_handle h = dace_create(s, "~stray");
                if (h != 0)
                    (void)dace_close(s, h);
            }
            EXPECT_LE(furthest_reach(view.log(), view), wrong.bytes) << where << ": a call reached past the medium";
            if (view.bytes() == seen)
                continue;
            ++outcome.changed;
            // Only a volume of larger pages than the wrong configuration's is
            // seen whole at its page starts; one of smaller pages is not
            // detected (dace.h says so), and the check above covers it.
            if (g.page_size > w.geometry.page_size)
                continue;
            Medium m(w.geometry, w.max_files, level_wear, seed);
            m.sim.bytes() = made.bytes;
            std::copy_n(view.bytes().begin(), std::min<size_t>(made.bytes.size(), view.bytes().size()),
                        m.sim.bytes().begin());
            check_reboot(m, {made.files}, 0, where);
            if (HasFailure())
                return;
        }
        std::string refusals;
        for (const auto &[reason, count] : outcome.refused)
            refusals += (refusals.empty() ? "" : ", ") + std::to_string(count) + " " + reason_name(reason);
        std::printf("[ sweep    ] wrong configurations of %s, seed %u, %zu volumes: %zu tried: refused %s; %u mounted by dace_init "
                    "(%u of them formatted); %u changed the medium, and the right configuration found every file\n",
                    named.c_str(), seed, volumes.size(), wrongs.size() * volumes.size(), refusals.c_str(), outcome.mounted,
                    outcome.formatted, outcome.changed);
        totals().configuration_trials += wrongs.size() * volumes.size();
    }
}

INSTANTIATE_TEST_SUITE_P(Workloads, ConfigurationSweep, ::testing::ValuesIn(workload_params()), workload_label);

} // namespace
} // namespace dace_torture
