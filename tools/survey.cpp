#include "tools/survey.h"

#include <algorithm>
#include <cstring>
#include <map>

#include <fmt/format.h>

#include "tools/medium_fields.h"

namespace dace_tool {

namespace {

constexpr uint32_t kRootHeader = sizeof(dace_root);
constexpr uint32_t kEntry = sizeof(dace_entry);
constexpr uint32_t kClusHeader = sizeof(dace_clus_header);

bool all_bytes(const uint8_t *p, size_t n, uint8_t value) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value)
            return false;
    return true;
}

bool erased(const uint8_t *p, size_t n) { return n == 0 || ((p[0] == 0xFF || p[0] == 0x00) && all_bytes(p, n, p[0])); }

// The clusters of a medium whose image may end early. A cluster the image
// holds whole is read in place; one it holds in part is read from a copy
// whose missing bytes are erased, valid until the next such read.
class HeldClusters {
public:
    HeldClusters(const std::vector<uint8_t> &image, const Params &p) : image_(image), size_(p.clus_size()) {}
    // The image holds the cluster's first byte.
    bool starts(uint32_t c) const { return uint64_t{c} * size_ < image_.size(); }
    bool whole(uint32_t c) const { return (uint64_t{c} + 1) * size_ <= image_.size(); }
    // Clusters that start inside the image.
    uint32_t started() const { return size_ == 0 ? 0u : static_cast<uint32_t>((image_.size() + size_ - 1) / size_); }
    const uint8_t *at(uint32_t c) {
        const size_t from = size_t{c} * size_;
        if (whole(c))
            return image_.data() + from;
        part_.assign(size_, 0xFF);
        if (starts(c))
            std::copy(image_.begin() + static_cast<std::ptrdiff_t>(from), image_.end(), part_.begin());
        return part_.data();
    }

private:
    const std::vector<uint8_t> &image_;
    uint32_t size_;
    std::vector<uint8_t> part_;
};

} // namespace

const char *describe_copy(int verdict) {
    switch (verdict) {
    case DACE_COPY_VALID: return "valid";
    case DACE_COPY_NO_MARK: return "no root mark";
    case DACE_COPY_OTHER_GENERATION: return "a generation other than its cluster's";
    case DACE_COPY_HEAD_CRC: return "head CRC mismatch";
    case DACE_COPY_GEOMETRY: return "geometry other than the medium's";
    case DACE_COPY_SIZE: return "page or entry count beyond the cluster";
    case DACE_COPY_FILES_CRC: return "entry table CRC mismatch";
    case DACE_COPY_TORN:
        return "torn: fill after the entries not zero, an entry of erased bytes, or a header of another geometry "
               "that no writer wrote whole";
    case DACE_COPY_BAD_ENTRY: return "an entry the library cannot have written";
    case DACE_COPY_FIXED_FIELDS: return "reserved bytes or format version not as a writer writes them";
    case DACE_COPY_VOLUME_SIZE: return "a volume of another size: its cluster count is not the medium's";
    }
    return "a verdict this dace does not know";
}

RootLog walk_root_log(const uint8_t *clus, uint32_t clus_index, const Params &p) {
    const dace_config cfg = config_of(p);
    dace_root_walk walk{};
    RootLog log;
    log.clus = clus_index;
    const int refused = dace_walk_root(&cfg, clus, &walk);
    log.other_geometry = refused == DACE_COPY_GEOMETRY;
    log.other_size = refused == DACE_COPY_VOLUME_SIZE;
    // The valid copies follow one another from page 0, each `pages` long.
    uint32_t page = 0;
    for (uint32_t i = 0; i < walk.copies && page < p.clus_pages; ++i) {
        const dace_root head = load_root(clus + size_t{page} * p.page_size);
        log.copies.push_back(RootCopy{page, head, DACE_COPY_VALID});
        page += head.pages;
    }
    log.last_valid = int(log.copies.size()) - 1;
    for (const RootCopy &copy : log.copies)
        if (copy.head.clus_count != 0) {
            log.recorded = copy.head.clus_count;
            log.recorded_page = copy.page;
        }
    log.end_page = walk.end_page;
    if (walk.end_page < p.clus_pages)
        log.copies.push_back(RootCopy{walk.end_page, load_root(clus + size_t{walk.end_page} * p.page_size), walk.stop});
    const size_t tail = size_t{log.end_page} * p.page_size;
    log.tail_blank = erased(clus + tail, p.clus_size() - tail);
    for (uint32_t later = walk.end_page + 1; later < p.clus_pages && !log.valid_after_stop; ++later) {
        const uint32_t seq = walk.copies != 0 ? walk.seq : load_root(clus + size_t{later} * p.page_size).seq;
        log.valid_after_stop = dace_judge_copy(&cfg, clus, later, seq) == DACE_COPY_VALID;
    }
    return log;
}

