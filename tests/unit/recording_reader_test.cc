// Reading recordings: the one line shape the library writes, every way a
// line can be damaged (refused alike by the library's replay and by the
// launcher, which says why), line numbers, and round trips grouped by route.
#include "recording_reader.hh"

#include <gtest/gtest.h>

namespace {

using namespace launcher;

const std::string good =
    R"({"t_us":1234567,"pid":4242,"to":"127.0.0.5","hop":"10.77.0.2","protocol":"TCP","bytes":78,"rtt_us":40123,"outcome":"echoed"})";

// The good line with `from` replaced by `to`.
std::string changed(const std::string &from, const std::string &to)
{
    std::string line = good;
    return line.replace(line.find(from), from.size(), to);
}

TEST(RecordingReader, ReadsEveryField)
{
    round_trip_record r;
    std::string error;
    ASSERT_TRUE(parse_recording_line(good, r, error)) << error;
    EXPECT_EQ(r.t_us, 1234567u);
    EXPECT_EQ(r.pid, 4242u);
    EXPECT_EQ(r.to, "127.0.0.5");
    EXPECT_EQ(r.hop, "10.77.0.2");
    EXPECT_EQ(r.protocol, "TCP");
    EXPECT_EQ(r.bytes, 78u);
    EXPECT_EQ(r.rtt_us, 40123u);
    EXPECT_EQ(r.outcome, trip_outcome::echoed);

    ASSERT_TRUE(parse_recording_line(
        changed(R"("to":"127.0.0.5")", R"("to":"odd\"\\\u0009name")"), r, error)) << error;
    EXPECT_EQ(r.to, "odd\"\\\tname");
    ASSERT_TRUE(parse_recording_line(changed("\"echoed\"", "\"waited_out\""), r, error));
    EXPECT_EQ(r.outcome, trip_outcome::waited_out);
    ASSERT_TRUE(parse_recording_line(changed("\"rtt_us\":40123", "\"rtt_us\":0"), r, error));
    ASSERT_TRUE(parse_recording_line(changed("\"echoed\"", "\"unreachable\""), r, error));
    EXPECT_EQ(r.outcome, trip_outcome::unreachable);
    ASSERT_TRUE(parse_recording_line(changed("\"rtt_us\":40123", "\"rtt_us\":3600000000"), r, error));
}

TEST(RecordingReader, RefusesEveryOtherShapeAndSaysWhy)
{
    struct row {
        std::string line;
        std::string error;
    };
    // Only the escapes the library writes and reads back.
    const std::string escape_error =
        R"(to holds an escape other than \", \\ or \u00XX of a control byte at column 37)";
    for (const row &r : {
             row{good.substr(0, 60), "truncated line"},
             row{good.substr(0, good.size() - 1), "truncated line"},
             row{R"({"t_us":12)", "truncated line"},
             row{R"({"t_us":1,"pid":2,"to":"ab\u00)", "truncated line"},
             row{changed(R"("pid":4242,"to")", R"("to")"), R"(expected ,"pid": at column 16)"},
             row{changed(R"("to":"127.0.0.5","hop":"10.77.0.2")", R"("hop":"10.77.0.2","to":"127.0.0.5")"),
                 R"(expected ,"to": at column 27)"},
             row{changed("\"t_us\":1234567", "\"t_us\": 1234567"), "t_us is not a whole number at column 9"},
             row{changed("\"rtt_us\":40123", "\"rtt_us\":-5"), "rtt_us is not a whole number at column 100"},
             row{changed("\"bytes\":78", "\"bytes\":078"), "bytes has a leading zero at column 88"},
             row{changed("\"rtt_us\":40123", "\"rtt_us\":99999999999999999999"), "rtt_us is beyond 64 bits"},
             row{changed("\"rtt_us\":40123", "\"rtt_us\":3600000001"), "rtt_us 3600000001 is beyond one hour"},
             row{changed("\"t_us\":1234567", "\"t_us\":31622400000001"), "t_us 31622400000001 is beyond a year"},
             row{changed("\"pid\":4242", "\"pid\":4194305"), "pid 4194305 is beyond the largest process id"},
             row{changed("\"TCP\"", "\"tcp\""), "protocol is neither TCP nor UDP"},
             row{changed("\"TCP\"", "\"XYZTCPUDP\""), "protocol is neither TCP nor UDP"},
             row{changed("\"echoed\"", "\"lost\""), "outcome is not echoed, waited_out or unreachable"},
             row{changed("\"127.0.0.5\"", "\"\""), "to is empty"},
             row{changed("\"127.0.0.5\"", "\"" + std::string(256, 'h') + "\""), "to is longer than 255 characters"},
             row{changed("\"127.0.0.5\"", "\"a\tb\""), "to holds an unescaped control byte at column 35"},
             row{changed("\"127.0.0.5\"", "\"caf\\u00e9\""), escape_error},
             row{changed("\"127.0.0.5\"", "\"caf\\u0041\""), escape_error},
             row{changed("\"127.0.0.5\"", "\"caf\\u001A\""), escape_error},
             row{changed("\"127.0.0.5\"", "\"caf\\n\""), escape_error},
             row{good + " ", "text after the record at column 125"},
             row{changed(",\"outcome\"", ",\"extra\":1,\"outcome\""), R"(expected ,"outcome": at column 105)"},
             row{"32 bytes 40 ms", R"(expected {"t_us": at column 1)"},
         }) {
        round_trip_record record;
        std::string error;
        EXPECT_FALSE(parse_recording_line(r.line, record, error)) << r.line;
        EXPECT_EQ(error, r.error) << r.line;
        recorded_trip trip;
        EXPECT_FALSE(::parse_recording_line(r.line.data(), r.line.size(), trip)) << r.line;
    }
}

TEST(RecordingFile, ReadsLinesInOrderAndNamesTheFirstBadOne)
{
    std::string second = changed("\"rtt_us\":40123", "\"rtt_us\":41000");
    auto whole = read_recording(good + "\n" + second + "\n");
    EXPECT_EQ(whole.error_line, 0u) << whole.error;
    ASSERT_EQ(whole.records.size(), 2u);
    EXPECT_EQ(whole.records[1].rtt_us, 41000u);
    // The last line needs no newline, but must be whole.
    EXPECT_EQ(read_recording(good + "\n" + second).records.size(), 2u);
    auto cut = read_recording(good + "\n" + second.substr(0, 30));
    EXPECT_EQ(cut.error_line, 2u);
    EXPECT_EQ(cut.error, "truncated line");
    auto gap = read_recording(good + "\n\n" + good + "\n");
    EXPECT_EQ(gap.error_line, 2u);
    EXPECT_EQ(gap.error, "empty line");
    EXPECT_TRUE(read_recording("").records.empty());

    EXPECT_TRUE(looks_like_recording("\n" + good));
    EXPECT_FALSE(looks_like_recording("32 bytes 40 ms\n"));
    EXPECT_FALSE(looks_like_recording(""));
}

TEST(RecordingFile, RoundTripsGroupedByRouteInOrderOfAppearance)
{
    std::string udp = changed("\"TCP\"", "\"UDP\"");
    std::string text = good + "\n" + udp + "\n" + changed("\"echoed\"", "\"unreachable\"") + "\n" +
                       changed("\"echoed\"", "\"waited_out\"") + "\n";
    auto routes = round_trips_by_route(read_recording(text).records);
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_EQ(route_name(routes[0].route), "127.0.0.5 via 10.77.0.2 (TCP)");
    EXPECT_EQ(routes[0].echoed, 1u);
    EXPECT_EQ(routes[0].waited_out, 1u);
    EXPECT_EQ(routes[0].unreachable, 1u);
    // Only timed round trips have a time to show.
    EXPECT_EQ(routes[0].rtt_us, (std::vector<long>{40123, 40123}));
    EXPECT_EQ(routes[0].t_us, (std::vector<long>{1234567, 1234567}));
    EXPECT_EQ(route_name(routes[1].route), "127.0.0.5 via 10.77.0.2 (UDP)");
    EXPECT_EQ(routes[1].echoed, 1u);
}

}  // namespace
