// The Python module's native part: a medium held in memory, mounted by the
// library, and the tool's image functions. Every rule of the file system
// stays in the library and the tool's core; what is here turns results into
// Python values, and the library's reasons into OSErrors through the table
// the tool and the mount share (tools/reasons.h). `libdace/__init__.py`
// builds the public API on it.
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
#include "tools/pack.h"
#include "tools/reasons.h"
#include "tools/survey.h"

namespace py = pybind11;
using dace_tool::Params;

namespace {

constexpr uint32_t kChunk = 1u << 20;

// A code outside the library's reasons: reason_of() calls it a failure the
// library did not name (EIO). Raised when a call failed yet left no reason.
constexpr int kUnnamedReason = -1;

// An image that cannot be read, made or mounted; ImageError in Python, an
// OSError (and a ValueError). `errno_value` is set when the library gave the
// reason: a mount refused, or a configuration it refuses.
struct ImageFailure : std::runtime_error {
    explicit ImageFailure(const std::string &what, int err = 0) : std::runtime_error(what), errno_value(err) {}
    int errno_value;
};

// ImageFailure of a library reason: its errno, and its message followed by
// `detail`.
ImageFailure image_failure(int code, const std::string &detail) {
    const dace_tool::Reason reason = dace_tool::reason_of(code);
    return ImageFailure(std::string(reason.message) + ": " + detail, reason.errno_value);
}

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

// A file name as Python shows it: bytes that are not UTF-8 as surrogates.
py::object shown_name(const std::string &name) {
    if (name.empty())
        return py::none();
    return py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape"));
}

// Raises the OSError subclass that Python maps `err` to (FileNotFoundError,
// FileExistsError, ...), with `name` (and `name2`, as os.rename gives both)
// as its file names.
[[noreturn]] void raise_os(int err, const std::string &what, const std::string &name = {},
                           const std::string &name2 = {}) {
    const py::object first = shown_name(name);
    const py::object second = shown_name(name2);
    const py::object exc = py::reinterpret_steal<py::object>(PyObject_CallFunction(
        PyExc_OSError, "isOOO", err, what.c_str(), first.ptr(), Py_None, second.ptr()));
    if (!exc)
        throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

// Raises the library's reason `code` (DACE_E_*) with the errno and message
// that the shared table gives it, `detail` after the message.
[[noreturn]] void raise_reason(int code, const std::string &detail, const std::string &name = {},
                               const std::string &name2 = {}) {
    const dace_tool::Reason reason = dace_tool::reason_of(code == DACE_E_NONE ? kUnnamedReason : code);
    raise_os(reason.errno_value, detail.empty() ? reason.message : std::string(reason.message) + ": " + detail,
             name, name2);
}

// Raises why the last library call on `s` failed: call it before any other
// call on `s`, since every call sets the reason afresh.
[[noreturn]] void raise_last(const dace_state *s, const std::string &detail, const std::string &name = {},
                             const std::string &name2 = {}) {
    raise_reason(dace_error(s), detail, name, name2);
}

// Raises why a change by name (remove, rename, truncate) failed. One that a
// write failed is not lost: it is written again by the next commit.
[[noreturn]] void raise_change(const dace_state *s, const std::string &name, const std::string &name2 = {}) {
    const int code = dace_error(s);
    raise_reason(code,
                 code == DACE_E_WRITE_FAILED ? "the change stands in memory and is written by the next commit" : "",
                 name, name2);
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
        const uint32_t size = dace_getstatesize(&cfg);
        if (size == 0)
            throw image_failure(DACE_E_CONFIG, "dace_check_config gives " + std::to_string(dace_check_config(&cfg)));
        // Handles of the mount before are gone with its state.
        ++mounts_;
        state_ = nullptr;
        block_.assign((size + 7) / 8, 0);
        state_ = format ? dace_format(&cfg, block_.data()) : dace_init(&cfg, block_.data());
        if (state_ == nullptr)
            throw image_failure(dace_init_error(block_.data()),
                                "the medium does not mount with these parameters (mount=False keeps it for "
                                "check() and map(), which tell more)");
        if (wear_.start)
            dace_level_wear(state_, static_cast<uint16_t>(*wear_.start + wear_.mounts++));
    }

    static void update_cb(void *ctx, dace_entry *entry) {
        const Medium &m = *static_cast<const Medium *>(ctx);
        if (entry != nullptr && m.stamp_)
            entry->stamp = *m.stamp_;
    }

    Params params_;
    std::string detected_;
    Wear wear_;
    std::vector<uint8_t> after_;
    std::unique_ptr<dace_sim::FlashSim> sim_;
    std::vector<uint64_t> block_;
    dace_state *state_ = nullptr;
    uint64_t mounts_ = 0;
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
    // The library checks the name and what the volume allows; its reason
    // is what is raised.
    Handle(std::shared_ptr<Medium> medium, const std::string &name, Mode mode)
        : m_(std::move(medium)), name_(name), writer_(mode != Mode::Read) {
        dace_state *s = m_->state();
        if (mode == Mode::Create || (mode != Mode::Read && dace_find_file(s, name.c_str()) < 0)) {
            const Medium::Stamping stamping(*m_);
            h_ = dace_create(s, name.c_str());
            if (h_ == 0)
                raise_last(s, {}, name);
        } else {
            // Opened before it is changed, so that a file open already, or
            // one handle too many, is refused with the file as it was.
            h_ = dace_open(s, name.c_str());
            if (h_ == 0)
                raise_last(s, {}, name);
            if (mode == Mode::Write && file_size() > 0) {
                const Medium::Stamping stamping(*m_);
                if (dace_truncate(s, name.c_str(), 0) != DACE_OK)
                    give_up(s, "emptying the file failed");
            }
            // Opening for appending commits: positioning always does.
            if (mode == Mode::Append && dace_seek(s, h_, 0, DACE_SEEK_END) != DACE_OK)
                give_up(s, "the file's end cannot be reached");
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
        const uint32_t pos = dace_tell(s, h_);
        const uint32_t size = file_size();
        const size_t want = std::min<size_t>(static_cast<size_t>(view.len), pos < size ? size - pos : 0);
        auto *out = static_cast<uint8_t *>(view.buf);
        size_t done = 0;
        while (done < want) {
            const uint32_t got =
                dace_read(s, out + done, static_cast<uint32_t>(std::min<size_t>(kChunk, want - done)), h_);
            done += got;
            if (got == 0)
                break;
        }
        if (done == 0 && want > 0)
            raise_last(s, "at byte " + std::to_string(pos), name_);
        return done;
    }

    // Appends the whole buffer, or raises with the bytes taken.
    size_t write(const py::buffer &source) {
        Py_buffer view;
        if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
        const std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> release(&view, PyBuffer_Release);
        dace_state *s = open_state();
        const auto count = static_cast<uint64_t>(view.len);
        const auto *data = static_cast<const uint8_t *>(view.buf);
        const Medium::Stamping stamping(*m_);
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
            if (dace_error(s) == DACE_E_MEDIUM_FULL && !committed) {
                committed = true;
                if (dace_flush(s, h_) == DACE_OK)
                    continue;
            }
            raise_last(s, std::to_string(done) + " of " + std::to_string(count) + " bytes taken into the file",
                       name_);
        }
        return done;
    }

    // Positions a reading handle; positioning commits, as flush does.
    uint64_t seek(long long offset, int whence) {
        dace_state *s = open_state();
        const long long pos = dace_tell(s, h_);
        long long target = 0;
        switch (whence) {
        case 0: target = offset; break;
        case 1: target = pos + offset; break;
        case 2: target = static_cast<long long>(file_size()) + offset; break;
        default: throw py::value_error("whence must be 0, 1 or 2");
        }
        // The library takes positions of 0 to 4 GiB - 1.
        if (target < 0)
            raise_reason(DACE_E_INVALID_ARGUMENT, "a position before the start of the file", name_);
        if (target > 0xFFFFFFFFll)
            raise_reason(DACE_E_BEYOND_END, "", name_);
        if (target == pos)
            return static_cast<uint64_t>(pos);
        if (dace_seek(s, h_, static_cast<uint32_t>(target), DACE_SEEK_SET) != DACE_OK)
            raise_last(s, "to byte " + std::to_string(target), name_);
        return static_cast<uint64_t>(target);
    }

    uint64_t tell() { return dace_tell(open_state(), h_); }

    uint64_t size() {
        open_state();
        return file_size();
    }

    void flush() {
        dace_state *s = open_state();
        if (dace_flush(s, h_) != DACE_OK)
            raise_last(s, "the data stays in memory for the next commit", name_);
    }

    // Closing commits. When that fails the handle stays open, and closing
    // again tries once more.
    void close() {
        if (!valid()) {
            h_ = 0;
            return;
        }
        dace_state *s = m_->state();
        if (dace_close(s, h_) == DACE_CLOSE_WRITE_FAILED)
            raise_last(s, "the file stays open: close again to retry", name_);
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

    // The size of the open file, what is not yet committed included.
    uint32_t file_size() {
        dace_entry e{};
        dace_statf(m_->state(), h_, &e);
        return e.size;
    }

    // A handle opened in the constructor whose next step failed: raises that
    // step's reason after closing the handle (which commits; when that
    // fails too, the handle stays taken until the next mount).
    [[noreturn]] void give_up(dace_state *s, const std::string &what) {
        const int code = dace_error(s);
        (void)dace_close(s, h_);
        h_ = 0;
        raise_reason(code, what, name_);
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

    // An OSError, so that a mount the library refused carries the errno of
    // its reason; a ValueError, as it was before it had one.
    static PyObject *const image_error = [] {
        const py::tuple bases = py::make_tuple(py::handle(PyExc_OSError), py::handle(PyExc_ValueError));
        PyObject *type = PyErr_NewException("libdace.ImageError", bases.ptr(), nullptr);
        if (type == nullptr)
            throw py::error_already_set();
        return type; // kept for the life of the interpreter
    }();
    mod.attr("ImageError") = py::handle(image_error);
    py::register_exception_translator([](std::exception_ptr p) {
        const auto raise = [](int errno_value, const std::string &what) {
            if (errno_value == 0) {
                PyErr_SetString(image_error, what.c_str());
                return;
            }
            PyObject *exc = PyObject_CallFunction(image_error, "is", errno_value, what.c_str());
            if (exc != nullptr) {
                PyErr_SetObject(image_error, exc);
                Py_DECREF(exc);
            }
        };
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const ImageFailure &e) {
            raise(e.errno_value, e.what());
        } catch (const dace_tool::Error &e) {
            raise(0, python_terms(e.what()));
        }
    });

    // The shared table, for tests that hold the package to it.
    mod.def("reason_of", [](int code) {
        const dace_tool::Reason reason = dace_tool::reason_of(code);
        return py::make_tuple(reason.errno_value, reason.message);
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
                 dace_state *s = m.state();
                 dace_entry e{};
                 if (dace_stat(s, name.c_str(), &e) != DACE_OK)
                     raise_last(s, {}, name);
                 return py::make_tuple(e.size, m.chain_length(e.clus), e.stamp);
             })
        .def("open",
             [](const std::shared_ptr<Medium> &m, const std::string &name, const std::string &mode) {
                 return std::make_shared<Handle>(m, name, mode_named(mode));
             })
        .def("remove",
             [](Medium &m, const std::string &name) {
                 dace_state *s = m.state();
                 if (dace_remove(s, name.c_str()) != DACE_OK)
                     raise_change(s, name);
             })
        .def("rename",
             [](Medium &m, const std::string &from, const std::string &to, bool replace) {
                 dace_state *s = m.state();
                 dace_entry e{};
                 if (dace_stat(s, from.c_str(), &e) != DACE_OK)
                     raise_last(s, {}, from, to);
                 if (from == to)
                     return;
                 // The library's plain rename leaves two files of one name;
                 // here, as in the tool, a name names one file.
                 if (!replace && dace_find_file(s, to.c_str()) >= 0)
                     raise_reason(DACE_E_NAME_TAKEN, "pass replace=True to replace that file", from, to);
                 const int r = replace ? dace_rename_replace(s, from.c_str(), to.c_str())
                                       : dace_rename(s, from.c_str(), to.c_str());
                 if (r != DACE_OK)
                     raise_change(s, from, to);
             })
        .def("truncate",
             [](Medium &m, const std::string &name, long long length) {
                 dace_state *s = m.state();
                 dace_entry e{};
                 if (dace_stat(s, name.c_str(), &e) != DACE_OK)
                     raise_last(s, {}, name);
                 // The library takes lengths of 0 to 4 GiB - 1.
                 if (length < 0)
                     raise_reason(DACE_E_INVALID_ARGUMENT, "a negative length", name);
                 if (length > 0xFFFFFFFFll)
                     raise_reason(DACE_E_BEYOND_END, "", name);
                 if (static_cast<uint64_t>(length) == e.size)
                     return;
                 const Medium::Stamping stamping(m);
                 if (dace_truncate(s, name.c_str(), static_cast<uint32_t>(length)) != DACE_OK)
                     raise_change(s, name);
             })
        .def("sync",
             [](Medium &m) {
                 dace_state *s = m.state();
                 if (dace_commit_root(s) != DACE_OK)
                     raise_last(s, "the changes stay in memory for the next commit");
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
        .def("fail_write", [](Medium &m, uint64_t nth, uint32_t done) { m.sim().fail_write(nth, done); })
        .def("cut_power_in_erase",
             [](Medium &m, uint64_t mth, double fraction) { m.sim().cut_in_erase(mth, fraction); })
        // Records the calls on the medium from now on (false: stops).
        .def("trace",
             [](Medium &m, bool on) {
                 m.sim().clear_log();
                 m.sim().set_logging(on);
             })
        // For each erase traced, the bytes programmed before it began.
        .def("erase_starts",
             [](Medium &m) {
                 std::vector<uint64_t> starts;
                 uint64_t programmed = 0;
                 for (const dace_sim::Call &call : m.sim().log()) {
                     if (call.op == dace_sim::Op::Write)
                         programmed += call.result;
                     else if (call.op == dace_sim::Op::Erase)
                         starts.push_back(programmed);
                 }
                 return starts;
             })
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
