/*
 * libdace: a small power-cut-safe file system for raw flash.
 *
 * One flat directory of named files on a medium reached only through five
 * caller-supplied callbacks. The library owns no memory and keeps no global
 * state: the caller sizes a state block with dace_getstatesize(), allocates
 * it (8-byte aligned) and hands it to dace_init(), which mounts the medium or
 * formats it when no valid root is found.
 *
 * Durability: dace_flush, dace_close and dace_seek of any handle commit
 * everything written and created so far; dace_remove, both renames and
 * dace_truncate commit before they return. A power cut at any moment leaves
 * the medium as the last commit that succeeded left it, or with the commit
 * in flight whole. Data written since the last commit is lost to a cut.
 *
 * This header is valid C99 and C++.
 */
#ifndef DACE_DACE_H
#define DACE_DACE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "libdace supports little-endian hosts only: its records are the on-medium little-endian layouts"
#endif

#if defined(__GNUC__) || defined(__clang__)
#define DACE_ALIGN8 __attribute__((aligned(8)))
#else
#define DACE_ALIGN8
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Marks and codes ---------------------------------------------------- */

/* First word of a cluster. */
#define ROOT_MAGIC 0xDACE8007u
#define DATA_MAGIC 0xDACEDA7Au
#define BAD_MARK 0xAAAAAAAAu

/* Cluster table codes; values below clus_count are chain links. */
#define CLUS_END 0xFFFFu
#define CLUS_FREE 0xFFFEu
/* Released while the root copy on the medium may still name the cluster:
 * counted as free space, but not handed out before the next root commit
 * that reaches the medium. */
#define CLUS_HELD 0xFFFDu
#define CLUS_DIRTY 0xFFFCu
#define CLUS_BAD 0xFFFBu

/* The format version that root copies record beside the volume's cluster
 * count. Copies of writers that recorded neither hold 0 in both fields and
 * are read as before; readers that ignore both mount either kind. */
#define DACE_FORMAT_VERSION 1u

/* A handle is its slot index XOR this value; 0 is never a valid handle. */
#define HANDLE_MAGIC 0xDACE00FDu

/* ---- Records ------------------------------------------------------------ */

/* Directory entry: 32 bytes on the medium and in memory. */
typedef struct dace_entry {
    uint64_t stamp DACE_ALIGN8; /* owned by update_fn; never interpreted */
    uint32_t size;              /* file length in bytes */
    uint16_t clus;              /* newest cluster of the chain, CLUS_END if none */
    uint8_t name[18];           /* NUL-terminated unless 18 bytes long */
} dace_entry;

/* Header of every root copy: 32 bytes, followed by `count` entries. */
typedef struct dace_root {
    uint32_t magic;        /* ROOT_MAGIC */
    uint32_t seq;          /* generation of the root cluster */
    uint16_t page_size;
    uint16_t geometry_tag;
    uint16_t clus_pages;
    uint16_t pages;        /* pages this copy occupies */
    uint16_t clus_count;   /* clusters of the volume; 0 in copies of writers that did not record it */
    uint16_t version;      /* DACE_FORMAT_VERSION; 0 together with a clus_count of 0 */
    uint32_t reserved2;    /* 0 */
    uint16_t reserved3;    /* 0 */
    uint16_t count;        /* entries in this copy */
    uint16_t head_crc;     /* CRC of bytes 0..27 */
    uint16_t files_crc;    /* CRC of the count * 32 entry bytes */
} dace_root;

/* Header of a data cluster: 8 bytes, followed by clus_payload file bytes. */
typedef struct dace_clus_header {
    uint32_t magic; /* DATA_MAGIC */
    uint16_t link;  /* cluster before this one in file order, CLUS_END for the first */
    uint16_t crc;   /* CRC of bytes 0..5 continued over the payload */
} dace_clus_header;

typedef uint32_t dace_handle;

/* Callbacks. Each gets its context pointer first. Page numbers count from the
 * start of the medium; byte counts are whole pages, 8 (a data cluster's
 * header) or, for reads at mount, 32 (a root copy's header). A read or
 * write succeeds only when it returns the count asked for, an erase only when
 * it returns exactly 1. */
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
    uint16_t page_size;
    uint16_t geometry_tag; /* 0 or a power of two; must match at mount */
    uint16_t clus_pages;   /* a power of two */
    uint16_t total_pages;
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

/* Open-file slot; 20 bytes where pointers are 32 bits wide. */
typedef struct dace_file {
    struct dace_file *next; /* next slot on the open or free list */
    uint8_t *buf;           /* this slot's cluster image: header then payload */
    uint32_t pos;           /* byte position in the file */
    uint16_t entry;         /* index of the file's entry; 0xFFFF when closed */
    uint16_t clus_off;      /* offset of pos in the payload of `clus` */
    uint16_t clus;          /* cluster held in buf, CLUS_END when none */
    uint16_t dirty;         /* nonzero while buf holds unwritten data (2: its last write fell short) */
} dace_file;