std::optional<uint16_t> recorded_clusters(const std::vector<uint8_t> &image, const Params &p) {
    // Any size the configuration check accepts: a copy that records another
    // is judged DACE_COPY_VOLUME_SIZE, which the library gives only to a
    // copy that is valid in every other respect.
    Params any = p;
    any.total_pages = static_cast<uint16_t>(8u * p.clus_pages);
    const dace_config cfg = config_of(any);
    if (dace_check_config(&cfg) != DACE_CONFIG_OK)
        return std::nullopt;
    HeldClusters held(image, p);
    uint32_t best_seq = 0;
    uint16_t best_size = 0;
    for (uint32_t c = 0; c < held.started() && c < CLUS_BAD; ++c) {
        const uint8_t *clus = held.at(c);
        if (load_le32(clus) != ROOT_MAGIC)
            continue;
        // The run of valid copies from page 0, as dace_walk_root walks it.
        uint32_t seq = 0;
        uint16_t size = 0;
        for (uint32_t page = 0; page < p.clus_pages;) {
            const int verdict = dace_judge_copy(&cfg, clus, page, seq);
            if (verdict != DACE_COPY_VALID && verdict != DACE_COPY_VOLUME_SIZE)
                break;
            const dace_root head = load_root(clus + size_t{page} * p.page_size);
            seq = head.seq;
            size = head.clus_count != 0 ? head.clus_count : size;
            page += head.pages;
        }
        if (seq == 0 || (size != 0 && c >= size))
            continue;
        if (seq > best_seq || (seq == best_seq && best_size == 0)) {
            best_seq = seq;
            best_size = size;
        }
    }
    return best_size != 0 ? std::optional<uint16_t>(best_size) : std::nullopt;
}

std::string data_cluster_fault(const std::vector<uint8_t> &image, const Params &p, uint16_t c) {
    const uint32_t cs = p.clus_size();
    if (c < p.clus_count() && size_t{c + 1u} * cs > image.size())
        return fmt::format("cluster {} lies past the image's end: the image is cut short", c);
    if (c >= p.clus_count())
        return fmt::format("cluster {} lies beyond the medium", c);
    const uint8_t *clus = image.data() + size_t{c} * cs;
    const dace_clus_header h = load_clus_header(clus);
    if (h.magic != DATA_MAGIC)
        return fmt::format("cluster {} has no data mark", c);
    const uint16_t head = crc_run(*p.crc, p.crc_seed, clus, 6);
    if (crc_run(*p.crc, head, clus + kClusHeader, cs - kClusHeader) != h.crc)
        return fmt::format("cluster {} fails its data CRC", c);
    return {};
}

const FileChain *Survey::file(const std::string &name) const {
    for (const FileChain &f : files)
        if (f.name == name)
            return &f;
    return nullptr;
}

