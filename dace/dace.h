/*
 * libdace: a small power-cut-safe file system for raw flash.
 *
 * One flat directory of named files on a medium reached only through five
 * caller-supplied callbacks. The library owns no memory and keeps no global
 * state: the caller sizes a state block (DACE_STATE_SIZE, or
 * dace_getstatesize() at run time), allocates it 8-byte aligned and hands
 * it to dace_mount() or dace_init(); every other call takes that block.
 *
 * Durability: see README.md, "What survives a power cut" (rules 1-11 of
 * docs/storage-format.md). In short, a power cut leaves the last commit or
 * the one in flight, whole, and loses only what was written since the last
 * commit (dace_flush, dace_close, dace_seek, or a change by name).
 *
 * Threads and interrupts: calls on one state block must come one at a time
 * and never from inside a callback or an interrupt handler; separate state
 * blocks share nothing.
 *
 * This header is valid C99 and C++. It opens with what firmware uses; the
 * records on the medium, the state block's layout and the building blocks
 * that tests and tools use follow in dace/dace_layout.h, included at its end.
 */
#ifndef DACE_DACE_H
#define DACE_DACE_H

#include <stddef.h>
#include <stdint.h>

/* The library's version: the one place the build, pkg-config, the Python
 * package and `dace --version` take it from. */
#define DACE_VERSION_MAJOR 0
#define DACE_VERSION_MINOR 2
#define DACE_VERSION_PATCH 0
#define DACE_STRINGIFY_(x) #x
#define DACE_STRINGIFY(x) DACE_STRINGIFY_(x)
#define DACE_VERSION                                                                                   \
    DACE_STRINGIFY(DACE_VERSION_MAJOR) "." DACE_STRINGIFY(DACE_VERSION_MINOR) "." DACE_STRINGIFY( \
        DACE_VERSION_PATCH)

#if defined(__GNUC__) || defined(__clang__)
#define DACE_ALIGN8 __attribute__((aligned(8)))
#else
#define DACE_ALIGN8
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The configuration --------------------------------------------------- */

/* A directory entry, as dace_stat and dace_readdir return it: 32 bytes on
 * the medium and in memory; its fields in the host's byte order (on the
 * medium they are little-endian). */
typedef struct dace_entry {
    uint64_t stamp DACE_ALIGN8; /* owned by update_fn, never interpreted; the dace tool
                                   and the Python package store Unix time in nanoseconds */
    uint32_t size;              /* file length in bytes */
    uint16_t clus;              /* newest cluster of the file, 0xFFFF when it has none */
    uint8_t name[18];           /* NUL-terminated unless 18 bytes long */
} dace_entry;

/* Callbacks. Each gets its context pointer first. Page numbers count from the
 * start of the medium; byte counts are whole pages, 8 (a data cluster's
 * header) or, for reads at mount, 32 (a root copy's header) and 4 (the
 * first word of a page, where a medium looks blank). A read or
 * write succeeds only when it returns the count asked for, an erase only
 * when it returns exactly 1. What a driver for a real part must guarantee
 * is in the README ("Porting to a flash part"). */
typedef uint32_t (*dace_read_fn)(void *io_ctx, uint32_t page, void *dst, uint32_t count);
typedef uint32_t (*dace_write_fn)(void *io_ctx, uint32_t page, const void *src, uint32_t count);
typedef uint32_t (*dace_erase_fn)(void *io_ctx, uint32_t first_clus, uint32_t clus_count);
/* A running 16-bit CRC: its result may be fed back as the seed of a further
 * call over the following bytes. Only the low 16 bits are used. */
typedef uint32_t (*dace_crc_fn)(void *crc_ctx, uint16_t seed, const void *data, uint32_t count);
/* Told of every changed entry of the staged root copy, before it is
 * committed; may fill `stamp` and must leave the other fields alone. It runs
 * at the end of dace_write, in dace_rename and dace_rename_replace after the
 * new name is stored, in dace_truncate after the new size, and in
 * dace_create BEFORE the new entry's name is stored: the name field is all
 * zero during that call. */
