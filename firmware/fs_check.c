/* The library on the board: a mixed workload on a RAM NOR part (appends
 * flushed in batches, a settings file replaced, truncation, removal, the
 * medium filled and emptied), with reboots that must find every byte the
 * commits made durable. Then the same workload again and again with the
 * power cut at points spread over it: each reboot must find the last
 * commit, or the one in flight whole. Every library call runs on a painted
 * stack, and the high-water mark of each is printed for the stack bound
 * check. Exit status 0 only when every check passed. */
#include <setjmp.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "board.h"
#include "dace/dace.h"
#include "nor_callbacks.h"
#include "ram_nor.h"
#include "stack_probe.h"

/* 1 KiB sectors of four 256-byte pages, 96 of them: small enough that the
 * root moves every few commits and the workload fills the medium. */
#define PAGE_SIZE 256u
#define SECTOR_SIZE 1024u
#define SECTORS 96u
#define CAPACITY (SECTOR_SIZE * SECTORS)
#define OPEN_FILES 3u
#define MAX_FILES 12u
#define PROGRAM_CUTS 192u
#define ERASE_CUTS 48u
#define CHUNK 512u

static uint8_t nor_mem[CAPACITY] __attribute__((section(".psram")));
static uint8_t nor_bits[CAPACITY / 8u] __attribute__((section(".psram")));
static ram_nor nor;
static dace_config cfg;
static uint64_t state_block[8192u / 8u];
static dace_state *fs;
static jmp_buf power_back;

/* ---- the model: what each file holds --------------------------------------- */

/* A file's content is a function of its seed and the offset, so a model of
 * the whole volume is a name, a seed and a size per file. */
typedef struct file_model {
    char name[19];
    uint32_t seed;
    uint32_t size;
} file_model;

typedef struct volume_model {
    file_model files[MAX_FILES];
    uint32_t count;
} volume_model;

static volume_model live;      /* as the calls so far left it, unflushed data included */
static volume_model durable;   /* as the last commit that reported success left it */
static volume_model in_flight; /* what the commit under way makes durable */
static int committing;
static uint32_t step; /* library calls made in this run */
static const char *run_label;
static uint32_t rng;

static uint8_t content_byte(uint32_t seed, uint32_t offset) {
    uint32_t x = seed * 0x9E3779B1u ^ (offset >> 2) * 0x85EBCA6Bu;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    return (uint8_t)(x >> (8u * (offset & 3u)));
}

static uint32_t next_random(void) {
    rng = rng * 1103515245u + 12345u;
    return rng >> 16;
}

static int find_model(const volume_model *m, const char *name) {
    for (uint32_t i = 0; i < m->count; ++i)
        if (strcmp(m->files[i].name, name) == 0)
            return (int)i;
    return -1;
}

static void drop_model(volume_model *m, const char *name) {
    const int i = find_model(m, name);
    if (i < 0)
        return;
    m->files[i] = m->files[m->count - 1u];
    --m->count;
}

static void fail(const char *format, ...) {
    va_list args;
    printf("FAIL (%s, call %lu): ", run_label, (unsigned long)step);
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    stack_probe_report();
    board_exit(1);
}

static void expect(int ok, const char *what, const char *name) {
    if (!ok)
        fail("%s %s", what, name);
}

/* ---- library calls and what each does to the model -------------------------- */

static uint8_t io_buf[CHUNK];

static dace_handle create_file(const char *name, uint32_t seed) {
    ++step;
    const dace_handle h = (dace_handle)PROBE2(dace_create, fs, name);
    expect(h != 0, "dace_create refused", name);
    expect(live.count < MAX_FILES, "model full at", name);
    file_model *f = &live.files[live.count++];
    strcpy(f->name, name);
    f->seed = seed;
    f->size = 0;
    return h;
}

static dace_handle open_file(const char *name) {
    ++step;
    const dace_handle h = (dace_handle)PROBE2(dace_open, fs, name);
    expect(h != 0, "dace_open refused", name);
    return h;
}

