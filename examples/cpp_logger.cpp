// The data logger of spi_nor_logger.c in C++20, on dace/dace.hpp: the same
// five callbacks over the SPI-NOR driver (spi_nor/spi_nor.h), mount (a
// fresh format when the mount refuses), records appended and flushed in
// batches, a settings file replaced whole with rename_replace, and reboots
// that must find both again. Built as firmware is: no exceptions, no RTTI,
// no heap; the files close themselves when they go out of scope.
//
// Geometry: one cluster is one 4 KiB erase sector (16 pages of 256 bytes).
// On the host the driver is a shim onto the medium simulator; on a
// microcontroller it is your HAL.
//
// bench/cpp_logger_c_calls.cpp is this program written against the C calls,
// so that bench/cpp_wrapper_size.py can weigh what dace.hpp costs: a change
// of behaviour here belongs there too.
#include <cstddef>
#include <cstdint>

#include "dace/dace.hpp"
#include "spi_nor/spi_nor.h"

#ifndef SPI_NOR_LOGGER_SILENT
#include <cstdio>
#define REPORT(...) std::printf(__VA_ARGS__)
#else
#define REPORT(...) ((void)0)
#endif

namespace {

constexpr std::uint16_t kPageSize = SPI_NOR_PAGE_SIZE;
constexpr std::uint16_t kClusterPages = SPI_NOR_SECTOR_SIZE / SPI_NOR_PAGE_SIZE;
constexpr std::uint16_t kPages = SPI_NOR_CAPACITY / SPI_NOR_PAGE_SIZE;
constexpr std::uint16_t kOpenFiles = 2;
constexpr std::uint32_t kRecordsPerBoot = 300;
constexpr std::uint32_t kFlushEvery = 25; // a power cut loses at most the records since the last flush
constexpr std::uint32_t kBoots = 2;

// ---- the five callbacks ---------------------------------------------------------

// Reads `count` bytes from the start of `page`; returns the bytes read.
std::uint32_t nor_read(void *, std::uint32_t page, void *dst, std::uint32_t count) {
    return spi_nor_read(page * SPI_NOR_PAGE_SIZE, dst, count) == 0 ? count : 0u;
}

// Programs `count` bytes from the start of `page`, one page command at a
// time; returns the bytes programmed before any failure.
std::uint32_t nor_write(void *, std::uint32_t page, const void *src, std::uint32_t count) {
    const auto *bytes = static_cast<const std::uint8_t *>(src);
    std::uint32_t done = 0;
    while (done < count) {
        std::uint32_t n = count - done;
        if (n > SPI_NOR_PAGE_SIZE)
            n = SPI_NOR_PAGE_SIZE;
        if (spi_nor_program(page * SPI_NOR_PAGE_SIZE + done, bytes + done, n) != 0)
            break;
        done += n;
    }
    return done;
}

// Erases `clus_count` clusters from `first_clus`; returns the clusters erased.
std::uint32_t nor_erase(void *, std::uint32_t first_clus, std::uint32_t clus_count) {
    std::uint32_t i = 0;
    for (; i < clus_count; ++i)
        if (spi_nor_erase_sector((first_clus + i) * SPI_NOR_SECTOR_SIZE) != 0)
            break;
    return i;
}

// CRC-16/CCITT (polynomial 0x1021), four bits at a time from a 16-entry
// table: 32 bytes of ROM. Continues from `seed`.
std::uint32_t crc16(void *, std::uint16_t seed, const void *data, std::uint32_t count) {
    static constexpr std::uint16_t nibble[16] = {0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
                                                 0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF};
    const auto *p = static_cast<const std::uint8_t *>(data);
    std::uint16_t crc = seed;
    for (std::uint32_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>((crc << 4) ^ nibble[((crc >> 12) ^ (p[i] >> 4)) & 0x0Fu]);
        crc = static_cast<std::uint16_t>((crc << 4) ^ nibble[((crc >> 12) ^ (p[i] & 0x0Fu)) & 0x0Fu]);
    }
    return crc;
}

// Told of every changed entry; stamps it with a counter here (an RTC
// reading would do as well).
void touch_entry(void *update_ctx, dace_entry *entry) {
    auto *counter = static_cast<std::uint32_t *>(update_ctx);
    *counter += 1u;
    entry->stamp = *counter;
}

// ---- what the logger keeps ------------------------------------------------------

struct record {
    std::uint32_t seq;
    std::uint32_t millis;
    std::int16_t temperature; // 0.01 degree steps
    std::uint16_t check;      // seq folded, to see a torn record
};

// Written whole to a new file and put in place of the old one by a single
// rename_replace, so a reboot finds the old settings or the new, never a mix.
struct settings {
    std::uint32_t boots;   // sessions completed
    std::uint32_t records; // records logged by them: the next sequence number
    std::uint32_t check;   // both folded, to see settings that are not ours
};

constexpr char kLogName[] = "sensor.log";
constexpr char kSettingsName[] = "settings";
constexpr char kSettingsNew[] = "settings.new";

constexpr std::uint16_t fold(std::uint32_t seq) { return static_cast<std::uint16_t>(seq ^ 0xA5A5u); }
constexpr std::uint32_t fold(std::uint32_t boots, std::uint32_t records) { return boots * 0x9E3779B1u ^ records; }

// The state block, sized for this geometry as a constant expression (8-byte
// aligned, as the mount requires); volume::init checks it against the
// configuration.
dace::state_block<DACE_STATE_SIZE(kPageSize, kClusterPages, kPages, kOpenFiles)> state_block;
std::uint32_t stamp_counter;

// ---- mount -------------------------------------------------------------------------

dace::result<dace::volume> mount() {
    dace_config cfg{};
    cfg.page_size = kPageSize;
    cfg.clus_pages = kClusterPages;
    cfg.total_pages = kPages;
    cfg.max_files = kOpenFiles;
    cfg.crc_seed = 0xFFFF;
    cfg.update_ctx = &stamp_counter;
    cfg.update_fn = touch_entry;
    cfg.crc_fn = crc16;
    cfg.read_fn = nor_read;
    cfg.write_fn = nor_write;
    cfg.erase_fn = nor_erase;
    if (const int rule = dace::check_config(cfg); rule != DACE_CONFIG_OK) {
        REPORT("configuration refused (rule %d)\n", rule);
        return dace::failure{DACE_E_CONFIG};
    }
    auto vol = dace::volume::init(cfg, state_block); // formats a blank part
    if (!vol && vol.error() != DACE_E_CONFIG) {
        // The part holds a volume this configuration does not mount (another
        // geometry or CRC, a format cut short), or a read failed. This logger
        // owns the part and keeps nothing else on it, so it starts afresh; a
        // firmware whose data matters would report and keep the part.
        REPORT("mount refused (reason %d): formatting\n", vol.error());
        vol = dace::volume::format(cfg, state_block);
    }
    if (!vol)
        return vol;
    // Spread erases over the whole part, from a place that moves from boot
    // to boot: here the length of the log.
    std::uint32_t start = 0;
    if (const auto log = vol.value().stat(kLogName))
        start = log.value().size / static_cast<std::uint32_t>(sizeof(record));
    vol.value().level_wear(static_cast<std::uint16_t>(start));
    return vol;
}

// ---- the log -------------------------------------------------------------------

// Appends `n` records numbered from `first` after what the log holds,
// flushing every kFlushEvery; the file closes (and commits) at the end.
dace::result<void> append_records(const dace::volume &vol, std::uint32_t first, std::uint32_t n) {
    auto opened = vol.open(kLogName);
    if (!opened && opened.error() == DACE_E_NO_FILE)
        opened = vol.create(kLogName);
    if (!opened)
        return dace::failure{opened.error()};
    dace::file &log = opened.value();
    if (auto at = log.seek(0, dace::whence::end); !at)
        return at;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t seq = first + i;
        const record r{seq, seq * 1000u, static_cast<std::int16_t>(2000 + static_cast<std::int32_t>(seq % 50u) - 25),
                       fold(seq)};
        if (auto put = log.write(dace::bytes_of(r)); !put)
            return dace::failure{put.error()};
        if ((i + 1u) % kFlushEvery == 0)
            if (auto flushed = log.flush(); !flushed)
                return flushed;
    }
    return log.close();
}

