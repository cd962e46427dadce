// A file's data extracted for cat, get and unpack: read through the library
// with verification, or with --salvage as it reads, with what is wrong.
#ifndef DACE_TOOLS_EXTRACT_H
#define DACE_TOOLS_EXTRACT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/opened_image.h"
#include "tools/output.h"
#include "tools/survey.h"
#include "tools/volume.h"

namespace dace_tool {

struct Extracted {
    std::vector<uint8_t> data;
    std::vector<std::string> faults; // what --salvage wrote anyway
};

// A file's data, read with verification: a cluster whose mark or CRC does
// not match stops it with an Error naming the cluster. With `salvage`, reads
// without verification and lists what is wrong instead. `v` is the volume
// mounted on `img`, whose survey is `sv`.
Extracted extract(Volume &v, const Image &img, const Survey &sv, const std::string &name, bool salvage);

// Tells each fault of `x`, one line each; 1 when there was one.
int tell_faults(Output &o, const std::string &name, const Extracted &x);
// With --salvage, says once that data is read without verification.
void warn_salvage(Output &o, bool salvage);

} // namespace dace_tool

#endif // DACE_TOOLS_EXTRACT_H
