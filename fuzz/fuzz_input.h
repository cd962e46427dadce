// What the fuzz targets share: a reader that turns the input into values
// (zeros once it runs dry, so every input decodes to something), and a check
// that stops the run with the failed condition when the library breaks a
// promise it makes whatever the medium holds.
#ifndef DACE_FUZZ_FUZZ_INPUT_H
#define DACE_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "dace/dace.h"

namespace dace_fuzz {

class ByteReader {
public:
    ByteReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }
    const uint8_t *rest() const { return data_ + at_; }

    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    // Reads are sequenced one by one: the order in which the operands of an
    // expression are evaluated varies between compilers.
    uint16_t u16() {
        const uint8_t low = u8();
        return static_cast<uint16_t>(low | u8() << 8);
    }
    uint32_t u32() {
        const uint16_t low = u16();
        return low | uint32_t{u16()} << 16;
    }
    // A value below `n` (0 < n <= 2^32), from one byte when n fits in one.
    uint32_t below(uint64_t n) { return static_cast<uint32_t>((n <= 256 ? u8() : u32()) % n); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

[[noreturn]] inline void check_failed(const char *cond, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, cond);
    std::abort();
}

// The allocator's count agrees with its table whatever the medium held:
// free_clus, less what it owes, is the clusters it could still hand out
// (free, to be erased, or held) less the four kept back for root moves.
inline bool free_count_matches_table(const dace_state *s) {
    int usable = 0;
    for (uint32_t i = 0; i < s->clus_count; ++i) {
        const uint16_t code = s->clus_table[i];
        usable += (code == CLUS_FREE || code == CLUS_DIRTY || code == CLUS_HELD) ? 1 : 0;
    }
    return int{s->free_clus} - int{s->free_deficit} == usable - 4;
}

} // namespace dace_fuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::dace_fuzz::check_failed(#cond, __FILE__, __LINE__))

#endif // DACE_FUZZ_FUZZ_INPUT_H
