// Files under power cuts: a workload of appends on two open files, flushes
// through either handle, seeks, reads, reopenings, truncations of an open
// file with unflushed data, and a third file created, renamed, truncated and
// removed, is cut at the points of every write that matter and in every
// erase. After each reboot every file holds what it held at the last commit
// that reported success, or at the one in flight, and the volume takes
// further writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace dace_test {
namespace {

// 16 clusters of 1016 payload bytes, 4 pages per root cluster: relocations
// reuse clusters and the root moves often.
Geometry tiny() { return Geometry{256, 4, 64}; }

struct RunResult {
    Files committed; // at the last commit that reported success
    Files in_flight; // at the commit that failed
    bool cut = false;
};

struct Workload {
    Volume &v;
    RunResult r;
    Files now;
    std::map<std::string, dace_handle> handles;
    uint32_t seed = 0;

    // A flush through `name`'s handle commits every file.
    bool flush(const std::string &name) {
        if (dace_flush(v.s, handles[name]) != 0)
            return fail();
        r.committed = now;
        return true;
    }
    bool fail() {
        r.in_flight = now;
        r.cut = true;
        return false;
    }
    bool append(const std::string &name, uint32_t n) {
        const std::vector<uint8_t> bytes = pattern_bytes(n, ++seed);
        const uint32_t taken = write_bytes(v.s, handles[name], bytes);
        now.append(name, bytes.data(), taken);
        return true; // a write cut short shows at the next flush
    }
    bool create(const std::string &name) {
        handles[name] = dace_create(v.s, name.c_str());
        if (!now.contains(name))
            now.create(name);
        return handles[name] != 0 || fail();
    }
    bool reopen(const std::string &name) {
        if (dace_close(v.s, handles[name]) != DACE_OK)
            return fail();
        r.committed = now;
        handles[name] = dace_open(v.s, name.c_str());
        return (handles[name] != 0 && dace_seek(v.s, handles[name], 0, DACE_SEEK_END) == DACE_OK) || fail();
    }
    // Reads a little from the middle and returns to the end; seeking commits.
    bool peek(const std::string &name) {
        const dace_handle h = handles[name];
        const uint32_t middle = now.find(name)->size() / 2;
        if (dace_seek(v.s, h, middle, DACE_SEEK_SET) != DACE_OK)
            return fail();
        r.committed = now;
        uint8_t b = 0;
        const bool got = dace_read(v.s, &b, 1, h) == 1;
        if (got && b != now.find(name)->bytes()[middle])
            ADD_FAILURE() << "read a wrong byte from " << name;
        return (got && dace_seek(v.s, h, 0, DACE_SEEK_END) == DACE_OK) || fail();
    }

    // A change by name commits before it returns; after result 4 it stands
    // in memory and may or may not be on the medium.
    bool changed_by_name(int result, const std::function<void()> &change) {
        if (result == 0 || result == 4)
            change();
        if (result != 0)
            return fail();
        r.committed = now;
        return true;
    }
    bool truncate(const std::string &name, uint32_t length) {
        return changed_by_name(dace_truncate(v.s, name.c_str(), length), [&] { now.truncate(name, length); });
    }
    bool rename(const std::string &from, const std::string &to) {
        return changed_by_name(dace_rename(v.s, from.c_str(), to.c_str()), [&] { now.rename(from, to); });
    }
    bool remove(const std::string &name) {
        return changed_by_name(dace_remove(v.s, name.c_str()), [&] { now.remove(name); });
    }
    bool put(const std::string &name, uint32_t n) {
        if (!create(name) || !append(name, n))
            return false;
        if (dace_close(v.s, handles[name]) != DACE_OK)
            return fail();
        handles.erase(name);
        r.committed = now;
        return true;
    }

    // The changes by name between the appends of round `round`.
    bool change_by_name(uint32_t round, const std::string &one) {
        switch (round) {
        case 2:
            return put("c", 2500);
        case 6:
            return rename("c", "d");
        case 10:
            return truncate("d", 1016);
        case 13:
            return remove("d");
        default:
            // `one` holds unflushed bytes: those below the cut must reach
            // the medium with this commit, the rest never.
            return round % 4 != 1 || truncate(one, now.find(one)->size() * 2 / 3);
        }
    }

