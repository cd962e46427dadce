// What the fuzz targets share: a reader that turns the input into values
// (zeros once it runs dry, so every input decodes to something), and checks
// that stop the run with the failed condition, or with what a checker of
// tests/checks.h found, when the library breaks a promise it makes whatever
// the medium holds.
#ifndef DACE_FUZZ_FUZZ_INPUT_H
#define DACE_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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

[[noreturn]] inline void problems_found(const std::string &problems, const char *expr, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: %s: %s\n", file, line, expr, problems.c_str());
    std::abort();
}

} // namespace dace_fuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : ::dace_fuzz::check_failed(#cond, __FILE__, __LINE__))
// Stops the run with the description when a checker of tests/checks.h
// finds something wrong.
#define FUZZ_CHECK_NONE(checker) \
    do { \
        const std::string fuzz_problems_ = (checker); \
        if (!fuzz_problems_.empty()) \
            ::dace_fuzz::problems_found(fuzz_problems_, #checker, __FILE__, __LINE__); \
    } while (0)

#endif // DACE_FUZZ_FUZZ_INPUT_H
