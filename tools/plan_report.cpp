#include "tools/plan_report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numeric>

#include <fmt/format.h>

#include "dace/dace.h"
#include "tools/commands.h"
#include "tools/image_file.h"

namespace dace_tool {

namespace {

using nlohmann::json;

constexpr size_t kColumns = 80;

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

// Columns a text takes on a terminal: its UTF-8 sequences count one each.
size_t columns(const std::string &s) {
    return size_t(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<uint8_t>(c) & 0xC0) != 0x80; }));
}

// `text` in lines of at most kColumns, the first after `first`, the others
// indented by `indent` spaces; words are never split.
std::string wrap(const std::string &first, const std::string &text, size_t indent) {
    std::string out = first, line;
    size_t width = columns(first);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        const size_t room = width == 0 || out.back() == '\n' || out.back() == ' ' ? 0 : 1;
        if (width + room + columns(word) > kColumns && width > indent) {
            out += '\n' + std::string(indent, ' ');
            width = indent;
        } else if (room != 0) {
            out += ' ';
            width += 1;
        }
        out += word;
        width += columns(word);
    }
    return out + '\n';
}

double mean_ms(const Part &p, const OpTally &s) { return s.count ? cost_ms(p, s.total) / double(s.count) : 0.0; }

std::string part_text(const Part &p) {
    const std::string block =
        p.blocks_per_cluster() == 1 ? "one erase block" : fmt::format("{} erase blocks", p.blocks_per_cluster());
    std::string text =
        fmt::format("{}. {} clusters of {} pages ({}, {}); read {} MB/s, {} µs a call", p.about, p.clus_count(),
                    p.clus_pages, bytes_text(p.clus_size()), block, number(p.read_mb_s), number(p.read_call_us));
    if (p.page_read_us != 0)
        text += fmt::format(" and {} µs a page touched", number(p.page_read_us));
    text += fmt::format("; page program {} ms, worst {} ms, {} µs a call; block erase {} ms, worst {} ms, {} µs a "
                        "call; endurance {} erase cycles.",
                        number(p.program_us / 1000), number(p.program_us_max / 1000), number(p.program_call_us),
                        number(p.erase_ms), number(p.erase_ms_max), number(p.erase_call_us), p.endurance);
    return text;
}

std::string workload_text(const Workload &w) {
    std::string text =
        fmt::format("{}-byte records every {}, a flush every {}; ", w.record_size, duration_text(w.record_every_ms),
                    w.flush_every == 1 ? "record" : fmt::format("{}", w.flush_every));
    text += w.logs_kept == 0 ? fmt::format("log removed at {}", bytes_text(w.log_max_size))
                             : fmt::format("log rotated at {}, {} old kept", bytes_text(w.log_max_size), w.logs_kept);
    text += w.settings_size != 0 ? fmt::format("; settings of {} replaced every {}", bytes_text(w.settings_size),
                                               duration_text(w.settings_every_ms))
                                 : std::string("; no settings file");
    text +=
        w.reboot_every_ms != 0 ? fmt::format("; a reboot every {}", duration_text(w.reboot_every_ms)) : "; no reboots";
    text += fmt::format("; max_files {}, verified reads {}, ", w.max_files, w.verify_reads ? "on" : "off");
    text +=
        w.erase_ahead != 0 ? fmt::format("dace_erase_ahead({}) after every record", w.erase_ahead) : "no erase-ahead";
    return text + ".";
}

const char *mode_title(Mode m) { return m == Mode::FirstFit ? "first fit" : "wear levelling"; }

std::string life_text(const Part &p, const ModeRun &m) {
    const std::optional<double> life = life_years(p, m);
    if (!life)
        return "no erases";
    if (m.settled())
        return number(*life);
    const auto range = life_range(p, m);
    return range && number(range->first) != number(range->second)
               ? fmt::format("{}-{}", number(range->first), number(range->second))
               : number(*life);
}

// Rounds to 4 significant digits: what the simulated days can tell.
double significant(double x) {
    if (x == 0 || !std::isfinite(x))
        return x;
    return std::stod(fmt::format("{:.4g}", x));
}

