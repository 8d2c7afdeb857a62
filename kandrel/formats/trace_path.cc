// Expansion of the trace file's name.
#include "trace_path.hh"

#include <cstdio>

bool expand_trace_path(const char *pattern, long pid, char *out, std::size_t size)
{
    std::size_t used = 0;
    auto append = [&](const char *text, std::size_t length) {
        if (used + length >= size) {
            return false;
        }
        for (std::size_t i = 0; i < length; ++i) {
            out[used++] = text[i];
        }
        return true;
    };
    for (const char *p = pattern; *p != '\0'; ++p) {
        bool fits = true;
        if (p[0] == '%' && p[1] == 'p') {
            char digits[24];
            int length = std::snprintf(digits, sizeof digits, "%ld", pid);
            fits = append(digits, static_cast<std::size_t>(length));
            ++p;
        } else if (p[0] == '%' && p[1] == '%') {
            fits = append("%", 1);
            ++p;
        } else {
            fits = append(p, 1);
        }
        if (!fits) {
            return false;
        }
    }
    if (size == 0) {
        return false;
    }
    out[used] = '\0';
    return true;
}
