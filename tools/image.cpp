#include "tools/image.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <tuple>

#include <fmt/format.h>

#include "tools/survey.h"

namespace dace_tool {

namespace {

constexpr uint32_t kMinClusters = 8;
constexpr size_t kMaxHeadersScored = 256;

bool power_of_two(uint32_t x) { return x != 0 && (x & (x - 1)) == 0; }

uint32_t load_u32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void update_stamp(void *ctx, dace_entry *entry) {
    const auto *src = static_cast<const StampSource *>(ctx);
    if (entry != nullptr && src->value)
        entry->stamp = *src->value;
}

std::string errno_text() { return std::strerror(errno); }

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
    return h.page_size >= sizeof(dace_root) && power_of_two(h.clus_pages) &&
           uint32_t{h.page_size} * h.clus_pages < 65536u && (h.geometry_tag & (h.geometry_tag - 1)) == 0;
}

std::string geometry_text(const GeometryKey &g) {
    return fmt::format("page size {}, {} pages per cluster, tag {}", g.page_size, g.clus_pages, g.geometry_tag);
}

// Writes everything, at `offset`, or at the file's position when it is negative.
bool write_everything(int fd, const uint8_t *bytes, size_t count, off_t offset) {
    while (count > 0) {
        const ssize_t put = offset < 0 ? ::write(fd, bytes, count) : ::pwrite(fd, bytes, count, offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        count -= static_cast<size_t>(put);
        if (offset >= 0)
            offset += put;
    }
    return true;
}

} // namespace

bool write_all(int fd, const std::vector<uint8_t> &bytes) { return write_everything(fd, bytes.data(), bytes.size(), -1); }

bool write_all_at(int fd, const uint8_t *bytes, size_t count, size_t offset) {
    return write_everything(fd, bytes, count, static_cast<off_t>(offset));
}

void check_geometry(const Params &p) {
    if (p.page_size < sizeof(dace_root))
        throw Error(fmt::format("--page-size {} is below the 32 bytes a root header needs", p.page_size));
    if (!power_of_two(p.clus_pages))
        throw Error(fmt::format("--clus-pages {} is not a power of two", p.clus_pages));
    if (p.clus_size() >= 65536u)
        throw Error(fmt::format("a cluster of {} pages of {} bytes reaches 64 KiB; lower --clus-pages or "
                                "--page-size",
                                p.clus_pages, p.page_size));
    if ((p.geometry_tag & (p.geometry_tag - 1)) != 0)
        throw Error(fmt::format("--geometry-tag {} is neither 0 nor a power of two", p.geometry_tag));
    if (p.max_files == 0)
        throw Error("--max-files must be at least 1");
    if (p.clus_count() < kMinClusters)
        throw Error(fmt::format("{} pages make {} clusters; the medium needs at least {}", p.total_pages,
                                p.clus_count(), kMinClusters));
}

Params params_for_new(const Options &opt, uint32_t total_pages) {
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
    if (total_pages > 0xFFFFu)
        throw Error(fmt::format("{} pages exceed the 65535 a medium can have; raise --page-size", total_pages));
    p.total_pages = static_cast<uint16_t>(total_pages);
    check_geometry(p);
    return p;
}

Detection detect(const std::vector<uint8_t> &image, const Options &opt) {
    if (image.empty())
        throw Error("the image is empty");
    const CrcAlgo *given_crc = nullptr;
    if (opt.crc) {
        given_crc = find_crc(*opt.crc);
        if (given_crc == nullptr)
            throw Error(fmt::format("unknown --crc {}: known are {}", *opt.crc, crc_names()));
    }

    // Everything given: nothing to find. A medium whose roots are all damaged
    // can still be checked this way.
    if (opt.page_size && opt.clus_pages && given_crc != nullptr && opt.crc_seed) {
        Params p;
        p.page_size = *opt.page_size;
        p.clus_pages = *opt.clus_pages;
        p.geometry_tag = opt.geometry_tag.value_or(0);
        p.crc = given_crc;
        p.crc_seed = *opt.crc_seed;
        p.max_files = opt.max_files.value_or(p.max_files);
        if (image.size() % p.page_size != 0)
            throw Error(fmt::format("the image is {} bytes, not a whole number of {}-byte pages: truncated?",
                                    image.size(), p.page_size));
        if (image.size() / p.page_size > 0xFFFFu)
            throw Error(fmt::format("the image holds more than 65535 pages of {} bytes", p.page_size));
        p.total_pages = static_cast<uint16_t>(image.size() / p.page_size);
        check_geometry(p);
        return Detection{p, "all given"};
    }

    // Every root header that sits at the start of a page of its own geometry.
    std::vector<Header> headers;
    for (size_t off = 0; off + sizeof(dace_root) <= image.size(); off += 4) {
        if (load_u32(image.data() + off) != ROOT_MAGIC)
            continue;
        dace_root h;
        std::memcpy(&h, image.data() + off, sizeof h);
        if (!plausible(h) || off % h.page_size != 0)
            continue;
        if ((opt.page_size && h.page_size != *opt.page_size) || (opt.clus_pages && h.clus_pages != *opt.clus_pages) ||
            (opt.geometry_tag && h.geometry_tag != *opt.geometry_tag))
            continue;
        headers.push_back({off, h});
        if (headers.size() >= 4 * kMaxHeadersScored)
            break;
    }

    // Score each (geometry, CRC, seed) by the root copies whose both CRCs it
    // explains. A header's own CRC fixes the seed for each CRC; the entry
    // table's CRC then confirms or refutes it.
    using Key = std::tuple<GeometryKey, const CrcAlgo *, uint16_t>;
    std::map<Key, uint32_t> score;
    std::map<GeometryKey, uint32_t> geometries;
    size_t scored = 0;
    for (const Header &hd : headers) {
        const dace_root &h = hd.head;
        const GeometryKey g{h.page_size, h.clus_pages, h.geometry_tag};
        const uint32_t clus_size = uint32_t{h.page_size} * h.clus_pages;
        if (hd.offset % clus_size == 0)
            ++geometries[g];
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
            ++score[Key{g, &algo, seed}];
        }
    }

