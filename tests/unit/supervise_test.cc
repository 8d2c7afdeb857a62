// The supervisor's pure parts: the filter program, the decoding of notified
// calls, the route table it loads and matches, and telling a Go program by
// its sections.
#include <arpa/inet.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstring>
#include <future>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "program_checks.hh"
#include "supervise/notified_call.hh"
#include "supervise/supervised_routes.hh"
#include "supervise/syscall_filter.hh"
#include "supervise/worker_pool.hh"

namespace {

// Runs a filter of the instructions the supervisor's uses, as the kernel would.
unsigned run_filter(const std::vector<sock_filter> &program, const seccomp_data &data)
{
    std::uint32_t accumulator = 0;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter &op = program[pc];
        switch (op.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            std::memcpy(&accumulator, reinterpret_cast<const char *>(&data) + op.k, sizeof accumulator);
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            pc += accumulator == op.k ? op.jt : op.jf;
            break;
        case BPF_JMP | BPF_JGE | BPF_K:
            pc += accumulator >= op.k ? op.jt : op.jf;
            break;
        case BPF_RET | BPF_K:
            return op.k;
        default:
            ADD_FAILURE() << "unexpected instruction " << op.code;
            return 0;
        }
    }
    ADD_FAILURE() << "the filter ran off its end";
    return 0;
}

TEST(SyscallFilter, NotifiesExactlyTheNamedCallsOfThisArchitecture)
{
    auto program = notify_filter(supervised_syscalls());
    struct row {
        std::uint32_t arch;
        int nr;
        unsigned action;
    };
    for (const row &r : {row{AUDIT_ARCH_X86_64, SYS_connect, SECCOMP_RET_USER_NOTIF},
                         row{AUDIT_ARCH_X86_64, SYS_write, SECCOMP_RET_USER_NOTIF},
                         row{AUDIT_ARCH_X86_64, SYS_execveat, SECCOMP_RET_USER_NOTIF},
                         row{AUDIT_ARCH_X86_64, SYS_read, SECCOMP_RET_ALLOW},
                         row{AUDIT_ARCH_X86_64, SYS_getpid, SECCOMP_RET_ALLOW},
                         row{AUDIT_ARCH_X86_64, SYS_io_uring_enter, SECCOMP_RET_ALLOW},
                         row{AUDIT_ARCH_X86_64, 0x40000000 | SYS_write, SECCOMP_RET_ALLOW},
                         row{AUDIT_ARCH_I386, 4 /* i386 write */, SECCOMP_RET_ALLOW}}) {
        seccomp_data data{};
        data.arch = r.arch;
        data.nr = r.nr;
        EXPECT_EQ(run_filter(program, data), r.action) << r.nr;
    }
    for (int nr : supervised_syscalls()) {
        seccomp_data data{.nr = nr, .arch = AUDIT_ARCH_X86_64};
        EXPECT_EQ(run_filter(program, data), SECCOMP_RET_USER_NOTIF) << nr;
    }
}

TEST(NotifiedCall, ArgumentsAreReadByTheCallsNumber)
{
    auto decode = [](int nr, std::initializer_list<std::uint64_t> args) {
        seccomp_data data{.nr = nr, .arch = AUDIT_ARCH_X86_64};
        std::copy(args.begin(), args.end(), data.args);
        return decode_call(data);
    };
    auto connect = decode(SYS_connect, {0xffffffff00000005, 0x1000, 16});
    EXPECT_EQ(connect.kind, call_kind::connect);
    EXPECT_EQ(connect.fd, 5);  // only the low half is the descriptor
    EXPECT_EQ(connect.address, 0x1000u);
    EXPECT_EQ(connect.address_length, 16u);
    auto sendto = decode(SYS_sendto, {3, 0x2000, 64, 0x40, 0x3000, 28});
    EXPECT_EQ(std::tie(sendto.data, sendto.length, sendto.flags, sendto.address, sendto.address_length),
              std::make_tuple(0x2000u, 64u, 0x40, 0x3000u, 28u));
    auto sendfile = decode(SYS_sendfile, {4, 7, 0x4000, 1 << 20});
    EXPECT_EQ(std::tie(sendfile.fd, sendfile.in_fd, sendfile.offset_pointer, sendfile.length),
              std::make_tuple(4, 7, 0x4000u, std::uint64_t{1} << 20));
    auto dup = decode(SYS_dup3, {3, 9, 0});
    EXPECT_EQ(dup.kind, call_kind::replaced);
    EXPECT_EQ(dup.fd, 9);  // the descriptor that now names another file
    auto range = decode(SYS_close_range, {3, ~0u, 0});
    EXPECT_EQ(std::tie(range.kind, range.fd, range.last), std::make_tuple(call_kind::close_range, 3, ~0u));
    EXPECT_EQ(decode(SYS_writev, {3, 0x5000, static_cast<std::uint64_t>(-1)}).count, ~std::uint64_t{0});
    EXPECT_EQ(decode(SYS_io_uring_setup, {8, 0x6000}).kind, call_kind::ring_setup);
    EXPECT_EQ(decode(SYS_getpid, {}).kind, call_kind::other);
}

sockaddr_storage inet(const char *text, bool six = false)
{
    sockaddr_storage address{};
    if (six) {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(address);
        in6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &in6.sin6_addr);
    } else {
        auto &in = reinterpret_cast<sockaddr_in &>(address);
        in.sin_family = AF_INET;
        inet_pton(AF_INET, text, &in.sin_addr);
    }
    return address;
}