typedef void (*dace_update_fn)(void *update_ctx, dace_entry *entry);

typedef struct dace_config {
    uint16_t page_size;    /* bytes per page: at least 32, a multiple of 8 */
    uint16_t geometry_tag; /* 0 or a power of two; must match at mount */
    uint16_t clus_pages;   /* pages per cluster (the erase unit): a power of two */
    uint16_t total_pages;  /* pages of the medium; a volume records its size */
    uint16_t max_files;    /* files open at once */
    uint16_t crc_seed;
    uint32_t reserved;
    void *update_ctx;
    dace_update_fn update_fn;
    void *crc_ctx;
    dace_crc_fn crc_fn;
    void *io_ctx;
    dace_read_fn read_fn;
    dace_write_fn write_fn;
    dace_erase_fn erase_fn;
} dace_config;

/* The state block, laid out by the mount inside the caller's memory. Its
 * fields are in dace/dace_layout.h; firmware needs only the pointer. */
typedef struct dace_state dace_state;

/* An open file: an opaque nonzero value; 0 is never a handle. */
typedef uint32_t dace_handle;

/* Directory iterator, owned by the caller. */
typedef struct dace_dir {
    uint32_t index;   /* entries returned so far */
    dace_entry entry; /* copy of the entry returned last */
} dace_dir;

/* ---- Why a call failed ---------------------------------------------------- */

/* dace_error(state) after any call on a mounted state: DACE_E_NONE when the
 * call did all it was asked, else why it failed, was refused or did less
 * (a write that took fewer bytes, a close that kept the handle open). The
 * reasons, with what they mean for the caller: */
#define DACE_E_NONE 0
#define DACE_E_BAD_HANDLE 1       /* not a handle, or one already closed */
#define DACE_E_NO_FILE 2          /* no file bears the name */
#define DACE_E_NAME_INVALID 3     /* empty, or holds '/' or '\\' */
#define DACE_E_NAME_TOO_LONG 4    /* more than 18 bytes */
#define DACE_E_NAME_TAKEN 5       /* dace_create: a file bears the name */
#define DACE_E_FILE_OPEN 6        /* the file is open (remove, replace, a second open) */
#define DACE_E_TOO_MANY_OPEN 7    /* every one of max_files handles is open */
#define DACE_E_NOT_AT_END 8       /* dace_write away from the end of the file */
#define DACE_E_MEDIUM_FULL 9      /* no cluster left for file data */
#define DACE_E_DIRECTORY_FULL 10  /* the directory holds as many files as a cluster takes */
#define DACE_E_READ_FAILED 11     /* read_fn fell short */
#define DACE_E_WRITE_FAILED 12    /* write_fn fell short: the change stays pending, and the
                                     next flush, close or commit writes it again */
#define DACE_E_ERASE_FAILED 13    /* erase_fn failed: that cluster is not used again */
#define DACE_E_DAMAGED 14         /* a cluster fails verified reads, or a chain is short */
#define DACE_E_NO_ROOT_CLUSTER 15 /* the directory had to move and no cluster was free:
                                     remove a file (a removal can always move it) */
#define DACE_E_INVALID_ARGUMENT 16 /* a null pointer, or an unknown whence */
#define DACE_E_BEYOND_END 17      /* a seek past the end, a truncate to more than the size */
#define DACE_E_FILE_TOO_LARGE 18  /* a file would pass 4 GiB - 1 bytes */
#define DACE_E_LAST_GENERATION 19 /* the directory cannot move: its generation count is used up
                                     (only a crafted medium gets there); dace_format starts
                                     it again */
/* Reasons a mount returns NULL (dace_init_error): */
#define DACE_E_CONFIG 32          /* dace_check_config names the rule, or the block is
                                     NULL or not 8-byte aligned */
#define DACE_E_UNREADABLE 33      /* a cluster that decides what is committed cannot be read:
                                     the medium may recover, try again */
