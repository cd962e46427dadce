// Queries of the directory: stat by name and by handle, and the walk. They
// copy entries as they stand in memory, staged changes included, and never
// call back or touch the medium.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

// An output record that a failed query must leave as it is.
dace_entry junk() {
    dace_entry e;
    std::memset(&e, 0x5A, sizeof e);
    return e;
}

bool same(const dace_entry &a, const dace_entry &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

} // namespace

TEST(Stat, FindsOnlyTheExactStoredName) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    dace_entry out = junk();
    EXPECT_EQ(dace_stat(s, "a", &out), 1) << "empty directory";
    put_file(s, "Notes", 10);
    put_file(s, "abcdefghijklmnopqr", 20);
    expect_no_effect(
        v,
        [&] {
            for (const char *miss : {"notes", "Note", "Notes2", "abcdefghijklmnopq"}) {
                EXPECT_EQ(dace_stat(s, miss, &out), 1) << miss;
                EXPECT_EQ(dace_error(s), DACE_E_NO_FILE) << miss;
            }
            EXPECT_EQ(dace_stat(s, "", &out), 1);
            EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID);
            EXPECT_EQ(dace_stat(s, "abcdefghijklmnopqrs", &out), 1);
            EXPECT_EQ(dace_error(s), DACE_E_NAME_TOO_LONG);
            EXPECT_EQ(dace_stat(s, nullptr, &out), -1);
            EXPECT_EQ(dace_stat(s, "Notes", nullptr), -1);
            EXPECT_EQ(dace_error(s), DACE_E_INVALID_ARGUMENT);
            EXPECT_TRUE(same(out, junk()));

            ASSERT_EQ(dace_stat(s, "abcdefghijklmnopqr", &out), 0);
            EXPECT_TRUE(same(out, v.entries()[1])) << "the whole entry";
            EXPECT_NE(out.stamp, 0u);
        },
        DACE_E_NONE);
}

TEST(Stat, ByNameAndByHandleSeeUnflushedWrites) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    put_file(s, "a", 50);
    const dace_handle h = dace_create(s, "b");
    ASSERT_EQ(write_bytes(s, h, pattern_bytes(100)), 100u);
    const dace_handle closed = dace_open(s, "a");
    ASSERT_EQ(dace_close(s, closed), DACE_OK);

    expect_no_effect(v, [&] {
        dace_entry by_name = junk(), by_handle = junk();
        ASSERT_EQ(dace_stat(s, "b", &by_name), 0);
        ASSERT_EQ(dace_statf(s, h, &by_handle), 0);
        EXPECT_EQ(by_name.size, 100u);
        EXPECT_TRUE(same(by_name, v.entries()[1]));
        EXPECT_TRUE(same(by_handle, by_name));

        // Slot 0 was never opened: the first files take the highest slots.
        dace_entry out = junk();
        for (const dace_handle bad : {dace_handle{0}, closed, HANDLE_MAGIC ^ 0u, HANDLE_MAGIC ^ 4u, 12345u}) {
            EXPECT_EQ(dace_statf(s, bad, &out), -1) << bad;
            EXPECT_EQ(dace_error(s), DACE_E_BAD_HANDLE) << bad;
        }
        EXPECT_EQ(dace_statf(s, h, nullptr), -1);
        EXPECT_TRUE(same(out, junk()));
    }, DACE_E_INVALID_ARGUMENT);
    ASSERT_EQ(dace_close(s, h), DACE_OK);
}

TEST(DirWalk, YieldsEveryEntryInCreationOrderThenNull) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    dace_dir dir;
    EXPECT_EQ(dace_opendir(s, &dir), &dir);
    EXPECT_EQ(dace_readdir(s, &dir), nullptr) << "empty directory";
    put_file(s, "zeta", 10);
    put_file(s, "alpha", 0);
    put_file(s, "mid", 30);
    expect_no_effect(v, [&] {
        ASSERT_EQ(dace_opendir(s, &dir), &dir);
        for (uint16_t i = 0; i < 3; ++i) {
            const dace_entry *e = dace_readdir(s, &dir);
            ASSERT_EQ(e, &dir.entry);
            EXPECT_TRUE(same(*e, v.entries()[i])) << i;
        }
        EXPECT_EQ(dace_readdir(s, &dir), nullptr);
        EXPECT_EQ(dace_readdir(s, &dir), nullptr);
        EXPECT_EQ(dace_error(s), DACE_E_NONE) << "the end of the walk is no failure";
        EXPECT_EQ(dace_opendir(s, nullptr), nullptr);
        EXPECT_EQ(dace_readdir(s, nullptr), nullptr);
    }, DACE_E_INVALID_ARGUMENT);
}

// The walk holds a position only: changes made during it show at once.
TEST(DirWalk, SeesChangesMadeDuringTheWalk) {
    Volume v;
    dace_state *s = v.mount();
    ASSERT_NE(s, nullptr);
    for (const char *name : {"a", "b", "c", "d"})
        put_file(s, name, 10);
    dace_dir dir;
    dace_opendir(s, &dir);
    const dace_entry *e = dace_readdir(s, &dir);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(entry_name(*e), "a");

    ASSERT_EQ(dace_rename(s, "c", "c2"), DACE_OK);
    ASSERT_EQ(dace_remove(s, "a"), DACE_OK); // already returned: "b" moves into its place and is skipped
    put_file(s, "e", 0);
    std::vector<std::string> rest;
    while ((e = dace_readdir(s, &dir)) != nullptr)
        rest.push_back(entry_name(*e));
    EXPECT_EQ(rest, (std::vector<std::string>{"c2", "d", "e"}));
}