namespace {

// Whether root log `a` comes before `b` in the mount's order: the higher
// generation, then, between equal ones, a log that records another size
// (the mount refuses such a tie). Logs are met in cluster order, so the
// lower cluster keeps its place on a full tie.
bool outranks(const RootLog &a, const RootLog &b) {
    return a.seq() > b.seq() || (a.seq() == b.seq() && a.other_size && !b.other_size);
}

// Every cluster that starts with a root mark gets its log walked; the log
// in force is the first in the mount's order. A cluster that an image cut
// short does not hold whole is Missing, unless what it holds starts a root
// cluster, whose copies held whole still count. The size is judged on the
// log in force alone: another size there refuses the mount, elsewhere it
// is a stale root.
void find_roots(Survey &s, HeldClusters &held) {
    const Params &p = s.params;
    for (uint32_t c = 0; c < s.clus_count; ++c) {
        const uint32_t word = held.starts(c) ? load_le32(held.at(c)) : 0xFFFFFFFFu;
        if (!held.whole(c) && word != ROOT_MAGIC) {
            s.kind[c] = ClusKind::Missing;
        } else if (word == BAD_MARK) {
            s.kind[c] = ClusKind::Bad;
        } else if (word == ROOT_MAGIC) {
            s.kind[c] = ClusKind::OldRoot;
            s.roots.push_back(walk_root_log(held.at(c), c, p));
            const RootLog &log = s.roots.back();
            if (log.other_geometry)
                s.problems.push_back(fmt::format("cluster {}: root copy of another geometry (page size {}, {} pages "
                                                 "per cluster, tag {}): the mount refuses this medium",
                                                 c, log.copies[0].head.page_size, log.copies[0].head.clus_pages,
                                                 log.copies[0].head.geometry_tag));
            if (log.seq() != 0 && (s.chosen < 0 || outranks(log, *s.root())))
                s.chosen = int(s.roots.size()) - 1;
        }
    }
    for (const RootLog &log : s.roots) {
        if (!log.other_size || log.seq() == 0)
            continue;
        if (&log == s.root())
            s.problems.push_back(fmt::format("cluster {}: root copy at page {} records a volume of {} clusters, "
                                             "not this medium's {}: the mount refuses this medium",
                                             log.clus, log.recorded_page, log.recorded, s.clus_count));
        else
            s.notes.push_back(fmt::format("cluster {}: a stale root of a volume of {} clusters (generation {}), "
                                          "outranked by the root in force: erased when reused",
                                          log.clus, log.recorded, log.seq()));
    }
    if (s.root() == nullptr) {
        s.problems.emplace_back("no valid root copy: there is no directory to mount");
    } else {
        s.kind[s.root()->clus] = ClusKind::Root;
        s.recorded_clusters = s.root()->recorded;
    }
}

// A root cluster without a valid copy, and a log in force whose run of
// copies ends in damage or is followed by pages that are not erased. What a
// power cut leaves (the last write torn, with nothing valid after it, while
// a root is in force) is a note: the mount expects it and loses nothing
// committed. Anything else is a problem.
void judge_roots(Survey &s) {
    for (const RootLog &log : s.roots) {
        if (log.other_size)
            continue; // find_roots named it: the mount refuses the medium
        if (log.last_valid < 0) {
            const std::string what = fmt::format("cluster {}: root copy at page 0 is damaged ({})", log.clus,
                                                 describe_copy(log.copies[0].verdict));
            if (s.root() != nullptr && !log.valid_after_stop && !log.other_geometry) {
                s.notes.push_back(what + ", as a root move cut short by a power cut leaves it; erased when reused");
            } else {
                s.problems.push_back(what + "; the cluster holds no valid copy");
                s.conflict[log.clus] = 1;
            }
            continue;
        }
        if (&log != s.root())
            continue;
        const RootCopy &end = log.copies.back();
        const bool torn = end.verdict != DACE_COPY_VALID && end.verdict != DACE_COPY_NO_MARK;
        if (!torn && log.tail_blank)
            continue;
        const std::string what =
            torn ? fmt::format("root cluster {}: copy at page {} is damaged ({})", log.clus, end.page,
                               describe_copy(end.verdict))
                 : fmt::format("root cluster {}: pages {} to {} after the last valid copy are not erased", log.clus,
                               log.end_page, s.params.clus_pages - 1);
        if (!log.valid_after_stop) {
            s.notes.push_back(what + ": the commit in flight when the power went; the next change starts a fresh "
                                     "root cluster");
        } else {
            s.problems.push_back(what + "; valid copies after it are hidden, so commits made after it are lost");
            s.conflict[log.clus] = 1;
        }
    }
}

// A problem of a file's data: also what reading it will say.
void hurt(Survey &s, FileChain &f, std::string what) {
    s.problems.push_back(fmt::format("\"{}\": {}", printable(f.name), what));
    if (f.damage.empty())
        f.damage = std::move(what);
}

// Walks the chain of file `index` from its newest cluster, claiming each
// cluster for it, until the chain ends or a fault stops the walk. True
// when a fault stopped it: then its length says nothing.
bool walk_chain(Survey &s, HeldClusters &held, uint32_t index, FileChain &f, bool verify_data,
                std::vector<uint8_t> &seen) {
    const Params &p = s.params;
    const uint32_t n = s.clus_count;
    const uint32_t payload = p.clus_size() - kClusHeader;
    std::fill(seen.begin(), seen.end(), 0);
    for (uint16_t c = f.entry.clus; c != CLUS_END;) {
        if (c >= n) {
            s.beyond_end = true;
            s.beyond_max = std::max<uint32_t>(s.beyond_max, c);
            // A volume that records its size has no cluster past it, however
            // long the image.
            hurt(s, f,
                 s.recorded_clusters != 0
                     ? fmt::format("link to cluster {} beyond the volume's last cluster {}: the chain is damaged", c,
                                   n - 1)
                     : fmt::format("link to cluster {} beyond the last cluster {} (the image is cut short, or the "
                                   "chain is damaged)",
                                   c, n - 1));
            return true;
        }
        if (!held.whole(c)) {
            hurt(s, f, fmt::format("cluster {} lies past the image's end: the image is cut short", c));
            if (s.kind[c] != ClusKind::Root && s.kind[c] != ClusKind::OldRoot)
                s.kind[c] = ClusKind::Missing;
            return true;
        }
        if (seen[c]) {
            hurt(s, f, fmt::format("chain loops back to cluster {}", c));
            s.conflict[c] = 1;
            return true;
        }
        seen[c] = 1;
        if (s.kind[c] == ClusKind::Root || s.kind[c] == ClusKind::Bad) {
            hurt(s, f, fmt::format("chain reaches cluster {}, which holds {}", c,
                                   s.kind[c] == ClusKind::Root ? "the root" : "a bad mark"));
            s.conflict[c] = 1;
            return true;
        }
        if (s.owner[c] >= 0) {
            hurt(s, f, fmt::format("cluster {} is shared with \"{}\"", c, printable(s.files[size_t(s.owner[c])].name)));
            s.conflict[c] = 1;
            return true;
        }
        s.owner[c] = int32_t(index);
        s.kind[c] = ClusKind::File;
        f.clusters.push_back(c);
        const uint8_t *clus = held.at(c);
        const dace_clus_header h = load_clus_header(clus);
        if (h.magic != DATA_MAGIC) {
            hurt(s, f, fmt::format("cluster {} has no data mark", c));
            s.conflict[c] = 1;
        } else if (verify_data) {
            const uint16_t head = crc_run(*p.crc, p.crc_seed, clus, 6);
            const uint16_t crc = crc_run(*p.crc, head, clus + kClusHeader, payload);
            ++s.data_clusters_checked;
            if (crc != h.crc) {
                hurt(s, f, fmt::format("cluster {} fails its data CRC (stored {:#06x}, computed {:#06x})", c, h.crc,
                                       crc));
                s.conflict[c] = 1;
            }
        }
        c = h.link;
    }
    return false;
}

// Names borne by more than one entry: lookups find only the first.
void judge_names(Survey &s) {
    std::map<std::string, std::vector<size_t>> by_name;
    for (size_t i = 0; i < s.files.size(); ++i)
        by_name[s.files[i].name].push_back(i);
    for (const auto &[name, where] : by_name) {
        if (where.size() < 2)
            continue;
        std::string list;
        for (size_t w : where)
            list += (list.empty() ? "" : ", ") + std::to_string(w);
        s.problems.push_back(fmt::format("name \"{}\" is borne by {} entries ({}): lookups find only the first",
                                         printable(name), where.size(), list));
    }
}

// Every file's chain, newest cluster first, in the order of the entries.
void walk_files(Survey &s, HeldClusters &held, const std::function<void(uint64_t, uint64_t)> &progress,
                bool verify_data) {
    const RootLog *root = s.root();
    if (root == nullptr)
        return;
    const Params &p = s.params;
    const uint32_t payload = p.clus_size() - kClusHeader;
    const RootCopy &cur = root->copies[size_t(root->last_valid)];
    // Copied: the root cluster may be one the image holds only in part,
    // read from a copy that the next such read replaces.
    const uint8_t *at = held.at(root->clus) + size_t{cur.page} * p.page_size + kRootHeader;
    const std::vector<uint8_t> table(at, at + size_t{cur.head.count} * kEntry);
    std::vector<uint8_t> seen(s.clus_count, 0);
    for (uint32_t i = 0; i < cur.head.count; ++i) {
        FileChain f;
        f.entry = load_entry(table.data() + size_t{i} * kEntry);
        f.name = entry_name(f.entry);
        if (dace_check_filename(f.name.c_str()) != DACE_NAME_OK)
            s.problems.push_back(fmt::format("entry {} \"{}\": the name breaks the naming rules", i, printable(f.name)));
        f.broken = walk_chain(s, held, i, f, verify_data, seen);
        const uint64_t need = (uint64_t{f.entry.size} + payload - 1) / payload;
        if (!f.broken && f.clusters.size() != need)
            hurt(s, f, fmt::format("chain of {} cluster{} where a size of {} bytes needs {}", f.clusters.size(),
                                   f.clusters.size() == 1 ? "" : "s", f.entry.size, need));
        s.files.push_back(std::move(f));
        if (progress)
            progress(i + 1, cur.head.count);
    }
    judge_names(s);
}

// Up to 16 cluster numbers, then "...".
std::string some_clusters(const std::vector<uint32_t> &v) {
    std::string out;
    for (size_t i = 0; i < v.size() && i < 16; ++i)
        out += (i ? ", " : "") + std::to_string(v[i]);
    if (v.size() > 16)
        out += ", ...";
    return out;
}

// What no file reaches: erased clusters are free; released data and
// clusters left by an erase cut short are noted, since both are erased
// before reuse.
void note_unreached(Survey &s, HeldClusters &held) {
    std::vector<uint32_t> stale_data, looks_erased;
    for (uint32_t c = 0; c < s.clus_count; ++c) {
        if (s.kind[c] != ClusKind::Stale)
            continue;
        const uint8_t *clus = held.at(c);
        const uint32_t word = load_le32(clus);
        if (erased(clus, s.params.clus_size())) {
            s.kind[c] = ClusKind::Free;
        } else if (word == 0 || word == 0xFFFFFFFFu) {
            looks_erased.push_back(c);
        } else if (word == DATA_MAGIC) {
            stale_data.push_back(c);
        }
    }
    if (!stale_data.empty())
        s.notes.push_back(fmt::format("{} cluster{} of released data that no file reaches, erased when reused: {}",
                                      stale_data.size(), stale_data.size() == 1 ? "" : "s", some_clusters(stale_data)));
    if (!looks_erased.empty())
        s.notes.push_back(fmt::format("{} cluster{} that start erased but are not (an erase cut short), erased "
                                      "before reuse: {}",
                                      looks_erased.size(), looks_erased.size() == 1 ? "" : "s",
                                      some_clusters(looks_erased)));
}

} // namespace

