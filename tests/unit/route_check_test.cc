// What kandrel-run says about route-file text: the reasons the integration
// tests do not reach, and which lines count as this host's routes.
#include <gtest/gtest.h>

#include "route_check.hh"

namespace {

using namespace launcher;

TEST(RouteCheck, LongWordsAndLinesAreSaidBlankLinesAreNot)
{
    const std::string text = "\n   \nalpha " + std::string(300, 'b') + " hop TCP\nalpha beta hop TCPTOOLONG\n" +
                             std::string(1100, 'x') + "\nalpha beta hop TCP\nbeta alpha hop UDP\nalpha gone hop UDP\n";
    auto check = check_route_text(text, "alpha", {}, [](const std::string &name) { return name != "gone"; });
    EXPECT_EQ(check.skipped, (std::vector<std::string>{
                                 "line 3 skipped: a host word longer than 255 characters or a protocol word longer than 7",
                                 "line 4 skipped: a host word longer than 255 characters or a protocol word longer than 7",
                                 "line 5 skipped: longer than 1023 characters",
                                 "line 8 skipped: gone does not resolve",
                             }));
    ASSERT_EQ(check.routes.size(), 1u);
    EXPECT_EQ(check.routes[0].line, 6u);
    EXPECT_EQ(check.from_names, (std::vector<std::string>{"alpha", "beta"}));
}

// The library resolves this host's own name unless KANDREL_HOST gives it,
// and a replayed run's hops not at all: the check asks as it does.
TEST(RouteCheck, OnlyTheWordsTheLibraryResolvesMustResolve)
{
    const std::string text = "alpha beta gone TCP\n";
    auto unresolved = [](const std::string &name) { return name != "gone" && name != "alpha"; };
    struct row {
        route_names_needed needed;
        std::vector<std::string> skipped;
    };
    for (const row &r : {
             row{{}, {"line 1 skipped: alpha does not resolve (this host's name: add it to /etc/hosts, or set "
                      "KANDREL_HOST)"}},
             row{{.from = false}, {"line 1 skipped: gone does not resolve"}},
             row{{.from = false, .hop = false}, {}},
         }) {
        EXPECT_EQ(check_route_text(text, "alpha", r.needed, unresolved).skipped, r.skipped);
    }
}

}  // namespace
