// `dace plan`: its accounting against a workload whose programs and erases
// follow from the format's rules by hand, how its projections answer a
// changed workload and a longer run (and, for workloads that fill the part,
// a year's run), parts compared, and the tool's output and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <regex>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include "dace/dace.h"
#include "tests/tool/tool_fixture.h"
#include "tools/plan.h"
#include "tools/plan_report.h"

namespace {

using dace_tool::Cost;
using dace_tool::Figures;
using dace_tool::Mode;
using dace_tool::ModeRun;
using dace_tool::Op;
using dace_tool::plan_input;
using dace_tool::PlanResult;
using dace_tool::run_plan;
using nlohmann::json;
using tool_test::Result;
using tool_test::Tool;

// 64 clusters of 4 pages of 256 bytes, each one erase block: a cluster
// carries 1016 bytes of a file behind its 8-byte header. Timings that read
// off as whole numbers: a byte read takes 1 µs, a page program 1 ms (2
// worst), an erase 10 ms (20); commands cost nothing.
json hand_part() {
    return json{{"page_size", 256},       {"clus_pages", 4},      {"pages", 256},      {"erase_block", 1024},
                {"read_mb_s", 1},         {"read_call_us", 0},    {"page_read_us", 0}, {"program_us", 1000},
                {"program_us_max", 2000}, {"program_call_us", 0}, {"erase_ms", 10},    {"erase_ms_max", 20},
                {"erase_call_us", 0},     {"endurance", 1000}};
}

// A record of exactly two clusters' data every minute, each flushed; the
// log rotates after three records and one old log is kept.
json hand_workload() {
    return json{{"part", hand_part()},
                {"record", {{"size", 2032}, {"interval", "60s"}, {"flush_every", 1}}},
                {"log", {{"max_size", 3 * 2032}, {"keep", 1}}},
                {"settings", {{"size", 0}}},
                {"config", {{"max_files", 2}}}};
}

// The same part with a log of uneven records and an hourly settings file.
json mixed_workload() {
    json part = hand_part();
    part["pages"] = 512;
    part["endurance"] = 10000;
    return json{{"part", part},
                {"record", {{"size", 100}, {"interval", "20s"}, {"flush_every", 3}}},
                {"log", {{"max_size", "8K"}, {"keep", 2}}},
                {"settings", {{"size", 64}, {"every", "1h"}}},
                {"config", {{"max_files", 3}}}};
}

const ModeRun &run_of(const PlanResult &r, Mode m) {
    const auto it = std::find_if(r.runs.begin(), r.runs.end(), [m](const ModeRun &x) { return x.mode == m; });
    EXPECT_NE(it, r.runs.end());
    return *it;
}

double window_days(const ModeRun &m) { return double(m.periods - m.warmup_periods); }

// The hand count. Each record starts with the log's newest cluster full,
// so its write takes a cluster for the first 1016 bytes, writes it out
// whole (header and data from the first page: 4 pages) and takes another
// for the rest; once the run has reached every cluster it will reach,
// every cluster taken has been used and is erased first: 2 erases. The
// flush writes that second cluster (4 pages) and one root copy: a 32-byte
// header, at most three entries and an entry's worth of zero fill fit one
// page. Every third record the log is renamed to log.1 (close has nothing
// left to write): one root copy more. Four copies every three records fill
// the 4-page root cluster once, so the root moves to a fresh cluster once
// per rotation: one erase more, made by the next write, whose staging
// finds no room left. A day of 1440 records is 480 rotations: 3360
// erases, and 28 pages of 256 bytes programmed per 6096 bytes of records.
TEST(PlanAccounting, HandCountedLogMatchesTheSimulatedOne) {
    const PlanResult r = run_plan(plan_input(hand_workload()));
    ASSERT_EQ(r.runs.size(), 2u);
    for (const ModeRun &m : r.runs) {
        SCOPED_TRACE(dace_tool::mode_key(m.mode));
        ASSERT_TRUE(m.warmed_up);
        ASSERT_TRUE(m.settled());
        const double days = window_days(m);
        const auto per_day = [&](uint64_t n) { return double(n) / days; };

        const dace_tool::OpTally &write = m.mean_of(Op::Write);
        EXPECT_EQ(per_day(write.count), 1440);
        EXPECT_EQ(write.total.pages_programmed, 4 * write.count);
        EXPECT_EQ(3 * write.total.erases, 7 * write.count);
        EXPECT_EQ(write.total.bytes_read, 0u);

        const dace_tool::OpTally &flush = m.mean_of(Op::Flush);
        EXPECT_EQ(per_day(flush.count), 1440);
        EXPECT_EQ(flush.total, (Cost{0, 0, 0, 5 * flush.count, 0}));

        const dace_tool::OpTally &rotate = m.mean_of(Op::Rotate);
        EXPECT_EQ(per_day(rotate.count), 480);
        EXPECT_EQ(rotate.total, (Cost{0, 0, 0, rotate.count, 0}));

        EXPECT_EQ(per_day(m.erases), 3360);
        EXPECT_DOUBLE_EQ(m.figures.mean_erases_per_day, 3360.0 / 64);
        EXPECT_DOUBLE_EQ(m.figures.programmed_per_byte, 28.0 * 256 / 6096);

        // 4 pages and 2 erases, and one write in three moves the root.
        const dace_tool::Part &p = r.input.parts[0];
        EXPECT_NEAR(cost_ms(p, write.total) / double(write.count), 4 + 10 * 7.0 / 3, 1e-9);
        EXPECT_DOUBLE_EQ(m.worst_of(Op::Write).worst_ms, 4 * 2 + 3 * 20);
        EXPECT_DOUBLE_EQ(cost_ms(p, flush.total) / double(flush.count), 5);

        // A fresh volume's mount reads each cluster's 8-byte header, the
        // root copy's 32-byte header and the root cluster whole (a read
        // each, touching 64 + 1 + 4 pages); creating the log and seeking to
        // its end commits one root copy.
        EXPECT_EQ(m.boot_empty, (Cost{64 * 8 + 32 + 1024, 66, 69, 1, 0}));
        EXPECT_DOUBLE_EQ(cost_ms(p, m.boot_empty), 2.568);
    }
}

// The same erases, placed differently: first fit erases the clusters at
// the start of the part again and again, the cursor spreads them evenly.
TEST(PlanAccounting, WearLevellingSpreadsWhatFirstFitConcentrates) {
    const PlanResult r = run_plan(plan_input(hand_workload()));
    const ModeRun &first = run_of(r, Mode::FirstFit);
    const ModeRun &levelled = run_of(r, Mode::WearLevelling);
    EXPECT_DOUBLE_EQ(first.figures.mean_erases_per_day, levelled.figures.mean_erases_per_day);
    EXPECT_GT(first.figures.worst_erases_per_day, 3 * first.figures.mean_erases_per_day);
    EXPECT_LE(levelled.figures.worst_erases_per_day, 1.05 * levelled.figures.mean_erases_per_day);
    const std::vector<uint64_t> &spread = levelled.erases_per_cluster;
    EXPECT_EQ(std::count(spread.begin(), spread.end(), 0u), 0);
    const std::vector<uint64_t> &piled = first.erases_per_cluster;
    EXPECT_GT(std::count(piled.begin(), piled.end(), 0u), 32);
    const dace_tool::Part &p = r.input.parts[0];
    ASSERT_TRUE(dace_tool::life_years(p, first));
    EXPECT_NEAR(*dace_tool::life_years(p, first), 1000 / first.figures.worst_erases_per_day / 365.25, 1e-12);
    EXPECT_GT(*dace_tool::life_years(p, levelled), 3 * *dace_tool::life_years(p, first));
}

// Erasing ahead after each record moves the erases out of the writes: a
// write then blocks on no erase at all, and the erases are the same.
TEST(PlanAccounting, EraseAheadTakesTheErasesOutOfTheWrites) {
    json doc = hand_workload();
    doc["config"]["erase_ahead"] = 8;
    doc["config"]["wear_levelling"] = true;
    const PlanResult r = run_plan(plan_input(doc));
    const ModeRun &m = r.runs.front();
    EXPECT_EQ(m.worst_of(Op::Write).worst.erases, 0u);
    EXPECT_EQ(m.mean_of(Op::EraseAhead).total.erases, m.erases);
    EXPECT_DOUBLE_EQ(m.figures.mean_erases_per_day, 3360.0 / 64);
}

// A reboot every hour is a boot of its own, reading at least every
// cluster's header and the root cluster; the records go on after it.
TEST(PlanAccounting, RebootsAreBootsThatReadEveryClusterHeader) {
    json doc = hand_workload();
    doc["reboot"]["every"] = "1h";
    const PlanResult r = run_plan(plan_input(doc));
    for (const ModeRun &m : r.runs) {
        SCOPED_TRACE(dace_tool::mode_key(m.mode));
        const dace_tool::OpTally &boot = m.mean_of(Op::Boot);
        EXPECT_EQ(double(boot.count) / window_days(m), 24);
        EXPECT_GE(boot.total.bytes_read, boot.count * (64 * 8 + 32 + 1024));
        EXPECT_EQ(double(m.mean_of(Op::Write).count) / window_days(m), 1440);
    }
}

// The rates are a day's whatever the period the figures are taken in: the
// hand count's, in periods of six hours.
TEST(PlanAccounting, RatesAreADaysWhateverThePeriod) {
    json doc = hand_workload();
    doc["run"]["period"] = "6h";
    const PlanResult r = run_plan(plan_input(doc));
    for (const ModeRun &m : r.runs) {
        SCOPED_TRACE(dace_tool::mode_key(m.mode));
        ASSERT_TRUE(m.settled());
        EXPECT_DOUBLE_EQ(double(m.erases) / (window_days(m) / 4), 3360);
        EXPECT_DOUBLE_EQ(m.figures.mean_erases_per_day, 3360.0 / 64);
        EXPECT_DOUBLE_EQ(m.figures.programmed_per_byte, 28.0 * 256 / 6096);
    }
}

// Verified reads check what a read loads, at no further cost to the
// medium: with boots reading the settings and the log's end every hour,
// every figure is the same with them on.
TEST(PlanAccounting, VerifiedReadsReadNoMore) {
    json doc = mixed_workload();
    doc["reboot"]["every"] = "1h";
    doc["run"]["max_days"] = 3;
    const json plain = dace_tool::plan_report_json(run_plan(plan_input(doc)));
    doc["config"]["verify_reads"] = true;
    const json verified = dace_tool::plan_report_json(run_plan(plan_input(doc)));
    EXPECT_GT(plain["window"]["first_fit"]["ops"]["boot"]["count"], 0);
    for (const char *key : {"window", "boot_cost", "latency_ms", "erases_per_day"})
        EXPECT_EQ(plain[key], verified[key]) << key;
}

// Twice the records (and flushes) a day, with the hourly settings file
// the same, erase about twice as fast.
TEST(PlanProjection, DoublingTheRecordRateAboutHalvesTheLife) {
    json doc = mixed_workload();
    const PlanResult slow = run_plan(plan_input(doc));
    doc["record"]["interval"] = "10s";
    const PlanResult fast = run_plan(plan_input(doc));
    for (const Mode mode : {Mode::FirstFit, Mode::WearLevelling}) {
        SCOPED_TRACE(dace_tool::mode_key(mode));
        const auto slow_life = dace_tool::life_years(slow.input.parts[0], run_of(slow, mode));
        const auto fast_life = dace_tool::life_years(fast.input.parts[0], run_of(fast, mode));
        ASSERT_TRUE(slow_life && fast_life);
        EXPECT_NEAR(*fast_life / *slow_life, 0.5, 0.05);
    }
}

// The settled figures against a run three times as long: none moves by
// more than the tolerance it settled to.
TEST(PlanProjection, ALongerRunMovesNoSettledFigureBeyondTheTolerance) {
    json doc = mixed_workload();
    const PlanResult settled = run_plan(plan_input(doc));
    const double tolerance = settled.input.run.tolerance;
    uint32_t longest = 0;
    for (const ModeRun &m : settled.runs)
        longest = std::max(longest, m.window_periods());
    doc["run"]["min_periods"] = 3 * longest;
    const PlanResult longer = run_plan(plan_input(doc));
    for (const Mode mode : {Mode::FirstFit, Mode::WearLevelling}) {
        SCOPED_TRACE(dace_tool::mode_key(mode));
        const ModeRun &a = run_of(settled, mode);
        const ModeRun &b = run_of(longer, mode);
        ASSERT_TRUE(a.settled());
        ASSERT_GE(window_days(b), 3 * window_days(a));
        EXPECT_NEAR(a.figures.worst_erases_per_day, b.figures.worst_erases_per_day,
                    tolerance * b.figures.worst_erases_per_day);
        EXPECT_NEAR(a.figures.mean_erases_per_day, b.figures.mean_erases_per_day,
                    tolerance * b.figures.mean_erases_per_day);
        EXPECT_NEAR(a.figures.programmed_per_byte, b.figures.programmed_per_byte,
                    tolerance * b.figures.programmed_per_byte);
    }
}

TEST(PlanProjection, TheSameInputGivesTheSameReport) {
    const PlanResult a = run_plan(plan_input(mixed_workload()));
    const PlanResult b = run_plan(plan_input(mixed_workload()));
    EXPECT_EQ(dace_tool::plan_report_json(a).dump(), dace_tool::plan_report_json(b).dump());
    EXPECT_EQ(dace_tool::plan_svg(a), dace_tool::plan_svg(b));
    EXPECT_EQ(dace_tool::plan_table(a), dace_tool::plan_table(b));
}

// A limit that comes before the figures settle is reported, not hidden.
TEST(PlanProjection, ARunCutShortBeforeSettlingSaysSo) {
    json doc = hand_workload();
    doc["run"]["max_days"] = 3;
    const PlanResult r = run_plan(plan_input(doc));
    for (const ModeRun &m : r.runs) {
        EXPECT_FALSE(m.settled());
        EXPECT_EQ(m.periods, 3u);
    }
    const json j = dace_tool::plan_report_json(r);
    EXPECT_EQ(j["run"]["first_fit"]["settled"], false);
    EXPECT_TRUE(j["run"]["first_fit"]["settled_day"].is_null());
    EXPECT_NE(dace_tool::plan_table(r).find("not settled"), std::string::npos);
}

// Options are laid over the file key by key; a class gives the figures
// that nothing else gives.
TEST(PlanInput, OptionsOverrideTheFileKeyByKey) {
    const json file = {{"part", {{"class", "nand-512"}, {"endurance", 5000}}},
                       {"record", {{"size", 100}, {"interval", 2}}}};
    const json options = {{"record", {{"size", "64"}}}, {"part", {{"erase_ms_max", 12}}}};
    const dace_tool::PlanInput in = plan_input(file, options);
    EXPECT_EQ(in.workload.record_size, 64u);
    EXPECT_EQ(in.workload.record_every_ms, 2000u);
    ASSERT_EQ(in.parts.size(), 1u);
    EXPECT_EQ(in.parts[0].page_size, 512);
    EXPECT_EQ(in.parts[0].endurance, 5000u);
    EXPECT_EQ(in.parts[0].erase_ms_max, 12);
    EXPECT_EQ(in.parts[0].erase_ms, dace_tool::find_part_class("nand-512")->erase_ms);
}

TEST(PlanInput, SizesAndTimesTakeUnits) {
    const auto in = [](json record) { return plan_input(json{{"record", record}}).workload; };
    EXPECT_EQ(in({{"size", "2K"}}).record_size, 2048u);
    EXPECT_EQ(in({{"size", "1.5K"}}).record_size, 1536u);
    EXPECT_EQ(in({{"size", 48}}).record_size, 48u);
    EXPECT_EQ(in({{"interval", "250ms"}}).record_every_ms, 250u);
    EXPECT_EQ(in({{"interval", 0.5}}).record_every_ms, 500u);
    EXPECT_EQ(in({{"interval", "5min"}}).record_every_ms, 300000u);
    EXPECT_EQ(in({{"interval", "2d"}}).record_every_ms, 2u * 86400000);
    EXPECT_EQ(plan_input(json{{"part", {{"class", "nor-4k"}, {"size", "1M"}}}}).parts[0].total_pages, 4096);
}

// Every refusal names the key at fault and why.
TEST(PlanInput, RefusesWhatItCannotRunNamingTheKey) {
    const std::vector<std::pair<json, std::string>> cases = {
        {{{"records", json::object()}}, "records: unknown section"},
        {{{"record", {{"sise", 3}}}}, "record.sise: unknown key"},
        {{{"record", {{"size", -4}}}}, "record.size: -4 is below 1"},
        {{{"record", {{"size", "12Q"}}}}, "record.size: \"12Q\" is not a size"},
        {{{"record", {{"interval", "0ms"}}}}, "record.interval: \"0ms\" is below a millisecond"},
        {{{"record", {{"flush_every", 0}}}}, "record.flush_every: 0 is outside 1"},
        {{{"part", {{"class", "eeprom"}}}}, "part.class: \"eeprom\" is not a class of part"},
        {{{"part", {{"size", 1000}}}}, "part.size: 1000 bytes are not whole pages of 256"},
        {{{"part", {{"size", "4M"}, {"pages", 100}}}}, "part.size: give the part's size or its pages"},
        {{{"part", {{"clus_pages", 3}}}}, "--clus-pages 3 is not a power of two"},
        {{{"part", {{"erase_ms", 50}, {"erase_ms_max", 40}}}}, "part.erase_ms_max: 40 is below the typical 50"},
        {{{"part", {{"read_mb_s", 0}}}}, "part.read_mb_s: 0 must be above 0"},
        {{{"log", {{"name", "seventeen_bytes_x"}}}}, "leaves no room for the old logs"},
        {{{"settings", {{"name", "log.cfg"}}}}, "clashes with the log's names"},
        {{{"config", {{"max_files", 1}}}}, "config.max_files: 1 leaves no handle for the settings file"},
        {{{"config", {{"wear_levelling", "maybe"}}}}, "config.wear_levelling: \"maybe\" is not true, false"},
        {{{"run", {{"tolerance", 2}}}}, "run.tolerance: 2 is a fraction"},
        {{{"run", {{"period", "1min"}}}}, "run.period: 525600 periods in 365 days: at most 100000"},
        {json::array(), "the workload must be a JSON object"},
        // Parts that exist, and those that cannot hold the file system.
        {{{"part", {{"class", "nand-2k"}}}}, "erases blocks of 64 pages (128 KiB)"},
        {{{"part", {{"class", "nor-64k"}}}}, "now nor-4k-quad"},
        {{{"part", {{"erase_block", "128K"}}}}, "part.erase_block: 131072 bytes: a cluster is one erase block or more"},
        {{{"part", {{"clus_pages", 4}}}},
         "part.clus_pages: a cluster of 4 pages of 256 bytes is not whole erase blocks"},
        {{{"part", json::array({"nor-4k", 3})}}, "part[1]: must be a class name or an object"},
        // Figures bounded to what a part has, so that none overflows.
        {{{"part", {{"erase_ms", 1e300}}}}, "part.erase_ms: 1e+300 is above 10000"},
        {{{"part", {{"read_call_us", -1}}}}, "part.read_call_us: -1 must be at least 0"},
        {{{"part", {{"endurance", 1e12}}}}, "part.endurance: 1000000000000 is outside 1 to 100000000"},
        {{{"record", {{"interval", 1e300}}}}, "record.interval: 1e+300 is longer than the longest run"},
        // Larger than 65535 pages: the advice that works.
        {{{"part", {{"size", "64M"}}}},
         "262144 pages of 256 bytes, but a configuration numbers 65535 pages at most: "
         "use a logical page of 8 physical pages (page_size 2048, clus_pages 2: the "
         "same clusters"},
        // What the directory cannot hold, whatever max_files.
        {{{"part", {{"page_size", 32}, {"erase_block", 256}, {"clus_pages", 8}, {"pages", 4096}}},
          {"log", {{"keep", 9}}},
          {"config", {{"max_files", 64}}}},
         "log.keep: the log, 9 old and the settings file and its replacement make 12 files, and a directory in "
         "256-byte clusters (nor-4k) holds 7"},
        {{{"part", {{"size", "64K"}}}, {"log", {{"max_size", "32K"}}}}, "log.max_size: 2 logs of 32768 bytes take"},
    };
    for (const auto &[doc, message] : cases) {
        try {
            plan_input(doc);
            ADD_FAILURE() << doc.dump() << " was taken";
        } catch (const dace_tool::Error &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << doc.dump() << ": " << e.what();
        }
    }
}

// What the report prints as its input is read back to the same input.
TEST(PlanInput, TheDocumentReadsBackAsTheSameInput) {
    json doc = mixed_workload();
    doc["reboot"]["every"] = "1.5h";
    doc["config"]["wear_levelling"] = false;
    const json once = dace_tool::plan_document(plan_input(doc));
    EXPECT_EQ(dace_tool::plan_document(plan_input(once)), once);
    EXPECT_EQ(once["reboot"]["every"], 5400.0);
    EXPECT_EQ(once["config"]["wear_levelling"], false);
}

// ---- workloads that fill the part: settling against a year's run ---------------

// A slowly filling log: 32-byte records every 5 min, flushed every 2, two
// logs of 56 KiB on 128 KiB of 1 KiB clusters (88% of it) and hourly
// settings: a cycle of 13 days, the kind whose most erased cluster a short
// window overstates (a run judged on the average since day 1 settled 21%
// short of a year's run).
json filling_workload() {
    return json{{"part", {{"page_size", 256}, {"clus_pages", 4}, {"pages", 512}, {"erase_block", 1024}}},
                {"record", {{"size", 32}, {"interval", "5min"}, {"flush_every", 2}}},
                {"log", {{"max_size", "56K"}, {"keep", 1}}}};
}

// Growing wear: 1-byte records every 3 min, each flushed, ten logs of 2 KiB
// on 64 KiB of 512-byte clusters: a cycle of 43 days, before which the
// rates still climb (a run judged on the average since day 1 settled at day
// 9 on twice the life a year's run gives).
json growing_workload() {
    return json{{"part", {{"page_size", 32}, {"clus_pages", 16}, {"pages", 2048}, {"erase_block", 512}}},
                {"record", {{"size", 1}, {"interval", "3min"}, {"flush_every", 1}}},
                {"log", {{"max_size", "2K"}, {"keep", 9}}},
                {"settings", {{"size", 0}}},
                {"config", {{"max_files", 2}}}};
}

void expect_within(double settled, double year, double tolerance, const char *what) {
    EXPECT_LE(std::fabs(settled - year), tolerance * year) << what << ": " << settled << " against " << year;
}

// A figure called settled lies within the tolerance of the same workload's
// year-long run (a tolerance of 0 never settles); a run that ends unsettled
// gives its life as a range around the window's.
TEST(PlanSettling, FillingWorkloadsSettleOnlyWithinTheToleranceOfAYearsRun) {
    for (const json &doc : {filling_workload(), growing_workload()}) {
        SCOPED_TRACE(doc["log"].dump());
        json year = doc;
        year["run"] = {{"tolerance", 0}, {"max_days", 365}};
        const PlanResult longer = run_plan(plan_input(year));
        json judged = doc;
        judged["run"]["tolerance"] = 0.15;
        const PlanResult r = run_plan(plan_input(judged));
        for (const ModeRun &m : r.runs) {
            SCOPED_TRACE(dace_tool::mode_key(m.mode));
            const ModeRun &y = run_of(longer, m.mode);
            ASSERT_FALSE(y.settled());
            ASSERT_EQ(y.periods, 365u);
            // The window opens after the workload's first full cycle.
            EXPECT_EQ(m.cycle_periods, (dace_tool::workload_cycle_ms(r.input.workload) + 86399999) / 86400000);
            EXPECT_GE(m.warmup_periods, m.cycle_periods);
            const dace_tool::Part &p = r.input.parts[0];
            if (!m.settled()) {
                const auto range = dace_tool::life_range(p, m);
                ASSERT_TRUE(range);
                EXPECT_LE(range->first, *dace_tool::life_years(p, m));
                EXPECT_GE(range->second, *dace_tool::life_years(p, m));
                continue;
            }
            expect_within(m.figures.worst_erases_per_day, y.figures.worst_erases_per_day, 0.15, "worst cluster");
            expect_within(m.figures.mean_erases_per_day, y.figures.mean_erases_per_day, 0.15, "mean cluster");
            expect_within(m.figures.programmed_per_byte, y.figures.programmed_per_byte, 0.15, "programmed");
        }
    }
}

// The cycle: the logs kept and the live log filled with whole records, in
// step with the settings and the reboots.
TEST(PlanSettling, TheCycleIsTheLogsFilledOnceInStepWithSettingsAndReboots) {
    dace_tool::Workload w; // 32-byte records every second, logs of 64 KiB, one kept
    w.settings_size = 0;
    w.settings_every_ms = 0;
    EXPECT_EQ(dace_tool::workload_cycle_ms(w), 2u * 2048 * 1000);
    w.log_max_size = 64 * 1024 + 1; // a log rotates once a whole record passes its size
    EXPECT_EQ(dace_tool::workload_cycle_ms(w), 2u * 2049 * 1000);
    w.log_max_size = 64 * 1024;
    w.logs_kept = 0;
    EXPECT_EQ(dace_tool::workload_cycle_ms(w), 2048u * 1000);
    w.logs_kept = 1;
    w.settings_size = 128;
    w.settings_every_ms = 1024 * 1000; // in step: their least common multiple
    EXPECT_EQ(dace_tool::workload_cycle_ms(w), 4096u * 1000);
    w.settings_every_ms = 3600 * 1000; // in step only after 256 h: whole hours instead
    EXPECT_EQ(dace_tool::workload_cycle_ms(w), 7200u * 1000);
    w.reboot_every_ms = 2400 * 1000; // in step with those two hours
    EXPECT_EQ(dace_tool::workload_cycle_ms(w), 7200u * 1000);
    w.reboot_every_ms = 10800 * 1000; // in step after 6 h: whole reboot periods
    EXPECT_EQ(dace_tool::workload_cycle_ms(w), 10800u * 1000);
}

// Progress counts simulated days against the days the runs will end at: a
// run that settles ends there, not at max_days.
TEST(PlanSettling, ProgressCountsDaysAgainstTheRunsRealEnd) {
    std::vector<dace_tool::PlanProgress> told;
    const PlanResult r = run_plan(plan_input(hand_workload()), [&](const auto &p) { told.push_back(p); });
    ASSERT_FALSE(told.empty());
    for (size_t i = 0; i < told.size(); ++i) {
        EXPECT_LE(told[i].days_done, told[i].days_end);
        if (i > 0) {
            EXPECT_GE(told[i].days_done, told[i - 1].days_done);
        }
    }
    const dace_tool::PlanProgress &last = told.back();
    EXPECT_EQ(last.runs_done, 2u);
    EXPECT_EQ(last.days_done, last.days_end);
    EXPECT_EQ(last.days_end, double(r.runs[0].periods + r.runs[1].periods));
    EXPECT_EQ(last.slowest_day, double(std::max(r.runs[0].periods, r.runs[1].periods)));
    EXPECT_LT(last.days_end, 2 * 365);
}

// ---- parts: classes that exist, commands priced, compared side by side ---------

// A read pays its call and each page it touches, a program each page's
// command, an erase each erase block's; the bytes and the times come on top.
TEST(PlanParts, CommandsArePricedPerCallPerPageTouchedAndPerBlock) {
    dace_tool::Part p;
    p.page_size = 256;
    p.clus_pages = 16;
    p.erase_block = 1024; // four blocks a cluster
    p.read_mb_s = 1;
    p.read_call_us = 2;
    p.page_read_us = 10;
    p.program_us = 100;
    p.program_us_max = 300;
    p.program_call_us = 5;
    p.erase_ms = 1;
    p.erase_ms_max = 2;
    p.erase_call_us = 7;
    const Cost c{1000, 3, 5, 2, 1};
    const double calls = (3 * 2 + 5 * 10 + 2 * 5 + 4 * 7) / 1e3;
    EXPECT_DOUBLE_EQ(dace_tool::call_ms(p, c), calls);
    EXPECT_DOUBLE_EQ(dace_tool::cost_ms(p, c), 1 + 2 * 0.1 + 4 * 1 + calls);
    EXPECT_DOUBLE_EQ(dace_tool::cost_ms(p, c, true), 1 + 2 * 0.3 + 4 * 2 + calls);
}

// On NAND every cluster header the mount reads is a page loaded: the boot
// is priced by its reads, not its bytes.
TEST(PlanParts, ANandBootPaysAPageLoadForEveryHeader) {
    json doc = hand_workload();
    doc["part"] = {{"class", "nand-512"}, {"size", "2M"}};
    doc["run"]["max_days"] = 1;
    const PlanResult r = run_plan(plan_input(doc));
    const dace_tool::Part &p = r.input.parts[0];
    for (const ModeRun &m : r.runs) {
        for (const Cost &boot : {m.boot_empty, m.boot_typical, m.boot_full}) {
            EXPECT_GE(boot.read_calls, p.clus_count());
            EXPECT_GE(boot.pages_read, p.clus_count() + p.clus_pages); // and the directory's cluster whole
            EXPECT_GE(dace_tool::cost_ms(p, boot), double(boot.pages_read) * p.page_read_us / 1e3);
            EXPECT_GT(dace_tool::call_ms(p, boot), 0.5 * dace_tool::cost_ms(p, boot));
        }
    }
}

// Two parts, one twice the other's size, in one report: a column per part
// and mode, the answer in words, every figure needed to run it again.
TEST(PlanParts, PartsCompareSideBySideInOneReport) {
    json doc = hand_workload();
    json twice = hand_part();
    twice["pages"] = 512;
    twice["label"] = "twice";
    doc["part"] = json::array({hand_part(), twice});
    const PlanResult r = run_plan(plan_input(doc));
    ASSERT_EQ(r.runs.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(r.runs[i].part, i / 2);
    const json j = dace_tool::plan_report_json(r);
    EXPECT_EQ(j["version"], DACE_VERSION);
    EXPECT_EQ(j["same_capacity"], false);
    ASSERT_EQ(j["parts"].size(), 2u);
    EXPECT_EQ(j["parts"][0]["label"], "nor-4k"); // a part of no class is nor-4k's with figures given
    EXPECT_EQ(j["parts"][1]["label"], "twice");
    EXPECT_EQ(j["parts"][1]["state_block_bytes"], DACE_STATE_SIZE(256, 4, 512, 2));
    EXPECT_EQ(j["parts"][1]["capacity_bytes"], 512 * 256);
    EXPECT_EQ(j["life_years"], j["parts"][0]["life_years"]);
    EXPECT_EQ(dace_tool::plan_document(plan_input(j["input"])), j["input"]);

    const auto life = [&](size_t part, Mode mode) {
        return *dace_tool::life_years(
            r.input.parts[part], *std::find_if(r.runs.begin(), r.runs.end(),
                                               [&](const ModeRun &m) { return m.part == part && m.mode == mode; }));
    };
    const std::vector<std::string> answers = j["answer"];
    ASSERT_EQ(answers.size(), 5u);
    const double ratio = life(0, Mode::WearLevelling) / life(0, Mode::FirstFit);
    EXPECT_EQ(answers[0].rfind("wear levelling lasts ", 0), 0u) << answers[0];
    EXPECT_NEAR(std::stod(answers[0].substr(21)), ratio, 0.01 * ratio) << answers[0];
    EXPECT_NE(answers[0].find("× longer than first fit on nor-4k ("), std::string::npos) << answers[0];
    EXPECT_EQ(answers[3].rfind("with wear levelling, twice lasts longest", 0), 0u) << answers[3];
    EXPECT_GT(life(1, Mode::WearLevelling), life(0, Mode::WearLevelling));
    EXPECT_NE(answers[4].find("differ in capacity (nor-4k 64 KiB in 64 clusters, twice 128 KiB in 128 clusters)"),
              std::string::npos)
        << answers[4];

    const std::string table = dace_tool::plan_table(r);
    EXPECT_NE(table.find("twice"), std::string::npos);
    EXPECT_NE(table.find("Wear levelling lasts"), std::string::npos);
}

// ---- the report -------------------------------------------------------------------

// The bars of the picture's paths: each closes with a z.
size_t bars_drawn(const std::string &svg) {
    size_t bars = 0;
    for (size_t at = svg.find("<path d=\""); at != std::string::npos; at = svg.find("<path d=\"", at + 1)) {
        const size_t end = svg.find('"', at + 9);
        bars += size_t(std::count(svg.begin() + long(at), svg.begin() + long(end), 'z'));
    }
    return bars;
}

size_t widest_line(const std::string &text) {
    size_t widest = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto width = std::count_if(line.begin(), line.end(), [](char c) { return (c & 0xC0) != 0x80; });
        widest = std::max(widest, size_t(width));
    }
    return widest;
}

// Every figure to 4 significant digits, the input as given.
void expect_four_digits(const json &j, const std::string &at) {
    if (j.is_number_float()) {
        EXPECT_EQ(j.get<double>(), std::stod(fmt::format("{:.4g}", j.get<double>()))) << at;
    }
    for (auto it = j.begin(); (j.is_object() || j.is_array()) && it != j.end(); ++it)
        if (!j.is_object() || (it.key() != "input" && it.key() != "part"))
            expect_four_digits(*it, at + "/" + (j.is_object() ? it.key() : std::string("#")));
}

// Tables of one part and of three fit 80 columns; JSON figures carry 4
// significant digits; a run cut short shows its life as a range.
TEST(PlanReport, FitsEightyColumnsAndFourDigits) {
    json doc = mixed_workload();
    doc["run"]["max_days"] = 3;
    const PlanResult one = run_plan(plan_input(doc));
    EXPECT_LE(widest_line(dace_tool::plan_table(one)), 80u) << dace_tool::plan_table(one);
    EXPECT_NE(dace_tool::plan_table(one).find("boot, empty, creating log (ms)"), std::string::npos);
    expect_four_digits(dace_tool::plan_report_json(one), "");
    json three = doc;
    three["part"] = json::array({doc["part"], doc["part"], doc["part"]});
    const std::string wide = dace_tool::plan_table(run_plan(plan_input(three)));
    EXPECT_LE(widest_line(wide), 80u) << wide;
    EXPECT_NE(wide.find("nor-4k#3"), std::string::npos);
}

// The picture: a panel per part and mode on one log scale, bars for the
// window's rates, the life in each panel, and what did not settle.
TEST(PlanReport, ThePictureGivesWindowRatesAndLifeInEachPanel) {
    json doc = hand_workload();
    doc["run"]["max_days"] = 3; // does not settle
    const PlanResult r = run_plan(plan_input(doc));
    const std::string svg = dace_tool::plan_svg(r);
    EXPECT_NE(svg.find("erases a day (log scale)"), std::string::npos);
    EXPECT_NE(svg.find("nor-4k: first fit"), std::string::npos);
    EXPECT_NE(svg.find("nor-4k: wear levelling"), std::string::npos);
    const std::regex panel_life("life [0-9.-]+ years \\(not settled\\)");
    EXPECT_EQ(std::distance(std::sregex_iterator(svg.begin(), svg.end(), panel_life), std::sregex_iterator()), 2);
    // A bar for every cluster the window erased, in each panel.
    size_t erased = 0;
    for (const ModeRun &m : r.runs)
        erased +=
            size_t(std::count_if(m.window_erases.begin(), m.window_erases.end(), [](uint64_t n) { return n != 0; }));
    EXPECT_EQ(bars_drawn(svg), erased);
}

// ---- reading documents: depth, numbers ---------------------------------------------

std::string nested(int levels) { return std::string(size_t(levels), '[') + std::string(size_t(levels), ']'); }

// A document nested deeper than any workload is refused while it is read,
// before it is built: 16 levels are read, 17 are not.
TEST(PlanInput, DocumentsNestedTooDeepAreRefusedWhileRead) {
    EXPECT_TRUE(dace_tool::parse_workload(nested(16), "w.json").is_array());
    try {
        dace_tool::parse_workload(nested(17), "w.json");
        ADD_FAILURE() << "17 levels were read";
    } catch (const dace_tool::Error &e) {
        EXPECT_EQ(std::string(e.what()).rfind("w.json: nested deeper than 16 levels", 0), 0u) << e.what();
    }
    try {
        dace_tool::parse_workload(R"({"part": [{"class": "nor-4k"}, {"erase_ms": 1e400}]})", "w.json");
        ADD_FAILURE() << "1e400 was read";
    } catch (const dace_tool::Error &e) {
        EXPECT_STREQ(e.what(), "w.json: part[1].erase_ms: 1e400 is beyond any number a workload holds");
    }
}

// The tool: JSON with the keys scripts rely on, the picture, the table.
TEST_F(Tool, PlanPrintsStableJsonAndDrawsBothModes) {
    std::ofstream(at("hand.json")) << hand_workload().dump();
    const Result r = ok("plan hand.json --json --svg wear.svg");
    EXPECT_EQ(r.err, "");
    const json j = json::parse(r.out);
    for (const char *mode : {"first_fit", "wear_levelling"}) {
        SCOPED_TRACE(mode);
        EXPECT_TRUE(j["boot_ms"][mode]["empty"].is_number());
        EXPECT_TRUE(j["boot_ms"][mode]["typical"].is_number());
        EXPECT_TRUE(j["boot_ms"][mode]["full"].is_number());
        EXPECT_EQ(j["worst_write_ms"][mode], 68.0);
        EXPECT_TRUE(j["life_years"][mode].is_number());
        EXPECT_EQ(j["erases_per_cluster"][mode].size(), 64u);
        EXPECT_TRUE(j["run"][mode]["settled"].get<bool>());
    }
    EXPECT_EQ(j["modes"], json({"first_fit", "wear_levelling"}));
    EXPECT_EQ(j["input"], dace_tool::plan_document(plan_input(hand_workload())));

    const std::string svg = tool_test::slurp(at("wear.svg"));
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("first fit"), std::string::npos);
    EXPECT_NE(svg.find("wear levelling"), std::string::npos);
    // One bar per cluster erased in the window, in each panel.
    size_t erased = 0;
    for (const char *mode : {"first_fit", "wear_levelling"})
        for (const json &n : j["window"][mode]["erases_per_cluster"])
            erased += n.get<uint64_t>() != 0 ? 1 : 0;
    EXPECT_EQ(bars_drawn(svg), erased);