/* Appends up to `len` bytes of the file's content; returns the bytes taken. */
static uint32_t append_some(dace_handle h, const char *name, uint32_t len) {
    file_model *f = &live.files[find_model(&live, name)];
    for (uint32_t i = 0; i < len; ++i)
        io_buf[i] = content_byte(f->seed, f->size + i);
    ++step;
    const uint32_t taken = PROBE4(dace_write, fs, io_buf, len, h);
    expect(taken <= len, "dace_write took more than it was given on", name);
    f->size += taken;
    return taken;
}

static void append(dace_handle h, const char *name, uint32_t len) {
    while (len > 0) {
        const uint32_t n = len < CHUNK ? len : CHUNK;
        expect(append_some(h, name, n) == n, "dace_write came up short on", name);
        len -= n;
    }
}

/* A call that commits: on success the model as it stands is durable; a
 * power cut inside it may leave either. */
static void commit_begin(void) {
    in_flight = live;
    committing = 1;
    ++step;
}

static void commit_end(int ok, const char *what, const char *name) {
    committing = 0;
    expect(ok, what, name);
    durable = in_flight;
}

static void flush_file(dace_handle h, const char *name) {
    commit_begin();
    commit_end(PROBE2(dace_flush, fs, h) == DACE_OK, "dace_flush failed on", name);
}

static void close_file(dace_handle h, const char *name) {
    commit_begin();
    commit_end(PROBE2(dace_close, fs, h) == DACE_OK, "dace_close failed on", name);
}

static void seek_to_end(dace_handle h, const char *name) {
    commit_begin();
    commit_end(PROBE4(dace_seek, fs, h, 0, DACE_SEEK_END) == DACE_OK, "dace_seek to the end failed on", name);
}

static void remove_file(const char *name) {
    drop_model(&live, name);
    commit_begin();
    commit_end(PROBE2(dace_remove, fs, name) == DACE_OK, "dace_remove failed on", name);
}

static void rename_file(const char *from, const char *to) {
    strcpy(live.files[find_model(&live, from)].name, to);
    commit_begin();
    commit_end(PROBE3(dace_rename, fs, from, to) == DACE_OK, "dace_rename failed on", from);
}

static void rename_replace(const char *from, const char *to) {
    drop_model(&live, to);
    strcpy(live.files[find_model(&live, from)].name, to);
    commit_begin();
    commit_end(PROBE3(dace_rename_replace, fs, from, to) == DACE_OK, "dace_rename_replace failed on", from);
}

static void truncate_file(const char *name, uint32_t length) {
    live.files[find_model(&live, name)].size = length;
    commit_begin();
    commit_end(PROBE3(dace_truncate, fs, name, length) == DACE_OK, "dace_truncate failed on", name);
}

/* ---- reboots and what they must find ---------------------------------------- */

static char mismatch[96];

