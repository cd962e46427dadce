#include "tools/cli.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <functional>
#include <iostream>
#include <set>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "dace/dace.h"
#include "tools/commands.h"

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

// The parser, what it fills in, and the action the chosen subcommand
// leaves. CLI11 binds every option to a member, so it stays in place.
class CommandLine {
public:
    CommandLine();
    CommandLine(const CommandLine &) = delete;
    CommandLine &operator=(const CommandLine &) = delete;
    int run(int argc, char **argv);

private:
    void add_medium_options();
    CLI::App *sub(const std::string &name, const std::string &help);
    void image_arg(CLI::App *s) { s->add_option("IMAGE", image_, "image file")->required(); }
    void name_arg(CLI::App *s) { s->add_option("NAME", name_, "file in the image")->required(); }
    void json_flag(CLI::App *s) { s->add_flag("--json", json_, "print JSON for scripts"); }
    void salvage_flag(CLI::App *s) {
        s->add_flag("--salvage", salvage_, "extract what can be read without verifying it (with a warning)");
    }
    // Listed in --help in the order they are added.
    void add_format();
    void add_info();
    void add_ls();
    void add_stat();
    void add_cat();
    void add_get();
    void add_put();
    void add_rm();
    void add_mv();
    void add_truncate();
    void add_df();
    void add_pack();
    void add_unpack();
    void add_check();
    void add_map();
    void add_mount();
    void add_plan();
    // The plan's options, as its workload document's layout.
    nlohmann::json plan_overrides() const;
    // The image opened for a reading command, its warnings told.
    Image read() const;
    Image change() const { return open_image(image_, opt_, LockAccess::Change); }
    // The medium options CLI11 leaves as text, checked.
    void finish_options();
    // Runs the action; an Error or any other exception is one line and status 1.
    int act();

    CLI::App app_{"dace: build, inspect, check and change flash images of the dace file system"};
    std::function<int(Output &)> action_;
    std::set<std::string> names_; // the subcommands
    std::string footer_;

    // Medium options, before or after the subcommand.
    Options opt_;
    std::string pages_text_, offset_text_;
    bool no_wait_ = false;
    // Arguments and flags of the subcommands.
    std::string image_, name_, name2_, dest_, dir_, svg_, length_text_, mountpoint_;
    bool json_ = false, salvage_ = false, force_ = false, long_format_ = false, append_ = false;
    bool skip_invalid_ = false, human_ = false, verbose_ = false;
    MountOptions mount_options_;
    PlanArgs plan_;
    // Each plan option given: where it goes in the workload document, how
    // its text is read, and the text.
    enum class Kind : uint8_t { Text, Whole, Real };
    struct PlanOption {
        std::string flag, pointer;
        Kind kind;
        std::string text;
        CLI::Option *option = nullptr;
    };
    std::vector<std::unique_ptr<PlanOption>> plan_options_;
};

CommandLine::CommandLine() {
    app_.name("dace");
    app_.require_subcommand(1);
    app_.set_version_flag("--version", "dace " DACE_VERSION);
    app_.failure_message(
        [](const CLI::App *, const CLI::Error &e) { return std::string("dace: ") + e.what() + "\n"; });
    add_medium_options();
    footer_ = medium_help(app_);
    add_format();
    add_info();
    add_ls();
    add_stat();
    add_cat();
    add_get();
    add_put();
    add_rm();
    add_mv();
    add_truncate();
    add_df();
    add_pack();
    add_unpack();
    add_check();
    add_map();
    add_mount();
    add_plan();
}

