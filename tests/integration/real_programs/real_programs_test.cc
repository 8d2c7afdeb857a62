// Real programs through kandrel-run with a route through a hop that waits
// before it echoes: curl fetching a page from python3's HTTP server over a
// TCP route, a python3 UDP client over a UDP route, and socat and nc sending
// a file over a TCP route; curl --parallel over several connections, python3
// asyncio streams, and socat to an IPv6 destination, each connection with a
// hop connection of its own; nginx proxying to a routed upstream and sending
// a file to a routed client, and node's http.get. Each must end as it would
// without the library, with the same result, every round trip in "timelog"
// at least the hop's delay, and its socket calls on the trace.
#include <algorithm>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "destination_sinks.hh"
#include "files.hh"
#include "hop_services.hh"
#include "lines.hh"
#include "netns.hh"
#include "preloaded_run.hh"
#include "process.hh"
#include "waiting.hh"

namespace {

using testsupport::ProgramResult;
using testsupport::ProgramRun;
using testsupport::ScratchDir;

const std::string host_name = "rp-host";
const std::string server_address = "10.77.0.1";
const std::string hop_address = "10.77.0.2";
constexpr int hop_delay_ms = 40;
const std::string python = "/usr/bin/python3";

// Waits until something listens on the TCP port, without connecting to it:
// a one-shot receiver must keep its one connection for the real sender.
void wait_for_listener(int port)
{
    testsupport::wait_until([port] { return testsupport::tcp_listening(port); }, "a listener on " + std::to_string(port));
}

// The part of a trace line before the text that varies.
std::string before(const std::string &line, const std::string &varying)
{
    return line.substr(0, line.find(varying));
}

// The position of each text in the trace, in order; fails the test when one
// is missing or comes before the one listed before it.
void expect_in_order(const std::string &trace, const std::vector<std::string> &texts)
{
    std::size_t from = 0;
    for (const auto &text : texts) {
        auto at = trace.find(text, from);
        ASSERT_NE(at, std::string::npos) << "no \"" << text << "\" after position " << from
                                         << " in:\n" << trace;
        from = at + text.size();
    }
}

void expect_clean_end(const ProgramResult &result)
{
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_status, 0) << result.err;
}

void expect_delayed_records(const std::vector<testsupport::TimelogRecord> &records)
{
    EXPECT_FALSE(records.empty());
    for (const auto &record : records) {
        EXPECT_GE(record.ms, hop_delay_ms) << record.bytes << " bytes";
    }
}

class ThroughHop : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::set_host_name(host_name);
        testsupport::use_private_host_table({"10.77.0.3 " + host_name});
        testsupport::add_veth_pair("rp-server", server_address, "rp-hop", hop_address);
        hop_.emplace(testsupport::EchoHopOptions{hop_address, 7, hop_delay_ms, false});
    }

    // A route line from this host to the destination through the hop.
    static std::string route_to(const std::string &destination, const std::string &protocol)
    {
        return host_name + " " + destination + " " + hop_address + " " + protocol + "\n";
    }

    void write_route(const std::string &protocol)
    {
        testsupport::write_file(dir_.file("routes"), route_to(server_address, protocol));
    }

    // argv as kandrel-run runs it with the route file and the options given;
    // without its echo check of the hop, whose records are the program's alone.
    std::vector<std::string> launched(const std::vector<std::string> &argv,
                                      const std::vector<std::string> &options = {})
    {
        std::vector<std::string> words = {KANDREL_RUN_PATH, "--no-check", "-r", dir_.file("routes")};
        words.insert(words.end(), options.begin(), options.end());
        words.push_back("--");
        words.insert(words.end(), argv.begin(), argv.end());
        return words;
    }

    // Runs argv through kandrel-run with the route file and the options, in
    // dir. Its standard error comes back with the times masked.
    ProgramResult run_launched(const std::vector<std::string> &argv, const std::vector<std::string> &options,
                               const std::string &dir, const std::string &input = "")
    {
        auto result = testsupport::run_program(
            {.argv = launched(argv, options), .stdin_text = input, .cwd = dir, .timeout_ms = 30000});
        std::vector<long> times;
        result.err = testsupport::mask_times(result.err, times);
        return result;
    }

    // The hop is asked to bounce the program's own bytes, so the tests can
    // see which of them went through it.
    ProgramResult run_routed(const std::vector<std::string> &argv, const std::string &dir,
                             const std::string &input = "")
    {
        return run_launched(argv, {"--payload"}, dir, input);
    }

    std::string subdir(const std::string &name)
    {
        testsupport::run_or_die("mkdir -p " + dir_.file(name));
        return dir_.file(name);
    }

    // python3's HTTP server on the routed destination's port 8000, serving
    // page as page.bin (in www/); returns once it listens.
    void serve_page(const std::string &page)
    {
        std::string www = subdir("www");
        testsupport::write_file(www + "/page.bin", page);
        page_server_.emplace(testsupport::ProgramRun{
            {python, "-m", "http.server", "--bind", server_address, "--directory", www, "8000"}});
        wait_for_listener(8000);
    }

    ScratchDir dir_;
    std::optional<testsupport::EchoHop> hop_;
    std::optional<testsupport::BackgroundProgram> page_server_;
};

