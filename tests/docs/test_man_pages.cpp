// The manual pages against the program: every command, keyword, rule word
// and emulator option the code knows is documented (and nothing it does not
// know), and each page's list of messages is exactly what its parser prints.
#include "config/config.hpp"
#include "console/console.hpp"
#include "rules/rules.hpp"
#include "support/run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace pello::test {
namespace {

using words = std::set<std::string>;

std::string read_source(const std::string& relative)
{
    const std::string text = read_file(std::string(PELLO_SOURCE_DIR) + "/" + relative);
    EXPECT_FALSE(text.empty()) << relative << " is missing or empty";
    return text;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// --- Reading roff ---------------------------------------------------------

// The arguments of a macro line: blank-separated, "quoted" ones keep blanks.
std::vector<std::string> macro_arguments(const std::string& rest)
{
    std::vector<std::string> args;
    std::size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && rest[i] == ' ')
            ++i;
        if (i >= rest.size())
            break;
        std::string arg;
        if (rest[i] == '"') {
            for (++i; i < rest.size() && rest[i] != '"'; ++i)
                arg += rest[i];
            ++i;
        } else {
            for (; i < rest.size() && rest[i] != ' '; ++i)
                arg += rest[i];
        }
        args.push_back(arg);
    }
    return args;
}

// The text of one roff line as a reader sees it. With placeholders, every
// italic run (a value the program fills in) becomes "@".
std::string roff_text(const std::string& line, bool placeholders)
{
    std::string source = line;
    if (!line.empty() && line[0] == '.') {
        const std::size_t blank = line.find(' ');
        const std::string macro = line.substr(1, blank == std::string::npos ? blank : blank - 1);
        const std::vector<std::string> args =
            macro_arguments(blank == std::string::npos ? "" : line.substr(blank + 1));
        source.clear();
        for (std::size_t i = 0; i < args.size(); ++i) {
            // .B and .I join their arguments with blanks, the alternating
            // macros (.BI, .BR, ...) without.
            if (i > 0 && macro.size() == 1)
                source += ' ';
            source += args[i];
        }
    }
    std::string out;
    bool italic = false;
    for (std::size_t i = 0; i < source.size(); ++i) {
        const char c = source[i];
        if (c != '\\') {
            if (!(italic && placeholders))
                out += c;
            continue;
        }
        const std::string rest = source.substr(i + 1);
        const auto named = [&](const char* name, const char* text) {
            if (rest.rfind(name, 0) != 0)
                return false;
            out += text;
            i += std::char_traits<char>::length(name);
            return true;
        };
        if (rest.rfind("fI", 0) == 0) {
            if (placeholders && !italic)
                out += '@';
            italic = true;
            ++i;
            ++i;
        } else if (rest.rfind("fB", 0) == 0 || rest.rfind("fR", 0) == 0 ||
                   rest.rfind("fP", 0) == 0) {
            italic = false;
            i += 2;
        } else if (!(named("-", "-") || named("(aq", "'") || named("(dq", "\"") ||
                     named("(lq", "\"") || named("(rq", "\"") || named("(bu", "*") ||
                     named("e", "\\") || named("&", "") || named(" ", " "))) {
            ADD_FAILURE() << "unknown roff escape in: " << line;
        }
    }
    return out;
}

struct page {
    std::string name;
    std::vector<std::string> lines;
};

page read_page(const std::string& name)
{
    return {name, lines_of(read_source("docs/man/" + name))};
}

// The lines of one .SH section (empty when there is none).
std::vector<std::string> section(const page& p, const std::string& title)
{
    std::vector<std::string> out;
    bool inside = false;
    for (const std::string& line : p.lines) {
        if (line.rfind(".SH ", 0) == 0) {
            inside = line == ".SH " + title;
            continue;
        }
        if (inside)
            out.push_back(line);
    }
    EXPECT_FALSE(out.empty()) << p.name << " has no section " << title;
    return out;
}

