// I/O cost of the file API on the simulated flash: what the medium sees for
// each byte the application writes or reads, how evenly erases spread, and
// what that costs in time on a part with the given timings. Every workload
// starts from a freshly formatted medium with the counters zeroed right
// before it; every file written is read back and compared.
//
// Prints markdown tables. --mount-csv FILE also writes the mount-scaling
// rows as CSV for the plot.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "bench/bench_rig.h"
#include "sim/flash_sim.h"

namespace {

using dace_sim::Counters;
using dace_sim::FlashSim;
using dace_sim::Geometry;
using dace_bench::Rig;
using dace_bench::read_file;
using dace_bench::test_pattern;
using dace_bench::write_file;

// Datasheet-like timings of the part behind the medium.
struct Timings {
    double prog_us_per_page = 700.0;  // page program
    double erase_ms_per_clus = 45.0;  // cluster (sector) erase
    double read_mb_per_s = 20.0;      // read bandwidth
    double call_us = 2.0;             // command and address of any call
};

struct NamedGeometry {
    std::string label;
    Geometry g;
};

struct Options {
    std::vector<NamedGeometry> geometries;
    uint16_t max_files = 4;
    uint32_t file_size = 1u << 20;
    Timings t;
    bool mount_scaling = true;
    std::string mount_csv;
};

// ---- measurement -------------------------------------------------------------

// Medium traffic of one workload. `error` is null when it succeeded.
struct Cost {
    uint64_t user_bytes = 0;
    Counters io;
    uint64_t erases = 0;
    uint64_t worst_clus_erases = 0;
    double mean_clus_erases = 0;
    const char *error = nullptr;

    double per_byte(uint64_t n) const {
        return user_bytes != 0 ? static_cast<double>(n) / static_cast<double>(user_bytes) : 0.0;
    }
    uint64_t calls() const { return io.read_calls + io.write_calls + io.erase_calls; }
    double sim_ms(const Timings &t, uint32_t page_size) const {
        const double pages = static_cast<double>(io.bytes_programmed) / page_size;
        return pages * t.prog_us_per_page / 1000.0 + static_cast<double>(erases) * t.erase_ms_per_clus +
               static_cast<double>(io.bytes_read) / (t.read_mb_per_s * 1000.0) +
               static_cast<double>(calls()) * t.call_us / 1000.0;
    }
};

void take_counters(Rig &rig, Cost &cost) {
    cost.io = rig.sim().counters();
    const std::vector<uint64_t> &per = rig.sim().erases_per_cluster();
    for (const uint64_t n : per) {
        cost.erases += n;
        cost.worst_clus_erases = std::max(cost.worst_clus_erases, n);
    }
    cost.mean_clus_erases = per.empty() ? 0.0 : static_cast<double>(cost.erases) / static_cast<double>(per.size());
}

// Runs `workload(fs)` (returning null or what failed) on the mounted rig,
// counters zeroed right before it.
template <class Workload> Cost measure(Rig &rig, uint64_t user_bytes, Workload &&workload) {
    rig.sim().reset_counters();
    Cost cost;
    cost.user_bytes = user_bytes;
    cost.error = workload(rig.fs());
    take_counters(rig, cost);
    return cost;
}

// ---- file helpers -------------------------------------------------------------

const char *check_file(dace_state *fs, const char *name, const uint8_t *data, size_t size) {
    std::vector<uint8_t> back;
    if (const char *err = read_file(fs, name, 4096, back))
        return err;
    if (back.size() != size || !std::equal(back.begin(), back.end(), data))
        return "read back different bytes";
    return nullptr;
}

std::string file_name(uint32_t i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%05u", static_cast<unsigned>(i));
    return name;
}

// Free bytes a fresh volume offers for file payload.
uint64_t payload_capacity(dace_state *fs, uint32_t clus_size) {
    return uint64_t{dace_getfreespace(fs, nullptr)} / clus_size * (clus_size - 8);
}

// Fills the volume with `files` files of equal size up to `fill` of its
// payload capacity, in 4 KiB writes. Returns the bytes stored, 0 on failure.
uint64_t fill_volume(dace_state *fs, uint32_t clus_size, uint32_t files, double fill, const std::vector<uint8_t> &pool) {
    const uint32_t payload = clus_size - 8;
    const uint64_t clusters = static_cast<uint64_t>(static_cast<double>(payload_capacity(fs, clus_size)) * fill) / payload;
    const uint64_t per_file = std::max<uint64_t>(1, clusters / files) * payload;
    uint64_t stored = 0;
    for (uint32_t i = 0; i < files; ++i) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(per_file, pool.size()));
        if (write_file(fs, file_name(i).c_str(), pool.data(), size, 4096, false) != nullptr)
            return 0;
        stored += size;
    }
    return stored;
}

