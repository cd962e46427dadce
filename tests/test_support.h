// Shared fixtures for the library's tests: a simulated medium with a state
// block, and helpers that plant root copies and data clusters on the medium
// byte by byte, independently of the library's own writers. The checkers and
// the model of the files come from tests/checks.h.
#ifndef DACE_TESTS_TEST_SUPPORT_H
#define DACE_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "dace/dace_internal.h"
#include "sim/flash_sim.h"
#include "tests/checks.h"

namespace dace_test {

using dace_check::accounting_problems;
using dace_check::Bytes;
using dace_check::chain_problems;
using dace_check::difference;
using dace_check::entry_name;
using dace_check::Files;
using dace_check::files_on;
using dace_check::kReservedClusters;
using dace_check::listing_difference;
using dace_check::sizes;
using dace_check::volume_difference;

using dace_sim::FlashSim;
using dace_sim::Geometry;

// Seed of the randomized tests: fixed, so CI is repeatable, unless
// DACE_TEST_SEED is set to explore others. Tests print it on failure.
inline uint32_t test_seed(uint32_t fixed) {
    const char *env = std::getenv("DACE_TEST_SEED");
    return env != nullptr ? static_cast<uint32_t>(std::strtoul(env, nullptr, 0)) : fixed;
}

// The geometry most tests use: 2048-byte clusters, 128 of them.
inline Geometry small_nor() { return Geometry{256, 8, 1024}; }

inline dace_entry make_entry(const std::string &name, uint32_t size, uint16_t clus, uint64_t stamp = 0) {
    dace_entry e{};
    e.stamp = stamp;
    e.size = size;
    e.clus = clus;
    std::memcpy(e.name, name.data(), name.size() < 18 ? name.size() : 18);
    return e;
}

// Entries with the given names, no data and no cluster.
inline std::vector<dace_entry> named(std::initializer_list<const char *> names, uint32_t size = 0) {
    std::vector<dace_entry> out;
    for (const char *n : names)
        out.push_back(make_entry(n, size, CLUS_END));
    return out;
}

// ---- the check every test ends with ---------------------------------------
//
// Every Volume that is mounted when it goes out of scope (at the end of its
// test, or of the loop round that made it) is checked as it stands: the
// state's counts agree with its table; a mount of the medium as it stands
// takes it, its counts agree with its table and every chain is whole; when
// nothing is in flight (the root copy in memory is the one on the medium,
// and no open file holds bytes the medium lacks) the state's chains are
// whole too and it lists exactly what that mount finds; and, where the
// test keeps a model of the committed files (Volume::committed), the
// medium holds exactly those. A test that leaves a volume inconsistent on
// purpose says so, and why, with Volume::leave_unchecked. The program
// prints in how many tests the check ran.
namespace integrity {

// Volumes of the running test that were checked, and that opted out.
struct Tally {
    uint32_t checked = 0, unchecked = 0;
};
inline Tally &this_test() {
    static Tally tally;
    return tally;
}

// Counts the tests the check ran in, and says so when the program ends.
class Census : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo &) override { this_test() = {}; }
    void OnTestEnd(const ::testing::TestInfo &) override {
        const Tally t = this_test();
        ++tests_;
        checked_ += t.checked > 0 ? 1 : 0;
        opted_out_ += t.checked == 0 && t.unchecked > 0 ? 1 : 0;
    }
    void OnTestProgramEnd(const ::testing::UnitTest &) override {
        if (checked_ + opted_out_ > 0)
            std::printf("[ integrity ] the end-of-test check ran in %u of %u tests; in %u more every volume opted "
                        "out, saying why\n",
                        checked_, tests_, opted_out_);
    }

private:
    uint32_t tests_ = 0, checked_ = 0, opted_out_ = 0;
};
inline const bool census_listens = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new Census);
    return true;
}();

// Nothing in flight: the root copy in memory is the one on the medium and
// reached it whole, and no open file holds bytes the medium lacks.
inline bool settled(const dace_state *s) {
    if (dace::root_is_staged(s) || s->root_unsaved != 0)
        return false;
    for (const dace_file *f = s->open_list; f != nullptr; f = f->next)
        if (f->dirty != 0)
            return false;
    return true;
}