struct tag {
    std::string text;
    bool nested;  // inside .RS/.RE: a sub-list, not an entry of the section
};

// The tags of the .TP/.TQ paragraphs of a section and the lines of its
// no-fill blocks (a line that starts with a tab continues the previous one).
std::vector<tag> tags(const std::vector<std::string>& lines, bool placeholders)
{
    std::vector<tag> out;
    int depth = 0;
    bool nofill = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line == ".RS" || line.rfind(".RS ", 0) == 0)
            ++depth;
        else if (line == ".RE")
            --depth;
        else if (line == ".nf")
            nofill = true;
        else if (line == ".fi")
            nofill = false;
        else if ((line == ".TP" || line == ".TQ") && i + 1 < lines.size())
            out.push_back({roff_text(lines[++i], placeholders), depth > 0});
        else if (nofill && !line.empty() && line[0] == '\t' && !out.empty())
            out.back().text += " " + roff_text(line.substr(1), placeholders);
        else if (nofill && !line.empty() && line[0] != '.')
            out.push_back({roff_text(line, placeholders), depth > 0});
    }
    return out;
}

std::vector<std::string> split(const std::string& text, const std::string& separator)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos;
         start = at + separator.size())
        out.push_back(text.substr(start, at - start));
    out.push_back(text.substr(start));
    return out;
}

std::string first_word(const std::string& text)
{
    return text.substr(0, text.find(' '));
}

// The words a section documents: the first word of every tag that is not in
// a sub-list, and its one-word alternatives ("exit, quit, x"; but not the
// arguments of "circle radius, latitude, longitude").
words documented(const std::vector<std::string>& lines)
{
    words out;
    for (const tag& t : tags(lines, false)) {
        if (t.nested)
            continue;
        for (const std::string& alternative : split(t.text, ", ")) {
            out.insert(first_word(alternative));
            if (alternative.find(' ') != std::string::npos)
                break;
        }
    }
    return out;
}

// --- The program's tables -------------------------------------------------

TEST(ManPages, CommandsKeywordsAndRuleWordsAreDocumented)
{
    words commands;
    for (const cmd_entry& entry : cmd_table)
        commands.insert(entry.name);
    words keywords;
    for (const conf_keyword& keyword : conf_keywords)
        keywords.insert(keyword.name);
    words rule_words;
    for (const rule_keyword& keyword : rule_keywords)
        rule_words.insert(keyword.name);
    words actions;
    for (const rule_action& action : rule_actions)
        actions.insert(action.name);

    struct expectation {
        const char* page;
        const char* section;
        words names;
    };
    const expectation cases[] = {
        {"pellomatic.1", "COMMANDS", commands},
        {"pellomatic.conf.5", "KEYWORDS", keywords},
        {"pellomatic.rules.5", "COMMANDS", rule_words},
        {"pellomatic.rules.5", "ACTIONS", actions},
    };
    for (const expectation& c : cases) {
        SCOPED_TRACE(std::string(c.page) + " " + c.section);
        EXPECT_EQ(documented(section(read_page(c.page), c.section)), c.names);
    }
}

TEST(ManPages, CommandArgumentsAreThoseOfTheSummary)
{
    const std::vector<tag> documented_tags =
        tags(section(read_page("pellomatic.1"), "COMMANDS"), false);
    for (const cmd_entry& entry : cmd_table) {
        if (entry.arguments[0] == '\0')
            continue;
        const std::string expected = std::string(entry.name) + " " + entry.arguments;
        EXPECT_TRUE(std::any_of(documented_tags.begin(), documented_tags.end(),
                                [&](const tag& t) { return t.text == expected; }))
            << "no entry \"" << expected << "\" in pellomatic(1)";
    }
}

// --- The emulator's options -----------------------------------------------

// The option names (-h, --link, ...) in the first column of help lines.
words option_names(const std::string& column)
{
    words out;
    std::istringstream in(column);
    for (std::string word; in >> word;) {
        while (!word.empty() && (word.back() == ',' || word.back() == '|'))
            word.pop_back();
        if (word == "-h" || (word.rfind("--", 0) == 0 && word.size() > 2))
            out.insert(word);
    }
    return out;
}

