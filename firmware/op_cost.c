/* Instructions per library operation on the board. Run under QEMU with
 * `-icount shift=N`: every instruction then takes 2^N ns of virtual time, and
 * the board's 25 MHz timer counts instructions exactly. The workload runs
 * twice on the same blank part: once with the callbacks called directly
 * (the operations' whole cost), once with each callback timed (their share).
 * The callbacks are what a driver of memory-mapped or DMA-fed flash would
 * cost: reads and erases a memcpy or memset, programs a byte loop that
 * clears bits, the CRC a byte at a time from a table (the strict part of
 * the check image counts every byte and would swamp the figures).
 * Prints raw timer ticks; bench/report.py turns them into instructions.
 * Then the CRC-16 callback's own cost, three ways to compute the same
 * CRC-16/CCITT: a byte at a time from a 256-entry table (these callbacks'),
 * four bits at a time from a 16-entry table (the C example's), and bit by
 * bit with no table (the bootloader image's).
 *
 *   calibration EMPTY_TICKS CALL_TICKS
 *   op KEY REPEATS TOTAL_TICKS CALLBACK_TICKS CALLBACK_CALLS
 *   crc KEY TABLE_BYTES KIB TICKS
 *
 * EMPTY_TICKS: the window of an operation with no call in it (what the
 * harness adds to each); CALL_TICKS: a timed callback window around a
 * callback that does nothing but return 0 (two instructions). Exits 1 when
 * the library returned anything unexpected or the data read back differs. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "board.h"
#include "crc_bitwise.h"
#include "dace/dace.h"
#include "nor_callbacks.h"
#include "ram_nor.h"

/* The NOR-like geometry of the host benchmarks: 256-byte pages, 4 KiB
 * clusters, 4 MiB. */
#define PAGE_SIZE 256u
#define SECTOR_SIZE 4096u
#define CAPACITY (4u << 20)
#define OPEN_FILES 4u
#define WRITES 256u
#define APPENDS 100u

static uint8_t part_mem[CAPACITY] __attribute__((section(".psram")));
static uint8_t part_bits[CAPACITY / 8u] __attribute__((section(".psram")));
static ram_nor part;
static uint64_t state_block[28672u / 8u];
static uint8_t data[4096];

void ram_nor_power_lost(ram_nor *nor) {
    (void)nor;
    board_puts("power lost with no cut armed\n");
    board_exit(1);
}

/* ---- the medium -------------------------------------------------------------- */

static uint32_t ram_read(void *io_ctx, uint32_t page, void *dst, uint32_t count) {
    const ram_nor *nor = (const ram_nor *)io_ctx;
    memcpy(dst, nor->mem + page * PAGE_SIZE, count);
    return count;
}

static uint32_t ram_write(void *io_ctx, uint32_t page, const void *src, uint32_t count) {
    const ram_nor *nor = (const ram_nor *)io_ctx;
    uint8_t *to = nor->mem + page * PAGE_SIZE;
    const uint8_t *from = (const uint8_t *)src;
    for (uint32_t i = 0; i < count; ++i)
        to[i] &= from[i];
    return count;
}

static uint32_t ram_erase(void *io_ctx, uint32_t first, uint32_t count) {
    const ram_nor *nor = (const ram_nor *)io_ctx;
    memset(nor->mem + first * SECTOR_SIZE, 0xFF, count * SECTOR_SIZE);
    return count;
}

/* ---- timed callbacks ---------------------------------------------------------- */

static dace_config direct; /* the callbacks themselves */
static uint64_t callback_ticks;
static uint32_t callback_calls;

static uint32_t timed_read(void *ctx, uint32_t page, void *dst, uint32_t count) {
    const uint32_t t0 = board_timer_now();
    const uint32_t r = direct.read_fn(ctx, page, dst, count);
    callback_ticks += t0 - board_timer_now();
    ++callback_calls;
    return r;
}

static uint32_t timed_write(void *ctx, uint32_t page, const void *src, uint32_t count) {
    const uint32_t t0 = board_timer_now();
    const uint32_t r = direct.write_fn(ctx, page, src, count);
    callback_ticks += t0 - board_timer_now();
    ++callback_calls;
    return r;
}

static uint32_t timed_erase(void *ctx, uint32_t first, uint32_t count) {
    const uint32_t t0 = board_timer_now();
    const uint32_t r = direct.erase_fn(ctx, first, count);
    callback_ticks += t0 - board_timer_now();
    ++callback_calls;
    return r;
}

