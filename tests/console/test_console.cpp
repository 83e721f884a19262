// The command interpreter: summary, word matching, the main loop and its
// argument words, run against the real program with scripted input.
#include "config/config.hpp"
#include "console/console.hpp"
#include "support/run.hpp"

#include <gtest/gtest.h>

#include <string>

namespace pello {
namespace {

std::string summary(const std::string& rates)
{
    return "\n\t\tCommand Summary:\n"
           "Command    Arguments            Comments\n"
           "help                            Displays this summary (alias ?)\n"
           ".                               Repeats the previous command\n"
           "angles                          Displays the Angles format used for Lat and Lon\n"
           "baud       baud                 Changes the baud rates on host and Pellomatic\n"
           "\t\t\t\tonce connected. Default [ ]\n"
           "           Valid Baud Rates:\t" +
           rates +
           "\n\n"
           "configure  file_name            Reads a Configuration file\n"
           "dconfigure                      Displays the Configuration\n"
           "rules      file_name            Reads a Rules file\n"
           "drules                          Displays the Rules\n"
           "connect    com_port [baud]      Connect to Pellomatic at optional baud\n"
           "\t\t\t\t(8 bits No Parity 1 Stop)\n"
           "disconnect                      Disconnect from the Pellomatic\n"
           "download                        Download Configuration and Rules to Pellomatic\n"
           "firmware   com_port file_name   Update Pellomatic firmware from firmware file\n"
           "exit                            Exits this program (aliases quit, x)\n";
}

const std::string default_summary = summary("4800 [9600] 19200 38400 57600 ");
const std::string startup = "Pellomatic PC Host Utility Version 2.1\n" + default_summary + "\n";
const std::string prompt = "Command> ";

std::string unknown(const std::string& word)
{
    return "\a\aError: unknown command: " + word + "\n";
}

test::run_result session(const std::string& input)
{
    return test::run_program({test::bin_path("pellomatic")}, input, 20000);
}

// What the session printed after the start-up text.
std::string transcript(const test::run_result& r)
{
    if (r.out.compare(0, startup.size(), startup) != 0)
        return "(start-up differs)\n" + r.out;
    return r.out.substr(startup.size());
}

std::string captured_summary()
{
    return test::stdout_of(cmd_summary);
}

TEST(CmdSummary, BracketsTheDefaultLinkBaud)
{
    conf_reset();
    EXPECT_EQ(captured_summary(), default_summary);
    conf_record.dstar_baud = 19200;
    EXPECT_EQ(captured_summary(), summary("4800 9600 [19200] 38400 57600 "));
    conf_record.use_dstar_baud = 0;  // host_baud is then the default link baud
    EXPECT_EQ(captured_summary(), summary("4800 9600 19200 38400 [57600] "));
    conf_record.host_baud = 115200;
    EXPECT_EQ(captured_summary(), summary("4800 9600 19200 38400 57600 "));
    conf_reset();
}

TEST(CmdMatch, AbbreviationsAndAmbiguity)
{
    struct match_case {
        const char* word;
        const char* selects;  // nullptr: the message below instead
        const char* message;
    };
    const match_case cases[] = {
        {"h", "help", ""},
        {"HELP", "help", ""},
        {"?", "?", ""},
        {"a", "angles", ""},
        {"b", "baud", ""},
        {"conf", "configure", ""},
        {"conn", "connect", ""},
        {"dc", "dconfigure", ""},
        {"dr", "drules", ""},
        {"di", "disconnect", ""},
        {"do", "download", ""},
        {"r", "rules", ""},
        {"f", "firmware", ""},
        {"e", "exit", ""},
        {"Ex", "exit", ""},
        {"EXIT", "exit", ""},
        {"q", "quit", ""},
        {"x", "x", ""},
        {".", ".", ""},
        {"DConfigure", "dconfigure", ""},
        {"helpme", nullptr, "\a\aError: unknown command: helpme\n"},
        {"exits", nullptr, "\a\aError: unknown command: exits\n"},
        {"z", nullptr, "\a\aError: unknown command: z\n"},
        {"\xe9", nullptr, "\a\aError: unknown command: \xe9\n"},
        {"\033[2J\r", nullptr, "\a\aError: unknown command: \\x1b[2J\\x0d\n"},
        {"d", nullptr, "\a\aError: ambiguous command: d\n"},
        {"D", nullptr, "\a\aError: ambiguous command: D\n"},
        {"co", nullptr, "\a\aError: ambiguous command: co\n"},
        {"con", nullptr, "\a\aError: ambiguous command: con\n"},
    };
    for (const match_case& c : cases) {
        SCOPED_TRACE(c.word);
        const cmd_entry* entry = nullptr;
        EXPECT_EQ(test::stdout_of([&] { entry = cmd_match(c.word); }), c.message);
        if (c.selects == nullptr)
            EXPECT_EQ(entry, nullptr);
        else
            EXPECT_STREQ(entry != nullptr ? entry->name : "(none)", c.selects);
    }
}

TEST(ConsoleSession, StartUpAndEndOfInput)
{
    const auto r = session("");
    EXPECT_EQ(r.out, startup + prompt + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
}

TEST(ConsoleSession, ExitWords)
{
    for (const char* input : {"x\n", "e\n", "Ex\n", "EXIT\n", "q\n", "quit\n", "x", "x\nhelp\n"}) {
        SCOPED_TRACE(input);
        const auto r = session(input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(transcript(r), prompt);
    }
}

// Lines in, transcript after the start-up text out, and the exit status.
TEST(ConsoleSession, LoopCases)
{
    const std::string long_word(255, 'z');
    const std::string internal = "\a\aInternal Error: command 33 is invalid!\n";
    const std::string no_name = "\a\aError: missing argument: file_name\n";
    struct loop_case {
        const char* name;
        std::string input;
        std::string out;
        int status;
    };
    const loop_case cases[] = {
        {"repeat with nothing before", ".\n", prompt + prompt + "\n", 1},
        {"repeat of an unknown command", "foo\n.\n",
         prompt + unknown("foo") + prompt + unknown("foo") + prompt + "\n", 1},
        {"text after the dot is ignored", "foo\n.bar baz\n",
         prompt + unknown("foo") + prompt + unknown("foo") + prompt + "\n", 1},
        {"blank-led dot is a word", " .\n", prompt + internal + prompt + "\n", 1},
        {"blank-led dot repeats as a word", " .\n.\n",
         prompt + internal + prompt + internal + prompt + "\n", 1},
        {"a bare line end keeps the previous line", "foo\n\n.\n",
         prompt + unknown("foo") + prompt + prompt + unknown("foo") + prompt + "\n", 1},
        {"a line of blanks becomes the previous line", "foo\n   \n.\n",
         prompt + unknown("foo") + prompt + prompt + prompt + "\n", 1},
        {"separators only", ",, \t,\n", prompt + prompt + "\n", 1},
        {"no final line end", "foo", prompt + unknown("foo") + prompt + "\n", 1},
        {"255 characters then more: two command lines", long_word + "x\n",
         prompt + unknown(long_word) + prompt, 0},
        {"exactly 255 characters: the line end comes alone", long_word + "\n",
         prompt + unknown(long_word) + prompt + prompt + "\n", 1},
        {"NUL bytes only", std::string("\0\0\0\n", 4), prompt + prompt + "\n", 1},
        {"a NUL line becomes an empty previous line", std::string("foo\n\0\0\n.\n", 9),
         prompt + unknown("foo") + prompt + prompt + prompt + "\n", 1},
        {"NUL without line end at end of input", std::string("\0", 1), prompt + prompt + "\n", 1},
        {"text after a NUL is not read", std::string("foo\0bar\n", 8),
         prompt + unknown("foo") + prompt + "\n", 1},
        {"bytes above 0x7F", "\xe9t\xe9 \xff\n", prompt + unknown("\xe9t\xe9") + prompt + "\n", 1},
        {"CR LF line end", "foo\r\n.\r\n",
         prompt + unknown("foo") + prompt + unknown("foo") + prompt + "\n", 1},
        {"ambiguous", "d\nco\n",
         prompt + "\a\aError: ambiguous command: d\n" + prompt +
             "\a\aError: ambiguous command: co\n" + prompt + "\n",
         1},
        {"configure without name", "configure\n", prompt + no_name + prompt + "\n", 1},
        {"rules without name", "rules\n", prompt + no_name + prompt + "\n", 1},
        {"configure with separators only", "conf ,\t,\t\n", prompt + no_name + prompt + "\n", 1},
        {"help and ?", "h\n?\n",
         prompt + default_summary + prompt + default_summary + prompt + "\n", 1},
        {"angles", "angles\n", prompt + angles_help + "\n" + prompt + "\n", 1},
    };
    for (const loop_case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = session(c.input);
        EXPECT_EQ(transcript(r), c.out);
        EXPECT_EQ(r.status, c.status);
    }
}

// The file_name argument runs to a comma, a tab or the end of the line; it
// starts right after the one separator that ended the command word.
TEST(ConsoleSession, FileNameArguments)
{
    const std::string dir = test::temp_dir("console-file-names");
    test::write_file(dir + "/my station.conf", "call w1aw\n");
    test::write_file(dir + "/good.conf", "call k1abc\nssid 3\n");
    const std::string one = "Configuration items processed 1\n";
    const std::string two = "Configuration items processed 2\n";
    const std::string failed = "\a\aError: Configuration processing failed\n";
    struct name_case {
        std::string input;
        std::string out;
    };
    const name_case cases[] = {
        {"configure " + dir + "/my station.conf\n", prompt + one},
        {"configure " + dir + "/good.conf,ignored words\n", prompt + two},
        {"configure\t" + dir + "/good.conf\tignored\n", prompt + two},
        {"configure,," + dir + "/good.conf\n", prompt + two},
        {"CONF " + dir + "/good.conf\n.\n", prompt + two + prompt + two},
        {"configure  " + dir + "/good.conf\n",
         prompt + "\a\aError: cannot open  " + dir + "/good.conf\n" + failed},
        {"configure " + dir + "/good\n",
         prompt + "\a\aError: cannot open " + dir + "/good\n" + failed},
    };
    for (const name_case& c : cases) {
        SCOPED_TRACE(c.input);
        const auto r = session(c.input);
        EXPECT_EQ(transcript(r), c.out + prompt + "\n");
    }

    // A rules failure adds its own summary line after the parser's messages.
    const auto r = session("rules " + dir + "/none.rules\n");
    EXPECT_NE(r.out.find("\a\aError: Rule processing failed\n" + prompt + "\n"), std::string::npos);
}

// The summary follows the record: a Configuration file that sets dstar moves
// the bracket.
TEST(ConsoleSession, SummaryFollowsTheConfiguration)
{
    const std::string dir = test::temp_dir("console-summary");
    test::write_file(dir + "/fast.conf", "dstar 19200\n");
    test::write_file(dir + "/other.conf", "dstar 115200\n");
    const auto r =
        session("configure " + dir + "/fast.conf\nhelp\nconfigure " + dir + "/other.conf\nhelp\n");
    const std::string one = "Configuration items processed 1\n";
    EXPECT_EQ(transcript(r), prompt + one + prompt + summary("4800 9600 [19200] 38400 57600 ") +
                                 prompt + one + prompt + summary("4800 9600 19200 38400 57600 ") +
                                 prompt + "\n");
}

}  // namespace
}  // namespace pello
