// Directory commits under power cuts: a workload of staged changes is cut at
// every programmed byte and in every erase; each reboot must mount the last
// directory whose commit reported success or the one in flight, never
// anything else, and the volume must stay usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "dace/dace_internal.h"
#include "test_support.h"

namespace dace_test {
namespace {

// The entries carry no data but a tag in their stamp: the model holds each
// tag, in decimal, as its file's bytes.
Bytes tag_bytes(uint64_t tag) {
    const std::string text = std::to_string(tag);
    return Bytes(text.begin(), text.end());
}

Files listed_entries(const Volume &v) {
    Files l;
    for (uint32_t i = 0; i < v.count(); ++i)
        l.create(entry_name(v.entries()[i]), tag_bytes(v.entries()[i].stamp));
    return l;
}

// One directory change, staged through dace_reopen_root and applied to both
// the staged copy and the model.
struct Change {
    enum Kind { Add, Remove, Retag } kind;
    std::string name;
    uint32_t tag = 0;
    uint16_t index = 0;
};

bool stage(Volume &v, const Change &c, Files &model) {
    switch (c.kind) {
    case Change::Add: {
        if (dace_reopen_root(v.s, DACE_REOPEN_APPEND, 0xFFFF) != 0)
            return false;
        dace_entry *e = &v.entries()[v.s->root->count++];
        *e = make_entry(c.name, 0, CLUS_END, c.tag);
        model.create(c.name, tag_bytes(c.tag));
        return true;
    }
    case Change::Remove:
        if (dace_reopen_root(v.s, DACE_REOPEN_REMOVE, c.index) != 0)
            return false;
        model.remove(std::next(model.begin(), c.index)->name());
        return true;
    case Change::Retag:
        if (dace_reopen_root(v.s, DACE_REOPEN_CHANGE, 0xFFFF) != 0)
            return false;
        v.entries()[c.index].stamp = c.tag;
        model.change(std::next(model.begin(), c.index)->id()) = tag_bytes(c.tag);
        return true;
    }
    return false;
}

// A deterministic mix that grows the table past one page, shrinks it and
// moves the root several times on a 4-page root cluster.
std::vector<Change> workload() {
    std::vector<Change> changes;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 9; ++i)
            changes.push_back({Change::Add, "f" + std::to_string(round) + "-" + std::to_string(i),
                               static_cast<uint32_t>(round * 1000 + i)});
        changes.push_back({Change::Retag, "", 77, 3});
        for (int i = 0; i < 8; ++i)
            changes.push_back({Change::Remove, "", 0, static_cast<uint16_t>(i % 2)});
    }
    return changes;
}

Geometry tiny() { return Geometry{256, 4, 64}; } // 16 clusters, 4 pages per root cluster

struct RunResult {
    Files committed; // after the last commit that reported success
    Files in_flight; // what the failed commit tried to write
    bool cut = false;
};

// Runs the workload, each change committed at once, until a commit fails.
// Between staging and commit, clusters are taken and given back as a file
// would: the allocator then erases what it may, and must never pick a
// cluster that the root on the medium still needs.
struct Churn {
    int previous = -1;
    void step(Volume &v) {
        const int c = dace_alloc_clus(v.s);
        if (c < 0)
            return;
        std::vector<uint8_t> image(v.s->clus_size, static_cast<uint8_t>(c));
        (void)dace_commit_clus(v.s, static_cast<uint16_t>(c), image.data());
        if (previous >= 0)
            dace::release_cluster(v.s, static_cast<uint16_t>(previous));
        previous = c;
    }
};

// Runs the workload, each change committed at once, until a commit fails.
RunResult run(Volume &v, const std::vector<Change> &changes) {
    RunResult r;
    r.committed = listed_entries(v);
    Churn churn;
    for (const Change &c : changes) {
        Files next = r.committed;
        if (!stage(v, c, next)) {
            r.in_flight = r.committed;
            r.cut = true;
            return r;
        }
        churn.step(v);
        if (dace_commit_root(v.s) != 0) {
            r.in_flight = next;
            r.cut = true;
            return r;
        }
        r.committed = next;
    }
    r.in_flight = r.committed;
    return r;
}

// After a reboot: the directory is all or nothing of the commit in flight,
// and a further change commits and survives another remount.
void check_after_reboot(Volume &v, const RunResult &r, const std::string &where) {
    v.sim.reboot();
    ASSERT_NE(v.mount(), nullptr) << where;
    const Files found = listed_entries(v);
    EXPECT_TRUE(found == r.committed || found == r.in_flight)
        << where << "\n found:     " << sizes(found) << "\n committed: " << sizes(r.committed)
        << "\n in flight: " << sizes(r.in_flight) << "\n " << difference(found, r.committed);

    Files expected = found;
    ASSERT_TRUE(stage(v, {Change::Add, "after-cut", 5}, expected)) << where;
    ASSERT_EQ(dace_commit_root(v.s), 0) << where;
    ASSERT_NE(v.mount(), nullptr) << where;
    EXPECT_EQ(difference(listed_entries(v), expected), "") << where;
}