// ---- workloads --------------------------------------------------------------

struct Row {
    std::string label;
    Cost cost;
};

struct GeometryResult {
    NamedGeometry geometry;
    std::vector<Row> rows;
    const char *error = nullptr;
    std::string failed_row;
};

// Records the row and reports whether the run may go on.
bool add_row(GeometryResult &r, std::string label, const Cost &cost) {
    r.rows.push_back({std::move(label), cost});
    if (cost.error != nullptr) {
        r.error = cost.error;
        r.failed_row = r.rows.back().label;
        return false;
    }
    return true;
}

uint16_t max_entries(const Geometry &g) { return static_cast<uint16_t>((uint32_t{g.page_size} * g.clus_pages - 32) / 32); }

// Sequential writes of one file, then the whole file read back after a remount.
bool run_sequential(const Options &o, const Geometry &g, const std::vector<uint8_t> &data, GeometryResult &r) {
    struct Case {
        const char *label;
        uint32_t piece;
        bool flush_each;
        size_t size;
    };
    const Case cases[] = {
        {"write 4 KiB pieces, close", 4096, false, o.file_size},
        {"write 64 B pieces, close", 64, false, o.file_size},
        {"log: 64 B append + flush", 64, true, o.file_size / 4},
    };
    for (const Case &c : cases) {
        Rig rig(g, o.max_files);
        if (!rig.mount())
            return add_row(r, c.label, Cost{0, {}, 0, 0, 0, "mount refused"});
        Cost w = measure(rig, c.size,
                         [&](dace_state *fs) { return write_file(fs, "seq.bin", data.data(), c.size, c.piece, c.flush_each); });
        if (!add_row(r, c.label, w))
            return false;
        if (c.piece != 4096)
            continue;
        if (!rig.remount())
            return add_row(r, "read whole", Cost{0, {}, 0, 0, 0, "remount refused"});
        std::vector<uint8_t> back;
        Cost rd = measure(rig, c.size, [&](dace_state *fs) {
            const char *err = read_file(fs, "seq.bin", 4096, back);
            if (err != nullptr)
                return err;
            return back.size() == c.size && std::equal(back.begin(), back.end(), data.begin()) ? nullptr
                                                                                               : "read back different bytes";
        });
        if (!add_row(r, "read whole, 4 KiB pieces", rd))
            return false;

        // 64-byte reads at pseudo-random offsets, each after a seek.
        constexpr uint32_t kSeeks = 1000;
        if (c.size < 128)
            continue;
        Cost sk = measure(rig, uint64_t{kSeeks} * 64, [&](dace_state *fs) -> const char * {
            const dace_handle h = dace_open(fs, "seq.bin");
            if (h == 0)
                return "open refused";
            uint8_t buf[64];
            uint32_t x = 12345;
            for (uint32_t i = 0; i < kSeeks; ++i) {
                x = x * 1103515245u + 12345u;
                const uint32_t at = (x >> 4) % static_cast<uint32_t>(c.size - sizeof buf);
                if (dace_seek(fs, h, at, DACE_SEEK_SET) != DACE_OK || dace_read(fs, buf, sizeof buf, h) != sizeof buf ||
                    !std::equal(buf, buf + sizeof buf, data.begin() + at))
                    return "seek and read went wrong";
            }
            return dace_close(fs, h) == DACE_OK ? nullptr : "close failed";
        });
        if (!add_row(r, "read by seek, 1000 x 64 B", sk))
            return false;
    }
    return true;
}

