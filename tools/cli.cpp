#include "tools/cli.h"

#include <cstdlib>
#include <functional>
#include <iostream>
#include <set>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "tools/commands.h"

#ifndef DACE_VERSION
#define DACE_VERSION "unknown"
#endif

namespace dace_tool {

namespace {

constexpr const char *kMedium = "Medium";

void add_u16(CLI::App &app, const std::string &name, std::optional<uint16_t> &target, const std::string &help) {
    app.add_option_function<uint32_t>(
           name, [&target](const uint32_t &v) { target = static_cast<uint16_t>(v); }, help)
        ->check(CLI::Range(0u, 0xFFFFu))
        ->type_name("N");
}

// A byte or page count as the user wrote it (decimal, or 0x hexadecimal).
uint64_t parse_count(const std::string &what, const std::string &text) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = text.empty() || text[0] < '0' || text[0] > '9' ? 0 : std::strtoull(text.c_str(), &end, 0);
    if (end == nullptr || *end != 0 || errno != 0)
        throw Error(fmt::format("{} {}: not a whole number of 0 or more", what, text));
    return v;
}

void add_count(CLI::App &app, const std::string &name, std::string &target, const std::string &help) {
    app.add_option(name, target, help)->type_name("N");
}

// The global options, listed at the end of every subcommand's help, since
// they may also follow the subcommand.
std::string medium_help(CLI::App &app) {
    std::string text = "Medium options (before or after the subcommand):\n";
    for (const CLI::Option *op : app.get_options()) {
        if (op->get_group() != kMedium)
            continue;
        const std::string type = op->get_type_name().substr(0, op->get_type_name().find(':'));
        const std::string name = op->get_name() + (op->get_type_size() != 0 ? " " + type : "");
        text += fmt::format("  {:<26}{}\n", name, op->get_description());
    }
    return text;
}

// The first word that is not an option or an option's value: the
// subcommand, which CLI11 would otherwise report as a missing one.
std::string subcommand_word(int argc, char **argv, const std::set<std::string> &valued) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--")
            return i + 1 < argc ? argv[i + 1] : "";
        if (arg.size() > 1 && arg[0] == '-') {
            if (arg.find('=') == std::string::npos && valued.count(arg) != 0)
                ++i;
            continue;
        }
        return arg;
    }
    return {};
}

} // namespace

