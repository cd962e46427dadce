/* A data logger on SPI-NOR flash, in plain C99: the five callbacks over a
 * generic SPI-NOR driver (spi_nor/spi_nor.h), a software CRC-16, mount (a
 * format only on the logger's own decision, when the part holds no volume),
 * records appended and flushed with erases done ahead between them, then
 * read back after a simulated reboot.
 *
 * Geometry: one cluster is one 4 KiB erase sector (16 pages of 256 bytes),
 * so an erase of a cluster is one sector erase. On the host the driver is
 * a shim onto the medium simulator; on a microcontroller it is your HAL. */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "dace/dace.h"
#include "spi_nor/spi_nor.h"

#ifndef SPI_NOR_LOGGER_SILENT
#include <stdio.h>
#define REPORT(...) printf(__VA_ARGS__)
#else
#define REPORT(...) ((void)0)
#endif

#define PAGES_PER_CLUSTER (SPI_NOR_SECTOR_SIZE / SPI_NOR_PAGE_SIZE)
#define OPEN_FILES 2u
#define RECORDS 300u

/* ---- the five callbacks --------------------------------------------------- */

/* Reads `count` bytes from the start of `page`; returns the bytes read. */
static uint32_t nor_read(void *io_ctx, uint32_t page, void *dst, uint32_t count) {
    (void)io_ctx;
    return spi_nor_read(page * SPI_NOR_PAGE_SIZE, dst, count) == 0 ? count : 0u;
}

/* Programs `count` bytes from the start of `page`, one page command at a
 * time; returns the bytes programmed before any failure. */
static uint32_t nor_write(void *io_ctx, uint32_t page, const void *src, uint32_t count) {
    const uint8_t *bytes = (const uint8_t *)src;
    uint32_t done = 0;
    (void)io_ctx;
    while (done < count) {
        uint32_t n = count - done;
        if (n > SPI_NOR_PAGE_SIZE)
            n = SPI_NOR_PAGE_SIZE;
        if (spi_nor_program(page * SPI_NOR_PAGE_SIZE + done, bytes + done, n) != 0)
            break;
        done += n;
    }
    return done;
}

/* Erases `clus_count` clusters from `first_clus`; returns the clusters erased. */
static uint32_t nor_erase(void *io_ctx, uint32_t first_clus, uint32_t clus_count) {
    uint32_t i;
    (void)io_ctx;
    for (i = 0; i < clus_count; ++i)
        if (spi_nor_erase_sector((first_clus + i) * SPI_NOR_SECTOR_SIZE) != 0)
            break;
    return i;
}

/* CRC-16/CCITT (polynomial 0x1021), four bits at a time from a 16-entry
 * table: 32 bytes of ROM. Continues from `seed`. */
static uint32_t crc16(void *crc_ctx, uint16_t seed, const void *data, uint32_t count) {
    static const uint16_t nibble[16] = {0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
                                        0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF};
    const uint8_t *p = (const uint8_t *)data;
    uint16_t crc = seed;
    uint32_t i;
    (void)crc_ctx;
    for (i = 0; i < count; ++i) {
        crc = (uint16_t)((crc << 4) ^ nibble[((crc >> 12) ^ (p[i] >> 4)) & 0x0Fu]);
        crc = (uint16_t)((crc << 4) ^ nibble[((crc >> 12) ^ (p[i] & 0x0Fu)) & 0x0Fu]);
    }
    return crc;
}

/* Told of every changed entry; stamps it with a counter here (an RTC
 * reading would do as well). */
static void touch_entry(void *update_ctx, dace_entry *entry) {
    uint32_t *counter = (uint32_t *)update_ctx;
    *counter += 1u;
    entry->stamp = *counter;
}

/* ---- mount ------------------------------------------------------------------ */

typedef struct record {
    uint32_t seq;
    uint32_t millis;
    int16_t temperature; /* 0.01 degree steps */
    uint16_t check;      /* seq folded, to see a torn record */
} record;

static const char log_name[] = "sensor.log";


/* The state block, sized for this geometry at compile time; whole 8-byte
 * words keep it aligned as the mount requires. */
static uint64_t state_block[(DACE_STATE_SIZE(SPI_NOR_PAGE_SIZE, PAGES_PER_CLUSTER, SPI_NOR_CAPACITY / SPI_NOR_PAGE_SIZE,
                                             OPEN_FILES) + 7u) / 8u];
static uint32_t stamp_counter;