// Many small files, each created, written and closed.
bool run_small_files(const Options &o, const Geometry &g, const std::vector<uint8_t> &data, GeometryResult &r) {
    Rig rig(g, o.max_files);
    if (!rig.mount())
        return add_row(r, "small files", Cost{0, {}, 0, 0, 0, "mount refused"});
    const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
    const uint64_t fit = uint64_t{dace_getfreespace(rig.fs(), nullptr)} / clus_size;
    const auto files = static_cast<uint32_t>(std::min<uint64_t>({100u, max_entries(g), fit * 3 / 4}));
    constexpr size_t kSize = 1024;
    char label[64];
    std::snprintf(label, sizeof label, "%u small files of 1 KiB", files);
    Cost c = measure(rig, uint64_t{files} * kSize, [&](dace_state *fs) -> const char * {
        for (uint32_t i = 0; i < files; ++i)
            if (const char *err = write_file(fs, file_name(i).c_str(), data.data() + i, kSize, 1024, false))
                return err;
        return nullptr;
    });
    if (!add_row(r, label, c))
        return false;
    if (!rig.remount())
        return add_row(r, "small files remount", Cost{0, {}, 0, 0, 0, "remount refused"});
    for (uint32_t i = 0; i < files; ++i)
        if (const char *err = check_file(rig.fs(), file_name(i).c_str(), data.data() + i, kSize))
            return add_row(r, "small files read back", Cost{0, {}, 0, 0, 0, err});
    return true;
}

// A file of a quarter of the medium removed and written again until the
// medium has been programmed over `rounds` times, beside a file that stays.
bool run_rewrite(const Options &o, const Geometry &g, const std::vector<uint8_t> &data, GeometryResult &r) {
    Rig rig(g, o.max_files);
    if (!rig.mount())
        return add_row(r, "rewrite", Cost{0, {}, 0, 0, 0, "mount refused"});
    const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
    const uint64_t capacity = payload_capacity(rig.fs(), clus_size);
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(capacity / 10, data.size()));
    const size_t turn = static_cast<size_t>(std::min<uint64_t>(capacity / 4, data.size()));
    if (write_file(rig.fs(), "kept.bin", data.data(), kept, 4096, false) != nullptr)
        return add_row(r, "rewrite", Cost{0, {}, 0, 0, 0, "could not write the kept file"});
    constexpr uint32_t kRounds = 4;
    const uint64_t medium = uint64_t{clus_size} * (g.total_pages / g.clus_pages);
    uint64_t written = 0;
    Cost c = measure(rig, 0, [&](dace_state *fs) -> const char * {
        uint32_t turns = 0;
        while (rig.sim().counters().bytes_programmed < kRounds * medium) {
            if (turns++ > 0 && dace_remove(fs, "turn.bin") != DACE_OK)
                return "remove failed";
            if (const char *err = write_file(fs, "turn.bin", data.data() + turns % 97, turn, 4096, false))
                return err;
            written += turn;
        }
        return nullptr;
    });
    c.user_bytes = written;
    if (c.error == nullptr && rig.remount())
        c.error = check_file(rig.fs(), "kept.bin", data.data(), kept);
    char label[80];
    std::snprintf(label, sizeof label, "remove + rewrite 1/4 medium, %ux reused", kRounds);
    return add_row(r, label, c);
}

// Mount of a medium filled to 90% by as many files as a root copy holds (at
// most 100). Per-byte figures divide by the bytes stored.
bool run_full_mount(const Options &o, const Geometry &g, const std::vector<uint8_t> &data, GeometryResult &r) {
    Rig rig(g, o.max_files);
    if (!rig.mount())
        return add_row(r, "mount", Cost{0, {}, 0, 0, 0, "mount refused"});
    const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
    const uint32_t files = std::min<uint32_t>(100, max_entries(g));
    const uint64_t stored = fill_volume(rig.fs(), clus_size, files, 0.9, data);
    if (stored == 0)
        return add_row(r, "mount", Cost{0, {}, 0, 0, 0, "could not fill the medium"});
    rig.sim().reboot();
    rig.sim().reset_counters();
    Cost c;
    c.user_bytes = stored;
    if (!rig.mount())
        c.error = "mount refused";
    take_counters(rig, c);
    char label[64];
    std::snprintf(label, sizeof label, "mount, 90%% full, %u files", files);
    return add_row(r, label, c);
}

