// What `dace plan` (and libdace.plan in Python) gives of a plan's result: a
// table for people, JSON with stable keys for scripts, and an SVG picture
// of the erase count per cluster in each allocation mode.
#ifndef DACE_TOOLS_PLAN_REPORT_H
#define DACE_TOOLS_PLAN_REPORT_H

#include <string>

#include <nlohmann/json.hpp>

#include "tools/plan.h"

namespace dace_tool {

// The table: the part and its figures, the workload, then one column per
// mode, and how the figures were found.
std::string plan_table(const PlanResult &r);

// The report as JSON. Stable keys, <mode> being "first_fit" or
// "wear_levelling" (those that ran):
//   input                        the workload document as read (plan_document)
//   part_about                   what the part class stands for
//   boot_ms.<mode>.{empty,typical,full}
//   worst_write_ms.<mode>        the longest a record's write blocked, worst timings
//   boot_cost.<mode>.{empty,typical,full}.{bytes_read,pages_programmed,erases}
//   latency_ms.<mode>.<op>.{count,mean,worst,worst_cost}   op: write, flush,
//                                settings, rotate, erase_ahead, boot; count and
//                                mean over the window (mean null when count is
//                                0), worst and its cost over the whole run
//   erases_per_day.<mode>.{worst_cluster,mean_cluster}
//   life_years.<mode>            null when the most erased cluster is never erased
//   programmed_per_user_byte.<mode>
//   run.<mode>.{period_days,warmed_up,warmup_days,simulated_days,settled,settled_day,
//               tolerance}       warmup_days and settled_day null when not reached
//   window.<mode>.{days,user_bytes,programmed_bytes,erases,ops.<op>.{count,
//                 bytes_read,pages_programmed,erases}}   what the means and rates count
//   settling.<mode>              [{worst_cluster,mean_cluster,programmed_per_user_byte}]
//                                the figures at the end of each period of the window
//   erases_per_cluster.<mode>    [count of cluster 0, 1, ...] at the end of the run
nlohmann::json plan_report_json(const PlanResult &r);

// The picture: erase count per cluster at the end of the run, one panel per
// mode side by side on one scale.
std::string plan_svg(const PlanResult &r);

// The part classes with the figures each assumes, one paragraph each.
std::string part_classes_text();

// The workload document of a JSON file; an Error names the file and what
// is wrong with it.
nlohmann::json load_workload(const std::string &path);

} // namespace dace_tool

#endif // DACE_TOOLS_PLAN_REPORT_H
