// RAM flash simulator: the medium behind the tests, the fuzz targets, the
// benchmarks, the demo, the Python module and `dace plan`. The `dace` tool's
// image commands and its mount do not use it: they have their own medium
// (tools/image_medium.h), so that nothing changed here for the tests can
// change what the tool writes to an image.
//
// It behaves like NOR/NAND flash as the library sees it: erase sets a whole
// cluster to 0xFF, a program can only clear bits (new = old & data), and a
// program that would change a byte that is not blank is counted and, in
// strict mode, refused. Every callback is counted and can be logged, and any
// call can be made to fail, fall short, or lose power part-way.
#ifndef DACE_SIM_FLASH_SIM_H
#define DACE_SIM_FLASH_SIM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dace/dace.h"

namespace dace_sim {

// Running CRC-16/CCITT (polynomial 0x1021, MSB first, no reflection, no final
// xor), driven by a table built at compile time:
// crc16(crc16(seed, a), b) == crc16(seed, a ++ b).
uint16_t crc16_ccitt(uint16_t seed, const void *data, size_t count);

struct Geometry {
    uint16_t page_size = 256;
    uint16_t clus_pages = 8;
    uint16_t total_pages = 1024;
};

enum class Op : uint8_t { Read, Write, Erase, Crc, Update };

// One callback as the library made it. For Read/Write `addr` is the page,
// for Erase the first cluster; `count` is bytes (clusters for Erase);
// `result` is what the simulator returned. Crc calls log addr 0, the byte
// count and the CRC; Update calls log addr 0, count 0 and the low 32 bits of
// the stamp given (0 for a null entry).
struct Call {
    Op op;
    uint32_t addr;
    uint32_t count;
    uint32_t result;
    bool operator==(const Call &) const = default;
};

struct Counters {
    uint64_t read_calls = 0;
    uint64_t write_calls = 0;
    uint64_t erase_calls = 0;
    uint64_t crc_calls = 0;
    uint64_t update_calls = 0;
    uint64_t bytes_read = 0;
    uint64_t bytes_programmed = 0;
    // Bytes a program met that were not blank and whose new value (old & data)
    // differs from the old one; in strict mode, the byte that stopped a write.
    uint64_t overwrites = 0;
};

class FlashSim {
public:
    explicit FlashSim(Geometry geometry); // content starts blank (0xFF)

    const Geometry &geometry() const { return geometry_; }
    uint32_t cluster_size() const { return uint32_t{geometry_.page_size} * geometry_.clus_pages; }
    uint32_t cluster_count() const {
        return geometry_.clus_pages ? geometry_.total_pages / geometry_.clus_pages : 0u;
    }

    // A configuration whose geometry and five callbacks point at this
    // simulator (CRC-16/CCITT, stamp = a counter); max_files and crc_seed as given.
    dace_config config(uint16_t max_files = 4, uint16_t crc_seed = 0xFFFF);
    // Points only the callbacks and contexts of `config` at this simulator.
    void attach(dace_config &config);

    // Raw content: total_pages * page_size bytes, including trailing pages
    // that make up no whole cluster.
    std::vector<uint8_t> &bytes() { return mem_; }
    const std::vector<uint8_t> &bytes() const { return mem_; }
    uint8_t *cluster(uint32_t c) { return mem_.data() + size_t{c} * cluster_size(); }
    void fill(uint8_t value);

    // ---- counters and log ----
    const Counters &counters() const { return counters_; }
    // Erases that reached each cluster, an erase cut short by a power cut
    // included.
    const std::vector<uint64_t> &erases_per_cluster() const { return erases_; }
    // Zeroes the counters and erases_per_cluster(); the stamp keeps rising.
    void reset_counters();
    // When on, every callback is appended to log().
    void set_logging(bool on) { logging_ = on; }
    const std::vector<Call> &log() const { return log_; }
    void clear_log() { log_.clear(); }

    // Strict mode: a program that would change a non-blank byte stops at that
    // byte and the write returns the bytes done before it (a short write).
    void set_strict(bool on) { strict_ = on; }

