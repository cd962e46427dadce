#include "tools/image.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include <fmt/format.h>

#include "tools/medium_fields.h"
#include "tools/reasons.h"
#include "tools/survey.h"

namespace dace_tool {

namespace {

constexpr uint32_t kMinClusters = 8;
constexpr size_t kMaxHeadersScored = 256;

bool power_of_two(uint32_t x) { return x != 0 && (x & (x - 1)) == 0; }

struct GeometryKey {
    uint16_t page_size, clus_pages, geometry_tag;
    auto operator<=>(const GeometryKey &) const = default;
};

// A root header found in the image.
struct Header {
    size_t offset;
    dace_root head;
};

bool plausible(const dace_root &h) {
    return h.page_size >= sizeof(dace_root) && h.page_size % 8 == 0 && power_of_two(h.clus_pages) &&
           uint32_t{h.page_size} * h.clus_pages < 65536u && (h.geometry_tag & (h.geometry_tag - 1)) == 0;
}

std::string geometry_text(const GeometryKey &g) {
    return fmt::format("page size {}, {} pages per cluster, tag {}", g.page_size, g.clus_pages, g.geometry_tag);
}

uint32_t no_transfer(void *, uint32_t, const void *, uint32_t) { return 0; }
uint32_t no_read(void *, uint32_t, void *, uint32_t) { return 0; }
uint32_t no_erase(void *, uint32_t, uint32_t) { return 0; }
void no_update(void *, dace_entry *) {}

// The largest page count a medium can have: the format counts pages in 16 bits.
constexpr uint64_t kMaxPages = 0xFFFF;

// Why a medium of `pages` pages cannot be, and the page size that fits the
// same bytes, keeping the cluster size where it can.
std::string too_many_pages(uint64_t pages, uint32_t page_size, uint32_t clus_pages) {
    const uint64_t bytes = pages * page_size;
    uint64_t fit = page_size;
    while (fit <= 32768 && bytes / fit > kMaxPages)
        fit *= 2;
    const std::string head = fmt::format("{} pages exceed the {} a medium can have (its page count is 16 bits)",
                                         pages, kMaxPages);
    if (fit > 32768)
        return fmt::format("{}: {} bytes are more than the largest medium holds", head, bytes);
    const uint64_t clus_bytes = uint64_t{page_size} * clus_pages;
    const uint64_t fit_clus_pages = std::max<uint64_t>(1, clus_bytes / fit);
    return fmt::format("{}: {} bytes fit as --page-size {} --pages {}{}", head, bytes, fit, bytes / fit,
                       fit_clus_pages == clus_pages ? std::string()
                                                    : fmt::format(" --clus-pages {}", fit_clus_pages));
}

} // namespace

dace_config config_of(const Params &p) {
    dace_config cfg{};
    cfg.page_size = p.page_size;
    cfg.clus_pages = p.clus_pages;
    cfg.geometry_tag = p.geometry_tag;
    cfg.total_pages = p.total_pages;
    cfg.max_files = p.max_files;
    cfg.crc_seed = p.crc_seed;
    cfg.crc_fn = &crc_callback;
    cfg.crc_ctx = const_cast<CrcAlgo *>(p.crc != nullptr ? p.crc : &default_crc());
    cfg.read_fn = &no_read;
    cfg.write_fn = &no_transfer;
    cfg.erase_fn = &no_erase;
    cfg.update_fn = &no_update;
    return cfg;
}

void check_geometry(const Params &p) {
    const dace_config cfg = config_of(p);
    switch (dace_check_config(&cfg)) {
    case DACE_CONFIG_OK: return;
    case DACE_CONFIG_MAX_FILES: throw Error("--max-files must be at least 1");
    case DACE_CONFIG_GEOMETRY_TAG:
        throw Error(fmt::format("--geometry-tag {} is neither 0 nor a power of two", p.geometry_tag));
    case DACE_CONFIG_CLUS_PAGES: throw Error(fmt::format("--clus-pages {} is not a power of two", p.clus_pages));
    case DACE_CONFIG_TOO_FEW_CLUSTERS:
        throw Error(fmt::format("{} pages make {} clusters of {} pages; the medium needs at least {}", p.total_pages,
                                p.clus_count(), p.clus_pages, kMinClusters));
    case DACE_CONFIG_PAGE_SIZE:
        throw Error(fmt::format("--page-size {}: a page must be a multiple of 8 bytes, and at least the 32 bytes of "
                                "a root header",
                                p.page_size));
    case DACE_CONFIG_CLUS_SIZE:
        throw Error(fmt::format("a cluster of {} pages of {} bytes reaches 64 KiB; lower --clus-pages or "
                                "--page-size",
                                p.clus_pages, p.page_size));
    case DACE_CONFIG_TOO_MANY_CLUSTERS:
        throw Error(fmt::format("{} clusters exceed the {} a cluster table can number; raise --clus-pages",
                                p.clus_count(), CLUS_BAD));
    case DACE_CONFIG_STATE_SIZE:
        throw Error(fmt::format("the state block for {} open files would exceed 4 GiB; lower --max-files",
                                p.max_files));
    default: throw Error("the library refuses this configuration for a reason this dace does not know");
    }
}

Params params_for_new(const Options &opt, uint64_t total_pages) {
    Params p;
    p.page_size = opt.page_size.value_or(p.page_size);
    p.clus_pages = opt.clus_pages.value_or(p.clus_pages);
    p.geometry_tag = opt.geometry_tag.value_or(0);
    p.max_files = opt.max_files.value_or(p.max_files);
    p.crc_seed = opt.crc_seed.value_or(p.crc_seed);
    p.crc = &default_crc();
    if (opt.crc) {
        p.crc = find_crc(*opt.crc);
        if (p.crc == nullptr)
            throw Error(fmt::format("unknown --crc {}: known are {}", *opt.crc, crc_names()));
    }
    if (total_pages > kMaxPages)
        throw Error(too_many_pages(total_pages, p.page_size, p.clus_pages));
    p.total_pages = static_cast<uint16_t>(total_pages);
    check_geometry(p);
    return p;
}

LibraryError library_error(const std::string &what, int reason, const std::string &hint) {
    return LibraryError(fmt::format("{}: {}{}", what, reason_of(reason).message, hint), reason);
}

SizeMismatch::SizeMismatch(uint32_t recorded, uint64_t asked)
    : LibraryError(fmt::format("the image's root records a volume of {} pages, not the {} that --pages gives: the "
                               "library mounts a volume only at the size it records (leave out --pages; a deliberate "
                               "`dace format --pages {} --force` starts afresh)",
                               recorded, asked, asked),
                   DACE_E_SIZE_MISMATCH),
      recorded_pages(recorded), asked_pages(asked) {}

std::string cut_short_text(uint64_t held, const Params &p) {
    return fmt::format("the image is cut short: it holds {} of the {} bytes of its volume ({} pages)", held,
                       p.medium_bytes(), p.total_pages);
}

namespace {

// Pages of the medium in an image of `size` bytes whose root records
// `recorded` clusters of `clus_pages` pages (0: a writer that recorded none).
uint16_t medium_pages(size_t size, uint16_t page_size, uint16_t clus_pages, uint16_t recorded, const Options &opt,
                      bool for_change, std::vector<std::string> &warnings) {
    const std::string at = opt.offset != 0 ? fmt::format(" from offset {}", opt.offset) : std::string();
    if (opt.pages && *opt.pages > kMaxPages)
        throw Error(fmt::format("--pages {} exceeds the {} a medium can have (its page count is 16 bits)", *opt.pages,
                                kMaxPages));
    if (recorded != 0) {
        // The library mounts the volume only with the cluster count it
        // records (which the format bounds to 65535 pages); an image shorter
        // than its clusters is cut short, which the caller names. Pages
        // after the last cluster, which the library never uses, belong to
        // the medium as far as the image and --pages have them.
        const auto recorded_pages = static_cast<uint16_t>(uint32_t{recorded} * clus_pages);
        if (opt.pages && *opt.pages / clus_pages != recorded)
            throw SizeMismatch(recorded_pages, *opt.pages);
        const uint64_t held = size / page_size;
        const uint64_t wanted = opt.pages ? std::min<uint64_t>(*opt.pages, held) : held;
        return wanted > recorded_pages && wanted / clus_pages == recorded ? static_cast<uint16_t>(wanted)
                                                                          : recorded_pages;
    }
    if (opt.pages) {
        const uint64_t need = *opt.pages * page_size;
        if (size < need)
            throw Error(fmt::format("the image holds {} bytes{}, fewer than the {} that --pages {} of {} bytes take: "
                                    "cut short, or the wrong --pages or --offset",
                                    size, at, need, *opt.pages, page_size));
        return static_cast<uint16_t>(*opt.pages);
    }
    if (size % page_size != 0) {
        if (for_change)
            throw Error(fmt::format("the image is {} bytes{}, not a whole number of {}-byte pages: truncated? (pass "
                                    "--pages to take only the medium's part)",
                                    size, at, page_size));
        warnings.push_back(fmt::format("the image ends {} bytes into a {}-byte page: cut short? reading its whole "
                                       "pages",
                                       size % page_size, page_size));
    }
    const size_t pages = size / page_size;
    if (pages > kMaxPages)
        throw Error(fmt::format("the image holds {} pages of {} bytes, more than the {} a medium can have (its page "
                                "count is 16 bits): pass --pages (and --offset) for the part that is the medium",
                                pages, page_size, kMaxPages));
    return static_cast<uint16_t>(pages);
}

// Why an image holds no root header this dace can use, with the options
// that are still open.
[[noreturn]] void refuse_without_headers(const std::vector<uint8_t> &image, const Options &opt) {
    if (std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0x00; }))
        throw Error("the image holds only zero bytes: not of this file system");
    std::vector<std::string> open;
    if (!opt.page_size)
        open.emplace_back("--page-size");
    if (!opt.clus_pages)
        open.emplace_back("--clus-pages");
    if (!opt.geometry_tag)
        open.emplace_back("--geometry-tag");
    if (!opt.crc)
        open.emplace_back("--crc");
    if (!opt.crc_seed)
        open.emplace_back("--crc-seed");
    throw Error(fmt::format("no root header found: not an image of this file system, or one whose every root is "
                            "damaged (to read it anyway, pass {})",
                            fmt::join(open, ", ")));
}

