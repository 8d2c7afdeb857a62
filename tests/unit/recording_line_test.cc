// Recording lines: what is written reads back (the refusals are in
// recording_reader_test.cc, run through both readers).
#include "recording_line.hh"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

recorded_trip sample()
{
    recorded_trip trip;
    trip.t_us = 1234567;
    trip.pid = 4242;
    std::strcpy(trip.to, "beta");
    std::strcpy(trip.hop, "fd00::2");
    std::strcpy(trip.protocol, "UDP");
    trip.bytes = 64;
    trip.rtt_us = 40123;
    trip.outcome = trip_outcome::waited_out;
    return trip;
}

std::string formatted(const recorded_trip &trip)
{
    char line[recording_line_size];
    return std::string(line, format_recording_line(trip, line));
}

TEST(RecordingLine, WritesTheFixedShapeAndReadsItBack)
{
    recorded_trip trip = sample();
    std::string line = formatted(trip);
    EXPECT_EQ(line, "{\"t_us\":1234567,\"pid\":4242,\"to\":\"beta\",\"hop\":\"fd00::2\",\"protocol\":\"UDP\","
                    "\"bytes\":64,\"rtt_us\":40123,\"outcome\":\"waited_out\"}\n");
    recorded_trip read;
    ASSERT_TRUE(parse_recording_line(line.data(), line.size() - 1, read));
    EXPECT_EQ(formatted(read), line);
}

TEST(RecordingLine, NamesWithQuotesBackslashesAndControlBytesRoundTrip)
{
    recorded_trip trip = sample();
    std::strcpy(trip.to, "a\"b\\c\td");
    std::string line = formatted(trip);
    EXPECT_NE(line.find("\"a\\\"b\\\\c\\u0009d\""), std::string::npos) << line;
    recorded_trip read;
    ASSERT_TRUE(parse_recording_line(line.data(), line.size() - 1, read));
    EXPECT_STREQ(read.to, trip.to);
}

}  // namespace
