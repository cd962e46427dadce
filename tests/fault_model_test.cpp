// Model-based random runs of the file interface on a misbehaving medium:
// reads and writes that fail or fall short, failed erases, and a power cut
// after some programmed bytes or inside an erase, with several files open
// and files removed, renamed and truncated, open ones too. After
// every step the free and held counts add up; after every commit that succeeds
// a copy of the medium mounts with exactly the current files; on a medium made
// healthy again every close succeeds; and the final remount finds the last
// successful commit or one that failed since, its chains intact.
//
// Each geometry runs kRunsPerMode seeds in normal and in strict-flash mode,
// from test_seed() upward, as two tests: one allocating first fit, one
// with wear levelling (the test's name ends in the mode); DACE_FAULT_RUNS=<n>
// runs n instead, for a long search. Replay a failure with
// DACE_TEST_SEED=<its seed> DACE_FAULT_RUNS=1 and the filter it prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using dace_test::entry_name;
using dace_test::accounting_problems;
using dace_test::chain_problems;
using dace_test::file_bytes;
using dace_test::Geometry;
using dace_test::pattern_bytes;
using dace_test::Volume;
using dace_test::write_bytes;

using dace_test::Files;

struct Case {
    const char *label;
    Geometry geometry;
    bool level_wear = false;
};

std::string name_of(const Case &c) { return std::string(c.label) + "_" + dace_test::mode_label(c.level_wear); }
void PrintTo(const Case &c, std::ostream *os) { *os << name_of(c); }


constexpr uint32_t kRunsPerMode = 100;
constexpr uint32_t kMaxSteps = 2000; // a run with a cut armed goes on until it fires, but no further
constexpr size_t kTrailLength = 40;
const char *const kNames[] = {"a", "bb", "ccc", "dddd", "eighteen_bytes_xx1", "f"};

uint32_t runs_per_mode() {
    const char *env = std::getenv("DACE_FAULT_RUNS");
    return env != nullptr ? static_cast<uint32_t>(std::strtoul(env, nullptr, 0)) : kRunsPerMode;
}

using dace_test::difference;
using dace_test::sizes;

// Every file of a mounted volume, read whole.
Files files_on(const Volume &v) {
    std::string trouble;
    Files out = dace_test::files_on(v.s, &trouble);
    EXPECT_EQ(trouble, "");
    return out;
}

struct OpenFile {
    dace_handle handle;
    uint32_t pos;
};

// What the runs of one geometry went through, to show they met faults.
struct Tally {
    uint32_t power_cuts = 0, failed_commits = 0;
};

class FaultRun {
public:
    FaultRun(Geometry g, bool strict, bool level_wear, uint32_t seed, Tally &tally)
        : geometry_(g), tally_(tally), rng_(seed), vol_(g, static_cast<uint16_t>(1 + below(4))) {
        vol_.sim.set_strict(strict);
        if (level_wear)
            vol_.level_wear = static_cast<uint16_t>(seed * 7u);
    }

    void run() {
        ASSERT_NE(vol_.mount(), nullptr) << "format refused";
        const uint32_t steps = 30 + below(200);
        const bool cut = below(3) != 0;
        const uint32_t cut_at = steps / 2 + below(steps / 2);
        for (step_ = 0; step_ < (cut ? kMaxSteps : steps); ++step_) {
            if (cut && step_ == cut_at)
                arm_power_cut();
            arm_some_fault();
            step();
            if (!::testing::Test::HasFailure())
                check_accounting();
            if (::testing::Test::HasFailure())
                return;
            if (!vol_.sim.powered()) {
                note("power is off");
                ++tally_.power_cuts;
                break;
            }
        }
        // A long run retires a cluster at every failed erase and may run out
        // of them, so only runs without a cut must close cleanly.
        if (!cut)
            close_all_on_healthy_medium();
        if (!::testing::Test::HasFailure())
            remount_and_check();
    }

    const std::deque<std::string> &trail() const { return trail_; }

private:
    dace_state *s() const { return vol_.s; }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    template <typename... Parts> void note(const Parts &...parts) {
        std::ostringstream line;
        line << step_ << ": ";
        (line << ... << parts);
        trail_.push_back(line.str());
        if (trail_.size() > kTrailLength)
            trail_.pop_front();
    }

