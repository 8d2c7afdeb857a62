// Writing and reading recording lines.
#include "recording_line.hh"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char *outcome_names[] = {"echoed", "waited_out", "unreachable"};

// Appends text as a JSON string, quotes included.
char *put_json_string(char *out, const char *text)
{
    *out++ = '"';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            *out++ = '\\';
            *out++ = static_cast<char>(*p);
        } else if (*p < 0x20) {
            out += std::sprintf(out, "\\u%04x", *p);
        } else {
            *out++ = static_cast<char>(*p);
        }
    }
    *out++ = '"';
    return out;
}

// The value of a lower-case hexadecimal digit, or -1.
int hex_digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

struct number_limit {
    const char *key;
    std::uint64_t largest;
};

constexpr number_limit number_limits[] = {
    {"t_us", 366ull * 24 * 3600 * 1'000'000},  // a year
    {"pid", 4'194'304},                        // PID_MAX_LIMIT on 64-bit systems
    {"bytes", 0x7fff'ffff'ffff'ffff},          // SSIZE_MAX
    {"rtt_us", 3'600'000'000},                 // an hour
};

// A cursor over one line being read; the first flaw is kept.
struct reader {
    const char *start;
    const char *p;
    const char *end;
    recording_line_reading reading;

    bool fail(recording_flaw flaw, const char *field, const char *at)
    {
        reading.flaw = flaw;
        reading.field = field;
        reading.column = static_cast<std::size_t>(at - start) + 1;
        return false;
    }

    // The literal text that must come next: a key with its punctuation.
    bool literal(const char *text)
    {
        std::size_t n = std::strlen(text);
        std::size_t left = static_cast<std::size_t>(end - p);
        if (left >= n && std::memcmp(p, text, n) == 0) {
            p += n;
            return true;
        }
        bool cut_short = left < n && std::memcmp(p, text, left) == 0;
        return fail(cut_short ? recording_flaw::truncated : recording_flaw::expected_key, text, p);
    }

    // A decimal number without sign or leading zeros, within the key's limit.
    bool number(const char *key, std::uint64_t &value)
    {
        const char *digits = p;
        value = 0;
        bool overflow = false;
        while (p < end && *p >= '0' && *p <= '9') {
            unsigned digit = static_cast<unsigned>(*p - '0');
            overflow = overflow || value > (UINT64_MAX - digit) / 10;
            value = value * 10 + digit;
            ++p;
        }
        if (p == digits) {
            return fail(p == end ? recording_flaw::truncated : recording_flaw::not_a_number, key, digits);
        }
        if (p - digits > 1 && *digits == '0') {
            return fail(recording_flaw::leading_zero, key, digits);
        }
        if (overflow) {
            return fail(recording_flaw::beyond_64_bits, key, digits);
        }
        if (value > recording_limit(key)) {
            reading.value = value;
            return fail(recording_flaw::out_of_range, key, digits);
        }
        return true;
    }

    // One escaped byte at p (a backslash), into c.
    bool escape(const char *key, char &c)
    {
        if (end - p < 2 || (p[1] == 'u' && end - p < 6)) {
            return fail(recording_flaw::truncated, key, p);
        }
        if (p[1] == '"' || p[1] == '\\') {
            c = p[1];
            p += 2;
            return true;
        }
        // Only a control byte is written as \u00XX.
        if (std::memcmp(p, "\\u00", 4) == 0 && hex_digit(p[4]) >= 0 && hex_digit(p[4]) < 2 &&
            hex_digit(p[5]) >= 0) {
            c = static_cast<char>(hex_digit(p[4]) * 16 + hex_digit(p[5]));
            p += 6;
            return true;
        }
        return fail(recording_flaw::bad_escape, key, p);
    }

    // A JSON string of the escapes put_json_string writes, of 1 to size - 1
    // bytes, into out; too long is the overflow flaw.
    bool string(const char *key, char *out, std::size_t size, recording_flaw overflow)
    {
        if (!literal("\"")) {
            return false;
        }
        std::size_t used = 0;
        while (p < end && *p != '"') {
            const char *at = p;
            char c = *p;
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail(recording_flaw::control_byte, key, at);
            }
            if (c != '\\') {
                ++p;
            } else if (!escape(key, c)) {
                return false;
            }
            if (used + 1 >= size) {
                return fail(overflow, key, at);
            }
            out[used++] = c;
        }
        out[used] = '\0';
        if (!literal("\"")) {
            return false;
        }
        return used != 0 || fail(recording_flaw::empty_word, key, p);
    }
};

}  // namespace

std::size_t format_recording_line(const recorded_trip &trip, char *out)
{
    char *p = out;
    p += std::sprintf(p, "{\"t_us\":%llu,\"pid\":%ld,\"to\":", static_cast<unsigned long long>(trip.t_us),
                      trip.pid);
    p = put_json_string(p, trip.to);
    p += std::sprintf(p, ",\"hop\":");
    p = put_json_string(p, trip.hop);
    p += std::sprintf(p, ",\"protocol\":");
    p = put_json_string(p, trip.protocol);
    p += std::sprintf(p, ",\"bytes\":%llu,\"rtt_us\":%llu,\"outcome\":\"%s\"}\n",
                      static_cast<unsigned long long>(trip.bytes),
                      static_cast<unsigned long long>(trip.rtt_us),
                      outcome_names[static_cast<int>(trip.outcome)]);
    return static_cast<std::size_t>(p - out);
}

std::uint64_t recording_limit(const char *key)
{
    for (const number_limit &limit : number_limits) {
        if (std::strcmp(limit.key, key) == 0) {
            return limit.largest;
        }
    }
    return UINT64_MAX;
}

recording_line_reading read_recording_line(const char *line, std::size_t length, recorded_trip &trip)
{
    reader in{line, line, line + length, {}};
    std::uint64_t pid;
    char outcome[16];
    if (!(in.literal("{\"t_us\":") && in.number("t_us", trip.t_us) && in.literal(",\"pid\":") &&
          in.number("pid", pid) && in.literal(",\"to\":") &&
          in.string("to", trip.to, sizeof trip.to, recording_flaw::word_too_long) &&
          in.literal(",\"hop\":") &&
          in.string("hop", trip.hop, sizeof trip.hop, recording_flaw::word_too_long) &&
          in.literal(",\"protocol\":") &&
          in.string("protocol", trip.protocol, sizeof trip.protocol, recording_flaw::unknown_protocol) &&
          in.literal(",\"bytes\":") && in.number("bytes", trip.bytes) && in.literal(",\"rtt_us\":") &&
          in.number("rtt_us", trip.rtt_us) && in.literal(",\"outcome\":") &&
          in.string("outcome", outcome, sizeof outcome, recording_flaw::unknown_outcome) &&
          in.literal("}"))) {
        return in.reading;
    }
    if (in.p != in.end) {
        in.fail(recording_flaw::text_after, "", in.p);
        return in.reading;
    }
    trip.pid = static_cast<long>(pid);
    if (std::strcmp(trip.protocol, "TCP") != 0 && std::strcmp(trip.protocol, "UDP") != 0) {
        in.fail(recording_flaw::unknown_protocol, "protocol", in.p);
        return in.reading;
    }
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(outcome, outcome_names[i]) == 0) {
            trip.outcome = static_cast<trip_outcome>(i);
            return in.reading;
        }
    }
    in.fail(recording_flaw::unknown_outcome, "outcome", in.p);
    return in.reading;
}