void CommandLine::add_medium_options() {
    add_u16(app_, "--page-size", opt_.page_size, "bytes per page (found in the image when left out)");
    add_u16(app_, "--clus-pages", opt_.clus_pages, "pages per cluster, a power of two");
    add_u16(app_, "--geometry-tag", opt_.geometry_tag, "the firmware's geometry tag, 0 or a power of two");
    add_u16(app_, "--max-files", opt_.max_files, "files open at once (default 4)");
    app_.add_option_function<std::string>(
            "--crc", [this](const std::string &v) { opt_.crc = v; }, "16-bit CRC: " + crc_names())
        ->type_name("NAME");
    add_u16(app_, "--crc-seed", opt_.crc_seed, "CRC seed (default 0xFFFF for a new image)");
    add_count(app_, "--pages", pages_text_,
              "pages on the medium (default: the size its root records, else the image file's length)");
    add_count(app_, "--offset", offset_text_, "byte where the medium starts in the file (default 0)");
    app_.add_flag("--no-wait", no_wait_,
                  "fail at once instead of waiting while another dace command uses the image");
    for (CLI::Option *op : app_.get_options())
        if (op->get_name() != "--help" && op->get_name() != "--version")
            op->group(kMedium);
}

CLI::App *CommandLine::sub(const std::string &name, const std::string &help) {
    CLI::App *s = app_.add_subcommand(name, help);
    s->fallthrough();
    s->footer(footer_);
    names_.insert(name);
    return s;
}

Image CommandLine::read() const {
    Image img = open_image(image_, opt_);
    for (const std::string &w : img.detection.warnings)
        std::cerr << "dace: " << w << '\n';
    return img;
}

void CommandLine::add_format() {
    CLI::App *s = sub("format", "create an image and format it (--pages N gives its size)");
    image_arg(s);
    s->add_flag("--force", force_, "replace an existing image (with --offset: format the medium inside it)");
    s->callback([this] { action_ = [this](Output &o) { return cmd_format(o, image_, opt_, force_); }; });
}

void CommandLine::add_info() {
    CLI::App *s = sub("info", "geometry, CRC, root generation and copies, space");
    image_arg(s);
    json_flag(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_info(o, read()); }; });
}

void CommandLine::add_ls() {
    CLI::App *s = sub("ls", "list the files");
    image_arg(s);
    s->add_flag("-l", long_format_, "with size, clusters and time (local, as ls)");
    json_flag(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_ls(o, read(), long_format_); }; });
}

void CommandLine::add_stat() {
    CLI::App *s = sub("stat", "one file's entry");
    image_arg(s);
    name_arg(s);
    json_flag(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_stat(o, read(), name_); }; });
}

void CommandLine::add_cat() {
    CLI::App *s = sub("cat", "write a file to standard output, verified");
    image_arg(s);
    name_arg(s);
    salvage_flag(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_cat(o, read(), name_, salvage_); }; });
}

void CommandLine::add_get() {
    CLI::App *s = sub("get", "copy a file out of the image, verified, with its time");
    image_arg(s);
    name_arg(s);
    s->add_option("DEST", dest_, "host file or folder (default: NAME here)");
    salvage_flag(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_get(o, read(), name_, dest_, salvage_); }; });
}

void CommandLine::add_put() {
    CLI::App *s = sub("put", "copy a host file into the image");
    image_arg(s);
    s->add_option("SRC", dest_, "host file, - for standard input")->required();
    CLI::Option *put_name = s->add_option("NAME", name_, "name in the image (default: SRC's file name)");
    s->add_flag("--append", append_, "append to an existing file");
    s->add_flag("--force", force_, "replace a file of that name, in one commit");
    s->callback([this, put_name] {
        action_ = [this, put_name](Output &o) {
            const std::optional<std::string> given = put_name->count() ? std::optional(name_) : std::nullopt;
            return cmd_put(o, image_, opt_, dest_, given, PutOptions{append_, force_});
        };
    });
}

void CommandLine::add_rm() {
    CLI::App *s = sub("rm", "remove a file");
    image_arg(s);
    name_arg(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_rm(o, change(), name_); }; });
}

