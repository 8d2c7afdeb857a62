// Checks route-file text as the library will read it, saying why a line is
// skipped instead of skipping it silently.
#include "route_check.hh"

#include <algorithm>

#include "route_line.hh"

namespace launcher {
namespace {

// Why the library would skip a line that is not a route, or "".
std::string malformed_reason(const std::string &line, route_line_status status, const route_words &words)
{
    auto first = line.find_first_not_of(" \t\r\v\f");
    if (first != std::string::npos && line[first] == '#') {
        return "starts with '#', and a route file has no comments";
    }
    if (line.find(',') != std::string::npos) {
        return "has a comma; the words of a route are separated by blanks";
    }
    if (status == route_line_status::too_few_words) {
        return first == std::string::npos ? "" : "fewer than four words (FROM TO HOP PROTOCOL)";
    }
    if (status == route_line_status::word_too_long) {
        return "a host word longer than " + std::to_string(full_host_word_size - 1) +
               " characters or a protocol word longer than " + std::to_string(protocol_word_size - 1);
    }
    if (route_protocol_of(words.protocol) == protocol_none) {
        return std::string("protocol ") + words.protocol + " is neither TCP nor UDP (upper case)";
    }
    return "";
}

}  // namespace

route_file_check check_route_text(std::string_view text, const std::string &host, route_names_needed needed,
                                  const std::function<bool(const std::string &)> &resolves)
{
    route_file_check check;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        auto newline = text.find('\n');
        std::string line(text.substr(0, newline));
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        auto skip = [&](const std::string &why) {
            check.skipped.push_back("line " + std::to_string(number) + " skipped: " + why);
        };
        if (line.size() >= full_route_line_buffer_size) {
            skip("longer than " + std::to_string(full_route_line_buffer_size - 1) + " characters");
            continue;
        }
        route_words words;
        route_line_status status = parse_route_line(line.c_str(), words, full_host_word_size);
        if (std::string why = malformed_reason(line, status, words); !why.empty()) {
            skip(why);
            continue;
        }
        if (status != route_line_status::ok) {
            continue;  // a blank line
        }
        bool ours = words.from == host;
        std::string missing = !ours                                  ? ""
                              : needed.from && !resolves(words.from) ? words.from
                              : !resolves(words.to)                  ? words.to
                              : needed.hop && !resolves(words.hop)   ? words.hop
                                                                     : "";
        if (!missing.empty()) {
            skip(missing + " does not resolve" +
                 (missing == words.from ? " (this host's name: add it to /etc/hosts, or set KANDREL_HOST)"
                                        : ""));
            continue;
        }
        if (std::find(check.from_names.begin(), check.from_names.end(), words.from) ==
            check.from_names.end()) {
            check.from_names.emplace_back(words.from);
        }
        if (ours) {
            check.routes.push_back({number, words.to, words.hop, words.protocol});
        }
    }
    return check;
}

std::string no_route_for_host(const std::string &shown_file, const std::string &host,
                              const std::vector<std::string> &from_names)
{
    std::string text =
        "no route in " + shown_file + " is for this host, " + host + " (as hostname prints it)";
    if (from_names.empty()) {
        return text + "; the file holds no usable route";
    }
    text += "; its routes are from ";
    for (std::size_t i = 0; i < from_names.size(); ++i) {
        text += (i == 0 ? "" : ", ") + from_names[i];
    }
    return text;
}

}  // namespace launcher