    void arm_power_cut() {
        const uint32_t nth = 1 + below(4), bytes = below(20000);
        const double fraction = below(100) / 100.0;
        if (below(3) == 0) {
            vol_.sim.cut_in_erase(nth, fraction);
            note("power cut armed in erase ", nth, " at ", fraction);
        } else {
            vol_.sim.cut_after_bytes(bytes);
            note("power cut armed after ", bytes, " bytes");
        }
    }

    // Each kind about once in 40 steps, hitting one of the next three calls.
    void arm_some_fault() {
        const uint32_t kind = below(40), nth = 1 + below(3);
        const uint32_t done = below(2) == 0 ? 0 : below(s()->clus_size + 1u);
        const bool erased = below(2) == 0;
        if (kind == 0) {
            vol_.sim.fail_write(nth, done);
            note("write ", nth, " fails after ", done, " bytes");
        } else if (kind == 1) {
            vol_.sim.fail_read(nth, done);
            note("read ", nth, " fails after ", done, " bytes");
        } else if (kind == 2) {
            vol_.sim.fail_erase(nth, 0, erased);
            note("erase ", nth, erased ? " fails after erasing" : " fails");
        }
    }

    void step() {
        const std::string name = kNames[below(static_cast<uint32_t>(std::size(kNames)))];
        const uint32_t kind = below(10);
        const auto it = open_.find(name);
        if (it == open_.end()) {
            if (kind == 0)
                open_or_create(name);
            else if (kind == 1)
                remove(name);
            else if (kind == 2)
                rename(name);
            else if (kind == 3)
                truncate(name);
        } else if (kind <= 3) {
            write(name, it->second);
        } else if (kind <= 5) {
            commit(name, it->second, kind == 5);
        } else if (kind <= 7) {
            seek(name, it->second);
        } else if (kind == 8) {
            read(name, it->second);
        } else {
            truncate(name);
        }
    }

    // The result of a change by name: 0 committed, 4 changed in memory but
    // maybe not on the medium, 3 nothing changed for want of a cluster.
    bool changed_by_name(int r) {
        EXPECT_TRUE(r == 0 || r == 3 || r == 4) << "a change by name returned " << r;
        return r == 0 || r == 4;
    }

    void remove(const std::string &name) {
        const int r = dace_remove(s(), name.c_str());
        note("remove ", name, " -> ", r);
        if (!current_.contains(name)) {
            EXPECT_EQ(r, 1) << "remove of a missing " << name;
        } else if (changed_by_name(r)) {
            current_.remove(name);
            settle(r == 0, "remove");
        }
    }

    // Only to a name no file bears, so that names stay unique in the model.
    void rename(const std::string &name) {
        const std::string to = kNames[below(static_cast<uint32_t>(std::size(kNames)))];
        if (current_.contains(to) || open_.count(name) != 0)
            return;
        const int r = dace_rename(s(), name.c_str(), to.c_str());
        note("rename ", name, " to ", to, " -> ", r);
        if (!current_.contains(name)) {
            EXPECT_EQ(r, 1) << "rename of a missing " << name;
        } else if (changed_by_name(r)) {
            current_.rename(name, to);
            settle(r == 0, "rename");
        }
    }

    void truncate(const std::string &name) {
        const Files::File *f = current_.find(name);
        const uint32_t size = f == nullptr ? 0 : f->size();
        const uint32_t payload = s()->clus_payload, pick = below(4);
        const uint32_t length = pick == 0   ? size + 1
                                : pick == 1 ? below(size / payload + 1) * payload
                                            : below(size + 1);
        const int r = dace_truncate(s(), name.c_str(), length);
        note("truncate ", name, " of ", size, " to ", length, " -> ", r);
        if (f == nullptr) {
            EXPECT_EQ(r, 1) << "truncate of a missing " << name;
        } else if (length > size) {
            EXPECT_EQ(r, 2) << "truncate of " << name << " beyond its end";
        } else if (changed_by_name(r)) {
            current_.truncate(name, length);
            const auto open = open_.find(name);
            if (open != open_.end()) {
                open->second.pos = std::min(open->second.pos, length);
                EXPECT_EQ(dace_tell(s(), open->second.handle), open->second.pos) << name << " after truncation";
            }
            settle(r == 0, "truncate");
        }
    }

