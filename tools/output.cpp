#include "tools/output.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <fmt/format.h>

namespace dace_tool {

Output terminal_output(std::ostream &out, std::ostream &err, bool json) {
    Output o{out, err, json};
    o.progress = ::isatty(STDERR_FILENO) == 1;
    const char *no_color = std::getenv("NO_COLOR");
    o.color = ::isatty(STDOUT_FILENO) == 1 && (no_color == nullptr || *no_color == 0);
    return o;
}

void print_json(Output &o, const nlohmann::json &j) {
    o.out << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

std::string stamp_text(uint64_t stamp, bool with_zone) {
    if (stamp == 0)
        return "-";
    const auto secs = static_cast<time_t>(stamp / 1000000000ull);
    struct tm tm {};
    if (::localtime_r(&secs, &tm) == nullptr || tm.tm_year > 8099)
        return std::to_string(stamp);
    const std::string text = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1,
                                         tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (!with_zone)
        return text;
    const long off = tm.tm_gmtoff / 60;
    return fmt::format("{} {}{:02}{:02}", text, off < 0 ? '-' : '+', std::labs(off) / 60, std::labs(off) % 60);
}

std::string stamp_iso(uint64_t stamp) {
    if (stamp == 0)
        return "";
    const auto secs = static_cast<time_t>(stamp / 1000000000ull);
    struct tm tm {};
    if (::gmtime_r(&secs, &tm) == nullptr || tm.tm_year > 8099)
        return std::to_string(stamp);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string human_size(uint64_t bytes) {
    static constexpr char kUnits[] = "KMGT";
    if (bytes < 1024)
        return std::to_string(bytes);
    uint64_t scale = 1024;
    size_t unit = 0;
    while (unit + 1 < sizeof kUnits - 1 && bytes >= scale * 1024) {
        scale *= 1024;
        ++unit;
    }
    // One decimal below 10, as df -h; always rounded up, so a size never shows smaller than it is.
    const uint64_t tenths = (bytes * 10 + scale - 1) / scale;
    if (tenths < 100)
        return fmt::format("{}.{}{}", tenths / 10, tenths % 10, kUnits[unit]);
    return fmt::format("{}{}", (bytes + scale - 1) / scale, kUnits[unit]);
}

Progress::Progress(Output &o, std::string label, uint64_t total)
    : out_(o), label_(std::move(label)), total_(total) {}

Progress::~Progress() {
    if (shown_ >= 0)
        out_.err << '\r' << std::string(label_.size() + 40, ' ') << '\r' << std::flush;
}

void Progress::update(uint64_t done) {
    if (!out_.progress || total_ == 0)
        return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == shown_)
        return;
    shown_ = percent;
    const int width = 30;
    const int filled = percent * width / 100;
    out_.err << fmt::format("\r{} [{}{}] {:3}%", label_, std::string(size_t(filled), '#'),
                            std::string(size_t(width - filled), ' '), percent)
             << std::flush;
}

} // namespace dace_tool
