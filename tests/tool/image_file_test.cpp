// The image file behind the `dace` commands: changes made at the same time
// all land or wait, a mount is never waited for, the file keeps its links,
// names, mode and owner and is synced before success, and a medium that is
// only part of a file is read and changed there alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/tool/tool_fixture.h"
#include "tools/image_file.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using tool_test::Bytes;
using tool_test::load;
using tool_test::random_bytes;
using tool_test::Result;
using tool_test::slurp;
using tool_test::store;
using tool_test::Tool;
using dace_tool::ImageLock;
using dace_tool::LockAccess;
using dace_tool::LockHolder;

// `dace ARGS` (shell syntax) started in the background in `dir`.
class Background {
public:
    Background(const fs::path &dir, const std::string &args) {
        const std::string cmd = "cd '" + dir.string() + "' && exec '" + DACE_TOOL_PATH + "' " + args;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;
    ~Background() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = 0;
};

bool eventually(const std::function<bool()> &done) {
    for (auto waited = 0ms; waited < 20s; waited += 20ms) {
        if (done())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Twelve puts at once: each one that reports success is in the image, and
// none fails because another holds the image.
TEST_F(Tool, ConcurrentPutsAllLand) {
    ok("format a.img --pages 1024");
    constexpr int kPuts = 12;
    for (int i = 0; i < kPuts; ++i)
        write_file("f" + std::to_string(i), random_bytes(3000, uint32_t(i)));
    const Result r = sh("for i in $(seq 0 11); do (dace put a.img f$i; echo \"$i $?\" >>status.txt) & done; wait");
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream status(slurp(at("status.txt")));
    int index = 0, code = 0, finished = 0;
    while (status >> index >> code) {
        EXPECT_EQ(code, 0) << "put of f" << index << " failed";
        ++finished;
    }
    EXPECT_EQ(finished, kPuts);
    for (int i = 0; i < kPuts; ++i)
        EXPECT_EQ(ok("cat a.img f" + std::to_string(i)).out, slurp(at("f" + std::to_string(i)))) << i;
    EXPECT_EQ(json::parse(ok("check a.img --json").out)["files"], kPuts);
}

// A put whose input comes slowly from a pipe reads the image only when it
// has its input, so a change made meanwhile stays.
TEST_F(Tool, PutFromASlowPipeKeepsChangesMadeMeanwhile) {
    ok("format m.img --pages 256");
    ASSERT_EQ(::mkfifo(at("in.fifo").c_str(), 0600), 0);
    Background late(dir_, "put m.img - late.txt <in.fifo");
    const int feed = ::open(at("in.fifo").c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    std::this_thread::sleep_for(300ms); // the put now waits for its input
    write_file("important.txt", random_bytes(500, 1));
    ok("put m.img important.txt");
    ASSERT_EQ(::write(feed, "late\n", 5), 5);
    ::close(feed);
    EXPECT_EQ(late.wait(), 0);
    EXPECT_EQ(ok("ls m.img").out, "important.txt\nlate.txt\n");
}

// A command waits for another that holds the image, and then reads the
// image that one left, though it replaced the file; --no-wait fails at
// once instead. A mount is never waited for.
TEST_F(Tool, CommandsWaitForEachOtherButNotForAMount) {
    ok("format a.img --pages 256");
    write_file("x", random_bytes(100, 1));
    write_file("other", random_bytes(100, 2));
    const std::string image = at("a.img").string();
    std::optional<ImageLock> changing;
    changing.emplace(image, LockAccess::Change);
    fails("--no-wait put a.img x", "a.img is in use by another dace command (--no-wait)");
    fails("--no-wait ls a.img", "in use by another dace command");

    Background put(dir_, "put a.img x 2>put.err");
    ASSERT_TRUE(eventually(
        [&] { return slurp(at("put.err")).find("waiting for another dace command") != std::string::npos; }));
    // The holder ends by replacing the file with a new image.
    fs::copy_file(at("a.img"), at("b.img"));
    ok("put b.img other");
    dace_tool::replace_image(*changing, load(at("b.img")));
    changing.reset();
    EXPECT_EQ(put.wait(), 0) << slurp(at("put.err"));
    EXPECT_EQ(ok("ls a.img").out, "other\nx\n");

    {
        const ImageLock mounted(image, LockAccess::Change, LockHolder::Mount);
        Result r = sh("timeout 20 dace put a.img x y");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("a.img is in use by a dace mount: unmount it first"), std::string::npos) << r.err;
        r = sh("timeout 20 dace ls a.img");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("in use by a dace mount"), std::string::npos) << r.err;
    }
    {
        const ImageLock mounted_read_only(image, LockAccess::Read, LockHolder::Mount);
        EXPECT_EQ(ok("ls a.img").out, "other\nx\n");
        const Result r = sh("timeout 20 dace rm a.img x");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("in use by a dace mount"), std::string::npos) << r.err;
    }
    ok("rm a.img x");
}

// Through a link to the image, its target changes and the link stays; the
// image keeps its mode and owner; a second name of the same file sees
// every change.
TEST_F(Tool, ChangesKeepTheImagesLinksNamesModeAndOwner) {
    ok("format real.img --pages 256");
    fs::create_symlink("real.img", at("link.img"));
    ASSERT_EQ(::chmod(at("real.img").c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(at("real.img").c_str(), 65534, 65534), 0);
    }
    write_file("f", random_bytes(3000, 1));
    ok("put link.img f");
    ok("mv link.img f g");
    EXPECT_TRUE(fs::is_symlink(at("link.img")));
    EXPECT_EQ(ok("ls real.img").out, "g\n");
    struct stat st {};
    ASSERT_EQ(::stat(at("real.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }

    write_file("src/h", random_bytes(10, 2));
    ok("pack src link.img --force");
    EXPECT_TRUE(fs::is_symlink(at("link.img")));
    EXPECT_EQ(ok("ls real.img").out, "h\n");

    fs::create_hard_link(at("real.img"), at("hard.img"));
    ok("put hard.img f");
    EXPECT_EQ(ok("ls real.img").out, "h\nf\n");
    EXPECT_EQ(ok("cat real.img f").out, slurp(at("f")));
    EXPECT_EQ(dace("check real.img").status, 0);
}

// Success is reported only once the new image and its folder entry are on
// the host's disk.
TEST_F(Tool, ChangesAreSyncedBeforeSuccess) {
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed";
    }
    ok("format a.img --pages 256");
    write_file("f", random_bytes(100, 1));
    // LeakSanitizer, in sanitizer builds, cannot run under a tracer.
    const Result r =
        sh("ASAN_OPTIONS=detect_leaks=0 strace -f -e trace=fsync,fdatasync,rename -o trace.txt dace put a.img f");
    if (r.status != 0 && r.err.find("ptrace") != std::string::npos) {
        GTEST_SKIP() << "strace cannot trace here: " << r.err;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string trace = slurp(at("trace.txt"));
    const size_t rename = trace.find("rename(");
    ASSERT_NE(rename, std::string::npos) << trace;
    EXPECT_NE(trace.rfind("fsync(", rename), std::string::npos) << "the new image is not synced first:\n" << trace;
    EXPECT_NE(trace.find("fsync(", rename), std::string::npos) << "the folder is not synced after:\n" << trace;
}

// The medium's size is what its root records, also inside a larger dump
// that --offset points into (--pages may say it again, but not otherwise);
// a change writes only the medium's bytes.
TEST_F(Tool, AMediumInsideALargerFile) {
    ok("format a.img --pages 256");
    const Bytes image = load(at("a.img"));
    Bytes dump = random_bytes(1000, 1);
    dump.insert(dump.end(), image.begin(), image.end());
    dump.insert(dump.end(), 64 * 1024, 0xFF); // erased space after the file system
    store(at("dump.bin"), dump);

    EXPECT_EQ(json::parse(ok("--offset 1000 info dump.bin --json").out)["total_pages"], 256);
    EXPECT_EQ(json::parse(ok("--offset 1000 --pages 256 info dump.bin --json").out)["total_pages"], 256);
    write_file("f", random_bytes(30000, 2));
    ok("--offset 1000 --pages 256 put dump.bin f");
    const Bytes after = load(at("dump.bin"));
    ASSERT_EQ(after.size(), dump.size());
    EXPECT_TRUE(std::equal(dump.begin(), dump.begin() + 1000, after.begin())) << "bytes before the medium changed";
    EXPECT_TRUE(std::equal(dump.begin() + 1000 + 65536, dump.end(), after.begin() + 1000 + 65536))
        << "bytes after the medium changed";
    store(at("medium.img"), Bytes(after.begin() + 1000, after.begin() + 1000 + 65536));
    EXPECT_EQ(ok("cat medium.img f").out, slurp(at("f")));
    EXPECT_EQ(dace("check medium.img").status, 0) << dace("check medium.img").out;
    EXPECT_EQ(ok("--offset 1000 --pages 256 cat dump.bin f").out, slurp(at("f")));

    // Formatted in place, the bytes around it untouched.
    ok("--offset 1000 --pages 256 format dump.bin --force");
    const Bytes formatted = load(at("dump.bin"));
    EXPECT_TRUE(std::equal(dump.begin(), dump.begin() + 1000, formatted.begin()));
    EXPECT_TRUE(std::equal(dump.begin() + 1000 + 65536, dump.end(), formatted.begin() + 1000 + 65536));
    EXPECT_EQ(ok("--offset 1000 --pages 256 ls dump.bin").out, "");

    fails("--pages 300 ls a.img", "the image's root records a volume of 256 pages, not the 300 that --pages gives");
    fails("format big.img --pages 70000", "70000 pages exceed the 65535 a medium can have (its page count is 16 "
                                          "bits): 17920000 bytes fit as --page-size 512 --pages 35000");
    EXPECT_FALSE(fs::exists(at("big.img")));
}

} // namespace
