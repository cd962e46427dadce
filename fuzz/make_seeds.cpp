// Writes seed images for the mount target: volumes the library itself made
// on each small setup, fresh, with files, after the root moved, after
// changes by name, cut off by a power cut in the middle of a commit, and
// two that the mount refuses.
// Usage: fuzz_make_seeds <folder>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "fuzz/mount_input.h"
#include "sim/flash_sim.h"

namespace {

using dace_sim::FlashSim;

constexpr uint16_t kCrcSeed = 0xFFFF;

struct Volume {
    explicit Volume(const dace_fuzz::MountSetup &setup, uint16_t max_files) : sim(setup.geometry) {
        cfg = sim.config(max_files, kCrcSeed);
        cfg.geometry_tag = setup.geometry_tag;
    }
    dace_state *mount() {
        block.assign(dace_getstatesize(&cfg) / 8 + 1, 0);
        s = dace_init(&cfg, block.data());
        return s;
    }
    FlashSim sim;
    dace_config cfg{};
    std::vector<uint64_t> block;
    dace_state *s = nullptr;
};

void put(dace_state *s, const char *name, uint32_t size, uint8_t seed) {
    const dace_handle h = dace_create(s, name);
    if (h == 0)
        return;
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    (void)dace_write(s, bytes.data(), size, h);
    (void)dace_close(s, h);
}

bool save(const std::string &path, uint8_t setup, uint8_t flags, uint16_t max_files, const FlashSim &sim,
          uint32_t unstable_page = 0) {
    const auto byte2 = static_cast<uint8_t>((max_files - 1) | (unstable_page << 2));
    std::vector<uint8_t> out = {setup, flags, byte2, kCrcSeed & 0xFF, kCrcSeed >> 8};
    // Trailing erased bytes read as erased anyway: leave them out.
    size_t end = sim.bytes().size();
    while (end > 0 && sim.bytes()[end - 1] == 0xFF)
        --end;
    out.insert(out.end(), sim.bytes().begin(), sim.bytes().begin() + static_cast<long>(end));
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    for (uint8_t i = 0; i < dace_fuzz::kMountSetupCount; ++i) {
        const dace_fuzz::MountSetup &setup = dace_fuzz::kMountSetups[i];
        const std::string prefix = dir + "/setup" + std::to_string(i) + "-";

        Volume fresh(setup, 2);
        if (fresh.mount() == nullptr)
            return 1;
        ok &= save(prefix + "fresh", i, 0, 2, fresh.sim);

        // Files of one byte, one payload and several clusters.
        Volume files(setup, 3);
        dace_state *s = files.mount();
        const uint32_t payload = s->clus_payload;
        put(s, "a", 1, 1);
        put(s, "bb", payload, 2);
        put(s, "c", payload * 2 + 3, 3);
        ok &= save(prefix + "files", i, 0, 3, files.sim);
        ok &= save(prefix + "files-changed", i, dace_fuzz::kChangeAfterMount, 3, files.sim);

        // Enough commits that the root moves to another cluster, and
        // changes by name on the way.
        Volume moved(setup, 2);
        s = moved.mount();
        for (int round = 0; round < 6; ++round) {
            put(s, ("f" + std::to_string(round)).c_str(), 5u + static_cast<uint32_t>(round), static_cast<uint8_t>(round));
            (void)dace_rename(s, "f0", "first-file-name-18");
            (void)dace_truncate(s, "f1", 2);
            if (round > 2)
                (void)dace_remove(s, ("f" + std::to_string(round - 1)).c_str());
        }
        ok &= save(prefix + "root-moved", i, 0, 2, moved.sim);
        ok &= save(prefix + "root-moved-changed", i, dace_fuzz::kChangeAfterMount | dace_fuzz::kFixRootCrcs, 2,
                   moved.sim);

        // A commit cut short half-way through its root copy.
        Volume cut(setup, 2);
        s = cut.mount();
        put(s, "kept", payload + 1, 4);
        cut.sim.cut_after_bytes(setup.geometry.page_size / 2);
        put(s, "lost", 9, 5);
        ok &= save(prefix + "cut", i, 0, 2, cut.sim);
        // The same, with the page the cut tore reading differently each time,
        // and a root page that does, with verified reads.
        if (cut.sim.torn_page() < 64)
            ok &= save(prefix + "cut-unstable", i, dace_fuzz::kUnstablePage | dace_fuzz::kChangeAfterMount, 2, cut.sim,
                       cut.sim.torn_page());
        ok &= save(prefix + "root-unstable-verified", i, dace_fuzz::kUnstablePage | dace_fuzz::kVerifyReads, 2,
                   moved.sim, 0);

        // Refused mounts: every cluster marked bad, so that no root can be
        // formatted, and a volume of the next setup's geometry.
        FlashSim bad(setup.geometry);
        for (uint32_t c = 0; c < bad.cluster_count(); ++c) {
            const uint32_t mark = BAD_MARK;
            std::memcpy(bad.cluster(c), &mark, sizeof mark);
        }
        ok &= save(prefix + "all-bad", i, 0, 1, bad);
        const auto next = static_cast<uint8_t>((i + 1) % dace_fuzz::kMountSetupCount);
        ok &= save(prefix + "foreign", next, 0, 2, files.sim);
    }
    return ok ? 0 : 1;
}
