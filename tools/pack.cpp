// Pack and unpack: a flat host folder made into a new image, and every file
// of an image written into a host folder; and both for callers other than
// the command line (the Python module), with nothing printed.
#include "tools/pack.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "tools/extract.h"
#include "tools/host_files.h"

namespace dace_tool {

namespace fs = std::filesystem;

namespace {

// A file of the folder that pack copies into the image.
struct PackSource {
    std::string name;
    std::string path;
    uint64_t size;
};

// A file pack cannot take: refused, or with --skip-invalid left out and told.
void leave_out(Output &o, bool skip_invalid, const std::string &what, const std::string &why) {
    if (!skip_invalid)
        throw Error(fmt::format("{}: {}; pass --skip-invalid to leave it out", what, why));
    o.err << fmt::format("dace: skipped {}: {}\n", what, why);
}

// Why pack cannot take this folder entry, or empty when it can.
std::string unpackable(const fs::directory_entry &de, const std::string &name) {
    std::error_code ec;
    if (de.is_directory(ec))
        return "a nested folder (pack takes a flat folder)";
    if (!de.is_regular_file(ec))
        return "not a regular file";
    if (dace_check_filename(name.c_str()) == DACE_NAME_TOO_LONG)
        return fmt::format("a name of {} bytes, more than 18", name.size());
    if (dace_check_filename(name.c_str()) != DACE_NAME_OK)
        return "a name with a separator";
    if (::access(de.path().c_str(), R_OK) != 0)
        return fmt::format("cannot be read ({})", std::strerror(errno));
    return {};
}

// The files of a flat folder in the order of their names, so that the
// image is reproducible.
std::vector<PackSource> pack_sources(Output &o, const std::string &dir, bool skip_invalid) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        throw Error(fmt::format("cannot read folder {}: {}", dir, ec.message()));
    std::vector<PackSource> sources;
    for (const fs::directory_entry &de : it) {
        const std::string name = de.path().filename().string();
        if (const std::string why = unpackable(de, name); !why.empty()) {
            leave_out(o, skip_invalid, de.path().string(), why);
            continue;
        }
        sources.push_back({name, de.path().string(), static_cast<uint64_t>(de.file_size(ec))});
    }
    std::sort(sources.begin(), sources.end(),
              [](const PackSource &a, const PackSource &b) { return a.name < b.name; });
    return sources;
}

// The pages of the medium: --pages, or what the files need. Refuses more
// files than a root holds.
uint64_t pages_to_pack(const std::vector<PackSource> &sources, const Options &opt) {
    const Params probe = params_for_new(opt, uint64_t{opt.clus_pages.value_or(Params{}.clus_pages)} * 16u);
    const uint32_t payload = probe.clus_size() - uint32_t{sizeof(dace_clus_header)};
    const uint32_t max_entries = (probe.clus_size() - uint32_t{sizeof(dace_root)}) / uint32_t{sizeof(dace_entry)};
    if (sources.size() > max_entries)
        throw Error(fmt::format("{} files exceed the {} entries a root of {}-byte clusters holds; raise --page-size "
                                "or --clus-pages",
                                sources.size(), max_entries, probe.clus_size()));
    if (opt.pages)
        return *opt.pages;
    // The data, the root, the clusters the allocator keeps in reserve, and
    // room for the root to move.
    uint64_t clusters = 8;
    for (const PackSource &src : sources)
        clusters += (src.size + payload - 1) / payload;
    return clusters * probe.clus_pages;
}

// Writes each source into the new volume with its time (or the fixed
// SOURCE_DATE_EPOCH). A file that cannot be read any more is refused, or
// left out with --skip-invalid.
void pack_files(Output &o, Volume &v, const std::vector<PackSource> &sources, bool skip_invalid) {
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    const bool fixed_time = epoch != nullptr && *epoch != 0;
    Progress bar(o, "pack", sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        uint64_t mtime = 0;
        std::vector<uint8_t> data;
        try {
            data = read_host_file(sources[i].path, &mtime);
        } catch (const Error &e) {
            // It changed since it was listed.
            if (!skip_invalid)
                throw Error(fmt::format("{}; pass --skip-invalid to leave it out", e.what()));
            o.err << fmt::format("dace: skipped {}: {}\n", sources[i].path, e.what());
            continue;
        }
        v.stamp().value = fixed_time ? now_stamp() : mtime;
        try {
            write_file(v, sources[i].name, data.data(), data.size(), false);
        } catch (const Error &e) {
            throw Error(fmt::format("{}: {}", sources[i].path, e.what()));
        }
        bar.update(i + 1);
    }
}

} // namespace

int cmd_unpack(Output &o, const Image &img, const std::string &dir, bool salvage) {
    const Survey sv = chains_of(img);
    Volume v = mount_to_read(img, sv);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir))
        throw Error(fmt::format("cannot create folder {}", dir));
    warn_salvage(o, salvage);
    std::set<std::string> done;
    int status = tell_cut_short(o, img);
    Progress bar(o, "unpack", sv.files.size());
    for (size_t i = 0; i < sv.files.size(); ++i) {
        const std::string &name = sv.files[i].name;
        bar.update(i + 1);
        if (!host_safe(name)) {
            o.err << fmt::format("dace: skipped {}: not a usable file name\n", named(name));
            status = 1;
            continue;
        }
        if (!done.insert(name).second) {
            o.err << fmt::format("dace: skipped a second entry named {}: only the first can be read\n", named(name));
            status = 1;
            continue;
        }
        try {
            const Extracted x = extract(v, img, sv, name, salvage);
            write_host_file((fs::path(dir) / name).string(), x.data, sv.files[i].entry.stamp);
            status |= tell_faults(o, name, x);
        } catch (const Error &e) {
            o.err << "dace: " << e.what() << '\n';
            status = 1;
        }
    }
    return status;
}

int cmd_pack(Output &o, const std::string &dir, const std::string &path, const Options &opt, const PackOptions &po) {
    // Refused at once when it exists without --force, or is mounted.
    const std::unique_ptr<ImageLock> lock = lock_for_new(path, opt, po.force);
    const std::vector<PackSource> sources = pack_sources(o, dir, po.skip_invalid);
    const Params p = params_for_new(opt, pages_to_pack(sources, opt));
    VolumeOptions vo;
    vo.mounting = Mounting::Format;
    vo.journal = new_medium_in_place(lock.get(), opt);
    Volume v(std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF), p, vo);
    pack_files(o, v, sources, po.skip_invalid);
    write_new_medium(path, opt, lock.get(), v);
    return 0;
}


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
