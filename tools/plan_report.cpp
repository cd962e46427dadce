#include "tools/plan_report.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numeric>

#include <fmt/format.h>

#include "tools/commands.h"
#include "tools/image_file.h"

namespace dace_tool {

namespace {

using nlohmann::json;

// A time as a person would say it: "250 ms", "1 s", "5 min", "1 h", "2 d".
std::string duration_text(uint64_t ms) {
    static constexpr std::pair<uint64_t, const char *> units[] = {
        {86400000, "d"}, {3600000, "h"}, {60000, "min"}, {1000, "s"}};
    for (const auto &[size, name] : units)
        if (ms >= size && ms % (size / 10 == 0 ? 1 : size / 10) == 0)
            return fmt::format("{:g} {}", double(ms) / double(size), name);
    return fmt::format("{} ms", ms);
}

std::string bytes_text(uint64_t n) {
    if (n >= 1048576 && n % 1048576 == 0)
        return fmt::format("{} MiB", n / 1048576);
    if (n >= 1024 && n % 1024 == 0)
        return fmt::format("{} KiB", n / 1024);
    return fmt::format("{} bytes", n);
}

// Three significant figures or so, without trailing zeros.
std::string number(double x) {
    std::string text;
    if (std::fabs(x) >= 100)
        return fmt::format("{:.0f}", x);
    if (std::fabs(x) >= 10)
        text = fmt::format("{:.1f}", x);
    else if (std::fabs(x) >= 0.01 || x == 0)
        text = fmt::format("{:.2f}", x);
    else
        text = fmt::format("{:.2g}", x);
    if (text.find('.') != std::string::npos && text.find('e') == std::string::npos) {
        while (text.back() == '0')
            text.pop_back();
        if (text.back() == '.')
            text.pop_back();
    }
    return text;
}

double mean_ms(const Part &p, const OpTally &s) { return s.count ? cost_ms(p, s.total) / double(s.count) : 0.0; }

std::string part_text(const Part &p) {
    return fmt::format("{}, {}\n  {} clusters of {} pages ({}); read {} MB/s; page program {} ms, worst {} ms;\n"
                       "  cluster erase {} ms, worst {} ms; endurance {} erase cycles",
                       p.name, p.about, p.clus_count(), p.clus_pages, bytes_text(p.clus_size()), number(p.read_mb_s),
                       number(p.program_us / 1000), number(p.program_us_max / 1000), number(p.erase_ms),
                       number(p.erase_ms_max), p.endurance);
}

std::string workload_text(const Workload &w) {
    std::string text =
        fmt::format("{}-byte records every {}, a flush every {}; ", w.record_size, duration_text(w.record_every_ms),
                    w.flush_every == 1 ? "record" : fmt::format("{}", w.flush_every));
    text += w.logs_kept == 0 ? fmt::format("log removed at {}", bytes_text(w.log_max_size))
                             : fmt::format("log rotated at {}, {} old kept", bytes_text(w.log_max_size), w.logs_kept);
    text += w.settings_size != 0 ? fmt::format(";\n  settings of {} replaced every {}", bytes_text(w.settings_size),
                                               duration_text(w.settings_every_ms))
                                 : std::string(";\n  no settings file");
    text +=
        w.reboot_every_ms != 0 ? fmt::format("; a reboot every {}", duration_text(w.reboot_every_ms)) : "; no reboots";
    text += fmt::format("; max_files {}, verified reads {}, ", w.max_files, w.verify_reads ? "on" : "off");
    text +=
        w.erase_ahead != 0 ? fmt::format("dace_erase_ahead({}) after every record", w.erase_ahead) : "no erase-ahead";
    return text;
}

const char *mode_title(Mode m) { return m == Mode::FirstFit ? "first fit" : "wear levelling"; }

struct Row {
    std::string label;
    std::vector<std::string> cells;
};

json cost_json(const Cost &c) {
    return json{{"bytes_read", c.bytes_read}, {"pages_programmed", c.pages_programmed}, {"erases", c.erases}};
}

json op_json(const Part &p, const ModeRun &run, Op op) {
    const OpTally &mean = run.mean_of(op);
    const OpStats &worst = run.worst_of(op);
    return json{{"count", mean.count},
                {"mean", mean.count ? json(mean_ms(p, mean)) : json(nullptr)},
                {"worst", worst.worst_ms},
                {"worst_cost", cost_json(worst.worst)}};
}

json window_json(const PlanInput &in, const ModeRun &run) {
    json ops = json::object();
    for (size_t i = 0; i < kOpCount; ++i) {
        const OpTally &s = run.window[i];
        ops[op_key(Op(i))] = cost_json(s.total);
        ops[op_key(Op(i))]["count"] = s.count;
    }
    const uint32_t periods = run.warmed_up ? run.periods - run.warmup_periods : run.periods;
    return json{{"days", periods * period_days(in.run)},
                {"user_bytes", run.user_bytes},
                {"programmed_bytes", run.programmed_bytes},
                {"erases", run.erases},
                {"ops", ops}};
}

// Round figures for an axis: 1, 2 or 5 times a power of ten, at least `x`.
double axis_top(double x) {
    if (x <= 0)
        return 1;
    const double decade = std::pow(10.0, std::floor(std::log10(x)));
    for (const double step : {1.0, 2.0, 5.0, 10.0})
        if (step * decade >= x)
            return step * decade;
    return 10 * decade;
}

} // namespace

std::string plan_table(const PlanResult &r) {
    const Part &p = r.input.part;
    const Workload &w = r.input.workload;
    std::vector<Row> rows;
    auto row = [&](std::string label, auto cell) {
        Row x{std::move(label), {}};
        for (const ModeRun &run : r.runs)
            x.cells.push_back(cell(run));
        rows.push_back(std::move(x));
    };
    row("boot, empty part (ms)", [&](const ModeRun &m) { return number(cost_ms(p, m.boot_empty)); });
    row("boot, as the run left it (ms)", [&](const ModeRun &m) { return number(cost_ms(p, m.boot_typical)); });
    row("boot, full part (ms)", [&](const ModeRun &m) { return number(cost_ms(p, m.boot_full)); });
    static constexpr std::pair<Op, const char *> ops[] = {
        {Op::Write, "record write"},          {Op::Flush, "flush"},
        {Op::Settings, "settings replaced"},  {Op::Rotate, "log rotation"},
        {Op::EraseAhead, "dace_erase_ahead"}, {Op::Boot, "boot at a reboot"}};
    for (const auto &entry : ops) {
        // Plain variables: clang 14 cannot capture structured bindings in a lambda.
        const Op op = entry.first;
        const char *const name = entry.second;
        const bool any =
            std::any_of(r.runs.begin(), r.runs.end(), [&](const ModeRun &m) { return m.mean_of(op).count > 0; });
        if (!any)
            continue;
        row(fmt::format("{}, mean / worst (ms)", name), [&](const ModeRun &m) {
            return fmt::format("{} / {}", number(mean_ms(p, m.mean_of(op))), number(m.worst_of(op).worst_ms));
        });
    }
    row("erases a day, worst cluster", [](const ModeRun &m) { return number(m.figures.worst_erases_per_day); });
    row("erases a day, mean cluster", [](const ModeRun &m) { return number(m.figures.mean_erases_per_day); });
    row("projected life (years)", [&](const ModeRun &m) {
        const std::optional<double> y = life_years(p, m);
        return y ? number(*y) : std::string("no erases");
    });
    row("bytes programmed per user byte", [](const ModeRun &m) { return number(m.figures.programmed_per_byte); });
    const double day = period_days(r.input.run);
    row("simulated (days)", [&](const ModeRun &m) { return number(m.periods * day); });
    row("warm-up until day",
        [&](const ModeRun &m) { return m.warmed_up ? number(m.warmup_periods * day) : std::string("not over"); });
    row("settled at day",
        [&](const ModeRun &m) { return m.settled() ? number(m.settled_period * day) : std::string("not settled"); });

    std::string out = "Part: " + part_text(p) + "\nWorkload: " + workload_text(w) + "\n\n";
    const size_t label_w = 38, cell_w = 17;
    out += std::string(label_w, ' ');
    for (const ModeRun &m : r.runs)
        out += fmt::format("{:>{}}", mode_title(m.mode), cell_w);
    out += '\n';
    for (const Row &x : rows) {
        std::string line = fmt::format("{:<{}}", x.label, label_w);
        for (const std::string &c : x.cells)
            line += fmt::format("{:>{}}", c, cell_w);
        out += line + '\n';
    }
    out += fmt::format(
        "\nMeans take the part's typical program and erase times, worst cases its worst ones (the worst over the\n"
        "whole run). Rates and means count from the end of the warm-up (when the workload reaches no cluster\n"
        "it had not reached before) to the end of the run, taken every period ({}); they settled once none\n"
        "strayed more than {}% from its final value over the second half of that window, so that a longer\n"
        "run moves none by more than {}%. Projected life extrapolates the most erased cluster's rate until\n"
        "it reaches {} erase cycles: a projection from the simulated days, not a simulated lifetime.\n",
        duration_text(r.input.run.period_ms), number(r.input.run.tolerance * 50), number(r.input.run.tolerance * 100),
        p.endurance);
    return out;
}

json plan_report_json(const PlanResult &r) {
    const Part &p = r.input.part;
    json j;
    j["input"] = plan_document(r.input);
    j["part_about"] = p.about;
    json modes = json::array();
    for (const ModeRun &m : r.runs) {
        const std::string k = mode_key(m.mode);
        modes.push_back(k);
        j["boot_ms"][k] = json{{"empty", cost_ms(p, m.boot_empty)},
                               {"typical", cost_ms(p, m.boot_typical)},
                               {"full", cost_ms(p, m.boot_full)}};
        j["boot_cost"][k] = json{{"empty", cost_json(m.boot_empty)},
                                 {"typical", cost_json(m.boot_typical)},
                                 {"full", cost_json(m.boot_full)}};
        j["worst_write_ms"][k] = m.worst_of(Op::Write).worst_ms;
        for (size_t i = 0; i < kOpCount; ++i)
            j["latency_ms"][k][op_key(Op(i))] = op_json(p, m, Op(i));
        j["erases_per_day"][k] =
            json{{"worst_cluster", m.figures.worst_erases_per_day}, {"mean_cluster", m.figures.mean_erases_per_day}};
        const std::optional<double> life = life_years(p, m);
        j["life_years"][k] = life ? json(*life) : json(nullptr);
        j["programmed_per_user_byte"][k] = m.figures.programmed_per_byte;
        const double day = period_days(r.input.run);
        j["run"][k] = json{{"period_days", day},
                           {"warmed_up", m.warmed_up},
                           {"warmup_days", m.warmed_up ? json(m.warmup_periods * day) : json(nullptr)},
                           {"simulated_days", m.periods * day},
                           {"settled", m.settled()},
                           {"settled_day", m.settled() ? json(m.settled_period * day) : json(nullptr)},
                           {"tolerance", r.input.run.tolerance}};
        j["window"][k] = window_json(r.input, m);
        json history = json::array();
        for (const Figures &f : m.history)
            history.push_back(json{{"worst_cluster", f.worst_erases_per_day},
                                   {"mean_cluster", f.mean_erases_per_day},
                                   {"programmed_per_user_byte", f.programmed_per_byte}});
        j["settling"][k] = history;
        j["erases_per_cluster"][k] = m.erases_per_cluster;
    }
    j["modes"] = modes;
    return j;
}

std::string plan_svg(const PlanResult &r) {
    const double panel_w = 480, chart_h = 220, left = 60, top = 74, gap = 40;
    const double width = left + double(r.runs.size()) * (panel_w + gap) + 10;
    const double height = top + chart_h + 70;
    uint64_t most = 0;
    for (const ModeRun &m : r.runs)
        for (const uint64_t n : m.erases_per_cluster)
            most = std::max(most, n);
    const double y_top = axis_top(double(most));
    std::string svg = fmt::format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{:.0f}\" height=\"{:.0f}\" "
                                  "font-family=\"sans-serif\" font-size=\"12\">\n"
                                  "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n",
                                  width, height);
    const Part &p = r.input.part;
    svg += fmt::format("<text x=\"{:.0f}\" y=\"20\" font-size=\"14\" font-weight=\"bold\">Erases per cluster after "
                       "the run ({}: {} clusters of {})</text>\n",
                       left, p.name, p.clus_count(), bytes_text(p.clus_size()));
    for (size_t i = 0; i < r.runs.size(); ++i) {
        const ModeRun &m = r.runs[i];
        const double x0 = left + double(i) * (panel_w + gap);
        const double base = top + chart_h;
        const std::vector<uint64_t> &counts = m.erases_per_cluster;
        const double bar = panel_w / double(std::max<size_t>(counts.size(), 1));
        const double mean =
            counts.empty() ? 0
                           : double(std::accumulate(counts.begin(), counts.end(), uint64_t{0})) / double(counts.size());
        const uint64_t worst = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
        const double days = double(m.periods) * period_days(r.input.run);
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\" font-weight=\"bold\">{}</text>\n", x0, top - 26,
                           mode_title(m.mode));
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\">most erased cluster {}, mean {}, after {} days</text>\n",
                           x0, top - 10, worst, number(mean), number(days));
        svg += fmt::format("<rect x=\"{:.1f}\" y=\"{:.0f}\" width=\"{:.0f}\" height=\"{:.0f}\" fill=\"#f7f7f7\" "
                           "stroke=\"#999\"/>\n",
                           x0, top, panel_w, chart_h);
        std::string path;
        for (size_t c = 0; c < counts.size(); ++c) {
            if (counts[c] == 0)
                continue;
            const double h = double(counts[c]) / y_top * chart_h;
            path += fmt::format("M{:.2f} {:.2f}h{:.2f}v{:.2f}h{:.2f}z", x0 + double(c) * bar, base - h, bar, h, -bar);
        }
        svg += fmt::format("<path d=\"{}\" fill=\"{}\"/>\n", path, m.mode == Mode::FirstFit ? "#c0392b" : "#2471a3");
        const double mean_y = base - mean / y_top * chart_h;
        svg += fmt::format("<line x1=\"{:.1f}\" y1=\"{:.2f}\" x2=\"{:.1f}\" y2=\"{:.2f}\" stroke=\"black\" "
                           "stroke-dasharray=\"4 3\"><title>mean {}</title></line>\n",
                           x0, mean_y, x0 + panel_w, mean_y, number(mean));
        for (const double tick : {0.0, 0.5, 1.0})
            svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>\n", x0 - 4,
                               base - tick * chart_h + 4, number(tick * y_top));
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\">cluster 0</text>\n", x0, base + 16);
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\" text-anchor=\"end\">{}</text>\n", x0 + panel_w, base + 16,
                           counts.empty() ? 0 : counts.size() - 1);
    }
    svg += fmt::format("<text x=\"{:.0f}\" y=\"{:.0f}\" fill=\"#555\">Bars: erases of each cluster over the whole run, "
                       "one scale for both panels; dashed line: the mean cluster.</text>\n",
                       left, top + chart_h + 42);
    svg += "</svg>\n";
    return svg;
}