// Every root header that sits at the start of a page of its own geometry,
// inside the medium when its size is given, and the sound headers of
// geometries the options rule out.
struct HeaderScan {
    std::vector<Header> headers;
    std::map<GeometryKey, uint32_t> elsewhere;
};

HeaderScan scan_headers(const std::vector<uint8_t> &image, const Options &opt) {
    HeaderScan scan;
    for (size_t off = 0; off + sizeof(dace_root) <= image.size(); off += 4) {
        if (load_le32(image.data() + off) != ROOT_MAGIC)
            continue;
        const dace_root h = load_root(image.data() + off);
        if (!plausible(h) || off % h.page_size != 0 || (opt.pages && off / h.page_size >= *opt.pages))
            continue;
        if ((opt.page_size && h.page_size != *opt.page_size) || (opt.clus_pages && h.clus_pages != *opt.clus_pages) ||
            (opt.geometry_tag && h.geometry_tag != *opt.geometry_tag)) {
            if (off % (uint32_t{h.page_size} * h.clus_pages) == 0)
                ++scan.elsewhere[GeometryKey{h.page_size, h.clus_pages, h.geometry_tag}];
            continue;
        }
        scan.headers.push_back({off, h});
        if (scan.headers.size() >= 4 * kMaxHeadersScored)
            break;
    }
    return scan;
}