TEST(ManPages, EmulatorOptionsAreDocumented)
{
    const run_result help = run_program({bin_path("pellomatic-sim"), "--help"}, "");
    ASSERT_EQ(help.status, 0);
    words from_help;
    for (const std::string& line : lines_of(help.out)) {
        if (line.rfind("  -", 0) == 0) {
            const words names = option_names(line.substr(0, line.find("  ", 2)));
            from_help.insert(names.begin(), names.end());
        }
    }
    ASSERT_GT(from_help.size(), 30u);

    words from_page;
    for (const tag& t : tags(section(read_page("pellomatic-sim.1"), "OPTIONS"), false)) {
        const words names = option_names(t.text);
        from_page.insert(names.begin(), names.end());
    }
    EXPECT_EQ(from_page, from_help);
}

// The helper's commands and options: those of its --help, no more.
TEST(ManPages, PortsHelperCommandsAndOptionsAreDocumented)
{
    const run_result help = run_program({bin_path("pellomatic-ports"), "--help"}, "");
    words from_help = {"(no"};  // the table, shown without arguments
    for (const std::string& line : lines_of(help.out)) {
        if (line.rfind("       pellomatic-ports ", 0) == 0 || line.rfind("  -", 0) == 0)
            from_help.merge(line[2] == '-' ? option_names(line.substr(0, line.find("  ", 2)))
                                           : words{first_word(line.substr(24))});
    }
    const page p = read_page("pellomatic-ports.1");
    words from_page = documented(section(p, "COMMANDS"));
    for (const tag& t : tags(section(p, "OPTIONS"), false))
        from_page.merge(option_names(t.text));
    ASSERT_GT(from_help.size(), 4u);
    EXPECT_EQ(from_page, from_help);
}

TEST(ManPages, PagesCarryTheProgramVersion)
{
    const run_result version = run_program({bin_path("pellomatic-sim"), "--version"}, "");
    ASSERT_EQ(version.status, 0);
    ASSERT_EQ(version.out.rfind("pellomatic-sim ", 0), 0u) << version.out;
    const std::string number = version.out.substr(15, version.out.find('\n') - 15);
    for (const char* name : {"pellomatic.1", "pellomatic-sim.1", "pellomatic-ports.1",
                             "pellomatic.conf.5", "pellomatic.rules.5"}) {
        const page p = read_page(name);
        ASSERT_FALSE(p.lines.empty());
        EXPECT_NE(p.lines[0].find("\"pellomatic " + number + "\""), std::string::npos)
            << name << ": " << p.lines[0];
    }
}

// --- Messages -------------------------------------------------------------

// A string literal of a source file (adjacent literals joined) with the code
// just before and after it.
struct literal {
    std::string text;
    std::string before;
    std::string after;
};

std::vector<literal> string_literals(const std::string& source)
{
    std::vector<literal> out;
    std::size_t last_end = 0;
    for (std::size_t i = 0; i < source.size(); ++i) {
        const char c = source[i];
        if (c == '/' && i + 1 < source.size() && source[i + 1] == '/') {
            i = source.find('\n', i);
            if (i == std::string::npos)
                break;
            continue;
        }
        if (c == '\'') {  // a character literal
            i += source[i + 1] == '\\' ? 3 : 2;
            continue;
        }
        if (c != '"')
            continue;
        const std::size_t open = i;
        std::string text;
        for (++i; i < source.size() && source[i] != '"'; ++i) {
            if (source[i] != '\\') {
                text += source[i];
                continue;
            }
            const char e = source[++i];
            text += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'a' ? '\a' : e == 'r' ? '\r' : e;
        }
        const bool joined =
            !out.empty() &&
            source.substr(last_end + 1, open - last_end - 1).find_first_not_of(" \t\n") ==
                std::string::npos;
        if (joined)
            out.back().text += text;
        else
            out.push_back(
                {text,
                 source.substr(open >= 120 ? open - 120 : 0, std::min<std::size_t>(open, 120)),
                 ""});
        // Enough of what follows to reach the next argument past a line
        // break and a deep indent.
        out.back().after = source.substr(i + 1, 120);
        last_end = i;
    }
    return out;
}