// Every figure of a report to 4 significant digits; the input's figures
// stay as given, so that the input reads back the same.
void round_figures(json &j) {
    if (j.is_number_float()) {
        j = significant(j.get<double>());
    } else if (j.is_array()) {
        for (json &v : j)
            round_figures(v);
    } else if (j.is_object()) {
        for (auto it = j.begin(); it != j.end(); ++it)
            if (it.key() != "input" && it.key() != "part")
                round_figures(it.value());
    }
}

json cost_json(const Cost &c) {
    return json{{"bytes_read", c.bytes_read},
                {"read_calls", c.read_calls},
                {"pages_read", c.pages_read},
                {"pages_programmed", c.pages_programmed},
                {"erases", c.erases}};
}

json op_json(const Part &p, const ModeRun &run, Op op) {
    const OpTally &mean = run.mean_of(op);
    const OpStats &worst = run.worst_of(op);
    return json{{"count", mean.count},
                {"mean", mean.count ? json(mean_ms(p, mean)) : json(nullptr)},
                {"worst", worst.worst_ms},
                {"worst_cost", cost_json(worst.worst)}};
}

json figures_json(const Figures &f) {
    return json{{"worst_cluster", f.worst_erases_per_day},
                {"mean_cluster", f.mean_erases_per_day},
                {"programmed_per_user_byte", f.programmed_per_byte}};
}

json window_json(const PlanInput &in, const ModeRun &run) {
    json ops = json::object();
    for (size_t i = 0; i < kOpCount; ++i) {
        const OpTally &s = run.window[i];
        ops[op_key(Op(i))] = cost_json(s.total);
        ops[op_key(Op(i))]["count"] = s.count;
    }
    return json{{"days", run.window_periods() * period_days(in.run)},
                {"user_bytes", run.user_bytes},
                {"programmed_bytes", run.programmed_bytes},
                {"erases", run.erases},
                {"erases_per_cluster", run.window_erases},
                {"ops", ops}};
}

// The per-mode keys of one part.
json part_json(const PlanResult &r, size_t part) {
    const Part &p = r.input.parts[part];
    json j;
    j["label"] = p.title();
    j["part"] = part_document(p);
    j["capacity_bytes"] = p.capacity();
    j["build"] = r.input.workload.build;
    j["state_block_bytes"] = state_block_bytes(p, r.input.workload);
    j["part_about"] = p.about;
    json modes = json::array();
    const double day = period_days(r.input.run);
    for (const ModeRun &m : r.runs) {
        if (m.part != part)
            continue;
        const std::string k = mode_key(m.mode);
        modes.push_back(k);
        const auto share = [&](const Cost &c) {
            const double all = cost_ms(p, c);
            return all > 0 ? call_ms(p, c) / all : 0.0;
        };
        j["boot_ms"][k] = json{{"empty", cost_ms(p, m.boot_empty)},
                               {"typical", cost_ms(p, m.boot_typical)},
                               {"full", cost_ms(p, m.boot_full)}};
        j["boot_call_share"][k] =
            json{{"empty", share(m.boot_empty)}, {"typical", share(m.boot_typical)}, {"full", share(m.boot_full)}};
        j["boot_cost"][k] = json{{"empty", cost_json(m.boot_empty)},
                                 {"typical", cost_json(m.boot_typical)},
                                 {"full", cost_json(m.boot_full)}};
        j["worst_write_ms"][k] = m.worst_of(Op::Write).worst_ms;
        for (size_t i = 0; i < kOpCount; ++i)
            j["latency_ms"][k][op_key(Op(i))] = op_json(p, m, Op(i));
        j["erases_per_day"][k] =
            json{{"worst_cluster", m.figures.worst_erases_per_day}, {"mean_cluster", m.figures.mean_erases_per_day}};
        json halves = nullptr;
        if (m.recent_periods != 0)
            halves = json{{"days", m.recent_periods * day},
                          {"earlier", figures_json(m.earlier)},
                          {"recent", figures_json(m.recent)}};
        j["halves"][k] = halves;
        const std::optional<double> life = life_years(p, m);
        j["life_years"][k] = life ? json(*life) : json(nullptr);
        const auto range = life_range(p, m);
        j["life_years_range"][k] = range && !m.settled() ? json{range->first, range->second} : json(nullptr);
        j["programmed_per_user_byte"][k] = m.figures.programmed_per_byte;
        j["run"][k] = json{{"period_days", day},
                           {"cycle_days", m.cycle_periods * day},
                           {"warmed_up", m.warmed_up},
                           {"warmup_days", m.warmed_up ? json(m.warmup_periods * day) : json(nullptr)},
                           {"simulated_days", m.periods * day},
                           {"settled", m.settled()},
                           {"settled_day", m.settled() ? json(m.settled_period * day) : json(nullptr)},
                           {"tolerance", r.input.run.tolerance}};
        j["window"][k] = window_json(r.input, m);
        json history = json::array();
        for (const Figures &f : m.history)
            history.push_back(figures_json(f));
        j["settling"][k] = history;
        j["erases_per_cluster"][k] = m.erases_per_cluster;
    }
    j["modes"] = modes;
    return j;
}

