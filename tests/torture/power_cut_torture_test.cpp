// Power-cut torture: each workload runs once uncut on strict flash, where it
// must program only blank bytes, move the root many times, reuse clusters
// and bring the medium near full. The cut points come from that run's
// writes and erases: the first bytes of every write, both sides of every
// page boundary, the ends of writes, every byte of the header of each root
// copy written to page 0 of a cluster, every erase at several stages,
// and a seeded spread of other byte positions. The workload is run again to
// each cut; the reboot must mount the last commit that reported success or
// the one in flight, whole, and the volume must stay fully usable.
//
// Every workload runs in both allocation modes, first fit and wear
// levelling, each from its own uncut run; at the default scale each mode
// goes to every other of its cut points. DACE_TORTURE_SCALE=N runs N seeds
// per workload and mode, each to every cut point. A failure prints the
// DACE_TORTURE_SEED, DACE_TORTURE_CUT and test filter (which names the mode)
// that replay it alone.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/torture/torture.h"

namespace dace_torture {
namespace {

enum class Kind { RootPageZero, WriteStart, PageBoundary, WriteEnd, Random, Erase, Count };
constexpr std::array<const char *, static_cast<size_t>(Kind::Count)> kKindNames = {
    "root page 0", "write start", "page boundary", "write end", "random", "erase"};

constexpr uint32_t kRandomPoints = 120;
constexpr uint32_t kRootHeaderBytes = 32;
constexpr uint32_t kFirstSeed = 0x70C7u;
// Programmed bytes within which a second cut falls, after the reboot.
constexpr uint32_t kSecondCutSpan = 6000;

struct CutPoint {
    Kind kind;
    uint64_t at;         // programmed bytes before the cut, or the erase's ordinal
    uint32_t erase_done; // bytes of the cut erase already blank
};

std::string spelled(const CutPoint &c) {
    char text[48];
    if (c.kind == Kind::Erase)
        std::snprintf(text, sizeof text, "e%llu:%u", static_cast<unsigned long long>(c.at), c.erase_done);
    else
        std::snprintf(text, sizeof text, "b%llu", static_cast<unsigned long long>(c.at));
    return text;
}

// DACE_TORTURE_CUT=b<bytes> or e<erase>:<bytes erased>, as a failure prints it.
bool parse_cut(const char *text, CutPoint *out) {
    unsigned long long at = 0, done = 0;
    if (std::sscanf(text, "b%llu", &at) == 1) {
        *out = {Kind::Random, at, 0};
        return true;
    }
    if (std::sscanf(text, "e%llu:%llu", &at, &done) == 2) {
        *out = {Kind::Erase, at, static_cast<uint32_t>(done)};
        return true;
    }
    return false;
}

// The cut points of one uncut run, each byte position once, under the first
// kind that claims it in the order of Kind.
std::vector<CutPoint> cut_points(const Medium &uncut, uint32_t seed) {
    const Geometry &g = uncut.sim.geometry();
    const uint32_t page = g.page_size;
    std::map<uint64_t, Kind> bytes;
    const auto claim = [&](uint64_t at, Kind kind) {
        auto [it, fresh] = bytes.emplace(at, kind);
        if (!fresh && kind < it->second)
            it->second = kind;
    };
    uint64_t before = 0;
    for (const WriteRecord &w : uncut.writes) {
        if (w.root && w.page % g.clus_pages == 0)
            for (uint32_t b = 0; b <= w.count; ++b)
                if (b <= kRootHeaderBytes)
                    claim(before + b, Kind::RootPageZero);
        for (uint32_t b = 0; b < 4 && b <= w.count; ++b)
            claim(before + b, Kind::WriteStart);
        for (uint32_t b = page; b < w.count; b += page)
            for (uint32_t at : {b - 1, b, b + 1})
                claim(before + at, Kind::PageBoundary);
        claim(before + w.count - 1, Kind::WriteEnd);
        claim(before + w.count, Kind::WriteEnd);
        before += w.count;
    }
    std::mt19937 rng(seed);
    for (uint32_t i = 0; i < kRandomPoints; ++i)
        claim(rng() % (before + 1), Kind::Random);

    std::vector<CutPoint> out;
    for (const auto &[at, kind] : bytes)
        out.push_back({kind, at, 0});
    // An erase cut before it starts, after the first word (the rest stale),
    // half way, and when done but not reported.
    const uint32_t cluster = page * g.clus_pages;
    for (uint64_t nth = 1; nth <= uncut.sim.counters().erase_calls; ++nth)
        for (uint32_t done : {0u, 4u, cluster / 2, cluster})
            out.push_back({Kind::Erase, nth, done});
    return out;
}

// Runs the workload; false when it stopped on a reported failure.
bool run(const Workload &w, Driver &d) {
    try {
        d.start();
        w.run(d);
    } catch (const Stop &stop) {
        return stop.power_lost;
    }
    return true;
}

class PowerCutTorture : public ::testing::TestWithParam<WorkloadParam> {};

TEST_P(PowerCutTorture, EveryCutKeepsTheLastCommitOrTheOneInFlight) {
    const Workload &w = *GetParam().workload;
    const bool level_wear = GetParam().level_wear;
    const std::string named = std::string(w.name) + ", " + mode_name(level_wear);
    CutPoint only{};
    const char *only_text = std::getenv("DACE_TORTURE_CUT");
    const bool single = only_text != nullptr && parse_cut(only_text, &only);

    ++totals().cut_workloads;
    for (const uint32_t seed : seeds_from(kFirstSeed)) {
        const std::string replay = replay_command("PowerCut", GetParam(), seed);
        // The uncut run: strict flash, every commit checked on a copy of the
        // medium, and the figures that show the workload does its job.
        Medium uncut(w.geometry, w.max_files, level_wear, seed);
        uncut.sim.set_strict(true);
        Driver plain(uncut, Mode::Exact, seed, true);
        ASSERT_TRUE(run(w, plain)) << replay;
        const RunStats &st = plain.stats();
        const dace_state *s = plain.state();
        const dace_sim::Counters &counters = uncut.sim.counters();
        EXPECT_EQ(counters.overwrites, 0u) << "the uncut run programmed a byte that was not blank";
        EXPECT_GE(s->root->seq, 6u) << "the root moved too few times";
        EXPECT_GT(counters.erase_calls, uint64_t{s->clus_count})
            << "clusters were not reused: every one erased once on average";
        EXPECT_LE(st.fullest_free_clusters, s->clus_count / 5u) << "the medium never ran nearly full";
        std::printf("[ torture  ] %s, seed %u: %u operations, %u commits, root generation %u, %llu erases on %u "
                    "clusters, fewest free %u, %llu bytes programmed\n",
                    named.c_str(), seed, st.ops, st.commits, s->root->seq,
                    static_cast<unsigned long long>(counters.erase_calls), s->clus_count, st.fullest_free_clusters,
                    static_cast<unsigned long long>(counters.bytes_programmed));
        std::vector<CutPoint> points;
        if (single) {
            points.push_back(only);
        } else {
            // Byte positions go to the modes in turn; erases two by two,
            // each with its four stages, so that both modes meet an erase
            // cut after its first word and then cut again in the first erase
            // after the reboot (an even ordinal) or in the bytes programmed
            // after (an odd one).
            const std::vector<CutPoint> all = cut_points(uncut, seed);
            for (size_t i = 0; i < all.size(); ++i)
                if (in_share(level_wear, all[i].kind == Kind::Erase ? all[i].at / 2 : i))
                    points.push_back(all[i]);
        }
        check_reboot(uncut, plain.candidates(), 0, named + " uncut; replay: " + replay);
        if (HasFailure())
            return;

        std::array<uint32_t, static_cast<size_t>(Kind::Count)> by_kind{};
        for (const CutPoint &c : points)
            ++by_kind[static_cast<size_t>(c.kind)];
        std::string counts;
        for (size_t k = 0; k < by_kind.size(); ++k)
            counts += std::string(k == 0 ? "" : ", ") + std::to_string(by_kind[k]) + " " + kKindNames[k];
        std::printf("[ torture  ] %s, seed %u: %zu cut points: %s\n", named.c_str(), seed, points.size(),
                    counts.c_str());

        uint32_t cut_again = 0, unstable = 0, cut_in_first_erase = 0;
        for (const CutPoint &c : points) {
            const std::string where =
                named + " cut " + spelled(c) + "; replay: DACE_TORTURE_CUT=" + spelled(c) + " " + replay;
            Medium m(w.geometry, w.max_files, level_wear, seed);
            m.sim.set_strict(true);
            if (c.kind == Kind::Erase)
                m.sim.cut_in_erase(c.at, double(c.erase_done) / m.sim.cluster_size());
            else
                m.sim.cut_after_bytes(c.at);
            Driver d(m, Mode::Exact, seed, false);
            ASSERT_TRUE(run(w, d)) << where;
            ASSERT_FALSE(m.sim.powered()) << where << ": the cut was not reached, the workload is not repeatable";
            // A page the cut left part-programmed reads differently from
            // then on, until its cluster is erased.
            if (m.sim.torn_page() != UINT32_MAX) {
                m.sim.make_unstable(m.sim.torn_page(), static_cast<uint32_t>(c.at) ^ seed);
                ++unstable;
            }
            Files found;
            dace_state *s_after = mount_and_match(m, d.candidates(), &found, where);
            if (s_after == nullptr)
                return;
            // The power goes again while the device gets going after the reboot.
            Driver again(m, Mode::Exact, seed, false);
            again.resume(s_after, found);
            const uint64_t second = std::mt19937(static_cast<uint32_t>(c.at) ^ seed)() % kSecondCutSpan;
            // After an erase cut short past its first word, the cluster looks
            // erased but holds stale bytes; its first use after the reboot
            // reads it, erases it and programs it. Every other such cut goes
            // again in that erase, the rest in the bytes programmed after.
            const bool in_erase = c.kind == Kind::Erase && c.erase_done == 4 && c.at % 2 == 0;
            if (in_erase) {
                m.sim.cut_in_erase(1, 0.5);
                ++cut_in_first_erase;
            } else {
                m.sim.cut_after_bytes(second);
            }
            try {
                after_reboot(again);
            } catch (const Stop &stop) {
                ASSERT_TRUE(stop.power_lost) << where << ", after the reboot";
            }
            cut_again += m.sim.powered() ? 0 : 1;
            check_reboot(m, again.candidates(), 0,
                         where + (in_erase ? ", cut again in the first erase"
                                           : ", cut again after " + std::to_string(second) + " bytes"));
            if (HasFailure())
                return;
        }
        std::printf("[ torture  ] %s, seed %u: every cut rebooted and checked; %u of them cut again while the "
                    "volume got going (%u in the first erase after an erase cut short); %u left a page that reads "
                    "unstably\n",
                    named.c_str(), seed, cut_again, cut_in_first_erase, unstable);
        Totals &t = totals();
        t.cut_points += points.size();
        t.cut_points_by_mode[mode_name(level_wear)] += points.size();
        t.cut_again += cut_again;
        for (size_t k = 0; k < by_kind.size(); ++k)
            t.cut_points_by_kind[kKindNames[k]] += by_kind[k];
    }
}

INSTANTIATE_TEST_SUITE_P(Workloads, PowerCutTorture, ::testing::ValuesIn(workload_params()), workload_label);

} // namespace
} // namespace dace_torture
