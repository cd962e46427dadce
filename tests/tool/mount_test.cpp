// `dace mount` for real: an image mounted through FUSE and driven by ordinary
// shell commands, then unmounted and checked with the tool. Where this
// machine cannot mount through FUSE, every test here is skipped and says why.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <algorithm>

#include "tests/tool/tool_support.h"
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Shell = tool_test::Result;
using tool_test::slurp;

// Why FUSE mounts cannot run here, or empty when they can.
std::string fuse_missing() {
#ifdef DACE_TOOL_WITHOUT_FUSE
    return "the tool was built without libfuse3: the FUSE mount tests are skipped";
#else
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return "/dev/fuse is missing or not usable on this machine: the FUSE mount tests are skipped";
    if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0)
        return "fusermount3 is not installed: the FUSE mount tests are skipped";
    return {};
#endif
}

bool is_mounted(const fs::path &at) {
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point;
    std::string rest;
    while (mounts >> device >> point && std::getline(mounts, rest))
        if (point == at.string())
            return true;
    return false;
}

class FuseMount : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = fuse_missing(); !why.empty())
            GTEST_SKIP() << why;
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("dace_mount_") + info->name() + "_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "m");
    }

    void TearDown() override {
        if (pid_ > 0) {
            unmount();
        }
        if (!HasFailure() && !dir_.empty())
            fs::remove_all(dir_);
    }

    // Runs `script` with bash in the scratch folder; the mount is at ./m.
    Shell sh(const std::string &script) {
        std::ofstream(dir_ / "script.sh") << script << '\n';
        const std::string cmd = "cd '" + dir_.string() + "' && PATH='" +
                                fs::path(DACE_TOOL_PATH).parent_path().string() +
                                "':\"$PATH\" bash script.sh >out.txt 2>err.txt </dev/null";
        const int rc = std::system(cmd.c_str());
        return Shell{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir_ / "out.txt"), slurp(dir_ / "err.txt")};
    }
    std::string ok(const std::string &script) {
        const Shell r = sh(script);
        EXPECT_EQ(r.status, 0) << script << "\n" << r.err;
        return r.out;
    }
    // The script must fail with `message` on stderr.
    void fails(const std::string &script, const std::string &message) {
        const Shell r = sh(script);
        EXPECT_NE(r.status, 0) << script;
        EXPECT_NE(r.err.find(message), std::string::npos) << script << ": " << r.err;
    }

    // `dace mount image.img m -f OPTIONS` in the background, until mounted.
    void mount(const std::string &options = "") {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string cmd = "cd '" + dir_.string() + "' && exec '" + DACE_TOOL_PATH +
                                    "' mount image.img m -f " + options + " >mount.out 2>mount.err";
            ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        for (auto waited = 0ms; waited < 10s; waited += 20ms) {
            if (is_mounted(dir_ / "m"))
                return;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                FAIL() << "dace mount ended before mounting: " << slurp(dir_ / "mount.err");
            }
            std::this_thread::sleep_for(20ms);
        }
        FAIL() << "not mounted after 10 s";
    }

    // fusermount3 -u, then the mount process must end on its own, cleanly.
    void unmount() {
        const Shell r = sh("fusermount3 -u m || fusermount3 -u -z m");
        EXPECT_EQ(r.status, 0) << r.err;
        int status = -1;
        for (auto waited = 0ms; waited < 10s && ::waitpid(pid_, &status, WNOHANG) != pid_; waited += 20ms)
            std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "the mount process did not end cleanly: " << slurp(dir_ / "mount.err");
        pid_ = 0;
    }

    // The mount process dies without a chance to write anything more.
    void crash() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
        sh("fusermount3 -u m || fusermount3 -u -z m");
    }

    fs::path dir_;
    pid_t pid_ = 0;
};

