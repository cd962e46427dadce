// The medium's size as the volume's root records it: the default of
// --pages, an image that ends before it (cut short) named so by every
// command, a --pages that says otherwise refused by name, and the images of
// writers that recorded no size read as before.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tests/tool/tool_fixture.h"
#include "tests/tool/tool_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<uint8_t>;

using tool_test::load;
using tool_test::Planted;
using tool_test::random_bytes;
using tool_test::Result;
using tool_test::slurp;
using tool_test::store;
using tool_test::Tool;

// 256 pages of 256 bytes, 8 to a cluster: 32 clusters, two files.
class Size : public Tool {
protected:
    void SetUp() override {
        Tool::SetUp();
        ok("format a.img --pages 256");
        write_file("f", random_bytes(3000, 1));
        write_file("g", random_bytes(9000, 2));
        ok("put a.img f");
        ok("put a.img g");
        image_ = load(at("a.img"));
    }

    Bytes image_;
};

// Every command on an image that ends before the volume its root records
// says so and exits 1: the reading ones after reading what is intact, the
// others with one line and nothing done.
TEST_F(Size, EveryCommandNamesAnImageCutShort) {
    const Planted p(at("a.img"));
    const uint16_t g_newest = p.survey.files[1].entry.clus;
    ASSERT_GE(g_newest, 5u) << "g's newest cluster must lie past the cut";
    for (const uint16_t c : p.survey.files[0].clusters)
        ASSERT_LT(c, 5u) << "f must lie before the cut";
    store(at("cut.img"), Bytes(image_.begin(), image_.begin() + 5 * 2048));
    const std::string cut = "the image is cut short: it holds 10240 of the 65536 bytes of its volume (256 pages)";

    for (const std::string refused : {"info cut.img", "df cut.img", "put cut.img f h", "rm cut.img f",
                                      "mv cut.img f h", "truncate cut.img f 1", "cat cut.img g", "get cut.img g x"}) {
        SCOPED_TRACE(refused);
        fails(refused, "the image is cut short");
    }
    EXPECT_EQ(load(at("cut.img")), Bytes(image_.begin(), image_.begin() + 5 * 2048)) << "nothing was written";
    EXPECT_FALSE(fs::exists(at("x")));

    for (const std::string reading : {"ls cut.img", "ls -l cut.img", "stat cut.img f", "cat cut.img f",
                                      "get cut.img f copy", "unpack cut.img out", "map cut.img", "check cut.img"}) {
        SCOPED_TRACE(reading);
        const Result r = dace(reading);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE((r.err + r.out).find(cut), std::string::npos) << r.err << r.out;
    }
    // What is intact was read, verified.
    EXPECT_EQ(load(at("copy")), load(at("f")));
    EXPECT_EQ(load(at("out/f")), load(at("f")));
    EXPECT_FALSE(fs::exists(at("out/g")));
    EXPECT_EQ(dace("cat cut.img f").out, slurp(at("f")));

    const json check = json::parse(dace("check cut.img --json").out);
    EXPECT_EQ(check["clean"], false);
    EXPECT_EQ(check["clusters"]["missing"], 32 - 5);
    EXPECT_NE(check["problems"][0].get<std::string>().find("clusters 5 to 31 lie past its end"), std::string::npos);
    ASSERT_EQ(check["problems"].size(), 2u) << check.dump();
    EXPECT_EQ(check["problems"][1], fmt::format("\"g\": cluster {} lies past the image's end: the image is cut short",
                                                g_newest));
    const std::string map = dace("map cut.img --svg cut.svg").out;
    EXPECT_EQ(map.substr(11, 28), std::string(27, '~') + "\n") << "the clusters past the cut\n" << map;
    EXPECT_NE(slurp(at("cut.svg")).find("past the image's end: lost"), std::string::npos);

    // --salvage writes what can be read, unverified, and names what is gone.
    const Result salvaged = dace("unpack cut.img salvaged --salvage");
    EXPECT_EQ(salvaged.status, 1);
    EXPECT_EQ(load(at("salvaged/f")), load(at("f")));
    EXPECT_EQ(fs::file_size(at("salvaged/g")), 0u) << "g's chain starts at its newest cluster, which is gone";
    EXPECT_NE(salvaged.err.find("\"g\": cluster " + std::to_string(g_newest) + " lies past the image's end"),
              std::string::npos)
        << salvaged.err;
}