std::string part_classes_text() {
    std::string out;
    for (const Part &p : part_classes())
        out += part_text(p) + "\n";
    return out;
}

json load_workload(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw Error(fmt::format("{}: cannot be read", path));
    try {
        return json::parse(f);
    } catch (const json::parse_error &e) {
        std::string what = e.what();
        if (const size_t at = what.find("] "); at != std::string::npos)
            what = what.substr(at + 2);
        throw Error(fmt::format("{}: not a JSON workload: {}", path, what));
    }
}

int cmd_plan(Output &o, const PlanArgs &a) {
    if (a.list_parts) {
        o.out << part_classes_text();
        return 0;
    }
    const PlanInput in = plan_input(a.workload.empty() ? json::object() : load_workload(a.workload), a.overrides);
    // Found unwritable before the run rather than after it.
    std::ofstream svg;
    if (!a.svg.empty()) {
        svg.open(a.svg, std::ios::binary | std::ios::trunc);
        if (!svg)
            throw Error(fmt::format("cannot write {}", a.svg));
    }
    PlanResult r;
    {
        Progress bar(o, "simulating", 1000);
        r = run_plan(in, [&](double done) { bar.update(static_cast<uint64_t>(done * 1000)); });
    }
    if (!a.svg.empty()) {
        svg << plan_svg(r);
        if (!svg.flush())
            throw Error(fmt::format("cannot write {}", a.svg));
    }
    if (o.json)
        print_json(o, plan_report_json(r));
    else
        o.out << plan_table(r);
    return 0;
}

} // namespace dace_tool
