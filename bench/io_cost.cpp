// I/O cost of the file API on the simulated flash: what the medium sees for
// each byte the application writes or reads. Every workload starts from a
// freshly formatted medium with the counters zeroed right before it, and
// every file is read back after a remount and compared with what was written.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"

namespace {

using dace_sim::Counters;
using dace_sim::FlashSim;
using dace_sim::Geometry;

struct Options {
    Geometry geometry{256, 8, 16384};
    uint16_t max_files = 4;
    uint32_t file_size = 1u << 20;
};

// ---- rig and measurement ----------------------------------------------------

// A simulated medium with a volume mounted on it.
class Rig {
public:
    explicit Rig(const Options &o) : sim_(o.geometry), cfg_(sim_.config(o.max_files)) {}

    // Lays out a fresh state block and mounts (formatting a blank medium), as
    // firmware does after a reset; the previous state is simply dropped.
    bool mount() {
        const uint32_t size = dace_getstatesize(&cfg_);
        block_.assign(size / sizeof(uint64_t) + 1, 0);
        fs_ = size != 0 ? dace_init(&cfg_, block_.data()) : nullptr;
        return fs_ != nullptr;
    }
    // Power cycle keeping the content, then mount again.
    bool remount() {
        sim_.reboot();
        return mount();
    }

    dace_state *fs() const { return fs_; }
    FlashSim &sim() { return sim_; }

private:
    FlashSim sim_;
    dace_config cfg_;
    std::vector<uint64_t> block_;
    dace_state *fs_ = nullptr;
};

// Medium traffic of one workload. `error` is null when it succeeded.
struct Cost {
    uint64_t user_bytes = 0;
    Counters io;
    uint64_t clusters_erased = 0;
    const char *error = nullptr;

    double per_byte(uint64_t n) const {
        return user_bytes != 0 ? static_cast<double>(n) / static_cast<double>(user_bytes) : 0.0;
    }
};

// Runs `workload(fs)` (returning null or what failed) on the mounted rig and
// collects the traffic it caused, counters zeroed right before it.
template <class Workload> Cost measure(Rig &rig, uint64_t user_bytes, Workload &&workload) {
    rig.sim().reset_counters();
    Cost cost;
    cost.user_bytes = user_bytes;
    cost.error = workload(rig.fs());
    cost.io = rig.sim().counters();
    for (const uint64_t n : rig.sim().erases_per_cluster())
        cost.clusters_erased += n;
    return cost;
}

// ---- workloads --------------------------------------------------------------

// Creates `name` and appends `data` in pieces of `piece` bytes, optionally
// flushing after each, then closes it.
const char *write_file(dace_state *fs, const char *name, const std::vector<uint8_t> &data, uint32_t piece,
                       bool flush_each) {
    const dace_handle h = dace_create(fs, name);
    if (h == 0)
        return "create refused";
    for (size_t at = 0; at < data.size();) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(piece, data.size() - at));
        if (dace_write(fs, data.data() + at, n, h) != n)
            return "write fell short (medium full?)";
        if (flush_each && dace_flush(fs, h) != 0)
            return "flush failed";
        at += n;
    }
    return dace_close(fs, h) == 0 ? nullptr : "close failed";
}

// Opens `name` and reads it whole in pieces of `piece` bytes into `out`.
const char *read_file(dace_state *fs, const char *name, uint32_t piece, std::vector<uint8_t> &out) {
    const dace_handle h = dace_open(fs, name);
    if (h == 0)
        return "open refused";
    out.clear();
    std::vector<uint8_t> buf(piece);
    for (uint32_t n; (n = dace_read(fs, buf.data(), piece, h)) != 0;)
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    return dace_close(fs, h) == 0 ? nullptr : "close failed";
}

