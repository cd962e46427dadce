// The C++ layer (dace/dace.hpp) on the simulated medium: results carry the
// value or the library's reason, a file closes itself once and only once,
// every call passes the reason of its C call through unchanged, the
// directory walk works in a range-for, and a mount never writes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "dace/dace.hpp"
#include "tests/test_support.h"

using dace_test::small_nor;
using dace_sim::FlashSim;
using dace_sim::Geometry;

// One owner closes a file; the layer adds nothing to what it wraps.
static_assert(!std::is_copy_constructible_v<dace::file> && !std::is_copy_assignable_v<dace::file>);
static_assert(std::is_nothrow_move_constructible_v<dace::file> && std::is_nothrow_move_assignable_v<dace::file>);
static_assert(sizeof(dace::volume) == sizeof(dace_state *));
static_assert(sizeof(dace::file) <= 2 * sizeof(void *));

namespace {

// A simulated medium and a state block sized for it. Like the suites'
// Volume, it runs the end-of-test check on the state it last mounted as it
// goes out of scope.
struct Medium {
    explicit Medium(uint16_t max_files = 4, Geometry g = small_nor(), const char *file = __builtin_FILE(),
                    int line = __builtin_LINE())
        : sim(g), cfg(sim.config(max_files)), block(dace_getstatesize(&cfg) / 8 + 1), made_in(file), made_at(line) {}
    Medium(const Medium &) = delete;
    Medium &operator=(const Medium &) = delete;
    ~Medium() { dace_test::integrity::at_end(sim, cfg, s, nullptr, nullptr, made_in, made_at); }

    dace::volume init() {
        const auto vol = track(dace::volume::init(cfg, block));
        EXPECT_TRUE(vol.ok()) << "reason " << vol.error();
        return vol.value();
    }
    // A reboot: a fresh state block (garbage in it) mounted on what the
    // medium holds.
    dace::volume remount() {
        block.assign(block.size(), 0xA5A5A5A5A5A5A5A5ull);
        const auto vol = mount(cfg);
        EXPECT_TRUE(vol.ok()) << "reason " << vol.error();
        return vol.value();
    }
    dace::result<dace::volume> mount(const dace_config &with) { return track(dace::volume::mount(with, block)); }
    dace::volume format() { return track(dace::volume::format(cfg, block)).value(); }
    // The state the check looks at: what the last mount into the block left.
    dace::result<dace::volume> track(dace::result<dace::volume> vol) {
        s = vol.value().native();
        return vol;
    }

    FlashSim sim;
    dace_config cfg;
    std::vector<uint64_t> block;
    dace_state *s = nullptr;
    const char *made_in;
    int made_at;
};

std::span<const std::byte> text(const std::string &s) { return std::as_bytes(std::span(s.data(), s.size())); }

// The whole file, read through the layer.
std::string contents(const dace::volume &vol, const char *name) {
    auto f = vol.open(name);
    EXPECT_TRUE(f.ok()) << name << ": reason " << f.error();
    std::string out(f.value().stat().value().size, '\0');
    const auto got = f.value().read(std::as_writable_bytes(std::span(out.data(), out.size())));
    EXPECT_TRUE(got.ok() && got.value() == out.size()) << name;
    return out;
}

std::vector<std::string> listing(const dace::volume &vol) {
    std::vector<std::string> names;
    for (const dace_entry &e : vol.entries()) {
        const auto name = dace::entry_name(e);
        names.emplace_back(name.data(), name.size());
    }
    return names;
}

struct Record {
    uint32_t seq;
    uint16_t value;
    uint16_t check;
};

} // namespace

// ---- results ----------------------------------------------------------------------