// Reads the log from the start; returns the records found in order, or -1
// when one is out of place or a read fails.
long read_records(const dace::volume &vol) {
    auto opened = vol.open(kLogName);
    if (!opened)
        return -1;
    record r{};
    long count = 0;
    for (;;) {
        const auto got = opened.value().read(dace::writable_bytes_of(r));
        if (!got)
            return -1;
        if (got.value() != sizeof r)
            return count;
        if (r.seq != static_cast<std::uint32_t>(count) || r.check != fold(r.seq))
            return -1;
        ++count;
    }
}

// ---- the settings ------------------------------------------------------------------

// The settings on the part, or those of a part never used (no file yet).
dace::result<settings> load_settings(const dace::volume &vol) {
    settings s{0, 0, fold(0, 0)};
    auto opened = vol.open(kSettingsName);
    if (!opened)
        return opened.error() == DACE_E_NO_FILE ? dace::result<settings>(s) : dace::failure{opened.error()};
    const auto got = opened.value().read(dace::writable_bytes_of(s));
    if (!got)
        return dace::failure{got.error()};
    if (got.value() != sizeof s || s.check != fold(s.boots, s.records))
        return dace::failure{DACE_E_DAMAGED};
    return s;
}

// Writes the settings to a file of their own, then puts it in place of the
// old one in one commit.
dace::result<void> save_settings(const dace::volume &vol, std::uint32_t boots, std::uint32_t records) {
    // Left over when a power cut came between its close and the rename.
    if (auto gone = vol.remove(kSettingsNew); !gone && gone.error() != DACE_E_NO_FILE)
        return gone;
    {
        auto made = vol.create(kSettingsNew);
        if (!made)
            return dace::failure{made.error()};
        const settings s{boots, records, fold(boots, records)};
        if (auto put = made.value().write(dace::bytes_of(s)); !put)
            return dace::failure{put.error()};
        if (auto closed = made.value().close(); !closed)
            return closed;
    }
    return vol.rename_replace(kSettingsNew, kSettingsName);
}