const ModeRun *find_run(const PlanResult &r, size_t part, Mode mode) {
    const auto it =
        std::find_if(r.runs.begin(), r.runs.end(), [&](const ModeRun &m) { return m.part == part && m.mode == mode; });
    return it == r.runs.end() ? nullptr : &*it;
}

std::string times(double ratio) { return ratio >= 10 ? fmt::format("{:.0f}×", ratio) : number(ratio) + "×"; }

// "41× longer" of two lives, or "alike" when within a twentieth.
std::string longer(double a, double b) { return a <= b * 1.05 ? "" : times(a / b) + " longer"; }

// ---- the picture ----------------------------------------------------------------

// The decades a logarithmic axis spans to hold every rate in (lo, hi].
std::pair<int, int> decades(double lo, double hi) {
    if (hi <= 0)
        return {0, 1};
    const int top = int(std::ceil(std::log10(hi) - 1e-9));
    const int bottom = lo > 0 ? int(std::floor(std::log10(lo) + 1e-9)) : top - 1;
    return {std::min(bottom, top - 1), top};
}

std::string escape(const std::string &s) {
    std::string out;
    for (const char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

} // namespace

std::vector<std::string> plan_answers(const PlanResult &r) {
    std::vector<std::string> lines;
    const std::vector<Part> &parts = r.input.parts;
    auto unsettled = [&](const ModeRun &m) { return m.settled() ? "" : ", not settled"; };
    for (size_t i = 0; i < parts.size(); ++i) {
        const ModeRun *first = find_run(r, i, Mode::FirstFit);
        const ModeRun *levelled = find_run(r, i, Mode::WearLevelling);
        if (first == nullptr || levelled == nullptr)
            continue;
        const auto a = life_years(parts[i], *levelled), b = life_years(parts[i], *first);
        if (!a || !b) {
            lines.push_back(fmt::format("on {}, {} erases no cluster", parts[i].title(),
                                        !a && !b ? "neither mode"
                                        : !a     ? "wear levelling"
                                                 : "first fit"));
            continue;
        }
        const std::string figures =
            fmt::format("({} against {} years{})", life_text(parts[i], *levelled), life_text(parts[i], *first),
                        !levelled->settled() || !first->settled() ? ", not settled" : "");
        if (!longer(*a, *b).empty())
            lines.push_back(fmt::format("wear levelling lasts {} than first fit on {} {}", longer(*a, *b),
                                        parts[i].title(), figures));
        else if (!longer(*b, *a).empty())
            lines.push_back(fmt::format("first fit lasts {} than wear levelling on {} {}", longer(*b, *a),
                                        parts[i].title(), figures));
        else
            lines.push_back(fmt::format("wear levelling and first fit last alike on {} {}", parts[i].title(), figures));
    }
    if (parts.size() > 1) {
        for (const Mode mode : r.input.workload.modes) {
            std::vector<std::pair<double, size_t>> lives;
            for (size_t i = 0; i < parts.size(); ++i)
                if (const ModeRun *m = find_run(r, i, mode); m != nullptr && life_years(parts[i], *m))
                    lives.emplace_back(*life_years(parts[i], *m), i);
            if (lives.size() < 2)
                continue;
            std::stable_sort(lives.begin(), lives.end(),
                             [](const auto &x, const auto &y) { return x.first > y.first; });
            const size_t best = lives.front().second;
            std::vector<std::string> others;
            for (size_t k = 1; k < lives.size(); ++k) {
                const ModeRun &m = *find_run(r, lives[k].second, mode);
                const std::string ratio = longer(lives.front().first, lives[k].first);
                others.push_back(
                    fmt::format("{} {}'s {} years{}", ratio.empty() ? "alike" : ratio.substr(0, ratio.find(' ')),
                                parts[lives[k].second].title(), life_text(parts[lives[k].second], m), unsettled(m)));
            }
            const ModeRun &top = *find_run(r, best, mode);
            lines.push_back(fmt::format("with {}, {} lasts longest: {} years{}, {}", mode_title(mode),
                                        parts[best].title(), life_text(parts[best], top), unsettled(top),
                                        fmt::join(others, ", ")));
        }
        const bool same = std::all_of(parts.begin(), parts.end(),
                                      [&](const Part &p) { return p.capacity() == parts.front().capacity(); });
        if (!same) {
            std::vector<std::string> sizes;
            for (const Part &p : parts)
                sizes.push_back(
                    fmt::format("{} {} in {} clusters", p.title(), bytes_text(p.capacity()), p.clus_count()));
            lines.push_back(fmt::format("mind that the parts differ in capacity ({}): the wear spreads over a part's "
                                        "clusters, so their lives compare their sizes too",
                                        fmt::join(sizes, ", ")));
        }
    }
    return lines;
}

std::string plan_table(const PlanResult &r) {
    const Workload &w = r.input.workload;
    const std::vector<Part> &parts = r.input.parts;
    struct Row {
        std::string label;
        std::vector<std::string> cells;
    };
    std::vector<Row> rows;
    auto row = [&](std::string label, auto cell) {
        Row x{std::move(label), {}};
        for (const ModeRun &run : r.runs)
            x.cells.push_back(cell(r.part_of(run), run));
        rows.push_back(std::move(x));
    };
    auto boot = [](const Part &p, const Cost &c) {
        const double all = cost_ms(p, c);
        return fmt::format("{} ({:.0f}%)", number(all), all > 0 ? 100 * call_ms(p, c) / all : 0.0);
    };
    row("capacity", [](const Part &p, const ModeRun &) { return bytes_text(p.capacity()); });
    row(fmt::format("state block RAM, {} build", w.build),
        [&](const Part &p, const ModeRun &) { return fmt::format("{} B", state_block_bytes(p, w)); });
    row("boot, empty, creating log (ms)", [&](const Part &p, const ModeRun &m) { return boot(p, m.boot_empty); });
    row("boot, as the run left it (ms)", [&](const Part &p, const ModeRun &m) { return boot(p, m.boot_typical); });
    row("boot, full part (ms)", [&](const Part &p, const ModeRun &m) { return boot(p, m.boot_full); });
    static constexpr std::pair<Op, const char *> ops[] = {
        {Op::Write, "record write"},     {Op::Flush, "flush"},
        {Op::Settings, "settings"},      {Op::Rotate, "log rotation"},
        {Op::EraseAhead, "erase-ahead"}, {Op::Boot, "boot at reboot"}};
    for (const auto &entry : ops) {
        // Plain variables: clang 14 cannot capture structured bindings in a lambda.
        const Op op = entry.first;
        const char *const name = entry.second;
        const bool any =
            std::any_of(r.runs.begin(), r.runs.end(), [&](const ModeRun &m) { return m.mean_of(op).count > 0; });
        if (!any)
            continue;
        row(fmt::format("{}, mean/worst (ms)", name), [&](const Part &p, const ModeRun &m) {
            return fmt::format("{} / {}", number(mean_ms(p, m.mean_of(op))), number(m.worst_of(op).worst_ms));
        });
    }
    row("erases a day, worst cluster",
        [](const Part &, const ModeRun &m) { return number(m.figures.worst_erases_per_day); });
    row("erases a day, mean cluster",
        [](const Part &, const ModeRun &m) { return number(m.figures.mean_erases_per_day); });
    row("projected life (years)", [](const Part &p, const ModeRun &m) { return life_text(p, m); });
    row("bytes programmed per byte",
        [](const Part &, const ModeRun &m) { return number(m.figures.programmed_per_byte); });
    const double day = period_days(r.input.run);
    row("simulated (days)", [&](const Part &, const ModeRun &m) { return number(m.periods * day); });
    row("workload's cycle (days)", [&](const Part &, const ModeRun &m) { return number(m.cycle_periods * day); });
    row("window from day", [&](const Part &, const ModeRun &m) {
        return m.warmed_up ? number(m.warmup_periods * day) : std::string("none");
    });
    row("settled at day", [&](const Part &, const ModeRun &m) {
        return m.settled() ? number(m.settled_period * day) : std::string("not settled");
    });

    std::string out;
    for (const Part &p : parts)
        out += wrap(fmt::format("Part {}: ", p.title()), part_text(p), 2);
    out += wrap("Workload: ", workload_text(w), 2) + '\n';

    // Columns as wide as their widest cell, in blocks that fit the width.
    size_t label_w = 0;
    for (const Row &x : rows)
        label_w = std::max(label_w, x.label.size() + 1);
    std::vector<size_t> width(r.runs.size(), 10);
    for (const Row &x : rows)
        for (size_t c = 0; c < x.cells.size(); ++c)
            width[c] = std::max(width[c], x.cells[c].size() + 1);
    for (size_t c = 0; c < r.runs.size(); ++c)
        width[c] = std::max(width[c], parts.size() > 1 ? size_t{0} : columns(mode_title(r.runs[c].mode)) + 2);
    for (size_t begin = 0; begin < r.runs.size();) {
        // As many columns as fit, a part's columns kept together where they can be.
        size_t end = begin, used = label_w;
        while (end < r.runs.size() && (end == begin || used + width[end] <= kColumns))
            used += width[end++];
        size_t part_end = end;
        while (part_end < r.runs.size() && part_end > begin && r.runs[part_end].part == r.runs[part_end - 1].part)
            --part_end;
        if (part_end > begin)
            end = part_end;
        // Heads: the part over its columns, then the mode, in two lines
        // where "wear levelling" does not fit.
        std::string part_line(label_w, ' '), mode_line(label_w, ' '), mode_rest(label_w, ' ');
        bool two_lines = false;
        for (size_t c = begin; c < end; ++c) {
            const std::string title = mode_title(r.runs[c].mode);
            const bool fits = columns(title) + 1 <= width[c];
            two_lines |= !fits;
            const std::string top = fits ? title : title.substr(0, title.find(' '));
            const std::string rest = fits ? "" : title.substr(title.find(' ') + 1);
            mode_line += fmt::format("{:>{}}", top, width[c]);
            mode_rest += fmt::format("{:>{}}", rest, width[c]);
            const bool first_of_part = c == begin || r.runs[c - 1].part != r.runs[c].part;
            size_t span = 0;
            for (size_t k = c; k < end && r.runs[k].part == r.runs[c].part; ++k)
                span += width[k];
            if (first_of_part && parts.size() > 1)
                part_line += fmt::format("{:>{}}", parts[r.runs[c].part].title(), span);
        }
        if (parts.size() > 1)
            out += part_line + '\n';
        out += mode_line + '\n';
        if (two_lines)
            out += mode_rest + '\n';
        for (const Row &x : rows) {
            std::string line = fmt::format("{:<{}}", x.label, label_w);
            for (size_t c = begin; c < end; ++c)
                line += fmt::format("{:>{}}", x.cells[c], width[c]);
            out += line + '\n';
        }
        begin = end;
        if (begin < r.runs.size())
            out += '\n';
    }
    const std::vector<std::string> answers = plan_answers(r);
    if (!answers.empty())
        out += '\n';
    for (const std::string &a : answers) {
        std::string line = a;
        line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
        out += wrap("", line + ".", 2);
    }
    const double tolerance = r.input.run.tolerance;
    const std::string settle =
        tolerance == 0
            ? "With a tolerance of 0 they never count as settled: the run lasts its max_days."
            : fmt::format("They settled once, over a window of an even number of whole cycles (four at least), the "
                          "figures of its two halves and of the whole agreed within {}%, so that a longer run moves "
                          "none by more than about {}%.",
                          number(tolerance * 50), number(tolerance * 100));
    const bool short_run = std::any_of(r.runs.begin(), r.runs.end(), [](const ModeRun &m) { return !m.warmed_up; });
    const std::string cut_short =
        short_run ? " A run with no window ended before the workload's first full cycle was over: its figures "
                    "count from day 0 and include the filling of its logs; raise run.max_days."
                  : "";
    out += '\n';
    out += wrap("",
                fmt::format("Means take the part's typical program and erase times, worst cases its worst ones (the "
                            "call that took longest over the whole run); (n%) is the share of the per-call costs: "
                            "commands, addresses, page loads, status polls. Rates and means count over the window: "
                            "from the end of the workload's first full cycle (its logs kept and live log filled "
                            "once; and once it reaches no cluster it had not reached) to the end of the run, taken "
                            "every period ({}). {} A run that did not settle gives the life as the range it moved "
                            "over.{} Projected life extrapolates the most erased cluster's rate until it reaches the "
                            "part's endurance: a projection from the simulated days, not a simulated lifetime.",
                            duration_text(r.input.run.period_ms), settle, cut_short),
                0);
    return out;
}

json plan_report_json(const PlanResult &r) {
    json j;
    j["version"] = DACE_VERSION;
    j["input"] = plan_document(r.input);
    j["answer"] = plan_answers(r);
    const std::vector<Part> &parts = r.input.parts;
    j["same_capacity"] = std::all_of(parts.begin(), parts.end(),
                                     [&](const Part &p) { return p.capacity() == parts.front().capacity(); });
    j["parts"] = json::array();
    for (size_t i = 0; i < parts.size(); ++i)
        j["parts"].push_back(part_json(r, i));
    for (const auto &[k, v] : j["parts"][0].items())
        if (k != "part" && k != "label")
            j[k] = v;
    round_figures(j);
    return j;
}

std::string plan_svg(const PlanResult &r) {
    // The answer in words heads the picture, a line each, in a picture wide
    // enough for the longest (about 7 pixels a character).
    const std::vector<std::string> answers = plan_answers(r);
    size_t longest = 0;
    for (const std::string &a : answers)
        longest = std::max(longest, columns(a));
    const double panel_w = 300, chart_h = 220, left = 80, gap = 40;
    const double top = 100 + 16 * double(answers.size());
    const double width = std::max(left + double(r.runs.size()) * (panel_w + gap), left + 7 * double(longest) + gap);
    const double height = top + chart_h + 84;
    // One logarithmic scale for every panel, so that a part that erases
    // little stays visible beside one that erases much.
    double lo = 0, hi = 0;
    std::vector<std::vector<double>> rates;
    for (const ModeRun &m : r.runs) {
        const double days = m.window_periods() * period_days(r.input.run);
        std::vector<double> per_day;
        for (const uint64_t n : m.window_erases)
            per_day.push_back(days > 0 ? double(n) / days : 0.0);
        for (const double x : per_day) {
            if (x > 0)
                lo = lo == 0 ? x : std::min(lo, x);
            hi = std::max(hi, x);
        }
        rates.push_back(std::move(per_day));
    }
    // Plain variables: clang 14 cannot capture structured bindings in a lambda.
    const std::pair<int, int> scale = decades(lo, hi);
    const int bottom = scale.first, top_decade = scale.second;
    const double span = double(top_decade - bottom);
    auto y_of = [&](double rate) { return top + chart_h - (std::log10(rate) - bottom) / span * chart_h; };
    std::string svg = fmt::format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{:.0f}\" height=\"{:.0f}\" "
                                  "font-family=\"sans-serif\" font-size=\"12\">\n"
                                  "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n",
                                  width, height);
    svg += fmt::format("<text x=\"{:.0f}\" y=\"22\" font-size=\"15\" font-weight=\"bold\">Erases per cluster per day "
                       "over the measuring window</text>\n",
                       left);
    for (size_t i = 0; i < answers.size(); ++i)
        svg +=
            fmt::format("<text x=\"{:.0f}\" y=\"{:.0f}\">{}</text>\n", left, 42 + 16 * double(i), escape(answers[i]));
    // The scale: a line and a label at each decade, on the left.
    for (int d = bottom; d <= top_decade; ++d) {
        const double y = y_of(std::pow(10.0, d));
        svg += fmt::format("<line x1=\"{:.0f}\" y1=\"{:.1f}\" x2=\"{:.0f}\" y2=\"{:.1f}\" stroke=\"#ddd\"/>\n", left, y,
                           width - gap, y);
        svg += fmt::format("<text x=\"{:.0f}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>\n", left - 6, y + 4,
                           number(std::pow(10.0, d)));
    }
    svg += fmt::format("<text transform=\"translate(18 {:.0f}) rotate(-90)\" text-anchor=\"middle\">erases a day "
                       "(log scale)</text>\n",
                       top + chart_h / 2);
    for (size_t i = 0; i < r.runs.size(); ++i) {
        const ModeRun &m = r.runs[i];
        const Part &p = r.part_of(m);
        const double x0 = left + double(i) * (panel_w + gap);
        const double base = top + chart_h;
        const std::vector<double> &per_day = rates[i];
        const double bar = panel_w / double(std::max<size_t>(per_day.size(), 1));
        const std::string life = life_text(p, m);
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\" font-weight=\"bold\">{}: {}</text>\n", x0, top - 38,
                           escape(p.title()), mode_title(m.mode));
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\" font-size=\"14\">{}{}</text>\n", x0, top - 22,
                           life == "no erases" ? "no erases" : "life " + life + " years",
                           m.settled() ? "" : " (not settled)");
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\">worst {}, mean {} a day; days {}-{}</text>\n", x0, top - 6,
                           number(m.figures.worst_erases_per_day), number(m.figures.mean_erases_per_day),
                           number(m.warmed_up ? m.warmup_periods * period_days(r.input.run) : 0),
                           number(m.periods * period_days(r.input.run)));
        svg += fmt::format("<rect x=\"{:.1f}\" y=\"{:.0f}\" width=\"{:.0f}\" height=\"{:.0f}\" fill=\"none\" "
                           "stroke=\"#999\"/>\n",
                           x0, top, panel_w, chart_h);
        std::string path;
        for (size_t c = 0; c < per_day.size(); ++c) {
            if (per_day[c] <= 0)
                continue;
            const double y = y_of(per_day[c]);
            path += fmt::format("M{:.2f} {:.2f}h{:.2f}V{:.2f}h{:.2f}z", x0 + double(c) * bar, y, bar, base, -bar);
        }
        svg += fmt::format("<path d=\"{}\" fill=\"{}\"/>\n", path, m.mode == Mode::FirstFit ? "#c0392b" : "#2471a3");
        if (m.figures.mean_erases_per_day > 0) {
            const double mean_y = y_of(m.figures.mean_erases_per_day);
            svg += fmt::format("<line x1=\"{:.1f}\" y1=\"{:.2f}\" x2=\"{:.1f}\" y2=\"{:.2f}\" stroke=\"black\" "
                               "stroke-dasharray=\"4 3\"><title>mean {}</title></line>\n",
                               x0, mean_y, x0 + panel_w, mean_y, number(m.figures.mean_erases_per_day));
        }
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\">0</text>\n", x0, base + 16);
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\" text-anchor=\"middle\">cluster</text>\n", x0 + panel_w / 2,
                           base + 16);
        svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.0f}\" text-anchor=\"end\">{}</text>\n", x0 + panel_w, base + 16,
                           per_day.empty() ? 0 : per_day.size() - 1);
    }
    svg += fmt::format("<text x=\"{:.0f}\" y=\"{:.0f}\" fill=\"#555\">Bars: each cluster's erases a day over its "
                       "run's window, as in the table; dashed: the mean cluster.</text>\n",
                       left, top + chart_h + 44);
    svg += fmt::format("<text x=\"{:.0f}\" y=\"{:.0f}\" fill=\"#555\">Life: the part's endurance over the most "
                       "erased cluster's rate.</text>\n",
                       left, top + chart_h + 62);
    svg += "</svg>\n";
    return svg;
}