#define DACE_E_NOT_A_VOLUME 34    /* dace_mount: nothing of this file system on the medium */
#define DACE_E_GEOMETRY 35        /* a whole root copy of another page size, cluster size
                                     or geometry_tag, or marks of a volume of smaller
                                     clusters between the cluster starts */
#define DACE_E_SIZE_MISMATCH 36   /* the root in force records another size than total_pages
                                     gives (or ties with one that does) */
/* DACE_E_DAMAGED from a mount: marks of this file system but no root copy
 * that counts (another crc_fn or crc_seed, or damage). From dace_format:
 * DACE_E_NO_ROOT_CLUSTER, DACE_E_WRITE_FAILED, DACE_E_UNREADABLE and
 * DACE_E_ERASE_FAILED, as dace_format says. */

/* The reason for the last call on `state`, DACE_E_NONE after one that did
 * all it was asked. The texts for the reasons belong to the host (the dace
 * tool and the Python package share one table of messages and errnos). */
int dace_error(const dace_state *state);
/* The reason why dace_mount, dace_init or dace_format returned NULL, read
 * from the block it was given (DACE_E_CONFIG for a NULL block). */
int dace_init_error(const void *block);

/* ---- Sizing and mounting --------------------------------------------------- */

/* Why a configuration is refused (dace_check_config); 0 when it is not. */
#define DACE_CONFIG_OK 0
#define DACE_CONFIG_NULL 1            /* no configuration given */
#define DACE_CONFIG_CALLBACK 2        /* one of the five callbacks is NULL */
#define DACE_CONFIG_MAX_FILES 3       /* max_files is 0 */
#define DACE_CONFIG_GEOMETRY_TAG 4    /* geometry_tag is neither 0 nor a power of two */
#define DACE_CONFIG_CLUS_PAGES 5      /* clus_pages is not a power of two (or 0) */
#define DACE_CONFIG_TOO_FEW_CLUSTERS 6  /* total_pages / clus_pages is 7 or less */
#define DACE_CONFIG_PAGE_SIZE 7       /* page_size below 32 or not a multiple of 8 */
#define DACE_CONFIG_CLUS_SIZE 8       /* page_size * clus_pages is 64 KiB or more */
#define DACE_CONFIG_TOO_MANY_CLUSTERS 9 /* more than 0xFFFB clusters */
#define DACE_CONFIG_STATE_SIZE 10     /* the state block would not fit in 32 bits */

/* DACE_CONFIG_OK, or the first rule the configuration breaks. */
int dace_check_config(const dace_config *config);
/* Size in bytes of the state block for this configuration; 0 if refused
 * (dace_check_config tells why). DACE_STATE_SIZE gives the same as a
 * constant expression, for a static block. */
uint32_t dace_getstatesize(const dace_config *config);

/* Which mount to call:
 *   - dace_mount never erases or programs anything: it mounts the volume
 *     that is there, or returns NULL with a reason. A bootloader, firmware
 *     that is not sure of its partition's offset, and a product that must
 *     never lose a volume to a format call it, and format (dace_format)
 *     only on an explicit decision, after dace_init_error said why.
 *   - dace_init mounts, and formats a medium that holds nothing of this
 *     file system (blank, or other data): convenient for a fresh part, but
 *     a wrong offset costs the data that lies there.
 * All three return `block` as the state, or NULL; NULL changes nothing on
 * the medium but what dace_format did, and dace_init_error(block) says why.
 * A mount that returns NULL refuses rather than risk committed data: a
 * cluster it must read cannot be read, the medium holds another geometry's
 * or another size's volume, or marks of this file system but no root copy
 * that counts. A copy torn by a power cut is never a reason to refuse while
 * an earlier commit is whole.
 *
 * The volume's size: every root copy records the volume's cluster count
 * (copies of older writers do not, and are read as before), and the mount
 * judges it on the root that counts, the highest generation: a root of
 * another size refuses the mount (DACE_E_SIZE_MISMATCH) when it outranks
 * or ties with every root of this size, and is stale otherwise. So a mount
 * or dace_init with a wrong total_pages can only add a root of its own,
 * and the right configuration still finds the volume that was there. No
 * call reads at or beyond total_pages.
 *
 * Another geometry: a whole root copy of another page size, cluster size
 * or tag refuses the mount (DACE_E_GEOMETRY). Before a medium is called
 * blank (DACE_E_NOT_A_VOLUME, which dace_init formats), every page start
 * is looked at too, so that a volume of smaller clusters with pages of
 * this size is found (a one-time cost at a fresh part's first boot: a
 * 4-byte read of every page that does not start a cluster). A volume of
 * smaller pages is not detected. */
