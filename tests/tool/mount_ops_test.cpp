// The file operations behind `dace mount`, called directly on an image in
// memory: the POSIX errors for what the medium cannot do, handles shared
// between programs, renames over other files, and an image file that holds
// every commit at once, as a crash of the mount would leave it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/checks.h"
#include "tests/tool/tool_fixture.h"
#include "tests/tool/tool_support.h"
#include "tools/commands.h"
#include "tools/mount_ops.h"
#include "tools/survey.h"

namespace {

using dace_tool::FileId;
using dace_tool::MountedImage;
using dace_tool::MountSettings;
using dace_tool::Params;
using dace_tool::Volume;
using Bytes = std::vector<char>;

// 256-byte pages, 8 to a cluster: 2040 payload bytes per cluster.
constexpr uint32_t kPayload = 2040;

using tool_test::blank_image;
using tool_test::small_params;

Bytes random_bytes(size_t n, uint32_t seed) { return tool_test::random_bytes<char>(n, seed); }

class MountOps : public ::testing::Test {
protected:
    void mount(uint16_t total_pages = 256, uint16_t max_files = 4, bool read_only = false) {
        MountSettings settings;
        settings.read_only = read_only;
        mount_with(settings, total_pages, max_files);
    }
    void mount_with(const MountSettings &settings, uint16_t total_pages = 256, uint16_t max_files = 4) {
        params_ = small_params(total_pages, max_files);
        m_ = std::make_unique<MountedImage>(std::make_unique<Volume>(blank_image(params_), params_), settings);
    }

    // What a crash of the mount would leave: the medium as it is, mounted afresh.
    std::unique_ptr<MountedImage> remounted() {
        return std::make_unique<MountedImage>(std::make_unique<Volume>(m_->volume().bytes(), params_), false);
    }

    uint32_t free_space() { return dace_getfreespace(m_->volume().state(), nullptr); }

    // Creates `name` holding `data`, and closes it.
    void put(const char *name, const Bytes &data) {
        FileId h = 0;
        ASSERT_EQ(m_->create(name, h), 0) << name;
        ASSERT_EQ(m_->write(h, data.data(), data.size(), 0), static_cast<long>(data.size()));
        ASSERT_EQ(m_->release(h), 0);
    }

    Bytes contents(const char *name) {
        FileId h = 0;
        EXPECT_EQ(m_->open(name, O_RDONLY, h), 0) << name;
        struct stat st {};
        EXPECT_EQ(m_->getattr(name, st, h), 0);
        Bytes out(static_cast<size_t>(st.st_size));
        if (!out.empty()) {
            EXPECT_EQ(m_->read(h, out.data(), out.size(), 0), st.st_size);
        }
        EXPECT_EQ(m_->release(h), 0);
        return out;
    }

    std::vector<std::string> listing() {
        std::vector<std::string> names;
        EXPECT_EQ(m_->readdir("/", names), 0);
        return names;
    }