int run_cli(int argc, char **argv) {
    CLI::App app{"dace: build, inspect, check and change flash images of the dace file system"};
    app.name("dace");
    app.require_subcommand(1);
    app.set_version_flag("--version", "dace " DACE_VERSION);
    app.failure_message([](const CLI::App *, const CLI::Error &e) { return std::string("dace: ") + e.what() + "\n"; });

    Options opt;
    bool json = false;
    std::string pages_text, offset_text;
    bool no_wait = false;
    add_u16(app, "--page-size", opt.page_size, "bytes per page (found in the image when left out)");
    add_u16(app, "--clus-pages", opt.clus_pages, "pages per cluster, a power of two");
    add_u16(app, "--geometry-tag", opt.geometry_tag, "the firmware's geometry tag, 0 or a power of two");
    add_u16(app, "--max-files", opt.max_files, "files open at once (default 4)");
    app.add_option_function<std::string>(
           "--crc", [&opt](const std::string &v) { opt.crc = v; }, "16-bit CRC: " + crc_names())
        ->type_name("NAME");
    add_u16(app, "--crc-seed", opt.crc_seed, "CRC seed (default 0xFFFF for a new image)");
    add_count(app, "--pages", pages_text, "pages on the medium (default: the image file's length)");
    add_count(app, "--offset", offset_text, "byte where the medium starts in the file (default 0)");
    app.add_flag("--no-wait", no_wait, "fail at once instead of waiting while another dace command uses the image");
    for (CLI::Option *op : app.get_options())
        if (op->get_name() != "--help" && op->get_name() != "--version")
            op->group(kMedium);
    const std::set<std::string> valued = {"--page-size", "--clus-pages", "--geometry-tag", "--max-files",
                                          "--crc",       "--crc-seed",   "--pages",        "--offset"};
    const std::string footer = medium_help(app);

    std::function<int(Output &)> action;
    std::set<std::string> names;
    auto sub = [&](const std::string &name, const std::string &help) {
        CLI::App *s = app.add_subcommand(name, help);
        s->fallthrough();
        s->footer(footer);
        names.insert(name);
        return s;
    };
    std::string image, name, name2, dest, dir, svg, length_text;
    auto image_arg = [&](CLI::App *s) { s->add_option("IMAGE", image, "image file")->required(); };
    auto json_flag = [&](CLI::App *s) { s->add_flag("--json", json, "print JSON for scripts"); };
    bool salvage = false;
    auto salvage_flag = [&](CLI::App *s) {
        s->add_flag("--salvage", salvage, "extract what can be read without verifying it (with a warning)");
    };
    auto read = [&] {
        Image img = open_image(image, opt);
        for (const std::string &w : img.detection.warnings)
            std::cerr << "dace: " << w << '\n';
        return img;
    };
    auto change = [&] { return open_image(image, opt, LockAccess::Change); };

    bool force = false, long_format = false, append = false, skip_invalid = false, human = false;

    CLI::App *s = sub("format", "create an image and format it (--pages N gives its size)");
    image_arg(s);
    s->add_flag("--force", force, "replace an existing image (with --offset: format the medium inside it)");
    s->callback([&] { action = [&](Output &o) { return cmd_format(o, image, opt, force); }; });

    s = sub("info", "geometry, CRC, root generation and copies, space");
    image_arg(s);
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_info(o, read()); }; });

    s = sub("ls", "list the files");
    image_arg(s);
    s->add_flag("-l", long_format, "with size, clusters and time (local, as ls)");
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_ls(o, read(), long_format); }; });

    s = sub("stat", "one file's entry");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_stat(o, read(), name); }; });

    s = sub("cat", "write a file to standard output, verified");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    salvage_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_cat(o, read(), name, salvage); }; });

    s = sub("get", "copy a file out of the image, verified, with its time");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    s->add_option("DEST", dest, "host file or folder (default: NAME here)");
    salvage_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_get(o, read(), name, dest, salvage); }; });

    s = sub("put", "copy a host file into the image");
    image_arg(s);
    s->add_option("SRC", dest, "host file, - for standard input")->required();
    CLI::Option *put_name = s->add_option("NAME", name, "name in the image (default: SRC's file name)");
    s->add_flag("--append", append, "append to an existing file");
    s->add_flag("--force", force, "replace a file of that name, in one commit");
    s->callback([&, put_name] {
        action = [&, put_name](Output &o) {
            const std::optional<std::string> given = put_name->count() ? std::optional(name) : std::nullopt;
            return cmd_put(o, image, opt, dest, given, PutOptions{append, force});
        };
    });

    s = sub("rm", "remove a file");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    s->callback([&] { action = [&](Output &o) { return cmd_rm(o, change(), name); }; });

    s = sub("mv", "rename a file");
    image_arg(s);
    s->add_option("FROM", name, "file in the image")->required();
    s->add_option("TO", name2, "new name")->required();
    s->add_flag("--force", force, "replace a file that bears the new name, in one commit");
    s->callback([&] { action = [&](Output &o) { return cmd_mv(o, change(), name, name2, force); }; });

    s = sub("truncate", "shorten a file");
    image_arg(s);
    s->add_option("NAME", name, "file in the image")->required();
    s->add_option("LENGTH", length_text, "new length in bytes")->required()->type_name("N");
    s->callback([&] {
        action = [&](Output &o) { return cmd_truncate(o, change(), name, parse_count("LENGTH", length_text)); };
    });

    s = sub("df", "free and used space");
    image_arg(s);
    s->set_help_flag("--help", "Print this help message and exit");
    s->add_flag("-h,--human-readable", human, "sizes as 4.0K, 36K, 1.0M (powers of 1024)");
    json_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_df(o, read(), human); }; });

    s = sub("pack", "build an image from the files of a flat folder (reproducible; SOURCE_DATE_EPOCH fixes the times)");
    s->add_option("DIR", dir, "folder")->required();
    image_arg(s);
    s->add_flag("--skip-invalid", skip_invalid,
                "leave out nested folders, unusable names and unreadable files instead of failing");
    s->add_flag("--force", force, "replace an existing image (with --offset: pack into the medium inside it)");
    s->callback([&] {
        action = [&](Output &o) { return cmd_pack(o, dir, image, opt, PackOptions{skip_invalid, force}); };
    });

    s = sub("unpack", "extract every file, verified, with its time, into a folder");
    image_arg(s);
    s->add_option("DIR", dir, "folder (created when missing)")->required();
    salvage_flag(s);
    s->callback([&] { action = [&](Output &o) { return cmd_unpack(o, read(), dir, salvage); }; });

    s = sub("check", "read-only consistency check; exit status 0 only for a clean image");
    image_arg(s);
    json_flag(s);
    bool verbose = false;
    s->add_flag("-v,--verbose", verbose, "also show every root cluster's log of copies");
    s->callback([&] { action = [&](Output &o) { return cmd_check(o, read(), verbose); }; });

    s = sub("map", "a picture of the medium, one cell per cluster");
    image_arg(s);
    s->add_option("--svg", svg, "also write an SVG picture to this file");
    s->callback([&] { action = [&](Output &o) { return cmd_map(o, read(), svg); }; });

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

    if (const std::string word = subcommand_word(argc, argv, valued); !word.empty() && names.count(word) == 0) {
        std::cerr << fmt::format("dace: unknown subcommand \"{}\": dace --help lists them\n", word);
        return 1;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    Output o = terminal_output(std::cout, std::cerr, json);
    try {
        if (!pages_text.empty())
            opt.pages = parse_count("--pages", pages_text);
        if (!offset_text.empty())
            opt.offset = parse_count("--offset", offset_text);
        if (opt.pages && *opt.pages == 0)
            throw Error("--pages 0: a medium has at least one page");
        opt.wait = !no_wait;
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
