/* A bootloader's use of the library, linked with its read-only build
 * (DACE_READ_ONLY): it mounts the part that the logger image left on the
 * host (LOGGER_MEDIUM_FILE), reads the log back through every reading call
 * and checks each record. The part must come out as it went in: no
 * program, no erase, no callback that writes. Exit status 0 only when every
 * check passed.
 *
 * Its callbacks are its own: a CRC computed bit by bit (the bootloader's
 * smallest), which must agree with the logger's table-driven one, and
 * write, erase and stamp callbacks that only count calls, since the
 * configuration needs all five and the read-only build calls none of them.
 * Their names are on the stack bound script's command line
 * (firmware/stack_bound.py): keep them in step. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "board.h"
#include "crc_bitwise.h"
#include "dace/dace.h"
#include "ram_nor.h"
#include "spi_nor/spi_nor.h"

#define OPEN_FILES 2u
#define RECORD_SIZE 12u
#define RECORDS 600u /* examples/spi_nor_logger.c: 300 records before its reboot, 300 after */
#define PAYLOAD (SPI_NOR_SECTOR_SIZE - 8u)

static uint8_t part_mem[SPI_NOR_CAPACITY] __attribute__((section(".psram")));
static uint8_t part_bits[SPI_NOR_CAPACITY / 8u] __attribute__((section(".psram")));
static ram_nor part;
#define STATE_SIZE                                                                                               \
    DACE_STATE_SIZE(SPI_NOR_PAGE_SIZE, SPI_NOR_SECTOR_SIZE / SPI_NOR_PAGE_SIZE, SPI_NOR_CAPACITY / SPI_NOR_PAGE_SIZE, \
                    OPEN_FILES)
static uint64_t state_block[(STATE_SIZE + 7u) / 8u];
static uint32_t writing_calls;
static int failures;

void ram_nor_power_lost(ram_nor *nor) {
    (void)nor;
    board_puts("power lost with no cut armed\n");
    board_exit(1);
}

/* ---- the callbacks ------------------------------------------------------------ */

static uint32_t ro_read(void *io_ctx, uint32_t page, void *dst, uint32_t count) {
    ram_nor *nor = (ram_nor *)io_ctx;
    return ram_nor_read(nor, page * nor->page_size, dst, count) == 0 ? count : 0u;
}

static uint32_t ro_write(void *io_ctx, uint32_t page, const void *src, uint32_t count) {
    (void)io_ctx;
    (void)page;
    (void)src;
    (void)count;
    ++writing_calls;
    return 0;
}

static uint32_t ro_erase(void *io_ctx, uint32_t first_clus, uint32_t clus_count) {
    (void)io_ctx;
    (void)first_clus;
    (void)clus_count;
    ++writing_calls;
    return 0;
}

static void ro_update(void *update_ctx, dace_entry *entry) {
    (void)update_ctx;
    (void)entry;
    ++writing_calls;
}

/* ---- checks ----------------------------------------------------------------------- */

static void expect(int ok, const char *what) {
    if (!ok && failures++ < 10)
        printf("FAIL: %s\n", what);
}

static dace_config config(void) {
    dace_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.page_size = SPI_NOR_PAGE_SIZE;
    cfg.clus_pages = SPI_NOR_SECTOR_SIZE / SPI_NOR_PAGE_SIZE;
    cfg.total_pages = SPI_NOR_CAPACITY / SPI_NOR_PAGE_SIZE;
    cfg.max_files = OPEN_FILES;
    cfg.crc_seed = 0xFFFF;
    cfg.io_ctx = &part;
    cfg.read_fn = ro_read;
    cfg.write_fn = ro_write;
    cfg.erase_fn = ro_erase;
    cfg.crc_fn = crc_bitwise;
    cfg.update_fn = ro_update;
    return cfg;
}

/* Whether `bytes` hold records first, first + 1, ... as the logger wrote them. */
static int records_hold(const uint8_t *bytes, uint32_t count, uint32_t first) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *r = bytes + i * RECORD_SIZE;
        uint32_t seq, millis;
        int16_t temperature;
        uint16_t check;
        memcpy(&seq, r, 4);
        memcpy(&millis, r + 4, 4);
        memcpy(&temperature, r + 8, 2);
        memcpy(&check, r + 10, 2);
        if (seq != first + i || millis != seq * 1000u || temperature != (int16_t)(2000 + (int32_t)(seq % 50u) - 25) ||
            check != (uint16_t)(seq ^ 0xA5A5u))
            return 0;
    }
    return 1;
}