const std::string page_url = "http://" + server_address + ":8000/page.bin";

TEST_F(ThroughHop, CurlFetchesTheSamePageThroughATcpRoute)
{
    std::string page = testsupport::byte_pattern(60000);
    serve_page(page);
    write_route("TCP");

    std::string plain = subdir("plain");
    expect_clean_end(testsupport::run_program({{"curl", "-q", "-sS", "-o", "page", page_url}, {}, "",
                                               plain}));
    std::string routed = subdir("routed");
    auto result = run_routed({"curl", "-q", "-sS", "-o", "page", page_url}, routed);
    expect_clean_end(result);

    EXPECT_EQ(testsupport::read_file(plain + "/page"), page);
    EXPECT_EQ(testsupport::read_file(routed + "/page"), page);
    auto records = testsupport::timelog_records(testsupport::read_file(routed + "/timelog"));
    expect_delayed_records(records);
    // The request itself went through the hop before it reached the server.
    ASSERT_FALSE(hop_->records().empty());
    EXPECT_EQ(hop_->records().front().protocol, "tcp");
    EXPECT_TRUE(hop_->records().front().bytes.starts_with("GET /page.bin HTTP/1.1\r\n"));
    expect_in_order(result.err, {before(lines::tcp_socket(0), " protocol="), before(lines::connect_returned(0), "0\n"),
                                 before(lines::send_first(0, "", 0, 0), "0 msg"), lines::tcp_echo(false),
                                 before(lines::send_returned(0), "0\n"), before(lines::recv_first(0, "", 0, 0), "0 buf"),
                                 lines::close(0)});
}

// Full coverage: each of curl's parallel connections has a hop connection
// of its own, and each request went through the hop first.
TEST_F(ThroughHop, CurlInParallelBouncesEveryConnection)
{
    std::string www = subdir("www");
    std::string routed = subdir("routed");
    std::vector<std::string> argv = {"curl", "-q", "-sS", "--parallel", "--parallel-immediate"};
    for (int i = 0; i < 4; ++i) {
        testsupport::write_file(www + "/" + std::to_string(i), "page " + std::to_string(i));
        argv.insert(argv.end(), {"-o", std::to_string(i), "http://" + server_address + ":8000/" + std::to_string(i)});
    }
    testsupport::BackgroundProgram server(
        {{python, "-m", "http.server", "--bind", server_address, "--directory", www, "8000"}});
    wait_for_listener(8000);
    write_route("TCP");

    auto result = run_routed(argv, routed);

    expect_clean_end(result);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(testsupport::read_file(routed + "/" + std::to_string(i)), "page " + std::to_string(i));
    }
    auto records = testsupport::timelog_records(testsupport::read_file(routed + "/timelog"));
    EXPECT_EQ(records.size(), 4u);
    expect_delayed_records(records);
    for (const auto &record : hop_->records()) {
        EXPECT_TRUE(record.bytes.starts_with("GET /")) << record.bytes;
    }
    std::size_t connects = testsupport::occurrences(result.err, before(lines::connect_returned(0), "0\n"));
    EXPECT_GE(connects, 2u) << result.err;
    // The route's hop connections are shared: never more than the program's.
    EXPECT_GE(hop_->connections().size(), 1u);
    EXPECT_LE(hop_->connections().size(), connects);
}

