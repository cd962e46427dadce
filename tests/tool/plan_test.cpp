// `dace plan`: its accounting against a workload whose programs and erases
// follow from the format's rules by hand, how its projections answer a
// changed workload and a longer run, and the tool's output and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/tool/tool_fixture.h"
#include "tools/plan.h"
#include "tools/plan_report.h"

namespace {

using dace_tool::Cost;
using dace_tool::Mode;
using dace_tool::ModeRun;
using dace_tool::Op;
using dace_tool::plan_input;
using dace_tool::PlanResult;
using dace_tool::run_plan;
using nlohmann::json;
using tool_test::Result;
using tool_test::Tool;

// 64 clusters of 4 pages of 256 bytes: a cluster carries 1016 bytes of a
// file behind its 8-byte header. Timings that read off as whole numbers: a
// byte read takes 1 µs, a page program 1 ms (2 worst), an erase 10 ms (20).
json hand_part() {
    return json{{"page_size", 256}, {"clus_pages", 4},    {"pages", 256},
                {"read_mb_s", 1},   {"program_us", 1000}, {"program_us_max", 2000},
                {"erase_ms", 10},   {"erase_ms_max", 20}, {"endurance", 1000}};
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
        EXPECT_EQ(flush.total, (Cost{0, 5 * flush.count, 0}));

        const dace_tool::OpTally &rotate = m.mean_of(Op::Rotate);
        EXPECT_EQ(per_day(rotate.count), 480);
        EXPECT_EQ(rotate.total, (Cost{0, rotate.count, 0}));

        EXPECT_EQ(per_day(m.erases), 3360);
        EXPECT_DOUBLE_EQ(m.figures.mean_erases_per_day, 3360.0 / 64);
        EXPECT_DOUBLE_EQ(m.figures.programmed_per_byte, 28.0 * 256 / 6096);

        // 4 pages and 2 erases, and one write in three moves the root.
        const dace_tool::Part &p = r.input.part;
        EXPECT_NEAR(cost_ms(p, write.total) / double(write.count), 4 + 10 * 7.0 / 3, 1e-9);
        EXPECT_DOUBLE_EQ(m.worst_of(Op::Write).worst_ms, 4 * 2 + 3 * 20);
        EXPECT_DOUBLE_EQ(cost_ms(p, flush.total) / double(flush.count), 5);

        // A fresh volume's mount reads each cluster's 8-byte header, the
        // root copy's 32-byte header and the root cluster whole; creating
        // the log and seeking to its end commits one root copy.
        EXPECT_EQ(m.boot_empty, (Cost{64 * 8 + 32 + 1024, 1, 0}));
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
    ASSERT_TRUE(dace_tool::life_years(r.input.part, first));
    EXPECT_NEAR(*dace_tool::life_years(r.input.part, first), 1000 / first.figures.worst_erases_per_day / 365.25, 1e-12);
    EXPECT_GT(*dace_tool::life_years(r.input.part, levelled), 3 * *dace_tool::life_years(r.input.part, first));
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
        const auto slow_life = dace_tool::life_years(slow.input.part, run_of(slow, mode));
        const auto fast_life = dace_tool::life_years(fast.input.part, run_of(fast, mode));
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
    doc["run"]["min_periods"] = 3 * settled.input.run.min_periods;
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
    const json file = {{"part", {{"class", "nand-2k"}, {"endurance", 5000}}},
                       {"record", {{"size", 100}, {"interval", 2}}}};
    const json options = {{"record", {{"size", "64"}}}, {"part", {{"erase_ms_max", 12}}}};
    const dace_tool::PlanInput in = plan_input(file, options);
    EXPECT_EQ(in.workload.record_size, 64u);
    EXPECT_EQ(in.workload.record_every_ms, 2000u);
    EXPECT_EQ(in.part.page_size, 2048);
    EXPECT_EQ(in.part.endurance, 5000u);
    EXPECT_EQ(in.part.erase_ms_max, 12);
    EXPECT_EQ(in.part.erase_ms, dace_tool::find_part_class("nand-2k")->erase_ms);
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
    EXPECT_EQ(plan_input(json{{"part", {{"class", "nor-4k"}, {"size", "1M"}}}}).part.total_pages, 4096);
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
        {json::array(), "the workload must be a JSON object"},
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
    // One bar per cluster erased at least once, in each panel.
    size_t erased = 0;
    for (const char *mode : {"first_fit", "wear_levelling"})
        for (const json &n : j["erases_per_cluster"][mode])
            erased += n.get<uint64_t>() != 0 ? 1 : 0;
    size_t bars = 0;
    for (size_t at = svg.find("<path d=\""); at != std::string::npos; at = svg.find("<path d=\"", at + 1)) {
        const size_t end = svg.find('"', at + 9);
        bars += size_t(std::count(svg.begin() + long(at), svg.begin() + long(end), 'z'));
    }
    EXPECT_EQ(bars, erased);

    const Result table = ok("plan hand.json --wear-levelling off");
    EXPECT_NE(table.out.find("first fit"), std::string::npos);
    EXPECT_EQ(table.out.find("wear levelling"), std::string::npos);
    EXPECT_NE(table.out.find("projected life (years)"), std::string::npos);
}

TEST_F(Tool, PlanListsThePartClassesWithTheirFigures) {
    const Result r = ok("plan --parts");
    for (const char *name : {"nor-4k", "nor-64k", "nand-2k"})
        EXPECT_NE(r.out.find(name), std::string::npos) << name;
    EXPECT_NE(r.out.find("endurance 100000 erase cycles"), std::string::npos);
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
    fails("plan hand.json --log-max-size 1M", "on day 1 of device time: a record's write fell short: the part is full");
}

} // namespace
