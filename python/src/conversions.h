// Between Python and the tool's core: failures of an image as ImageError,
// the library's reasons as OSErrors with the errno and message of the table
// the tool and the mount share (tools/reasons.h), the tool's option names
// as Python's keywords, and keyword arguments and buffers as the tool's
// options and bytes.
#ifndef DACE_PYTHON_CONVERSIONS_H
#define DACE_PYTHON_CONVERSIONS_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dace/dace.h"
#include "tools/crc_catalogue.h"
#include "tools/image.h"
#include "tools/survey.h"

namespace dace_python {

namespace py = pybind11;

// An image that cannot be read, made or mounted; ImageError in Python, an
// OSError (and a ValueError). `errno_value` is set when the library gave the
// reason: a mount refused, or a configuration it refuses.
struct ImageFailure : std::runtime_error {
    explicit ImageFailure(const std::string &what, int err = 0) : std::runtime_error(what), errno_value(err) {}
    int errno_value;
};

// ImageFailure of a library reason: its errno, and its message followed by
// `detail`.
ImageFailure image_failure(int code, const std::string &detail);

// The tool words its messages for its command line; here the same values
// are keyword arguments. The tool's --pages is total_pages where a medium
// is made, and pages where one is read (`pages_keyword`).
std::string python_terms(std::string text, std::string_view pages_keyword = "total_pages");

// Raises the OSError subclass that Python maps `err` to (FileNotFoundError,
// FileExistsError, ...), with `name` (and `name2`, as os.rename gives both)
// as its file names.
[[noreturn]] void raise_os(int err, const std::string &what, const std::string &name = {},
                           const std::string &name2 = {});
// Raises the library's reason `code` (DACE_E_*) with the errno and message
// that the shared table gives it, `detail` after the message; a call that
// failed yet left no reason (DACE_E_NONE) is a failure the library did not
// name (EIO).
[[noreturn]] void raise_reason(int code, const std::string &detail, const std::string &name = {},
                               const std::string &name2 = {});
// Raises why the last library call on `s` failed: call it before any other
// call on `s`, since every call sets the reason afresh.
[[noreturn]] void raise_last(const dace_state *s, const std::string &detail, const std::string &name = {},
                             const std::string &name2 = {});
// Raises why a change by name (remove, rename, truncate) failed, for the
// reason `code`. One that a write failed is not lost: it is written again
// by the next commit.
[[noreturn]] void raise_change(int code, const std::string &name, const std::string &name2 = {});

// The CRC of that name in the tool's catalogue; ValueError naming the known
// ones otherwise.
const dace_tool::CrcAlgo &crc_named(const std::string &name);
// The medium's settings given as keywords (None: found in the image), as
// the tool's options; TypeError or ValueError for a value no option takes.
dace_tool::Options options_from(const py::dict &given);
// The bytes of a buffer (bytes, bytearray, memoryview).
std::vector<uint8_t> bytes_of(const py::buffer &data);
// What a cluster holds, as Image.map() names it.
const char *kind_name(dace_tool::ClusKind k);

} // namespace dace_python

#endif // DACE_PYTHON_CONVERSIONS_H