dace_state *dace_mount(const dace_config *config, void *block);
/* dace_mount, but a medium without marks of this file system is formatted
 * first; so is one that holds only the first format's root copy cut short
 * by a power cut. */
dace_state *dace_init(const dace_config *config, void *block);
/* Deliberately makes the medium an empty volume, whatever it holds, and
 * mounts it. It writes the new root, with a generation above every root it
 * can read, into a cluster that the old volume does not own; until that
 * copy is on the medium the old volume stays whole and in force, and a
 * power cut leaves the old volume or the empty one. Then, when it met a
 * cluster it could not read (one may hold the old volume's newest root), a
 * root of another geometry or a generation count that must start again, it
 * erases every cluster it could not read and every other root cluster,
 * since any of them could outrank the new root. Other clusters of the old
 * volume are erased as they are reused. NULL, with dace_init_error:
 *   DACE_E_CONFIG            the configuration or the block is refused;
 *   DACE_E_NO_ROOT_CLUSTER   no cluster outside the old volume takes the
 *                            new root: the medium is as it was;
 *   DACE_E_WRITE_FAILED      the new root's write fell short twice, in two
 *                            clusters: the old volume is as it was and
 *                            mounts (or the empty one, where a write that
 *                            reported failure did land);
 *   DACE_E_UNREADABLE        a cluster it could not read leaves it no
 *                            cluster known to be free of the old volume:
 *                            the medium is as it was; or (as for
 *   DACE_E_ERASE_FAILED)     the new root is on the medium, but a cluster it
 *                            could not read (UNREADABLE) or another root
 *                            cluster (ERASE_FAILED) could not be erased.
 *                            The medium then holds the empty volume, unless
 *                            that cluster later reads back as a newer root
 *                            of the old volume, which is then in force (less
 *                            what lay in other clusters this call could not
 *                            read and erased). Mount it, or call dace_format
 *                            again once the part reads and erases that
 *                            cluster; a part that keeps failing is worn out.
 * After a power cut during dace_format, a mount that returns NULL is
 * answered by calling dace_format again, which completes the format. */
dace_state *dace_format(const dace_config *config, void *block);

/* Opt-in checks and policies, set after a mount; both are off after every
 * mount. */

/* With `on` nonzero, every data cluster loaded by dace_open, dace_seek and
 * dace_read must carry the data mark, the link the mount found and a
 * matching CRC, and a file's chain must hold as many clusters as its size
 * needs: a cluster that does not ends the read short there (dace_read
 * returns the bytes before it; dace_open returns 0; dace_seek returns -1),
 * exactly as a cluster that cannot be read, with DACE_E_DAMAGED. Costs one
 * CRC pass per cluster loaded. */
void dace_verify_reads(dace_state *state, int on);
/* Spreads erases over the whole medium: from now on every cluster taken
 * (file data and root moves alike) is searched for from a cursor that
 * starts at cluster `start` (taken modulo the cluster count) and moves past
 * each cluster taken, wrapping at the end, instead of first fit from
 * cluster 0. Recommended for firmware: pass a value that differs from boot
 * to boot (a boot counter or a random number). */