// python3 asyncio streams, three connections at once, each line bounced.
const std::string asyncio_client = R"(
import asyncio, sys
async def one(i):
    reader, writer = await asyncio.open_connection(sys.argv[1], 9000)
    writer.write(b"stream %d\n" % i)
    await writer.drain()
    writer.close()
    await writer.wait_closed()
async def main():
    await asyncio.gather(*(one(i) for i in range(3)))
asyncio.run(main())
)";

TEST_F(ThroughHop, PythonAsyncioStreamsBounceEachConnection)
{
    testsupport::TcpSink sink(server_address, 9000);
    write_route("TCP");
    testsupport::write_file(dir_.file("client.py"), asyncio_client);

    auto result = run_routed({python, dir_.file("client.py"), server_address}, subdir("routed"));

    expect_clean_end(result);
    auto streams = sink.streams();
    std::sort(streams.begin(), streams.end());
    EXPECT_EQ(streams, (std::vector<std::string>{"stream 0\n", "stream 1\n", "stream 2\n"}));
    auto records = testsupport::timelog_records(testsupport::read_file(dir_.file("routed/timelog")));
    EXPECT_EQ(records.size(), 3u);
    expect_delayed_records(records);
    auto bounced = hop_->records();
    std::sort(bounced.begin(), bounced.end(), [](const auto &a, const auto &b) { return a.bytes < b.bytes; });
    EXPECT_EQ(bounced, (std::vector<testsupport::HopRecord>{
                           {"tcp", 9, "stream 0\n"}, {"tcp", 9, "stream 1\n"}, {"tcp", 9, "stream 2\n"}}));
    EXPECT_LE(hop_->connections().size(), 3u);
}

// socat to an IPv6 destination: every byte bounced, the file intact.
TEST_F(ThroughHop, SocatSendsAFileToAnIpv6Destination)
{
    testsupport::add_address("lo", "fd00::1/128");
    testsupport::write_file(dir_.file("routes"), host_name + " fd00::1 " + hop_address + " TCP\n");
    std::string bytes = testsupport::byte_pattern(20000);
    testsupport::write_file(dir_.file("payload"), bytes);
    testsupport::TcpSink sink("fd00::1", 9000);

    auto result = run_routed({"socat", "-u", "FILE:" + dir_.file("payload"), "TCP6:[fd00::1]:9000"}, subdir("routed"));

    expect_clean_end(result);
    EXPECT_TRUE(sink.streams() == std::vector<std::string>{bytes}) << "the received file differs";
    auto records = testsupport::timelog_records(testsupport::read_file(dir_.file("routed/timelog")));
    expect_delayed_records(records);
    std::string bounced;
    for (const auto &record : hop_->records()) {
        bounced += record.bytes;
    }
    EXPECT_TRUE(bounced == bytes) << "the hop did not see every byte once, in order";
}

// A UDP client that checks every echo itself and writes one line per
// exchange to a file: its own standard output is left to the library.
const std::string udp_client = R"(
import socket, sys, time
mode, server, count = sys.argv[1], (sys.argv[2], 6000), int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(10)
if mode == "connect":
    s.connect(server)
with open("results", "w") as results:
    for i in range(count):
        message = ("datagram %d " % i).encode() * 30
        start = time.monotonic()
        if mode == "connect":
            s.send(message)
        else:
            s.sendto(message, server)
        reply, peer = s.recvfrom(4096)
        ms = (time.monotonic() - start) * 1000
        results.write("%d %s %d %d\n" % (reply == message, peer[0], peer[1], ms))
s.close()
)";

class PythonUdpClient : public ThroughHop, public ::testing::WithParamInterface<std::string> {};