/* The whole log in reads of an odd size that straddle records and clusters. */
static void read_whole_log(dace_state *fs, dace_handle log) {
    static uint8_t back[RECORDS * RECORD_SIZE];
    uint32_t got = 0;
    for (;;) {
        const uint32_t n = dace_read(fs, back + got, 1000u < sizeof back - got ? 1000u : (uint32_t)sizeof back - got, log);
        got += n;
        if (n == 0 || got == sizeof back)
            break;
    }
    expect(got == sizeof back, "the whole log read");
    expect(records_hold(back, RECORDS, 0), "every record in order, as the logger wrote it");
    expect(dace_read(fs, back, 1, log) == 0 && dace_error(fs) == DACE_E_NONE, "nothing past the end, and no failure");
    expect(dace_feof(fs, log) == 1 && dace_tell(fs, log) == RECORDS * RECORD_SIZE, "at the end");
}

/* Seeks from each end and from the position, each followed by a record. */
static void seek_around(dace_state *fs, dace_handle log) {
    uint8_t r[RECORD_SIZE];
    expect(dace_seek(fs, log, 450u * RECORD_SIZE, DACE_SEEK_SET) == DACE_OK, "seek to record 450");
    expect(dace_read(fs, r, sizeof r, log) == sizeof r && records_hold(r, 1, 450), "record 450");
    expect(dace_seek(fs, log, 0u - 2u * RECORD_SIZE, DACE_SEEK_CUR) == DACE_OK, "seek one record back");
    expect(dace_read(fs, r, sizeof r, log) == sizeof r && records_hold(r, 1, 449), "record 449");
    expect(dace_seek(fs, log, RECORD_SIZE, DACE_SEEK_END) == DACE_OK, "seek to the last record");
    expect(dace_read(fs, r, sizeof r, log) == sizeof r && records_hold(r, 1, RECORDS - 1), "the last record");
    expect(dace_seek(fs, log, 0, DACE_SEEK_SET) == DACE_OK && dace_tell(fs, log) == 0 && dace_feof(fs, log) == 0,
           "back to the start");
    expect(dace_seek(fs, log, 1, 7) == DACE_SEEK_BAD_WHENCE && dace_error(fs) == DACE_E_INVALID_ARGUMENT,
           "an unknown whence refused");
    expect(dace_seek(fs, log, RECORDS * RECORD_SIZE + 1u, DACE_SEEK_SET) == DACE_SEEK_BEYOND_END &&
               dace_error(fs) == DACE_E_BEYOND_END && dace_tell(fs, log) == 0,
           "a seek past the end refused, the position kept");
}

/* The directory and the entries by name and by handle agree. */
static void look_up(dace_state *fs, dace_handle log) {
    dace_dir dir;
    dace_entry by_name, by_handle;
    uint32_t entries = 0, total = 0;
    for (dace_entry *e = dace_readdir(fs, dace_opendir(fs, &dir)); e != NULL; e = dace_readdir(fs, &dir)) {
        ++entries;
        expect(strcmp((const char *)e->name, "sensor.log") == 0 && e->size == RECORDS * RECORD_SIZE,
               "the directory holds the log");
    }
    expect(entries == 1, "one file in the directory");
    expect(dace_find_file(fs, "sensor.log") == 0 && dace_stat(fs, "sensor.log", &by_name) == 0 &&
               dace_statf(fs, log, &by_handle) == DACE_OK && memcmp(&by_name, &by_handle, sizeof by_name) == 0 &&
               by_name.stamp != 0,
           "the entry by name and by handle");
    expect(dace_stat(fs, "missing.log", &by_name) == DACE_NO_FILE && dace_error(fs) == DACE_E_NO_FILE,
           "no such file");
    expect(dace_open(fs, "sensor.log") == 0 && dace_error(fs) == DACE_E_FILE_OPEN, "a second open refused");
    const uint32_t free_bytes = dace_getfreespace(fs, &total);
    expect(total == SPI_NOR_CAPACITY && free_bytes < total && free_bytes % SPI_NOR_SECTOR_SIZE == 0,
           "free space in whole clusters, below the part's");
}