// Bytes that differ at every position, so a piece read from the wrong place shows.
std::vector<uint8_t> test_pattern(uint32_t size) {
    std::vector<uint8_t> data(size);
    uint32_t x = 0x2545F491u;
    for (uint8_t &b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return data;
}

struct WriteCase {
    const char *label;
    uint32_t piece;
    bool flush_each;
};

struct CaseResult {
    Cost write, read;
};

// One file written on a fresh medium, then read back in 4 KiB pieces after a
// remount and checked.
CaseResult run_case(const Options &o, const WriteCase &wc, const std::vector<uint8_t> &data) {
    CaseResult r;
    Rig rig(o);
    if (!rig.mount()) {
        r.write.error = "mount refused";
        return r;
    }
    r.write = measure(rig, data.size(),
                      [&](dace_state *fs) { return write_file(fs, "bench.bin", data, wc.piece, wc.flush_each); });
    if (r.write.error != nullptr)
        return r;
    if (!rig.remount()) {
        r.read.error = "remount refused";
        return r;
    }
    std::vector<uint8_t> back;
    r.read = measure(rig, data.size(), [&](dace_state *fs) { return read_file(fs, "bench.bin", 4096, back); });
    if (r.read.error == nullptr && back != data)
        r.read.error = back.size() != data.size() ? "read back a different length" : "read back different bytes";
    return r;
}

// ---- command line -----------------------------------------------------------

const char kUsage[] = "usage: dace_io_cost [--page-size N] [--clus-pages N] [--total-pages N] [--file-size BYTES]";

bool parse_number(const char *text, unsigned long max, unsigned long &out) {
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    out = std::strtoul(text, &end, 0);
    return *end == '\0' && out >= 1 && out <= max;
}

// Asks the library about the geometry before a medium of that size is allocated.
bool geometry_accepted(const Options &o) {
    FlashSim probe(Geometry{o.geometry.page_size, o.geometry.clus_pages, 1});
    dace_config cfg = probe.config(o.max_files);
    cfg.total_pages = o.geometry.total_pages;
    return dace_getstatesize(&cfg) != 0;
}

// Returns false after printing a one-line error.
bool parse_args(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::puts(kUsage);
            std::exit(0);
        }
        uint16_t *field = opt == "--page-size"     ? &o.geometry.page_size
                          : opt == "--clus-pages"  ? &o.geometry.clus_pages
                          : opt == "--total-pages" ? &o.geometry.total_pages
                                                   : nullptr;
        if (field == nullptr && opt != "--file-size") {
            std::fprintf(stderr, "dace_io_cost: unknown argument '%s' (%s)\n", argv[i], kUsage);
            return false;
        }
        const unsigned long max = field != nullptr ? 0xFFFFul : 0xFFFFFFFFul;
        const char *value = i + 1 < argc ? argv[++i] : nullptr;
        unsigned long n = 0;
        if (!parse_number(value, max, n)) {
            std::fprintf(stderr, "dace_io_cost: %s needs a number from 1 to %lu, got '%s'\n", opt.c_str(), max,
                         value != nullptr ? value : "");
            return false;
        }
        if (field != nullptr)
            *field = static_cast<uint16_t>(n);
        else
            o.file_size = static_cast<uint32_t>(n);
    }
    if (!geometry_accepted(o)) {
        std::fprintf(stderr, "dace_io_cost: the library refuses %u-byte pages, %u pages per cluster, %u pages\n",
                     unsigned{o.geometry.page_size}, unsigned{o.geometry.clus_pages}, unsigned{o.geometry.total_pages});
        return false;
    }
    return true;
}

// ---- report -----------------------------------------------------------------

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

void print_write_row(const char *label, const Cost &c) {
    std::printf("  %-24s %8llu %12llu %8.3f %7llu %10.6f %7llu\n", label, ull(c.io.write_calls),
                ull(c.io.bytes_programmed), c.per_byte(c.io.bytes_programmed), ull(c.clusters_erased),
                c.per_byte(c.clusters_erased), ull(c.io.read_calls));
}

void print_read_row(const char *label, const Cost &c) {
    std::printf("  %-24s %8llu %12llu %8.3f\n", label, ull(c.io.read_calls), ull(c.io.bytes_read),
                c.per_byte(c.io.bytes_read));
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse_args(argc, argv, o))
        return 2;

    const Geometry &g = o.geometry;
    const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
    std::printf("geometry: %u-byte pages, %u pages per cluster (%u bytes), %u pages (%u clusters, %llu bytes);"
                " %u open files\n",
                unsigned{g.page_size}, unsigned{g.clus_pages}, unsigned{clus_size}, unsigned{g.total_pages},
                unsigned{g.total_pages} / g.clus_pages, ull(uint64_t{g.page_size} * g.total_pages),
                unsigned{o.max_files});
    std::printf("workload: one file of %u bytes per case, each on a freshly formatted medium\n\n",
                unsigned{o.file_size});

    const std::vector<uint8_t> data = test_pattern(o.file_size);
    const WriteCase cases[] = {
        {"4 KiB writes, close", 4096, false},
        {"64 B writes, flush each", 64, true},
    };
    std::vector<CaseResult> results;
    for (const WriteCase &wc : cases) {
        results.push_back(run_case(o, wc, data));
        const CaseResult &r = results.back();
        if (const char *err = r.write.error != nullptr ? r.write.error : r.read.error; err != nullptr) {
            std::fflush(stdout); // keep the header ahead of the error on a shared terminal
            std::fprintf(stderr, "dace_io_cost: %s: %s\n", wc.label, err);
            return 1;
        }
    }

    std::printf("  %-24s %8s %12s %8s %7s %10s %7s\n", "write", "writes", "programmed", "prog/B", "erased",
                "erased/B", "reads");
    for (size_t i = 0; i < results.size(); ++i)
        print_write_row(cases[i].label, results[i].write);
    std::printf("\n  %-24s %8s %12s %8s\n", "read back, 4 KiB reads", "reads", "bytes read", "read/B");
    for (size_t i = 0; i < results.size(); ++i)
        print_read_row(cases[i].label, results[i].read);
    std::puts("\n(erased = clusters erased; per-byte figures divide by the file size; every read-back matched)");
    return 0;
}
