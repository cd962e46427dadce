// CPU per byte of the file API on this host, each beside its floor: the
// same bytes through memcpy plus the same CRC, the least any implementation
// must spend to move them to or from the medium. The report divides the two
// times of one run.
//
//   write  1 MiB in 4 KiB pieces, closed  | floor: memcpy + CRC-16 of 1 MiB
//   read   1 MiB in 4 KiB pieces           | floor: memcpy of 1 MiB
//   log    64 B appends, flush after each  | floor: memcpy + CRC-16 of 64 B
//   mount  medium 90% full, 100 files      | floor: memcpy of the bytes the
//                                            mount reads + CRC of the bytes
//                                            it checks
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_rig.h"

namespace {

using dace_bench::Rig;
using dace_sim::Geometry;

constexpr uint32_t kFileSize = 1u << 20;
constexpr uint32_t kPiece = 4096;

struct Setting {
    const char *label;
    Geometry geometry;
};
const Setting kSettings[] = {
    {"nor", Geometry{256, 16, 16384}},
    {"nand", Geometry{2048, 16, 8192}},
};

const std::vector<uint8_t> &pattern() {
    static const std::vector<uint8_t> data = dace_bench::test_pattern(16u << 20);
    return data;
}

// A CRC callback that also counts the bytes it covers.
struct CrcCount {
    uint64_t bytes = 0;
    static uint32_t crc(void *ctx, uint16_t seed, const void *data, uint32_t count) {
        static_cast<CrcCount *>(ctx)->bytes += count;
        return dace_sim::crc16_ccitt(seed, data, count);
    }
};

void write_floor(benchmark::State &state) {
    std::vector<uint8_t> medium(kFileSize);
    const uint8_t *data = pattern().data();
    for (auto _ : state) {
        uint16_t crc = 0xFFFF;
        for (uint32_t at = 0; at < kFileSize; at += kPiece) {
            std::memcpy(medium.data() + at, data + at, kPiece);
            crc = dace_sim::crc16_ccitt(crc, medium.data() + at, kPiece);
        }
        benchmark::DoNotOptimize(crc);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void write_file(benchmark::State &state, Geometry g) {
    Rig rig(g, 4);
    if (!rig.mount()) {
        state.SkipWithError("mount refused");
        return;
    }
    for (auto _ : state) {
        if (dace_bench::write_file(rig.fs(), "w", pattern().data(), kFileSize, kPiece, false) != nullptr) {
            state.SkipWithError("write failed");
            return;
        }
        state.PauseTiming();
        const int removed = dace_remove(rig.fs(), "w");
        state.ResumeTiming();
        if (removed != 0) {
            state.SkipWithError("remove failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void read_floor(benchmark::State &state) {
    const std::vector<uint8_t> &medium = pattern();
    std::vector<uint8_t> out(kPiece);
    for (auto _ : state) {
        for (uint32_t at = 0; at < kFileSize; at += kPiece) {
            std::memcpy(out.data(), medium.data() + at, kPiece);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

void read_file(benchmark::State &state, Geometry g) {
    Rig rig(g, 4);
    if (!rig.mount() || dace_bench::write_file(rig.fs(), "r", pattern().data(), kFileSize, kPiece, false) != nullptr) {
        state.SkipWithError("setup failed");
        return;
    }
    std::vector<uint8_t> out(kPiece);
    for (auto _ : state) {
        const dace_handle h = dace_open(rig.fs(), "r");
        uint32_t total = 0;
        for (uint32_t n; (n = dace_read(rig.fs(), out.data(), kPiece, h)) != 0;)
            total += n;
        if (dace_close(rig.fs(), h) != DACE_OK || total != kFileSize) {
            state.SkipWithError("read failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFileSize);
}

constexpr uint32_t kRecord = 64;
constexpr uint32_t kLogRecords = 1024;

void log_floor(benchmark::State &state) {
    std::vector<uint8_t> medium(kRecord * kLogRecords);
    const uint8_t *data = pattern().data();
    uint16_t crc = 0xFFFF;
    uint32_t at = 0;
    for (auto _ : state) {
        std::memcpy(medium.data() + at, data + at, kRecord);
        crc = dace_sim::crc16_ccitt(crc, medium.data() + at, kRecord);
        at = (at + kRecord) % static_cast<uint32_t>(medium.size());
        benchmark::DoNotOptimize(crc);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRecord);
}

// One record appended and flushed per iteration; every kLogRecords records
// the log is removed and started again outside the timing.
void log_records(benchmark::State &state, Geometry g) {
    Rig rig(g, 4);
    if (!rig.mount()) {
        state.SkipWithError("mount refused");
        return;
    }
    dace_handle h = dace_create(rig.fs(), "log");
    uint32_t written = 0;
    for (auto _ : state) {
        if (dace_write(rig.fs(), pattern().data() + written * kRecord, kRecord, h) != kRecord ||
            dace_flush(rig.fs(), h) != 0) {
            state.SkipWithError("append failed");
            return;
        }
        if (++written == kLogRecords) {
            state.PauseTiming();
            written = 0;
            const bool again = dace_close(rig.fs(), h) == DACE_OK && dace_remove(rig.fs(), "log") == DACE_OK &&
                               (h = dace_create(rig.fs(), "log")) != 0;
            state.ResumeTiming();
            if (!again) {
                state.SkipWithError("restart failed");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRecord);
}

// A medium 90% full with 100 files (fewer where a root copy holds fewer).
bool fill_for_mount(Rig &rig, const Geometry &g, uint64_t *stored) {
    if (!rig.mount())
        return false;
    const uint32_t clus_size = uint32_t{g.page_size} * g.clus_pages;
    const uint32_t files = std::min<uint32_t>(100, (clus_size - 32) / 32);
    const uint64_t clusters = uint64_t{dace_getfreespace(rig.fs(), nullptr)} / clus_size * 9 / 10;
    const size_t per_file = static_cast<size_t>(clusters / files * (clus_size - 8));
    *stored = 0;
    for (uint32_t i = 0; i < files; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%u", static_cast<unsigned>(i));
        if (dace_bench::write_file(rig.fs(), name, pattern().data(), per_file, kPiece, false) != nullptr)
            return false;
        *stored += per_file;
    }
    return true;
}

// What one mount of the filled medium reads and checks.
struct MountTraffic {
    uint64_t bytes_read = 0;
    uint64_t crc_bytes = 0;
    uint64_t stored = 0;
};

MountTraffic mount_traffic(const Geometry &g) {
    Rig rig(g, 4);
    CrcCount count;
    rig.config().crc_fn = &CrcCount::crc;
    rig.config().crc_ctx = &count;
    MountTraffic t;
    if (!fill_for_mount(rig, g, &t.stored))
        return t;
    rig.sim().reset_counters();
    count.bytes = 0;
    if (!rig.remount())
        return MountTraffic{};
    t.bytes_read = rig.sim().counters().bytes_read;
    t.crc_bytes = count.bytes;
    return t;
}

void mount_floor(benchmark::State &state, Geometry g) {
    const MountTraffic t = mount_traffic(g);
    if (t.bytes_read == 0) {
        state.SkipWithError("setup failed");
        return;
    }
    const std::vector<uint8_t> &medium = pattern();
    std::vector<uint8_t> buf(uint32_t{g.page_size} * g.clus_pages);
    for (auto _ : state) {
        for (uint64_t left = t.bytes_read; left > 0;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
            std::memcpy(buf.data(), medium.data() + (left % 4096), n);
            benchmark::ClobberMemory();
            left -= n;
        }
        uint16_t crc = 0xFFFF;
        for (uint64_t left = t.crc_bytes; left > 0;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
            crc = dace_sim::crc16_ccitt(crc, buf.data(), n);
            left -= n;
        }
        benchmark::DoNotOptimize(crc);
    }
    state.counters["bytes_read"] = static_cast<double>(t.bytes_read);
    state.counters["crc_bytes"] = static_cast<double>(t.crc_bytes);
}

void mount(benchmark::State &state, Geometry g) {
    Rig rig(g, 4);
    uint64_t stored = 0;
    if (!fill_for_mount(rig, g, &stored)) {
        state.SkipWithError("setup failed");
        return;
    }
    for (auto _ : state) {
        if (!rig.remount()) {
            state.SkipWithError("mount refused");
            return;
        }
    }
    state.counters["stored_bytes"] = static_cast<double>(stored);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("floor/write", write_floor)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("floor/read", read_floor)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("floor/log", log_floor)->Unit(benchmark::kMicrosecond);
    for (const Setting &s : kSettings) {
        char name[32];
        std::snprintf(name, sizeof name, "write/%s", s.label);
        benchmark::RegisterBenchmark(name, write_file, s.geometry)->Unit(benchmark::kMicrosecond);
        std::snprintf(name, sizeof name, "read/%s", s.label);
        benchmark::RegisterBenchmark(name, read_file, s.geometry)->Unit(benchmark::kMicrosecond);
        std::snprintf(name, sizeof name, "log/%s", s.label);
        benchmark::RegisterBenchmark(name, log_records, s.geometry)->Unit(benchmark::kMicrosecond);
        std::snprintf(name, sizeof name, "floor/mount/%s", s.label);
        benchmark::RegisterBenchmark(name, mount_floor, s.geometry)->Unit(benchmark::kMicrosecond);
        std::snprintf(name, sizeof name, "mount/%s", s.label);
        benchmark::RegisterBenchmark(name, mount, s.geometry)->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