std::string part_classes_text() {
    std::string out;
    for (const Part &p : part_classes())
        out += wrap(p.name + ": ", part_text(p) + " Figures: " + p.source + ".", 2);
    return out;
}

json part_classes_json() {
    json all = json::array();
    for (const Part &p : part_classes())
        all.push_back(part_document(p));
    return all;
}

json load_workload(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw Error(fmt::format("{}: cannot be read", path));
    return parse_workload(f, path);
}

namespace {

// A --part: a class name, or a part file (one part, or an array of them),
// its label the file's name where it gives none; `each` is laid over every
// part.
void add_parts(json &parts, const std::string &given, const json &each) {
    std::vector<json> found;
    const bool names_file = std::filesystem::exists(given) || given.find('/') != std::string::npos ||
                            std::filesystem::path(given).extension() == ".json";
    if (find_part_class(given) != nullptr || !names_file) {
        found.push_back(json{{"class", given}});
    } else {
        const json file = load_workload(given);
        if (file.is_object())
            found.push_back(file);
        else if (file.is_array())
            found.insert(found.end(), file.begin(), file.end());
        if (found.empty() || !std::all_of(found.begin(), found.end(), [](const json &p) { return p.is_object(); }))
            throw Error(fmt::format("{}: a part file is a part's keys (as dace plan --parts --json prints them), or "
                                    "an array of them",
                                    given));
        for (json &p : found)
            if (!p.contains("label") && found.size() == 1)
                p["label"] = std::filesystem::path(given).stem().string();
    }
    for (json &p : found) {
        p.merge_patch(each);
        parts.push_back(p);
    }
}

// The progress line: days simulated against the days the runs will end at,
// and the time left at the pace so far.
class PlanProgressLine {
public:
    explicit PlanProgressLine(Output &o) : out_(o), start_(std::chrono::steady_clock::now()) {}
    ~PlanProgressLine() {
        if (shown_)
            out_.err << '\r' << std::string(kColumns - 1, ' ') << '\r' << std::flush;
    }
    PlanProgressLine(const PlanProgressLine &) = delete;
    PlanProgressLine &operator=(const PlanProgressLine &) = delete;