GeometryResult run_geometry(const Options &o, const NamedGeometry &ng, const std::vector<uint8_t> &data) {
    GeometryResult r;
    r.geometry = ng;
    (void)(run_sequential(o, ng.g, data, r) && run_small_files(o, ng.g, data, r) && run_rewrite(o, ng.g, data, r) &&
           run_full_mount(o, ng.g, data, r));
    return r;
}

// ---- mount scaling ----------------------------------------------------------

struct MountPoint {
    std::string series;
    uint32_t x = 0;        // clusters, files or chain length
    uint32_t clusters = 0;
    uint32_t files = 0;
    uint32_t chain = 0;    // clusters per file
    Counters io;
    double cpu_us = 0;     // best of several mounts on this host
    double sim_ms = 0;
    const char *error = nullptr;
};

// Mounts the rig's medium a few times; keeps the traffic of one mount and
// the least CPU time.
void time_mount(Rig &rig, const Options &o, MountPoint &p) {
    double best = 1e30;
    for (int i = 0; i < 5; ++i) {
        rig.sim().reboot();
        rig.sim().reset_counters();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = rig.mount();
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            p.error = "mount refused";
            return;
        }
        best = std::min(best, std::chrono::duration<double, std::micro>(end - start).count());
    }
    p.io = rig.sim().counters();
    p.cpu_us = best;
    Cost c;
    c.io = p.io;
    p.sim_ms = c.sim_ms(o.t, rig.sim().geometry().page_size);
}

MountPoint mount_point(const Options &o, const std::string &series, uint32_t x, Geometry g, uint32_t files,
                       double fill, const std::vector<uint8_t> &data) {
    MountPoint p;
    p.series = series;
    p.x = x;
    p.clusters = g.total_pages / g.clus_pages;
    p.files = files;
    Rig rig(g, o.max_files);
    if (!rig.mount()) {
        p.error = "format refused";
        return p;
    }
    const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
    if (files > 0) {
        const uint64_t stored = fill_volume(rig.fs(), clus_size, files, fill, data);
        if (stored == 0) {
            p.error = "could not fill the medium";
            return p;
        }
        p.chain = static_cast<uint32_t>(stored / files / (clus_size - 8));
    }
    time_mount(rig, o, p);
    return p;
}

std::vector<MountPoint> run_mount_scaling(const Options &o, const std::vector<uint8_t> &data) {
    std::vector<MountPoint> points;
    const Geometry nor{256, 16, 0};
    // The medium grows: empty (formatted) and 90% full with 32 files.
    for (const uint32_t clusters : {64u, 256u, 1024u, 4095u}) {
        Geometry g = nor;
        g.total_pages = static_cast<uint16_t>(clusters * g.clus_pages);
        points.push_back(mount_point(o, "empty medium", clusters, g, 0, 0, data));
        points.push_back(mount_point(o, "90% full, 32 files", clusters, g, 32, 0.9, data));
    }
    // The directory grows on a medium of 1024 clusters, 90% full.
    Geometry g = nor;
    g.total_pages = static_cast<uint16_t>(1024 * g.clus_pages);
    for (const uint32_t files : {1u, 8u, 32u, 127u})
        points.push_back(mount_point(o, "files, 1024 clusters 90% full", files, g, files, 0.9, data));
    // One file whose chain grows.
    for (const uint32_t chain : {16u, 64u, 256u, 900u}) {
        const double fill = static_cast<double>(chain) / 1019.0;
        MountPoint p = mount_point(o, "one file, chain length", chain, g, 1, fill, data);
        points.push_back(p);
    }
    return points;
}

// ---- command line -----------------------------------------------------------

const char kUsage[] =
    "usage: dace_io_cost [--page-size N --clus-pages N --total-pages N] [--file-size BYTES]\n"
    "                    [--prog-us-per-page US] [--erase-ms-per-cluster MS] [--read-mb-per-s MB]\n"
    "                    [--call-us US] [--no-mount-scaling] [--mount-csv FILE]\n"
    "Without a geometry, runs NOR-like (256 x 16, 1024 clusters) and NAND-like (2048 x 16, 512 clusters).";

bool parse_number(const char *text, double max, double &out) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    out = std::strtod(text, &end);
    return *end == '\0' && out > 0 && out <= max;
}

