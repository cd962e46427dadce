// Model-based random runs of the whole file interface: create, open, write,
// flush, seek, read, close, remove, rename, truncate, stat and directory
// walks, and remounts, against the model of the files (tests/checks.h) in
// table order. A commit (flush, seek, close, or a change by name) makes every
// change so far durable at once, so the model keeps the committed directory
// apart from the current one, and a remount must bring back exactly the
// committed one. Every geometry runs in both allocation modes, first fit
// and wear levelling (the test's name ends in the mode). Replay a failure
// with DACE_TEST_SEED=<seed> and the filter it prints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

struct Case {
    const char *label;
    Geometry geometry;
    uint16_t max_files;
    int steps;
    bool level_wear = false;
};

std::string name_of(const Case &c) { return std::string(c.label) + "_" + mode_label(c.level_wear); }
void PrintTo(const Case &c, std::ostream *os) { *os << name_of(c); }


struct Open {
    dace_handle h;
    uint32_t id;
    uint32_t pos;
};

// A medium that has been full this many steps is retired for a fresh one,
// so every run spends most of its time with room to write.
constexpr int kRetireAfter = 150;

class Model {
public:
    Model(const Case &c, uint32_t seed) : case_(c), rng_(seed), wear_start_(static_cast<uint16_t>(seed >> 8)) {
        fresh_volume();
        if (vol_->s == nullptr)
            return;
        // Names that are prefixes of one another, up to the 18-byte limit.
        const uint32_t pool = std::min<uint32_t>(directory_room() + 2u, 9u);
        for (uint32_t i = 0; i + 1 < pool; ++i)
            names_.push_back("n" + std::string(i, '_'));
        names_.push_back("n" + std::string(17, '_'));
        invalid_ = {"", "n" + std::string(18, '_'), "n/", "\\n"};
    }

    void run() {
        for (step_ = 0; step_ < case_.steps && !::testing::Test::HasFailure(); ++step_) {
            step();
            if (full_)
                ++steps_full_;
            if (!::testing::Test::HasFailure()) {
                EXPECT_EQ(accounting_problems(s()), "");
                expect_free_space(current_);
                EXPECT_EQ(listing_difference(s(), current_), "");
            }
        }
        if (!::testing::Test::HasFailure())
            remount();
        if (!::testing::Test::HasFailure())
            remove_everything();
        EXPECT_EQ(vol_->sim.counters().overwrites, 0u);
        if (::testing::Test::HasFailure()) {
            std::string trail;
            for (const std::string &line : history_)
                trail += "  " + line + "\n";
            ADD_FAILURE() << "last operations:\n" << trail;
        }
        std::printf("[ model ] %s: %u bytes taken, %u short writes, %u removed, %u renamed, %u truncated, "
                    "%u remounts, %u volumes\n",
                    name_of(case_).c_str(), bytes_taken_, short_writes_, removed_, renamed_, truncated_, remounts_,
                    volumes_);
        if (!::testing::Test::HasFailure()) {
            EXPECT_GT(bytes_taken_, 0u) << "the run wrote nothing";
            EXPECT_GT(short_writes_, 0u) << "the run never filled the medium";
            EXPECT_GT(removed_ * renamed_ * truncated_, 0u) << "the run left out a change by name";
        }
    }

private:
    dace_state *s() const { return vol_->s; }
    // Entries a directory holds: as many as a root copy that fills its
    // cluster takes behind its header.
    uint32_t directory_room() const {
        const uint32_t clus_bytes = uint32_t{case_.geometry.page_size} * case_.geometry.clus_pages;
        return (clus_bytes - uint32_t{sizeof(dace_root)}) / uint32_t{sizeof(dace_entry)};
    }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    void note(const std::string &what) {
        history_.push_back(std::to_string(step_) + ": " + what);
        if (history_.size() > 30)
            history_.pop_front();
    }