TEST_P(PythonUdpClient, GetsEveryEchoThroughAUdpRoute)
{
    testsupport::BackgroundProgram server({{TAVIK_SERV_PATH}});
    write_route("UDP");
    testsupport::write_file(dir_.file("client.py"), udp_client);
    std::string routed = subdir("routed");

    auto result = run_routed({python, dir_.file("client.py"), GetParam(), server_address, "3"},
                             routed);
    expect_clean_end(result);

    std::string results = testsupport::read_file(routed + "/results");
    static const std::regex line("1 10\\.77\\.0\\.1 6000 ([0-9]+)\n");
    int exchanges = 0;
    for (std::sregex_iterator it(results.begin(), results.end(), line), end; it != end; ++it) {
        ++exchanges;
        EXPECT_GE(std::stoi((*it)[1]), hop_delay_ms);
    }
    EXPECT_EQ(exchanges, 3) << results;
    auto records = testsupport::timelog_records(testsupport::read_file(routed + "/timelog"));
    EXPECT_EQ(records.size(), 3u);
    expect_delayed_records(records);
    auto hop_records = hop_->records();
    ASSERT_EQ(hop_records.size(), 3u);
    for (std::size_t i = 0; i < hop_records.size(); ++i) {
        EXPECT_EQ(hop_records[i].protocol, "udp");
        EXPECT_EQ(hop_records[i].count, std::string("datagram 0 ").size() * 30);
        EXPECT_TRUE(hop_records[i].bytes.starts_with("datagram " + std::to_string(i) + " "));
    }
    EXPECT_NE(result.err.find(lines::udp_echo("", "", false)), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(BySendCall, PythonUdpClient, ::testing::Values("sendto", "connect"));

struct FileSender {
    std::string name;
    std::vector<std::string> argv;  // "PAYLOAD" stands for the file's path
    bool payload_on_stdin;
};

void PrintTo(const FileSender &sender, std::ostream *out)
{
    *out << sender.name;
}

class FileThroughRoute : public ThroughHop, public ::testing::WithParamInterface<FileSender> {};

TEST_P(FileThroughRoute, ArrivesIdentical)
{
    const FileSender &sender = GetParam();
    std::string bytes = testsupport::byte_pattern(100000);
    testsupport::write_file(dir_.file("payload"), bytes);
    std::string received = dir_.file("received");
    testsupport::BackgroundProgram receiver(
        {{"socat", "-u", "TCP-LISTEN:9000,bind=" + server_address + ",reuseaddr",
          "CREATE:" + received}});
    wait_for_listener(9000);
    write_route("TCP");
    std::vector<std::string> argv = sender.argv;
    for (auto &word : argv) {
        word = std::regex_replace(word, std::regex("PAYLOAD"), dir_.file("payload"));
    }
    std::string routed = subdir("routed");

    auto result = run_routed(argv, routed, sender.payload_on_stdin ? bytes : "");
    expect_clean_end(result);

    testsupport::wait_until([&] { return testsupport::read_file(received).size() >= bytes.size(); },
                            "the whole file at the receiver");
    receiver.stop(SIGTERM);
    EXPECT_TRUE(testsupport::read_file(received) == bytes) << "the received file differs";
    auto records = testsupport::timelog_records(testsupport::read_file(routed + "/timelog"));
    expect_delayed_records(records);
    // Every byte the sender wrote was bounced off the hop first.
    long bounced = 0;
    for (const auto &record : records) {
        bounced += record.bytes;
    }
    EXPECT_EQ(bounced, static_cast<long>(bytes.size()));
    EXPECT_NE(result.err.find(lines::tcp_echo(false)), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Senders, FileThroughRoute,
    ::testing::Values(FileSender{"socat", {"socat", "-u", "FILE:PAYLOAD", "TCP:10.77.0.1:9000"},
                                 false},
                      FileSender{"nc", {"nc", "-N", "10.77.0.1", "9000"}, true}),
    [](const auto &info) { return info.param.name; });

// What full coverage must leave true of a program that sent to a routed
// peer: every round trip recorded and delayed, the hop reached, and none of
// the program's HTTP bytes shown to the hop (it bounces a filler).
void expect_bounced_without_program_bytes(const std::string &timelog,
                                          const std::vector<testsupport::HopRecord> &hop_records)
{
    expect_delayed_records(testsupport::timelog_records(timelog));
    EXPECT_FALSE(hop_records.empty());
    for (const auto &record : hop_records) {
        EXPECT_EQ(record.protocol, "tcp");
        EXPECT_EQ(record.bytes.find("HTTP/1."), std::string::npos) << record.bytes;
    }
}

// nginx in the foreground as one process, everything it writes under DIR:
// /proxied/ goes to the routed upstream, /static/ serves DIR/www with
// sendfile.
const std::string nginx_config = R"(daemon off;
master_process off;
pid DIR/nginx.pid;
error_log DIR/error.log info;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path DIR/client_body;
    proxy_temp_path DIR/proxy;
    fastcgi_temp_path DIR/fastcgi;
    uwsgi_temp_path DIR/uwsgi;
    scgi_temp_path DIR/scgi;
    sendfile on;
    server {
        listen 127.0.0.1:8080;
        location /proxied/ { proxy_pass http://UPSTREAM/; }
        location /static/ { alias DIR/www/; }
    }
}
)";

// A client address routed like a destination: nginx's sends to it are bounced.
const std::string routed_client = "127.0.0.9";

struct NginxCase {
    std::string name;
    std::string path;
    std::vector<std::string> client_options;
    std::string routed_call;  // the start of the trace line of nginx's bounced send
};

void PrintTo(const NginxCase &nginx_case, std::ostream *out)
{
    *out << nginx_case.name;
}

class NginxThroughRoute : public ThroughHop, public ::testing::WithParamInterface<NginxCase> {};

// nginx's standard error is its error log: with the trace in a file of its
// own (-o), the log holds nginx's lines only.
TEST_P(NginxThroughRoute, BouncesItsSendsToTheRoutedPeer)
{
    const NginxCase &nginx_case = GetParam();
    std::string page = testsupport::byte_pattern(60000);
    serve_page(page);
    testsupport::write_file(dir_.file("routes"),
                            route_to(server_address, "TCP") + route_to(routed_client, "TCP"));
    std::string config = std::regex_replace(nginx_config, std::regex("DIR"), dir_.path());
    config = std::regex_replace(config, std::regex("UPSTREAM"), server_address + ":8000");
    testsupport::write_file(dir_.file("nginx.conf"), config);
    std::string run_dir = subdir("run");
    std::vector<std::string> nginx_argv = {"nginx", "-e", dir_.file("error.log"), "-p", dir_.path(),
                                           "-c", dir_.file("nginx.conf")};
    testsupport::BackgroundProgram nginx(
        {.argv = launched(nginx_argv, {"--per-send", "-o", dir_.file("trace")}), .cwd = run_dir});
    wait_for_listener(8080);

    std::vector<std::string> client = {"curl", "-q", "-sS", "-o", dir_.file("fetched")};
    client.insert(client.end(), nginx_case.client_options.begin(), nginx_case.client_options.end());
    client.push_back("http://127.0.0.1:8080" + nginx_case.path);
    expect_clean_end(testsupport::run_program({.argv = client}));
    nginx.stop(SIGTERM);

    EXPECT_TRUE(testsupport::read_file(dir_.file("fetched")) == page) << "the fetched page differs";
    expect_bounced_without_program_bytes(testsupport::read_file(run_dir + "/timelog"), hop_->records());
    std::vector<long> times;
    std::string trace = testsupport::mask_times(testsupport::read_file(dir_.file("trace")), times);
    expect_in_order(trace, {nginx_case.routed_call, lines::tcp_echo(false)});
    std::string error_log = testsupport::read_file(dir_.file("error.log"));
    EXPECT_NE(error_log.find("nginx/"), std::string::npos) << error_log;
    EXPECT_EQ(error_log.find("\t:\t"), std::string::npos) << error_log;
}

INSTANTIATE_TEST_SUITE_P(
    Sends, NginxThroughRoute,
    ::testing::Values(NginxCase{"WritevToUpstream", "/proxied/page.bin", {},
                                before(lines::writev_first(0, "", 0), "0 iov")},
                      NginxCase{"SendfileToClient", "/static/page.bin", {"--interface", routed_client},
                                before(lines::sendfile_first(0, 0, 0), "0 in")}),
    [](const auto &info) { return info.param.name; });

// kandrel-run's default, the path model: the relay carries the connection
// and bounces fillers of the bytes both ways.
TEST_F(ThroughHop, NodeHttpGetFetchesTheSamePageThroughTheRelay)
{
    std::string page = testsupport::byte_pattern(60000);
    serve_page(page);
    write_route("TCP");
    const std::string get = "require('http').get(process.argv[1], r => r.pipe(process.stdout))"
                            ".on('error', e => { console.error(e.message); process.exit(1); })";
    std::string routed = subdir("routed");

    auto result = run_launched({"node", "-e", get, page_url}, {}, routed);
    expect_clean_end(result);

    EXPECT_TRUE(result.out == page) << "node wrote " << result.out.size() << " bytes, not the page";
    expect_bounced_without_program_bytes(testsupport::read_file(routed + "/timelog"), hop_->records());
    EXPECT_EQ(result.err.find("TCPecho()"), std::string::npos) << "a send waited for its round trip";
}

}  // namespace
