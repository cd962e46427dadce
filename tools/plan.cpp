#include "tools/plan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
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
        std::array<OpTally, kOpCount> before = run_.window;
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
                        run_.window[i] -= before[i];
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
        OpTally &tally = run_.window[size_t(op)];
        ++tally.count;
        tally.total += c;
        run_.whole[size_t(op)].add(in_.part, c);
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

    void take_all(uint32_t periods) { run_.figures = figures_since(Mark{}, periods * period_days(in_.run)); }

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

} // namespace

const char *mode_key(Mode m) { return m == Mode::FirstFit ? "first_fit" : "wear_levelling"; }

const char *op_key(Op op) {
    static constexpr const char *keys[kOpCount] = {"write", "flush", "settings", "rotate", "erase_ahead", "boot"};
    return keys[size_t(op)];
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
