// The mount and the format: the state block's layout and the check of a
// configuration, the scan of every cluster, the ranking of root clusters
// and the choice of the one that counts, the claim of every file's chain,
// and the format of an empty volume. It calls the medium and the
// allocator, the root log's rules and, to format, the commit path.
// "Rule N" refers to the numbered power-cut rules of docs/storage-format.md.
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
// byte at a time, since a refused block need not be aligned, and in the
// host's byte order, as every other failure leaves dace_state.error.
dace_state *lay_out_checked(const dace_config *config, void *block) {
    if (block == nullptr)
        return nullptr;
    if (reinterpret_cast<uintptr_t>(block) % kBlockAlign != 0 || dace_check_config(config) != DACE_CONFIG_OK) {
        const uint16_t reason = DACE_E_CONFIG;
        __builtin_memcpy(static_cast<uint8_t *>(block) + offsetof(dace_state, error), &reason, sizeof reason);
        return nullptr;
    }
    return lay_out(config, block);
}

// ==== mount and format =======================================================

bool looks_erased(uint32_t word) { return word == 0x00000000u || word == 0xFFFFFFFFu; }

#ifndef DACE_READ_ONLY
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
    dace_fill_root(s, intended, 1, 0, 1); // in the medium's byte order
    intended->files_crc = le(files_crc(s, intended));
    // A header whose head CRC matches is whole: only the format's own passes,
    // never an empty copy of another configuration (rule 5).
    const auto *found = reinterpret_cast<const dace_root *>(image);
    if (load_u16(image + 28) == head_crc(s, found) && __builtin_memcmp(image, scratch, kHeadCrcBytes) != 0)
        return false;
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

// A link that is neither a cluster of this medium nor the end of a chain:
// beyond every 16-bit cluster number and table code.
constexpr uint32_t kLinkBeyond = 0x10000;