TEST(CppResult, CarriesAValueOrAReasonAndNeverBoth) {
    constexpr dace::result<uint32_t> seven{7u};
    static_assert(seven.ok() && seven.value() == 7u && seven.error() == DACE_E_NONE);
    constexpr dace::result<uint32_t> refused{dace::failure{DACE_E_NO_FILE}};
    static_assert(!refused && refused.error() == DACE_E_NO_FILE && refused.value() == 0u);
    static_assert(!dace::result<void>{dace::failure{DACE_E_DAMAGED}} && dace::result<void>{}.ok());

    Medium m;
    const dace::volume vol = m.init();
    {
        auto f = vol.create("log");
        ASSERT_TRUE(f.ok());
        ASSERT_TRUE(f.value().write(text("12345")).ok());
    }
    const auto found = vol.stat("log");
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found.value().size, 5u);
    // A failed stat holds a zeroed entry, never a stale one.
    const auto missing = vol.stat("gone");
    EXPECT_EQ(missing.error(), DACE_E_NO_FILE);
    EXPECT_EQ(missing.value().size, 0u);
    EXPECT_EQ(missing.value().name[0], 0u);
    // A refused open holds a file that is not open and that, used anyway,
    // reports a bad handle rather than touching the state.
    auto refused_open = vol.open("gone");
    EXPECT_EQ(refused_open.error(), DACE_E_NO_FILE);
    EXPECT_FALSE(refused_open.value().is_open());
    EXPECT_EQ(refused_open.value().write(text("x")).error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(refused_open.value().close().error(), DACE_E_BAD_HANDLE);
}

TEST(CppResult, AShortWriteCarriesTheBytesTakenAndWhyNoMore) {
    Medium m(1, Geometry{256, 8, 64}); // 8 clusters, 4 of them kept for the root
    const dace::volume vol = m.init();
    auto f = vol.create("big");
    ASSERT_TRUE(f.ok());
    const std::string lots(m.sim.cluster_size() * 8, 'x');
    const auto put = f.value().write(text(lots));
    EXPECT_EQ(put.error(), DACE_E_MEDIUM_FULL);
    EXPECT_GT(put.value(), 0u);
    EXPECT_LT(put.value(), lots.size());
    EXPECT_EQ(f.value().stat().value().size, put.value());
    EXPECT_EQ(f.value().tell().value(), put.value());
}

// ---- the life of a file ------------------------------------------------------------

TEST(CppFile, ClosesWhenItLeavesItsScopeWhichCommitsWhatItWrote) {
    Medium m(1);
    const dace::volume vol = m.init();
    {
        auto f = vol.create("a");
        ASSERT_TRUE(f.ok());
        ASSERT_TRUE(f.value().write(text("hello")).ok());
        EXPECT_EQ(vol.create("b").error(), DACE_E_TOO_MANY_OPEN); // its one handle is in use
    }
    EXPECT_TRUE(vol.create("b").ok()); // the handle came back
    EXPECT_EQ(contents(m.remount(), "a"), "hello");
}

TEST(CppFile, AMovedFromFileDoesNotCloseTheHandleAgain) {
    Medium m(1);
    const dace::volume vol = m.init();
    dace::file reopened;
    {
        dace::file first = vol.create("a").value();
        const dace_handle h = first.handle();
        { const dace::file second = std::move(first); } // closes the handle once
        EXPECT_FALSE(first.is_open());
        reopened = vol.open("a").value();
        ASSERT_EQ(reopened.handle(), h); // one slot: the same handle again
    } // `first` ends here and must leave the handle, now reopened's, alone
    EXPECT_TRUE(reopened.write(text("still open")).ok());
    EXPECT_TRUE(reopened.close().ok());
}

TEST(CppFile, AssigningOverAnOpenFileClosesItAndSelfAssignmentKeepsIt) {
    Medium m(2);
    const dace::volume vol = m.init();
    dace::file a = vol.create("x").value();
    dace::file b = vol.create("y").value();
    ASSERT_TRUE(a.write(text("xx")).ok());
    a = std::move(b); // "x" is closed and committed; a now holds "y"
    EXPECT_FALSE(b.is_open());
    EXPECT_TRUE(vol.stat("x").ok());
    EXPECT_EQ(contents(vol, "x"), "xx");
    dace::file &same = a;
    a = std::move(same);
    EXPECT_TRUE(a.write(text("y")).ok());
    EXPECT_EQ(a.stat().value().size, 1u);
}

TEST(CppFile, ACloseThatFallsShortSaysSoAndLeavesTheFileForARetry) {
    Medium m;
    const dace::volume vol = m.init();
    {
        auto f = vol.create("a");
        ASSERT_TRUE(f.value().write(text("kept")).ok());
        m.sim.fail_write(1);
        const auto closed = f.value().close();
        EXPECT_EQ(closed.error(), DACE_E_WRITE_FAILED);
        EXPECT_TRUE(f.value().is_open());
    } // the destructor closes it again, and that write goes through
    EXPECT_EQ(contents(m.remount(), "a"), "kept");

    auto g = vol.open("a");
    EXPECT_TRUE(g.value().close().ok());
    EXPECT_FALSE(g.value().is_open());
    EXPECT_EQ(g.value().close().error(), DACE_E_BAD_HANDLE);
}

