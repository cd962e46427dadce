// Demo: a volume on a simulated SPI-NOR flash. Formats a blank medium, stages
// and commits directory changes through root copies until the root moves to
// a fresh cluster, loses power in the middle of a commit, mounts again to
// show which copy is in force, and commits once more.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "sim/flash_sim.h"

namespace {

struct Mounted {
    std::vector<uint64_t> block;
    dace_state *s = nullptr;
};

Mounted mount(dace_config &cfg) {
    Mounted m;
    m.block.resize(dace_getstatesize(&cfg) / sizeof(uint64_t) + 1);
    m.s = dace_init(&cfg, m.block.data());
    return m;
}

dace_entry *entries(dace_state *s) {
    return reinterpret_cast<dace_entry *>(reinterpret_cast<uint8_t *>(s->root) + sizeof(dace_root));
}

// Appends one directory entry to the staged root copy.
bool add_entry(dace_state *s, const char *name, uint32_t size) {
    if (s->root->count >= s->max_entries || dace_reopen_root(s, DACE_REOPEN_APPEND, 0xFFFF) != 0)
        return false;
    dace_entry *e = &entries(s)[s->root->count++];
    e->size = size;
    e->clus = CLUS_END;
    s->update_fn(s->update_ctx, e);
    std::memcpy(e->name, name, std::strlen(name) < 18 ? std::strlen(name) + 1 : 18);
    return true;
}

void print_volume(const char *when, dace_state *s) {
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(s, &total);
    std::printf("%s: root in cluster %u, generation %u, copy at page %u; %u entries; %u of %u bytes free\n", when,
                unsigned{s->root_clus}, unsigned{s->root->seq}, unsigned{s->root_page}, unsigned{s->root->count},
                unsigned{free_bytes}, unsigned{total});
    for (uint32_t i = 0; i < s->root->count; ++i) {
        const dace_entry &e = entries(s)[i];
        char name[19] = {};
        std::memcpy(name, e.name, 18);
        std::printf("    %-18s %8u bytes  stamp %llu\n", name, unsigned{e.size},
                    static_cast<unsigned long long>(e.stamp));
    }
}

} // namespace

int main() {
    dace_sim::FlashSim flash(dace_sim::Geometry{256, 8, 1024}); // 256 KiB, 128 clusters of 2 KiB
    dace_config cfg = flash.config(4);

    std::printf("state block for 256-byte pages, 8 pages per cluster, 1024 pages, 4 open files: %u bytes\n",
                unsigned{dace_getstatesize(&cfg)});
    Mounted m = mount(cfg);
    if (m.s == nullptr) {
        std::puts("mount failed");
        return 1;
    }
    print_volume("formatted blank flash", m.s);

    // Each commit appends a root copy after the last one; when the root
    // cluster is full the next copy starts a new generation elsewhere.
    uint32_t commits = 0;
    const uint16_t first_root = m.s->root_clus;
    for (int i = 0; m.s->root_clus == first_root; ++i) {
        const std::string name = "log-" + std::to_string(i) + ".txt";
        if (!add_entry(m.s, name.c_str(), static_cast<uint32_t>(100 * i)) || dace_commit_root(m.s) != 0) {
            std::puts("commit failed");
            return 1;
        }
        ++commits;
    }
    std::printf("%u commits, the last one moved the root to cluster %u\n", unsigned{commits},
                unsigned{m.s->root_clus});

    // Stage one more change, then cut the power half-way through its write.
    add_entry(m.s, "cut-short.bin", 42);
    flash.cut_after_bytes(100);
    const int cut = dace_commit_root(m.s);
    std::printf("commit during power cut returned %d\n", cut);
    flash.reboot();

    Mounted again = mount(cfg);
    if (again.s == nullptr) {
        std::puts("remount failed");
        return 1;
    }
    print_volume("after reboot", again.s);
    std::printf("the cut-short copy is ignored; its root cluster %s\n",
                again.s->root_sealed != 0 ? "takes no further copy, so the next commit moves the root"
                                          : "still has room");

    if (!add_entry(again.s, "after-reboot.bin", 7) || dace_commit_root(again.s) != 0) {
        std::puts("commit after reboot failed");
        return 1;
    }
    Mounted last = mount(cfg);
    if (last.s == nullptr) {
        std::puts("remount failed");
        return 1;
    }
    print_volume("one more commit and a remount", last.s);

    const dace_sim::Counters &c = flash.counters();
    std::printf("flash traffic: %llu reads (%llu bytes), %llu writes (%llu bytes), %llu erases\n",
                static_cast<unsigned long long>(c.read_calls), static_cast<unsigned long long>(c.bytes_read),
                static_cast<unsigned long long>(c.write_calls), static_cast<unsigned long long>(c.bytes_programmed),
                static_cast<unsigned long long>(c.erase_calls));
    return 0;
}