    Params params_;
    std::unique_ptr<MountedImage> m_;
};

TEST_F(MountOps, ShowsTheFlatFolderWithSizesTimesAndSpace) {
    mount();
    put("/a", random_bytes(3000, 1));
    put("/b", {});
    struct stat st {};
    ASSERT_EQ(m_->getattr("/", st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(m_->getattr("/a", st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 3000);
    EXPECT_EQ(st.st_blocks, 2 * 2048 / 512) << "two clusters";
    const dace_entry e = *m_->volume().stat("a");
    EXPECT_EQ(uint64_t(st.st_mtim.tv_sec) * 1000000000u + uint64_t(st.st_mtim.tv_nsec), e.stamp);
    EXPECT_EQ(m_->getattr("/c", st), -ENOENT);
    EXPECT_EQ(m_->getattr("/a/x", st), -ENOENT);
    EXPECT_EQ(listing(), (std::vector<std::string>{"a", "b"}));
    std::vector<std::string> names;
    EXPECT_EQ(m_->readdir("/a", names), -ENOTDIR);

    struct statvfs fs {};
    ASSERT_EQ(m_->statfs(fs), 0);
    uint32_t total = 0;
    const uint32_t free_bytes = dace_getfreespace(m_->volume().state(), &total);
    EXPECT_EQ(fs.f_bsize, 2048u);
    EXPECT_EQ(fs.f_blocks * fs.f_frsize, total);
    EXPECT_EQ(fs.f_bfree * fs.f_frsize, free_bytes);
    EXPECT_EQ(fs.f_files - fs.f_ffree, 2u);
    EXPECT_EQ(fs.f_namemax, 18u);
}

TEST_F(MountOps, WhatTheMediumCannotDoGetsAPosixError) {
    mount();
    put("/f", random_bytes(100, 2));
    FileId h = 0;
    ASSERT_EQ(m_->open("/f", O_WRONLY, h), 0);
    const char byte = 'x';
    // The library's rules, with the errno every host gives them.
    EXPECT_EQ(m_->write(h, &byte, 1, 0), -EINVAL) << "a write before the end";
    EXPECT_EQ(m_->write(h, &byte, 1, 101), -EINVAL) << "a write past the end";
    EXPECT_EQ(m_->write(h, &byte, 1, 100), 1) << "at the end";
    EXPECT_EQ(m_->release(h), 0);
    EXPECT_EQ(m_->truncate("/f", 102), -EINVAL);
    EXPECT_EQ(m_->truncate("/f", 101), 0) << "the same length is no change";
    EXPECT_EQ(m_->truncate("/f", -1), -EINVAL);
    EXPECT_EQ(m_->truncate("/f", 50), 0);
    EXPECT_EQ(contents("/f").size(), 50u);

    EXPECT_EQ(m_->create("/abcdefghijklmnopqrs", h), -ENAMETOOLONG);
    EXPECT_EQ(m_->create("/a\\b", h), -EINVAL);
    EXPECT_EQ(m_->create("/f", h), -EEXIST);
    EXPECT_EQ(m_->rename("/f", "/abcdefghijklmnopqrs", 0), -ENAMETOOLONG);
    EXPECT_EQ(m_->rename("/f", "/x\\y", 0), -EINVAL);
    EXPECT_EQ(m_->rename("/nope", "/x", 0), -ENOENT);
    EXPECT_EQ(m_->rename("/f", "/x", RENAME_EXCHANGE), -EINVAL);
    EXPECT_EQ(m_->unlink("/nope"), -ENOENT);
    // An 18-byte name fills the field and is the longest allowed.
    put("/abcdefghijklmnopqr", random_bytes(10, 3));
    EXPECT_EQ(contents("/abcdefghijklmnopqr"), random_bytes(10, 3));
}

TEST_F(MountOps, FullMediumFullDirectoryAndEverySlotOpen) {
    mount(128, 2); // 16 clusters
    FileId h = 0;
    ASSERT_EQ(m_->create("/big", h), 0);
    const Bytes data = random_bytes(16 * kPayload, 4);
    size_t done = 0;
    long took = 0;
    while ((took = m_->write(h, data.data() + done, 4096, static_cast<off_t>(done))) > 0)
        done += static_cast<size_t>(took);
    EXPECT_EQ(took, -ENOSPC);
    EXPECT_GT(done, 10 * kPayload);
    EXPECT_EQ(m_->release(h), 0);
    EXPECT_EQ(contents("/big"), Bytes(data.begin(), data.begin() + static_cast<long>(done)));

    // Every slot open: the next file cannot be opened.
    FileId a = 0, b = 0, c = 0;
    ASSERT_EQ(m_->open("/big", O_RDONLY, a), 0);
    ASSERT_EQ(m_->create("/e", b), 0);
    EXPECT_EQ(m_->create("/g", c), -EMFILE);
    EXPECT_EQ(m_->release(a), 0);
    EXPECT_EQ(m_->release(b), 0);

    // Removing the big file gives its space back.
    EXPECT_EQ(m_->unlink("/big"), 0);
    put("/again", random_bytes(8 * kPayload, 5));
    EXPECT_EQ(contents("/again"), random_bytes(8 * kPayload, 5));
}

TEST_F(MountOps, DirectoryWithoutRoomForAnotherEntryIsFull) {
    mount(64, 4); // one-cluster root: (2048 - 32) / 32 entries at most
    const uint16_t max_entries = m_->volume().state()->max_entries;
    for (uint32_t i = 0; i < max_entries; ++i)
        put(("/" + std::to_string(i)).c_str(), {});
    FileId h = 0;
    EXPECT_EQ(m_->create("/one_more", h), -ENOSPC);
    struct statvfs fs {};
    ASSERT_EQ(m_->statfs(fs), 0);
    EXPECT_EQ(fs.f_ffree, 0u);
}

// Programs that open the same file share one library handle: reads anywhere
// and appends interleave, and the file closes with its last program.
TEST_F(MountOps, ProgramsOnOneFileShareItsHandle) {
    mount();
    put("/log", random_bytes(5000, 6));
    FileId writer = 0, reader = 0;
    ASSERT_EQ(m_->open("/log", O_WRONLY | O_APPEND, writer), 0);
    ASSERT_EQ(m_->open("/log", O_RDONLY, reader), 0);
    EXPECT_EQ(writer, reader);
    Bytes want = random_bytes(5000, 6);
    for (uint32_t round = 0; round < 6; ++round) {
        const Bytes more = random_bytes(1500, 10 + round);
        ASSERT_EQ(m_->write(writer, more.data(), more.size(), static_cast<off_t>(want.size())), 1500);
        want.insert(want.end(), more.begin(), more.end());
        // Read back from a spot behind the end, then append again.
        const size_t at = want.size() / (round + 2);
        Bytes got(700);
        ASSERT_EQ(m_->read(reader, got.data(), got.size(), static_cast<off_t>(at)), 700);
        EXPECT_EQ(got, Bytes(want.begin() + static_cast<long>(at), want.begin() + static_cast<long>(at) + 700));
    }
    Bytes tail(100);
    EXPECT_EQ(m_->read(reader, tail.data(), tail.size(), static_cast<off_t>(want.size())), 0) << "end of file";
    EXPECT_EQ(m_->release(writer), 0);
    EXPECT_EQ(m_->release(reader), 0);
    EXPECT_EQ(m_->release(reader), -EBADF);
    EXPECT_EQ(contents("/log"), want);
}

TEST_F(MountOps, RenameReplacesAnotherFile) {
    mount();
    put("/cfg", random_bytes(3000, 7));
    put("/cfg.new", random_bytes(100, 8));
    EXPECT_EQ(m_->rename("/cfg.new", "/cfg", RENAME_NOREPLACE), -EEXIST);
    EXPECT_EQ(m_->rename("/cfg", "/cfg", 0), 0);
    const uint32_t free_before = free_space();
    ASSERT_EQ(m_->rename("/cfg.new", "/cfg", 0), 0);
    EXPECT_EQ(listing(), std::vector<std::string>{"cfg"});
    EXPECT_EQ(contents("/cfg"), random_bytes(100, 8));
    EXPECT_EQ(free_space(), free_before + 2 * 2048);

    FileId h = 0;
    ASSERT_EQ(m_->open("/cfg", O_RDONLY, h), 0);
    EXPECT_EQ(m_->rename("/cfg", "/renamed", 0), 0) << "an open file can be renamed";
    struct stat st {};
    EXPECT_EQ(m_->getattr("/stale-path", st, h), 0) << "fstat follows the open file";
    EXPECT_EQ(st.st_size, 100);
    EXPECT_EQ(m_->release(h), 0);
    EXPECT_EQ(listing(), std::vector<std::string>{"renamed"});
}

// Removing or replacing a file that programs hold open: the name goes at
// once, the programs keep the file until the last of them closes it, and
// nothing of it is on the medium from the moment the name went.
TEST_F(MountOps, AnOpenFileOutlivesItsName) {
    mount();
    const uint32_t free_empty = free_space();
    const Bytes data = random_bytes(5000, 20);
    put("/log", data);
    FileId reader = 0, writer = 0;
    ASSERT_EQ(m_->open("/log", O_RDONLY, reader), 0);
    ASSERT_EQ(m_->open("/log", O_WRONLY, writer), 0);
    const char pending[] = "not yet committed";
    ASSERT_EQ(m_->write(writer, pending, 17, 5000), 17);
    ASSERT_EQ(m_->unlink("/log"), 0);

    struct stat st {};
    EXPECT_EQ(m_->getattr("/log", st), -ENOENT);
    EXPECT_TRUE(listing().empty());
    EXPECT_EQ(free_space(), free_empty) << "its clusters are free at once";
    EXPECT_TRUE(remounted()->volume().entries().empty()) << "a crash now leaves nothing of it";
    EXPECT_TRUE(dace_tool::survey_image(m_->volume().bytes(), params_).problems.empty());

    // The programs go on: reads anywhere, appends, fstat, truncation.
    ASSERT_EQ(m_->getattr(nullptr, st, reader), 0);
    EXPECT_EQ(st.st_size, 5017);
    EXPECT_EQ(st.st_nlink, 0u);
    Bytes got(5017);
    ASSERT_EQ(m_->read(reader, got.data(), got.size(), 0), 5017);
    Bytes want = data;
    want.insert(want.end(), pending, pending + 17);
    EXPECT_EQ(got, want);
    EXPECT_EQ(m_->write(writer, "more", 4, 5017), 4);
    EXPECT_EQ(m_->write(writer, "x", 1, 10), -EINVAL) << "the medium's rules still hold";
    EXPECT_EQ(m_->truncate(nullptr, 6000, writer), -EINVAL);
    ASSERT_EQ(m_->truncate(nullptr, 4000, writer), 0);
    ASSERT_EQ(m_->read(reader, got.data(), got.size(), 3990), 10);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 10), Bytes(data.begin() + 3990, data.begin() + 4000));
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
    ASSERT_EQ(m_->utimens(nullptr, times, writer), 0);
    ASSERT_EQ(m_->getattr(nullptr, st, reader), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);

    // The name is free for a new file, which is another file.
    put("/log", random_bytes(10, 21));
    EXPECT_EQ(contents("/log"), random_bytes(10, 21));
    ASSERT_EQ(m_->getattr(nullptr, st, reader), 0);
    EXPECT_EQ(st.st_size, 4000);
    EXPECT_EQ(m_->flush(writer), 0);
    EXPECT_EQ(m_->fsync(writer), 0);
    EXPECT_EQ(m_->release(writer), 0);
    EXPECT_EQ(m_->release(reader), 0);
    EXPECT_EQ(m_->read(reader, got.data(), got.size(), 0), -EBADF) << "gone with the last close";
    EXPECT_EQ(contents("/log"), random_bytes(10, 21));
}

TEST_F(MountOps, ReplacingAnOpenFileKeepsItForItsPrograms) {
    mount();
    put("/cfg", random_bytes(3000, 22));
    put("/cfg.new", random_bytes(100, 23));
    FileId old = 0;
    ASSERT_EQ(m_->open("/cfg", O_RDONLY, old), 0);
    const uint32_t free_before = free_space();
    ASSERT_EQ(m_->rename("/cfg.new", "/cfg", 0), 0);
    EXPECT_EQ(free_space(), free_before + 2 * 2048);
    EXPECT_EQ(listing(), std::vector<std::string>{"cfg"});
    EXPECT_EQ(contents("/cfg"), random_bytes(100, 23));
    Bytes got(3000);
    ASSERT_EQ(m_->read(old, got.data(), got.size(), 0), 3000);
    EXPECT_EQ(got, random_bytes(3000, 22));
    const auto after_crash = remounted();
    std::vector<std::string> names;
    ASSERT_EQ(after_crash->readdir("/", names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"cfg"});
    EXPECT_EQ(dace_tool::read_file(after_crash->volume(), "cfg"), tool_test::random_bytes(100, 23));
    EXPECT_EQ(m_->release(old), 0);
}

// The FUSE library moves an open file that is removed to a hidden name of
// its own; requests by that name reach the file until it is unlinked.
TEST_F(MountOps, AHiddenNameLeadsToARemovedOpenFile) {
    mount();
    put("/a", random_bytes(300, 24));
    put("/b", random_bytes(30, 25));
    FileId h = 0;
    ASSERT_EQ(m_->open("/a", O_RDWR, h), 0);
    const char *hidden = "/.fuse_hidden0000000200000001";
    struct stat st {};
    ASSERT_EQ(m_->getattr(hidden, st), -ENOENT) << "the library first makes sure the name is free";
    ASSERT_EQ(m_->hide("/a", hidden), 0);
    EXPECT_EQ(listing(), std::vector<std::string>{"b"});
    EXPECT_TRUE(remounted()->volume().stat("a") == std::nullopt);
    ASSERT_EQ(m_->getattr(hidden, st), 0);
    EXPECT_EQ(st.st_size, 300);
    EXPECT_EQ(st.st_nlink, 0u);
    FileId again = 0;
    ASSERT_EQ(m_->open(hidden, O_RDONLY, again), 0);
    EXPECT_EQ(again, h);
    EXPECT_EQ(m_->truncate(hidden, 100), 0);
    EXPECT_EQ(m_->chmod(hidden, 0644), 0);
    ASSERT_EQ(m_->getattr(hidden, st), 0);
    EXPECT_EQ(st.st_size, 100);
    EXPECT_EQ(m_->release(again), 0);
    EXPECT_EQ(m_->release(h), 0);
    EXPECT_EQ(m_->getattr(hidden, st), -ENOENT) << "the last close drops the name with the file";
    EXPECT_EQ(m_->unlink(hidden), -ENOENT);

    // A file no program holds is simply removed.
    ASSERT_EQ(m_->hide("/b", hidden), 0);
    EXPECT_TRUE(listing().empty());
    EXPECT_EQ(m_->getattr(hidden, st), -ENOENT);
}

TEST_F(MountOps, RemovedOpenFilesHoldNoMoreMemoryThanTheMediumHolds) {
    mount(128, 4); // 16 clusters of 2040 payload bytes
    FileId h = 0;
    ASSERT_EQ(m_->create("/tmp", h), 0);
    ASSERT_EQ(m_->unlink("/tmp"), 0);
    const Bytes chunk = random_bytes(8192, 26);
    size_t done = 0;
    long took = 0;
    while ((took = m_->write(h, chunk.data(), chunk.size(), static_cast<off_t>(done))) > 0)
        done += static_cast<size_t>(took);
    EXPECT_EQ(took, -ENOSPC);
    EXPECT_EQ(done, 16u * kPayload);
    Bytes got(100);
    ASSERT_EQ(m_->read(h, got.data(), got.size(), 8192), 100);
    EXPECT_EQ(got, Bytes(chunk.begin(), chunk.begin() + 100));
    EXPECT_EQ(m_->release(h), 0);
    put("/after", random_bytes(5 * kPayload, 27)); // the memory and the medium are free again
}

// Mode and owner changes the medium cannot keep: accepted and dropped by
// default (quiet), refused with EPERM under noquiet; never changed on a
// read-only mount.
TEST_F(MountOps, ModesAndOwnersFollowTheMountOptions) {
    mount();
    put("/f", random_bytes(10, 28));
    struct stat st {};
    ASSERT_EQ(m_->getattr("/f", st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(m_->chmod("/f", 0755), 0);
    EXPECT_EQ(m_->chown("/f", ::getuid() + 1, ::getgid() + 1), 0);
    ASSERT_EQ(m_->getattr("/f", st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "accepted, but the medium keeps no mode";
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(m_->chmod("/nope", 0755), -ENOENT);

    MountSettings strict;
    strict.quiet = false;
    strict.uid = 1234;
    strict.gid = 99;
    strict.fmask = 022;
    strict.dmask = 077;
    mount_with(strict);
    put("/f", {});
    ASSERT_EQ(m_->getattr("/f", st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 99u);
    ASSERT_EQ(m_->getattr("/", st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(m_->chmod("/f", 0755), 0) << "no change";
    EXPECT_EQ(m_->chmod("/f", 0700), -EPERM);
    EXPECT_EQ(m_->chown("/f", 1234, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(m_->chown("/f", 0, static_cast<gid_t>(-1)), -EPERM);
    EXPECT_EQ(m_->chown("/f", static_cast<uid_t>(-1), 100), -EPERM);

    mount(256, 4, true);
    ASSERT_EQ(m_->getattr("/", st), 0);
    EXPECT_EQ(m_->chmod("/", 0700), -EROFS);
}

TEST(MountOptions, OwnOptionsAreTakenOutTheRestGoToFuse) {
    std::vector<std::string> rest;
    MountSettings s = dace_tool::parse_mount_options({"ro,uid=1000,allow_other", "gid=100,umask=027,noquiet"}, rest);
    EXPECT_TRUE(s.read_only);
    EXPECT_FALSE(s.quiet);
    EXPECT_EQ(s.uid, uid_t{1000});
    EXPECT_EQ(s.gid, gid_t{100});
    EXPECT_EQ(s.fmask, 027u);
    EXPECT_EQ(s.dmask, 027u);
    EXPECT_EQ(rest, std::vector<std::string>{"ro,allow_other"});

    rest.clear();
    s = dace_tool::parse_mount_options({"fmask=0,rw", "dmask=077,quiet", "ro,rw"}, rest);
    EXPECT_FALSE(s.read_only) << "the last of ro and rw counts";
    EXPECT_TRUE(s.quiet);
    EXPECT_EQ(s.fmask, 0u);
    EXPECT_EQ(s.dmask, 077u);
    EXPECT_FALSE(s.uid.has_value());
    EXPECT_EQ(rest, (std::vector<std::string>{"rw", "ro,rw"}));

    for (const char *bad : {"uid=abc", "uid=-1", "gid=", "umask=9", "fmask=1x"}) {
        rest.clear();
        EXPECT_THROW(dace_tool::parse_mount_options({bad}, rest), dace_tool::Error) << bad;
    }
}

TEST_F(MountOps, TimesComeFromAndGoToTheStamp) {
    mount();
    put("/f", random_bytes(10, 11));
    const struct timespec set[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
    ASSERT_EQ(m_->utimens("/f", set), 0);
    struct stat st {};
    ASSERT_EQ(m_->getattr("/f", st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(m_->volume().stat("f")->stamp, 1700000000123456789u);
    // A rename keeps the time, as it keeps the contents.
    ASSERT_EQ(m_->rename("/f", "/g", 0), 0);
    EXPECT_EQ(m_->volume().stat("g")->stamp, 1700000000123456789u);
    const struct timespec omit[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    EXPECT_EQ(m_->utimens("/g", omit), 0);
    const struct timespec before_1970[2] = {{0, UTIME_OMIT}, {-5, 0}};
    EXPECT_EQ(m_->utimens("/g", before_1970), -EINVAL);
    EXPECT_EQ(m_->utimens("/nope", set), -ENOENT);
    EXPECT_EQ(m_->volume().stat("g")->stamp, 1700000000123456789u);
}

TEST_F(MountOps, ReadOnlyRefusesEveryChange) {
    mount(256, 4, true);
    FileId h = 0;
    EXPECT_EQ(m_->create("/f", h), -EROFS);
    EXPECT_EQ(m_->open("/f", O_RDWR, h), -EROFS);
    EXPECT_EQ(m_->truncate("/f", 0), -EROFS);
    EXPECT_EQ(m_->unlink("/f"), -EROFS);
    EXPECT_EQ(m_->rename("/f", "/g", 0), -EROFS);
    struct stat st {};
    ASSERT_EQ(m_->getattr("/", st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0555u);
}

// The files the programs of MountModel hold: the folder as the mount should
// show it, and the files whose name went while programs held them, which
// the mount keeps in its memory and the model in a second Files, out of
// the folder.
class HeldFiles {
public:
    using Data = dace_check::Bytes;
    struct Open {
        FileId handle;
        uint32_t id;       // in the folder, or once its name is gone, among the held files
        bool named = true; // the folder still leads to it
    };

    dace_check::Files folder;
    std::vector<Open> opens;

    const Data &data(const Open &o) const { return (o.named ? folder : gone_).by_id(o.id)->bytes(); }
    Data &change(const Open &o) { return (o.named ? folder : gone_).change(o.id); }
    // Before the file `name` leaves the folder: the programs holding it go
    // on with what it holds.
    void detach(const std::string &name) {
        const dace_check::Files::File *f = folder.find(name);
        if (f == nullptr)
            return;
        std::optional<uint32_t> kept;
        for (Open &o : opens) {
            if (!o.named || o.id != f->id())
                continue;
            if (!kept)
                kept = gone_.create(name, f->bytes());
            o = Open{o.handle, *kept, false};
        }
    }
    void close_all() {
        opens.clear();
        gone_ = {};
    }

private:
    dace_check::Files gone_;
};

// Random operations through the mount, some of them refused, checked
// against a model of the folder; every few hundred steps the image is
// mounted afresh and must show the same folder.
TEST(MountModel, RandomOperationsMatchAModelAcrossRemounts) {
    using Data = HeldFiles::Data;
    using Open = HeldFiles::Open;
    const uint32_t seed = 20261207;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const auto below = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const Params p = small_params(128, 4); // 16 clusters of 2048 bytes: it fills up often
    std::vector<uint8_t> image = blank_image(p);
    auto m = std::make_unique<MountedImage>(std::make_unique<Volume>(image, p), false);
    HeldFiles model;
    dace_check::Files &files = model.folder;
    std::vector<Open> &opens = model.opens;
    uint32_t full = 0; // writes refused or cut short for want of space
    const char *const names[] = {"a", "b", "c", "log", "cfg", "cfg.new", "abcdefghijklmnopqrs"};
    const auto check_folder = [&] {
        std::vector<std::string> listed;
        ASSERT_EQ(m->readdir("/", listed), 0);
        std::vector<std::string> want;
        for (const auto &f : files)
            want.push_back(f.name());
        ASSERT_EQ(listed, want);
        for (const auto &f : files) {
            struct stat st {};
            ASSERT_EQ(m->getattr(("/" + f.name()).c_str(), st), 0);
            ASSERT_EQ(static_cast<size_t>(st.st_size), f.bytes().size()) << f.name();
        }
        for (const Open &o : opens) {
            struct stat st {};
            ASSERT_EQ(m->getattr(nullptr, st, o.handle), 0);
            ASSERT_EQ(static_cast<size_t>(st.st_size), model.data(o).size());
        }
    };

    for (uint32_t step = 0; step < 4000; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::string name = names[below(7)];
        const std::string path = "/" + name;
        const dace_check::Files::File *named = files.find(name);
        switch (below(9)) {
        case 0: { // create
            FileId h = 0;
            const int r = m->create(path.c_str(), h);
            if (name.size() > 18)
                ASSERT_EQ(r, -ENAMETOOLONG);
            else if (named != nullptr)
                ASSERT_EQ(r, -EEXIST);
            else if (r == 0)
                opens.push_back({h, files.create(name)});
            else
                ASSERT_EQ(r, -EMFILE); // the only other refusal with this much room in the root
            break;
        }
        case 1: { // open
            FileId h = 0;
            const int r = m->open(path.c_str(), O_RDWR, h);
            if (named == nullptr)
                ASSERT_EQ(r, -ENOENT);
            else if (r == 0)
                opens.push_back({h, named->id()});
            else
                ASSERT_EQ(r, -EMFILE);
            break;
        }
        case 2:
        case 3: { // write, mostly at the end
            if (opens.empty())
                break;
            const Open &o = opens[below(static_cast<uint32_t>(opens.size()))];
            const Data more = tool_test::random_bytes(1 + below(8000), static_cast<uint32_t>(step));
            const bool at_end = below(8) != 0;
            const auto size = static_cast<uint32_t>(model.data(o).size());
            const auto offset = static_cast<off_t>(at_end ? size : below(size + 2)); // may hit the end too
            const long r = m->write(o.handle, reinterpret_cast<const char *>(more.data()), more.size(), offset);
            if (offset != static_cast<off_t>(size)) {
                ASSERT_EQ(r, -EINVAL);
            } else if (r < 0) {
                ASSERT_EQ(r, -ENOSPC);
                ++full;
            } else {
                full += static_cast<size_t>(r) < more.size() ? 1 : 0;
                Data &data = model.change(o);
                data.insert(data.end(), more.begin(), more.begin() + r);
            }
            break;
        }
        case 4: { // read anywhere
            if (opens.empty())
                break;
            const Open &o = opens[below(static_cast<uint32_t>(opens.size()))];
            const Data &data = model.data(o);
            const size_t at = below(static_cast<uint32_t>(data.size()) + 2);
            Data got(1 + below(5000));
            const long r = m->read(o.handle, reinterpret_cast<char *>(got.data()), got.size(), static_cast<off_t>(at));
            const size_t from = std::min(at, data.size());
            const size_t want = std::min(got.size(), data.size() - from);
            ASSERT_EQ(r, static_cast<long>(want));
            got.resize(want);
            ASSERT_EQ(got, Data(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + want)));
            break;
        }
        case 5: { // truncate by name, or through an open file (named or not)
            const bool by_handle = !opens.empty() && below(2) == 0;
            const Open *o = by_handle ? &opens[below(static_cast<uint32_t>(opens.size()))] : nullptr;
            const Data *data = o != nullptr ? &model.data(*o) : named == nullptr ? nullptr : &named->bytes();
            const uint32_t size = data == nullptr ? 0 : static_cast<uint32_t>(data->size());
            const uint32_t length = below(size + 2);
            const int r = o != nullptr ? m->truncate(nullptr, length, o->handle) : m->truncate(path.c_str(), length);
            if (data == nullptr)
                ASSERT_EQ(r, -ENOENT);
            else if (length > size)
                ASSERT_EQ(r, -EINVAL);
            else {
                ASSERT_EQ(r, 0);
                if (o != nullptr)
                    model.change(*o).resize(length);
                else
                    files.truncate(name, length);
            }
            break;
        }
        case 6: { // unlink, also of an open file
            const int r = m->unlink(path.c_str());
            if (named == nullptr)
                ASSERT_EQ(r, -ENOENT);
            else {
                ASSERT_EQ(r, 0);
                model.detach(name);
                files.remove(name);
            }
            break;
        }
        case 7: { // rename, onto another file or not
            const std::string to = names[below(7)];
            const int r = m->rename(path.c_str(), ("/" + to).c_str(), 0);
            if (named == nullptr)
                ASSERT_EQ(r, -ENOENT);
            else if (to.size() > 18)
                ASSERT_EQ(r, -ENAMETOOLONG);
            else if (to == name)
                ASSERT_EQ(r, 0);
            else {
                ASSERT_EQ(r, 0);
                model.detach(to);
                files.rename_replace(name, to);
            }
            break;
        }
        default: { // a program closes; now and then the image is mounted afresh
            if (!opens.empty()) {
                const size_t k = below(static_cast<uint32_t>(opens.size()));
                ASSERT_EQ(m->release(opens[k].handle), 0);
                opens.erase(opens.begin() + static_cast<long>(k));
            }
            if (below(40) == 0) {
                for (const Open &o : opens)
                    ASSERT_EQ(m->release(o.handle), 0);
                model.close_all();
                image = m->volume().bytes();
                m.reset();
                m = std::make_unique<MountedImage>(std::make_unique<Volume>(image, p), false);
                // What the library mounts afresh holds every byte the model does.
                ASSERT_EQ(dace_check::volume_difference(m->volume().state(), files), "");
            }
            break;
        }
        }
        check_folder();
        if (HasFatalFailure())
            return;
    }
    EXPECT_GT(full, 10u) << "the medium must fill up now and then";
    for (const auto &f : files) {
        FileId h = 0;
        ASSERT_EQ(m->open(("/" + f.name()).c_str(), O_RDONLY, h), 0);
        Data got(f.bytes().size() + 1);
        ASSERT_EQ(m->read(h, reinterpret_cast<char *>(got.data()), got.size(), 0), static_cast<long>(f.size()));
        got.resize(f.bytes().size());
        EXPECT_EQ(got, f.bytes()) << f.name();
        ASSERT_EQ(m->release(h), 0);
    }
}

// A medium holding `s` (6 bytes, one cluster), then `big` over ten clusters.
std::vector<uint8_t> image_with_two_files(const Params &p) {
    Volume v(blank_image(p), p);
    const auto small = tool_test::random_bytes(6, 30);
    dace_tool::write_file(v, "s", small.data(), small.size(), false);
    const auto big = tool_test::random_bytes(20000, 31);
    dace_tool::write_file(v, "big", big.data(), big.size(), false);
    return v.bytes();
}

// The clusters of `name`'s chain, newest first.
std::vector<uint16_t> chain_of(const std::vector<uint8_t> &image, const Params &p, const std::string &name) {
    for (const dace_tool::FileChain &f : dace_tool::survey_image(image, p).files)
        if (f.name == name)
            return f.clusters;
    return {};
}

long read_at(MountedImage &m, const char *path, Bytes &buf, off_t at) {
    FileId h = 0;
    if (const int r = m.open(path, O_RDONLY, h); r != 0)
        return r;
    const long got = m.read(h, buf.data(), buf.size(), at);
    m.release(h);
    return got;
}

// An image cut at a cluster boundary, so that a file's newest clusters lie
// past its end. Its root records the volume's size, so it is cut short:
// found damaged (refused read-write), not mountable as the smaller medium
// its length would make, and shown read-only at its recorded size, the
// missing end read erased, with the file's recorded size, whose bytes read
// as EIO.
TEST(MountDamage, ACutImageShowsWhatItLostAsIoErrors) {
    const Params p = small_params(256, 4);
    std::vector<uint8_t> image = image_with_two_files(p);
    EXPECT_FALSE(dace_tool::find_damage(image, p).has_value());
    Params same = p;
    EXPECT_FALSE(dace_tool::extend_cut_image(image, same)) << "nothing is cut off";
    ASSERT_LT(chain_of(image, p, "s").front(), 8);
    ASSERT_GE(chain_of(image, p, "big").front(), 8);

    image.resize(size_t{64} * p.page_size);
    const auto damage = dace_tool::find_damage(image, p);
    ASSERT_TRUE(damage.has_value());
    EXPECT_TRUE(damage->cut_short);
    EXPECT_NE(damage->summary.find("the image is cut short: it holds 16384 of the 65536 bytes"), std::string::npos)
        << damage->summary;
    EXPECT_NE(damage->summary.find("(1 damaged file)"), std::string::npos) << damage->summary;
    ASSERT_EQ(damage->broken_files.size(), 1u);
    EXPECT_EQ(damage->broken_files.at("big"), 20000u);

    Params smaller = p;
    smaller.total_pages = 64;
    try {
        Volume v(image, smaller);
        ADD_FAILURE() << "mounted as a medium of 64 pages";
    } catch (const dace_tool::Error &e) {
        EXPECT_NE(std::string(e.what()).find("records a volume of 256 pages, not the 64"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(Volume(image, p), dace_tool::Error) << "too short, unless its missing end may read erased";
    Params extended = p;
    ASSERT_TRUE(dace_tool::extend_cut_image(image, extended));
    EXPECT_EQ(extended.total_pages, 256);
    dace_tool::VolumeOptions vo;
    vo.missing_reads_erased = true;
    MountedImage m(std::make_unique<Volume>(image, extended, vo), true);
    m.show_broken(damage->broken_files);
    struct stat st {};
    ASSERT_EQ(m.getattr("/big", st), 0);
    EXPECT_EQ(st.st_size, 20000);
    Bytes buf(100);
    EXPECT_EQ(read_at(m, "/big", buf, 0), -EIO);
    EXPECT_EQ(read_at(m, "/big", buf, 19950), -EIO);
    EXPECT_EQ(read_at(m, "/big", buf, 20000), 0);
    buf.resize(6);
    ASSERT_EQ(read_at(m, "/s", buf, 0), 6) << "an intact file reads as it was";
    EXPECT_EQ(buf, random_bytes(6, 30));
    EXPECT_EQ(m.volume().bytes().size(), image.size()) << "the missing end takes no memory while only read";
}

// The image of a writer that recorded no size, cut the same way, reads as
// a medium as long as the image, and its directory shows the rest: the
// read-only look grows it up to the last cluster a chain names.
TEST(MountDamage, AnOlderWritersCutImageGrowsToTheClustersItsDirectoryNames) {
    const Params p = small_params(256, 4);
    std::vector<uint8_t> image = tool_test::as_older_writer(image_with_two_files(p), p);
    image.resize(size_t{64} * p.page_size);
    Params cut = p;
    cut.total_pages = 64;
    const auto damage = dace_tool::find_damage(image, cut);
    ASSERT_TRUE(damage.has_value());
    EXPECT_FALSE(damage->cut_short);
    EXPECT_NE(damage->summary.find("beyond the last cluster"), std::string::npos) << damage->summary;
    EXPECT_THROW(Volume(image, cut), dace_tool::Error) << "the library refuses a chain past the medium's end";
    Params extended = cut;
    ASSERT_TRUE(dace_tool::extend_cut_image(image, extended));
    const dace_tool::Survey grown = dace_tool::survey_image(image, extended);
    ASSERT_NE(grown.file("big"), nullptr);
    EXPECT_EQ(extended.clus_count(), grown.file("big")->entry.clus + 1u) << "up to big's newest cluster";
    dace_tool::VolumeOptions vo;
    vo.missing_reads_erased = true;
    MountedImage m(std::make_unique<Volume>(image, extended, vo), true);
    m.show_broken(damage->broken_files);
    Bytes buf(100);
    EXPECT_EQ(read_at(m, "/big", buf, 0), -EIO);
    buf.resize(6);
    ASSERT_EQ(read_at(m, "/s", buf, 0), 6);
}

// A chain that cannot be followed (a cluster in its middle erased): the
// file reads as EIO, never with bytes of the wrong cluster.
TEST(MountDamage, AChainBrokenInTheMiddleIsAnIoError) {
    const Params p = small_params(256, 4);
    std::vector<uint8_t> image = image_with_two_files(p);
    const std::vector<uint16_t> chain = chain_of(image, p, "big");
    ASSERT_EQ(chain.size(), 10u);
    const size_t clus_size = p.clus_size();
    std::fill_n(image.begin() + static_cast<long>(chain[3] * clus_size), clus_size, uint8_t{0xFF});
    const auto damage = dace_tool::find_damage(image, p);
    ASSERT_TRUE(damage.has_value());
    EXPECT_NE(damage->summary.find("no data mark"), std::string::npos) << damage->summary;
    EXPECT_EQ(damage->broken_files.at("big"), 20000u);

    MountedImage m(std::make_unique<Volume>(image, p), true);
    m.show_broken(damage->broken_files);
    Bytes buf(1000);
    for (const off_t at : {off_t{0}, off_t{7 * kPayload}, off_t{19000}})
        EXPECT_EQ(read_at(m, "/big", buf, at), -EIO) << at;
    buf.resize(6);
    EXPECT_EQ(read_at(m, "/s", buf, 0), 6);
}

// A root copy cut short by a power cut (or by a kill of the mount during a
// commit) is no damage: check notes it, and the library's mount takes the
// copy before it, so the image still mounts read-write.
TEST(MountDamage, ARootCopyCutShortIsNoDamage) {
    const Params p = small_params(256, 4);
    std::vector<uint8_t> image = image_with_two_files(p);
    const dace_tool::Survey sv = dace_tool::survey_image(image, p);
    ASSERT_NE(sv.root(), nullptr);
    const dace_tool::RootLog &root = *sv.root();
    ASSERT_LT(root.end_page, p.clus_pages);
    const size_t clus = root.clus * size_t{p.clus_size()};
    const size_t last = clus + root.copies[size_t(root.last_valid)].page * size_t{p.page_size};
    const size_t next = clus + root.end_page * size_t{p.page_size};
    // The next copy as a torn write leaves it: one bit of an entry wrong.
    std::copy_n(image.begin() + static_cast<long>(last), p.page_size, image.begin() + static_cast<long>(next));
    image[next + 40] ^= 1;
    const dace_tool::Survey after = dace_tool::survey_image(image, p);
    EXPECT_TRUE(after.problems.empty());
    EXPECT_FALSE(after.notes.empty()) << "check notes it";
    EXPECT_FALSE(dace_tool::find_damage(image, p).has_value());

    MountedImage m(std::make_unique<Volume>(image, p), false);
    FileId h = 0;
    ASSERT_EQ(m.create("/new", h), 0);
    ASSERT_EQ(m.write(h, "data", 4, 0), 4);
    EXPECT_EQ(m.release(h), 0);
    Bytes buf(6);
    EXPECT_EQ(read_at(m, "/s", buf, 0), 6);
    EXPECT_EQ(buf, random_bytes(6, 30));
}

// Verified reads: a data cluster whose payload, mark, link or CRC no longer
// matches fails the read that reaches it with EIO, also once the file is
// removed while open; the clusters before it still read.
TEST(MountVerifiedReads, AClusterThatChangedReadsAsAnIoError) {
    const Params p = small_params(256, 4);
    const std::vector<uint8_t> good = image_with_two_files(p);
    const std::vector<uint16_t> chain = chain_of(good, p, "big"); // newest first
    const Bytes big = random_bytes(20000, 31);
    // Offsets within a cluster: the mark, the link, the CRC, the payload.
    for (const size_t offset : {size_t{1}, size_t{4}, size_t{7}, size_t{8}, size_t{1000}, size_t{2047}}) {
        SCOPED_TRACE("byte " + std::to_string(offset) + " of the file's 5th cluster");
        std::vector<uint8_t> image = good;
        image[chain[5] * size_t{p.clus_size()} + offset] ^= 0x10; // the cluster holding bytes 8160..10199
        MountedImage m(std::make_unique<Volume>(image, p), true);
        Bytes buf(2000);
        // A changed link breaks the chain: the file may not open at all.
        const long first = read_at(m, "/big", buf, 0);
        if (offset < 4 || offset > 5 || first != -EIO) {
            ASSERT_EQ(first, 2000);
            EXPECT_EQ(buf, Bytes(big.begin(), big.begin() + 2000));
        }
        EXPECT_EQ(read_at(m, "/big", buf, 4 * kPayload + 100), -EIO);
        EXPECT_EQ(read_at(m, "/big", buf, 3 * kPayload + 1000), -EIO) << "a read that runs into it";
    }
    std::vector<uint8_t> image = good;
    image[chain[5] * size_t{p.clus_size()} + 100] ^= 1;
    MountedImage m(std::make_unique<Volume>(image, p), false);
    FileId h = 0;
    ASSERT_EQ(m.open("/big", O_RDONLY, h), 0);
    ASSERT_EQ(m.unlink("/big"), 0);
    Bytes buf(2000);
    ASSERT_EQ(m.read(h, buf.data(), buf.size(), 0), 2000);
    EXPECT_EQ(m.read(h, buf.data(), buf.size(), 4 * kPayload), -EIO);
    EXPECT_EQ(m.read(h, buf.data(), buf.size(), 6 * kPayload), -EIO) << "unread behind the damage";
    EXPECT_EQ(m.release(h), 0);
}

// With the image file as the mirror, every commit is in the file the moment
// it is made: what a crash of the mount leaves is exactly what was committed.
TEST(MountImageFile, HoldsEveryCommitAsItIsMade) {
    char path[] = "/tmp/dace_mount_mirror_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const Params p = small_params(256, 4);
    const std::vector<uint8_t> image = blank_image(p);
    ASSERT_TRUE(dace_tool::write_all(fd, image));
    int syncs = 0;
    {
        MountedImage m(std::make_unique<Volume>(image, p, true, fd), false, [&] { return ++syncs, 0; });
        FileId h = 0;
        ASSERT_EQ(m.create("/kept", h), 0);
        const Bytes data = random_bytes(5000, 12);
        ASSERT_EQ(m.write(h, data.data(), data.size(), 0), 5000);
        ASSERT_EQ(m.fsync(h), 0);
        EXPECT_EQ(syncs, 1);
        ASSERT_EQ(m.write(h, data.data(), 10, 5000), 10); // not yet committed

        // The file as a crash now would leave it.
        std::vector<uint8_t> on_disk(image.size());
        ASSERT_EQ(::pread(fd, on_disk.data(), on_disk.size(), 0), static_cast<ssize_t>(on_disk.size()));
        Volume after_crash(on_disk, p);
        EXPECT_EQ(after_crash.stat("kept")->size, 5000u);
        const std::vector<uint8_t> kept = dace_tool::read_file(after_crash, "kept");
        EXPECT_EQ(Bytes(kept.begin(), kept.end()), data);
        EXPECT_EQ(m.release(h), 0);
    }
    std::vector<uint8_t> on_disk(image.size());
    ASSERT_EQ(::pread(fd, on_disk.data(), on_disk.size(), 0), static_cast<ssize_t>(on_disk.size()));
    Volume after_unmount(on_disk, p);
    EXPECT_EQ(after_unmount.stat("kept")->size, 5010u);
    ::close(fd);
    std::remove(path);
}

// An image file that takes no write: the library sees failed writes, and the
// programs get EIO, not a success and not a full medium.
TEST(MountImageFile, WritesTheFileRefusesAreReportedAsIoErrors) {
    char path[] = "/tmp/dace_mount_refusing_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const Params p = small_params(256, 4);
    const std::vector<uint8_t> image = blank_image(p);
    ASSERT_TRUE(dace_tool::write_all(fd, image));
    ::close(fd);
    const int read_only_fd = ::open(path, O_RDONLY);
    ASSERT_GE(read_only_fd, 0);
    {
        MountedImage m(std::make_unique<Volume>(image, p, true, read_only_fd), false);
        FileId h = 0;
        ASSERT_EQ(m.create("/f", h), 0);
        // Bytes go to the buffer until a cluster must be written out.
        const Bytes data = random_bytes(5000, 13);
        size_t done = 0;
        long took = 0;
        while ((took = m.write(h, data.data() + done, data.size() - done, static_cast<off_t>(done))) > 0)
            done += static_cast<size_t>(took);
        EXPECT_EQ(took, -EIO);
        EXPECT_LT(done, data.size());
        EXPECT_EQ(m.flush(h), -EIO);
        FileId reader = 0;
        ASSERT_EQ(m.open("/f", O_RDONLY, reader), 0);
        EXPECT_EQ(m.unlink("/f"), -EIO) << "what the programs wrote cannot be committed";
        struct stat st {};
        EXPECT_EQ(m.getattr("/f", st), 0) << "so the file stays";
        EXPECT_EQ(m.getattr(nullptr, st, reader), 0);
        EXPECT_EQ(st.st_nlink, 1u);
        EXPECT_EQ(m.release(reader), 0);
        EXPECT_EQ(m.release(h), -EIO);
        EXPECT_EQ(m.unlink("/f"), -EIO) << "the change stands, but did not reach the image";
    }
    ::close(read_only_fd);
    std::remove(path);
}

} // namespace