void dace_level_wear(dace_state *state, uint16_t start);
/* Erases up to `max` free clusters that wait for an erase, in the order in
 * which writes will take them, so that the writes that follow find erased
 * clusters and erase nothing themselves: call it in idle time. Never
 * touches a cluster that a file or the directory on the medium may still
 * need; a power cut during it loses nothing. Returns the clusters erased,
 * or -1 when an erase failed (DACE_E_ERASE_FAILED; that cluster is not used
 * again in this mount). */
int dace_erase_ahead(dace_state *state, uint16_t max);

/* ---- Files ------------------------------------------------------------- */

/* Results of the calls that return an int status. */
#define DACE_OK 0
#define DACE_FAILED (-1)           /* dace_error says why */

/* Results of dace_close. */
#define DACE_CLOSE_BAD_HANDLE (-1) /* the handle's index is out of range */
#define DACE_CLOSE_NOT_OPEN 1      /* the handle is not open */
#define DACE_CLOSE_WRITE_FAILED 2  /* a write fell short; the handle stays open */

/* Creates an empty file and opens it; 0 when refused (name invalid or taken,
 * directory full, every handle open, or the directory cannot move).
 * Nothing reaches the medium before the next commit. */
dace_handle dace_create(dace_state *state, const char *name);
/* Opens an existing file at position 0; 0 when refused. */
dace_handle dace_open(dace_state *state, const char *name);
/* Writes out the handle's data and the staged directory, then frees the
 * handle: 0 closed, -1 bad handle, 1 not open, 2 a write fell short (the
 * handle stays open; closing again retries). */
int dace_close(dace_state *state, dace_handle handle);

/* Appends at the end of the file (only there); returns the bytes taken,
 * fewer than `count` when the medium filled or a write fell short (see
 * dace_error). */
uint32_t dace_write(dace_state *state, const void *data, uint32_t count, dace_handle handle);
/* Makes everything written so far durable: every pending cluster, then the
 * directory. 0 on success, -1 on a bad handle or a write that fell short;
 * after -1 the change is on the medium whole or not at all, and the next
 * flush, close or seek writes it again. */
int dace_flush(dace_state *state, dace_handle handle);

/* whence of dace_seek. */
#define DACE_SEEK_SET 0 /* from the start */
#define DACE_SEEK_CUR 1 /* from the position (wrapping, so 0xFFFFFFFF is one byte back) */
#define DACE_SEEK_END 2 /* `offset` bytes before the end */

/* Results of dace_seek (0: positioned). */
#define DACE_SEEK_FAILED (-1)       /* bad handle, or the target's cluster could not be read (the position has moved) */
#define DACE_SEEK_BAD_WHENCE 1
#define DACE_SEEK_BEYOND_END 2
#define DACE_SEEK_FLUSH_FAILED 3    /* writing out or committing failed; the position is unchanged */

/* Copies bytes from the position onward; returns the bytes copied, fewer
 * than `count` only at the end of the file or on a failure (dace_error). */
uint32_t dace_read(dace_state *state, void *dst, uint32_t count, dace_handle handle);
/* Moves the position (a seek commits first, as a flush does). */
int dace_seek(dace_state *state, dace_handle handle, uint32_t offset, int whence);
/* The position, or 0xFFFFFFFF for a bad handle. */
uint32_t dace_tell(dace_state *state, dace_handle handle);
/* 1 at the end of the file, 0 before it, -1 for a bad handle. */
int dace_feof(dace_state *state, dace_handle handle);

/* ---- By name ------------------------------------------------------------ */

/* Results shared by dace_remove, dace_rename, dace_rename_replace and
 * dace_truncate:
 *   DACE_OK (0)   changed, and committed to the medium before the call
 *                 returned; */
#define DACE_NO_FILE 1      /* no entry has the (old) name */
#define DACE_REFUSED 2      /* remove: the file is open; rename: the new name
                               breaks the name rules; truncate: the length is
                               greater than the size */
#define DACE_NO_ROOM 3      /* the root had to move and no cluster could be
                               had: nothing changed */
#define DACE_WRITE_FAILED 4 /* a write fell short: the change stands in
                               memory and reaches the medium with the next
                               commit that succeeds (a flush or close of any
                               file, a further change by name, or
                               dace_commit_root) */