// Operator messages: those with "Error", but not the argument checks of the
// functions themselves ("... Error: invalid param ...").
bool operator_message(const std::string& text)
{
    return text.find("Error") != std::string::npos && text.find("param") == std::string::npos;
}

// A message as compared: bells gone, line ends and tabs as blanks, one blank
// between words, and without the echoed file line at its end. In a message
// of the code a conversion (%d, %-10.6f, ...) becomes the byte 1.
std::string shape(std::string text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\a')
            continue;
        if (c == '%') {
            std::size_t j = i + 1;
            while (j < text.size() && std::strchr("-+ #0123456789.*lhz", text[j]) != nullptr)
                ++j;
            i = j;
            out += '\1';
            continue;
        }
        if (c == '\n' || c == '\t')
            c = ' ';
        if (c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    for (const char* tail : {": \1", ": @"}) {
        if (out.size() > 3 && out.compare(out.size() - 3, 3, tail) == 0)
            out.resize(out.size() - 3);
    }
    return out;
}

// Does the page's text show the code's message? A conversion matches a
// placeholder ("@") or a number written out ("[1..6]" for "[1..%d]").
bool shows(const std::string& code, const std::string& text, std::size_t c = 0, std::size_t t = 0)
{
    if (c == code.size())
        return t == text.size();
    if (code[c] != '\1')
        return t < text.size() && text[t] == code[c] && shows(code, text, c + 1, t + 1);
    if (t < text.size() && text[t] == '@')
        return shows(code, text, c + 1, t + 1);
    std::size_t end = t;
    if (end < text.size() && text[end] == '-')
        ++end;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) != 0 || text[end] == '.'))
        ++end;
    for (std::size_t e = end; e > t; --e) {
        if (shows(code, text, c + 1, e))
            return true;
    }
    return false;
}

std::set<std::string> page_messages(const std::string& name)
{
    std::set<std::string> out;
    for (const tag& t : tags(section(read_page(name), "DIAGNOSTICS"), true))
        out.insert(shape(t.text));
    return out;
}

std::set<std::string> angle_messages()
{
    std::set<std::string> out;
    for (const literal& l : string_literals(read_source("src/angles/angles.cpp"))) {
        if (operator_message(l.text))
            out.insert(shape(l.text));
    }
    return out;
}

std::set<std::string> configuration_messages()
{
    std::set<std::string> out = angle_messages();
    const std::vector<literal> literals =
        string_literals(read_source("src/config/conf_process.cpp"));
    // "missing %s argument" is filled with the name each handler passes.
    std::vector<std::string> argument_names;
    for (const literal& l : literals) {
        if (l.before.ends_with("next_argument(line, "))
            argument_names.push_back(l.text);
    }
    for (const literal& l : literals) {
        if (!operator_message(l.text))
            continue;
        const std::size_t slot = l.text.find("%s argument");
        if (slot == std::string::npos) {
            out.insert(shape(l.text));
            continue;
        }
        for (const std::string& name : argument_names)
            out.insert(shape(std::string(l.text).replace(slot, 2, name)));
    }
    for (const literal& l : string_literals(read_source("src/serial/serial_common.cpp"))) {
        if (l.text.rfind("get_baud:", 0) == 0)
            out.insert(shape(l.text));
    }
    return out;
}

