// Running programs under the preload library and normalising what they wrote.
#include "preloaded_run.hh"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "files.hh"
#include "summary_records.hh"

namespace testsupport {
namespace {

std::string without_entry_addresses(const std::string &trace, std::vector<std::string> &entries)
{
    static const std::regex pointer(R"(rtbl_ptr=([0-9a-f]+))");
    std::string result;
    std::map<std::string, int> labels;
    auto last = trace.cbegin();
    for (std::sregex_iterator it(trace.begin(), trace.end(), pointer), end; it != end; ++it) {
        result.append(last, (*it)[0].first);
        std::string hex = (*it)[1].str();
        if (hex == "0") {
            result += "rtbl_ptr=0";
        } else {
            auto [place, fresh] = labels.emplace(hex, static_cast<int>(labels.size()) + 1);
            if (fresh) {
                entries.push_back(hex);
            }
            result += "rtbl_ptr=<entry " + std::to_string(place->second) + ">";
        }
        last = (*it)[0].second;
    }
    result.append(last, trace.cend());
    return result;
}

}  // namespace

std::string mask_times(const std::string &text, std::vector<long> &times)
{
    static const std::regex time_value(R"(TIME=(-?[0-9]+)\. ms)");
    std::string result;
    auto last = text.cbegin();
    for (std::sregex_iterator it(text.begin(), text.end(), time_value), end; it != end; ++it) {
        const auto &number = (*it)[1];
        result.append(last, number.first);
        result += "#";
        times.push_back(std::stol(number.str()));
        last = number.second;
    }
    result.append(last, text.cend());
    return result;
}

std::vector<TimelogRecord> timelog_records(const std::string &text)
{
    std::vector<TimelogRecord> records;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        auto ms = launcher::timelog_ms(line);
        if (!ms || lines.eof()) {
            throw std::runtime_error("not a whole timelog record: \"" + line + "\"");
        }
        records.push_back({std::stol(line), *ms});
    }
    return records;
}

PreloadedResult run_preloaded(const PreloadedRun &run)
{
    if (run.cwd.empty()) {
        throw std::invalid_argument("run_preloaded needs a working directory for timelog");
    }
    // The route file must not come from whoever runs the tests.
    unsetenv("QUOR_ROUTE_TABLE");
    ProgramRun program{.argv = run.argv, .env = run.env, .stdin_text = run.stdin_text, .cwd = run.cwd,
                       .timeout_ms = run.timeout_ms};
    if (run.preload) {
        program.env.emplace_back("LD_PRELOAD", KANDREL_LIBRARY_PATH);
    }
    PreloadedResult result;
    result.program = run_program(program);
    result.trace = without_entry_addresses(mask_times(result.program.err, result.times), result.entry_addresses);
    const std::string timelog_path = run.cwd + "/timelog";
    // A link planted where timelog goes is not the library's to follow.
    auto status = std::filesystem::symlink_status(timelog_path);
    result.timelog_exists = std::filesystem::exists(status);
    if (std::filesystem::is_regular_file(status)) {
        for (const auto &record : timelog_records(read_file(timelog_path))) {
            result.timelog_bytes.push_back(record.bytes);
            result.timelog_ms.push_back(record.ms);
        }
    }
    return result;
}

std::size_t occurrences(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

std::string describe(const ProgramResult &run)
{
    std::ostringstream text;
    text << "exit status " << run.exit_status << ", signal " << run.term_signal
         << (run.timed_out ? ", timed out" : "") << "\n--- stdout ---\n"
         << run.out << "--- stderr ---\n"
         << run.err << "--- end ---";
    return text.str();
}

}  // namespace testsupport
