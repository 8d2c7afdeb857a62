// The report at the end of a run: what each route's round trips add up to,
// and what --strict refuses.
#include <gtest/gtest.h>

#include "run_report.hh"

namespace {

using namespace launcher;

round_trip_record trip(const std::string &to, long rtt_us, trip_outcome outcome = trip_outcome::echoed)
{
    round_trip_record record;
    record.to = to;
    record.hop = "hop";
    record.protocol = "TCP";
    record.rtt_us = static_cast<std::uint64_t>(rtt_us);
    record.outcome = outcome;
    return record;
}

TEST(RunReport, EachRouteSaysWhatWasDelayedAndWhatWasNot)
{
    const route_key beta{"beta", "hop", "TCP"}, gamma{"gamma", "hop", "TCP"}, delta{"delta", "hop", "TCP"};
    struct row {
        run_outcome run;
        std::string report;
        bool strict_fails;
    };
    const row rows[] = {
        {{{beta}, {}, {}, 2}, "kandrel-run: report: 2 processes seen\nkandrel-run: no send went to a routed destination\n",
         true},
        {{{beta, gamma},
          {trip("beta", 40100), trip("beta", 41900), trip("beta", 40300), trip("delta", 0, trip_outcome::unreachable),
           trip("beta", 2000000, trip_outcome::waited_out)},
          {{"gamma hop TCP", 300}},
          1},
         "kandrel-run: report: 1 process seen\n"
         "kandrel-run: route beta via hop (TCP): 3 sends delayed, round trip median 40.3 ms, largest 41.9 ms\n"
         "kandrel-run: route beta via hop (TCP): 1 send not delayed: waited out, no echo\n"
         "kandrel-run: route gamma via hop (TCP): 0 sends delayed\n"
         "kandrel-run: route gamma via hop (TCP): 300 bytes not delayed: went around the library\n"
         "kandrel-run: route delta via hop (TCP): 0 sends delayed\n"
         "kandrel-run: route delta via hop (TCP): 1 send not delayed: hop not reached\n",
         true},
        {{{beta, delta}, {trip("beta", 1000)}, {}, 1},
         "kandrel-run: report: 1 process seen\n"
         "kandrel-run: route beta via hop (TCP): 1 send delayed, round trip median 1.0 ms, largest 1.0 ms\n"
         "kandrel-run: route delta via hop (TCP): no send\n",
         false},
        {{{beta}, {trip("beta", 1000)}, {}, 1, {{"/bin/su", "set-user-ID"}, {"./tool", "statically linked"}}},
         "kandrel-run: report: 1 process seen\n"
         "kandrel-run: ./tool ran without the library (statically linked): its sends were neither traced nor "
         "delayed\n"
         "kandrel-run: /bin/su ran without the library (set-user-ID): its sends were neither traced nor delayed\n"
         "kandrel-run: route beta via hop (TCP): 1 send delayed, round trip median 1.0 ms, largest 1.0 ms\n",
         true},
    };
    for (const row &r : rows) {
        EXPECT_EQ(run_report(r.run), r.report);
        EXPECT_EQ(strict_refusal(r.run).empty(), !r.strict_fails) << r.report;
    }
}

}  // namespace
