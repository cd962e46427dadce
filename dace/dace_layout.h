/*
 * libdace for tests and tools: the records as they lie on the medium, the
 * state block's fields, the cluster table codes and the building blocks
 * from which the calls of dace/dace.h are made. Tests use them to plant and
 * inspect media, the dace tool and the Python package to judge images.
 * Firmware needs none of it; dace/dace.h includes this header at its end,
 * so that code written against either keeps building.
 *
 * Valid C99 and C++.
 */
#ifndef DACE_DACE_LAYOUT_H
#define DACE_DACE_LAYOUT_H

#include "dace/dace.h"

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

/* On the medium every multi-byte field of these records is little-endian,
 * whatever the host. In memory the library keeps them in the host's order:
 * the current root copy (dace_state.root) and its entries, and every record
 * a call hands out (dace_stat, dace_statf, dace_readdir). Only the CRC and
 * fill calls of the storage format below take or give a copy in the
 * medium's order. */

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

/* The state block. Laid out by the mount inside the caller's memory; the
 * fixed part is followed by the root image, the file buffers, the cluster
 * table and the slots. */
struct dace_state {
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
    uint16_t error;         /* DACE_E_ reason of the last call (dace_error, dace_init_error) */
};

/* Bits of dace_state.options. */
#define DACE_OPT_VERIFY_READS 0x0001u
#define DACE_OPT_LEVEL_WEAR 0x0002u

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
 * another geometry, DACE_COPY_VOLUME_SIZE when the run last records another
 * cluster count than the configuration's (a copy that records none leaves
 * the count of the copies before it), else DACE_COPY_VALID; `out` gets the
 * walk either way. Whether that refuses the mount depends on the other
 * root clusters: only the root in force, by generation, decides. */
int dace_judge_copy(const dace_config *config, const void *clus_image, uint32_t page, uint32_t seq_before);
int dace_walk_root(const dace_config *config, const void *clus_image, dace_root_walk *out);

/* A root copy as the medium holds it (little-endian): its head CRC, its
 * files CRC (over its `count` entries), and a data cluster's CRC; and
 * dace_fill_root, which fills a header in that order, head CRC included. */
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
/* The flush step of dace_flush, dace_seek and dace_close for a slot. */
int dace_flush_impl(dace_state *state, dace_file *file);

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

#endif /* DACE_DACE_LAYOUT_H */
