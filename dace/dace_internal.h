// What the library's source units share. Not installed.
//
// The units, each calling only those above it:
//   medium.cpp     the medium (the only calls of read_fn, write_fn and
//                  erase_fn) and the allocator: the cluster table's
//                  allocation and release rules, erases ahead, chain walks
//   root_log.cpp   which root copy counts: judging a copy, walking a root
//                  cluster's log, the header a writer gives a copy, the CRC
//                  framing
//   commit.cpp     the commit path: staging a root copy, a data cluster's
//                  write-out, every open file's pending cluster, the root
//                  copy's write
//   mount.cpp      the state block's layout, the mount (scan, ranking, the
//                  root's choice and load, the chains' claim) and the format
//   files.cpp      handles, writing, reading and positioning
//   directory.cpp  remove, rename and truncate by name; stat and the walk
//
// Glossary
//
// Cluster table codes (one per cluster, rebuilt at every mount):
//   a cluster number  in use by a file: the cluster before this one in file
//                     order (chains run newest first)
//   CLUS_END          in use: the root cluster, a file's first cluster, or
//                     one just taken
//   CLUS_FREE         free; its first word looks erased but the rest is
//                     unknown, so it is read whole before its first use in a
//                     mount and erased then unless every byte is 0xFF
//   CLUS_HELD         released and counted free, but the root copy on the
//                     medium may still name it: it becomes CLUS_DIRTY only
//                     when a root copy without it reaches the medium
//   CLUS_DIRTY        free; erased when taken
//   CLUS_BAD          never taken again in this mount
//
// Codes that exist only while a mount runs (mount.cpp):
//   clus_count + L    a cluster whose header looks like data and links to L
//                     (L below clus_count), not yet claimed by a chain: the
//                     first pass keeps the link it read, so that no header
//                     is read twice; 2 * clus_count for a link CLUS_END,
//                     2 * clus_count + 1 for a link out of the medium. Only
//                     where 2 * clus_count + 1 stays below CLUS_BAD
//                     (links_kept); else such a cluster is CLUS_DIRTY and
//                     its header is read again when a chain reaches it.
//   CLUS_HELD         a cluster that starts with the root mark, so that a
//                     ranking that must look further reads root headers
//                     alone; every one not chosen becomes CLUS_DIRTY.
//   kLinkBeyond       (a 32-bit value, not a table code) a link that is
//                     neither a cluster of the medium nor the end of a chain.
//
// Buffers borrowed from the state block, and for how long:
//   root_buf          during a mount: each cluster's header, then each
//                     root cluster read whole; the image of the chosen one is
//                     the root loaded (rule 7)
//   free_list->buf    during a mount (every slot is free): header reads of a
//                     chain where links were not kept, and the first
//                     format's intended copy when a remnant is judged
//   an offered buffer the slot's own, when a write takes its next cluster:
//                     the allocator reads a free cluster back into it
//   root image pages  the allocator's read-back scratch when no slot is
//                     free: the pages before the current copy (older copies,
//                     never read again) or after it (unused until the next
//                     stage), whichever is larger (find_scratch)
//
// The root copy in memory (`root`, inside `root_buf` at `root_page`):
//   committed  it is on the medium: root_page < root_end
//   staged     a changed copy still to be written at root_page:
//              root_page >= root_end; every change before the next commit
//              changes this same copy
//   sealed     root_sealed: the root cluster takes no further copy (a write
//              into it fell short, or pages after the copy are not blank);
//              the next copy goes to a fresh root cluster
//   unsaved    root_unsaved: the current copy's last write fell short; it
//              counts as written, and the next commit writes it again
//
// An open file's buffer (`dace_file.dirty`, DirtyState below): clean (it
// holds what cluster `clus` holds on the medium, or the file has no
// cluster), pending (bytes the medium does not hold yet), or its write fell
// short (cluster `clus` is spoilt: the retry moves to a fresh cluster). Its
// `clus_off` is kStaleOffset when the buffer does not hold cluster `clus`
// (a load failed, or its cluster was given back by a truncation): the next
// read or write loads the cluster at the position first.
#ifndef DACE_DACE_INTERNAL_H
#define DACE_DACE_INTERNAL_H

#include "dace/dace.h"


