// The volume every host user mounts, on the tool's image medium or on any
// other behind the same interface, and the rename rule the hosts share.
#include "tools/volume.h"

#include <chrono>
#include <cstdlib>

#include <fmt/format.h>

#include "tools/image_medium.h"
#include "tools/survey.h"

namespace dace_tool {

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

namespace {

void update_stamp(void *ctx, dace_entry *entry) {
    const auto *src = static_cast<const StampSource *>(ctx);
    if (entry != nullptr && src->value)
        entry->stamp = *src->value;
}

// Why the library refused to mount (or format) `image` under `p`, given
// its reason: the table's line, or a line that says more where the tool
// has one (a blank image, the size the volume records).
[[noreturn]] void refuse_mount(int reason, const std::vector<uint8_t> &image, const Params &p, Mounting how) {
    if (how == Mounting::Format)
        throw library_error("the medium cannot be formatted", reason);
    switch (reason) {
    case DACE_E_NOT_A_VOLUME:
        if (is_blank(image))
            throw library_error("the image is blank (erased)", reason);
        throw library_error("the image does not mount", reason,
                            " (no mark of this file system: not an image of it, or the wrong --offset)");
    case DACE_E_SIZE_MISMATCH:
        if (const std::optional<uint16_t> recorded = recorded_clusters(image, p);
            recorded && *recorded != p.clus_count())
            throw SizeMismatch(uint32_t{*recorded} * p.clus_pages, p.total_pages);
        // The volume's own size is this one: another root cluster is not.
        throw library_error("the image does not mount", reason,
                            fmt::format(" (a root cluster that records a cluster count other than this volume's {} "
                                        "outranks its root or ties with it; dace check names it)",
                                        p.clus_count()));
    case DACE_E_DAMAGED:
        throw library_error("no valid root copy", reason,
                            " (the root is damaged, or the image was written with another CRC or seed)");
    case DACE_E_GEOMETRY:
        throw library_error("the image does not mount", reason,
                            " (a root cluster holds a root copy of another page size, cluster size or tag, which "
                            "dace check names, or a volume of smaller clusters has marks between the cluster "
                            "starts)");
    default: break;
    }
    throw library_error("the image does not mount", reason);
}

// The image medium on `image`, refused unless it is the size `params`
// gives (or less, when its missing end may read erased).
std::shared_ptr<Medium> image_medium(std::vector<uint8_t> image, const Params &params, const VolumeOptions &vo) {
    check_geometry(params);
    const uint64_t medium = params.medium_bytes();
    if (image.size() > medium || (image.size() < medium && !vo.missing_reads_erased))
        throw Error(image.size() < medium ? cut_short_text(image.size(), params)
                                          : fmt::format("the image is {} bytes where {} pages of {} bytes need {}",
                                                        image.size(), params.total_pages, params.page_size, medium));
    auto m = std::make_shared<ImageMedium>(std::move(image), params.page_size, params.clus_pages,
                                           static_cast<size_t>(medium));
    if (vo.mirror_fd >= 0)
        m->mirror_to(vo.mirror_fd, vo.mirror_origin);
    if (vo.journal)
        m->keep_journal();
    return m;
}

} // namespace

Volume::Volume(std::vector<uint8_t> image, const Params &params, const VolumeOptions &vo)
    : Volume(image_medium(std::move(image), params, vo), params, vo.mounting) {}

Volume::Volume(std::shared_ptr<Medium> medium, const Params &params, Mounting how)
    : params_(params), medium_(std::move(medium)) {
    dace_config cfg = config_of(params_);
    medium_->attach(cfg);
    if (how == Mounting::Read) {
        // As a write-protected part: whatever a reading path asked of the
        // library, the medium would stay as it is.
        const dace_config inert = config_of(params_);
        cfg.write_fn = inert.write_fn;
        cfg.erase_fn = inert.erase_fn;
    }
    cfg.update_fn = &update_stamp;
    cfg.update_ctx = &stamp_;
    const uint32_t size = dace_getstatesize(&cfg);
    if (size == 0)
        throw library_error(fmt::format("dace_check_config rule {}", dace_check_config(&cfg)), DACE_E_CONFIG);
    block_.resize((size + 7) / 8);
    void *block = block_.data();
    // dace_mount never formats: a change is made only to the volume it
    // finds, and the state it mounts takes changes unless the medium
    // refuses them.
    state_ = how == Mounting::Format ? dace_format(&cfg, block) : dace_mount(&cfg, block);
    // A refused mount changed nothing on the medium.
    if (state_ == nullptr)
        refuse_mount(dace_init_error(block), medium_->bytes(), params_, how);
}

std::vector<dace_entry> Volume::entries() {
    std::vector<dace_entry> out;
    dace_dir dir;
    dace_opendir(state_, &dir);
    while (const dace_entry *e = dace_readdir(state_, &dir))
        out.push_back(*e);
    return out;
}

std::vector<uint16_t> Volume::chain(uint16_t clus) const {
    std::vector<uint16_t> out;
    while (clus < state_->clus_count && out.size() < state_->clus_count) {
        out.push_back(clus);
        clus = state_->clus_table[clus];
    }
    return out;
}

std::optional<dace_entry> Volume::stat(const std::string &name) {
    dace_entry e;
    if (dace_stat(state_, name.c_str(), &e) != DACE_OK)
        return std::nullopt;
    return e;
}

LibraryError Volume::failure(const std::string &what, const std::string &hint) const {
    return library_error(what, dace_error(state_), hint);
}

RenameOutcome rename_by_rule(Volume &v, const std::string &from, const std::string &to, bool replace,
                             const std::function<int(int)> &make_way) {
    dace_state *s = v.state();
    dace_entry e{};
    if (dace_stat(s, from.c_str(), &e) != DACE_OK)
        return {Renamed::NoFile, dace_error(s), DACE_NO_FILE};
    const int position = dace_find_file(s, from.c_str());
    const int bearer = dace_find_file(s, to.c_str());
    if (bearer == position)
        return {Renamed::SameName};
    if (bearer >= 0 && !replace)
        return {Renamed::NameTaken, DACE_E_NAME_TAKEN, DACE_OK};
    if (bearer >= 0 && make_way) {
        if (const int r = make_way(bearer); r != 0)
            return {Renamed::NoWay, DACE_E_NONE, r};
    }
    // With no file bearing the new name this is the plain rename; the new
    // name is the library's to judge.
    if (const int r = dace_rename_replace(s, from.c_str(), to.c_str()); r != DACE_OK)
        return {Renamed::Failed, dace_error(s), r};
    return {Renamed::Done};
}

} // namespace dace_tool