void CommandLine::add_mv() {
    CLI::App *s = sub("mv", "rename a file");
    image_arg(s);
    s->add_option("FROM", name_, "file in the image")->required();
    s->add_option("TO", name2_, "new name")->required();
    s->add_flag("--force", force_, "replace a file that bears the new name, in one commit");
    s->callback([this] { action_ = [this](Output &o) { return cmd_mv(o, change(), name_, name2_, force_); }; });
}

void CommandLine::add_truncate() {
    CLI::App *s = sub("truncate", "shorten a file");
    image_arg(s);
    name_arg(s);
    s->add_option("LENGTH", length_text_, "new length in bytes")->required()->type_name("N");
    s->callback([this] {
        action_ = [this](Output &o) {
            return cmd_truncate(o, change(), name_, parse_count("LENGTH", length_text_));
        };
    });
}

void CommandLine::add_df() {
    CLI::App *s = sub("df", "free and used space");
    image_arg(s);
    s->set_help_flag("--help", "Print this help message and exit");
    s->add_flag("-h,--human-readable", human_, "sizes as 4.0K, 36K, 1.0M (powers of 1024)");
    json_flag(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_df(o, read(), human_); }; });
}

void CommandLine::add_pack() {
    CLI::App *s =
        sub("pack", "build an image from the files of a flat folder (reproducible; SOURCE_DATE_EPOCH fixes the times)");
    s->add_option("DIR", dir_, "folder")->required();
    image_arg(s);
    s->add_flag("--skip-invalid", skip_invalid_,
                "leave out nested folders, unusable names and unreadable files instead of failing");
    s->add_flag("--force", force_, "replace an existing image (with --offset: pack into the medium inside it)");
    s->callback([this] {
        action_ = [this](Output &o) { return cmd_pack(o, dir_, image_, opt_, PackOptions{skip_invalid_, force_}); };
    });
}

void CommandLine::add_unpack() {
    CLI::App *s = sub("unpack", "extract every file, verified, with its time, into a folder");
    image_arg(s);
    s->add_option("DIR", dir_, "folder (created when missing)")->required();
    salvage_flag(s);
    s->callback([this] { action_ = [this](Output &o) { return cmd_unpack(o, read(), dir_, salvage_); }; });
}

void CommandLine::add_check() {
    CLI::App *s = sub("check", "read-only consistency check; exit status 0 only for a clean image");
    image_arg(s);
    json_flag(s);
    s->add_flag("-v,--verbose", verbose_, "also show every root cluster's log of copies");
    s->callback([this] { action_ = [this](Output &o) { return cmd_check(o, read(), verbose_); }; });
}

void CommandLine::add_map() {
    CLI::App *s = sub("map", "a picture of the medium, one cell per cluster");
    image_arg(s);
    s->add_option("--svg", svg_, "also write an SVG picture to this file");
    s->callback([this] { action_ = [this](Output &o) { return cmd_map(o, read(), svg_); }; });
}

void CommandLine::add_mount() {
    CLI::App *s = sub("mount", "use the image as a folder through FUSE, until fusermount3 -u MOUNTPOINT");
    image_arg(s);
    s->add_option("MOUNTPOINT", mountpoint_, "empty folder to mount on")->required();
    s->add_flag("-f,--foreground", mount_options_.foreground, "stay in the foreground");
    s->add_option("-o", mount_options_.fuse_options,
                  "mount options: ro (read-only), quiet (default: chmod and chown succeed and change nothing) or "
                  "noquiet (they fail), uid=N, gid=N, umask=, fmask=, dmask= (octal); others go to FUSE")
        ->type_name("OPTIONS")
        ->allow_extra_args(false);
    s->callback([this] {
        action_ = [this](Output &) { return cmd_mount(image_, mountpoint_, opt_, mount_options_); };
    });
}