// Names resolve to the addresses of this table; anything else is unknown.
resolved_name resolve(const std::string &name)
{
    if (name == "gamma") {
        return {{inet("10.0.0.3")}, ""};
    }
    if (name == "dual") {
        return {{inet("10.0.0.5"), inet("fd00::5", true)}, ""};
    }
    if (name.find('.') != std::string::npos || name.find(':') != std::string::npos) {
        return {{inet(name.c_str(), name.find(':') != std::string::npos)}, ""};
    }
    return {{}, "Unknown host name: " + name + "\n"};
}

TEST(SupervisedRoutes, LoadsThisHostsLinesAsTheLibraryWritesThem)
{
    auto load = load_routes("gamma dual 10.0.0.2 TCP\n"
                            "alpha dual 10.0.0.2 TCP\n"
                            "gamma nowhere 10.0.0.2 UDP\n"
                            "gamma 10.0.0.9\n"
                            "gamma 10.0.0.8 fd00::7 UDP extra words\n"
                            "gamma 10.0.0.6 10.0.0.2 ECHO",
                            "gamma", true, resolve);
    EXPECT_EQ(load.trace, "init_route_tbl()\t:\tFrom matches myname\n"
                          "init_route_tbl()\t:\tAdded route (10.0.0.3)=>(10.0.0.5) : (10.0.0.2)\n"
                          "init_route_tbl()\t:\tFrom doesnot match myname\n"
                          "init_route_tbl()\t:\tFrom matches myname\n"
                          "Unknown host name: nowhere\n"
                          "init_route_tbl()\t:\tFrom matches myname\n"
                          "init_route_tbl()\t:\tAdded route (10.0.0.3)=>(10.0.0.8) : (fd00::7)\n"
                          "init_route_tbl()\t:\tFrom matches myname\n"
                          "init_route_tbl()\t:\tAdded route (10.0.0.3)=>(10.0.0.6) : (10.0.0.2)\n");
    ASSERT_EQ(load.routes.size(), 3u);
    EXPECT_EQ(load.routes[0].to_word, "dual");
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in &>(load.routes[0].hop).sin_port), 7);
    EXPECT_EQ(load.routes[1].hop_length, sizeof(sockaddr_in6));

    struct row {
        sockaddr_storage address;
        const supervised_route *route;
    };
    for (const row &r : {row{inet("10.0.0.5"), &load.routes[0]}, row{inet("fd00::5", true), &load.routes[0]},
                         row{inet("::ffff:10.0.0.8", true), &load.routes[1]},
                         row{inet("10.0.0.6"), nullptr},  // a protocol that bounces nothing
                         row{inet("10.0.0.7"), nullptr}}) {
        EXPECT_EQ(route_for(load.routes, reinterpret_cast<const sockaddr *>(&r.address), sizeof r.address), r.route);
    }
    sockaddr local{AF_UNIX, {}};
    EXPECT_EQ(route_for(load.routes, &local, sizeof local), nullptr);

    // Named by KANDREL_HOST, this host need not resolve, and shows as written.
    auto named = load_routes("container-7 dual 10.0.0.2 TCP\n", "container-7", false, resolve);
    EXPECT_EQ(named.trace, "init_route_tbl()\t:\tFrom matches myname\n"
                           "init_route_tbl()\t:\tAdded route (container-7)=>(10.0.0.5) : (10.0.0.2)\n");
    EXPECT_EQ(named.routes.size(), 1u);
}

TEST(SupervisedRoutes, KeepsAtMostSixtyFourRoutes)
{
    std::string text;
    for (int i = 0; i < 70; ++i) {
        text += "gamma 10.1.0." + std::to_string(i) + " 10.0.0.2 UDP\n";
    }
    EXPECT_EQ(load_routes(text, "gamma", true, resolve).routes.size(), 64u);
}

std::vector<unsigned char> bytes_at(const std::string &file, std::uint64_t offset, std::uint64_t size)
{
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<unsigned char> bytes(size);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

TEST(ProgramChecks, SectionsAreFoundByName)
{
    using namespace launcher;
    auto header = bytes_at("/proc/self/exe", 0, 64);
    table_extent sections, names;
    ASSERT_TRUE(section_header_extent(header, sections));
    auto section_headers = bytes_at("/proc/self/exe", sections.offset, sections.size);
    ASSERT_TRUE(section_names_extent(header, section_headers, names));
    auto section_names = bytes_at("/proc/self/exe", names.offset, names.size);
    EXPECT_TRUE(has_section(header, section_headers, section_names, ".text"));
    EXPECT_FALSE(has_section(header, section_headers, section_names, go_build_info_section));
    EXPECT_FALSE(has_section(header, section_headers, section_names, ".tex"));
    EXPECT_FALSE(section_names_extent(header, {}, names));  // no table, no names
}

// A job never waits for another: the first job here ends only once the
// second has run, which a pool running them one after the other never does.
TEST(WorkerPool, JobsRunAtOnceAndAllRunBeforeThePoolEnds)
{
    std::promise<void> second_ran;
    std::atomic<int> finished = 0;
    {
        worker_pool pool;
        pool.run([&, ran = second_ran.get_future().share()] {
            ran.wait();
            ++finished;
        });
        pool.run([&] {
            second_ran.set_value();
            ++finished;
        });
    }
    EXPECT_EQ(finished, 2);
}

}  // namespace
