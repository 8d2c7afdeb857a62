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

// A cursor over one line being read.
struct reader {
    const char *p;
    const char *end;

    bool literal(const char *text)
    {
        std::size_t n = std::strlen(text);
        if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, text, n) != 0) {
            return false;
        }
        p += n;
        return true;
    }

    // A decimal number without sign or leading zeros, that fits 64 bits.
    bool number(std::uint64_t &value)
    {
        const char *start = p;
        value = 0;
        while (p < end && *p >= '0' && *p <= '9') {
            unsigned digit = static_cast<unsigned>(*p - '0');
            if (value > (UINT64_MAX - digit) / 10) {
                return false;
            }
            value = value * 10 + digit;
            ++p;
        }
        return p != start && !(p - start > 1 && *start == '0');
    }

    // A JSON string of the escapes put_json_string writes, into out.
    bool string(char *out, std::size_t size)
    {
        if (!literal("\"")) {
            return false;
        }
        std::size_t used = 0;
        while (p < end && *p != '"') {
            char c = *p++;
            if (c == '\\') {
                if (p < end && (*p == '"' || *p == '\\')) {
                    c = *p++;
                } else if (end - p >= 5 && std::memcmp(p, "u00", 3) == 0 && hex_digit(p[3]) >= 0 &&
                           hex_digit(p[4]) >= 0 && hex_digit(p[3]) < 2) {
                    // Only a control byte is written this way.
                    c = static_cast<char>(hex_digit(p[3]) * 16 + hex_digit(p[4]));
                    p += 5;
                } else {
                    return false;
                }
            }
            if (used + 1 >= size) {
                return false;
            }
            out[used++] = c;
        }
        out[used] = '\0';
        return literal("\"");
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

bool parse_recording_line(const char *line, std::size_t length, recorded_trip &trip)
{
    reader in{line, line + length};
    std::uint64_t pid;
    if (!(in.literal("{\"t_us\":") && in.number(trip.t_us) && in.literal(",\"pid\":") && in.number(pid) &&
          in.literal(",\"to\":") && in.string(trip.to, sizeof trip.to) && in.literal(",\"hop\":") &&
          in.string(trip.hop, sizeof trip.hop) && in.literal(",\"protocol\":") &&
          in.string(trip.protocol, sizeof trip.protocol) && in.literal(",\"bytes\":") &&
          in.number(trip.bytes) && in.literal(",\"rtt_us\":") && in.number(trip.rtt_us) &&
          in.literal(",\"outcome\":"))) {
        return false;
    }
    trip.pid = static_cast<long>(pid);
    char outcome[16];
    if (!in.string(outcome, sizeof outcome) || !in.literal("}") || in.p != in.end) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (std::strcmp(outcome, outcome_names[i]) == 0) {
            trip.outcome = static_cast<trip_outcome>(i);
            return true;
        }
    }
    return false;
}