void CommandLine::add_plan() {
    CLI::App *s = sub("plan", "what a workload costs a flash part: boot time, latency, wear and projected life, "
                              "found by running the library on a simulated part");
    s->add_option("WORKLOAD", plan_.workload, "JSON workload file (keys in tools/README.md); options override it");
    auto option = [&](const std::string &flag, const std::string &pointer, Kind kind, const std::string &type,
                      const std::string &help) {
        auto o = std::make_unique<PlanOption>(PlanOption{flag, pointer, kind, {}, nullptr});
        o->option = s->add_option(flag, o->text, help)->type_name(type);
        plan_options_.push_back(std::move(o));
    };
    s->add_option("--part", plan_.parts,
                  "a part class (nor-4k, the default, nor-4k-quad, nand-512: --parts lists them) or a part file "
                  "(JSON, as --parts --json prints); again to compare parts side by side")
        ->type_name("CLASS|FILE")
        ->allow_extra_args(false);
    option("--size", "/part/size", Kind::Text, "BYTES", "the part's size (e.g. 4M); or --pages N");
    option("--erase-block", "/part/erase_block", Kind::Text, "BYTES", "bytes the part erases at once (e.g. 4K)");
    option("--read-mb-s", "/part/read_mb_s", Kind::Real, "X", "read throughput, MB/s");
    option("--read-call-us", "/part/read_call_us", Kind::Real, "X",
           "each read call's command, address and dummy bytes, µs");
    option("--page-read-us", "/part/page_read_us", Kind::Real, "X", "each page a read touches (NAND's tR), µs");
    option("--program-us", "/part/program_us", Kind::Real, "X", "page program time, typical, µs");
    option("--program-us-max", "/part/program_us_max", Kind::Real, "X", "page program time, worst, µs");
    option("--program-call-us", "/part/program_call_us", Kind::Real, "X",
           "each page program's command, data and status poll, µs");
    option("--erase-ms", "/part/erase_ms", Kind::Real, "X", "erase block erase time, typical, ms");
    option("--erase-ms-max", "/part/erase_ms_max", Kind::Real, "X", "erase block erase time, worst, ms");
    option("--erase-call-us", "/part/erase_call_us", Kind::Real, "X",
           "each block erase's command and status poll, µs");
    option("--endurance", "/part/endurance", Kind::Whole, "N", "erase cycles a block is good for");
    option("--record-size", "/record/size", Kind::Text, "BYTES", "bytes per log record");
    option("--record-interval", "/record/interval", Kind::Text, "TIME", "time between records (e.g. 1s, 250ms)");
    option("--flush-every", "/record/flush_every", Kind::Whole, "N", "flush the log every N records");
    option("--log-max-size", "/log/max_size", Kind::Text, "BYTES", "rotate the log at this size");
    option("--logs-kept", "/log/keep", Kind::Whole, "N", "old logs kept (log.1 ... log.N)");
    option("--settings-size", "/settings/size", Kind::Text, "BYTES", "bytes of the settings file (0: none)");
    option("--settings-every", "/settings/every", Kind::Text, "TIME", "replace the settings file this often (e.g. 1h)");
    option("--reboot-every", "/reboot/every", Kind::Text, "TIME", "reset and boot this often (0: never)");
    option("--wear-levelling", "/config/wear_levelling", Kind::Text, "on|off|both",
           "the allocation mode, or both compared (default both)");
    option("--verify-reads", "/config/verify_reads", Kind::Text, "on|off", "dace_verify_reads after every boot");
    option("--erase-ahead", "/config/erase_ahead", Kind::Whole, "N",
           "dace_erase_ahead(N) after every record (0: never)");
    option("--period", "/run/period", Kind::Text, "TIME", "figures are taken at the end of every period (default 1d)");
    option("--max-days", "/run/max_days", Kind::Whole, "N", "device days simulated at most (default 365)");
    option("--tolerance", "/run/tolerance", Kind::Real, "X",
           "settled: a longer run moves no figure by more than this fraction (default 0.05; 0: never settle)");
    s->add_option("--svg", plan_.svg,
                  "also write a picture of the erases per cluster, every part and mode side by side")
        ->type_name("FILE");
    s->add_flag("--parts", plan_.list_parts,
                "list the part classes, the figures each assumes and where they come from (JSON with --json)");
    json_flag(s);
    s->footer("Of the medium options, --page-size, --clus-pages, --pages and --max-files give the simulated part's\n"
              "geometry and the configuration's max_files.\n\n" +
              footer_);
    s->callback([this] {
        action_ = [this](Output &o) {
            plan_.overrides = plan_overrides();
            return cmd_plan(o, plan_);
        };
    });
}

