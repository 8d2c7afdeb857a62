// The trace file's name: %p is the process id, %% a percent sign, anything
// else as written; a name that does not fit is refused.
#include "trace_path.hh"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(TracePath, ExpandsProcessIdAndPercent)
{
    struct {
        const char *pattern;
        const char *name;
    } const cases[] = {
        {"/tmp/trace", "/tmp/trace"},       {"/tmp/trace.%p", "/tmp/trace.4321"},
        {"%p-%p", "4321-4321"},             {"100%%", "100%"},
        {"%%p", "%p"},                      {"a%", "a%"},
        {"%x%", "%x%"},                     {"", ""},
    };
    for (const auto &c : cases) {
        char out[64];
        ASSERT_TRUE(expand_trace_path(c.pattern, 4321, out, sizeof out)) << c.pattern;
        EXPECT_STREQ(out, c.name) << c.pattern;
    }
}

TEST(TracePath, RefusesANameThatDoesNotFit)
{
    char out[8];
    EXPECT_TRUE(expand_trace_path("abc%p", 1234, out, sizeof out));  // 7 characters and the end
    EXPECT_STREQ(out, "abc1234");
    EXPECT_FALSE(expand_trace_path("abcd%p", 1234, out, sizeof out));
    EXPECT_FALSE(expand_trace_path("abcdefgh", 1, out, sizeof out));
    EXPECT_FALSE(expand_trace_path("", 1, out, 0));
}

}  // namespace
