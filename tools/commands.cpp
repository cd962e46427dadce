#include "tools/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>

#include <fmt/format.h>

#include "tools/reasons.h"
#include "tools/survey.h"

namespace dace_tool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr uint32_t kChunk = 1u << 20;
// The most a medium can span: 65535 pages of 32 KiB.
constexpr uint64_t kMaxMediumBytes = uint64_t{0xFFFF} * 32768;
constexpr const char *kSalvageHint = "; --salvage extracts what can be read";

std::string named(const std::string &name) { return "\"" + printable(name) + "\""; }

// Refuses a name the library would refuse, with its reason.
void check_name(const std::string &name) {
    if (const int reason = name_reason(name.c_str()); reason != DACE_E_NONE)
        throw library_error("bad name " + named(name), reason,
                            reason == DACE_E_NAME_TOO_LONG ? fmt::format(" (this one has {})", name.size()) : "");
    if (name.find('\0') != std::string::npos)
        throw Error(fmt::format("bad name {}: it holds a NUL byte", named(name)));
}

// A lookup that found nothing, as the library's lookups say it: a name
// against the rules is never on the medium.
[[noreturn]] void no_such_file(const std::string &name) {
    check_name(name);
    throw library_error(named(name), DACE_E_NO_FILE);
}

// A name that is safe as a file name in a host folder.
bool host_safe(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos;
}

