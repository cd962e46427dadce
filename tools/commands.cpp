#include "tools/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>

#include <fmt/format.h>

#include "tools/survey.h"

namespace dace_tool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr uint32_t kChunk = 1u << 20;

std::string quoted(const std::string &name) { return "\"" + printable(name) + "\""; }

void check_name(const std::string &name) {
    switch (dace_check_filename(name.c_str())) {
    case 0:
        if (name.find('\0') != std::string::npos)
            throw Error(fmt::format("bad name {}: it holds a NUL byte", quoted(name)));
        return;
    case -1: throw Error("bad name: a name is 1 to 18 bytes long, and this one is empty");
    case 1: throw Error(fmt::format("bad name {}: {} bytes, more than 18", quoted(name), name.size()));
    default: throw Error(fmt::format("bad name {}: it contains a '/' or '\\'", quoted(name)));
    }
}

// A name that is safe as a file name in a host folder.
bool host_safe(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos;
}

uint64_t mtime_ns(const struct stat &st) {
    return static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

std::vector<uint8_t> read_host_file(const std::string &path, uint64_t *mtime) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error(fmt::format("cannot open {}: {}", path, std::strerror(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Error(fmt::format("{} is not a regular file", path));
    }
    if (mtime != nullptr)
        *mtime = mtime_ns(st);
    std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t got = ::read(fd, data.data() + done, data.size() - done);
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    ::close(fd);
    if (done != data.size())
        throw Error(fmt::format("cannot read {}", path));
    return data;
}

// Writes a host file afresh (never through a link that stood there) and
// gives it the entry's time.
void write_host_file(const std::string &path, const std::vector<uint8_t> &data, uint64_t stamp) {
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Error(fmt::format("cannot create {}: {}", path, std::strerror(errno)));
    bool ok = write_all(fd, data);
    if (ok && stamp != 0) {
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(stamp / 1000000000ull);
        times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(stamp % 1000000000ull);
        ok = ::futimens(fd, times) == 0;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok)
        throw Error(fmt::format("cannot write {}: {}", path, std::strerror(errno)));
}

// The mount drops what a chain links past the end of the medium; on an
// image that is an image cut short, so say so rather than show files
// shortened.
Volume mount(const Image &img) {
    const Survey sv = survey_image(img.bytes, img.params(), {}, false);
    if (sv.beyond_end)
        throw Error(fmt::format("a file's clusters lie past the image's last cluster {}: the image is truncated, or "
                                "a chain is damaged (dace check tells more)",
                                sv.clus_count - 1));
    return Volume(img.bytes, img.params());
}

void save(const Image &img, Volume &v) { replace_image_file(img.path, v.bytes()); }

json entry_json(Volume &v, const dace_entry &e) {
    return json{{"name", entry_name(e)},
                {"size", e.size},
                {"clusters", v.chain_length(e.clus)},
                {"newest_cluster", e.clus == CLUS_END ? json(nullptr) : json(e.clus)},
                {"stamp", e.stamp},
                {"time", stamp_text(e.stamp)}};
}

} // namespace

Image open_image(const std::string &path, const Options &opt) {
    Image img = image_from_bytes(read_image_file(path), opt);
    img.path = path;
    return img;
}

Image image_from_bytes(std::vector<uint8_t> bytes, const Options &opt) {
    Image img;
    img.detection = detect(bytes, opt);
    img.bytes = std::move(bytes);
    return img;
}

std::vector<uint8_t> read_file(Volume &v, const std::string &name) {
    const auto e = v.stat(name);
    if (!e)
        throw Error(fmt::format("no file {} in the image", quoted(name)));
    const dace_handle h = dace_open(v.state(), name.c_str());
    if (h == 0)
        throw Error(fmt::format("cannot open {}", quoted(name)));
    std::vector<uint8_t> data(e->size);
    size_t done = 0;
    while (done < data.size()) {
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(kChunk, data.size() - done));
        const uint32_t got = dace_read(v.state(), data.data() + done, want, h);
        if (got == 0)
            break;
        done += got;
    }
    dace_close(v.state(), h);
    if (done != data.size())
        throw Error(fmt::format("{}: reading stopped at byte {} of {}: a cluster of the file cannot be read",
                                quoted(name), done, data.size()));
    return data;
}

