// Which routes a replay needs: this host's TCP and UDP routes, read as the
// library reads them, each with recorded round trips of its own.
#include "replay_routes.hh"

#include <gtest/gtest.h>

namespace {

using namespace launcher;

round_trip_record record(const std::string &to, const std::string &hop, const std::string &protocol,
                         trip_outcome outcome = trip_outcome::echoed)
{
    return {1, 2, to, hop, protocol, 64, 40000, outcome};
}

TEST(ReplayRoutes, OnlyThisHostsTcpAndUdpRoutes)
{
    std::string routes = "alpha 10.0.0.2 hop1 TCP\n"
                         "alphabet 10.0.0.3 hop1 TCP\n"   // another host whose name starts alike
                         "alph 10.0.0.4 hop1 TCP\n"
                         "alpha 10.0.0.5 hop1 SCTP\n"     // stored by the library, never used
                         "alpha 10.0.0.6 hop1\n"          // too few words
                         "  alpha\tfd00::5   hop2   UDP  extra words\n"
                         "alpha " + std::string(256, 'h') + " hop1 UDP\n"  // a word too long
                         "beta 10.0.0.7 hop3 UDP";
    EXPECT_EQ(routes_of_host(routes, "alpha"),
              (std::vector<route_key>{{"10.0.0.2", "hop1", "TCP"}, {"fd00::5", "hop2", "UDP"}}));
    EXPECT_EQ(routes_of_host(routes, "beta"), (std::vector<route_key>{{"10.0.0.7", "hop3", "UDP"}}));
    EXPECT_TRUE(routes_of_host(routes, "gamma").empty());
}

TEST(ReplayRoutes, EachRouteNeedsATimedRoundTripOfItsOwn)
{
    const std::vector<route_key> routes{{"10.0.0.2", "hop1", "TCP"}, {"10.0.0.3", "hop2", "UDP"}};
    struct row {
        std::vector<round_trip_record> records;
        const route_key *missing;
    };
    for (const row &r : {
             row{{record("10.0.0.2", "hop1", "TCP"), record("10.0.0.3", "hop2", "UDP")}, nullptr},
             row{{record("10.0.0.2", "hop1", "TCP"),
                  record("10.0.0.3", "hop2", "UDP", trip_outcome::waited_out)},
                 nullptr},
             row{{}, &routes[0]},
             row{{record("10.0.0.2", "hop1", "TCP")}, &routes[1]},
             // The same destination through another hop, or over the other protocol,
             // is another route; a round trip that never reached the hop has no time.
             row{{record("10.0.0.2", "hop2", "TCP"), record("10.0.0.3", "hop2", "UDP")}, &routes[0]},
             row{{record("10.0.0.2", "hop1", "UDP"), record("10.0.0.3", "hop2", "UDP")}, &routes[0]},
             row{{record("10.0.0.2", "hop1", "TCP", trip_outcome::unreachable),
                  record("10.0.0.3", "hop2", "UDP")},
                 &routes[0]},
         }) {
        EXPECT_EQ(route_without_round_trips(routes, r.records), r.missing);
    }
    EXPECT_EQ(route_without_round_trips({}, {}), nullptr);
}

}  // namespace