static uint32_t timed_crc(void *ctx, uint16_t seed, const void *bytes, uint32_t count) {
    const uint32_t t0 = board_timer_now();
    const uint32_t r = direct.crc_fn(ctx, seed, bytes, count);
    callback_ticks += t0 - board_timer_now();
    ++callback_calls;
    return r;
}

static void timed_update(void *ctx, dace_entry *entry) {
    const uint32_t t0 = board_timer_now();
    direct.update_fn(ctx, entry);
    callback_ticks += t0 - board_timer_now();
    ++callback_calls;
}

static uint32_t returns_nothing(void *ctx, uint32_t page, void *dst, uint32_t count) {
    (void)ctx;
    (void)page;
    (void)dst;
    (void)count;
    return 0;
}

/* ---- the operations ------------------------------------------------------------- */

typedef struct op_figures {
    const char *key;
    uint32_t repeats;
    uint64_t ticks;
    uint64_t callback_ticks;
    uint32_t callback_calls;
} op_figures;

enum { MOUNT_EMPTY, WRITE_4K, READ_4K, APPEND_64, MOUNT_USED, REMOVE_BIG, REMOVE_SMALL, OPS };
static const char *const op_keys[OPS] = {"mount_empty", "write_4k",  "read_4k",     "append_64_flush",
                                         "mount_used",  "remove_1m", "remove_small"};
static op_figures figures[2][OPS];
static int failed;

static op_figures *current;
static uint64_t callbacks_before;
static uint32_t window_start, calls_before;

static void begin(void) {
    callbacks_before = callback_ticks;
    calls_before = callback_calls;
    window_start = board_timer_now();
}

static void end(void) {
    const uint32_t ticks = window_start - board_timer_now();
    current->ticks += ticks;
    current->callback_ticks += callback_ticks - callbacks_before;
    current->callback_calls += callback_calls - calls_before;
    ++current->repeats;
}

/* The C library's small printf has no 64-bit integers. */
static const char *decimal(uint64_t v) {
    static char text[24];
    char *p = text + sizeof text - 1;
    *p = '\0';
    do {
        *--p = (char)('0' + (int)(v % 10u));
        v /= 10u;
    } while (v != 0);
    return p;
}

static void expect(int ok, const char *what) {
    if (!ok && failed++ == 0)
        printf("FAIL: %s\n", what);
}

static void fill(uint32_t seed) {
    for (uint32_t i = 0; i < sizeof data; ++i)
        data[i] = (uint8_t)((seed * 2654435761u + i * 40503u) >> 13);
}

static void workload(const dace_config *cfg, op_figures *out) {
    for (int i = 0; i < OPS; ++i)
        out[i].key = op_keys[i];
    ram_nor_blank(&part);
    expect(dace_format(cfg, state_block) != NULL, "dace_format");

    dace_state *fs;
    current = &out[MOUNT_EMPTY];
    begin();
    fs = dace_init(cfg, state_block);
    end();
    expect(fs != NULL, "mount of the empty medium");

    dace_handle h = dace_create(fs, "data.bin");
    current = &out[WRITE_4K];
    for (uint32_t i = 0; i < WRITES; ++i) {
        fill(i);
        begin();
        const uint32_t n = dace_write(fs, data, sizeof data, h);
        end();
        expect(n == sizeof data, "4 KiB write");
    }
    expect(dace_close(fs, h) == DACE_OK, "close after the writes");

    h = dace_open(fs, "data.bin");
    current = &out[READ_4K];
    for (uint32_t i = 0; i < WRITES; ++i) {
        static uint8_t back[4096];
        begin();
        const uint32_t n = dace_read(fs, back, sizeof back, h);
        end();
        fill(i);
        expect(n == sizeof back && memcmp(back, data, sizeof data) == 0, "4 KiB read back");
    }
    expect(dace_close(fs, h) == DACE_OK, "close after the reads");

    h = dace_create(fs, "events.log");
    current = &out[APPEND_64];
    for (uint32_t i = 0; i < APPENDS; ++i) {
        fill(1000u + i);
        begin();
        const uint32_t n = dace_write(fs, data, 64, h);
        const int flushed = dace_flush(fs, h);
        end();
        expect(n == 64 && flushed == DACE_OK, "64-byte append and flush");
    }
    expect(dace_close(fs, h) == DACE_OK, "close of the log");

    current = &out[MOUNT_USED];
    begin();
    fs = dace_init(cfg, state_block);
    end();
    expect(fs != NULL, "mount of the medium in use");

    current = &out[REMOVE_BIG];
    begin();
    int r = dace_remove(fs, "data.bin");
    end();
    expect(r == DACE_OK, "remove of the 1 MiB file");
    current = &out[REMOVE_SMALL];
    begin();
    r = dace_remove(fs, "events.log");
    end();
    expect(r == DACE_OK, "remove of the log");
}

