// `dace plan`: what a workload costs a flash part, found by running the
// library itself on the simulator (sim/flash_sim.h) in accelerated device
// time. Here are the parts and their timings (given, or a class from a small
// table), the workload and the run (read from a JSON document:
// plan_input.cpp), and the run and its accounting (plan.cpp); nothing is
// printed here (plan_report.h turns a result into a table, JSON and a
// picture).
//
// Every figure comes from the simulator's record of the calls the library
// made on the medium: a call's latency is what its commands cost (each read
// call, each page a read touches, each page program and block erase pays a
// fixed cost on the bus), plus its bytes read over the read throughput, plus
// its pages programmed times the page program time, plus its blocks erased
// times the erase time, each with the part's typical and worst figures. The
// run is deterministic: the same input gives the same result, to the bit.
#ifndef DACE_TOOLS_PLAN_H
#define DACE_TOOLS_PLAN_H

#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace dace_tool {

// A flash part as a datasheet gives it, and the geometry the library is
// configured with on it.
struct Part {
    std::string name = "custom"; // the class it was taken from, or "custom"
    std::string label;           // its column in a comparison; empty: the name
    std::string about;           // what the class stands for, printed beside its figures
    std::string source;          // where the class's figures come from
    uint16_t page_size = 256;
    uint16_t clus_pages = 16; // pages per cluster: one or more whole erase blocks
    uint16_t total_pages = 16384;
    uint32_t erase_block = 4096;  // bytes the part erases at once
    double read_mb_s = 20;        // sustained read, 10^6 bytes per second
    double read_call_us = 1;      // each read command: command, address and dummy bytes on the bus
    double page_read_us = 0;      // each page a read touches: a NAND's load of the page into its register
    double program_us = 700;      // one page, typical
    double program_us_max = 3000; // one page, worst
    double program_call_us = 26;  // each page program: command, address and data on the bus, the status poll
    double erase_ms = 45;         // one erase block, typical
    double erase_ms_max = 400;    // one erase block, worst
    double erase_call_us = 2;     // each block erase: its command and the status poll
    uint64_t endurance = 100000;  // erase cycles a block is good for

    uint32_t clus_size() const { return uint32_t{page_size} * clus_pages; }
    uint32_t clus_count() const { return clus_pages ? total_pages / clus_pages : 0u; }
    uint32_t blocks_per_cluster() const { return erase_block ? clus_size() / erase_block : 0u; }
    uint64_t capacity() const { return uint64_t{page_size} * total_pages; }
    const std::string &title() const { return label.empty() ? name : label; }
};