// The entries the directory lists, whole, in its order.
inline std::vector<dace_entry> listed_entries(dace_state *s) {
    std::vector<dace_entry> out;
    dace_dir dir;
    for (const dace_entry *e = dace_readdir(s, dace_opendir(s, &dir)); e != nullptr; e = dace_readdir(s, &dir))
        out.push_back(*e);
    return out;
}

inline std::string shown_listing(const std::vector<dace_entry> &entries) {
    std::string out = "{";
    for (const dace_entry &e : entries)
        out += " " + entry_name(e) + ":" + std::to_string(e.size) + "@" + std::to_string(e.clus);
    return out + " }";
}

// What the check finds wrong with the mounted state `s` on `sim`, mounted
// under `cfg`; empty when nothing.
inline std::string problems(FlashSim &sim, const dace_config &cfg, dace_state *s, const Files *committed) {
    std::string out;
    const auto note = [&out](const std::string &what, const std::string &problem) {
        if (!problem.empty())
            out += (out.empty() ? "" : "; ") + what + problem;
    };
    note("the state: ", accounting_problems(s));
    std::vector<dace_entry> found;
    note("the medium: ", dace_check::medium_problems(sim.bytes(), sim.geometry(), cfg, committed, &found));
    if (settled(s)) {
        note("the state: ", chain_problems(s, sim.bytes()));
        const std::vector<dace_entry> live = listed_entries(s);
        const auto same_entry = [](const dace_entry &a, const dace_entry &b) {
            return std::memcmp(&a, &b, sizeof a) == 0;
        };
        if (!std::equal(live.begin(), live.end(), found.begin(), found.end(), same_entry))
            note("", "with nothing in flight the state lists " + shown_listing(live) + ", a mount of the medium " +
                         shown_listing(found));
    }
    return out;
}

// Runs the check on a volume as its owner goes out of scope; `file` and
// `line` say where the owner was made, for the report.
inline void at_end(FlashSim &sim, const dace_config &cfg, dace_state *s, const Files *committed,
                   const char *unchecked_because, const char *file, int line) {
    if (s == nullptr)
        return; // never mounted, or the last mount refused: nothing to check
    if (unchecked_because != nullptr) {
        ++this_test().unchecked;
        return;
    }
    ++this_test().checked;
    const std::string found = problems(sim, cfg, s, committed);
    if (!found.empty())
        ADD_FAILURE_AT(file, line) << "the end-of-test check of the volume made here: " << found;
}

} // namespace integrity
using integrity::listed_entries;

// A simulated medium with a state block sized for it, checked as it goes
// out of scope (the integrity namespace above).
struct Volume {
    explicit Volume(Geometry g = small_nor(), uint16_t max_files = 4, uint16_t crc_seed = 0xFFFF,
                    const char *file = __builtin_FILE(), int line = __builtin_LINE())
        : sim(g), cfg(sim.config(max_files, crc_seed)), made_in_(file), made_at_(line) {}
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;
    ~Volume() { integrity::at_end(sim, cfg, s, committed, unchecked_because_, made_in_, made_at_); }

    // Lays out a fresh state block and mounts; null when the mount refuses.
    // With level_wear set, the mount turns wear levelling on.
    dace_state *mount() {
        uint32_t size = dace_getstatesize(&cfg);
        block.assign(size / 8 + 1, 0xA5A5A5A5A5A5A5A5ull); // garbage: the library must not rely on zeroed memory
        s = dace_init(&cfg, block.data());
        if (s != nullptr && level_wear)
            dace_level_wear(s, static_cast<uint16_t>(*level_wear + 7919u * mounts));
        ++mounts;
        return s;
    }
    // The same with dace_mount, which never writes, into a zeroed block.
    dace_state *mount_only() {
        block.assign(dace_getstatesize(&cfg) / 8 + 1, 0);
        s = dace_mount(&cfg, block.data());
        return s;
    }
    // dace_format into the state block, which it lays out afresh.
    dace_state *format() {
        block.assign(dace_getstatesize(&cfg) / 8 + 1, 0);
        s = dace_format(&cfg, block.data());
        return s;
    }