// A way to read the medium: geometry, CRC and seed.
using Setting = std::tuple<GeometryKey, const CrcAlgo *, uint16_t>;

struct Scores {
    std::map<Setting, uint32_t> settings;      // root copies each setting explains
    std::map<GeometryKey, uint32_t> geometries; // headers at the start of a cluster of their geometry
};

// Scores each setting by the root copies whose both CRCs it explains. A
// header's own CRC fixes the seed for each CRC; the entry table's CRC then
// confirms or refutes it.
Scores score_settings(const std::vector<uint8_t> &image, const std::vector<Header> &headers, const Options &opt,
                      const CrcAlgo *given_crc) {
    Scores sc;
    size_t scored = 0;
    for (const Header &hd : headers) {
        const dace_root &h = hd.head;
        const GeometryKey g{h.page_size, h.clus_pages, h.geometry_tag};
        const uint32_t clus_size = uint32_t{h.page_size} * h.clus_pages;
        if (hd.offset % clus_size == 0)
            ++sc.geometries[g];
        const size_t table_end = hd.offset + sizeof(dace_root) + size_t{h.count} * sizeof(dace_entry);
        if (table_end > image.size() || sizeof(dace_root) + size_t{h.count} * 32 > size_t{h.pages} * h.page_size ||
            scored >= kMaxHeadersScored)
            continue;
        ++scored;
        const uint8_t *copy = image.data() + hd.offset;
        for (const CrcAlgo &algo : crc_catalogue()) {
            if (given_crc != nullptr && given_crc != &algo)
                continue;
            uint16_t seed = opt.crc_seed ? *opt.crc_seed : seed_for(algo, copy, 28, h.head_crc);
            if (crc_run(algo, seed, copy, 28) != h.head_crc)
                continue;
            if (crc_run(algo, seed, copy + sizeof(dace_root), size_t{h.count} * 32) != h.files_crc)
                continue;
            ++sc.settings[Setting{g, &algo, seed}];
        }
    }
    return sc;
}