// A result code as the parser writes it: a negative number or a name of
// its status enumeration.
bool is_code(const std::string& word)
{
    if (word.size() > 1 && word[0] == '-')
        return std::all_of(word.begin() + 1, word.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    return word.rfind("rules_", 0) == 0;
}

bool ends_with_code_argument(const std::string& before)
{
    // fail(line, rules_outer, "...": the text follows a code.
    std::size_t i = before.find_last_not_of(" \t\n");
    if (i == std::string::npos || before[i] != ',')
        return false;
    i = before.find_last_not_of(" \t\n", i - 1);
    if (i == std::string::npos)
        return false;
    std::size_t start = i;
    while (start > 0 && (std::isalnum(static_cast<unsigned char>(before[start - 1])) != 0 ||
                         before[start - 1] == '_' || before[start - 1] == '-'))
        --start;
    return is_code(before.substr(start, i + 1 - start));
}

// True when after (the source that follows a literal) goes on with a code:
// "missing Radius", rules_radius_absent,
bool code_follows(const std::string& after)
{
    const std::size_t comma = after.find_first_not_of(" \t\n");
    if (comma == std::string::npos || after[comma] != ',')
        return false;
    const std::size_t start = after.find_first_not_of(" \t\n", comma + 1);
    if (start == std::string::npos)
        return false;
    std::size_t end = start;
    while (end < after.size() && (std::isalnum(static_cast<unsigned char>(after[end])) != 0 ||
                                  after[end] == '_' || after[end] == '-'))
        ++end;
    return is_code(after.substr(start, end - start));
}

std::set<std::string> rules_messages()
{
    std::set<std::string> out = angle_messages();
    for (const literal& l : string_literals(read_source("src/rules/rules_process.cpp"))) {
        // The texts of a line's message stand beside their codes, in the
        // argument tables ("missing Radius", rules_radius_absent) or in
        // fail(...).
        const bool line_text =
            (code_follows(l.after) || ends_with_code_argument(l.before)) && l.text != "%s";
        const bool frame = l.text.find("[%d]") != std::string::npos;
        if (line_text || (operator_message(l.text) && !frame))
            out.insert(shape(l.text));
    }
    return out;
}

std::string readable(std::string message)
{
    std::replace(message.begin(), message.end(), '\1', '%');
    return message;
}

void expect_same_messages(const std::string& page_name, const std::set<std::string>& code)
{
    SCOPED_TRACE(page_name);
    ASSERT_GT(code.size(), 20u);
    const std::set<std::string> documented = page_messages(page_name);
    for (const std::string& message : code) {
        EXPECT_TRUE(std::any_of(documented.begin(), documented.end(),
                                [&](const std::string& text) { return shows(message, text); }))
            << "not in the page: " << readable(message);
    }
    for (const std::string& text : documented) {
        EXPECT_TRUE(std::any_of(code.begin(), code.end(),
                                [&](const std::string& message) { return shows(message, text); }))
            << "the program prints no such message: " << text;
    }
}

TEST(ManPages, ConfigurationMessagesAreExactlyThoseOfTheParser)
{
    expect_same_messages("pellomatic.conf.5", configuration_messages());
}

TEST(ManPages, RulesMessagesAreExactlyThoseOfTheParser)
{
    expect_same_messages("pellomatic.rules.5", rules_messages());
}

// The emulator leaves alone what is not a symbolic link at its link's
// path, and its page gives the message it prints then.
TEST(ManPages, EmulatorRefusesToReplaceAnythingButALink)
{
    const std::string path = write_file(temp_dir("man-sim-link") + "/ttyS2", "a file\n");
    const run_result r = run_program({bin_path("pellomatic-sim"), "--link", path}, "", 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(path), "a file\n");
    const std::string refused = " exists and is not a symbolic link: not replaced";
    EXPECT_EQ(r.err, "pellomatic-sim: " + path + refused + "\n");
    std::string page_text;
    for (const std::string& line : section(read_page("pellomatic-sim.1"), "OPTIONS"))
        page_text += roff_text(line, true) + " ";
    EXPECT_NE(shape(page_text).find("pellomatic-sim: @" + refused), std::string::npos);
}

}  // namespace
}  // namespace pello::test
