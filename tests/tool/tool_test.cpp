// The `dace` tool end to end: every test runs the real executable on image
// files in a scratch folder. Faults are planted byte by byte, with CRCs
// recomputed by the tool's catalogue so that only the planted fault is wrong.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/flash_sim.h"
#include "tests/tool/tool_fixture.h"
#include "tests/tool/tool_support.h"
#include "tools/crc_catalogue.h"
#include "tools/image.h"
#include "tools/survey.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<uint8_t>;

using tool_test::load;
using tool_test::mtime_ns;
using tool_test::Planted;
using tool_test::random_bytes;
using tool_test::Result;
using tool_test::set_mtime;
using tool_test::slurp;
using tool_test::store;
using tool_test::Tool;

// Pack, then unpack: identical bytes and times; the listing in JSON matches;
// the packed image checks clean; progress stays off a pipe.
TEST_F(Tool, PackThenUnpackGivesIdenticalFilesAndTimes) {
    const size_t payload = 2048 - 8;
    const std::vector<std::pair<std::string, size_t>> files = {
        {"empty", 0}, {"one", 1}, {"exactly_payload", payload}, {"payload_plus_1", payload + 1},
        {"eighteen_bytes_abc", 9000}, {"n\xc3\xa4me", 70}};
    int64_t t = 1600000000123456789;
    for (size_t i = 0; i < files.size(); ++i)
        write_file("src/" + files[i].first, random_bytes(files[i].second, uint32_t(i)), t += 1000000007);

    Result packed = ok("pack src a.img");
    EXPECT_EQ(packed.err, "");
    ok("unpack a.img out");
    for (const auto &[name, size] : files) {
        EXPECT_EQ(load(at("out/" + name)), load(at("src/" + name))) << name;
        EXPECT_EQ(mtime_ns(at("out/" + name)), mtime_ns(at("src/" + name))) << name;
    }
    const json list = json::parse(ok("ls a.img --json").out);
    ASSERT_EQ(list.size(), files.size());
    for (const json &e : list) {
        const auto src = at("src/" + e["name"].get<std::string>());
        EXPECT_EQ(e["size"], fs::file_size(src));
        EXPECT_EQ(e["stamp"].get<int64_t>(), mtime_ns(src));
    }
    const json check = json::parse(ok("check a.img --json").out);
    EXPECT_TRUE(check["clean"]);
    EXPECT_EQ(check["files"], files.size());
}

// The same folder gives the same image; SOURCE_DATE_EPOCH makes it so even
// when the files' times differ, and becomes every file's time.
TEST_F(Tool, PackIsReproducible) {
    write_file("src/a", random_bytes(5000, 1), 1500000000000000000);
    write_file("src/b", random_bytes(10, 2), 1500000000000000000);
    ok("pack src one.img");
    ok("pack src two.img");
    EXPECT_EQ(load(at("one.img")), load(at("two.img")));

    set_mtime(at("src/a"), 1600000000000000000);
    ok("pack src three.img");
    EXPECT_NE(load(at("one.img")), load(at("three.img")));

    ok("pack src e1.img", "SOURCE_DATE_EPOCH=1234567890");
    set_mtime(at("src/b"), 1700000000000000000);
    ok("pack src e2.img", "SOURCE_DATE_EPOCH=1234567890");
    EXPECT_EQ(load(at("e1.img")), load(at("e2.img")));
    EXPECT_EQ(json::parse(ok("stat e2.img b --json").out)["stamp"], 1234567890000000000ull);
}

TEST_F(Tool, PackRefusesWhatTheMediumCannotHold) {
    write_file("src/good", random_bytes(100, 1));
    write_file("src/nested/inner", random_bytes(10, 2));
    fails("pack src a.img", "src/nested: a nested folder");
    EXPECT_FALSE(fs::exists(at("a.img")));
    fs::remove_all(at("src/nested"));
    write_file("src/a_name_of_19_bytes_", random_bytes(10, 3));
    fails("pack src a.img", "src/a_name_of_19_bytes_: a name of 19 bytes");

    Result skipped = ok("pack src a.img --skip-invalid");
    EXPECT_NE(skipped.err.find("skipped src/a_name_of_19_bytes_"), std::string::npos);
    EXPECT_EQ(ok("ls a.img").out, "good\n");

    // A medium too small: nothing written, an existing image kept.
    write_file("src2/big", random_bytes(40000, 4));
    ok("format small.img --pages 128");
    const Bytes before = load(at("small.img"));
    fails("pack src2 small.img --pages 128 --force", "the medium is full");
    EXPECT_EQ(load(at("small.img")), before);
}

