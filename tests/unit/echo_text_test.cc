// How an echo shows: up to its first zero byte, printable ASCII as it is,
// everything a terminal would act on escaped.
#include "echo_text.hh"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string shown(const std::string &echo)
{
    std::string text;
    for (std::size_t i = 0; i < echo_text_length(echo.data(), echo.size()); ++i) {
        char out[escaped_byte_size];
        text.append(out, escape_echo_byte(static_cast<unsigned char>(echo[i]), out));
    }
    return text;
}

TEST(EchoText, ShownUpToTheFirstZeroByteAndNeverPastTheLength)
{
    const char bytes[] = {'a', 'b', '\0', 'c'};
    EXPECT_EQ(echo_text_length(bytes, 4), 2u);
    EXPECT_EQ(echo_text_length(bytes, 1), 1u);
    EXPECT_EQ(echo_text_length(bytes, 0), 0u);
    EXPECT_EQ(echo_text_length(bytes + 2, 2), 0u);
}

TEST(EchoText, PrintableBytesAsTheyAreOthersEscaped)
{
    const struct {
        std::string echo;
        std::string text;
    } cases[] = {
        {"hello, world ~!", "hello, world ~!"},
        {" ", " "},
        {"back\\slash", "back\\slash"},
        {"\t\n\r", R"(\t\n\r)"},
        {"\x1b[2J", R"(\x1b[2J)"},
        {"\x01\x1f\x7f\x80\xff", R"(\x01\x1f\x7f\x80\xff)"},
        {"send()\t\t:\treturn value = 0\n", R"(send()\t\t:\treturn value = 0\n)"},
        {std::string("cut\0here", 8), "cut"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(shown(c.echo), c.text) << c.text;
    }
}

TEST(EchoText, NoByteTakesMoreThanItsRoom)
{
    for (int byte = 0; byte < 256; ++byte) {
        char out[escaped_byte_size];
        std::size_t n = escape_echo_byte(static_cast<unsigned char>(byte), out);
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, escaped_byte_size);
        EXPECT_EQ(n == 1, byte >= 0x20 && byte < 0x7f) << byte;
    }
}

}  // namespace
