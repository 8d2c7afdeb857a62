// Recording lines: what is written reads back, and any other shape does not.
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

bool parses(const std::string &line)
{
    recorded_trip trip;
    return parse_recording_line(line.data(), line.size(), trip);
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

TEST(RecordingLine, RejectsEveryOtherShape)
{
    std::string good = formatted(sample());
    good.pop_back();
    const std::string bad[] = {
        good.substr(0, good.size() - 1),                                   // truncated
        good + " ",                                                         // trailing text
        "{\"t_us\":99999999999999999999" + good.substr(good.find(',')),     // beyond 64 bits
        "{\"t_us\":01" + good.substr(good.find(',')),                       // leading zero
        "{\"t_us\":-1" + good.substr(good.find(',')),                       // negative
        good.substr(0, good.find("waited_out")) + "late\"}",                // unknown outcome
        "{ \"t_us\":1" + good.substr(good.find(',')),                       // other spacing
        good.substr(0, good.find("\"beta\"")) + "\"\\u 009\"" + good.substr(good.find(",\"hop\"")),  // loose escape
        good.substr(0, good.find(",\"pid\"")) + good.substr(good.find(",\"to\"")),  // missing key
        "",
    };
    for (const std::string &line : bad) {
        EXPECT_FALSE(parses(line)) << line;
    }
}

}  // namespace
