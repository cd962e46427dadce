// Helpers shared by the tool's test files: a command's outcome, whole files
// as strings, and seeded random bytes.
#ifndef DACE_TESTS_TOOL_TOOL_SUPPORT_H
#define DACE_TESTS_TOOL_TOOL_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace tool_test {

// What a command run through the shell gave back.
struct Result {
    int status;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::filesystem::path &p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// `n` bytes from a fixed seed, as `Byte` (uint8_t or char).
template <class Byte = uint8_t> std::vector<Byte> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Byte> b(n);
    for (Byte &x : b)
        x = static_cast<Byte>(rng());
    return b;
}

} // namespace tool_test

#endif // DACE_TESTS_TOOL_TOOL_SUPPORT_H