    const Result table = ok("plan hand.json --wear-levelling off");
    EXPECT_NE(table.out.find("first fit"), std::string::npos);
    EXPECT_EQ(table.out.find("wear levelling"), std::string::npos);
    EXPECT_NE(table.out.find("projected life (years)"), std::string::npos);
}

TEST_F(Tool, PlanListsThePartClassesWithTheirFigures) {
    const Result r = ok("plan --parts");
    for (const char *name : {"nor-4k:", "nor-4k-quad:", "nand-512:", "128 Mbit small-page"})
        EXPECT_NE(r.out.find(name), std::string::npos) << name;
    EXPECT_NE(r.out.find("endurance 100000 erase cycles"), std::string::npos);
    // As JSON, each class is a part file that reads back to the class.
    const json classes = json::parse(ok("plan --parts --json").out);
    ASSERT_EQ(classes.size(), dace_tool::part_classes().size());
    for (const json &c : classes) {
        const dace_tool::Part p = plan_input(json{{"part", c}}).parts[0];
        const dace_tool::Part &cls = *dace_tool::find_part_class(c["class"].get<std::string>());
        EXPECT_EQ(dace_tool::part_document(p), dace_tool::part_document(cls)) << c.dump();
    }
    // The worst program of a 4 KiB-sector NOR is the usual 3 ms, whatever the bus.
    EXPECT_EQ(dace_tool::find_part_class("nor-4k-quad")->program_us_max, 3000);
}

