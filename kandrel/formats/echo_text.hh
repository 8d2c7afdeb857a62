// How the trace and standard-output lines show an echo: its bytes up to the
// first zero byte, never past its length, with anything a terminal would act
// on escaped. A hop's garbage (escape sequences, forged lines) then shows as
// text instead of acting on the user's terminal or passing for trace lines.
#pragma once

#include <cstddef>

// The bytes of an echo that are shown: up to its first zero byte, at most len.
std::size_t echo_text_length(const char *echo, std::size_t len);

// The longest text one byte becomes.
constexpr std::size_t escaped_byte_size = 4;

// Writes the shown form of one byte into out: printable ASCII as it is, tab,
// newline and carriage return as \t, \n and \r, any other byte as \xNN.
// Returns the number of characters written.
std::size_t escape_echo_byte(unsigned char byte, char (&out)[escaped_byte_size]);