    void step() {
        uint32_t r = below(100);
        // Until the medium first fills, most removals and truncations give
        // way to writes, so that every volume also runs full and reuses
        // clusters that files gave back.
        if (!full_ && ((r >= 77 && r < 82) || (r >= 86 && r < 91)) && below(4) != 0)
            r = 21;
        if (r < 7)
            create();
        else if (r < 14)
            open();
        else if (r < 21)
            with_handle(&Model::close);
        else if (r < 46)
            with_handle(&Model::write);
        else if (r < 50)
            with_handle(&Model::flush);
        else if (r < 60)
            with_handle(&Model::seek);
        else if (r < 77)
            with_handle(&Model::read);
        else if (r < 82)
            remove();
        else if (r < 86)
            rename();
        else if (r < 91)
            truncate();
        else if (r < 95)
            query();
        else if (r < 98)
            remount();
        else
            misuse();
    }

    // Runs `op` on a random open handle, or opens or creates one instead.
    void with_handle(void (Model::*op)(Open &)) {
        if (open_.empty())
            return below(2) == 0 ? create() : open();
        (this->*op)(open_[below(static_cast<uint32_t>(open_.size()))]);
    }

    // The lookup rule: the first file in table order that bears the name.
    const Files::File *find(const std::string &name) const { return current_.find(name); }
    const Files::File &file_of(const Open &o) const { return *current_.by_id(o.id); }
    bool is_open(uint32_t id) const {
        return std::any_of(open_.begin(), open_.end(), [&](const Open &o) { return o.id == id; });
    }
    bool is_valid(const std::string &name) const {
        return std::find(names_.begin(), names_.end(), name) != names_.end();
    }

    const std::string &pick_name() {
        return below(10) == 0 ? invalid_[below(static_cast<uint32_t>(invalid_.size()))]
                              : names_[below(static_cast<uint32_t>(names_.size()))];
    }

    // Sizes that land on and next to cluster boundaries: tiny, about one
    // payload, up to the end of the current cluster, or several payloads.
    uint32_t pick_size(uint32_t size) {
        const uint32_t payload = s()->clus_payload;
        switch (below(6)) {
        case 0:
        case 1:
            return below(9);
        case 2:
            return payload - 1 + below(3);
        case 3:
            return payload - size % payload;
        case 4:
            return below(3 * payload + 1);
        default: {
            const uint32_t whole = 2 + below(3);
            return payload * whole + below(3) - 1;
        }
        }
    }

    void commit() { durable_ = current_; }

    void check_position(const Open &o) {
        const Files::File &f = file_of(o);
        const uint32_t size = f.size();
        EXPECT_EQ(dace_tell(s(), o.h), o.pos) << f.name();
        EXPECT_EQ(dace_feof(s(), o.h), o.pos == size ? 1 : 0) << f.name() << " at " << o.pos << " of " << size;
    }

    void create() {
        const std::string name = pick_name();
        const bool expected = is_valid(name) && find(name) == nullptr && current_.size() < size_t{directory_room()} &&
                              open_.size() < size_t{case_.max_files};
        const dace_handle h = dace_create(s(), name.c_str());
        note("create '" + name + "' -> " + std::to_string(h));
        if (h == 0) {
            // Staging the directory may find no cluster, but only on a full medium.
            EXPECT_TRUE(!expected || full_) << "create '" << name << "' refused";
            EXPECT_EQ(dace_find_file(s(), name.c_str()) >= 0, find(name) != nullptr) << name;
            return;
        }
        ASSERT_TRUE(expected) << "create '" << name << "' accepted";
        open_.push_back({h, current_.create(name), 0});
        EXPECT_EQ(dace_find_file(s(), name.c_str()), static_cast<int>(current_.size() - 1)) << name;
        check_position(open_.back());
    }

    void open() {
        const std::string name = pick_name();
        const Files::File *f = find(name);
        const bool expected = f != nullptr && !is_open(f->id()) && open_.size() < size_t{case_.max_files};
        const dace_handle h = dace_open(s(), name.c_str());
        note("open '" + name + "' -> " + std::to_string(h));
        if (!expected) {
            EXPECT_EQ(h, 0u) << "open '" << name << "'";
            return;
        }
        ASSERT_NE(h, 0u) << "open '" << name << "' refused";
        for (const Open &o : open_)
            ASSERT_NE(o.h, h) << "handle of '" << file_of(o).name() << "' given again";
        open_.push_back({h, f->id(), 0});
        check_position(open_.back());
    }

