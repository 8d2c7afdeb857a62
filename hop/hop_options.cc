// kandrel-hop's command line: where to echo and how long each echo waits.
#include "hop_options.hh"

#include <charconv>

namespace hop {

namespace {

// Whole decimal text below `limit`, nothing else.
bool whole_number(const std::string &text, std::uint64_t limit, std::uint64_t &value)
{
    const char *end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, value);
    return !text.empty() && failure == std::errc() && stop == end && value < limit;
}

// A wait longer than an hour is a typing mistake, not a path.
constexpr std::uint64_t longest_wait_ms = 3'600'000;

}  // namespace

bool parse_hop_options(const std::vector<std::string> &args, hop_options &options, std::string &error)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (word == "-h" || word == "--help") {
            options.mode = hop_mode::help;
            return true;
        }
        if (word == "--version") {
            options.mode = hop_mode::version;
            return true;
        }
        if (i + 1 == args.size()) {
            error = word.rfind("--", 0) == 0 ? word + " needs a value" : "unknown argument: " + word;
            return false;
        }
        const std::string &value = args[++i];
        std::uint64_t number = 0;
        if (word == "--address") {
            options.addresses.push_back(value);
        } else if (word == "--replay") {
            options.replay_file = value;
        } else if (word == "--replay-to") {
            options.replay_to = value;
        } else if (word == "--port") {
            if (!whole_number(value, 65536, number) || number == 0) {
                error = "--port needs a port number from 1 to 65535: " + value;
                return false;
            }
            options.port = static_cast<std::uint16_t>(number);
        } else if (word == "--delay-ms" || word == "--jitter-ms") {
            if (!whole_number(value, longest_wait_ms + 1, number)) {
                error = word + " needs whole milliseconds from 0 to 3600000: " + value;
                return false;
            }
            (word == "--delay-ms" ? options.delay_us : options.jitter_us) = number * 1000;
        } else {
            error = "unknown argument: " + word;
            return false;
        }
    }
    if (!options.replay_file.empty() && (options.delay_us != 0 || options.jitter_us != 0)) {
        error = "--replay takes its waits from the recording: no --delay-ms or --jitter-ms with it";
        return false;
    }
    if (options.replay_file.empty() && !options.replay_to.empty()) {
        error = "--replay-to chooses round trips of a --replay recording";
        return false;
    }
    return true;
}

const char *hop_usage_text()
{
    return "usage: kandrel-hop [--address ADDRESS]... [--port PORT] [--delay-ms MS [--jitter-ms MS]]\n"
           "       kandrel-hop [--address ADDRESS]... [--port PORT] --replay RECORDING [--replay-to TO]\n"
           "\n"
           "Echoes TCP and UDP on PORT (default 7) of each ADDRESS (default every address, IPv4\n"
           "and IPv6). Every piece of data is echoed MS milliseconds after it arrived, give or\n"
           "take up to the jitter; a connection's echoes keep their order. --replay waits the\n"
           "round-trip times of a kandrel-run --record recording in turn, starting over at its end;\n"
           "--replay-to takes only those of the route to TO (its destination as the route file names it).\n"
           "Runs until SIGINT or SIGTERM.\n";
}

}  // namespace hop
