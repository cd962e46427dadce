// Pack and unpack for callers other than the command line (the Python
// module): the same work as `dace pack` and `dace unpack` (commands.h), with
// nothing printed; what the commands would say about skipped files is
// returned.
#ifndef DACE_TOOLS_PACK_H
#define DACE_TOOLS_PACK_H

#include <string>
#include <vector>

#include "tools/commands.h"

namespace dace_tool {

// The image `dace pack` makes of the flat folder `dir` (opt.pages sizes
// the medium). With po.skip_invalid, each file left out is named in
// `skipped`.
Image pack_folder(const std::string &dir, const Options &opt, const PackOptions &po, std::vector<std::string> &skipped);

// Writes every file of `img` into `dir` as `dace unpack` does. Returns one
// line for each entry that was not written (an unusable name, a second
// entry of a name, a file that cannot be read); empty when all were.
std::vector<std::string> unpack_to_folder(const Image &img, const std::string &dir);

} // namespace dace_tool

#endif // DACE_TOOLS_PACK_H
