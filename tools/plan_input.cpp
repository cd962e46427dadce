#include "tools/plan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <set>

#include <fmt/format.h>

#include "dace/dace.h"
#include "tools/image.h"
#include "tools/image_file.h"

namespace dace_tool {

namespace {

using nlohmann::json;

constexpr uint64_t kDayMs = 86400ull * 1000;

// ---- the part classes ----------------------------------------------------------

// Figures typical of each class of part, as its datasheets give them; a
// real part's own figures are given as options, in the workload file or in
// a part file. A cluster is one erase block in each.
std::vector<Part> make_part_classes() {
    Part nor4k;
    nor4k.name = "nor-4k";
    nor4k.about = "SPI NOR with 4 KiB sectors, a cluster per sector: 4 MiB, 256-byte pages";
    nor4k.source = "typical and maximum datasheet figures of 32 Mbit 3 V serial NOR parts with 4 KiB sectors, "
                   "read dual output at 80 MHz; a call's command, address and dummy bytes, and a program's data, "
                   "on one line at 80 MHz";
    nor4k.page_size = 256;
    nor4k.clus_pages = 16;
    nor4k.total_pages = 16384;
    nor4k.erase_block = 4096;
    nor4k.read_mb_s = 20;
    nor4k.read_call_us = 1;
    nor4k.page_read_us = 0;
    nor4k.program_us = 700;
    nor4k.program_us_max = 3000;
    nor4k.program_call_us = 27;
    nor4k.erase_ms = 45;
    nor4k.erase_ms_max = 400;
    nor4k.erase_call_us = 2;
    nor4k.endurance = 100000;

    // Such parts also erase 64 KiB blocks, which no cluster can be: the
    // clusters take their 4 KiB sectors.
    Part quad = nor4k;
    quad.name = "nor-4k-quad";
    quad.about = "SPI NOR with 4 KiB sectors on a quad SPI bus, a cluster per sector: 8 MiB, 256-byte pages";
    quad.source = "typical and maximum datasheet figures of 64 Mbit 3 V serial NOR parts with 4 KiB sectors, "
                  "read and programmed on four lines at 104 MHz";
    quad.total_pages = 32768;
    quad.read_mb_s = 50;
    quad.read_call_us = 0.5;
    quad.program_us = 400;
    quad.program_us_max = 3000;
    quad.program_call_us = 7;
    quad.erase_ms = 60;
    quad.erase_ms_max = 450;

    // The NAND parts whose erase block is below 64 KiB: 512-byte pages, 32
    // to a block. Larger-page NAND erases 128 KiB blocks and fits no cluster.
    Part nand;
    nand.name = "nand-512";
    nand.about = "small-page SLC NAND, 512-byte pages, 32 to a 16 KiB erase block, a cluster per block: 16 MiB; "
                 "its driver adds ECC (in the 16 spare bytes of each page) and maps out bad blocks";
    nand.source = "typical and maximum datasheet figures of 128 Mbit small-page SLC NAND parts on an 8-bit bus "
                  "with a 50 ns cycle; a read loads each page it touches into the register first (tR)";
    nand.page_size = 512;
    nand.clus_pages = 32;
    nand.total_pages = 32768;
    nand.erase_block = 16384;
    nand.read_mb_s = 20;
    nand.read_call_us = 0.5;
    nand.page_read_us = 12;
    nand.program_us = 200;
    nand.program_us_max = 500;
    nand.program_call_us = 27;
    nand.erase_ms = 2;
    nand.erase_ms_max = 3;
    nand.erase_call_us = 1;
    nand.endurance = 100000;
    return {nor4k, quad, nand};
}

// Names of classes there were, and why each is gone.
const char *retired_class(std::string_view name) {
    if (name == "nand-2k")
        return "2 KiB-page SLC NAND erases blocks of 64 pages (128 KiB), and a cluster is an erase block or more "
               "and stays below 64 KiB: no such part can hold this file system; small-page NAND can (nand-512)";
    if (name == "nor-64k")
        return "it was a NOR with 4 KiB sectors on a faster bus, now nor-4k-quad";
    return nullptr;
}

// ---- reading the workload document ---------------------------------------------

[[noreturn]] void refuse(const std::string &key, const std::string &why) {
    throw Error(fmt::format("{}: {}", key, why));
}

// One object of the document: its keys are taken one by one, and any key
// left over is refused, so that a misspelt key is never silently ignored.
class Section {
public:
    // The object `value` (may be null: no keys), called `name` in messages.
    Section(const json *value, std::string name) : name_(std::move(name)) {
        if (value == nullptr || value->is_null())
            return;
        if (!value->is_object())
            refuse(name_, "must be an object of keys");
        obj_ = value;
    }
    // The section `name` of the document.
    Section(const json &doc, const std::string &name) : Section(doc.contains(name) ? &doc.at(name) : nullptr, name) {}
    ~Section() = default;
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

