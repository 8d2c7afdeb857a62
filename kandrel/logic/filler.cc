// The filler pattern, made at compile time.
#include "filler.hh"

#include <array>
#include <cstdint>

namespace {

constexpr std::array<char, filler_size> make_filler()
{
    std::array<char, filler_size> bytes{};
    std::uint32_t state = 0x9e3779b9u;
    for (char &byte : bytes) {
        // xorshift32: fixed, fast, and without any structure a compressor finds.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

constexpr std::array<char, filler_size> filler = make_filler();

}  // namespace

const char *filler_bytes()
{
    return filler.data();
}

const char *filler_at(std::size_t position, std::size_t &count)
{
    std::size_t offset = position % filler_size;
    count = count < filler_size - offset ? count : filler_size - offset;
    return filler.data() + offset;
}
