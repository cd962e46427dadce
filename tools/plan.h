// `dace plan`: what a workload costs a flash part, found by running the
// library itself on the simulator (sim/flash_sim.h) in accelerated device
// time. Here are the part and its timings (given, or a class from a small
// table), the workload and the run (read from a JSON document:
// plan_input.cpp), and the run and its accounting (plan.cpp); nothing is
// printed here (plan_report.h turns a result into a table, JSON and a
// picture).
//
// Every figure comes from the simulator's record of the calls the library
// made on the medium: a call's latency is its bytes read over the read
// throughput, plus its pages programmed times the page program time, plus
// its cluster erases times the erase time, each with the part's typical
// and worst figures. The run is deterministic: the same input gives the
// same result, to the bit.
#ifndef DACE_TOOLS_PLAN_H
#define DACE_TOOLS_PLAN_H

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace dace_tool {

// A flash part as a datasheet gives it, and the geometry the library is
// configured with on it.
struct Part {
    std::string name = "custom"; // the class it was taken from, or "custom"
    std::string about;           // what the class stands for, printed beside its figures
    uint16_t page_size = 256;
    uint16_t clus_pages = 16; // pages per cluster: the erase unit
    uint16_t total_pages = 16384;
    double read_mb_s = 20;        // sustained read, 10^6 bytes per second
    double program_us = 700;      // one page, typical
    double program_us_max = 3000; // one page, worst
    double erase_ms = 45;         // one cluster, typical
    double erase_ms_max = 400;    // one cluster, worst
    uint64_t endurance = 100000;  // erase cycles a cluster is good for

    uint32_t clus_size() const { return uint32_t{page_size} * clus_pages; }
    uint32_t clus_count() const { return clus_pages ? total_pages / clus_pages : 0u; }
};

// The typical part classes: "nor-4k", "nor-64k", "nand-2k".
const std::vector<Part> &part_classes();
// The class of that name, or null.
const Part *find_part_class(std::string_view name);

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
};

// How long to simulate, and when the figures count as settled.
// The figures have settled when, over the second half of the window, none
// strayed from its value at the end by more than half the tolerance. The
// most erased cluster's rate comes closer slowly (which cluster is the most
// erased is partly chance, so early windows overstate it); the margin of
// half keeps a longer run from moving a settled figure by more than the
// tolerance.
struct RunLimits {
    uint64_t period_ms = 86400 * 1000; // figures are taken at the end of every period
    uint32_t max_days = 365;           // device time at most
    double tolerance = 0.05;           // a fraction of each figure
    uint32_t min_periods = 8;          // periods after the warm-up before the figures may settle
};

struct PlanInput {
    Part part;
    Workload workload;
    RunLimits run;
};

// The input from a workload document (the JSON file, or {}), with
// `overrides` (the same layout, from the command line) laid over it by
// JSON merge patch. Every key is checked: an unknown key or a value out of
// range is an Error that names it. Sizes are bytes or "64K", "4M"; times
// are seconds or "250ms", "10s", "5min", "1h", "2d".
PlanInput plan_input(const nlohmann::json &document, const nlohmann::json &overrides = nlohmann::json::object());
// The input as a document plan_input reads back to the same input.
nlohmann::json plan_document(const PlanInput &in);

// What calls on the medium did, as the simulator recorded them.
struct Cost {
    uint64_t bytes_read = 0;
    uint64_t pages_programmed = 0; // a program of part of a page counts as a page
    uint64_t erases = 0;           // clusters erased
    Cost &operator+=(const Cost &o) {
        bytes_read += o.bytes_read;
        pages_programmed += o.pages_programmed;
        erases += o.erases;
        return *this;
    }
    bool operator==(const Cost &) const = default;
};

// Milliseconds the part takes for `c`, with its typical or its worst
// program and erase times.
double cost_ms(const Part &p, const Cost &c, bool worst = false);

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
        total.bytes_read -= o.total.bytes_read;
        total.pages_programmed -= o.total.pages_programmed;
        total.erases -= o.total.erases;
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

// One allocation mode, run until its figures settled or the limit.
struct ModeRun {
    Mode mode = Mode::FirstFit;
    uint32_t periods = 0;         // simulated
    uint32_t warmup_periods = 0;  // until every cluster the workload reaches had been reached
    bool warmed_up = false;       // false: the limit came first, and the window is the whole run
    uint32_t settled_period = 0;  // the period the figures settled in; 0: never
    std::vector<Figures> history; // at the end of every period after the warm-up
    Figures figures;              // at the end of the run, over the window after the warm-up

    // Over the window after the warm-up: the means are taken from here.
    std::array<OpTally, kOpCount> window{};
    uint64_t user_bytes = 0;       // records and settings handed to the library
    uint64_t programmed_bytes = 0; // bytes the medium was programmed with
    uint64_t erases = 0;           // clusters erased
    // Over the whole run: the worst cases are taken from here.
    std::array<OpStats, kOpCount> whole{};

    // The boot (mount, settings read, log opened at its end): on a freshly
    // formatted part, on the part as the run left it, and on that part with
    // every free cluster filled.
    Cost boot_empty, boot_typical, boot_full;
    std::vector<uint64_t> erases_per_cluster; // the whole run

    bool settled() const { return settled_period != 0; }
    const OpTally &mean_of(Op op) const { return window[size_t(op)]; }
    const OpStats &worst_of(Op op) const { return whole[size_t(op)]; }
};

struct PlanResult {
    PlanInput input;
    std::vector<ModeRun> runs; // in the order of input.workload.modes
};

// Device days in a period, and the projected years until the most erased
// cluster reaches the part's endurance at the settled rate (none when it
// is never erased).
double period_days(const RunLimits &r);
std::optional<double> life_years(const Part &p, const ModeRun &run);

// Runs every mode. `progress` (may be empty) is told the fraction done,
// from 0 to 1. Throws Error when the workload cannot run on the part (the
// medium fills, the directory or the handles run out), naming why and when.
PlanResult run_plan(const PlanInput &in, const std::function<void(double)> &progress = {});

} // namespace dace_tool

#endif // DACE_TOOLS_PLAN_H