// One power-on: mount, read the settings, log a session of records, save the
// settings, then erase ahead in idle time. Returns false when a step failed.
bool session() {
    auto vol = mount();
    if (!vol) {
        REPORT("mount failed (reason %d)\n", vol.error());
        return false;
    }
    const auto before = load_settings(vol.value());
    if (!before) {
        REPORT("settings unreadable (reason %d)\n", before.error());
        return false;
    }
    const settings s = before.value();
    if (auto logged = append_records(vol.value(), s.records, kRecordsPerBoot); !logged) {
        REPORT("append failed (reason %d)\n", logged.error());
        return false;
    }
    if (auto saved = save_settings(vol.value(), s.boots + 1u, s.records + kRecordsPerBoot); !saved) {
        REPORT("settings not saved (reason %d)\n", saved.error());
        return false;
    }
    const auto erased = vol.value().erase_ahead(4);
    REPORT("boot %lu: %lu records logged, %u clusters erased ahead\n", static_cast<unsigned long>(s.boots + 1u),
           static_cast<unsigned long>(s.records + kRecordsPerBoot), erased ? unsigned{erased.value()} : 0u);
    return erased.ok();
}

} // namespace

int main() {
    if (spi_nor_init() != 0)
        return 1;
    // Each session ends as a reboot does: the state is dropped, and the next
    // one mounts the volume again.
    for (std::uint32_t boot = 0; boot < kBoots; ++boot)
        if (!session())
            return 1;

    auto vol = mount();
    if (!vol) {
        REPORT("remount failed (reason %d)\n", vol.error());
        return 1;
    }
    const long found = read_records(vol.value());
    const auto now = load_settings(vol.value());
    // The directory holds the log and the settings, and nothing left over.
    std::uint32_t files = 0;
    for (const dace_entry &e : vol.value().entries()) {
        [[maybe_unused]] const auto name = dace::entry_name(e);
        REPORT("  %.*s: %lu bytes\n", static_cast<int>(name.size()), name.data(), static_cast<unsigned long>(e.size));
        ++files;
    }
    [[maybe_unused]] const dace::space_info space = vol.value().space();
    REPORT("%ld records of %u bytes read back in order; settings: %lu boots; %lu of %lu bytes free\n", found,
           static_cast<unsigned>(sizeof(record)), now ? static_cast<unsigned long>(now.value().boots) : 0ul,
           static_cast<unsigned long>(space.free), static_cast<unsigned long>(space.total));
    const bool whole = found == static_cast<long>(kBoots * kRecordsPerBoot) && now && now.value().boots == kBoots &&
                       now.value().records == kBoots * kRecordsPerBoot && files == 2;
    return whole ? 0 : 1;
}
