// The checks that the suites, the torture and the fuzz targets share. Each
// checker returns what is wrong, or an empty string when all is well, so
// that a GoogleTest suite can report it (EXPECT_EQ(..., "")) and a fuzz
// target can stop on it (FUZZ_CHECK_NONE). Nothing here depends on
// GoogleTest.
#ifndef DACE_TESTS_CHECKS_H
#define DACE_TESTS_CHECKS_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dace/dace.h"
#include "dace/dace_internal.h"
#include "sim/flash_sim.h"
#include "tests/medium_bytes.h"

namespace dace_check {

using dace::kReservedClusters;
using Bytes = std::vector<uint8_t>;

// The name an entry holds: up to its first NUL, or all 18 bytes.
inline std::string entry_name(const dace_entry &e) {
    size_t n = 0;
    while (n < sizeof e.name && e.name[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char *>(e.name), n);
}

// The allocator's counts agree with its table, whatever the medium held:
// free_clus, less what it owes, is the clusters it could still hand out
// (free, to be erased, or held) less the reserve kept for root moves, and
// held_count is the clusters held until the next commit.
inline std::string accounting_problems(const dace_state *s) {
    uint32_t usable = 0, held = 0;
    for (uint32_t i = 0; i < s->clus_count; ++i) {
        const uint16_t code = s->clus_table[i];
        usable += (code == CLUS_FREE || code == CLUS_DIRTY || code == CLUS_HELD) ? 1 : 0;
        held += code == CLUS_HELD ? 1 : 0;
    }
    std::string out;
    if (int64_t{s->free_clus} - s->free_deficit != int64_t{usable} - kReservedClusters)
        out += "free_clus " + std::to_string(s->free_clus) + " owing " + std::to_string(s->free_deficit) +
               ", but the table has " + std::to_string(usable) + " usable clusters, less " +
               std::to_string(kReservedClusters) + " in reserve";
    if (held != s->held_count)
        out += std::string(out.empty() ? "" : "; ") + "held_count " + std::to_string(s->held_count) +
               ", but the table holds " + std::to_string(held);
    return out;
}

// Every file's chain on a volume just mounted, as its table holds it: the
// chain stays on the medium, ends, takes one cluster for every payload the
// file's size begins, and shares no cluster with another chain or the root;
// each of its clusters in `medium` (the bytes of the whole medium) carries
// the data mark, the link the table holds, and a CRC over its header and
// payload.
inline std::string chain_problems(dace_state *s, const std::vector<uint8_t> &medium) {
    constexpr int kFree = -1, kRoot = -2;
    std::string out;
    const auto note = [&out](const std::string &what) { out += (out.empty() ? "" : "; ") + what; };
    std::vector<int> owner(s->clus_count, kFree); // entry index, or kRoot
    if (s->root_clus < s->clus_count)
        owner[s->root_clus] = kRoot;
    dace_dir dir;
    int index = 0;
    for (const dace_entry *e = dace_readdir(s, dace_opendir(s, &dir)); e != nullptr;
         e = dace_readdir(s, &dir), ++index) {
        const std::string name = "'" + entry_name(*e) + "'";
        uint32_t hops = 0;
        bool broken = false;
        for (uint16_t c = e->clus; c != CLUS_END; c = s->clus_table[c], ++hops) {
            if (c >= s->clus_count || size_t{c + 1u} * s->clus_size > medium.size()) {
                note(name + " chains to cluster " + std::to_string(c) + ", outside the medium");
                broken = true;
            } else if (owner[c] == index) {
                note(name + " chains in a loop through cluster " + std::to_string(c));
                broken = true;
            } else if (owner[c] != kFree) {
                note(name + " chains through cluster " + std::to_string(c) + ", which " +
                     (owner[c] == kRoot ? std::string("the root") : "an earlier file") + " holds");
                broken = true;
            } else {
                owner[c] = index;
                const uint8_t *image = medium.data() + size_t{c} * s->clus_size;
                const dace_clus_header h = get_clus_header(image);
                const uint16_t head = dace_sim::crc16_ccitt(s->crc_seed, image, 6);
                const uint16_t crc = dace_sim::crc16_ccitt(head, image + sizeof h, s->clus_payload);
                if (h.magic != DATA_MAGIC || h.link != s->clus_table[c] || h.crc != crc)
                    note("cluster " + std::to_string(c) + " of " + name + " has a damaged header (mark, link or CRC)");
            }
            if (broken)
                break;
        }
        const uint64_t needed = (uint64_t{e->size} + s->clus_payload - 1u) / s->clus_payload;
        if (!broken && hops != needed)
            note(name + " of " + std::to_string(e->size) + " bytes chains through " + std::to_string(hops) +
                 " clusters instead of " + std::to_string(needed));
    }
    return out;
}

// ---- planting ----------------------------------------------------------------

// Gives the root copy whose header starts at `copy` CRC fields that match
// its bytes: the head CRC over its first 28 bytes, and the files CRC over
// its `count` entries when they lie within the `room` bytes from `copy` to
// the end of its cluster (else the files CRC stays as it is). For a copy
// whose fields a test changed on purpose, so that only that change can make
// the copy unacceptable.
inline void reseal_root_copy(uint8_t *copy, size_t room, uint16_t crc_seed) {
    put_le16(copy + 28, dace_sim::crc16_ccitt(crc_seed, copy, 28));
    const size_t table = size_t{get_root(copy).count} * sizeof(dace_entry);
    if (sizeof(dace_root) + table <= room)
        put_le16(copy + 30, dace_sim::crc16_ccitt(crc_seed, copy + sizeof(dace_root), table));
}

// ---- the files a volume should hold ----------------------------------------

// Files in directory order: the order of creation, which a rename keeps and
// a removal closes up. A lookup by name finds the first file that bears it,
// as the library's lookups do; a plain rename may leave two files with one
// name. Copies of a model share the files' bytes until one of them changes
// a file, so that keeping a copy at every commit costs no copy of the data.
class Files {
public:
    class File {
    public:
        const std::string &name() const { return name_; }
        // Follows the file through renames and through removals of others.
        uint32_t id() const { return id_; }
        const Bytes &bytes() const { return *bytes_; }
        uint32_t size() const { return static_cast<uint32_t>(bytes_->size()); }

    private:
        friend class Files;
        File(uint32_t id, std::string name, Bytes bytes)
            : id_(id), name_(std::move(name)), bytes_(std::make_shared<Bytes>(std::move(bytes))) {}

        uint32_t id_;
        std::string name_;
        std::shared_ptr<Bytes> bytes_;
    };

    std::vector<File>::const_iterator begin() const { return files_.begin(); }
    std::vector<File>::const_iterator end() const { return files_.end(); }
    size_t size() const { return files_.size(); }
    bool empty() const { return files_.empty(); }

    // The first file that bears `name`, or null.
    const File *find(const std::string &name) const {
        const auto at = first_of(name);
        return at == files_.end() ? nullptr : &*at;
    }
    bool contains(const std::string &name) const { return find(name) != nullptr; }
    // The position of the first file that bears `name`, or -1.
    int index_of(const std::string &name) const {
        const auto at = first_of(name);
        return at == files_.end() ? -1 : static_cast<int>(at - files_.begin());
    }
    // The file with identity `id`, or null once it is removed.
    const File *by_id(uint32_t id) const {
        const auto at = std::find_if(files_.begin(), files_.end(), [id](const File &f) { return f.id_ == id; });
        return at == files_.end() ? nullptr : &*at;
    }

    // A new file at the end of the directory; returns its identity.
    uint32_t create(const std::string &name, Bytes bytes = {}) {
        files_.push_back(File(next_id_, name, std::move(bytes)));
        return next_id_++;
    }
    // The bytes of file `id`, to change: from now on this model's own.
    Bytes &change(uint32_t id) {
        const File *f = by_id(id);
        if (f == nullptr) {
            std::fprintf(stderr, "the files model has no file %u\n", id);
            std::abort();
        }
        File &file = files_[static_cast<size_t>(f - files_.data())];
        if (file.bytes_.use_count() > 1)
            file.bytes_ = std::make_shared<Bytes>(*file.bytes_);
        return *file.bytes_;
    }

    // Changes by name apply to the first file that bears it, if any.
    void append(const std::string &name, const uint8_t *data, size_t n) {
        if (const File *f = find(name)) {
            Bytes &bytes = change(f->id_);
            bytes.insert(bytes.end(), data, data + n);
        }
    }
    void truncate(const std::string &name, size_t length) {
        if (const File *f = find(name))
            change(f->id_).resize(std::min(length, size_t{f->size()}));
    }
    void rename(const std::string &from, const std::string &to) {
        const auto at = first_of(from);
        if (at != files_.end())
            files_[static_cast<size_t>(at - files_.begin())].name_ = to;
    }
    // Renames, and removes the first other file that bore the new name.
    void rename_replace(const std::string &from, const std::string &to) {
        const File *moving = find(from);
        const File *bearer = find(to);
        if (moving == nullptr)
            return;
        const uint32_t id = moving->id_;
        if (bearer != nullptr && bearer != moving)
            files_.erase(files_.begin() + (bearer - files_.data()));
        rename_id(id, to);
    }
    void remove(const std::string &name) {
        const auto at = first_of(name);
        if (at != files_.end())
            files_.erase(at);
    }

    // The same names holding the same bytes in the same order.
    bool operator==(const Files &other) const {
        return std::equal(files_.begin(), files_.end(), other.files_.begin(), other.files_.end(),
                          [](const File &a, const File &b) {
                              return a.name_ == b.name_ && (a.bytes_ == b.bytes_ || *a.bytes_ == *b.bytes_);
                          });
    }

private:
    std::vector<File>::const_iterator first_of(const std::string &name) const {
        return std::find_if(files_.begin(), files_.end(), [&name](const File &f) { return f.name_ == name; });
    }
    void rename_id(uint32_t id, const std::string &to) {
        for (File &f : files_)
            if (f.id_ == id)
                f.name_ = to;
    }

    std::vector<File> files_;
    uint32_t next_id_ = 1;
};

// "{ name:size ... }" in directory order.
inline std::string sizes(const Files &files) {
    std::string out = "{";
    for (const Files::File &f : files)
        out += " " + f.name() + ":" + std::to_string(f.size());
    return out + " }";
}

// How `got` differs from `want`: the sizes of both, and the first byte
// where a file of the same name differs. Empty when they are the same.
inline std::string difference(const Files &got, const Files &want) {
    if (got == want)
        return "";
    std::string out = sizes(got) + " instead of " + sizes(want);
    for (const Files::File &f : got) {
        const Files::File *w = want.find(f.name());
        if (w == nullptr || got.find(f.name()) != &f)
            continue;
        const auto m = std::mismatch(f.bytes().begin(), f.bytes().end(), w->bytes().begin(), w->bytes().end());
        if (m.first != f.bytes().end() && m.second != w->bytes().end())
            out += ", " + f.name() + " differs at byte " + std::to_string(m.first - f.bytes().begin());
    }
    return out;
}

// ---- what a mounted volume holds -----------------------------------------

// Reads file `name`, listed with `size` bytes, whole through its name, with
// one read that asks for a byte more than it holds. Returns what stood in
// the way: the file does not open, reads other than `size` bytes, is not at
// its end after them, or does not close.
inline std::string read_whole(dace_state *s, const std::string &name, uint32_t size, Bytes *out) {
    const dace_handle h = dace_open(s, name.c_str());
    if (h == 0)
        return "'" + name + "' does not open";
    const uint32_t ask = size == UINT32_MAX ? size : size + 1;
    out->assign(ask, 0);
    const uint32_t got = dace_read(s, out->data(), ask, h);
    out->resize(std::min(got, ask));
    std::string trouble;
    if (got != size)
        trouble = "'" + name + "' reads " + std::to_string(got) + " of its " + std::to_string(size) + " bytes";
    else if (dace_feof(s, h) != 1)
        trouble = "'" + name + "' is not at its end after reading it whole";
    if (dace_close(s, h) != DACE_OK)
        trouble += (trouble.empty() ? "'" + name + "'" : ",") + " does not close";
    return trouble;
}

// How the directory listing differs from `want` in names and sizes, in
// order; empty when it does not. Touches no medium.
inline std::string listing_difference(dace_state *s, const Files &want) {
    dace_dir dir;
    if (dace_opendir(s, &dir) != &dir)
        return "opendir does not return the walk it started";
    std::string listed = "{";
    bool same = true;
    auto next = want.begin();
    for (const dace_entry *e = dace_readdir(s, &dir); e != nullptr; e = dace_readdir(s, &dir)) {
        const std::string name = entry_name(*e);
        listed += " " + name + ":" + std::to_string(e->size);
        same = same && next != want.end() && next->name() == name && next->size() == e->size;
        if (next != want.end())
            ++next;
    }
    if (same && next == want.end())
        return "";
    return "lists " + listed + " } instead of " + sizes(want);
}

// Every file of a mounted volume in directory order, each read whole
// through its name. `trouble` receives what stood in the way: a name
// listed twice (its later file cannot be opened by name), or a file that
// read_whole() finds wanting.
inline Files files_on(dace_state *s, std::string *trouble) {
    std::vector<std::pair<std::string, uint32_t>> listed;
    dace_dir dir;
    for (const dace_entry *e = dace_readdir(s, dace_opendir(s, &dir)); e != nullptr; e = dace_readdir(s, &dir))
        listed.emplace_back(entry_name(*e), e->size);
    Files out;
    for (const auto &[name, size] : listed) {
        std::string problem;
        if (out.contains(name)) {
            problem = "'" + name + "' is listed twice";
        } else {
            Bytes bytes;
            problem = read_whole(s, name, size, &bytes);
            out.create(name, std::move(bytes));
        }
        if (!problem.empty())
            *trouble += (trouble->empty() ? "" : "; ") + problem;
    }
    return out;
}

// How a mounted volume differs from `want`: its listing, then the bytes of
// every file that is the first to bear its name (a later one cannot be
// opened by name). Empty when it holds exactly `want`.
inline std::string volume_difference(dace_state *s, const Files &want) {
    std::string out = listing_difference(s, want);
    if (!out.empty())
        return out;
    for (const Files::File &f : want) {
        if (want.find(f.name()) != &f)
            continue;
        Bytes got;
        std::string problem = read_whole(s, f.name(), f.size(), &got);
        if (problem.empty() && got != f.bytes()) {
            const auto m = std::mismatch(got.begin(), got.end(), f.bytes().begin());
            problem = "'" + f.name() + "' differs at byte " + std::to_string(m.first - got.begin());
        }
        if (!problem.empty())
            out += (out.empty() ? "" : "; ") + problem;
    }
    return out;
}

// ---- what a medium holds ---------------------------------------------------

// What a mount finds wrong with the medium whose bytes are `medium` (of
// geometry `g`), mounted under `cfg` with dace_mount, which never writes, on
// a copy, so that nothing the caller holds changes: the mount refuses (and
// why), its counts disagree with its table, a chain is broken, or, given
// `want`, the files are not exactly those. Empty when none of these holds.
// `cfg` keeps its geometry, seed and CRC routine (a routine of its own, or
// the simulator's); the other callbacks reach the copy. `listing`, when
// given, receives the entries the mount found.
inline std::string medium_problems(const std::vector<uint8_t> &medium, const dace_sim::Geometry &g, dace_config cfg,
                                   const Files *want = nullptr, std::vector<dace_entry> *listing = nullptr) {
    dace_sim::FlashSim copy(g);
    if (medium.size() != copy.bytes().size())
        return "the medium holds " + std::to_string(medium.size()) + " bytes, not the geometry's " +
               std::to_string(copy.bytes().size());
    copy.bytes() = medium;
    const dace_crc_fn crc_fn = cfg.crc_fn;
    void *const crc_ctx = cfg.crc_ctx;
    copy.attach(cfg);
    if (crc_fn != &dace_sim::FlashSim::crc_cb) {
        cfg.crc_fn = crc_fn;
        cfg.crc_ctx = crc_ctx;
    }
    const uint32_t size = dace_getstatesize(&cfg);
    if (size == 0)
        return "the configuration is refused (" + std::to_string(dace_check_config(&cfg)) + ")";
    std::vector<uint64_t> block(size / 8 + 1);
    dace_state *s = dace_mount(&cfg, block.data());
    if (s == nullptr)
        return "a mount of the medium refuses it (reason " + std::to_string(dace_init_error(block.data())) + ")";
    std::string out;
    const auto note = [&out](const std::string &what, const std::string &problem) {
        if (!problem.empty())
            out += (out.empty() ? "" : "; ") + what + problem;
    };
    note("after a mount, ", accounting_problems(s));
    note("after a mount, ", chain_problems(s, medium));
    if (listing != nullptr) {
        listing->clear();
        dace_dir dir;
        for (const dace_entry *e = dace_readdir(s, dace_opendir(s, &dir)); e != nullptr; e = dace_readdir(s, &dir))
            listing->push_back(*e);
    }
    if (want != nullptr)
        note("a mount finds other files: ", volume_difference(s, *want));
    return out;
}

} // namespace dace_check

#endif // DACE_TESTS_CHECKS_H