    void close(Open &o) {
        const int r = dace_close(s(), o.h);
        note("close '" + file_of(o).name() + "' -> " + std::to_string(r));
        ASSERT_EQ(r, 0) << "close '" << file_of(o).name() << "'";
        commit();
        open_.erase(open_.begin() + (&o - open_.data()));
    }

    void flush(Open &o) {
        const int r = dace_flush(s(), o.h);
        note("flush '" + file_of(o).name() + "' -> " + std::to_string(r));
        ASSERT_EQ(r, 0) << "flush '" << file_of(o).name() << "'";
        commit();
        check_position(o);
    }

    void write(Open &o) {
        const uint32_t size = file_of(o).size();
        // Mostly move to the end first; the rest checks the refusal.
        if (o.pos != size && below(4) != 0)
            seek_to(o, size, below(2) == 0 ? 0 : 2);
        if (::testing::Test::HasFatalFailure())
            return;
        const uint32_t n = pick_size(size);
        std::vector<uint8_t> bytes(n);
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(rng_());
        // Clusters a write may need: its payloads rounded up, one to carry
        // the newest cluster over, and one a root move holds back.
        const uint32_t room = s()->free_clus > s()->held_count ? s()->free_clus - s()->held_count : 0u;
        const uint32_t needed = n / s()->clus_payload + 3;
        const uint32_t took = dace_write(s(), bytes.data(), n, o.h);
        note("write '" + file_of(o).name() + "' at " + std::to_string(o.pos) + " of " + std::to_string(size) + ", " +
             std::to_string(n) + " -> " + std::to_string(took));
        if (o.pos != size) {
            EXPECT_EQ(took, 0u) << "write before the end of '" << file_of(o).name() << "'";
        } else {
            ASSERT_LE(took, n);
            if (took < n) {
                EXPECT_LT(room, needed) << "write to '" << file_of(o).name() << "' fell short with clusters to spare";
                full_ = true;
                ++short_writes_;
            }
            std::vector<uint8_t> &data = current_.change(o.id);
            data.insert(data.end(), bytes.begin(), bytes.begin() + took);
            o.pos = static_cast<uint32_t>(data.size());
            bytes_taken_ += took;
        }
        check_position(o);
    }

    void read(Open &o) {
        const Files::File &f = file_of(o);
        const uint32_t size = f.size();
        const uint32_t n = below(4) == 0 ? size - o.pos + below(3) : pick_size(o.pos);
        std::vector<uint8_t> buf(size_t{n} + 4, 0xC3);
        const uint32_t got = dace_read(s(), buf.data(), n, o.h);
        note("read '" + f.name() + "' at " + std::to_string(o.pos) + " of " + std::to_string(size) + ", " +
             std::to_string(n) + " -> " + std::to_string(got));
        ASSERT_EQ(got, std::min(n, size - o.pos)) << "read of '" << f.name() << "'";
        const auto mismatch = std::mismatch(buf.begin(), buf.begin() + got, f.bytes().begin() + o.pos);
        EXPECT_EQ(mismatch.first, buf.begin() + got)
            << "'" << f.name() << "' differs at byte " << o.pos + (mismatch.first - buf.begin());
        EXPECT_TRUE(std::all_of(buf.begin() + got, buf.end(), [](uint8_t b) { return b == 0xC3; }))
            << "read of '" << f.name() << "' wrote past the bytes it returned";
        o.pos += got;
        check_position(o);
    }

    // Targets at the ends, on and next to cluster boundaries, anywhere
    // inside, and beyond the end (also wrapped below zero).
    uint32_t pick_target(uint32_t size) {
        const uint32_t payload = s()->clus_payload;
        switch (below(7)) {
        case 0:
            return 0;
        case 1:
            return size;
        case 2:
        case 3: {
            const uint32_t boundary = below(size / payload + 2) * payload;
            return boundary + below(3) - 1;
        }
        case 4:
            return below(size + 1);
        case 5:
            return size + 1 + below(payload);
        default:
            return 0xFFFFFFFFu - below(2);
        }
    }