    // The end-of-test check leaves this volume alone: for a test that
    // leaves it inconsistent on purpose, which `why` says.
    void leave_unchecked(const char *why) { unchecked_because_ = why; }

    dace_root *root() const { return s->root; }
    dace_entry *entries() const {
        return reinterpret_cast<dace_entry *>(reinterpret_cast<uint8_t *>(s->root) + sizeof(dace_root));
    }
    uint16_t count() const { return s->root->count; }

    FlashSim sim;
    dace_config cfg;
    std::vector<uint64_t> block;
    dace_state *s = nullptr;
    // Set: every mount takes clusters next-fit from a cursor that starts here
    // and moves on from mount to mount, as a boot counter moves it in
    // firmware. Unset: first fit.
    std::optional<uint16_t> level_wear;
    uint32_t mounts = 0;
    // The files the medium must hold when the volume goes out of scope, for
    // a test that keeps a model of its commits; it must outlive the volume.
    const Files *committed = nullptr;

private:
    const char *unchecked_because_ = nullptr;
    const char *made_in_;
    int made_at_;
};

// Skips a test that fails on a library fault found and reported but not yet
// mended, naming the fault, unless DACE_RUN_KNOWN_FAULTS is set (to see
// whether a change mends it). The test stays as it is below the skip.
#define DACE_SKIP_KNOWN_FAULT(what)                                                                               \
    do {                                                                                                       \
        if (std::getenv("DACE_RUN_KNOWN_FAULTS") == nullptr)                                                   \
            GTEST_SKIP() << "known library fault, reported: " << (what) << " (DACE_RUN_KNOWN_FAULTS=1 runs it)"; \
    } while (false)

// The allocation mode of a randomized suite's test, as its name ends.
inline const char *mode_label(bool level_wear) { return level_wear ? "level_wear" : "first_fit"; }

// Each of a randomized suite's cases (a struct with a `level_wear` flag) in
// both allocation modes, first fit first.
template <class Case> std::vector<Case> in_both_modes(std::initializer_list<Case> cases) {
    std::vector<Case> out;
    for (Case c : cases)
        for (const bool level_wear : {false, true}) {
            c.level_wear = level_wear;
            out.push_back(c);
        }
    return out;
}

// The CRC the simulator's crc_fn computes, for checking stored values.
inline uint16_t crc(const void *data, size_t n, uint16_t seed) {
    return dace_sim::crc16_ccitt(seed, data, n);
}

// Writes a complete root copy into the medium's bytes (bypassing the
// callbacks) at `page` of cluster `clus`. `pages` 0 means as few as fit.
inline void plant_root(FlashSim &sim, const dace_config &cfg, uint32_t clus, uint32_t page, uint32_t seq,
                       const std::vector<dace_entry> &entries, uint16_t pages = 0) {
    const uint32_t bytes_needed = 32 + 32 * static_cast<uint32_t>(entries.size());
    if (pages == 0)
        pages = static_cast<uint16_t>((bytes_needed + cfg.page_size - 1) / cfg.page_size);
    std::vector<uint8_t> copy(size_t{pages} * cfg.page_size, 0);
    dace_root h{};
    h.magic = ROOT_MAGIC;
    h.seq = seq;
    h.page_size = cfg.page_size;
    h.geometry_tag = cfg.geometry_tag;
    h.clus_pages = cfg.clus_pages;
    h.pages = pages;
    h.count = static_cast<uint16_t>(entries.size());
    dace_check::put_root(copy.data(), h);
    for (size_t i = 0; i < entries.size(); ++i)
        dace_check::put_entry(copy.data() + 32 + 32 * i, entries[i]);
    dace_check::reseal_root_copy(copy.data(), copy.size(), cfg.crc_seed);
    uint8_t *dst = sim.cluster(clus) + size_t{page} * cfg.page_size;
    std::memcpy(dst, copy.data(), copy.size());
}

