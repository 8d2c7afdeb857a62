// Walking a text line by line, as route files, timelogs and recordings are
// read, in the library and the launcher alike.
#pragma once

#include <string_view>

// Calls visit(line) for each line of text, without its newline: a last line
// without one counts too, and an empty text has no line. visit returns
// false to stop.
template <typename Visit>
void for_each_line(std::string_view text, Visit visit)
{
    while (!text.empty()) {
        std::size_t newline = text.find('\n');
        std::size_t length = newline == std::string_view::npos ? text.size() : newline;
        std::string_view line(text.data(), length);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (!visit(line)) {
            return;
        }
    }
}