// Refuses an image in which no setting explains a root copy, saying what
// the headers found suggest.
void refuse_unexplained(const std::vector<uint8_t> &image, const Options &opt, const HeaderScan &scan,
                        const Scores &sc, const CrcAlgo *given_crc) {
    if (sc.geometries.empty() && !scan.elsewhere.empty() && sc.settings.empty()) {
        std::vector<std::string> seen;
        for (const auto &[g, n] : scan.elsewhere)
            seen.push_back(geometry_text(g));
        throw Error(fmt::format("no root header of the given --page-size, --clus-pages or --geometry-tag; the "
                                "image's root headers are of {}",
                                fmt::join(seen, "; ")));
    }
    if (sc.geometries.empty() && !(opt.page_size && opt.clus_pages))
        refuse_without_headers(image, opt);
    if (sc.settings.empty()) {
        const std::string tried = given_crc != nullptr ? fmt::format("CRC {}", given_crc->name)
                                                       : fmt::format("any known CRC ({})", crc_names());
        const std::string seed = opt.crc_seed ? fmt::format(" with seed {:#06x}", *opt.crc_seed) : std::string();
        throw Error(fmt::format("root headers found, but no root copy is valid under {}{}: the root is damaged, or "
                                "the firmware uses {}{}",
                                tried, seed, given_crc != nullptr ? "another CRC" : "a CRC this dace does not know",
                                opt.crc_seed ? " or seed" : ""));
    }
}