// Rule 4: uncut, the workload programs only erased bytes, no page twice
// between erases, while the root moves from cluster to cluster.
TEST(RootPowerCut, UncutWorkloadProgramsOnlyBlankBytes) {
    Volume v(tiny());
    v.sim.set_strict(true);
    ASSERT_NE(v.mount(), nullptr);
    v.sim.set_logging(true);
    Files model = listed_entries(v);
    for (const Change &c : workload()) {
        ASSERT_TRUE(stage(v, c, model));
        ASSERT_EQ(dace_commit_root(v.s), 0);
    }
    const std::vector<CopyWritten> copies = root_copies_written(v.sim.log(), v.sim);
    EXPECT_GE(std::count_if(copies.begin(), copies.end(), [](const CopyWritten &c) { return c.page == 0; }), 4)
        << "copies that start a fresh root cluster";
    EXPECT_EQ(v.sim.counters().overwrites, 0u);
    EXPECT_EQ(page_programmed_twice(v.sim.log(), v.sim.geometry()), "");
    EXPECT_GT(v.sim.counters().erase_calls, 0u) << "old root clusters are reused";
    ASSERT_NE(v.mount(), nullptr);
    EXPECT_EQ(difference(listed_entries(v), model), "");
}

// Runs the uncut workload with the call log on, then reruns it once per
// fault point that `points` picks from that log, with `arm` setting the fault
// on the fresh medium.
void sweep(const std::function<std::vector<uint64_t>(const std::vector<dace_sim::Call> &)> &points,
           const std::function<void(FlashSim &, uint64_t)> &arm, const std::string &what) {
    Volume probe(tiny());
    ASSERT_NE(probe.mount(), nullptr);
    probe.sim.set_logging(true);
    run(probe, workload());
    const std::vector<uint64_t> chosen = points(probe.sim.log());
    ASSERT_FALSE(chosen.empty());
    std::printf("[ sweep    ] %zu fault points (%s)\n", chosen.size(), what.c_str());
    for (uint64_t point : chosen) {
        Volume v(tiny());
        v.sim.set_strict(true);
        ASSERT_NE(v.mount(), nullptr);
        arm(v.sim, point);
        const RunResult r = run(v, workload());
        check_after_reboot(v, r, what + " " + std::to_string(point));
        if (::testing::Test::HasFailure())
            return;
    }
}

// Rules 1 and 3: cut at every byte of every root write and the boundaries
// of every data cluster write, a reboot finds the last commit or the one in
// flight; the clusters released meanwhile were not erased under it.
TEST(RootPowerCut, EveryRootByteAndDataPageBoundary) {
    sweep([](const std::vector<dace_sim::Call> &log) {
              return write_cut_points(log, tiny().page_size, uint32_t{tiny().page_size} * tiny().clus_pages, 1);
          },
          [](FlashSim &sim, uint64_t n) { sim.cut_after_bytes(n); }, "cut after byte");
}

// Rule 3: cut in any erase, the clusters erased were none the directory on
// the medium still needs.
TEST(RootPowerCut, EveryErase) {
    sweep(
        [](const std::vector<dace_sim::Call> &log) { return call_ordinals(log, dace_sim::Op::Erase); },
        [](FlashSim &sim, uint64_t n) { sim.cut_in_erase(n); }, "cut in erase");
}

// Rule 10: with the medium full, root moves take clusters from the reserve;
// cuts there must not cost the directory either.
TEST(RootPowerCut, FullMediumEveryProgrammedByte) {
    auto fill = [](Volume &v) {
        while (dace_alloc_clus(v.s) >= 0) {
        }
    };
    Volume probe(tiny());
    ASSERT_NE(probe.mount(), nullptr);
    fill(probe);
    ASSERT_EQ(dace_getfreespace(probe.s, nullptr), 0u);
    probe.sim.reset_counters();
    const RunResult uncut = run(probe, workload());
    ASSERT_FALSE(uncut.cut) << "a full medium must not stop directory commits";
    const uint64_t total = probe.sim.counters().bytes_programmed;

    for (uint64_t cut = 0; cut <= total; cut += 7) {
        Volume v(tiny());
        v.sim.set_strict(true);
        ASSERT_NE(v.mount(), nullptr);
        fill(v);
        v.sim.cut_after_bytes(cut);
        const RunResult r = run(v, workload());
        v.sim.reboot();
        ASSERT_NE(v.mount(), nullptr) << "cut after byte " << cut;
        const Files found = listed_entries(v);
        EXPECT_TRUE(found == r.committed || found == r.in_flight) << "cut after byte " << cut;
        if (HasFailure())
            return;
    }
}

// Rule 2 on worn flash: a root write falls short at every point of the
// workload, and the power goes at several points of the retry. A short
// write is reported, a retry that succeeds lands the change, and a cut
// during the retry leaves the last committed directory or the one in
// flight.
TEST(RootPowerCut, ShortWriteThenCutDuringRetry) {
    Volume probe(tiny());
    ASSERT_NE(probe.mount(), nullptr);
    probe.sim.reset_counters();
    run(probe, workload());
    const uint64_t writes = probe.sim.counters().write_calls;

    for (uint64_t nth = 1; nth <= writes; ++nth) {
        for (uint64_t cut : {uint64_t{0}, uint64_t{1}, uint64_t{255}, uint64_t{512}, ~uint64_t{0}}) {
            const std::string where = "short write " + std::to_string(nth) + ", cut " + std::to_string(cut);
            Volume v(tiny());
            v.sim.set_strict(true);
            ASSERT_NE(v.mount(), nullptr);
            v.sim.fail_write(nth, 100);
            RunResult r = run(v, workload());
            if (!r.cut)
                continue; // the short write hit a churn cluster
            if (cut != ~uint64_t{0})
                v.sim.cut_after_bytes(cut);
            Churn churn;
            churn.step(v);
            if (dace_commit_root(v.s) == 0) {
                r.committed = r.in_flight;
                ASSERT_EQ(cut, ~uint64_t{0}) << where << ": a retry cut short reported success";
            }
            check_after_reboot(v, r, where);
            EXPECT_EQ(v.sim.counters().overwrites, 0u) << where;
            if (HasFailure())
                return;
        }
    }
}

} // namespace
} // namespace dace_test
