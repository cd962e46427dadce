// Directory operations: remove, rename and truncate by name, each committed
// before it returns; stat by name and by handle; the directory walk.
#include "dace/dace_internal.h"

// A read-only build (DACE_READ_ONLY) keeps only the queries.
#ifndef DACE_READ_ONLY
namespace dace {
namespace {

// Gives back up to `count` clusters of a chain, newest first, starting at
// `newest`; returns the newest cluster left, CLUS_END when none is. Released
// clusters stay held until a root copy without them reaches the medium, so
// the copy in force never names an erased cluster. A released cluster no
// longer reads as a link, which ends a chain that loops back on itself.
uint16_t release_newest(dace_state *s, uint16_t newest, uint32_t count) {
    uint16_t c = newest;
    for (uint32_t i = 0; i < count && c < s->clus_count; ++i) {
        const uint16_t before = s->clus_table[c];
        if (before != CLUS_END && before >= s->clus_count)
            return CLUS_END; // not a chain member: the chain was damaged
        release_cluster(s, c);
        c = before;
    }
    return c;
}

// Clusters that hold a file of `size` bytes.
uint32_t clusters_for(uint32_t size, uint32_t payload) {
    return size / payload + (size % payload != 0 ? 1 : 0);
}

// Stages a copy without entry `position` and releases the file's chain;
// false when the root had to move and no cluster could be had.
bool stage_without(dace_state *s, uint16_t position) {
    const uint16_t newest = entries_of(s->root)[position].clus;
    if (!stage_root(s, DACE_REOPEN_REMOVE, position))
        return false;
    release_newest(s, newest, s->clus_count);
    return true;
}

// The last step of every change by name: the staged copy to the medium.
int commit_change(dace_state *s) { return commit_root(s) == 0 ? DACE_OK : DACE_WRITE_FAILED; }

// Gives the file at `position` its new name and commits.
int rename_entry(dace_state *s, uint16_t position, const char *new_name) {
    if (!stage_root(s, DACE_REOPEN_CHANGE, kNoEntry))
        return DACE_NO_ROOM;
    dace_entry *e = &entries_of(s->root)[position];
    store_name(e, new_name);
    s->update_fn(s->update_ctx, e);
    return commit_change(s);
}

// A new name for a file: DACE_OK, or DACE_REFUSED with the reason when it
// breaks the name rules.
int check_new_name(dace_state *s, const char *name) {
    const int rule = dace_check_filename(name);
    if (rule == DACE_NAME_OK)
        return DACE_OK;
    return fail(s, rule == DACE_NAME_TOO_LONG ? DACE_E_NAME_TOO_LONG : DACE_E_NAME_INVALID, DACE_REFUSED);
}

} // namespace
} // namespace dace
#endif // DACE_READ_ONLY

using namespace dace;

