// Which root copy counts: the rules that judge a root copy and walk a root
// cluster's log, shared by the mount and by the tools that read images;
// the header a writer gives a copy; the CRC framing of root copies and
// data clusters. Nothing here reads or writes the medium.
// "Rule N" refers to the numbered power-cut rules of docs/storage-format.md.
#include "dace/dace_internal.h"

namespace dace {
namespace {

uint16_t crc_over(const dace_state *s, uint16_t seed, const void *data, uint32_t count) {
    return static_cast<uint16_t>(s->crc_fn(s->crc_ctx, seed, data, count));
}

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
    return le(copy->page_size) == r.page_size && le(copy->clus_pages) == r.clus_pages &&
           le(copy->geometry_tag) == r.geometry_tag;
}

// A copy's header is trusted only as far as it stays inside the cluster.
// Entries that fit its pages are no more than a cluster holds (max_entries).
bool copy_fits(const CopyRules &r, const dace_root *copy, uint32_t page) {
    const uint32_t pages = le(copy->pages);
    return pages != 0 && page + pages <= r.clus_pages &&
           kRootHeaderSize + kEntrySize * uint32_t{le(copy->count)} <= pages * r.page_size;
}

// The header fields that every writer writes as fixed values: the reserved
// bytes zero, and either no recorded size (writers before the size was
// recorded) or this format's version with a cluster count.
bool fixed_fields_hold(const dace_root *copy) {
    return copy->reserved2 == 0 && copy->reserved3 == 0 && le(copy->version) <= DACE_FORMAT_VERSION &&
           (copy->version == 0) == (copy->clus_count == 0);
}

// Rule 1: the bytes of a copy after its header, up to `span`, as a writer
// leaves them: zero fill after the entries, and no entry of erased bytes (a
// file with bytes has a cluster). A copy cut short by a power cut shows
// erased or half-programmed bytes there even when its CRCs happen to match.
bool body_is_whole(const dace_root *copy, uint32_t span) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(copy);
    const uint32_t entries_end = kRootHeaderSize + kEntrySize * uint32_t{le(copy->count)};
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
    const uint16_t clus = le(e.clus);
    if (clus != CLUS_END && clus >= CLUS_BAD)
        return false;
    return (e.size == 0) == (clus == CLUS_END);
}

// Rule 5: a copy that names another geometry refuses the mount only when a
// writer of that geometry can have written it whole: an extent inside its
// own cluster and CRC fields that do not read erased (checked here), and its
// entries' CRC and its fill as a writer leaves them, as far as the bytes
// read reach (body_verdict). A header torn by a power cut has erased bytes
// behind the tear, and weakly programmed bits can give it any field and,
// once in 65536 reads, a head CRC equal to the erased CRC field.
// An empty directory's files CRC is the CRC over zero bytes, the seed: with
// a seed of 0xFFFF every whole empty copy holds an erased-looking files CRC,
// so that field tells nothing of a tear there (body_verdict still checks it
// against the CRC over zero bytes).
bool foreign_extent_holds(const dace_root *copy) {
    const uint32_t pages = le(copy->pages);
    const uint32_t page_size = le(copy->page_size);
    const uint32_t used = kRootHeaderSize + kEntrySize * uint32_t{le(copy->count)};
    return page_size % 8 == 0 && pages != 0 && pages <= le(copy->clus_pages) && used <= pages * page_size &&
           copy->head_crc != 0xFFFF && (copy->files_crc != 0xFFFF || copy->count == 0);
}

// The entries and the fill of a copy as a writer leaves them, as far as the
// `room` bytes from its start reach (a copy of this geometry lies wholly
// within them): DACE_COPY_FILES_CRC when the entries lie within and do not
// match their CRC, DACE_COPY_TORN when the fill is not zero or an entry
// reads erased, else DACE_COPY_VALID.
int body_verdict(const CopyRules &r, const dace_root *copy, uint32_t room) {
    const uint32_t span = uint32_t{le(copy->pages)} * le(copy->page_size);
    const uint32_t used = kRootHeaderSize + kEntrySize * uint32_t{le(copy->count)};
    if (used <= room && rules_crc(r, entries_of(copy), used - kRootHeaderSize) != le(copy->files_crc))
        return DACE_COPY_FILES_CRC;
    return body_is_whole(copy, span < room ? span : room) ? DACE_COPY_VALID : DACE_COPY_TORN;
}

} // namespace

// ==== the CRC framing ========================================================

uint16_t head_crc(const dace_state *s, const dace_root *copy) { return crc_over(s, s->crc_seed, copy, kHeadCrcBytes); }