    void seek(Open &o) {
        const uint32_t kind = below(20);
        const int whence = kind < 9 ? 0 : kind < 14 ? 1 : kind < 19 ? 2 : (below(2) == 0 ? 3 : -1);
        seek_to(o, pick_target(file_of(o).size()), whence);
    }

    void seek_to(Open &o, uint32_t target, int whence) {
        const uint32_t size = file_of(o).size();
        const uint32_t offset = whence == 1 ? target - o.pos : whence == 2 ? size - target : target;
        const int r = dace_seek(s(), o.h, offset, whence);
        note("seek '" + file_of(o).name() + "' from " + std::to_string(o.pos) + " of " + std::to_string(size) + ", " +
             std::to_string(offset) + " whence " + std::to_string(whence) + " -> " + std::to_string(r));
        const int expected = (whence < 0 || whence > 2) ? 1 : target > size ? 2 : 0;
        ASSERT_EQ(r, expected) << "seek of '" << file_of(o).name() << "' to " << target;
        if (r == 0) {
            commit();
            o.pos = target;
        }
        check_position(o);
    }

    // A change by name is committed before it returns; refusing it for want
    // of a cluster is allowed only on a full medium, and changes nothing.
    bool changed_by_name(const std::string &what, int r) {
        note(what + " -> " + std::to_string(r));
        if (r == 3) {
            EXPECT_TRUE(full_) << what << " found no cluster";
            return false;
        }
        EXPECT_EQ(r, 0) << what;
        return r == 0;
    }

    void remove() {
        const std::string name = pick_name();
        const Files::File *f = find(name);
        const int r = dace_remove(s(), name.c_str());
        if (f == nullptr || is_open(f->id())) {
            note("remove '" + name + "' -> " + std::to_string(r));
            EXPECT_EQ(r, f == nullptr ? 1 : 2) << "remove '" << name << "'";
            return;
        }
        if (!changed_by_name("remove '" + name + "'", r))
            return;
        current_.remove(name);
        commit();
        ++removed_;
        // Handles of later files now name one position lower.
        for (const Open &o : open_)
            check_position(o);
    }

    void rename() {
        const std::string from = pick_name();
        // Mostly a name no file bears; sometimes another file's, which is
        // allowed and leaves two files with one name.
        std::string to = pick_name();
        for (int tries = 0; tries < 3 && find(to) != nullptr && below(3) != 0; ++tries)
            to = pick_name();
        const Files::File *f = find(from);
        const int r = dace_rename(s(), from.c_str(), to.c_str());
        const std::string what = "rename '" + from + "' to '" + to + "'";
        if (f == nullptr || !is_valid(to)) {
            note(what + " -> " + std::to_string(r));
            EXPECT_EQ(r, f == nullptr ? 1 : 2) << what;
            return;
        }
        if (!changed_by_name(what, r))
            return;
        current_.rename(from, to);
        commit();
        ++renamed_;
    }

    void truncate() {
        const std::string name = pick_name();
        const Files::File *f = find(name);
        const uint32_t size = f == nullptr ? 0u : f->size();
        uint32_t length = 0;
        switch (below(5)) {
        case 0:
            length = size;
            break;
        case 1:
            length = size + 1 + below(3);
            break;
        case 2:
            length = 0;
            break;
        default:
            length = below(size + 1);
            // On and next to cluster boundaries half the time.
            if (below(2) == 0 && length >= s()->clus_payload)
                length = std::min(size, length / s()->clus_payload * s()->clus_payload + below(3) - 1);
        }
        const int r = dace_truncate(s(), name.c_str(), length);
        const std::string what = "truncate '" + name + "' of " + std::to_string(size) + " to " + std::to_string(length);
        if (f == nullptr || length > size) {
            note(what + " -> " + std::to_string(r));
            EXPECT_EQ(r, f == nullptr ? 1 : 2) << what;
            return;
        }
        if (!changed_by_name(what, r))
            return;
        const uint32_t id = f->id();
        current_.truncate(name, length);
        commit();
        ++truncated_;
        for (Open &o : open_) {
            if (o.id == id)
                o.pos = std::min(o.pos, length);
            check_position(o);
        }
    }