uint64_t mtime_ns(const struct stat &st) {
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

const char *file_kind(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// Reads a host file whole. Anything but a regular file is refused before
// it is opened for good, so that a FIFO or a device cannot make it block.
std::vector<uint8_t> read_host_file(const std::string &path, uint64_t *mtime) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw Error(fmt::format("{} is {}: only a regular file can be read (or - for standard input)", path,
                                file_kind(st.st_mode)));
    // Non-blocking, in case it was swapped for a FIFO since.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw Error(fmt::format("cannot open {}: {}", path, std::strerror(errno)));
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Error(fmt::format("{} is {}: only a regular file can be read (or - for standard input)", path,
                                file_kind(st.st_mode)));
    }
    if (mtime != nullptr)
        *mtime = mtime_ns(st);
    std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
    size_t done = 0;
    int error = 0;
    while (done < data.size()) {
        const ssize_t got = ::read(fd, data.data() + done, data.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        done += static_cast<size_t>(got);
    }
    ::close(fd);
    if (done != data.size())
        throw Error(fmt::format("cannot read {}: {}", path, error != 0 ? std::strerror(error) : "it shrank while read"));
    return data;
}

// Writes a host file afresh (never through a link that stood there) and
// gives it the entry's time.
void write_host_file(const std::string &path, const std::vector<uint8_t> &data, uint64_t stamp) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error(fmt::format("cannot create {}: {}", path, std::strerror(errno)));
    bool ok = write_all(fd, data);
    if (ok && stamp != 0) {
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(stamp / 1000000000ull);
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(stamp % 1000000000ull);
        ok = ::futimens(fd, times) == 0;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        throw Error(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
}

// Every file's chain as it lies, without the data CRCs: what the mount
// would hide of a damaged image.
Survey chains_of(const Image &img) { return survey_image(img.bytes, img.params(), {}, false); }

// A change by `name` that failed, said as check_name and no_such_file say it.
LibraryError by_name_failure(Volume &v, const std::string &name) {
    const int reason = dace_error(v.state());
    const bool bad_name = reason == DACE_E_NAME_INVALID || reason == DACE_E_NAME_TOO_LONG;
    return v.failure((bad_name ? "bad name " : "") + named(name));
}

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

// For commands whose answer is about the whole volume (info, df): the
// library mounts it only whole.
Volume mount(const Image &img) {
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

// For reading what is intact of an image cut short: the library mounts it
// at the size the survey shows (size_to_read), the clusters it lacks
// reading erased, so no file reads anything from them, and the survey of
// the image as it is tells what is missing.
Volume mount_to_read(const Image &img, const Survey &sv) {
    Params p;
    if (!size_to_read(sv, p))
        return mount(img);
    VolumeOptions vo;
    vo.mounting = Mounting::Read;
    vo.missing_reads_erased = true;
    return Volume(img.bytes, p, vo);
}

// The mount cuts short a chain it cannot follow, and the command's commit
// would make that loss final: a changing command refuses such an image,
// unless the damaged file is the one it removes, and any image cut short.
Volume mount_for_change(const Image &img, const std::string &removed = {}) {
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

// Tells of every file whose data cannot all be read; 1 when there is one.
int report_damage(Output &o, const Survey &sv) {
    int status = 0;
    for (const FileChain &f : sv.files) {
        if (f.damage.empty())
            continue;
        o.err << fmt::format("dace: {}: {}\n", named(f.name), f.damage);
        status = 1;
    }
    return status;
}

json entry_json(const FileChain &f) {
    return json{{"name", f.name},
                {"size", f.entry.size},
                {"clusters", f.clusters.size()},
                {"newest_cluster", f.entry.clus == CLUS_END ? json(nullptr) : json(f.entry.clus)},
                {"stamp", f.entry.stamp},
                {"time", stamp_iso(f.entry.stamp)},
                {"damage", f.damage.empty() ? json(nullptr) : json(f.damage)}};
}

// What a read through the library gave: the bytes before it stopped, and
// why it stopped short (DACE_E_NONE when it did not).
struct ReadBack {
    std::vector<uint8_t> data;
    int reason = DACE_E_NONE;
};

// Reads up to `size` bytes of `name` through the library; fewer when a read
// stops short.
ReadBack read_through(Volume &v, const std::string &name, uint32_t size) {
    ReadBack r;
    r.data.resize(size);
    size_t done = 0;
    const dace_handle h = dace_open(v.state(), name.c_str());
    if (h == 0)
        r.reason = dace_error(v.state());
    while (h != 0 && done < r.data.size()) {
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(kChunk, r.data.size() - done));
        const uint32_t got = dace_read(v.state(), r.data.data() + done, want, h);
        if (got == 0) {
            // Bytes the entry promises that the medium does not give.
            r.reason = dace_error(v.state()) != DACE_E_NONE ? dace_error(v.state()) : DACE_E_DAMAGED;
            break;
        }
        done += got;
    }
    if (h != 0)
        dace_close(v.state(), h);
    r.data.resize(done);
    return r;
}

// Why a read of `f` stopped at byte `done`: the cluster that holds it.
std::string stop_cause(const Image &img, const FileChain &f, size_t done) {
    const size_t payload = img.params().clus_size() - sizeof(dace_clus_header);
    const size_t k = done / payload; // clusters in file order
    if (k >= f.clusters.size())
        return fmt::format("its chain ends after {} cluster{}", f.clusters.size(), f.clusters.size() == 1 ? "" : "s");
    const uint16_t c = f.clusters[f.clusters.size() - 1 - k];
    const std::string fault = data_cluster_fault(img.bytes, img.params(), c);
    return fault.empty() ? fmt::format("cluster {} cannot be read", c) : fault;
}

struct Extracted {
    std::vector<uint8_t> data;
    std::vector<std::string> faults; // what --salvage wrote anyway
};

// A file's data, read with verification: a cluster whose mark or CRC does
// not match stops it with an Error naming the cluster. With `salvage`, reads
// without verification and lists what is wrong instead.
Extracted extract(Volume &v, const Image &img, const Survey &sv, const std::string &name, bool salvage) {
    const FileChain *f = sv.file(name);
    if (f == nullptr)
        no_such_file(name);
    // One line says all: a file that the cut reached says so itself.
    const bool cut_elsewhere = img.cut_short() && f->damage.find("cut short") == std::string::npos;
    if (!f->damage.empty() && !salvage)
        throw Error(fmt::format("{}: {}{}{}", named(name), f->damage,
                                cut_elsewhere ? " (and the image is cut short)" : "", kSalvageHint));
    dace_verify_reads(v.state(), salvage ? 0 : 1);
    Extracted x;
    ReadBack r = read_through(v, name, f->entry.size);
    x.data = std::move(r.data);
    const size_t size = f->entry.size;
    if (x.data.size() < size) {
        const std::string why = fmt::format("reading stopped at byte {} of {}: {} ({})", x.data.size(), size,
                                            reason_of(r.reason).message, stop_cause(img, *f, x.data.size()));
        if (!salvage)
            throw LibraryError(fmt::format("{}: {}{}", named(name), why, kSalvageHint), r.reason);
        x.faults.push_back(why);
    }
    if (salvage) {
        std::set<std::string> told(x.faults.begin(), x.faults.end());
        auto tell = [&](const std::string &what) {
            if (told.insert(what).second)
                x.faults.push_back(what);
        };
        if (!f->damage.empty())
            tell(f->damage);
        for (auto c = f->clusters.rbegin(); c != f->clusters.rend(); ++c)
            if (const std::string fault = data_cluster_fault(img.bytes, img.params(), *c); !fault.empty())
                tell(fault + ": its bytes are written as they read");
    }
    return x;
}

int tell_faults(Output &o, const std::string &name, const Extracted &x) {
    for (const std::string &fault : x.faults)
        o.err << fmt::format("dace: {}: {}\n", named(name), fault);
    return x.faults.empty() ? 0 : 1;
}

void warn_salvage(Output &o, bool salvage) {
    if (salvage)
        o.err << "dace: --salvage: data is read without verification; damaged parts are written as they read\n";
}

// A name no entry bears, for a file written before it replaces another.
std::string spare_name(Volume &v) {
    for (int i = 0;; ++i) {
        std::string name = fmt::format("~put.{}", i);
        if (!v.stat(name))
            return name;
    }
}

// Writes a new medium to `path`: a new file; with `lock`, over the locked
// file (replacing it, or into it at --offset or when it has other names).
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

// The lock on an image a new medium replaces, or null when there is none
// yet; refuses an existing one without --force.
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

// A file of the folder that pack copies into the image.
struct PackSource {
    std::string name;
    std::string path;
    uint64_t size;
};

// A file pack cannot take: refused, or with --skip-invalid left out and told.
void leave_out(Output &o, bool skip_invalid, const std::string &what, const std::string &why) {
    if (!skip_invalid)
        throw Error(fmt::format("{}: {}; pass --skip-invalid to leave it out", what, why));
    o.err << fmt::format("dace: skipped {}: {}\n", what, why);
}

// Why pack cannot take this folder entry, or empty when it can.
std::string unpackable(const fs::directory_entry &de, const std::string &name) {
    std::error_code ec;
    if (de.is_directory(ec))
        return "a nested folder (pack takes a flat folder)";
    if (!de.is_regular_file(ec))
        return "not a regular file";
    if (dace_check_filename(name.c_str()) == DACE_NAME_TOO_LONG)
        return fmt::format("a name of {} bytes, more than 18", name.size());
    if (dace_check_filename(name.c_str()) != DACE_NAME_OK)
        return "a name with a separator";
    if (::access(de.path().c_str(), R_OK) != 0)
        return fmt::format("cannot be read ({})", std::strerror(errno));
    return {};
}

// The files of a flat folder in the order of their names, so that the
// image is reproducible.
std::vector<PackSource> pack_sources(Output &o, const std::string &dir, bool skip_invalid) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        throw Error(fmt::format("cannot read folder {}: {}", dir, ec.message()));
    std::vector<PackSource> sources;
    for (const fs::directory_entry &de : it) {
        const std::string name = de.path().filename().string();
        if (const std::string why = unpackable(de, name); !why.empty()) {
            leave_out(o, skip_invalid, de.path().string(), why);
            continue;
        }
        sources.push_back({name, de.path().string(), static_cast<uint64_t>(de.file_size(ec))});
    }
    std::sort(sources.begin(), sources.end(),
              [](const PackSource &a, const PackSource &b) { return a.name < b.name; });
    return sources;
}

// The pages of the medium: --pages, or what the files need. Refuses more
// files than a root holds.
uint64_t pages_to_pack(const std::vector<PackSource> &sources, const Options &opt) {
    const Params probe = params_for_new(opt, uint64_t{opt.clus_pages.value_or(Params{}.clus_pages)} * 16u);
    const uint32_t payload = probe.clus_size() - uint32_t{sizeof(dace_clus_header)};
    const uint32_t max_entries = (probe.clus_size() - uint32_t{sizeof(dace_root)}) / uint32_t{sizeof(dace_entry)};
    if (sources.size() > max_entries)
        throw Error(fmt::format("{} files exceed the {} entries a root of {}-byte clusters holds; raise --page-size "
                                "or --clus-pages",
                                sources.size(), max_entries, probe.clus_size()));
    if (opt.pages)
        return *opt.pages;
    // The data, the root, the clusters the allocator keeps in reserve, and
    // room for the root to move.
    uint64_t clusters = 8;
    for (const PackSource &src : sources)
        clusters += (src.size + payload - 1) / payload;
    return clusters * probe.clus_pages;
}

// Writes each source into the new volume with its time (or the fixed
// SOURCE_DATE_EPOCH). A file that cannot be read any more is refused, or
// left out with --skip-invalid.
void pack_files(Output &o, Volume &v, const std::vector<PackSource> &sources, bool skip_invalid) {
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    const bool fixed_time = epoch != nullptr && *epoch != 0;
    Progress bar(o, "pack", sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        uint64_t mtime = 0;
        std::vector<uint8_t> data;
        try {
            data = read_host_file(sources[i].path, &mtime);
        } catch (const Error &e) {
            // It changed since it was listed.
            if (!skip_invalid)
                throw Error(fmt::format("{}; pass --skip-invalid to leave it out", e.what()));
            o.err << fmt::format("dace: skipped {}: {}\n", sources[i].path, e.what());
            continue;
        }
        v.stamp().value = fixed_time ? now_stamp() : mtime;
        try {
            write_file(v, sources[i].name, data.data(), data.size(), false);
        } catch (const Error &e) {
            throw Error(fmt::format("{}: {}", sources[i].path, e.what()));
        }
        bar.update(i + 1);
    }
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

std::vector<uint8_t> read_file(Volume &v, const std::string &name) {
    const auto e = v.stat(name);
    if (!e)
        no_such_file(name);
    ReadBack r = read_through(v, name, e->size);
    if (r.data.size() != e->size)
        throw library_error(named(name), r.reason,
                            fmt::format(": reading stopped at byte {} of {}", r.data.size(), e->size));
    return std::move(r.data);
}

void write_file(Volume &v, const std::string &name, const uint8_t *data, size_t size, bool append) {
    check_name(name);
    dace_state *s = v.state();
    dace_handle h = 0;
    uint64_t start = 0;
    if (append) {
        const auto e = v.stat(name);
        if (!e)
            throw library_error(named(name), DACE_E_NO_FILE, " to append to");
        start = e->size;
        h = dace_open(s, name.c_str());
        if (h == 0 || dace_seek(s, h, 0, DACE_SEEK_END) != DACE_OK)
            throw v.failure(fmt::format("cannot open {} at its end", named(name)));
    } else {
        h = dace_create(s, name.c_str());
        if (h == 0) {
            const int reason = dace_error(s);
            throw library_error(named(name), reason,
                                reason == DACE_E_NAME_TAKEN ? ": pass --append to add to it, or --force to replace it"
                                : reason == DACE_E_DIRECTORY_FULL ? fmt::format(" ({} entries)", s->max_entries)
                                                                  : std::string());
        }
    }
    // Refused whole rather than cut at the limit.
    if (start + size > 0xFFFFFFFFull)
        throw library_error(named(name), DACE_E_FILE_TOO_LARGE);
    size_t done = 0;
    while (done < size) {
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(kChunk, size - done));
        const uint32_t took = dace_write(s, data + done, want, h);
        done += took;
        if (took != want)
            throw v.failure(named(name),
                            fmt::format(": {} of {} bytes written; the image is left as it was", done, size));
    }
    if (dace_close(s, h) != DACE_OK)
        throw v.failure(named(name), "; the image is left as it was");
}

void remove_file(Volume &v, const std::string &name) {
    if (dace_remove(v.state(), name.c_str()) != DACE_OK)
        throw by_name_failure(v, name);
}

bool rename_file(Volume &v, const std::string &from, const std::string &to, bool replace) {
    const RenameOutcome r = rename_by_rule(v, from, to, replace);
    switch (r.how) {
    case Renamed::Done: return true;
    case Renamed::SameName: return false;
    case Renamed::NoFile: no_such_file(from);
    case Renamed::NameTaken: throw library_error(named(to), DACE_E_NAME_TAKEN, ": pass --force to replace it");
    case Renamed::NoWay:
    case Renamed::Failed: break;
    }
    throw library_error(fmt::format("cannot rename {} to {}", named(from), named(to)), r.reason);
}

void truncate_file(Volume &v, const std::string &name, uint32_t length) {
    if (dace_truncate(v.state(), name.c_str(), length) != DACE_OK)
        throw by_name_failure(v, name);
}

namespace {

// Where the medium's size came from, for info.
std::string size_text(const Image &img, const Survey &sv, uint16_t version) {
    const Params &p = img.params();
    if (sv.recorded_clusters != 0)
        return fmt::format("{} pages ({} clusters), recorded in the root (format version {})",
                           uint32_t{sv.recorded_clusters} * p.clus_pages, sv.recorded_clusters, version);
    if (img.detection.recorded_clusters)
        return fmt::format("{} pages, as an earlier root cluster records (the root in force records no size)",
                           p.total_pages);
    return fmt::format("not recorded (a writer before format version {}): {} pages, from {}", DACE_FORMAT_VERSION,
                       p.total_pages, img.detection.pages_given ? "--pages" : "the image's length");
}

} // namespace

int cmd_info(Output &o, const Image &img) {
    Volume v = mount(img);
    const Params &p = img.params();
    dace_state *s = v.state();
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(s, &total);
    const Survey sv = survey_image(img.bytes, p, {}, false);
    const RootLog *log = sv.root();
    const size_t copies = log ? size_t(log->last_valid + 1) : 0;
    // What the copy in force records: its version, and the volume's size
    // unless a writer that recorded none wrote it.
    const uint16_t version = log ? log->copies[size_t(log->last_valid)].head.version : 0;
    const uint32_t recorded_pages = uint32_t{sv.recorded_clusters} * p.clus_pages;
    if (o.json) {
        print_json(o, json{{"page_size", p.page_size},
                           {"clus_pages", p.clus_pages},
                           {"geometry_tag", p.geometry_tag},
                           {"total_pages", p.total_pages},
                           {"offset", img.offset},
                           {"cluster_size", p.clus_size()},
                           {"clusters", p.clus_count()},
                           {"recorded_pages", recorded_pages != 0 ? json(recorded_pages) : json(nullptr)},
                           {"format_version", version},
                           {"crc", std::string(p.crc->name)},
                           {"crc_seed", p.crc_seed},
                           {"detected", img.detection.how},
                           {"generation", s->root->seq},
                           {"root_cluster", s->root_clus},
                           {"root_page", s->root_page},
                           {"root_copies", copies},
                           {"root_pages_used", s->root_end},
                           {"files", s->root->count},
                           {"max_entries", s->max_entries},
                           {"free_bytes", free_bytes},
                           {"total_bytes", total}});
        return 0;
    }
    o.out << fmt::format("geometry:    page size {}, {} pages per cluster ({} bytes), tag {}, {} pages, {} clusters{}\n",
                         p.page_size, p.clus_pages, p.clus_size(), p.geometry_tag, p.total_pages, p.clus_count(),
                         img.offset != 0 ? fmt::format(", at offset {}", img.offset) : std::string());
    o.out << fmt::format("size:        {}\n", size_text(img, sv, version));
    o.out << fmt::format("crc:         {}, seed {:#06x}\n", p.crc->name, p.crc_seed);
    o.out << fmt::format("detected:    {}\n", img.detection.how);
    o.out << fmt::format("root:        cluster {}, generation {}, copy at page {} ({} valid cop{}, {} of {} pages used)\n",
                         s->root_clus, s->root->seq, s->root_page, copies, copies == 1 ? "y" : "ies", s->root_end,
                         p.clus_pages);
    o.out << fmt::format("files:       {} of at most {}\n", s->root->count, s->max_entries);
    o.out << fmt::format("space:       {} bytes free of {}\n", free_bytes, total);
    return 0;
}

int cmd_ls(Output &o, const Image &img, bool long_format) {
    const Survey sv = chains_of(img);
    (void)mount_to_read(img, sv); // refused as the mount refuses it
    const int cut = tell_cut_short(o, img);
    if (o.json) {
        json list = json::array();
        for (const FileChain &f : sv.files)
            list.push_back(entry_json(f));
        print_json(o, list);
        return report_damage(o, sv) | cut;
    }
    if (long_format)
        o.out << fmt::format("{:>10} {:>5} {:<19}  {}\n", "size", "clus", "modified", "name");
    for (const FileChain &f : sv.files) {
        if (long_format)
            o.out << fmt::format("{:>10} {:>5} {:<19}  {}\n", f.entry.size, f.clusters.size(), stamp_text(f.entry.stamp),
                                 printable(f.name));
        else
            o.out << printable(f.name) << '\n';
    }
    return report_damage(o, sv) | cut;
}

int cmd_stat(Output &o, const Image &img, const std::string &name) {
    const Survey sv = chains_of(img);
    (void)mount_to_read(img, sv);
    const FileChain *f = sv.file(name);
    if (f == nullptr)
        no_such_file(name);
    const int status = (f->damage.empty() ? 0 : 1) | tell_cut_short(o, img);
    if (o.json) {
        print_json(o, entry_json(*f));
        return status;
    }
    const dace_entry &e = f->entry;
    o.out << fmt::format("name:     {}\nsize:     {} bytes\nclusters: {}\nnewest:   {}\ntime:     {} ({} ns)\n",
                         printable(name), e.size, f->clusters.size(),
                         e.clus == CLUS_END ? std::string("none") : std::to_string(e.clus), stamp_text(e.stamp, true),
                         e.stamp);
    if (!f->damage.empty())
        o.err << fmt::format("dace: {}: {}\n", named(name), f->damage);
    return status;
}

int cmd_cat(Output &o, const Image &img, const std::string &name, bool salvage) {
    const Survey sv = chains_of(img);
    Volume v = mount_to_read(img, sv);
    warn_salvage(o, salvage);
    const Extracted x = extract(v, img, sv, name, salvage);
    o.out.write(reinterpret_cast<const char *>(x.data.data()), static_cast<std::streamsize>(x.data.size()));
    o.out.flush();
    if (!o.out)
        throw Error("cannot write to the output");
    return tell_faults(o, name, x) | tell_cut_short(o, img);
}

int cmd_get(Output &o, const Image &img, const std::string &name, const std::string &dest, bool salvage) {
    const Survey sv = chains_of(img);
    Volume v = mount_to_read(img, sv);
    const FileChain *f = sv.file(name);
    if (f == nullptr)
        no_such_file(name);
    std::string path = dest;
    if (path.empty() || fs::is_directory(path)) {
        if (!host_safe(name))
            throw Error(fmt::format("{} cannot be a file name here: give a destination", named(name)));
        path = (fs::path(path.empty() ? "." : path) / name).string();
    }
    warn_salvage(o, salvage);
    const Extracted x = extract(v, img, sv, name, salvage);
    write_host_file(path, x.data, f->entry.stamp);
    return tell_faults(o, name, x) | tell_cut_short(o, img);
}

int cmd_df(Output &o, const Image &img, bool human) {
    Volume v = mount(img);
    dace_state *s = v.state();
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(s, &total);
    const uint32_t used = total - free_bytes;
    if (o.json) {
        print_json(o, json{{"total_bytes", total},
                           {"used_bytes", used},
                           {"free_bytes", free_bytes},
                           {"cluster_size", s->clus_size},
                           {"clusters", s->clus_count},
                           {"free_clusters", free_bytes / s->clus_size},
                           {"files", s->root->count},
                           {"max_entries", s->max_entries}});
        return 0;
    }
    auto size = [human](uint32_t n) { return human ? human_size(n) : std::to_string(n); };
    o.out << fmt::format("{:>12} {:>12} {:>12} {:>5}  {:>9}\n", "size", "used", "free", "use%", "files");
    o.out << fmt::format("{:>12} {:>12} {:>12} {:>4}%  {:>4}/{:<4}\n", size(total), size(used), size(free_bytes),
                         total ? (uint64_t{used} * 100 + total - 1) / total : 0, s->root->count, s->max_entries);
    return 0;
}

int cmd_unpack(Output &o, const Image &img, const std::string &dir, bool salvage) {
    const Survey sv = chains_of(img);
    Volume v = mount_to_read(img, sv);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir))
        throw Error(fmt::format("cannot create folder {}", dir));
    warn_salvage(o, salvage);
    std::set<std::string> done;
    int status = tell_cut_short(o, img);
    Progress bar(o, "unpack", sv.files.size());
    for (size_t i = 0; i < sv.files.size(); ++i) {
        const std::string &name = sv.files[i].name;
        bar.update(i + 1);
        if (!host_safe(name)) {
            o.err << fmt::format("dace: skipped {}: not a usable file name\n", named(name));
            status = 1;
            continue;
        }
        if (!done.insert(name).second) {
            o.err << fmt::format("dace: skipped a second entry named {}: only the first can be read\n", named(name));
            status = 1;
            continue;
        }
        try {
            const Extracted x = extract(v, img, sv, name, salvage);
            write_host_file((fs::path(dir) / name).string(), x.data, sv.files[i].entry.stamp);
            status |= tell_faults(o, name, x);
        } catch (const Error &e) {
            o.err << "dace: " << e.what() << '\n';
            status = 1;
        }
    }
    return status;
}

