// The path relay's timing of one direction: when a piece the program wrote
// leaves its sender (Nagle's algorithm over a distance), when it reaches
// the other side, and how much the window lets in flight.
#include <gtest/gtest.h>

#include "relay_direction.hh"

namespace {

constexpr micros round_trip = 100'000;
constexpr std::size_t segment = 1448;

std::vector<char> piece(std::size_t length)
{
    return std::vector<char>(length, 'x');
}

TEST(RelayDirection, ShortPiecesWaitForTheLastShortOneToBeAcknowledged)
{
    struct step {
        micros read_at;
        std::size_t length;
        micros leaves_at;
    };
    struct row {
        const char *name;
        bool holds_short_pieces;
        std::vector<step> steps;
    };
    for (const row &r : {
             row{"TCP_NODELAY: every piece leaves when written",
                 false,
                 {{0, 80, 0}, {10, 28, 10}, {20, 5, 20}}},
             row{"a short piece after a short one waits for its acknowledgement",
                 true,
                 {{0, 80, 0}, {10, 28, round_trip}}},
             row{"pieces written while one waits leave with it",
                 true,
                 {{0, 80, 0}, {10, 28, round_trip}, {50, 7, round_trip}}},
             row{"a piece written after the held one left waits for that one",
                 true,
                 {{0, 80, 0}, {10, 28, round_trip}, {round_trip + 5, 7, 2 * round_trip}}},
             row{"once acknowledged, the next short piece leaves at once",
                 true,
                 {{0, 80, 0}, {round_trip, 28, round_trip}}},
             row{"whole segments are never held, nor hold a short piece",
                 true,
                 {{0, segment, 0}, {10, 4 * segment, 10}, {20, 100, 20}}},
         }) {
        SCOPED_TRACE(r.name);
        relay_direction direction;
        direction.holds_short_pieces = r.holds_short_pieces;
        for (const step &s : r.steps) {
            EXPECT_EQ(direction.leaves_at(s.read_at, s.length, segment, round_trip), s.leaves_at)
                << "piece of " << s.length << " read at " << s.read_at;
        }
    }
}

TEST(RelayDirection, PiecesArriveHalfATripAfterLeavingAndInOrder)
{
    relay_direction direction;
    direction.holds_short_pieces = true;
    EXPECT_EQ(direction.take(piece(80), 0, segment, round_trip).release_at, round_trip / 2);
    // Held by Nagle's algorithm until the first is acknowledged.
    EXPECT_EQ(direction.take(piece(28), 10, segment, round_trip).release_at, round_trip + round_trip / 2);
    // Not held, but never delivered before the pieces written earlier.
    EXPECT_EQ(direction.take(piece(segment), 20, segment, round_trip).release_at, round_trip + round_trip / 2);
    EXPECT_EQ(direction.held, 80 + 28 + segment);
}

TEST(RelayDirection, WindowStartsAtTenSegmentsAndDoublesEachRoundTrip)
{
    relay_direction direction;
    EXPECT_EQ(direction.room(), first_window);
    direction.take(piece(first_window), 0, segment, round_trip);
    EXPECT_EQ(direction.room(), 0u);
    direction.acknowledge(round_trip - 1);
    EXPECT_EQ(direction.room(), 0u);
    direction.acknowledge(round_trip);
    EXPECT_EQ(direction.window, 2 * first_window);
    EXPECT_EQ(direction.room(), 2 * first_window);

    direction.window = largest_window;
    direction.take(piece(1000), 0, segment, round_trip);
    direction.acknowledge(2 * round_trip);
    EXPECT_EQ(direction.window, largest_window);
    EXPECT_EQ(direction.room(), read_piece);

    direction.source_done = true;
    EXPECT_EQ(direction.room(), 0u);
}

}  // namespace