// Bad input: one line naming the fault, a non-zero status, never a crash.
TEST_F(Tool, PlanRefusesBadInputInOneLine) {
    std::ofstream(at("hand.json")) << hand_workload().dump();
    std::ofstream(at("cut.json")) << "{\"record\": ";
    fails("plan missing.json", "missing.json: cannot be read");
    fails("plan cut.json", "cut.json: not a JSON workload");
    fails("plan hand.json --record-size 12Q", "record.size: \"12Q\" is not a size");
    fails("plan --part eeprom", "\"eeprom\" is not a class of part");
    fails("plan --tolerance abc", "--tolerance abc: not a number");
    fails("plan --size 4M --pages 100", "--size and --pages both give the part's size");
    fails("plan --offset 4096", "of the medium options it takes --page-size");
    fails("plan hand.json --svg no/such/folder/x.svg", "cannot write no/such/folder/x.svg");
    fails("plan hand.json --log-max-size 1M", "log.max_size: 2 logs of 1048576 bytes take");
    fails("plan hand.json --log-max-size 28K",
          "on day 1 of device time: a record's write fell short: the part is full");
    fails("plan hand.json --erase-ms 1e300", "part.erase_ms: 1e+300 is above 10000");
}

// Classes and part files compared; the part options apply to every part.
TEST_F(Tool, PlanComparesClassesAndPartFilesWithTheOptionsOnEach) {
    std::ofstream(at("hand.json")) << hand_workload().dump();
    std::ofstream(at("mine.json")) << hand_part().dump();
    const json j = json::parse(ok("plan hand.json --part mine.json --part nand-512 --size 1M --endurance 5000 --json "
                                  "--max-days 2")
                                   .out);
    ASSERT_EQ(j["parts"].size(), 2u);
    EXPECT_EQ(j["parts"][0]["label"], "mine");
    EXPECT_EQ(j["parts"][1]["label"], "nand-512");
    for (const json &part : j["input"]["part"]) {
        EXPECT_EQ(part["endurance"], 5000);
        EXPECT_EQ(uint64_t(part["pages"]) * uint64_t(part["page_size"]), 1048576u);
    }
    const Result table = ok("plan hand.json --part mine.json --part nand-512 --size 1M --max-days 2");
    EXPECT_LE(widest_line(table.out), 80u) << table.out;
    fails("plan hand.json --part nope.json", "nope.json: cannot be read");
    fails("plan hand.json --part nand-2k", "erases blocks of 64 pages (128 KiB)");
}

// A workload nested 30,000 levels deep, and a number no double holds: one
// line each, never a crash.
TEST_F(Tool, PlanRefusesDeepAndHugeDocumentsInOneLine) {
    std::ofstream(at("deep.json")) << std::string(30000, '[') << std::string(30000, ']');
    fails("plan deep.json", "deep.json: nested deeper than 16 levels at [0][0][0]");
    std::ofstream(at("deep_part.json")) << "{\"a\":" << std::string(30000, '[') << std::string(30000, ']') << "}";
    fails("plan --part deep_part.json", "deep_part.json: nested deeper than 16 levels");
    std::ofstream(at("huge.json")) << R"({"record": {"size": 1e400}})";
    fails("plan huge.json", "huge.json: record.size: 1e400 is beyond any number a workload holds");
}

} // namespace
