// Model-based random runs of the file layer: create, open, write, flush,
// seek, read, close and remount against plain in-memory copies of the files.
// A commit (flush, seek, close) makes every open file's data and every
// creation durable at once, so the model keeps the committed files apart
// from the current ones, and a remount must bring back exactly the committed
// ones. Replay a failure with DACE_TEST_SEED=<seed> and the geometry's filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

using Files = std::map<std::string, std::vector<uint8_t>>;

struct Case {
    const char *label;
    Geometry geometry;
    uint16_t max_files;
    int steps;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.label; }

struct Open {
    dace_handle h;
    std::string name;
    uint32_t pos;
};

// A medium that has been full this many steps is retired for a fresh one,
// so every run spends most of its time with room to write.
constexpr int kRetireAfter = 150;

class Model {
public:
    Model(const Case &c, uint32_t seed) : case_(c), rng_(seed) {
        fresh_volume();
        if (vol_->s == nullptr)
            return;
        // Names that are prefixes of one another, up to the 18-byte limit.
        const uint32_t pool = std::min<uint32_t>(s()->max_entries + 2u, 9u);
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
                expect_free_count_matches_table(s());
                expect_free_space(current_);
            }
        }
        if (!::testing::Test::HasFailure())
            remount();
        EXPECT_EQ(vol_->sim.counters().overwrites, 0u);
        if (::testing::Test::HasFailure()) {
            std::string trail;
            for (const std::string &line : history_)
                trail += "  " + line + "\n";
            ADD_FAILURE() << "last operations:\n" << trail;
        }
        std::printf("[ model ] %s: %u bytes taken, %u short writes, %u remounts, %u volumes\n", case_.label,
                    bytes_taken_, short_writes_, remounts_, volumes_);
        if (!::testing::Test::HasFailure()) {
            EXPECT_GT(bytes_taken_, 0u) << "the run wrote nothing";
            EXPECT_GT(short_writes_, 0u) << "the run never filled the medium";
        }
    }

