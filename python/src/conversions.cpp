// Between Python and the tool's core: failures of an image as ImageError,
// the library's reasons as OSErrors with the errno and message of the table
// the tool and the mount share (tools/reasons.h), the tool's option names
// as Python's keywords, and keyword arguments and buffers as the tool's
// options and bytes.
#include "python/src/conversions.h"

#include <cctype>
#include <utility>

#include "tools/crc_catalogue.h"
#include "tools/reasons.h"

namespace dace_python {

namespace {

// A code outside the library's reasons: reason_of() calls it a failure the
// library did not name (EIO). Raised when a call failed yet left no reason.
constexpr int kUnnamedReason = -1;

// A file name as Python shows it: bytes that are not UTF-8 as surrogates.
py::object shown_name(const std::string &name) {
    if (name.empty())
        return py::none();
    return py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape"));
}

} // namespace

ImageFailure image_failure(int code, const std::string &detail) {
    const dace_tool::Reason reason = dace_tool::reason_of(code);
    return ImageFailure(std::string(reason.message) + ": " + detail, reason.errno_value);
}

std::string python_terms(std::string text, std::string_view pages_keyword) {
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

void raise_os(int err, const std::string &what, const std::string &name, const std::string &name2) {
    const py::object first = shown_name(name);
    const py::object second = shown_name(name2);
    const py::object exc = py::reinterpret_steal<py::object>(PyObject_CallFunction(
        PyExc_OSError, "isOOO", err, what.c_str(), first.ptr(), Py_None, second.ptr()));
    if (!exc)
        throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

void raise_reason(int code, const std::string &detail, const std::string &name, const std::string &name2) {
    const dace_tool::Reason reason = dace_tool::reason_of(code == DACE_E_NONE ? kUnnamedReason : code);
    raise_os(reason.errno_value, detail.empty() ? reason.message : std::string(reason.message) + ": " + detail,
             name, name2);
}

void raise_last(const dace_state *s, const std::string &detail, const std::string &name,
                const std::string &name2) {
    raise_reason(dace_error(s), detail, name, name2);
}

void raise_change(int code, const std::string &name, const std::string &name2) {
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

} // namespace dace_python