    // Stat by name and by handle, and a full walk of the directory; none
    // of them may touch the medium.
    void query() {
        const uint64_t calls = callback_calls();
        const std::string name = pick_name();
        const Files::File *f = find(name);
        dace_entry e{};
        const int r = dace_stat(s(), name.c_str(), &e);
        note("stat '" + name + "' -> " + std::to_string(r));
        EXPECT_EQ(r, f == nullptr ? 1 : 0) << "stat '" << name << "'";
        if (f != nullptr && r == 0) {
            EXPECT_EQ(e.size, f->size()) << "stat '" << name << "'";
        }
        for (const Open &o : open_) {
            ASSERT_EQ(dace_statf(s(), o.h, &e), 0) << "statf of '" << file_of(o).name() << "'";
            EXPECT_EQ(entry_name(e), file_of(o).name());
            EXPECT_EQ(e.size, file_of(o).size()) << "statf of '" << file_of(o).name() << "'";
        }
        EXPECT_EQ(listing_difference(s(), current_), "");
        EXPECT_EQ(callback_calls(), calls) << "a query called back";
    }

    uint64_t callback_calls() const {
        const dace_sim::Counters &c = vol_->sim.counters();
        return c.read_calls + c.write_calls + c.erase_calls + c.crc_calls + c.update_calls;
    }

    // Handles of closed slots, out of range and 0 are refused and change nothing.
    void misuse() {
        std::vector<dace_handle> bad = {0, HANDLE_MAGIC ^ case_.max_files};
        for (uint32_t i = 0; i < case_.max_files; ++i)
            if (!std::any_of(open_.begin(), open_.end(), [i](const Open &o) { return o.h == (HANDLE_MAGIC ^ i); }))
                bad.push_back(HANDLE_MAGIC ^ i);
        const dace_handle h = bad[below(static_cast<uint32_t>(bad.size()))];
        note("misuse of handle " + std::to_string(h));
        const bool closed_slot = (h ^ HANDLE_MAGIC) < case_.max_files;
        uint8_t byte = 0x5A;
        dace_entry e{};
        e.size = 0x1234;
        EXPECT_EQ(dace_write(s(), &byte, 1, h), 0u);
        EXPECT_EQ(dace_read(s(), &byte, 1, h), 0u);
        EXPECT_EQ(dace_flush(s(), h), -1);
        EXPECT_EQ(dace_seek(s(), h, 0, DACE_SEEK_SET), DACE_SEEK_FAILED);
        EXPECT_EQ(dace_tell(s(), h), 0xFFFFFFFFu);
        EXPECT_EQ(dace_feof(s(), h), -1);
        EXPECT_EQ(dace_statf(s(), h, &e), -1);
        EXPECT_EQ(e.size, 0x1234u);
        EXPECT_EQ(dace_close(s(), h), closed_slot ? 1 : -1);
    }

    void remount() {
        note("remount");
        ++remounts_;
        open_.clear();
        vol_->sim.reboot();
        ASSERT_NE(vol_->mount(), nullptr) << "remount refused";
        verify_durable();
        if (full_ && steps_full_ > kRetireAfter) {
            remove_everything();
            EXPECT_EQ(vol_->sim.counters().overwrites, 0u);
            fresh_volume();
        }
    }

    // Every file removed, the volume offers again exactly the space of a
    // freshly formatted one, also after a remount.
    void remove_everything() {
        for (const Open &o : open_)
            ASSERT_EQ(dace_close(s(), o.h), DACE_OK);
        open_.clear();
        while (!current_.empty()) {
            const std::string name = current_.begin()->name(); // the first that bears it
            ASSERT_EQ(dace_remove(s(), name.c_str()), DACE_OK) << "remove '" << name << "' when emptying the volume";
            current_.remove(name);
        }
        commit();
        note("removed every file");
        Volume blank(case_.geometry, case_.max_files);
        ASSERT_NE(blank.mount(), nullptr);
        const uint32_t fresh = dace_getfreespace(blank.s, nullptr);
        EXPECT_EQ(dace_getfreespace(s(), nullptr), fresh) << "space lost over the run";
        vol_->sim.reboot();
        ASSERT_NE(vol_->mount(), nullptr) << "remount of the emptied volume refused";
        EXPECT_EQ(dace_getfreespace(s(), nullptr), fresh) << "space lost over the run, after a remount";
        EXPECT_EQ(listing_difference(s(), Files{}), "");
    }