TEST_F(FuseMount, ShellCommandsChangeTheImageAndItChecksClean) {
    ok("dace format image.img --pages 8192 --page-size 256 --clus-pages 8\n"
       "head -c 1500000 /dev/urandom > big.src");
    mount();
    EXPECT_EQ(ok("cp big.src m/big.bin && cmp big.src m/big.bin && echo same"), "same\n");
    EXPECT_EQ(ok("echo hello > m/log && echo world >> m/log && cat m/log"), "hello\nworld\n");
    // Appends through a descriptor held open, as a logger makes them.
    ok("exec 3>>m/log; for i in 1 2 3; do echo line$i >&3; done; exec 3>&-");
    ok("echo old > m/cfg && echo new > m/cfg.tmp && mv m/cfg.tmp m/cfg");
    ok("mv m/big.bin m/b2 && rm m/b2 && truncate -s 8 m/log");
    EXPECT_EQ(ok("ls m"), "cfg\nlog\n");
    EXPECT_EQ(ok("cat m/log; echo; cat m/cfg"), "hello\nwo\nnew\n");
    EXPECT_EQ(ok("stat -c '%s %F' m/log"), "8 regular file\n");
    EXPECT_EQ(ok("touch -d @1700000000 m/cfg && stat -c %Y m/cfg"), "1700000000\n");
    EXPECT_NE(ok("ls -l m").find("1 root root"), std::string::npos);
    const std::string df = ok("df -B 2048 m | tail -1");
    EXPECT_NE(df.find("image.img"), std::string::npos) << df;
    EXPECT_NE(df.find(" 1024 "), std::string::npos) << "8192 pages of 256 bytes, as 2048-byte blocks: " << df;
    unmount();

    EXPECT_NE(ok("dace check image.img").find("clean: 0 problems, 2 files"), std::string::npos);
    EXPECT_EQ(ok("dace ls image.img"), "log\ncfg\n");
    EXPECT_EQ(ok("dace cat image.img cfg"), "new\n");
    EXPECT_NE(ok("dace ls -l image.img").find("2023-11-14 22:13:20  cfg"), std::string::npos);
}

TEST_F(FuseMount, WhatTheMediumCannotDoFailsWithAnErrorProgramsKnow) {
    ok("dace format image.img --pages 256 --page-size 256 --clus-pages 8\n"
       "head -c 100000 /dev/urandom > big.src");
    mount();
    ok("echo 0123456789 > m/f");
    fails("printf X | dd of=m/f bs=1 seek=2 conv=notrunc", "Invalid argument");
    fails("truncate -s 100 m/f", "Invalid argument");
    fails("mkdir m/sub", "Operation not permitted");
    fails("touch m/nineteen_bytes_long", "File name too long");
    fails("touch 'm/back\\slash'", "Invalid argument");
    fails("mv m/f m/nineteen_bytes_long", "File name too long");
    fails("cp big.src m/big", "No space left on device");
    ok("rm m/big");
    EXPECT_EQ(ok("cat m/f"), "0123456789\n");
    ok("cp m/f m/copy"); // the space came back
    unmount();
    EXPECT_EQ(sh("dace check image.img").status, 0);
    EXPECT_EQ(ok("dace ls image.img"), "f\ncopy\n");
}

// What a program closed or fsynced is in the image even when the mount
// process is killed; what it only wrote may be lost, but nothing else.
TEST_F(FuseMount, ClosedAndFsyncedDataSurviveAKilledMount) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8");
    mount();
    ok("echo closed > m/a");
    // The writers keep their files open while the mount dies.
    ok("python3 -c \"\n"
       "import os, time\n"
       "b = os.open('m/b', os.O_WRONLY | os.O_CREAT); os.write(b, b'fsynced'); os.fsync(b)\n"
       "c = os.open('m/c', os.O_WRONLY | os.O_CREAT); os.write(c, b'only written')\n"
       "open('held', 'w').close(); time.sleep(60)\n"
       "\" >/dev/null 2>&1 &\n"
       "echo $! > holder.pid; for i in $(seq 200); do [ -e held ] && break; sleep 0.05; done; [ -e held ]");
    crash();
    sh("kill $(cat holder.pid)");
    EXPECT_EQ(ok("dace cat image.img a"), "closed\n");
    EXPECT_EQ(ok("dace cat image.img b"), "fsynced");
    EXPECT_EQ(ok("dace ls image.img"), "a\nb\n") << "c was never committed";
    EXPECT_EQ(sh("dace check image.img").status, 0);
}

TEST_F(FuseMount, TwoProgramsOnOneFileSeeEachOthersWrites) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8");
    mount();
    ok("exec 3>>m/f\n"
       "for i in $(seq 40); do echo line$i >&3; [ \"$(wc -l < m/f)\" = $i ] || { echo \"at $i\" >&2; exit 1; }; done\n"
       "exec 3>&-");
    unmount();
    EXPECT_EQ(ok("dace cat image.img f | tail -1"), "line40\n");
    EXPECT_EQ(sh("dace check image.img").status, 0);
}

// Read-only, the image file keeps its bytes, its time and its inode.
TEST_F(FuseMount, ReadOnlyMountLeavesTheImageUntouched) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8 && echo kept > kept && "
       "dace put image.img kept && cp image.img before.img && touch -d @1000000000 image.img");
    const std::string stamp = ok("stat -c '%i %y' image.img");
    mount("-o ro");
    EXPECT_EQ(ok("cat m/kept"), "kept\n");
    fails("echo x > m/new", "Read-only file system");
    fails("rm m/kept", "Read-only file system");
    unmount();
    ok("cmp image.img before.img");
    EXPECT_EQ(ok("stat -c '%i %y' image.img"), stamp);
}