    void open_or_create(const std::string &name) {
        const bool exists = current_.contains(name);
        const dace_handle h = exists ? dace_open(s(), name.c_str()) : dace_create(s(), name.c_str());
        note(exists ? "open " : "create ", name, " -> ", h);
        if (h != 0) {
            if (!exists)
                current_.create(name);
            open_[name] = {h, 0};
        }
    }

    void write(const std::string &name, OpenFile &f) {
        const uint32_t size = current_.find(name)->size();
        const uint32_t payload = s()->clus_payload;
        uint32_t n = below(4) == 0 ? below(3u * s()->clus_size) : below(200);
        if (below(5) == 0)
            n = payload - size % payload; // up to the end of the newest cluster
        const std::vector<uint8_t> bytes = pattern_bytes(n, static_cast<uint32_t>(rng_()));
        const uint32_t took = write_bytes(s(), f.handle, bytes);
        note("write ", name, " at ", f.pos, " of ", size, ", ", n, " -> ", took);
        ASSERT_LE(took, n) << "write to " << name;
        if (f.pos != size) {
            EXPECT_EQ(took, 0u) << "write before the end of " << name;
            return;
        }
        current_.append(name, bytes.data(), took);
        f.pos += took;
    }

    void read(const std::string &name, OpenFile &f) {
        const std::vector<uint8_t> &data = current_.find(name)->bytes();
        const uint32_t n = below(2u * s()->clus_size);
        std::vector<uint8_t> buf(n);
        const uint32_t got = dace_read(s(), buf.data(), n, f.handle);
        note("read ", name, " at ", f.pos, " of ", data.size(), ", ", n, " -> ", got);
        ASSERT_LE(got, std::min<size_t>(n, data.size() - f.pos)) << "read of " << name;
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + got, data.begin() + f.pos))
            << "read of " << name << " at " << f.pos << " returned wrong bytes";
        f.pos += got;
        EXPECT_EQ(dace_tell(s(), f.handle), f.pos) << name;
    }

    // A commit that fails may have reached the medium or not; one that
    // succeeds leaves exactly the current files on it.
    void settle(bool ok, const char *by) {
        if (!ok) {
            candidates_.push_back(current_);
            ++tally_.failed_commits;
            return;
        }
        candidates_ = {current_};
        check_copy_of_medium(by);
    }

    void commit(const std::string &name, const OpenFile &f, bool closing) {
        const int r = closing ? dace_close(s(), f.handle) : dace_flush(s(), f.handle);
        note(closing ? "close " : "flush ", name, " -> ", r, "  ", sizes(current_));
        EXPECT_TRUE(r == 0 || r == (closing ? 2 : -1)) << (closing ? "close" : "flush") << " returned " << r;
        if (r == 0 && closing)
            open_.erase(name);
        settle(r == 0, closing ? "close" : "flush");
    }

    // Targets at either end, on a cluster boundary, or anywhere up to one
    // byte beyond the end, reached from each origin.
    void seek(const std::string &name, OpenFile &f) {
        const uint32_t size = current_.find(name)->size();
        const uint32_t payload = s()->clus_payload, pick = below(5);
        const int whence = static_cast<int>(below(3));
        const uint32_t target = pick == 0   ? size
                                : pick == 1 ? below(size / payload + 1) * payload
                                : pick == 2 ? 0
                                            : below(size + 2);
        const uint32_t offset = whence == 0 ? target : whence == 1 ? target - f.pos : size - target;
        const int r = dace_seek(s(), f.handle, offset, whence);
        note("seek ", name, " from ", f.pos, " to ", target, " of ", size, ", whence ", whence, " -> ", r);
        if (target > size) {
            EXPECT_EQ(r, 2) << "seek beyond the end of " << name;
        } else {
            // -1: flushed, but the target's cluster did not read.
            EXPECT_TRUE(r == 0 || r == -1 || r == 3) << "seek returned " << r;
            if (r != 3)
                f.pos = target;
            settle(r != 3, "seek");
        }
        EXPECT_EQ(dace_tell(s(), f.handle), f.pos) << name;
    }

    void check_accounting() { EXPECT_EQ(accounting_problems(s()), ""); }

    // What a power cut right now would leave: a mount of the medium as it
    // stands takes it, with sound counts and chains and exactly the current
    // files.
    void check_copy_of_medium(const char *after) {
        EXPECT_EQ(dace_check::medium_problems(vol_.sim.bytes(), geometry_, vol_.cfg, &current_), "")
            << "a copy of the medium after " << after;
    }

    void close_all_on_healthy_medium() {
        vol_.sim.clear_faults();
        for (const auto &[name, f] : open_) {
            const int r = dace_close(s(), f.handle);
            note("final close ", name, " -> ", r);
            EXPECT_EQ(r, 0) << "close of " << name << " on a healthy medium";
        }
        open_.clear();
        // A change by name whose commit failed waits for the next commit;
        // with no file open, the caller commits it directly.
        EXPECT_EQ(dace_commit_root(s()), 0) << "commit on a healthy medium";
        candidates_ = {current_};
    }

    void remount_and_check() {
        vol_.sim.reboot();
        note("remount");
        ASSERT_NE(vol_.mount(), nullptr) << "remount refused";
        EXPECT_EQ((s()->options & DACE_OPT_LEVEL_WEAR) != 0, vol_.level_wear.has_value())
            << "allocation mode after the remount";
        const Files found = files_on(vol_);
        if (std::find(candidates_.begin(), candidates_.end(), found) == candidates_.end()) {
            std::string in_flight;
            for (size_t i = 1; i < candidates_.size(); ++i)
                in_flight += " " + sizes(candidates_[i]);
            ADD_FAILURE() << "remount holds " << difference(found, candidates_.front())
                          << ", nor any commit in flight:" << in_flight;
        }
        EXPECT_EQ(chain_problems(vol_.s, vol_.sim.bytes()), "") << "after the remount";
    }

    Geometry geometry_;
    Tally &tally_;
    std::mt19937 rng_;
    Volume vol_;
    Files current_;
    std::vector<Files> candidates_{Files{}}; // what a remount may find, the last successful commit first
    std::map<std::string, OpenFile> open_;
    std::deque<std::string> trail_;
    uint32_t step_ = 0;
};

