// One errno for every host user: the same misuse reaches a program through
// `dace mount` as the errno that the reason table (tools/reasons.h) gives
// the library's reason, and the tool's message holds the table's line for
// it. And the tool's reading paths mount with dace_mount on a medium that
// takes no write, so that no image is ever changed by reading it, whatever
// it holds: blank, random, damaged, another file system's, or a first
// format cut short that dace_init would complete.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tests/tool/tool_fixture.h"
#include "tests/tool/tool_support.h"
#include "tools/commands.h"
#include "tools/image_medium.h"
#include "tools/mount_ops.h"
#include "tools/reasons.h"
#include "tools/survey.h"

namespace {

using dace_tool::FileId;
using dace_tool::LibraryError;
using dace_tool::MountedImage;
using dace_tool::Mounting;
using dace_tool::Params;
using dace_tool::reason_of;
using dace_tool::Volume;
using tool_test::Bytes;
using tool_test::small_params;

const std::string kLongName = "abcdefghijklmnopqrs"; // 19 bytes: one more than a name holds

// The errno the table gives `reason`, negated as the mount's operations
// return it.
int errno_for(int reason) { return -reason_of(reason).errno_value; }

// `action` must throw a LibraryError with `reason`, its message holding
// the table's line for it.
template <class Action> void tool_says(int reason, Action &&action, const std::string &what) {
    try {
        action();
        ADD_FAILURE() << what << ": no error";
    } catch (const LibraryError &e) {
        EXPECT_EQ(e.reason, reason) << what << ": " << e.what();
        EXPECT_NE(std::string(e.what()).find(reason_of(reason).message), std::string::npos) << what << ": "
                                                                                             << e.what();
    }
}

dace_tool::VolumeOptions mounted_as(Mounting how) {
    dace_tool::VolumeOptions vo;
    vo.mounting = how;
    return vo;
}

// A formatted medium holding `files` (name, size), each of seeded bytes.
Bytes with_files(const Params &p, const std::vector<std::pair<std::string, size_t>> &files) {
    Volume v(tool_test::blank_image(p), p);
    for (const auto &[name, size] : files) {
        const Bytes data = tool_test::random_bytes(size, static_cast<uint32_t>(size));
        dace_tool::write_file(v, name, data.data(), data.size(), false);
    }
    return v.bytes();
}

// The mount's operations on `image`, as `dace mount` without -o ro has
// them; `how` Read gives a medium that refuses every program and erase,
// as a write-protected part does.
std::unique_ptr<MountedImage> mounted(const Bytes &image, const Params &p, Mounting how = Mounting::Change) {
    return std::make_unique<MountedImage>(std::make_unique<Volume>(image, p, mounted_as(how)), false);
}

// The image a first format cut short leaves (its only root copy's CRCs not
// yet programmed), which dace_init completes and dace_mount refuses.
Bytes format_cut_short(const Params &p) {
    Bytes image = tool_test::blank_image(p);
    for (size_t at = 0; at < image.size(); at += p.clus_size()) {
        if (dace_check::get_le32(image.data() + at) == ROOT_MAGIC)
            std::fill_n(image.begin() + static_cast<long>(at) + 28, 4, uint8_t{0xFF});
    }
    return image;
}

TEST(SameReason, NamesAreJudgedByTheLibraryRules) {
    const Params p = small_params(256, 4);
    const Bytes image = with_files(p, {{"f", 100}});
    const auto m = mounted(image, p);
    FileId h = 0;
    EXPECT_EQ(m->create(("/" + kLongName).c_str(), h), errno_for(DACE_E_NAME_TOO_LONG));
    EXPECT_EQ(m->rename("/f", ("/" + kLongName).c_str(), 0), errno_for(DACE_E_NAME_TOO_LONG));
    EXPECT_EQ(m->create("/a\\b", h), errno_for(DACE_E_NAME_INVALID));
    EXPECT_EQ(m->rename("/f", "/a\\b", 0), errno_for(DACE_E_NAME_INVALID));
    // A path that leads nowhere is ENOENT whatever its length: the FUSE
    // library hides removed open files under longer names, and takes a
    // name as free only on ENOENT.
    struct stat st {};
    EXPECT_EQ(m->getattr(("/" + kLongName).c_str(), st), -ENOENT);

    Volume v(image, p);
    const Bytes data(10, 'x');
    for (const std::string &name : {std::string(), std::string("a/b"), std::string("a\\b"), kLongName}) {
        SCOPED_TRACE("name \"" + name + "\"");
        const int reason = dace_tool::name_reason(name.c_str());
        ASSERT_NE(reason, DACE_E_NONE);
        // The reason the tool checks names by is the one the library gives.
        EXPECT_EQ(dace_create(v.state(), name.c_str()), 0u);
        EXPECT_EQ(dace_error(v.state()), reason);
        tool_says(reason, [&] { dace_tool::write_file(v, name, data.data(), data.size(), false); }, "put");
        tool_says(reason, [&] { dace_tool::remove_file(v, name); }, "rm");
        tool_says(reason, [&] { dace_tool::rename_file(v, "f", name, true); }, "mv");
        tool_says(reason, [&] { dace_tool::truncate_file(v, name, 0); }, "truncate");
        tool_says(reason, [&] { dace_tool::read_file(v, name); }, "cat");
    }
    EXPECT_EQ(dace_tool::name_reason("abcdefghijklmnopqr"), DACE_E_NONE) << "18 bytes fill the field";
}

TEST(SameReason, ANameThatIsTakenOrAFileThatIsOpen) {
    const Params p = small_params(256, 4);
    const Bytes image = with_files(p, {{"f", 100}, {"g", 200}});
    const auto m = mounted(image, p);
    FileId h = 0;
    EXPECT_EQ(m->create("/f", h), errno_for(DACE_E_NAME_TAKEN));
    EXPECT_EQ(m->rename("/g", "/f", RENAME_NOREPLACE), errno_for(DACE_E_NAME_TAKEN));

    Volume v(image, p);
    const Bytes data(10, 'x');
    tool_says(DACE_E_NAME_TAKEN, [&] { dace_tool::write_file(v, "f", data.data(), data.size(), false); }, "put");
    tool_says(DACE_E_NO_FILE, [&] { dace_tool::remove_file(v, "nope"); }, "rm");
    EXPECT_EQ(m->unlink("/nope"), errno_for(DACE_E_NO_FILE));

    // The library refuses to remove or replace an open file...
    const dace_handle open = dace_open(v.state(), "f");
    ASSERT_NE(open, 0u);
    tool_says(DACE_E_FILE_OPEN, [&] { dace_tool::remove_file(v, "f"); }, "rm");
    tool_says(DACE_E_FILE_OPEN, [&] { dace_tool::rename_file(v, "g", "f", true); }, "mv --force");
    // ...where the mount keeps POSIX's promise instead: the name goes, and
    // the program holding the file reads on.
    ASSERT_EQ(m->open("/f", O_RDONLY, h), 0);
    EXPECT_EQ(m->unlink("/f"), 0);
    std::vector<char> buf(100);
    EXPECT_EQ(m->read(h, buf.data(), buf.size(), 0), 100);
    EXPECT_EQ(m->release(h), 0);
}

// The medium full, the directory full, every handle open: each in the
// mount's errno and the tool's line from the same reason.
TEST(SameReason, WhatRunsOut) {
    const Params p = small_params(128, 2); // 16 clusters, 2 handles
    const Bytes image = with_files(p, {{"f", 100}});
    const Bytes big = tool_test::random_bytes(16 * 2040, 1);
    const auto m = mounted(image, p);
    FileId h = 0;
    ASSERT_EQ(m->create("/big", h), 0);
    size_t done = 0;
    long took = 0;
    while ((took = m->write(h, reinterpret_cast<const char *>(big.data()) + done, 4096, static_cast<off_t>(done))) >
           0)
        done += static_cast<size_t>(took);
    EXPECT_EQ(took, errno_for(DACE_E_MEDIUM_FULL));
    ASSERT_EQ(m->release(h), 0);
    Volume full(image, p);
    tool_says(DACE_E_MEDIUM_FULL, [&] { dace_tool::write_file(full, "big", big.data(), big.size(), false); },
              "put");

    // Both handles held by the mount: neither it nor the tool gets a third.
    FileId a = 0, b = 0, c = 0;
    ASSERT_EQ(m->open("/f", O_RDONLY, a), 0);
    ASSERT_EQ(m->open("/big", O_RDONLY, b), 0);
    EXPECT_EQ(m->create("/third", c), errno_for(DACE_E_TOO_MANY_OPEN));
    tool_says(DACE_E_TOO_MANY_OPEN, [&] { dace_tool::write_file(m->volume(), "third", big.data(), 1, false); },
              "put");
    ASSERT_EQ(m->release(a), 0);
    ASSERT_EQ(m->release(b), 0);

    const Params one_cluster_root = small_params(64, 4);
    const auto d = mounted(tool_test::blank_image(one_cluster_root), one_cluster_root);
    const uint16_t max_entries = d->volume().state()->max_entries;
    for (uint32_t i = 0; i < max_entries; ++i) {
        ASSERT_EQ(d->create(("/" + std::to_string(i)).c_str(), h), 0);
        ASSERT_EQ(d->release(h), 0);
    }
    EXPECT_EQ(d->create("/one_more", h), errno_for(DACE_E_DIRECTORY_FULL));
    tool_says(DACE_E_DIRECTORY_FULL, [&] { dace_tool::write_file(d->volume(), "one_more", big.data(), 1, false); },
              "put");
}

// A medium that takes no program (a write-protected part): every write
// falls short, and that is an I/O error, not a full medium, in the mount
// and in the tool alike; nothing reaches the medium.
TEST(SameReason, AWriteThatFallsShortIsAnIoError) {
    ASSERT_EQ(errno_for(DACE_E_WRITE_FAILED), -EIO);
    const Params p = small_params(256, 4);
    const Bytes image = with_files(p, {{"f", 100}});
    const auto m = mounted(image, p, Mounting::Read);
    FileId h = 0;
    ASSERT_EQ(m->create("/new", h), 0) << "nothing reaches the medium before a commit";
    const Bytes data = tool_test::random_bytes(5000, 2);
    size_t done = 0;
    long took = 0;
    while ((took = m->write(h, reinterpret_cast<const char *>(data.data()) + done, data.size() - done,
                            static_cast<off_t>(done))) > 0)
        done += static_cast<size_t>(took);
    EXPECT_EQ(took, errno_for(DACE_E_WRITE_FAILED));
    EXPECT_LT(done, data.size());
    EXPECT_EQ(m->flush(h), errno_for(DACE_E_WRITE_FAILED));
    EXPECT_EQ(m->unlink("/f"), errno_for(DACE_E_WRITE_FAILED)) << "its commit carries the new file's data";
    EXPECT_EQ(m->release(h), errno_for(DACE_E_WRITE_FAILED));
    EXPECT_EQ(m->volume().bytes(), image);

    Volume v(image, p, mounted_as(Mounting::Read));
    tool_says(DACE_E_WRITE_FAILED, [&] { dace_tool::write_file(v, "g", data.data(), 100, false); }, "put");
    tool_says(DACE_E_WRITE_FAILED, [&] { dace_tool::truncate_file(v, "f", 10); }, "truncate");
    tool_says(DACE_E_WRITE_FAILED, [&] { dace_tool::remove_file(v, "f"); }, "rm");
    EXPECT_EQ(v.bytes(), image);
}

TEST(SameReason, ADamagedClusterReadIsAnIoError) {
    const Params p = small_params(256, 4);
    Bytes image = with_files(p, {{"s", 6}, {"big", 20000}});
    const dace_tool::Survey sv = dace_tool::survey_image(image, p);
    const std::vector<uint16_t> &chain = sv.file("big")->clusters; // newest first
    ASSERT_EQ(chain.size(), 10u);
    image[size_t{chain[5]} * p.clus_size() + 1000] ^= 0x10; // bytes 8160 to 10199 of the file
    const auto m = mounted(image, p);
    FileId h = 0;
    ASSERT_EQ(m->open("/big", O_RDONLY, h), 0);
    std::vector<char> buf(1000);
    EXPECT_EQ(m->read(h, buf.data(), buf.size(), 0), 1000);
    EXPECT_EQ(m->read(h, buf.data(), buf.size(), 9000), errno_for(DACE_E_DAMAGED));
    EXPECT_EQ(m->release(h), 0);

    Volume v(image, p, mounted_as(Mounting::Read));
    dace_verify_reads(v.state(), 1);
    tool_says(DACE_E_DAMAGED, [&] { dace_tool::read_file(v, "big"); }, "cat");
    EXPECT_EQ(dace_tool::read_file(v, "s"), tool_test::random_bytes(6, 6));
}

// dace_init completes a first format cut short, writing the medium; the
// tool never lets it: reading and changing alike, the volume is refused
// with the library's reason and the medium keeps every byte.
TEST(Mounting, OnlyAVolumeThatIsThereIsMounted) {
    const Params p = small_params(256, 4);
    const Bytes remnant = format_cut_short(p);
    {
        dace_tool::ImageMedium medium(remnant, p.page_size, p.clus_pages);
        dace_config cfg = dace_tool::config_of(p);
        medium.attach(cfg);
        std::vector<uint64_t> block((dace_getstatesize(&cfg) + 7) / 8);
        ASSERT_NE(dace_init(&cfg, block.data()), nullptr);
        ASSERT_NE(medium.bytes(), remnant) << "the test image must be one that dace_init writes";
    }
    for (const Mounting how : {Mounting::Read, Mounting::Change}) {
        tool_says(DACE_E_DAMAGED, [&] { Volume v(remnant, p, mounted_as(how)); }, "format cut short");
        try {
            Volume v(remnant, p, mounted_as(how));
        } catch (const LibraryError &e) {
            EXPECT_NE(std::string(e.what()).find("no valid root copy"), std::string::npos) << e.what();
        }
        const Bytes blank(remnant.size(), 0xFF);
        tool_says(DACE_E_NOT_A_VOLUME, [&] { Volume v(blank, p, mounted_as(how)); }, "blank");
        try {
            Volume v(blank, p, mounted_as(how));
        } catch (const LibraryError &e) {
            EXPECT_NE(std::string(e.what()).find("the image is blank (erased)"), std::string::npos) << e.what();
        }
    }
    // A size the volume does not record: the line that names both sizes.
    Params larger = p;
    larger.total_pages = 512;
    Bytes grown = with_files(p, {{"f", 100}});
    grown.resize(size_t{larger.total_pages} * p.page_size, 0xFF);
    try {
        Volume v(grown, larger, mounted_as(Mounting::Read));
        ADD_FAILURE() << "mounted at another size";
    } catch (const dace_tool::SizeMismatch &e) {
        EXPECT_EQ(e.reason, DACE_E_SIZE_MISMATCH);
        EXPECT_NE(std::string(e.what()).find("records a volume of 256 pages, not the 512"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(Volume(remnant, p, mounted_as(Mounting::Format)).entries().size(), 0u) << "a deliberate format";
}

using tool_test::Tool;

// The command line: the same misuse, the table's line.
TEST_F(Tool, MessagesHoldTheTablesLine) {
    ok("format a.img --pages 96");
    write_file("f", tool_test::random_bytes(100, 1));
    write_file("huge", tool_test::random_bytes(30000, 2));
    ok("put a.img f");
    ok("put a.img f g");
    const Bytes before = tool_test::load(at("a.img"));
    const std::pair<const char *, int> cases[] = {
        {"put a.img f ''", DACE_E_NAME_INVALID},
        {"rm a.img ''", DACE_E_NAME_INVALID},
        {"cat a.img ''", DACE_E_NAME_INVALID},
        {"stat a.img ''", DACE_E_NAME_INVALID},
        {"mv a.img f ''", DACE_E_NAME_INVALID},
        {"truncate a.img '' 0", DACE_E_NAME_INVALID},
        {"put a.img f abcdefghijklmnopqrs", DACE_E_NAME_TOO_LONG},
        {"mv a.img f abcdefghijklmnopqrs", DACE_E_NAME_TOO_LONG},
        {"get a.img abcdefghijklmnopqrs x", DACE_E_NAME_TOO_LONG},
        {"put a.img f f", DACE_E_NAME_TAKEN},
        {"mv a.img f g", DACE_E_NAME_TAKEN},
        {"put a.img huge", DACE_E_MEDIUM_FULL},
        {"put a.img huge f --append", DACE_E_MEDIUM_FULL},
        {"rm a.img nope", DACE_E_NO_FILE},
        {"cat a.img nope", DACE_E_NO_FILE},
    };
    for (const auto &[args, reason] : cases)
        fails(args, reason_of(reason).message);
    EXPECT_EQ(tool_test::load(at("a.img")), before);

    tool_test::Planted damaged(at("a.img"));
    damaged.clus(damaged.survey.file("f")->clusters[0])[8 + 50] ^= 1;
    tool_test::store(at("bad.img"), damaged.bytes);
    fails("cat bad.img f", reason_of(DACE_E_DAMAGED).message);
    fails("get bad.img f copy", reason_of(DACE_E_DAMAGED).message);
}

// Every reading command, on images that hold anything at all, with the
// geometry found or given in full (which takes even a blank or foreign
// image past detection to the library's mount): the image file keeps its
// bytes, its time and its inode (never replaced).
TEST_F(Tool, ReadingCommandsNeverWriteTheImage) {
    write_file("src/a", tool_test::random_bytes(9000, 1));
    write_file("src/b", tool_test::random_bytes(3000, 2));
    ok("pack src good.img --pages 256");
    tool_test::Planted p(at("good.img"));
    p.clus(p.survey.file("a")->clusters[1])[8 + 100] ^= 0x10;                           // a CRC fails
    std::fill_n(p.clus(p.survey.file("b")->clusters[0]), p.params.clus_size(), uint8_t{0xFF}); // b's cluster erased
    tool_test::store(at("damaged.img"), p.bytes);
    tool_test::store(at("cut.img"), Bytes(p.bytes.begin(), p.bytes.begin() + static_cast<long>(p.bytes.size() / 2)));
    const size_t size = p.bytes.size();
    tool_test::store(at("blank.img"), Bytes(size, 0xFF));
    tool_test::store(at("zeros.img"), Bytes(size, 0x00));
    tool_test::store(at("random.img"), tool_test::random_bytes(size, 3));
    std::string text;
    while (text.size() < size)
        text += "Not a flash image: a text file of another kind entirely.\n";
    tool_test::store(at("foreign.img"), Bytes(text.begin(), text.begin() + static_cast<long>(size)));
    tool_test::store(at("remnant.img"), format_cut_short(small_params(256, 4)));

    const std::vector<std::string> commands = {
        "info {}",          "df {}",        "ls {}",      "ls -l {}",          "ls --json {}", "stat {} a",
        "cat {} a",         "cat {} b --salvage", "get {} a got", "unpack {} out",  "unpack {} out2 --salvage",
        "check {}",         "check -v {}",  "map {}",     "map {} --svg map.svg",
    };
    const std::vector<std::string> settings = {"", " --page-size 256 --clus-pages 8 --crc 1021-msb --crc-seed 0xFFFF",
                                               " --pages 128"};
    for (const std::string image : {"good.img", "damaged.img", "cut.img", "blank.img", "zeros.img", "random.img",
                                    "foreign.img", "remnant.img"}) {
        SCOPED_TRACE(image);
        const Bytes bytes = tool_test::load(at(image));
        tool_test::set_mtime(at(image), 1000000000123456789);
        struct stat before {};
        ASSERT_EQ(::stat(at(image).c_str(), &before), 0);
        int refused = 0;
        for (const std::string &command : commands)
            for (const std::string &setting : settings)
                refused += dace(fmt::format(fmt::runtime(command), image) + setting).status != 0;
        EXPECT_GT(refused, 0);
        struct stat after {};
        ASSERT_EQ(::stat(at(image).c_str(), &after), 0);
        EXPECT_EQ(tool_test::load(at(image)), bytes);
        EXPECT_EQ(tool_test::mtime_ns(at(image)), 1000000000123456789);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
    // The changing commands refuse the images they cannot change, also
    // leaving them as they were.
    for (const std::string image : {"blank.img", "remnant.img", "foreign.img"}) {
        const Bytes bytes = tool_test::load(at(image));
        EXPECT_NE(dace("put " + image + " src/a --page-size 256 --clus-pages 8 --crc 1021-msb --crc-seed 0xFFFF")
                      .status,
                  0);
        EXPECT_EQ(tool_test::load(at(image)), bytes) << image;
    }
}

} // namespace
