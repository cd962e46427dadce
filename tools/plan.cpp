#include "tools/plan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "dace/dace.h"
#include "sim/flash_sim.h"
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
        {"", 1.0},         {"B", 1.0},          {"K", 1024.0}, {"KiB", 1024.0}, {"M", 1048576.0},
        {"MiB", 1048576.0}, {"G", 1073741824.0}, {"GiB", 1073741824.0}};
    const double bytes = with_unit(key, v.get<std::string>(), units, "a size such as 512, \"64K\" or \"4M\"");
    if (bytes != std::floor(bytes) || bytes > 1.8e19)
        refuse(key, fmt::format("{} is not a whole number of bytes", v.dump()));
    return whole_number(key, json(static_cast<uint64_t>(bytes)), lo, hi);
}

// Milliseconds from seconds or a text such as "250ms", "10s", "5min", "1h",
// "2d"; 0 only where `zero_is_none`.
uint64_t duration_ms(const std::string &key, const json &v, bool zero_is_none) {
    static const std::vector<std::pair<std::string, double>> units = {
        {"ms", 1.0}, {"s", 1e3}, {"", 1e3}, {"min", 6e4}, {"h", 3.6e6}, {"d", 8.64e7}};
    double ms = 0;
    if (v.is_string())
        ms = with_unit(key, v.get<std::string>(), units, "a time such as 10, \"250ms\", \"10s\", \"5min\", \"1h\", \"2d\"");
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
            refuse(s.key("class"), fmt::format("{} is not a class of part (known: {})", v->dump(), fmt::join(names, ", ")));
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
    Params geometry;
    geometry.page_size = p.page_size;
    geometry.clus_pages = p.clus_pages;
    geometry.total_pages = p.total_pages;
    check_geometry(geometry);
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
        const bool clash = w.settings_size != 0 && (w.settings_name == w.log_name ||
                                                    w.settings_name.rfind(w.log_name + ".", 0) == 0 ||
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

// ---- the device: the library on the simulator ----------------------------------

// The part with the library mounted on it, as the firmware drives it. Every
// operation returns the calls it made on the medium, read from the
// simulator's record of them.
class Device {
public:
    Device(const PlanInput &in, Mode mode)
        : in_(in), w_(in.workload), mode_(mode),
          sim_(dace_sim::Geometry{in.part.page_size, in.part.clus_pages, in.part.total_pages}),
          cfg_(sim_.config(w_.max_files)) {
        sim_.set_logging(true);
        record_.resize(w_.record_size);
        settings_.resize(w_.settings_size);
    }
    // A copy of the medium as it is now, to be booted on its own: the state
    // and the open log stay with this device.
    Device(const Device &other) : in_(other.in_), w_(other.w_), mode_(other.mode_), sim_(other.sim_), cfg_(other.cfg_) {
        sim_.attach(cfg_);
        boots_ = other.boots_;
        record_.resize(w_.record_size);
        settings_.resize(w_.settings_size);
    }
    Device &operator=(const Device &) = delete;

    // A blank part made an empty volume, as the factory does: not measured.
    void format() {
        block_.assign(dace_getstatesize(&cfg_) / 8 + 1, 0);
        fs_ = dace_format(&cfg_, block_.data());
        if (fs_ == nullptr)
            throw library_error("the part cannot be formatted", dace_init_error(block_.data()));
        fs_ = nullptr;
        take();
    }

    // A reset, then what firmware does at boot: mount, the two settings,
    // the settings file read whole, the log opened at its end. Records not
    // flushed before the reset are lost.
    Cost boot() {
        take();
        sim_.reboot();
        log_ = 0;
        unflushed_ = 0;
        block_.assign(dace_getstatesize(&cfg_) / 8 + 1, 0);
        fs_ = dace_mount(&cfg_, block_.data());
        if (fs_ == nullptr)
            throw library_error("the boot's mount failed", dace_init_error(block_.data()));
        ++boots_;
        if (mode_ == Mode::WearLevelling)
            dace_level_wear(fs_, static_cast<uint16_t>(boots_));
        if (w_.verify_reads)
            dace_verify_reads(fs_, 1);
        if (w_.settings_size != 0 && dace_find_file(fs_, w_.settings_name.c_str()) >= 0)
            read_settings();
        if (w_.record_size != 0) {
            log_ = dace_find_file(fs_, w_.log_name.c_str()) >= 0 ? dace_open(fs_, w_.log_name.c_str())
                                                                 : dace_create(fs_, w_.log_name.c_str());
            if (log_ == 0)
                fail("the boot cannot open the log");
            if (dace_seek(fs_, log_, 0, DACE_SEEK_END) != 0)
                fail("the boot cannot reach the log's end");
        }
        return take();
    }

    Cost write_record(uint64_t n) {
        for (size_t i = 0; i < record_.size(); ++i)
            record_[i] = static_cast<uint8_t>(n >> (8 * (i % 8)));
        const auto size = static_cast<uint32_t>(record_.size());
        if (dace_write(fs_, record_.data(), size, log_) != size)
            fail("a record's write fell short");
        ++unflushed_;
        return take();
    }
    bool flush_due() const { return unflushed_ >= w_.flush_every; }
    Cost flush() {
        if (dace_flush(fs_, log_) != 0)
            fail("the log's flush failed");
        unflushed_ = 0;
        return take();
    }
    bool log_full() {
        dace_entry e{};
        if (dace_statf(fs_, log_, &e) != 0)
            fail("the log's size cannot be had");
        return e.size >= w_.log_max_size;
    }
    // The log becomes log.1 (and so on), the oldest beyond those kept is
    // dropped, and a new log starts.
    Cost rotate() {
        if (dace_close(fs_, log_) != DACE_OK)
            fail("the log's close failed");
        log_ = 0;
        unflushed_ = 0;
        const std::string &base = w_.log_name;
        if (w_.logs_kept == 0) {
            change(dace_remove(fs_, base.c_str()), "the log's removal");
        } else {
            for (uint32_t i = w_.logs_kept - 1; i >= 1; --i) {
                const std::string older = fmt::format("{}.{}", base, i);
                if (dace_find_file(fs_, older.c_str()) >= 0)
                    change(dace_rename_replace(fs_, older.c_str(), fmt::format("{}.{}", base, i + 1).c_str()),
                           "an old log's rename");
            }
            change(dace_rename_replace(fs_, base.c_str(), (base + ".1").c_str()), "the log's rename");
        }
        log_ = dace_create(fs_, base.c_str());
        if (log_ == 0)
            fail("a new log cannot be created");
        return take();
    }
    // Written whole under another name, then renamed over the old one in
    // one commit, so that a power cut leaves the old settings or the new.
    Cost replace_settings(uint64_t n) {
        std::fill(settings_.begin(), settings_.end(), static_cast<uint8_t>(n));
        const std::string fresh = w_.settings_name + ".new";
        const dace_handle h = dace_create(fs_, fresh.c_str());
        if (h == 0)
            fail("the new settings file cannot be created");
        const auto size = static_cast<uint32_t>(settings_.size());
        if (dace_write(fs_, settings_.data(), size, h) != size)
            fail("the settings' write fell short");
        if (dace_close(fs_, h) != DACE_OK)
            fail("the new settings file's close failed");
        change(dace_rename_replace(fs_, fresh.c_str(), w_.settings_name.c_str()), "the settings' rename");
        return take();
    }
    Cost erase_ahead() {
        if (dace_erase_ahead(fs_, w_.erase_ahead) < 0)
            fail("dace_erase_ahead failed");
        return take();
    }
    // Every cluster a file may take is taken: for the boot of a full part.
    void fill() {
        if (log_ != 0 && dace_close(fs_, log_) != DACE_OK)
            fail("the log's close failed");
        log_ = 0;
        std::string name = "~fill";
        while (dace_find_file(fs_, name.c_str()) >= 0)
            name += "~";
        const dace_handle h = dace_create(fs_, name.c_str());
        if (h == 0)
            fail("no file can be made to fill the part");
        const std::vector<uint8_t> chunk(in_.part.clus_size(), 0x5A);
        while (dace_write(fs_, chunk.data(), static_cast<uint32_t>(chunk.size()), h) == chunk.size()) {
        }
        if (dace_error(fs_) != DACE_E_MEDIUM_FULL)
            fail("the part could not be filled");
        if (dace_close(fs_, h) != DACE_OK)
            fail("the filled part's close failed");
        take();
    }

    dace_sim::FlashSim &sim() { return sim_; }
    // Clusters never taken yet: never erased, and blank.
    uint32_t untouched() const {
        const uint32_t size = in_.part.clus_size();
        const std::vector<uint8_t> &bytes = sim_.bytes();
        uint32_t n = 0;
        for (uint32_t c = 0; c < sim_.cluster_count(); ++c) {
            if (sim_.erases_per_cluster()[c] != 0)
                continue;
            const uint8_t *at = bytes.data() + size_t{c} * size;
            n += at[0] == 0xFF && std::memcmp(at, at + 1, size - 1) == 0 ? 1u : 0u;
        }
        return n;
    }

private:
    // The calls made since the last take.
    Cost take() {
        Cost c;
        for (const dace_sim::Call &call : sim_.log()) {
            if (call.op == dace_sim::Op::Read)
                c.bytes_read += call.count;
            else if (call.op == dace_sim::Op::Write)
                c.pages_programmed += (call.count + in_.part.page_size - 1u) / in_.part.page_size;
            else if (call.op == dace_sim::Op::Erase)
                c.erases += call.count;
        }
        sim_.clear_log();
        return c;
    }
    void read_settings() {
        const dace_handle h = dace_open(fs_, w_.settings_name.c_str());
        if (h == 0)
            fail("the boot cannot open the settings file");
        std::vector<uint8_t> buf(in_.part.clus_size());
        while (dace_read(fs_, buf.data(), static_cast<uint32_t>(buf.size()), h) == buf.size()) {
        }
        if (dace_error(fs_) != DACE_E_NONE)
            fail("the boot cannot read the settings file");
        if (dace_close(fs_, h) != DACE_OK)
            fail("the settings file's close failed");
    }
    void change(int result, const char *what) {
        if (result != DACE_OK)
            fail(what);
    }
    [[noreturn]] void fail(const std::string &what) {
        const int reason = dace_error(fs_);
        if (reason == DACE_E_MEDIUM_FULL || reason == DACE_E_NO_ROOT_CLUSTER)
            throw Error(fmt::format("{}: the part is full: the workload keeps more than it holds (lower log.max_size "
                                    "or log.keep, or take a larger part)",
                                    what));
        if (reason == DACE_E_DIRECTORY_FULL || reason == DACE_E_TOO_MANY_OPEN)
            throw library_error(what, reason, "(raise config.max_files, or keep fewer old logs)");
        throw library_error(what, reason);
    }

    const PlanInput &in_;
    const Workload &w_;
    Mode mode_;
    dace_sim::FlashSim sim_;
    dace_config cfg_;
    std::vector<uint64_t> block_;
    dace_state *fs_ = nullptr;
    dace_handle log_ = 0;
    uint32_t unflushed_ = 0;
    uint32_t boots_ = 0;
    std::vector<uint8_t> record_, settings_;
};

// What the figures are measured from: the medium's counters at a moment.
struct Mark {
    std::vector<uint64_t> erases;
    uint64_t programmed = 0;
    uint64_t user_bytes = 0;
};

bool close_enough(double a, double b, double tolerance) {
    const double scale = std::max(std::fabs(a), std::fabs(b));
    return scale == 0 || std::fabs(a - b) <= tolerance * scale;
}

bool settled(const Figures &now, const Figures &half, double tolerance) {
    return close_enough(now.worst_erases_per_day, half.worst_erases_per_day, tolerance) &&
           close_enough(now.mean_erases_per_day, half.mean_erases_per_day, tolerance) &&
           close_enough(now.programmed_per_byte, half.programmed_per_byte, tolerance);
}

// One mode of the plan: device time advances from event to event (records,
// settings replacements, reboots), in periods at whose ends the figures are
// taken, until they settle or the limit is reached.
class Simulation {
public:
    Simulation(const PlanInput &in, Mode mode) : in_(in), w_(in.workload), device_(in, mode) { run_.mode = mode; }

    ModeRun run(const std::function<void(double)> &progress) {
        device_.format();
        note(Op::Boot, device_.boot());
        std::array<OpStats, kOpCount> before = run_.window;
        const uint64_t limit_ms = uint64_t{in_.run.max_days} * kDayMs;
        const auto max_periods = static_cast<uint32_t>((limit_ms + in_.run.period_ms - 1) / in_.run.period_ms);
        next_record_ = w_.record_every_ms;
        next_settings_ = w_.settings_every_ms != 0 ? w_.settings_every_ms : kNever;
        next_reboot_ = w_.reboot_every_ms != 0 ? w_.reboot_every_ms : kNever;
        uint32_t untouched = device_.untouched();
        Mark previous = mark();
        for (uint32_t p = 1; p <= max_periods; ++p) {
            run_until(uint64_t{p} * in_.run.period_ms);
            run_.periods = p;
            if (progress)
                progress(double(p) / max_periods);
            if (!warm_) {
                // The warm-up ends with the first period that reached no
                // cluster for the first time: from then on every cluster
                // the workload takes has been taken before.
                const uint32_t now = device_.untouched();
                if (now == untouched) {
                    warm_ = true;
                    run_.warmed_up = true;
                    run_.warmup_periods = p - 1;
                    start_ = std::move(previous);
                    for (size_t i = 0; i < kOpCount; ++i)
                        subtract(run_.window[i], before[i]);
                } else {
                    untouched = now;
                    previous = mark();
                    before = run_.window;
                }
            }
            if (warm_ && take_figures(p))
                break;
        }
        if (!warm_) // the limit came first: the figures are those of the whole run
            take_all(max_periods);
        run_.erases_per_cluster = device_.sim().erases_per_cluster();
        measure_boots();
        return run_;
    }

private:
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

    void note(Op op, const Cost &c) {
        run_.window[size_t(op)].add(in_.part, c);
        run_.whole[size_t(op)].add(in_.part, c);
    }
    static void subtract(OpStats &window, const OpStats &before) {
        window.count -= before.count;
        window.total.bytes_read -= before.total.bytes_read;
        window.total.pages_programmed -= before.total.pages_programmed;
        window.total.erases -= before.total.erases;
    }

    Mark mark() {
        return Mark{device_.sim().erases_per_cluster(), device_.sim().counters().bytes_programmed, user_bytes_};
    }

    void run_until(uint64_t end) {
        try {
            run_events_until(end);
        } catch (const Error &e) {
            const uint64_t at = std::min({next_record_, next_settings_, next_reboot_});
            throw Error(fmt::format("{}, on day {} of device time: {}",
                                    run_.mode == Mode::FirstFit ? "first fit" : "wear levelling", at / kDayMs + 1,
                                    e.what()));
        }
    }

    void run_events_until(uint64_t end) {
        while (true) {
            const uint64_t t = std::min({next_record_, next_settings_, next_reboot_});
            if (t > end)
                return;
            if (t == next_record_) {
                record();
                next_record_ += w_.record_every_ms;
            } else if (t == next_settings_) {
                note(Op::Settings, device_.replace_settings(++settings_done_));
                user_bytes_ += w_.settings_size;
                next_settings_ += w_.settings_every_ms;
            } else {
                note(Op::Boot, device_.boot());
                next_reboot_ += w_.reboot_every_ms;
            }
        }
    }

    void record() {
        note(Op::Write, device_.write_record(++records_));
        user_bytes_ += w_.record_size;
        if (device_.flush_due())
            note(Op::Flush, device_.flush());
        if (device_.log_full())
            note(Op::Rotate, device_.rotate());
        if (w_.erase_ahead != 0)
            note(Op::EraseAhead, device_.erase_ahead());
    }

    // The figures over the window from `from`, `days` long.
    Figures figures_since(const Mark &from, double days) {
        const std::vector<uint64_t> &erases = device_.sim().erases_per_cluster();
        uint64_t total = 0;
        size_t worst = 0;
        std::vector<uint64_t> count(erases.size());
        for (size_t c = 0; c < erases.size(); ++c) {
            count[c] = erases[c] - (c < from.erases.size() ? from.erases[c] : 0);
            total += count[c];
            if (count[c] > count[worst])
                worst = c;
        }
        Figures f;
        f.worst_erases_per_day = erases.empty() ? 0 : double(count[worst]) / days;
        f.mean_erases_per_day = erases.empty() ? 0 : double(total) / double(erases.size()) / days;
        const uint64_t user = user_bytes_ - from.user_bytes;
        const uint64_t programmed = device_.sim().counters().bytes_programmed - from.programmed;
        f.programmed_per_byte = user != 0 ? double(programmed) / double(user) : 0.0;
        run_.user_bytes = user;
        run_.programmed_bytes = programmed;
        run_.erases = total;
        return f;
    }

    // The figures at the end of period p; true once they have settled:
    // none strayed by half the tolerance over the second half of the window.
    bool take_figures(uint32_t p) {
        const uint32_t n = p - run_.warmup_periods;
        run_.figures = figures_since(start_, n * period_days(in_.run));
        run_.history.push_back(run_.figures);
        if (n < in_.run.min_periods)
            return false;
        for (uint32_t k = n / 2; k < n; ++k)
            if (!settled(run_.figures, run_.history[k - 1], in_.run.tolerance / 2))
                return false;
        run_.settled_period = p;
        return true;
    }

    void take_all(uint32_t periods) {
        run_.figures = figures_since(Mark{}, periods * period_days(in_.run));
    }

    // The boots at empty, as the run left the part, and full: each on a
    // copy of the part, so that the run itself is not disturbed.
    void measure_boots() {
        Device empty(in_, run_.mode);
        empty.format();
        run_.boot_empty = empty.boot();
        Device typical(device_);
        run_.boot_typical = typical.boot();
        typical.fill();
        run_.boot_full = typical.boot();
    }

    const PlanInput &in_;
    const Workload &w_;
    Device device_;
    ModeRun run_;
    uint64_t next_record_ = 0, next_settings_ = 0, next_reboot_ = 0;
    uint64_t records_ = 0, settings_done_ = 0, user_bytes_ = 0;
    bool warm_ = false;
    Mark start_;
};

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

const char *mode_key(Mode m) { return m == Mode::FirstFit ? "first_fit" : "wear_levelling"; }

const char *op_key(Op op) {
    static constexpr const char *keys[kOpCount] = {"write", "flush", "settings", "rotate", "erase_ahead", "boot"};
    return keys[size_t(op)];
}

PlanInput plan_input(const json &document, const json &overrides) {
    if (!document.is_object())
        throw Error("the workload must be a JSON object of sections (part, record, log, settings, reboot, config, run)");
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
    return in;
}

json plan_document(const PlanInput &in) {
    const Workload &w = in.workload;
    json modes = w.modes.size() == 2 ? json("both") : json(w.modes.front() == Mode::WearLevelling);
    return json{{"part", part_document(in.part)},
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

double cost_ms(const Part &p, const Cost &c, bool worst) {
    const double read = double(c.bytes_read) / (p.read_mb_s * 1e3);
    const double program = double(c.pages_programmed) * (worst ? p.program_us_max : p.program_us) / 1e3;
    const double erase = double(c.erases) * (worst ? p.erase_ms_max : p.erase_ms);
    return read + program + erase;
}

void OpStats::add(const Part &p, const Cost &c) {
    ++count;
    total += c;
    const double ms = cost_ms(p, c, true);
    if (ms > worst_ms) {
        worst_ms = ms;
        worst = c;
    }
}

double period_days(const RunLimits &r) { return double(r.period_ms) / double(kDayMs); }

std::optional<double> life_years(const Part &p, const ModeRun &run) {
    if (run.figures.worst_erases_per_day <= 0)
        return std::nullopt;
    return double(p.endurance) / run.figures.worst_erases_per_day / 365.25;
}

PlanResult run_plan(const PlanInput &in, const std::function<void(double)> &progress) {
    PlanResult result;
    result.input = in;
    const size_t modes = in.workload.modes.size();
    // The modes share nothing (a medium and a state block each), so they
    // run side by side; progress is told from this thread alone.
    std::vector<std::atomic<uint32_t>> done(modes); // per mille
    std::vector<ModeRun> runs(modes);
    std::vector<std::exception_ptr> failures(modes);
    auto one = [&](size_t i) {
        try {
            Simulation sim(result.input, in.workload.modes[i]);
            runs[i] = sim.run([&](double d) { done[i] = static_cast<uint32_t>(d * 1000); });
        } catch (...) {
            failures[i] = std::current_exception();
        }
        done[i] = 1000;
    };
    auto tell = [&] {
        if (!progress)
            return;
        uint64_t sum = 0;
        for (const auto &d : done)
            sum += d;
        progress(double(sum) / 1000.0 / double(modes));
    };
    std::vector<std::thread> others;
    for (size_t i = 1; i < modes; ++i)
        others.emplace_back(one, i);
    try {
        Simulation sim(result.input, in.workload.modes[0]);
        runs[0] = sim.run([&](double d) {
            done[0] = static_cast<uint32_t>(d * 1000);
            tell();
        });
    } catch (...) {
        failures[0] = std::current_exception();
    }
    done[0] = 1000;
    while (std::any_of(done.begin(), done.end(), [](const auto &d) { return d < 1000; })) {
        tell();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (std::thread &t : others)
        t.join();
    tell();
    for (const std::exception_ptr &e : failures)
        if (e)
            std::rethrow_exception(e);
    result.runs = std::move(runs);
    return result;
}

} // namespace dace_tool
