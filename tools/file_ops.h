// Files of a mounted volume by name, as the tool's commands and pack use
// them: contents through the library, and changes by name, each committed
// before it returns. What the library refuses or cannot complete (a read
// that stops short, a medium that fills, a write that falls short) is a
// LibraryError with its reason (dace_error), so that the tool says what the
// mount's errno says; its message opens with the file's name, as named()
// gives it.
#ifndef DACE_TOOLS_FILE_OPS_H
#define DACE_TOOLS_FILE_OPS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/volume.h"

namespace dace_tool {

// A file's name as a message gives it: quoted, bytes that do not print as \xNN.
std::string named(const std::string &name);
// Refuses a name the library would refuse, with its reason; and one with a
// NUL byte, which no C string carries whole.
void check_name(const std::string &name);
// A lookup that found nothing, as the library's lookups say it: a name
// against the rules is never on the medium.
[[noreturn]] void no_such_file(const std::string &name);

// What a read through the library gave: the bytes before it stopped, and
// why it stopped short (DACE_E_NONE when it did not).
struct ReadBack {
    std::vector<uint8_t> data;
    int reason = DACE_E_NONE;
};
// Reads up to `size` bytes of `name` through the library; fewer when a read
// stops short.
ReadBack read_through(Volume &v, const std::string &name, uint32_t size);

// The whole file; a read that stops short is an error.
std::vector<uint8_t> read_file(Volume &v, const std::string &name);
// A new file (refused when the name is taken), or with `append` more at
// the end of an existing one; the file is closed, which commits.
void write_file(Volume &v, const std::string &name, const uint8_t *data, size_t size, bool append);
void remove_file(Volume &v, const std::string &name);
// Renames by the hosts' rule (rename_by_rule): another file bearing `to` is
// refused unless `replace`, and then dropped in the same commit. False when
// both names lead to the same file, which is left as it is.
bool rename_file(Volume &v, const std::string &from, const std::string &to, bool replace);
void truncate_file(Volume &v, const std::string &name, uint32_t length);

} // namespace dace_tool

#endif // DACE_TOOLS_FILE_OPS_H