// Writes a data cluster with the given link, payload byte and a correct CRC.
inline void plant_data(FlashSim &sim, const dace_config &cfg, uint32_t clus, uint16_t link, uint8_t fill) {
    const uint32_t size = uint32_t{cfg.page_size} * cfg.clus_pages;
    std::vector<uint8_t> image(size, fill);
    dace_check::put_clus_header(image.data(), dace_clus_header{DATA_MAGIC, link, 0});
    uint16_t c = dace_sim::crc16_ccitt(cfg.crc_seed, image.data(), 6);
    dace_check::put_le16(image.data() + 6, dace_sim::crc16_ccitt(c, image.data() + 8, size - 8));
    std::memcpy(sim.cluster(clus), image.data(), size);
}

// A cluster's first word, as the medium holds it (a mark, or erased bytes).
inline void plant_word(FlashSim &sim, uint32_t clus, uint32_t word) { dace_check::put_le32(sim.cluster(clus), word); }

// The header of the root copy that starts page `page` of cluster `clus` on
// the medium, in the host's order.
inline dace_root copy_on_medium(FlashSim &sim, uint32_t clus, uint32_t page) {
    return dace_check::get_root(sim.cluster(clus) + size_t{page} * sim.geometry().page_size);
}
// The bytes the medium holds for the root copy `copy` of a mounted state
// (in the host's order, as the state keeps its current copy): its header
// and entries in the medium's order, then its `bytes` less those as they are.
inline std::vector<uint8_t> as_on_medium(const dace_root *copy, size_t bytes) {
    const auto *from = reinterpret_cast<const uint8_t *>(copy);
    std::vector<uint8_t> out(from, from + bytes);
    dace_check::put_root(out.data(), *copy);
    const dace_entry *entries = dace::entries_of(copy);
    for (size_t i = 0; i < copy->count && 32 + 32 * (i + 1) <= bytes; ++i)
        dace_check::put_entry(out.data() + 32 + 32 * i, entries[i]);
    return out;
}

// Changes that header in place: `change` gets it in the host's order, and
// what it leaves goes back to the medium in the medium's. The CRC fields
// stay as they are unless `change` sets them (reseal sets them to match).
template <class F> void change_copy_on_medium(FlashSim &sim, uint32_t clus, uint32_t page, F change) {
    uint8_t *at = sim.cluster(clus) + size_t{page} * sim.geometry().page_size;
    dace_root h = dace_check::get_root(at);
    change(h);
    dace_check::put_root(at, h);
}

// Gives that copy CRC fields that match what a test changed in it, so that
// only the change itself can make it unacceptable (reseal_root_copy).
inline void reseal(FlashSim &sim, const dace_config &cfg, uint32_t clus, uint32_t page) {
    const size_t at = size_t{page} * sim.geometry().page_size;
    dace_check::reseal_root_copy(sim.cluster(clus) + at, sim.cluster_size() - at, cfg.crc_seed);
}

// ---- call logs, readable in failure reports ----

inline std::string show(const dace_sim::Call &c) {
    static const char *const names[] = {"read", "write", "erase", "crc", "update"};
    return std::string(names[static_cast<int>(c.op)]) + "(" + std::to_string(c.addr) + ", " +
           std::to_string(c.count) + ") -> " + std::to_string(c.result);
}

// Every call, or with `medium_only` only those that touch the medium.
inline std::vector<std::string> shown(const std::vector<dace_sim::Call> &calls, bool medium_only = false) {
    std::vector<std::string> out;
    for (const dace_sim::Call &c : calls)
        if (!medium_only || c.op == dace_sim::Op::Read || c.op == dace_sim::Op::Write || c.op == dace_sim::Op::Erase)
            out.push_back(show(c));
    return out;
}

inline std::vector<std::string> medium_calls(const std::vector<dace_sim::Call> &log) { return shown(log, true); }

// The calls that change the medium: programs and erases.
inline std::vector<std::string> medium_changes(const std::vector<dace_sim::Call> &log) {
    std::vector<std::string> out;
    for (const dace_sim::Call &c : log)
        if (c.op == dace_sim::Op::Write || c.op == dace_sim::Op::Erase)
            out.push_back(show(c));
    return out;
}

// ---- what the calls did, as properties ----
//
// The tests that are about the medium's cost pin exact sequences of calls
// (and say so in their first comment). The others check what the contract
// names through these: which writes reached the medium, judged from what it
// holds afterwards; that no page is programmed twice between erases; that
// a mount reads each cluster's header once; how many bytes were programmed
// - and not the CRC calls, nor an order of calls that does not matter.