void write_file(Volume &v, const std::string &name, const uint8_t *data, size_t size, bool append) {
    check_name(name);
    dace_state *s = v.state();
    dace_handle h = 0;
    uint64_t start = 0;
    if (append) {
        const auto e = v.stat(name);
        if (!e)
            throw Error(fmt::format("no file {} to append to", quoted(name)));
        start = e->size;
        h = dace_open(s, name.c_str());
        if (h == 0 || dace_seek(s, h, 0, 2) != 0)
            throw Error(fmt::format("cannot open {} at its end", quoted(name)));
    } else {
        if (v.stat(name))
            throw Error(fmt::format("{} already exists: pass --append to add to it, or rm it first", quoted(name)));
        if (s->root->count >= s->max_entries)
            throw Error(fmt::format("the directory is full: {} entries", s->max_entries));
        h = dace_create(s, name.c_str());
        if (h == 0)
            throw Error(fmt::format("cannot create {}: the medium is full", quoted(name)));
    }
    if (start + size > 0xFFFFFFFFull)
        throw Error(fmt::format("{} would grow beyond 4 GiB", quoted(name)));
    size_t done = 0;
    while (done < size) {
        const uint32_t want = static_cast<uint32_t>(std::min<size_t>(kChunk, size - done));
        const uint32_t took = dace_write(s, data + done, want, h);
        done += took;
        if (took != want)
            throw Error(fmt::format("the medium is full: {} of {} bytes of {} written; the image is left as it was",
                                    done, size, quoted(name)));
    }
    if (dace_close(s, h) != 0)
        throw Error(fmt::format("{}: a write to the medium fell short", quoted(name)));
}

