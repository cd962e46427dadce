#include <cmath>
#include <fstream>

#include <fmt/color.h>
#include <fmt/format.h>

#include "tools/commands.h"
#include "tools/survey.h"

namespace dace_tool {

namespace {

constexpr uint32_t kRowWidth = 64; // characters of cells per row
constexpr std::string_view kFileMarks = "abcdefghijklmnopqstuvwyzABCDEFGHIJKLMNOPQSTUVWXYZ0123456789"; // no r, x, R

// Cells are one character while every file has a mark of its own, else two:
// a file's pair of marks, or a mark of the other kinds doubled ("RR", ".."),
// which no file's pair can be.
struct Cells {
    size_t width;
    explicit Cells(size_t files) : width(files > kFileMarks.size() ? 2 : 1) {}
    uint32_t per_row() const { return kRowWidth / static_cast<uint32_t>(width); }
    std::string file(size_t index) const {
        const size_t n = kFileMarks.size();
        if (width == 1)
            return std::string(1, kFileMarks[index]);
        return {kFileMarks[(index / n) % n], kFileMarks[index % n]};
    }
    std::string other(char mark) const { return std::string(width, mark); }
};

std::string cell_mark(const Survey &s, const Cells &cells, uint32_t c) {
    if (s.conflict[c])
        return cells.other('!');
    switch (s.kind[c]) {
    case ClusKind::Root: return cells.other('R');
    case ClusKind::OldRoot: return cells.other('r');
    case ClusKind::File: return cells.file(size_t(s.owner[c]));
    case ClusKind::Free: return cells.other('.');
    case ClusKind::Stale: return cells.other('x');
    case ClusKind::Bad: return cells.other('#');
    case ClusKind::Missing: return cells.other('~');
    }
    return cells.other('?');
}

fmt::terminal_color file_color(size_t index) {
    static constexpr fmt::terminal_color colors[] = {
        fmt::terminal_color::bright_blue,    fmt::terminal_color::bright_green, fmt::terminal_color::bright_magenta,
        fmt::terminal_color::bright_cyan,    fmt::terminal_color::blue,         fmt::terminal_color::green,
        fmt::terminal_color::magenta,        fmt::terminal_color::cyan,
    };
    return colors[index % std::size(colors)];
}

std::string colored(const Survey &s, uint32_t c, const std::string &mark) {
    fmt::text_style style;
    if (s.conflict[c])
        style = fmt::fg(fmt::terminal_color::bright_red) | fmt::emphasis::bold;
    else if (s.kind[c] == ClusKind::File)
        style = fmt::fg(file_color(size_t(s.owner[c])));
    else if (s.kind[c] == ClusKind::Root)
        style = fmt::fg(fmt::terminal_color::bright_white) | fmt::emphasis::bold;
    else if (s.kind[c] == ClusKind::Stale || s.kind[c] == ClusKind::OldRoot)
        style = fmt::fg(fmt::terminal_color::yellow);
    else if (s.kind[c] == ClusKind::Bad || s.kind[c] == ClusKind::Missing)
        style = fmt::fg(fmt::terminal_color::red);
    else
        style = fmt::fg(fmt::terminal_color::bright_black);
    return fmt::format(style, "{}", mark);
}

// Names in SVG text: XML-escaped, and bytes outside ASCII shown as \xNN so
// the document stays valid UTF-8.
std::string svg_text(const std::string &name) {
    std::string out;
    for (const char raw : name) {
        const auto ch = static_cast<unsigned char>(raw);
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (ch < 0x20 || ch >= 0x7F)
                out += fmt::format("\\x{:02x}", ch);
            else
                out += static_cast<char>(ch);
        }
    }
    return out;
}

std::string svg_fill(const Survey &s, uint32_t c) {
    switch (s.kind[c]) {
    case ClusKind::Root: return "#202020";
    case ClusKind::OldRoot: return "#a0a0a0";
    case ClusKind::Free: return "#f2f2f2";
    case ClusKind::Stale: return "url(#to-erase)";
    case ClusKind::Bad: return "#600000";
    case ClusKind::Missing: return "url(#missing)";
    case ClusKind::File: {
        const double hue = std::fmod(double(s.owner[c]) * 137.508, 360.0);
        return fmt::format("hsl({:.0f},65%,55%)", hue);
    }
    }
    return "#ffffff";
}

std::string cell_title(const Survey &s, uint32_t c) {
    std::string what;
    switch (s.kind[c]) {
    case ClusKind::Root: what = "root"; break;
    case ClusKind::OldRoot: what = "earlier root, to be erased"; break;
    case ClusKind::Free: what = "free"; break;
    case ClusKind::Stale: what = "to be erased"; break;
    case ClusKind::Bad: what = "bad"; break;
    case ClusKind::Missing: what = "past the image's end: lost"; break;
    case ClusKind::File: what = "\"" + svg_text(s.files[size_t(s.owner[c])].name) + "\""; break;
    }
    return fmt::format("cluster {}: {}{}", c, what, s.conflict[c] ? " (problem)" : "");
}

void write_svg(const Survey &s, const std::string &path) {
    const uint32_t cell = 14;
    constexpr uint32_t kRowCells = 64;
    const uint32_t rows = (s.clus_count + kRowCells - 1) / kRowCells;
    const uint32_t grid_h = rows * cell;
    const size_t legend_lines = 7 + s.files.size();
    const uint32_t width = kRowCells * cell + 20;
    const uint32_t height = grid_h + 30 + static_cast<uint32_t>(legend_lines) * 18;
    std::string svg = fmt::format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{}\" height=\"{}\" "
                                  "font-family=\"monospace\" font-size=\"12\">\n",
                                  width, height);
    // Hatched rather than coloured: no file's colour can match it.
    svg += "<defs><pattern id=\"to-erase\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\" "
           "patternTransform=\"rotate(45)\"><rect width=\"4\" height=\"4\" fill=\"#f2f2f2\"/>"
           "<rect width=\"2\" height=\"4\" fill=\"#404040\"/></pattern>\n"
           "<pattern id=\"missing\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
           "<rect width=\"4\" height=\"4\" fill=\"white\"/><rect width=\"2\" height=\"2\" fill=\"#c00000\"/>"
           "</pattern></defs>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (uint32_t c = 0; c < s.clus_count; ++c) {
        const uint32_t x = 10 + (c % kRowCells) * cell, y = 10 + (c / kRowCells) * cell;
        svg += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\" stroke=\"{}\" "
                           "stroke-width=\"{}\"><title>{}</title></rect>\n",
                           x, y, cell - 2, cell - 2, svg_fill(s, c), s.conflict[c] ? "red" : "none",
                           s.conflict[c] ? 2 : 0, cell_title(s, c));
    }
    uint32_t y = grid_h + 30;
    auto legend = [&](const std::string &fill, const std::string &text) {
        svg += fmt::format("<rect x=\"10\" y=\"{}\" width=\"12\" height=\"12\" fill=\"{}\"/><text x=\"28\" "
                           "y=\"{}\">{}</text>\n",
                           y, fill, y + 10, text);
        y += 18;
    };
    legend("#202020", "root");
    legend("#a0a0a0", "earlier root (to be erased)");
    legend("#f2f2f2", "free");
    legend("url(#to-erase)", "to be erased");
    legend("#600000", "bad");
    legend("url(#missing)", "missing: past the end of an image cut short");
    legend("none\" stroke=\"red\" stroke-width=\"2", "problem found by check");
    for (size_t i = 0; i < s.files.size(); ++i) {
        const double hue = std::fmod(double(i) * 137.508, 360.0);
        legend(fmt::format("hsl({:.0f},65%,55%)", hue),
               fmt::format("{} ({} bytes, {} cluster{})", svg_text(s.files[i].name), s.files[i].entry.size,
                           s.files[i].clusters.size(), s.files[i].clusters.size() == 1 ? "" : "s"));
    }
    svg += "</svg>\n";
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << svg;
    if (!f.flush())
        throw Error(fmt::format("cannot write {}", path));
}

} // namespace

