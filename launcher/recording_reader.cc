// Reads recording lines strictly and groups their round trips by route.
#include "recording_reader.hh"

#include <algorithm>
#include <charconv>

namespace launcher {
namespace {

// A run longer than this is not a run but a damaged time.
constexpr std::uint64_t longest_run_us = 366ull * 24 * 3600 * 1'000'000;
// The kernel's largest process id (PID_MAX_LIMIT on 64-bit systems).
constexpr std::uint64_t largest_pid = 4'194'304;
constexpr std::uint64_t largest_send = 0x7fff'ffff'ffff'ffff;  // SSIZE_MAX
// Route words are host names or address texts.
constexpr std::size_t longest_word = 255;

// Walks one line through the fixed sequence of keys, keeping the first
// reason it is not a recording line.
class line_reader {
public:
    line_reader(std::string_view line, std::string &error) : line_(line), rest_(line), error_(error) {}

    // The literal text that must come next: a key with its punctuation.
    bool expect(std::string_view literal)
    {
        if (rest_.starts_with(literal)) {
            rest_.remove_prefix(literal.size());
            return true;
        }
        if (literal.starts_with(rest_)) {
            return fail("truncated line");
        }
        return fail("expected " + std::string(literal) + " at column " + column());
    }

    // A JSON whole number (no sign, no leading zero) of at most `limit`.
    bool number(std::string_view key, std::uint64_t limit, const char *limit_text, std::uint64_t &value)
    {
        std::size_t digits = 0;
        while (digits < rest_.size() && rest_[digits] >= '0' && rest_[digits] <= '9') {
            ++digits;
        }
        if (digits == 0) {
            return rest_.empty() ? fail("truncated line")
                                 : fail(std::string(key) + " is not a whole number at column " + column());
        }
        if (digits > 1 && rest_[0] == '0') {
            return fail(std::string(key) + " has a leading zero at column " + column());
        }
        auto [stop, status] = std::from_chars(rest_.data(), rest_.data() + digits, value);
        if (status != std::errc{}) {
            return fail(std::string(key) + " is beyond 64 bits");
        }
        if (value > limit) {
            return fail(std::string(key) + " " + std::to_string(value) + " is beyond " + limit_text);
        }
        rest_.remove_prefix(digits);
        return true;
    }

    // A JSON string of 1 to longest_word bytes, its escapes decoded: only
    // those the library writes (and reads when it replays), \" \\ and \u00XX
    // for control bytes, so that no line passes here that it would skip.
    bool text(std::string_view key, std::string &value)
    {
        if (!expect("\"")) {
            return false;
        }
        value.clear();
        while (!rest_.empty() && rest_[0] != '"') {
            char c = rest_[0];
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail(std::string(key) + " holds an unescaped control byte at column " + column());
            }
            if (c != '\\') {
                value += c;
                rest_.remove_prefix(1);
            } else if (!escape(key, value)) {
                return false;
            }
            if (value.size() > longest_word) {
                return fail(std::string(key) + " is longer than " + std::to_string(longest_word) +
                            " characters");
            }
        }
        if (!expect("\"")) {
            return false;
        }
        return !value.empty() || fail(std::string(key) + " is empty");
    }

    bool at_end() { return rest_.empty() || fail("text after the record at column " + column()); }

private:
    bool escape(std::string_view key, std::string &value)
    {
        if (rest_.size() < 2 || (rest_[1] == 'u' && rest_.size() < 6)) {
            return fail("truncated line");
        }
        if (rest_[1] == '"' || rest_[1] == '\\') {
            value += rest_[1];
            rest_.remove_prefix(2);
            return true;
        }
        unsigned code = 0x20;
        if (rest_.starts_with("\\u00")) {
            auto [stop, status] = std::from_chars(rest_.data() + 4, rest_.data() + 6, code, 16);
            code = stop == rest_.data() + 6 ? code : 0x20;
        }
        if (code < 0x20) {
            value += static_cast<char>(code);
            rest_.remove_prefix(6);
            return true;
        }
        return fail(std::string(key) + R"( holds an escape other than \", \\ or \u00XX of a )" +
                    "control byte at column " + column());
    }

    bool fail(const std::string &reason)
    {
        error_ = reason;
        return false;
    }

    std::string column() const { return std::to_string(line_.size() - rest_.size() + 1); }

    std::string_view line_;
    std::string_view rest_;
    std::string &error_;
};

bool parse_outcome(const std::string &word, round_trip_outcome &outcome)
{
    if (word == "echoed") {
        outcome = round_trip_outcome::echoed;
    } else if (word == "waited_out") {
        outcome = round_trip_outcome::waited_out;
    } else if (word == "unreachable") {
        outcome = round_trip_outcome::unreachable;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool looks_like_recording(std::string_view text)
{
    auto first = text.find_first_not_of("\n");
    return first != std::string_view::npos && text[first] == '{';
}

bool parse_recording_line(std::string_view line, round_trip_record &record, std::string &error)
{
    line_reader reader(line, error);
    std::string outcome;
    if (!(reader.expect("{\"t_us\":") && reader.number("t_us", longest_run_us, "a year", record.t_us) &&
          reader.expect(",\"pid\":") &&
          reader.number("pid", largest_pid, "the largest process id", record.pid) &&
          reader.expect(",\"to\":") && reader.text("to", record.to) && reader.expect(",\"hop\":") &&
          reader.text("hop", record.hop) && reader.expect(",\"protocol\":") &&
          reader.text("protocol", record.protocol) && reader.expect(",\"bytes\":") &&
          reader.number("bytes", largest_send, "the largest send", record.bytes) &&
          reader.expect(",\"rtt_us\":") &&
          reader.number("rtt_us", longest_round_trip_us, "one hour", record.rtt_us) &&
          reader.expect(",\"outcome\":") && reader.text("outcome", outcome) && reader.expect("}") &&
          reader.at_end())) {
        return false;
    }
    if (record.protocol != "TCP" && record.protocol != "UDP") {
        error = "protocol is neither TCP nor UDP";
        return false;
    }
    if (!parse_outcome(outcome, record.outcome)) {
        error = "outcome is not echoed, waited_out or unreachable";
        return false;
    }
    return true;
}

recording read_recording(std::string_view text)
{
    recording result;
    for (std::size_t number = 1; !text.empty(); ++number) {
        auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        round_trip_record record;
        if (line.empty()) {
            result.error = "empty line";
        } else if (parse_recording_line(line, record, result.error)) {
            result.records.push_back(std::move(record));
            continue;
        }
        result.error_line = number;
        break;
    }
    return result;
}

std::vector<route_round_trips> round_trips_by_route(const std::vector<round_trip_record> &records)
{
    std::vector<route_round_trips> routes;
    for (const auto &record : records) {
        route_key key{record.to, record.hop, record.protocol};
        auto found = std::find_if(routes.begin(), routes.end(),
                                  [&](const route_round_trips &r) { return r.route == key; });
        if (found == routes.end()) {
            found = routes.insert(routes.end(), route_round_trips{key, {}, {}, 0, 0, 0});
        }
        switch (record.outcome) {
        case round_trip_outcome::echoed:
            ++found->echoed;
            break;
        case round_trip_outcome::waited_out:
            ++found->waited_out;
            break;
        case round_trip_outcome::unreachable:
            ++found->unreachable;
            continue;
        }
        found->t_us.push_back(static_cast<long>(record.t_us));
        found->rtt_us.push_back(static_cast<long>(record.rtt_us));
    }
    return routes;
}

std::string route_name(const route_key &route)
{
    return route.to + " via " + route.hop + " (" + route.protocol + ")";
}

}  // namespace launcher
