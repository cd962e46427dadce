#include "tools/crc_catalogue.h"

#include <memory>
#include <mutex>
#include <vector>

namespace dace_tool {

namespace {

constexpr uint16_t reflect16(uint16_t v) {
    uint16_t r = 0;
    for (int i = 0; i < 16; ++i)
        if (v & (1u << i))
            r = static_cast<uint16_t>(r | (1u << (15 - i)));
    return r;
}

constexpr std::array<uint16_t, 256> make_table(uint16_t poly, bool lsb_first) {
    std::array<uint16_t, 256> table{};
    const uint16_t rpoly = reflect16(poly);
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = lsb_first ? i : i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            if (lsb_first)
                crc = (crc & 1u) ? (crc >> 1) ^ rpoly : crc >> 1;
            else
                crc = (crc & 0x8000u) ? ((crc << 1) ^ poly) & 0xFFFFu : (crc << 1) & 0xFFFFu;
        }
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr CrcAlgo make(std::string_view name, uint16_t poly, bool lsb_first) {
    return CrcAlgo{name, poly, lsb_first, make_table(poly, lsb_first)};
}

constexpr std::array<CrcAlgo, 4> kCatalogue = {
    make("1021-msb", 0x1021, false),
    make("1021-lsb", 0x1021, true),
    make("8005-lsb", 0x8005, true),
    make("8005-msb", 0x8005, false),
};

} // namespace

std::span<const CrcAlgo> crc_catalogue() { return kCatalogue; }
const CrcAlgo &default_crc() { return kCatalogue[0]; }

const CrcAlgo *find_crc(std::string_view name) {
    for (const CrcAlgo &a : kCatalogue)
        if (a.name == name)
            return &a;
    return nullptr;
}

std::string crc_names() {
    std::string out;
    for (const CrcAlgo &a : kCatalogue) {
        if (!out.empty())
            out += ", ";
        out += a.name;
    }
    return out;
}

uint16_t crc_run(const CrcAlgo &algo, uint16_t seed, const void *data, size_t count) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t crc = seed;
    if (algo.lsb_first) {
        for (size_t i = 0; i < count; ++i)
            crc = (crc >> 8) ^ algo.table[(crc ^ p[i]) & 0xFFu];
    } else {
        for (size_t i = 0; i < count; ++i)
            crc = ((crc << 8) ^ algo.table[((crc >> 8) ^ p[i]) & 0xFFu]) & 0xFFFFu;
    }
    return static_cast<uint16_t>(crc);
}

uint32_t crc_callback(void *ctx, uint16_t seed, const void *data, uint32_t count) {
    if (data == nullptr)
        return 0;
    return crc_run(*static_cast<const CrcAlgo *>(ctx), seed, data, count);
}

uint16_t seed_for(const CrcAlgo &algo, const uint8_t *data, size_t count, uint16_t crc) {
    // crc(s, d) = crc(s, zeros) ^ crc(0, d): invert s -> crc(s, zeros) for
    // this length by one table per (algorithm, length), built on first use.
    struct Inverse {
        const CrcAlgo *algo;
        size_t count;
        std::vector<uint16_t> seed_of;
    };
    static std::mutex lock;
    static std::vector<std::unique_ptr<Inverse>> cache;
    const Inverse *inv = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto &c : cache)
            if (c->algo == &algo && c->count == count)
                inv = c.get();
        if (inv == nullptr) {
            auto made = std::make_unique<Inverse>(Inverse{&algo, count, std::vector<uint16_t>(65536)});
            const std::vector<uint8_t> zeros(count, 0);
            for (uint32_t s = 0; s < 65536; ++s)
                made->seed_of[crc_run(algo, static_cast<uint16_t>(s), zeros.data(), count)] =
                    static_cast<uint16_t>(s);
            inv = made.get();
            cache.push_back(std::move(made));
        }
    }
    const uint16_t data_part = crc_run(algo, 0, data, count);
    return inv->seed_of[static_cast<uint16_t>(crc ^ data_part)];
}

} // namespace dace_tool