int cmd_map(Output &o, const Image &img, const std::string &svg_path) {
    const Survey s = survey_image(img.bytes, img.params());
    const Cells cells(s.files.size());
    const uint32_t row_cells = cells.per_row();
    for (uint32_t row = 0; row * row_cells < s.clus_count; ++row) {
        std::string line = fmt::format("{:>5} ", row * row_cells);
        for (uint32_t c = row * row_cells; c < s.clus_count && c < (row + 1) * row_cells; ++c)
            line += o.color ? colored(s, c, cell_mark(s, cells, c)) : cell_mark(s, cells, c);
        o.out << line << '\n';
    }
    o.out << fmt::format("\n{} root  {} earlier root  {} free  {} to be erased  {} bad  {}{} problem (see check)\n",
                         cells.other('R'), cells.other('r'), cells.other('.'), cells.other('x'), cells.other('#'),
                         s.cut_short() ? cells.other('~') + " missing  " : std::string(), cells.other('!'));
    for (size_t i = 0; i < s.files.size(); ++i) {
        const std::string mark = cells.file(i);
        o.out << fmt::format("{} {} ({} bytes, {} cluster{})\n",
                             o.color ? fmt::format(fmt::fg(file_color(i)), "{}", mark) : mark,
                             printable(s.files[i].name), s.files[i].entry.size, s.files[i].clusters.size(),
                             s.files[i].clusters.size() == 1 ? "" : "s");
    }
    if (!svg_path.empty())
        write_svg(s, svg_path);
    return tell_cut_short(o, img);
}

} // namespace dace_tool
