// Shapes the private namespaces that each integration test runs in
// (see in_netns): host name, host table, veth links with addresses.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

namespace testsupport {

// Sets this namespace's host name.
void set_host_name(const std::string &name);

// Replaces /etc/hosts and /etc/nsswitch.conf of this mount namespace, so that
// name lookups answer from the given lines only and never ask DNS.
void use_private_host_table(const std::vector<std::string> &host_lines);

// Creates a veth pair with one address on each end, both ends in this
// namespace; traffic between the two addresses leaves with a non-loopback
// source, which some echo services insist on.
void add_veth_pair(const std::string &name_a, const std::string &address_a,
                   const std::string &name_b, const std::string &address_b);

// Adds another address (CIDR text) to an existing link.
void add_address(const std::string &link, const std::string &cidr);

// The socket address of a dotted IPv4 text and a port; throws on other text.
sockaddr_in ipv4_address(const std::string &address, int port);

// A socket address of either family.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
    int family() const { return storage.ss_family; }
};

// The socket address of an IPv4 or IPv6 text and a port; throws on other text.
SocketAddress socket_address(const std::string &address, int port);

// Runs a shell command and fails the process with a message if it fails.
void run_or_die(const std::string &command);

}  // namespace testsupport