// Asks the library about the geometry before a medium of that size is allocated.
bool geometry_accepted(const Geometry &g, uint16_t max_files) {
    FlashSim probe(Geometry{g.page_size, g.clus_pages, 1});
    dace_config cfg = probe.config(max_files);
    cfg.total_pages = g.total_pages;
    return dace_getstatesize(&cfg) != 0;
}

// Returns false after printing a one-line error.
bool parse_args(int argc, char **argv, Options &o) {
    Geometry custom{0, 0, 0};
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::puts(kUsage);
            std::exit(0);
        }
        if (opt == "--no-mount-scaling") {
            o.mount_scaling = false;
            continue;
        }
        uint16_t *field = opt == "--page-size"     ? &custom.page_size
                          : opt == "--clus-pages"  ? &custom.clus_pages
                          : opt == "--total-pages" ? &custom.total_pages
                                                   : nullptr;
        double *timing = opt == "--prog-us-per-page"       ? &o.t.prog_us_per_page
                         : opt == "--erase-ms-per-cluster" ? &o.t.erase_ms_per_clus
                         : opt == "--read-mb-per-s"        ? &o.t.read_mb_per_s
                         : opt == "--call-us"              ? &o.t.call_us
                                                           : nullptr;
        if (field == nullptr && timing == nullptr && opt != "--file-size" && opt != "--mount-csv") {
            std::fprintf(stderr, "dace_io_cost: unknown argument '%s'\n%s\n", opt.c_str(), kUsage);
            return false;
        }
        const char *value = i + 1 < argc ? argv[++i] : nullptr;
        if (opt == "--mount-csv") {
            if (value == nullptr) {
                std::fprintf(stderr, "dace_io_cost: --mount-csv needs a file name\n");
                return false;
            }
            o.mount_csv = value;
            continue;
        }
        const double max = field != nullptr ? 65535.0 : timing != nullptr ? 1e9 : 4294967295.0;
        double n = 0;
        if (!parse_number(value, max, n) || (timing == nullptr && n != static_cast<double>(static_cast<uint64_t>(n)))) {
            std::fprintf(stderr, "dace_io_cost: %s needs a positive number up to %.0f, got '%s'\n", opt.c_str(), max,
                         value != nullptr ? value : "");
            return false;
        }
        if (field != nullptr)
            *field = static_cast<uint16_t>(n);
        else if (timing != nullptr)
            *timing = n;
        else
            o.file_size = static_cast<uint32_t>(n);
    }
    if (custom.page_size != 0 || custom.clus_pages != 0 || custom.total_pages != 0) {
        if (custom.page_size == 0 || custom.clus_pages == 0 || custom.total_pages == 0) {
            std::fprintf(stderr, "dace_io_cost: a geometry needs --page-size, --clus-pages and --total-pages\n");
            return false;
        }
        o.geometries.push_back({"custom", custom});
    } else {
        o.geometries.push_back({"NOR-like", Geometry{256, 16, 16384}});
        o.geometries.push_back({"NAND-like", Geometry{2048, 16, 8192}});
    }
    for (const NamedGeometry &ng : o.geometries) {
        if (!geometry_accepted(ng.g, o.max_files)) {
            std::fprintf(stderr, "dace_io_cost: the library refuses %u-byte pages, %u pages per cluster, %u pages\n",
                         unsigned{ng.g.page_size}, unsigned{ng.g.clus_pages}, unsigned{ng.g.total_pages});
            return false;
        }
    }
    return true;
}

// ---- report -----------------------------------------------------------------

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

void print_geometry(const Options &o, const GeometryResult &r) {
    const Geometry &g = r.geometry.g;
    const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
    std::printf("### %s: %u-byte pages, %u pages per cluster (%u bytes), %u clusters (%llu KiB)\n\n",
                r.geometry.label.c_str(), unsigned{g.page_size}, unsigned{g.clus_pages}, unsigned{clus_size},
                unsigned{g.total_pages} / g.clus_pages, ull(uint64_t{g.page_size} * g.total_pages / 1024));
    std::printf("| workload | user bytes | programmed/B | erases | erases/MiB | read/B | calls/KiB | "
                "worst/mean erases | sim. time ms | user KiB/s |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row &row : r.rows) {
        const Cost &c = row.cost;
        if (c.error != nullptr)
            continue;
        const double ms = c.sim_ms(o.t, g.page_size);
        const double mib = static_cast<double>(c.user_bytes) / 1048576.0;
        char spread[32] = "-";
        if (c.erases != 0)
            std::snprintf(spread, sizeof spread, "%llu / %.2f", ull(c.worst_clus_erases), c.mean_clus_erases);
        std::printf("| %s | %llu | %.3f | %llu | %.1f | %.3f | %.2f | %s | %.1f | %.0f |\n", row.label.c_str(),
                    ull(c.user_bytes), c.per_byte(c.io.bytes_programmed), ull(c.erases),
                    mib > 0 ? static_cast<double>(c.erases) / mib : 0.0, c.per_byte(c.io.bytes_read),
                    c.per_byte(c.calls()) * 1024.0, spread, ms,
                    ms > 0 ? static_cast<double>(c.user_bytes) / 1024.0 / (ms / 1000.0) : 0.0);
    }
    std::printf("\n");
}

