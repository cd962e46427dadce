// One phase of the file API for callgrind to count instructions in, which
// unlike time is repeatable on a busy machine. Only measured_phase() is
// counted (bench/run passes --toggle-collect); the setup is not.
//
//   dace_instr_cost PHASE      PHASE: write, read, log, mount, and
//                              floor-write, floor-read, floor-log
// prints the user bytes of the phase; instructions / bytes is the figure.
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
constexpr uint32_t kRecord = 64;
constexpr uint32_t kLogRecords = 1024;
const Geometry kNor{256, 16, 16384};

struct Phase {
    Rig *rig = nullptr;
    const uint8_t *data = nullptr;
    std::vector<uint8_t> *buf = nullptr;
    std::string name;
    dace_handle handle = 0;
};

uint64_t sink;

// Everything callgrind counts. Returns the user bytes moved, 0 on failure.
__attribute__((noinline)) uint64_t measured_phase(Phase &p) {
    dace_state *fs = p.rig != nullptr ? p.rig->fs() : nullptr;
    if (p.name == "write")
        return dace_bench::write_file(fs, "w", p.data, kFileSize, kPiece, false) == nullptr ? kFileSize : 0;
    if (p.name == "read") {
        const dace_handle h = dace_open(fs, "r");
        uint64_t total = 0;
        for (uint32_t n; (n = dace_read(fs, p.buf->data(), kPiece, h)) != 0;)
            total += n;
        return dace_close(fs, h) == DACE_OK ? total : 0;
    }
    if (p.name == "log") {
        for (uint32_t i = 0; i < kLogRecords; ++i)
            if (dace_write(fs, p.data + i * kRecord, kRecord, p.handle) != kRecord || dace_flush(fs, p.handle) != 0)
                return 0;
        return uint64_t{kLogRecords} * kRecord;
    }
    if (p.name == "mount")
        return p.rig->remount() ? 1 : 0;
    if (p.name == "floor-write" || p.name == "floor-log") {
        const uint32_t piece = p.name == "floor-write" ? kPiece : kRecord;
        const uint32_t size = p.name == "floor-write" ? kFileSize : kRecord * kLogRecords;
        uint16_t crc = 0xFFFF;
        for (uint32_t at = 0; at < size; at += piece) {
            std::memcpy(p.buf->data() + at, p.data + at, piece);
            crc = dace_sim::crc16_ccitt(crc, p.buf->data() + at, piece);
        }
        sink += crc;
        return size;
    }
    if (p.name == "floor-read") {
        for (uint32_t at = 0; at < kFileSize; at += kPiece) {
            std::memcpy(p.buf->data(), p.data + at, kPiece);
            sink += p.buf->data()[at % kPiece];
        }
        return kFileSize;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dace_instr_cost write|read|log|mount|floor-write|floor-read|floor-log\n");
        return 2;
    }
    const std::vector<uint8_t> data = dace_bench::test_pattern(16u << 20);
    std::vector<uint8_t> buf(kFileSize);
    Rig rig(kNor, 4);
    Phase p;
    p.name = argv[1];
    p.data = data.data();
    p.buf = &buf;
    p.rig = &rig;
    if (!rig.mount())
        return 1;
    uint64_t stored = 0;
    if (p.name == "read" && dace_bench::write_file(rig.fs(), "r", data.data(), kFileSize, kPiece, false) != nullptr)
        return 1;
    if (p.name == "log" && (p.handle = dace_create(rig.fs(), "log")) == 0)
        return 1;
    if (p.name == "mount") {
        // 90% full with 100 files, as in the other mount figures.
        const uint64_t clusters = uint64_t{dace_getfreespace(rig.fs(), nullptr)} / 4096 * 9 / 10;
        const size_t per_file = static_cast<size_t>(clusters / 100 * 4088);
        for (uint32_t i = 0; i < 100; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "f%u", static_cast<unsigned>(i));
            if (dace_bench::write_file(rig.fs(), name, data.data(), per_file, kPiece, false) != nullptr)
                return 1;
            stored += per_file;
        }
    }
    const uint64_t bytes = measured_phase(p);
    if (bytes == 0) {
        std::fprintf(stderr, "dace_instr_cost: %s failed\n", argv[1]);
        return 1;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(p.name == "mount" ? stored : bytes));
    return 0;
}
