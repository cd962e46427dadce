// Decodes the input into a sequence of calls with arbitrary arguments (bad
// handles, names, whence values and null pointers included) on a small
// simulated medium, with injected faults, power cuts and remounts, and checks
// every answer against the model of the files (tests/checks.h).
//
// The model keeps the files as the library must report them now, and the
// directories a remount may bring back: the last one a commit reported
// durable, and every one whose commit failed or was in flight since (such a
// commit reaches the medium whole or not at all). Until a fault is armed,
// every call must succeed where the model says it can, except for want of
// space.
//
// Input: byte 0 picks the setup (its low two bits the geometry; bit 3 turns
// wear levelling on after every mount, from a cursor that its high four bits
// give and that moves on at each remount), byte 1 max_files, then one call
// per opcode byte with its arguments. DACE_FUZZ_TRACE=1 prints every call
// and result.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dace/dace.h"
#include "fuzz/fuzz_input.h"
#include "sim/flash_sim.h"
#include "tests/checks.h"

namespace {

using dace_check::entry_name;
using dace_fuzz::ByteReader;
using dace_sim::FlashSim;
using dace_sim::Geometry;

// Media of 10 to 24 clusters, so that they fill, and the root moves, within
// a few dozen calls.
constexpr Geometry kGeometries[] = {
    {64, 4, 64},  // 16 clusters of 256 bytes, 7 entries
    {32, 4, 40},  // 10 clusters of 128 bytes, 3 entries
    {128, 2, 48}, // 24 clusters of 256 bytes
    {32, 8, 99},  // 12 clusters of 256 bytes and 3 trailing pages
};

using dace_check::Files;

// A name argument: null, or a string that outlives the call.
struct Name {
    bool null = false;
    std::string text;
    const char *ptr() const { return null ? nullptr : text.c_str(); }
};

struct OpenFile {
    dace_handle h;
    uint32_t id;
    uint32_t pos;
};

bool name_is_valid(const char *name) {
    if (name == nullptr)
        return false;
    const size_t n = std::strlen(name);
    return n >= 1 && n <= 18 && std::strpbrk(name, "/\\") == nullptr;
}

// Wear levelling for a run: off, or on after every mount from a cursor that
// starts at `start` and moves on from mount to mount, as a boot counter
// moves it in firmware.
struct Wear {
    bool on = false;
    uint16_t start = 0;
};

class Run {
public:
    Run(const Geometry &g, uint16_t max_files, Wear wear, ByteReader &in)
        : sim_(g), cfg_(sim_.config(max_files)), in_(in), wear_(wear) {}

    void go() {
        sim_.set_logging(tracing_);
        mount();
        FUZZ_CHECK(s_ != nullptr); // a blank medium is formatted
        durable_.push_back(current_);
        while (!in_.empty() && !ended_) {
            step();
            if (!ended_)
                FUZZ_CHECK_NONE(dace_check::accounting_problems(s_));
        }
        if (!ended_)
            remount();
    }

private:
    __attribute__((format(printf, 2, 3))) void trace(const char *format, ...) {
        if (!tracing_)
            return;
        // The medium calls the library made since the last line.
        static const char *const ops[] = {"read", "write", "erase", "crc", "update"};
        for (const dace_sim::Call &c : sim_.log())
            if (c.op == dace_sim::Op::Read || c.op == dace_sim::Op::Write || c.op == dace_sim::Op::Erase)
                std::fprintf(stderr, "    %s(%u, %u) -> %u\n", ops[static_cast<int>(c.op)], c.addr, c.count, c.result);
        sim_.clear_log();
        va_list args;
        va_start(args, format);
        std::vfprintf(stderr, format, args);
        va_end(args);
        std::fputc('\n', stderr);
    }
    static const char *shown(const char *name) { return name == nullptr ? "(null)" : name; }

    // ---- arguments ----

    uint32_t payload() const { return s_->clus_payload; }

