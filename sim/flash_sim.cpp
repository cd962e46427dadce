#include "sim/flash_sim.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>

namespace dace_sim {

namespace {

constexpr std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000u) ? (crc << 1) ^ 0x1021u : crc << 1;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr std::array<uint16_t, 256> crc_table = make_crc_table();
static_assert(crc_table[1] == 0x1021 && crc_table[255] == 0x1EF0);

constexpr uint8_t blank = 0xFF;

// Counts one call towards an armed fault; true when this is the call it
// was armed for.
bool falls_due(uint64_t &countdown) {
    return countdown != 0 && --countdown == 0;
}

// The same for a fault that fails `times` calls in a row: it stays armed
// for the next call until the last of them.
template <class Fault> bool falls_due(Fault &fault) {
    if (!falls_due(fault.countdown))
        return false;
    if (fault.times > 1) {
        --fault.times;
        fault.countdown = 1;
    }
    return true;
}

} // namespace

uint16_t crc16_ccitt(uint16_t seed, const void *data, size_t count) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t crc = seed;
    for (size_t i = 0; i < count; ++i)
        crc = ((crc << 8) ^ crc_table[((crc >> 8) ^ p[i]) & 0xFFu]) & 0xFFFFu;
    return static_cast<uint16_t>(crc);
}

FlashSim::FlashSim(Geometry geometry)
    : geometry_(geometry),
      mem_(size_t{geometry.page_size} * geometry.total_pages, blank),
      erases_(cluster_count(), 0),
      worn_(cluster_count(), false), unreadable_(cluster_count(), false), unstable_(geometry.total_pages, false) {}

dace_config FlashSim::config(uint16_t max_files, uint16_t crc_seed) {
    dace_config cfg{};
    cfg.page_size = geometry_.page_size;
    cfg.geometry_tag = 0;
    cfg.clus_pages = geometry_.clus_pages;
    cfg.total_pages = geometry_.total_pages;
    cfg.max_files = max_files;
    cfg.crc_seed = crc_seed;
    cfg.reserved = 0;
    attach(cfg);
    return cfg;
}

void FlashSim::attach(dace_config &config) {
    config.update_ctx = this;
    config.update_fn = &FlashSim::update_cb;
    config.crc_ctx = this;
    config.crc_fn = &FlashSim::crc_cb;
    config.io_ctx = this;
    config.read_fn = &FlashSim::read_cb;
    config.write_fn = &FlashSim::write_cb;
    config.erase_fn = &FlashSim::erase_cb;
}

void FlashSim::fill(uint8_t value) { std::fill(mem_.begin(), mem_.end(), value); }

void FlashSim::reset_counters() {
    counters_ = Counters{};
    std::fill(erases_.begin(), erases_.end(), 0);
}

// ---- fault injection ----

void FlashSim::fail_read(uint64_t nth, uint32_t done) { read_fault_ = Fault{nth, done, false}; }

void FlashSim::fail_write(uint64_t nth, uint32_t done, bool lands, uint32_t times) {
    write_fault_ = Fault{nth, done, lands, times};
}

void FlashSim::fail_erase(uint64_t nth, uint32_t result, bool erased) {
    erase_fault_ = Fault{nth, result, erased};
}

void FlashSim::wear_out(uint32_t c) {
    if (c < worn_.size())
        worn_[c] = true;
}

void FlashSim::make_unreadable(uint32_t c) {
    if (c < unreadable_.size())
        unreadable_[c] = true;
}

void FlashSim::make_unstable(uint32_t page, uint32_t seed) {
    if (page < unstable_.size()) {
        unstable_pages_ += unstable_[page] ? 0u : 1u;
        unstable_[page] = true;
        unstable_rng_ = seed * 2654435761u | 1u;
    }
}

void FlashSim::clear_faults() {
    reboot_faults();
    std::fill(worn_.begin(), worn_.end(), false);
    std::fill(unreadable_.begin(), unreadable_.end(), false);
    std::fill(unstable_.begin(), unstable_.end(), false);
    unstable_pages_ = 0;
}

void FlashSim::cut_after_bytes(uint64_t bytes) {
    cut_bytes_left_ = bytes;
    cut_bytes_armed_ = true;
}

