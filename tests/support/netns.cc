// Shapes the private namespaces that each integration test runs in.
#include "netns.hh"

#include <arpa/inet.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "files.hh"

namespace testsupport {
namespace {

void bind_over(const std::string &source, const std::string &target)
{
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error("cannot bind-mount over " + target);
    }
}

}  // namespace

sockaddr_in ipv4_address(const std::string &address, int port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &sin.sin_addr) != 1) {
        throw std::invalid_argument("not an IPv4 address: " + address);
    }
    return sin;
}

SocketAddress socket_address(const std::string &address, int port)
{
    SocketAddress result;
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&result.storage);
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) != 1) {
        sockaddr_in v4 = ipv4_address(address, port);
        std::memcpy(&result.storage, &v4, sizeof v4);
        result.length = sizeof v4;
        return result;
    }
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    result.length = sizeof *v6;
    return result;
}

void run_or_die(const std::string &command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "command failed: %s\n", command.c_str());
        std::abort();
    }
}

void set_host_name(const std::string &name)
{
    if (sethostname(name.data(), name.size()) != 0) {
        throw std::runtime_error("sethostname failed: is this test inside in_netns?");
    }
}

void use_private_host_table(const std::vector<std::string> &host_lines)
{
    // A bind mount keeps the files it shows even once their names are gone,
    // so the copies are removed as soon as they are mounted; a deleted file
    // cannot be mounted over, so an earlier table of this process goes first.
    static bool replaced = false;
    if (replaced && (umount("/etc/hosts") != 0 || umount("/etc/nsswitch.conf") != 0)) {
        throw std::runtime_error("cannot unmount the earlier private host table");
    }
    replaced = true;
    ScratchDir dir;
    std::string hosts = "127.0.0.1 localhost\n";
    for (const auto &line : host_lines) {
        hosts += line + "\n";
    }
    write_file(dir.file("hosts"), hosts);
    write_file(dir.file("nsswitch.conf"), "hosts: files\n");
    bind_over(dir.file("hosts"), "/etc/hosts");
    bind_over(dir.file("nsswitch.conf"), "/etc/nsswitch.conf");
}

void add_veth_pair(const std::string &name_a, const std::string &address_a,
                   const std::string &name_b, const std::string &address_b)
{
    run_or_die("ip link add " + name_a + " type veth peer name " + name_b);
    run_or_die("ip addr add " + address_a + "/24 dev " + name_a);
    run_or_die("ip addr add " + address_b + "/24 dev " + name_b);
    run_or_die("ip link set " + name_a + " up && ip link set " + name_b + " up");
}

void add_address(const std::string &link, const std::string &cidr)
{
    // A new IPv6 address stays tentative, refusing bind, until duplicate
    // address detection has run, even on lo; nodad makes it usable at once.
    const bool ipv6 = cidr.find(':') != std::string::npos;
    run_or_die("ip addr add " + cidr + " dev " + link + (ipv6 ? " nodad" : ""));
}

}  // namespace testsupport
