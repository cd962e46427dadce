// The volume every host mounts, on a medium of the test's own behind the
// medium interface (as the Python package puts the simulator there): what
// each way of mounting may do to the medium, a second mount on the same
// medium finding what the first committed; and the rename rule that the
// tool, the mount and the Python package share, outcome by outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "tests/tool/tool_fixture.h"
#include "tests/tool/tool_support.h"
#include "tools/file_ops.h"
#include "tools/medium.h"
#include "tools/volume.h"

namespace {

using dace_tool::LibraryError;
using dace_tool::Mounting;
using dace_tool::Params;
using dace_tool::Renamed;
using dace_tool::Volume;
using tool_test::Bytes;
using tool_test::small_params;

// Flash in memory that counts what reaches it: an erase sets 0xFF, a
// program clears bits.
class CountingMedium : public dace_tool::Medium {
public:
    CountingMedium(Bytes bytes, const Params &p) : bytes_(std::move(bytes)), page_(p.page_size), clus_(p.clus_size()) {}
    void attach(dace_config &config) override {
        config.io_ctx = this;
        config.read_fn = [](void *ctx, uint32_t page, void *dst, uint32_t count) {
            auto *m = static_cast<CountingMedium *>(ctx);
            std::copy_n(m->bytes_.begin() + static_cast<long>(size_t{page} * m->page_), count,
                        static_cast<uint8_t *>(dst));
            return count;
        };
        config.write_fn = [](void *ctx, uint32_t page, const void *src, uint32_t count) {
            auto *m = static_cast<CountingMedium *>(ctx);
            const auto *data = static_cast<const uint8_t *>(src);
            for (uint32_t i = 0; i < count; ++i)
                m->bytes_[size_t{page} * m->page_ + i] &= data[i];
            ++m->programs;
            return count;
        };
        config.erase_fn = [](void *ctx, uint32_t first, uint32_t n) {
            auto *m = static_cast<CountingMedium *>(ctx);
            std::fill_n(m->bytes_.begin() + static_cast<long>(size_t{first} * m->clus_), size_t{n} * m->clus_,
                        uint8_t{0xFF});
            ++m->erases;
            return uint32_t{1};
        };
    }
    const Bytes &bytes() const override { return bytes_; }

    uint32_t programs = 0;
    uint32_t erases = 0;

private:
    Bytes bytes_;
    uint32_t page_;
    uint32_t clus_;
};

TEST(VolumeOnAnyMedium, MountsAsAskedAndASecondMountFindsWhatTheFirstCommitted) {
    const Params p = small_params(256, 4);
    auto medium = std::make_shared<CountingMedium>(tool_test::blank_image(p), p);
    const Bytes data = tool_test::random_bytes(5000, 1);
    {
        Volume v(medium, p, Mounting::Change);
        EXPECT_EQ(medium->programs + medium->erases, 0u) << "mounting writes nothing";
        dace_tool::write_file(v, "f", data.data(), data.size(), false);
        EXPECT_GT(medium->programs, 0u);
        EXPECT_TRUE(v.journal().empty()) << "a medium that keeps none";
        EXPECT_EQ(v.take_mirror_error(), 0);
    }
    Volume again(medium, p, Mounting::Change); // as a remount does
    EXPECT_EQ(dace_tool::read_file(again, "f"), data);
    EXPECT_EQ(again.chain_length(again.stat("f")->clus), 3u) << "5000 bytes in clusters of 2040";

    // A reading mount: the library is never let through to program or erase.
    const Bytes before = medium->bytes();
    const uint32_t programs = medium->programs, erases = medium->erases;
    Volume reading(medium, p, Mounting::Read);
    EXPECT_THROW(dace_tool::write_file(reading, "g", data.data(), data.size(), false), LibraryError);
    EXPECT_THROW(dace_tool::remove_file(reading, "f"), LibraryError);
    EXPECT_EQ(medium->programs, programs);
    EXPECT_EQ(medium->erases, erases);
    EXPECT_EQ(medium->bytes(), before);
}

TEST(VolumeOnAnyMedium, OnlyAFormatMakesAVolume) {
    const Params p = small_params(256, 4);
    auto blank = std::make_shared<CountingMedium>(Bytes(p.medium_bytes(), 0xFF), p);
    for (const Mounting how : {Mounting::Read, Mounting::Change}) {
        try {
            Volume v(blank, p, how);
            ADD_FAILURE() << "a blank medium mounted";
        } catch (const LibraryError &e) {
            EXPECT_EQ(e.reason, DACE_E_NOT_A_VOLUME) << e.what();
        }
    }
    EXPECT_EQ(blank->programs + blank->erases, 0u);
    Volume formatted(blank, p, Mounting::Format);
    EXPECT_TRUE(formatted.entries().empty());
    EXPECT_GT(blank->programs, 0u);
}

// A formatted volume on the image medium holding "a" (100 bytes), "b" (200)
// and "c" (300), each of its own bytes and stamp.
class RenameRule : public ::testing::Test {
protected:
    RenameRule() : p_(small_params(256, 4)), v_(tool_test::blank_image(p_), p_) {
        for (const auto &[name, size] : {std::pair{"a", 100}, {"b", 200}, {"c", 300}}) {
            const Bytes data = tool_test::random_bytes(size_t(size), uint32_t(size));
            const dace_tool::Stamping stamping(v_.stamp(), uint64_t(1000 + size));
            dace_tool::write_file(v_, name, data.data(), data.size(), false);
        }
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const dace_entry &e : v_.entries())
            out.push_back(dace_tool::entry_name(e));
        return out;
    }

