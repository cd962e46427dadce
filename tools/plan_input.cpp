#include "tools/plan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
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
// real part's own figures are given as options or in the workload file.
std::vector<Part> make_part_classes() {
    Part nor4k;
    nor4k.name = "nor-4k";
    nor4k.about = "SPI NOR with 4 KiB sectors, a cluster per sector: 4 MiB, 256-byte pages";
    nor4k.page_size = 256;
    nor4k.clus_pages = 16;
    nor4k.total_pages = 16384;
    nor4k.read_mb_s = 20;
    nor4k.program_us = 700;
    nor4k.program_us_max = 3000;
    nor4k.erase_ms = 45;
    nor4k.erase_ms_max = 400;
    nor4k.endurance = 100000;

    // Such a part erases 64 KiB blocks faster per byte, but a cluster stays
    // below 64 KiB: clusters of 4 KiB use its sector erase.
    Part nor64k;
    nor64k.name = "nor-64k";
    nor64k.about = "NOR with 64 KiB blocks used with 4 KiB clusters (its 4 KiB sector erase): 8 MiB, 256-byte pages";
    nor64k.page_size = 256;
    nor64k.clus_pages = 16;
    nor64k.total_pages = 32768;
    nor64k.read_mb_s = 50;
    nor64k.program_us = 400;
    nor64k.program_us_max = 1800;
    nor64k.erase_ms = 60;
    nor64k.erase_ms_max = 450;
    nor64k.endurance = 100000;

    // 32 KiB is the largest cluster of 2 KiB pages: the part's erase block
    // must be that size (ECC and bad blocks are its driver's).
    Part nand;
    nand.name = "nand-2k";
    nand.about = "small SLC NAND, 2 KiB pages, 32 KiB erase blocks (16 pages a cluster): 64 MiB";
    nand.page_size = 2048;
    nand.clus_pages = 16;
    nand.total_pages = 32768;
    nand.read_mb_s = 25;
    nand.program_us = 250;
    nand.program_us_max = 700;
    nand.erase_ms = 2;
    nand.erase_ms_max = 10;
    nand.endurance = 100000;
    return {nor4k, nor64k, nand};
}

// ---- reading the workload document ---------------------------------------------

[[noreturn]] void refuse(const std::string &key, const std::string &why) {
    throw Error(fmt::format("{}: {}", key, why));
}

// One object of the document: its keys are taken one by one, and any key
// left over is refused, so that a misspelt key is never silently ignored.
class Section {
public:
    Section(const json &doc, std::string name) : name_(std::move(name)) {
        const auto it = doc.find(name_);
        if (it == doc.end() || it->is_null())
            return;
        if (!it->is_object())
            refuse(name_, "must be an object of keys");
        obj_ = &*it;
    }
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
    else if (v.is_number_float() && std::isfinite(v.get<double>()) && v.get<double>() >= 0 &&
             v.get<double>() == std::floor(v.get<double>()) && v.get<double>() < 1.8e19)
        n = static_cast<uint64_t>(v.get<double>());
    else
        refuse(key, fmt::format("{} is not a whole number", v.dump()));
    if (n < lo || n > hi)
        refuse(key, fmt::format("{} is outside {} to {}", n, lo, hi));
    return n;
}

double real_number(const std::string &key, const json &v, double lo, bool lo_open) {
    if (!v.is_number())
        refuse(key, fmt::format("{} is not a number", v.dump()));
    const double d = v.get<double>();
    if (!std::isfinite(d) || d < lo || (lo_open && d == lo))
        refuse(key, fmt::format("{} must be {} {}", v.dump(), lo_open ? "above" : "at least", lo));
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
    if (number.empty() || end != number.c_str() + number.size() || it == units.end())
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
    if (bytes != std::floor(bytes) || bytes > 1.8e19)
        refuse(key, fmt::format("{} is not a whole number of bytes", v.dump()));
    return whole_number(key, json(static_cast<uint64_t>(bytes)), lo, hi);
}

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
        ms = real_number(key, v, 0, false) * 1e3;
    if (ms > 1e15)
        refuse(key, fmt::format("{} is too long", v.dump()));
    const auto whole = static_cast<uint64_t>(std::llround(ms));
    if (whole == 0 && !(zero_is_none && ms == 0))
        refuse(key, fmt::format("{} is below a millisecond", v.dump()));
    return whole;
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

void set_real(Section &s, const char *k, double &target, double lo, bool lo_open) {
    if (const json *v = s.get(k))
        target = real_number(s.key(k), *v, lo, lo_open);
}

