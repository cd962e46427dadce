// The Python module's native part: the bindings of the images and handles
// (sim_image.h), which the tool's Volume mounts on the simulator, and of
// the tool's image functions. Every rule of the file system stays in the
// library and the tool's core; what is here turns results into Python
// values, and failures into Python's exceptions (conversions.h).
// `libdace/__init__.py` builds the public API on it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dace/dace.h"
#include "python/src/conversions.h"
#include "python/src/sim_image.h"
#include "tools/commands.h"
#include "tools/crc_catalogue.h"
#include "tools/image.h"
#include "tools/image_file.h"
#include "tools/pack.h"
#include "tools/plan.h"
#include "tools/plan_report.h"
#include "tools/reasons.h"
#include "tools/survey.h"
#include "tools/volume.h"

namespace dace_python {

namespace {

using dace_tool::Mounting;

std::shared_ptr<SimImage> image_from(dace_tool::Image img, bool mount, std::optional<uint16_t> level_wear,
                                     std::vector<uint8_t> after = {}) {
    return std::make_shared<SimImage>(img.params(), std::move(img.bytes),
                                      mount ? std::optional<Mounting>(Mounting::Change) : std::nullopt,
                                      img.detection.how, Wear{level_wear}, std::move(after));
}

// The image of `data`, a whole image that this module may change and save:
// detected as the tool detects an image it is to change (its recorded size,
// or whole pages only), whatever follows the medium kept in `after`. An
// image shorter than the volume its root records is refused: the library
// mounts a volume only whole.
std::shared_ptr<SimImage> image_to_change(std::vector<uint8_t> data, const dace_tool::Options &opt, bool mount,
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
    return image_from(std::move(img), mount, level_wear, std::move(after));
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

dace_tool::Image tool_image(SimImage &m) {
    dace_tool::Image img;
    img.bytes = m.bytes();
    img.detection.params = m.params();
    img.detection.how = m.detected();
    return img;
}

// ---- what the methods of the image give Python ----

std::shared_ptr<SimImage> blank(const py::dict &given, uint32_t total_pages, std::optional<uint16_t> level_wear) {
    const Params p = dace_tool::params_for_new(options_from(given), total_pages);
    return std::make_shared<SimImage>(p, std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF),
                                      Mounting::Format, "all given", Wear{level_wear});
}

std::pair<std::shared_ptr<SimImage>, std::vector<std::string>> pack(const std::string &dir, const py::dict &given,
                                                                    std::optional<uint32_t> pages, bool skip_invalid,
                                                                    std::optional<uint16_t> level_wear) {
    dace_tool::Options opt = options_from(given);
    opt.pages = pages;
    dace_tool::PackOptions po;
    po.skip_invalid = skip_invalid;
    std::vector<std::string> skipped;
    auto image = image_from(dace_tool::pack_folder(dir, opt, po, skipped), true, level_wear);
    return {image, skipped};
}

std::shared_ptr<SimImage> copy_of(SimImage &m) {
    return std::make_shared<SimImage>(m.params(), m.bytes(), Mounting::Change, m.detected(), m.wear(), m.after());
}

py::dict params_of(const SimImage &m) {
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
}

py::list listdir(SimImage &m) {
    py::list names;
    for (const dace_entry &e : m.volume().entries())
        names.append(py::bytes(dace_tool::entry_name(e)));
    return names;
}

py::tuple stat_file(SimImage &m, const std::string &name) {
    dace_tool::Volume &v = m.volume();
    dace_entry e{};
    if (dace_stat(v.state(), name.c_str(), &e) != DACE_OK)
        raise_last(v.state(), {}, name);
    return py::make_tuple(e.size, v.chain_length(e.clus), e.stamp);
}

void remove_file(SimImage &m, const std::string &name) {
    dace_state *s = m.state();
    if (dace_remove(s, name.c_str()) != DACE_OK)
        raise_change(dace_error(s), name);
}

// By the rule the tool and the mount follow: a name names one file.
void rename_file(SimImage &m, const std::string &from, const std::string &to, bool replace) {
    const dace_tool::RenameOutcome r = dace_tool::rename_by_rule(m.volume(), from, to, replace);
    switch (r.how) {
    case dace_tool::Renamed::Done:
    case dace_tool::Renamed::SameName: return;
    case dace_tool::Renamed::NoFile: raise_reason(r.reason, {}, from, to);
    case dace_tool::Renamed::NameTaken:
        raise_reason(DACE_E_NAME_TAKEN, "pass replace=True to replace that file", from, to);
    case dace_tool::Renamed::NoWay:
    case dace_tool::Renamed::Failed: break;
    }
    raise_change(r.reason, from, to);
}

void truncate_file(SimImage &m, const std::string &name, long long length) {
    dace_tool::Volume &v = m.volume();
    dace_entry e{};
    if (dace_stat(v.state(), name.c_str(), &e) != DACE_OK)
        raise_last(v.state(), {}, name);
    // The library takes lengths of 0 to 4 GiB - 1.
    if (length < 0)
        raise_reason(DACE_E_INVALID_ARGUMENT, "a negative length", name);
    if (length > 0xFFFFFFFFll)
        raise_reason(DACE_E_BEYOND_END, "", name);
    if (static_cast<uint64_t>(length) == e.size)
        return;
    const dace_tool::Stamping stamping(v.stamp());
    if (dace_truncate(v.state(), name.c_str(), static_cast<uint32_t>(length)) != DACE_OK)
        raise_change(dace_error(v.state()), name);
}

void commit(SimImage &m) {
    dace_state *s = m.state();
    if (dace_commit_root(s) != DACE_OK)
        raise_last(s, "the changes stay in memory for the next commit");
}

std::pair<uint32_t, uint32_t> space(SimImage &m) {
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(m.state(), &total);
    return {free_bytes, total};
}

py::list map_of(SimImage &m) {
    const dace_tool::Survey sv = dace_tool::survey_image(m.bytes(), m.params());
    py::list cells;
    for (uint32_t c = 0; c < sv.clus_count; ++c) {
        py::object file = py::none();
        if (sv.owner[c] >= 0)
            file = py::bytes(sv.files[size_t(sv.owner[c])].name);
        cells.append(py::make_tuple(kind_name(sv.kind[c]), file, sv.conflict[c] != 0));
    }
    return cells;
}

// For each erase traced, the bytes programmed before it began.
std::vector<uint64_t> erase_starts(SimImage &m) {
    std::vector<uint64_t> starts;
    uint64_t programmed = 0;
    for (const dace_sim::Call &call : m.sim().log()) {
        if (call.op == dace_sim::Op::Write)
            programmed += call.result;
        else if (call.op == dace_sim::Op::Erase)
            starts.push_back(programmed);
    }
    return starts;
}

py::dict counters(SimImage &m) {
    const dace_sim::Counters &c = m.sim().counters();
    py::dict d;
    d["bytes_programmed"] = c.bytes_programmed;
    d["bytes_read"] = c.bytes_read;
    d["erases"] = c.erase_calls;
    d["writes"] = c.write_calls;
    d["reads"] = c.read_calls;
    return d;
}

// ---- the bindings, one function a class ----

using ImageClass = py::class_<SimImage, std::shared_ptr<SimImage>>;

// ImageError: an OSError, so that a mount the library refused carries the
// errno of its reason; a ValueError, as it was before it had one. The
// tool's Error becomes one too, in Python's terms.
void bind_image_error(py::module_ &mod) {
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
}

// The reason table (for tests that hold the package to it) and the CRC catalogue.
void bind_functions(py::module_ &mod) {
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
}

// Making an image, and the image as a whole.
void bind_image_makers(ImageClass &cls) {
    cls.def_static("blank", &blank)
        .def_static("from_bytes",
                    [](const py::buffer &data, const py::dict &given, bool mount, std::optional<uint16_t> level_wear) {
                        return image_to_change(bytes_of(data), options_from(given), mount, level_wear);
                    })
        .def_static("pack", &pack)
        .def("copy", &copy_of)
        .def("remount", &SimImage::remount)
        .def("to_bytes",
             [](SimImage &m) {
                 const std::vector<uint8_t> image = m.image();
                 return py::bytes(reinterpret_cast<const char *>(image.data()), image.size());
             })
        .def("save", [](SimImage &m, const std::string &path) { save_image(path, m.image()); })
        .def_property_readonly("params", &params_of)
        .def_property_readonly("detected", &SimImage::detected)
        .def_property_readonly("level_wear", [](SimImage &m) { return m.wear().start; })
        .def_property_readonly("mounted", &SimImage::mounted);
}

// Files by name, and what the tool does with an image.
void bind_image_files(ImageClass &cls) {
    cls.def("listdir", &listdir)
        .def("stat", &stat_file)
        .def("open",
             [](const std::shared_ptr<SimImage> &m, const std::string &name, const std::string &mode) {
                 return std::make_shared<Handle>(m, name, mode_named(mode));
             })
        .def("remove", &remove_file)
        .def("rename", &rename_file)
        .def("truncate", &truncate_file)
        .def("sync", &commit)
        .def("space", &space)
        .def("check", [](SimImage &m) { return dace_tool::survey_image(m.bytes(), m.params()).problems; })
        .def("map", &map_of)
        .def("unpack",
             [](SimImage &m, const std::string &dir) { return dace_tool::unpack_to_folder(tool_image(m), dir); });
}

// The simulator under the image: power cuts, failures, the trace and the
// counters.
void bind_image_power(ImageClass &cls) {
    cls.def("cut_power_after", [](SimImage &m, uint64_t bytes) { m.sim().cut_after_bytes(bytes); })
        .def("fail_write", [](SimImage &m, uint64_t nth, uint32_t done) { m.sim().fail_write(nth, done); })
        .def("cut_power_in_erase",
             [](SimImage &m, uint64_t mth, double fraction) { m.sim().cut_in_erase(mth, fraction); })
        // Records the calls on the medium from now on (false: stops).
        .def("trace",
             [](SimImage &m, bool on) {
                 m.sim().clear_log();
                 m.sim().set_logging(on);
             })
        .def("erase_starts", &erase_starts)
        .def_property_readonly("powered", [](SimImage &m) { return m.sim().powered(); })
        .def("reset_counters", [](SimImage &m) { m.sim().reset_counters(); })
        .def("counters", &counters);
}

void bind_sim_image(py::module_ &mod) {
    ImageClass cls(mod, "SimImage");
    bind_image_makers(cls);
    bind_image_files(cls);
    bind_image_power(cls);
}

void bind_handle(py::module_ &mod) {
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

// `dace plan` on the same engine: the workload document and the overrides
// as JSON text in, the report `dace plan --json` prints as JSON text out.
// What the input gets wrong is a ValueError with the tool's message.
void bind_plan(py::module_ &mod) {
    mod.def("plan", [](const std::string &document, const std::string &overrides) {
        std::string report, refused;
        {
            const py::gil_scoped_release unlocked;
            try {
                const auto doc = dace_tool::parse_workload(document, "the workload");
                const auto over = dace_tool::parse_workload(overrides, "the sections given");
                const dace_tool::PlanInput in = dace_tool::plan_input(doc, over);
                report = dace_tool::plan_report_json(dace_tool::run_plan(in))
                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            } catch (const dace_tool::Error &e) {
                refused = e.what();
            }
        }
        if (!refused.empty())
            throw py::value_error(refused);
        return report;
    });
    mod.def("part_classes", [] { return dace_tool::part_classes_text(); });
    mod.def("part_class_names", [] {
        std::vector<std::string> names;
        for (const dace_tool::Part &p : dace_tool::part_classes())
            names.push_back(p.name);
        return names;
    });
}

} // namespace

} // namespace dace_python

PYBIND11_MODULE(_libdace, mod) {
    mod.doc() = "Native part of the libdace package; use the names that `libdace` exports.";
    mod.attr("__version__") = DACE_VERSION; // dace/dace.h's, as the wheel's
    dace_python::bind_image_error(mod);
    dace_python::bind_functions(mod);
    dace_python::bind_sim_image(mod);
    dace_python::bind_handle(mod);
    dace_python::bind_plan(mod);
}