static dace_state *mount(void) {
    dace_config cfg;
    dace_state *fs;
    dace_entry e;
    uint32_t start = 0;
    int problem;
    memset(&cfg, 0, sizeof cfg);
    cfg.page_size = SPI_NOR_PAGE_SIZE;
    cfg.clus_pages = PAGES_PER_CLUSTER;
    cfg.total_pages = (uint16_t)(SPI_NOR_CAPACITY / SPI_NOR_PAGE_SIZE);
    cfg.max_files = OPEN_FILES;
    cfg.crc_seed = 0xFFFF;
    cfg.update_ctx = &stamp_counter;
    cfg.update_fn = touch_entry;
    cfg.crc_fn = crc16;
    cfg.read_fn = nor_read;
    cfg.write_fn = nor_write;
    cfg.erase_fn = nor_erase;
    /* DACE_STATE_SIZE sized the block; the configuration is checked once. */
    problem = dace_check_config(&cfg);
    if (problem != DACE_CONFIG_OK) {
        REPORT("configuration refused (reason %d)\n", problem);
        return NULL;
    }
    /* dace_mount never writes. A format is the logger's decision, taken
     * only when the part holds nothing of this file system (a new part);
     * any other refusal (a read that failed, damage, another geometry or
     * size) keeps the part as it is, for a retry or for analysis. */
    fs = dace_mount(&cfg, state_block);
    if (fs == NULL && dace_init_error(state_block) == DACE_E_NOT_A_VOLUME) {
        REPORT("no volume on the part: formatting\n");
        fs = dace_format(&cfg, state_block);
    }
    if (fs == NULL) {
        REPORT("mount refused (reason %d)\n", dace_init_error(state_block));
        return NULL;
    }
    /* Spread erases over the whole part, from a place that moves from boot
     * to boot: here the length of the log. */
    if (dace_stat(fs, log_name, &e) == 0)
        start = e.size / (uint32_t)sizeof(record);
    dace_level_wear(fs, (uint16_t)start);
    return fs;
}

/* ---- the log -------------------------------------------------------------- */


/* Appends `n` records after what the log holds, flushing every 25: a power
 * cut loses at most the records since the last flush. Between records (the
 * logger's idle time) it erases a cluster ahead, so that the writes find
 * erased clusters and seldom wait for an erase themselves. */
static int append_records(dace_state *fs, uint32_t first, uint32_t n) {
    dace_handle log = dace_find_file(fs, log_name) < 0 ? dace_create(fs, log_name) : dace_open(fs, log_name);
    uint32_t i;
    if (log == 0 || dace_seek(fs, log, 0, DACE_SEEK_END) != DACE_OK)
        return -1;
    for (i = 0; i < n; ++i) {
        record r;
        r.seq = first + i;
        r.millis = (first + i) * 1000u;
        r.temperature = (int16_t)(2000 + (int32_t)((first + i) % 50u) - 25);
        r.check = (uint16_t)(r.seq ^ 0xA5A5u);
        if (dace_write(fs, &r, sizeof r, log) != sizeof r)
            return -1;
        if ((i + 1u) % 25u == 0 && dace_flush(fs, log) != 0)
            return -1;
        if (dace_erase_ahead(fs, 1) < 0)
            return -1;
    }
    return dace_close(fs, log) == DACE_OK ? 0 : -1;
}

/* Reads the log from the start; returns the records found in order, or -1
 * when one is out of place. */
static long read_records(dace_state *fs) {
    dace_handle log = dace_open(fs, log_name);
    record r;
    long count = 0;
    if (log == 0)
        return -1;
    while (dace_read(fs, &r, sizeof r, log) == sizeof r) {
        if (r.seq != (uint32_t)count || r.check != (uint16_t)(r.seq ^ 0xA5A5u))
            return -1;
        ++count;
    }
    dace_close(fs, log);
    return count;
}

int main(void) {
    dace_state *fs;
    long found;
    uint32_t total = 0;
    if (spi_nor_init() != 0 || (fs = mount()) == NULL) {
        REPORT("mount failed\n");
        return 1;
    }
    if (append_records(fs, 0, RECORDS) != 0) {
        REPORT("append failed\n");
        return 1;
    }
    /* A reboot: the state is simply dropped and the volume mounted again. */
    if ((fs = mount()) == NULL || append_records(fs, RECORDS, RECORDS) != 0) {
        REPORT("remount or second append failed\n");
        return 1;
    }
    found = read_records(fs);
    dace_getfreespace(fs, &total);
    REPORT("%ld records of %u bytes read back in order; %lu of %lu bytes free\n", found, (unsigned)sizeof(record),
           (unsigned long)dace_getfreespace(fs, NULL), (unsigned long)total);
    return found == 2 * (long)RECORDS ? 0 : 1;
}
