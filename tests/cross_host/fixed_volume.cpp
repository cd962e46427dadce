// One volume written by a fixed sequence of calls, to show that what lies on
// the medium does not depend on the byte order of the host that wrote it,
// and that a host reads what another wrote:
//
//   dace_fixed_volume write IMAGE   runs the sequence on a simulated medium
//                                   and saves its bytes to IMAGE
//   dace_fixed_volume check IMAGE   runs the sequence here too and compares
//                                   IMAGE with its result byte for byte;
//                                   mounts IMAGE and reads back every entry
//                                   and file; then goes on writing to both
//                                   and compares them again
//
// tests/cross_host/compare_hosts.sh runs `write` on a little-endian and a
// big-endian build, compares the two images with cmp, and has each build
// `check` the other's. CTest runs both steps on the build's own image.
//
// The entries' stamps (owned by update_fn) are set to kStampBase plus the
// file's size, so that each of their eight bytes differs and a stamp read
// in the wrong order shows; the CRC seed, the geometry tag and the sizes
// are chosen the same way.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"
#include "tests/checks.h"

namespace {

using dace_check::Bytes;
using dace_check::Files;

constexpr dace_sim::Geometry kGeometry{64, 8, 512}; // 512-byte clusters, 64 of them
constexpr uint16_t kCrcSeed = 0x1D0F;
constexpr uint16_t kGeometryTag = 0x0400;
constexpr uint64_t kStampBase = 0x8877665544000000ull;

void stamp_by_size(void *, dace_entry *entry) { entry->stamp = kStampBase + entry->size; }

Bytes pattern(size_t n, uint32_t seed) {
    Bytes out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

// A volume on the simulator and the files it must hold, changed together.
// The first call that does not do what the sequence expects is kept in
// `failure`; the calls after it do nothing.
class Run {
public:
    Run() : sim_(kGeometry) { configure(); }
    // A volume on the bytes of an image written elsewhere.
    Run(const Bytes &image, const Files &files) : sim_(kGeometry), files_(files) {
        sim_.bytes() = image;
        configure();
    }

    bool format() {
        s_ = dace_format(&cfg_, block_.data());
        return expect(s_ != nullptr, "dace_format");
    }
    bool mount() {
        s_ = dace_mount(&cfg_, block_.data());
        return expect(s_ != nullptr, "dace_mount (reason " + std::to_string(dace_init_error(block_.data())) + ")");
    }

    // Writes `bytes` to a new file in pieces of `piece` bytes, flushing after
    // every `flush_every` pieces, and closes it.
    void create(const std::string &name, const Bytes &bytes, size_t piece = 100, size_t flush_every = 10) {
        if (!ok())
            return;
        const dace_handle h = dace_create(s_, name.c_str());
        if (!expect(h != 0, "dace_create " + name))
            return;
        files_.create(name);
        append_open(h, name, bytes, piece, flush_every);
    }
    void append(const std::string &name, const Bytes &bytes, size_t piece = 100) {
        if (!ok())
            return;
        const dace_handle h = dace_open(s_, name.c_str());
        if (!expect(h != 0, "dace_open " + name) ||
            !expect(dace_seek(s_, h, 0, DACE_SEEK_END) == DACE_OK, "dace_seek to the end of " + name))
            return;
        append_open(h, name, bytes, piece, 0);
    }
    void rename(const std::string &from, const std::string &to) {
        if (ok() && expect(dace_rename(s_, from.c_str(), to.c_str()) == DACE_OK, "dace_rename " + from))
            files_.rename(from, to);
    }
    void rename_replace(const std::string &from, const std::string &to) {
        if (ok() &&
            expect(dace_rename_replace(s_, from.c_str(), to.c_str()) == DACE_OK, "dace_rename_replace " + from))
            files_.rename_replace(from, to);
    }
    void truncate(const std::string &name, uint32_t length) {
        if (ok() && expect(dace_truncate(s_, name.c_str(), length) == DACE_OK, "dace_truncate " + name))
            files_.truncate(name, length);
    }
    void remove(const std::string &name) {
        if (ok() && expect(dace_remove(s_, name.c_str()) == DACE_OK, "dace_remove " + name))
            files_.remove(name);
    }
    void erase_ahead(uint16_t max) {
        if (ok())
            expect(dace_erase_ahead(s_, max) >= 0, "dace_erase_ahead");
    }

    // What a mount of the medium lists and reads that the files do not
    // hold, or whose stamps are not what update_fn gave them; empty when
    // nothing.
    std::string contents_problems() {
        std::string out = dace_check::medium_problems(sim_.bytes(), kGeometry, cfg_, &files_);
        for (const dace_entry &e : listing())
            if (e.stamp != kStampBase + e.size) {
                char line[96];
                std::snprintf(line, sizeof line, "'%s' has stamp 0x%016" PRIx64 ", not 0x%016" PRIx64,
                              dace_check::entry_name(e).c_str(), e.stamp, kStampBase + e.size);
                out += (out.empty() ? "" : "; ") + std::string(line);
            }
        return out;
    }

    // The entries as dace_readdir gives them, in the host's order.
    std::vector<dace_entry> listing() {
        std::vector<dace_entry> out;
        dace_dir dir;
        for (const dace_entry *e = dace_readdir(s_, dace_opendir(s_, &dir)); e != nullptr; e = dace_readdir(s_, &dir))
            out.push_back(*e);
        return out;
    }

    bool ok() const { return failure.empty(); }
    const Bytes &bytes() const { return sim_.bytes(); }
    const Files &files() const { return files_; }
    dace_state *state() const { return s_; }

    std::string failure;

private:
    void configure() {
        cfg_ = sim_.config(3, kCrcSeed);
        cfg_.geometry_tag = kGeometryTag;
        cfg_.update_fn = &stamp_by_size;
        cfg_.update_ctx = nullptr;
        block_.assign(dace_getstatesize(&cfg_) / 8 + 1, 0);
    }

    void append_open(dace_handle h, const std::string &name, const Bytes &bytes, size_t piece, size_t flush_every) {
        size_t pieces = 0;
        for (size_t at = 0; at < bytes.size() && ok(); at += piece) {
            const auto n = static_cast<uint32_t>(std::min(piece, bytes.size() - at));
            expect(dace_write(s_, bytes.data() + at, n, h) == n, "dace_write to " + name);
            files_.append(name, bytes.data() + at, n);
            if (flush_every != 0 && ++pieces % flush_every == 0)
                expect(dace_flush(s_, h) == DACE_OK, "dace_flush of " + name);
        }
        expect(dace_close(s_, h) == DACE_OK, "dace_close of " + name);
    }

    bool expect(bool held, const std::string &call) {
        if (!held && failure.empty())
            failure = call + " failed (dace_error " + std::to_string(s_ != nullptr ? dace_error(s_) : -1) + ")";
        return held;
    }

    dace_sim::FlashSim sim_;
    dace_config cfg_{};
    std::vector<uint64_t> block_;
    dace_state *s_ = nullptr;
    Files files_;
};

// The sequence whose image every host must write alike: files over several
// clusters, an empty file, a name of the full 18 bytes, renames, a
// truncation, a replacing rename and a removal, then enough commits to move
// the root to other clusters more than once.
void write_volume(Run &run) {
    if (!run.format())
        return;
    dace_level_wear(run.state(), 5);
    run.create("alpha.log", pattern(3000, 1));
    run.create("beta.bin", pattern(777, 2), 777);
    run.create("gamma", {});
    run.create("eighteen_byte_name", pattern(1234, 3), 64, 3);
    run.rename("beta.bin", "beta.old");
    run.truncate("alpha.log", 1500);
    run.create("delta", pattern(2100, 4), 300, 1);
    run.rename_replace("delta", "gamma");
    run.remove("beta.old");
    run.erase_ahead(3);
    run.create("counter", {});
    for (uint32_t i = 0; i < 40; ++i) {
        const uint8_t word[4] = {static_cast<uint8_t>(i), 0x5A, static_cast<uint8_t>(i * 7), 0xA5};
        run.append("counter", Bytes(word, word + 4));
    }
}

// What the sequence goes on to do on a volume it mounts, written here or
// elsewhere: the writes a host makes to an image it did not write.
void go_on(Run &run) {
    if (!run.mount())
        return;
    run.append("alpha.log", pattern(900, 5));
    run.create("epsilon", pattern(1600, 6));
    run.truncate("eighteen_byte_name", 100);
    run.remove("gamma");
}

// Where two images first differ, as the medium's structures place it.
std::string first_difference(const Bytes &mine, const Bytes &theirs) {
    if (mine.size() != theirs.size())
        return "the image holds " + std::to_string(theirs.size()) + " bytes, not " + std::to_string(mine.size());
    for (size_t i = 0; i < mine.size(); ++i)
        if (mine[i] != theirs[i]) {
            const uint32_t clus_size = uint32_t{kGeometry.page_size} * kGeometry.clus_pages;
            char line[160];
            std::snprintf(line, sizeof line,
                          "the images first differ at byte %zu (cluster %zu, byte %zu of it): 0x%02x here, 0x%02x there",
                          i, i / clus_size, i % clus_size, mine[i], theirs[i]);
            return line;
        }
    return "";
}

bool save(const Bytes &bytes, const char *path) {
    FILE *f = std::fopen(path, "wb");
    if (f == nullptr)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

bool load(const char *path, Bytes *out) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr)
        return false;
    out->clear();
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out->insert(out->end(), buf, buf + n);
    return std::fclose(f) == 0;
}

const char *host_order() { return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? "big-endian" : "little-endian"; }

// Problems of one stage, printed; false when there were any.
bool report(const char *stage, const std::string &problems) {
    if (problems.empty()) {
        std::printf("  %s: as here\n", stage);
        return true;
    }
    std::printf("  %s: %s\n", stage, problems.c_str());
    return false;
}

int check(const char *path) {
    Bytes theirs;
    if (!load(path, &theirs)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 2;
    }
    Run mine;
    write_volume(mine);
    if (!mine.ok()) {
        std::printf("the sequence fails on this host: %s\n", mine.failure.c_str());
        return 1;
    }
    std::printf("%s, checked on a %s host:\n", path, host_order());
    bool same = report("its bytes", first_difference(mine.bytes(), theirs));

    // Read back through the library whatever the bytes: a host must read
    // what another wrote, and must list the same entries as it does for
    // its own image.
    Run foreign(theirs, mine.files());
    Run reference(mine.bytes(), mine.files());
    if (!foreign.mount() || !reference.mount()) {
        std::printf("  a mount: %s\n", (!foreign.ok() ? foreign.failure : reference.failure).c_str());
        return 1;
    }
    same = report("what a mount reads", foreign.contents_problems()) && same;
    const std::vector<dace_entry> a = foreign.listing(), b = reference.listing();
    const bool equal = a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(dace_entry)) == 0;
    same = report("the entries dace_readdir gives", equal ? "" : "they differ from those of this host's image") && same;

    // Writing on: the image written elsewhere takes this host's changes as
    // its own image does.
    Run own(mine.bytes(), mine.files());
    Run other(theirs, mine.files());
    go_on(own);
    go_on(other);
    if (!own.ok() || !other.ok()) {
        std::printf("  writing on: %s\n", (!own.ok() ? own.failure : other.failure).c_str());
        return 1;
    }
    same = report("its bytes after writing on", first_difference(own.bytes(), other.bytes())) && same;
    same = report("what a mount reads after writing on", other.contents_problems()) && same;
    return same ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode == "write") {
        Run run;
        write_volume(run);
        if (!run.ok()) {
            std::fprintf(stderr, "the sequence fails: %s\n", run.failure.c_str());
            return 1;
        }
        if (!save(run.bytes(), argv[2])) {
            std::fprintf(stderr, "cannot write %s\n", argv[2]);
            return 2;
        }
        std::printf("%s written on a %s host: %zu files\n", argv[2], host_order(), run.files().size());
        return 0;
    }
    if (mode == "check")
        return check(argv[2]);
    std::fprintf(stderr, "usage: %s write IMAGE | check IMAGE\n", argv[0]);
    return 2;
}