    // ---- fault injection ----
    // `nth` counts calls of that kind from now, 1 = the next one, 0 disarms;
    // every call counts, also one refused anyway (out of range, no power),
    // which then uses the fault up. Each fault fires once; arming again
    // replaces it. Any number of different faults may be armed together.
    //
    // The nth read or write transfers only its first `done` bytes and
    // returns `done` (0 = fails outright; a `done` of count or more lets the
    // call through whole).
    void fail_read(uint64_t nth, uint32_t done = 0);
    // The same for writes; with `lands` the write programs every byte all
    // the same and still returns `done` (a part whose status reports a
    // failure after the program went through), and `times` makes that many
    // writes in a row fail so, the nth first.
    void fail_write(uint64_t nth, uint32_t done = 0, bool lands = false, uint32_t times = 1);
    // The nth erase returns `result` (anything but 1 is a failure) and, when
    // `erased` is true, erases its clusters all the same; otherwise it leaves
    // them untouched.
    void fail_erase(uint64_t nth, uint32_t result = 0, bool erased = false);
    // Every erase that includes cluster `c` fails from now on (returns 0,
    // touches nothing): a worn-out block. It survives reboot().
    void wear_out(uint32_t c);
    // Every read that touches cluster `c` returns 0 from now on: a block
    // that no longer reads back. It survives reboot().
    void make_unreadable(uint32_t c);
    // Every read that touches page `page` returns that page's bytes with
    // some cleared bits read as set, differently on each read: cells left
    // half programmed by a power cut, or a marginal read. Erased bits stay
    // set. `seed` picks the
    // flips. It survives reboot(). Only an erase of the page's cluster that
    // completes makes the page stable again (one that fails with `erased`
    // set has completed); an erase cut short by a power cut, one that fails
    // without erasing and one of a worn cluster leave it unstable, as does a
    // program over it after its cluster read back erased. clear_faults()
    // also makes every page stable.
    void make_unstable(uint32_t page, uint32_t seed = 1);
    bool unstable(uint32_t page) const { return page < unstable_.size() && unstable_[page]; }
    // Disarms every fault, pending power cuts and worn clusters included.
    // Does not restore power: that is reboot().
    void clear_faults();

    // Power cut once `bytes` more bytes have been programmed: the write that
    // reaches the limit programs exactly up to it and returns what it
    // programmed (0 = the next write programs nothing). From then on every
    // read, write and erase returns 0 and changes nothing until reboot().
    // The CRC and update callbacks touch no medium and keep working.
    void cut_after_bytes(uint64_t bytes);
    // Power cut in the middle of the mth erase from now: its first cluster
    // is left partly erased (its first floor(fraction * cluster_size()) bytes
    // blank, the rest as before; default half, `fraction` clamped to 0..1),
    // later clusters of the call are untouched, and the erase returns 0.
    void cut_in_erase(uint64_t mth, double fraction = 0.5);
    bool powered() const { return powered_; }
    // The page a power cut left partly programmed, or UINT32_MAX when the
    // last cut fell on a page boundary or in an erase.
    uint32_t torn_page() const { return torn_page_; }
    // Power back on with the content kept; disarms every pending fault and
    // power cut. Worn clusters stay worn.
    void reboot();

    // ---- persistence ----
    bool save(const std::string &path) const;
    // Loads a file of exactly total_pages * page_size bytes; on any failure
    // returns false and leaves the content unchanged.
    bool load(const std::string &path);

    // ---- a copy kept elsewhere ----
    // Called after every program and erase with the byte range of the content
    // it changed, so that a file can hold the medium exactly as the library
    // leaves it. Returning false fails that call as a medium fault would;
    // the change stays in the content.
    using Mirror = std::function<bool(size_t offset, size_t count)>;
    void set_mirror(Mirror mirror) { mirror_ = std::move(mirror); }

    // ---- the five callbacks (context = FlashSim*) ----
    static uint32_t read_cb(void *ctx, uint32_t page, void *dst, uint32_t count);
    static uint32_t write_cb(void *ctx, uint32_t page, const void *src, uint32_t count);
    static uint32_t erase_cb(void *ctx, uint32_t first_clus, uint32_t clus_count);
    static uint32_t crc_cb(void *ctx, uint16_t seed, const void *data, uint32_t count);
    static void update_cb(void *ctx, dace_entry *entry);

    uint64_t stamp() const { return stamp_; }

private:
    uint32_t do_read(uint32_t page, void *dst, uint32_t count);
    uint32_t do_write(uint32_t page, const void *src, uint32_t count);
    uint32_t do_erase(uint32_t first, uint32_t n);
    bool in_range(uint32_t page, uint32_t count) const;
    void reboot_faults(); // disarms the faults a power cycle forgets
    void record(Op op, uint32_t addr, uint32_t count, uint32_t result);
    bool mirrored(size_t offset, size_t count); // false when the mirror refused
    void disturb(uint32_t page, uint8_t *dst, uint32_t count); // unstable pages of a read

    Geometry geometry_;
    std::vector<uint8_t> mem_;
    Counters counters_;
    std::vector<uint64_t> erases_;
    bool logging_ = false;
    std::vector<Call> log_;
    bool strict_ = false;
    bool powered_ = true;
    uint64_t stamp_ = 0;

    struct Fault {
        uint64_t countdown = 0; // 0 = none armed
        uint32_t value = 0;
        bool flag = false;
        uint32_t times = 1; // calls in a row that it fails, from the nth
    };
    Fault read_fault_, write_fault_, erase_fault_;
    std::vector<bool> worn_;
    std::vector<bool> unreadable_;
    std::vector<bool> unstable_; // per page
    uint32_t unstable_pages_ = 0; // how many are set in unstable_
    uint32_t unstable_rng_ = 1;
    uint64_t cut_bytes_left_ = 0;
    bool cut_bytes_armed_ = false;
    uint64_t cut_erase_countdown_ = 0;
    uint32_t torn_page_ = UINT32_MAX;
    double cut_erase_fraction_ = 0.5;
    Mirror mirror_;
};

} // namespace dace_sim

#endif // DACE_SIM_FLASH_SIM_H
