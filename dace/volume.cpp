// Volume core: the medium, the state block, the allocator, the rules that
// decide which root copy counts, mount and format, and the root's
// copy-on-write; the exported calls last. "Rule N" refers to the numbered
// power-cut rules of docs/storage-format.md.
#include "dace/dace_internal.h"

namespace dace {
namespace {

constexpr uint32_t kFixedAlign = 64;
constexpr uint32_t kBlockAlign = 8;

constexpr uint32_t round_up(uint32_t value, uint32_t to) { return (value + to - 1) / to * to; }

constexpr uint32_t fixed_part_size() { return round_up(static_cast<uint32_t>(sizeof(dace_state)), kFixedAlign); }
static_assert(sizeof(void *) != 4 || fixed_part_size() == 128, "fixed part is 128 bytes with 32-bit pointers");

uint32_t table_bytes(uint32_t clus_count) { return round_up(2 * clus_count, kFixedAlign); }

bool is_power_of_two_or_zero(uint16_t x) { return (x & (x - 1)) == 0; }

// Bytes of the state block for a configuration whose geometry is sound,
// or 0 when they pass 32 bits. The cluster images alone cannot: a cluster
// is below 64 KiB, and the root's and max_files' make at most 65536.
uint32_t state_size(const dace_config *cfg) {
    const uint32_t clus_size = uint32_t{cfg->page_size} * cfg->clus_pages;
    const uint32_t files = cfg->max_files;
    const uint32_t rest =
        fixed_part_size() + table_bytes(cfg->total_pages / cfg->clus_pages) + files * uint32_t{sizeof(dace_file)};
    uint32_t total = 0;
    return __builtin_add_overflow(clus_size * (files + 1), rest, &total) ? 0u : total;
}

uint16_t crc_over(const dace_state *s, uint16_t seed, const void *data, uint32_t count) {
    return static_cast<uint16_t>(s->crc_fn(s->crc_ctx, seed, data, count));
}

// Page `page` of an image of one cluster.
inline uint8_t *page_at(const dace_state *s, uint8_t *image, uint32_t page) {
    return image + static_cast<size_t>(page) * s->page_size;
}

} // namespace

// ==== the medium =============================================================
// The only calls of read_fn, write_fn and erase_fn: page addresses are
// worked out here, and a call counts only when it moved every byte (an
// erase only when it reports exactly 1).

bool read_pages(dace_state *s, uint32_t clus, uint32_t first_page, void *dst, uint32_t bytes) {
    return s->read_fn(s->io_ctx, clus * s->clus_pages + first_page, dst, bytes) == bytes;
}

bool read_header(dace_state *s, uint32_t clus, uint8_t *dst, uint32_t bytes) {
    // A passing fault does not refuse a mount: the read is tried again once.
    for (int attempt = 0; attempt < 2; ++attempt)
        if (read_pages(s, clus, 0, dst, bytes))
            return true;
    return false;
}

bool read_cluster(dace_state *s, uint32_t clus, uint8_t *dst) { return read_pages(s, clus, 0, dst, s->clus_size); }

#ifndef DACE_READ_ONLY
bool program_pages(dace_state *s, uint32_t clus, uint32_t first_page, const void *src, uint32_t bytes) {
    return s->write_fn(s->io_ctx, clus * s->clus_pages + first_page, src, bytes) == bytes;
}

bool erase_cluster(dace_state *s, uint32_t clus) { return s->erase_fn(s->io_ctx, clus, 1) == 1; }
#endif

namespace {

// ==== the state block ========================================================

// The callbacks and their contexts, and the geometry from page_size to
// max_files, lie in the same order in the configuration and in the state,
// so each group is copied in one go.
static_assert(offsetof(dace_state, erase_fn) - offsetof(dace_state, update_ctx) ==
                  offsetof(dace_config, erase_fn) - offsetof(dace_config, update_ctx),
              "the callbacks lie alike in dace_config and dace_state");
static_assert(offsetof(dace_state, max_files) - offsetof(dace_state, page_size) ==
                  offsetof(dace_config, max_files) - offsetof(dace_config, page_size),
              "page_size to max_files lie alike in dace_config and dace_state");
constexpr size_t kCallbackBytes =
    offsetof(dace_state, erase_fn) + sizeof(dace_erase_fn) - offsetof(dace_state, update_ctx);
constexpr size_t kGeometryBytes = offsetof(dace_state, max_files) + sizeof(uint16_t) - offsetof(dace_state, page_size);

dace_state *lay_out(const dace_config *cfg, void *block) {
    auto *base = static_cast<uint8_t *>(block);
    auto *s = static_cast<dace_state *>(block);
    // Zeroes every field that starts at zero (the root's page and end, the
    // open list, counters and options among them).
    __builtin_memset(base, 0, fixed_part_size());

    __builtin_memcpy(&s->update_ctx, &cfg->update_ctx, kCallbackBytes);
    __builtin_memcpy(&s->page_size, &cfg->page_size, kGeometryBytes);
    s->crc_seed = cfg->crc_seed;

    const uint16_t clus_size = static_cast<uint16_t>(cfg->page_size * cfg->clus_pages);
    s->clus_size = clus_size;
    s->clus_payload = static_cast<uint16_t>(clus_size - kClusHeaderSize);
    s->clus_count = static_cast<uint16_t>(cfg->total_pages / cfg->clus_pages);
    s->free_clus = static_cast<uint16_t>(s->clus_count - kReservedClusters);
    s->root_clus = kNoRoot;
    s->max_entries = static_cast<uint16_t>((clus_size - kRootHeaderSize) / kEntrySize);

    uint8_t *const file_bufs = base + fixed_part_size() + clus_size;
    uint8_t *const table = file_bufs + static_cast<size_t>(s->max_files) * clus_size;
    s->root_buf = base + fixed_part_size();
    s->root = reinterpret_cast<dace_root *>(s->root_buf);
    s->clus_table = reinterpret_cast<uint16_t *>(table);
    s->files = reinterpret_cast<dace_file *>(table + table_bytes(s->clus_count));

    // Slots are stacked so the first file opened gets the highest slot.
    dace_file *below = nullptr;
    uint8_t *buf = file_bufs;
    for (dace_file *f = s->files; f != s->files + s->max_files; ++f, buf += clus_size) {
        f->buf = buf;
        f->next = below;
        f->pos = 0;
        f->entry = kNoEntry; // closed from the start, so handle checks can tell
        f->clus_off = 0;
        f->clus = CLUS_END;
        f->dirty = kClean;
        below = f;
    }
    s->free_list = below;
    return s;
}

// The block laid out for a configuration, or null when either is refused;
// then the block records DACE_E_CONFIG where dace_init_error reads it, a
// byte at a time, since a refused block need not be aligned.
dace_state *lay_out_checked(const dace_config *config, void *block) {
    if (block == nullptr)
        return nullptr;
    if (reinterpret_cast<uintptr_t>(block) % kBlockAlign != 0 || dace_check_config(config) != DACE_CONFIG_OK) {
        store_u16(static_cast<uint8_t *>(block) + offsetof(dace_state, error), DACE_E_CONFIG);
        return nullptr;
    }
    return lay_out(config, block);
}

// ==== the allocator ==========================================================

// Whether all `count` bytes equal `value`. The allocator runs this over
// every cluster it checks before first use, so it gathers the differences
// of 64 bytes a word at a time and tests once per block.
bool bytes_are(const uint8_t *p, uint32_t count, uint8_t value) {
    const uint32_t word_value = value * 0x01010101u;
    constexpr uint32_t kBlock = 64;
    uint32_t i = 0;
    // Cluster images and their pages start word-aligned in the state block;
    // saying so lets a core without unaligned loads read whole words too.
    if (reinterpret_cast<uintptr_t>(p) % 4 == 0) {
        const auto *aligned = static_cast<const uint8_t *>(__builtin_assume_aligned(p, 4));
        for (; i + kBlock <= count; i += kBlock) {
            uint32_t differ = 0;
            for (uint32_t k = 0; k < kBlock; k += 4) {
                uint32_t word;
                __builtin_memcpy(&word, aligned + i + k, 4);
                differ |= word ^ word_value;
            }
            if (differ != 0)
                return false;
        }
    }
    for (; i < count; ++i)
        if (p[i] != value)
            return false;
    return true;
}

// Erased as far as the format cares: every byte 0xFF, or every byte 0x00.
bool bytes_are_blank(const uint8_t *p, uint32_t count) {
    return count == 0 || bytes_are(p, count, p[0] == 0 ? 0x00 : 0xFF);
}

#ifndef DACE_READ_ONLY
void hold_cluster(dace_state *s, uint16_t c) {
    s->clus_table[c] = CLUS_HELD;
    ++s->held_count;
}

// Memory the allocator may read a cluster into: `pages` pages at `buf`.
struct Scratch {
    uint8_t *buf;
    uint32_t pages;
};

// A buffer the caller offers or a free slot's holds a whole cluster. Else
// the root image has room outside the current copy: the pages before it
// hold older copies, which nothing reads again, and those after it are
// unused until the next copy is staged there.
Scratch find_scratch(dace_state *s, uint8_t *offered) {
    if (offered != nullptr)
        return {offered, s->clus_pages};
    if (s->free_list != nullptr)
        return {s->free_list->buf, s->clus_pages};
    if (s->root_clus == kNoRoot)
        return {nullptr, 0};
    const uint32_t before = s->root_page;
    const uint32_t copy_end = uint32_t{s->root_page} + s->root->pages;
    const uint32_t after = copy_end < s->clus_pages ? s->clus_pages - copy_end : 0u;
    if (before >= after)
        return {before != 0 ? s->root_buf : nullptr, before};
    return {page_at(s, s->root_buf, copy_end), after};
}

// Whether cluster `c` reads back erased in full, as it must before any of
// its pages is programmed (rule 4): the mount knows only the first word of
// a free cluster, and an erase cut short leaves stale bytes behind an
// erased start. False also when it cannot be read or no memory is at hand
// to read it into; the caller then erases it.
bool reads_erased(dace_state *s, uint32_t c, uint8_t *offered) {
    const Scratch scratch = find_scratch(s, offered);
    if (scratch.buf == nullptr)
        return false;
    for (uint32_t page = 0; page < s->clus_pages; page += scratch.pages) {
        const uint32_t pages = s->clus_pages - page < scratch.pages ? s->clus_pages - page : scratch.pages;
        const uint32_t bytes = pages * s->page_size;
        if (!read_pages(s, c, page, scratch.buf, bytes) || !bytes_are(scratch.buf, bytes, 0xFF))
            return false;
    }
    return true;
}

// Whether cluster `i` (CLUS_FREE or CLUS_DIRTY) is erased, after erasing it
// where needed; false when that erase failed. Kept out of take_cluster so
// that the deepest path of a root move does not carry both frames' locals.
__attribute__((noinline)) bool make_ready(dace_state *s, uint32_t i, uint16_t code, uint8_t *scratch) {
    return (code == CLUS_FREE && reads_erased(s, i, scratch)) || erase_cluster(s, i);
}
#endif // DACE_READ_ONLY

} // namespace

void lower_free_count(dace_state *s) {
    if (s->free_clus > 0)
        --s->free_clus;
    else
        ++s->free_deficit;
}

#ifndef DACE_READ_ONLY
void raise_free_count(dace_state *s) {
    if (s->free_deficit > 0)
        --s->free_deficit;
    else
        ++s->free_clus;
}

// Where the allocator's search starts: the wear-levelling cursor, or
// cluster 0 (first fit).
uint32_t search_start(const dace_state *s) { return (s->options & DACE_OPT_LEVEL_WEAR) != 0 ? s->alloc_cursor : 0u; }

// The k-th cluster of the allocator's search from `start`, wrapping.
uint32_t in_search_order(const dace_state *s, uint32_t start, uint32_t k) {
    return start + k < s->clus_count ? start + k : start + k - s->clus_count;
}

int take_cluster(dace_state *s, bool root_swap, uint8_t *scratch) {
    const uint32_t start = search_start(s);
    // Held clusters count as free but cannot be handed out yet; without this
    // the clusters held back for root moves would be given to files.
    for (uint32_t k = 0; k < s->clus_count && (root_swap || s->free_clus > s->held_count); ++k) {
        const uint32_t i = in_search_order(s, start, k);
        const uint16_t code = s->clus_table[i];
        if (code != CLUS_FREE && code != CLUS_DIRTY)
            continue;
        if (!make_ready(s, i, code, scratch)) {
            s->clus_table[i] = CLUS_BAD;
            lower_free_count(s);
            continue;
        }
        s->clus_table[i] = CLUS_END;
        if (!root_swap)
            lower_free_count(s);
        if ((s->options & DACE_OPT_LEVEL_WEAR) != 0)
            s->alloc_cursor = static_cast<uint16_t>(i + 1 < s->clus_count ? i + 1 : 0);
        return static_cast<int>(i);
    }
    return fail(s, DACE_E_MEDIUM_FULL, -1);
}

int erase_ahead(dace_state *s, uint32_t max) {
    const uint32_t start = search_start(s);
    int erased = 0;
    for (uint32_t k = 0; k < s->clus_count && static_cast<uint32_t>(erased) < max; ++k) {
        const uint32_t i = in_search_order(s, start, k);
        if (s->clus_table[i] != CLUS_DIRTY)
            continue;
        if (!erase_cluster(s, i)) {
            s->clus_table[i] = CLUS_BAD;
            lower_free_count(s);
            return fail(s, DACE_E_ERASE_FAILED, -1);
        }
        // Free: the allocator still reads it back before use (rule 4), as
        // it does every cluster whose erase it did not see itself.
        s->clus_table[i] = CLUS_FREE;
        ++erased;
    }
    return erased;
}

void release_cluster(dace_state *s, uint16_t c) {
    if (c >= s->clus_count)
        return;
    hold_cluster(s, c); // rule 3
    raise_free_count(s);
}

void settle_held_clusters(dace_state *s) {
    // Every commit comes here; the scan stops at the last held cluster
    // rather than read the rest of the table.
    uint32_t left = s->held_count;
    for (uint32_t i = 0; i < s->clus_count && left > 0; ++i) {
        if (s->clus_table[i] == CLUS_HELD) {
            s->clus_table[i] = CLUS_DIRTY;
            --left;
        }
    }
    s->held_count = 0;
}

// ==== data clusters ==========================================================

int commit_cluster(dace_state *s, uint16_t c, uint8_t *image, uint32_t bytes_held) {
    store_u32(image, DATA_MAGIC);
    store_u16(image + 4, s->clus_table[c]);
    store_u16(image + 6, dace_data_crc(s, image));
    // The cluster was erased, or read back erased, before it was handed
    // out (rule 4), so pages wholly past `bytes_held` already read as the
    // 0xFF the CRC covers there.
    DACE_ASSERT(bytes_held > 0 && bytes_held <= s->clus_size);
    const uint32_t pages = (bytes_held + s->page_size - 1) / s->page_size;
    return program_pages(s, c, 0, image, pages * s->page_size) ? 0 : fail(s, DACE_E_WRITE_FAILED, -1);
}

uint32_t blank_past_end(dace_state *s, dace_file *f) {
    const uint32_t payload = s->clus_payload;
    if (f->entry >= s->root->count || f->clus_off > payload || f->clus_off > f->pos)
        return s->clus_size;
    const uint32_t start = f->pos - f->clus_off; // file offset of the buffer's cluster
    const uint32_t size = entries_of(s->root)[f->entry].size;
    if (size < start || size - start >= payload)
        return s->clus_size;
    const uint32_t end = size - start;
    dace_memset(f->buf + kClusHeaderSize + end, 0xFF, payload - end);
    return kClusHeaderSize + end;
}
#endif // DACE_READ_ONLY

namespace {

// ==== which root copy counts =================================================

// The root rules read a mounted state's geometry, size and CRC. Tools that
// judge images without mounting them pass a state that holds only those,
// filled from a configuration, so that both judge copies by one code.
using CopyRules = dace_state;

dace_state rules_of(const dace_config *cfg) {
    dace_state r{};
    r.crc_fn = cfg->crc_fn;
    r.crc_ctx = cfg->crc_ctx;
    r.crc_seed = cfg->crc_seed;
    r.page_size = cfg->page_size;
    r.clus_pages = cfg->clus_pages;
    r.geometry_tag = cfg->geometry_tag;
    r.clus_count = static_cast<uint16_t>(cfg->total_pages / cfg->clus_pages);
    return r;
}

uint16_t rules_crc(const CopyRules &r, const void *data, uint32_t count) {
    return static_cast<uint16_t>(r.crc_fn(r.crc_ctx, r.crc_seed, data, count));
}

const dace_root *copy_at(const CopyRules &r, const uint8_t *image, uint32_t page) {
    return reinterpret_cast<const dace_root *>(image + static_cast<size_t>(page) * r.page_size);
}

bool geometry_matches(const CopyRules &r, const dace_root *copy) {
    return copy->page_size == r.page_size && copy->clus_pages == r.clus_pages && copy->geometry_tag == r.geometry_tag;
}

// A copy's header is trusted only as far as it stays inside the cluster.
// Entries that fit its pages are no more than a cluster holds (max_entries).
bool copy_fits(const CopyRules &r, const dace_root *copy, uint32_t page) {
    const uint32_t pages = copy->pages;
    return pages != 0 && page + pages <= r.clus_pages &&
           kRootHeaderSize + kEntrySize * uint32_t{copy->count} <= pages * r.page_size;
}

// The header fields that every writer writes as fixed values: the reserved
// bytes zero, and either no recorded size (writers before the size was
// recorded) or this format's version with a cluster count.
bool fixed_fields_hold(const dace_root *copy) {
    return copy->reserved2 == 0 && copy->reserved3 == 0 && copy->version <= DACE_FORMAT_VERSION &&
           (copy->version == 0) == (copy->clus_count == 0);
}

// Rule 1: the bytes of a copy after its header, up to `span`, as a writer
// leaves them: zero fill after the entries, and no entry of erased bytes (a
// file with bytes has a cluster). A copy cut short by a power cut shows
// erased or half-programmed bytes there even when its CRCs happen to match.
bool body_is_whole(const dace_root *copy, uint32_t span) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(copy);
    const uint32_t entries_end = kRootHeaderSize + kEntrySize * uint32_t{copy->count};
    const uint32_t used = entries_end < span ? entries_end : span;
    for (uint32_t i = used; i < span; ++i)
        if (bytes[i] != 0)
            return false;
    for (uint32_t at = kRootHeaderSize; at + kEntrySize <= used; at += kEntrySize) {
        uint32_t erased = 0;
        while (erased < kEntrySize && bytes[at + erased] == 0xFF)
            ++erased;
        if (erased == kEntrySize)
            return false;
    }
    return true;
}

// Rule 1: an entry the library can have written: a name by the name rules,
// a cluster number or none, and bytes exactly when it has a cluster.
bool entry_is_plausible(const dace_entry &e) {
    if (e.name[0] == 0)
        return false;
    for (uint32_t i = 0; i < kNameField && e.name[i] != 0; ++i)
        if (e.name[i] == '/' || e.name[i] == '\\')
            return false;
    if (e.clus != CLUS_END && e.clus >= CLUS_BAD)
        return false;
    return (e.size == 0) == (e.clus == CLUS_END);
}

// Rule 5: a copy that names another geometry refuses the mount only when a
// writer of that geometry can have written it whole: an extent inside its
// own cluster and CRC fields that do not read erased (checked here), and its
// entries' CRC and its fill as a writer leaves them, as far as the bytes
// read reach (body_verdict). A header torn by a power cut has erased bytes
// behind the tear, and weakly programmed bits can give it any field and,
// once in 65536 reads, a head CRC equal to the erased CRC field.
bool foreign_extent_holds(const dace_root *copy) {
    const uint32_t span = uint32_t{copy->pages} * copy->page_size;
    const uint32_t used = kRootHeaderSize + kEntrySize * uint32_t{copy->count};
    return copy->page_size % 8 == 0 && copy->pages != 0 && copy->pages <= copy->clus_pages && used <= span &&
           copy->head_crc != 0xFFFF && copy->files_crc != 0xFFFF;
}

// The entries and the fill of a copy as a writer leaves them, as far as the
// `room` bytes from its start reach (a copy of this geometry lies wholly
// within them): DACE_COPY_FILES_CRC when the entries lie within and do not
// match their CRC, DACE_COPY_TORN when the fill is not zero or an entry
// reads erased, else DACE_COPY_VALID.
int body_verdict(const CopyRules &r, const dace_root *copy, uint32_t room) {
    const uint32_t span = uint32_t{copy->pages} * copy->page_size;
    const uint32_t used = kRootHeaderSize + kEntrySize * uint32_t{copy->count};
    if (used <= room && rules_crc(r, entries_of(copy), used - kRootHeaderSize) != copy->files_crc)
        return DACE_COPY_FILES_CRC;
    return body_is_whole(copy, span < room ? span : room) ? DACE_COPY_VALID : DACE_COPY_TORN;
}

// The verdict on the copy at `page` of a root cluster image. With
// `header_only`, only the 32 bytes of its header are looked at (the mount
// ranks root clusters by them): DACE_COPY_GEOMETRY and
// DACE_COPY_VOLUME_SIZE then say only what the header names, since whether
// a writer wrote the copy whole takes the rest of it.
int judge_copy(const CopyRules &r, const uint8_t *image, uint32_t page, uint32_t seq_before, bool header_only) {
    const dace_root *copy = copy_at(r, image, page);
    if (copy->magic != ROOT_MAGIC)
        return DACE_COPY_NO_MARK;
    // Every copy of one root cluster carries the generation of its page-0
    // copy; one that does not is left over from an earlier use of the cluster.
    if (page != 0 && copy->seq != seq_before)
        return DACE_COPY_OTHER_GENERATION;
    if (rules_crc(r, copy, kHeadCrcBytes) != copy->head_crc)
        return DACE_COPY_HEAD_CRC;
    if (!fixed_fields_hold(copy))
        return DACE_COPY_FIXED_FIELDS;
    const uint32_t room = (uint32_t{r.clus_pages} - page) * r.page_size;
    if (!geometry_matches(r, copy)) {
        const bool whole = header_only || (foreign_extent_holds(copy) && body_verdict(r, copy, room) == DACE_COPY_VALID);
        return whole ? DACE_COPY_GEOMETRY : DACE_COPY_TORN;
    }
    if (!copy_fits(r, copy, page))
        return DACE_COPY_SIZE;
    if (!header_only) {
        const int body = body_verdict(r, copy, room);
        if (body != DACE_COPY_VALID)
            return body;
        const dace_entry *entries = entries_of(copy);
        for (uint32_t i = 0; i < copy->count; ++i)
            if (!entry_is_plausible(entries[i]))
                return DACE_COPY_BAD_ENTRY;
    }
    // Rule 6: 0 means a writer that did not record the size.
    return copy->clus_count != 0 && copy->clus_count != r.clus_count ? DACE_COPY_VOLUME_SIZE : DACE_COPY_VALID;
}

// Finds the last copy of the unbroken run of valid copies from page 0. A
// whole copy of another geometry at page 0, or a valid copy of a volume of
// another size anywhere in the run, means that another configuration owns
// this medium: the caller refuses rather than reformat or cut the volume
// short (rules 5 and 6).
int walk_root(const CopyRules &r, const uint8_t *image, dace_root_walk *out) {
    *out = dace_root_walk{0, 0, 0, 0, DACE_COPY_VALID};
    uint32_t page = 0;
    while (page < r.clus_pages) {
        const int verdict = judge_copy(r, image, page, out->seq, false);
        if (verdict != DACE_COPY_VALID) {
            out->stop = static_cast<uint16_t>(verdict);
            if (verdict == DACE_COPY_VOLUME_SIZE || (page == 0 && verdict == DACE_COPY_GEOMETRY))
                return verdict;
            return DACE_COPY_VALID;
        }
        const dace_root *copy = copy_at(r, image, page);
        out->seq = copy->seq;
        ++out->copies;
        out->last_page = static_cast<uint16_t>(page);
        page += copy->pages;
        out->end_page = static_cast<uint16_t>(page);
    }
    return DACE_COPY_VALID;
}

// ==== mount and format =======================================================

bool looks_erased(uint32_t word) { return word == 0x00000000u || word == 0xFFFFFFFFu; }

#ifndef DACE_READ_ONLY
int write_root_copy(dace_state *s);

// The header fields a writer sets from the geometry: mark, generation,
// geometry, extent, the volume's size and the format version. The count,
// the CRCs and the reserved fields are the caller's.
void fill_header(const dace_state *s, dace_root *copy, uint16_t pages, uint32_t seq) {
    copy->magic = ROOT_MAGIC;
    copy->seq = seq;
    copy->page_size = s->page_size;
    copy->geometry_tag = s->geometry_tag;
    copy->clus_pages = s->clus_pages;
    copy->pages = pages;
    copy->clus_count = s->clus_count;
    copy->version = DACE_FORMAT_VERSION;
}

// Whether a root cluster image holds nothing but a first format's copy,
// whole or cut short: nothing programmed past page 0, and every bit that
// the format's copy leaves set still set in page 0. A program only clears
// bits, so a copy cut anywhere, or read from weakly programmed cells, fits;
// another configuration's copy does not (its CRCs differ), nor does any
// later copy. `scratch` takes the format's copy (a page).
bool looks_like_format_remnant(dace_state *s, const uint8_t *image, uint8_t *scratch) {
    if (!bytes_are(image + s->page_size, s->clus_size - s->page_size, 0xFF))
        return false;
    auto *intended = reinterpret_cast<dace_root *>(scratch);
    dace_fill_root(s, intended, 1, 0, 1);
    intended->files_crc = dace_root_files_crc(s, intended);
    for (uint32_t i = 0; i < s->page_size; ++i)
        if ((image[i] & scratch[i]) != scratch[i])
            return false;
    return true;
}
#endif // DACE_READ_ONLY

// During the mount a cluster whose header looks like data keeps the link it
// holds in the table, encoded above the cluster numbers: claimed clusters,
// which hold plain links, stay apart from unclaimed ones, and no header is
// read twice. A medium of more clusters than the 16-bit codes leave room
// for keeps no links; its chains read each header again.
bool links_kept(const dace_state *s) { return 2u * s->clus_count + 2u <= CLUS_BAD; }

uint16_t unclaimed_code(const dace_state *s, uint16_t link) {
    const uint32_t base = s->clus_count;
    if (link < s->clus_count)
        return static_cast<uint16_t>(base + link);
    return static_cast<uint16_t>(link == CLUS_END ? 2 * base : 2 * base + 1);
}

bool is_unclaimed(const dace_state *s, uint16_t code) {
    if (!links_kept(s))
        return code == CLUS_DIRTY;
    return code >= s->clus_count && code <= 2u * s->clus_count + 1;
}

// A link that is neither a cluster of this medium nor the end of a chain.
constexpr uint16_t kLinkBeyond = 0xFFFE;

uint16_t decode_link(const dace_state *s, uint16_t code) {
    const uint32_t link = code - uint32_t{s->clus_count};
    if (link < s->clus_count)
        return static_cast<uint16_t>(link);
    return link == s->clus_count ? CLUS_END : kLinkBeyond;
}

struct BestRoot {
    uint32_t seq = 0;
    uint16_t clus = kNoRoot;
    uint16_t page = 0;
};


// What dace_init needs of a mount that found no root, to tell a first
// format cut short: the one root cluster of a medium without data marks
// (kNoRoot when the medium shows anything else). Two bytes in the caller's
// frame, where a whole survey would deepen dace_init's stack.
struct Remnant {
    uint16_t clus = kNoRoot;
};

// How the mount treats what it cannot use: a mount refuses, a deliberate
// format takes it as bad or as another owner's to erase.
enum class ScanFor { Mount, Format };

// A read-only build has no format: its scans are all for a mount.
constexpr bool formatting(ScanFor why) { return !kReadOnly && why == ScanFor::Format; }

// A root cluster's place in the order in which the mount tries them, as
// one number that is higher for the earlier: the generation of its page-0
// copy (every copy of a root cluster carries it), then the lower cluster
// number. A header that names another geometry or volume size comes before
// every generation: its whole copy decides whether the mount refuses.
using Rank = uint64_t;
constexpr Rank kNoRank = 0;
constexpr Rank kForeignRank = Rank{1} << 48;

Rank rank_of(uint32_t seq, uint32_t clus) { return Rank{seq} << 16 | (0xFFFFu - clus); }
uint16_t clus_of(Rank rank) { return static_cast<uint16_t>(0xFFFFu - (rank & 0xFFFFu)); }

// What the first pass and the choice of the root found, and their working
// state. The mount reads whole only the best ranked root cluster, and looks
// for the next (from the page-0 headers again) only when that one holds no
// valid copy.
struct Survey {
    BestRoot best;
    bool data_mark = false;  // some cluster starts with DATA_MAGIC
    uint32_t root_marks = 0; // clusters that start with ROOT_MAGIC
    // For completing a first format (not kept by a read-only build):
    uint16_t last_root_mark = kNoRoot;
    Rank next = kNoRank;         // the best candidate not tried yet
    Rank below = ~Rank{0};       // candidates rank below the last one tried
    dace_root_walk walk{};       // of the root cluster read whole last
};

// A root cluster that names another geometry or volume size in a whole
// copy belongs to another configuration: the mount refuses (rules 5 and
// 6); a deliberate format erases it, since it would refuse every later
// mount. False when the mount must be refused.
bool settle_foreign(dace_state *s, [[maybe_unused]] uint32_t i, ScanFor why, int verdict) {
    if (verdict == DACE_COPY_VALID)
        return true;
    if (!formatting(why))
        return fail(s, verdict == DACE_COPY_GEOMETRY ? DACE_E_GEOMETRY : DACE_E_SIZE_MISMATCH, false);
#ifndef DACE_READ_ONLY
    if (!erase_cluster(s, i))
        return fail(s, DACE_E_ERASE_FAILED, false);
    s->clus_table[i] = CLUS_FREE;
#endif
    return true;
}

// What the scan makes of a cluster it cannot read: a mount refuses (rule
// 6), a deliberate format goes on without it.
bool unreadable(dace_state *s, ScanFor why) { return formatting(why) || fail(s, DACE_E_UNREADABLE, false); }

// Reads root cluster `i` whole into root_buf and walks its log. False when
// the mount must be refused: it cannot be read, or it belongs to another
// configuration (rule 6); a deliberate format takes an unreadable one as no
// root, and erases another configuration's.
bool read_and_walk(dace_state *s, uint32_t i, Survey *scan, ScanFor why) {
    dace_root_walk *walk = &scan->walk;
    if (!read_cluster(s, i, s->root_buf)) {
        walk->copies = 0; // no valid copy: choose_root reads nothing else of the walk
        return unreadable(s, why);
    }
    const int verdict = walk_root(*s, s->root_buf, walk);
    if (verdict != DACE_COPY_VALID)
        walk->copies = 0;
    return settle_foreign(s, i, why, verdict);
}

// Judges the page-0 header of root cluster `i`, read into root_buf, and
// makes it the next candidate when it ranks best among those below the
// last tried. A header that names another geometry or volume size ranks
// above every generation: its whole copy decides whether the mount
// refuses, so it is read whole first. A torn header, or one that no writer
// wrote, is no root and no reason to refuse (rule 5); generation 0 is
// never chosen.
void offer(dace_state *s, uint32_t i, Survey *scan) {
    const int verdict = judge_copy(*s, s->root_buf, 0, 0, true);
    const uint32_t seq = reinterpret_cast<const dace_root *>(s->root_buf)->seq;
    Rank rank = rank_of(seq, i);
    if (verdict == DACE_COPY_GEOMETRY || verdict == DACE_COPY_VOLUME_SIZE)
        rank |= kForeignRank;
    else if (verdict != DACE_COPY_VALID || seq == 0)
        return;
    if (rank < scan->below && rank > scan->next)
        scan->next = rank;
}

// Classifies cluster `i` by its first word and ranks a root cluster. False
// when the mount must be refused.
bool scan_one(dace_state *s, uint32_t i, Survey *scan, ScanFor why) {
    s->clus_table[i] = CLUS_DIRTY;
    // Rule 6: a cluster that cannot be read may hold the newest root or a
    // file's clusters; mounting without it would roll the volume back and
    // let the allocator erase committed data. A format takes it as bad.
    const bool readable = read_header(s, i, s->root_buf, kClusHeaderSize);
    if (!readable && !formatting(why))
        return fail(s, DACE_E_UNREADABLE, false);
    const uint32_t word = readable ? load_u32(s->root_buf) : BAD_MARK;
    if (word == BAD_MARK) {
        s->clus_table[i] = CLUS_BAD;
        lower_free_count(s);
    } else if (looks_erased(word)) {
        // Free, but only the first word is known: the allocator reads the
        // rest before it hands the cluster out (rule 4).
        s->clus_table[i] = CLUS_FREE;
    } else if (word == ROOT_MAGIC) {
        // A root cluster is CLUS_HELD during the mount, so that the next
        // candidate can be looked for among root clusters alone.
        s->clus_table[i] = CLUS_HELD;
        ++scan->root_marks;
        if (!kReadOnly)
            scan->last_root_mark = static_cast<uint16_t>(i);
        // Rule 6: a root cluster that cannot be read may hold the newest root.
        if (!read_header(s, i, s->root_buf, kRootHeaderSize))
            return unreadable(s, why);
        offer(s, i, scan);
    } else {
        scan->data_mark = scan->data_mark || word == DATA_MAGIC;
        if (links_kept(s))
            s->clus_table[i] = unclaimed_code(s, load_u16(s->root_buf + 4));
    }
    return true;
}

// Reads whole the best-ranked root cluster, then the next only when the
// best holds no valid copy, so that with many released root clusters on
// the medium the mount still reads whole only the one it loads. The root
// is then judged and loaded from that one read (rule 7): a cell that reads
// differently a second time cannot slip an unchecked field past the walk.
// False when the mount must be refused; the survey's best stays empty when
// no root cluster holds a valid copy.
bool choose_root(dace_state *s, Survey *scan, ScanFor why) {
    while (scan->next != kNoRank) {
        const uint16_t c = clus_of(scan->next);
        if (!read_and_walk(s, c, scan, why))
            return false;
        if (scan->walk.copies != 0) {
            scan->best = BestRoot{scan->walk.seq, c, scan->walk.last_page};
            return true;
        }
        scan->below = scan->next;
        scan->next = kNoRank;
        // The first pass kept only the best; the rest are ranked again
        // from their headers, read once more.
        for (uint32_t i = 0; i < s->clus_count; ++i) {
            if (s->clus_table[i] != CLUS_HELD)
                continue;
            if (!read_pages(s, i, 0, s->root_buf, kRootHeaderSize)) {
                if (!unreadable(s, why))
                    return false;
                continue;
            }
            offer(s, i, scan);
        }
    }
    return true;
}


// The link a chain follows out of unclaimed cluster `c`: kept by the first
// pass, or read again where the table had no room for it. kLinkBeyond for
// a link out of this medium, CLUS_BAD when `c` holds no data header (or,
// on a second read, no longer does).
bool link_of(dace_state *s, uint16_t c, uint8_t *scratch, uint16_t *link) {
    if (links_kept(s)) {
        *link = decode_link(s, s->clus_table[c]);
        return true;
    }
    if (!read_header(s, c, scratch, kClusHeaderSize))
        return false;
    const uint32_t word = load_u32(scratch);
    const uint16_t raw = load_u16(scratch + 4);
    if (word == ROOT_MAGIC || word == BAD_MARK || looks_erased(word))
        *link = CLUS_BAD;
    else
        *link = raw == CLUS_END || raw < s->clus_count ? raw : kLinkBeyond;
    return true;
}

// Claims the clusters of every chain of the loaded root. A chain ends where
// it meets a cluster that holds no unclaimed data (claimed by an earlier
// chain, erased, a root); the last cluster claimed then ends it. Refused
// (rule 6): a cluster or link beyond the configured medium (the medium was
// formatted larger: mounting would cut files short and the next commit
// would make that permanent), or a header that cannot be read.
bool claim_chains(dace_state *s, uint8_t *scratch) {
    dace_entry *entries = entries_of(s->root);
    for (uint32_t e = 0; e < s->root->count; ++e) {
        uint16_t c = entries[e].clus;
        if (c != CLUS_END && c >= s->clus_count)
            return fail(s, DACE_E_SIZE_MISMATCH, false);
        uint16_t prev = CLUS_END; // no cluster of this chain claimed yet
        while (c != CLUS_END) {
            uint16_t link = CLUS_BAD;
            if (is_unclaimed(s, s->clus_table[c]) && !link_of(s, c, scratch, &link))
                return fail(s, DACE_E_UNREADABLE, false);
            if (link == kLinkBeyond)
                return fail(s, DACE_E_SIZE_MISMATCH, false);
            if (link != CLUS_END && link >= s->clus_count) {
                if (prev == CLUS_END) {
                    // Nothing of this file can be claimed: it must not lead
                    // later writes into clusters that are not its own.
                    entries[e].clus = CLUS_END;
                    entries[e].size = 0;
                } else {
                    s->clus_table[prev] = CLUS_END;
                }
                break;
            }
            lower_free_count(s);
            s->clus_table[c] = link;
            prev = c;
            c = link;
        }
    }
    return true;
}

// Clusters no chain claimed are free: erased-looking ones are checked when
// first taken, the rest are erased when taken.
void release_unclaimed(dace_state *s) {
    // Only the allocator tells unclaimed clusters from free ones: the reads
    // of a read-only build follow claimed chains alone.
    if (kReadOnly)
        return;
    for (uint32_t j = 0; j < s->clus_count; ++j)
        if (is_unclaimed(s, s->clus_table[j]) || s->clus_table[j] == CLUS_HELD)
            s->clus_table[j] = CLUS_DIRTY;
}

// The first pass and the choice of the root. Out of line, so that the
// format's allocation does not run below the scan's frame.
__attribute__((noinline)) bool survey(dace_state *s, ScanFor why, Survey *scan) {
    for (uint32_t i = 0; i < s->clus_count; ++i)
        if (!scan_one(s, i, scan, why))
            return false;
    return choose_root(s, scan, why);
}

// The root that choose_root read and judged, loaded from that same image.
void load_root(dace_state *s, const Survey &scan) {
    const BestRoot &best = scan.best;
    lower_free_count(s);
    s->root_clus = best.clus;
    s->clus_table[best.clus] = CLUS_END;
    s->root = reinterpret_cast<dace_root *>(page_at(s, s->root_buf, best.page));
    s->root_page = best.page;
    s->root_end = static_cast<uint16_t>(best.page + s->root->pages);
    // Rule 1: pages after the current copy that are not blank hold a write
    // that was cut short; programming over them is unreliable, so the next
    // change moves the root to a fresh cluster (a read-only build makes
    // none).
    if (!kReadOnly) {
        const uint32_t tail = uint32_t{s->root_end} * s->page_size;
        if (!bytes_are_blank(s->root_buf + tail, s->clus_size - tail))
            s->root_sealed = 1;
    }
}

#ifndef DACE_READ_ONLY
// Writes the first, empty root copy of a volume at `seq`. The write's result
// is not needed here: a short write leaves the copy unsaved, and the next
// commit writes it again in a fresh cluster.
bool format(dace_state *s, uint32_t seq) {
    const int c = take_cluster(s, false);
    if (c < 0) {
        s->root_clus = kNoRoot;
        return fail(s, DACE_E_NO_ROOT_CLUSTER, false);
    }
    s->root_clus = static_cast<uint16_t>(c);
    s->root = reinterpret_cast<dace_root *>(s->root_buf);
    s->root_page = 0;
    s->root_end = 0;
    // One page, no entry, filled as dace_fill_root fills it (its head CRC
    // included, which the write then computes again, as the CRC callback
    // has always been called).
    dace_memset(s->root, 0, s->page_size);
    fill_header(s, s->root, 1, seq);
    s->root->head_crc = dace_root_head_crc(s, s->root);
    // Nothing else is open or pending: the copy is the whole commit.
    (void)write_root_copy(s);
    return true;
}

// A format that dace_init began on a medium without marks and that a power
// cut interrupted leaves one root cluster and no data anywhere; the next
// dace_init completes it. Another owner's volume shows more: data clusters,
// or a root cluster with more than an empty first copy. Reads that root
// cluster whole once more: the ranking may have read headers over it.
bool first_format_cut_short(dace_state *s, const Remnant &remnant) {
    if (remnant.clus == kNoRoot || !read_cluster(s, remnant.clus, s->root_buf))
        return false;
    // The ranking no longer needs the slot buffer it was kept in.
    return looks_like_format_remnant(s, s->root_buf, s->free_list->buf);
}
#endif // DACE_READ_ONLY

// Mounts what the medium holds; never writes or erases. A medium that
// holds no root that counts is refused: DACE_E_NOT_A_VOLUME without marks of
// this file system, else DACE_E_DAMAGED (rule 6: another configuration's
// volume, or one whose roots are damaged; formatting would lose it, and the
// caller decides); `remnant` then gets what dace_init decides a format on.
__attribute__((always_inline)) inline bool mount(dace_state *s, [[maybe_unused]] Remnant *remnant) {
    Survey scan;
    if (!survey(s, ScanFor::Mount, &scan))
        return false;
    if (scan.best.seq != 0) {
        load_root(s, scan);
        // Header reads of a chain (where links were not kept) use a slot
        // buffer that no file uses yet.
        if (!claim_chains(s, s->free_list->buf))
            return false;
        release_unclaimed(s);
        return true;
    }
    release_unclaimed(s);
    if (!kReadOnly && !scan.data_mark && scan.root_marks == 1)
        *remnant = Remnant{scan.last_root_mark};
    const bool marks = scan.data_mark || scan.root_marks != 0;
    return fail(s, marks ? DACE_E_DAMAGED : DACE_E_NOT_A_VOLUME, false);
}

#ifndef DACE_READ_ONLY
// Rule 11: a deliberate format commits the empty volume in one page, with a
// generation above every root found, so a power cut leaves the old volume
// or the new one (roots of another geometry or size are erased first).
// Everything else is erased as it is reused.
bool format_deliberately(dace_state *s) {
    Survey scan;
    if (!survey(s, ScanFor::Format, &scan))
        return false;
    release_unclaimed(s);
    // The old root stays in use until the new one has reached the medium.
    if (scan.best.seq != 0)
        s->clus_table[scan.best.clus] = CLUS_END;
    // (Generations would take billions of root moves to run out.)
    if (!format(s, scan.best.seq + 1))
        return false;
    if (scan.best.seq != 0) {
        hold_cluster(s, scan.best.clus);
        if (s->root_unsaved == 0)
            settle_held_clusters(s);
    }
    return true;
}

// ==== root copy-on-write =====================================================

void renumber_open_slots(dace_state *s, uint16_t dropped) {
    for (dace_file *f = s->open_list; f != nullptr; f = f->next)
        if (f->entry != kNoEntry && f->entry > dropped)
            --f->entry;
}

// Copies the current copy's header and entries to `dest`, leaving out entry
// `drop`. Copied in ascending order, so `dest` may lie at or below the source.
void copy_entries(dace_state *s, dace_root *dest, uint16_t drop) {
    const dace_root *src = s->root;
    const uint16_t count = src->count;
    auto *to = reinterpret_cast<uint8_t *>(dest);
    const auto *from = reinterpret_cast<const uint8_t *>(src);
    dace_memcpy(to, from, kRootHeaderSize);
    to += kRootHeaderSize;
    from += kRootHeaderSize;
    for (uint32_t i = 0; i < count; ++i, from += kEntrySize) {
        if (i == drop)
            continue;
        dace_memcpy(to, from, kEntrySize);
        to += kEntrySize;
    }
    if (drop < count) { // left out
        dest->count = static_cast<uint16_t>(count - 1);
        dace_memset(to, 0, kEntrySize);
    }
}

// Makes the staged copy a copy of the current one at page `page` of the root
// image, `need` pages long, without entry `drop`: header and entries, then
// zeroes up to `zero_to` bytes from its start (its end, or a moved root's
// whole image). The entries move in ascending order, so `page` may lie at
// or below the current copy.
void place_copy(dace_state *s, uint32_t page, uint32_t need, uint16_t drop, uint32_t zero_to) {
    auto *dest = reinterpret_cast<dace_root *>(page_at(s, s->root_buf, page));
    copy_entries(s, dest, drop);
    const uint32_t used = kRootHeaderSize + uint32_t{dest->count} * kEntrySize;
    dace_memset(reinterpret_cast<uint8_t *>(dest) + used, 0, zero_to - used);
    dest->pages = static_cast<uint16_t>(need);
    s->root = dest;
    s->root_page = static_cast<uint16_t>(page);
}

// Moves the current copy to page 0 of a freshly taken cluster with the next
// generation. Nothing reaches the medium until the commit; the old root
// cluster stays held, so it is not erased while it is still the root there
// (rule 3). A move swaps one cluster for another, so it may take from the
// reserve (rule 10).
bool move_root(dace_state *s, uint16_t need, uint16_t drop) {
    if (need > s->clus_pages || s->root_clus >= s->clus_count)
        return false;
    int taken = take_cluster(s, true);
    if (taken >= 0) {
        hold_cluster(s, s->root_clus);
    } else {
        // No cluster to move to. A root cluster whose one copy never reached
        // the medium whole holds nothing committed: the copy before it is in
        // the previous root cluster, which stays held. Erase it and start it
        // afresh rather than leave the volume unable to commit.
        if (s->root_unsaved == 0 || s->root_page != 0 || !erase_cluster(s, s->root_clus))
            return false;
        taken = s->root_clus;
    }

    place_copy(s, 0, need, drop, s->clus_size);
    ++s->root->seq;
    s->root_end = 0;
    s->root_clus = static_cast<uint16_t>(taken);
    s->root_sealed = 0;
    return true;
}

#endif // DACE_READ_ONLY

} // namespace