    Params p_;
    Volume v_;
};

TEST_F(RenameRule, WhatIsRefusedOrNeedsNothingLeavesTheMediumAsItWas) {
    const Bytes before = v_.bytes();
    int asked = 0;
    const auto make_way = [&](int) { return ++asked, 0; };
    auto r = dace_tool::rename_by_rule(v_, "nope", "x", true, make_way);
    EXPECT_EQ(r.how, Renamed::NoFile);
    EXPECT_EQ(r.reason, DACE_E_NO_FILE);
    r = dace_tool::rename_by_rule(v_, "abcdefghijklmnopqrs", "x", true, make_way);
    EXPECT_EQ(r.how, Renamed::NoFile);
    EXPECT_EQ(r.reason, DACE_E_NAME_TOO_LONG) << "the lookup says why it found none";
    EXPECT_EQ(dace_tool::rename_by_rule(v_, "a", "a", false, make_way).how, Renamed::SameName);
    r = dace_tool::rename_by_rule(v_, "a", "b", false, make_way);
    EXPECT_EQ(r.how, Renamed::NameTaken) << "a name names one file";
    EXPECT_EQ(r.reason, DACE_E_NAME_TAKEN);
    r = dace_tool::rename_by_rule(v_, "a", "x\\y", true, make_way);
    EXPECT_EQ(r.how, Renamed::Failed);
    EXPECT_EQ(r.reason, DACE_E_NAME_INVALID) << "the new name is the library's to judge";
    EXPECT_EQ(r.result, DACE_REFUSED);
    EXPECT_EQ(asked, 0) << "nothing to make way for";
    EXPECT_EQ(v_.bytes(), before) << "no commit";
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(RenameRule, AReplacedFileGoesInTheSameCommitOnceWayIsMade) {
    const uint64_t stamp_of_a = v_.stat("a")->stamp;
    ASSERT_NE(stamp_of_a, v_.stat("c")->stamp);
    std::vector<int> asked;
    auto r = dace_tool::rename_by_rule(v_, "a", "c", true, [&](int bearer) { return asked.push_back(bearer), 7; });
    EXPECT_EQ(r.how, Renamed::NoWay);
    EXPECT_EQ(r.result, 7) << "what make_way returned";
    EXPECT_EQ(asked, std::vector<int>{2}) << "the position of the file that bears the new name";
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "c"}));

    // The library refuses to drop an open file; the mount's make_way takes
    // it off the medium first.
    const dace_handle open = dace_open(v_.state(), "c");
    ASSERT_NE(open, 0u);
    r = dace_tool::rename_by_rule(v_, "a", "c", true);
    EXPECT_EQ(r.how, Renamed::Failed);
    EXPECT_EQ(r.reason, DACE_E_FILE_OPEN);
    ASSERT_EQ(dace_close(v_.state(), open), DACE_OK);

    const uint32_t free_before = dace_getfreespace(v_.state(), nullptr);
    EXPECT_EQ(dace_tool::rename_by_rule(v_, "a", "c", true).how, Renamed::Done);
    EXPECT_EQ(names(), (std::vector<std::string>{"c", "b"})) << "in a's place, the old c gone";
    EXPECT_EQ(dace_tool::read_file(v_, "c"), tool_test::random_bytes(100, 100));
    EXPECT_EQ(v_.stat("c")->stamp, stamp_of_a) << "a rename keeps the time";
    EXPECT_EQ(dace_getfreespace(v_.state(), nullptr), free_before + p_.clus_size());
    Volume after(v_.bytes(), p_); // committed
    EXPECT_EQ(dace_tool::read_file(after, "c"), tool_test::random_bytes(100, 100));
    EXPECT_FALSE(after.stat("a").has_value());
}

} // namespace