    // A name from a small pool (prefixes of one another, the longest
    // allowed), a refused one, null, or bytes from the input.
    Name pick_name() {
        static const char *const pool[] = {"a", "b", "ab", "abc", "eighteen-byte-name",
                                           "", "nineteen-bytes-name", "a/b", "\\", nullptr};
        const uint8_t pick = in_.u8();
        Name name;
        if (pick < 240) {
            const char *chosen = pool[pick % (sizeof pool / sizeof pool[0])];
            name.null = chosen == nullptr;
            name.text = chosen == nullptr ? "" : chosen;
            return name;
        }
        const uint32_t length = in_.below(21);
        for (uint32_t i = 0; i < length; ++i)
            name.text.push_back(static_cast<char>(1 + in_.below(255)));
        return name;
    }

    // An open handle mostly; else a slot's handle that may be closed or out
    // of range, or any value.
    dace_handle pick_handle() {
        const uint8_t pick = in_.u8();
        if (!open_.empty() && pick < 200)
            return open_[pick % open_.size()].h;
        if (pick < 240)
            return HANDLE_MAGIC ^ (pick % (s_->max_files + 2u));
        return in_.u32();
    }

    // Lengths on and around cluster boundaries, or anything up to three
    // payloads.
    uint32_t pick_count() {
        switch (in_.below(4)) {
        case 0:
            return in_.below(9);
        case 1:
            return payload() - 1 + in_.below(3);
        default:
            return in_.below(3 * payload() + 1);
        }
    }

    // ---- the model ----

    const Files::File *find(const char *name) const { return name == nullptr ? nullptr : current_.find(name); }
    const Files::File &file_of(const OpenFile &o) const { return *current_.by_id(o.id); }
    OpenFile *open_of(dace_handle h) {
        const auto at = std::find_if(open_.begin(), open_.end(), [&](const OpenFile &o) { return o.h == h; });
        return at == open_.end() ? nullptr : &*at;
    }
    bool is_open(uint32_t id) const {
        return std::any_of(open_.begin(), open_.end(), [&](const OpenFile &o) { return o.id == id; });
    }

    // A commit that succeeded makes the current files the only directory a
    // remount may bring back; one that failed adds them as a possibility.
    void committed(bool ok) {
        if (ok)
            durable_.clear();
        const bool known = std::any_of(durable_.begin(), durable_.end(),
                                       [&](const Files &d) { return d == current_; });
        if (!known)
            durable_.push_back(current_);
    }

    // No cluster can be handed out before the next commit: the only reason,
    // short of a fault, to refuse a create, a change by name or a byte of a
    // write.
    bool out_of_space() const { return s_->free_clus <= s_->held_count; }

    // ---- calls ----

    void step() {
        switch (in_.below(16)) {
        case 0:
            return create();
        case 1:
            return open();
        case 2:
            return close();
        case 3:
        case 4:
            return write();
        case 5:
            return flush();
        case 6:
            return read();
        case 7:
            return seek();
        case 8:
            return query_handle();
        case 9:
            return remove();
        case 10:
            return rename();
        case 11:
            return truncate();
        case 12:
            return query_names();
        case 13:
            return remount();
        case 14:
            return arm_fault();
        default:
            return commit_or_misuse();
        }
    }

    void create() {
        const Name picked = pick_name();
        const char *name = picked.ptr();
        const bool refused = !name_is_valid(name) || find(name) != nullptr || current_.size() >= s_->max_entries ||
                             open_.size() >= s_->max_files;
        const dace_handle h = dace_create(s_, name);
        trace("create(%s) -> %#x", shown(name), h);
        if (refused) {
            FUZZ_CHECK(h == 0);
            return;
        }
        if (h == 0) {
            FUZZ_CHECK(faulted_ || out_of_space()); // the root had to move
            return;
        }
        FUZZ_CHECK(open_of(h) == nullptr);
        open_.push_back(OpenFile{h, current_.create(name), 0});
    }

