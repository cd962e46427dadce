// The Python module's native part: a medium held in memory, mounted by the
// library, and the tool's image functions. Every rule of the file system
// stays in the library and the tool's core; what is here turns results into
// Python values and errnos. `dace/__init__.py` builds the public API on it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"
#include "tools/commands.h"
#include "tools/crc_catalogue.h"
#include "tools/image.h"
#include "tools/image_file.h"
#include "tools/image_ops.h"
#include "tools/survey.h"

namespace py = pybind11;
using dace_tool::Params;

namespace {

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;
constexpr uint32_t kChunk = 1u << 20;

// An image that cannot be read, made or mounted; ImageError in Python.
struct ImageFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The tool words its messages for its command line; here the same values
// are keyword arguments. The tool's --pages is total_pages where a medium
// is made, and pages where one is read (`pages_keyword`).
std::string python_terms(std::string text, std::string_view pages_keyword = "total_pages") {
    const std::pair<std::string_view, std::string_view> kNames[] = {
        {"--page-size", "page_size"}, {"--clus-pages", "clus_pages"}, {"--geometry-tag", "geometry_tag"},
        {"--max-files", "max_files"}, {"--crc-seed", "crc_seed"},     {"--crc", "crc"},
        {"--pages", pages_keyword},   {"--skip-invalid", "skip_invalid"},
    };
    for (const auto &[option, keyword] : kNames) {
        for (size_t at = text.find(option); at != std::string::npos; at = text.find(option, at + keyword.size())) {
            const size_t end = at + option.size();
            // "--crc" must not take the front of "--crc-seed".
            if (end < text.size() && (text[end] == '-' || std::isalpha(static_cast<unsigned char>(text[end]))))
                continue;
            text.replace(at, option.size(), keyword);
        }
    }
    return text;
}

// Raises the OSError subclass that Python maps `err` to (FileNotFoundError,
// FileExistsError, ...), with `name` as its filename.
[[noreturn]] void raise_os(int err, const std::string &what, const std::string &name = {}) {
    py::object exc;
    if (name.empty()) {
        exc = py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_OSError, "is", err, what.c_str()));
    } else {
        py::object shown = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape"));
        exc = py::reinterpret_steal<py::object>(
            PyObject_CallFunction(PyExc_OSError, "isO", err, what.c_str(), shown.ptr()));
    }
    if (!exc)
        throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

// Why `name` cannot name a file, as an errno; 0 when it can.
int name_errno(const std::string &name, std::string &why) {
    if (name.find('\0') != std::string::npos) {
        why = "a name holds no NUL byte";
        return EINVAL;
    }
    switch (dace_check_filename(name.c_str())) {
    case DACE_NAME_OK: return 0;
    case DACE_NAME_EMPTY: why = "a name is 1 to 18 bytes long"; return ENOENT;
    case DACE_NAME_TOO_LONG: why = "a name is at most 18 bytes long"; return ENAMETOOLONG;
    default: why = "a name holds no '/' or '\\'"; return EINVAL;
    }
}

void check_name(const std::string &name) {
    std::string why;
    if (const int err = name_errno(name, why); err != 0)
        raise_os(err, why, name);
}

const dace_tool::CrcAlgo &crc_named(const std::string &name) {
    const dace_tool::CrcAlgo *algo = dace_tool::find_crc(name);
    if (algo == nullptr)
        throw py::value_error("unknown CRC " + name + ": known are " + dace_tool::crc_names());
    return *algo;
}

