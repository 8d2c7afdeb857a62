// Parsing of one line of the route file.
#include "route_line.hh"

#include <cctype>
#include <cstring>

namespace {

bool is_blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Copies the next word of *cursor into field and moves *cursor past it.
// Returns false when there is no further word; sets *too_long when the word
// does not fit (the field then holds nothing useful).
bool take_word(const char **cursor, char *field, std::size_t field_size, bool *too_long)
{
    const char *p = *cursor;
    while (*p != '\0' && is_blank(*p)) {
        ++p;
    }
    if (*p == '\0') {
        return false;
    }
    const char *start = p;
    while (*p != '\0' && !is_blank(*p)) {
        ++p;
    }
    std::size_t length = static_cast<std::size_t>(p - start);
    if (length >= field_size) {
        *too_long = true;
        length = 0;
    }
    std::memcpy(field, start, length);
    field[length] = '\0';
    *cursor = p;
    return true;
}

}  // namespace

route_line_status parse_route_line(const char *line, route_words &words, std::size_t host_room)
{
    struct field {
        char *text;
        std::size_t size;
    };
    if (host_room > sizeof words.from) {
        host_room = sizeof words.from;
    }
    const field fields[] = {{words.from, host_room},
                            {words.to, host_room},
                            {words.hop, host_room},
                            {words.protocol, sizeof words.protocol}};
    bool too_long = false;
    const char *cursor = line;
    for (const field &f : fields) {
        if (!take_word(&cursor, f.text, f.size, &too_long)) {
            return route_line_status::too_few_words;
        }
    }
    return too_long ? route_line_status::word_too_long : route_line_status::ok;
}

int route_protocol_of(const char *word)
{
    if (std::strcmp(word, "TCP") == 0) {
        return protocol_tcp;
    }
    if (std::strcmp(word, "UDP") == 0) {
        return protocol_udp;
    }
    return protocol_none;
}
