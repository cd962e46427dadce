// The commands that read an image and never write it: info, ls, stat, cat,
// get and df (check and map have units of their own). Each mounts the image
// with dace_mount on a medium that takes no write; a file whose data cannot
// all be read is reported and makes the exit status 1.
#include "tools/commands.h"

#include <filesystem>

#include <fmt/format.h>

#include "tools/extract.h"
#include "tools/host_files.h"

namespace dace_tool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Tells of every file whose data cannot all be read; 1 when there is one.
int report_damage(Output &o, const Survey &sv) {
    int status = 0;
    for (const FileChain &f : sv.files) {
        if (f.damage.empty())
            continue;
        o.err << fmt::format("dace: {}: {}\n", named(f.name), f.damage);
        status = 1;
    }
    return status;
}

json entry_json(const FileChain &f) {
    return json{{"name", f.name},
                {"size", f.entry.size},
                {"clusters", f.clusters.size()},
                {"newest_cluster", f.entry.clus == CLUS_END ? json(nullptr) : json(f.entry.clus)},
                {"stamp", f.entry.stamp},
                {"time", stamp_iso(f.entry.stamp)},
                {"damage", f.damage.empty() ? json(nullptr) : json(f.damage)}};
}

// Where the medium's size came from, for info.
std::string size_text(const Image &img, const Survey &sv, uint16_t version) {
    const Params &p = img.params();
    if (sv.recorded_clusters != 0)
        return fmt::format("{} pages ({} clusters), recorded in the root (format version {})",
                           uint32_t{sv.recorded_clusters} * p.clus_pages, sv.recorded_clusters, version);
    if (img.detection.recorded_clusters)
        return fmt::format("{} pages, as an earlier root cluster records (the root in force records no size)",
                           p.total_pages);
    return fmt::format("not recorded (a writer before format version {}): {} pages, from {}", DACE_FORMAT_VERSION,
                       p.total_pages, img.detection.pages_given ? "--pages" : "the image's length");
}

} // namespace

int cmd_info(Output &o, const Image &img) {
    Volume v = mount_whole(img);
    const Params &p = img.params();
    dace_state *s = v.state();
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(s, &total);
    const Survey sv = survey_image(img.bytes, p, {}, false);
    const RootLog *log = sv.root();
    const size_t copies = log ? size_t(log->last_valid + 1) : 0;
    // What the copy in force records: its version, and the volume's size
    // unless a writer that recorded none wrote it.
    const uint16_t version = log ? log->copies[size_t(log->last_valid)].head.version : 0;
    const uint32_t recorded_pages = uint32_t{sv.recorded_clusters} * p.clus_pages;
    if (o.json) {
        print_json(o, json{{"page_size", p.page_size},
                           {"clus_pages", p.clus_pages},
                           {"geometry_tag", p.geometry_tag},
                           {"total_pages", p.total_pages},
                           {"offset", img.offset},
                           {"cluster_size", p.clus_size()},
                           {"clusters", p.clus_count()},
                           {"recorded_pages", recorded_pages != 0 ? json(recorded_pages) : json(nullptr)},
                           {"format_version", version},
                           {"crc", std::string(p.crc->name)},
                           {"crc_seed", p.crc_seed},
                           {"detected", img.detection.how},
                           {"generation", s->root->seq},
                           {"root_cluster", s->root_clus},
                           {"root_page", s->root_page},
                           {"root_copies", copies},
                           {"root_pages_used", s->root_end},
                           {"files", s->root->count},
                           {"max_entries", s->max_entries},
                           {"free_bytes", free_bytes},
                           {"total_bytes", total}});
        return 0;
    }
    o.out << fmt::format("geometry:    page size {}, {} pages per cluster ({} bytes), tag {}, {} pages, {} clusters{}\n",
                         p.page_size, p.clus_pages, p.clus_size(), p.geometry_tag, p.total_pages, p.clus_count(),
                         img.offset != 0 ? fmt::format(", at offset {}", img.offset) : std::string());
    o.out << fmt::format("size:        {}\n", size_text(img, sv, version));
    o.out << fmt::format("crc:         {}, seed {:#06x}\n", p.crc->name, p.crc_seed);
    o.out << fmt::format("detected:    {}\n", img.detection.how);
    o.out << fmt::format("root:        cluster {}, generation {}, copy at page {} ({} valid cop{}, {} of {} pages used)\n",
                         s->root_clus, s->root->seq, s->root_page, copies, copies == 1 ? "y" : "ies", s->root_end,
                         p.clus_pages);
    o.out << fmt::format("files:       {} of at most {}\n", s->root->count, s->max_entries);
    o.out << fmt::format("space:       {} bytes free of {}\n", free_bytes, total);
    return 0;
}