// Every changing command, its refusals, and what the reading ones show.
TEST_F(Tool, FileCommandsChangeTheImageThroughTheLibrary) {
    ok("format a.img --pages 512");
    fails("format a.img --pages 512", "exists: pass --force");
    const Bytes data = random_bytes(7000, 7);
    write_file("data.bin", data, 1650000000000000001);
    ok("put a.img data.bin");
    ok("put a.img data.bin log");
    write_file("more", random_bytes(3000, 8));
    ok("put a.img more log --append");
    fails("put a.img more log", "already exists");
    fails("put a.img more no/slash", "contains a '/'");
    fails("put a.img more ''", "empty");

    Bytes log = data;
    const Bytes more = load(at("more"));
    log.insert(log.end(), more.begin(), more.end());
    EXPECT_EQ(ok("cat a.img log").out, std::string(log.begin(), log.end()));

    ok("get a.img data.bin copy.bin");
    EXPECT_EQ(load(at("copy.bin")), data);
    EXPECT_EQ(mtime_ns(at("copy.bin")), 1650000000000000001);

    const json st = json::parse(ok("stat a.img log --json").out);
    EXPECT_EQ(st["size"], 10000);
    EXPECT_EQ(st["clusters"], 5);

    fails("mv a.img log data.bin", "exists: pass --force");
    ok("mv a.img log data.bin --force");
    EXPECT_EQ(ok("ls a.img").out, "data.bin\n");
    EXPECT_EQ(json::parse(ok("stat a.img data.bin --json").out)["size"], 10000);

    fails("truncate a.img data.bin 10001", "beyond the size 10000");
    ok("truncate a.img data.bin 2041");
    EXPECT_EQ(ok("cat a.img data.bin").out, std::string(data.begin(), data.begin() + 2041));

    const json df = json::parse(ok("df a.img --json").out);
    const json info = json::parse(ok("info a.img --json").out);
    EXPECT_EQ(df["free_bytes"], info["free_bytes"]);
    EXPECT_EQ(df["used_bytes"].get<uint32_t>() + df["free_bytes"].get<uint32_t>(), df["total_bytes"]);
    EXPECT_EQ(info["files"], 1);

    ok("rm a.img data.bin");
    fails("rm a.img data.bin", "no file \"data.bin\"");
    EXPECT_EQ(ok("ls a.img").out, "");
    EXPECT_EQ(json::parse(ok("check a.img --json").out)["clean"], true);
}

// Images that cannot be read give one clear line and leave the file alone.
TEST_F(Tool, BadImagesAreRefusedWithOneLine) {
    fails("ls missing.img", "cannot open image missing.img");
    write_file("junk.img", random_bytes(64 * 1024, 9));
    fails("ls junk.img", "no root header found");

    write_file("src/f", random_bytes(3000, 1));
    ok("pack src a.img");
    Bytes img = load(at("a.img"));
    // Cut within a page: a reading command takes the whole pages and says
    // so; a changing one refuses.
    store(at("cut.img"), Bytes(img.begin(), img.end() - 100));
    EXPECT_NE(ok("ls cut.img").err.find("cut short?"), std::string::npos);
    fails("rm cut.img f", "truncated?");
    write_file("long/f", random_bytes(20000, 2));
    ok("pack long long.img");
    const Bytes whole = load(at("long.img"));
    store(at("short.img"), Bytes(whole.begin(), whole.begin() + 9 * 2048));
    fails("cat short.img f", "the image is cut short");

    // Every root copy damaged: nothing to detect from, and with every option
    // given the mount is refused rather than formatting the medium.
    Planted p(at("a.img"));
    for (const auto &log : p.survey.roots)
        for (const auto &copy : log.copies)
            p.clus(log.clus)[size_t{copy.page} * p.params.page_size + 28] ^= 0xFF;
    store(at("bad_root.img"), p.bytes);
    fails("ls bad_root.img", "no root copy is valid");
    fails("ls bad_root.img --page-size 256 --clus-pages 8 --crc 1021-msb --crc-seed 65535", "no valid root copy");
    EXPECT_EQ(load(at("bad_root.img")), p.bytes);
    // check still reads it when told the setting.
    Result check = dace("check bad_root.img --page-size 256 --clus-pages 8 --crc 1021-msb --crc-seed 65535");
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("no valid root copy"), std::string::npos) << check.out;
}

