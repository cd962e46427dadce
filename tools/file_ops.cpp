// Files of a mounted volume by name, through the library, as the tool says
// what fails: a refusal or failure is a LibraryError with the library's
// reason, its message opening with the file's name.
#include "tools/file_ops.h"

#include <algorithm>

#include <fmt/format.h>

#include "tools/reasons.h"

namespace dace_tool {

namespace {

constexpr uint32_t kChunk = 1u << 20;

// A change by `name` that failed, said as check_name and no_such_file say it.
LibraryError by_name_failure(Volume &v, const std::string &name) {
    const int reason = dace_error(v.state());
    const bool bad_name = reason == DACE_E_NAME_INVALID || reason == DACE_E_NAME_TOO_LONG;
    return v.failure((bad_name ? "bad name " : "") + named(name));
}

} // namespace

std::string named(const std::string &name) { return "\"" + printable(name) + "\""; }

void check_name(const std::string &name) {
    if (const int reason = name_reason(name.c_str()); reason != DACE_E_NONE)
        throw library_error("bad name " + named(name), reason,
                            reason == DACE_E_NAME_TOO_LONG ? fmt::format(" (this one has {})", name.size()) : "");
    if (name.find('\0') != std::string::npos)
        throw Error(fmt::format("bad name {}: it holds a NUL byte", named(name)));
}

void no_such_file(const std::string &name) {
    check_name(name);
    throw library_error(named(name), DACE_E_NO_FILE);
}

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

} // namespace dace_tool
