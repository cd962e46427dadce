// The torture harness: named workloads driven through the file interface
// against a model of what each commit made durable, on a simulated medium
// that can lose power or wear out at any point, and the checks that a
// reboot must pass.
#ifndef DACE_TESTS_TORTURE_TORTURE_H
#define DACE_TESTS_TORTURE_TORTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"
#include "tests/checks.h"

namespace dace_torture {

using dace_sim::FlashSim;
using dace_sim::Geometry;
using dace_check::Files;

// DACE_TORTURE_SCALE: how many times the default set to run (seeds per
// workload, worn-flash runs). 1 when unset.
uint32_t scale();
// At the default scale each allocation mode takes every other item of a
// workload's work (cut point or worn-flash seed), so that both modes
// together cost what one did; at DACE_TORTURE_SCALE=2 or more, or with a
// seed given to replay, each mode takes every item.
bool in_share(bool level_wear, uint64_t item);
// Failures the running test has reported so far.
int reported_failures();
// A named setting from the environment, or `fallback`.
uint32_t env_number(const char *name, uint32_t fallback);

// Ends a workload early: the power went, or a check failed and was reported.
struct Stop {
    bool power_lost;
};

// One write as the library made it.
struct WriteRecord {
    uint32_t page;
    uint32_t count;
    bool root; // a root copy (else a data cluster)
};

// Failures the medium handed to the library, counted where they happened.
struct MediumTally {
    uint64_t short_writes = 0, short_reads = 0, failed_erases = 0;
};

// The simulator behind the library's callbacks, with a tape of every write
// that tells root copies from data clusters.
class Medium {
public:
    // With `level_wear`, every mount turns wear levelling on, from a cursor
    // that moves from boot to boot as a boot counter would move it, starting
    // from boot `first_boot`.
    Medium(Geometry g, uint16_t max_files, bool level_wear = false, uint32_t first_boot = 0);
    Medium(const Medium &) = delete;
    Medium &operator=(const Medium &) = delete;

    FlashSim sim;
    dace_config cfg;
    std::vector<WriteRecord> writes;
    std::vector<uint64_t> block;
    MediumTally tally;
    bool level_wear;
    uint32_t boots;

    // A fresh state block, mounted; null when the mount refuses.
    dace_state *mount();

private:
    static uint32_t read_cb(void *ctx, uint32_t page, void *dst, uint32_t count);
    static uint32_t write_cb(void *ctx, uint32_t page, const void *src, uint32_t count);
    static uint32_t erase_cb(void *ctx, uint32_t first, uint32_t count);
};

// How the driver takes a result that is not success while the power is on:
// in Exact mode it is a fault of the library; in Tolerant mode (worn flash)
// the model follows whatever the documented result says happened.
enum class Mode { Exact, Tolerant };

// Figures of one run of a workload.
struct RunStats {
    uint32_t ops = 0, commits = 0, failed_commits = 0, short_appends = 0, refusals = 0;
    uint32_t fullest_free_clusters = 0xFFFFFFFF; // fewest free clusters seen
};

// Drives a workload: every call goes to the library and to the model, and
// every result is checked against the codes the call may return. After a
// commit that succeeds the medium holds exactly `now()`; after one that
// fails it holds the previous commit or that one, whole.
class Driver {
public:
    Driver(Medium &m, Mode mode, uint32_t seed, bool verify_commits);

    // The first mount: formats the blank medium.
    void start();
    // Goes on from a volume already mounted that holds `files`.
    void resume(dace_state *s, const Files &files);

    bool create(const std::string &name);
    // Opens an existing file and positions it at its end, ready to append.
    bool open(const std::string &name);
    bool close(const std::string &name);
    bool flush(const std::string &name);
    // Appends `n` fresh bytes through the file's handle.
    bool append(const std::string &name, uint32_t n);
    // Seeks to a random earlier position, reads and checks up to `n` bytes,
    // then returns to the end.
    bool peek(const std::string &name, uint32_t n);
    bool remove(const std::string &name);
    bool rename(const std::string &from, const std::string &to);
    bool truncate(const std::string &name, uint32_t length);
    // Commits whatever is staged without a handle.
    bool commit();
    // Closes every open file; in Tolerant mode a file whose close keeps
    // failing is left open in the library and dropped from the driver.
    void close_all();

    bool exists(const std::string &name) const { return now_.contains(name); }
    bool is_open(const std::string &name) const { return open_.count(name) != 0; }
    uint32_t size(const std::string &name) const;
    uint32_t free_clusters() const;
    // Clusters a write could take now: free ones not held until the next
    // commit.
    uint32_t spare_clusters() const;
    uint32_t payload() const { return s_->clus_payload; }
    // Erases the medium has made so far, an erase cut short included.
    uint64_t erases() const;
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    // The names of the files, in sorted order.
    std::vector<std::string> names() const;