/* The state block. Laid out by dace_init inside the caller's memory; the
 * fixed part is followed by the root image, the file buffers, the cluster
 * table and the slots. */
typedef struct dace_state {
    void *update_ctx;
    dace_update_fn update_fn;
    void *crc_ctx;
    dace_crc_fn crc_fn;
    void *io_ctx;
    dace_read_fn read_fn;
    dace_write_fn write_fn;
    dace_erase_fn erase_fn;
    uint8_t *root_buf;      /* memory image of the root cluster */
    dace_root *root;        /* current copy: root_buf + root_page * page_size */
    uint16_t *clus_table;
    dace_file *files;
    dace_file *open_list;
    dace_file *free_list;
    uint16_t crc_seed;
    uint16_t page_size;
    uint16_t geometry_tag;
    uint16_t clus_pages;
    uint16_t total_pages;
    uint16_t max_files;
    uint16_t clus_size;
    uint16_t clus_payload;
    uint16_t clus_count;
    uint16_t free_clus;     /* clusters that may still be handed out */
    uint16_t root_clus;     /* 0xFFFF while there is none */
    uint16_t root_page;     /* first page of the current copy in root_clus */
    uint16_t root_end;      /* page after the last copy written; staged when root_page >= root_end */
    uint16_t max_entries;
    /* Kept beside the fields above, inside the padding of the fixed part. */
    uint16_t free_deficit;  /* clusters missing below a free_clus of 0 */
    uint16_t held_count;    /* clusters in CLUS_HELD */
    uint16_t root_sealed;   /* the root cluster takes no further copy: the next stage moves it */
    uint16_t root_unsaved;  /* the current copy's last write fell short; it must be written again */
    uint16_t alloc_cursor;  /* wear levelling: the cluster the next search starts at */
    uint16_t options;       /* DACE_OPT_ bits set by dace_verify_reads and dace_level_wear */
} dace_state;

/* Bits of dace_state.options. */
#define DACE_OPT_VERIFY_READS 0x0001u
#define DACE_OPT_LEVEL_WEAR 0x0002u

/* Directory iterator, owned by the caller. */
typedef struct dace_dir {
    uint32_t index;   /* entries returned so far */
    dace_entry entry; /* copy of the entry returned last */
} dace_dir;

/* ---- Configuration and mount -------------------------------------------- */

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
 * (dace_check_config tells why). */
uint32_t dace_getstatesize(const dace_config *config);
/* Lays out `block` and mounts the medium. A medium that holds nothing of
 * this file system (blank, or other data) is formatted first. Returns
 * `block` as the state, or NULL when the medium does not mount; NULL
 * changes nothing on the medium. What NULL means and what to do:
 *   - the configuration is refused: dace_check_config tells why;
 *   - a cluster that must be read to know what is committed cannot be
 *     read: the medium may recover, so try again later;
 *   - the medium holds a whole root copy of another geometry, or of a
 *     volume of another cluster count than total_pages / clus_pages (every
 *     root copy records it; copies of older writers do not, and are read
 *     as before);
 *   - the medium holds this file system's marks but no root copy that this
 *     configuration accepts: another crc_fn or crc_seed, damage, or a
 *     dace_format that was cut short. A copy torn by a power cut is never
 *     a reason to refuse while an earlier commit is whole.
 * Check the configuration first. To give up what the medium holds and
 * start afresh, call dace_format (it also completes a format that a power
 * cut interrupted).
 * A first format that dace_init itself began on a blank medium and that a
 * power cut interrupted is completed by the next dace_init. */
dace_state *dace_init(const dace_config *config, void *block);
/* Deliberately makes the medium an empty volume, whatever it holds, and
 * mounts it: the state, or NULL when the configuration is refused or no
 * cluster takes the new root. A power cut during dace_format leaves the
 * volume that was there or the empty one; when dace_init then returns NULL,
 * calling dace_format again completes the format. Root clusters of another
 * geometry or volume size are erased first; other clusters of the old
 * volume are erased as they are reused. */
dace_state *dace_format(const dace_config *config, void *block);

/* Opt-in checks and policies, set after dace_init or dace_format; both are
 * off after every mount. */

/* With `on` nonzero, every data cluster loaded by dace_open, dace_seek and
 * dace_read must carry the data mark, the link the mount found and a
 * matching CRC, and a file's chain must hold as many clusters as its size
 * needs: a cluster that does not ends the read short there (dace_read
 * returns the bytes before it; dace_open returns 0; dace_seek returns -1),
 * exactly as a cluster that cannot be read. Costs one CRC pass per cluster
 * loaded. */