    const json *get(const std::string &key) {
        known_.push_back(key);
        if (obj_ == nullptr)
            return nullptr;
        const auto it = obj_->find(key);
        return it == obj_->end() || it->is_null() ? nullptr : &*it;
    }
    std::string key(const std::string &k) const { return name_ + "." + k; }
    // Refuses a key that no get() asked for.
    void finish() const {
        if (obj_ == nullptr)
            return;
        for (const auto &[k, v] : obj_->items())
            if (std::find(known_.begin(), known_.end(), k) == known_.end())
                refuse(key(k), fmt::format("unknown key (known: {})", fmt::join(known_, ", ")));
    }

private:
    std::string name_;
    const json *obj_ = nullptr;
    std::vector<std::string> known_;
};

uint64_t whole_number(const std::string &key, const json &v, uint64_t lo, uint64_t hi) {
    uint64_t n = 0;
    if (v.is_number_unsigned())
        n = v.get<uint64_t>();
    else if (v.is_number_integer() && v.get<int64_t>() >= 0)
        n = static_cast<uint64_t>(v.get<int64_t>());
    else if (v.is_number_integer())
        refuse(key, fmt::format("{} is below {}", v.get<int64_t>(), lo));
    else if (v.is_number_float() && v.get<double>() >= 0 && v.get<double>() == std::floor(v.get<double>()) &&
             v.get<double>() < 1.8e19)
        n = static_cast<uint64_t>(v.get<double>());
    else if (v.is_number_float() && v.get<double>() >= 1.8e19)
        refuse(key, fmt::format("{} is outside {} to {}", v.dump(), lo, hi));
    else
        refuse(key, fmt::format("{} is not a whole number", v.dump()));
    if (n < lo || n > hi)
        refuse(key, fmt::format("{} is outside {} to {}", n, lo, hi));
    return n;
}

// A figure between `lo` (excluded where `lo_open`) and `hi`: what a part or
// a run can have, so that no figure derived from it overflows.
double real_number(const std::string &key, const json &v, double lo, bool lo_open, double hi) {
    if (!v.is_number())
        refuse(key, fmt::format("{} is not a number", v.dump()));
    const double d = v.get<double>();
    if (d < lo || (lo_open && d == lo))
        refuse(key, fmt::format("{} must be {} {}", v.dump(), lo_open ? "above" : "at least", lo));
    if (d > hi)
        refuse(key, fmt::format("{} is above {}", v.dump(), hi));
    return d;
}

bool flag(const std::string &key, const json &v) {
    if (v.is_boolean())
        return v.get<bool>();
    if (v.is_string() && (v == "on" || v == "off"))
        return v == "on";
    refuse(key, fmt::format("{} is neither true nor false", v.dump()));
}

// A text that ends in one of `units`: its number and the unit's factor.
double with_unit(const std::string &key, const std::string &text,
                 const std::vector<std::pair<std::string, double>> &units, const char *what) {
    size_t digits = 0;
    while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.'))
        ++digits;
    std::string unit = text.substr(digits);
    while (!unit.empty() && unit.front() == ' ')
        unit.erase(unit.begin());
    const auto it = std::find_if(units.begin(), units.end(), [&](const auto &u) { return u.first == unit; });
    char *end = nullptr;
    const std::string number = text.substr(0, digits);
    const double value = number.empty() ? 0 : std::strtod(number.c_str(), &end);
    if (number.empty() || end != number.c_str() + number.size() || it == units.end() || !std::isfinite(value))
        refuse(key, fmt::format("\"{}\" is not {}", text, what));
    return value * it->second;
}

// Bytes: a whole number, or a text such as "512", "64K", "4M" (powers of 1024).
uint64_t byte_size(const std::string &key, const json &v, uint64_t lo, uint64_t hi) {
    if (!v.is_string())
        return whole_number(key, v, lo, hi);
    static const std::vector<std::pair<std::string, double>> units = {
        {"", 1.0},        {"B", 1.0},         {"K", 1024.0},       {"KiB", 1024.0},
        {"M", 1048576.0}, {"MiB", 1048576.0}, {"G", 1073741824.0}, {"GiB", 1073741824.0}};
    const double bytes = with_unit(key, v.get<std::string>(), units, "a size such as 512, \"64K\" or \"4M\"");
    if (bytes != std::floor(bytes))
        refuse(key, fmt::format("{} is not a whole number of bytes", v.dump()));
    if (bytes > 1.8e19)
        refuse(key, fmt::format("{} is outside {} to {}", v.dump(), lo, hi));
    return whole_number(key, json(static_cast<uint64_t>(bytes)), lo, hi);
}

// The longest time a workload may name: the longest run.
constexpr double kLongestMs = 100000.0 * double(kDayMs);

// Milliseconds from seconds or a text such as "250ms", "10s", "5min", "1h",
// "2d"; 0 only where `zero_is_none`.
uint64_t duration_ms(const std::string &key, const json &v, bool zero_is_none) {
    static const std::vector<std::pair<std::string, double>> units = {{"ms", 1.0},  {"s", 1e3},   {"", 1e3},
                                                                      {"min", 6e4}, {"h", 3.6e6}, {"d", 8.64e7}};
    double ms = 0;
    if (v.is_string())
        ms = with_unit(key, v.get<std::string>(), units,
                       "a time such as 10, \"250ms\", \"10s\", \"5min\", \"1h\", \"2d\"");
    else
        ms = real_number(key, v, 0, false, std::numeric_limits<double>::max()) * 1e3;
    if (ms > kLongestMs)
        refuse(key, fmt::format("{} is longer than the longest run, 100000 days", v.dump()));
    const auto whole = static_cast<uint64_t>(std::llround(ms));
    if (whole == 0 && !(zero_is_none && ms == 0))
        refuse(key, fmt::format("{} is below a millisecond", v.dump()));
    return whole;
}

std::string text(const std::string &key, const json &v) {
    if (!v.is_string())
        refuse(key, fmt::format("{} is not a text", v.dump()));
    return v.get<std::string>();
}

std::string file_name(const std::string &key, const json &v, size_t room) {
    if (!v.is_string())
        refuse(key, fmt::format("{} is not a name", v.dump()));
    const std::string name = v.get<std::string>();
    if (dace_check_filename(name.c_str()) != DACE_NAME_OK || name.size() + room > 18 ||
        name.find('\0') != std::string::npos)
        refuse(key, fmt::format("\"{}\": a file name is 1 to {} bytes here (the library's 18 less \"{}\"), no / or \\",
                                name, 18 - room, std::string(room, 'x')));
    return name;
}

template <class T> void set_whole(Section &s, const char *k, T &target, uint64_t lo, uint64_t hi) {
    if (const json *v = s.get(k))
        target = static_cast<T>(whole_number(s.key(k), *v, lo, hi));
}

void set_real(Section &s, const char *k, double &target, double lo, bool lo_open, double hi) {
    if (const json *v = s.get(k))
        target = real_number(s.key(k), *v, lo, lo_open, hi);
}

std::string class_names() {
    std::vector<std::string> names;
    for (const Part &k : part_classes())
        names.push_back(k.name);
    return fmt::format("{}", fmt::join(names, ", "));
}

const Part &part_class(const std::string &key, const json &v) {
    const Part *c = v.is_string() ? find_part_class(v.get<std::string>()) : nullptr;
    if (c != nullptr)
        return *c;
    if (const char *why = v.is_string() ? retired_class(v.get<std::string>()) : nullptr)
        refuse(key, fmt::format("{} is no longer a class of part: {}", v.dump(), why));
    refuse(key, fmt::format("{} is not a class of part (known: {})", v.dump(), class_names()));
}

// The configuration numbers pages in 16 bits: a larger part is used in
// logical pages of several physical ones, programmed together.
[[noreturn]] void refuse_too_many_pages(const std::string &key, uint64_t pages, const Part &p) {
    uint64_t factor = 2;
    while (pages / factor > 0xFFFF)
        factor *= 2;
    const uint64_t logical = p.page_size * factor;
    const uint64_t clus_pages = std::max<uint64_t>(1, p.clus_pages / factor);
    refuse(key, fmt::format("{} pages of {} bytes, but a configuration numbers 65535 pages at most: use a logical "
                            "page of {} physical pages (page_size {}, clus_pages {}{}; docs/firmware.md, \"Parts "
                            "larger than 65535 pages\")",
                            pages, p.page_size, factor, logical, clus_pages,
                            clus_pages * logical == p.clus_size() ? ": the same clusters" : ""));
}

// One part: a class (nor-4k unless given) and the figures that differ from
// it. `key` names it in messages ("part", or "part[1]" in a comparison).
Part read_part(const json &value, const std::string &key) {
    Section s(&value, key);
    Part p = part_classes().front();
    if (const json *v = s.get("class"))
        p = part_class(s.key("class"), *v);
    const Part cls = p;
    if (const json *v = s.get("label"))
        p.label = text(s.key("label"), *v);
    const json *about = s.get("about");
    if (about != nullptr)
        p.about = text(s.key("about"), *about);
    if (const json *v = s.get("source"))
        p.source = text(s.key("source"), *v);
    set_whole(s, "page_size", p.page_size, 32, 0xFFFF);
    set_whole(s, "clus_pages", p.clus_pages, 1, 0xFFFF);
    const json *pages = s.get("pages");
    const json *size = s.get("size");
    if (pages != nullptr && size != nullptr)
        refuse(s.key("size"), "give the part's size or its pages, not both");
    if (pages != nullptr) {
        const uint64_t n = whole_number(s.key("pages"), *pages, 1, uint64_t{1} << 40);
        if (n > 0xFFFF)
            refuse_too_many_pages(s.key("pages"), n, p);
        p.total_pages = static_cast<uint16_t>(n);
    }
    if (size != nullptr) {
        const uint64_t bytes = byte_size(s.key("size"), *size, 1, uint64_t{1} << 50);
        if (bytes % p.page_size != 0)
            refuse(s.key("size"), fmt::format("{} bytes are not whole pages of {}", bytes, p.page_size));
        if (bytes / p.page_size > 0xFFFF)
            refuse_too_many_pages(s.key("size"), bytes / p.page_size, p);
        p.total_pages = static_cast<uint16_t>(bytes / p.page_size);
    }
    if (const json *v = s.get("erase_block"))
        p.erase_block = static_cast<uint32_t>(byte_size(s.key("erase_block"), *v, 1, uint64_t{1} << 30));
    set_real(s, "read_mb_s", p.read_mb_s, 0, true, 10000);
    set_real(s, "read_call_us", p.read_call_us, 0, false, 100000);
    set_real(s, "page_read_us", p.page_read_us, 0, false, 100000);
    set_real(s, "program_us", p.program_us, 0, false, 100000);
    set_real(s, "program_us_max", p.program_us_max, 0, false, 100000);
    set_real(s, "program_call_us", p.program_call_us, 0, false, 100000);
    set_real(s, "erase_ms", p.erase_ms, 0, false, 10000);
    set_real(s, "erase_ms_max", p.erase_ms_max, 0, false, 10000);
    set_real(s, "erase_call_us", p.erase_call_us, 0, false, 100000);
    set_whole(s, "endurance", p.endurance, 1, 100000000);
    s.finish();
    if (p.program_us_max < p.program_us)
        refuse(s.key("program_us_max"), fmt::format("{} is below the typical {}", p.program_us_max, p.program_us));
    if (p.erase_ms_max < p.erase_ms)
        refuse(s.key("erase_ms_max"), fmt::format("{} is below the typical {}", p.erase_ms_max, p.erase_ms));
    if (p.erase_block >= 0x10000)
        refuse(s.key("erase_block"),
               fmt::format("{} bytes: a cluster is one erase block or more and stays below 64 KiB, so this part "
                           "cannot hold the file system (parts that can: docs/firmware.md, \"Parts that fit\")",
                           p.erase_block));
    if (about == nullptr) {
        // The class's description, and which of its figures are not the part's.
        const json mine = part_document(p), class_figures = part_document(cls);
        std::vector<std::string> given;
        for (const auto &[k, v] : mine.items())
            if (k != "label" && k != "source" && class_figures[k] != v)
                given.push_back(k);
        if (!given.empty())
            p.about += fmt::format("; given: {}", fmt::join(given, ", "));
    }
    return p;
}

// The parts of the document's "part": one (an object), or an array of
// objects and class names, each with `over` laid over it.
std::vector<Part> read_parts(const json &doc, const json &over) {
    std::vector<json> given;
    const auto it = doc.find("part");
    if (it == doc.end() || it->is_null() || it->is_object()) {
        given.push_back(it == doc.end() || it->is_null() ? json::object() : *it);
    } else if (it->is_array() && !it->empty()) {
        for (const json &p : *it)
            given.push_back(p.is_string() ? json{{"class", p}} : p);
    } else {
        refuse("part", "must be a part (an object of keys) or an array of parts and class names");
    }
    std::vector<Part> parts;
    for (size_t i = 0; i < given.size(); ++i) {
        const std::string key = given.size() > 1 ? fmt::format("part[{}]", i) : "part";
        if (!given[i].is_object())
            refuse(key, "must be a class name or an object of keys");
        given[i].merge_patch(over);
        parts.push_back(read_part(given[i], key));
    }
    // Each column needs a label of its own: the second nor-4k is nor-4k#2.
    std::vector<std::string> titles;
    for (const Part &p : parts)
        titles.push_back(p.title());
    for (size_t i = 0; i < parts.size(); ++i) {
        const auto same = std::count(titles.begin(), titles.begin() + long(i), titles[i]);
        if (same > 0)
            parts[i].label = fmt::format("{}#{}", titles[i], same + 1);
    }
    return parts;
}

Workload read_workload(const json &doc) {
    Workload w;
    {
        Section s(doc, "record");
        if (const json *v = s.get("size"))
            w.record_size = static_cast<uint32_t>(byte_size(s.key("size"), *v, 1, 1u << 24));
        if (const json *v = s.get("interval"))
            w.record_every_ms = duration_ms(s.key("interval"), *v, false);
        set_whole(s, "flush_every", w.flush_every, 1, 1u << 30);
        s.finish();
    }
    {
        Section s(doc, "log");
        if (const json *v = s.get("name"))
            w.log_name = file_name(s.key("name"), *v, 0);
        if (const json *v = s.get("max_size"))
            w.log_max_size = static_cast<uint32_t>(byte_size(s.key("max_size"), *v, 1, 0xFFFFFFFFu));
        set_whole(s, "keep", w.logs_kept, 0, 9);
        s.finish();
        if (w.logs_kept > 0 && w.log_name.size() + 2 > 18)
            refuse(s.key("name"), fmt::format("\"{}\" leaves no room for the old logs' \".N\"", w.log_name));
    }
    {
        Section s(doc, "settings");
        if (const json *v = s.get("name"))
            w.settings_name = file_name(s.key("name"), *v, 4);
        if (const json *v = s.get("size"))
            w.settings_size = static_cast<uint32_t>(byte_size(s.key("size"), *v, 0, 1u << 24));
        if (const json *v = s.get("every"))
            w.settings_every_ms = duration_ms(s.key("every"), *v, true);
        s.finish();
        if (w.settings_size == 0 || w.settings_every_ms == 0) {
            w.settings_size = 0;
            w.settings_every_ms = 0;
        }
        if (w.settings_size != 0 && w.settings_name.size() + 4 > 18)
            refuse(s.key("name"), fmt::format("\"{}\" leaves no room for \".new\"", w.settings_name));
        const bool clash =
            w.settings_size != 0 && (w.settings_name == w.log_name || w.settings_name.rfind(w.log_name + ".", 0) == 0 ||
                                     w.log_name.rfind(w.settings_name + ".", 0) == 0);
        if (clash)
            refuse(s.key("name"), fmt::format("\"{}\" clashes with the log's names (\"{}\", \"{}.1\" ...)",
                                              w.settings_name, w.log_name, w.log_name));
    }
    {
        Section s(doc, "reboot");
        if (const json *v = s.get("every"))
            w.reboot_every_ms = duration_ms(s.key("every"), *v, true);
        s.finish();
    }
    {
        Section s(doc, "config");
        set_whole(s, "max_files", w.max_files, 1, 0xFFFF);
        if (const json *v = s.get("wear_levelling")) {
            if (*v == "both")
                w.modes = {Mode::FirstFit, Mode::WearLevelling};
            else if (v->is_boolean() || *v == "on" || *v == "off")
                w.modes = {flag(s.key("wear_levelling"), *v) ? Mode::WearLevelling : Mode::FirstFit};
            else
                refuse(s.key("wear_levelling"), fmt::format("{} is not true, false or \"both\" (on, off)", v->dump()));
        }
        if (const json *v = s.get("verify_reads"))
            w.verify_reads = flag(s.key("verify_reads"), *v);
        set_whole(s, "erase_ahead", w.erase_ahead, 0, 0xFFFF);
        if (const json *v = s.get("build")) {
            w.build = text(s.key("build"), *v);
            if (find_build(w.build) == nullptr) {
                std::vector<std::string> names;
                for (const Build &b : builds())
                    names.emplace_back(b.name);
                refuse(s.key("build"),
                       fmt::format("\"{}\" is not a build (known: {})", w.build, fmt::join(names, ", ")));
            }
        }
        s.finish();
        if (w.settings_size != 0 && w.max_files < 2)
            refuse(s.key("max_files"), "1 leaves no handle for the settings file while the log is open");
    }
    return w;
}

// At most this many periods in a run: each takes the figures of every cluster.
constexpr uint64_t kMostPeriods = 100000;

RunLimits read_run(const json &doc) {
    RunLimits r;
    Section s(doc, "run");
    if (const json *v = s.get("period"))
        r.period_ms = duration_ms(s.key("period"), *v, false);
    set_whole(s, "max_days", r.max_days, 1, 100000);
    set_real(s, "tolerance", r.tolerance, 0, false, 1e9);
    set_whole(s, "min_periods", r.min_periods, 2, 100000);
    s.finish();
    if (r.tolerance >= 1)
        refuse(s.key("tolerance"), fmt::format("{} is a fraction: 0.02 is 2%", r.tolerance));
    if (r.period_ms > uint64_t{r.max_days} * kDayMs)
        refuse(s.key("period"), fmt::format("is longer than max_days ({})", r.max_days));
    const uint64_t periods = uint64_t{r.max_days} * kDayMs / r.period_ms;
    if (periods > kMostPeriods)
        refuse(s.key("period"), fmt::format("{} periods in {} days: at most {}; take longer periods", periods,
                                            r.max_days, kMostPeriods));
    return r;
}

// What cannot run on a part is refused before the run: the directory and
// the part must hold what the workload keeps at once.
void check_room(const Part &p, const Workload &w, const std::string &key) {
    // Check that the library takes the configuration, with the files open.
    Params config;
    config.page_size = p.page_size;
    config.clus_pages = p.clus_pages;
    config.total_pages = p.total_pages;
    config.max_files = w.max_files;
    try {
        check_geometry(config);
    } catch (const Error &e) {
        refuse(key, e.what());
    }
    if (p.clus_size() % p.erase_block != 0)
        refuse(key + ".clus_pages",
               fmt::format("a cluster of {} pages of {} bytes is not whole erase blocks of {} bytes (give "
                           "part.erase_block for a part of another geometry)",
                           p.clus_pages, p.page_size, p.erase_block));
    const uint32_t entries = (p.clus_size() - 32) / 32;
    if (w.files_kept() > entries)
        refuse("log.keep",
               fmt::format("the log, {} old and {} make {} files, and a directory in {}-byte clusters ({}) holds {}: "
                           "keep fewer old logs or take larger clusters (config.max_files cannot help)",
                           w.logs_kept, w.settings_size != 0 ? "the settings file and its replacement" : "no settings",
                           w.files_kept(), p.clus_size(), p.title(), entries));
    const uint64_t payload = p.clus_size() - 8;
    const uint64_t log_clusters = (uint64_t{w.log_max_size} + payload - 1) / payload;
    const uint64_t settings_clusters = (uint64_t{w.settings_size} + payload - 1) / payload;
    // At a rotation every log kept and the live one are full; one cluster
    // holds the directory.
    const uint64_t needed = (uint64_t{w.logs_kept} + 1) * log_clusters + settings_clusters + 1;
    if (needed > p.clus_count())
        refuse("log.max_size",
               fmt::format("{} logs of {} bytes take {} clusters at their rotation, {} with the settings and the "
                           "directory, and {} has {}: lower log.max_size or log.keep, or take a larger part",
                           w.logs_kept + 1, w.log_max_size, (uint64_t{w.logs_kept} + 1) * log_clusters, needed,
                           p.title(), p.clus_count()));
}

double seconds(uint64_t ms) { return double(ms) / 1000.0; }

// Where in a document its reader is: the keys and indexes down to the value
// being read.
class DocumentPlace {
public:
    // Follows one event of the parser; refuses a container nested too deep
    // before it is built.
    void follow(int depth, json::parse_event_t event, const json &parsed, const std::string &source) {
        using E = json::parse_event_t;
        if (event == E::object_start || event == E::array_start) {
            if (!frames_.empty() && frames_.back().array)
                ++frames_.back().index;
            if (depth >= kMaxWorkloadDepth)
                throw Error(fmt::format("{}: nested deeper than {} levels at {}: no workload needs that", source,
                                        kMaxWorkloadDepth, path()));
            frames_.push_back(Frame{event == E::array_start, -1, {}});
        } else if (event == E::key && !frames_.empty()) {
            frames_.back().key = parsed.get<std::string>();
        } else if (event == E::value && !frames_.empty() && frames_.back().array) {
            ++frames_.back().index;
        } else if ((event == E::object_end || event == E::array_end) && !frames_.empty()) {
            frames_.pop_back();
        }
    }
    // "record.size", "part[1].erase_ms": the value being read.
    std::string path() const {
        std::string out;
        for (size_t i = 0; i < frames_.size(); ++i) {
            const Frame &f = frames_[i];
            if (f.array)
                out += fmt::format("[{}]", f.index + (i + 1 == frames_.size() ? 1 : 0));
            else if (!f.key.empty())
                out += (out.empty() ? "" : ".") + f.key;
        }
        return out.empty() ? "the document" : out;
    }

private:
    struct Frame {
        bool array;
        long index;
        std::string key;
    };
    std::vector<Frame> frames_;
};

template <class Input> json parse_checked(Input &&input, const std::string &source) {
    DocumentPlace place;
    try {
        return json::parse(std::forward<Input>(input), [&](int depth, json::parse_event_t event, json &parsed) {
            place.follow(depth, event, parsed, source);
            return true;
        });
    } catch (const json::out_of_range &e) {
        // Only a number the reader cannot hold: the text names it.
        const std::string what = e.what();
        const size_t open = what.find('\''), close = what.rfind('\'');
        const std::string number = open < close ? what.substr(open + 1, close - open - 1) : std::string("a number");
        throw Error(fmt::format("{}: {}: {} is beyond any number a workload holds", source, place.path(), number));
    } catch (const json::exception &e) {
        std::string what = e.what();
        if (const size_t at = what.find("] "); at != std::string::npos)
            what = what.substr(at + 2);
        throw Error(fmt::format("{}: not a JSON workload: {}", source, what));
    }
}

} // namespace

const std::vector<Part> &part_classes() {
    static const std::vector<Part> classes = make_part_classes();
    return classes;
}

const Part *find_part_class(std::string_view name) { return find_named(part_classes(), name); }

json parse_workload(std::istream &text, const std::string &source) { return parse_checked(text, source); }

json parse_workload(const std::string &text, const std::string &source) { return parse_checked(text, source); }

PlanInput plan_input(const json &document, const json &overrides) {
    if (!document.is_object())
        throw Error(
            "the workload must be a JSON object of sections (part, record, log, settings, reboot, config, run)");
    json doc = document;
    json over = overrides.is_object() ? overrides : json::object();
    json each_part = json::object();
    if (const auto it = over.find("part"); it != over.end()) {
        if (it->is_array())
            doc["part"] = *it;
        else if (it->is_object())
            each_part = *it;
        else if (!it->is_null())
            refuse("part", "an override is an array of parts or an object of keys for each part");
        over.erase("part");
    }
    doc.merge_patch(over);
    static const std::set<std::string> sections = {"part", "record", "log", "settings", "reboot", "config", "run"};
    for (const auto &[k, v] : doc.items())
        if (sections.count(k) == 0)
            refuse(k, fmt::format("unknown section (known: {})", fmt::join(sections, ", ")));
    PlanInput in;
    in.parts = read_parts(doc, each_part);
    in.workload = read_workload(doc);
    in.run = read_run(doc);
    for (size_t i = 0; i < in.parts.size(); ++i)
        check_room(in.parts[i], in.workload, in.parts.size() > 1 ? fmt::format("part[{}]", i) : "part");
    return in;
}

json part_document(const Part &p) {
    json j = {{"class", p.name},
              {"about", p.about},
              {"source", p.source},
              {"page_size", p.page_size},
              {"clus_pages", p.clus_pages},
              {"pages", p.total_pages},
              {"erase_block", p.erase_block},
              {"read_mb_s", p.read_mb_s},
              {"read_call_us", p.read_call_us},
              {"page_read_us", p.page_read_us},
              {"program_us", p.program_us},
              {"program_us_max", p.program_us_max},
              {"program_call_us", p.program_call_us},
              {"erase_ms", p.erase_ms},
              {"erase_ms_max", p.erase_ms_max},
              {"erase_call_us", p.erase_call_us},
              {"endurance", p.endurance}};
    if (!p.label.empty())
        j["label"] = p.label;
    return j;
}

json plan_document(const PlanInput &in) {
    const Workload &w = in.workload;
    json modes = w.modes.size() == 2 ? json("both") : json(w.modes.front() == Mode::WearLevelling);
    json parts = json::array();
    for (const Part &p : in.parts)
        parts.push_back(part_document(p));
    return json{
        {"part", parts.size() == 1 ? parts.front() : parts},
        {"record", {{"size", w.record_size}, {"interval", seconds(w.record_every_ms)}, {"flush_every", w.flush_every}}},
        {"log", {{"name", w.log_name}, {"max_size", w.log_max_size}, {"keep", w.logs_kept}}},
        {"settings", {{"name", w.settings_name}, {"size", w.settings_size}, {"every", seconds(w.settings_every_ms)}}},
        {"reboot", {{"every", seconds(w.reboot_every_ms)}}},
        {"config",
         {{"max_files", w.max_files},
          {"wear_levelling", modes},
          {"verify_reads", w.verify_reads},
          {"erase_ahead", w.erase_ahead},
          {"build", w.build}}},
        {"run",
         {{"period", seconds(in.run.period_ms)},
          {"max_days", in.run.max_days},
          {"tolerance", in.run.tolerance},
          {"min_periods", in.run.min_periods}}}};
}

} // namespace dace_tool
