#include "tools/plan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <thread>

#include <fmt/format.h>

#include "dace/dace.h"
#include "sim/flash_sim.h"
#include "tools/image.h"
#include "tools/image_file.h"

namespace dace_tool {

namespace {

constexpr uint64_t kDayMs = 86400ull * 1000;

const char *mode_title(Mode m) { return m == Mode::FirstFit ? "first fit" : "wear levelling"; }

// The part with the library mounted on it, as the firmware drives it. Every
// operation returns the calls it made on the medium, read from the
// simulator's record of them.
class Device {
public:
    Device(const Part &part, const Workload &w, Mode mode)
        : part_(part), w_(w), mode_(mode), sim_(dace_sim::Geometry{part.page_size, part.clus_pages, part.total_pages}),
          cfg_(sim_.config(w_.max_files)) {
        sim_.set_logging(true);
        record_.resize(w_.record_size);
        settings_.resize(w_.settings_size);
    }
    // A copy of the medium as it is now, to be booted on its own: the state
    // and the open log stay with this device.
    Device(const Device &other)
        : part_(other.part_), w_(other.w_), mode_(other.mode_), sim_(other.sim_), cfg_(other.cfg_) {
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
    // the settings file read whole, the log opened at its end (created on
    // an empty part). Records not flushed before the reset are lost.
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
        log_ = dace_find_file(fs_, w_.log_name.c_str()) >= 0 ? dace_open(fs_, w_.log_name.c_str())
                                                             : dace_create(fs_, w_.log_name.c_str());
        if (log_ == 0)
            fail("the boot cannot open the log");
        if (dace_seek(fs_, log_, 0, DACE_SEEK_END) != 0)
            fail("the boot cannot reach the log's end");
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
    // Every cluster a file may take is taken, by the log itself (so that no
    // directory entry is needed), and committed: for the boot of a full part.
    void fill() {
        const std::vector<uint8_t> chunk(part_.clus_size(), 0x5A);
        while (dace_write(fs_, chunk.data(), static_cast<uint32_t>(chunk.size()), log_) == chunk.size()) {
        }
        if (dace_error(fs_) != DACE_E_MEDIUM_FULL)
            fail("the part could not be filled");
        if (dace_close(fs_, log_) != DACE_OK)
            fail("the filled part's close failed");
        log_ = 0;
        take();
    }

    dace_sim::FlashSim &sim() { return sim_; }
    // Clusters never taken yet: never erased, and blank.
    uint32_t untouched() const {
        const uint32_t size = part_.clus_size();
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
    // The calls made since the last take. Reads start at a page's start,
    // so a read of n bytes touches the n bytes' pages.
    Cost take() {
        Cost c;
        const uint32_t page = part_.page_size;
        for (const dace_sim::Call &call : sim_.log()) {
            if (call.op == dace_sim::Op::Read) {
                c.bytes_read += call.count;
                c.read_calls += 1;
                c.pages_read += (call.count + page - 1u) / page;
            } else if (call.op == dace_sim::Op::Write) {
                c.pages_programmed += (call.count + page - 1u) / page;
            } else if (call.op == dace_sim::Op::Erase) {
                c.erases += call.count;
            }
        }
        sim_.clear_log();
        return c;
    }
    void read_settings() {
        const dace_handle h = dace_open(fs_, w_.settings_name.c_str());
        if (h == 0)
            fail("the boot cannot open the settings file");
        std::vector<uint8_t> buf(part_.clus_size());
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
        if (reason == DACE_E_DIRECTORY_FULL)
            throw library_error(what, reason, "(keep fewer old logs, or take larger clusters)");
        if (reason == DACE_E_TOO_MANY_OPEN)
            throw library_error(what, reason, "(raise config.max_files)");
        throw library_error(what, reason);
    }

    const Part &part_;
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

// What the figures are measured from: the medium's counters at the end of a
// period.
struct Mark {
    uint32_t period = 0;
    std::vector<uint64_t> erases;
    uint64_t programmed = 0;
    uint64_t user_bytes = 0;
};

// What happened between two marks.
struct Span {
    Figures figures;
    uint64_t user_bytes = 0, programmed_bytes = 0, erases = 0;
    std::vector<uint64_t> erases_per_cluster;
};

bool close_enough(double a, double b, double tolerance) {
    const double scale = std::max(std::fabs(a), std::fabs(b));
    return scale == 0 || std::fabs(a - b) <= tolerance * scale;
}

bool agree(const Figures &a, const Figures &b, double tolerance) {
    return close_enough(a.worst_erases_per_day, b.worst_erases_per_day, tolerance) &&
           close_enough(a.mean_erases_per_day, b.mean_erases_per_day, tolerance) &&
           close_enough(a.programmed_per_byte, b.programmed_per_byte, tolerance);
}

// Cycles a window holds at least before its figures may settle.
constexpr uint32_t kMinCycles = 4;

// Marks kept at most, in bytes of erase counts: a run of many short periods
// on a part of many clusters tests its windows in longer units.
constexpr uint64_t kMarkBudgetBytes = 64ull << 20;

// One part in one mode: device time advances from event to event (records,
// settings replacements, reboots), in periods at whose ends the figures are
// taken, until they settle or the limit is reached.
class Simulation {
public:
    Simulation(const PlanInput &in, size_t part, Mode mode)
        : in_(in), part_(in.parts[part]), w_(in.workload), device_(part_, w_, mode) {
        run_.part = part;
        run_.mode = mode;
    }

    // `progress` is told the periods done and the period the run will end at.
    ModeRun run(const std::function<void(uint32_t, uint32_t)> &progress) {
        device_.format();
        note(Op::Boot, device_.boot());
        const uint64_t period = in_.run.period_ms;
        const uint64_t limit_ms = uint64_t{in_.run.max_days} * kDayMs;
        const auto max_periods = static_cast<uint32_t>((limit_ms + period - 1) / period);
        const uint64_t cycle = (workload_cycle_ms(w_) + period - 1) / period;
        cycle_ = static_cast<uint32_t>(std::clamp<uint64_t>(cycle, 1, uint64_t{max_periods} + 1));
        // The window's middles are kept, a unit apart: one cycle, or several
        // where the marks would take too much memory.
        const uint64_t marks_kept = std::max<uint64_t>(16, kMarkBudgetBytes / 8 / std::max(1u, part_.clus_count()));
        const uint64_t units = std::max<uint64_t>(1, max_periods / 2 / cycle_);
        unit_ = cycle_ * static_cast<uint32_t>((units + marks_kept - 1) / marks_kept);
        run_.cycle_periods = cycle_;
        next_record_ = w_.record_every_ms;
        next_settings_ = w_.settings_every_ms != 0 ? w_.settings_every_ms : kNever;
        next_reboot_ = w_.reboot_every_ms != 0 ? w_.reboot_every_ms : kNever;
        uint32_t untouched = device_.untouched();
        std::optional<uint32_t> reached_all; // the first period that reached no cluster for the first time
        Mark previous = mark(0);
        std::array<OpTally, kOpCount> before = run_.window;
        for (uint32_t p = 1; p <= max_periods; ++p) {
            run_until(uint64_t{p} * period);
            run_.periods = p;
            if (!warm_) {
                const uint32_t now = device_.untouched();
                if (!reached_all && now == untouched)
                    reached_all = p;
                untouched = now;
                // The window starts at the later of the first full cycle's
                // end and the start of the period that reached nothing new:
                // from then on every cluster taken has been used and is
                // erased first, and the logs rotate as they will for life.
                if (reached_all && *reached_all - 1 >= cycle_ && *reached_all == p)
                    start_window(p - 1, std::move(previous), before);
                else if (reached_all && p >= cycle_)
                    start_window(p, mark(p), run_.window);
                previous = mark(p);
                before = run_.window;
            }
            const bool settled = warm_ && p > run_.warmup_periods && take_figures(p);
            if (progress)
                progress(p, settled ? p : max_periods);
            if (settled)
                break;
        }
        if (!warm_) // the limit came first: the figures are those of the whole run
            take_all();
        run_.erases_per_cluster = device_.sim().erases_per_cluster();
        measure_boots();
        return run_;
    }

private:
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

    void note(Op op, const Cost &c) {
        OpTally &tally = run_.window[size_t(op)];
        ++tally.count;
        tally.total += c;
        run_.whole[size_t(op)].add(part_, c);
    }

    Mark mark(uint32_t p) {
        return Mark{p, device_.sim().erases_per_cluster(), device_.sim().counters().bytes_programmed, user_bytes_};
    }

    void start_window(uint32_t at, Mark from, const std::array<OpTally, kOpCount> &before) {
        warm_ = true;
        run_.warmed_up = true;
        run_.warmup_periods = at;
        start_ = std::move(from);
        for (size_t i = 0; i < kOpCount; ++i)
            run_.window[i] -= before[i];
    }

    void run_until(uint64_t end) {
        try {
            run_events_until(end);
        } catch (const Error &e) {
            const uint64_t at = std::min({next_record_, next_settings_, next_reboot_});
            const std::string who = in_.parts.size() > 1 ? fmt::format("{}, {}", part_.title(), mode_title(run_.mode))
                                                         : std::string(mode_title(run_.mode));
            throw Error(fmt::format("{}, on day {} of device time: {}", who, at / kDayMs + 1, e.what()));
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

    // From `from` to `to`.
    Span span(const Mark &from, const Mark &to) {
        const double days = (to.period - from.period) * period_days(in_.run);
        Span s;
        s.erases_per_cluster.resize(to.erases.size());
        uint64_t worst = 0;
        for (size_t c = 0; c < to.erases.size(); ++c) {
            const uint64_t n = to.erases[c] - (c < from.erases.size() ? from.erases[c] : 0);
            s.erases_per_cluster[c] = n;
            s.erases += n;
            worst = std::max(worst, n);
        }
        s.user_bytes = to.user_bytes - from.user_bytes;
        s.programmed_bytes = to.programmed - from.programmed;
        const auto clusters = double(to.erases.size());
        s.figures.worst_erases_per_day = to.erases.empty() ? 0 : double(worst) / days;
        s.figures.mean_erases_per_day = to.erases.empty() ? 0 : double(s.erases) / clusters / days;
        s.figures.programmed_per_byte = s.user_bytes != 0 ? double(s.programmed_bytes) / double(s.user_bytes) : 0.0;
        return s;
    }

    void keep_window(Span s) {
        run_.figures = s.figures;
        run_.user_bytes = s.user_bytes;
        run_.programmed_bytes = s.programmed_bytes;
        run_.erases = s.erases;
        run_.window_erases = std::move(s.erases_per_cluster);
    }

    // The figures at the end of period p; true once they have settled. The
    // settling test looks at windows of an even number of units (whole
    // cycles): the figures of the window's two halves and of the whole must
    // agree within half the tolerance, so that neither a drift nor the
    // chance of which cluster was erased most in a short span passes. Each
    // half holds two cycles at least: a cluster the cursor happens to spare
    // from the logs for a cycle or two is erased at several times the mean
    // rate meanwhile, which a longer span averages out.
    bool take_figures(uint32_t p) {
        const uint32_t n = p - run_.warmup_periods;
        Mark now = mark(p);
        keep_window(span(start_, now));
        run_.history.push_back(run_.figures);
        bool settled = false;
        if (n % unit_ == 0) {
            if (n % (2 * unit_) == 0) {
                const Mark &middle = middles_.front();
                run_.earlier = span(start_, middle).figures;
                run_.recent = span(middle, now).figures;
                run_.recent_periods = n / 2;
                const double half = in_.run.tolerance / 2;
                settled = in_.run.tolerance > 0 && n >= std::max(in_.run.min_periods, kMinCycles * cycle_) &&
                          agree(run_.recent, run_.earlier, half) && agree(run_.recent, run_.figures, half) &&
                          agree(run_.earlier, run_.figures, half);
                // Later windows are longer: their middles come later.
                middles_.pop_front();
            }
            middles_.push_back(std::move(now));
        }
        note_span(n);
        if (settled)
            run_.settled_period = p;
        return settled;
    }

    // The most erased cluster's rate over what the settling test looks at:
    // the window's figures over its second half, and the last halves compared.
    void note_span(uint32_t n) {
        double low = run_.figures.worst_erases_per_day, high = low;
        if (run_.recent_periods != 0) {
            for (const Figures &f : {run_.recent, run_.earlier}) {
                low = std::min(low, f.worst_erases_per_day);
                high = std::max(high, f.worst_erases_per_day);
            }
        }
        for (uint32_t k = std::max(1u, n / 2); k <= n; ++k) {
            low = std::min(low, run_.history[k - 1].worst_erases_per_day);
            high = std::max(high, run_.history[k - 1].worst_erases_per_day);
        }
        run_.worst_low = low;
        run_.worst_high = high;
    }

    void take_all() {
        keep_window(span(Mark{}, mark(run_.periods)));
        run_.worst_low = run_.worst_high = run_.figures.worst_erases_per_day;
    }

    // The boots at empty, as the run left the part, and full: each on a
    // copy of the part, so that the run itself is not disturbed.
    void measure_boots() {
        Device empty(part_, w_, run_.mode);
        empty.format();
        run_.boot_empty = empty.boot();
        Device typical(device_);
        run_.boot_typical = typical.boot();
        typical.fill();
        run_.boot_full = typical.boot();
    }

    const PlanInput &in_;
    const Part &part_;
    const Workload &w_;
    Device device_;
    ModeRun run_;
    uint64_t next_record_ = 0, next_settings_ = 0, next_reboot_ = 0;
    uint64_t records_ = 0, settings_done_ = 0, user_bytes_ = 0;
    uint32_t cycle_ = 1, unit_ = 1;
    bool warm_ = false;
    Mark start_;
    std::deque<Mark> middles_; // at the middles of the windows still to be tested
};

uint64_t gcd(uint64_t a, uint64_t b) {
    while (b != 0)
        a = std::exchange(b, a % b);
    return a;
}

uint32_t default_state_block_bytes(uint16_t page_size, uint16_t clus_pages, uint16_t total_pages, uint16_t max_files) {
    Params params;
    params.page_size = page_size;
    params.clus_pages = clus_pages;
    params.total_pages = total_pages;
    params.max_files = max_files;
    const dace_config cfg = config_of(params);
    return dace_getstatesize(&cfg);
}

} // namespace

const std::vector<Build> &builds() {
    static const std::vector<Build> all = {{"default", default_state_block_bytes}};
    return all;
}

const Build *find_build(std::string_view name) { return find_named(builds(), name); }

uint32_t state_block_bytes(const Part &p, const Workload &w) {
    const Build *b = find_build(w.build);
    return b ? b->state_block_bytes(p.page_size, p.clus_pages, p.total_pages, w.max_files) : 0;
}

uint64_t workload_cycle_ms(const Workload &w) {
    // Beyond any run: a cycle this long only says that the run ends first.
    constexpr uint64_t kLongest = uint64_t{1} << 50;
    const uint64_t records_per_log = (uint64_t{w.log_max_size} + w.record_size - 1) / w.record_size;
    const double log_cycle = double(w.logs_kept + 1) * double(records_per_log) * double(w.record_every_ms);
    if (log_cycle >= double(kLongest))
        return kLongest;
    uint64_t cycle = (uint64_t{w.logs_kept} + 1) * records_per_log * w.record_every_ms;
    for (const uint64_t every : {w.settings_every_ms, w.reboot_every_ms}) {
        if (every == 0)
            continue;
        const uint64_t multiple = cycle / gcd(cycle, every);
        if (double(multiple) * double(every) <= 2 * log_cycle)
            cycle = multiple * every;
        else
            cycle = (cycle + every - 1) / every * every;
    }
    return std::min(cycle, kLongest);
}

const char *mode_key(Mode m) { return m == Mode::FirstFit ? "first_fit" : "wear_levelling"; }

const char *op_key(Op op) {
    static constexpr const char *keys[kOpCount] = {"write", "flush", "settings", "rotate", "erase_ahead", "boot"};
    return keys[size_t(op)];
}

double call_ms(const Part &p, const Cost &c) {
    const double us = double(c.read_calls) * p.read_call_us + double(c.pages_read) * p.page_read_us +
                      double(c.pages_programmed) * p.program_call_us +
                      double(c.erases) * p.blocks_per_cluster() * p.erase_call_us;
    return us / 1e3;
}

double cost_ms(const Part &p, const Cost &c, bool worst) {
    const double read = double(c.bytes_read) / (p.read_mb_s * 1e3);
    const double program = double(c.pages_programmed) * (worst ? p.program_us_max : p.program_us) / 1e3;
    const double erase = double(c.erases) * p.blocks_per_cluster() * (worst ? p.erase_ms_max : p.erase_ms);
    return read + program + erase + call_ms(p, c);
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

std::optional<std::pair<double, double>> life_range(const Part &p, const ModeRun &run) {
    if (run.worst_low <= 0)
        return std::nullopt;
    const double endurance = double(p.endurance);
    return std::pair{endurance / run.worst_high / 365.25, endurance / run.worst_low / 365.25};
}

PlanResult run_plan(const PlanInput &in, const std::function<void(const PlanProgress &)> &progress) {
    PlanResult result;
    result.input = in;
    const std::vector<Mode> &modes = in.workload.modes;
    const size_t jobs = in.parts.size() * modes.size();
    // The runs share nothing (a medium and a state block each), so they run
    // side by side; progress is told from this thread alone.
    struct Track {
        std::atomic<uint32_t> done{0}, end{0};
        std::atomic<bool> finished{false};
    };
    std::vector<Track> tracks(jobs);
    std::vector<ModeRun> runs(jobs);
    std::vector<std::exception_ptr> failures(jobs);
    const uint64_t limit_ms = uint64_t{in.run.max_days} * kDayMs;
    const auto max_periods = static_cast<uint32_t>((limit_ms + in.run.period_ms - 1) / in.run.period_ms);
    for (Track &t : tracks)
        t.end = max_periods;
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < jobs; i = next++) {
            try {
                Simulation sim(result.input, i / modes.size(), modes[i % modes.size()]);
                runs[i] = sim.run([&tracks, i](uint32_t done, uint32_t end) {
                    tracks[i].done = done;
                    tracks[i].end = end;
                });
            } catch (...) {
                failures[i] = std::current_exception();
            }
            tracks[i].finished = true;
        }
    };
    const size_t workers = std::min<size_t>(jobs, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < workers; ++i)
        threads.emplace_back(work);
    auto tell = [&] {
        PlanProgress now;
        now.runs = jobs;
        const double day = period_days(in.run);
        uint32_t slowest = std::numeric_limits<uint32_t>::max(), last_end = 0;
        for (const Track &t : tracks) {
            const bool finished = t.finished;
            now.days_done += double(finished ? t.end.load() : t.done.load()) * day;
            now.days_end += double(t.end) * day;
            now.runs_done += finished ? 1 : 0;
            last_end = std::max(last_end, t.end.load());
            if (!finished)
                slowest = std::min(slowest, t.done.load());
        }
        now.slowest_day = double(now.runs_done == jobs ? last_end : slowest) * day;
        progress(now);
    };
    if (progress) {
        while (std::any_of(tracks.begin(), tracks.end(), [](const Track &t) { return !t.finished; })) {
            tell();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    for (std::thread &t : threads)
        t.join();
    if (progress)
        tell();
    for (const std::exception_ptr &e : failures)
        if (e)
            std::rethrow_exception(e);
    result.runs = std::move(runs);
    return result;
}

} // namespace dace_tool