dace_tool::Options options_from(const py::dict &given) {
    dace_tool::Options opt;
    auto u16 = [&](const char *key, std::optional<uint16_t> &field) {
        if (!given.contains(key) || given[key].is_none())
            return;
        if (!py::isinstance<py::int_>(given[key]))
            throw py::type_error(std::string(key) + " must be an int");
        const auto v = given[key].cast<long long>();
        if (v < 0 || v > 0xFFFF)
            throw py::value_error(std::string(key) + " must lie in 0..65535");
        field = static_cast<uint16_t>(v);
    };
    u16("page_size", opt.page_size);
    u16("clus_pages", opt.clus_pages);
    u16("geometry_tag", opt.geometry_tag);
    u16("max_files", opt.max_files);
    u16("crc_seed", opt.crc_seed);
    if (given.contains("crc") && !given["crc"].is_none())
        opt.crc = crc_named(given["crc"].cast<std::string>()).name;
    if (given.contains("pages") && !given["pages"].is_none()) {
        if (!py::isinstance<py::int_>(given["pages"]))
            throw py::type_error("pages must be an int");
        const auto v = given["pages"].cast<long long>();
        if (v < 1)
            throw py::value_error("pages must be at least 1");
        opt.pages = static_cast<uint64_t>(v);
    }
    return opt;
}

// Wear levelling of a medium: off, or turned on after every mount from a
// cursor that starts at `start` and moves on by one cluster from mount to
// mount, as a boot counter moves it in firmware.
struct Wear {
    std::optional<uint16_t> start;
    uint32_t mounts = 0; // mounts made with it so far
};

// A medium in memory and the volume the library mounted on it. Strict, as
// flash is: a program over bytes that are not erased fails.
class Medium {
public:
    // How a new medium gets its volume.
    enum class Start { Mount, Format, Unmounted };

    // `after` is what followed the medium in the bytes it came from (a
    // larger dump): kept as it was, and given back after the medium.
    Medium(const Params &params, std::vector<uint8_t> bytes, Start start, std::string detected, Wear wear = {},
           std::vector<uint8_t> after = {})
        : params_(params), detected_(std::move(detected)), wear_(wear), after_(std::move(after)) {
        sim_ = std::make_unique<dace_sim::FlashSim>(
            dace_sim::Geometry{params_.page_size, params_.clus_pages, params_.total_pages});
        sim_->bytes() = std::move(bytes);
        sim_->set_strict(true);
        if (start != Start::Unmounted)
            mount(start == Start::Format);
    }
    Medium(const Medium &) = delete;
    Medium &operator=(const Medium &) = delete;

    dace_state *state() {
        if (state_ == nullptr)
            throw ImageFailure("the volume is not mounted: remount() mounts it");
        return state_;
    }
    uint64_t mount_count() const { return mounts_; }
    const Params &params() const { return params_; }
    const std::string &detected() const { return detected_; }
    const Wear &wear() const { return wear_; }
    dace_sim::FlashSim &sim() { return *sim_; }
    const std::vector<uint8_t> &bytes() const { return sim_->bytes(); }
    const std::vector<uint8_t> &after() const { return after_; }
    // The image as it came, its medium as it stands now.
    std::vector<uint8_t> image() const {
        std::vector<uint8_t> out = bytes();
        out.insert(out.end(), after_.begin(), after_.end());
        return out;
    }

    bool mounted() const { return state_ != nullptr; }
    // Drops the mounted state, as a reboot does, and mounts the medium again.
    void remount() {
        sim_->reboot();
        mount(false);
    }

    // Sets entry stamps to the time (or SOURCE_DATE_EPOCH) for one change.
    class Stamping {
    public:
        explicit Stamping(Medium &m) : m_(m) { m_.stamp_ = dace_tool::now_stamp(); }
        Stamping(const Stamping &) = delete;
        Stamping &operator=(const Stamping &) = delete;
        ~Stamping() { m_.stamp_.reset(); }

    private:
        Medium &m_;
    };

    // Watches the medium for one operation: whether a read, program or
    // erase failed tells EIO from a medium that is full.
    void watch() { failed_ = false; }
    int failure_errno() const { return failed_ ? EIO : ENOSPC; }

    // The errno of a by-name change's result.
    [[noreturn]] void raise_change(int result, int refused, const std::string &refusal, const std::string &name) {
        switch (result) {
        case DACE_NO_FILE: raise_os(ENOENT, "no such file", name);
        case DACE_REFUSED: raise_os(refused, refusal, name);
        case DACE_NO_ROOM: raise_os(ENOSPC, "the directory must move and no cluster is free", name);
        default:
            raise_os(EIO,
                     "a write to the medium fell short: the change stands in memory and is written with the next "
                     "commit",
                     name);
        }
    }

