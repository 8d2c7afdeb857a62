// The filler that full coverage bounces in place of the program's bytes has
// nothing a compressor could shrink. (That it is the same in every process
// the integration tests show: every hop record there is compared with it.)
#include "filler.hh"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(Filler, EveryByteValueAndNoRepeatedWindow)
{
    const std::string filler(filler_bytes(), filler_size);
    EXPECT_EQ(std::set<char>(filler.begin(), filler.end()).size(), 256u);
    std::set<std::string> windows;
    for (std::size_t at = 0; at + 16 <= filler.size(); ++at) {
        EXPECT_TRUE(windows.insert(filler.substr(at, 16)).second) << "a 16-byte window repeats at " << at;
    }
}

// Past its size the filler repeats, and one piece never runs off its end.
TEST(Filler, FromAnyPositionInOnePiece)
{
    struct row {
        std::size_t position, count, offset, piece;
    };
    for (const row &r : {row{0, 10, 0, 10}, row{filler_size - 4, 10, filler_size - 4, 4},
                         row{filler_size + 3, 10, 3, 10}, row{5, 2 * filler_size, 5, filler_size - 5}}) {
        std::size_t count = r.count;
        EXPECT_EQ(filler_at(r.position, count), filler_bytes() + r.offset) << r.position;
        EXPECT_EQ(count, r.piece) << r.position;
    }
}

}  // namespace
