// What the subcommands share for output: where text goes, JSON for scripts,
// times, and a progress bar that shows only on a terminal.
#ifndef DACE_TOOLS_OUTPUT_H
#define DACE_TOOLS_OUTPUT_H

#include <cstdint>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

namespace dace_tool {

struct Output {
    std::ostream &out;
    std::ostream &err;
    bool json = false;
    bool progress = false; // draw progress bars on stderr
    bool color = false;    // colour the map
};

// Output to stdout/stderr, with progress and colour only where a person sees them.
Output terminal_output(std::ostream &out, std::ostream &err, bool json);

// JSON text that survives names that are not UTF-8.
void print_json(Output &o, const nlohmann::json &j);

// A stamp (Unix nanoseconds) in local time, as ls shows it:
// "YYYY-MM-DD HH:MM:SS", with the offset from UTC ("+0100") when
// `with_zone`; "-" for 0.
std::string stamp_text(uint64_t stamp, bool with_zone = false);
// A stamp as ISO 8601 in UTC ("2025-12-06T05:46:40Z"), for JSON; "" for 0.
std::string stamp_iso(uint64_t stamp);
// Bytes as df -h shows them: 512, 4.0K, 36K, 1.0M (powers of 1024, rounded up).
std::string human_size(uint64_t bytes);

class Progress {
public:
    Progress(Output &o, std::string label, uint64_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    void update(uint64_t done);

private:
    Output &out_;
    std::string label_;
    uint64_t total_;
    int shown_ = -1;
};

} // namespace dace_tool

#endif // DACE_TOOLS_OUTPUT_H