/* ---- CRC-16 per KiB ------------------------------------------------------------ */

/* As examples/spi_nor_logger.c computes it: two nibbles a byte. */
static uint32_t crc_nibbles(void *crc_ctx, uint16_t seed, const void *bytes, uint32_t count) {
    static const uint16_t nibble[16] = {0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
                                        0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF};
    const uint8_t *p = (const uint8_t *)bytes;
    uint16_t crc = seed;
    (void)crc_ctx;
    for (uint32_t i = 0; i < count; ++i) {
        crc = (uint16_t)((crc << 4) ^ nibble[((crc >> 12) ^ (p[i] >> 4)) & 0x0Fu]);
        crc = (uint16_t)((crc << 4) ^ nibble[((crc >> 12) ^ (p[i] & 0x0Fu)) & 0x0Fu]);
    }
    return crc;
}

/* Each way over the same KiBs, a KiB a call (as a 4 KiB cluster's CRC runs
 * in one call); all three must agree. */
static void crc_cost(void) {
    enum { KIB = 16 };
    const struct {
        const char *key;
        dace_crc_fn fn;
        unsigned table_bytes;
    } ways[] = {{"table256", direct.crc_fn, 512}, {"table16", crc_nibbles, 32}, {"bitwise", crc_bitwise, 0}};
    uint32_t first = 0;
    for (unsigned w = 0; w < sizeof ways / sizeof ways[0]; ++w) {
        uint32_t crc = 0xFFFF;
        const uint32_t t0 = board_timer_now();
        for (uint32_t k = 0; k < KIB; ++k)
            crc = ways[w].fn(NULL, (uint16_t)crc, data + (k % 4u) * 1024u, 1024);
        const uint32_t ticks = t0 - board_timer_now();
        if (w == 0)
            first = crc;
        expect(crc == first, "the three CRC-16 routines agree");
        printf("crc %s %u %u %lu\n", ways[w].key, ways[w].table_bytes, (unsigned)KIB, (unsigned long)ticks);
    }
}

int main(void) {
    ram_nor_attach(&part, part_mem, part_bits, CAPACITY, PAGE_SIZE, SECTOR_SIZE);
    nor_callbacks_config(&direct, &part, OPEN_FILES); /* the CRC and the stamp */
    direct.read_fn = ram_read;
    direct.write_fn = ram_write;
    direct.erase_fn = ram_erase;
    if (dace_getstatesize(&direct) == 0 || dace_getstatesize(&direct) > sizeof state_block) {
        printf("FAIL: state block of %lu bytes too small\n", (unsigned long)sizeof state_block);
        return 1;
    }
    dace_config timed = direct;
    timed.read_fn = timed_read;
    timed.write_fn = timed_write;
    timed.erase_fn = timed_erase;
    timed.crc_fn = timed_crc;
    timed.update_fn = timed_update;

    board_timer_start();
    op_figures empty = {"empty", 0, 0, 0, 0};
    current = &empty;
    begin();
    end();
    const dace_read_fn real_read = direct.read_fn;
    direct.read_fn = returns_nothing;
    timed_read(NULL, 0, NULL, 0);
    const uint64_t call = callback_ticks;
    direct.read_fn = real_read;
    callback_ticks = 0;
    callback_calls = 0;

    workload(&direct, figures[0]);
    workload(&timed, figures[1]);

    printf("calibration %s", decimal(empty.ticks));
    printf(" %s\n", decimal(call));
    for (int i = 0; i < OPS; ++i) {
        printf("op %s %lu %s", figures[0][i].key, (unsigned long)figures[0][i].repeats, decimal(figures[0][i].ticks));
        printf(" %s %lu\n", decimal(figures[1][i].callback_ticks), (unsigned long)figures[1][i].callback_calls);
    }
    fill(7);
    crc_cost();
    return failed == 0 ? 0 : 1;
}