TEST(CppFile, WritesReadsAndPositionsThroughSpans) {
    Medium m;
    const dace::volume vol = m.init();
    auto f = vol.create("records");
    dace::file &log = f.value();
    for (uint32_t i = 0; i < 3; ++i) {
        const Record r{i, static_cast<uint16_t>(100 + i), static_cast<uint16_t>(i ^ 0xA5A5u)};
        const auto put = log.write(dace::bytes_of(r));
        ASSERT_TRUE(put.ok());
        EXPECT_EQ(put.value(), sizeof r);
    }
    EXPECT_EQ(log.tell().value(), 3 * sizeof(Record));
    EXPECT_TRUE(log.at_end().value());

    ASSERT_TRUE(log.seek(sizeof(Record), dace::whence::end).ok()); // counts back from the end
    Record r{};
    const auto got = log.read(dace::writable_bytes_of(r));
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.value(), sizeof r);
    EXPECT_EQ(r.seq, 2u);
    EXPECT_EQ(r.value, 102u);
    // The end of the file is no failure: nothing more, and no reason.
    const auto past = log.read(dace::writable_bytes_of(r));
    EXPECT_TRUE(past.ok());
    EXPECT_EQ(past.value(), 0u);

    ASSERT_TRUE(log.seek(0).ok());
    EXPECT_FALSE(log.at_end().value());
    ASSERT_TRUE(log.seek(static_cast<uint32_t>(sizeof(Record)), dace::whence::current).ok());
    ASSERT_TRUE(log.read(dace::writable_bytes_of(r)).ok());
    EXPECT_EQ(r.seq, 1u);
    EXPECT_TRUE(log.flush().ok());
}

// ---- the reasons of the C calls, unchanged -----------------------------------------