int cmd_info(Output &o, const Image &img) {
    Volume v = mount(img);
    const Params &p = img.params();
    dace_state *s = v.state();
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(s, &total);
    const Survey sv = survey_image(img.bytes, p);
    const RootLog *log = sv.root();
    const size_t copies = log ? size_t(log->last_valid + 1) : 0;
    if (o.json) {
        print_json(o, json{{"page_size", p.page_size},
                           {"clus_pages", p.clus_pages},
                           {"geometry_tag", p.geometry_tag},
                           {"total_pages", p.total_pages},
                           {"cluster_size", p.clus_size()},
                           {"clusters", p.clus_count()},
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
    o.out << fmt::format("geometry:    page size {}, {} pages per cluster ({} bytes), tag {}, {} pages, {} clusters\n",
                         p.page_size, p.clus_pages, p.clus_size(), p.geometry_tag, p.total_pages, p.clus_count());
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
    Volume v = mount(img);
    const auto entries = v.entries();
    if (o.json) {
        json list = json::array();
        for (const dace_entry &e : entries)
            list.push_back(entry_json(v, e));
        print_json(o, list);
        return 0;
    }
    for (const dace_entry &e : entries) {
        if (long_format)
            o.out << fmt::format("{:>10} {:>5} {}  {}\n", e.size, v.chain_length(e.clus), stamp_text(e.stamp),
                                 printable(entry_name(e)));
        else
            o.out << printable(entry_name(e)) << '\n';
    }
    return 0;
}

int cmd_stat(Output &o, const Image &img, const std::string &name) {
    Volume v = mount(img);
    const auto e = v.stat(name);
    if (!e)
        throw Error(fmt::format("no file {} in the image", quoted(name)));
    if (o.json) {
        print_json(o, entry_json(v, *e));
        return 0;
    }
    o.out << fmt::format("name:     {}\nsize:     {} bytes\nclusters: {}\nnewest:   {}\ntime:     {} ({} ns)\n",
                         printable(name), e->size, v.chain_length(e->clus),
                         e->clus == CLUS_END ? std::string("none") : std::to_string(e->clus), stamp_text(e->stamp),
                         e->stamp);
    return 0;
}

int cmd_cat(Output &o, const Image &img, const std::string &name) {
    Volume v = mount(img);
    const auto data = read_file(v, name);
    o.out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    o.out.flush();
    if (!o.out)
        throw Error("cannot write to the output");
    return 0;
}

int cmd_get(Output &, const Image &img, const std::string &name, const std::string &dest) {
    Volume v = mount(img);
    const auto e = v.stat(name);
    if (!e)
        throw Error(fmt::format("no file {} in the image", quoted(name)));
    std::string path = dest;
    if (path.empty() || fs::is_directory(path)) {
        if (!host_safe(name))
            throw Error(fmt::format("{} cannot be a file name here: give a destination", quoted(name)));
        path = (fs::path(path.empty() ? "." : path) / name).string();
    }
    write_host_file(path, read_file(v, name), e->stamp);
    return 0;
}

int cmd_df(Output &o, const Image &img) {
    Volume v = mount(img);
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
    o.out << fmt::format("{:>12} {:>12} {:>12} {:>5}  {:>9}\n", "size", "used", "free", "use%", "files");
    o.out << fmt::format("{:>12} {:>12} {:>12} {:>4}%  {:>4}/{:<4}\n", total, used, free_bytes,
                         total ? (uint64_t{used} * 100 + total - 1) / total : 0, s->root->count, s->max_entries);
    return 0;
}

int cmd_unpack(Output &o, const Image &img, const std::string &dir) {
    Volume v = mount(img);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir))
        throw Error(fmt::format("cannot create folder {}", dir));
    const auto entries = v.entries();
    std::set<std::string> done;
    int status = 0;
    Progress bar(o, "unpack", entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string name = entry_name(entries[i]);
        bar.update(i + 1);
        if (!host_safe(name)) {
            o.err << fmt::format("dace: skipped {}: not a usable file name\n", quoted(name));
            status = 1;
            continue;
        }
        if (!done.insert(name).second) {
            o.err << fmt::format("dace: skipped a second entry named {}: only the first can be read\n", quoted(name));
            status = 1;
            continue;
        }
        try {
            write_host_file((fs::path(dir) / name).string(), read_file(v, name), entries[i].stamp);
        } catch (const Error &e) {
            o.err << "dace: " << e.what() << '\n';
            status = 1;
        }
    }
    return status;
}

int cmd_format(Output &o, const std::string &path, const Options &opt, uint32_t pages, bool force) {
    const Params p = params_for_new(opt, pages);
    if (!force && fs::exists(path))
        throw Error(fmt::format("{} exists: pass --force to replace it", path));
    Volume v(std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF), p, false);
    replace_image_file(path, v.bytes());
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(v.state(), &total);
    o.out << fmt::format("formatted {}: {} clusters of {} bytes, {} bytes free\n", path, p.clus_count(),
                         p.clus_size(), free_bytes);
    return 0;
}

int cmd_put(Output &, const Image &img, const std::string &src, const std::optional<std::string> &name,
            bool append) {
    uint64_t mtime = 0;
    std::vector<uint8_t> data;
    if (src == "-") {
        data.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        mtime = now_stamp();
    } else {
        data = read_host_file(src, &mtime);
    }
    std::string target = name.value_or("");
    if (!name) {
        if (src == "-")
            throw Error("put from standard input needs a NAME");
        target = fs::path(src).filename().string();
    }
    Volume v = mount(img);
    v.stamp().value = append ? now_stamp() : mtime;
    write_file(v, target, data.data(), data.size(), append);
    save(img, v);
    return 0;
}

int cmd_rm(Output &, const Image &img, const std::string &name) {
    Volume v = mount(img);
    const int r = dace_remove(v.state(), name.c_str());
    if (r == 1)
        throw Error(fmt::format("no file {} in the image", quoted(name)));
    if (r != 0)
        throw Error(fmt::format("cannot remove {} (code {})", quoted(name), r));
    save(img, v);
    return 0;
}

int cmd_mv(Output &, const Image &img, const std::string &from, const std::string &to, bool force) {
    check_name(to);
    Volume v = mount(img);
    if (!v.stat(from))
        throw Error(fmt::format("no file {} in the image", quoted(from)));
    if (from == to)
        return 0;
    if (v.stat(to)) {
        if (!force)
            throw Error(fmt::format("{} exists: pass --force to replace it", quoted(to)));
        if (dace_remove(v.state(), to.c_str()) != 0)
            throw Error(fmt::format("cannot remove {}", quoted(to)));
    }
    // A rename keeps the file's time.
    v.stamp().value.reset();
    const int r = dace_rename(v.state(), from.c_str(), to.c_str());
    if (r != 0)
        throw Error(fmt::format("cannot rename {} to {} (code {})", quoted(from), quoted(to), r));
    save(img, v);
    return 0;
}