#ifndef DACE_READ_ONLY

// Stages a copy for `mode` (see dace_reopen_root): after the last copy on
// the medium while the root cluster has room, else at page 0 of a fresh
// root cluster. Nothing is written; the copy on the medium stays the one in
// force until the commit.
bool stage_root(dace_state *s, int mode, uint16_t drop) {
    // Only a removal leaves an entry out; anything else would shift entries
    // under open handles without renumbering them.
    const uint16_t dropped = mode == DACE_REOPEN_REMOVE ? drop : kNoEntry;
    const dace_root *copy = s->root;
    const bool staged = root_is_staged(s);
    uint32_t need = copy->pages;
    if (mode == DACE_REOPEN_APPEND && copy->count >= entry_capacity(s, need))
        ++need;
    // A staged copy changes where it lies, growing by a page when an entry
    // needs one; a committed one is copied after the last copy on the
    // medium. A staged copy is never in a sealed cluster: sealing moves the
    // next stage. Where the cluster has no room, the root moves.
    const uint32_t at = staged ? s->root_page : s->root_end;
    const uint32_t room = s->root_sealed != 0 ? 0u : uint32_t{s->clus_pages} - at;
    if (need > room) {
        if (!move_root(s, static_cast<uint16_t>(need), dropped))
            return fail(s, DACE_E_NO_ROOT_CLUSTER, false);
    } else if (!staged || need != copy->pages || dropped != kNoEntry) {
        place_copy(s, at, need, dropped, need * s->page_size);
    }
    if (mode == DACE_REOPEN_REMOVE)
        renumber_open_slots(s, drop);
    DACE_ASSERT(root_is_staged(s) && uint32_t{s->root_page} + s->root->pages <= s->clus_pages);
    // A copy written by an older writer may have no fill; it still fits.
    DACE_ASSERT(kRootHeaderSize + kEntrySize * uint32_t{s->root->count} <= uint32_t{s->root->pages} * s->page_size);
    return true;
}

