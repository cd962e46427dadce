// What the benchmarks share: a simulated medium with a volume on it, a test
// pattern and whole-file writes and reads through the file API.
#ifndef DACE_BENCH_BENCH_RIG_H
#define DACE_BENCH_BENCH_RIG_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"

namespace dace_bench {

// A simulated medium with a volume mounted on it.
class Rig {
public:
    Rig(const dace_sim::Geometry &g, uint16_t max_files) : sim_(g), cfg_(sim_.config(max_files)) {}

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
    dace_sim::FlashSim &sim() { return sim_; }
    dace_config &config() { return cfg_; }

private:
    dace_sim::FlashSim sim_;
    dace_config cfg_;
    std::vector<uint64_t> block_;
    dace_state *fs_ = nullptr;
};

// Bytes that differ at every position, so a piece read from the wrong place shows.
inline std::vector<uint8_t> test_pattern(size_t size) {
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

// Creates `name` and appends `size` bytes in pieces of `piece` bytes,
// optionally flushing after each, then closes it. Null, or what failed.
inline const char *write_file(dace_state *fs, const char *name, const uint8_t *data, size_t size, uint32_t piece,
                              bool flush_each) {
    const dace_handle h = dace_create(fs, name);
    if (h == 0)
        return "create refused";
    for (size_t at = 0; at < size;) {
        const auto n = static_cast<uint32_t>(std::min<size_t>(piece, size - at));
        if (dace_write(fs, data + at, n, h) != n)
            return "write fell short (medium full?)";
        if (flush_each && dace_flush(fs, h) != 0)
            return "flush failed";
        at += n;
    }
    return dace_close(fs, h) == DACE_OK ? nullptr : "close failed";
}

// Opens `name` and reads it whole in pieces of `piece` bytes into `out`.
inline const char *read_file(dace_state *fs, const char *name, uint32_t piece, std::vector<uint8_t> &out) {
    const dace_handle h = dace_open(fs, name);
    if (h == 0)
        return "open refused";
    out.clear();
    std::vector<uint8_t> buf(piece);
    for (uint32_t n; (n = dace_read(fs, buf.data(), piece, h)) != 0;)
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    return dace_close(fs, h) == DACE_OK ? nullptr : "close failed";
}

} // namespace dace_bench

#endif // DACE_BENCH_BENCH_RIG_H
