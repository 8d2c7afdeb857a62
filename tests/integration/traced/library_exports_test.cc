// The shared object as the dynamic linker sees it: libc is its only
// dependency (no C++ runtime drags into the programs it is loaded into) and
// it exports exactly the interposed calls, the calls it watches for
// descriptors, and its variables.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "elf_symbols.hh"

namespace {

TEST(LibraryExports, NeedsOnlyLibc)
{
    EXPECT_EQ(testsupport::elf_needed(KANDREL_LIBRARY_PATH), std::vector<std::string>{"libc.so.6"});
}

TEST(LibraryExports, ExactlyTheInterposedCallsAndVariables)
{
    auto symbols = testsupport::elf_dynamic_symbols(KANDREL_LIBRARY_PATH);
    // The version node's own name is defined too; it is no export.
    std::set<std::string> version_nodes, exported;
    for (const auto &symbol : symbols) {
        version_nodes.insert(symbol.version);
    }
    for (const auto &symbol : symbols) {
        if (symbol.defined && version_nodes.count(symbol.name) == 0) {
            exported.insert(symbol.name);
            EXPECT_EQ(symbol.binding, "GLOBAL") << symbol.name;
        }
    }
    const std::set<std::string> expected = {
        "socket", "socketpair", "bind",    "listen",     "accept",     "shutdown",       "getsockopt",
        "setsockopt", "getpeername", "getsockname", "recv", "recvfrom", "recvmsg", "close",
        "select", "read", "connect", "send", "sendto", "sendmsg", "write",
        "__read_chk", "__recv_chk", "__recvfrom_chk", "debug", "fd", "get_ipaddr",
        // Watched without a trace line, for the library's descriptors and bindings.
        "accept4", "dup", "dup2", "dup3", "fcntl", "fcntl64", "close_range", "closefrom",
        // Send paths traced and bounced with full coverage only.
        "writev", "sendfile", "sendfile64", "sendmmsg", "splice",
        // Reached by number, and jumps that must not leave a lock held.
        "syscall", "longjmp", "_longjmp", "siglongjmp", "__longjmp_chk",
        // Execs, for the programs that will run without the library.
        "execve", "execv", "execvp", "execvpe"};
    EXPECT_EQ(exported, expected);
}

}  // namespace