// Without --pages the medium is what the root records, so a file with other
// bytes after the volume reads and changes as the volume alone; a --pages
// that says another size is refused with the recorded one.
TEST_F(Size, PagesDefaultsToTheRecordedSize) {
    const json info = json::parse(ok("info a.img --json").out);
    EXPECT_EQ(info["recorded_pages"], 256);
    EXPECT_EQ(info["format_version"], DACE_FORMAT_VERSION);
    EXPECT_NE(ok("info a.img").out.find("size:        256 pages (32 clusters), recorded in the root (format "
                                        "version 1)"),
              std::string::npos);

    Bytes dump = image_;
    const Bytes after = random_bytes(5000, 3); // not erased: another owner's data
    dump.insert(dump.end(), after.begin(), after.end());
    store(at("dump.bin"), dump);
    EXPECT_EQ(ok("ls dump.bin").out, "f\ng\n");
    EXPECT_EQ(json::parse(ok("info dump.bin --json").out)["total_pages"], 256);
    EXPECT_EQ(dace("check dump.bin").status, 0);
    ok("rm dump.bin f");
    const Bytes changed = load(at("dump.bin"));
    ASSERT_EQ(changed.size(), dump.size());
    EXPECT_TRUE(std::equal(after.begin(), after.end(), changed.end() - 5000)) << "bytes after the volume changed";
    EXPECT_EQ(ok("ls dump.bin").out, "g\n");

    ok("--pages 256 ls dump.bin");
    ok("--pages 263 ls dump.bin"); // the same 32 clusters: no page past them is used
    fails("--pages 264 ls dump.bin", "the image's root records a volume of 256 pages, not the 264 that --pages gives");
    fails("--pages 128 check a.img", "a deliberate `dace format --pages 128 --force` starts afresh");
    ok("format a.img --pages 128 --force");
    EXPECT_EQ(json::parse(ok("info a.img --json").out)["recorded_pages"], 128);

    // Pages after the last cluster, which no cluster uses, stay the medium's
    // as far as the file has them: a change still replaces the file whole.
    ok("format odd.img --pages 261");
    const json odd = json::parse(ok("info odd.img --json").out);
    EXPECT_EQ(odd["total_pages"], 261);
    EXPECT_EQ(odd["recorded_pages"], 256);
    ok("put odd.img f");
    EXPECT_EQ(fs::file_size(at("odd.img")), 261u * 256);
    EXPECT_EQ(json::parse(ok("--pages 258 info odd.img --json").out)["total_pages"], 258);
    const Bytes odd_image = load(at("odd.img"));
    store(at("odd_cut.img"), Bytes(odd_image.begin(), odd_image.begin() + 257 * 256));
    EXPECT_EQ(dace("check odd_cut.img").status, 0) << "whole up to its last cluster";
}

// An image whose copies a writer that recorded no size wrote: the medium
// runs to the end of the file or as --pages says, as before, and info says
// the size is not recorded. The first change records it.
TEST_F(Size, AnOlderWritersImageRunsToTheEndOfTheFile) {
    const Planted p(at("a.img"));
    Bytes old = tool_test::as_older_writer(image_, p.params);
    const Bytes erased(64 * 256, 0xFF);
    Bytes longer = old;
    longer.insert(longer.end(), erased.begin(), erased.end());
    store(at("old.img"), longer);
    EXPECT_EQ(dace("check old.img").status, 0);
    const json info = json::parse(ok("info old.img --json").out);
    EXPECT_EQ(info["total_pages"], 320);
    EXPECT_EQ(info["recorded_pages"], nullptr);
    EXPECT_EQ(info["format_version"], 0);
    EXPECT_NE(ok("info old.img").out.find("not recorded (a writer before format version 1): 320 pages, from the "
                                          "image's length"),
              std::string::npos);
    EXPECT_EQ(json::parse(ok("--pages 256 info old.img --json").out)["total_pages"], 256);
    fails("--pages 400 ls old.img", "fewer than the 102400 that --pages 400 of 256 bytes take");

    // Cut within a page: read as its whole pages, with a warning; a change refused.
    store(at("ragged.img"), Bytes(old.begin(), old.end() - 100));
    const Result r = ok("ls ragged.img");
    EXPECT_EQ(r.out, "f\ng\n");
    EXPECT_NE(r.err.find("cut short? reading its whole pages"), std::string::npos) << r.err;
    fails("rm ragged.img f", "truncated?");

    ok("rm old.img f");
    EXPECT_EQ(json::parse(ok("info old.img --json").out)["recorded_pages"], 320);
}

// check names the verdicts that only a recorded size gives: a root cluster
// of a volume of another size (the mount refuses the medium), and a copy
// whose version or reserved bytes no writer writes.
TEST_F(Size, CheckNamesTheVerdictsOfTheRecordedSize) {
    ok("format small.img --pages 128");
    Planted p(at("a.img"));
    const Bytes small = load(at("small.img"));
    const uint32_t spare = p.free_cluster();
    std::copy_n(small.begin(), 2048, p.clus(spare)); // small's root cluster, same generation
    store(at("mixed.img"), p.bytes);
    Result r = dace("check mixed.img");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(fmt::format("problem: cluster {}: root copy at page 0 records a volume of 16 clusters, not "
                                     "this medium's 32: the mount refuses this medium",
                                     spare)),
              std::string::npos)
        << r.out;
    fails("ls mixed.img", "the medium holds a volume of another size (a root cluster that records a cluster count "
                          "other than this volume's 32 outranks its root or ties with it");

    // Once the volume's root has moved on, the same stray root is stale: a
    // note, and the volume mounts.
    for (int n = 0; Planted(at("a.img")).root().seq < 2; ++n)
        ok(n % 2 == 0 ? "mv a.img f h" : "mv a.img h f");
    Planted moved(at("a.img"));
    const uint32_t stray = moved.free_cluster();
    std::copy_n(small.begin(), 2048, moved.clus(stray));
    store(at("stale.img"), moved.bytes);
    r = dace("check stale.img");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(fmt::format("note: cluster {}: a stale root of a volume of 16 clusters (generation 1), "
                                     "outranked by the root in force: erased when reused",
                                     stray)),
              std::string::npos)
        << r.out;
    ok("ls stale.img");

    Planted q(at("a.img"));
    dace_root head = q.root();
    head.version = 2;
    q.set_root(head);
    q.reseal_root();
    store(at("version.img"), q.bytes);
    r = dace("check version.img -v");
    EXPECT_NE(r.out.find("(copy there: reserved bytes or format version not as a writer writes them)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(dace_tool::describe_copy(DACE_COPY_VOLUME_SIZE),
              std::string("a volume of another size: its cluster count is not the medium's"));
}

} // namespace