int cmd_truncate(Output &, const Image &img, const std::string &name, uint64_t length) {
    Volume v = mount(img);
    const auto e = v.stat(name);
    if (!e)
        throw Error(fmt::format("no file {} in the image", quoted(name)));
    if (length > e->size)
        throw Error(fmt::format("length {} is beyond the size {} of {}: truncate only shortens", length, e->size,
                                quoted(name)));
    v.stamp().value = now_stamp();
    const int r = dace_truncate(v.state(), name.c_str(), static_cast<uint32_t>(length));
    if (r != 0)
        throw Error(fmt::format("cannot truncate {} (code {})", quoted(name), r));
    save(img, v);
    return 0;
}

int cmd_pack(Output &o, const std::string &dir, const std::string &path, const Options &opt, const PackOptions &po) {
    struct Source {
        std::string name;
        std::string path;
        uint64_t size;
    };
    std::vector<Source> sources;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        throw Error(fmt::format("cannot read folder {}: {}", dir, ec.message()));
    for (const fs::directory_entry &de : it) {
        const std::string name = de.path().filename().string();
        std::string why;
        if (de.is_directory(ec))
            why = "a nested folder (pack takes a flat folder)";
        else if (!de.is_regular_file(ec))
            why = "not a regular file";
        else if (dace_check_filename(name.c_str()) == 1)
            why = fmt::format("a name of {} bytes, more than 18", name.size());
        else if (dace_check_filename(name.c_str()) != 0)
            why = "a name with a separator";
        if (!why.empty()) {
            if (!po.skip_invalid)
                throw Error(fmt::format("{}: {}; pass --skip-invalid to leave it out", de.path().string(), why));
            o.err << fmt::format("dace: skipped {}: {}\n", de.path().string(), why);
            continue;
        }
        sources.push_back({name, de.path().string(), static_cast<uint64_t>(de.file_size(ec))});
    }
    // Reproducible: the order of creation is the order of the names.
    std::sort(sources.begin(), sources.end(), [](const Source &a, const Source &b) { return a.name < b.name; });

    Params probe = params_for_new(opt, 0xFFFF);
    const uint32_t payload = probe.clus_size() - uint32_t{sizeof(dace_clus_header)};
    const uint32_t max_entries = (probe.clus_size() - uint32_t{sizeof(dace_root)}) / uint32_t{sizeof(dace_entry)};
    if (sources.size() > max_entries)
        throw Error(fmt::format("{} files exceed the {} entries a root of {}-byte clusters holds; raise --page-size "
                                "or --clus-pages",
                                sources.size(), max_entries, probe.clus_size()));
    uint64_t pages = 0;
    if (po.pages) {
        pages = *po.pages;
    } else {
        // The data, the root, the clusters the allocator keeps in reserve,
        // and room for the root to move.
        uint64_t clusters = 8;
        for (const Source &src : sources)
            clusters += (src.size + payload - 1) / payload;
        pages = clusters * probe.clus_pages;
        if (pages > 0xFFFF)
            throw Error(fmt::format("the files need {} pages of {} bytes, more than a medium's 65535; raise "
                                    "--page-size",
                                    pages, probe.page_size));
    }
    const Params p = params_for_new(opt, static_cast<uint32_t>(pages));
    Volume v(std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF), p, false);

    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    const bool fixed_time = epoch != nullptr && *epoch != 0;
    Progress bar(o, "pack", sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        uint64_t mtime = 0;
        const auto data = read_host_file(sources[i].path, &mtime);
        v.stamp().value = fixed_time ? now_stamp() : mtime;
        try {
            write_file(v, sources[i].name, data.data(), data.size(), false);
        } catch (const Error &e) {
            throw Error(fmt::format("{}: {}", sources[i].path, e.what()));
        }
        bar.update(i + 1);
    }
    replace_image_file(path, v.bytes());
    return 0;
}

} // namespace dace_tool