uint16_t files_crc(const dace_state *s, const dace_root *copy) {
    return crc_over(s, s->crc_seed, entries_of(copy), uint32_t{le(copy->count)} * kEntrySize);
}

uint16_t data_crc(const dace_state *s, const uint8_t *image) {
    const uint16_t head = crc_over(s, s->crc_seed, image, 6);
    return crc_over(s, head, image + kClusHeaderSize, s->clus_payload);
}

// ==== which root copy counts =================================================

// The verdict on the copy at `page` of a root cluster image. With
// `header_only`, only the 32 bytes of its header are looked at (the mount
// ranks root clusters by them): DACE_COPY_GEOMETRY and
// DACE_COPY_VOLUME_SIZE then say only what the header names, since whether
// a writer wrote the copy whole takes the rest of it.
int judge_copy(const CopyRules &r, const uint8_t *image, uint32_t page, uint32_t seq_before, bool header_only) {
    const dace_root *copy = copy_at(r, image, page);
    if (le(copy->magic) != ROOT_MAGIC)
        return DACE_COPY_NO_MARK;
    // Every copy of one root cluster carries the generation of its page-0
    // copy; one that does not is left over from an earlier use of the cluster.
    if (page != 0 && le(copy->seq) != seq_before)
        return DACE_COPY_OTHER_GENERATION;
    if (rules_crc(r, copy, kHeadCrcBytes) != le(copy->head_crc))
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
        for (uint32_t i = 0; i < le(copy->count); ++i)
            if (!entry_is_plausible(entries[i]))
                return DACE_COPY_BAD_ENTRY;
    }
    // Rule 6: 0 means a writer that did not record the size.
    const uint16_t recorded = le(copy->clus_count);
    return recorded != 0 && recorded != r.clus_count ? DACE_COPY_VOLUME_SIZE : DACE_COPY_VALID;
}

// Finds the last copy of the unbroken run of valid copies from page 0. A
// whole copy of another geometry at page 0 means that another configuration
// owns this cluster, and so does a run whose copies last recorded another
// cluster count than the configuration's (a copy of a writer that recorded
// none leaves the size the copies before it recorded): the caller refuses
// rather than reformat or cut the volume short, when this cluster is the one
// that counts (rules 5 and 6).
int walk_root(const CopyRules &r, const uint8_t *image, dace_root_walk *out) {
    *out = dace_root_walk{0, 0, 0, 0, DACE_COPY_VALID};
    uint32_t page = 0;
    bool other_size = false;
    while (page < r.clus_pages) {
        const int verdict = judge_copy(r, image, page, out->seq, false);
        if (verdict != DACE_COPY_VALID && verdict != DACE_COPY_VOLUME_SIZE) {
            out->stop = static_cast<uint16_t>(verdict);
            if (page == 0 && verdict == DACE_COPY_GEOMETRY)
                return verdict;
            break;
        }
        const dace_root *copy = copy_at(r, image, page);
        if (copy->clus_count != 0)
            other_size = verdict != DACE_COPY_VALID;
        out->seq = le(copy->seq);
        ++out->copies;
        out->last_page = static_cast<uint16_t>(page);
        page += le(copy->pages);
        out->end_page = static_cast<uint16_t>(page);
    }
    return other_size ? DACE_COPY_VOLUME_SIZE : DACE_COPY_VALID;
}

#ifndef DACE_READ_ONLY
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
#endif // DACE_READ_ONLY

} // namespace dace

using namespace dace;

extern "C" {


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

uint16_t dace_root_head_crc(dace_state *s, const dace_root *copy) { return head_crc(s, copy); }

uint16_t dace_root_files_crc(dace_state *s, const dace_root *copy) { return files_crc(s, copy); }

uint16_t dace_data_crc(dace_state *s, const void *image) { return data_crc(s, static_cast<const uint8_t *>(image)); }

#ifndef DACE_READ_ONLY
// The header in the medium's byte order, as it is to be written: its head
// CRC covers the bytes the medium will hold.
void dace_fill_root(dace_state *s, dace_root *copy, uint16_t pages, uint16_t count, uint32_t seq) {
    const uint32_t used = kRootHeaderSize + kEntrySize * uint32_t{count};
    const uint32_t span = uint32_t{pages} * s->page_size;
    if (used < span)
        dace_memset(reinterpret_cast<uint8_t *>(copy) + used, 0, span - used);
    fill_header(s, copy, pages, seq);
    copy->reserved2 = 0;
    copy->reserved3 = 0;
    copy->count = count;
    copy->files_crc = 0;
    swap_copy(copy, 0);
    copy->head_crc = le(head_crc(s, copy));
}

#endif // DACE_READ_ONLY

} // extern "C"