    bool is_open(int position) {
        for (const dace_file *f = state()->open_list; f != nullptr; f = f->next)
            if (f->entry == position)
                return true;
        return false;
    }

    uint32_t chain_length(uint16_t clus) {
        const dace_state *s = state();
        uint32_t n = 0;
        while (clus < s->clus_count && n < s->clus_count) {
            ++n;
            clus = s->clus_table[clus];
        }
        return n;
    }

private:
    void mount(bool format) {
        dace_config cfg = sim_->config(params_.max_files, params_.crc_seed);
        cfg.geometry_tag = params_.geometry_tag;
        cfg.crc_fn = &dace_tool::crc_callback;
        cfg.crc_ctx = const_cast<dace_tool::CrcAlgo *>(params_.crc);
        cfg.update_fn = &Medium::update_cb;
        cfg.update_ctx = this;
        cfg.io_ctx = this;
        cfg.read_fn = &Medium::read_cb;
        cfg.write_fn = &Medium::write_cb;
        cfg.erase_fn = &Medium::erase_cb;
        const uint32_t size = dace_getstatesize(&cfg);
        if (size == 0)
            throw ImageFailure("the library refuses this configuration (reason " +
                               std::to_string(dace_check_config(&cfg)) + ")");
        // Handles of the mount before are gone with its state.
        ++mounts_;
        state_ = nullptr;
        block_.assign((size + 7) / 8, 0);
        state_ = format ? dace_format(&cfg, block_.data()) : dace_init(&cfg, block_.data());
        if (state_ == nullptr)
            throw ImageFailure("the medium does not mount: it holds no root copy that these parameters "
                               "accept (another geometry or CRC, or damage: mount=False and check() tell "
                               "more), or a cluster that cannot be read");
        if (wear_.start)
            dace_level_wear(state_, static_cast<uint16_t>(*wear_.start + wear_.mounts++));
    }

    static Medium &of(void *ctx) { return *static_cast<Medium *>(ctx); }
    static uint32_t read_cb(void *ctx, uint32_t page, void *dst, uint32_t count) {
        const uint32_t r = dace_sim::FlashSim::read_cb(of(ctx).sim_.get(), page, dst, count);
        of(ctx).failed_ |= r != count;
        return r;
    }
    static uint32_t write_cb(void *ctx, uint32_t page, const void *src, uint32_t count) {
        const uint32_t r = dace_sim::FlashSim::write_cb(of(ctx).sim_.get(), page, src, count);
        of(ctx).failed_ |= r != count;
        return r;
    }
    static uint32_t erase_cb(void *ctx, uint32_t first, uint32_t count) {
        const uint32_t r = dace_sim::FlashSim::erase_cb(of(ctx).sim_.get(), first, count);
        of(ctx).failed_ |= r != 1;
        return r;
    }
    static void update_cb(void *ctx, dace_entry *entry) {
        if (entry != nullptr && of(ctx).stamp_)
            entry->stamp = *of(ctx).stamp_;
    }

    Params params_;
    std::string detected_;
    Wear wear_;
    std::vector<uint8_t> after_;
    std::unique_ptr<dace_sim::FlashSim> sim_;
    std::vector<uint64_t> block_;
    dace_state *state_ = nullptr;
    uint64_t mounts_ = 0;
    bool failed_ = false;
    std::optional<uint64_t> stamp_; // unset: entries keep their stamps
};

enum class Mode { Read, Append, Write, Create };

Mode mode_named(const std::string &mode) {
    if (mode == "rb")
        return Mode::Read;
    if (mode == "ab")
        return Mode::Append;
    if (mode == "wb")
        return Mode::Write;
    if (mode == "xb")
        return Mode::Create;
    throw py::value_error("mode must be \"rb\", \"ab\", \"wb\" or \"xb\", not \"" + mode + "\"");
}

