// What `dace plan` (and libdace.plan in Python) gives of a plan's result: a
// table for people, JSON with stable keys for scripts, an SVG picture of
// the erases per cluster of each part in each allocation mode, and the
// answer in words.
#ifndef DACE_TOOLS_PLAN_REPORT_H
#define DACE_TOOLS_PLAN_REPORT_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/plan.h"

namespace dace_tool {

// The table, within 80 columns: the parts and their figures, the workload,
// then one column per part and mode, the answer in words, and how the
// figures were found.
std::string plan_table(const PlanResult &r);

// The answer in words, a line each: how much longer one mode lasts than the
// other on each part, which part lasts longest in each mode, and whether
// the parts differ in capacity.
std::vector<std::string> plan_answers(const PlanResult &r);

// The report as JSON, its figures to 4 significant digits. Stable keys,
// <mode> being "first_fit" or "wear_levelling" (those that ran):
//   version                      the tool's, to rerun a sign-off with
//   input                        the workload document as read (plan_document), every part figure in it
//   answer                       plan_answers
//   same_capacity                false when the parts differ in size
//   parts                        [{label, part (part_document), capacity_bytes, build,
//                                  state_block_bytes, and each key below}] a part each
// and the keys below for the first part (what a report of one part gave):
//   part_about                   what the part class stands for
//   boot_ms.<mode>.{empty,typical,full}   empty: a fresh part, the log created
//   boot_call_share.<mode>.{empty,typical,full}   the share of per-call costs, 0 to 1
//   boot_cost.<mode>.{empty,typical,full}.{bytes_read,read_calls,pages_read,pages_programmed,erases}
//   worst_write_ms.<mode>        the longest a record's write blocked, worst timings
//   latency_ms.<mode>.<op>.{count,mean,worst,worst_cost}   op: write, flush,
//                                settings, rotate, erase_ahead, boot; count and
//                                mean over the window (mean null when count is
//                                0), worst and its cost over the whole run
//   erases_per_day.<mode>.{worst_cluster,mean_cluster}   over the window
//   halves.<mode>.{days,earlier,recent}   the window's halves at the last settling test,
//                                each {worst_cluster,mean_cluster,programmed_per_user_byte};
//                                null before the first
//   life_years.<mode>            null when the most erased cluster is never erased
//   life_years_range.<mode>      [low, high] it moved over when not settled, else null
//   programmed_per_user_byte.<mode>
//   run.<mode>.{period_days,cycle_days,warmed_up,warmup_days,simulated_days,settled,
//               settled_day,tolerance}   warmup_days and settled_day null when not reached
//   window.<mode>.{days,user_bytes,programmed_bytes,erases,erases_per_cluster,
//                 ops.<op>.{count,bytes_read,read_calls,pages_read,pages_programmed,erases}}
//   settling.<mode>              [{worst_cluster,mean_cluster,programmed_per_user_byte}]
//                                the window's figures at the end of each of its periods
//   erases_per_cluster.<mode>    [count of cluster 0, 1, ...] at the end of the run
nlohmann::json plan_report_json(const PlanResult &r);

// The picture: each cluster's erases a day over the window, a panel per
// part and mode side by side on one logarithmic scale, the projected life
// in each.
std::string plan_svg(const PlanResult &r);

// The part classes with the figures each assumes and where they come from,
// one paragraph each; as JSON, an array of part documents (each the form of
// a part file).
std::string part_classes_text();
nlohmann::json part_classes_json();

// The workload (or part) document of a JSON file; an Error names the file
// and what is wrong with it.
nlohmann::json load_workload(const std::string &path);

} // namespace dace_tool

#endif // DACE_TOOLS_PLAN_REPORT_H