    void fresh_volume() {
        vol_ = std::make_unique<Volume>(case_.geometry, case_.max_files);
        vol_->committed = &durable_; // its end-of-test check compares the medium with it
        vol_->sim.set_strict(true);
        if (case_.level_wear)
            vol_->level_wear = static_cast<uint16_t>(wear_start_ + volumes_);
        ASSERT_NE(vol_->mount(), nullptr) << "format refused";
        ++volumes_;
        current_ = Files{};
        durable_ = Files{};
        full_ = false;
        steps_full_ = 0;
        note("fresh volume");
        verify_durable();
    }

    // Files grow only at their end, so each fills whole payloads but its
    // last: every cluster beyond those, the root's and the reserve counts as
    // free, also between remounts (released ones while held).
    void expect_free_space(const Files &files) {
        uint32_t used = 1;
        for (const Files::File &f : files)
            used += (f.size() + s()->clus_payload - 1u) / s()->clus_payload;
        const uint32_t free_clusters = uint32_t{s()->clus_count} - kReservedClusters - used;
        EXPECT_EQ(dace_getfreespace(s(), nullptr), free_clusters * s()->clus_size) << "clusters leaked";
    }

    // The volume holds exactly the committed files, in their order; the
    // model's current files become those.
    void verify_durable() {
        EXPECT_EQ((s()->options & DACE_OPT_LEVEL_WEAR) != 0, case_.level_wear) << "allocation mode after a mount";
        expect_free_space(durable_);
        EXPECT_EQ(listing_difference(s(), durable_), "") << "after remount";
        current_ = durable_;
        for (const std::vector<std::string> *list : {&names_, &invalid_})
            for (const std::string &name : *list)
                EXPECT_EQ(dace_find_file(s(), name.c_str()), current_.index_of(name)) << "'" << name << "'";
        // Every file read whole, but one that shares its name with an
        // earlier one: it cannot be opened by name, and the listing has
        // checked its size.
        EXPECT_EQ(volume_difference(s(), durable_), "") << "after remount";
    }

    Case case_;
    std::mt19937 rng_;
    uint16_t wear_start_; // the first volume's cursor, in wear-levelling mode
    std::vector<std::string> names_, invalid_;
    Files current_, durable_;
    std::unique_ptr<Volume> vol_; // after durable_, which it refers to until it goes
    std::vector<Open> open_;
    std::deque<std::string> history_;
    int step_ = 0;
    bool full_ = false; // a write fell short on this medium
    int steps_full_ = 0;
    uint32_t bytes_taken_ = 0, short_writes_ = 0, remounts_ = 0, volumes_ = 0;
    uint32_t removed_ = 0, renamed_ = 0, truncated_ = 0;
};

class FileModel : public ::testing::TestWithParam<Case> {};

TEST_P(FileModel, RandomRunsMatchTheModelAcrossRemounts) {
    const uint32_t seed = test_seed(0x5EED0F11u);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with DACE_TEST_SEED=" + std::to_string(seed) +
                 " --gtest_filter='Geometries/FileModel.*/" + name_of(GetParam()) + "')");
    RecordProperty("seed", std::to_string(seed));
    std::printf("[ model ] %s: seed %u\n", name_of(GetParam()).c_str(), seed);
    Model model(GetParam(), seed);
    if (!HasFailure())
        model.run();
}

INSTANTIATE_TEST_SUITE_P(Geometries, FileModel,
                         ::testing::ValuesIn(dace_test::in_both_modes({Case{"SmallNor", {256, 8, 1024}, 4, 4000},
                                                                       Case{"PagePerCluster", {256, 1, 64}, 3, 4000},
                                                                       Case{"Smallest", {32, 2, 16}, 3, 3000},
                                                                       Case{"Nand", {2048, 4, 256}, 4, 3000}})),
                         [](const ::testing::TestParamInfo<Case> &param) { return name_of(param.param); });

} // namespace