inline std::vector<dace_sim::Call> calls_of(const std::vector<dace_sim::Call> &log, dace_sim::Op op) {
    std::vector<dace_sim::Call> out;
    for (const dace_sim::Call &c : log)
        if (c.op == op)
            out.push_back(c);
    return out;
}

// The clusters that erase calls named, in order.
inline std::vector<uint32_t> erased_clusters(const std::vector<dace_sim::Call> &log) {
    std::vector<uint32_t> out;
    for (const dace_sim::Call &c : calls_of(log, dace_sim::Op::Erase))
        for (uint32_t k = 0; k < c.count; ++k)
            out.push_back(c.addr + k);
    return out;
}

// Bytes the write calls programmed.
inline uint64_t programmed_bytes(const std::vector<dace_sim::Call> &log) {
    uint64_t n = 0;
    for (const dace_sim::Call &c : calls_of(log, dace_sim::Op::Write))
        n += c.result;
    return n;
}

// The first page that the log programs a second time without an erase of
// its cluster between, as words; empty when there is none. A page is
// programmed once per erase: a write that falls short has used its pages
// all the same.
inline std::string page_programmed_twice(const std::vector<dace_sim::Call> &log, const Geometry &g) {
    std::vector<bool> used(g.total_pages, false);
    for (const dace_sim::Call &c : log) {
        if (c.op == dace_sim::Op::Erase) {
            for (uint32_t p = c.addr * g.clus_pages; p < (c.addr + c.count) * g.clus_pages && p < g.total_pages; ++p)
                used[p] = false;
        } else if (c.op == dace_sim::Op::Write) {
            const uint32_t end = c.addr + (c.count + g.page_size - 1) / g.page_size;
            for (uint32_t p = c.addr; p < end && p < g.total_pages; ++p) {
                if (used[p])
                    return "page " + std::to_string(p) + " programmed again without an erase";
                used[p] = true;
            }
        }
    }
    return "";
}

// The most times the log reads one cluster's 8-byte header.
inline uint32_t most_header_reads(const std::vector<dace_sim::Call> &log, const Geometry &g) {
    std::vector<uint32_t> reads(g.total_pages / g.clus_pages, 0);
    uint32_t most = 0;
    for (const dace_sim::Call &c : calls_of(log, dace_sim::Op::Read))
        if (c.count == sizeof(dace_clus_header) && c.addr % g.clus_pages == 0 && c.addr / g.clus_pages < reads.size())
            most = std::max(most, ++reads[c.addr / g.clus_pages]);
    return most;
}

namespace detail {
inline uint32_t plain_crc(void *, uint16_t seed, const void *data, uint32_t count) {
    return dace_sim::crc16_ccitt(seed, data, count);
}
} // namespace detail

// What each program and erase of the log left, judged from the medium as it
// stands after them, in order: "root copy, N pages" for a write of a whole
// root copy that the mount's rules take (dace_judge_copy) and that fills
// the pages written; "data cluster, N pages" for a write from the first
// page of a cluster that now carries the data mark; "erase"; anything else
// as "write of N bytes at page P" (with "fell short" when it did).
inline std::vector<std::string> changes(const std::vector<dace_sim::Call> &log, FlashSim &sim, const dace_config &cfg) {
    dace_config quiet = cfg; // judging must not call back into the log it reads
    if (quiet.crc_fn == &FlashSim::crc_cb) {
        quiet.crc_fn = &detail::plain_crc;
        quiet.crc_ctx = nullptr;
    }
    const Geometry &g = sim.geometry();
    const auto pages = [&g](uint32_t bytes) {
        const uint32_t n = (bytes + g.page_size - 1) / g.page_size;
        return std::to_string(n) + (n == 1 ? " page" : " pages");
    };
    std::vector<std::string> out;
    for (const dace_sim::Call &c : log) {
        if (c.op == dace_sim::Op::Erase) {
            out.push_back("erase");
            continue;
        }
        if (c.op != dace_sim::Op::Write)
            continue;
        const uint32_t clus = c.addr / g.clus_pages, page = c.addr % g.clus_pages;
        const uint8_t *image = sim.cluster(clus);
        const dace_root copy = copy_on_medium(sim, clus, page);
        const uint32_t seq_before = page == 0 ? 0u : copy_on_medium(sim, clus, 0).seq;
        if (c.result != c.count)
            out.push_back("write of " + std::to_string(c.count) + " bytes at page " + std::to_string(c.addr) +
                          ", fell short");
        else if (dace_judge_copy(&quiet, image, page, seq_before) == DACE_COPY_VALID &&
                 uint32_t{copy.pages} * g.page_size == c.count)
            out.push_back("root copy, " + pages(c.count));
        else if (page == 0 && dace::load_u32(image) == DATA_MAGIC)
            out.push_back("data cluster, " + pages(c.count));
        else
            out.push_back("write of " + std::to_string(c.count) + " bytes at page " + std::to_string(c.addr));
    }
    return out;
}

