// Runs the scenario programs (and other real programs) with or without the
// library preloaded, and reads back what they report on standard output.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "process.hh"

namespace traced {

// The built library and scenario programs.
std::string library_path();
std::string scenario_path(const std::string &name);

enum class Preload { library, none };

struct ScenarioReport {
    testsupport::ProgramResult run;
    std::map<std::string, std::string> values;  // "key=value" lines
    std::vector<std::string> outcomes;           // "name result errno" lines, in call order

    long number(const std::string &key) const;
    // A reported pointer as the trace prints it: "0x" and lower-case hex.
    std::string pointer(const std::string &key) const;
    const std::string &text(const std::string &key) const;
    // The result of the first reported call of that name.
    long result(const std::string &name) const;
};

// Runs argv in the directory cwd, with QUOR_ROUTE_TABLE unset.
ScenarioReport run_traced(const std::vector<std::string> &argv, const std::string &cwd,
                          Preload preload = Preload::library);

// Runs one of the scenario programs with its arguments.
ScenarioReport run_scenario(const std::string &name, const std::string &cwd, std::vector<std::string> args = {},
                            Preload preload = Preload::library);

// How a run ended and what it wrote, for failure messages.
std::string describe(const testsupport::ProgramResult &run);

}  // namespace traced