// One library handle. It lives as long as the mount it came from: a remount
// (or a power cut) closes it.
class Handle {
public:
    Handle(std::shared_ptr<Medium> medium, const std::string &name, Mode mode)
        : m_(std::move(medium)), name_(name), writer_(mode != Mode::Read) {
        check_name(name);
        m_->watch();
        dace_state *s = m_->state();
        const int position = dace_find_file(s, name.c_str());
        if (position >= 0 && mode == Mode::Create)
            raise_os(EEXIST, "the file exists", name);
        if (position < 0 && mode == Mode::Read)
            raise_os(ENOENT, "no such file", name);
        if (position >= 0 && m_->is_open(position))
            raise_os(EBUSY, "the file is open already: the volume keeps one handle per file", name);
        if (s->free_list == nullptr)
            raise_os(EMFILE, "every one of the volume's max_files handles is open", name);
        if (position < 0) {
            create(name);
        } else {
            if (mode == Mode::Write && file_size(name) > 0) {
                const Medium::Stamping stamping(*m_);
                if (const int r = dace_truncate(s, name.c_str(), 0); r != DACE_OK)
                    m_->raise_change(r, EBUSY, "the file is open", name);
            }
            h_ = dace_open(s, name.c_str());
            if (h_ == 0)
                raise_os(EIO, "the file's first cluster cannot be read", name);
            // Opening for appending commits: positioning always does.
            if (mode == Mode::Append && dace_seek(s, h_, 0, DACE_SEEK_END) != DACE_OK) {
                const int err = m_->failure_errno();
                dace_close(s, h_);
                h_ = 0;
                raise_os(err, "the file's end cannot be reached", name);
            }
        }
        mount_ = m_->mount_count();
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    // Open on the mount it came from.
    bool valid() const { return h_ != 0 && mount_ == m_->mount_count(); }
    // Lost to a remount rather than closed.
    bool lost() const { return h_ != 0 && mount_ != m_->mount_count(); }

    size_t readinto(const py::buffer &target) {
        Py_buffer view;
        if (PyObject_GetBuffer(target.ptr(), &view, PyBUF_SIMPLE | PyBUF_WRITABLE) != 0)
            throw py::error_already_set();
        const std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> release(&view, PyBuffer_Release);
        dace_state *s = open_state();
        dace_entry e{};
        dace_statf(s, h_, &e);
        const uint32_t pos = dace_tell(s, h_);
        const size_t want = std::min<size_t>(static_cast<size_t>(view.len), pos < e.size ? e.size - pos : 0);
        auto *out = static_cast<uint8_t *>(view.buf);
        size_t done = 0;
        while (done < want) {
            const uint32_t got =
                dace_read(s, out + done, static_cast<uint32_t>(std::min<size_t>(kChunk, want - done)), h_);
            if (got == 0)
                break;
            done += got;
        }
        if (done == 0 && want > 0)
            raise_os(EIO, "a cluster of the file cannot be read at byte " + std::to_string(pos), name_);
        return done;
    }

    size_t write(const py::buffer &source) {
        Py_buffer view;
        if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
        const std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> release(&view, PyBuffer_Release);
        dace_state *s = open_state();
        dace_entry e{};
        dace_statf(s, h_, &e);
        if (dace_tell(s, h_) != e.size)
            raise_os(EPERM, "a file grows only at its end", name_);
        const auto count = static_cast<uint64_t>(view.len);
        if (count == 0)
            return 0;
        if (e.size + count > kMaxFileSize)
            raise_os(EFBIG, "a file holds at most 4 GiB - 1 bytes", name_);
        const auto *data = static_cast<const uint8_t *>(view.buf);
        const Medium::Stamping stamping(*m_);
        m_->watch();
        size_t done = 0;
        bool committed = false;
        while (done < count) {
            const auto want = static_cast<uint32_t>(std::min<uint64_t>(kChunk, count - done));
            const uint32_t took = dace_write(s, data + done, want, h_);
            done += took;
            if (took == want)
                continue;
            // Clusters released since the last commit are handed out only
            // once a root copy without them is on the medium: commit, then
            // try once more.
            if (!committed && m_->failure_errno() == ENOSPC) {
                committed = true;
                if (dace_flush(s, h_) == DACE_OK)
                    continue;
            }
            raise_os(m_->failure_errno(),
                     (m_->failure_errno() == ENOSPC ? "the medium is full" : "a write to the medium fell short") +
                         std::string(": ") + std::to_string(done) + " of " + std::to_string(count) +
                         " bytes taken into the file",
                     name_);
        }
        return done;
    }

    // Positions a reading handle; positioning commits, as flush does.
    uint64_t seek(long long offset, int whence) {
        dace_state *s = open_state();
        dace_entry e{};
        dace_statf(s, h_, &e);
        const long long pos = dace_tell(s, h_);
        long long target = 0;
        switch (whence) {
        case 0: target = offset; break;
        case 1: target = pos + offset; break;
        case 2: target = static_cast<long long>(e.size) + offset; break;
        default: throw py::value_error("whence must be 0, 1 or 2");
        }
        if (target < 0)
            raise_os(EINVAL, "a position before the start of the file", name_);
        if (target > static_cast<long long>(e.size))
            raise_os(EINVAL, "a position beyond the end of the file (" + std::to_string(e.size) + " bytes)", name_);
        if (target == pos)
            return static_cast<uint64_t>(pos);
        m_->watch();
        const int r = dace_seek(s, h_, static_cast<uint32_t>(target), DACE_SEEK_SET);
        if (r == DACE_SEEK_FLUSH_FAILED)
            raise_os(m_->failure_errno(), "committing before the move failed", name_);
        if (r != DACE_OK)
            raise_os(EIO, "the cluster at byte " + std::to_string(target) + " cannot be read", name_);
        return static_cast<uint64_t>(target);
    }

    uint64_t tell() { return dace_tell(open_state(), h_); }

    uint64_t size() {
        dace_entry e{};
        dace_statf(open_state(), h_, &e);
        return e.size;
    }

    void flush() {
        dace_state *s = open_state();
        m_->watch();
        if (dace_flush(s, h_) != DACE_OK)
            raise_os(m_->failure_errno(), "the commit failed; the data stays in memory for the next one", name_);
    }

    // Closing commits. When that fails the handle stays open, and closing
    // again tries once more.
    void close() {
        if (!valid()) {
            h_ = 0;
            return;
        }
        m_->watch();
        const int r = dace_close(m_->state(), h_);
        if (r == DACE_CLOSE_WRITE_FAILED)
            raise_os(m_->failure_errno(), "the commit failed; the file stays open, close again to retry", name_);
        h_ = 0;
    }

    bool writer() const { return writer_; }

private:
    dace_state *open_state() {
        if (!valid())
            throw py::value_error(lost() ? "I/O operation on a file that a remount closed"
                                         : "I/O operation on closed file");
        return m_->state();
    }

    uint32_t file_size(const std::string &name) {
        dace_entry e{};
        dace_stat(m_->state(), name.c_str(), &e);
        return e.size;
    }

    void create(const std::string &name) {
        dace_state *s = m_->state();
        if (s->root->count >= s->max_entries)
            raise_os(ENOSPC, "the directory is full (" + std::to_string(s->max_entries) + " entries)", name);
        const Medium::Stamping stamping(*m_);
        h_ = dace_create(s, name.c_str());
        if (h_ == 0)
            raise_os(ENOSPC, "the directory must move and no cluster is free", name);
    }

    std::shared_ptr<Medium> m_;
    std::string name_;
    bool writer_;
    dace_handle h_ = 0;
    uint64_t mount_ = 0;
};

std::shared_ptr<Medium> medium_from(dace_tool::Image img, bool mount, std::optional<uint16_t> level_wear,
                                    std::vector<uint8_t> after = {}) {
    return std::make_shared<Medium>(img.params(), std::move(img.bytes),
                                    mount ? Medium::Start::Mount : Medium::Start::Unmounted, img.detection.how,
                                    Wear{level_wear}, std::move(after));
}

// The medium of `data`, a whole image that this module may change and save:
// detected as the tool detects an image it is to change (its recorded size,
// or whole pages only), whatever follows the medium kept in `after`. An
// image shorter than the volume its root records is refused: the library
// mounts a volume only whole.
std::shared_ptr<Medium> medium_to_change(std::vector<uint8_t> data, const dace_tool::Options &opt, bool mount,
                                         std::optional<uint16_t> level_wear) {
    dace_tool::Image img;
    try {
        img.detection = dace_tool::detect(data, opt, true);
    } catch (const dace_tool::SizeMismatch &e) {
        throw ImageFailure(fmt::format("the image's root records a volume of {} pages, not the {} that pages= gives: "
                                       "the library mounts a volume only at the size it records (leave out pages; "
                                       "Image(total_pages={}) makes a new volume of that size)",
                                       e.recorded_pages, e.asked_pages, e.asked_pages));
    } catch (const dace_tool::Error &e) {
        throw ImageFailure(python_terms(e.what(), "pages"));
    }
    const auto size = static_cast<size_t>(img.params().medium_bytes());
    if (data.size() < size)
        throw ImageFailure(fmt::format("{}: what lay past its end is lost, and a volume mounts only whole "
                                       "(`dace check` lists what is lost, `dace unpack --salvage` reads what is "
                                       "intact)",
                                       dace_tool::cut_short_text(data.size(), img.params())));
    std::vector<uint8_t> after(data.begin() + static_cast<std::ptrdiff_t>(size), data.end());
    data.resize(size);
    img.bytes = std::move(data);
    return medium_from(std::move(img), mount, level_wear, std::move(after));
}

// Writes a whole image file as the tool does: an existing one is replaced
// under the tool's lock (refused while a dace mount or another command
// holds it), a new one is created whole.
void save_image(const std::string &path, const std::vector<uint8_t> &bytes) {
    const std::string target = dace_tool::resolve_links(path);
    struct stat st {};
    try {
        if (::stat(target.c_str(), &st) != 0) {
            dace_tool::create_image(path, bytes);
            return;
        }
    } catch (const dace_tool::Error &e) {
        raise_os(EIO, e.what(), path);
    }
    if (::access(target.c_str(), W_OK) != 0)
        raise_os(errno, "the image cannot be written", path);
    std::unique_ptr<dace_tool::ImageLock> lock;
    try {
        lock = std::make_unique<dace_tool::ImageLock>(path, dace_tool::LockAccess::Change);
    } catch (const dace_tool::Error &e) {
        raise_os(EBUSY, e.what(), path);
    }
    try {
        dace_tool::replace_image(*lock, bytes);
    } catch (const dace_tool::Error &e) {
        raise_os(EIO, e.what(), path);
    }
}

std::vector<uint8_t> bytes_of(const py::buffer &data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0)
        throw py::error_already_set();
    const auto *p = static_cast<const uint8_t *>(view.buf);
    std::vector<uint8_t> out(p, p + view.len);
    PyBuffer_Release(&view);
    return out;
}