// A root copy the log wrote: where it went, and its header as the medium
// holds it now.
struct CopyWritten {
    uint32_t clus, page;
    dace_root head;
};

// The writes of the log that put a root copy on the medium (their first
// page now starts with the root mark), in order.
inline std::vector<CopyWritten> root_copies_written(const std::vector<dace_sim::Call> &log, FlashSim &sim) {
    std::vector<CopyWritten> out;
    const Geometry &g = sim.geometry();
    for (const dace_sim::Call &c : calls_of(log, dace_sim::Op::Write)) {
        const uint32_t clus = c.addr / g.clus_pages, page = c.addr % g.clus_pages;
        const dace_root head = copy_on_medium(sim, clus, page);
        if (c.result > 0 && head.magic == ROOT_MAGIC)
            out.push_back({clus, page, head});
    }
    return out;
}

// `v` in sorted order: for changes whose order the contract leaves open.
inline std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The write-out of data cluster `clus` whose payload holds `data_bytes` file
// bytes: its pages up to the last of them, none past it (those read erased).
inline dace_sim::Call data_write(uint32_t clus, uint32_t data_bytes, const Geometry &g = small_nor()) {
    const uint32_t bytes = (8 + data_bytes + g.page_size - 1) / g.page_size * g.page_size;
    return {dace_sim::Op::Write, clus * g.clus_pages, bytes, bytes};
}

// ---- fault points picked from the log of an uncut run ----

// Programmed-byte counts at which to cut the power: the first bytes of every
// write, both sides of each page boundary and its last byte, and in writes
// smaller than a cluster (root copies) every `small_stride`th byte.
inline std::vector<uint64_t> write_cut_points(const std::vector<dace_sim::Call> &log, uint32_t page,
                                              uint32_t cluster, uint32_t small_stride) {
    std::vector<uint64_t> out;
    uint64_t before = 0;
    for (const dace_sim::Call &c : log) {
        if (c.op != dace_sim::Op::Write)
            continue;
        for (uint32_t b = 0; b <= c.count; ++b)
            if (b < 4 || b % page <= 1 || b % page == page - 1 || b == c.count ||
                (c.count < cluster && b % small_stride == 0))
                out.push_back(before + b);
        before += c.count;
    }
    return out;
}

// 1, 2, ... for every call of kind `op`: the numbers the call-counting
// faults take.
inline std::vector<uint64_t> call_ordinals(const std::vector<dace_sim::Call> &log, dace_sim::Op op) {
    std::vector<uint64_t> out;
    for (const dace_sim::Call &c : log)
        if (c.op == op)
            out.push_back(out.size() + 1);
    return out;
}

// ---- file contents ----

// Bytes that differ from cluster to cluster and from file to file, so that
// data read from a wrong place shows.
inline std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

inline uint32_t write_bytes(dace_state *s, dace_handle h, const std::vector<uint8_t> &bytes) {
    return dace_write(s, bytes.data(), static_cast<uint32_t>(bytes.size()), h);
}

// Opens a file positioned at its end, ready to append.
inline dace_handle open_at_end(dace_state *s, const char *name) {
    const dace_handle h = dace_open(s, name);
    EXPECT_NE(h, 0u) << "cannot open " << name;
    if (h != 0) {
        EXPECT_EQ(dace_seek(s, h, 0, DACE_SEEK_END), DACE_OK);
    }
    return h;
}