    void open() {
        const Name picked = pick_name();
        const char *name = picked.ptr();
        const Files::File *f = find(name);
        const dace_handle h = dace_open(s_, name);
        trace("open(%s) -> %#x", shown(name), h);
        if (f == nullptr || is_open(f->id()) || open_.size() >= s_->max_files) {
            FUZZ_CHECK(h == 0);
            return;
        }
        FUZZ_CHECK(h != 0 || faulted_); // only a read that fails refuses
        if (h == 0)
            return;
        FUZZ_CHECK(open_of(h) == nullptr);
        open_.push_back(OpenFile{h, f->id(), 0});
    }

    void close() {
        const dace_handle h = pick_handle();
        const int r = dace_close(s_, h);
        trace("close(%#x) -> %d", h, r);
        OpenFile *o = open_of(h);
        if (o == nullptr) {
            FUZZ_CHECK(r == ((h ^ HANDLE_MAGIC) < s_->max_files ? 1 : -1));
            return;
        }
        FUZZ_CHECK(r == 0 || (r == 2 && faulted_));
        committed(r == 0);
        if (r == 0)
            open_.erase(open_.begin() + (o - open_.data()));
    }

    void write() {
        const dace_handle h = pick_handle();
        const uint32_t count = pick_count();
        const bool null_data = in_.u8() == 0xFF;
        std::vector<uint8_t> bytes(count);
        const uint8_t fill = in_.u8();
        for (uint32_t i = 0; i < count; ++i)
            bytes[i] = static_cast<uint8_t>(fill + i * 13 + (i >> 8));
        const uint32_t taken = dace_write(s_, null_data ? nullptr : bytes.data(), count, h);
        trace("write(%#x, %u%s) -> %u", h, count, null_data ? ", null" : "", taken);
        OpenFile *o = open_of(h);
        if (o == nullptr || null_data || o->pos != file_of(*o).size()) {
            FUZZ_CHECK(taken == 0); // writes go only at the end
            return;
        }
        FUZZ_CHECK(taken <= count);
        FUZZ_CHECK(taken == count || faulted_ || out_of_space());
        std::vector<uint8_t> &data = current_.change(o->id);
        data.insert(data.end(), bytes.begin(), bytes.begin() + taken);
        o->pos += taken;
    }

    void flush() {
        const dace_handle h = pick_handle();
        const int r = dace_flush(s_, h);
        trace("flush(%#x) -> %d", h, r);
        if (open_of(h) == nullptr) {
            FUZZ_CHECK(r == -1);
            return;
        }
        FUZZ_CHECK(r == 0 || (r == -1 && faulted_));
        committed(r == 0);
    }

    void read() {
        const dace_handle h = pick_handle();
        const uint32_t count = pick_count();
        const bool null_dst = in_.u8() == 0xFF;
        std::vector<uint8_t> buf(count + 1, 0xCD);
        const uint32_t got = dace_read(s_, null_dst ? nullptr : buf.data(), count, h);
        trace("read(%#x, %u%s) -> %u", h, count, null_dst ? ", null" : "", got);
        FUZZ_CHECK(buf[count] == 0xCD);
        OpenFile *o = open_of(h);
        if (o == nullptr || null_dst) {
            FUZZ_CHECK(got == 0);
            return;
        }
        const std::vector<uint8_t> &data = file_of(*o).bytes();
        FUZZ_CHECK(o->pos <= data.size());
        const uint32_t expected = std::min<uint32_t>(count, static_cast<uint32_t>(data.size() - o->pos));
        FUZZ_CHECK(got == expected || (got < expected && faulted_));
        const bool as_written = std::equal(buf.begin(), buf.begin() + got, data.begin() + o->pos);
        // A cluster holding a page that reads differently each time may read
        // back erased at its first use and be programmed without an erase;
        // the bytes read from it then differ from those written. Outside
        // the medium's promise, as at a remount: the run ends here.
        if (!as_written && unstable_) {
            trace("the medium's unstable page spoiled the bytes a read returned; the run ends");
            ended_ = true;
            return;
        }
        FUZZ_CHECK(as_written);
        o->pos += got;
    }

