// Mounts an arbitrary image, then lists, stats and reads every file, seeks
// about in each, and optionally changes every file and mounts again. Any
// result is acceptable except a crash, undefined behaviour, a debug-assert
// trap, or answers that contradict one another.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/mount_input.h"
#include "sim/flash_sim.h"
#include "tests/checks.h"

namespace {

using dace_check::entry_name;
using dace_fuzz::ByteReader;
using dace_sim::FlashSim;

// Gives every root copy header that starts a page valid CRCs.
void fix_root_crcs(FlashSim &sim, uint16_t crc_seed) {
    const dace_sim::Geometry &g = sim.geometry();
    const uint32_t clus_size = sim.cluster_size();
    for (uint32_t c = 0; c < sim.cluster_count(); ++c) {
        uint8_t *clus = sim.cluster(c);
        for (uint32_t page = 0; page < g.clus_pages; ++page) {
            const size_t at = size_t{page} * g.page_size;
            if (dace::load_u32(clus + at) == ROOT_MAGIC)
                dace_check::reseal_root_copy(clus + at, clus_size - at, crc_seed);
        }
    }
}

struct Mounted {
    FlashSim &sim;
    dace_config cfg;
    std::vector<uint64_t> block;
    dace_state *s = nullptr;

    bool mount() {
        const uint32_t size = dace_getstatesize(&cfg);
        FUZZ_CHECK(size != 0);
        block.assign(size / 8 + 1, 0xA5A5A5A5A5A5A5A5ull);
        s = dace_init(&cfg, block.data());
        return s != nullptr;
    }
};

std::vector<dace_entry> listing(dace_state *s) {
    std::vector<dace_entry> out;
    dace_dir dir;
    FUZZ_CHECK(dace_opendir(s, &dir) == &dir);
    while (const dace_entry *e = dace_readdir(s, &dir)) {
        FUZZ_CHECK(e == &dir.entry);
        out.push_back(*e);
        // No root copy holds more entries than its cluster has room for.
        FUZZ_CHECK(out.size() <= s->max_entries);
    }
    FUZZ_CHECK(dace_readdir(s, &dir) == nullptr);
    return out;
}

// Reads from the position to the end in pieces of `piece` bytes, checking
// that every read stays within what was asked and what the file holds.
std::vector<uint8_t> read_to_end(dace_state *s, dace_handle h, uint32_t size, uint32_t piece) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(piece + 8, 0xCD);
    for (;;) {
        const uint32_t pos = dace_tell(s, h);
        FUZZ_CHECK(pos <= size);
        const uint32_t got = dace_read(s, buf.data(), piece, h);
        FUZZ_CHECK(got <= piece);
        FUZZ_CHECK(buf[piece] == 0xCD); // nothing written past what was asked
        FUZZ_CHECK(dace_tell(s, h) == pos + got);
        FUZZ_CHECK(dace_feof(s, h) == (pos + got >= size ? 1 : 0));
        if (got == 0)
            return out;
        out.insert(out.end(), buf.begin(), buf.begin() + got);
    }
}

// Whether reads return the same bytes every time (no unstable page).
bool g_stable_reads = true;

// The bytes a second read from `offset` returns must be those the first
// read returned there: both come from the same clusters.
void expect_same_bytes(const std::vector<uint8_t> &first, uint32_t offset, const std::vector<uint8_t> &again) {
    if (offset >= first.size() || !g_stable_reads)
        return;
    const size_t n = std::min(first.size() - offset, again.size());
    FUZZ_CHECK(std::memcmp(first.data() + offset, again.data(), n) == 0);
}

void read_file(dace_state *s, const dace_entry &listed, ByteReader &in) {
    const std::string name = entry_name(listed);
    const dace_handle h = dace_open(s, name.c_str());
    if (h == 0)
        return; // a chain that does not reach the first bytes refuses
    FUZZ_CHECK(dace_open(s, name.c_str()) == 0); // one handle per file
    dace_entry by_handle;
    FUZZ_CHECK(dace_statf(s, h, &by_handle) == 0);
    FUZZ_CHECK(std::memcmp(&by_handle, &listed, sizeof listed) == 0);
    const uint32_t size = listed.size;
    FUZZ_CHECK(dace_tell(s, h) == 0);

    const uint32_t payload = s->clus_payload;
    const uint32_t pieces[] = {1, 7, payload, payload + 1, 4096};
    const std::vector<uint8_t> first = read_to_end(s, h, size, pieces[in.below(5)]);
    FUZZ_CHECK(first.size() <= size);

    // Positioning: refusals first, then a few places read again.
    FUZZ_CHECK(dace_seek(s, h, 0, 3) == DACE_SEEK_BAD_WHENCE);
    if (size != 0xFFFFFFFFu) {
        FUZZ_CHECK(dace_seek(s, h, size + 1, DACE_SEEK_SET) == DACE_SEEK_BEYOND_END);
        FUZZ_CHECK(dace_seek(s, h, size + 1, DACE_SEEK_END) == DACE_SEEK_BEYOND_END);
    }
    for (int i = 0; i < 3; ++i) {
        const uint32_t target = size == 0 ? 0 : in.below(uint64_t{size} + 1);
        const int whence = static_cast<int>(in.below(3));
        const uint32_t offset = whence == 0 ? target : whence == 1 ? target - dace_tell(s, h) : size - target;
        const int r = dace_seek(s, h, offset, whence);
        FUZZ_CHECK(r == 0 || r == -1);
        if (r != 0)
            continue;
        FUZZ_CHECK(dace_tell(s, h) == target);
        expect_same_bytes(first, target, read_to_end(s, h, size, pieces[in.below(5)]));
    }
    FUZZ_CHECK(dace_close(s, h) == DACE_OK);
    FUZZ_CHECK(dace_close(s, h) == DACE_CLOSE_NOT_OPEN);
    FUZZ_CHECK(dace_tell(s, h) == 0xFFFFFFFFu);
}