void print_mount_scaling(const std::vector<MountPoint> &points) {
    std::printf("### Mount cost as the medium and the directory grow (NOR-like geometry)\n\n");
    std::printf("| series | clusters | files | clusters per file | read calls | KiB read | sim. time ms | "
                "host CPU µs |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const MountPoint &p : points) {
        if (p.error != nullptr) {
            std::printf("| %s | %u | %u | - | %s | | | |\n", p.series.c_str(), p.clusters, p.files, p.error);
            continue;
        }
        std::printf("| %s | %u | %u | %u | %llu | %.1f | %.1f | %.1f |\n", p.series.c_str(), p.clusters, p.files,
                    p.chain, ull(p.io.read_calls), static_cast<double>(p.io.bytes_read) / 1024.0, p.sim_ms,
                    p.cpu_us);
    }
    std::printf("\n");
}

bool write_mount_csv(const std::string &path, const std::vector<MountPoint> &points) {
    FILE *out = std::fopen(path.c_str(), "w");
    if (out == nullptr)
        return false;
    std::fprintf(out, "series,x,clusters,files,chain,read_calls,bytes_read,sim_ms,cpu_us\n");
    for (const MountPoint &p : points)
        if (p.error == nullptr)
            std::fprintf(out, "%s,%u,%u,%u,%u,%llu,%llu,%.3f,%.3f\n", p.series.c_str(), p.x, p.clusters, p.files,
                         p.chain, ull(p.io.read_calls), ull(p.io.bytes_read), p.sim_ms, p.cpu_us);
    return std::fclose(out) == 0;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse_args(argc, argv, o))
        return 2;

    std::printf("Timings: page program %.0f µs, cluster erase %.1f ms, read %.1f MB/s, %.1f µs per call; "
                "%u open files; sequential files of %u bytes (the log workload a quarter of that).\n\n",
                o.t.prog_us_per_page, o.t.erase_ms_per_clus, o.t.read_mb_per_s, o.t.call_us, unsigned{o.max_files},
                unsigned{o.file_size});
    // Enough distinct bytes to fill the largest medium.
    const std::vector<uint8_t> data = test_pattern(std::max<size_t>(o.file_size, size_t{16} << 20));
    int status = 0;
    for (const NamedGeometry &ng : o.geometries) {
        const GeometryResult r = run_geometry(o, ng, data);
        print_geometry(o, r);
        if (r.error != nullptr) {
            std::fflush(stdout); // keep the tables ahead of the error on a shared terminal
            std::fprintf(stderr, "dace_io_cost: %s, %s: %s\n", ng.label.c_str(), r.failed_row.c_str(), r.error);
            status = 1;
        }
    }
    std::puts("Per-byte figures divide by the user bytes of the row (for the mount: the bytes stored); calls count "
              "reads, writes and erases; worst/mean erases compares the most erased cluster with the mean over all "
              "clusters; every file written was read back and matched.\n");
    if (o.mount_scaling) {
        const std::vector<MountPoint> points = run_mount_scaling(o, data);
        print_mount_scaling(points);
        if (!o.mount_csv.empty() && !write_mount_csv(o.mount_csv, points)) {
            std::fprintf(stderr, "dace_io_cost: cannot write %s\n", o.mount_csv.c_str());
            status = 1;
        }
        for (const MountPoint &p : points)
            if (p.error != nullptr)
                status = 1;
    }
    return status;
}