    void seek() {
        const dace_handle h = pick_handle();
        const int whence = static_cast<int>(in_.below(5)) - 1;
        OpenFile *o = open_of(h);
        const uint32_t size = o == nullptr ? 0u : file_of(*o).size();
        uint32_t offset = in_.u32();
        if (o != nullptr && in_.u8() < 200) // mostly a place within the file
            offset = whence == 1 ? in_.below(uint64_t{size} + 1) - o->pos : in_.below(uint64_t{size} + 1);
        const int r = dace_seek(s_, h, offset, whence);
        trace("seek(%#x, %u, %d) -> %d", h, offset, whence, r);
        if (o == nullptr) {
            FUZZ_CHECK(r == -1);
            return;
        }
        if (whence < 0 || whence > 2) {
            FUZZ_CHECK(r == 1);
            return;
        }
        const uint32_t target = whence == 0 ? offset : whence == 1 ? o->pos + offset : size - offset;
        if (target > size) {
            FUZZ_CHECK(r == 2);
            return;
        }
        FUZZ_CHECK(r == 0 || ((r == 3 || r == -1) && faulted_));
        committed(r != 3);
        if (r == 3)
            return;
        FUZZ_CHECK(dace_tell(s_, h) == target); // even when loading its cluster failed
        o->pos = target;
    }

    void query_handle() {
        const dace_handle h = pick_handle();
        dace_entry e;
        const OpenFile *o = open_of(h);
        if (o == nullptr) {
            FUZZ_CHECK(dace_tell(s_, h) == 0xFFFFFFFFu);
            FUZZ_CHECK(dace_feof(s_, h) == -1);
            FUZZ_CHECK(dace_statf(s_, h, &e) == -1);
            return;
        }
        const Files::File &f = file_of(*o);
        FUZZ_CHECK(dace_tell(s_, h) == o->pos);
        FUZZ_CHECK(dace_feof(s_, h) == (o->pos >= f.size() ? 1 : 0));
        FUZZ_CHECK(dace_statf(s_, h, nullptr) == -1);
        FUZZ_CHECK(dace_statf(s_, h, &e) == 0);
        FUZZ_CHECK(e.size == f.size() && entry_name(e) == f.name());
    }

    // The result of a change by name that the model allows: 0 changed and
    // durable, 3 nothing changed, 4 changed but not yet durable.
    bool change_applies(int r) {
        FUZZ_CHECK(r == 0 || (r == 3 && (faulted_ || out_of_space())) || (r == 4 && faulted_));
        return r != 3;
    }

    void remove() {
        const Name picked = pick_name();
        const char *name = picked.ptr();
        const int r = dace_remove(s_, name);
        trace("remove(%s) -> %d", shown(name), r);
        const Files::File *f = find(name);
        if (f == nullptr || is_open(f->id())) {
            FUZZ_CHECK(r == (f == nullptr ? 1 : 2));
            return;
        }
        if (!change_applies(r))
            return;
        current_.remove(name);
        committed(r == 0);
    }

    void rename() {
        const Name old_picked = pick_name();
        const Name new_picked = pick_name();
        const char *new_name = new_picked.ptr();
        const bool replace = (in_.u8() & 1) != 0;
        const int r = replace ? dace_rename_replace(s_, old_picked.ptr(), new_name)
                              : dace_rename(s_, old_picked.ptr(), new_name);
        trace("rename%s(%s, %s) -> %d", replace ? "_replace" : "", shown(old_picked.ptr()), shown(new_name), r);
        const Files::File *f = find(old_picked.ptr());
        if (f == nullptr || !name_is_valid(new_name)) {
            FUZZ_CHECK(r == (f == nullptr ? 1 : 2));
            return;
        }
        const Files::File *bearer = replace ? find(new_name) : nullptr;
        if (bearer == f)
            bearer = nullptr;
        if (bearer != nullptr && is_open(bearer->id())) {
            FUZZ_CHECK(r == 2);
            return;
        }
        if (!change_applies(r))
            return;
        if (replace)
            current_.rename_replace(old_picked.text, new_name);
        else
            current_.rename(old_picked.text, new_name);
        committed(r == 0);
    }