int cmd_ls(Output &o, const Image &img, bool long_format) {
    const Survey sv = chains_of(img);
    (void)mount_to_read(img, sv); // refused as the mount refuses it
    const int cut = tell_cut_short(o, img);
    if (o.json) {
        json list = json::array();
        for (const FileChain &f : sv.files)
            list.push_back(entry_json(f));
        print_json(o, list);
        return report_damage(o, sv) | cut;
    }
    if (long_format)
        o.out << fmt::format("{:>10} {:>5} {:<19}  {}\n", "size", "clus", "modified", "name");
    for (const FileChain &f : sv.files) {
        if (long_format)
            o.out << fmt::format("{:>10} {:>5} {:<19}  {}\n", f.entry.size, f.clusters.size(), stamp_text(f.entry.stamp),
                                 printable(f.name));
        else
            o.out << printable(f.name) << '\n';
    }
    return report_damage(o, sv) | cut;
}

int cmd_stat(Output &o, const Image &img, const std::string &name) {
    const Survey sv = chains_of(img);
    (void)mount_to_read(img, sv);
    const FileChain *f = sv.file(name);
    if (f == nullptr)
        no_such_file(name);
    const int status = (f->damage.empty() ? 0 : 1) | tell_cut_short(o, img);
    if (o.json) {
        print_json(o, entry_json(*f));
        return status;
    }
    const dace_entry &e = f->entry;
    o.out << fmt::format("name:     {}\nsize:     {} bytes\nclusters: {}\nnewest:   {}\ntime:     {} ({} ns)\n",
                         printable(name), e.size, f->clusters.size(),
                         e.clus == CLUS_END ? std::string("none") : std::to_string(e.clus), stamp_text(e.stamp, true),
                         e.stamp);
    if (!f->damage.empty())
        o.err << fmt::format("dace: {}: {}\n", named(name), f->damage);
    return status;
}

int cmd_cat(Output &o, const Image &img, const std::string &name, bool salvage) {
    const Survey sv = chains_of(img);
    Volume v = mount_to_read(img, sv);
    warn_salvage(o, salvage);
    const Extracted x = extract(v, img, sv, name, salvage);
    o.out.write(reinterpret_cast<const char *>(x.data.data()), static_cast<std::streamsize>(x.data.size()));
    o.out.flush();
    if (!o.out)
        throw Error("cannot write to the output");
    return tell_faults(o, name, x) | tell_cut_short(o, img);
}

int cmd_get(Output &o, const Image &img, const std::string &name, const std::string &dest, bool salvage) {
    const Survey sv = chains_of(img);
    Volume v = mount_to_read(img, sv);
    const FileChain *f = sv.file(name);
    if (f == nullptr)
        no_such_file(name);
    std::string path = dest;
    if (path.empty() || fs::is_directory(path)) {
        if (!host_safe(name))
            throw Error(fmt::format("{} cannot be a file name here: give a destination", named(name)));
        path = (fs::path(path.empty() ? "." : path) / name).string();
    }
    warn_salvage(o, salvage);
    const Extracted x = extract(v, img, sv, name, salvage);
    write_host_file(path, x.data, f->entry.stamp);
    return tell_faults(o, name, x) | tell_cut_short(o, img);
}

int cmd_df(Output &o, const Image &img, bool human) {
    Volume v = mount_whole(img);
    dace_state *s = v.state();
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(s, &total);
    const uint32_t used = total - free_bytes;
    if (o.json) {
        print_json(o, json{{"total_bytes", total},
                           {"used_bytes", used},
                           {"free_bytes", free_bytes},
                           {"cluster_size", s->clus_size},
                           {"clusters", s->clus_count},
                           {"free_clusters", free_bytes / s->clus_size},
                           {"files", s->root->count},
                           {"max_entries", s->max_entries}});
        return 0;
    }
    auto size = [human](uint32_t n) { return human ? human_size(n) : std::to_string(n); };
    o.out << fmt::format("{:>12} {:>12} {:>12} {:>5}  {:>9}\n", "size", "used", "free", "use%", "files");
    o.out << fmt::format("{:>12} {:>12} {:>12} {:>4}%  {:>4}/{:<4}\n", size(total), size(used), size(free_bytes),
                         total ? (uint64_t{used} * 100 + total - 1) / total : 0, s->root->count, s->max_entries);
    return 0;
}

} // namespace dace_tool