    RunResult run() {
        r.committed = now;
        if (!create("a") || !create("b") || !flush("a"))
            return r;
        const uint32_t sizes[] = {3, 300, 1016, 1, 1000, 64, 1015, 7};
        for (uint32_t round = 0; round < 16; ++round) {
            const std::string one = round % 2 == 0 ? "a" : "b";
            const std::string other = round % 2 == 0 ? "b" : "a";
            append(one, sizes[round % 8]);
            append(other, sizes[(round + 3) % 8] / 4);
            if (!change_by_name(round, one))
                return r;
            // Flushing through the other handle must carry this one's
            // pending cluster to the medium before the root.
            if (!flush(round % 3 == 0 ? one : other))
                return r;
            if (round % 5 == 4 && !reopen(other))
                return r;
            if (round % 7 == 3 && !peek(one))
                return r;
        }
        r.in_flight = now;
        return r;
    }
};

void check_after_reboot(Volume &v, const RunResult &r, const std::string &where) {
    v.sim.reboot();
    ASSERT_NE(v.mount(), nullptr) << where;
    std::string trouble;
    const Files found = files_on(v.s, &trouble);
    ASSERT_EQ(trouble, "") << where;
    ASSERT_TRUE(found == r.committed || found == r.in_flight)
        << where << "\n found:     " << sizes(found) << "\n committed: " << sizes(r.committed)
        << "\n in flight: " << sizes(r.in_flight) << "\n " << difference(found, r.committed);
    EXPECT_EQ(accounting_problems(v.s), "");

    // Still usable: an append survives the next remount.
    const bool has_a = found.contains("a");
    const dace_handle h = has_a ? open_at_end(v.s, "a") : dace_create(v.s, "a");
    ASSERT_NE(h, 0u) << where;
    ASSERT_EQ(dace_write(v.s, "tail", 4, h), 4u) << where;
    ASSERT_EQ(dace_close(v.s, h), DACE_OK) << where;
    std::vector<uint8_t> expected = has_a ? found.find("a")->bytes() : std::vector<uint8_t>{};
    expected.insert(expected.end(), {'t', 'a', 'i', 'l'});
    v.sim.reboot();
    ASSERT_NE(v.mount(), nullptr) << where;
    EXPECT_EQ(file_bytes(v.s, "a"), expected) << where;
}

// Runs the workload once uncut with the log on, then once per fault point
// that `points` picks from the log, with `arm` setting the fault.
void sweep(const std::function<std::vector<uint64_t>(const std::vector<dace_sim::Call> &)> &points,
           const std::function<void(FlashSim &, uint64_t)> &arm, const std::string &what) {
    Volume probe(tiny(), 3);
    ASSERT_NE(probe.mount(), nullptr);
    probe.sim.set_logging(true);
    Workload uncut{probe, {}, {}, {}};
    ASSERT_FALSE(uncut.run().cut);
    const std::vector<uint64_t> chosen = points(probe.sim.log());
    std::printf("[ sweep    ] %zu fault points (%s)\n", chosen.size(), what.c_str());
    for (const uint64_t point : chosen) {
        Volume v(tiny(), 3);
        v.sim.set_strict(true);
        ASSERT_NE(v.mount(), nullptr);
        arm(v.sim, point);
        Workload w{v, {}, {}, {}};
        const RunResult r = w.run();
        check_after_reboot(v, r, what + " " + std::to_string(point));
        if (::testing::Test::HasFailure())
            return;
    }
}

} // namespace

// Rule 4: uncut, the workload programs only erased bytes, no page twice
// between erases, reuses clusters and moves the root.
TEST(FilePowerCut, UncutWorkloadProgramsOnlyBlankBytesAndMovesTheRoot) {
    Volume v(tiny(), 3);
    v.sim.set_strict(true);
    v.sim.set_logging(true);
    ASSERT_NE(v.mount(), nullptr);
    Workload w{v, {}, {}, {}};
    const RunResult r = w.run();
    ASSERT_FALSE(r.cut);
    EXPECT_EQ(v.sim.counters().overwrites, 0u);
    EXPECT_EQ(page_programmed_twice(v.sim.log(), v.sim.geometry()), "");
    EXPECT_GT(v.sim.counters().erase_calls, 16u) << "clusters are reused";
    EXPECT_GE(root_copies_written(v.sim.log(), v.sim).back().head.seq, 5u) << "the root moved several times";
    EXPECT_LE(dace_getfreespace(v.s, nullptr), 3u * 1024) << "the medium runs nearly full";
    check_after_reboot(v, r, "uncut");
}

// Rules 1, 8 and 9: cut at the boundaries of every write, a reboot finds
// every file as the last commit or the one in flight left it.
TEST(FilePowerCut, EveryWriteAtItsBoundaries) {
    sweep([](const std::vector<dace_sim::Call> &log) {
              return write_cut_points(log, tiny().page_size, uint32_t{tiny().page_size} * tiny().clus_pages, 16);
          },
          [](FlashSim &sim, uint64_t n) { sim.cut_after_bytes(n); }, "cut after byte");
}

// Rule 3: cut in any erase, nothing a commit on the medium names was
// erased.
TEST(FilePowerCut, EveryErase) {
    sweep(
        [](const std::vector<dace_sim::Call> &log) { return call_ordinals(log, dace_sim::Op::Erase); },
        [](FlashSim &sim, uint64_t n) { sim.cut_in_erase(n); }, "cut in erase");
}

// Rules 2 and 9: a write that falls short anywhere is reported by the
// flush, and the files stay as the last successful flush left them.
TEST(FilePowerCut, ShortWriteAnywhere) {
    sweep(
        [](const std::vector<dace_sim::Call> &log) { return call_ordinals(log, dace_sim::Op::Write); },
        [](FlashSim &sim, uint64_t n) { sim.fail_write(n, 300); },
        "short write");
}

} // namespace dace_test
