// Every refusal names its reason: dace_error after each call on a mounted
// state, dace_init_error after a mount that returned NULL. Grouped by call;
// each reason comes from the call and the situation that should give it,
// and a call that does all it was asked gives DACE_E_NONE again.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/test_support.h"

using namespace dace_test;

namespace {

// A volume mounted on small_nor(), with `open` files "a" (300 bytes,
// committed) and "b" (empty), "b" left open.
struct Mounted {
    Volume v;
    dace_state *s = nullptr;
    dace_handle b = 0;

    Mounted() {
        s = v.mount();
        EXPECT_NE(s, nullptr);
        put_file(s, "a", 300);
        b = dace_create(s, "b");
        EXPECT_NE(b, 0u);
        EXPECT_EQ(dace_flush(s, b), DACE_OK);
    }
};

// Fills the medium with one file until a write falls short.
void fill_medium(dace_state *s, const char *name) {
    const dace_handle h = dace_create(s, name);
    ASSERT_NE(h, 0u);
    const std::vector<uint8_t> chunk(4096, 0x3C);
    while (dace_write(s, chunk.data(), 4096, h) == 4096) {
    }
    EXPECT_EQ(dace_error(s), DACE_E_MEDIUM_FULL);
    ASSERT_EQ(dace_close(s, h), DACE_OK);
}

} // namespace