Part read_part(const json &doc) {
    Section s(doc, "part");
    Part p = part_classes().front();
    if (const json *v = s.get("class")) {
        const Part *c = v->is_string() ? find_part_class(v->get<std::string>()) : nullptr;
        if (c == nullptr) {
            std::vector<std::string> names;
            for (const Part &k : part_classes())
                names.push_back(k.name);
            refuse(s.key("class"),
                   fmt::format("{} is not a class of part (known: {})", v->dump(), fmt::join(names, ", ")));
        }
        p = *c;
    }
    const Part cls = p;
    set_whole(s, "page_size", p.page_size, 32, 0xFFFF);
    set_whole(s, "clus_pages", p.clus_pages, 1, 0xFFFF);
    const json *pages = s.get("pages");
    const json *size = s.get("size");
    if (pages != nullptr && size != nullptr)
        refuse(s.key("size"), "give the part's size or its pages, not both");
    if (pages != nullptr)
        p.total_pages = static_cast<uint16_t>(whole_number(s.key("pages"), *pages, 1, 0xFFFF));
    if (size != nullptr) {
        const uint64_t bytes = byte_size(s.key("size"), *size, 1, uint64_t{0xFFFF} * p.page_size);
        if (bytes % p.page_size != 0)
            refuse(s.key("size"), fmt::format("{} bytes are not whole pages of {}", bytes, p.page_size));
        p.total_pages = static_cast<uint16_t>(bytes / p.page_size);
    }
    set_real(s, "read_mb_s", p.read_mb_s, 0, true);
    set_real(s, "program_us", p.program_us, 0, false);
    set_real(s, "program_us_max", p.program_us_max, 0, false);
    set_real(s, "erase_ms", p.erase_ms, 0, false);
    set_real(s, "erase_ms_max", p.erase_ms_max, 0, false);
    set_whole(s, "endurance", p.endurance, 1, uint64_t{1} << 53);
    s.finish();
    if (p.program_us_max < p.program_us)
        refuse(s.key("program_us_max"), fmt::format("{} is below the typical {}", p.program_us_max, p.program_us));
    if (p.erase_ms_max < p.erase_ms)
        refuse(s.key("erase_ms_max"), fmt::format("{} is below the typical {}", p.erase_ms_max, p.erase_ms));
    const bool same = p.page_size == cls.page_size && p.clus_pages == cls.clus_pages &&
                      p.total_pages == cls.total_pages && p.read_mb_s == cls.read_mb_s &&
                      p.program_us == cls.program_us && p.program_us_max == cls.program_us_max &&
                      p.erase_ms == cls.erase_ms && p.erase_ms_max == cls.erase_ms_max && p.endurance == cls.endurance;
    if (!same)
        p.about += ", with figures given";
    return p;
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
        s.finish();
        if (w.settings_size != 0 && w.max_files < 2)
            refuse(s.key("max_files"), "1 leaves no handle for the settings file while the log is open");
    }
    return w;
}

RunLimits read_run(const json &doc) {
    RunLimits r;
    Section s(doc, "run");
    if (const json *v = s.get("period"))
        r.period_ms = duration_ms(s.key("period"), *v, false);
    set_whole(s, "max_days", r.max_days, 1, 100000);
    set_real(s, "tolerance", r.tolerance, 0, true);
    set_whole(s, "min_periods", r.min_periods, 2, 100000);
    s.finish();
    if (r.tolerance >= 1)
        refuse(s.key("tolerance"), fmt::format("{} is a fraction: 0.02 is 2%", r.tolerance));
    if (r.period_ms > uint64_t{r.max_days} * kDayMs)
        refuse(s.key("period"), fmt::format("is longer than max_days ({})", r.max_days));
    return r;
}

json part_document(const Part &p) {
    return json{{"class", p.name},
                {"page_size", p.page_size},
                {"clus_pages", p.clus_pages},
                {"pages", p.total_pages},
                {"read_mb_s", p.read_mb_s},
                {"program_us", p.program_us},
                {"program_us_max", p.program_us_max},
                {"erase_ms", p.erase_ms},
                {"erase_ms_max", p.erase_ms_max},
                {"endurance", p.endurance}};
}

double seconds(uint64_t ms) { return double(ms) / 1000.0; }

} // namespace

const std::vector<Part> &part_classes() {
    static const std::vector<Part> classes = make_part_classes();
    return classes;
}

const Part *find_part_class(std::string_view name) {
    for (const Part &p : part_classes())
        if (p.name == name)
            return &p;
    return nullptr;
}

PlanInput plan_input(const json &document, const json &overrides) {
    if (!document.is_object())
        throw Error(
            "the workload must be a JSON object of sections (part, record, log, settings, reboot, config, run)");
    json doc = document;
    doc.merge_patch(overrides);
    static const std::set<std::string> sections = {"part", "record", "log", "settings", "reboot", "config", "run"};
    for (const auto &[k, v] : doc.items())
        if (sections.count(k) == 0)
            refuse(k, fmt::format("unknown section (known: {})", fmt::join(sections, ", ")));
    PlanInput in;
    in.part = read_part(doc);
    in.workload = read_workload(doc);
    in.run = read_run(doc);
    // The library's own rules for the configuration, with the files open.
    Params config;
    config.page_size = in.part.page_size;
    config.clus_pages = in.part.clus_pages;
    config.total_pages = in.part.total_pages;
    config.max_files = in.workload.max_files;
    check_geometry(config);
    return in;
}

json plan_document(const PlanInput &in) {
    const Workload &w = in.workload;
    json modes = w.modes.size() == 2 ? json("both") : json(w.modes.front() == Mode::WearLevelling);
    return json{
        {"part", part_document(in.part)},
        {"record", {{"size", w.record_size}, {"interval", seconds(w.record_every_ms)}, {"flush_every", w.flush_every}}},
        {"log", {{"name", w.log_name}, {"max_size", w.log_max_size}, {"keep", w.logs_kept}}},
        {"settings", {{"name", w.settings_name}, {"size", w.settings_size}, {"every", seconds(w.settings_every_ms)}}},
        {"reboot", {{"every", seconds(w.reboot_every_ms)}}},
        {"config",
         {{"max_files", w.max_files},
          {"wear_levelling", modes},
          {"verify_reads", w.verify_reads},
          {"erase_ahead", w.erase_ahead}}},
        {"run",
         {{"period", seconds(in.run.period_ms)},
          {"max_days", in.run.max_days},
          {"tolerance", in.run.tolerance},
          {"min_periods", in.run.min_periods}}}};
}

} // namespace dace_tool