/* A byte of the log's newest cluster flipped on the part: plain reads
 * return it, verified reads refuse the cluster. */
static void damaged_cluster(dace_state *fs) {
    dace_entry e;
    uint8_t byte;
    expect(dace_stat(fs, "sensor.log", &e) == 0 && e.clus != 0xFFFF, "the log's newest cluster");
    uint8_t *at = part_mem + (uint32_t)e.clus * SPI_NOR_SECTOR_SIZE + 8u;
    const uint8_t kept = *at;
    const uint8_t flipped = (uint8_t)~kept;
    *at = flipped;
    dace_handle log = dace_open(fs, "sensor.log");
    expect(log != 0 && dace_seek(fs, log, PAYLOAD, DACE_SEEK_SET) == DACE_OK &&
               dace_read(fs, &byte, 1, log) == 1 && byte == flipped,
           "a plain read returns the flipped byte");
    dace_verify_reads(fs, 1);
    expect(dace_seek(fs, log, PAYLOAD, DACE_SEEK_SET) == DACE_SEEK_FAILED && dace_error(fs) == DACE_E_DAMAGED,
           "a verified seek refuses the cluster");
    expect(dace_read(fs, &byte, 1, log) == 0 && dace_error(fs) == DACE_E_DAMAGED, "a verified read too");
    expect(dace_close(fs, log) == DACE_OK, "close");
    dace_verify_reads(fs, 0);
    *at = kept;
}

int main(void) {
    const dace_config cfg = config();
    ram_nor_attach(&part, part_mem, part_bits, SPI_NOR_CAPACITY, SPI_NOR_PAGE_SIZE, SPI_NOR_SECTOR_SIZE);
    expect(dace_check_config(&cfg) == DACE_CONFIG_OK && dace_getstatesize(&cfg) == STATE_SIZE,
           "configuration and state block");

    /* A blank part holds no volume, and a read-only mount never makes one. */
    ram_nor_blank(&part);
    expect(dace_mount(&cfg, state_block) == NULL && dace_init_error(state_block) == DACE_E_NOT_A_VOLUME,
           "a blank part is no volume");

    if (board_load(LOGGER_MEDIUM_FILE, part_mem, SPI_NOR_CAPACITY) != 0) {
        printf("FAIL: no medium in %s: the logger image leaves it there\n", LOGGER_MEDIUM_FILE);
        return 1;
    }
    dace_state *fs = dace_mount(&cfg, state_block);
    if (fs == NULL) {
        printf("FAIL: the logger's medium does not mount (reason %d)\n", dace_init_error(state_block));
        return 1;
    }
    dace_verify_reads(fs, 1);
    dace_handle log = dace_open(fs, "sensor.log");
    expect(log != 0, "open the log");
    look_up(fs, log);
    read_whole_log(fs, log);
    seek_around(fs, log);
    expect(dace_close(fs, log) == DACE_OK, "close writes nothing and succeeds");
    expect(dace_close(fs, log) == DACE_CLOSE_NOT_OPEN && dace_tell(fs, log) == 0xFFFFFFFFu &&
               dace_error(fs) == DACE_E_BAD_HANDLE,
           "a closed handle refused");
    dace_verify_reads(fs, 0);
    damaged_cluster(fs);

    /* Mounted again, by a verified read: the part is as the logger left it. */
    fs = dace_mount(&cfg, state_block);
    dace_verify_reads(fs, 1);
    log = fs == NULL ? 0 : dace_open(fs, "sensor.log");
    expect(log != 0, "mounted again");
    if (log != 0)
        read_whole_log(fs, log);

    expect(writing_calls == 0 && part.bytes_programmed == 0 && part.erases == 0,
           "no program, erase or stamp: the part as the logger left it");
    printf("read-only mount: %u records read back and checked; %lu bytes read, %lu programmed, %lu erases\n",
           (unsigned)RECORDS, (unsigned long)part.bytes_read, (unsigned long)part.bytes_programmed,
           (unsigned long)part.erases);
    return failures == 0 ? 0 : 1;
}
