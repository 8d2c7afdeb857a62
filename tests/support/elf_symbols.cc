// Reading readelf's report of an object's dynamic section and symbols.
#include "elf_symbols.hh"

#include <sstream>
#include <stdexcept>

#include "process.hh"

namespace testsupport {
namespace {

std::string readelf(const std::string &option, const std::string &path)
{
    auto run = run_program({.argv = {"readelf", option, "-W", path}});
    if (run.exit_status != 0) {
        throw std::runtime_error("readelf " + option + " " + path + " failed: " + run.err);
    }
    return run.out;
}

}  // namespace

std::vector<std::string> elf_needed(const std::string &path)
{
    std::istringstream lines(readelf("-d", path));
    std::vector<std::string> needed;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("(NEEDED)") != std::string::npos) {
            auto open = line.find('['), close = line.find(']');
            needed.push_back(line.substr(open + 1, close - open - 1));
        }
    }
    return needed;
}

std::vector<ElfSymbol> elf_dynamic_symbols(const std::string &path)
{
    // readelf --dyn-syms columns: Num: Value Size Type Bind Vis Ndx Name
    std::istringstream lines(readelf("--dyn-syms", path));
    std::vector<ElfSymbol> symbols;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string num, value, size, type, bind, visibility, index, name;
        bool symbol_row = fields >> num >> value >> size >> type >> bind >> visibility >> index >> name &&
                          num.ends_with(':') && num != "Num:";
        if (!symbol_row || bind == "LOCAL") {
            continue;
        }
        ElfSymbol symbol{name, "", bind, index != "UND"};
        if (auto at = name.find('@'); at != std::string::npos) {
            symbol.version = name.substr(name.find_first_not_of('@', at));
            symbol.name.erase(at);
        }
        symbols.push_back(symbol);
    }
    return symbols;
}

}  // namespace testsupport
