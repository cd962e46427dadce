#include "tools/cli.h"

#include <functional>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/commands.h"

namespace dace_tool {

namespace {

void add_u16(CLI::App &app, const std::string &name, std::optional<uint16_t> &target, const std::string &help) {
    app.add_option_function<uint32_t>(
           name, [&target](const uint32_t &v) { target = static_cast<uint16_t>(v); }, help)
        ->check(CLI::Range(0u, 0xFFFFu))
        ->type_name("N");
}

} // namespace

int run_cli(int argc, char **argv) {
    CLI::App app{"dace: build, inspect, check and change flash images of the dace file system"};
    app.name("dace");
    app.require_subcommand(1);
    app.failure_message([](const CLI::App *, const CLI::Error &e) {
        return std::string("dace: ") + e.what() + "\n";
    });

    Options opt;
    bool json = false;
    auto *medium = "Medium";
    add_u16(app, "--page-size", opt.page_size, "bytes per page (found in the image when left out)");
    add_u16(app, "--clus-pages", opt.clus_pages, "pages per cluster, a power of two");
    add_u16(app, "--geometry-tag", opt.geometry_tag, "the firmware's geometry tag, 0 or a power of two");
    add_u16(app, "--max-files", opt.max_files, "files open at once (default 4)");
    app.add_option_function<std::string>(
           "--crc", [&opt](const std::string &v) { opt.crc = v; }, "16-bit CRC: " + crc_names())
        ->type_name("NAME");
    add_u16(app, "--crc-seed", opt.crc_seed, "CRC seed (default 0xFFFF for a new image)");
    for (CLI::Option *op : app.get_options())
        if (op->get_name() != "--help")
            op->group(medium);

    std::function<int(Output &)> action;
    auto sub = [&](const std::string &name, const std::string &help) {
        CLI::App *s = app.add_subcommand(name, help);
        s->fallthrough();
        return s;
    };
    std::string image, name, name2, dest, dir, svg;
    auto image_arg = [&](CLI::App *s) { s->add_option("IMAGE", image, "image file")->required(); };
    auto json_flag = [&](CLI::App *s) { s->add_flag("--json", json, "print JSON for scripts"); };

    uint32_t pages = 0;
    bool force = false, long_format = false, append = false, skip_invalid = false;
    uint64_t length = 0;
    std::optional<uint32_t> pack_pages;

    CLI::App *s = sub("format", "create a blank image and format it");
    image_arg(s);
    s->add_option("--pages", pages, "pages on the medium")->required()->check(CLI::Range(1u, 0xFFFFu));
    s->add_flag("--force", force, "replace an existing file");
    s->callback([&] { action = [&](Output &o) { return cmd_format(o, image, opt, pages, force); }; });

    s = sub("info", "geometry, CRC, root generation and copies, space");
    image_arg(s);
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_info(o, open_image(image, opt)); }; });

    s = sub("ls", "list the files");
    image_arg(s);
    s->add_flag("-l", long_format, "with size, clusters and time");
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_ls(o, open_image(image, opt), long_format); }; });

    s = sub("stat", "one file's entry");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_stat(o, open_image(image, opt), name); }; });

    s = sub("cat", "write a file to standard output");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    s->callback([&] { action = [&](Output &o) { return cmd_cat(o, open_image(image, opt), name); }; });

    s = sub("get", "copy a file out of the image, with its time");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    s->add_option("DEST", dest, "host file or folder (default: NAME here)");
    s->callback([&] { action = [&](Output &o) { return cmd_get(o, open_image(image, opt), name, dest); }; });

    s = sub("put", "copy a host file into the image");
    image_arg(s);
    s->add_option("SRC", dest, "host file, - for standard input")->required();
    CLI::Option *put_name = s->add_option("NAME", name, "name in the image (default: SRC's file name)");
    s->add_flag("--append", append, "append to an existing file");
    s->callback([&, put_name] {
        action = [&, put_name](Output &o) {
            const std::optional<std::string> given = put_name->count() ? std::optional(name) : std::nullopt;
            return cmd_put(o, open_image(image, opt), dest, given, append);
        };
    });

    s = sub("rm", "remove a file");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    s->callback([&] { action = [&](Output &o) { return cmd_rm(o, open_image(image, opt), name); }; });

    s = sub("mv", "rename a file");
    image_arg(s);
    s->add_option("FROM", name, "file in the image")->required();
    s->add_option("TO", name2, "new name")->required();
    s->add_flag("--force", force, "replace a file that bears the new name");
    s->callback([&] { action = [&](Output &o) { return cmd_mv(o, open_image(image, opt), name, name2, force); }; });

    s = sub("truncate", "shorten a file");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    s->add_option("LENGTH", length, "new length in bytes")->required();
    s->callback([&] { action = [&](Output &o) { return cmd_truncate(o, open_image(image, opt), name, length); }; });

    s = sub("df", "free and used space");
    image_arg(s);
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_df(o, open_image(image, opt)); }; });

    s = sub("pack", "build an image from the files of a flat folder (reproducible; SOURCE_DATE_EPOCH fixes the times)");
    s->add_option("DIR", dir, "folder")->required();
    image_arg(s);
    s->add_option_function<uint32_t>(
           "--pages", [&](const uint32_t &v) { pack_pages = v; }, "pages on the medium (default: just enough)")
        ->check(CLI::Range(1u, 0xFFFFu));
    s->add_flag("--skip-invalid", skip_invalid, "leave out nested folders and unusable names instead of failing");
    s->callback([&] {
        action = [&](Output &o) { return cmd_pack(o, dir, image, opt, PackOptions{pack_pages, skip_invalid}); };
    });

    s = sub("unpack", "extract every file, with its time, into a folder");
    image_arg(s);
    s->add_option("DIR", dir, "folder (created when missing)")->required();
    s->callback([&] { action = [&](Output &o) { return cmd_unpack(o, open_image(image, opt), dir); }; });

    s = sub("check", "read-only consistency check; exit status 0 only for a clean image");
    image_arg(s);
    json_flag(s);
    bool verbose = false;
    s->add_flag("-v,--verbose", verbose, "also show every root cluster's log of copies");
    s->callback([&] { action = [&](Output &o) { return cmd_check(o, open_image(image, opt), verbose); }; });

    s = sub("map", "a picture of the medium, one cell per cluster");
    image_arg(s);
    s->add_option("--svg", svg, "also write an SVG picture to this file");
    s->callback([&] { action = [&](Output &o) { return cmd_map(o, open_image(image, opt), svg); }; });

    s = sub("mount", "use the image as a folder through FUSE, until fusermount3 -u MOUNTPOINT");
    image_arg(s);
    std::string mountpoint;
    MountOptions mount_options;
    s->add_option("MOUNTPOINT", mountpoint, "empty folder to mount on")->required();
    s->add_flag("-f,--foreground", mount_options.foreground, "stay in the foreground");
    s->add_option("-o", mount_options.fuse_options, "mount options: ro (read-only), quiet (default: chmod and chown succeed and change nothing) or "
                  "noquiet (they fail), uid=N, gid=N, umask=, fmask=, dmask= (octal); others go to FUSE")
        ->type_name("OPTIONS")
        ->allow_extra_args(false);
    s->callback([&] { action = [&](Output &) { return cmd_mount(image, mountpoint, opt, mount_options); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    Output o = terminal_output(std::cout, std::cerr, json);
    try {
        const int status = action(o);
        std::cout.flush();
        return status;
    } catch (const Error &e) {
        std::cerr << "dace: " << e.what() << '\n';
    } catch (const std::exception &e) {
        std::cerr << "dace: " << e.what() << '\n';
    }
    return 1;
}

} // namespace dace_tool