static int volume_is(const volume_model *m) {
    dace_dir dir;
    uint32_t listed = 0;
    PROBE2(dace_opendir, fs, &dir);
    for (;;) {
        ++step;
        const dace_entry *e = (const dace_entry *)PROBE2(dace_readdir, fs, &dir);
        if (e == NULL)
            break;
        char name[19];
        memcpy(name, e->name, 18);
        name[18] = '\0';
        if (find_model(m, name) < 0) {
            snprintf(mismatch, sizeof mismatch, "a file %s that no commit made", name);
            return 0;
        }
        ++listed;
    }
    if (listed != m->count) {
        snprintf(mismatch, sizeof mismatch, "%lu files listed, %lu expected", (unsigned long)listed,
                 (unsigned long)m->count);
        return 0;
    }
    for (uint32_t i = 0; i < m->count; ++i) {
        const file_model *f = &m->files[i];
        dace_entry e;
        memset(&e, 0, sizeof e);
        ++step;
        if (PROBE3(dace_stat, fs, f->name, &e) != DACE_OK || e.size != f->size) {
            snprintf(mismatch, sizeof mismatch, "%s: size %lu, %lu expected", f->name, (unsigned long)e.size,
                     (unsigned long)f->size);
            return 0;
        }
        const dace_handle h = open_file(f->name);
        for (uint32_t at = 0; at < f->size;) {
            const uint32_t want = f->size - at < CHUNK ? f->size - at : CHUNK;
            ++step;
            if (PROBE4(dace_read, fs, io_buf, want, h) != want) {
                snprintf(mismatch, sizeof mismatch, "%s: short read at %lu", f->name, (unsigned long)at);
                return 0;
            }
            for (uint32_t k = 0; k < want; ++k, ++at) {
                if (io_buf[k] != content_byte(f->seed, at)) {
                    snprintf(mismatch, sizeof mismatch, "%s: byte %lu differs", f->name, (unsigned long)at);
                    return 0;
                }
            }
        }
        ++step;
        if (PROBE4(dace_read, fs, io_buf, 1, h) != 0 || PROBE2(dace_feof, fs, h) != 1) {
            snprintf(mismatch, sizeof mismatch, "%s: reads on past its size", f->name);
            return 0;
        }
        ++step;
        if (PROBE2(dace_close, fs, h) != DACE_OK) {
            snprintf(mismatch, sizeof mismatch, "%s: dace_close failed after reading", f->name);
            return 0;
        }
    }
    return 1;
}

/* Drops the state as a reset would and mounts the same RAM again, with
 * every cluster read checked against its CRC. */
static void reboot(void) {
    ++step;
    fs = (dace_state *)PROBE2(dace_init, &cfg, state_block);
    expect(fs != NULL, "dace_init refused the medium", "after a reboot");
    PROBE2(dace_verify_reads, fs, 1);
    committing = 0;
    live = durable;
}

static void reboot_and_verify(void) {
    reboot();
    if (!volume_is(&durable))
        fail("after a reboot: %s", mismatch);
}

/* ---- the workload -------------------------------------------------------------- */

static const char log_name[] = "events.log";

static void tmp_name(char *out, uint32_t n) {
    snprintf(out, 19, "tmp.%lu", (unsigned long)n);
}

static void replace_settings(uint32_t round) {
    const dace_handle h = create_file("settings.new", 1000u + round);
    append(h, "settings.new", 64u + (round * 97u) % 600u);
    close_file(h, "settings.new");
    rename_replace("settings.new", "settings");
}

static void write_tmp(uint32_t n) {
    char name[19];
    tmp_name(name, n);
    const dace_handle h = create_file(name, 2000u + n);
    append(h, name, 1500u + next_random() % 1500u);
    close_file(h, name);
}

/* Writes one file until the medium takes no more; then another file takes
 * no more than the space the volume reports free, and removing both gives
 * every cluster back. */
static void fill_medium(void) {
    const uint32_t free_before = PROBE2(dace_getfreespace, fs, NULL);
    const dace_handle h = create_file("fill.bin", 3000u);
    uint32_t rounds = 0;
    while (append_some(h, "fill.bin", CHUNK) == CHUNK)
        expect(++rounds < CAPACITY / CHUNK, "the medium never filled", "");
    close_file(h, "fill.bin");
    uint32_t stored = 0;
    for (uint32_t i = 0; i < live.count; ++i)
        stored += live.files[i].size;
    /* Every cluster but the root, a spare for its move and a few partly
     * filled last clusters holds file data. */
    expect(stored >= (SECTORS - 8u) * (SECTOR_SIZE - 8u), "the medium took too little before it was full:", "");

    const uint32_t free_when_full = PROBE2(dace_getfreespace, fs, NULL);
    const dace_handle extra = create_file("overflow", 3001u);
    while (append_some(extra, "overflow", CHUNK) == CHUNK)
        expect(live.files[find_model(&live, "overflow")].size <= free_when_full, "a full medium took more than",
               "its free space");
    close_file(extra, "overflow");
    remove_file("overflow");
    remove_file("fill.bin");
    expect(PROBE2(dace_getfreespace, fs, NULL) == free_before, "removing the fill did not give back its space", "");
}

