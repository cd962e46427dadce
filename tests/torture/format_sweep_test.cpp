// Formats on a failing medium. dace_format runs over the volumes that the
// workloads leave behind, in both allocation modes, with each of its reads
// failing in turn, each cluster unreadable in turn (with and without a power
// cut in the format), its root write falling short once or twice or landing
// although the part reports failure, each of its erases failing, and the
// power cut at every point of its writes and erases. A format that returns
// a volume then erases ahead and writes a file; the medium, rebooted with
// every fault gone, must hold the old volume whole or the new one, and stay
// fully usable.
//
// DACE_TORTURE_SCALE=N sweeps N seeds' volumes per workload and mode.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tests/torture/torture.h"

namespace dace_torture {
namespace {

using dace_sim::Call;
using dace_sim::Op;

constexpr uint32_t kFirstSeed = 0xF0A7u;

enum class Kind { ReadFails, Unreadable, UnreadableCut, WriteFails, EraseFails, Cut, EraseCut, Count };
constexpr std::array<const char *, static_cast<size_t>(Kind::Count)> kKindNames = {
    "read fails", "cluster unreadable", "cluster unreadable and a cut", "write fails", "erase fails", "cut in a write",
    "cut in an erase"};

struct Trial {
    Kind kind;
    uint64_t n;      // the call's ordinal, the cluster, or the bytes before the cut
    uint32_t value;  // bytes a short call moves, bytes of an erase done, or a second fault's ordinal
    uint32_t extra;  // write faults: 1 the write lands, 2 two writes fail
};

std::string spelled(const Trial &t) {
    return std::string(kKindNames[static_cast<size_t>(t.kind)]) + " " + std::to_string(t.n) + "/" +
           std::to_string(t.value) + "/" + std::to_string(t.extra);
}

// What an uncut format of the volume calls.
struct FormatCalls {
    uint64_t reads = 0, erases = 0;
    std::vector<uint64_t> cut_points;
};

FormatCalls calls_of_format(const Workload &w, const MadeVolume &made, int unreadable) {
    Medium m(w.geometry, w.max_files);
    m.sim.bytes() = made.bytes;
    if (unreadable >= 0)
        m.sim.make_unreadable(static_cast<uint32_t>(unreadable));
    m.sim.set_logging(true);
    m.block.assign(dace_getstatesize(&m.cfg) / 8 + 1, 0);
    // With a cluster unreadable the format may find no cluster known to be
    // free of the old volume, and refuse.
    const dace_state *s = dace_format(&m.cfg, m.block.data());
    EXPECT_TRUE(s != nullptr || (unreadable >= 0 && dace_init_error(m.block.data()) == DACE_E_UNREADABLE))
        << w.name << ": the uncut format: " << dace_init_error(m.block.data());
    const std::vector<Call> &log = m.sim.log();
    FormatCalls out;
    for (const Call &c : log) {
        out.reads += c.op == Op::Read ? 1 : 0;
        out.erases += c.op == Op::Erase ? 1 : 0;
    }
    out.cut_points = dace_test::write_cut_points(log, w.geometry.page_size, m.sim.cluster_size(), 8);
    return out;
}

void arm(FlashSim &sim, const Trial &t) {
    switch (t.kind) {
    case Kind::ReadFails: sim.fail_read(t.n, t.value); break;
    case Kind::Unreadable: sim.make_unreadable(static_cast<uint32_t>(t.n)); break;
    case Kind::UnreadableCut:
        sim.make_unreadable(static_cast<uint32_t>(t.n));
        if (t.extra == 0)
            sim.cut_after_bytes(t.value);
        else
            sim.cut_in_erase(t.value, 0.5);
        break;
    case Kind::WriteFails: sim.fail_write(1, t.value, t.extra == 1, t.extra == 2 ? 2 : 1); break;
    case Kind::EraseFails: sim.fail_erase(t.n, 0, t.value != 0); break;
    case Kind::Cut: sim.cut_after_bytes(t.n); break;
    case Kind::EraseCut: sim.cut_in_erase(t.n, double(t.value) / sim.cluster_size()); break;
    case Kind::Count: break;
    }
}

// The trials for one volume.
std::vector<Trial> trials_for(const Workload &w, const MadeVolume &made) {
    const FormatCalls uncut = calls_of_format(w, made, -1);
    const uint32_t clusters = w.geometry.total_pages / w.geometry.clus_pages;
    const uint32_t cluster = uint32_t{w.geometry.page_size} * w.geometry.clus_pages;
    std::vector<Trial> all;
    for (uint64_t n = 1; n <= uncut.reads; ++n)
        all.push_back({Kind::ReadFails, n, n % 2 == 0 ? 4u : 0u, 0});
    for (uint32_t c = 0; c < clusters; ++c) {
        all.push_back({Kind::Unreadable, c, 0, 0});
        all.push_back({Kind::UnreadableCut, c, (c * 37u) % (w.geometry.page_size + 1u), 0});
        const FormatCalls with = calls_of_format(w, made, static_cast<int>(c));
        for (uint64_t e = 1; e <= with.erases; ++e)
            all.push_back({Kind::UnreadableCut, c, static_cast<uint32_t>(e), 1});
    }
    for (const auto &[done, extra] : std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}, {100, 0}, {0, 1}, {0, 2}})
        all.push_back({Kind::WriteFails, 1, done, extra});
    for (uint64_t e = 1; e <= uncut.erases; ++e)
        for (const uint32_t erased : {0u, 1u})
            all.push_back({Kind::EraseFails, e, erased, 0});
    for (const uint64_t at : uncut.cut_points)
        all.push_back({Kind::Cut, at, 0, 0});
    for (uint64_t e = 1; e <= uncut.erases; ++e)
        for (const uint32_t done : {0u, 4u, cluster / 2, cluster})
            all.push_back({Kind::EraseCut, e, done, 0});
    return all;
}

