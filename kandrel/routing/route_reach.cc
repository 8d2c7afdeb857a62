// Resolving a route's destination and hop with full coverage.
#include "route_reach.hh"

#include <netdb.h>

#include <cstring>
#include <initializer_list>

#include "address_key.hh"
#include "hop_exchange_rules.hh"
#include "record_lines.hh"
#include "route_line.hh"
#include "trace.hh"

namespace {

// The Internet addresses of a name or address text, in the resolver's order.
addrinfo *resolve(const char *name)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;  // one answer per address, not one per socket type
    addrinfo *found = nullptr;
    int error = getaddrinfo(name, nullptr, &hints, &found);
    if (error != 0) {
        if (const char *message = unresolved_name_format(error)) {
            trace(message, name);
        }
        return nullptr;
    }
    return found;
}

}  // namespace

bool resolve_route_reach(const route_words &words, route_names_needed needed, route_reach &reach)
{
    reach = route_reach{};
    addrinfo *from = needed.from ? resolve(words.from) : nullptr;
    addrinfo *to = resolve(words.to);
    addrinfo *hop = needed.hop ? resolve(words.hop) : nullptr;
    bool resolved = (from != nullptr || !needed.from) && to != nullptr && (hop != nullptr || !needed.hop);
    in6_addr from_key{}, hop_key{};
    if (resolved) {
        for (addrinfo *each = to; each != nullptr && reach.to_count < route_address_capacity;
             each = each->ai_next) {
            in6_addr key;
            if (address_key(each->ai_addr, each->ai_addrlen, key) && !reaches(reach, key)) {
                reach.to[reach.to_count++] = key;
            }
        }
        if (hop != nullptr) {
            std::memcpy(&reach.hop, hop->ai_addr, hop->ai_addrlen);
            reach.hop_length = hop->ai_addrlen;
            // The echo port sits at the same place in both families' addresses.
            reinterpret_cast<sockaddr_in &>(reach.hop).sin_port = htons(echo_port);
        }
        resolved = reach.to_count > 0 &&
                   (from == nullptr || address_key(from->ai_addr, from->ai_addrlen, from_key)) &&
                   (hop == nullptr || address_key(hop->ai_addr, hop->ai_addrlen, hop_key));
    }
    if (resolved) {
        char from_text[INET6_ADDRSTRLEN], to_text[INET6_ADDRSTRLEN], hop_text[INET6_ADDRSTRLEN];
        trace(route_added_format,
              from != nullptr ? address_key_text(from_key, from_text, sizeof from_text) : words.from,
              address_key_text(reach.to[0], to_text, sizeof to_text),
              hop != nullptr ? address_key_text(hop_key, hop_text, sizeof hop_text) : words.hop);
    }
    for (addrinfo *list : {from, to, hop}) {
        if (list != nullptr) {
            freeaddrinfo(list);
        }
    }
    return resolved;
}

bool reaches(const route_reach &reach, const in6_addr &key)
{
    for (int i = 0; i < reach.to_count; ++i) {
        if (std::memcmp(&reach.to[i], &key, sizeof key) == 0) {
            return true;
        }
    }
    return false;
}
