// examples/cpp_logger.cpp written against the C calls of dace/dace.h
// instead of dace/dace.hpp: the same steps, checks and reasons, in the same
// order, compiled by the same compiler with the same flags. Linked for the
// Cortex-M4 beside the example, the difference between the two images is
// what the C++ layer costs (bench/cpp_wrapper_size.py); on the host it runs
// as a test that must print what the example prints.
#include <cstddef>
#include <cstdint>

#include "dace/dace.h"
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
constexpr std::uint32_t kFlushEvery = 25;
constexpr std::uint32_t kBoots = 2;

// ---- the five callbacks (as in the example) ---------------------------------------

std::uint32_t nor_read(void *, std::uint32_t page, void *dst, std::uint32_t count) {
    return spi_nor_read(page * SPI_NOR_PAGE_SIZE, dst, count) == 0 ? count : 0u;
}

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

std::uint32_t nor_erase(void *, std::uint32_t first_clus, std::uint32_t clus_count) {
    std::uint32_t i = 0;
    for (; i < clus_count; ++i)
        if (spi_nor_erase_sector((first_clus + i) * SPI_NOR_SECTOR_SIZE) != 0)
            break;
    return i;
}

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

void touch_entry(void *update_ctx, dace_entry *entry) {
    auto *counter = static_cast<std::uint32_t *>(update_ctx);
    *counter += 1u;
    entry->stamp = *counter;
}

// ---- what the logger keeps ------------------------------------------------------

struct record {
    std::uint32_t seq;
    std::uint32_t millis;
    std::int16_t temperature;
    std::uint16_t check;
};

struct settings {
    std::uint32_t boots;
    std::uint32_t records;
    std::uint32_t check;
};

constexpr char kLogName[] = "sensor.log";
constexpr char kSettingsName[] = "settings";
constexpr char kSettingsNew[] = "settings.new";

constexpr std::uint16_t fold(std::uint32_t seq) { return static_cast<std::uint16_t>(seq ^ 0xA5A5u); }
constexpr std::uint32_t fold(std::uint32_t boots, std::uint32_t records) { return boots * 0x9E3779B1u ^ records; }

std::uint64_t state_block[(DACE_STATE_SIZE(kPageSize, kClusterPages, kPages, kOpenFiles) + 7u) / 8u];
std::uint32_t stamp_counter;

// ---- mount: the state, or null with the reason in *why ---------------------------

dace_state *mount(int *why) {
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
    if (const int rule = dace_check_config(&cfg); rule != DACE_CONFIG_OK) {
        REPORT("configuration refused (rule %d)\n", rule);
        *why = DACE_E_CONFIG;
        return nullptr;
    }
    if (dace_getstatesize(&cfg) > sizeof state_block) {
        *why = DACE_E_CONFIG;
        return nullptr;
    }
    dace_state *fs = dace_init(&cfg, state_block);
    if (fs == nullptr && dace_init_error(state_block) != DACE_E_CONFIG) {
        REPORT("mount refused (reason %d): formatting\n", dace_init_error(state_block));
        fs = dace_format(&cfg, state_block);
    }
    if (fs == nullptr) {
        *why = dace_init_error(state_block);
        return nullptr;
    }
    std::uint32_t start = 0;
    dace_entry log{};
    if (dace_stat(fs, kLogName, &log) == DACE_OK)
        start = log.size / static_cast<std::uint32_t>(sizeof(record));
    dace_level_wear(fs, static_cast<std::uint16_t>(start));
    return fs;
}

// Closes a file: DACE_E_NONE, or the reason; a close whose write fell short
// is tried once more, as the example's file does when it leaves its scope.
int close_file(dace_state *fs, dace_handle f) {
    const int closed = dace_close(fs, f);
    if (closed == DACE_OK)
        return DACE_E_NONE;
    const int why = dace_error(fs);
    if (closed == DACE_CLOSE_WRITE_FAILED)
        dace_close(fs, f);
    return why;
}

// ---- the log: DACE_E_NONE or a reason ---------------------------------------------

int append_records(dace_state *fs, std::uint32_t first, std::uint32_t n) {
    dace_handle log = dace_open(fs, kLogName);
    if (log == 0 && dace_error(fs) == DACE_E_NO_FILE)
        log = dace_create(fs, kLogName);
    if (log == 0)
        return dace_error(fs);
    if (dace_seek(fs, log, 0, DACE_SEEK_END) != DACE_OK) {
        const int why = dace_error(fs);
        dace_close(fs, log);
        return why;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t seq = first + i;
        const record r{seq, seq * 1000u, static_cast<std::int16_t>(2000 + static_cast<std::int32_t>(seq % 50u) - 25),
                       fold(seq)};
        if (dace_write(fs, &r, sizeof r, log) != sizeof r || ((i + 1u) % kFlushEvery == 0 && dace_flush(fs, log) != 0)) {
            const int why = dace_error(fs);
            dace_close(fs, log);
            return why;
        }
    }
    return close_file(fs, log);
}

