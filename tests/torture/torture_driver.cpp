// The medium with its write tape, the model-keeping driver, and the checks
// after a reboot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/checks.h"
#include "tests/test_support.h"
#include "tests/torture/torture.h"

namespace dace_torture {

uint32_t env_number(const char *name, uint32_t fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<uint32_t>(std::strtoul(value, nullptr, 0)) : fallback;
}

uint32_t scale() { return std::max<uint32_t>(1, env_number("DACE_TORTURE_SCALE", 1)); }

std::vector<uint32_t> seeds_from(uint32_t first) {
    if (std::getenv("DACE_TORTURE_SEED") != nullptr)
        return {env_number("DACE_TORTURE_SEED", first)};
    std::vector<uint32_t> out;
    for (uint32_t k = 0; k < scale(); ++k)
        out.push_back(first + k);
    return out;
}

std::string replay_command(const char *suite, const WorkloadParam &p, uint32_t seed) {
    return "DACE_TORTURE_SEED=" + std::to_string(seed) + " ./dace_torture " + replay_filter(suite, p);
}

bool in_share(bool level_wear, uint64_t item) {
    if (scale() > 1 || std::getenv("DACE_TORTURE_SEED") != nullptr)
        return true;
    return item % 2 == (level_wear ? 1u : 0u);
}

Totals &totals() {
    static Totals all;
    return all;
}

namespace {

class PrintTotals : public ::testing::Environment {
public:
    void TearDown() override {
        const Totals &t = totals();
        const auto listed = [](const std::map<std::string, uint64_t> &counts) {
            std::string out;
            for (const auto &[what, count] : counts)
                out += (out.empty() ? "" : ", ") + std::to_string(count) + " " + what;
            return out;
        };
        std::printf("[ torture  ] in all: %u workload runs cut at %llu points (%s; %s), %llu of them cut again "
                    "after the reboot; %u workload runs on worn flash in %u runs (%s), %u of them cut\n",
                    t.cut_workloads, static_cast<unsigned long long>(t.cut_points),
                    listed(t.cut_points_by_mode).c_str(), listed(t.cut_points_by_kind).c_str(),
                    static_cast<unsigned long long>(t.cut_again), t.worn_workloads, t.worn_runs,
                    listed(t.worn_runs_by_mode).c_str(), t.worn_cut);
        std::printf("[ sweep    ] in all: %llu formats under faults, %llu mounts and inits under wrong "
                    "configurations\n",
                    static_cast<unsigned long long>(t.format_trials),
                    static_cast<unsigned long long>(t.configuration_trials));
    }
};

[[maybe_unused]] ::testing::Environment *const print_totals = ::testing::AddGlobalTestEnvironment(new PrintTotals);

} // namespace

int reported_failures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

namespace {

uint32_t clusters_for(uint32_t size, uint32_t payload) { return (size + payload - 1) / payload; }

// Bytes to write, taken from one random pool at offsets that differ from
// write to write, so that bytes read from a wrong place show.
constexpr uint32_t kPoolBytes = 1u << 18;
const uint8_t *fresh_bytes(uint32_t n, uint32_t seed) {
    static const std::vector<uint8_t> pool = dace_test::pattern_bytes(kPoolBytes, 0x7007);
    return pool.data() + (seed * 7919u) % (kPoolBytes - n);
}

using dace_check::Bytes;
using dace_check::difference;
using dace_check::sizes;

// The names in sorted order, by which the workloads pick files.
std::vector<std::string> sorted_names(const Files &files) {
    std::vector<std::string> out;
    for (const Files::File &f : files)
        out.push_back(f.name());
    std::sort(out.begin(), out.end());
    return out;
}

std::string listing(const std::vector<Files> &candidates) {
    std::string out;
    for (const Files &c : candidates)
        out += "\n  " + sizes(c);
    return out;
}

// A newly mounted volume counts as free every cluster that is neither the
// root nor reached by a file, less the reserve.
void expect_free_space_exact(dace_state *s, const Files &files, const std::string &where) {
    uint32_t used = 1; // the root
    for (const Files::File &f : files)
        used += clusters_for(f.size(), s->clus_payload);
    const uint32_t expected = (uint32_t{s->clus_count} - dace_check::kReservedClusters - used) * s->clus_size;
    EXPECT_EQ(dace_getfreespace(s, nullptr), expected) << where << ": free space after mount";
}

} // namespace

std::string describe(const Files &found, const std::vector<Files> &candidates) {
    return difference(found, candidates.front()) + "; the last commit and those in flight were:" +
           listing(candidates);
}

MadeVolume made_volume(const Workload &w, bool level_wear, uint32_t seed) {
    Medium m(w.geometry, w.max_files, level_wear, seed);
    Driver d(m, Mode::Exact, seed, false);
    try {
        d.start();
        w.run(d);
    } catch (const Stop &) {
        ADD_FAILURE() << w.name << ", seed " << seed << ": the workload stopped on a failure";
    }
    return MadeVolume{m.sim.bytes(), d.now()};
}

// ---- the medium ----------------------------------------------------------

Medium::Medium(Geometry g, uint16_t max_files, bool level, uint32_t first_boot)
    : sim(g), cfg(sim.config(max_files)), level_wear(level), boots(first_boot) {
    cfg.io_ctx = this;
    cfg.read_fn = &Medium::read_cb;
    cfg.write_fn = &Medium::write_cb;
    cfg.erase_fn = &Medium::erase_cb;
}

dace_state *Medium::mount() {
    block.assign(dace_getstatesize(&cfg) / 8 + 1, 0xA5A5A5A5A5A5A5A5ull);
    dace_state *s = dace_init(&cfg, block.data());
    if (s != nullptr && level_wear)
        dace_level_wear(s, static_cast<uint16_t>(boots++ * 7919u));
    return s;
}

uint32_t Medium::read_cb(void *ctx, uint32_t page, void *dst, uint32_t count) {
    auto *m = static_cast<Medium *>(ctx);
    const uint32_t done = FlashSim::read_cb(&m->sim, page, dst, count);
    if (done != count && m->sim.powered())
        ++m->tally.short_reads;
    return done;
}

uint32_t Medium::write_cb(void *ctx, uint32_t page, const void *src, uint32_t count) {
    auto *m = static_cast<Medium *>(ctx);
    const uint32_t word = src != nullptr && count >= 4 ? dace_check::get_le32(static_cast<const uint8_t *>(src)) : 0;
    m->writes.push_back({page, count, word == ROOT_MAGIC});
    const bool powered = m->sim.powered();
    const uint32_t done = FlashSim::write_cb(&m->sim, page, src, count);
    if (done != count && powered && m->sim.powered())
        ++m->tally.short_writes;
    return done;
}

uint32_t Medium::erase_cb(void *ctx, uint32_t first, uint32_t count) {
    auto *m = static_cast<Medium *>(ctx);
    const uint32_t done = FlashSim::erase_cb(&m->sim, first, count);
    if (done != count && m->sim.powered())
        ++m->tally.failed_erases;
    return done;
}

// ---- the driver ----------------------------------------------------------

Driver::Driver(Medium &m, Mode mode, uint32_t seed, bool verify_commits)
    : m_(m), mode_(mode), verify_commits_(verify_commits), rng_(seed), data_seed_(seed * 7919u) {}

void Driver::resume(dace_state *s, const Files &files) {
    s_ = s;
    now_ = files;
    candidates_ = {now_};
}

void Driver::start() {
    s_ = m_.mount();
    if (s_ == nullptr) {
        ADD_FAILURE() << "the blank medium was not formatted";
        throw Stop{false};
    }
    check_power();
}

uint32_t Driver::size(const std::string &name) const {
    const Files::File *f = now_.find(name);
    return f == nullptr ? 0 : f->size();
}

uint32_t Driver::free_clusters() const { return s_->free_clus; }

uint64_t Driver::erases() const { return m_.sim.counters().erase_calls; }

uint32_t Driver::spare_clusters() const {
    return s_->free_clus > s_->held_count ? uint32_t{s_->free_clus} - s_->held_count : 0;
}

std::vector<std::string> Driver::names() const { return sorted_names(now_); }

void Driver::check_power() {
    if (!m_.sim.powered())
        throw Stop{true};
}

void Driver::begin_op() {
    if (before_op_ != nullptr)
        before_op_(before_ctx_, *this);
    ++stats_.ops;
}

void Driver::end_op() {
    check_power();
    const std::string accounting = dace_check::accounting_problems(s_);
    if (!accounting.empty()) {
        ADD_FAILURE() << "cluster accounting: " << accounting;
        throw Stop{false};
    }
    stats_.fullest_free_clusters = std::min<uint32_t>(stats_.fullest_free_clusters, s_->free_clus);
}

bool Driver::refused(const std::string &what, long result) {
    check_power();
    if (mode_ == Mode::Exact) {
        ADD_FAILURE() << what << " returned " << result << " on a healthy medium";
        throw Stop{false};
    }
    ++stats_.refusals;
    return false;
}

void Driver::committed() {
    candidates_ = {now_};
    ++stats_.commits;
    if (!verify_commits_)
        return;
    // What a power cut right now would leave: a commit that reported
    // success must be on the medium, whole.
    Medium copy(m_.sim.geometry(), m_.cfg.max_files);
    copy.sim.bytes() = m_.sim.bytes();
    dace_state *s = copy.mount();
    if (s == nullptr) {
        ADD_FAILURE() << "the medium after a successful commit does not mount";
        throw Stop{false};
    }
    const int failures = reported_failures();
    const std::string wrong = difference(files_on(s), now_);
    if (!wrong.empty()) {
        ADD_FAILURE() << "a commit reported success, but the medium holds " << wrong;
        throw Stop{false};
    }
    EXPECT_EQ(dace_check::chain_problems(s, copy.sim.bytes()), "") << "after a successful commit";
    if (reported_failures() != failures)
        throw Stop{false};
}

void Driver::commit_failed() {
    candidates_.push_back(now_);
    ++stats_.failed_commits;
}

bool Driver::seek_to(const std::string &name, OpenFile &f, uint32_t target) {
    begin_op();
    const int r = dace_seek(s_, f.handle, target, DACE_SEEK_SET);
    if (r != 0 && r != -1 && r != 3) {
        ADD_FAILURE() << "seek in " << name << " returned " << r;
        throw Stop{false};
    }
    // -1: the commit went through, only the target's cluster did not load.
    if (r != 3) {
        f.pos = target;
        committed();
    } else {
        commit_failed();
    }
    end_op();
    if (dace_tell(s_, f.handle) != f.pos) {
        ADD_FAILURE() << "tell in " << name << " after seek " << r;
        throw Stop{false};
    }
    return r == 0 || refused("seek in " + name, r);
}

bool Driver::create(const std::string &name) {
    begin_op();
    const dace_handle h = dace_create(s_, name.c_str());
    if (h != 0) {
        now_.create(name);
        open_[name] = {h, 0};
    }
    end_op();
    return h != 0 || refused("create " + name, 0);
}

bool Driver::open(const std::string &name) {
    if (!exists(name) || is_open(name))
        return false;
    begin_op();
    const dace_handle h = dace_open(s_, name.c_str());
    end_op();
    if (h == 0)
        return refused("open " + name, 0);
    OpenFile &f = open_[name] = {h, 0};
    return seek_to(name, f, size(name));
}

bool Driver::close(const std::string &name) {
    const auto it = open_.find(name);
    if (it == open_.end())
        return false;
    begin_op();
    const int r = dace_close(s_, it->second.handle);
    if (r == 0) {
        open_.erase(it);
        committed();
    } else if (r == 2) {
        commit_failed();
    } else {
        ADD_FAILURE() << "close of " << name << " returned " << r;
        throw Stop{false};
    }
    end_op();
    return r == 0 || refused("close " + name, r);
}

bool Driver::flush(const std::string &name) {
    const auto it = open_.find(name);
    if (it == open_.end())
        return false;
    begin_op();
    const int r = dace_flush(s_, it->second.handle);
    if (r == 0) {
        committed();
    } else if (r == -1) {
        commit_failed();
    } else {
        ADD_FAILURE() << "flush of " << name << " returned " << r;
        throw Stop{false};
    }
    end_op();
    return r == 0 || refused("flush " + name, r);
}

bool Driver::append(const std::string &name, uint32_t n) {
    const auto it = open_.find(name);
    if (it == open_.end())
        return false;
    OpenFile &f = it->second;
    if (f.pos != size(name) && !seek_to(name, f, size(name)))
        return false;
    const uint8_t *bytes = fresh_bytes(n, ++data_seed_);
    begin_op();
    const uint32_t took = dace_write(s_, bytes, n, f.handle);
    if (took > n) {
        ADD_FAILURE() << "write to " << name << " took " << took << " of " << n << " bytes";
        throw Stop{false};
    }
    now_.append(name, bytes, took); // after the seek, which may have kept the state
    f.pos += took;
    end_op();
    if (took == n)
        return true;
    ++stats_.short_appends;
    return refused("write of " + std::to_string(n) + " bytes to " + name + " (free clusters " +
                       std::to_string(s_->free_clus) + ", held " + std::to_string(s_->held_count) + ")",
                   took);
}

bool Driver::peek(const std::string &name, uint32_t n) {
    const auto it = open_.find(name);
    if (it == open_.end() || size(name) == 0)
        return false;
    OpenFile &f = it->second;
    const std::vector<uint8_t> &data = now_.find(name)->bytes();
    const uint32_t end = size(name);
    if (!seek_to(name, f, below(end)))
        return false;
    std::vector<uint8_t> buf(n);
    begin_op();
    const uint32_t got = dace_read(s_, buf.data(), n, f.handle);
    end_op();
    const uint32_t expected = std::min(n, end - f.pos);
    if (got > expected || !std::equal(buf.begin(), buf.begin() + got, data.begin() + f.pos)) {
        ADD_FAILURE() << "read of " << n << " bytes at " << f.pos << " of " << name << " (" << end
                      << " bytes) returned " << got << (got > expected ? " bytes" : " wrong bytes");
        throw Stop{false};
    }
    f.pos += got;
    if (got != expected)
        refused("read in " + name, got);
    return seek_to(name, f, end);
}

bool Driver::remove(const std::string &name) {
    begin_op();
    const int r = dace_remove(s_, name.c_str());
    const int refusal = !exists(name) ? 1 : is_open(name) ? 2 : 0;
    if ((refusal != 0 && r != refusal) || (refusal == 0 && r != 0 && r != 3 && r != 4)) {
        ADD_FAILURE() << "remove " << name << " returned " << r;
        throw Stop{false};
    }
    if (refusal != 0) {
        end_op();
        return false;
    }
    if (r != 3) {
        now_.remove(name);
        r == 0 ? committed() : commit_failed();
    }
    end_op();
    return r == 0 || refused("remove " + name, r);
}

bool Driver::rename(const std::string &from, const std::string &to) {
    if (!exists(from) || exists(to))
        return false; // names stay unique, so that a listing is the model
    begin_op();
    const int r = dace_rename(s_, from.c_str(), to.c_str());
    if (r != 0 && r != 3 && r != 4) {
        ADD_FAILURE() << "rename " << from << " to " << to << " returned " << r;
        throw Stop{false};
    }
    if (r != 3) {
        now_.rename(from, to);
        const auto it = open_.find(from);
        if (it != open_.end()) {
            open_[to] = it->second;
            open_.erase(from);
        }
        r == 0 ? committed() : commit_failed();
    }
    end_op();
    return r == 0 || refused("rename " + from, r);
}

bool Driver::truncate(const std::string &name, uint32_t length) {
    if (!exists(name) || length > size(name))
        return false;
    begin_op();
    const int r = dace_truncate(s_, name.c_str(), length);
    if (r != 0 && r != 3 && r != 4) {
        ADD_FAILURE() << "truncate " << name << " to " << length << " returned " << r;
        throw Stop{false};
    }
    if (r != 3) {
        now_.truncate(name, length);
        const auto it = open_.find(name);
        if (it != open_.end())
            it->second.pos = std::min(it->second.pos, length);
        r == 0 ? committed() : commit_failed();
    }
    end_op();
    const auto it = open_.find(name);
    if (it != open_.end() && dace_tell(s_, it->second.handle) != it->second.pos) {
        ADD_FAILURE() << "an open handle of " << name << " after truncation to " << length << " stands at "
                      << dace_tell(s_, it->second.handle);
        throw Stop{false};
    }
    return r == 0 || refused("truncate " + name, r);
}

void Driver::close_all() {
    while (!open_.empty()) {
        const std::string name = open_.begin()->first;
        if (!close(name))
            open_.erase(name); // given up on: its bytes stay pending in the model
    }
}

bool Driver::commit() {
    begin_op();
    const int r = dace_commit_root(s_);
    if (r == 0)
        committed();
    else if (r == -1)
        commit_failed();
    else {
        ADD_FAILURE() << "commit returned " << r;
        throw Stop{false};
    }
    end_op();
    return r == 0 || refused("commit", r);
}

// ---- checks after a reboot -------------------------------------------------

Files files_on(dace_state *s) {
    std::string trouble;
    Files out = dace_check::files_on(s, &trouble);
    EXPECT_EQ(trouble, "") << "reading every file";
    return out;
}

dace_state *mount_and_match(Medium &m, const std::vector<Files> &candidates, Files *found, const std::string &where) {
    m.sim.reboot();
    dace_state *s = m.mount();
    if (s == nullptr) {
        ADD_FAILURE() << where << ": the mount after the reboot refused";
        return nullptr;
    }
    // Every cluster read back must also carry its mark, link and CRC.
    dace_verify_reads(s, 1);
    const int failures = reported_failures();
    *found = files_on(s);
    if (reported_failures() != failures) {
        ADD_FAILURE() << where << ": the files after the reboot do not read back";
        return nullptr;
    }
    if (std::find(candidates.begin(), candidates.end(), *found) == candidates.end()) {
        ADD_FAILURE() << where << ": the volume holds " << describe(*found, candidates);
        return nullptr;
    }
    expect_free_space_exact(s, *found, where);
    return reported_failures() != failures ? nullptr : s;
}

void check_reboot(Medium &m, const std::vector<Files> &candidates, uint32_t worn, const std::string &where) {
    Files found;
    dace_state *s = mount_and_match(m, candidates, &found, where);
    if (s == nullptr)
        return;
    EXPECT_EQ(dace_check::chain_problems(s, m.sim.bytes()), "") << where;
    prove_usable(m, s, found, worn, where);
}

void prove_usable(Medium &m, dace_state *s, Files found, uint32_t worn, const std::string &where) {
    // Every cluster counted free can be filled, and filling them all harms
    // no file: none of them belongs to one.
    const uint32_t free_before = s->free_clus;
    const dace_handle probe = dace_create(s, "~probe");
    ASSERT_NE(probe, 0u) << where << ": create after the reboot";
    const uint32_t fill_bytes = (free_before + 1) * s->clus_payload;
    const std::vector<uint8_t> fill(fresh_bytes(fill_bytes, 99), fresh_bytes(fill_bytes, 99) + fill_bytes);
    // A root move on the way holds the old root cluster until the next
    // commit, and appending after that commit moves the full newest cluster
    // once more: one cluster may stay out of reach.
    uint32_t took = 0;
    for (uint32_t round = 0; round < 3; ++round) {
        took += dace_write(s, fill.data() + took, static_cast<uint32_t>(fill.size()) - took, probe);
        ASSERT_EQ(dace_flush(s, probe), 0) << where << ": flush while filling the medium";
    }
    const uint32_t full = free_before * s->clus_payload;
    const uint32_t reach = (1 + worn) * s->clus_payload;
    EXPECT_TRUE(took <= full && took + reach >= full)
        << where << ": a medium with " << free_before << " free clusters took " << took << " bytes";
    ASSERT_EQ(dace_close(s, probe), DACE_OK) << where << ": close of a full medium's last file";
    Files with_probe = found;
    with_probe.create("~probe", Bytes(fill.begin(), fill.begin() + took));
    ASSERT_EQ(difference(files_on(s), with_probe), "") << where << ": filling the medium";

    // Space comes back, and files still grow and survive a remount.
    ASSERT_EQ(dace_remove(s, "~probe"), DACE_OK) << where;
    const auto bad =
        static_cast<uint32_t>(std::count(s->clus_table, s->clus_table + s->clus_count, uint16_t{CLUS_BAD}));
    EXPECT_EQ(dace_getfreespace(s, nullptr), (free_before - bad) * s->clus_size)
        << where << ": free space after removal";
    const std::vector<std::string> names = sorted_names(found);
    const std::string grown = names.empty() ? "~tail" : names.front();
    const dace_handle h = found.empty() ? dace_create(s, grown.c_str()) : dace_open(s, grown.c_str());
    ASSERT_NE(h, 0u) << where;
    ASSERT_EQ(dace_seek(s, h, 0, DACE_SEEK_END), DACE_OK) << where;
    ASSERT_EQ(dace_write(s, "tail", 4, h), 4u) << where;
    ASSERT_EQ(dace_close(s, h), DACE_OK) << where;
    if (!found.contains(grown))
        found.create(grown);
    found.append(grown, reinterpret_cast<const uint8_t *>("tail"), 4);

    m.sim.reboot();
    s = m.mount();
    ASSERT_NE(s, nullptr) << where << ": the second remount refused";
    ASSERT_EQ(difference(files_on(s), found), "") << where << ": after the second remount";
    expect_free_space_exact(s, found, where + ", second remount");
    EXPECT_EQ(m.sim.counters().overwrites, 0u) << where << ": a byte that was not blank was programmed";
}

} // namespace dace_torture
