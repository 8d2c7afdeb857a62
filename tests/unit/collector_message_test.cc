// The framing of the collector's messages: what the library writes is read
// back whole, and a message cut anywhere waits for the rest.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "collector_message.hh"

namespace {

std::string framed(collector_kind kind, const std::string &text)
{
    unsigned char header[collector_header_size];
    collector_header(kind, static_cast<std::uint32_t>(text.size()), header);
    return std::string(reinterpret_cast<char *>(header), sizeof header) + text;
}

TEST(CollectorMessage, MessagesAreReadBackWholeAndNeverBeforeTheyAre)
{
    const std::string stream = framed(collector_kind::timelog, "5 bytes 40 ms\n") +
                               framed(collector_kind::trace, "") + framed(collector_kind::around, "6 beta hop TCP");
    collector_message message;
    // Every cut short of the first message's end leaves it waiting.
    for (std::size_t cut = 0; cut < collector_header_size + 14; ++cut) {
        EXPECT_EQ(next_collector_message(std::span<const char>(stream.data(), cut), message), 0u) << cut;
    }
    std::span<const char> rest(stream);
    std::vector<std::pair<collector_kind, std::string>> read;
    while (std::size_t used = next_collector_message(rest, message)) {
        read.emplace_back(message.kind, std::string(message.text.begin(), message.text.end()));
        rest = rest.subspan(used);
    }
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(read, (std::vector<std::pair<collector_kind, std::string>>{{collector_kind::timelog, "5 bytes 40 ms\n"},
                                                                         {collector_kind::trace, ""},
                                                                         {collector_kind::around, "6 beta hop TCP"}}));
}

TEST(CollectorMessage, OnlyAbstractNamesThatFitAreAddresses)
{
    sockaddr_un address;
    EXPECT_EQ(collector_address("@kandrel-1-2", address), offsetof(sockaddr_un, sun_path) + 12);
    EXPECT_EQ(address.sun_path[0], '\0');
    EXPECT_EQ(std::string(address.sun_path + 1, 11), "kandrel-1-2");
    for (const std::string &name : {std::string("/tmp/socket"), std::string("@"), std::string(""),
                                    "@" + std::string(sizeof address.sun_path, 'x')}) {
        EXPECT_EQ(collector_address(name.c_str(), address), 0u) << name;
    }
}

}  // namespace
