#include "tools/image_ops.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fmt/format.h>

namespace dace_tool {

namespace {

// The lines a command wrote to its error stream, without the "dace: " lead.
std::vector<std::string> said(const std::ostringstream &err) {
    std::vector<std::string> lines;
    std::istringstream in(err.str());
    for (std::string line; std::getline(in, line);) {
        constexpr std::string_view lead = "dace: ";
        if (line.starts_with(lead))
            line.erase(0, lead.size());
        if (!line.empty())
            lines.push_back(std::move(line));
    }
    return lines;
}

// A private folder that is removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "dace-pack.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            throw Error("cannot create a temporary folder for the image");
        path_ = tmpl;
    }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace

Image pack_folder(const std::string &dir, const Options &opt, const PackOptions &po, std::vector<std::string> &skipped) {
    // cmd_pack builds the image and writes a new file with it; it is taken
    // from a private one so that the packing rules stay in one place.
    const ScratchFolder scratch;
    const std::string path = (scratch.path() / "image").string();
    std::ostringstream out, err;
    Output quiet{out, err};
    cmd_pack(quiet, dir, path, opt, po);
    skipped = said(err);

    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file.good() && !file.eof())
        throw Error("cannot read the packed image back");

    // The parameters pack used, given in full: nothing is left to detection.
    const Params p = params_for_new(opt, 0xFFFF);
    Options given = opt;
    given.page_size = p.page_size;
    given.clus_pages = p.clus_pages;
    given.geometry_tag = p.geometry_tag;
    given.max_files = p.max_files;
    given.crc = std::string(p.crc->name);
    given.crc_seed = p.crc_seed;
    return image_from_bytes(std::move(bytes), given);
}

std::vector<std::string> unpack_to_folder(const Image &img, const std::string &dir) {
    std::ostringstream out, err;
    Output quiet{out, err};
    cmd_unpack(quiet, img, dir);
    return said(err);
}

} // namespace dace_tool
