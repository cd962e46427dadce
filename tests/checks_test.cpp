// The shared checkers must see what they are there to see: a checker that
// passes a damaged volume would let every suite, the torture and the fuzz
// targets pass with it. Each test spoils a sound volume, or its model, in
// one way at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

// "" when `problems` is empty, else the problems unless they mention `what`.
std::string unless_mentions(const std::string &problems, const std::string &what) {
    return problems.find(what) == std::string::npos ? problems + " (looked for: " + what + ")" : "";
}

struct TwoFiles : Volume {
    TwoFiles() {
        mount();
        put_file(s, "a", 5000, 1); // three clusters
        put_file(s, "b", 3000, 2); // two
        remount(*this);
        dace_stat(s, "a", &a);
        dace_stat(s, "b", &b);
    }
    dace_entry a{}, b{};
};

} // namespace

TEST(Checks, ChainCheckerFindsEveryKindOfBrokenChain) {
    TwoFiles v;
    ASSERT_NE(v.s, nullptr);
    ASSERT_EQ(chain_problems(v.s, v.sim.bytes()), "");
    uint16_t *table = v.s->clus_table;
    const uint16_t second = table[v.a.clus], third = table[second];

    std::vector<uint8_t> spoilt = v.sim.bytes();
    spoilt[size_t{v.a.clus} * v.s->clus_size + 100] ^= 1;
    EXPECT_EQ(unless_mentions(chain_problems(v.s, spoilt), "damaged header"), "") << "a payload bit flipped";

    const struct {
        const char *what;
        uint16_t *code;
        uint16_t value;
        const char *expected;
    } cases[] = {
        {"a chain cut short", &table[second], CLUS_END, "chains through 2 clusters instead of 3"},
        {"a loop", &table[second], v.a.clus, "chains in a loop"},
        {"a cluster in two chains", &table[v.b.clus], second, "an earlier file holds"},
        {"a link to the root", &table[third], v.s->root_clus, "the root holds"},
        {"a link past the medium", &table[v.b.clus], 5000, "outside the medium"},
    };
    for (const auto &c : cases) {
        const uint16_t kept = *c.code;
        *c.code = c.value;
        EXPECT_EQ(unless_mentions(chain_problems(v.s, v.sim.bytes()), c.expected), "") << c.what;
        *c.code = kept;
    }
    EXPECT_EQ(chain_problems(v.s, v.sim.bytes()), "");
}

TEST(Checks, AccountingCheckerFindsCountsTheTableDisagreesWith) {
    TwoFiles v;
    ASSERT_NE(v.s, nullptr);
    ASSERT_EQ(accounting_problems(v.s), "");
    ++v.s->free_clus;
    EXPECT_EQ(unless_mentions(accounting_problems(v.s), "free_clus"), "");
    --v.s->free_clus;
    ++v.s->held_count;
    EXPECT_EQ(unless_mentions(accounting_problems(v.s), "held_count"), "");
    --v.s->held_count;
    EXPECT_EQ(accounting_problems(v.s), "");
}

// The comparisons see a changed byte, another order and a name listed
// twice; a model's copies keep their bytes when one of them changes.
TEST(Checks, FilesModelComparisonsFindEveryDifference) {
    TwoFiles v;
    ASSERT_NE(v.s, nullptr);
    Files model;
    model.create("a", pattern_bytes(5000, 1));
    model.create("b", pattern_bytes(3000, 2));
    std::string trouble;
    EXPECT_EQ(volume_difference(v.s, model), "");
    EXPECT_EQ(difference(files_on(v.s, &trouble), model), "");
    EXPECT_EQ(trouble, "");

    Files changed = model;
    changed.change(changed.find("a")->id())[4000] ^= 1;
    EXPECT_EQ(unless_mentions(volume_difference(v.s, changed), "'a' differs at byte 4000"), "");
    EXPECT_EQ(unless_mentions(difference(files_on(v.s, &trouble), changed), "a differs at byte 4000"), "");
    EXPECT_EQ(model.find("a")->bytes(), pattern_bytes(5000, 1)) << "a copy's change reached the original";

    Files reordered;
    reordered.create("b", pattern_bytes(3000, 2));
    reordered.create("a", pattern_bytes(5000, 1));
    EXPECT_EQ(unless_mentions(volume_difference(v.s, reordered), "lists { a:5000 b:3000 }"), "");
    EXPECT_NE(difference(files_on(v.s, &trouble), reordered), "");

    Files shorter = model;
    shorter.truncate("b", 2999);
    EXPECT_EQ(unless_mentions(listing_difference(v.s, shorter), "instead of { a:5000 b:2999 }"), "");

    // Two files of one name: the later one cannot be opened by name.
    ASSERT_EQ(dace_rename(v.s, "b", "a"), DACE_OK);
    model.rename("b", "a");
    EXPECT_EQ(volume_difference(v.s, model), "");
    trouble.clear();
    files_on(v.s, &trouble);
    EXPECT_EQ(unless_mentions(trouble, "'a' is listed twice"), "");
    ASSERT_EQ(dace_rename_replace(v.s, "a", "c"), DACE_OK);
    model.rename_replace("a", "c");
    EXPECT_EQ(volume_difference(v.s, model), "");
    ASSERT_EQ(dace_rename_replace(v.s, "a", "c"), DACE_OK);
    model.rename_replace("a", "c");
    EXPECT_EQ(volume_difference(v.s, model), "");
    EXPECT_EQ(sizes(model), "{ c:3000 }");
}