static void workload(void) {
    dace_handle log = create_file(log_name, 1);
    uint32_t tmp_made = 0, tmp_gone = 0;
    char name[19];
    for (uint32_t round = 0; round < 24u; ++round) {
        const uint32_t records = 3u + next_random() % 10u;
        for (uint32_t i = 0; i < records; ++i)
            append(log, log_name, 40);
        if (round % 2u == 0)
            flush_file(log, log_name); /* odd rounds leave theirs to the next commit */
        if (round % 3u == 0)
            replace_settings(round);
        if (round % 4u == 1)
            write_tmp(tmp_made++);
        if (round % 4u == 3 && tmp_gone < tmp_made) {
            tmp_name(name, tmp_gone++);
            if (round == 11u)
                rename_file(name, "archive");
            else
                remove_file(name);
        }
        if (round % 5u == 4)
            truncate_file(log_name, live.files[find_model(&live, log_name)].size / 2u);
        if (round % 8u == 7) {
            /* Records no commit has carried yet are lost here, as they may be. */
            reboot_and_verify();
            log = open_file(log_name);
            seek_to_end(log, log_name);
        }
    }
    close_file(log, log_name);

    fill_medium();
    reboot_and_verify();

    /* Clusters taken round the medium from here on. */
    PROBE2(dace_level_wear, fs, 7);
    log = open_file(log_name);
    seek_to_end(log, log_name);
    for (uint32_t batch = 0; batch < 6u; ++batch) {
        append(log, log_name, 40u * 8u);
        flush_file(log, log_name);
    }
    replace_settings(99);
    append(log, log_name, 40u * 5u); /* never flushed: gone after the reboot */
    reboot_and_verify();
}

/* After a cut and its check: the volume takes new data and keeps it (room
 * made first where the cut left the medium full). */
static void carry_on(void) {
    if (find_model(&live, "overflow") >= 0)
        remove_file("overflow");
    if (find_model(&live, "fill.bin") >= 0)
        remove_file("fill.bin");
    const dace_handle h = create_file("after.cut", 4000u);
    append(h, "after.cut", 3000);
    close_file(h, "after.cut");
    reboot_and_verify();
    remove_file("after.cut");
    reboot_and_verify();
}

/* ---- runs ------------------------------------------------------------------------ */

void ram_nor_power_lost(ram_nor *part) {
    (void)part;
    longjmp(power_back, 1);
}

typedef struct run_figures {
    uint32_t bytes_programmed;
    uint32_t erases;
} run_figures;

static run_figures run(uint32_t program_cut, uint32_t erase_cut, const char *label) {
    run_figures figures;
    run_label = label;
    step = 0;
    rng = 1;
    committing = 0;
    memset(&live, 0, sizeof live);
    durable = live;
    ram_nor_blank(&nor);
    ++step;
    fs = (dace_state *)PROBE2(dace_format, &cfg, state_block);
    expect(fs != NULL, "dace_format refused", "a blank part");
    nor.bytes_programmed = 0;
    nor.erases = 0;
    nor.program_budget = program_cut;
    nor.erase_budget = erase_cut;
    if (setjmp(power_back) == 0) {
        workload();
        expect(program_cut == RAM_NOR_NO_CUT && erase_cut == RAM_NOR_NO_CUT, "the power cut never came", "");
    } else {
        stack_probe_settle();
        nor.program_budget = RAM_NOR_NO_CUT;
        nor.erase_budget = RAM_NOR_NO_CUT;
        const int was_committing = committing;
        reboot();
        if (volume_is(&durable)) {
            printf("%s (call %lu): the last commit\n", label, (unsigned long)step);
        } else if (was_committing && volume_is(&in_flight)) {
            printf("%s (call %lu): the commit in flight\n", label, (unsigned long)step);
            durable = in_flight;
            live = durable;
        } else {
            fail("after the cut: %s", mismatch);
        }
        carry_on();
    }
    figures.bytes_programmed = nor.bytes_programmed;
    figures.erases = nor.erases;
    if (nor.double_programs != 0) {
        printf("byte 0x%lx programmed twice without an erase (%lu programs refused)\n",
               (unsigned long)nor.first_double_program, (unsigned long)nor.double_programs);
        fail("a byte was programmed twice");
    }
    return figures;
}

