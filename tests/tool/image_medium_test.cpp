// The tool's own medium, called as the library calls it: erase and program
// behave as on the device, calls outside the medium change nothing, and
// every change reaches the mirror file at its place and the journal with the
// barriers write_in_place needs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tests/medium_bytes.h"
#include "tools/image_medium.h"

namespace {

using dace_tool::ImageMedium;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kPage = 64;
constexpr uint16_t kClusPages = 4;
constexpr uint32_t kClus = kPage * kClusPages;

// Eight clusters and one trailing page that makes up no cluster.
Bytes medium_bytes(uint8_t fill) { return Bytes(size_t{kClus} * 8 + kPage, fill); }

struct Calls {
    dace_config cfg{};
    explicit Calls(ImageMedium &m) { m.attach(cfg); }
    uint32_t read(uint32_t page, void *dst, uint32_t n) { return cfg.read_fn(cfg.io_ctx, page, dst, n); }
    uint32_t program(uint32_t page, const void *src, uint32_t n) { return cfg.write_fn(cfg.io_ctx, page, src, n); }
    uint32_t erase(uint32_t first, uint32_t n) { return cfg.erase_fn(cfg.io_ctx, first, n); }
};

TEST(ImageMedium, ProgramsOnlyErasedBytesAndStopsAtOneThatWouldNeedAnErase) {
    ImageMedium m(medium_bytes(0xFF), kPage, kClusPages);
    Calls c(m);
    const Bytes first = {0x0F, 0xF0, 0x3C, 0xFF};
    ASSERT_EQ(c.program(1, first.data(), 4), 4u);
    EXPECT_EQ(Bytes(m.bytes().begin() + kPage, m.bytes().begin() + kPage + 4), first);
    // The same bytes again change nothing and are fine.
    EXPECT_EQ(c.program(1, first.data(), 4), 4u);
    // The second byte is programmed already: clearing more of its bits
    // needs an erase first, as on the device, so the program stops there.
    const Bytes more = {0x0F, 0x00, 0x3C, 0x00};
    EXPECT_EQ(c.program(1, more.data(), 4), 1u);
    EXPECT_EQ(m.bytes()[kPage + 1], 0xF0);
    EXPECT_EQ(m.bytes()[kPage + 3], 0xFF) << "nothing past the refused byte";

    Bytes back(4);
    ASSERT_EQ(c.read(1, back.data(), 4), 4u);
    EXPECT_EQ(back, first);
}

TEST(ImageMedium, ErasesWholeClustersAndRefusesCallsOutsideTheMedium) {
    ImageMedium m(medium_bytes(0x00), kPage, kClusPages);
    Calls c(m);
    ASSERT_EQ(c.erase(2, 3), 3u);
    for (size_t i = 0; i < m.bytes().size(); ++i)
        ASSERT_EQ(m.bytes()[i], i >= 2 * kClus && i < 5 * kClus ? 0xFF : 0x00) << i;

    const Bytes before = m.bytes();
    std::vector<uint8_t> page(kPage + 1, 0);
    uint8_t *buf = page.data();
    EXPECT_EQ(c.erase(8, 1), 0u) << "the trailing page is no cluster";
    EXPECT_EQ(c.erase(6, 3), 0u);
    EXPECT_EQ(c.erase(0, 0), 0u);
    EXPECT_EQ(c.erase(0xFFFFFFFFu, 2), 0u);
    EXPECT_EQ(c.program(8 * kClusPages, buf, kPage + 1), 0u);
    EXPECT_EQ(c.program(0xFFFFFFFFu, buf, 8), 0u) << "no page number wraps into range";
    EXPECT_EQ(c.program(0, nullptr, 8), 0u);
    EXPECT_EQ(m.bytes(), before);
    EXPECT_EQ(c.read(8 * kClusPages, buf, kPage), uint32_t{kPage}) << "the trailing page reads";
    EXPECT_EQ(c.read(8 * kClusPages, buf, kPage + 1), 0u);
    EXPECT_EQ(c.read(0, nullptr, 8), 0u);
}

// An image cut short: the medium keeps its full size, the pages past the
// image read erased, and they take memory only once a change reaches them.
TEST(ImageMedium, PastTheEndOfAnImageCutShortReadsErased) {
    const Bytes held(size_t{kClus} * 2 + 10, 0x00); // ends 10 bytes into cluster 2
    ImageMedium m(held, kPage, kClusPages, size_t{kClus} * 8);
    Calls c(m);
    Bytes page(kPage, 0x11);
    ASSERT_EQ(c.read(2 * kClusPages, page.data(), kPage), uint32_t{kPage}) << "the page the image ends in";
    EXPECT_EQ(Bytes(page.begin(), page.begin() + 10), Bytes(10, 0x00));
    EXPECT_EQ(Bytes(page.begin() + 10, page.end()), Bytes(kPage - 10, 0xFF));
    ASSERT_EQ(c.read(8 * kClusPages - 1, page.data(), kPage), uint32_t{kPage}) << "the medium's last page";
    EXPECT_EQ(page, Bytes(kPage, 0xFF));
    EXPECT_EQ(c.read(8 * kClusPages, page.data(), kPage), 0u) << "past the medium";
    EXPECT_EQ(m.bytes(), held) << "reading takes no memory";

    const Bytes data = {7, 8, 9};
    ASSERT_EQ(c.program(5 * kClusPages, data.data(), 3), 3u);
    ASSERT_EQ(m.bytes().size(), size_t{kClus} * 5 + 3);
    EXPECT_EQ(m.bytes()[size_t{kClus} * 4], 0xFF) << "what lies between reads erased";
    ASSERT_EQ(c.read(5 * kClusPages, page.data(), kPage), uint32_t{kPage});
    EXPECT_EQ(Bytes(page.begin(), page.begin() + 4), (Bytes{7, 8, 9, 0xFF}));
    ASSERT_EQ(c.erase(7, 1), 1u);
    EXPECT_EQ(m.bytes().size(), size_t{kClus} * 8);
    EXPECT_EQ(c.erase(8, 1), 0u) << "past the medium";
}

TEST(ImageMedium, JournalKeepsEveryChangeAndMarksErasesAndRootCopiesAsBarriers) {
    ImageMedium m(medium_bytes(0xFF), kPage, kClusPages);
    m.keep_journal();
    Calls c(m);
    const Bytes data(10, 0x5A);
    ASSERT_EQ(c.program(5, data.data(), 10), 10u);
    Bytes root(32, 0x00);
    dace_check::put_le32(root.data(), ROOT_MAGIC);
    ASSERT_EQ(c.program(8, root.data(), 32), 32u);
    ASSERT_EQ(c.erase(1, 1), 1u);

    const auto &j = m.journal();
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0].offset, 5u * kPage);
    EXPECT_EQ(j[0].bytes, data);
    EXPECT_FALSE(j[0].barrier);
    EXPECT_EQ(j[1].offset, 8u * kPage);
    EXPECT_TRUE(j[1].barrier) << "a root copy";
    EXPECT_EQ(j[2].offset, size_t{kClus});
    EXPECT_EQ(j[2].bytes, Bytes(kClus, 0xFF));
    EXPECT_TRUE(j[2].barrier) << "an erase";
}

