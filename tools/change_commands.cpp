// The commands that change an image: format, put, rm, mv and truncate
// (pack makes a new one in pack.cpp). Each builds the new content in memory
// and writes it back only once all succeeded; put --force and mv --force
// replace a file by the rename rule every host shares.
#include "tools/commands.h"

#include <filesystem>
#include <iostream>
#include <iterator>

#include <fmt/format.h>

#include "tools/host_files.h"

namespace dace_tool {

namespace fs = std::filesystem;

namespace {

// A name no entry bears, for a file written before it replaces another.
std::string spare_name(Volume &v) {
    for (int i = 0;; ++i) {
        std::string name = fmt::format("~put.{}", i);
        if (!v.stat(name))
            return name;
    }
}

} // namespace

int cmd_format(Output &o, const std::string &path, const Options &opt, bool force) {
    const std::unique_ptr<ImageLock> lock = lock_for_new(path, opt, force);
    uint64_t pages = 0;
    if (opt.pages) {
        pages = *opt.pages;
    } else if (lock != nullptr && opt.offset == 0) {
        pages = static_cast<uint64_t>(lock->status().st_size) / opt.page_size.value_or(Params{}.page_size);
    } else {
        throw Error("format needs --pages N, the size of the medium in pages");
    }
    const Params p = params_for_new(opt, pages);
    VolumeOptions vo;
    vo.mounting = Mounting::Format;
    vo.journal = new_medium_in_place(lock.get(), opt);
    Volume v(std::vector<uint8_t>(size_t{p.total_pages} * p.page_size, 0xFF), p, vo);
    write_new_medium(path, opt, lock.get(), v);
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(v.state(), &total);
    o.out << fmt::format("formatted {}: {} clusters of {} bytes, {} bytes free\n", path, p.clus_count(),
                         p.clus_size(), free_bytes);
    return 0;
}

int cmd_put(Output &, const std::string &path, const Options &opt, const std::string &src,
            const std::optional<std::string> &name, const PutOptions &po) {
    if (po.append && po.force)
        throw Error("--append and --force exclude each other");
    std::string target = name.value_or("");
    if (!name) {
        if (src == "-")
            throw Error("put from standard input needs a NAME");
        target = fs::path(src).filename().string();
    }
    check_name(target);
    // The source first: the image is locked only once there is something
    // to write, and not while a pipe keeps the command waiting.
    uint64_t mtime = 0;
    std::vector<uint8_t> data;
    if (src == "-") {
        data.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad())
            throw Error("cannot read standard input");
        mtime = now_stamp();
    } else {
        data = read_host_file(src, &mtime);
    }
    const Image img = open_image(path, opt, LockAccess::Change);
    Volume v = mount_for_change(img);
    v.stamp().value = po.append ? now_stamp() : mtime;
    if (po.force && v.stat(target)) {
        // Written under a spare name, then put in the old one's place in
        // the same commit that drops the old file.
        if (v.state()->root->count >= v.state()->max_entries)
            throw library_error(fmt::format("cannot replace {}", named(target)), DACE_E_DIRECTORY_FULL,
                                fmt::format(" ({} entries), and the new content needs one more while it is written; "
                                            "rm it first",
                                            v.state()->max_entries));
        const std::string spare = spare_name(v);
        write_file(v, spare, data.data(), data.size(), false);
        if (const RenameOutcome r = rename_by_rule(v, spare, target, true); r.how != Renamed::Done)
            throw library_error(fmt::format("cannot replace {}", named(target)), r.reason);
    } else {
        write_file(v, target, data.data(), data.size(), po.append);
    }
    save(img, v);
    return 0;
}

int cmd_rm(Output &, const Image &img, const std::string &name) {
    Volume v = mount_for_change(img, name);
    remove_file(v, name);
    save(img, v);
    return 0;
}

int cmd_mv(Output &, const Image &img, const std::string &from, const std::string &to, bool force) {
    check_name(to);
    Volume v = mount_for_change(img);
    // A rename keeps the file's time; over another file, one commit drops it.
    v.stamp().value.reset();
    if (rename_file(v, from, to, force))
        save(img, v);
    return 0;
}

int cmd_truncate(Output &, const Image &img, const std::string &name, uint64_t length) {
    Volume v = mount_for_change(img);
    const auto e = v.stat(name);
    if (!e)
        no_such_file(name);
    // Said with both numbers, and before a length past 4 GiB is cut to 32 bits.
    if (length > e->size)
        throw LibraryError(fmt::format("length {} is beyond the size {} of {}: truncate only shortens", length,
                                       e->size, named(name)),
                           DACE_E_BEYOND_END);
    v.stamp().value = now_stamp();
    truncate_file(v, name, static_cast<uint32_t>(length));
    save(img, v);
    return 0;
}

} // namespace dace_tool
