#include "tools/survey.h"

#include <cstring>
#include <map>

#include <fmt/format.h>

namespace dace_tool {

namespace {

constexpr uint32_t kHeadCrcBytes = 28;
constexpr uint32_t kRootHeader = sizeof(dace_root);
constexpr uint32_t kEntry = sizeof(dace_entry);
constexpr uint32_t kClusHeader = sizeof(dace_clus_header);

uint32_t load_u32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

dace_root load_root(const uint8_t *p) {
    dace_root r;
    std::memcpy(&r, p, sizeof r);
    return r;
}

bool all_bytes(const uint8_t *p, size_t n, uint8_t value) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value)
            return false;
    return true;
}

bool erased(const uint8_t *p, size_t n) { return n == 0 || ((p[0] == 0xFF || p[0] == 0x00) && all_bytes(p, n, p[0])); }

uint32_t max_entries(const Params &p) { return (p.clus_size() - kRootHeader) / kEntry; }

} // namespace

const char *describe(CopyFault f) {
    switch (f) {
    case CopyFault::None: return "valid";
    case CopyFault::NoMark: return "no root mark";
    case CopyFault::OtherGeneration: return "a generation other than its cluster's";
    case CopyFault::HeadCrc: return "head CRC mismatch";
    case CopyFault::Geometry: return "geometry other than the medium's";
    case CopyFault::Size: return "page or entry count beyond the cluster";
    case CopyFault::FilesCrc: return "entry table CRC mismatch";
    }
    return "?";
}

CopyFault judge_copy(const uint8_t *copy, uint32_t page, const Params &p, uint32_t page0_seq, bool first) {
    const dace_root h = load_root(copy);
    if (h.magic != ROOT_MAGIC)
        return CopyFault::NoMark;
    if (!first && h.seq != page0_seq)
        return CopyFault::OtherGeneration;
    if (crc_run(*p.crc, p.crc_seed, copy, kHeadCrcBytes) != h.head_crc)
        return CopyFault::HeadCrc;
    if (h.page_size != p.page_size || h.clus_pages != p.clus_pages || h.geometry_tag != p.geometry_tag)
        return CopyFault::Geometry;
    if (h.pages == 0 || page + h.pages > p.clus_pages || h.count > max_entries(p) ||
        kRootHeader + kEntry * uint32_t{h.count} > uint32_t{h.pages} * p.page_size)
        return CopyFault::Size;
    if (crc_run(*p.crc, p.crc_seed, copy + kRootHeader, kEntry * size_t{h.count}) != h.files_crc)
        return CopyFault::FilesCrc;
    return CopyFault::None;
}

RootLog walk_root_log(const uint8_t *clus, uint32_t clus_index, const Params &p) {
    RootLog log;
    log.clus = clus_index;
    uint32_t page = 0;
    uint32_t seq = 0;
    while (page < p.clus_pages) {
        const uint8_t *copy = clus + size_t{page} * p.page_size;
        RootCopy rc{page, load_root(copy), judge_copy(copy, page, p, seq, log.copies.empty())};
        log.copies.push_back(rc);
        if (rc.fault != CopyFault::None)
            break;
        log.last_valid = int(log.copies.size()) - 1;
        seq = rc.head.seq;
        page += rc.head.pages;
        log.end_page = page;
    }
    const size_t tail = size_t{log.end_page} * p.page_size;
    log.tail_blank = erased(clus + tail, p.clus_size() - tail);
    return log;
}

bool has_valid_root(const std::vector<uint8_t> &image, const Params &p) {
    const uint32_t cs = p.clus_size();
    for (uint32_t c = 0; c < p.clus_count(); ++c) {
        const uint8_t *clus = image.data() + size_t{c} * cs;
        if (load_u32(clus) == ROOT_MAGIC && walk_root_log(clus, c, p).last_valid >= 0)
            return true;
    }
    return false;
}