namespace {

int write_root_copy(dace_state *s) {
    dace_root *copy = s->root;
    DACE_ASSERT(s->root_clus < s->clus_count && uint32_t{s->root_page} + copy->pages <= s->clus_pages);
    // Rule 6: every copy records the volume's size, also one staged from a
    // copy of a writer that did not.
    copy->clus_count = s->clus_count;
    copy->version = DACE_FORMAT_VERSION;
    copy->head_crc = dace_root_head_crc(s, copy);
    copy->files_crc = dace_root_files_crc(s, copy);
    const bool written = program_pages(s, s->root_clus, s->root_page, copy, uint32_t{copy->pages} * s->page_size);
    // The pages count as used whatever the write did.
    s->root_end = static_cast<uint16_t>(s->root_page + copy->pages);
    if (!written) {
        // Rule 2: a half-written copy ends the copy walk at mount, hiding
        // anything written after it here: close this cluster and keep the
        // change pending until it reaches the medium elsewhere.
        s->root_sealed = 1;
        s->root_unsaved = 1;
        return fail(s, DACE_E_WRITE_FAILED, -1);
    }
    s->root_unsaved = 0;
    settle_held_clusters(s);
    return 0;
}

} // namespace

// Writes the staged copy after the last copy on the medium, once every open
// file's pending cluster is written (rule 8). On return 0 the medium's
// newest valid copy is this one and held clusters may be erased; on -1 the
// medium still holds the previous copy and the change stays pending.
int commit_root(dace_state *s) {
    if (!root_is_staged(s)) {
        if (s->root_unsaved == 0)
            return 0;
        // The last write of this copy fell short: write it again, in a fresh
        // root cluster, since its own cluster takes no further copy.
        if (!stage_root(s, DACE_REOPEN_CHANGE, kNoEntry))
            return -1;
    }
    if (!write_out_open_files(s))
        return -1;
    return write_root_copy(s);
}
#endif // DACE_READ_ONLY