    void truncate() {
        const Name picked = pick_name();
        const char *name = picked.ptr();
        const Files::File *f = find(name);
        const uint32_t size = f == nullptr ? 0 : f->size();
        const uint32_t length = in_.u8() < 230 ? in_.below(uint64_t{size} + 1) : in_.u32();
        const int r = dace_truncate(s_, name, length);
        trace("truncate(%s, %u) -> %d", shown(name), length, r);
        if (f == nullptr || length > size) {
            FUZZ_CHECK(r == (f == nullptr ? 1 : 2));
            return;
        }
        if (!change_applies(r))
            return;
        const uint32_t id = f->id();
        current_.truncate(name, length);
        for (OpenFile &o : open_)
            if (o.id == id)
                o.pos = std::min(o.pos, length);
        committed(r == 0);
    }

    // stat by name, the directory walk and the free space.
    void query_names() {
        const Name picked = pick_name();
        const char *name = picked.ptr();
        dace_entry e;
        const Files::File *f = find(name);
        dace_entry *out = in_.u8() == 0xFF ? nullptr : &e;
        const int r = dace_stat(s_, name, out);
        FUZZ_CHECK(r == (name == nullptr || out == nullptr ? -1 : f == nullptr ? 1 : 0));
        if (r == 0)
            FUZZ_CHECK(e.size == f->size() && entry_name(e) == f->name());
        FUZZ_CHECK_NONE(dace_check::listing_difference(s_, current_));
        uint32_t total = 0;
        FUZZ_CHECK(dace_getfreespace(s_, &total) <= total);
    }

    void mount() {
        block_.assign(dace_getstatesize(&cfg_) / 8 + 1, 0xA5A5A5A5A5A5A5A5ull);
        s_ = dace_init(&cfg_, block_.data());
        if (s_ != nullptr && wear_.on) {
            const auto cursor = static_cast<uint16_t>(wear_.start + 7u * mounts_);
            dace_level_wear(s_, cursor);
            trace("level_wear(%u)", cursor);
        }
        ++mounts_;
    }

    // The power goes (or the application restarts): the volume must come
    // back as one of the directories the commits so far allow.
    void remount() {
        // A page the power cut left part-programmed reads differently each
        // time from now on (it holds nothing committed).
        if (!sim_.powered() && sim_.torn_page() != UINT32_MAX) {
            sim_.make_unstable(sim_.torn_page(), in_.u8() + 1u);
            unstable_ = true;
        }
        sim_.reboot();
        mount();
        trace("remount -> %s; %zu directories possible", s_ == nullptr ? "refused" : "mounted", durable_.size());
        if (tracing_ && s_ != nullptr)
            trace_directories();
        // Files not yet committed come back empty, if at all: the listing
        // with contents identifies the directory.
        const auto match = s_ == nullptr ? durable_.end() : std::find_if(durable_.begin(), durable_.end(), [&](const Files &d) {
            return dace_check::volume_difference(s_, d).empty();
        });
        // A page that reads differently each time breaks the medium's
        // promise (a read returns what was programmed): a cluster it spoils
        // may read back erased once and be programmed over. What it costs is
        // outside the contract; only memory safety stays checked, so the run
        // ends here.
        if (unstable_ && match == durable_.end()) {
            trace("the medium's unstable page cost the volume its state; the run ends");
            ended_ = true;
            return;
        }
        FUZZ_CHECK(s_ != nullptr);
        FUZZ_CHECK(match != durable_.end());
        open_.clear();
        faulted_ = false;
        current_ = *match;
        durable_.assign(1, current_);
    }