Survey survey_image(const std::vector<uint8_t> &image, const Params &p,
                    const std::function<void(uint64_t, uint64_t)> &progress, bool verify_data) {
    Survey s;
    s.params = p;
    s.clus_count = p.clus_count();
    const uint32_t cs = p.clus_size();
    const uint32_t payload = cs - kClusHeader;
    const uint32_t n = s.clus_count;
    s.kind.assign(n, ClusKind::Stale);
    s.owner.assign(n, -1);
    s.conflict.assign(n, 0);
    auto clus_at = [&](uint32_t c) { return image.data() + size_t{c} * cs; };
    auto problem = [&](std::string line) { s.problems.push_back(std::move(line)); };

    // Root logs, and the one in force: highest generation, lowest cluster on a tie.
    for (uint32_t c = 0; c < n; ++c) {
        const uint32_t word = load_u32(clus_at(c));
        if (word == BAD_MARK) {
            s.kind[c] = ClusKind::Bad;
        } else if (word == ROOT_MAGIC) {
            s.kind[c] = ClusKind::OldRoot;
            s.roots.push_back(walk_root_log(clus_at(c), c, p));
            const RootLog &log = s.roots.back();
            if (!log.copies.empty() && log.copies[0].fault == CopyFault::Geometry)
                problem(fmt::format("cluster {}: root copy of another geometry (page size {}, {} pages per "
                                    "cluster, tag {}): the mount refuses this medium",
                                    c, log.copies[0].head.page_size, log.copies[0].head.clus_pages,
                                    log.copies[0].head.geometry_tag));
            if (log.seq() != 0 && (s.chosen < 0 || log.seq() > s.root()->seq()))
                s.chosen = int(s.roots.size()) - 1;
        }
    }
    const RootLog *root = s.root();
    if (root == nullptr) {
        problem("no valid root copy: the mount would format this medium");
    } else {
        s.kind[root->clus] = ClusKind::Root;
    }
    for (const RootLog &log : s.roots) {
        if (log.last_valid < 0) {
            problem(fmt::format("cluster {}: root copy at page 0 is damaged ({}); the cluster holds no valid copy",
                                log.clus, describe(log.copies[0].fault)));
            s.conflict[log.clus] = 1;
            continue;
        }
        if (&log != root)
            continue;
        const RootCopy &end = log.copies.back();
        if (end.fault != CopyFault::None && end.fault != CopyFault::NoMark) {
            problem(fmt::format("root cluster {}: copy at page {} is damaged ({}); the run of valid copies "
                                "ends at page {}",
                                log.clus, end.page, describe(end.fault), end.page));
            s.conflict[log.clus] = 1;
        } else if (!log.tail_blank) {
            problem(fmt::format("root cluster {}: pages {} to {} after the last valid copy are not erased",
                                log.clus, log.end_page, p.clus_pages - 1));
            s.conflict[log.clus] = 1;
        }
    }

    // Every file's chain, newest cluster first.
    if (root != nullptr) {
        const RootCopy &cur = root->copies[size_t(root->last_valid)];
        const uint8_t *table = clus_at(root->clus) + size_t{cur.page} * p.page_size + kRootHeader;
        std::map<std::string, std::vector<size_t>> by_name;
        std::vector<uint8_t> seen(n, 0);
        for (uint32_t i = 0; i < cur.head.count; ++i) {
            FileChain f;
            std::memcpy(&f.entry, table + size_t{i} * kEntry, kEntry);
            f.name = entry_name(f.entry);
            const std::string shown = printable(f.name);
            by_name[f.name].push_back(i);
            if (dace_check_filename(f.name.c_str()) != 0)
                problem(fmt::format("entry {} \"{}\": the name breaks the naming rules", i, shown));

            uint16_t c = f.entry.clus;
            bool broken = false; // a fault ended the walk: its length says nothing
            std::fill(seen.begin(), seen.end(), 0);
            while (c != CLUS_END) {
                broken = true;
                if (c >= n) {
                    s.beyond_end = true;
                    problem(fmt::format("\"{}\": link to cluster {} beyond the last cluster {}", shown, c, n - 1));
                    break;
                }
                if (seen[c]) {
                    problem(fmt::format("\"{}\": chain loops back to cluster {}", shown, c));
                    s.conflict[c] = 1;
                    break;
                }
                seen[c] = 1;
                if (s.kind[c] == ClusKind::Root || s.kind[c] == ClusKind::Bad) {
                    problem(fmt::format("\"{}\": chain reaches cluster {}, which holds {}", shown, c,
                                        s.kind[c] == ClusKind::Root ? "the root" : "a bad mark"));
                    s.conflict[c] = 1;
                    break;
                }
                if (s.owner[c] >= 0) {
                    problem(fmt::format("\"{}\": cluster {} is shared with \"{}\"", shown, c,
                                        printable(s.files[size_t(s.owner[c])].name)));
                    s.conflict[c] = 1;
                    break;
                }
                s.owner[c] = int32_t(i);
                s.kind[c] = ClusKind::File;
                f.clusters.push_back(c);
                dace_clus_header h;
                std::memcpy(&h, clus_at(c), sizeof h);
                if (h.magic != DATA_MAGIC) {
                    problem(fmt::format("\"{}\": cluster {} has no data mark", shown, c));
                    s.conflict[c] = 1;
                } else if (verify_data) {
                    const uint16_t head = crc_run(*p.crc, p.crc_seed, clus_at(c), 6);
                    const uint16_t crc = crc_run(*p.crc, head, clus_at(c) + kClusHeader, payload);
                    ++s.data_clusters_checked;
                    if (crc != h.crc) {
                        problem(fmt::format("\"{}\": cluster {} fails its data CRC (stored {:#06x}, computed {:#06x})",
                                            shown, c, h.crc, crc));
                        s.conflict[c] = 1;
                    }
                }
                c = h.link;
                broken = false;
            }
            const uint64_t need = (uint64_t{f.entry.size} + payload - 1) / payload;
            if (!broken && f.clusters.size() != need)
                problem(fmt::format("\"{}\": chain of {} cluster{} where a size of {} bytes needs {}", shown,
                                    f.clusters.size(), f.clusters.size() == 1 ? "" : "s", f.entry.size, need));
            s.files.push_back(std::move(f));
            if (progress)
                progress(i + 1, cur.head.count);
        }
        for (const auto &[name, where] : by_name) {
            if (where.size() < 2)
                continue;
            std::string list;
            for (size_t w : where)
                list += (list.empty() ? "" : ", ") + std::to_string(w);
            problem(fmt::format("name \"{}\" is borne by {} entries ({}): lookups find only the first",
                                printable(name), where.size(), list));
        }
    }

    // What no file reaches.
    std::vector<uint32_t> stale_data, looks_erased;
    for (uint32_t c = 0; c < n; ++c) {
        if (s.kind[c] != ClusKind::Stale)
            continue;
        const uint8_t *clus = clus_at(c);
        const uint32_t word = load_u32(clus);
        if (erased(clus, cs)) {
            s.kind[c] = ClusKind::Free;
        } else if (word == 0 || word == 0xFFFFFFFFu) {
            looks_erased.push_back(c);
        } else if (word == DATA_MAGIC) {
            stale_data.push_back(c);
        }
    }
    auto list = [](const std::vector<uint32_t> &v) {
        std::string out;
        for (size_t i = 0; i < v.size() && i < 16; ++i)
            out += (i ? ", " : "") + std::to_string(v[i]);
        if (v.size() > 16)
            out += ", ...";
        return out;
    };
    if (!stale_data.empty())
        s.notes.push_back(fmt::format("{} cluster{} of released data that no file reaches, erased when reused: {}",
                                      stale_data.size(), stale_data.size() == 1 ? "" : "s", list(stale_data)));
    if (!looks_erased.empty())
        s.notes.push_back(fmt::format("{} cluster{} that start erased but are not (an erase cut short), erased "
                                      "before reuse: {}",
                                      looks_erased.size(), looks_erased.size() == 1 ? "" : "s", list(looks_erased)));
    return s;
}

} // namespace dace_tool