int cmd_format(Output &o, const std::string &path, const Options &opt, bool force) {
    const std::unique_ptr<ImageLock> lock = lock_for_new(path, opt, force);
    uint64_t pages = 0;
    if (opt.pages) {
        pages = *opt.pages;
    } else if (lock != nullptr && opt.offset == 0) {
        pages = static_cast<uint64_t>(lock->status().st_size) / opt.page_size.value_or(Params{}.page_size);
    } else {
        throw Error("format needs --pages N, the size of the medium in pages");
    }
    const Params p = params_for_new(opt, pages);
    VolumeOptions vo;
    vo.mounting = Mounting::Format;
    vo.journal = new_medium_in_place(lock.get(), opt);
    Volume v(std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF), p, vo);
    write_new_medium(path, opt, lock.get(), v);
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(v.state(), &total);
    o.out << fmt::format("formatted {}: {} clusters of {} bytes, {} bytes free\n", path, p.clus_count(),
                         p.clus_size(), free_bytes);
    return 0;
}

int cmd_put(Output &, const std::string &path, const Options &opt, const std::string &src,
            const std::optional<std::string> &name, const PutOptions &po) {
    if (po.append && po.force)
        throw Error("--append and --force exclude each other");
    std::string target = name.value_or("");
    if (!name) {
        if (src == "-")
            throw Error("put from standard input needs a NAME");
        target = fs::path(src).filename().string();
    }
    check_name(target);
    // The source first: the image is locked only once there is something
    // to write, and not while a pipe keeps the command waiting.
    uint64_t mtime = 0;
    std::vector<uint8_t> data;
    if (src == "-") {
        data.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad())
            throw Error("cannot read standard input");
        mtime = now_stamp();
    } else {
        data = read_host_file(src, &mtime);
    }
    const Image img = open_image(path, opt, LockAccess::Change);
    Volume v = mount_for_change(img);
    v.stamp().value = po.append ? now_stamp() : mtime;
    if (po.force && v.stat(target)) {
        // Written under a spare name, then put in the old one's place in
        // the same commit that drops the old file.
        if (v.state()->root->count >= v.state()->max_entries)
            throw library_error(fmt::format("cannot replace {}", named(target)), DACE_E_DIRECTORY_FULL,
                                fmt::format(" ({} entries), and the new content needs one more while it is written; "
                                            "rm it first",
                                            v.state()->max_entries));
        const std::string spare = spare_name(v);
        write_file(v, spare, data.data(), data.size(), false);
        if (const RenameOutcome r = rename_by_rule(v, spare, target, true); r.how != Renamed::Done)
            throw library_error(fmt::format("cannot replace {}", named(target)), r.reason);
    } else {
        write_file(v, target, data.data(), data.size(), po.append);
    }
    save(img, v);
    return 0;
}