// The cluster after `clus` in the file, found by walking back from the
// newest; -1 when there is none. The walk is bounded and stays in the table
// whatever the links hold.
int next_in_chain(const dace_state *s, const dace_file *f, uint16_t clus) {
    if (f == nullptr || f->entry >= s->root->count)
        return -1;
    const uint16_t newest = entries_of(s->root)[f->entry].clus;
    if (newest == CLUS_END || newest == clus)
        return -1;
    uint16_t x = newest;
    for (uint32_t steps = 0; steps <= s->clus_count; ++steps) {
        if (x >= s->clus_count)
            return -1;
        const uint16_t before = s->clus_table[x];
        if (before == CLUS_END || before == clus)
            return x;
        x = before;
    }
    return -1;
}

} // namespace dace

using namespace dace;

extern "C" {

// ==== exported calls =========================================================

// ---- configuration, state block, mount ----------------------------------------

int dace_check_config(const dace_config *config) {
    const dace_config *cfg = config;
    if (cfg == nullptr)
        return DACE_CONFIG_NULL;
    if (cfg->update_fn == nullptr || cfg->crc_fn == nullptr || cfg->read_fn == nullptr ||
        cfg->write_fn == nullptr || cfg->erase_fn == nullptr)
        return DACE_CONFIG_CALLBACK;
    if (cfg->max_files == 0)
        return DACE_CONFIG_MAX_FILES;
    if (!is_power_of_two_or_zero(cfg->geometry_tag))
        return DACE_CONFIG_GEOMETRY_TAG;
    // clus_pages 0 passes the power-of-two test but would divide by zero.
    if (cfg->clus_pages == 0 || !is_power_of_two_or_zero(cfg->clus_pages))
        return DACE_CONFIG_CLUS_PAGES;
    const uint32_t clus_count = uint32_t{cfg->total_pages} / cfg->clus_pages;
    if (clus_count <= kFewestClusters)
        return DACE_CONFIG_TOO_FEW_CLUSTERS;
    // Geometry the format cannot represent: a root header must fit a page,
    // entries must stay 8-byte aligned, the cluster size is 16 bits and the
    // top cluster numbers are table codes.
    if (cfg->page_size < 32 || cfg->page_size % 8 != 0)
        return DACE_CONFIG_PAGE_SIZE;
    if (uint32_t{cfg->page_size} * cfg->clus_pages >= 65536)
        return DACE_CONFIG_CLUS_SIZE;
    if (clus_count > CLUS_BAD)
        return DACE_CONFIG_TOO_MANY_CLUSTERS;
    return state_size(cfg) == 0 ? DACE_CONFIG_STATE_SIZE : DACE_CONFIG_OK;
}

uint32_t dace_getstatesize(const dace_config *config) {
    return dace_check_config(config) == DACE_CONFIG_OK ? state_size(config) : 0;
}

dace_state *dace_mount(const dace_config *config, void *block) {
    dace_state *s = lay_out_checked(config, block);
    Remnant remnant;
    return s != nullptr && mount(s, &remnant) ? s : nullptr;
}

#ifndef DACE_READ_ONLY
// The mount, and a format where it found no marks of this file system, or
// only a first format cut short. Kept apart from the mount, so that
// firmware that formats only on its own decision carries none of it.
dace_state *dace_init(const dace_config *config, void *block) {
    dace_state *s = lay_out_checked(config, block);
    if (s == nullptr)
        return nullptr;
    Remnant remnant;
    if (mount(s, &remnant))
        return s;
    if (s->error != DACE_E_NOT_A_VOLUME && (s->error != DACE_E_DAMAGED || !first_format_cut_short(s, remnant)))
        return nullptr;
    begin(s);
    return format(s, 1) ? s : nullptr;
}
#endif

int dace_init_error(const void *block) {
    if (block == nullptr)
        return DACE_E_CONFIG;
    return load_u16(static_cast<const uint8_t *>(block) + offsetof(dace_state, error));
}

int dace_error(const dace_state *s) { return s->error; }

#ifndef DACE_READ_ONLY
int dace_erase_ahead(dace_state *s, uint16_t max) {
    begin(s);
    return erase_ahead(s, max);
}

dace_state *dace_format(const dace_config *config, void *block) {
    dace_state *s = lay_out_checked(config, block);
    return s != nullptr && format_deliberately(s) ? s : nullptr;
}
#endif

void dace_verify_reads(dace_state *s, int on) {
    begin(s);
    if (on != 0)
        s->options = static_cast<uint16_t>(s->options | DACE_OPT_VERIFY_READS);
    else
        s->options = static_cast<uint16_t>(s->options & ~DACE_OPT_VERIFY_READS);
}

#ifndef DACE_READ_ONLY
void dace_level_wear(dace_state *s, uint16_t start) {
    begin(s);
    s->alloc_cursor = static_cast<uint16_t>(start % s->clus_count);
    s->options = static_cast<uint16_t>(s->options | DACE_OPT_LEVEL_WEAR);
}
#endif

void dace_memcpy(void *dst, const void *src, uint32_t count) {
    auto *d = static_cast<uint8_t *>(dst);
    const auto *from = static_cast<const uint8_t *>(src);
    for (uint32_t i = 0; i < count; ++i)
        d[i] = from[i];
}

void dace_memset(void *dst, uint8_t fill, uint32_t count) {
    auto *d = static_cast<uint8_t *>(dst);
    for (uint32_t i = 0; i < count; ++i)
        d[i] = fill;
}

// ---- storage format -------------------------------------------------------------

// Tools judge copies with the configuration alone: nothing here reads the
// medium or needs a state block. Both refuse a configuration that
// dace_check_config refuses, or a missing image, as a copy without mark.
int dace_judge_copy(const dace_config *config, const void *clus_image, uint32_t page, uint32_t seq_before) {
    if (dace_check_config(config) != DACE_CONFIG_OK || clus_image == nullptr || page >= config->clus_pages)
        return DACE_COPY_NO_MARK;
    return judge_copy(rules_of(config), static_cast<const uint8_t *>(clus_image), page, seq_before, false);
}

int dace_walk_root(const dace_config *config, const void *clus_image, dace_root_walk *out) {
    if (out == nullptr)
        return DACE_COPY_NO_MARK;
    if (dace_check_config(config) != DACE_CONFIG_OK || clus_image == nullptr) {
        *out = dace_root_walk{0, 0, 0, 0, DACE_COPY_NO_MARK};
        return DACE_COPY_NO_MARK;
    }
    return walk_root(rules_of(config), static_cast<const uint8_t *>(clus_image), out);
}

uint16_t dace_root_head_crc(dace_state *s, const dace_root *copy) {
    return crc_over(s, s->crc_seed, copy, kHeadCrcBytes);
}

uint16_t dace_root_files_crc(dace_state *s, const dace_root *copy) {
    return crc_over(s, s->crc_seed, entries_of(copy), uint32_t{copy->count} * kEntrySize);
}

uint16_t dace_data_crc(dace_state *s, const void *image) {
    const auto *bytes = static_cast<const uint8_t *>(image);
    const uint16_t head = crc_over(s, s->crc_seed, bytes, 6);
    return crc_over(s, head, bytes + kClusHeaderSize, s->clus_payload);
}

#ifndef DACE_READ_ONLY
void dace_fill_root(dace_state *s, dace_root *copy, uint16_t pages, uint16_t count, uint32_t seq) {
    const uint32_t used = kRootHeaderSize + kEntrySize * uint32_t{count};
    const uint32_t span = uint32_t{pages} * s->page_size;
    if (used < span)
        dace_memset(reinterpret_cast<uint8_t *>(copy) + used, 0, span - used);
    fill_header(s, copy, pages, seq);
    copy->reserved2 = 0;
    copy->reserved3 = 0;
    copy->count = count;
    copy->head_crc = dace_root_head_crc(s, copy);
    copy->files_crc = 0;
}

int dace_commit_root(dace_state *s) {
    begin(s);
    return commit_root(s);
}

int dace_commit_clus(dace_state *s, uint16_t c, void *image) {
    begin(s);
    if (c >= s->clus_count || image == nullptr)
        return fail(s, DACE_E_INVALID_ARGUMENT, DACE_FAILED);
    return commit_cluster(s, c, static_cast<uint8_t *>(image), s->clus_size);
}

// Only the payload past the end of the file is blanked, in whichever of the
// file's clusters the buffer holds: what lies there is meaningless (or the
// bytes of another file that used the buffer before) and, left 0xFF, it
// need not be programmed at all.
void dace_clear_unused_data(dace_state *s, dace_file *f) {
    if (f != nullptr)
        (void)blank_past_end(s, f);
}
#endif // DACE_READ_ONLY

// ---- cluster table ------------------------------------------------------------

#ifndef DACE_READ_ONLY
int dace_alloc_clus(dace_state *s) {
    begin(s);
    return take_cluster(s, false);
}
#endif

int dace_next_clus(dace_state *s, const dace_file *f, uint16_t clus) {
    begin(s);
    return next_in_chain(s, f, clus);
}

uint32_t dace_getfreespace(dace_state *s, uint32_t *total) {
    begin(s);
    if (total != nullptr)
        *total = uint32_t{s->clus_count} * s->clus_size;
    return uint32_t{s->free_clus} * s->clus_size;
}

// ---- root copy-on-write ---------------------------------------------------------

#ifndef DACE_READ_ONLY

int dace_reopen_root(dace_state *s, int mode, uint16_t drop) {
    begin(s);
    return stage_root(s, mode, drop) ? 0 : 1;
}

void dace_copy_entries(dace_state *s, dace_root *dest, uint16_t drop) { copy_entries(s, dest, drop); }
#endif

} // extern "C"