// The setting that explains the most root copies; refused when others
// explain as many, naming them and the options that would decide.
Setting best_setting(const std::map<Setting, uint32_t> &settings) {
    std::vector<std::pair<Setting, uint32_t>> ranked(settings.begin(), settings.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    if (ranked.size() > 1 && ranked[0].second == ranked[1].second) {
        std::string alternatives;
        for (const auto &[setting, n] : ranked) {
            if (n != ranked[0].second)
                break;
            const auto &[g, algo, seed] = setting;
            alternatives += fmt::format("{}{}, CRC {} seed {:#06x}", alternatives.empty() ? "" : "; ",
                                        geometry_text(g), algo->name, seed);
        }
        const bool geometry_open = std::get<0>(ranked[0].first) != std::get<0>(ranked[1].first);
        throw Error(fmt::format("the image fits more than one setting ({}): {}", alternatives,
                                geometry_open ? "pass --page-size, --clus-pages, --geometry-tag, --crc and --crc-seed"
                                              : "pass --crc and --crc-seed"));
    }
    return ranked[0].first;
}

// Which values came from the image rather than the options, in one line.
std::string found_in_image(const Options &opt) {
    std::vector<std::string> found;
    if (!opt.page_size)
        found.emplace_back("page size");
    if (!opt.clus_pages)
        found.emplace_back("pages per cluster");
    if (!opt.geometry_tag)
        found.emplace_back("tag");
    if (!opt.crc)
        found.emplace_back("CRC");
    if (!opt.crc_seed)
        found.emplace_back("seed");
    return found.empty() ? "all given" : fmt::format("{} found in the image", fmt::join(found, ", "));
}

// The image's setting when the options give all of it: nothing to find,
// and a medium whose roots are all damaged can still be checked this way.
Params params_given(const Options &opt, const CrcAlgo *crc) {
    Params p;
    p.page_size = *opt.page_size;
    p.clus_pages = *opt.clus_pages;
    p.geometry_tag = opt.geometry_tag.value_or(0);
    p.crc = crc;
    p.crc_seed = *opt.crc_seed;
    p.max_files = opt.max_files.value_or(p.max_files);
    if (p.page_size == 0)
        throw Error("--page-size 0: a page must be a multiple of 8 bytes, and at least the 32 bytes of a root "
                    "header");
    return p;
}

Params params_of(const Setting &setting, const Options &opt) {
    const auto &[g, algo, seed] = setting;
    Params p;
    p.page_size = g.page_size;
    p.clus_pages = g.clus_pages;
    p.geometry_tag = g.geometry_tag;
    p.crc = algo;
    p.crc_seed = seed;
    p.max_files = opt.max_files.value_or(p.max_files);
    return p;
}

} // namespace

bool is_blank(const std::vector<uint8_t> &image) {
    return std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0xFF; });
}

Detection detect(const std::vector<uint8_t> &image, const Options &opt, bool for_change) {
    if (image.empty())
        throw Error(opt.offset != 0 ? fmt::format("the image holds nothing from offset {} on", opt.offset)
                                    : std::string("the image is empty"));
    if (is_blank(image))
        throw library_error("the image is blank (erased)", DACE_E_NOT_A_VOLUME);
    const CrcAlgo *given_crc = nullptr;
    if (opt.crc) {
        given_crc = find_crc(*opt.crc);
        if (given_crc == nullptr)
            throw Error(fmt::format("unknown --crc {}: known are {}", *opt.crc, crc_names()));
    }
    Detection d;
    if (opt.page_size && opt.clus_pages && given_crc != nullptr && opt.crc_seed) {
        d.params = params_given(opt, given_crc);
        d.how = "all given";
    } else {
        const HeaderScan scan = scan_headers(image, opt);
        const Scores sc = score_settings(image, scan.headers, opt, given_crc);
        refuse_unexplained(image, opt, scan, sc, given_crc);
        d.params = params_of(best_setting(sc.settings), opt);
        d.how = found_in_image(opt);
    }
    d.recorded_clusters = recorded_clusters(image, d.params);
    d.pages_given = opt.pages.has_value();
    d.params.total_pages = medium_pages(image.size(), d.params.page_size, d.params.clus_pages,
                                        d.recorded_clusters.value_or(0), opt, for_change, d.warnings);
    check_geometry(d.params);
    return d;
}

std::string entry_name(const dace_entry &e) {
    size_t n = 0;
    while (n < sizeof e.name && e.name[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char *>(e.name), n);
}

std::string printable(const std::string &name) {
    std::string out;
    for (const char raw : name) {
        const auto ch = static_cast<unsigned char>(raw);
        if (ch < 0x20 || ch == 0x7F || ch == '"' || ch == '\\')
            out += fmt::format("\\x{:02x}", ch);
        else
            out += static_cast<char>(ch);
    }
    return out;
}

} // namespace dace_tool