    const Files &now() const { return now_; }
    // What a reboot may find: the last commit that succeeded, then every
    // commit that failed since.
    const std::vector<Files> &candidates() const { return candidates_; }
    const RunStats &stats() const { return stats_; }
    dace_state *state() const { return s_; }
    void set_mode(Mode mode) { mode_ = mode; }
    // Called before every operation (the worn-flash runs arm faults here).
    void set_before_op(void (*hook)(void *, Driver &), void *ctx) {
        before_op_ = hook;
        before_ctx_ = ctx;
    }

private:
    struct OpenFile {
        dace_handle handle;
        uint32_t pos;
    };

    void begin_op();
    void end_op();
    // A result that is not success: fine in Tolerant mode, a failure in
    // Exact mode unless the power went.
    bool refused(const std::string &what, long result);
    void committed();
    void commit_failed();
    void check_power();
    bool seek_to(const std::string &name, OpenFile &f, uint32_t target);

    Medium &m_;
    dace_state *s_ = nullptr;
    Mode mode_;
    bool verify_commits_;
    std::mt19937 rng_;
    Files now_;
    std::vector<Files> candidates_{Files{}};
    std::map<std::string, OpenFile> open_;
    RunStats stats_;
    void (*before_op_)(void *, Driver &) = nullptr;
    void *before_ctx_ = nullptr;
    uint32_t data_seed_ = 0;
};

struct Workload {
    const char *name;
    const char *about;
    Geometry geometry;
    uint16_t max_files;
    void (*run)(Driver &);
};

const std::vector<Workload> &workloads();

// What a device does first after a reboot: appends to a file, writes a new
// one, removes and renames; each a commit on a volume that a power cut may
// have left with a half-written root copy or a half-erased cluster.
void after_reboot(Driver &d);

// The workloads as test parameters, each in both allocation modes: first
// fit from cluster 0, and next fit from a cursor (dace_level_wear). The
// test's name ends in the workload's name and _first_fit or _level_wear.
struct WorkloadParam {
    const Workload *workload;
    bool level_wear;
};
// "first fit" or "wear levelling", for the printed lines.
const char *mode_name(bool level_wear);
// The --gtest_filter that runs this workload in this mode alone, for the
// suite named by `suite` ("PowerCut" or "WornFlash").
std::string replay_filter(const char *suite, const WorkloadParam &p);
// The seeds a test runs: the one DACE_TORTURE_SEED names, else scale()
// seeds from `first`.
std::vector<uint32_t> seeds_from(uint32_t first);
// The command that runs `seed` of this workload and mode in `suite` alone.
std::string replay_command(const char *suite, const WorkloadParam &p, uint32_t seed);
void PrintTo(const WorkloadParam &p, std::ostream *os);
std::vector<WorkloadParam> workload_params();
std::string workload_label(const ::testing::TestParamInfo<WorkloadParam> &p);

// Figures of the whole run, printed when it ends.
struct Totals {
    uint32_t cut_workloads = 0, worn_workloads = 0, worn_runs = 0, worn_cut = 0;
    uint64_t cut_points = 0, cut_again = 0;
    uint64_t format_trials = 0, configuration_trials = 0;
    std::map<std::string, uint64_t> cut_points_by_kind, cut_points_by_mode, worn_runs_by_mode;
};
Totals &totals();

// A volume as a workload leaves it, uncut, every file closed: the medium's
// bytes and the files committed on it. The sweeps of formats and of wrong
// configurations start from these.
struct MadeVolume {
    std::vector<uint8_t> bytes;
    Files files;
    // Begun by a writer that recorded no size: a smaller mount that still
    // sees that writer's root cluster takes its stale directory.
    bool older_writer = false;
};
MadeVolume made_volume(const Workload &w, bool level_wear, uint32_t seed);

// ---- checks after a reboot ----

// What was found, and how it differs from what a reboot may find.
std::string describe(const Files &found, const std::vector<Files> &candidates);
// Every file of the mounted volume, read whole; a file that cannot be read
// is reported.
Files files_on(dace_state *s);
// Reboots and mounts: the volume must hold one of `candidates` exactly,
// with every cluster accounted for. Null (with the
// failure reported) when it does not; `found` receives the files.
dace_state *mount_and_match(Medium &m, const std::vector<Files> &candidates, Files *found, const std::string &where);
// The mounted volume takes a full medium's worth of new data without harm
// to `found`, gives the space back, and keeps a further append across
// another remount. `worn` clusters may turn bad on the way.
void prove_usable(Medium &m, dace_state *s, Files found, uint32_t worn, const std::string &where);
// Both of the above, and every chain intact on the medium.
void check_reboot(Medium &m, const std::vector<Files> &candidates, uint32_t worn, const std::string &where);

} // namespace dace_torture

#endif // DACE_TESTS_TORTURE_TORTURE_H
