// Files: handles and their slots, writing (the appends; the write-out and
// the commit are the commit path's), reading and positioning.
#include "dace/dace_internal.h"

namespace dace {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Stored names end at their first NUL or fill the field; at most 19 bytes of
// `name` are read.
bool name_matches(const dace_entry &e, const char *name) {
    for (uint32_t i = 0; i < kNameField; ++i) {
        const auto given = static_cast<uint8_t>(name[i]);
        if (given == 0)
            return e.name[i] == 0;
        if (e.name[i] != given)
            return false;
    }
    return name[kNameField] == 0;
}

// Moves the head of free_list to the head of open_list, at position 0 of
// the file at `entry`, its buffer holding `clus` (or no cluster).
dace_file *open_free_slot(dace_state *s, uint16_t entry, uint16_t clus) {
    dace_file *f = s->free_list;
    s->free_list = f->next;
    f->next = s->open_list;
    s->open_list = f;
    f->pos = 0;
    f->clus_off = 0;
    f->clus = clus;
    f->entry = entry;
    f->dirty = kClean;
    return f;
}

// Moves slot `f`, which follows `before` on open_list (null: f is its
// head), back to the head of free_list, closed.
void close_slot(dace_state *s, dace_file *f, dace_file *before) {
    if (before == nullptr)
        s->open_list = f->next;
    else
        before->next = f->next;
    f->next = s->free_list;
    s->free_list = f;
    f->entry = kNoEntry;
}

dace_handle handle_of(const dace_state *s, const dace_file *f) {
    return static_cast<dace_handle>(f - s->files) ^ HANDLE_MAGIC;
}

uint32_t min_u32(uint32_t a, uint32_t b) { return a < b ? a : b; }

// File offset at which the newest cluster of a file of `size` bytes begins.
uint32_t newest_cluster_start(uint32_t size, uint32_t payload) {
    return size == 0 ? 0 : (size - 1) / payload * payload;
}

// Loads cluster `c` of a file into `buf`. With verified reads on, the
// cluster must also carry the data mark, the link the chain gives it and a
// matching CRC; one that does not counts as one that cannot be read.
bool load_cluster(dace_state *s, uint16_t c, uint8_t *buf) {
    if (!read_cluster(s, c, buf))
        return fail(s, DACE_E_READ_FAILED, false);
    if ((s->options & DACE_OPT_VERIFY_READS) == 0)
        return true;
    const bool sound = load_u32(buf) == DATA_MAGIC && load_u16(buf + 4) == s->clus_table[c] &&
                       load_u16(buf + 6) == data_crc(s, buf);
    return sound || fail(s, DACE_E_DAMAGED, false);
}

// The cluster that holds file offset `target`, found by walking back from
// the newest cluster, and the offset at which that cluster begins. A
// boundary gives the later cluster, except the end of a file of whole
// payloads, which gives the newest. False when the chain does not reach
// back that far (a header that could not be read at mount ends it early).
bool find_cluster(const dace_state *s, const dace_entry &e, uint32_t target, uint16_t *clus, uint32_t *start) {
    const uint32_t payload = s->clus_payload;
    uint32_t at = newest_cluster_start(e.size, payload);
    uint16_t c = e.clus;
    for (uint32_t steps = 0; target < at && c < s->clus_count && steps < s->clus_count; ++steps) {
        c = s->clus_table[c];
        at -= payload;
    }
    *clus = c;
    *start = at;
    if (c >= s->clus_count || target < at)
        return false;
    // Verified reads also hold the chain to the length the size gives it:
    // a link that led elsewhere would serve another cluster's bytes.
    return at != 0 || (s->options & DACE_OPT_VERIFY_READS) == 0 || s->clus_table[c] == CLUS_END;
}

// Clusters above `c` that the successor lookup tries before it walks the
// chain: a file written while free clusters are at hand takes them in
// ascending order, so its next cluster is usually just above.
constexpr uint32_t kNearbyClusters = 4;

// The cluster after `c` in the file of slot f, -1 when there is none. A
// cluster in use names its predecessor, and no two name the same one: the
// allocator hands each out once, a moved cluster gives its link up, and the
// mount claims each cluster for one chain only. So a cluster that names `c`
// is its successor, and only when none is found close by does the walk from
// the newest cluster (O(chain length)) run.
int next_cluster(dace_state *s, const dace_file *f, uint16_t c) {
    const uint32_t current = c;
    for (uint32_t x = current + 1; x <= current + kNearbyClusters && x < s->clus_count; ++x)
        if (s->clus_table[x] == c)
            return static_cast<int>(x);
    return next_in_chain(s, f, c);
}

// Puts the slot at `target` and loads the cluster that holds it. On failure
// the position has moved but the buffer is marked as not holding the cluster.
bool load_position(dace_state *s, dace_file *f, uint32_t target) {
    const dace_entry &e = entry_of(s, f);
    f->pos = target;
    if (e.clus == CLUS_END) {
        // A file without clusters holds no byte; only its start is a place.
        f->clus = CLUS_END;
        f->clus_off = target == 0 ? 0 : kStaleOffset;
        return target == 0 || fail(s, DACE_E_DAMAGED, false);
    }
    uint32_t start = 0;
    const bool found = find_cluster(s, e, target, &f->clus, &start) || fail(s, DACE_E_DAMAGED, false);
    if (!found || !load_cluster(s, f->clus, f->buf)) {
        f->clus_off = kStaleOffset;
        return false;
    }
    f->clus_off = static_cast<uint16_t>(target - start);
    return true;
}

#ifndef DACE_READ_ONLY
// Moves the slot of file `e` on from its full cluster (or from none) to a
// fresh one that follows it. The full cluster goes to the medium first
// (bytes that do not reach it stay in the buffer for a later write or flush
// to try again); the buffer then serves the allocator's read-back check.
// Out of line, so that the write loop keeps few registers.
__attribute__((noinline)) bool start_next_cluster(dace_state *s, dace_file *f, dace_entry *e) {
    if (!write_out_pending(s, f))
        return false;
    const int n = take_cluster(s, false, f->buf);
    if (n < 0) {
        // The buffer no longer holds the full cluster.
        if (f->clus != CLUS_END)
            f->clus_off = kStaleOffset;
        return false;
    }
    s->clus_table[n] = f->clus;
    f->clus = static_cast<uint16_t>(n);
    e->clus = f->clus;
    f->clus_off = 0;
    return true;
}

// The steps of a write, in order.

// The buffer must hold the file's newest cluster before it is carried over
// or filled; unwritten bytes are never dropped to reload it.
bool hold_newest_cluster(dace_state *s, dace_file *f) {
    if (f->clus_off != kStaleOffset && f->clus == entry_of(s, f).clus)
        return true;
    if (f->dirty != kClean)
        return fail(s, DACE_E_WRITE_FAILED, false);
    return load_position(s, f, f->pos);
}

// Rule 9: the newest cluster is on the medium and named by the committed
// root: its content is carried over to a fresh cluster rather than
// rewritten. A full one stays where it is; the next byte starts a cluster
// after it.
bool carry_over(dace_state *s, dace_file *f, dace_entry *e) {
    if (f->dirty != kClean || e->clus == CLUS_END || f->clus_off >= s->clus_payload)
        return true;
    const int n = take_cluster(s, false);
    if (n < 0)
        return false;
    s->clus_table[n] = s->clus_table[f->clus];
    release_cluster(s, f->clus);
    e->clus = static_cast<uint16_t>(n);
    f->clus = static_cast<uint16_t>(n);
    f->dirty = kPending;
    return true;
}

// Copies `count` bytes into the slot's buffer, taking a cluster after each
// full one; the bytes taken (fewer when no cluster could be had or a
// write-out fell short, with the reason recorded).
uint32_t append(dace_state *s, dace_file *f, dace_entry *e, const uint8_t *src, uint32_t count) {
    uint32_t total = 0;
    while (total < count) {
        uint32_t room = uint32_t{s->clus_payload} - f->clus_off;
        if (room == 0 || f->clus == CLUS_END) {
            if (!start_next_cluster(s, f, e))
                break;
            room = s->clus_payload;
        }
        const uint32_t k = min_u32(room, count - total);
        copy_bytes(f->buf + kClusHeaderSize + f->clus_off, src + total, k);
        f->clus_off = static_cast<uint16_t>(f->clus_off + k);
        f->pos += k;
        e->size += k;
        total += k;
        if (f->dirty == kClean)
            f->dirty = kPending;
    }
    return total;
}
#endif // DACE_READ_ONLY

} // namespace