void FlashSim::cut_in_erase(uint64_t mth, double fraction) {
    cut_erase_countdown_ = mth;
    // Written so that NaN lands on 0.
    cut_erase_fraction_ = fraction >= 1.0 ? 1.0 : (fraction > 0.0 ? fraction : 0.0);
}

void FlashSim::reboot() {
    powered_ = true;
    reboot_faults();
}

void FlashSim::reboot_faults() {
    read_fault_ = write_fault_ = erase_fault_ = Fault{};
    cut_bytes_armed_ = false;
    cut_bytes_left_ = 0;
    cut_erase_countdown_ = 0;
}

// ---- persistence ----

bool FlashSim::save(const std::string &path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char *>(mem_.data()), static_cast<std::streamsize>(mem_.size()));
    out.close();
    return !out.fail();
}

bool FlashSim::load(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    // One byte more than expected, so that a longer file shows up as such.
    std::vector<uint8_t> image(mem_.size() + 1);
    in.read(reinterpret_cast<char *>(image.data()), static_cast<std::streamsize>(image.size()));
    if (in.bad() || static_cast<size_t>(in.gcount()) != mem_.size())
        return false;
    image.pop_back();
    mem_.swap(image);
    return true;
}

// ---- medium access ----

bool FlashSim::in_range(uint32_t page, uint32_t count) const {
    // 64-bit, so that no page number can wrap around into range.
    return uint64_t{page} * geometry_.page_size + count <= mem_.size();
}

uint32_t FlashSim::do_read(uint32_t page, void *dst, uint32_t count) {
    const bool short_due = falls_due(read_fault_.countdown);
    if (!powered_ || dst == nullptr || !in_range(page, count))
        return 0;
    const uint32_t page_size = geometry_.page_size;
    const uint32_t first = page / geometry_.clus_pages;
    const uint32_t pages = count == 0 ? 1 : (count + page_size - 1) / page_size;
    const uint32_t last = (page + pages - 1) / geometry_.clus_pages;
    for (uint32_t c = first; c <= last && c < unreadable_.size(); ++c)
        if (unreadable_[c])
            return 0;
    const uint32_t done = short_due ? std::min(count, read_fault_.value) : count;
    std::memmove(dst, mem_.data() + size_t{page} * geometry_.page_size, done);
    disturb(page, static_cast<uint8_t *>(dst), done);
    counters_.bytes_read += done;
    return done;
}

void FlashSim::disturb(uint32_t page, uint8_t *dst, uint32_t count) {
    if (unstable_pages_ == 0)
        return; // the common case costs the benchmarks nothing
    const uint32_t page_size = geometry_.page_size;
    for (uint32_t at = 0; at < count; at += page_size) {
        const uint32_t p = page + at / page_size;
        if (p >= unstable_.size() || !unstable_[p])
            continue;
        // A weakly programmed cell reads as programmed or as erased: in
        // about one byte in eight, one cleared bit reads set. Erased bits
        // hold no charge and always read set.
        const uint32_t end = std::min(count, at + page_size);
        for (uint32_t i = at; i < end; ++i) {
            unstable_rng_ ^= unstable_rng_ << 13;
            unstable_rng_ ^= unstable_rng_ >> 17;
            unstable_rng_ ^= unstable_rng_ << 5;
            if ((unstable_rng_ & 7u) == 0)
                dst[i] = static_cast<uint8_t>(dst[i] | (1u << ((unstable_rng_ >> 3) & 7u)));
        }
    }
}

uint32_t FlashSim::do_write(uint32_t page, const void *src, uint32_t count) {
    const bool short_due = falls_due(write_fault_);
    if (!powered_ || src == nullptr || !in_range(page, count))
        return 0;
    uint32_t limit = short_due && !write_fault_.flag ? std::min(count, write_fault_.value) : count;
    if (cut_bytes_armed_ && cut_bytes_left_ < limit)
        limit = static_cast<uint32_t>(cut_bytes_left_);

    uint8_t *dst = mem_.data() + size_t{page} * geometry_.page_size;
    const auto *data = static_cast<const uint8_t *>(src);
    uint32_t done = 0;
    for (; done < limit; ++done) {
        const uint8_t old = dst[done];
        const auto now = static_cast<uint8_t>(old & data[done]);
        if (old != blank && now != old) {
            ++counters_.overwrites;
            if (strict_)
                break;
        }
        dst[done] = now;
    }
    counters_.bytes_programmed += done;

    if (cut_bytes_armed_) {
        if (done >= cut_bytes_left_) {
            cut_bytes_armed_ = false;
            powered_ = false;
            torn_page_ = done % geometry_.page_size != 0 ? page + done / geometry_.page_size : UINT32_MAX;
        } else {
            cut_bytes_left_ -= done;
        }
    }
    if (!mirrored(size_t{page} * geometry_.page_size, done))
        return 0;
    return short_due ? std::min(done, write_fault_.value) : done;
}

