// tavik_serv as its clients meet it: echoes to each sender's own port,
// datagrams cut at 2048 bytes, the bind failure report, and peers that
// can't be answered.
#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "echo_test_support.hh"
#include "files.hh"
#include "process.hh"

namespace {

using echotest::serv_port;
using testsupport::UdpEndpoint;
using testsupport::BackgroundProgram;
using testsupport::ProgramResult;

class TavikServ : public ::testing::Test {
protected:
    void SetUp() override
    {
        echotest::disable_core_files();
        echotest::wait_for_echo_server();
    }

    // Stops the server from outside, the only way it ends normally.
    ProgramResult stop() { return server_.stop(SIGTERM); }

    BackgroundProgram server_{{.argv = {echotest::serv_path}}};
};

class TavikServSizes : public TavikServ, public ::testing::WithParamInterface<size_t> {};

TEST_P(TavikServSizes, EchoesTheFirst2048BytesToTheSendersPort)
{
    const size_t size = GetParam();
    UdpEndpoint client;
    const std::string message = testsupport::byte_pattern(size);
    client.send_to("127.0.0.1", serv_port, message);

    const auto echo = client.receive();
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->bytes, message.substr(0, 2048));
    EXPECT_EQ(echo->from_address, "127.0.0.1");
    EXPECT_EQ(echo->from_port, serv_port);
    EXPECT_FALSE(client.receive(100)) << "one datagram must give exactly one answer";

    const ProgramResult end = stop();
    EXPECT_EQ(end.term_signal, SIGTERM);
    EXPECT_EQ(end.out, "");
    EXPECT_EQ(end.err, "");
}

INSTANTIATE_TEST_SUITE_P(Lengths, TavikServSizes, ::testing::Values(0, 1, 2047, 2048, 2049, 3000, 65507));

TEST_F(TavikServ, AnswersInterleavedSendersEachAtItsOwnAddress)
{
    UdpEndpoint first("127.0.0.1");
    UdpEndpoint second("127.0.0.3");
    first.send_to("127.0.0.1", serv_port, "from the first");
    second.send_to("127.0.0.2", serv_port, "from the second");
    first.send_to("127.0.0.1", serv_port, "first again");

    const auto a = first.receive();
    const auto b = second.receive();
    const auto c = first.receive();
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->bytes, "from the first");
    EXPECT_EQ(b->bytes, "from the second");
    EXPECT_EQ(c->bytes, "first again");
}

TEST_F(TavikServ, ReportsUnanswerableSourcesAndKeepsServing)
{
    // A source port of 0 can't be sent to (EINVAL), nor can a broadcast
    // source without SO_BROADCAST (EACCES); both arrive from any raw sender.
    echotest::send_forged_udp("127.0.0.1", 0, "127.0.0.1", serv_port, "port zero");
    echotest::send_forged_udp("127.255.255.255", 9, "127.0.0.1", serv_port, "broadcast");

    UdpEndpoint client;
    client.send_to("127.0.0.1", serv_port, "still there?");
    const auto echo = client.receive();
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->bytes, "still there?");

    const ProgramResult end = stop();
    EXPECT_EQ(end.term_signal, SIGTERM);
    EXPECT_EQ(end.out, "");
    EXPECT_EQ(end.err, echotest::serv_path + ": dg_echo: sendto error (Invalid argument)\n" +
                           echotest::serv_path + ": dg_echo: sendto error (Permission denied)\n");
}

TEST(TavikServStart, PortTakenEndsWithBindReportAndAbort)
{
    echotest::disable_core_files();
    UdpEndpoint holder("0.0.0.0", serv_port);

    const ProgramResult result = testsupport::run_program({.argv = {echotest::serv_path}});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.term_signal, SIGABRT);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              echotest::serv_path + ": server: can't bind local address (Address already in use)\n");
}

}  // namespace
