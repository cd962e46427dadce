// The medium and the allocator: the only calls of read_fn, write_fn and
// erase_fn; the cluster table's allocation and release rules and the free
// count; erases ahead of time; the walk from a file's newest cluster to the
// one after a given cluster. It calls nothing of the other units.
// "Rule N" refers to the numbered power-cut rules of docs/storage-format.md.
#include "dace/dace_internal.h"

namespace dace {

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

namespace {

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

} // namespace
#endif // DACE_READ_ONLY

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

#ifndef DACE_READ_ONLY
int dace_erase_ahead(dace_state *s, uint16_t max) {
    begin(s);
    return erase_ahead(s, max);
}

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


} // extern "C"