extern "C" {

// ---- changes by name ------------------------------------------------------

#ifndef DACE_READ_ONLY

int dace_remove(dace_state *s, const char *name) {
    begin(s);
    const int found = find_named(s, name);
    if (found < 0)
        return DACE_NO_FILE;
    const auto position = static_cast<uint16_t>(found);
    if (entry_is_open(s, position))
        return fail(s, DACE_E_FILE_OPEN, DACE_REFUSED);
    if (!stage_without(s, position))
        return DACE_NO_ROOM;
    return commit_change(s);
}

int dace_rename(dace_state *s, const char *old_name, const char *new_name) {
    begin(s);
    const int found = find_named(s, old_name);
    if (found < 0)
        return DACE_NO_FILE;
    if (check_new_name(s, new_name) != DACE_OK)
        return DACE_REFUSED;
    return rename_entry(s, static_cast<uint16_t>(found), new_name);
}

int dace_rename_replace(dace_state *s, const char *old_name, const char *new_name) {
    begin(s);
    const int found = find_named(s, old_name);
    if (found < 0)
        return DACE_NO_FILE;
    if (check_new_name(s, new_name) != DACE_OK)
        return DACE_REFUSED;
    const int bearer = find_file(s, new_name);
    if (bearer < 0 || bearer == found)
        return rename_entry(s, static_cast<uint16_t>(found), new_name);
    const auto drop = static_cast<uint16_t>(bearer);
    if (entry_is_open(s, drop))
        return fail(s, DACE_E_FILE_OPEN, DACE_REFUSED);
    // One staged copy both drops the file that bore the name and renames the
    // other, so a power cut leaves either the old pair or the new name alone.
    if (!stage_without(s, drop))
        return DACE_NO_ROOM;
    dace_entry *e = &entries_of(s->root)[found > bearer ? found - 1 : found];
    store_name(e, new_name);
    s->update_fn(s->update_ctx, e);
    return commit_change(s);
}

int dace_truncate(dace_state *s, const char *name, uint32_t length) {
    begin(s);
    const int found = find_named(s, name);
    if (found < 0)
        return DACE_NO_FILE;
    const auto position = static_cast<uint16_t>(found);
    const uint32_t size = entries_of(s->root)[position].size;
    if (length > size)
        return fail(s, DACE_E_BEYOND_END, DACE_REFUSED);
    if (!stage_root(s, DACE_REOPEN_CHANGE, kNoEntry))
        return DACE_NO_ROOM;
    dace_entry *e = &entries_of(s->root)[position];
    const uint32_t payload = s->clus_payload;
    const uint32_t kept = clusters_for(length, payload);
    // A file cut to nothing gives up its whole chain, however long the
    // mount found it.
    if (length != size)
        e->clus = release_newest(s, e->clus, kept == 0 ? s->clus_count : clusters_for(size, payload) - kept);
    // Rule 1: a root copy holds only entries the library can have written,
    // bytes exactly when there is a cluster; a chain that ended before the
    // new length (damage the mount cut short) leaves no bytes to keep.
    e->size = e->clus == CLUS_END ? 0 : length;
    fit_slots_to_truncation(s, position, kept * payload);
    s->update_fn(s->update_ctx, e);
    return commit_change(s);
}
#endif // DACE_READ_ONLY

// ---- queries ----------------------------------------------------------------

// Results of dace_stat: found, or no such file.
constexpr int kFound = 0;

int dace_stat(dace_state *s, const char *name, dace_entry *out) {
    begin(s);
    if (name == nullptr || out == nullptr)
        return fail(s, DACE_E_INVALID_ARGUMENT, DACE_FAILED);
    const int found = find_named(s, name);
    if (found < 0)
        return DACE_NO_FILE;
    dace_memcpy(out, &entries_of(s->root)[found], kEntrySize);
    return kFound;
}

int dace_statf(dace_state *s, dace_handle handle, dace_entry *out) {
    begin(s);
    const dace_file *f = slot_of(s, handle);
    if (f == nullptr || f->entry >= s->root->count)
        return fail(s, DACE_E_BAD_HANDLE, DACE_FAILED);
    if (out == nullptr)
        return fail(s, DACE_E_INVALID_ARGUMENT, DACE_FAILED);
    dace_memcpy(out, &entries_of(s->root)[f->entry], kEntrySize);
    return DACE_OK;
}

dace_dir *dace_opendir(dace_state *s, dace_dir *dir) {
    begin(s);
    if (dir == nullptr)
        return fail(s, DACE_E_INVALID_ARGUMENT, dir);
    dir->index = 0;
    return dir;
}

dace_entry *dace_readdir(dace_state *s, dace_dir *dir) {
    begin(s);
    if (dir == nullptr)
        return fail(s, DACE_E_INVALID_ARGUMENT, static_cast<dace_entry *>(nullptr));
    if (dir->index >= s->root->count)
        return nullptr;
    dace_memcpy(&dir->entry, &entries_of(s->root)[dir->index], kEntrySize);
    ++dir->index;
    return &dir->entry;
}

} // extern "C"