    void trace_directories() {
        for (const Files &d : durable_)
            trace("  possible: %s", dace_check::sizes(d).c_str());
        std::string line = "  mounted: ";
        dace_dir dir;
        for (const dace_entry *e = dace_readdir(s_, dace_opendir(s_, &dir)); e != nullptr; e = dace_readdir(s_, &dir))
            line += " " + entry_name(*e) + ":" + std::to_string(e->size);
        trace("%s", line.c_str());
    }

    void arm_fault() {
        faulted_ = true;
        const uint64_t nth = 1 + in_.below(8);
        const uint32_t kind = in_.below(6);
        trace("fault %u, nth %u", kind, static_cast<unsigned>(nth));
        switch (kind) {
        case 0:
            sim_.fail_write(nth, in_.below(uint64_t{s_->clus_size} + 1));
            break;
        case 1:
            sim_.fail_read(nth, in_.below(uint64_t{s_->clus_size} + 1));
            break;
        case 2:
        {
            // A failing erase, whether or not it erased: one that reports
            // success without erasing is a medium no file system can trust.
            const uint32_t result = in_.below(2) * 2;
            sim_.fail_erase(nth, result, in_.u8() < 128);
        }
            break;
        case 3:
            sim_.cut_after_bytes(in_.below(4u * s_->clus_size));
            break;
        case 4:
            sim_.cut_in_erase(nth, in_.u8() / 255.0);
            break;
        default:
            sim_.wear_out(in_.below(sim_.cluster_count()));
            break;
        }
    }

    // A root commit by itself, or calls with null pointers that must be
    // refused without effect.
    void commit_or_misuse() {
        switch (in_.below(3)) {
        case 0: {
            const int r = dace_commit_root(s_);
            trace("commit_root -> %d", r);
            FUZZ_CHECK(r == 0 || (r == -1 && faulted_));
            committed(r == 0);
            return;
        }
        case 1: {
            FUZZ_CHECK(dace_opendir(s_, nullptr) == nullptr);
            FUZZ_CHECK(dace_readdir(s_, nullptr) == nullptr);
            FUZZ_CHECK(dace_getstatesize(nullptr) == 0);
            FUZZ_CHECK(dace_init(nullptr, block_.data()) == nullptr);
            FUZZ_CHECK(dace_init(&cfg_, nullptr) == nullptr);
            return;
        }
        default: {
            dace_dir dir;
            dace_opendir(s_, &dir);
            // The walk sees changes at once and never runs past the table.
            uint32_t seen = 0;
            while (dace_readdir(s_, &dir) != nullptr)
                ++seen;
            FUZZ_CHECK(seen == current_.size());
            return;
        }
        }
    }

    FlashSim sim_;
    dace_config cfg_;
    ByteReader &in_;
    Wear wear_;
    uint32_t mounts_ = 0;
    std::vector<uint64_t> block_;
    dace_state *s_ = nullptr;

    Files current_;
    std::vector<Files> durable_;
    std::vector<OpenFile> open_;
    bool faulted_ = false; // a fault was armed since the last mount
    bool unstable_ = false; // some page reads differently each time
    bool ended_ = false;    // the run stopped where the medium broke its promise
    bool tracing_ = std::getenv("DACE_FUZZ_TRACE") != nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteReader in(data, size);
    const uint8_t setup = in.u8();
    const Geometry &g = kGeometries[setup % (sizeof kGeometries / sizeof kGeometries[0])];
    const Wear wear{(setup & 0x08u) != 0, static_cast<uint16_t>(3u * (setup >> 4))};
    const auto max_files = static_cast<uint16_t>(1 + in.u8() % 4);
    Run(g, max_files, wear, in).go();
    return 0;
}
