// Arbitrary bytes as an image, through the dace tool's reading paths: info,
// ls, check (text and JSON), map and unpack into a scratch folder, with the
// survey's choice of root copy checked against the mount's; then the
// changing paths on the mounted medium in memory, and the file operations of
// `dace mount`. The
// first byte picks whether the setting is detected from the image or given
// (from the next five bytes), so that check and map also see media whose
// roots are all damaged. Errors the tool reports are fine; a crash, a
// sanitizer report or any other exception is a finding.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <vector>

#include "tools/commands.h"
#include "tools/crc_catalogue.h"
#include "tools/image_medium.h"
#include "tools/mount_ops.h"
#include "tools/survey.h"

namespace {

namespace fs = std::filesystem;

// The folder lives until after the exit handler that removes it: a static
// path object would be destroyed before a handler registered while it was
// being built.
const fs::path &scratch() {
    static const fs::path *const dir = [] {
        auto *d = new fs::path(fs::temp_directory_path() / ("dace_fuzz_tool_" + std::to_string(::getpid())));
        fs::create_directories(*d);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(scratch(), ec);
        });
        return d;
    }();
    return *dir;
}

template <typename F> void reading(F &&f) {
    try {
        f();
    } catch (const dace_tool::Error &) {
    }
}

// What `dace mount` does with the medium, in memory: list, stat and read
// every file in pieces, then append, truncate, remove a file held open,
// rename one file over another, touch and remove. Every answer is a size or an errno; none may exceed
// what was asked.
void through_a_mount(const dace_tool::Image &img) {
    dace_tool::MountedImage m(std::make_unique<dace_tool::Volume>(img.bytes, img.params()), false);
    struct statvfs fs {};
    if (m.statfs(fs) != 0 || fs.f_bfree > fs.f_blocks)
        __builtin_trap();
    std::vector<std::string> names;
    if (m.readdir("/", names) != 0)
        __builtin_trap();
    std::vector<char> buf(3000);
    for (const std::string &name : names) {
        const std::string path = "/" + name;
        struct stat st {};
        dace_tool::FileId h = 0;
        if (m.getattr(path.c_str(), st) != 0 || m.open(path.c_str(), O_RDWR, h) != 0)
            continue;
        for (off_t at = 0; at < st.st_size;) {
            const long got = m.read(h, buf.data(), buf.size(), at);
            if (got > static_cast<long>(buf.size()))
                __builtin_trap();
            if (got <= 0)
                break;
            at += got;
        }
        (void)m.write(h, buf.data(), 100, st.st_size);
        (void)m.release(h);
        (void)m.truncate(path.c_str(), st.st_size / 2);
    }
    // A file removed while open is read on from memory.
    dace_tool::FileId held = 0;
    if (!names.empty() && m.open(("/" + names.back()).c_str(), O_RDONLY, held) == 0) {
        struct stat st {};
        if (m.unlink(("/" + names.back()).c_str()) == 0 &&
            (m.getattr(nullptr, st, held) != 0 || m.read(held, buf.data(), buf.size(), 0) > st.st_size))
            __builtin_trap();
        (void)m.release(held);
    }
    if (names.size() >= 2)
        (void)m.rename(("/" + names[0]).c_str(), ("/" + names[1]).c_str(), 0);
    dace_tool::FileId h = 0;
    if (m.create("/fuzz.created", h) == 0) {
        (void)m.write(h, buf.data(), buf.size(), 0);
        (void)m.release(h);
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    (void)m.utimens("/fuzz.created", times);
    for (const std::string &name : names)
        (void)m.unlink(("/" + name).c_str());
}

// check, map and ls read the image themselves, but must look at the root
// copy that the mount uses: whenever the library mounts the image, the
// survey's choice of root cluster and copy is the mount's.
void same_root_as_the_mount(const dace_tool::Image &img) {
    const dace_tool::Params &p = img.params();
    const dace_tool::Survey sv = dace_tool::survey_image(img.bytes, p, {}, false);
    if (sv.root() == nullptr)
        return; // the library formats a medium without marks; nothing to compare
    dace_tool::ImageMedium medium(img.bytes, p.page_size, p.clus_pages);
    dace_config cfg = dace_tool::config_of(p);
    medium.attach(cfg);
    std::vector<uint64_t> block((dace_getstatesize(&cfg) + 7) / 8);
    const dace_state *s = block.empty() ? nullptr : dace_init(&cfg, block.data());
    if (s != nullptr && (s->root_clus != sv.root()->clus || s->root_page != sv.root()->page()))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 6)
        return 0;
    dace_tool::Options opt;
    if (data[0] & 1) {
        opt.page_size = static_cast<uint16_t>(32u << (data[1] & 3));
        opt.clus_pages = static_cast<uint16_t>(1u << (data[2] & 3));
        opt.crc = std::string(dace_tool::crc_catalogue()[data[3] % dace_tool::crc_catalogue().size()].name);
        opt.crc_seed = static_cast<uint16_t>(data[4] | data[5] << 8);
    }
    std::vector<uint8_t> bytes(data + 6, data + size);

    std::ostringstream out, err;
    dace_tool::Output o{out, err, false};
    dace_tool::Output json{out, err, true};
    reading([&] {
        const dace_tool::Image img = dace_tool::image_from_bytes(std::move(bytes), opt);
        reading([&] { dace_tool::cmd_info(o, img); });
        reading([&] { dace_tool::cmd_info(json, img); });
        reading([&] { dace_tool::cmd_ls(o, img, true); });
        reading([&] { dace_tool::cmd_ls(json, img, false); });
        reading([&] { dace_tool::cmd_check(o, img); });
        reading([&] { dace_tool::cmd_check(json, img); });
        reading([&] { dace_tool::cmd_map(o, img, ""); });
        same_root_as_the_mount(img);
        reading([&] {
            const fs::path dir = scratch() / "unpack";
            fs::remove_all(dir);
            dace_tool::cmd_unpack(o, img, dir.string());
            // Nothing may land outside the folder it was given.
            for (const auto &e : fs::directory_iterator(scratch()))
                if (e.path().filename() != "unpack")
                    __builtin_trap();
        });
        // The changing paths, in memory only: put, append, truncate, rename
        // and remove on whatever the medium holds.
        reading([&] {
            dace_tool::Volume v(img.bytes, img.params());
            const size_t n = std::min<size_t>(img.bytes.size(), 5000);
            reading([&] { dace_tool::write_file(v, "fuzz.new", img.bytes.data(), n, false); });
            const auto entries = v.entries();
            if (entries.empty())
                return;
            const std::string first = dace_tool::entry_name(entries[0]);
            reading([&] { dace_tool::write_file(v, first, img.bytes.data(), n / 2, true); });
            (void)dace_truncate(v.state(), first.c_str(), entries[0].size / 2);
            (void)dace_rename(v.state(), first.c_str(), "fuzz.renamed");
            (void)dace_remove(v.state(), "fuzz.renamed");
            reading([&] { (void)dace_tool::read_file(v, "fuzz.new"); });
        });
        reading([&] { through_a_mount(img); });
    });
    return 0;
}