TEST_F(FuseMount, TheImageIsLockedWhileMounted) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8 && echo x > x && ln -s image.img link.img");
    mount();
    fails("dace put image.img x", "in use by a dace mount");
    fails("dace put link.img x", "in use by a dace mount");
    fails("dace mount image.img m -f", "in use by a dace mount");
    unmount();
    ok("dace put image.img x");
}

// What everyday programs do: copy with modes and times, create a file and
// remove it while it is open, follow a log that is replaced and removed.
TEST_F(FuseMount, CopyingAnExecutableWithItsAttributesWorks) {
    ok("dace format image.img --pages 2048 --page-size 256 --clus-pages 8 && cp /bin/true tool && "
       "touch -d @1700000000 tool");
    mount();
    ok("cp -a tool m/tool && cmp tool m/tool");
    EXPECT_EQ(ok("stat -c %Y m/tool"), "1700000000\n");
    ok("chmod 0700 m/tool && chown 12345:12345 m/tool && cp -p m/tool back && cmp tool back");
    EXPECT_EQ(ok("stat -c %a m/tool"), "644\n") << "accepted, but the medium keeps no mode";
    unmount();
    EXPECT_EQ(sh("dace check image.img").status, 0);
}

TEST_F(FuseMount, RsyncCopiesAndUpdatesAFolder) {
    if (sh("command -v rsync").status != 0)
        GTEST_SKIP() << "rsync is not installed (.ci/install-deps installs it)";
    ok("dace format image.img --pages 2048 --page-size 256 --clus-pages 8\n"
       "mkdir src rtmp && cp /bin/true src/tool && echo one > src/a.txt && echo cfg > src/settings.ini\n"
       "touch -d @1700000000 src/a.txt");
    mount();
    // rsync names its temporary file .NAME.XXXXXX: 11 to 18 bytes of NAME
    // leave no room for it, unless the temporary file is made elsewhere.
    fails("rsync -a src/ m/", "File name too long");
    ok("rsync -a --temp-dir=$PWD/rtmp src/ m/ && diff -r src m");
    ok("echo two > src/a.txt && touch -d @1700000100 src/a.txt && rsync -a --exclude settings.ini src/ m/");
    EXPECT_EQ(ok("cat m/a.txt; stat -c %Y m/a.txt"), "two\n1700000100\n");
    EXPECT_EQ(ok("ls m"), "a.txt\nsettings.ini\ntool\n");
    unmount();
    EXPECT_EQ(sh("dace check image.img").status, 0);
}

TEST_F(FuseMount, ATemporaryFileRemovedWhileOpenWorks) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8");
    mount();
    EXPECT_EQ(ok("python3 -c \"\n"
                 "import os, tempfile\n"
                 "with tempfile.TemporaryFile(dir='m') as f:\n"
                 "    f.write(b'x' * 100000); f.flush()\n"
                 "    st = os.fstat(f.fileno()); f.seek(0)\n"
                 "    print(st.st_size, st.st_nlink, len(f.read()), os.listdir('m'))\n"
                 "print(os.listdir('m'))\n"
                 "\""),
              "100000 0 100000 []\n[]\n");
    unmount();
    EXPECT_EQ(ok("dace ls image.img"), "");
    EXPECT_EQ(sh("dace check image.img").status, 0);
}

// tail -f follows the open file: it goes on when the name is replaced or
// removed; tail -F follows the name to the file that replaced it.
TEST_F(FuseMount, AFollowedLogCanBeReplacedAndRemoved) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8");
    mount();
    ok("for i in 1 2 3; do echo line$i >> m/log; done\n"
       "tail -f -s 0.1 m/log > follow.out 2>follow.err & echo $! > follow.pid\n"
       "tail -F -s 0.1 m/log > name.out 2>name.err & echo $! > name.pid\n"
       "seen() { for i in $(seq 200); do grep -q \"$2\" \"$1\" && return 0; sleep 0.05; done; echo \"no $2 in $1\" >&2; "
       "return 1; }\n"
       "seen follow.out line3 && seen name.out line3\n"
       "echo line4 >> m/log && seen follow.out line4\n"
       "echo fresh > m/log.new && mv m/log.new m/log && seen name.out fresh\n"
       "rm m/log && sleep 0.5\n"
       "kill -0 $(cat follow.pid) && kill -0 $(cat name.pid)\n"
       "kill $(cat follow.pid) $(cat name.pid)");
    EXPECT_EQ(slurp(dir_ / "follow.out"), "line1\nline2\nline3\nline4\n");
    EXPECT_EQ(slurp(dir_ / "follow.err"), "");
    unmount();
    EXPECT_EQ(ok("dace ls image.img"), "");
    EXPECT_EQ(sh("dace check image.img").status, 0);
}

