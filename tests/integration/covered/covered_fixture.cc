// The full-coverage tests' network and program runs.
#include "covered_fixture.hh"

#include "netns.hh"

namespace covered {

void CoveredTest::SetUp()
{
    testsupport::set_host_name("gamma");
    testsupport::use_private_host_table({host_address + " gamma", destination + " dual", destination6 + " dual"});
    testsupport::add_address("lo", destination6 + "/128");
    testsupport::add_address("lo", hop6 + "/128");
    hop_.emplace(testsupport::EchoHopOptions{.address = hop});
    tcp_sink_.emplace("::", std::stoi(port));
    udp_sink_.emplace("::", std::stoi(port));
}

void CoveredTest::write_routes(const std::vector<std::string> &to, const std::string &protocol,
                               const std::string &hop_word)
{
    std::string text;
    for (const auto &word : to) {
        text += "gamma " + word + " " + hop_word + " " + protocol + "\n";
    }
    testsupport::write_file(scratch_.file("routes"), text);
}

testsupport::PreloadedResult CoveredTest::run(const std::vector<std::string> &steps, const Env &env,
                                              bool full_coverage)
{
    std::vector<std::string> argv = {SEND_PATHS_PATH};
    argv.insert(argv.end(), steps.begin(), steps.end());
    Env all = {{"QUOR_ROUTE_TABLE", scratch_.file("routes")}};
    if (full_coverage) {
        all.push_back({"KANDREL_COVERAGE", "full"});
    }
    all.insert(all.end(), env.begin(), env.end());
    auto result = testsupport::run_preloaded({.argv = argv, .cwd = scratch_.path(), .env = all});
    EXPECT_FALSE(result.program.timed_out);
    EXPECT_EQ(result.program.exit_status, 0) << testsupport::describe(result.program);
    return result;
}

void CoveredTest::expect_bounced(const testsupport::PreloadedResult &result, const char *protocol,
                                 const std::vector<long> &lengths)
{
    EXPECT_EQ(result.timelog_bytes, lengths);
    EXPECT_EQ(hop_->records(), filler_records(protocol, lengths));
}

std::string load(const std::vector<std::string> &to, const std::string &hop_text)
{
    std::string text = lines::loader::timelog_opened;
    for (const auto &address : to) {
        text += lines::loader::stored(host_address, address, hop_text);
    }
    return text;
}

}  // namespace covered