#ifndef DACE_READ_ONLY
void store_name(dace_entry *e, const char *name) {
    uint32_t length = 0;
    while (length < kNameField && name[length] != '\0')
        ++length;
    dace_memcpy(e->name, name, length);
    if (length < kNameField)
        e->name[length] = 0;
}

void fit_slots_to_truncation(dace_state *s, uint16_t entry, uint32_t released_from) {
    for (dace_file *f = s->open_list; f != nullptr; f = f->next) {
        if (f->entry != entry)
            continue;
        const uint32_t length = entry_of(s, f).size;
        const uint32_t target = min_u32(f->pos, length);
        if (f->clus_off == kStaleOffset || f->clus == CLUS_END) {
            f->pos = target;
            continue;
        }
        const uint32_t start = f->pos - f->clus_off;
        DACE_ASSERT(start >= released_from || (target >= start && target - start <= s->clus_payload));
        if (start >= released_from) {
            // The buffer's cluster was given back: its bytes, written or
            // not, lie past the new end. The next read or write loads the
            // cluster that holds the position from the chain.
            f->dirty = kClean;
            f->clus_off = kStaleOffset;
        } else {
            // A kept cluster holds the new end whenever the position lay
            // beyond it, so the position moves within the buffer; unwritten
            // bytes below the new end stay pending.
            f->clus_off = static_cast<uint16_t>(target - start);
        }
        f->pos = target;
    }
}
#endif // DACE_READ_ONLY