// Reads the rest of an open file in pieces of `piece` bytes.
inline std::vector<uint8_t> read_rest(dace_state *s, dace_handle h, uint32_t piece = 4096) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(piece);
    for (;;) {
        const uint32_t got = dace_read(s, buf.data(), piece, h);
        if (got == 0)
            return out;
        out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
}

inline std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Creates `name` holding `size` pattern bytes of `seed` and commits it.
inline void put_file(dace_state *s, const char *name, uint32_t size, uint32_t seed = 1) {
    const dace_handle h = dace_create(s, name);
    ASSERT_NE(h, 0u) << name;
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(size, seed)), size);
    ASSERT_EQ(dace_close(s, h), DACE_OK);
}

// A whole file by name: opened, read and closed. Fails the test when the
// file cannot be opened or closed.
inline std::vector<uint8_t> file_bytes(dace_state *s, const char *name) {
    const dace_handle h = dace_open(s, name);
    EXPECT_NE(h, 0u) << "cannot open " << name;
    if (h == 0)
        return {};
    std::vector<uint8_t> out = read_rest(s, h);
    EXPECT_EQ(dace_close(s, h), DACE_OK);
    return out;
}

// The names the directory lists, in its order.
inline std::vector<std::string> listed_names(dace_state *s) {
    std::vector<std::string> out;
    dace_dir dir;
    for (const dace_entry *e = dace_readdir(s, dace_opendir(s, &dir)); e != nullptr; e = dace_readdir(s, &dir))
        out.push_back(entry_name(*e));
    return out;
}

// Free space in whole clusters, as dace_getfreespace gives it.
inline uint32_t free_clusters(Volume &v) { return dace_getfreespace(v.s, nullptr) / v.sim.cluster_size(); }

// The clusters that wait for an erase, in increasing order: dace_erase_ahead
// erases them, and only them, since it never touches a cluster that a file
// or the directory on the medium may still need. Erasing them is all it
// changes.
inline std::vector<uint32_t> erase_what_waits(Volume &v) {
    const std::vector<uint64_t> before = v.sim.erases_per_cluster();
    EXPECT_GE(dace_erase_ahead(v.s, 0xFFFF), 0);
    std::vector<uint32_t> out;
    for (uint32_t c = 0; c < before.size(); ++c)
        if (v.sim.erases_per_cluster()[c] != before[c])
            out.push_back(c);
    return out;
}

// The clusters of file `name`, newest first, as the headers on the medium
// link them from the newest cluster its entry names.
inline std::vector<uint16_t> chain_on_medium(Volume &v, const char *name) {
    dace_entry e{};
    EXPECT_EQ(dace_stat(v.s, name, &e), 0) << name;
    std::vector<uint16_t> out;
    for (uint16_t c = e.clus; c < v.sim.cluster_count() && out.size() < v.sim.cluster_count();
         c = dace::load_u16(v.sim.cluster(c) + offsetof(dace_clus_header, link)))
        out.push_back(c);
    return out;
}

// The power goes and the volume is mounted again on a fresh state block.
inline dace_state *remount(Volume &v) {
    v.sim.reboot();
    return v.mount();
}

// Runs `call`, which must call no callback and leave the state block as it
// was but for the reason dace_error gives, which must be `reason`.
template <class F> void expect_no_effect(Volume &v, F call, int reason) {
    const std::vector<uint64_t> block = v.block;
    v.sim.set_logging(true);
    v.sim.clear_log();
    call();
    EXPECT_EQ(shown(v.sim.log()), std::vector<std::string>{});
    EXPECT_EQ(dace_error(v.s), reason);
    std::vector<uint64_t> after = v.block;
    auto *error_field = reinterpret_cast<uint8_t *>(after.data()) + offsetof(dace_state, error);
    std::memcpy(error_field, reinterpret_cast<const uint8_t *>(block.data()) + offsetof(dace_state, error), 2);
    EXPECT_TRUE(after == block) << "the state block changed";
    v.sim.set_logging(false);
}

} // namespace dace_test

#endif // DACE_TESTS_TEST_SUPPORT_H