    void update(const PlanProgress &p) {
        if (!out_.progress || p.days_end <= 0)
            return;
        const double done = std::min(1.0, p.days_done / p.days_end);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::string left;
        if (done > 0.02 && elapsed > 1)
            left = fmt::format(", about {:.0f} s left", elapsed * (1 - done) / done);
        const int filled = static_cast<int>(done * 20);
        out_.err << fmt::format("\rsimulating [{}{}] day {:.0f}, {} of {} runs done{}",
                                std::string(size_t(filled), '#'), std::string(size_t(20 - filled), ' '), p.slowest_day,
                                p.runs_done, p.runs, left)
                 << "   " << std::flush;
        shown_ = true;
    }

private:
    Output &out_;
    std::chrono::steady_clock::time_point start_;
    bool shown_ = false;
};

} // namespace

int cmd_plan(Output &o, const PlanArgs &a) {
    if (a.list_parts) {
        if (o.json)
            print_json(o, part_classes_json());
        else
            o.out << part_classes_text();
        return 0;
    }
    json overrides = a.overrides;
    if (!a.parts.empty()) {
        const json each = overrides.contains("part") ? overrides["part"] : json::object();
        json parts = json::array();
        for (const std::string &given : a.parts)
            add_parts(parts, given, each);
        overrides["part"] = parts;
    }
    const PlanInput in = plan_input(a.workload.empty() ? json::object() : load_workload(a.workload), overrides);
    // Found unwritable before the run rather than after it.
    std::ofstream svg;
    if (!a.svg.empty()) {
        svg.open(a.svg, std::ios::binary | std::ios::trunc);
        if (!svg)
            throw Error(fmt::format("cannot write {}", a.svg));
    }
    PlanResult r;
    {
        PlanProgressLine line(o);
        r = run_plan(in, [&](const PlanProgress &p) { line.update(p); });
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
