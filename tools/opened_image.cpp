// An image a command works on: read from its file under its lock (or from
// bytes), mounted whole, to read what is intact, or for a change, and the
// change written back; and a new medium written into its file.
#include "tools/opened_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "tools/file_ops.h"

namespace dace_tool {

namespace {

// The most a medium can span: 65535 pages of 32 KiB.
constexpr uint64_t kMaxMediumBytes = uint64_t{0xFFFF} * 32768;

// Why a chain names a cluster past the volume's last: the image of a
// volume that records no size may be cut short; one that records its size
// has a damaged directory.
std::string beyond_end_text(const Survey &sv) {
    if (sv.recorded_clusters != 0)
        return fmt::format("a file's chain names cluster {}, past the volume's last cluster {}: the directory is "
                           "damaged",
                           sv.beyond_max, sv.clus_count - 1);
    return fmt::format("a file's chain names cluster {}, past the image's last cluster {}: the image is cut short "
                       "(or --pages too small)",
                       sv.beyond_max, sv.clus_count - 1);
}

} // namespace

int tell_cut_short(Output &o, const Image &img) {
    if (!img.cut_short())
        return 0;
    o.err << fmt::format("dace: {}: what lay past its end is lost\n", cut_short_text(img.bytes.size(), img.params()));
    return 1;
}

Image open_image(const std::string &path, const Options &opt, LockAccess access, LockHolder holder) {
    auto lock = std::make_shared<ImageLock>(path, access, holder, opt.wait);
    uint64_t most = kMaxMediumBytes;
    if (opt.pages && opt.page_size)
        most = std::min(most, *opt.pages * *opt.page_size);
    Image img;
    img.bytes = read_region(*lock, opt.offset, most);
    img.detection = detect(img.bytes, opt, access == LockAccess::Change);
    // Bytes past the volume are not the medium's; an image cut short keeps
    // what it holds.
    if (img.bytes.size() > img.params().medium_bytes())
        img.bytes.resize(static_cast<size_t>(img.params().medium_bytes()));
    img.path = path;
    img.offset = opt.offset;
    img.whole_file = opt.offset == 0 && img.bytes.size() == static_cast<uint64_t>(lock->status().st_size) &&
                     lock->status().st_nlink == 1;
    img.lock = std::move(lock);
    return img;
}

Image image_from_bytes(std::vector<uint8_t> bytes, const Options &opt) {
    Image img;
    img.detection = detect(bytes, opt);
    if (bytes.size() > img.params().medium_bytes())
        bytes.resize(static_cast<size_t>(img.params().medium_bytes()));
    img.bytes = std::move(bytes);
    return img;
}

Survey chains_of(const Image &img) { return survey_image(img.bytes, img.params(), {}, false); }

Volume mount_whole(const Image &img) {
    if (img.cut_short())
        throw Error(fmt::format("{}: what lay past its end is lost; dace check lists it, and ls, stat, cat, get and "
                                "unpack read what is intact",
                                cut_short_text(img.bytes.size(), img.params())));
    const Survey sv = chains_of(img);
    if (sv.beyond_end)
        throw Error(beyond_end_text(sv) + "; ls, cat, get and unpack read what is intact");
    VolumeOptions vo;
    vo.mounting = Mounting::Read;
    return Volume(img.bytes, img.params(), vo);
}

Volume mount_to_read(const Image &img, const Survey &sv) {
    Params p;
    if (!size_to_read(sv, p))
        return mount_whole(img);
    VolumeOptions vo;
    vo.mounting = Mounting::Read;
    vo.missing_reads_erased = true;
    return Volume(img.bytes, p, vo);
}

Volume mount_for_change(const Image &img, const std::string &removed) {
    if (img.cut_short())
        throw Error(fmt::format("{}, and a change would make the loss of what lay past its end final; unpack what "
                                "is intact instead",
                                cut_short_text(img.bytes.size(), img.params())));
    const Survey sv = chains_of(img);
    if (sv.beyond_end)
        throw Error(beyond_end_text(sv) + ", and a change would lose those files for good; unpack what is intact "
                                          "instead");
    for (const FileChain &f : sv.files)
        if (!f.damage.empty() && f.name != removed)
            throw Error(fmt::format("{}: {}: the image is damaged, and a change would lose what can still be read "
                                    "(dace check tells more)",
                                    named(f.name), f.damage));
    VolumeOptions vo;
    vo.mounting = Mounting::Change;
    vo.journal = !img.whole_file;
    return Volume(img.bytes, img.params(), vo);
}

void save(const Image &img, Volume &v) {
    if (img.lock == nullptr)
        throw Error("this image has no file to write to");
    if (img.whole_file)
        replace_image(*img.lock, v.bytes());
    else
        write_in_place(*img.lock, img.offset, v.journal());
}

void write_new_medium(const std::string &path, const Options &opt, const ImageLock *lock, Volume &v) {
    const std::vector<uint8_t> &bytes = v.bytes();
    if (lock == nullptr) {
        if (opt.offset != 0)
            throw Error(fmt::format("{} does not exist: a medium at --offset {} goes into an existing file", path,
                                    opt.offset));
        create_image(path, bytes);
        return;
    }
    const auto size = static_cast<uint64_t>(lock->status().st_size);
    if (opt.offset == 0 && lock->status().st_nlink == 1) {
        replace_image(*lock, bytes);
        return;
    }
    if (opt.offset != 0 && size < opt.offset + bytes.size())
        throw Error(fmt::format("{} is {} bytes: a medium of {} bytes at --offset {} would reach past its end", path,
                                size, bytes.size(), opt.offset));
    // Erased first, then written as the library wrote it.
    std::vector<MediumWrite> changes{MediumWrite{0, std::vector<uint8_t>(bytes.size(), 0xFF), true}};
    changes.insert(changes.end(), v.journal().begin(), v.journal().end());
    write_in_place(*lock, opt.offset, changes);
    if (opt.offset == 0 && size > bytes.size() && ::ftruncate(lock->fd(), static_cast<off_t>(bytes.size())) != 0)
        throw Error(fmt::format("cannot cut {} to {} bytes: {}", path, bytes.size(), std::strerror(errno)));
}

std::unique_ptr<ImageLock> lock_for_new(const std::string &path, const Options &opt, bool force) {
    struct stat st {};
    if (::stat(resolve_links(path).c_str(), &st) != 0)
        return nullptr;
    if (!force)
        throw Error(fmt::format("{} exists: pass --force to replace it", path));
    return std::make_unique<ImageLock>(path, LockAccess::Change, LockHolder::Command, opt.wait);
}

bool new_medium_in_place(const ImageLock *lock, const Options &opt) {
    return lock != nullptr && (opt.offset != 0 || lock->status().st_nlink > 1);
}

} // namespace dace_tool
