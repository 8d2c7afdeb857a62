// Fuzz target for the route-line parser: feeds it the pieces a route file is
// read in and checks every result against a plain word split.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "route_line.hh"

namespace {

bool is_blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::vector<std::string> words_of(const char *line)
{
    std::vector<std::string> words;
    std::string word;
    for (const char *p = line;; ++p) {
        if (*p == '\0' || is_blank(*p)) {
            if (!word.empty()) {
                words.push_back(word);
                word.clear();
            }
            if (*p == '\0') {
                return words;
            }
        } else {
            word += *p;
        }
    }
}

// A mismatch is a finding: abort so the fuzzer keeps the input.
void require(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

void check_piece(const char *piece)
{
    // A heap block of exactly the struct's size, so that a write past the
    // last field is caught by AddressSanitizer.
    auto *words = static_cast<route_words *>(std::malloc(sizeof(route_words)));
    std::memset(words, 0xa5, sizeof(route_words));
    route_line_status status = parse_route_line(piece, *words);

    std::vector<std::string> expected = words_of(piece);
    if (expected.size() < 4) {
        require(status == route_line_status::too_few_words);
    } else if (expected[0].size() >= host_word_size || expected[1].size() >= host_word_size ||
               expected[2].size() >= host_word_size ||
               expected[3].size() >= protocol_word_size) {
        require(status == route_line_status::word_too_long);
    } else {
        require(status == route_line_status::ok);
        require(std::memchr(words->protocol, '\0', sizeof words->protocol) != nullptr);
        require(expected[0] == words->from && expected[1] == words->to &&
                expected[2] == words->hop && expected[3] == words->protocol);
        int protocol = route_protocol_of(words->protocol);
        require(protocol == (expected[3] == "TCP"   ? protocol_tcp
                             : expected[3] == "UDP" ? protocol_udp
                                                    : protocol_none));
    }
    std::free(words);
}

}  // namespace

// The input is read the way the loader reads a route file: pieces of at most
// 127 characters, each ending after a newline or where the room runs out.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::size_t room = route_line_buffer_size - 1;
    std::size_t at = 0;
    while (at < size) {
        std::size_t length = 0;
        while (length < room && at + length < size) {
            if (data[at + length++] == '\n') {
                break;
            }
        }
        // An exact-size heap copy: a read past the terminator is a finding.
        auto *piece = static_cast<char *>(std::malloc(length + 1));
        std::memcpy(piece, data + at, length);
        piece[length] = '\0';
        check_piece(piece);
        std::free(piece);
        at += length;
    }
    return 0;
}
