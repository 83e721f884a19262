// The number readers shared by the parsers and the commands, at the edges
// where their rules part: past the int range, past the float range, and in
// the base of the text; the COM port number of a command word; the line
// reader across an interrupted read; the word matcher of the command and
// keyword tables.
#include "config/config.hpp"
#include "console/console.hpp"
#include "rules/rules.hpp"
#include "textio/textio.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <span>

namespace {

TEST(NumberReaders, IntegersPastTheRangeAndInOtherBases)
{
    struct row {
        const char* text;
        int base;
        int saturating;     // Configuration and Rules files
        long command_word;  // console command arguments: symmetric, decimal only
    };
    const row rows[] = {
        {"2147483647", 10, INT_MAX, 2147483647},
        {"2147483648", 10, INT_MAX, 2147483647},
        {"-2147483647", 10, -INT_MAX, -2147483647},
        {"-2147483648", 10, INT_MIN, -2147483647},
        {"-99999999999999999999", 10, INT_MIN, -2147483647},
        {"0x1F", 0, 31, 0},
        {"010", 0, 8, 10},
        {"010", 10, 10, 10},
        {" \t-0x", 0, 0, 0},
    };
    for (const row& r : rows) {
        EXPECT_EQ(pello::to_int_saturating(r.text, r.base), r.saturating) << r.text;
        EXPECT_EQ(pello::leading_int(r.text), r.command_word) << r.text;
    }
    EXPECT_EQ(pello::to_long_long_saturating("3000000000"), 3000000000LL);
    EXPECT_EQ(pello::to_long_long_saturating("-99999999999999999999"), LLONG_MIN);
}

TEST(NumberReaders, FloatsPastTheRangeBecomeInfinities)
{
    struct row {
        double value;
        float narrowed;
    };
    const row rows[] = {
        {FLT_MAX, FLT_MAX},  {-FLT_MAX, -FLT_MAX},   {1e39, INFINITY}, {-1e39, -INFINITY},
        {DBL_MAX, INFINITY}, {-HUGE_VAL, -INFINITY}, {0.1, 0.1F},
    };
    for (const row& r : rows)
        EXPECT_EQ(pello::to_float_or_infinity(r.value), r.narrowed) << r.value;
    EXPECT_TRUE(std::isnan(pello::to_float_or_infinity(NAN)));
}

TEST(LeadingInt, ReadsLikeTheCommandArguments)
{
    struct row {
        const char* text;
        long value;
    };
    const row rows[] = {
        {"3", 3},
        {"  19200", 19200},
        {"\t+7", 7},
        {"-4", -4},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"+", 0},
        {"--1", 0},
        {"0x10", 0},
        {"99999999999999999999", 2147483647},
        {"-99999999999", -2147483647},
    };
    for (const auto& r : rows)
        EXPECT_EQ(pello::leading_int(r.text), r.value) << '"' << r.text << '"';
    EXPECT_EQ(pello::leading_int(nullptr), 0);
}

TEST(ComPortNumber, NumberOrComPrefix)
{
    struct row {
        const char* word;
        long number;
    };
    const row rows[] = {
        {"3", 3},   {"com3", 3}, {"COM3", 3}, {"Com03", 3}, {"cOm20", 20}, {"21", 21},  {"0", 0},
        {"com", 0}, {"comX", 0}, {"co3", 0},  {"x3", 0},    {"com-2", -2}, {"3com", 3},
    };
    for (const auto& r : rows)
        EXPECT_EQ(pello::com_port_number(r.word), r.number) << r.word;
}

#if !defined(_WIN32)
// A stray SIGALRM interrupts the read of the operator's line: the read goes on
// (fopencookie, glibc's, stands for the interrupted terminal).
TEST(Signals, InterruptedReadOfALineGoesOn)
{
    cookie_io_functions_t io{};
    io.read = [](void*, char* buf, std::size_t) -> ssize_t {
        static int calls = 0;  // the first read is interrupted, the next brings a line end
        buf[0] = '\n';
        errno = EINTR;
        return calls++ == 0 ? -1 : 1;
    };
    std::FILE* in = fopencookie(nullptr, "r", io);
    char line[8];
    EXPECT_EQ(pello::read_text_line(in, line, sizeof line), 1);
    std::fclose(in);
}
#endif

// The word matcher over its callers' tables, each with the caller's rule:
// hidden aliases count, two names of one meaning still make a word
// ambiguous, whole-word tables take no abbreviation, and compass direction
// 0 ("Error") is no entry a word may select.
TEST(WordMatch, TheCallersTablesAndRules)
{
    using pello::word_rule;
    struct row {
        const char* word;
        int count;
        const char* first;  // the name selected first; nullptr when none
    };
    const auto check = [](auto entries, auto name_of, word_rule rule,
                          std::initializer_list<row> rows) {
        for (const row& r : rows) {
            const auto match = pello::match_word(r.word, entries, name_of, rule);
            EXPECT_EQ(match.count, r.count) << r.word;
            EXPECT_STREQ(match.first ? std::invoke(name_of, *match.first) : nullptr, r.first)
                << r.word;
        }
    };
    check(pello::cmd_table, &pello::cmd_entry::name, word_rule::abbreviation,
          {{"q", 1, "quit"}, {"d", 4, "dconfigure"}, {"exits", 0, nullptr}, {"", 16, "help"}});
    check(pello::conf_keywords, &pello::conf_keyword::name, word_rule::abbreviation,
          {{"b", 1, "base"}, {"p", 1, "position"}, {"wide", 2, "widemax"}, {"HOST", 1, "host"}});
    check(pello::rule_keywords, &pello::rule_keyword::name, word_rule::abbreviation,
          {{"d", 2, "destin"}, {"sr", 1, "src"}, {"dst", 1, "dst"}, {"s", 3, "source"}});
    check(pello::rule_actions, &pello::rule_action::name, word_rule::whole_word,
          {{"d", 1, "d"}, {"dr", 0, nullptr}, {"PASS", 1, "pass"}});
    check(std::span(pello::compass_names).subspan(1), std::identity{}, word_rule::whole_word,
          {{"ne", 1, "NE"}, {"N", 1, "N"}, {"Error", 0, nullptr}, {"nne", 0, nullptr}});
}

}  // namespace