class FaultModel : public ::testing::TestWithParam<Case> {};

TEST_P(FaultModel, RemountFindsACommitAfterFaultsAndPowerCuts) {
    const Case &c = GetParam();
    const Geometry &g = c.geometry;
    const uint32_t first = dace_test::test_seed(0xFA017CE5u);
    const uint32_t runs = runs_per_mode();
    RecordProperty("seed", std::to_string(first));
    std::printf("[ faults ] %s: seed %u, %u runs in each mode\n", name_of(c).c_str(), first, runs);
    Tally tally;
    for (uint32_t seed = first; seed != first + runs; ++seed) {
        for (const bool strict : {false, true}) {
            FaultRun run(g, strict, c.level_wear, seed, tally);
            run.run();
            if (HasFailure()) {
                std::string trail;
                for (const std::string &line : run.trail())
                    trail += "  " + line + "\n";
                ADD_FAILURE() << "seed " << seed << ", " << c.label << " {" << g.page_size << ", " << g.clus_pages
                              << ", " << g.total_pages << "}, " << (strict ? "strict" : "normal") << " flash, "
                              << (c.level_wear ? "wear levelling" : "first fit") << "; replay with DACE_TEST_SEED="
                              << seed << " DACE_FAULT_RUNS=1 --gtest_filter='Geometries/FaultModel.*/" << name_of(c)
                              << "'\n"
                              << "last operations:\n"
                              << trail;
                return;
            }
        }
    }
    if (runs >= 10) { // a handful of runs may miss every fault, a full set must not
        EXPECT_GT(tally.power_cuts, 0u) << "no run lost power";
        EXPECT_GT(tally.failed_commits, 0u) << "no commit failed";
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, FaultModel,
                         ::testing::ValuesIn(dace_test::in_both_modes({Case{"Smallest", {32, 2, 16}},
                                                                       Case{"PagePerCluster", {256, 1, 64}},
                                                                       Case{"FewClusters", {256, 4, 64}},
                                                                       Case{"SmallPages", {64, 4, 64}},
                                                                       Case{"SmallNor", {256, 8, 1024}}})),
                         [](const ::testing::TestParamInfo<Case> &param) { return name_of(param.param); });

} // namespace