TEST(Reasons, CreateNamesWhyItRefused) {
    Mounted m;
    dace_state *s = m.s;
    EXPECT_EQ(dace_create(s, ""), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID);
    EXPECT_EQ(dace_create(s, "a/b"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID);
    EXPECT_EQ(dace_create(s, nullptr), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID);
    EXPECT_EQ(dace_create(s, "abcdefghijklmnopqrs"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NAME_TOO_LONG);
    EXPECT_EQ(dace_create(s, "a"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NAME_TAKEN);

    std::vector<dace_handle> open;
    for (int i = 0; i < 3; ++i)
        open.push_back(dace_create(s, ("o" + std::to_string(i)).c_str()));
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
    EXPECT_EQ(dace_create(s, "one more"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_TOO_MANY_OPEN);
    for (dace_handle h : open)
        ASSERT_EQ(dace_close(s, h), DACE_OK);

    // 63 entries fill a 2048-byte cluster's directory.
    for (int i = 0; dace_error(s) == DACE_E_NONE && i < 70; ++i) {
        const dace_handle h = dace_create(s, ("f" + std::to_string(i)).c_str());
        if (h != 0) {
            ASSERT_EQ(dace_close(s, h), DACE_OK);
        }
    }
    EXPECT_EQ(dace_error(s), DACE_E_DIRECTORY_FULL);
    EXPECT_EQ(listed_names(s).size(), 63u);
}

TEST(Reasons, OpenNamesWhyItRefused) {
    Mounted m;
    dace_state *s = m.s;
    EXPECT_EQ(dace_open(s, "x"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NO_FILE);
    EXPECT_EQ(dace_open(s, ""), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID);
    EXPECT_EQ(dace_open(s, "b"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_FILE_OPEN);

    m.v.sim.fail_read(1);
    EXPECT_EQ(dace_open(s, "a"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_READ_FAILED);

    // A cluster whose CRC no longer matches, with verified reads.
    dace_verify_reads(s, 1);
    m.v.sim.cluster(chain_on_medium(m.v, "a").at(0))[100] ^= 0x01;
    m.v.leave_unchecked("damages a data cluster on purpose");
    EXPECT_EQ(dace_open(s, "a"), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_DAMAGED);
    dace_verify_reads(s, 0);
    const dace_handle h = dace_open(s, "a");
    EXPECT_NE(h, 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
}

TEST(Reasons, WriteNamesWhyItTookLessThanAsked) {
    Mounted m;
    dace_state *s = m.s;
    const uint8_t byte = 7;
    EXPECT_EQ(dace_write(s, &byte, 1, 12345u), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_BAD_HANDLE);
    EXPECT_EQ(dace_write(s, nullptr, 1, m.b), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_INVALID_ARGUMENT);

    // A seek away from the end, then a write: the case that said nothing.
    const dace_handle a = dace_open(s, "a");
    ASSERT_EQ(dace_seek(s, a, 10, DACE_SEEK_SET), DACE_OK);
    EXPECT_EQ(dace_write(s, &byte, 1, a), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NOT_AT_END);
    ASSERT_EQ(dace_close(s, a), DACE_OK);

    EXPECT_EQ(dace_write(s, &byte, 1, m.b), 1u);
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
    fill_medium(s, "fill");
}

TEST(Reasons, FailedWritesToTheMediumAreNamedWhereverTheyFallShort) {
    Mounted m;
    dace_state *s = m.s;
    const std::vector<uint8_t> data = pattern_bytes(100);
    ASSERT_EQ(dace_write(s, data.data(), 100, m.b), 100u);
    m.v.sim.fail_write(1, 3);
    EXPECT_EQ(dace_flush(s, m.b), DACE_FAILED);
    EXPECT_EQ(dace_error(s), DACE_E_WRITE_FAILED);
    m.v.sim.fail_write(1, 3);
    EXPECT_EQ(dace_close(s, m.b), DACE_CLOSE_WRITE_FAILED);
    EXPECT_EQ(dace_error(s), DACE_E_WRITE_FAILED);
    m.v.sim.fail_write(1, 0);
    EXPECT_EQ(dace_seek(s, m.b, 0, DACE_SEEK_SET), DACE_SEEK_FLUSH_FAILED);
    EXPECT_EQ(dace_error(s), DACE_E_WRITE_FAILED);
    m.v.sim.fail_write(1, 0);
    EXPECT_EQ(dace_rename(s, "a", "c"), DACE_WRITE_FAILED);
    EXPECT_EQ(dace_error(s), DACE_E_WRITE_FAILED);
    EXPECT_EQ(dace_close(s, m.b), DACE_OK);
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
}

TEST(Reasons, HandleCallsNameABadHandle) {
    Mounted m;
    dace_state *s = m.s;
    const dace_handle closed = dace_open(s, "a");
    ASSERT_EQ(dace_close(s, closed), DACE_OK);
    for (const dace_handle bad : {dace_handle{0}, closed, 0xFFFFFFFFu}) {
        SCOPED_TRACE(bad);
        uint8_t buf[4];
        dace_entry e;
        const auto expect_bad = [s] { EXPECT_EQ(dace_error(s), DACE_E_BAD_HANDLE); };
        EXPECT_EQ(dace_read(s, buf, 4, bad), 0u);
        expect_bad();
        EXPECT_EQ(dace_seek(s, bad, 0, DACE_SEEK_SET), DACE_SEEK_FAILED);
        expect_bad();
        EXPECT_EQ(dace_tell(s, bad), 0xFFFFFFFFu);
        expect_bad();
        EXPECT_EQ(dace_feof(s, bad), -1);
        expect_bad();
        EXPECT_EQ(dace_flush(s, bad), DACE_FAILED);
        expect_bad();
        EXPECT_EQ(dace_statf(s, bad, &e), DACE_FAILED);
        expect_bad();
        EXPECT_NE(dace_close(s, bad), DACE_OK);
        expect_bad();
    }
    EXPECT_EQ(dace_tell(s, m.b), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
}

TEST(Reasons, ReadAndSeekNameWhyTheyStopped) {
    Mounted m;
    dace_state *s = m.s;
    const dace_handle a = dace_open(s, "a");
    std::vector<uint8_t> buf(400);
    EXPECT_EQ(dace_read(s, nullptr, 4, a), 0u);
    EXPECT_EQ(dace_error(s), DACE_E_INVALID_ARGUMENT);
    EXPECT_EQ(dace_read(s, buf.data(), 400, a), 300u);
    EXPECT_EQ(dace_error(s), DACE_E_NONE) << "the end of the file is no failure";
    EXPECT_EQ(dace_seek(s, a, 0, 7), DACE_SEEK_BAD_WHENCE);
    EXPECT_EQ(dace_error(s), DACE_E_INVALID_ARGUMENT);
    EXPECT_EQ(dace_seek(s, a, 301, DACE_SEEK_SET), DACE_SEEK_BEYOND_END);
    EXPECT_EQ(dace_error(s), DACE_E_BEYOND_END);
    m.v.sim.fail_read(1);
    EXPECT_EQ(dace_seek(s, a, 0, DACE_SEEK_SET), DACE_SEEK_FAILED);
    EXPECT_EQ(dace_error(s), DACE_E_READ_FAILED);
    EXPECT_EQ(dace_read(s, buf.data(), 4, a), 4u) << "the next read loads the cluster again";
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
}

TEST(Reasons, ByNameChangesNameWhyTheyRefused) {
    Mounted m;
    dace_state *s = m.s;
    EXPECT_EQ(dace_remove(s, "x"), DACE_NO_FILE);
    EXPECT_EQ(dace_error(s), DACE_E_NO_FILE);
    EXPECT_EQ(dace_remove(s, "b"), DACE_REFUSED);
    EXPECT_EQ(dace_error(s), DACE_E_FILE_OPEN);
    EXPECT_EQ(dace_rename(s, "a", ""), DACE_REFUSED);
    EXPECT_EQ(dace_error(s), DACE_E_NAME_INVALID);
    EXPECT_EQ(dace_rename_replace(s, "a", "b"), DACE_REFUSED);
    EXPECT_EQ(dace_error(s), DACE_E_FILE_OPEN);
    EXPECT_EQ(dace_truncate(s, "a", 301), DACE_REFUSED);
    EXPECT_EQ(dace_error(s), DACE_E_BEYOND_END);
    EXPECT_EQ(dace_truncate(s, "a", 3), DACE_OK);
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
}

TEST(Reasons, EraseAheadNamesAFailedErase) {
    Mounted m;
    dace_state *s = m.s;
    ASSERT_EQ(dace_remove(s, "a"), DACE_OK); // its cluster now waits for an erase
    m.v.sim.fail_erase(1);
    EXPECT_EQ(dace_erase_ahead(s, 4), -1);
    EXPECT_EQ(dace_error(s), DACE_E_ERASE_FAILED);
    EXPECT_GE(dace_erase_ahead(s, 4), 0);
    EXPECT_EQ(dace_error(s), DACE_E_NONE);
}

// The reasons a mount gives, and that none of them changed the medium.
TEST(Reasons, AMountThatReturnsNullSaysWhy) {
    struct Case {
        const char *what;
        void (*prepare)(Volume &);
        dace_state *(*mount)(const dace_config *, void *);
        int reason;
    };
    const auto make_volume = [](Volume &v) {
        ASSERT_NE(v.mount(), nullptr);
        put_file(v.s, "kept", 5000);
    };
    const Case cases[] = {
        {"nothing on the medium", [](Volume &) {}, dace_mount, DACE_E_NOT_A_VOLUME},
        {"other data", [](Volume &v) { v.sim.fill(0x42); }, dace_mount, DACE_E_NOT_A_VOLUME},
        {"a configuration refused", [](Volume &v) { v.cfg.max_files = 0; }, dace_init, DACE_E_CONFIG},
        {"a header that cannot be read",
         [](Volume &v) { v.sim.make_unreadable(3); }, dace_init, DACE_E_UNREADABLE},
        {"another page size",
         [](Volume &v) {
             dace_config other = v.cfg;
             other.page_size = 512;
             plant_root(v.sim, other, 2, 0, 1, named({"theirs"}));
         },
         dace_init, DACE_E_GEOMETRY},
        {"data marks and no root",
         [](Volume &v) { plant_data(v.sim, v.cfg, 5, CLUS_END, 0x11); }, dace_init, DACE_E_DAMAGED},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        Volume v;
        k.prepare(v);
        const std::vector<uint8_t> before = v.sim.bytes();
        const dace_config sound = v.sim.config(4);
        v.block.assign(dace_getstatesize(&sound) / 8 + 1, 0);
        v.s = k.mount(&v.cfg, v.block.data());
        EXPECT_EQ(v.s, nullptr);
        EXPECT_EQ(dace_init_error(v.block.data()), k.reason);
        EXPECT_TRUE(v.sim.bytes() == before);
    }
    Volume v;
    make_volume(v);
    const uint16_t right = v.cfg.total_pages;
    v.cfg.total_pages = static_cast<uint16_t>(right / 2);
    EXPECT_EQ(v.mount_only(), nullptr);
    EXPECT_EQ(dace_init_error(v.block.data()), DACE_E_SIZE_MISMATCH);
    v.cfg.total_pages = right;
    ASSERT_NE(v.mount_only(), nullptr);
    EXPECT_EQ(dace_init_error(v.block.data()), DACE_E_NONE);
}
