// The shared object as the dynamic linker sees it: libc is its only
// dependency (no C++ runtime drags into the programs it is loaded into) and
// it exports exactly the interposed calls and its variables.
#include <map>
#include <set>
#include <sstream>

#include "traced_fixture.hh"

namespace {

std::string readelf(const std::string &option)
{
    testsupport::ProgramRun program;
    program.argv = {"readelf", option, "-W", traced::library_path()};
    auto run = testsupport::run_program(program);
    EXPECT_EQ(run.exit_status, 0) << traced::describe(run);
    return run.out;
}

TEST(LibraryExports, NeedsOnlyLibc)
{
    std::istringstream lines(readelf("-d"));
    std::vector<std::string> needed;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("(NEEDED)") != std::string::npos) {
            auto open = line.find('['), close = line.find(']');
            needed.push_back(line.substr(open + 1, close - open - 1));
        }
    }
    EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}

TEST(LibraryExports, ExactlyTheInterposedCallsAndVariables)
{
    // readelf --dyn-syms columns: Num: Value Size Type Bind Vis Ndx Name
    std::istringstream lines(readelf("--dyn-syms"));
    std::map<std::string, std::string> defined;  // name -> binding
    std::set<std::string> version_nodes;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string num, value, size, type, bind, visibility, index, name;
        bool symbol_row = fields >> num >> value >> size >> type >> bind >> visibility >> index >> name &&
                          num.back() == ':' && num != "Num:";
        if (!symbol_row || index == "UND" || bind == "LOCAL") {
            continue;
        }
        if (auto at = name.find('@'); at != std::string::npos) {
            version_nodes.insert(name.substr(name.find_first_not_of('@', at)));
            name.erase(at);
        }
        defined[name] = bind;
    }
    std::set<std::string> exported;
    for (const auto &[name, bind] : defined) {
        if (version_nodes.count(name) == 0) {
            exported.insert(name);
            EXPECT_EQ(bind, "GLOBAL") << name;
        }
    }
    const std::set<std::string> expected = {
        "socket", "socketpair", "bind",    "listen",     "accept",     "shutdown",       "getsockopt",
        "setsockopt", "getpeername", "getsockname", "recv", "recvfrom", "recvmsg", "close",
        "select", "read", "connect", "send", "sendto", "sendmsg", "write",
        "__read_chk", "__recv_chk", "__recvfrom_chk", "debug", "fd", "get_ipaddr"};
    EXPECT_EQ(exported, expected);
}

}  // namespace