// One trial: the format under the fault, then, when it returned a volume,
// an erase ahead and a new file; then the check of the rebooted medium.
void run_trial(const Workload &w, const MadeVolume &made, bool level_wear, uint32_t seed, const Trial &t,
               const std::string &where) {
    Medium m(w.geometry, w.max_files, level_wear, seed);
    m.sim.bytes() = made.bytes;
    m.sim.set_strict(true);
    arm(m.sim, t);
    m.block.assign(dace_getstatesize(&m.cfg) / 8 + 1, 0);
    dace_state *s = dace_format(&m.cfg, m.block.data());
    std::vector<Files> candidates = {made.files, Files{}};
    if (s != nullptr && m.sim.powered()) {
        // Later calls meet no fault of the format's; an unreadable cluster
        // stays so until the reboot.
        m.sim.fail_read(0);
        m.sim.fail_write(0);
        m.sim.fail_erase(0);
        EXPECT_TRUE(files_on(s).empty()) << where << ": the format returned a volume that is not empty";
        EXPECT_GE(dace_erase_ahead(s, 0xFFFF), 0) << where;
        const std::vector<uint8_t> bytes = dace_test::pattern_bytes(2 * s->clus_payload + 7, seed);
        const dace_handle h = dace_create(s, "after");
        ASSERT_NE(h, 0u) << where << ": create after the format: " << dace_error(s);
        EXPECT_EQ(dace_write(s, bytes.data(), static_cast<uint32_t>(bytes.size()), h), bytes.size()) << where;
        EXPECT_EQ(dace_close(s, h), DACE_OK) << where;
        Files after;
        after.create("after", bytes);
        candidates.push_back(after);
    }
    m.sim.clear_faults();
    check_reboot(m, candidates, 0, where);
}

class FormatSweep : public ::testing::TestWithParam<WorkloadParam> {};

TEST_P(FormatSweep, EveryFaultLeavesTheOldVolumeOrTheNewOne) {
    const Workload &w = *GetParam().workload;
    const bool level_wear = GetParam().level_wear;
    const std::string named = std::string(w.name) + ", " + mode_name(level_wear);
    for (const uint32_t seed : seeds_from(kFirstSeed)) {
        const std::string replay = replay_command("FormatSweep", GetParam(), seed);
        const MadeVolume made = made_volume(w, level_wear, seed);
        if (HasFailure())
            return;
        const std::vector<Trial> trials = trials_for(w, made);
        std::array<uint32_t, static_cast<size_t>(Kind::Count)> by_kind{};
        for (const Trial &t : trials) {
            run_trial(w, made, level_wear, seed, t, named + ", " + spelled(t) + "; replay: " + replay);
            if (HasFailure())
                return;
            ++by_kind[static_cast<size_t>(t.kind)];
        }
        std::string counts;
        for (size_t k = 0; k < by_kind.size(); ++k)
            counts += std::string(k == 0 ? "" : ", ") + std::to_string(by_kind[k]) + " " + kKindNames[k];
        std::printf("[ sweep    ] formats of %s, seed %u (%zu files): %zu trials: %s\n", named.c_str(), seed,
                    made.files.size(), trials.size(), counts.c_str());
        totals().format_trials += trials.size();
    }
}

INSTANTIATE_TEST_SUITE_P(Workloads, FormatSweep, ::testing::ValuesIn(workload_params()), workload_label);

} // namespace
} // namespace dace_torture
