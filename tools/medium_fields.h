// The records as an image holds them: every multi-byte field little-endian,
// whatever the host. The tool reads the fields of root copies, entries and
// data headers from an image's bytes here and nowhere else; the records it
// hands on (dace_root, dace_entry, dace_clus_header) are in the host's
// order. On a little-endian host each load is a plain copy.
#ifndef DACE_TOOLS_MEDIUM_FIELDS_H
#define DACE_TOOLS_MEDIUM_FIELDS_H

#include <cstdint>
#include <cstring>

#include "dace/dace.h"

namespace dace_tool {

inline uint16_t load_le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t load_le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t load_le64(const uint8_t *p) { return load_le32(p) | uint64_t{load_le32(p + 4)} << 32; }

// A root copy's 32-byte header.
inline dace_root load_root(const uint8_t *p) {
    dace_root r;
    r.magic = load_le32(p);
    r.seq = load_le32(p + 4);
    r.page_size = load_le16(p + 8);
    r.geometry_tag = load_le16(p + 10);
    r.clus_pages = load_le16(p + 12);
    r.pages = load_le16(p + 14);
    r.clus_count = load_le16(p + 16);
    r.version = load_le16(p + 18);
    r.reserved2 = load_le32(p + 20);
    r.reserved3 = load_le16(p + 24);
    r.count = load_le16(p + 26);
    r.head_crc = load_le16(p + 28);
    r.files_crc = load_le16(p + 30);
    return r;
}

// A 32-byte directory entry; the name is bytes, as it lies.
inline dace_entry load_entry(const uint8_t *p) {
    dace_entry e;
    e.stamp = load_le64(p);
    e.size = load_le32(p + 8);
    e.clus = load_le16(p + 12);
    std::memcpy(e.name, p + 14, sizeof e.name);
    return e;
}

// A data cluster's 8-byte header.
inline dace_clus_header load_clus_header(const uint8_t *p) {
    return dace_clus_header{load_le32(p), load_le16(p + 4), load_le16(p + 6)};
}

} // namespace dace_tool

#endif // DACE_TOOLS_MEDIUM_FIELDS_H
