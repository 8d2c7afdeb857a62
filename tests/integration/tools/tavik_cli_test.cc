// tavik_cli against a real tavik_serv: its exact standard output, the
// "tavik.time" log, datagram sizes, input lines, lost replies and its ends.
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "echo_test_support.hh"
#include "files.hh"
#include "netns.hh"
#include "preloaded_run.hh"
#include "process.hh"

namespace {

using testsupport::ProgramResult;

const std::string server_name = "tavik-server";

// Shows every printed time as "#" and returns the times in order, so that
// the rest of the output can be compared byte for byte.
std::vector<long> take_times(std::string &out)
{
    std::vector<long> times;
    out = testsupport::mask_times(out, times);
    return times;
}

std::string start_text(const std::string &dest, int pkt_size)
{
    return "Returned from gethostbyname\nDestination = " + dest +
           " Packet Length = " + std::to_string(pkt_size) + "\nPress Enter\n";
}

std::string exchange_text(const std::string &reply)
{
    return "Preparing Message\nTavik Client received " + std::to_string(reply.size()) +
           " bytes\n" + reply + "\n\n\nTIME=#. ms\nPress Enter\n";
}

std::string repeated(const std::string &text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

class TavikCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        echotest::disable_core_files();
        testsupport::use_private_host_table({"127.0.0.1 " + server_name});
    }

    void start_server()
    {
        server_.emplace(testsupport::ProgramRun{.argv = {echotest::serv_path}});
        echotest::wait_for_echo_server();
    }

    ProgramResult run_client(const std::vector<std::string> &args, const std::string &input = "")
    {
        std::vector<std::string> argv = {echotest::cli_path};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::run_program({.argv = argv, .stdin_text = input, .cwd = dir_.path()});
    }

    std::string time_log() const { return testsupport::read_file(dir_.file("tavik.time")); }

    testsupport::ScratchDir dir_;
    std::optional<testsupport::BackgroundProgram> server_;
};

TEST_F(TavikCli, PrintsEachExchangeAndLogsItsTimeUnderTheTypedName)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    testsupport::write_file(dir_.file("tavik.time"), "earlier run\t7. ms\n");

    ProgramResult result = run_client({server_name, "5"}, "\nsome text\n\n");
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    const std::vector<long> times = take_times(result.out);
    EXPECT_EQ(result.out, start_text(server_name, 5) + repeated(exchange_text("aaaaa"), 3));

    ASSERT_EQ(times.size(), 3u);
    std::string expected_log = "earlier run\t7. ms\n";
    for (long ms : times) {
        EXPECT_GE(ms, 0);
        expected_log += server_name + "\t" + std::to_string(ms) + ". ms\n";
    }
    EXPECT_EQ(time_log(), expected_log);
}

TEST_F(TavikCli, AcceptsADottedDestination)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ProgramResult result = run_client({"127.0.0.1", "3", "ignored"}, "\n");
    EXPECT_EQ(result.exit_status, 0);
    take_times(result.out);
    EXPECT_EQ(result.out, start_text("127.0.0.1", 3) + exchange_text("aaa"));
    EXPECT_EQ(time_log().rfind("127.0.0.1\t", 0), 0u);
}

// Sizes that send nothing: zero, text that isn't a number, and a negative
// length, which counts as zero.
class TavikCliEmpty : public TavikCli, public ::testing::WithParamInterface<const char *> {};

TEST_P(TavikCliEmpty, SendsAndReceivesEmptyDatagrams)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ProgramResult result = run_client({server_name, GetParam()}, "\n\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(take_times(result.out).size(), 2u);
    EXPECT_EQ(result.out, start_text(server_name, 0) + repeated(exchange_text(""), 2));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TavikCliEmpty, ::testing::Values("0", "abc", "-5", "-2147483649"));

TEST_F(TavikCli, LargeDatagramsComeBackCutTo2048)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    for (int size : {2048, 3000}) {
        ProgramResult result = run_client({server_name, std::to_string(size)}, "\n");
        EXPECT_EQ(result.exit_status, 0) << size;
        take_times(result.out);
        EXPECT_EQ(result.out, start_text(server_name, size) + exchange_text(std::string(2048, 'a')))
            << size;
    }
}