TEST(ImageMedium, MirrorHoldsEachChangeAtTheMediumsOffsetAndAFailedWriteFailsTheCall) {
    char path[] = "/tmp/dace_medium_mirror_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    constexpr uint64_t kOrigin = 1000;
    ImageMedium m(medium_bytes(0xFF), kPage, kClusPages);
    m.mirror_to(fd, kOrigin);
    Calls c(m);
    const Bytes data = {1, 2, 3, 4, 5};
    ASSERT_EQ(c.program(3, data.data(), 5), 5u);
    Bytes in_file(5);
    ASSERT_EQ(::pread(fd, in_file.data(), 5, kOrigin + 3 * kPage), 5);
    EXPECT_EQ(in_file, data);
    EXPECT_EQ(m.take_mirror_error(), 0);

    const int read_only = ::open(path, O_RDONLY);
    ASSERT_GE(read_only, 0);
    m.mirror_to(read_only, kOrigin);
    EXPECT_EQ(c.program(4, data.data(), 5), 0u) << "the file refused it";
    EXPECT_EQ(m.bytes()[4 * kPage], 1) << "the change stays in memory";
    EXPECT_EQ(c.erase(0, 1), 0u);
    EXPECT_EQ(m.take_mirror_error(), EBADF) << "the first failure";
    EXPECT_EQ(m.take_mirror_error(), 0);
    ::close(read_only);
    ::close(fd);
    std::remove(path);
}

} // namespace