// A put that runs out of room leaves the image as it was, still holding
// every file.
TEST_F(Tool, FullMediumLeavesTheImageAsItWas) {
    ok("format a.img --pages 96");
    write_file("keep", random_bytes(4000, 1));
    ok("put a.img keep");
    const Bytes before = load(at("a.img"));
    write_file("huge", random_bytes(30000, 2));
    fails("put a.img huge", "the medium is full");
    EXPECT_EQ(load(at("a.img")), before);
    fails("put a.img huge keep --append", "the medium is full");
    EXPECT_EQ(load(at("a.img")), before);
    EXPECT_EQ(ok("cat a.img keep").out.size(), 4000u);
    EXPECT_EQ(ok("ls a.img").out, "keep\n");
}

// check on images with one planted fault each: status 1 and the line that
// names it; released data no file reaches is a note, not a problem.
TEST_F(Tool, CheckFindsPlantedFaults) {
    write_file("src/alpha", random_bytes(5000, 1));
    write_file("src/beta", random_bytes(3000, 2));
    ok("pack src a.img");
    EXPECT_EQ(ok("check a.img").out.find("problem:"), std::string::npos);

    auto expect_problem = [&](const std::string &what, Planted &p, const std::string &line) {
        store(at(what + ".img"), p.bytes);
        Result r = dace("check " + what + ".img");
        EXPECT_EQ(r.status, 1) << what << "\n" << r.out;
        EXPECT_NE(r.out.find(line), std::string::npos) << what << "\n" << r.out;
        EXPECT_NE(r.out.find("NOT CLEAN"), std::string::npos) << r.out;
        EXPECT_EQ(load(at(what + ".img")), p.bytes) << "check wrote to " << what;
    };
    {
        Planted p(at("a.img"));
        const auto *log = p.survey.root();
        const uint32_t page = log->copies[size_t(log->last_valid)].page;
        p.root_copy()[32] ^= 1; // the entries of the copy in force
        expect_problem("damaged_root", p,
                       "copy at page " + std::to_string(page) + " is damaged (entry table CRC mismatch)");
    }
    {
        Planted p(at("a.img"));
        const uint16_t c = p.survey.files[0].clusters.back(); // alpha's first cluster
        reinterpret_cast<dace_clus_header *>(p.clus(c))->link = p.survey.files[0].clusters.front();
        p.reseal_data(c);
        expect_problem("loop", p, "\"alpha\": chain loops back to cluster");
    }
    {
        Planted p(at("a.img"));
        p.entry(1)->clus = p.entry(0)->clus;
        p.reseal_root();
        expect_problem("shared", p, "\"beta\": cluster " + std::to_string(p.entry(0)->clus) + " is shared with \"alpha\"");
    }
    {
        Planted p(at("a.img"));
        const uint16_t c = p.survey.files[1].clusters[0];
        p.clus(c)[100] ^= 0x40;
        expect_problem("data_crc", p, "\"beta\": cluster " + std::to_string(c) + " fails its data CRC");
    }
    {
        Planted p(at("a.img"));
        p.entry(0)->size = 2040;
        p.reseal_root();
        expect_problem("length", p, "\"alpha\": chain of 3 clusters where a size of 2040 bytes needs 1");
    }
    {
        Planted p(at("a.img"));
        std::memcpy(p.entry(1)->name, "alpha", 6);
        p.reseal_root();
        expect_problem("duplicate", p, "name \"alpha\" is borne by 2 entries (0, 1)");
    }
    {
        Planted p(at("a.img"));
        const uint32_t spare = p.free_cluster();
        std::memcpy(p.clus(spare), p.clus(p.survey.files[1].clusters[0]), p.params.clus_size());
        store(at("orphan.img"), p.bytes);
        Result r = dace("check orphan.img");
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("note: 1 cluster of released data that no file reaches, erased when reused: " +
                             std::to_string(spare)),
                  std::string::npos)
            << r.out;
        Result map = ok("map orphan.img --svg orphan.svg");
        EXPECT_NE(map.out.find('x'), std::string::npos) << map.out;
    }
    // map marks a planted fault and names every file in its legend and SVG.
    Result map = ok("map shared.img --svg shared.svg");
    EXPECT_NE(map.out.find('!'), std::string::npos) << map.out;
    EXPECT_NE(map.out.find("a alpha (5000 bytes, 3 clusters)"), std::string::npos) << map.out;
    const std::string svg = slurp(at("shared.svg"));
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("alpha (5000 bytes"), std::string::npos);
    EXPECT_NE(svg.find("stroke=\"red\""), std::string::npos);
}