void dace_verify_reads(dace_state *state, int on);
/* Spreads erases over the whole medium: from now on every cluster taken
 * (file data and root moves alike) is searched for from a cursor that
 * starts at cluster `start` (taken modulo the cluster count) and moves past
 * each cluster taken, wrapping at the end, instead of first fit from
 * cluster 0. Recommended for firmware: pass a value that differs from boot
 * to boot (a boot counter or a random number). */
void dace_level_wear(dace_state *state, uint16_t start);

void dace_memcpy(void *dst, const void *src, uint32_t count);
void dace_memset(void *dst, uint8_t fill, uint32_t count);

/* ---- Storage format ----------------------------------------------------- */

/* Verdicts on a root copy (dace_judge_copy, dace_walk_root). */
#define DACE_COPY_VALID 0
#define DACE_COPY_NO_MARK 1          /* no root mark: where a log ends */
#define DACE_COPY_OTHER_GENERATION 2 /* left over from an earlier use of the cluster */
#define DACE_COPY_HEAD_CRC 3         /* the header's CRC does not match */
#define DACE_COPY_GEOMETRY 4         /* a whole copy of another geometry (only a copy that a
                                        writer can have written whole counts as one) */
#define DACE_COPY_SIZE 5             /* pages or count leave the cluster */
#define DACE_COPY_FILES_CRC 6        /* the entries' CRC does not match */
#define DACE_COPY_TORN 7             /* fill not zero, an entry of erased bytes, or a header of
                                        another geometry that no writer wrote whole */
#define DACE_COPY_BAD_ENTRY 8        /* an entry the library cannot have written */
#define DACE_COPY_FIXED_FIELDS 9     /* reserved bytes or the format version not as written */
#define DACE_COPY_VOLUME_SIZE 10     /* a valid copy of a volume of another cluster count */

/* The walk of one root cluster's log, as the mount does it. */
typedef struct dace_root_walk {
    uint32_t seq;       /* generation of the valid copies; 0 when none is */
    uint16_t copies;    /* valid copies, an unbroken run from page 0 */
    uint16_t last_page; /* page of the last valid copy: the one in force */
    uint16_t end_page;  /* page after it (0 when none is valid) */
    uint16_t stop;      /* DACE_COPY_ verdict on the copy at end_page; VALID when the run reached the cluster's end */
} dace_root_walk;

/* The rules that decide which root copy counts, shared by the mount and by
 * tools that read images. `config` gives the geometry, the volume's size
 * and the CRC; `clus_image` is a whole root cluster (page_size * clus_pages
 * bytes). dace_judge_copy: the verdict on the copy at `page`, given the
 * generation of the copies before it (0 for the copy at page 0).
 * dace_walk_root: walks the log from page 0 and returns what refuses the
 * mount: DACE_COPY_GEOMETRY when the copy at page 0 is a whole copy of
 * another geometry, DACE_COPY_VOLUME_SIZE when a copy of the run records
 * another cluster count than the configuration's, else DACE_COPY_VALID;
 * `out` gets the walk either way. */
int dace_judge_copy(const dace_config *config, const void *clus_image, uint32_t page, uint32_t seq_before);
int dace_walk_root(const dace_config *config, const void *clus_image, dace_root_walk *out);

uint16_t dace_root_head_crc(dace_state *state, const dace_root *copy);
uint16_t dace_root_files_crc(dace_state *state, const dace_root *copy);
uint16_t dace_data_crc(dace_state *state, const void *image);
void dace_fill_root(dace_state *state, dace_root *copy, uint16_t pages, uint16_t count, uint32_t seq);
int dace_commit_root(dace_state *state);
int dace_commit_clus(dace_state *state, uint16_t clus, void *image);
void dace_clear_unused_data(dace_state *state, dace_file *file);

/* ---- Cluster table ------------------------------------------------------ */

int dace_alloc_clus(dace_state *state);
int dace_next_clus(dace_state *state, const dace_file *file, uint16_t clus);
uint32_t dace_getfreespace(dace_state *state, uint32_t *total);

/* ---- Root copy-on-write ------------------------------------------------- */

/* Modes of dace_reopen_root. */
#define DACE_REOPEN_CHANGE 0 /* change fields of existing entries */
#define DACE_REOPEN_APPEND 1 /* append one entry */
#define DACE_REOPEN_REMOVE 2 /* leave out entry `drop` */

int dace_reopen_root(dace_state *state, int mode, uint16_t drop);
void dace_copy_entries(dace_state *state, dace_root *dest, uint16_t drop);

/* ---- Files -------------------------------------------------------------- */

/* Lookup by name: position of the first entry whose stored name equals
 * `name`, or -1. */
int dace_find_file(dace_state *state, const char *name);
/* Results of dace_check_filename. */
#define DACE_NAME_OK 0
#define DACE_NAME_EMPTY (-1)
#define DACE_NAME_TOO_LONG 1 /* more than 18 bytes */
#define DACE_NAME_SEPARATOR 2 /* a '/' or '\\' */