/* Deletes a file that is not open; its clusters become free space. */
int dace_remove(dace_state *state, const char *name);
/* Gives a file a new name. Another file may already bear it: lookups then
 * find the earlier entry. Open handles keep working. */
int dace_rename(dace_state *state, const char *old_name, const char *new_name);
/* Gives a file a new name and, in the same commit, removes the file that
 * bore it, if any: a power cut leaves the old names or the new one, never
 * neither. 2 also when the file bearing the new name is open. */
int dace_rename_replace(dace_state *state, const char *old_name, const char *new_name);
/* Shortens a file to `length` bytes (never lengthens it). A handle open on
 * the file keeps its unwritten bytes below `length`, drops those past it,
 * and its position moves back to `length` if it lay beyond. */
int dace_truncate(dace_state *state, const char *name, uint32_t length);

/* ---- Queries ------------------------------------------------------------ */

/* Copies the entry of the file named `name`, staged changes included:
 * 0 found, 1 no such file, -1 a null argument (nothing written). */
int dace_stat(dace_state *state, const char *name, dace_entry *out);
/* Copies the entry of an open file: 0, or -1 for a bad or closed handle or
 * a null `out`. */
int dace_statf(dace_state *state, dace_handle handle, dace_entry *out);
/* Starts a walk of the directory in creation order; returns `dir`. */
dace_dir *dace_opendir(dace_state *state, dace_dir *dir);
/* The next entry, copied into dir->entry, or NULL at the end. The walk sees
 * changes at once: removing an entry already returned skips the next one. */
dace_entry *dace_readdir(dace_state *state, dace_dir *dir);
/* Free space in bytes: the clusters that writes may still take, each
 * counted whole (page_size * clus_pages bytes, of which 8 are its header,
 * so a cluster holds that less 8 of file data). The four clusters kept for
 * moving the directory are not counted. When `total` is not NULL it gets
 * the bytes of all clusters of the medium. */
uint32_t dace_getfreespace(dace_state *state, uint32_t *total);

/* Results of dace_check_filename. */
#define DACE_NAME_OK 0
#define DACE_NAME_EMPTY (-1)
#define DACE_NAME_TOO_LONG 1 /* more than 18 bytes */
#define DACE_NAME_SEPARATOR 2 /* a '/' or '\\' */

/* Name test: DACE_NAME_OK for 1 to 18 bytes without '/' or '\\'. */
int dace_check_filename(const char *name);

void dace_memcpy(void *dst, const void *src, uint32_t count);
void dace_memset(void *dst, uint8_t fill, uint32_t count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#include "dace/dace_layout.h"

/* Bytes of the state block for a configuration, as a constant expression
 * (dace_getstatesize gives the same at run time, and 0 for a configuration
 * it refuses): the fixed fields rounded up to 64 bytes, a cluster image for
 * the directory and one per open file, the cluster table (2 bytes a
 * cluster, rounded up to 64) and the open-file slots. For example, 256-byte
 * pages, 8 a cluster, 1024 pages and 4 files take 10,704 bytes where
 * pointers are 32 bits wide:
 *     static uint64_t block[(DACE_STATE_SIZE(256, 8, 1024, 4) + 7) / 8];
 * (rounded up to whole 8-byte words: with 32-bit pointers and an odd
 * max_files the size is only a multiple of 4). */
#define DACE_STATE_SIZE(page_size, clus_pages, total_pages, max_files)                                          \
    ((((uint32_t)sizeof(struct dace_state) + 63u) / 64u * 64u) +                                                 \
     (uint32_t)(page_size) * (uint32_t)(clus_pages) * ((uint32_t)(max_files) + 1u) +                             \
     ((2u * ((uint32_t)(total_pages) / (uint32_t)(clus_pages)) + 63u) / 64u * 64u) +                             \
     (uint32_t)(max_files) * (uint32_t)sizeof(struct dace_file))

#endif /* DACE_DACE_H */
