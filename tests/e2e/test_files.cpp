// The utility's file readers against files an operator may be handed: lines
// with terminal control sequences (Rules files are shared between
// operators), and names that are not regular files.
#include <string>
#include <sys/stat.h>
#include <vector>

#include "support/com_numbers.hpp"
#include "support/e2e.hpp"

namespace {

using namespace pello::e2e;

const std::string conf_failed = "\a\aError: Configuration processing failed\n";
const std::string rules_failed = "\a\aError: Rule processing failed\n";

// A line of a file shown in a message cannot clear or retitle the operator's
// screen: its control bytes show escaped, everything else as it is.
TEST(Files, LinesInMessagesShowControlBytesEscaped)
{
    const std::string dir = pello::test::temp_dir("e2e-files-escaped");
    struct row {
        std::string command;  // configure or rules
        std::string line;     // the file's only line
        std::string printed;  // what the command prints
    };
    const std::string conf = dir + "/f.conf", rules = dir + "/f.rules";
    const row rows[] = {
        {"configure", "call \033[2J\033]0;title\007",
         "\a\aError: line 1: invalid Call Sign argument: too long: "
         "call \\x1b[2J\\x1b]0;title\\x07\n" +
             conf_failed},
        {"configure", "digipath WIDE1-1,\x1b[2J\x1b[31m\x7f",
         "\a\aError: line 1: Digi Path component 2: \\x1b[2J\\x1b[31m\\x7f exceeds length 8: "
         "digipath WIDE1-1,\\x1b[2J\\x1b[31m\\x7f\n" +
             conf_failed},
        {"rules", "\033[2Jpass dst N0CALL",
         "\a\aError: " + rules + "[1]: action \\x1b[2Jpass invalid:\n\\x1b[2Jpass dst N0CALL\n" +
             rules_failed},
        // Ordinary text, UTF-8 and tabs included, prints as it always did.
        {"configure", "digipath WIDE1-1,ÜBERLÄNGE",
         "\a\aError: line 1: Digi Path component 2: ÜBERLÄNGE exceeds length 8: "
         "digipath WIDE1-1,ÜBERLÄNGE\n" +
             conf_failed},
        {"rules", "pass\tsrc ÄÖÜÄÖÜÄ",
         "\a\aError: " + rules + "[1]: Source is too long: ÄÖÜÄÖÜÄ:\npass\tsrc ÄÖÜÄÖÜÄ\n" +
             rules_failed},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        const std::string file = r.command == "rules" ? rules : conf;
        pello::test::write_file(file, r.line + "\n");
        auto out = run_utility(r.command + " " + file + "\nx\n");
        EXPECT_EQ(transcript(out.out), P + r.printed + P);
    }
}

// A comment longer than the line buffer is read in pieces; the pieces after
// the first are still comment, never a setting or a rule.
TEST(Files, CommentTailsOfLongLinesStayComments)
{
    const std::string dir = pello::test::temp_dir("e2e-files-long-comments");
    const std::string comment = "# " + std::string(253, '-');
    const std::string conf = pello::test::write_file(dir + "/f.conf", comment + "ssid 15\n");
    const std::string rules = pello::test::write_file(dir + "/f.rules", comment + "drop src *\n");
    auto out = run_utility("configure " + conf + "\nrules " + rules + "\nx\n");
    EXPECT_EQ(transcript(out.out),
              P + "Configuration items processed 0\n" + P + "Rules processed 0, implicit 0\n" + P);
}

// A FIFO with no writer and a device that never ends are refused at once,
// like a file that does not exist; the port is never opened.
TEST(Files, OnlyRegularFilesAreRead)
{
    const std::string dir = pello::test::temp_dir("e2e-files-not-regular");
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string input, expected = P;
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        const std::string refused = "\a\aError: cannot open " + path + "\n";
        input += "configure " + path + "\nrules " + path + "\nfirmware " +
                 std::to_string(pello::test::com::e2e_never_opened) + " " + path + "\ny\n";
        expected += refused + conf_failed + P + refused + rules_failed + P + fw_question + refused +
                    fw_failed + P;
    }
    auto out = run_utility(input + "x\n", 20000);
    ASSERT_FALSE(out.timed_out) << out.out;
    EXPECT_EQ(transcript(out.out), expected);
}

}  // namespace