    const std::string all_options = "pass --page-size, --clus-pages, --geometry-tag, --crc and --crc-seed";
    if (geometries.empty() && !(opt.page_size && opt.clus_pages))
        throw Error(fmt::format("no root header found: not an image of this file system, or one whose every root "
                                "is damaged (to read it anyway, {})",
                                all_options));
    if (score.empty()) {
        if (opt.page_size && opt.clus_pages && opt.crc && opt.crc_seed)
            throw Error("no root copy is valid under the given --page-size, --clus-pages, --geometry-tag, --crc "
                        "and --crc-seed: the root is damaged, or the image is not of this file system");
        throw Error(fmt::format("root headers found, but no root copy is valid under any known CRC ({}); the root "
                                "is damaged or the firmware uses another CRC: {}",
                                crc_names(), all_options));
    }

    std::vector<std::pair<Key, uint32_t>> ranked(score.begin(), score.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    if (ranked.size() > 1 && ranked[0].second == ranked[1].second) {
        std::string alternatives;
        for (const auto &[key, n] : ranked) {
            if (n != ranked[0].second)
                break;
            const auto &[g, algo, seed] = key;
            alternatives += fmt::format("{}{}, CRC {} seed {:#06x}", alternatives.empty() ? "" : "; ",
                                        geometry_text(g), algo->name, seed);
        }
        const bool geometry_open = std::get<0>(ranked[0].first) != std::get<0>(ranked[1].first);
        throw Error(fmt::format("the image fits more than one setting ({}): {}", alternatives,
                                geometry_open ? all_options : "pass --crc and --crc-seed"));
    }

    const auto &[g, algo, seed] = ranked[0].first;
    Params p;
    p.page_size = g.page_size;
    p.clus_pages = g.clus_pages;
    p.geometry_tag = g.geometry_tag;
    p.crc = algo;
    p.crc_seed = seed;
    p.max_files = opt.max_files.value_or(p.max_files);
    if (image.size() % p.page_size != 0)
        throw Error(fmt::format("the image is {} bytes, not a whole number of {}-byte pages: truncated?", image.size(),
                                p.page_size));
    const size_t pages = image.size() / p.page_size;
    if (pages > 0xFFFFu)
        throw Error(fmt::format("the image holds {} pages of {} bytes; a medium has at most 65535", pages, p.page_size));
    p.total_pages = static_cast<uint16_t>(pages);
    check_geometry(p);

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
    Detection d{p, {}};
    d.how = found.empty() ? "all given" : fmt::format("{} found in the image", fmt::join(found, ", "));
    return d;
}

std::vector<uint8_t> read_image_file(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error(fmt::format("cannot open image {}: {}", path, errno_text()));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Error(fmt::format("{} is not a regular file", path));
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got <= 0) {
            const std::string why = got < 0 ? errno_text() : "it shrank while read";
            ::close(fd);
            throw Error(fmt::format("cannot read image {}: {}", path, why));
        }
        done += static_cast<size_t>(got);
    }
    ::close(fd);
    return bytes;
}

