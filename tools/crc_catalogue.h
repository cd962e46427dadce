// The 16-bit CRCs a medium's firmware may use. Each is a plain register CRC
// with no final xor, so its running value chains: crc(crc(s, a), b) equals
// crc(s, a ++ b), which is what the library's framing of a data cluster
// (header, then payload seeded with the header's result) relies on.
#ifndef DACE_TOOLS_CRC_CATALOGUE_H
#define DACE_TOOLS_CRC_CATALOGUE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dace_tool {

struct CrcAlgo {
    std::string_view name;
    uint16_t poly;     // normal (MSB-first) form of the polynomial
    bool lsb_first;    // bits enter least significant first (reflected register)
    std::array<uint16_t, 256> table;
};

// Every entry, the medium simulator's CRC first (the default).
std::span<const CrcAlgo> crc_catalogue();
const CrcAlgo &default_crc();
// The entry of that name, or null.
const CrcAlgo *find_crc(std::string_view name);
// "1021-msb, 1021-lsb, ..." for messages and help.
std::string crc_names();

uint16_t crc_run(const CrcAlgo &algo, uint16_t seed, const void *data, size_t count);

// A dace_crc_fn whose context is a const CrcAlgo*.
uint32_t crc_callback(void *ctx, uint16_t seed, const void *data, uint32_t count);

// The one seed under which `algo` over `data` (nonempty) gives `crc`: for
// these polynomials the seed's contribution is a bijection, so exactly one
// exists. This is how the tool learns a medium's seed from a root header.
uint16_t seed_for(const CrcAlgo &algo, const uint8_t *data, size_t count, uint16_t crc);

} // namespace dace_tool

#endif // DACE_TOOLS_CRC_CATALOGUE_H