// Where a by-name call finds `name`: its entry's position, or -1 with the
// reason (a name against the name rules cannot be on the medium).
int find_named(dace_state *s, const char *name) {
    const int rule = dace_check_filename(name);
    if (rule != DACE_NAME_OK)
        return fail(s, rule == DACE_NAME_TOO_LONG ? DACE_E_NAME_TOO_LONG : DACE_E_NAME_INVALID, -1);
    const int found = find_file(s, name);
    return found >= 0 ? found : fail(s, DACE_E_NO_FILE, -1);
}

int find_file(const dace_state *s, const char *name) {
    if (name == nullptr)
        return -1;
    const dace_entry *entries = entries_of(s->root);
    for (uint32_t i = 0; i < s->root->count; ++i)
        if (name_matches(entries[i], name))
            return static_cast<int>(i);
    return -1;
}


} // namespace dace

using namespace dace;

extern "C" {

// ---- names ----------------------------------------------------------------

int dace_check_filename(const char *name) {
    if (name == nullptr || name[0] == '\0')
        return DACE_NAME_EMPTY;
    for (uint32_t i = 0; i <= kNameField; ++i) {
        if (name[i] == '\0')
            return DACE_NAME_OK;
        if (is_separator(name[i]))
            return DACE_NAME_SEPARATOR;
    }
    return DACE_NAME_TOO_LONG;
}

int dace_find_file(dace_state *s, const char *name) {
    begin(s);
    return find_file(s, name);
}

// ---- handles ----------------------------------------------------------------

#ifndef DACE_READ_ONLY
// The name rules first, then what the directory and the slots allow.
dace_handle dace_create(dace_state *s, const char *name) {
    begin(s);
    const int rule = dace_check_filename(name);
    if (rule != DACE_NAME_OK)
        return fail(s, rule == DACE_NAME_TOO_LONG ? DACE_E_NAME_TOO_LONG : DACE_E_NAME_INVALID, dace_handle{0});
    if (find_file(s, name) >= 0)
        return fail(s, DACE_E_NAME_TAKEN, dace_handle{0});
    const uint16_t position = s->root->count;
    if (position >= s->max_entries)
        return fail(s, DACE_E_DIRECTORY_FULL, dace_handle{0});
    if (s->free_list == nullptr)
        return fail(s, DACE_E_TOO_MANY_OPEN, dace_handle{0});
    if (!stage_root(s, DACE_REOPEN_APPEND, kNoEntry))
        return 0;

    dace_file *f = open_free_slot(s, position, CLUS_END);

    s->root->count = static_cast<uint16_t>(position + 1);
    dace_entry *e = &entries_of(s->root)[position];
    dace_memset(e, 0, kEntrySize);
    e->clus = CLUS_END;
    e->size = 0;
    s->update_fn(s->update_ctx, e);
    store_name(e, name);
    return handle_of(s, f);
}
#endif // DACE_READ_ONLY

dace_handle dace_open(dace_state *s, const char *name) {
    begin(s);
    const int found = find_named(s, name);
    if (found < 0)
        return 0;
    if (s->free_list == nullptr)
        return fail(s, DACE_E_TOO_MANY_OPEN, dace_handle{0});
    const auto position = static_cast<uint16_t>(found);
    if (entry_is_open(s, position))
        return fail(s, DACE_E_FILE_OPEN, dace_handle{0});

    // Position 0 is in the first cluster in file order: as many steps back
    // along the chain as the file has clusters after it. A chain that ends
    // sooner cannot give the file's first bytes, and the slot goes back.
    dace_file *f = open_free_slot(s, position, CLUS_END);
    if (load_position(s, f, 0))
        return handle_of(s, f);
    close_slot(s, f, nullptr);
    return 0;
}

int dace_close(dace_state *s, dace_handle handle) {
    begin(s);
    dace_file *f = slot_of(s, handle);
    if (f == nullptr)
        return fail(s, DACE_E_BAD_HANDLE, DACE_CLOSE_BAD_HANDLE);
    dace_file *before = nullptr;
    dace_file *at = s->open_list;
    while (at != nullptr && at != f) {
        before = at;
        at = at->next;
    }
    if (at == nullptr)
        return fail(s, DACE_E_BAD_HANDLE, DACE_CLOSE_NOT_OPEN);
    // A read-only build holds nothing that a close could write.
#ifndef DACE_READ_ONLY
    if (flush_slot(s, f) != DACE_OK)
        return DACE_CLOSE_WRITE_FAILED;
#endif
    close_slot(s, f, before);
    return DACE_OK;
}

// ---- writing ----------------------------------------------------------------

#ifndef DACE_READ_ONLY

int dace_flush(dace_state *s, dace_handle handle) {
    begin(s);
    return flush_slot(s, open_slot_of(s, handle));
}

uint32_t dace_write(dace_state *s, const void *data, uint32_t count, dace_handle handle) {
    begin(s);
    dace_file *f = open_slot_of(s, handle);
    if (f == nullptr)
        return fail(s, DACE_E_BAD_HANDLE, 0u);
    if (data == nullptr)
        return fail(s, DACE_E_INVALID_ARGUMENT, 0u);
    if (f->pos != entry_of(s, f).size)
        return fail(s, DACE_E_NOT_AT_END, 0u);
    if (!hold_newest_cluster(s, f))
        return 0;
    // A change that no root copy can take would never become durable.
    if (!stage_root(s, DACE_REOPEN_CHANGE, kNoEntry))
        return 0;
    dace_entry *e = &entry_of(s, f); // the copy may have moved
    if (!carry_over(s, f, e))
        return 0;
    uint32_t fits = count;
    if (fits > 0xFFFFFFFFu - e->size)
        fits = fail(s, DACE_E_FILE_TOO_LARGE, 0xFFFFFFFFu - e->size);
    const uint32_t total = append(s, f, e, static_cast<const uint8_t *>(data), fits);
    s->update_fn(s->update_ctx, e);
    return total;
}
#endif // DACE_READ_ONLY

// ---- reading and positioning -------------------------------------------------

uint32_t dace_read(dace_state *s, void *dst, uint32_t count, dace_handle handle) {
    begin(s);
    dace_file *f = open_slot_of(s, handle);
    if (f == nullptr)
        return fail(s, DACE_E_BAD_HANDLE, 0u);
    if (dst == nullptr)
        return fail(s, DACE_E_INVALID_ARGUMENT, 0u);
    const uint32_t size = entry_of(s, f).size;
    // A position past the end (the file was shortened) has nothing to read.
    if (f->pos >= size || count == 0)
        return 0;
    if ((f->clus_off == kStaleOffset || f->clus == CLUS_END) && !load_position(s, f, f->pos))
        return 0;
    // A file with bytes but no cluster (a damaged entry) has nothing to give.
    if (f->clus == CLUS_END)
        return fail(s, DACE_E_DAMAGED, 0u);
    auto *out = static_cast<uint8_t *>(dst);
    uint32_t remaining = size - f->pos;
    uint32_t total = 0;
    while (count > 0 && remaining > 0) {
        uint32_t room = uint32_t{s->clus_payload} - f->clus_off;
        if (room == 0) {
            const int n = next_cluster(s, f, f->clus);
            if (n < 0) {
                (void)fail(s, DACE_E_DAMAGED, 0);
                break;
            }
            if (!load_cluster(s, static_cast<uint16_t>(n), f->buf)) {
                // The buffer no longer holds `clus` whole; whatever uses it
                // next loads the cluster at the position again.
                f->clus_off = kStaleOffset;
                break;
            }
            f->clus = static_cast<uint16_t>(n);
            f->clus_off = 0;
            room = s->clus_payload;
        }
        const uint32_t k = min_u32(min_u32(room, remaining), count);
        copy_bytes(out, f->buf + kClusHeaderSize + f->clus_off, k);
        f->clus_off = static_cast<uint16_t>(f->clus_off + k);
        f->pos += k;
        out += k;
        remaining -= k;
        count -= k;
        total += k;
    }
    return total;
}

int dace_seek(dace_state *s, dace_handle handle, uint32_t offset, int whence) {
    begin(s);
    dace_file *f = open_slot_of(s, handle);
    if (f == nullptr)
        return fail(s, DACE_E_BAD_HANDLE, DACE_SEEK_FAILED);
    const uint32_t size = entry_of(s, f).size;
    uint32_t target = 0;
    switch (whence) {
    case DACE_SEEK_SET:
        target = offset;
        break;
    case DACE_SEEK_CUR:
        target = f->pos + offset;
        break;
    case DACE_SEEK_END:
        target = size - offset;
        break;
    default:
        return fail(s, DACE_E_INVALID_ARGUMENT, DACE_SEEK_BAD_WHENCE);
    }
    if (target > size)
        return fail(s, DACE_E_BEYOND_END, DACE_SEEK_BEYOND_END);
    // A seek commits, as a flush does; a read-only build has nothing to
    // commit.
#ifndef DACE_READ_ONLY
    if (flush_slot(s, f) != DACE_OK)
        return DACE_SEEK_FLUSH_FAILED;
#endif
    if (target == f->pos && f->clus_off != kStaleOffset)
        return DACE_OK;
    return load_position(s, f, target) ? DACE_OK : DACE_SEEK_FAILED;
}

uint32_t dace_tell(dace_state *s, dace_handle handle) {
    begin(s);
    const dace_file *f = open_slot_of(s, handle);
    return f == nullptr ? fail(s, DACE_E_BAD_HANDLE, 0xFFFFFFFFu) : f->pos;
}

int dace_feof(dace_state *s, dace_handle handle) {
    begin(s);
    const dace_file *f = open_slot_of(s, handle);
    if (f == nullptr)
        return fail(s, DACE_E_BAD_HANDLE, DACE_FAILED);
    return f->pos >= entry_of(s, f).size ? 1 : 0;
}

} // extern "C"