int cmd_rm(Output &, const Image &img, const std::string &name) {
    Volume v = mount_for_change(img, name);
    remove_file(v, name);
    save(img, v);
    return 0;
}

int cmd_mv(Output &, const Image &img, const std::string &from, const std::string &to, bool force) {
    check_name(to);
    Volume v = mount_for_change(img);
    // A rename keeps the file's time; over another file, one commit drops it.
    v.stamp().value.reset();
    if (rename_file(v, from, to, force))
        save(img, v);
    return 0;
}

int cmd_truncate(Output &, const Image &img, const std::string &name, uint64_t length) {
    Volume v = mount_for_change(img);
    const auto e = v.stat(name);
    if (!e)
        no_such_file(name);
    // Said with both numbers, and before a length past 4 GiB is cut to 32 bits.
    if (length > e->size)
        throw LibraryError(fmt::format("length {} is beyond the size {} of {}: truncate only shortens", length,
                                       e->size, named(name)),
                           DACE_E_BEYOND_END);
    v.stamp().value = now_stamp();
    truncate_file(v, name, static_cast<uint32_t>(length));
    save(img, v);
    return 0;
}

int cmd_pack(Output &o, const std::string &dir, const std::string &path, const Options &opt, const PackOptions &po) {
    // Refused at once when it exists without --force, or is mounted.
    const std::unique_ptr<ImageLock> lock = lock_for_new(path, opt, po.force);
    const std::vector<PackSource> sources = pack_sources(o, dir, po.skip_invalid);
    const Params p = params_for_new(opt, pages_to_pack(sources, opt));
    VolumeOptions vo;
    vo.mounting = Mounting::Format;
    vo.journal = new_medium_in_place(lock.get(), opt);
    Volume v(std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF), p, vo);
    pack_files(o, v, sources, po.skip_invalid);
    write_new_medium(path, opt, lock.get(), v);
    return 0;
}

} // namespace dace_tool
