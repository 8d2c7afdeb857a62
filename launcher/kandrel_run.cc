// kandrel-run: runs an unchanged program under libkandrel.so, or summarises
// the times a run left in "timelog", "tavik.time" or a recording.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "launch.hh"
#include "launch_options.hh"
#include "plot_svg.hh"
#include "recording_reader.hh"
#include "summary_records.hh"
#include "summary_report.hh"

namespace {

int fail(const std::string &message, int status = launcher::exit_launcher_failure)
{
    std::fprintf(stderr, "kandrel-run: %s\n", message.c_str());
    return status;
}

// The summary of a recording, per route, and with --plot its picture. A
// last line cut short (a full disk, a run killed while writing) is left out
// with a warning; any other damaged line refuses the file.
int summarise_recording(const std::string &path, const std::string &text, const std::string &plot_file)
{
    auto recorded = launcher::read_recording(text);
    std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    if (recorded.error_line != 0 && !text.ends_with('\n') && recorded.error_line == lines + 1) {
        std::fprintf(
            stderr, "kandrel-run: %s: line %zu is cut short; summarised from the %zu whole lines before it\n",
            path.c_str(), recorded.error_line, lines);
        recorded.error_line = 0;
    }
    if (recorded.error_line != 0) {
        return fail("cannot summarise " + path + ": line " + std::to_string(recorded.error_line) + ": " +
                    recorded.error);
    }
    auto routes = launcher::round_trips_by_route(recorded.records);
    if (!plot_file.empty()) {
        std::ofstream plot(plot_file, std::ios::binary | std::ios::trunc);
        plot << launcher::plot_svg(recorded.records);
        if (!plot.flush()) {
            return fail("cannot write " + plot_file + ": " + std::strerror(errno));
        }
    }
    std::fputs(launcher::recording_report(path, routes).c_str(), stdout);
    return 0;
}

int summarise_file(const std::string &path, const std::string &plot_file)
{
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        return fail("cannot summarise " + path + ": not a regular file");
    }
    std::ifstream file(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file.is_open() || file.bad()) {
        return fail("cannot read " + path + ": " + std::strerror(errno));
    }
    if (launcher::looks_like_recording(text)) {
        return summarise_recording(path, text, plot_file);
    }
    if (!plot_file.empty()) {
        return fail("--plot draws a recording (kandrel-run --record); " + path + " is none");
    }
    auto records = launcher::read_timing_records(text);
    if (records.ms.empty()) {
        return fail(path + " holds no timelog or tavik.time lines");
    }
    std::fputs(launcher::summary_report(path, records).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    launcher::launch_options options;
    std::string error;
    if (!launcher::parse_launch_options(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        return fail(error + " (see kandrel-run --help)");
    }
    switch (options.mode) {
    case launcher::launch_mode::help:
        std::fputs(launcher::usage_text(), stdout);
        return 0;
    case launcher::launch_mode::version:
        std::printf("kandrel-run %s\n", KANDREL_VERSION);
        return 0;
    case launcher::launch_mode::summary:
        return summarise_file(options.summary_file, options.plot_file);
    case launcher::launch_mode::run:
        break;
    }
    // A supervised program ends here too, with its own status and no message.
    auto failure = launcher::launch(options);
    return failure.message.empty() ? failure.status : fail(failure.message, failure.status);
}