// Everything a reader can ask of a mounted volume.
void check_volume(dace_state *s, ByteReader &in) {
    uint32_t total = 0;
    const uint32_t free = dace_getfreespace(s, &total);
    FUZZ_CHECK(free <= total);
    FUZZ_CHECK_NONE(dace_check::accounting_problems(s));

    const std::vector<dace_entry> files = listing(s);
    for (const dace_entry &e : files) {
        const std::string name = entry_name(e);
        // Lookups find the first entry that bears a name.
        const auto first =
            std::find_if(files.begin(), files.end(), [&](const dace_entry &x) { return entry_name(x) == name; });
        dace_entry by_name;
        const int found = dace_stat(s, name.c_str(), &by_name);
        FUZZ_CHECK(found == 0);
        FUZZ_CHECK(std::memcmp(&by_name, &*first, sizeof by_name) == 0);
        FUZZ_CHECK(dace_find_file(s, name.c_str()) == static_cast<int>(first - files.begin()));
        if (&e == &*first)
            read_file(s, e, in);
    }
    FUZZ_CHECK(listing(s).size() == files.size());
}

// Changes every file the way an application would; the results depend on
// what the image holds and are only checked against one another.
void change_files(dace_state *s, ByteReader &in) {
    const std::vector<dace_entry> files = listing(s);
    const uint8_t bytes[300] = {1, 2, 3};
    for (const dace_entry &e : files) {
        const std::string name = entry_name(e);
        const dace_handle h = dace_open(s, name.c_str());
        if (h != 0) {
            if (dace_seek(s, h, 0, DACE_SEEK_END) == DACE_OK) {
                dace_entry before;
                FUZZ_CHECK(dace_statf(s, h, &before) == 0);
                const uint32_t count = in.below(sizeof bytes + 1);
                const uint32_t taken = dace_write(s, bytes, count, h);
                FUZZ_CHECK(taken <= count);
                dace_entry after;
                FUZZ_CHECK(dace_statf(s, h, &after) == 0);
                FUZZ_CHECK(after.size == before.size + taken);
                (void)dace_flush(s, h);
            }
            (void)dace_close(s, h);
        }
        dace_entry st;
        if (dace_stat(s, name.c_str(), &st) == 0) {
            const uint32_t length = st.size == 0 ? 0 : in.below(uint64_t{st.size} + 1);
            const int r = dace_truncate(s, name.c_str(), length);
            FUZZ_CHECK(r != 1 && r != 2);
            if (r == 0) {
                FUZZ_CHECK(dace_stat(s, name.c_str(), &st) == 0);
            }
        }
        switch (in.below(3)) {
        case 0:
            (void)dace_rename(s, name.c_str(), "renamed");
            break;
        case 1:
            FUZZ_CHECK(dace_remove(s, name.c_str()) != DACE_REFUSED);
            break;
        default:
            break;
        }
    }
    const dace_handle h = dace_create(s, "new");
    if (h != 0) {
        const uint32_t count = in.below(sizeof bytes + 1);
        FUZZ_CHECK(dace_write(s, bytes, count, h) <= count);
        (void)dace_close(s, h);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < dace_fuzz::kMountHeaderSize)
        return 0;
    const dace_fuzz::MountSetup &setup = dace_fuzz::kMountSetups[data[0] % dace_fuzz::kMountSetupCount];
    const uint8_t flags = data[1];
    const auto max_files = static_cast<uint16_t>(1 + data[2] % 4);
    const auto crc_seed = static_cast<uint16_t>(data[3] | data[4] << 8);

    FlashSim sim(setup.geometry);
    const size_t image = std::min(size - dace_fuzz::kMountHeaderSize, sim.bytes().size());
    std::memcpy(sim.bytes().data(), data + dace_fuzz::kMountHeaderSize, image);
    if ((flags & dace_fuzz::kFixRootCrcs) != 0)
        fix_root_crcs(sim, crc_seed);

    // Decisions of the checks (read sizes, seek targets) come from the
    // image's last bytes, so that they vary with the input.
    const size_t tail = std::min<size_t>(image, 64);
    ByteReader in(data + size - tail, tail);

    g_stable_reads = (flags & dace_fuzz::kUnstablePage) == 0;
    if (!g_stable_reads)
        sim.make_unstable((data[2] >> 2) % setup.geometry.total_pages, crc_seed);

    Mounted vol{sim, sim.config(max_files, crc_seed), {}, nullptr};
    vol.cfg.geometry_tag = setup.geometry_tag;
    if (!vol.mount())
        return 0;
    if ((flags & dace_fuzz::kVerifyReads) != 0)
        dace_verify_reads(vol.s, 1);
    check_volume(vol.s, in);
    if ((flags & dace_fuzz::kChangeAfterMount) == 0)
        return 0;
    change_files(vol.s, in);
    FUZZ_CHECK_NONE(dace_check::accounting_problems(vol.s));
    check_volume(vol.s, in);
    sim.reboot();
    if (vol.mount())
        check_volume(vol.s, in);
    return 0;
}
