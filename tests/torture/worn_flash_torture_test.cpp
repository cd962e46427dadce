// Worn-flash torture: the workloads run on strict flash that fails under
// them. Before operations chosen at random, clusters wear out for good
// (their erases fail from then on), single erases fail (some after erasing
// all the same), and reads and writes fall short or fail outright; a third
// of the runs also lose power at a random point. Every result must be one
// the call documents, every commit that reports success must be on the
// medium whole at that moment, and after the run (the medium healed but for
// its worn clusters) the pending changes commit, and a reboot finds the
// last commit or one in flight and a volume that takes a full medium's
// worth of data.
//
// Every workload runs in both allocation modes, first fit and wear
// levelling; at the default scale the modes take every other seed.
// DACE_TORTURE_SCALE=N runs N times as many seeds per workload, every one in
// both modes; a failure prints the DACE_TORTURE_SEED and test filter (which
// names the mode) that replay it alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>

#include "tests/torture/torture.h"

namespace dace_torture {
namespace {

constexpr uint32_t kRunsPerWorkload = 100;
constexpr uint32_t kFirstSeed = 0x3EA2u;
constexpr uint32_t kMostWorn = 3;

struct WornTally {
    uint32_t runs = 0, power_cuts = 0, worn = 0, commits = 0, failed_commits = 0, refusals = 0, refused_mounts = 0;
    MediumTally medium;
};

// Arms the medium's faults before operations picked by its own generator,
// so that the workload's choices stay those of its seed.
class FaultPlan {
public:
    FaultPlan(Medium &m, uint32_t seed) : m_(m), rng_(seed ^ 0x5EEDF00Du) {
        cut_at_op_ = below(3) == 0 ? 1 + below(150) : 0;
    }

    static void before_op(void *ctx, Driver &) { static_cast<FaultPlan *>(ctx)->arm(); }

    uint32_t worn() const { return static_cast<uint32_t>(worn_.size()); }
    const std::set<uint32_t> &worn_clusters() const { return worn_; }
    bool cut_planned() const { return cut_at_op_ != 0; }

private:
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    void arm() {
        FlashSim &sim = m_.sim;
        const uint32_t cluster = sim.cluster_size();
        const uint64_t nth = 1 + below(3);
        const uint32_t done = below(2) == 0 ? 0 : below(cluster + 1);
        if (++op_ == cut_at_op_) {
            if (below(3) == 0)
                sim.cut_in_erase(nth, below(101) / 100.0);
            else
                sim.cut_after_bytes(below(4 * cluster));
        }
        const uint32_t roll = below(100);
        if (roll < 2 && worn_.size() < kMostWorn) {
            const uint32_t c = below(sim.cluster_count());
            sim.wear_out(c);
            worn_.insert(c);
        } else if (roll < 7) {
            sim.fail_write(nth, done);
        } else if (roll < 10) {
            sim.fail_read(nth, done);
        } else if (roll < 14) {
            const uint32_t result = below(2) == 0 ? 0 : 2;
            sim.fail_erase(nth, result, below(2) == 0);
        }
    }

    Medium &m_;
    std::mt19937 rng_;
    std::set<uint32_t> worn_;
    uint32_t op_ = 0, cut_at_op_ = 0;
};

class WornFlashTorture : public ::testing::TestWithParam<WorkloadParam> {};

TEST_P(WornFlashTorture, EveryFailureIsReportedAndNoCommitIsLost) {
    const Workload &w = *GetParam().workload;
    const bool level_wear = GetParam().level_wear;
    const bool single = std::getenv("DACE_TORTURE_SEED") != nullptr;
    const uint32_t first = env_number("DACE_TORTURE_SEED", kFirstSeed);
    const uint32_t runs = single ? 1 : kRunsPerWorkload * scale();
    WornTally t;
    for (uint32_t seed = first; seed != first + runs; ++seed) {
        if (!in_share(level_wear, seed - first))
            continue;
        const std::string where = std::string(w.name) + ", " + mode_name(level_wear) +
                                  ", on worn flash; replay: DACE_TORTURE_SEED=" + std::to_string(seed) +
                                  " ./dace_torture " + replay_filter("WornFlash", GetParam());
        Medium m(w.geometry, w.max_files, level_wear, seed);
        m.sim.set_strict(true);
        FaultPlan plan(m, seed);
        Driver d(m, Mode::Tolerant, seed, true);
        d.set_before_op(&FaultPlan::before_op, &plan);
        bool power_lost = false;
        try {
            d.start();
            w.run(d);
            // Healed but for the worn clusters, the medium takes every
            // change still pending.
            m.sim.reboot();
            d.set_before_op(nullptr, nullptr);
            d.set_mode(Mode::Exact);
            d.close_all();
            d.commit();
        } catch (const Stop &stop) {
            power_lost = stop.power_lost;
            ASSERT_TRUE(power_lost) << where;
        }
        // One read falls short while mounting: the mount refuses, for the
        // caller to try again, or finds what a clean mount would.
        {
            m.sim.reboot();
            std::mt19937 pick(seed);
            const uint64_t nth = 1 + pick() % (3 * m.sim.cluster_count());
            m.sim.fail_read(nth, static_cast<uint32_t>(pick() % 9));
            dace_state *s = m.mount();
            m.sim.clear_faults(); // the read fault, if the mount did not meet it
            for (const uint32_t c : plan.worn_clusters())
                m.sim.wear_out(c);
            if (s == nullptr) {
                ++t.refused_mounts;
            } else {
                const Files found = files_on(s);
                const auto &cands = d.candidates();
                EXPECT_TRUE(std::find(cands.begin(), cands.end(), found) != cands.end())
                    << where << ": a mount that met a short read " << nth << " found " << describe(found, cands);
            }
            if (HasFailure())
                return;
        }
        check_reboot(m, d.candidates(), plan.worn(), where);
        if (HasFailure())
            return;
        ++t.runs;
        t.power_cuts += power_lost ? 1 : 0;
        t.worn += plan.worn();
        t.commits += d.stats().commits;
        t.failed_commits += d.stats().failed_commits;
        t.refusals += d.stats().refusals;
        t.medium.short_writes += m.tally.short_writes;
        t.medium.short_reads += m.tally.short_reads;
        t.medium.failed_erases += m.tally.failed_erases;
    }
    std::printf("[ worn     ] %s, %s: %u runs, %u of them cut, %u clusters worn out; the library met %llu failed "
                "erases, %llu short writes, %llu short reads; %u commits, %u reported failed, %u other refusals; %u "
                "mounts refused on a short read\n",
                w.name, mode_name(level_wear), t.runs, t.power_cuts, t.worn,
                static_cast<unsigned long long>(t.medium.failed_erases),
                static_cast<unsigned long long>(t.medium.short_writes),
                static_cast<unsigned long long>(t.medium.short_reads), t.commits, t.failed_commits, t.refusals,
                t.refused_mounts);
    ++totals().worn_workloads;
    totals().worn_runs += t.runs;
    totals().worn_runs_by_mode[mode_name(level_wear)] += t.runs;
    totals().worn_cut += t.power_cuts;
    if (t.runs >= 10) {
        EXPECT_GT(t.failed_commits, 0u) << "no commit failed: the faults missed";
        EXPECT_GT(t.power_cuts, 0u) << "no run lost power";
    }
}

INSTANTIATE_TEST_SUITE_P(Workloads, WornFlashTorture, ::testing::ValuesIn(workload_params()), workload_label);

} // namespace
} // namespace dace_torture
