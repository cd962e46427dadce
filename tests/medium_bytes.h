// The records as the medium's bytes hold them, for tests that plant or
// inspect a medium: every multi-byte field little-endian whatever the host,
// read and written a byte at a time here, apart from the library's and the
// tool's own conversions, so that a host that wrote the wrong byte order
// fails the tests instead of agreeing with itself. The records these give
// and take (dace_root, dace_entry, dace_clus_header) are in the host's order.
#ifndef DACE_TESTS_MEDIUM_BYTES_H
#define DACE_TESTS_MEDIUM_BYTES_H

#include <cstdint>
#include <cstring>

#include "dace/dace.h"

namespace dace_check {

inline uint16_t get_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t get_le32(const uint8_t *p) { return get_le16(p) | uint32_t{get_le16(p + 2)} << 16; }
inline uint64_t get_le64(const uint8_t *p) { return get_le32(p) | uint64_t{get_le32(p + 4)} << 32; }

inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t *p, uint32_t v) {
    put_le16(p, static_cast<uint16_t>(v));
    put_le16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void put_le64(uint8_t *p, uint64_t v) {
    put_le32(p, static_cast<uint32_t>(v));
    put_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// A root copy's 32-byte header.
inline dace_root get_root(const uint8_t *p) {
    dace_root h;
    h.magic = get_le32(p);
    h.seq = get_le32(p + 4);
    h.page_size = get_le16(p + 8);
    h.geometry_tag = get_le16(p + 10);
    h.clus_pages = get_le16(p + 12);
    h.pages = get_le16(p + 14);
    h.clus_count = get_le16(p + 16);
    h.version = get_le16(p + 18);
    h.reserved2 = get_le32(p + 20);
    h.reserved3 = get_le16(p + 24);
    h.count = get_le16(p + 26);
    h.head_crc = get_le16(p + 28);
    h.files_crc = get_le16(p + 30);
    return h;
}
inline void put_root(uint8_t *p, const dace_root &h) {
    put_le32(p, h.magic);
    put_le32(p + 4, h.seq);
    put_le16(p + 8, h.page_size);
    put_le16(p + 10, h.geometry_tag);
    put_le16(p + 12, h.clus_pages);
    put_le16(p + 14, h.pages);
    put_le16(p + 16, h.clus_count);
    put_le16(p + 18, h.version);
    put_le32(p + 20, h.reserved2);
    put_le16(p + 24, h.reserved3);
    put_le16(p + 26, h.count);
    put_le16(p + 28, h.head_crc);
    put_le16(p + 30, h.files_crc);
}

// A 32-byte directory entry; its name is bytes and lies as it is.
inline dace_entry get_entry(const uint8_t *p) {
    dace_entry e;
    e.stamp = get_le64(p);
    e.size = get_le32(p + 8);
    e.clus = get_le16(p + 12);
    std::memcpy(e.name, p + 14, sizeof e.name);
    return e;
}
inline void put_entry(uint8_t *p, const dace_entry &e) {
    put_le64(p, e.stamp);
    put_le32(p + 8, e.size);
    put_le16(p + 12, e.clus);
    std::memcpy(p + 14, e.name, sizeof e.name);
}

// A data cluster's 8-byte header.
inline dace_clus_header get_clus_header(const uint8_t *p) {
    return dace_clus_header{get_le32(p), get_le16(p + 4), get_le16(p + 6)};
}
inline void put_clus_header(uint8_t *p, const dace_clus_header &h) {
    put_le32(p, h.magic);
    put_le16(p + 4, h.link);
    put_le16(p + 6, h.crc);
}

} // namespace dace_check

#endif // DACE_TESTS_MEDIUM_BYTES_H