// The entry of that name in a table of named entries, or null.
template <class Named> const Named *find_named(const std::vector<Named> &table, std::string_view name) {
    for (const Named &entry : table)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

// The typical part classes: "nor-4k", "nor-4k-quad", "nand-512".
const std::vector<Part> &part_classes();
// The class of that name, or null.
const Part *find_part_class(std::string_view name);

// A build of the library the firmware may take: what its state block costs
// in RAM for a configuration.
struct Build {
    const char *name;
    uint32_t (*state_block_bytes)(uint16_t page_size, uint16_t clus_pages, uint16_t total_pages, uint16_t max_files);
};
// The builds there are ("default": the library as built here).
const std::vector<Build> &builds();
const Build *find_build(std::string_view name);

// How clusters are taken: first fit from cluster 0, or next fit from a
// cursor (dace_level_wear, started at the boot count).
enum class Mode : uint8_t { FirstFit, WearLevelling };
// "first_fit" or "wear_levelling", the keys of the JSON report.
const char *mode_key(Mode m);

// What the firmware does, in device time (milliseconds).
struct Workload {
    // Log records: appended to the log, flushed every `flush_every` records.
    uint32_t record_size = 32;
    uint64_t record_every_ms = 1000;
    uint32_t flush_every = 10;
    // Rotation: once the log holds `log_max_size` bytes it becomes
    // "<name>.1" (the older ones move up, the oldest beyond `logs_kept` is
    // dropped) and a new log starts; with 0 kept the log is removed.
    std::string log_name = "log";
    uint32_t log_max_size = 64 * 1024;
    uint32_t logs_kept = 1;
    // The settings file: rewritten whole as "<name>.new", then renamed over
    // "<name>" in one commit; 0 bytes or 0 ms: none.
    std::string settings_name = "settings";
    uint32_t settings_size = 128;
    uint64_t settings_every_ms = 3600 * 1000;
    // A reset (records not yet flushed are lost) and a boot; 0: none.
    uint64_t reboot_every_ms = 0;
    // The configuration.
    uint16_t max_files = 4;
    std::vector<Mode> modes = {Mode::FirstFit, Mode::WearLevelling};
    bool verify_reads = false;
    uint16_t erase_ahead = 0; // dace_erase_ahead(N) after every record; 0: never
    std::string build = "default";

    // Files the workload keeps in the directory at once: the log, the old
    // logs, the settings file and its replacement.
    uint32_t files_kept() const { return 1 + logs_kept + (settings_size != 0 ? 2u : 0u); }
};

// How long the workload takes to repeat itself: until the logs kept and the
// live log have filled and rotation starts over, ((logs kept + 1) logs of
// whole records), in step with the settings replacements and the reboots
// (their least common multiple, unless that is more than twice the log's
// cycle: then the log's cycle rounded up to their whole periods).
uint64_t workload_cycle_ms(const Workload &w);

// How long to simulate, and when the figures count as settled.
// The measuring window starts after the workload's first full cycle (and
// once it reaches no cluster it had not reached before). The figures have
// settled when, over a window of an even number of whole cycles (two at
// least), the recent rate (its second half), the rate before it (its first
// half) and the window's agree within half the tolerance: a workload whose
// wear still drifts, or whose most erased cluster is still a matter of
// which cluster a short span happened to favour, does not settle. A
// tolerance of 0 never settles.
struct RunLimits {
    uint64_t period_ms = 86400 * 1000; // figures are taken at the end of every period
    uint32_t max_days = 365;           // device time at most
    double tolerance = 0.05;           // a fraction of each figure
    uint32_t min_periods = 8;          // periods in the window before the figures may settle
};

struct PlanInput {
    std::vector<Part> parts{Part{}}; // compared side by side, each with every mode
    Workload workload;
    RunLimits run;
};

// The input from a workload document (the JSON file, or {}), with
// `overrides` (the same layout, from the command line) laid over it by JSON
// merge patch; an override's "part" that is an array replaces the parts,
// one that is an object is laid over each part. A document's "part" is one
// part (an object: a class and the figures that differ) or an array of
// them (or of class names), compared. Every key is checked: an unknown key
// or a value out of range is an Error that names it. Sizes are bytes or
// "64K", "4M"; times are seconds or "250ms", "10s", "5min", "1h", "2d".
PlanInput plan_input(const nlohmann::json &document, const nlohmann::json &overrides = nlohmann::json::object());
// The input as a document plan_input reads back to the same input.
nlohmann::json plan_document(const PlanInput &in);
// One part as a document: the form of a part file and of `--parts --json`.
nlohmann::json part_document(const Part &p);

// Deepest nesting a workload document may have: far more than any needs.
constexpr int kMaxWorkloadDepth = 16;
// The JSON text of a workload or part document, `source` naming it in an
// Error: one nested deeper than kMaxWorkloadDepth is refused while it is
// read (never built), and a number beyond what the reader holds is refused
// naming its key.
nlohmann::json parse_workload(std::istream &text, const std::string &source);
nlohmann::json parse_workload(const std::string &text, const std::string &source);

// What calls on the medium did, as the simulator recorded them.
struct Cost {
    uint64_t bytes_read = 0;
    uint64_t read_calls = 0;
    uint64_t pages_read = 0;       // pages the reads touched
    uint64_t pages_programmed = 0; // a program of part of a page counts as a page
    uint64_t erases = 0;           // clusters erased
    Cost &operator+=(const Cost &o) {
        bytes_read += o.bytes_read;
        read_calls += o.read_calls;
        pages_read += o.pages_read;
        pages_programmed += o.pages_programmed;
        erases += o.erases;
        return *this;
    }
    Cost &operator-=(const Cost &o) {
        bytes_read -= o.bytes_read;
        read_calls -= o.read_calls;
        pages_read -= o.pages_read;
        pages_programmed -= o.pages_programmed;
        erases -= o.erases;
        return *this;
    }
    bool operator==(const Cost &) const = default;
};

// Milliseconds the part takes for `c`, with its typical or its worst
// program and erase times; and the share of them that the commands take
// (the per-call costs: commands, addresses, page loads, status polls).
double cost_ms(const Part &p, const Cost &c, bool worst = false);
double call_ms(const Part &p, const Cost &c);

// The operations whose latency is reported.
enum class Op : uint8_t { Write, Flush, Settings, Rotate, EraseAhead, Boot };
constexpr size_t kOpCount = 6;
// "write", "flush", "settings", "rotate", "erase_ahead", "boot".
const char *op_key(Op op);

// Calls of one operation and what they cost together: the means.
struct OpTally {
    uint64_t count = 0;
    Cost total;
    OpTally &operator-=(const OpTally &o) {
        count -= o.count;
        total -= o.total;
        return *this;
    }
};

// And the call among them that took longest with the worst timings.
struct OpStats : OpTally {
    Cost worst;
    double worst_ms = 0;
    void add(const Part &p, const Cost &c);
};

// The per-day figures that must settle.
struct Figures {
    double worst_erases_per_day = 0; // of the most erased cluster
    double mean_erases_per_day = 0;  // of the mean cluster
    double programmed_per_byte = 0;  // bytes programmed per byte of user data
};

// One part in one allocation mode, run until its figures settled or the limit.
struct ModeRun {
    size_t part = 0; // in PlanInput::parts
    Mode mode = Mode::FirstFit;
    uint32_t periods = 0;         // simulated
    uint32_t cycle_periods = 0;   // the workload's cycle, in whole periods
    uint32_t warmup_periods = 0;  // before the window: the first full cycle at least
    bool warmed_up = false;       // false: the limit came first, and the window is the whole run
    uint32_t settled_period = 0;  // the period the figures settled in; 0: never
    std::vector<Figures> history; // the window's figures at the end of every period in it
    Figures figures;              // at the end of the run, over the window
    // The halves of the window at the last settling test: the recent rate
    // and the one before it, each `recent_periods` long (0: no test yet).
    Figures earlier, recent;
    uint32_t recent_periods = 0;
    // The most erased cluster's rate over what the settling test looks at:
    // the window's figures over its second half, and the halves compared.
    double worst_low = 0, worst_high = 0;

    // Over the window: the means are taken from here.
    std::array<OpTally, kOpCount> window{};
    uint64_t user_bytes = 0;             // records and settings handed to the library
    uint64_t programmed_bytes = 0;       // bytes the medium was programmed with
    uint64_t erases = 0;                 // clusters erased
    std::vector<uint64_t> window_erases; // per cluster
    // Over the whole run: the worst cases are taken from here.
    std::array<OpStats, kOpCount> whole{};

    // The boot (mount, settings read, log opened at its end): on a freshly
    // formatted part (the log is created), on the part as the run left it,
    // and on that part with every free cluster filled.
    Cost boot_empty, boot_typical, boot_full;
    std::vector<uint64_t> erases_per_cluster; // the whole run

    bool settled() const { return settled_period != 0; }
    uint32_t window_periods() const { return warmed_up ? periods - warmup_periods : periods; }
    const OpTally &mean_of(Op op) const { return window[size_t(op)]; }
    const OpStats &worst_of(Op op) const { return whole[size_t(op)]; }
};

struct PlanResult {
    PlanInput input;
    std::vector<ModeRun> runs; // each part in turn, in the order of input.workload.modes
    const Part &part_of(const ModeRun &run) const { return input.parts[run.part]; }
};

// Device days in a period, and the projected years until the most erased
// cluster reaches the part's endurance at the window's rate (none when it
// is never erased); for a run that did not settle, the years at the span of
// rates it moved over.
double period_days(const RunLimits &r);
std::optional<double> life_years(const Part &p, const ModeRun &run);
std::optional<std::pair<double, double>> life_range(const Part &p, const ModeRun &run);

// The RAM of a part's state block in the workload's build.
uint32_t state_block_bytes(const Part &p, const Workload &w);

// Where the runs are: simulated days done against the days they will
// simulate (a run that settled ends there, one still running at the limit).
struct PlanProgress {
    double days_done = 0, days_end = 0;
    double slowest_day = 0; // the least advanced run still running; once all ended, the last day simulated
    size_t runs_done = 0, runs = 0;
};

// Runs every part in every mode. `progress` (may be empty) is told where
// the runs are, from the calling thread. Throws Error when the workload
// cannot run on a part (the medium fills, the directory or the handles run
// out), naming which, why and when.
PlanResult run_plan(const PlanInput &in, const std::function<void(const PlanProgress &)> &progress = {});

} // namespace dace_tool

#endif // DACE_TOOLS_PLAN_H