private:
    dace_state *s() const { return vol_->s; }
    uint32_t below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    void note(const std::string &what) {
        history_.push_back(std::to_string(step_) + ": " + what);
        if (history_.size() > 30)
            history_.pop_front();
    }

    void step() {
        const uint32_t r = below(100);
        if (r < 8)
            create();
        else if (r < 16)
            open();
        else if (r < 24)
            with_handle(&Model::close);
        else if (r < 54)
            with_handle(&Model::write);
        else if (r < 59)
            with_handle(&Model::flush);
        else if (r < 72)
            with_handle(&Model::seek);
        else if (r < 94)
            with_handle(&Model::read);
        else if (r < 97)
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

    bool is_open(const std::string &name) const {
        return std::any_of(open_.begin(), open_.end(), [&](const Open &f) { return f.name == name; });
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

    void check_position(const Open &f) {
        const auto size = static_cast<uint32_t>(current_[f.name].size());
        EXPECT_EQ(dace_tell(s(), f.h), f.pos) << f.name;
        EXPECT_EQ(dace_feof(s(), f.h), f.pos == size ? 1 : 0) << f.name << " at " << f.pos << " of " << size;
    }

    void create() {
        const std::string name = pick_name();
        const bool valid = std::find(names_.begin(), names_.end(), name) != names_.end();
        const bool expected = valid && current_.count(name) == 0 && current_.size() < size_t{s()->max_entries} &&
                              open_.size() < size_t{case_.max_files};
        const dace_handle h = dace_create(s(), name.c_str());
        note("create '" + name + "' -> " + std::to_string(h));
        if (h == 0) {
            // Staging the directory may find no cluster, but only on a full medium.
            EXPECT_TRUE(!expected || full_) << "create '" << name << "' refused";
            EXPECT_EQ(dace_find_file(s(), name.c_str()) >= 0, current_.count(name) == 1) << name;
            return;
        }
        ASSERT_TRUE(expected) << "create '" << name << "' accepted";
        current_[name] = {};
        open_.push_back({h, name, 0});
        EXPECT_GE(dace_find_file(s(), name.c_str()), 0) << name;
        check_position(open_.back());
    }

    void open() {
        const std::string name = pick_name();
        const bool expected = current_.count(name) == 1 && !is_open(name) && open_.size() < size_t{case_.max_files};
        const dace_handle h = dace_open(s(), name.c_str());
        note("open '" + name + "' -> " + std::to_string(h));
        if (!expected) {
            EXPECT_EQ(h, 0u) << "open '" << name << "'";
            return;
        }
        ASSERT_NE(h, 0u) << "open '" << name << "' refused";
        for (const Open &f : open_)
            ASSERT_NE(f.h, h) << "handle of '" << f.name << "' given again";
        open_.push_back({h, name, 0});
        check_position(open_.back());
    }

    void close(Open &f) {
        const int r = dace_close(s(), f.h);
        note("close '" + f.name + "' -> " + std::to_string(r));
        ASSERT_EQ(r, 0) << "close '" << f.name << "'";
        commit();
        open_.erase(open_.begin() + (&f - open_.data()));
    }

    void flush(Open &f) {
        const int r = dace_flush(s(), f.h);
        note("flush '" + f.name + "' -> " + std::to_string(r));
        ASSERT_EQ(r, 0) << "flush '" << f.name << "'";
        commit();
        check_position(f);
    }

    void write(Open &f) {
        std::vector<uint8_t> &data = current_[f.name];
        const auto size = static_cast<uint32_t>(data.size());
        // Mostly move to the end first; the rest checks the refusal.
        if (f.pos != size && below(4) != 0)
            seek_to(f, size, below(2) == 0 ? 0 : 2);
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
        const uint32_t took = dace_write(s(), bytes.data(), n, f.h);
        note("write '" + f.name + "' at " + std::to_string(f.pos) + " of " + std::to_string(size) + ", " +
             std::to_string(n) + " -> " + std::to_string(took));
        if (f.pos != size) {
            EXPECT_EQ(took, 0u) << "write before the end of '" << f.name << "'";
        } else {
            ASSERT_LE(took, n);
            if (took < n) {
                EXPECT_LT(room, needed) << "write to '" << f.name << "' fell short with clusters to spare";
                full_ = true;
                ++short_writes_;
            }
            data.insert(data.end(), bytes.begin(), bytes.begin() + took);
            f.pos = static_cast<uint32_t>(data.size());
            bytes_taken_ += took;
        }
        check_position(f);
    }

    void read(Open &f) {
        const std::vector<uint8_t> &data = current_[f.name];
        const auto size = static_cast<uint32_t>(data.size());
        const uint32_t n = below(4) == 0 ? size - f.pos + below(3) : pick_size(f.pos);
        std::vector<uint8_t> buf(size_t{n} + 4, 0xC3);
        const uint32_t got = dace_read(s(), buf.data(), n, f.h);
        note("read '" + f.name + "' at " + std::to_string(f.pos) + " of " + std::to_string(size) + ", " +
             std::to_string(n) + " -> " + std::to_string(got));
        ASSERT_EQ(got, std::min(n, size - f.pos)) << "read of '" << f.name << "'";
        const auto mismatch = std::mismatch(buf.begin(), buf.begin() + got, data.begin() + f.pos);
        EXPECT_EQ(mismatch.first, buf.begin() + got)
            << "'" << f.name << "' differs at byte " << f.pos + (mismatch.first - buf.begin());
        EXPECT_TRUE(std::all_of(buf.begin() + got, buf.end(), [](uint8_t b) { return b == 0xC3; }))
            << "read of '" << f.name << "' wrote past the bytes it returned";
        f.pos += got;
        check_position(f);
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

    void seek(Open &f) {
        const uint32_t kind = below(20);
        const int whence = kind < 9 ? 0 : kind < 14 ? 1 : kind < 19 ? 2 : (below(2) == 0 ? 3 : -1);
        seek_to(f, pick_target(static_cast<uint32_t>(current_[f.name].size())), whence);
    }

    void seek_to(Open &f, uint32_t target, int whence) {
        const auto size = static_cast<uint32_t>(current_[f.name].size());
        const uint32_t offset = whence == 1 ? target - f.pos : whence == 2 ? size - target : target;
        const int r = dace_seek(s(), f.h, offset, whence);
        note("seek '" + f.name + "' from " + std::to_string(f.pos) + " of " + std::to_string(size) + ", " +
             std::to_string(offset) + " whence " + std::to_string(whence) + " -> " + std::to_string(r));
        const int expected = (whence < 0 || whence > 2) ? 1 : target > size ? 2 : 0;
        ASSERT_EQ(r, expected) << "seek of '" << f.name << "' to " << target;
        if (r == 0) {
            commit();
            f.pos = target;
        }
        check_position(f);
    }

    // Handles of closed slots, out of range and 0 are refused and change nothing.
    void misuse() {
        std::vector<dace_handle> bad = {0, HANDLE_MAGIC ^ case_.max_files};
        for (uint32_t i = 0; i < case_.max_files; ++i)
            if (!std::any_of(open_.begin(), open_.end(), [i](const Open &f) { return f.h == (HANDLE_MAGIC ^ i); }))
                bad.push_back(HANDLE_MAGIC ^ i);
        const dace_handle h = bad[below(static_cast<uint32_t>(bad.size()))];
        note("misuse of handle " + std::to_string(h));
        const bool closed_slot = (h ^ HANDLE_MAGIC) < case_.max_files;
        uint8_t byte = 0x5A;
        EXPECT_EQ(dace_write(s(), &byte, 1, h), 0u);
        EXPECT_EQ(dace_read(s(), &byte, 1, h), 0u);
        EXPECT_EQ(dace_flush(s(), h), -1);
        EXPECT_EQ(dace_seek(s(), h, 0, 0), -1);
        EXPECT_EQ(dace_tell(s(), h), 0xFFFFFFFFu);
        EXPECT_EQ(dace_feof(s(), h), -1);
        EXPECT_EQ(dace_close(s(), h), closed_slot ? 1 : -1);
    }

    void remount() {
        note("remount");
        ++remounts_;
        open_.clear();
        vol_->sim.reboot();
        ASSERT_NE(vol_->mount(), nullptr) << "remount refused";
        verify_durable();
        current_ = durable_;
        if (full_ && steps_full_ > kRetireAfter) {
            EXPECT_EQ(vol_->sim.counters().overwrites, 0u);
            fresh_volume();
        }
    }

    void fresh_volume() {
        vol_ = std::make_unique<Volume>(case_.geometry, case_.max_files);
        vol_->sim.set_strict(true);
        ASSERT_NE(vol_->mount(), nullptr) << "format refused";
        ++volumes_;
        current_.clear();
        durable_.clear();
        full_ = false;
        steps_full_ = 0;
        note("fresh volume");
        verify_durable();
    }

    // Files grow only at their end, so each fills whole payloads but its
    // last: every cluster beyond those, the root's and the four held back
    // counts as free, also between remounts (released ones while held).
    void expect_free_space(const Files &files) {
        uint32_t used = 1;
        for (const auto &[name, data] : files)
            used += static_cast<uint32_t>((data.size() + s()->clus_payload - 1) / s()->clus_payload);
        EXPECT_EQ(dace_getfreespace(s(), nullptr), (uint32_t{s()->clus_count} - 4 - used) * s()->clus_size)
            << "clusters leaked";
    }

    // The volume holds exactly the committed files.
    void verify_durable() {
        expect_free_space(durable_);
        EXPECT_EQ(s()->root->count, durable_.size());
        for (const std::vector<std::string> *list : {&names_, &invalid_})
            for (const std::string &name : *list)
                EXPECT_EQ(dace_find_file(s(), name.c_str()) >= 0, durable_.count(name) == 1) << "'" << name << "'";
        for (const auto &[name, data] : durable_) {
            const dace_handle h = dace_open(s(), name.c_str());
            ASSERT_NE(h, 0u) << "open '" << name << "' after remount";
            std::vector<uint8_t> buf(data.size() + 8);
            const uint32_t got = dace_read(s(), buf.data(), static_cast<uint32_t>(buf.size()), h);
            EXPECT_EQ(got, data.size()) << "'" << name << "' after remount";
            buf.resize(got);
            if (buf != data) {
                const auto m = std::mismatch(buf.begin(), buf.end(), data.begin(), data.end());
                ADD_FAILURE() << "'" << name << "' differs after remount at byte " << (m.first - buf.begin());
            }
            EXPECT_EQ(dace_feof(s(), h), 1);
            EXPECT_EQ(dace_close(s(), h), 0);
        }
    }

    Case case_;
    std::mt19937 rng_;
    std::unique_ptr<Volume> vol_;
    std::vector<std::string> names_, invalid_;
    Files current_, durable_;
    std::vector<Open> open_;
    std::deque<std::string> history_;
    int step_ = 0;
    bool full_ = false; // a write fell short on this medium
    int steps_full_ = 0;
    uint32_t bytes_taken_ = 0, short_writes_ = 0, remounts_ = 0, volumes_ = 0;
};

class FileModel : public ::testing::TestWithParam<Case> {};

TEST_P(FileModel, RandomRunsMatchTheModelAcrossRemounts) {
    const uint32_t seed = test_seed(0x5EED0F11u);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with DACE_TEST_SEED=" + std::to_string(seed) + ")");
    RecordProperty("seed", std::to_string(seed));
    std::printf("[ model ] %s: seed %u\n", GetParam().label, seed);
    Model model(GetParam(), seed);
    if (!HasFailure())
        model.run();
}

INSTANTIATE_TEST_SUITE_P(Geometries, FileModel,
                         ::testing::Values(Case{"SmallNor", {256, 8, 1024}, 4, 4000},
                                           Case{"PagePerCluster", {256, 1, 64}, 3, 4000},
                                           Case{"Smallest", {32, 2, 16}, 3, 3000},
                                           Case{"Nand", {2048, 4, 256}, 4, 3000}),
                         [](const ::testing::TestParamInfo<Case> &param) { return std::string(param.param.label); });

} // namespace
