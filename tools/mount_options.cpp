// The -o options of `dace mount`: those the mount takes itself (how it shows
// modes and owners the medium does not keep, and read-only), and the rest,
// which go to FUSE.
#include "tools/mount_options.h"

#include <cerrno>
#include <cstdlib>

#include <fmt/format.h>

#include "tools/image_file.h"

namespace dace_tool {

namespace {

// A number in an option: decimal, or octal for masks.
template <class T> T option_number(const std::string &option, const std::string &text, int base) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (text.empty() || *end != 0 || errno != 0 || text[0] == '-' || v > static_cast<unsigned long long>(T(~T{0})))
        throw Error(fmt::format("mount option {}={}: not a {} number", option, text, base == 8 ? "octal" : "decimal"));
    return static_cast<T>(v);
}

} // namespace

MountSettings parse_mount_options(const std::vector<std::string> &lists, std::vector<std::string> &rest) {
    MountSettings s;
    for (const std::string &list : lists) {
        std::string passed;
        size_t start = 0;
        while (start <= list.size()) {
            // A backslash keeps the next character (a comma) inside a value.
            size_t end = start;
            while (end < list.size() && list[end] != ',')
                end += list[end] == '\\' && end + 1 < list.size() ? 2 : 1;
            const std::string one = list.substr(start, end - start);
            start = end + 1;
            const size_t eq = one.find('=');
            const std::string key = one.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : one.substr(eq + 1);
            if (one == "ro" || one == "rw") {
                s.read_only = one == "ro";
                passed += (passed.empty() ? "" : ",") + one; // the kernel refuses writes too
            } else if (one == "quiet" || one == "noquiet") {
                s.quiet = one == "quiet";
            } else if (key == "uid" && eq != std::string::npos) {
                s.uid = option_number<uid_t>(key, value, 10);
            } else if (key == "gid" && eq != std::string::npos) {
                s.gid = option_number<gid_t>(key, value, 10);
            } else if ((key == "umask" || key == "fmask" || key == "dmask") && eq != std::string::npos) {
                const auto mask = static_cast<mode_t>(option_number<uint16_t>(key, value, 8) & 0777);
                if (key != "dmask")
                    s.fmask = mask;
                if (key != "fmask")
                    s.dmask = mask;
            } else if (!one.empty()) {
                passed += (passed.empty() ? "" : ",") + one;
            }
        }
        if (!passed.empty())
            rest.push_back(passed);
    }
    return s;
}

} // namespace dace_tool
