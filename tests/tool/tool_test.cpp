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
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
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
    fails("put a.img more log", "\"log\": a file of that name exists: pass --append");
    fails("put a.img more no/slash", "bad name \"no/slash\": a name is 1 to 18 bytes and holds no '/'");
    fails("put a.img more ''", "bad name \"\": a name is 1 to 18 bytes");

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
    fails("rm a.img data.bin", "\"data.bin\": no such file");
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
    // Cut within a page: the root records the volume's size, so the image
    // is cut short; a reading command reads what it holds and says so, a
    // changing one refuses.
    store(at("cut.img"), Bytes(img.begin(), img.end() - 100));
    Result r = dace("ls cut.img");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "f\n");
    EXPECT_NE(r.err.find(fmt::format("the image is cut short: it holds {} of the {} bytes", img.size() - 100,
                                     img.size())),
              std::string::npos)
        << r.err;
    fails("rm cut.img f", "the image is cut short");
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
        // Damage in a copy that valid copies follow: no power cut leaves
        // that (a cut tears only the last write), and the commits after it
        // are hidden from the mount.
        Planted p(at("a.img"));
        const auto *log = p.survey.root();
        ASSERT_GE(log->last_valid, 1);
        const uint32_t page = log->copies[size_t(log->last_valid) - 1].page;
        p.clus(log->clus)[size_t{page} * p.params.page_size + 32] ^= 1;
        expect_problem("damaged_root", p,
                       "copy at page " + std::to_string(page) + " is damaged (entry table CRC mismatch)");
    }
    {
        Planted p(at("a.img"));
        const uint16_t c = p.survey.files[0].clusters.back(); // alpha's first cluster
        p.set_link(c, p.survey.files[0].clusters.front());
        p.reseal_data(c);
        expect_problem("loop", p, "\"alpha\": chain loops back to cluster");
    }
    {
        Planted p(at("a.img"));
        dace_entry beta = p.entry(1);
        beta.clus = p.entry(0).clus;
        p.set_entry(1, beta);
        p.reseal_root();
        expect_problem("shared", p, "\"beta\": cluster " + std::to_string(beta.clus) + " is shared with \"alpha\"");
    }
    {
        Planted p(at("a.img"));
        const uint16_t c = p.survey.files[1].clusters[0];
        p.clus(c)[100] ^= 0x40;
        expect_problem("data_crc", p, "\"beta\": cluster " + std::to_string(c) + " fails its data CRC");
    }
    {
        Planted p(at("a.img"));
        dace_entry alpha = p.entry(0);
        alpha.size = 2040;
        p.set_entry(0, alpha);
        p.reseal_root();
        expect_problem("length", p, "\"alpha\": chain of 3 clusters where a size of 2040 bytes needs 1");
    }
    {
        Planted p(at("a.img"));
        dace_entry beta = p.entry(1);
        std::memcpy(beta.name, "alpha", 6);
        p.set_entry(1, beta);
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

namespace {

// A FIFO or a folder is refused before anything could block on it; a file
// the user cannot read is one more invalid entry for pack --skip-invalid.
TEST_F(Tool, InputThatIsNotARegularReadableFile) {
    ok("format a.img --pages 256");
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    Result r = sh("timeout 20 dace put a.img fifo");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fifo is a FIFO: only a regular file can be read (or - for standard input)"),
              std::string::npos)
        << r.err;
    fs::create_directory(at("folder"));
    fails("put a.img folder", "folder is a folder");

    write_file("src/a", random_bytes(10, 1));
    write_file("src/secret", random_bytes(10, 2));
    ASSERT_EQ(::chmod(at("src/secret").c_str(), 0), 0);
    std::string as_user;
    if (::geteuid() == 0) {
        if (std::system("command -v setpriv >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "running as root without setpriv: cannot pack as a user who lacks read access";
        }
        fs::permissions(dir_, fs::perms::all);
        as_user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    r = sh(as_user + "dace pack src p.img");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("src/secret: cannot be read (Permission denied); pass --skip-invalid"), std::string::npos)
        << r.err;
    r = sh(as_user + "dace pack src p.img --skip-invalid");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("skipped src/secret: cannot be read"), std::string::npos) << r.err;
    EXPECT_EQ(ok("ls p.img").out, "a\n");
}

// cat, get and unpack verify what they read: one flipped payload bit stops
// the file with a message naming it and its cluster; --salvage writes it
// anyway and says what is wrong.
TEST_F(Tool, ReadsAreVerified) {
    write_file("src/f", random_bytes(5000, 1));
    write_file("src/g", random_bytes(100, 2));
    ok("pack src a.img");
    Planted p(at("a.img"));
    const uint16_t c = p.survey.files[0].clusters[1]; // f's second cluster in file order
    p.clus(c)[8 + 100] ^= 0x10;
    store(at("bad.img"), p.bytes);
    const std::string fault = "\"f\": cluster " + std::to_string(c) + " fails its data CRC";
    const std::string stopped = "\"f\": reading stopped at byte 2040 of 5000: the medium holds damaged data (cluster " +
                                std::to_string(c) + " fails its data CRC); --salvage";

    Result r = dace("unpack bad.img out");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(stopped), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(at("out/f")));
    EXPECT_EQ(load(at("out/g")), load(at("src/g")));
    fails("cat bad.img f", stopped);
    fails("get bad.img f copy", stopped);
    EXPECT_FALSE(fs::exists(at("copy")));

    r = dace("unpack bad.img salvaged --salvage");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--salvage: data is read without verification"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(fault + ": its bytes are written as they read"), std::string::npos) << r.err;
    Bytes expected = load(at("src/f"));
    expected[2040 + 100] ^= 0x10;
    EXPECT_EQ(load(at("salvaged/f")), expected);
}

