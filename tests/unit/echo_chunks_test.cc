// How a datagram round trip cuts its data into chunks.
#include "echo_round_trip.hh"

#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::size_t> chunks_of(std::size_t len)
{
    std::vector<std::size_t> chunks;
    for (std::size_t position = 0; position < len; position += echo_chunk_size) {
        chunks.push_back(echo_chunk_length(len, position));
    }
    return chunks;
}

TEST(EchoChunks, AtMost1024BytesEach)
{
    EXPECT_EQ(chunks_of(0), std::vector<std::size_t>{});
    EXPECT_EQ(chunks_of(1), std::vector<std::size_t>{1});
    EXPECT_EQ(chunks_of(1024), std::vector<std::size_t>{1024});
    EXPECT_EQ(chunks_of(1025), (std::vector<std::size_t>{1024, 1}));
    EXPECT_EQ(chunks_of(2048), (std::vector<std::size_t>{1024, 1024}));
    EXPECT_EQ(chunks_of(3000), (std::vector<std::size_t>{1024, 1024, 952}));
}

}  // namespace