long read_records(dace_state *fs) {
    const dace_handle log = dace_open(fs, kLogName);
    if (log == 0)
        return -1;
    record r{};
    long count = 0;
    for (;;) {
        const std::uint32_t got = dace_read(fs, &r, sizeof r, log);
        if (dace_error(fs) != DACE_E_NONE)
            break;
        if (got != sizeof r) {
            dace_close(fs, log);
            return count;
        }
        if (r.seq != static_cast<std::uint32_t>(count) || r.check != fold(r.seq))
            break;
        ++count;
    }
    dace_close(fs, log);
    return -1;
}

// ---- the settings -------------------------------------------------------------------

int load_settings(dace_state *fs, settings *out) {
    settings s{0, 0, fold(0, 0)};
    const dace_handle f = dace_open(fs, kSettingsName);
    if (f == 0) {
        if (dace_error(fs) != DACE_E_NO_FILE)
            return dace_error(fs);
        *out = s;
        return DACE_E_NONE;
    }
    const std::uint32_t got = dace_read(fs, &s, sizeof s, f);
    int why = dace_error(fs);
    if (why == DACE_E_NONE && (got != sizeof s || s.check != fold(s.boots, s.records)))
        why = DACE_E_DAMAGED;
    dace_close(fs, f);
    if (why == DACE_E_NONE)
        *out = s;
    return why;
}

int save_settings(dace_state *fs, std::uint32_t boots, std::uint32_t records) {
    if (dace_remove(fs, kSettingsNew) != DACE_OK && dace_error(fs) != DACE_E_NO_FILE)
        return dace_error(fs);
    const dace_handle f = dace_create(fs, kSettingsNew);
    if (f == 0)
        return dace_error(fs);
    const settings s{boots, records, fold(boots, records)};
    if (dace_write(fs, &s, sizeof s, f) != sizeof s) {
        const int why = dace_error(fs);
        dace_close(fs, f);
        return why;
    }
    if (const int why = close_file(fs, f); why != DACE_E_NONE)
        return why;
    return dace_rename_replace(fs, kSettingsNew, kSettingsName) == DACE_OK ? DACE_E_NONE : dace_error(fs);
}

bool session() {
    int why = DACE_E_NONE;
    dace_state *fs = mount(&why);
    if (fs == nullptr) {
        REPORT("mount failed (reason %d)\n", why);
        return false;
    }
    settings s{};
    if ((why = load_settings(fs, &s)) != DACE_E_NONE) {
        REPORT("settings unreadable (reason %d)\n", why);
        return false;
    }
    if ((why = append_records(fs, s.records, kRecordsPerBoot)) != DACE_E_NONE) {
        REPORT("append failed (reason %d)\n", why);
        return false;
    }
    if ((why = save_settings(fs, s.boots + 1u, s.records + kRecordsPerBoot)) != DACE_E_NONE) {
        REPORT("settings not saved (reason %d)\n", why);
        return false;
    }
    const int erased = dace_erase_ahead(fs, 4);
    REPORT("boot %lu: %lu records logged, %u clusters erased ahead\n", static_cast<unsigned long>(s.boots + 1u),
           static_cast<unsigned long>(s.records + kRecordsPerBoot), erased >= 0 ? static_cast<unsigned>(erased) : 0u);
    return erased >= 0;
}

} // namespace

int main() {
    if (spi_nor_init() != 0)
        return 1;
    for (std::uint32_t boot = 0; boot < kBoots; ++boot)
        if (!session())
            return 1;

    int why = DACE_E_NONE;
    dace_state *fs = mount(&why);
    if (fs == nullptr) {
        REPORT("remount failed (reason %d)\n", why);
        return 1;
    }
    const long found = read_records(fs);
    settings now{};
    const bool have_settings = load_settings(fs, &now) == DACE_E_NONE;
    std::uint32_t files = 0;
    dace_dir dir{};
    for (const dace_entry *e = dace_readdir(fs, dace_opendir(fs, &dir)); e != nullptr; e = dace_readdir(fs, &dir)) {
        [[maybe_unused]] std::size_t n = 0;
        while (n < sizeof e->name && e->name[n] != 0)
            ++n;
        REPORT("  %.*s: %lu bytes\n", static_cast<int>(n), reinterpret_cast<const char *>(e->name),
               static_cast<unsigned long>(e->size));
        ++files;
    }
    [[maybe_unused]] std::uint32_t total = 0;
    [[maybe_unused]] const std::uint32_t free_bytes = dace_getfreespace(fs, &total);
    REPORT("%ld records of %u bytes read back in order; settings: %lu boots; %lu of %lu bytes free\n", found,
           static_cast<unsigned>(sizeof(record)), have_settings ? static_cast<unsigned long>(now.boots) : 0ul,
           static_cast<unsigned long>(free_bytes), static_cast<unsigned long>(total));
    const bool whole = found == static_cast<long>(kBoots * kRecordsPerBoot) && have_settings && now.boots == kBoots &&
                       now.records == kBoots * kRecordsPerBoot && files == 2;
    return whole ? 0 : 1;
}