/* DACE_STATE_SIZE, a constant expression, must give what dace_getstatesize
 * gives on this core, whose pointers and alignment differ from the host's. */
static void state_size_matches_on_this_core(void) {
    static uint64_t sized[(DACE_STATE_SIZE(PAGE_SIZE, SECTOR_SIZE / PAGE_SIZE, CAPACITY / PAGE_SIZE, OPEN_FILES) + 7u) / 8u];
    static const uint16_t pages[] = {32, 64, 256, 2048};
    static const uint16_t clus[] = {1, 4, 16};
    static const uint16_t totals[] = {100, 1024, 65535};
    static const uint16_t files[] = {1, 3, 4};
    expect(sizeof sized >= dace_getstatesize(&cfg) && sizeof sized - dace_getstatesize(&cfg) < 8u,
           "a static block sized by DACE_STATE_SIZE", "");
    dace_config c = cfg;
    for (unsigned p = 0; p < 4u; ++p)
        for (unsigned k = 0; k < 3u; ++k)
            for (unsigned t = 0; t < 3u; ++t)
                for (unsigned f = 0; f < 3u; ++f) {
                    c.page_size = pages[p];
                    c.clus_pages = clus[k];
                    c.total_pages = totals[t];
                    c.max_files = files[f];
                    const uint32_t size = dace_getstatesize(&c);
                    expect(size == 0 || size == DACE_STATE_SIZE(pages[p], clus[k], totals[t], files[f]),
                           "DACE_STATE_SIZE equals dace_getstatesize", "");
                }
}

int main(void) {
    static char labels[PROGRAM_CUTS + ERASE_CUTS][48];
    ram_nor_attach(&nor, nor_mem, nor_bits, CAPACITY, PAGE_SIZE, SECTOR_SIZE);
    nor_callbacks_config(&cfg, &nor, OPEN_FILES);
    run_label = "set-up";
    expect(PROBE1(dace_getstatesize, &cfg) != 0 && PROBE1(dace_getstatesize, &cfg) <= sizeof state_block,
           "state block too small", "");
    state_size_matches_on_this_core();

    const run_figures whole = run(RAM_NOR_NO_CUT, RAM_NOR_NO_CUT, "uncut");
    printf("uncut workload: %lu bytes programmed, %lu sectors erased, %lu library calls\n",
           (unsigned long)whole.bytes_programmed, (unsigned long)whole.erases, (unsigned long)step);

    /* Cuts spread over the run, off page boundaries by a varying amount. */
    for (uint32_t k = 1; k <= PROGRAM_CUTS; ++k) {
        const uint32_t at = (uint32_t)((uint64_t)whole.bytes_programmed * k / (PROGRAM_CUTS + 1u)) + k * 37u % PAGE_SIZE;
        snprintf(labels[k - 1u], sizeof labels[0], "cut after %lu bytes", (unsigned long)at);
        run(at, RAM_NOR_NO_CUT, labels[k - 1u]);
    }
    for (uint32_t k = 1; k <= ERASE_CUTS; ++k) {
        const uint32_t at = whole.erases * k / (ERASE_CUTS + 1u);
        snprintf(labels[PROGRAM_CUTS + k - 1u], sizeof labels[0], "cut in erase %lu", (unsigned long)at + 1u);
        run(RAM_NOR_NO_CUT, at, labels[PROGRAM_CUTS + k - 1u]);
    }
    if (stack_probe_report() != 0)
        return 1;
    printf("firmware check passed: %u power cuts, each reboot found what the commits made durable\n",
           PROGRAM_CUTS + ERASE_CUTS);
    return 0;
}
