// Loading and matching the supervisor's routes.
#include "supervised_routes.hh"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "address_key.hh"
#include "hop_exchange_rules.hh"
#include "record_lines.hh"
#include "route_line.hh"

namespace {

bool key_of(const sockaddr_storage &address, in6_addr &key)
{
    return address_key(reinterpret_cast<const sockaddr *>(&address), sizeof address, key);
}

std::string key_text(const in6_addr &key)
{
    char text[INET6_ADDRSTRLEN];
    return address_key_text(key, text, sizeof text);
}

// The route file's lines as the library's fgets reads them: pieces of at
// most full_route_line_buffer_size - 1 characters, each newline ending one.
std::vector<std::string> pieces_of(const std::string &text)
{
    std::vector<std::string> pieces;
    std::size_t limit = full_route_line_buffer_size - 1;
    for (std::size_t at = 0; at < text.size() && at < route_file_read_limit;) {
        std::size_t newline = text.find('\n', at);
        std::size_t end = std::min(newline == std::string::npos ? text.size() : newline + 1, at + limit);
        pieces.push_back(text.substr(at, end - at));
        at = end;
    }
    return pieces;
}

// Resolves a matching line's words into a route; false, with the
// resolver's messages on the trace, when a name does not resolve. This
// host's name is shown as written when it need not resolve.
bool build_route(const route_words &words, bool from_needed, const name_resolver &resolve,
                 supervised_route &route, std::string &trace)
{
    resolved_name from = from_needed ? resolve(words.from) : resolved_name{};
    resolved_name to = resolve(words.to), hop = resolve(words.hop);
    for (const auto *name : {&from, &to, &hop}) {
        trace += name->message;
    }
    in6_addr from_key{}, hop_key;
    if ((from_needed && (from.addresses.empty() || !key_of(from.addresses.front(), from_key))) ||
        to.addresses.empty() || hop.addresses.empty() || !key_of(hop.addresses.front(), hop_key)) {
        return false;
    }
    for (const auto &address : to.addresses) {
        in6_addr key;
        if (key_of(address, key) && route.to.size() < 8 &&
            std::none_of(route.to.begin(), route.to.end(),
                         [&](const in6_addr &kept) { return std::memcmp(&kept, &key, sizeof key) == 0; })) {
            route.to.push_back(key);
        }
    }
    route.hop = hop.addresses.front();
    route.hop_length = route.hop.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    // The port lies at the same place in both families' addresses.
    reinterpret_cast<sockaddr_in &>(route.hop).sin_port = htons(echo_port);
    route.protocol = route_protocol_of(words.protocol);
    route.to_word = words.to;
    route.hop_word = words.hop;
    // This host's word, shown as written when it need not resolve, can be
    // longer than an address.
    char line[full_host_word_size + 2 * INET6_ADDRSTRLEN + sizeof route_added_format];
    std::snprintf(line, sizeof line, route_added_format,
                  from_needed ? key_text(from_key).c_str() : words.from, key_text(route.to.front()).c_str(),
                  key_text(hop_key).c_str());
    trace += line;
    return !route.to.empty();
}

}  // namespace

route_load load_routes(const std::string &text, const std::string &host_name, bool from_needed,
                       const name_resolver &resolve)
{
    route_load load;
    for (const auto &piece : pieces_of(text)) {
        if (load.routes.size() == route_table_capacity) {
            break;
        }
        route_words words;
        if (parse_route_line(piece.c_str(), words, full_host_word_size) != route_line_status::ok) {
            continue;
        }
        if (host_name != words.from) {
            load.trace += route_for_another_host_line;
            continue;
        }
        load.trace += route_for_this_host_line;
        supervised_route route;
        if (build_route(words, from_needed, resolve, route, load.trace)) {
            load.routes.push_back(std::move(route));
        }
    }
    return load;
}

const supervised_route *route_for(const std::vector<supervised_route> &routes, const sockaddr *address,
                                  socklen_t length)
{
    in6_addr key;
    if (!address_key(address, length, key)) {
        return nullptr;
    }
    for (const auto &route : routes) {
        bool bounces = route.protocol == protocol_tcp || route.protocol == protocol_udp;
        if (bounces && std::any_of(route.to.begin(), route.to.end(), [&](const in6_addr &to) {
                return std::memcmp(&to, &key, sizeof key) == 0;
            })) {
            return &route;
        }
    }
    return nullptr;
}
