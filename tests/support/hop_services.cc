// Echo services for the routed-traffic tests: start, wait until they answer,
// read back what they recorded.
#include "hop_services.hh"

#include <sys/mount.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "filler.hh"
#include "waiting.hh"

namespace testsupport {
namespace {

int hex_digit(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

std::string unescaped(const std::string &text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            bytes += '\\';
            i += 1;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            bytes += static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3]));
            i += 3;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

}  // namespace

std::vector<HopRecord> parse_hop_records(const std::string &text)
{
    std::vector<HopRecord> records;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        auto first_space = line.find(' ');
        auto second_space = line.find(' ', first_space + 1);
        if (first_space == std::string::npos || second_space == std::string::npos) {
            throw std::runtime_error("malformed hop record: " + line);
        }
        HopRecord record;
        record.protocol = line.substr(0, first_space);
        record.count = std::stoul(line.substr(first_space + 1, second_space - first_space - 1));
        record.bytes = unescaped(line.substr(second_space + 1));
        records.push_back(record);
    }
    return records;
}

std::vector<HopRecord> filler_records(const std::string &protocol, const std::vector<long> &lengths)
{
    std::vector<HopRecord> records;
    for (long len : lengths) {
        HopRecord record{protocol, static_cast<std::size_t>(len), ""};
        while (record.bytes.size() < record.count) {
            record.bytes.append(filler_bytes(), std::min(filler_size, record.count - record.bytes.size()));
        }
        records.push_back(record);
    }
    return records;
}

EchoHop::EchoHop(const EchoHopOptions &options)
{
    ProgramRun run;
    run.argv = {KANDREL_ECHO_HOP_PATH,     "--address", options.address,
                "--port",                   std::to_string(options.port),
                "--delay-ms",               std::to_string(options.delay_ms),
                "--record",                 dir_.file("record"),
                "--wait-log",               dir_.file("waits"),
                "--ready-file",             dir_.file("ready"),
                "--connection-log",         dir_.file("connections")};
    if (options.silent_udp) {
        run.argv.push_back("--silent-udp");
    }
    if (options.delay_line) {
        run.argv.push_back("--delay-line");
    }
    static const char *const answers[] = {"echo", "flood", "garbage", "silence"};
    run.argv.insert(run.argv.end(), {"--answer", answers[static_cast<int>(options.answer)]});
    if (options.answer == HopAnswer::garbage) {
        run.argv.push_back(hop_garbage);
    }
    run.argv.insert(run.argv.end(), {"--reset-after", std::to_string(options.reset_after)});
    program_ = std::make_unique<BackgroundProgram>(run);
    wait_until([this] { return file_exists(dir_.file("ready")); }, "echo_hop on " + options.address);
}

std::string EchoHop::record_text() const
{
    return read_file(dir_.file("record"));
}

namespace {

bool connect_echo(const HopRecord &record)
{
    return record.protocol == "tcp" && record.count == 1 && record.bytes[0] == filler_bytes()[0];
}

}  // namespace

std::vector<HopRecord> EchoHop::records() const
{
    std::vector<HopRecord> records = parse_hop_records(record_text());
    std::erase_if(records, connect_echo);
    return records;
}

std::size_t EchoHop::connect_echoes() const
{
    auto records = parse_hop_records(record_text());
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), connect_echo));
}

std::vector<long> EchoHop::waits_us() const
{
    std::vector<long> waits;
    std::istringstream lines(read_file(dir_.file("waits")));
    long wait;
    while (lines >> wait) {
        waits.push_back(wait);
    }
    return waits;
}

std::vector<std::string> EchoHop::connections() const
{
    std::vector<std::string> peers;
    std::istringstream lines(read_file(dir_.file("connections")));
    for (std::string line; std::getline(lines, line);) {
        peers.push_back(line);
    }
    return peers;
}

InetdEcho::InetdEcho(const std::string &address)
{
    if (mount("none", "/run", "tmpfs", 0, nullptr) != 0) {
        throw std::runtime_error("cannot mount a private /run: is this test inside in_netns?");
    }
    // The datagram service comes first: inetd sets its services up in file
    // order, so once the stream service answers both are there.
    write_file(dir_.file("inetd.conf"), address + ":echo dgram udp wait root internal\n" +
                                            address + ":echo stream tcp nowait root internal\n");
    ProgramRun run;
    run.argv = {"/usr/sbin/inetd", "-d", "-i", dir_.file("inetd.conf")};
    program_ = std::make_unique<BackgroundProgram>(run);
    wait_until([&address] { return tcp_accepts(address, 7); }, "inetd echo on " + address);
}

}  // namespace testsupport