TEST_F(TavikCli, TakesALongLineIn511CharacterPieces)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    ProgramResult result = run_client({server_name, "1"}, std::string(600, 'x') + "\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(take_times(result.out).size(), 2u);
    EXPECT_EQ(result.out, start_text(server_name, 1) + repeated(exchange_text("a"), 2));
}

TEST_F(TavikCli, InputEndingAtOnceMakesNoExchange)
{
    ProgramResult result = run_client({server_name, "10"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, start_text(server_name, 10));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(time_log(), "");
}

TEST_F(TavikCli, LostReplyIsReportedAndTheNextExchangeGoesOn)
{
    // A server that drops the first datagram and answers the second.
    testsupport::UdpEndpoint lossy("127.0.0.1", echotest::serv_port);
    std::thread server([&lossy] {
        if (lossy.receive(10000)) {
            if (auto second = lossy.receive(10000)) {
                lossy.send_to(second->from_address, second->from_port, second->bytes);
            }
        }
    });
    ProgramResult result = run_client({server_name, "4"}, "\n\n");
    server.join();

    EXPECT_EQ(result.exit_status, 0);
    const std::vector<long> times = take_times(result.out);
    EXPECT_EQ(result.out, start_text(server_name, 4) +
                              "Preparing Message\nNo reply within 3 seconds\nPress Enter\n" +
                              exchange_text("aaaa"));
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(time_log(), server_name + "\t" + std::to_string(times[0]) + ". ms\n");
}

TEST_F(TavikCli, SymbolicLinkAsTimeLogIsRefused)
{
    ASSERT_NO_FATAL_FAILURE(start_server());
    testsupport::write_file(dir_.file("elsewhere"), "untouched\n");
    ASSERT_EQ(symlink("elsewhere", dir_.file("tavik.time").c_str()), 0);

    ProgramResult result = run_client({server_name, "2"}, "\n");
    EXPECT_EQ(result.exit_status, 0);
    take_times(result.out);
    EXPECT_EQ(result.out, "Returned from gethostbyname\nDestination = tavik-server Packet Length = 2\n"
                          "Error in opening tavik.time file\nPress Enter\n" +
                              exchange_text("aa"));
    EXPECT_EQ(testsupport::read_file(dir_.file("elsewhere")), "untouched\n");
}

TEST_F(TavikCli, TooFewArgumentsPrintUsage)
{
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, std::vector<std::string>{server_name}}) {
        ProgramResult result = run_client(args, "\n");
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, "Usage : tavik_cli dest  pkt_size \n\n");
        EXPECT_EQ(result.err, "");
    }
    EXPECT_FALSE(testsupport::file_exists(dir_.file("tavik.time")));
}

TEST_F(TavikCli, UnresolvableDestinationEnds)
{
    ProgramResult result = run_client({"no-such-host", "5"}, "\n");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "Can't get \"no-such-host\" host entry\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(TavikCli, SizeBeyondMemoryEndsInMallocError)
{
    // With the address space capped the two exchange buffers can't be had;
    // the largest length must not wrap into a small one.
    std::vector<std::string> argv = {"prlimit", "--as=268435456", "--", echotest::cli_path,
                                     server_name, "99999999999"};
    ProgramResult result = testsupport::run_program({.argv = argv, .stdin_text = "\n", .cwd = dir_.path()});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, start_text(server_name, 2147483647) + "Error in Malloc\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(time_log(), "");
}

TEST_F(TavikCli, UnreadableInputAborts)
{
    // A directory opens for reading but every read of it fails.
    ProgramResult result = testsupport::run_program(
        {.argv = {"sh", "-c", "exec \"$0\" \"$@\" < /", echotest::cli_path, server_name, "5"}, .cwd = dir_.path()});
    EXPECT_EQ(result.term_signal, SIGABRT);
    EXPECT_EQ(result.out, start_text(server_name, 5));
    EXPECT_EQ(result.err, echotest::cli_path + ": dg_cli: error reading file (Is a directory)\n");
}

TEST_F(TavikCli, DatagramTooLongToSendAborts)
{
    ProgramResult result = run_client({server_name, "70000"}, "\n");
    EXPECT_EQ(result.term_signal, SIGABRT);
    EXPECT_EQ(result.out, start_text(server_name, 70000) + "Preparing Message\n");
    EXPECT_EQ(result.err, echotest::cli_path + ": dg_cli: sendto error on socket (Message too long)\n");
}

}  // namespace