uint32_t decode_link(const dace_state *s, uint16_t code) {
    const uint32_t link = code - uint32_t{s->clus_count};
    if (link < s->clus_count)
        return link;
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
// format holds what it cannot judge and erases it once its own root is on
// the medium.
enum class ScanFor { Mount, Format };

// A read-only build has no format: its scans are all for a mount.
constexpr bool formatting(ScanFor why) { return !kReadOnly && why == ScanFor::Format; }

// A root cluster's place in the order in which the mount tries them, as
// one number that is higher for the earlier: the generation of its page-0
// copy (every copy of a root cluster carries it), then, between equal
// generations, a root that records another volume size (the mount refuses
// such a tie rather than pick one of two volumes), then the lower cluster
// number. A header that names another geometry comes before every
// generation: its whole copy decides whether the mount refuses.
using Rank = uint64_t;
constexpr Rank kNoRank = 0;
constexpr Rank kForeignRank = Rank{1} << 49;

Rank rank_of(uint32_t seq, uint32_t clus, bool other_size) {
    return Rank{seq} << 17 | Rank{other_size} << 16 | (0xFFFFu - clus);
}
uint16_t clus_of(Rank rank) { return static_cast<uint16_t>(0xFFFFu - (rank & 0xFFFFu)); }

// What a deliberate format learns beyond what a mount does (Survey::doubt).
enum Doubt : uint8_t {
    // A cluster or a chain could not be read: the old volume may own any
    // cluster that holds data, and all of them stay held until the new root
    // is on the medium.
    kOwnershipUnknown = 1,
    // A cluster may hold a root that outranks the new one (it could not be
    // read, or the generations start again) or a root of another geometry:
    // it is erased once the new root is on the medium.
    kMayOutrank = 2,
};

// What the first pass and the choice of the root found, and their working
// state. The mount reads whole only the best ranked root cluster, and looks
// for the next (from the page-0 headers again) only when that one holds no
// valid copy.
struct Survey {
    BestRoot best;
    bool data_mark = false;  // some cluster starts with DATA_MAGIC
    uint8_t doubt = 0;       // Doubt bits, for a deliberate format
    uint16_t last_root_mark = kNoRoot; // for completing a first format
    uint32_t root_marks = 0; // clusters that start with ROOT_MAGIC
    uint32_t top_seq = 0;    // the highest generation of a root header of this geometry
    Rank next = kNoRank;     // the best candidate not tried yet
    Rank below = ~Rank{0};   // candidates rank below the last one tried
    dace_root_walk walk{};   // of the root cluster read whole last
};

// What the scan makes of a cluster it cannot read (rule 6): a mount
// refuses, since it may hold the newest root or a file's clusters; a
// deliberate format takes it as bad for this call, so that nothing is
// written there, and remembers the `doubt` it leaves.
bool unreadable(dace_state *s, uint32_t i, ScanFor why, Survey *scan, uint8_t doubt) {
    if (!formatting(why))
        return fail(s, DACE_E_UNREADABLE, false);
    scan->doubt = static_cast<uint8_t>(scan->doubt | doubt);
    s->clus_table[i] = CLUS_BAD;
    lower_free_count(s);
    return true;
}

// Reads root cluster `i` whole into root_buf and walks its log. False when
// the mount must be refused: it cannot be read, or it belongs to another
// configuration (rules 5 and 6). A deliberate format takes a volume of
// another size as the old volume and another geometry's root as no root,
// to be erased once the new root is on the medium.
bool read_and_walk(dace_state *s, uint32_t i, Survey *scan, ScanFor why) {
    dace_root_walk *walk = &scan->walk;
    if (!read_cluster(s, i, s->root_buf)) {
        walk->copies = 0; // no valid copy: choose_root reads nothing else of the walk
        // Its generation is known from its header: only its chains are not.
        return unreadable(s, i, why, scan, kOwnershipUnknown);
    }
    const int verdict = walk_root(*s, s->root_buf, walk);
    if (verdict == DACE_COPY_VALID)
        return true;
    if (!formatting(why))
        return fail(s, verdict == DACE_COPY_GEOMETRY ? DACE_E_GEOMETRY : DACE_E_SIZE_MISMATCH, false);
    if (verdict == DACE_COPY_GEOMETRY)
        scan->doubt = static_cast<uint8_t>(scan->doubt | kMayOutrank);
    return true;
}

// Judges the page-0 header of root cluster `i`, read into root_buf, and
// makes it the next candidate when it ranks best among those below the
// last tried. A header that names another geometry ranks above every
// generation: its whole copy decides whether the mount refuses, so it is
// read whole first. A torn header, or one that no writer wrote, is no root
// and no reason to refuse (rule 5); generation 0 is never chosen.
void offer(dace_state *s, uint32_t i, Survey *scan) {
    const int verdict = judge_copy(*s, s->root_buf, 0, 0, true);
    const uint32_t seq = le(reinterpret_cast<const dace_root *>(s->root_buf)->seq);
    const bool other_size = verdict == DACE_COPY_VOLUME_SIZE;
    Rank rank = rank_of(seq, i, other_size);
    if (verdict == DACE_COPY_GEOMETRY)
        rank |= kForeignRank;
    else if ((verdict != DACE_COPY_VALID && !other_size) || seq == 0)
        return;
    else if (!kReadOnly && seq > scan->top_seq)
        scan->top_seq = seq;
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
    if (!read_header(s, i, s->root_buf, kClusHeaderSize))
        return unreadable(s, i, why, scan, kOwnershipUnknown | kMayOutrank);
    const uint32_t word = load_u32(s->root_buf);
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
            return unreadable(s, i, why, scan, kOwnershipUnknown | kMayOutrank);
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
                if (!unreadable(s, i, why, scan, kOwnershipUnknown | kMayOutrank))
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
bool link_of(dace_state *s, uint16_t c, uint8_t *scratch, uint32_t *link) {
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
            uint32_t link = CLUS_BAD;
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
            s->clus_table[c] = static_cast<uint16_t>(link); // a cluster, or CLUS_END
            prev = c;
            c = static_cast<uint16_t>(link);
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
    // From here on the current copy is in the host's byte order.
    swap_copy(s->root, le(s->root->count));
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
// Writes an empty root copy at page 0 of cluster `c`, just taken, as the
// volume's root at generation `seq`. False when the write fell short.
__attribute__((noinline)) bool write_first_copy(dace_state *s, uint16_t c, uint32_t seq) {
    s->root_clus = c;
    s->root = reinterpret_cast<dace_root *>(s->root_buf);
    s->root_page = 0;
    s->root_end = 0;
    s->root_sealed = 0;
    // One page, no entry, filled as dace_fill_root fills it (its head CRC
    // included, which the write then computes again, as the CRC callback
    // has always been called).
    dace_memset(s->root, 0, s->page_size);
    fill_header(s, s->root, 1, seq);
    s->root->head_crc = head_crc(s, s->root);
    // Nothing else is open or pending: the copy is the whole commit.
    return write_root_copy(s) == 0;
}

// Writes the first, empty root copy of a volume at generation `seq`. A
// deliberate format swaps one root for another, so it may take from the
// reserve (rule 10), and it succeeds only once its copy is on the medium:
// a write that falls short leaves that cluster held and the copy goes, one
// generation higher, to another (rule 2). dace_init's first format of a
// medium that holds nothing leaves a short write to the next commit, which
// writes the copy again elsewhere.
bool format(dace_state *s, uint32_t seq, bool deliberate) {
    for (uint32_t attempt = 0;; ++attempt) {
        const int c = take_cluster(s, deliberate);
        if (c < 0) {
            s->root_clus = kNoRoot;
            return fail(s, attempt == 0 ? DACE_E_NO_ROOT_CLUSTER : DACE_E_WRITE_FAILED, false);
        }
        if (deliberate)
            lower_free_count(s);
        if (write_first_copy(s, static_cast<uint16_t>(c), seq + attempt) || !deliberate)
            return true;
        if (attempt != 0)
            return false;
        release_cluster(s, static_cast<uint16_t>(c));
    }
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

// The first `bytes` of page `page` of the medium, tried twice as a
// cluster's header is.
bool read_page_start(dace_state *s, uint32_t page, uint8_t *dst, uint32_t bytes) {
    for (int attempt = 0; attempt < 2; ++attempt)
        if (read_pages(s, 0, page, dst, bytes))
            return true;
    return false;
}

// Rule 5: a medium that shows nothing at its cluster starts may hold a
// volume of smaller clusters with pages of this size, whose marks lie at
// the page starts in between: a root header whose head CRC matches, or a
// data mark. Such a medium is another geometry's, never blank, so that
// dace_init does not format over it. False when the mount must be refused.
__attribute__((noinline)) bool no_marks_between(dace_state *s) {
    uint8_t *header = s->root_buf;
    for (uint32_t page = 0; page < uint32_t{s->clus_count} * s->clus_pages; ++page) {
        if (page % s->clus_pages == 0)
            continue; // the scan read every cluster start
        if (!read_page_start(s, page, header, sizeof(uint32_t)))
            return fail(s, DACE_E_UNREADABLE, false);
        const uint32_t word = load_u32(header);
        if (word == ROOT_MAGIC && !read_page_start(s, page, header, kRootHeaderSize))
            return fail(s, DACE_E_UNREADABLE, false);
        const bool root =
            word == ROOT_MAGIC && head_crc(s, reinterpret_cast<const dace_root *>(header)) == load_u16(header + 28);
        if (root || word == DATA_MAGIC)
            return fail(s, DACE_E_GEOMETRY, false);
    }
    return true;
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
    const bool marks = scan.data_mark || scan.root_marks != 0;
#ifndef DACE_READ_ONLY
    if (!scan.data_mark && scan.root_marks == 1)
        *remnant = Remnant{scan.last_root_mark};
    if (!marks && !no_marks_between(s))
        return false;
#endif
    return fail(s, marks ? DACE_E_DAMAGED : DACE_E_NOT_A_VOLUME, false);
}

#ifndef DACE_READ_ONLY
// Rule 11: until the new root is on the medium the old volume stays whole.
// Every cluster it owns is held, and, where a cluster or a chain could not
// be read, every cluster that holds data (the old volume may own any of
// them), so that the new root goes only into a cluster the old volume does
// not own. Root clusters that are not in force are free.
__attribute__((noinline)) void hold_old_volume(dace_state *s, const Survey &scan) {
    const bool unsure = (scan.doubt & kOwnershipUnknown) != 0;
    for (uint32_t j = 0; j < s->clus_count; ++j) {
        const uint16_t code = s->clus_table[j];
        const bool unclaimed = is_unclaimed(s, code);
        if (code < s->clus_count || code == CLUS_END || (unclaimed && unsure))
            hold_cluster(s, static_cast<uint16_t>(j));
        else if (unclaimed || code == CLUS_HELD)
            s->clus_table[j] = CLUS_DIRTY;
    }
}

// Once a deliberate format's root is on the medium: erases every cluster
// that could still outrank it or refuse a mount of it, that is every
// cluster that cannot be read (it may hold the old volume's newest root)
// and every other root cluster (one of another geometry, or above the new
// root when the generations start again; the rest are stale anyway). A
// power cut before the last of these erases leaves the old volume, where
// such a root outranks the new one, or the new volume. False when an erase
// fails.
__attribute__((noinline)) bool clear_outranking(dace_state *s) {
    uint8_t *header = s->free_list->buf; // every slot is free: root_buf holds the new root
    for (uint32_t i = 0; i < s->clus_count; ++i) {
        if (i == s->root_clus)
            continue;
        const bool readable = read_header(s, i, header, kClusHeaderSize);
        if (readable && load_u32(header) != ROOT_MAGIC)
            continue;
        if (!erase_cluster(s, i))
            return fail(s, readable ? DACE_E_ERASE_FAILED : DACE_E_UNREADABLE, false);
        if (s->clus_table[i] == CLUS_DIRTY)
            s->clus_table[i] = CLUS_FREE;
    }
    return true;
}

// Rule 11: a deliberate format commits the empty volume in one page, with a
// generation above every root it can read, into a cluster the old volume
// does not own; only then does it erase what could outrank that root. So a
// power cut at any point leaves the old volume or the new one, and after a
// format that succeeded no cluster it could not read brings an older volume
// back. Everything else of the old volume is erased as it is reused.
bool format_deliberately(dace_state *s) {
    Survey scan;
    if (!survey(s, ScanFor::Format, &scan))
        return false;
    // The old volume's chains are claimed to learn what it owns; the counts
    // stay as the survey left them, since all of it is free space once the
    // new root is on the medium.
    const uint16_t free_clus = s->free_clus;
    const uint16_t free_deficit = s->free_deficit;
    if (scan.best.seq != 0) {
        load_root(s, scan);
        if (!claim_chains(s, s->free_list->buf))
            scan.doubt = static_cast<uint8_t>(scan.doubt | kOwnershipUnknown);
        begin(s);
    }
    s->free_clus = free_clus;
    s->free_deficit = free_deficit;
    s->root_sealed = 0;
    hold_old_volume(s, scan);
    // Near the last generation the count starts again at 1, and every root
    // that then outranks the new one is erased after it.
    uint32_t seq = scan.top_seq + 1;
    if (scan.top_seq >= kLastGeneration - 1) {
        seq = 1;
        scan.doubt = static_cast<uint8_t>(scan.doubt | kMayOutrank);
    }
    if (!format(s, seq, true)) {
        // Nothing was written: with a cluster it could not read, no cluster
        // is known to be free of the old volume.
        if (s->error == DACE_E_NO_ROOT_CLUSTER && (scan.doubt & kOwnershipUnknown) != 0)
            s->error = DACE_E_UNREADABLE;
        return false;
    }
    return (scan.doubt & kMayOutrank) == 0 || clear_outranking(s);
}
#endif // DACE_READ_ONLY

} // namespace
} // namespace dace

using namespace dace;

extern "C" {

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
    return format(s, 1, false) ? s : nullptr;
}
#endif

int dace_init_error(const void *block) {
    if (block == nullptr)
        return DACE_E_CONFIG;
    // Read a byte at a time (the block may be unaligned), in the host's order.
    uint16_t reason;
    __builtin_memcpy(&reason, static_cast<const uint8_t *>(block) + offsetof(dace_state, error), sizeof reason);
    return reason;
}

int dace_error(const dace_state *s) { return s->error; }


#ifndef DACE_READ_ONLY
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


} // extern "C"