TEST(CppReasons, NamesAndHandles) {
    Medium m(2);
    const dace::volume vol = m.init();
    auto a = vol.create("a");
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(vol.create("a").error(), DACE_E_NAME_TAKEN);
    EXPECT_EQ(vol.create("").error(), DACE_E_NAME_INVALID);
    EXPECT_EQ(vol.create("a/b").error(), DACE_E_NAME_INVALID);
    EXPECT_EQ(vol.create("nineteen-bytes-long").error(), DACE_E_NAME_TOO_LONG);
    EXPECT_EQ(vol.open("b").error(), DACE_E_NO_FILE);
    EXPECT_EQ(vol.open("a").error(), DACE_E_FILE_OPEN);
    auto b = vol.create("b");
    EXPECT_EQ(vol.create("c").error(), DACE_E_TOO_MANY_OPEN);
    EXPECT_EQ(dace::check_name("a/b"), DACE_NAME_SEPARATOR);

    // Every call on a file that was closed.
    ASSERT_TRUE(b.value().close().ok());
    dace::file &closed = b.value();
    std::byte buf[4];
    EXPECT_EQ(closed.write(text("x")).error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(closed.read(buf).error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(closed.flush().error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(closed.seek(0).error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(closed.tell().error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(closed.at_end().error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(closed.stat().error(), DACE_E_BAD_HANDLE);
    EXPECT_EQ(closed.close().error(), DACE_E_BAD_HANDLE);
}

TEST(CppReasons, WritingAndPositioning) {
    Medium m;
    const dace::volume vol = m.init();
    auto f = vol.create("log");
    dace::file &log = f.value();
    ASSERT_TRUE(log.write(text("abcdef")).ok());
    ASSERT_TRUE(log.seek(2).ok());
    const auto put = log.write(text("x"));
    EXPECT_EQ(put.error(), DACE_E_NOT_AT_END);
    EXPECT_EQ(put.value(), 0u);
    EXPECT_EQ(log.seek(7).error(), DACE_E_BEYOND_END);
    EXPECT_EQ(log.seek(0, static_cast<dace::whence>(7)).error(), DACE_E_INVALID_ARGUMENT);
    EXPECT_EQ(log.tell().value(), 2u); // neither refused seek moved it

    ASSERT_TRUE(log.seek(0, dace::whence::end).ok());
    ASSERT_TRUE(log.write(text("g")).ok());
    m.sim.fail_write(1);
    EXPECT_EQ(log.flush().error(), DACE_E_WRITE_FAILED);
    EXPECT_TRUE(log.flush().ok()); // written again, elsewhere
}

TEST(CppReasons, ChangesByName) {
    Medium m;
    const dace::volume vol = m.init();
    auto open_file = vol.create("open");
    {
        auto f = vol.create("closed");
        ASSERT_TRUE(f.value().write(text("1234")).ok());
    }
    EXPECT_EQ(vol.remove("none").error(), DACE_E_NO_FILE);
    EXPECT_EQ(vol.remove("open").error(), DACE_E_FILE_OPEN);
    EXPECT_EQ(vol.rename("none", "x").error(), DACE_E_NO_FILE);
    EXPECT_EQ(vol.rename("closed", "a\\b").error(), DACE_E_NAME_INVALID);
    EXPECT_EQ(vol.rename("closed", "nineteen-bytes-long").error(), DACE_E_NAME_TOO_LONG);
    EXPECT_EQ(vol.rename_replace("closed", "open").error(), DACE_E_FILE_OPEN);
    EXPECT_EQ(vol.truncate("closed", 5).error(), DACE_E_BEYOND_END);
    EXPECT_EQ(vol.stat("none").error(), DACE_E_NO_FILE);

    // And each of them done.
    EXPECT_TRUE(vol.truncate("closed", 2).ok());
    EXPECT_TRUE(vol.rename("closed", "renamed").ok());
    ASSERT_TRUE(open_file.value().close().ok());
    EXPECT_TRUE(vol.rename_replace("renamed", "open").ok());
    EXPECT_EQ(listing(vol), std::vector<std::string>{"open"});
    EXPECT_EQ(contents(vol, "open"), "12");
    EXPECT_TRUE(vol.remove("open").ok());
    EXPECT_TRUE(listing(vol).empty());
}

TEST(CppReasons, TheMediumFailing) {
    Medium m;
    dace::volume vol = m.init();
    {
        auto f = vol.create("data");
        const std::string lots(3 * m.sim.cluster_size(), 'd');
        ASSERT_TRUE(f.value().write(text(lots)).ok());
        for (int i = 0; i < 3; ++i) // each flush replaces the newest cluster
            ASSERT_TRUE(f.value().write(text("more")).ok() && f.value().flush().ok());
    }
    // Clusters the flushes replaced wait for an erase; none will take one.
    for (uint32_t c = 0; c < m.sim.cluster_count(); ++c)
        m.sim.wear_out(c);
    EXPECT_EQ(vol.erase_ahead(4).error(), DACE_E_ERASE_FAILED);

    // A file whose clusters no longer read back.
    vol = m.remount();
    const auto e = vol.stat("data");
    ASSERT_TRUE(e.ok());
    for (uint32_t c = 0; c < m.sim.cluster_count(); ++c)
        m.sim.make_unreadable(c);
    EXPECT_EQ(vol.open("data").error(), DACE_E_READ_FAILED);
}

// ---- mounting -------------------------------------------------------------------------

TEST(CppVolume, MountOfABlankMediumIsNotAVolumeAndWritesNothing) {
    Medium m;
    const auto vol = m.mount(m.cfg);
    EXPECT_EQ(vol.error(), DACE_E_NOT_A_VOLUME);
    EXPECT_EQ(vol.value().native(), nullptr);
    EXPECT_EQ(m.sim.counters().bytes_programmed, 0u);
    EXPECT_EQ(m.sim.counters().erase_calls, 0u);

    // init formats it; mount then finds the volume.
    const dace::volume made = m.init();
    EXPECT_EQ(made.native(), reinterpret_cast<dace_state *>(m.block.data()));
    EXPECT_TRUE(listing(m.remount()).empty());
}

TEST(CppVolume, RefusesABlockTooSmallOrAConfigurationBeforeTouchingAnything) {
    Medium m;
    std::vector<uint64_t> small(m.block.size() - 2, 0x5A5A5A5A5A5A5A5Aull);
    for (auto make : {&dace::volume::mount, &dace::volume::init, &dace::volume::format})
        EXPECT_EQ(make(m.cfg, small).error(), DACE_E_CONFIG);
    for (const uint64_t word : small)
        ASSERT_EQ(word, 0x5A5A5A5A5A5A5A5Aull);
    EXPECT_EQ(m.sim.counters().read_calls, 0u);

    dace_config no_files = m.cfg;
    no_files.max_files = 0;
    EXPECT_EQ(dace::check_config(no_files), DACE_CONFIG_MAX_FILES);
    EXPECT_EQ(dace::state_size(no_files), 0u);
    EXPECT_EQ(dace::volume::init(no_files, m.block).error(), DACE_E_CONFIG);
    EXPECT_EQ(m.sim.counters().read_calls, 0u);
}

TEST(CppVolume, AStateBlockOfDaceStateSizeHoldsTheStateForAnyNumberOfFiles) {
    // Where pointers are 32 bits wide an odd max_files gives a size that is
    // no whole number of 8-byte words: the block rounds up, not down.
    static_assert(sizeof(dace::state_block<13>) == 16);
    Medium m(1);
    static dace::state_block<DACE_STATE_SIZE(256, 8, 1024, 1)> block;
    static_assert(DACE_STATE_SIZE(256, 8, 1024, 1) <= sizeof block);
    EXPECT_EQ(dace::state_size(m.cfg), DACE_STATE_SIZE(256, 8, 1024, 1));
    EXPECT_TRUE(m.track(dace::volume::init(m.cfg, block)).ok());
}

TEST(CppVolume, FormatEmptiesAndAnotherSizeIsRefused) {
    Medium m;
    dace::volume vol = m.init();
    { auto f = vol.create("old"); }
    vol = m.format();
    EXPECT_TRUE(listing(vol).empty());

    dace_config smaller = m.cfg;
    smaller.total_pages = static_cast<uint16_t>(m.cfg.total_pages / 2);
    EXPECT_EQ(m.mount(smaller).error(), DACE_E_SIZE_MISMATCH);
}

TEST(CppVolume, SpaceShrinksAsFilesGrowAndEraseAheadCounts) {
    Medium m;
    const dace::volume vol = m.init();
    const dace::space_info empty = vol.space();
    EXPECT_EQ(empty.total, m.sim.cluster_count() * m.sim.cluster_size());
    {
        auto f = vol.create("log");
        ASSERT_TRUE(f.value().write(text(std::string(2 * m.sim.cluster_size(), 'z'))).ok());
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(f.value().write(text("tail")).ok() && f.value().flush().ok());
    }
    EXPECT_EQ(vol.space().total, empty.total);
    EXPECT_EQ(vol.space().free, empty.free - 3 * m.sim.cluster_size());
    const auto erased = vol.erase_ahead(16);
    ASSERT_TRUE(erased.ok());
    EXPECT_GT(erased.value(), 0u);
    EXPECT_EQ(vol.erase_ahead(16).value(), 0u); // nothing left waiting
}

// ---- the directory walk ------------------------------------------------------------------

TEST(CppDirectory, RangeForWalksEveryFileInCreationOrderStagedOnesToo) {
    Medium m;
    const dace::volume vol = m.init();
    int seen = 0;
    for ([[maybe_unused]] const dace_entry &e : vol.entries())
        ++seen;
    EXPECT_EQ(seen, 0);

    const std::string longest(18, 'n'); // fills the name field: no NUL
    { auto f = vol.create("one"); }
    {
        auto f = vol.create("two");
        ASSERT_TRUE(f.value().write(text("abc")).ok());
    }
    { auto f = vol.create(longest.c_str()); }
    auto staged = vol.create("staged"); // not yet committed
    std::vector<std::pair<std::string, uint32_t>> walk;
    for (const dace_entry &e : vol.entries()) {
        const auto name = dace::entry_name(e);
        walk.emplace_back(std::string(name.data(), name.size()), e.size);
    }
    const std::vector<std::pair<std::string, uint32_t>> expected{{"one", 0}, {"two", 3}, {longest, 0}, {"staged", 0}};
    EXPECT_EQ(walk, expected);

    ASSERT_TRUE(vol.remove("two").ok());
    EXPECT_EQ(listing(vol), (std::vector<std::string>{"one", longest, "staged"}));
}
