// The named workloads. Each is deterministic for a given driver seed, keeps
// its medium nearly full so that clusters are erased and reused, and commits
// often enough that the root moves many times. On worn flash any call may be
// refused; a workload then goes on with what it has.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/torture/torture.h"

namespace dace_torture {
namespace {

// Whether `n` more bytes fit with room to spare for a relocation and the
// clusters held until the next commit.
bool fits(const Driver &d, uint32_t n) { return d.spare_clusters() >= n / d.payload() + 4; }

std::string numbered(const char *prefix, uint32_t n) {
    char name[24];
    std::snprintf(name, sizeof name, "%s%u", prefix, n);
    return name;
}

std::string pick(Driver &d, const std::vector<std::string> &names) {
    return names[d.below(static_cast<uint32_t>(names.size()))];
}

// A data logger: records of a few dozen bytes appended and flushed one by
// one, now and then a burst of unflushed records or a long one; a status
// file shortened and rewritten between commits; the log rotated by close,
// remove and rename; calibration data filling most of the medium.
void logger(Driver &d) {
    const uint32_t p = d.payload();
    d.create("calib");
    d.append("calib", (d.state()->clus_count - 20u) * p - 17);
    d.close("calib");
    d.create("config");
    d.append("config", 300);
    d.close("config");
    d.create("status");
    d.create("log");
    for (uint32_t record = 0; record < 52; ++record) {
        const uint32_t n = 10 + d.below(record % 11 == 10 ? 700 : 90);
        if (!fits(d, n))
            d.remove("log.old");
        d.append("log", n);
        if (record % 6 != 5)
            d.flush("log");
        if (record % 8 == 3) {
            // An open file with unflushed bytes shortened by name; the
            // rewrite reaches the medium with the next record's flush.
            d.truncate("status", 0);
            d.append("status", 20 + d.below(40));
        }
        if (record % 17 == 16)
            d.peek("log", 64);
        if (d.size("log") > 3 * p) {
            d.close("log");
            d.remove("log.old");
            d.rename("log", "log.old");
            d.create("log");
        }
    }
    d.close_all();
}

// Five files open at once: writes of a few bytes, of whole clusters and up
// to the end of the newest cluster, interleaved across the handles; flushes
// through any handle, which commit all of them; reopening, reading back in
// the middle, zero-byte writes and truncation of files with unflushed data.
void many_open(Driver &d) {
    const uint32_t p = d.payload();
    const std::vector<std::string> names = {"a.dat", "b.dat", "c.dat", "d.dat", "e.dat"};
    for (const std::string &name : names)
        d.create(name);
    d.flush(names[0]);
    // Most of the medium in use from the start, spread over the files.
    const uint32_t spread = (d.state()->clus_count - 14u) * p / static_cast<uint32_t>(names.size());
    for (const std::string &name : names)
        d.append(name, spread - d.below(p));
    // 36 rounds, and on until clusters have been reused: wear levelling
    // spreads the erases, and some seeds reach round 36 before the cursor
    // has come round once.
    const uint32_t clusters = d.state()->clus_count;
    for (uint32_t round = 0; round < 36 || (d.erases() <= clusters && round < 144); ++round) {
        const std::string one = pick(d, names);
        const uint32_t kind = d.below(8);
        const uint32_t n = kind < 2 ? p + d.below(2 * p) : kind == 2 ? p - d.size(one) % p : 1 + d.below(150);
        // The medium stays nearly full: the largest file gives way.
        for (uint32_t tries = 0; tries < 5 && !fits(d, n); ++tries) {
            const auto largest = std::max_element(names.begin(), names.end(), [&](const auto &x, const auto &y) {
                return d.size(x) < d.size(y);
            });
            d.truncate(*largest, d.size(*largest) / 4);
        }
        d.append(one, n);
        if (round % 3 == 2)
            d.flush(pick(d, names));
        if (round % 9 == 4) {
            d.close(one);
            d.open(one);
        }
        if (round % 7 == 6) {
            const std::string some = pick(d, names); // drawn apart: one draw per statement keeps runs repeatable
            d.peek(some, 200 + d.below(1500));
        }
        if (round % 10 == 7)
            d.truncate(one, d.size(one) * 2 / 3);
        if (round % 12 == 11)
            d.append(one, 0);
        if (round % 16 == 15)
            d.truncate(one, d.size(one) / p * p);
    }
    d.close_all();
}

// Files created, grown, renamed, shortened and removed on a medium that is
// kept nearly full, with enough of them that a root copy spans several
// pages; some commits carry two changes, one without any handle.
void churn(Driver &d) {
    const uint32_t p = d.payload();
    uint32_t serial = 0;
    const auto fresh = [&] { return numbered("file-", serial++); };
    const auto make_room = [&](uint32_t n) {
        for (uint32_t tries = 0; tries < 8 && !fits(d, n) && !d.names().empty(); ++tries)
            d.remove(pick(d, d.names()));
    };
    for (uint32_t step = 0; step < 52; ++step) {
        const std::vector<std::string> files = d.names();
        // New files first, until the medium is nearly full.
        const uint32_t kind = files.size() < 4 || d.spare_clusters() > 9 ? 0 : d.below(10);
        const std::string any = files.empty() ? std::string() : pick(d, files);
        if (kind <= 2) {
            const uint32_t n = d.below(3 * p);
            make_room(n);
            const std::string name = fresh();
            d.create(name);
            d.append(name, n / 2);
            d.append(name, n - n / 2);
            if (kind == 2)
                d.commit();
            d.close(name);
        } else if (kind <= 4) {
            const uint32_t n = d.below(900);
            make_room(n);
            if (d.exists(any) && d.open(any)) {
                d.append(any, n);
                d.close(any);
            }
        } else if (kind == 5) {
            d.rename(any, fresh());
        } else if (kind == 6) {
            const uint32_t size = d.size(any), how = d.below(3);
            d.truncate(any, how == 0 ? 0 : how == 1 ? size / p * p : d.below(size + 1));
        } else if (kind == 7) {
            d.remove(any);
        } else if (kind == 8) {
            // A file created but not yet committed rides along with a rename.
            make_room(200);
            const std::string name = fresh();
            d.create(name);
            d.append(name, d.below(200));
            d.rename(any, fresh());
            d.close(name);
        } else if (d.open(any)) {
            d.peek(any, 1 + d.below(2 * p));
            d.close(any);
        }
    }
    d.close_all();
}

// Many small files, some of them empty: the directory fills nearly to
// its limit, so root copies span most of the root cluster and nearly every
// commit moves the root; files are renamed, emptied, removed, grown, and
// created two at a time under one commit.
void small_files(Driver &d) {
    uint32_t serial = 0;
    const auto fresh = [&] { return numbered("s", serial++); };
    const uint32_t most = d.state()->max_entries - 2u;
    for (uint32_t step = 0; step < 60; ++step) {
        const std::vector<std::string> files = d.names();
        const uint32_t kind = files.size() < 6 ? 0 : d.below(8);
        const std::string any = files.empty() ? std::string() : pick(d, files);
        if (kind <= 2 || kind == 7) {
            const uint32_t n = d.below(6) == 0 ? 0 : 1 + d.below(300);
            if (files.size() + 2 > most || !fits(d, 0)) {
                d.remove(any);
                continue;
            }
            const std::string name = fresh();
            d.create(name);
            d.append(name, n);
            if (kind == 7) {
                const std::string second = fresh();
                d.create(second);
                d.append(second, d.below(300));
                d.close(name);
                d.close(second);
            }
            d.close(name);
        } else if (kind == 3) {
            d.rename(any, fresh());
        } else if (kind == 4) {
            d.truncate(any, d.below(2) == 0 ? 0 : d.size(any) / 2);
        } else if (kind == 5) {
            d.remove(any);
        } else if (fits(d, d.payload()) && d.open(any)) {
            d.append(any, 1 + d.below(100));
            d.close(any);
        }
    }
    d.close_all();
}

} // namespace

void after_reboot(Driver &d) {
    const std::vector<std::string> names = d.names();
    if (!names.empty() && fits(d, 800) && d.open(names.back())) {
        d.append(names.back(), 700);
        d.flush(names.back());
        d.append(names.back(), 30);
        d.close(names.back());
    }
    if (fits(d, 1500)) {
        d.create("~new");
        d.append("~new", 1500);
        d.close("~new");
    }
    if (names.size() > 1)
        d.remove(names.front());
    d.rename("~new", "~renamed");
}

const std::vector<Workload> &workloads() {
    static const std::vector<Workload> all = {
        {"logger", "small flushed appends, a status file rewritten, rotation by remove and rename",
         Geometry{128, 4, 128}, 2, logger},
        {"many_open", "five open files, large and small writes interleaved, reads, truncation of unflushed data",
         Geometry{256, 4, 160}, 6, many_open},
        {"churn", "create, append, rename, truncate and remove on a nearly full medium, multi-page root copies",
         Geometry{128, 8, 320}, 2, churn},
        {"small_files", "a directory near its limit of small and empty files, root copies of most of a cluster",
         Geometry{128, 8, 160}, 2, small_files},
        {"logger_one_page_clusters", "the data logger where a cluster is one page, so every commit moves the root",
         Geometry{256, 1, 40}, 2, logger},
    };
    return all;
}

const char *mode_name(bool level_wear) { return level_wear ? "wear levelling" : "first fit"; }

void PrintTo(const WorkloadParam &p, std::ostream *os) { *os << p.workload->name << ", " << mode_name(p.level_wear); }

std::vector<WorkloadParam> workload_params() {
    std::vector<WorkloadParam> out;
    for (const Workload &w : workloads())
        for (const bool level_wear : {false, true})
            out.push_back({&w, level_wear});
    return out;
}

std::string workload_label(const ::testing::TestParamInfo<WorkloadParam> &p) {
    return std::string(p.param.workload->name) + (p.param.level_wear ? "_level_wear" : "_first_fit");
}

std::string replay_filter(const char *suite, const WorkloadParam &p) {
    return "--gtest_filter='*" + std::string(suite) + "*/" + p.workload->name +
           (p.level_wear ? "_level_wear" : "_first_fit") + "'";
}

} // namespace dace_torture
