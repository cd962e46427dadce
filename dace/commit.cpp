// The commit path, in one place: staging a root copy (the directory's
// copy-on-write, root moves), a data cluster's write-out (its header, its
// CRC and the blank tail past the end of the file), the write-out of every
// open file's pending cluster, and the root copy's write. Files, the
// directory operations and the format call it; it calls the medium and the
// allocator, and the root log's header and CRCs. A read-only build has
// none of it.
// "Rule N" refers to the numbered power-cut rules of docs/storage-format.md.
#include "dace/dace_internal.h"

#ifndef DACE_READ_ONLY
namespace dace {
namespace {

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
        return fail(s, DACE_E_NO_ROOT_CLUSTER, false);
    // A generation that wrapped to 0 would never be chosen: the mount would
    // bring back the old root and the files of its day.
    if (s->root->seq == kLastGeneration)
        return fail(s, DACE_E_LAST_GENERATION, false);
    int taken = take_cluster(s, true);
    if (taken >= 0) {
        hold_cluster(s, s->root_clus);
    } else {
        // No cluster to move to. A root cluster whose one copy never reached
        // the medium whole holds nothing committed: the copy before it is in
        // the previous root cluster, which stays held. Erase it and start it
        // afresh rather than leave the volume unable to commit.
        if (s->root_unsaved == 0 || s->root_page != 0 || !erase_cluster(s, s->root_clus))
            return fail(s, DACE_E_NO_ROOT_CLUSTER, false);
        taken = s->root_clus;
    }

    place_copy(s, 0, need, drop, s->clus_size);
    ++s->root->seq;
    s->root_end = 0;
    s->root_clus = static_cast<uint16_t>(taken);
    s->root_sealed = 0;
    return true;
}

// ==== data clusters ==========================================================

int commit_cluster(dace_state *s, uint16_t c, uint8_t *image, uint32_t bytes_held) {
    store_u32(image, DATA_MAGIC);
    store_u16(image + 4, s->clus_table[c]);
    store_u16(image + 6, data_crc(s, image));
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

// Rule 9: a cluster that a write left partly programmed cannot take other
// bytes (its CRC changes at least), so the image moves to a fresh cluster
// and the spoilt one goes to be erased. No root copy names it: a copy is written only
// once every pending cluster is. The move is a swap and leaves free_clus as
// it was. With no cluster to move to, the spoilt one is erased in place.
bool move_spoilt_cluster(dace_state *s, dace_file *f) {
    const int n = take_cluster(s, true);
    if (n < 0)
        return erase_cluster(s, f->clus) || fail(s, DACE_E_ERASE_FAILED, false);
    DACE_ASSERT(f->clus == entry_of(s, f).clus);
    s->clus_table[n] = s->clus_table[f->clus];
    s->clus_table[f->clus] = CLUS_DIRTY;
    f->clus = static_cast<uint16_t>(n);
    entry_of(s, f).clus = f->clus;
    return true;
}

// The cluster write-out: the slot's buffer, with header and CRC, to its
// cluster. True when the whole cluster was written.
bool write_out_cluster(dace_state *s, dace_file *f) {
    if (f->dirty == kWriteFellShort && !move_spoilt_cluster(s, f))
        return false;
    if (f->clus >= s->clus_count)
        return fail(s, DACE_E_DAMAGED, false);
    if (commit_cluster(s, f->clus, f->buf, blank_past_end(s, f)) == 0)
        return true;
    f->dirty = kWriteFellShort;
    return false;
}


} // namespace

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
            return false;
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

int write_root_copy(dace_state *s) {
    dace_root *copy = s->root;
    DACE_ASSERT(s->root_clus < s->clus_count && uint32_t{s->root_page} + copy->pages <= s->clus_pages);
    // Rule 6: every copy records the volume's size, also one staged from a
    // copy of a writer that did not.
    copy->clus_count = s->clus_count;
    copy->version = DACE_FORMAT_VERSION;
    const uint16_t pages = copy->pages;
    const uint16_t count = copy->count;
    // The CRCs cover the bytes the medium holds: the copy is written in the
    // medium's byte order and turned back after.
    swap_copy(copy, count);
    copy->head_crc = le(head_crc(s, copy));
    copy->files_crc = le(files_crc(s, copy));
    const bool written = program_pages(s, s->root_clus, s->root_page, copy, uint32_t{pages} * s->page_size);
    swap_copy(copy, count);
    // The pages count as used whatever the write did.
    s->root_end = static_cast<uint16_t>(s->root_page + pages);
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

// Writes out the slot's buffer if it holds anything the medium does not.
bool write_out_pending(dace_state *s, dace_file *f) {
    if (f->dirty == kClean)
        return true;
    if (!write_out_cluster(s, f))
        return false;
    f->dirty = kClean;
    return true;
}

int flush_slot(dace_state *s, dace_file *f) {
    if (f == nullptr)
        return fail(s, DACE_E_BAD_HANDLE, DACE_FAILED);
    if (!write_out_pending(s, f))
        return DACE_FAILED;
    // The commit writes out every other open file's pending cluster first.
    return commit_root(s);
}

// Rule 8: the clusters a commit writes before its root copy.
bool write_out_open_files(dace_state *s) {
    for (dace_file *f = s->open_list; f != nullptr; f = f->next)
        if (!write_out_pending(s, f))
            return false;
    return true;
}


} // namespace dace

using namespace dace;

extern "C" {

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

int dace_reopen_root(dace_state *s, int mode, uint16_t drop) {
    begin(s);
    return stage_root(s, mode, drop) ? 0 : 1;
}

void dace_copy_entries(dace_state *s, dace_root *dest, uint16_t drop) { copy_entries(s, dest, drop); }

int dace_flush_impl(dace_state *s, dace_file *f) {
    begin(s);
    return flush_slot(s, f);
}


} // extern "C"
#endif // DACE_READ_ONLY
