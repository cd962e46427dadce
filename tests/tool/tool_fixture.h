// The fixture of the `dace` tool's end-to-end tests: a scratch folder, the
// real executable run on image files there, and images taken apart to plant
// faults, with CRCs recomputed by the tool's catalogue so that only the
// planted fault is wrong.
#ifndef DACE_TESTS_TOOL_TOOL_FIXTURE_H
#define DACE_TESTS_TOOL_TOOL_FIXTURE_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/medium_bytes.h"
#include "tests/tool/tool_support.h"
#include "tools/crc_catalogue.h"
#include "tools/image.h"
#include "tools/survey.h"
#include "tools/volume.h"

namespace tool_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline Bytes load(const fs::path &p) {
    const std::string s = slurp(p);
    return Bytes(s.begin(), s.end());
}

inline void store(const fs::path &p, const Bytes &b) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline int64_t mtime_ns(const fs::path &p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

inline void set_mtime(const fs::path &p, int64_t ns) {
    struct timespec t[2];
    t[0].tv_sec = t[1].tv_sec = static_cast<time_t>(ns / 1000000000);
    t[0].tv_nsec = t[1].tv_nsec = static_cast<long>(ns % 1000000000);
    ::utimensat(AT_FDCWD, p.c_str(), t, 0);
}

// Every test in its own scratch folder, removed when the test passes.
class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("dace_tool_") + info->name() + "_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure())
            fs::remove_all(dir_);
    }

    fs::path at(const std::string &name) const { return dir_ / name; }

    // Runs `dace ARGS` in the scratch folder; `env` is put in front, e.g.
    // "SOURCE_DATE_EPOCH=5". Outputs are captured as files (never a terminal).
    Result dace(const std::string &args, const std::string &env = "") {
        const std::string cmd = "cd '" + dir_.string() + "' && env -u SOURCE_DATE_EPOCH TZ=UTC0 " + env + " '" +
                                DACE_TOOL_PATH + "' " + args + " >out.txt 2>err.txt </dev/null";
        const int rc = std::system(cmd.c_str());
        return Result{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(at("out.txt")), slurp(at("err.txt"))};
    }
    Result ok(const std::string &args, const std::string &env = "") {
        Result r = dace(args, env);
        EXPECT_EQ(r.status, 0) << "dace " << args << "\n" << r.err;
        return r;
    }
    // A failure: non-zero status and one line on stderr that says `what`.
    void fails(const std::string &args, const std::string &what) {
        Result r = dace(args);
        EXPECT_NE(r.status, 0) << "dace " << args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(what), std::string::npos) << "dace " << args << ": " << r.err;
    }

    void write_file(const std::string &name, const Bytes &b, int64_t mtime = 0) {
        fs::create_directories(at(name).parent_path());
        store(at(name), b);
        if (mtime != 0)
            set_mtime(at(name), mtime);
    }

    // Runs `script` with bash in the scratch folder, `dace` on the PATH.
    Result sh(const std::string &script) {
        std::ofstream(at("script.sh")) << script << '\n';
        const std::string cmd = "cd '" + dir_.string() + "' && PATH='" +
                                fs::path(DACE_TOOL_PATH).parent_path().string() +
                                "':\"$PATH\" TZ=UTC0 bash script.sh >out.txt 2>err.txt </dev/null";
        const int rc = std::system(cmd.c_str());
        return Result{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(at("out.txt")), slurp(at("err.txt"))};
    }

    fs::path dir_;
};

// The layout of an image as the tool sees it, for planting faults.
struct Planted {
    Bytes bytes;
    dace_tool::Params params;
    dace_tool::Survey survey;

    explicit Planted(const fs::path &p)
        : bytes(load(p)), params(dace_tool::detect(bytes, {}).params), survey(dace_tool::survey_image(bytes, params)) {}

    uint8_t *clus(uint32_t c) { return bytes.data() + size_t{c} * params.clus_size(); }
    uint8_t *root_copy() {
        const auto *r = survey.root();
        return clus(r->clus) + size_t{r->copies[size_t(r->last_valid)].page} * params.page_size;
    }
    // The root copy in force and its entries, in the host's order, read
    // from and written back to the image's bytes in the medium's order.
    dace_root root() { return dace_check::get_root(root_copy()); }
    void set_root(const dace_root &h) { dace_check::put_root(root_copy(), h); }
    dace_entry entry(size_t i) { return dace_check::get_entry(root_copy() + 32 + 32 * i); }
    void set_entry(size_t i, const dace_entry &e) { dace_check::put_entry(root_copy() + 32 + 32 * i, e); }
    // The link in data cluster `c`'s header.
    void set_link(uint32_t c, uint16_t link) { dace_check::put_le16(clus(c) + 4, link); }
    void reseal_root() {
        uint8_t *copy = root_copy();
        dace_check::put_le16(copy + 28, dace_tool::crc_run(*params.crc, params.crc_seed, copy, 28));
        dace_check::put_le16(copy + 30,
                             dace_tool::crc_run(*params.crc, params.crc_seed, copy + 32, 32u * root().count));
    }
    void reseal_data(uint32_t c) {
        const uint16_t head = dace_tool::crc_run(*params.crc, params.crc_seed, clus(c), 6);
        dace_check::put_le16(clus(c) + 6, dace_tool::crc_run(*params.crc, head, clus(c) + 8, params.clus_size() - 8));
    }
    uint32_t free_cluster() const {
        for (uint32_t c = 0; c < survey.clus_count; ++c)
            if (survey.kind[c] == dace_tool::ClusKind::Free)
                return c;
        return 0;
    }
};

// Parameters for a small medium of 256-byte pages, 8 to a cluster.
inline dace_tool::Params small_params(uint16_t total_pages, uint16_t max_files) {
    dace_tool::Options opt;
    opt.max_files = max_files;
    return dace_tool::params_for_new(opt, total_pages);
}

// A freshly formatted medium.
inline Bytes blank_image(const dace_tool::Params &p) {
    const dace_tool::Volume v(Bytes(size_t{p.total_pages} * p.page_size, 0xFF), p, false);
    return v.bytes();
}

// The image as a writer that recorded no volume size leaves it: every valid
// root copy holds 0 in its cluster count and version, its header CRC
// recomputed so that only that differs.
inline Bytes as_older_writer(Bytes image, const dace_tool::Params &p) {
    const dace_tool::Survey sv = dace_tool::survey_image(image, p, {}, false);
    for (const dace_tool::RootLog &log : sv.roots)
        for (int i = 0; i <= log.last_valid; ++i) {
            uint8_t *at = image.data() + size_t{log.clus} * p.clus_size() +
                          size_t{log.copies[size_t(i)].page} * p.page_size;
            dace_root h = dace_check::get_root(at);
            h.clus_count = 0;
            h.version = 0;
            dace_check::put_root(at, h);
            dace_check::put_le16(at + 28, dace_tool::crc_run(*p.crc, p.crc_seed, at, 28));
        }
    return image;
}

} // namespace tool_test

#endif // DACE_TESTS_TOOL_TOOL_FIXTURE_H