nlohmann::json CommandLine::plan_overrides() const {
    if (opt_.offset != 0 || opt_.crc || opt_.crc_seed || opt_.geometry_tag || no_wait_)
        throw Error("plan simulates a part: of the medium options it takes --page-size, --clus-pages, --pages and "
                    "--max-files");
    nlohmann::json o = nlohmann::json::object();
    if (opt_.page_size)
        o["part"]["page_size"] = *opt_.page_size;
    if (opt_.clus_pages)
        o["part"]["clus_pages"] = *opt_.clus_pages;
    const bool size_given = std::any_of(plan_options_.begin(), plan_options_.end(),
                                        [](const auto &p) { return p->flag == "--size" && p->option->count() != 0; });
    if (opt_.pages && size_given)
        throw Error("--size and --pages both give the part's size: give one");
    // Either replaces the other in the workload file (null drops a key).
    if (opt_.pages) {
        o["part"]["pages"] = *opt_.pages;
        o["part"]["size"] = nullptr;
    } else if (size_given) {
        o["part"]["pages"] = nullptr;
    }
    if (opt_.max_files)
        o["config"]["max_files"] = *opt_.max_files;
    for (const auto &p : plan_options_) {
        if (p->option->count() == 0)
            continue;
        const nlohmann::json::json_pointer at(p->pointer);
        if (p->kind == Kind::Text) {
            o[at] = p->text;
        } else if (p->kind == Kind::Whole) {
            o[at] = parse_count(p->flag, p->text);
        } else {
            char *end = nullptr;
            const double v = std::strtod(p->text.c_str(), &end);
            if (p->text.empty() || end != p->text.c_str() + p->text.size() || !std::isfinite(v))
                throw Error(fmt::format("{} {}: not a number", p->flag, p->text));
            o[at] = v;
        }
    }
    return o;
}

int CommandLine::run(int argc, char **argv) {
    // The medium options that take a value: the word after one is not the subcommand.
    const std::set<std::string> valued = {"--page-size", "--clus-pages", "--geometry-tag", "--max-files",
                                          "--crc",       "--crc-seed",   "--pages",        "--offset"};
    if (const std::string word = subcommand_word(argc, argv, valued); !word.empty() && names_.count(word) == 0) {
        std::cerr << fmt::format("dace: unknown subcommand \"{}\": dace --help lists them\n", word);
        return 1;
    }
    try {
        app_.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app_.exit(e);
    }
    return act();
}

void CommandLine::finish_options() {
    if (!pages_text_.empty())
        opt_.pages = parse_count("--pages", pages_text_);
    if (!offset_text_.empty())
        opt_.offset = parse_count("--offset", offset_text_);
    if (opt_.pages && *opt_.pages == 0)
        throw Error("--pages 0: a medium has at least one page");
    opt_.wait = !no_wait_;
}

int CommandLine::act() {
    Output o = terminal_output(std::cout, std::cerr, json_);
    try {
        finish_options();
        const int status = action_(o);
        std::cout.flush();
        return status;
    } catch (const Error &e) {
        std::cerr << "dace: " << e.what() << '\n';
    } catch (const std::exception &e) {
        std::cerr << "dace: " << e.what() << '\n';
    }
    return 1;
}

} // namespace

int run_cli(int argc, char **argv) {
    CommandLine cli;
    return cli.run(argc, argv);
}

} // namespace dace_tool
