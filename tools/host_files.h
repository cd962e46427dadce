// Files of the host that the commands read and write: a source read whole,
// an extracted file written with its entry's time, and which names a host
// folder can take.
#ifndef DACE_TOOLS_HOST_FILES_H
#define DACE_TOOLS_HOST_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace dace_tool {

// A name that is safe as a file name in a host folder.
bool host_safe(const std::string &name);

// Reads a host file whole, its modification time (Unix nanoseconds) into
// `mtime` when given. Anything but a regular file is refused before it is
// opened for good, so that a FIFO or a device cannot make it block.
std::vector<uint8_t> read_host_file(const std::string &path, uint64_t *mtime);

// Writes a host file afresh (never through a link that stood there) and
// gives it the entry's time (`stamp`, Unix nanoseconds; 0 leaves it).
void write_host_file(const std::string &path, const std::vector<uint8_t> &data, uint64_t stamp);

} // namespace dace_tool

#endif // DACE_TOOLS_HOST_FILES_H