Survey survey_image(const std::vector<uint8_t> &image, const Params &p,
                    const std::function<void(uint64_t, uint64_t)> &progress, bool verify_data) {
    Survey s;
    s.params = p;
    s.clus_count = p.clus_count();
    s.kind.assign(s.clus_count, ClusKind::Stale);
    s.owner.assign(s.clus_count, -1);
    s.conflict.assign(s.clus_count, 0);
    s.held = std::min<uint64_t>(image.size(), p.medium_bytes());
    HeldClusters held(image, p);
    find_roots(s, held);
    if (s.cut_short()) {
        const uint64_t first = s.held / p.clus_size();
        s.problems.insert(s.problems.begin(),
                          fmt::format("{}; clusters {} to {} lie past its end, and what they held is lost",
                                      cut_short_text(s.held, p), first, s.clus_count - 1));
    }
    judge_roots(s);
    walk_files(s, held, progress, verify_data);
    note_unreached(s, held);
    return s;
}

bool size_to_read(const Survey &sv, Params &p) {
    p = sv.params;
    if (sv.cut_short())
        return true;
    // A volume of writers that recorded no size: as large as its directory
    // shows it to be, when the format can address that.
    if (sv.recorded_clusters != 0 || !sv.beyond_end || sv.beyond_max >= CLUS_BAD)
        return false;
    const uint64_t pages = (uint64_t{sv.beyond_max} + 1) * p.clus_pages;
    if (pages > 0xFFFF)
        return false;
    p.total_pages = static_cast<uint16_t>(pages);
    return true;
}

} // namespace dace_tool