bool FlashSim::mirrored(size_t offset, size_t count) {
    return count == 0 || !mirror_ || mirror_(offset, count);
}

uint32_t FlashSim::do_erase(uint32_t first, uint32_t n) {
    const bool fail_due = falls_due(erase_fault_.countdown);
    const bool cut_due = falls_due(cut_erase_countdown_);
    const uint32_t clusters = cluster_count();
    if (!powered_ || n == 0 || first >= clusters || n > clusters - first)
        return 0;
    for (uint32_t c = first; c < first + n; ++c)
        if (worn_[c])
            return 0;

    const uint32_t size = cluster_size();
    if (cut_due) {
        const auto part = static_cast<size_t>(std::floor(cut_erase_fraction_ * size));
        std::fill_n(cluster(first), part, blank);
        ++erases_[first];
        powered_ = false;
        torn_page_ = UINT32_MAX;
        mirrored(size_t{first} * size, part);
        return 0;
    }
    if (fail_due && !erase_fault_.flag)
        return erase_fault_.value;
    std::fill_n(cluster(first), size_t{n} * size, blank);
    for (uint32_t c = first; c < first + n; ++c)
        ++erases_[c];
    if (unstable_pages_ != 0) {
        const auto from = unstable_.begin() + static_cast<std::ptrdiff_t>(size_t{first} * geometry_.clus_pages);
        const auto to = from + static_cast<std::ptrdiff_t>(size_t{n} * geometry_.clus_pages);
        unstable_pages_ -= static_cast<uint32_t>(std::count(from, to, true));
        std::fill(from, to, false);
    }
    if (!mirrored(size_t{first} * size, size_t{n} * size))
        return 0;
    return fail_due ? erase_fault_.value : n;
}

void FlashSim::record(Op op, uint32_t addr, uint32_t count, uint32_t result) {
    if (logging_)
        log_.push_back(Call{op, addr, count, result});
}

// ---- callbacks ----

uint32_t FlashSim::read_cb(void *ctx, uint32_t page, void *dst, uint32_t count) {
    auto &sim = *static_cast<FlashSim *>(ctx);
    ++sim.counters_.read_calls;
    const uint32_t result = sim.do_read(page, dst, count);
    sim.record(Op::Read, page, count, result);
    return result;
}

uint32_t FlashSim::write_cb(void *ctx, uint32_t page, const void *src, uint32_t count) {
    auto &sim = *static_cast<FlashSim *>(ctx);
    ++sim.counters_.write_calls;
    const uint32_t result = sim.do_write(page, src, count);
    sim.record(Op::Write, page, count, result);
    return result;
}

uint32_t FlashSim::erase_cb(void *ctx, uint32_t first_clus, uint32_t clus_count) {
    auto &sim = *static_cast<FlashSim *>(ctx);
    ++sim.counters_.erase_calls;
    const uint32_t result = sim.do_erase(first_clus, clus_count);
    sim.record(Op::Erase, first_clus, clus_count, result);
    return result;
}

uint32_t FlashSim::crc_cb(void *ctx, uint16_t seed, const void *data, uint32_t count) {
    auto &sim = *static_cast<FlashSim *>(ctx);
    ++sim.counters_.crc_calls;
    const uint32_t result = data != nullptr ? crc16_ccitt(seed, data, count) : 0u;
    sim.record(Op::Crc, 0, count, result);
    return result;
}

void FlashSim::update_cb(void *ctx, dace_entry *entry) {
    auto &sim = *static_cast<FlashSim *>(ctx);
    ++sim.counters_.update_calls;
    uint32_t logged = 0;
    if (entry != nullptr) {
        entry->stamp = ++sim.stamp_;
        logged = static_cast<uint32_t>(sim.stamp_);
    }
    sim.record(Op::Update, 0, 0, logged);
}

} // namespace dace_sim