// Every CRC of the catalogue and a non-default seed are found from the image
// alone; a medium whose roots fit two settings is refused, naming the options.
TEST_F(Tool, DetectsCrcSeedAndGeometry) {
    write_file("f", random_bytes(3000, 5));
    for (const auto &algo : dace_tool::crc_catalogue()) {
        const std::string name(algo.name);
        ok("format " + name + ".img --pages 256 --page-size 512 --clus-pages 4 --geometry-tag 8 --crc " + name +
           " --crc-seed 0x1d0f");
        ok("put " + name + ".img f");
        const json info = json::parse(ok("info " + name + ".img --json").out);
        EXPECT_EQ(info["crc"], name);
        EXPECT_EQ(info["crc_seed"], 0x1d0f);
        EXPECT_EQ(info["page_size"], 512);
        EXPECT_EQ(info["clus_pages"], 4);
        EXPECT_EQ(info["geometry_tag"], 8);
        EXPECT_EQ(ok("cat " + name + ".img f").out, slurp(at("f")));
        EXPECT_EQ(dace("check " + name + ".img").status, 0);
    }
    // The catalogue's first CRC is the simulator's, and every entry chains.
    const Bytes b = random_bytes(100, 3);
    EXPECT_EQ(dace_tool::crc_run(dace_tool::default_crc(), 0xFFFF, b.data(), b.size()),
              dace_sim::crc16_ccitt(0xFFFF, b.data(), b.size()));
    for (const auto &algo : dace_tool::crc_catalogue())
        EXPECT_EQ(dace_tool::crc_run(algo, dace_tool::crc_run(algo, 7, b.data(), 40), b.data() + 40, 60),
                  dace_tool::crc_run(algo, 7, b.data(), 100))
            << algo.name;

    // A second root cluster written under another CRC: both settings explain
    // one root copy each.
    Bytes mixed = load(at("1021-msb.img"));
    const Bytes other = load(at("8005-lsb.img"));
    const size_t clus = 512 * 4;
    std::copy(other.begin(), other.begin() + clus, mixed.begin() + 20 * clus);
    store(at("mixed.img"), mixed);
    fails("ls mixed.img", "pass --crc and --crc-seed");
    EXPECT_EQ(ok("ls mixed.img --crc 1021-msb").out, "f\n");

    // A root of another cluster size: the geometry itself is open.
    ok("format quad.img --pages 256 --page-size 512 --clus-pages 2 --crc 8005-lsb --crc-seed 0x1d0f");
    ok("format single.img --pages 256 --page-size 512 --clus-pages 4 --geometry-tag 8");
    Bytes geo = load(at("single.img"));
    const Bytes quad = load(at("quad.img"));
    std::copy(quad.begin(), quad.begin() + 1024, geo.begin() + 20 * clus);
    store(at("geo.img"), geo);
    fails("ls geo.img", "pass --page-size, --clus-pages");
}

} // namespace