// check, map and ls judge root copies by the library's rules: a copy whose
// CRCs match but whose fill is not zero is torn, and all of them use the
// copy before it, as the mount does. Torn as the last write, it is what a
// power cut leaves: a note, not a problem.
TEST_F(Tool, CheckAndTheMountAgreeOnTheRootCopy) {
    write_file("src/a", random_bytes(100, 1));
    write_file("src/b", random_bytes(100, 2));
    ok("pack src a.img");
    Planted p(at("a.img"));
    const uint32_t page = p.survey.root()->page();
    p.root_copy()[32 + 32 * 2] = 1; // the first fill byte after the two entries
    store(at("torn.img"), p.bytes);

    const json info = json::parse(ok("info torn.img --json").out);
    const json check = json::parse(dace("check torn.img --json").out);
    EXPECT_EQ(check["clean"], true);
    EXPECT_EQ(check["root"]["page"], info["root_page"]);
    EXPECT_EQ(check["root"]["page"], page - 1);
    EXPECT_EQ(check["files"], info["files"]);
    EXPECT_NE(check["notes"].dump().find("copy at page " + std::to_string(page) + " is damaged (torn"),
              std::string::npos)
        << check.dump();
    EXPECT_EQ(ok("ls torn.img").out, "a\n");
}

// Reading commands on an image cut at a cluster boundary read the files
// that are whole, name the one that is not, and name the image cut short
// (exit status 1); --salvage writes what can be read; changes are refused.
// A file whose chain the mount would cut is damaged too: it may be
// removed, but no other change is made.
TEST_F(Tool, ADamagedImageYieldsWhatIsIntact) {
    write_file("src/a", random_bytes(9000, 1));
    write_file("src/b", random_bytes(9000, 2));
    write_file("src/c", random_bytes(9000, 3));
    ok("pack src a.img");
    const Planted p(at("a.img"));
    const uint16_t first_of_c = p.survey.files[2].clusters.back();
    Bytes cut = p.bytes;
    cut.resize(size_t{first_of_c} * p.params.clus_size());
    store(at("cut.img"), cut);

    // The walk of c's chain starts at its newest cluster, which is gone.
    const std::string past =
        "\"c\": cluster " + std::to_string(p.survey.files[2].entry.clus) + " lies past the image's end";
    Result r = dace("ls cut.img");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a\nb\nc\n");
    EXPECT_NE(r.err.find(past), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the image is cut short"), std::string::npos) << r.err;
    r = dace("cat cut.img a");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, slurp(at("src/a")));
    EXPECT_NE(r.err.find("the image is cut short"), std::string::npos) << r.err;
    fails("cat cut.img c", past + ": the image is cut short; --salvage");
    r = dace("cat cut.img c --salvage");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "none of c is in the image";
    EXPECT_NE(r.err.find(past), std::string::npos) << r.err;
    r = dace("unpack cut.img out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(load(at("out/a")), load(at("src/a")));
    EXPECT_EQ(load(at("out/b")), load(at("src/b")));
    EXPECT_FALSE(fs::exists(at("out/c")));
    EXPECT_NE(r.err.find(past), std::string::npos) << r.err;
    fails("put cut.img src/a x", "the image is cut short");
    // A --pages of another size is refused, not taken as a smaller medium.
    fails("--pages " + std::to_string(first_of_c * 8) + " info a.img",
          fmt::format("the image's root records a volume of {} pages, not the {} that --pages gives",
                      p.params.total_pages, first_of_c * 8));

    // One of a's clusters erased: the mount would cut a short.
    Planted q(at("a.img"));
    const uint16_t lost = q.survey.files[0].clusters[1];
    std::fill_n(q.clus(lost), q.params.clus_size(), uint8_t{0xFF});
    store(at("erased.img"), q.bytes);
    const std::string damage = "\"a\": cluster " + std::to_string(lost) + " has no data mark";
    fails("cat erased.img a", damage);
    EXPECT_EQ(ok("cat erased.img b").out, slurp(at("src/b")));
    fails("put erased.img src/a x", damage);
    ok("rm erased.img a");
    EXPECT_EQ(ok("ls erased.img").out, "b\nc\n");
}

// Messages name the problem the user has: a geometry the library refuses
// and why, options already given, a blank image, the one CRC tried, an
// unknown subcommand, a negative length.
TEST_F(Tool, MessagesNameTheActualProblem) {
    fails("format a.img --pages 800 --page-size 100", "--page-size 100: a page must be a multiple of 8 bytes");
    ok("format a.img --pages 256");
    Result r = dace("--page-size 512 info a.img");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("pass --page-size"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("root headers are of page size 256"), std::string::npos) << r.err;

    store(at("blank.img"), Bytes(64 * 1024, 0xFF));
    fails("ls blank.img", "the image is blank (erased)");
    fails("--page-size 256 --clus-pages 8 ls blank.img", "the image is blank (erased)");
    fails("--page-size 256 --clus-pages 8 --crc 1021-msb --crc-seed 0xFFFF check blank.img",
          "the image is blank (erased)");

    r = dace("--crc 1021-lsb ls a.img");
    EXPECT_NE(r.err.find("no root copy is valid under CRC 1021-lsb:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("8005"), std::string::npos) << r.err;

    fails("bogus x", "unknown subcommand \"bogus\"");
    write_file("f", random_bytes(10, 1));
    ok("put a.img f");
    fails("truncate a.img f -5", "LENGTH -5: not a whole number of 0 or more");
}

// pack over an existing image needs --force, as format does; put --force
// puts new content in place of a file; mv --force replaces in one commit.
TEST_F(Tool, ReplacingNeedsForce) {
    write_file("src/a", random_bytes(100, 1));
    ok("pack src p.img");
    const Bytes before = load(at("p.img"));
    write_file("src/b", random_bytes(100, 2));
    fails("pack src p.img", "p.img exists: pass --force to replace it");
    EXPECT_EQ(load(at("p.img")), before);
    ok("pack src p.img --force");
    EXPECT_EQ(ok("ls p.img").out, "a\nb\n");

    write_file("a2", random_bytes(5000, 3));
    fails("put p.img a2 a", "\"a\": a file of that name exists");
    ok("put p.img a2 a --force");
    EXPECT_EQ(ok("cat p.img a").out, slurp(at("a2")));
    EXPECT_EQ(ok("ls p.img").out, "b\na\n");
    fails("put p.img a2 a --force --append", "--append and --force exclude each other");
    ok("mv p.img a b --force");
    EXPECT_EQ(ok("ls p.img").out, "b\n");
    EXPECT_EQ(ok("cat p.img b").out, slurp(at("a2")));
    EXPECT_EQ(dace("check p.img").status, 0);
}

// What users expect of a command-line tool: --version, df -h, a header
// over ls -l, times in the local zone, every option in each subcommand's
// help, a map that tells 70 files apart, and a colour of its own for
// clusters to be erased.
TEST_F(Tool, EverydayConveniences) {
    EXPECT_EQ(ok("--version").out.rfind("dace 0.", 0), 0u);
    ok("format a.img --pages 4096");
    write_file("f", random_bytes(40000, 1), 1765000000000000000);
    ok("put a.img f");
    const json df = json::parse(ok("df a.img --json").out);
    const std::string human = ok("df -h a.img").out;
    EXPECT_EQ(human.find(std::to_string(df["total_bytes"].get<uint32_t>())), std::string::npos) << human;
    EXPECT_NE(human.find(" 1.0M "), std::string::npos) << human;

    const std::string listing = ok("ls -l a.img").out;
    EXPECT_EQ(listing.substr(0, listing.find('\n')), "      size  clus modified             name");
    EXPECT_NE(listing.find("2025-12-06 05:46:40  f"), std::string::npos) << listing;
    EXPECT_NE(ok("ls -l a.img", "TZ=XYZ-2").out.find("2025-12-06 07:46:40  f"), std::string::npos);
    EXPECT_NE(ok("stat a.img f", "TZ=XYZ-2").out.find("2025-12-06 07:46:40 +0200"), std::string::npos);
    for (const char *sub : {"ls", "put", "check", "format"}) {
        const std::string help = ok(std::string(sub) + " --help").out;
        EXPECT_NE(help.find("--page-size N"), std::string::npos) << sub;
        EXPECT_NE(help.find("--offset N"), std::string::npos) << sub;
    }

    for (int i = 0; i < 70; ++i)
        write_file(fmt::format("many/f{:02}", i), random_bytes(10, uint32_t(i)));
    ok("pack many m.img --clus-pages 16");
    ok("rm m.img f00");
    const std::string map = ok("map m.img --svg m.svg").out;
    std::set<std::string> codes;
    std::istringstream lines(map.substr(map.find("problem (see check)\n") + 20));
    for (std::string code, rest; lines >> code && std::getline(lines, rest);)
        codes.insert(code);
    EXPECT_EQ(codes.size(), 69u) << map;
    std::set<std::string> cells; // two characters each, after the row's number
    std::istringstream grid(map.substr(0, map.find("\n\n")));
    for (std::string row; std::getline(grid, row);)
        for (size_t at = 6; at + 2 <= row.size(); at += 2)
            cells.insert(row.substr(at, 2));
    for (const std::string &code : codes)
        EXPECT_EQ(cells.count(code), 1u) << code << " is on no cell\n" << map;
    const std::string svg = slurp(at("m.svg"));
    const size_t erased = svg.find("to be erased</title>");
    ASSERT_NE(erased, std::string::npos);
    const size_t fill = svg.rfind("fill=\"", erased) + 6;
    const std::string erase_fill = svg.substr(fill, svg.find('"', fill) - fill);
    EXPECT_EQ(svg.find("fill=\"" + erase_fill + "\"><title>cluster 1: \""), std::string::npos);
    EXPECT_EQ(erase_fill.rfind("hsl(", 0), std::string::npos) << erase_fill;
}

// cmake --install installs the tool as its own component, with a man page.
TEST(ToolInstall, InstallsTheToolWithItsManPage) {
    const fs::path prefix = fs::temp_directory_path() / ("dace_install_" + std::to_string(::getpid()));
    fs::remove_all(prefix);
    const std::string cmd = std::string("'") + DACE_CMAKE_COMMAND + "' --install '" + DACE_BINARY_DIR +
                            "' --component tool --prefix '" + prefix.string() + "' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_TRUE(fs::exists(prefix / "bin/dace"));
    EXPECT_TRUE(fs::exists(prefix / "share/man/man1/dace.1"));
    EXPECT_TRUE(fs::exists(prefix / "share/doc/libdace/LICENSE"));
    EXPECT_EQ(std::system((DACE_EMULATOR " '" + (prefix / "bin/dace").string() + "' --version >/dev/null").c_str()), 0);
    fs::remove_all(prefix);
}

} // namespace