ImageLock::ImageLock(const std::string &path, int open_flags, bool exclusive) {
    fd_ = ::open(path.c_str(), open_flags | O_CLOEXEC);
    if (fd_ < 0)
        throw Error(fmt::format("cannot open image {}: {}", path, errno_text()));
    if (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        const std::string why = errno_text();
        ::close(fd_);
        throw Error(busy ? fmt::format("{} is in use by a dace mount (or a dace command changing it): unmount it first", path)
                         : fmt::format("cannot lock image {}: {}", path, why));
    }
}

ImageLock::~ImageLock() { ::close(fd_); }

void replace_image_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::optional<ImageLock> lock;
    if (std::filesystem::exists(path))
        lock.emplace(path, O_RDONLY, true);
    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
    std::string tmp = (folder / fmt::format(".{}.XXXXXX", target.filename().string())).string();
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        throw Error(fmt::format("cannot create a temporary file beside {}: {}", path, errno_text()));
    bool ok = write_all(fd, bytes);
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    const std::string why = errno_text();
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string rename_why = ok ? errno_text() : why;
        ::unlink(tmp.c_str());
        throw Error(fmt::format("cannot write image {}: {}", path, rename_why));
    }
}

uint64_t now_stamp() {
    if (const char *epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr && *epoch != 0) {
        char *end = nullptr;
        const unsigned long long secs = std::strtoull(epoch, &end, 10);
        if (*end == 0)
            return static_cast<uint64_t>(secs) * 1000000000ull;
    }
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

Volume::Volume(std::vector<uint8_t> image, const Params &params, bool must_exist, int mirror_fd) : params_(params) {
    check_geometry(params_);
    if (image.size() != size_t{params_.total_pages} * params_.page_size)
        throw Error(fmt::format("the image is {} bytes where {} pages of {} bytes need {}", image.size(),
                                params_.total_pages, params_.page_size,
                                size_t{params_.total_pages} * params_.page_size));
    if (must_exist && !has_valid_root(image, params_))
        throw Error("no valid root copy: the root is damaged or the image is not of this file system");
    sim_ = std::make_unique<dace_sim::FlashSim>(
        dace_sim::Geometry{params_.page_size, params_.clus_pages, params_.total_pages});
    sim_->bytes() = std::move(image);
    // Programming over bytes that are not erased fails, as on the device.
    sim_->set_strict(true);
    if (mirror_fd >= 0) {
        sim_->set_mirror([this, mirror_fd](size_t offset, size_t count) {
            errno = 0;
            if (write_all_at(mirror_fd, sim_->bytes().data() + offset, count, offset))
                return true;
            if (mirror_error_ == 0)
                mirror_error_ = errno != 0 ? errno : EIO;
            return false;
        });
    }
    dace_config cfg = sim_->config(params_.max_files, params_.crc_seed);
    cfg.geometry_tag = params_.geometry_tag;
    cfg.crc_fn = &crc_callback;
    cfg.crc_ctx = const_cast<CrcAlgo *>(params_.crc);
    cfg.update_fn = &update_stamp;
    cfg.update_ctx = &stamp_;
    const uint32_t size = dace_getstatesize(&cfg);
    if (size == 0)
        throw Error("the library refuses this geometry");
    block_.resize((size + 7) / 8);
    state_ = dace_init(&cfg, block_.data());
    if (state_ == nullptr)
        throw Error("the medium does not mount: a root of another geometry, or a cluster that cannot be read");
}

std::vector<dace_entry> Volume::entries() {
    std::vector<dace_entry> out;
    dace_dir dir;
    dace_opendir(state_, &dir);
    while (const dace_entry *e = dace_readdir(state_, &dir))
        out.push_back(*e);
    return out;
}

uint32_t Volume::chain_length(uint16_t clus) const {
    uint32_t n = 0;
    while (clus < state_->clus_count && n < state_->clus_count) {
        ++n;
        clus = state_->clus_table[clus];
    }
    return n;
}

std::optional<dace_entry> Volume::stat(const std::string &name) {
    dace_entry e;
    if (dace_stat(state_, name.c_str(), &e) != 0)
        return std::nullopt;
    return e;
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