#ifdef DACE_DEBUG_ASSERTS
#define DACE_ASSERT(cond) ((cond) ? (void)0 : __builtin_trap())
#else
#define DACE_ASSERT(cond) ((void)0)
#endif

namespace dace {

// A read-only build (DACE_READ_ONLY, for a bootloader) compiles only what
// reads: mount, lookups, reading and positioning. Nothing in it programs or
// erases the medium, and what would write is not there to be called.
#ifdef DACE_READ_ONLY
constexpr bool kReadOnly = true;
#else
constexpr bool kReadOnly = false;
#endif

constexpr uint16_t kNoEntry = 0xFFFF;
constexpr uint16_t kNoRoot = 0xFFFF;
constexpr uint32_t kRootHeaderSize = 32;
constexpr uint32_t kEntrySize = 32;
constexpr uint32_t kClusHeaderSize = 8;
constexpr uint32_t kHeadCrcBytes = 28;
constexpr uint32_t kNameField = 18;
// A volume has more clusters than this.
constexpr uint32_t kFewestClusters = 7;
// The last root generation: a root there cannot move, and a format above
// it starts the count again at 1.
constexpr uint32_t kLastGeneration = 0xFFFFFFFFu;
// Clusters the allocator never hands to files: root moves may take them, so
// that a full medium can still commit the removal that makes room.
constexpr uint32_t kReservedClusters = 4;

// A call's reason (dace_error): every exported call on a mounted state
// starts with begin(); the place where a failure arises records it with
// fail(), and the failure propagates to the caller unchanged.
inline void begin(dace_state *s) { s->error = DACE_E_NONE; }
template <class T> inline T fail(dace_state *s, uint16_t reason, T result) {
    s->error = reason;
    return result;
}

// Values of dace_file.dirty.
enum DirtyState : uint16_t { kClean = 0, kPending = 1, kWriteFellShort = 2 };
// dace_file.clus_off of a buffer that does not hold its cluster (above).
constexpr uint16_t kStaleOffset = 0xFFFF;

// ---- the medium ---------------------------------------------------------------
// The only door to read_fn, write_fn and erase_fn. Each takes a cluster and
// a page within it, and succeeds only when every byte was moved (an erase
// only when it reports 1).
bool read_pages(dace_state *s, uint32_t clus, uint32_t first_page, void *dst, uint32_t bytes);
// The first `bytes` of a cluster (a data header, or a root copy's header),
// tried twice.
bool read_header(dace_state *s, uint32_t clus, uint8_t *dst, uint32_t bytes);
bool read_cluster(dace_state *s, uint32_t clus, uint8_t *dst);
#ifndef DACE_READ_ONLY
bool program_pages(dace_state *s, uint32_t clus, uint32_t first_page, const void *src, uint32_t bytes);
bool erase_cluster(dace_state *s, uint32_t clus);
#endif

// The medium is little-endian, whatever the host. A root copy in root_buf
// is in the host's order while it is the current one (loaded, staged,
// changed) and in the medium's order while it is judged or written; le()
// turns one field between the two, swap_copy a whole copy. On a
// little-endian host both are nothing.
constexpr bool kBigEndianHost = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
inline uint16_t le(uint16_t v) {
    if constexpr (kBigEndianHost)
        return __builtin_bswap16(v);
    return v;
}
inline uint32_t le(uint32_t v) {
    if constexpr (kBigEndianHost)
        return __builtin_bswap32(v);
    return v;
}
inline uint64_t le(uint64_t v) {
    if constexpr (kBigEndianHost)
        return __builtin_bswap64(v);
    return v;
}

// Little-endian loads and stores for fields read from raw buffers.
inline uint32_t load_u32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint16_t load_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void store_u32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void store_u16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Copies between the caller's memory and a buffer of the state block, which
// never overlap. dace_memcpy must copy forward byte by byte whatever the
// overlap; the compiler's memcpy moves whole words.
inline void copy_bytes(void *dst, const void *src, uint32_t count) { __builtin_memcpy(dst, src, count); }

inline dace_entry *entries_of(dace_root *copy) {
    return reinterpret_cast<dace_entry *>(reinterpret_cast<uint8_t *>(copy) + kRootHeaderSize);
}
inline const dace_entry *entries_of(const dace_root *copy) {
    return reinterpret_cast<const dace_entry *>(reinterpret_cast<const uint8_t *>(copy) + kRootHeaderSize);
}

// Turns a root copy's header and its first `count` entries between the
// medium's byte order and the host's (the same swap either way; names are
// bytes and stay as they are).
inline void swap_copy(dace_root *copy, uint32_t count) {
    if constexpr (!kBigEndianHost)
        return;
    copy->magic = le(copy->magic);
    copy->seq = le(copy->seq);
    copy->page_size = le(copy->page_size);
    copy->geometry_tag = le(copy->geometry_tag);
    copy->clus_pages = le(copy->clus_pages);
    copy->pages = le(copy->pages);
    copy->clus_count = le(copy->clus_count);
    copy->version = le(copy->version);
    copy->reserved2 = le(copy->reserved2);
    copy->reserved3 = le(copy->reserved3);
    copy->count = le(copy->count);
    copy->head_crc = le(copy->head_crc);
    copy->files_crc = le(copy->files_crc);
    dace_entry *e = entries_of(copy);
    for (uint32_t i = 0; i < count; ++i) {
        e[i].stamp = le(e[i].stamp);
        e[i].size = le(e[i].size);
        e[i].clus = le(e[i].clus);
    }
}

// Entries a copy of `pages` pages takes before it grows by a page. While a
// copy is smaller than the cluster it keeps an entry's worth of zero fill
// behind its entries: a copy torn anywhere in its entries then shows erased
// or half-programmed fill, which the mount's wholeness check catches even
// when both 16-bit CRCs happen to match.
inline uint32_t entry_capacity(const dace_state *s, uint32_t pages) {
    const uint32_t room = pages * s->page_size - kRootHeaderSize;
    const uint32_t fill = pages < s->clus_pages ? kEntrySize : 0u;
    return room >= fill ? (room - fill) / kEntrySize : 0u;
}

inline bool root_is_staged(const dace_state *s) { return s->root_page >= s->root_end; }

// Page `page` of an image of one cluster.
inline uint8_t *page_at(const dace_state *s, uint8_t *image, uint32_t page) {
    return image + static_cast<size_t>(page) * s->page_size;
}

// The entry of an open slot's file in the current root copy.
inline dace_entry &entry_of(dace_state *s, const dace_file *f) {
    DACE_ASSERT(f->entry < s->root->count);
    return entries_of(s->root)[f->entry];
}

// The slot a handle names, or null when its index is out of range.
inline dace_file *slot_of(dace_state *s, dace_handle handle) {
    uint32_t index = handle ^ HANDLE_MAGIC;
    return index < s->max_files ? &s->files[index] : nullptr;
}
// The slot a handle names when that slot is open, else null.
inline dace_file *open_slot_of(dace_state *s, dace_handle handle) {
    dace_file *f = slot_of(s, handle);
    return (f != nullptr && f->entry != kNoEntry) ? f : nullptr;
}

// Whether a handle is open on the file at `entry`.
inline bool entry_is_open(const dace_state *s, uint16_t entry) {
    for (const dace_file *f = s->open_list; f != nullptr; f = f->next)
        if (f->entry == entry)
            return true;
    return false;
}

// Whether all `count` bytes equal `value`; blank: all 0xFF or all 0x00.
bool bytes_are(const uint8_t *p, uint32_t count, uint8_t value);
bool bytes_are_blank(const uint8_t *p, uint32_t count);

// free_clus never wraps: what it cannot give is kept as a deficit that later
// releases pay back first.
void lower_free_count(dace_state *s);

// ---- which root copy counts (root_log.cpp) ------------------------------------
// The rules read a mounted state's geometry, size and CRC; tools that judge
// images without mounting them pass a state filled from a configuration.
// The verdict (DACE_COPY_*) on the copy at `page` of a root cluster image;
// with `header_only`, on its 32-byte header alone.
int judge_copy(const dace_state &r, const uint8_t *image, uint32_t page, uint32_t seq_before, bool header_only);
// Walks a root cluster's log from page 0 (dace_walk_root).
int walk_root(const dace_state &r, const uint8_t *image, dace_root_walk *out);
// The CRC framing: a root copy's head CRC (bytes 0-27) and files CRC (its
// entries), a data cluster's CRC (bytes 0-5, continued over the payload).
uint16_t head_crc(const dace_state *s, const dace_root *copy);
uint16_t files_crc(const dace_state *s, const dace_root *copy);
uint16_t data_crc(const dace_state *s, const uint8_t *image);

// The cluster after `clus` in the file of slot `f`, found by walking back
// from its newest; -1 when there is none.
int next_in_chain(const dace_state *s, const dace_file *f, uint16_t clus);

// The rest of this block is the write side, absent from a read-only build.
#ifndef DACE_READ_ONLY
void raise_free_count(dace_state *s);
// Marks cluster `c` held until the next root commit (rule 3).
void hold_cluster(dace_state *s, uint16_t c);
// The header fields a writer sets from the geometry: mark, generation,
// geometry, extent, the volume's size and the format version.
void fill_header(const dace_state *s, dace_root *copy, uint16_t pages, uint32_t seq);

// The allocation rule: first fit from cluster 0 (or next fit from the
// cursor, with wear levelling on), erasing a CLUS_DIRTY cluster, and a
// CLUS_FREE one that does not read back erased in full, before handing it
// out; -1 when none can be taken. A root move is a swap (one cluster taken,
// one released) and may take from the reserve that free_clus holds back;
// it leaves free_clus as it was. `scratch`, when given, is a cluster-sized
// buffer whose content the caller no longer needs, for the read-back check.
int take_cluster(dace_state *s, bool root_swap, uint8_t *scratch = nullptr);

// The release rule: the cluster counts as free at once but is held until the
// next root commit that reaches the medium, since the copy on the medium may
// still name it.
void release_cluster(dace_state *s, uint16_t c);
// After a root commit reached the medium: held clusters become erasable.
void settle_held_clusters(dace_state *s);

// Writes a name into an entry's field the way the medium stores it: its
// bytes, then a NUL when it is shorter than the field. Field bytes past that
// NUL keep what they held.
void store_name(dace_entry *e, const char *name);

// After the file at `entry` was shortened, with every cluster that began at
// file offset `released_from` or later given back: handles open on it no
// longer hold or write those clusters and stand no further than the new end.
void fit_slots_to_truncation(dace_state *s, uint16_t entry, uint32_t released_from);

// Stages a root copy for `mode` (DACE_REOPEN_*; `drop` is the entry a
// removal leaves out): after the last copy on the medium while the root
// cluster has room, else at page 0 of a fresh root cluster. Nothing is
// written. False when the root had to move and no cluster could be had.
bool stage_root(dace_state *s, int mode, uint16_t drop);
// Writes the staged copy after the last copy on the medium, once every open
// file's pending cluster is written (rule 8): 0, or -1 when a write fell
// short (the medium still holds the previous copy; the change stays
// pending).
int commit_root(dace_state *s);
// Writes the current root copy, staged, at root_page (both CRCs computed
// over it). 0, or -1 when the write fell short: its pages count as used,
// the cluster is sealed and the change stays pending (rule 2).
int write_root_copy(dace_state *s);
// Erases up to `max` CLUS_DIRTY clusters in the allocator's search order;
// the count erased, or -1 when an erase failed.
int erase_ahead(dace_state *s, uint32_t max);
#endif // DACE_READ_ONLY

// Lookup by name: the position of the first entry whose stored name equals
// `name`, or -1. find_named also records why a by-name call finds nothing.
int find_file(const dace_state *s, const char *name);
int find_named(dace_state *s, const char *name);
#ifndef DACE_READ_ONLY
// The flush step of dace_flush, dace_seek and dace_close: the slot's
// pending cluster, then the commit. DACE_OK or DACE_FAILED.
int flush_slot(dace_state *s, dace_file *f);

// Writes out the slot's buffer if it holds anything the medium does not;
// false when the write fell short (the bytes stay pending).
bool write_out_pending(dace_state *s, dace_file *f);
// Writes out every open file's pending cluster, so that a root copy written
// next names no cluster that is still only in memory. False when one fell
// short; the others written stay written.
bool write_out_open_files(dace_state *s);
#endif

} // namespace dace

#endif // DACE_DACE_INTERNAL_H