const char *kind_name(dace_tool::ClusKind k) {
    switch (k) {
    case dace_tool::ClusKind::Free: return "free";
    case dace_tool::ClusKind::Root: return "root";
    case dace_tool::ClusKind::OldRoot: return "earlier_root";
    case dace_tool::ClusKind::File: return "file";
    case dace_tool::ClusKind::Stale: return "to_erase";
    case dace_tool::ClusKind::Bad: return "bad";
    case dace_tool::ClusKind::Missing: return "missing";
    }
    return "?";
}

dace_tool::Image tool_image(Medium &m) {
    dace_tool::Image img;
    img.bytes = m.bytes();
    img.detection.params = m.params();
    img.detection.how = m.detected();
    return img;
}

} // namespace

PYBIND11_MODULE(_libdace, mod) {
    mod.doc() = "Native part of the libdace package; use the names that `libdace` exports.";
    mod.attr("__version__") = DACE_VERSION; // dace/dace.h's, as the wheel's

    static py::exception<ImageFailure> &image_error =
        py::register_exception<ImageFailure>(mod, "ImageError", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const dace_tool::Error &e) {
            PyErr_SetString(image_error.ptr(), python_terms(e.what()).c_str());
        }
    });

    mod.def("crc_names", [] {
        std::vector<std::string> names;
        for (const dace_tool::CrcAlgo &a : dace_tool::crc_catalogue())
            names.emplace_back(a.name);
        return names;
    });
    mod.def("crc", [](const std::string &name, const py::buffer &data, uint16_t seed) {
        const std::vector<uint8_t> bytes = bytes_of(data);
        return dace_tool::crc_run(crc_named(name), seed, bytes.data(), bytes.size());
    });

    py::class_<Medium, std::shared_ptr<Medium>>(mod, "Medium")
        .def_static("blank",
                    [](const py::dict &given, uint32_t total_pages, std::optional<uint16_t> level_wear) {
                        const Params p = dace_tool::params_for_new(options_from(given), total_pages);
                        return std::make_shared<Medium>(
                            p, std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF),
                            Medium::Start::Format, "all given", Wear{level_wear});
                    })
        .def_static("from_bytes",
                    [](const py::buffer &data, const py::dict &given, bool mount,
                       std::optional<uint16_t> level_wear) {
                        return medium_to_change(bytes_of(data), options_from(given), mount, level_wear);
                    })
        .def_static("pack",
                    [](const std::string &dir, const py::dict &given, std::optional<uint32_t> pages,
                       bool skip_invalid, std::optional<uint16_t> level_wear) {
                        dace_tool::Options opt = options_from(given);
                        opt.pages = pages;
                        dace_tool::PackOptions po;
                        po.skip_invalid = skip_invalid;
                        std::vector<std::string> skipped;
                        auto medium = medium_from(dace_tool::pack_folder(dir, opt, po, skipped), true, level_wear);
                        return std::make_pair(medium, skipped);
                    })
        .def("copy",
             [](Medium &m) {
                 return std::make_shared<Medium>(m.params(), m.bytes(), Medium::Start::Mount, m.detected(),
                                                 m.wear(), m.after());
             })
        .def("remount", &Medium::remount)
        .def("to_bytes",
             [](Medium &m) {
                 const std::vector<uint8_t> image = m.image();
                 return py::bytes(reinterpret_cast<const char *>(image.data()), image.size());
             })
        .def("save", [](Medium &m, const std::string &path) { save_image(path, m.image()); })
        .def_property_readonly("params",
                               [](Medium &m) {
                                   const Params &p = m.params();
                                   py::dict d;
                                   d["page_size"] = p.page_size;
                                   d["clus_pages"] = p.clus_pages;
                                   d["geometry_tag"] = p.geometry_tag;
                                   d["total_pages"] = p.total_pages;
                                   d["max_files"] = p.max_files;
                                   d["crc"] = std::string(p.crc->name);
                                   d["crc_seed"] = p.crc_seed;
                                   return d;
                               })
        .def_property_readonly("detected", &Medium::detected)
        .def_property_readonly("level_wear", [](Medium &m) { return m.wear().start; })
        .def_property_readonly("mounted", &Medium::mounted)
        .def("listdir",
             [](Medium &m) {
                 py::list names;
                 dace_dir dir;
                 dace_state *s = m.state();
                 for (const dace_entry *e = dace_readdir(s, dace_opendir(s, &dir)); e; e = dace_readdir(s, &dir))
                     names.append(py::bytes(dace_tool::entry_name(*e)));
                 return names;
             })
        .def("stat",
             [](Medium &m, const std::string &name) {
                 check_name(name);
                 dace_entry e{};
                 if (dace_stat(m.state(), name.c_str(), &e) != DACE_OK)
                     raise_os(ENOENT, "no such file", name);
                 return py::make_tuple(e.size, m.chain_length(e.clus), e.stamp);
             })
        .def("open",
             [](const std::shared_ptr<Medium> &m, const std::string &name, const std::string &mode) {
                 return std::make_shared<Handle>(m, name, mode_named(mode));
             })
        .def("remove",
             [](Medium &m, const std::string &name) {
                 check_name(name);
                 m.watch();
                 if (const int r = dace_remove(m.state(), name.c_str()); r != DACE_OK)
                     m.raise_change(r, EBUSY, "the file is open", name);
             })
        .def("rename",
             [](Medium &m, const std::string &from, const std::string &to, bool replace) {
                 check_name(from);
                 check_name(to);
                 dace_state *s = m.state();
                 if (dace_find_file(s, from.c_str()) < 0)
                     raise_os(ENOENT, "no such file", from);
                 if (from == to)
                     return;
                 const bool taken = dace_find_file(s, to.c_str()) >= 0;
                 if (taken && !replace)
                     raise_os(EEXIST, "the new name is taken; pass replace=True to replace that file", to);
                 m.watch();
                 const int r = taken ? dace_rename_replace(s, from.c_str(), to.c_str())
                                     : dace_rename(s, from.c_str(), to.c_str());
                 if (r != DACE_OK)
                     m.raise_change(r, EBUSY, "the file to be replaced is open", r == DACE_NO_FILE ? from : to);
             })
        .def("truncate",
             [](Medium &m, const std::string &name, long long length) {
                 check_name(name);
                 dace_entry e{};
                 if (dace_stat(m.state(), name.c_str(), &e) != DACE_OK)
                     raise_os(ENOENT, "no such file", name);
                 if (length < 0)
                     raise_os(EINVAL, "a negative length", name);
                 if (static_cast<uint64_t>(length) > e.size)
                     raise_os(EPERM, "a file is lengthened only by writing at its end", name);
                 if (static_cast<uint64_t>(length) == e.size)
                     return;
                 const Medium::Stamping stamping(m);
                 m.watch();
                 if (const int r = dace_truncate(m.state(), name.c_str(), static_cast<uint32_t>(length)); r != DACE_OK)
                     m.raise_change(r, EPERM, "refused", name);
             })
        .def("sync",
             [](Medium &m) {
                 m.watch();
                 if (dace_commit_root(m.state()) != DACE_OK)
                     raise_os(m.failure_errno(), "the commit failed; the changes stay in memory for the next one");
             })
        .def("space",
             [](Medium &m) {
                 uint32_t total = 0;
                 const uint32_t free_bytes = dace_getfreespace(m.state(), &total);
                 return std::make_pair(free_bytes, total);
             })
        .def("check", [](Medium &m) { return dace_tool::survey_image(m.bytes(), m.params()).problems; })
        .def("map",
             [](Medium &m) {
                 const dace_tool::Survey sv = dace_tool::survey_image(m.bytes(), m.params());
                 py::list cells;
                 for (uint32_t c = 0; c < sv.clus_count; ++c) {
                     py::object file = py::none();
                     if (sv.owner[c] >= 0)
                         file = py::bytes(sv.files[size_t(sv.owner[c])].name);
                     cells.append(py::make_tuple(kind_name(sv.kind[c]), file, sv.conflict[c] != 0));
                 }
                 return cells;
             })
        .def("unpack", [](Medium &m, const std::string &dir) { return dace_tool::unpack_to_folder(tool_image(m), dir); })
        .def("cut_power_after", [](Medium &m, uint64_t bytes) { m.sim().cut_after_bytes(bytes); })
        .def_property_readonly("powered", [](Medium &m) { return m.sim().powered(); })
        .def("reset_counters", [](Medium &m) { m.sim().reset_counters(); })
        .def("counters", [](Medium &m) {
            const dace_sim::Counters &c = m.sim().counters();
            py::dict d;
            d["bytes_programmed"] = c.bytes_programmed;
            d["bytes_read"] = c.bytes_read;
            d["erases"] = c.erase_calls;
            d["writes"] = c.write_calls;
            d["reads"] = c.read_calls;
            return d;
        });

    py::class_<Handle, std::shared_ptr<Handle>>(mod, "Handle")
        .def_property_readonly("valid", &Handle::valid)
        .def_property_readonly("lost", &Handle::lost)
        .def_property_readonly("writer", &Handle::writer)
        .def("readinto", &Handle::readinto)
        .def("write", &Handle::write)
        .def("seek", &Handle::seek)
        .def("tell", &Handle::tell)
        .def("size", &Handle::size)
        .def("flush", &Handle::flush)
        .def("close", &Handle::close);
}