// A file removed while a program holds it is off the medium at once: a
// crash of the mount leaves nothing of it to clean up.
TEST_F(FuseMount, AFileRemovedWhileOpenLeavesNothingAfterACrash) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8");
    mount();
    ok("echo kept > m/kept\n"
       "python3 -c \"\n"
       "import os, time\n"
       "f = open('m/held', 'wb'); f.write(b'y' * 50000); f.flush(); os.fsync(f.fileno())\n"
       "os.unlink('m/held'); f.write(b'more'); f.flush()\n"
       "open('ready', 'w').close(); time.sleep(60)\n"
       "\" >/dev/null 2>&1 &\n"
       "echo $! > holder.pid; for i in $(seq 200); do [ -e ready ] && break; sleep 0.05; done; [ -e ready ]");
    crash();
    sh("kill $(cat holder.pid)");
    EXPECT_EQ(ok("dace ls image.img"), "kept\n");
    EXPECT_EQ(sh("dace check image.img").status, 0);
}

TEST_F(FuseMount, ModesAndOwnersFollowTheMountOptions) {
    ok("dace format image.img --pages 1024 --page-size 256 --clus-pages 8");
    mount("-o noquiet,uid=4321,gid=4321,fmask=022");
    ok("echo x > m/f");
    EXPECT_EQ(ok("stat -c '%a %u %g' m/f"), "755 4321 4321\n");
    fails("chmod 600 m/f", "Operation not permitted");
    fails("chown 0 m/f", "Operation not permitted");
    ok("chmod 755 m/f");
    unmount();
}

// A damaged image (here cut short at a cluster boundary, so that a file's
// clusters lie past its end) mounts only read-only, and says so; its lost
// bytes read as I/O errors, its intact files as they were.
TEST_F(FuseMount, ADamagedImageMountsReadOnlyAndLostBytesAreIoErrors) {
    ok("dace format image.img --pages 256 --page-size 256 --clus-pages 8\n"
       "echo small > s && head -c 20000 /dev/urandom > big && dace put image.img s && dace put image.img big\n"
       "head -c 16384 image.img > cut.img && mv cut.img image.img");
    fails("dace mount image.img m", "image.img: the image is cut short");
    ok("cp image.img before.img && touch -d @1000000000 image.img");
    const std::string stamp = ok("stat -c '%i %y' image.img");
    mount("-o ro");
    const std::string warned = slurp(dir_ / "mount.err");
    EXPECT_NE(warned.find("warning: image.img: the image is cut short"), std::string::npos) << warned;
    EXPECT_NE(warned.find("shown at the 256 pages its root records"), std::string::npos) << warned;
    EXPECT_EQ(ok("cat m/s"), "small\n");
    EXPECT_EQ(ok("stat -c %s m/big"), "20000\n");
    fails("cat m/big", "Input/output error");
    unmount();
    ok("cmp image.img before.img");
    EXPECT_EQ(ok("stat -c '%i %y' image.img"), stamp);
}

} // namespace

// Needs no FUSE on the machine: the refusals before anything is mounted.
TEST(MountCommand, RefusesWhatItCannotMount) {
#ifdef DACE_TOOL_WITHOUT_FUSE
    GTEST_SKIP() << "the tool was built without libfuse3: it refuses every mount alike";
#endif
    const fs::path dir = fs::temp_directory_path() / ("dace_mount_refusals_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string tool = std::string("'") + DACE_TOOL_PATH + "'";
    const auto run = [&](const std::string &args) {
        const std::string cmd = "cd '" + dir.string() + "' && " + tool + " " + args + " 2>err.txt >/dev/null";
        const int rc = std::system(cmd.c_str());
        return std::make_pair(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(dir / "err.txt"));
    };
    ASSERT_EQ(run("format image.img --pages 64").first, 0);
    auto [status, err] = run("mount image.img nowhere");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "dace: mount point nowhere is not a folder\n");
    fs::create_directories(dir / "m");
    std::tie(status, err) = run("mount missing.img m");
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("cannot open image missing.img"), std::string::npos) << err;
    // Cut at a cluster boundary: the file's cluster lies past the end.
    ASSERT_EQ(run("format cut.img --pages 128 && head -c 20000 /dev/zero > big && " + tool +
                  " put cut.img big && truncate -s 16384 cut.img")
                  .first,
              0);
    std::tie(status, err) = run("mount cut.img m");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("dace: cut.img: the image is cut short"), std::string::npos) << err;
    EXPECT_NE(err.find("-o ro"), std::string::npos) << err;
    fs::remove_all(dir);
}
