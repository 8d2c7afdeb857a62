// kandrel-hop: a lab hop for kandrel routes. Echoes TCP and UDP like a
// host's echo service, each piece of data after its own wait.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "delay_line.hh"
#include "echo_service.hh"
#include "hop_options.hh"

namespace {

constexpr int exit_usage = 2;

// The waits the options ask for; throws when the recording cannot be used.
hop::wait_source waits_of(const hop::hop_options &options)
{
    if (options.replay_file.empty()) {
        return hop::wait_source(options.delay_us, options.jitter_us, std::random_device{}());
    }
    std::ifstream file(options.replay_file, std::ios::binary);
    if (!file) {
        throw std::system_error(errno, std::generic_category(), options.replay_file);
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::vector<std::uint64_t> waits_us;
    std::string error;
    if (!hop::read_recorded_waits(text.str(), options.replay_to, waits_us, error)) {
        throw std::runtime_error(options.replay_file + ": " + error);
    }
    return hop::wait_source(std::move(waits_us));
}

std::string wait_text(const hop::hop_options &options)
{
    if (!options.replay_file.empty()) {
        return "the round-trip times recorded in " + options.replay_file +
               (options.replay_to.empty() ? "" : " to " + options.replay_to) + " in turn";
    }
    std::string text = std::to_string(options.delay_us / 1000) + " ms";
    if (options.jitter_us != 0) {
        text += " (jitter " + std::to_string(options.jitter_us / 1000) + " ms)";
    }
    return text;
}

}  // namespace

int main(int argc, char **argv)
{
    hop::hop_options options;
    std::string error;
    if (!hop::parse_hop_options(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "kandrel-hop: %s\n%s", error.c_str(), hop::hop_usage_text());
        return exit_usage;
    }
    if (options.mode == hop::hop_mode::help) {
        std::fputs(hop::hop_usage_text(), stdout);
        return 0;
    }
    if (options.mode == hop::hop_mode::version) {
        std::printf("kandrel-hop %s\n", KANDREL_VERSION);
        return 0;
    }
    try {
        hop::echo_service service(options.addresses, options.port, waits_of(options));
        std::string where;
        for (const std::string &endpoint : service.endpoints()) {
            where += (where.empty() ? "" : ", ") + endpoint;
        }
        std::fprintf(stderr, "kandrel-hop: echoing TCP and UDP on %s; each echo waits %s\n", where.c_str(),
                     wait_text(options).c_str());
        const int signal = service.run();
        std::fprintf(stderr, "kandrel-hop: stopped by SIG%s\n", sigabbrev_np(signal));
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "kandrel-hop: %s\n", failure.what());
        return 1;
    }
    return 0;
}