/* Name test: DACE_NAME_OK for 1 to 18 bytes without '/' or '\\'. */
int dace_check_filename(const char *name);

/* Results of dace_close. */
#define DACE_OK 0
#define DACE_CLOSE_BAD_HANDLE (-1) /* the handle's index is out of range */
#define DACE_CLOSE_NOT_OPEN 1      /* the handle is not open */
#define DACE_CLOSE_WRITE_FAILED 2  /* a write fell short; the handle stays open */

/* Creates an empty file and opens it; 0 when refused (name invalid or taken,
 * directory full, every slot open, or the root cannot be staged). Nothing
 * reaches the medium before the next commit. */
dace_handle dace_create(dace_state *state, const char *name);
/* Opens an existing file at position 0; 0 when refused. */
dace_handle dace_open(dace_state *state, const char *name);
/* Writes out the handle's data and the staged directory, then frees the
 * slot: 0 closed, -1 bad handle, 1 not open, 2 a write fell short (the
 * handle stays open; closing again retries). */
int dace_close(dace_state *state, dace_handle handle);

/* Appends at the end of the file (only there); returns the bytes taken. */
uint32_t dace_write(dace_state *state, const void *data, uint32_t count, dace_handle handle);
/* Makes everything written so far durable: every pending cluster, then the
 * directory. 0 on success, -1 on a bad handle or a write that fell short;
 * after -1 the change is on the medium whole or not at all, and the next
 * flush, close or seek writes it again. */
int dace_flush(dace_state *state, dace_handle handle);
int dace_flush_impl(dace_state *state, dace_file *file);

/* whence of dace_seek. */
#define DACE_SEEK_SET 0 /* from the start */
#define DACE_SEEK_CUR 1 /* from the position */
#define DACE_SEEK_END 2 /* `offset` bytes before the end */

/* Results of dace_seek. */
#define DACE_SEEK_FAILED (-1)       /* bad handle, or the target's cluster could not be read (the position has moved) */
#define DACE_SEEK_BAD_WHENCE 1
#define DACE_SEEK_BEYOND_END 2
#define DACE_SEEK_FLUSH_FAILED 3    /* writing out or committing failed; the position is unchanged */

/* Copies bytes from the position onward; returns the bytes copied. */
uint32_t dace_read(dace_state *state, void *dst, uint32_t count, dace_handle handle);
/* whence 0: from the start; 1: from the position (wrapping, so 0xFFFFFFFF
 * is one byte back); 2: `offset` bytes before the end. 0 positioned, 1 bad
 * whence, 2 beyond the end, 3 flushing failed, -1 bad handle or the target's
 * cluster could not be read. */
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

/* ---- Stat and listing ---------------------------------------------------- */

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

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks ------------------------------------------------------ */

#if defined(__cplusplus)
#define DACE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#define DACE_ALIGNOF(type) alignof(type)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define DACE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#define DACE_ALIGNOF(type) _Alignof(type)
#endif

#ifdef DACE_STATIC_ASSERT
DACE_STATIC_ASSERT(sizeof(dace_root) == 32, "dace_root is 32 bytes");
DACE_STATIC_ASSERT(offsetof(dace_root, clus_count) == 16 && offsetof(dace_root, version) == 18 &&
                       offsetof(dace_root, reserved2) == 20 && offsetof(dace_root, reserved3) == 24 &&
                       offsetof(dace_root, count) == 26 && offsetof(dace_root, head_crc) == 28 &&
                       offsetof(dace_root, files_crc) == 30,
                   "dace_root field offsets");
DACE_STATIC_ASSERT(sizeof(dace_entry) == 32, "dace_entry is 32 bytes");
DACE_STATIC_ASSERT(DACE_ALIGNOF(dace_entry) == 8, "dace_entry is 8-byte aligned, also where the ABI aligns 64-bit integers to 4");
DACE_STATIC_ASSERT(offsetof(dace_entry, size) == 8 && offsetof(dace_entry, clus) == 12 &&
                       offsetof(dace_entry, name) == 14,
                   "dace_entry field offsets");
DACE_STATIC_ASSERT(sizeof(dace_clus_header) == 8, "dace_clus_header is 8 bytes");
DACE_STATIC_ASSERT(sizeof(void *) != 4 || sizeof(dace_file) == 20, "dace_file is 20 bytes with 32-bit pointers");
DACE_STATIC_ASSERT(offsetof(dace_dir, entry) == 8, "dace_dir keeps its entry at offset 8");
DACE_STATIC_ASSERT(sizeof(void *) != 4 || sizeof(dace_state) <= 128, "fixed part of the state is 128 bytes with 32-bit pointers");
#endif

#endif /* DACE_DACE_H */
