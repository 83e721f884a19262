// The manual pages against the program: every command, keyword, rule word
// and emulator option the code knows is documented (and nothing it does not
// know), and each page's list of messages is exactly what its parser prints.
#include "config/config.hpp"
#include "console/console.hpp"
#include "rules/rules.hpp"
#include "support/run.hpp"
#include "support/serial_cases.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
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

// An unsigned field of an ELF object, in the byte order its header names.
std::size_t field(const std::string& object, std::size_t at, std::size_t size)
{
    const bool big_endian = object.at(5) == 2;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value = value << 8 |
                static_cast<unsigned char>(object.at(at + (big_endian ? i : size - 1 - i)));
    return static_cast<std::size_t>(value);
}

// The texts the compiled code of a subsystem holds: the NUL-ended strings of
// the read-only data sections (.rodata, .rodata.str1.1, ...) of its objects
// in the core library, 32- or 64-bit. Read from what the compiler made, not
// from the source, so that how a message is written or laid out, and which
// file of the subsystem holds it, do not matter.
words held_texts(const std::string& subsystem)
{
    words out;
    for (const std::string& path : split(PELLO_CORE_OBJECTS, "|")) {
        if (path.find("/src/" + subsystem + "/") == std::string::npos)
            continue;
        const std::string elf = read_file(path);
        EXPECT_EQ(elf.substr(0, 4), "\177ELF") << path;
        const bool wide = elf.at(4) == 2;
        const std::size_t word = wide ? 8 : 4;
        const std::size_t headers = field(elf, wide ? 0x28 : 0x20, word);
        const std::size_t header_size = field(elf, wide ? 0x3a : 0x2e, 2);
        // A field of section header i, at its offset in the 32- or 64-bit form.
        const auto header = [&](std::size_t i, std::size_t at32, std::size_t at64, std::size_t n) {
            return field(elf, headers + i * header_size + (wide ? at64 : at32), n);
        };
        const std::size_t names = header(field(elf, wide ? 0x3e : 0x32, 2), 16, 24, word);
        for (std::size_t i = 0; i < field(elf, wide ? 0x3c : 0x30, 2); ++i) {
            const std::size_t at = names + header(i, 0, 0, 4);
            const bool no_bits = header(i, 4, 4, 4) == 8;
            if (no_bits || !elf.substr(at, elf.find('\0', at) - at).starts_with(".rodata"))
                continue;
            for (const std::string& text :
                 split(elf.substr(header(i, 16, 24, word), header(i, 20, 32, word)),
                       std::string(1, '\0'))) {
                if (!text.empty())
                    out.insert(text);
            }
        }
    }
    return out;
}

// Operator messages: "Error:" after the bells, alone or after one word
// ("Internal Error: ...", unlike a display's "Halt On Error: %s"), but not
// the argument checks of the functions themselves ("... Error: invalid
// param ...") nor the frame of a rule line's message ("Error: %s[%d]: ").
bool operator_message(const std::string& text)
{
    const std::size_t start = text.find_first_not_of('\a');
    const std::size_t error = text.find("Error:");
    return error != std::string::npos && (error == start || text.find(' ', start) + 1 == error) &&
           text.find("param") == std::string::npos && text.find("[%d]") == std::string::npos;
}

// The text of a rule line's message, which the parser frames with the file,
// line number and line: printable words on one line, starting with a letter
// (a display format starts with a conversion or ends with a line end, a word
// of a table has no blank). The C++ library's own texts ("basic_string:
// construction from null ...", "std::vector") are none.
bool line_text(const std::string& text)
{
    return !text.empty() && std::isalpha(static_cast<unsigned char>(text[0])) != 0 &&
           text.find(' ') != std::string::npos &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; }) &&
           text.find("Error") == std::string::npos &&
           text.find("basic_string") == std::string::npos && text.find("::") == std::string::npos;
}

// A message as compared: bells gone, line ends and tabs as blanks, one blank
// between words, and without the echoed file line at its end. In a message
// of the code a conversion (%d, %-10.6f, ...) becomes the byte 1, a text
// (%s) the byte 2.
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
            out += j < text.size() && text[j] == 's' ? '\2' : '\1';
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
    for (const char* tail : {": \1", ": \2", ": @"}) {
        if (out.size() > 3 && out.compare(out.size() - 3, 3, tail) == 0)
            out.resize(out.size() - 3);
    }
    return out;
}

// Does the page's text show the code's message? A conversion matches a
// placeholder ("@") or a number written out ("[1..6]" for "[1..%d]"), a text
// a placeholder or one of fills ("missing SSID argument").
bool shows(const std::string& code, const std::string& text, const words& fills = {},
           std::size_t c = 0, std::size_t t = 0)
{
    if (c == code.size())
        return t == text.size();
    if (code[c] != '\1' && code[c] != '\2')
        return t < text.size() && text[t] == code[c] && shows(code, text, fills, c + 1, t + 1);
    if (t < text.size() && text[t] == '@')
        return shows(code, text, fills, c + 1, t + 1);
    if (code[c] == '\2')
        return std::any_of(fills.begin(), fills.end(), [&](const std::string& fill) {
            return text.compare(t, fill.size(), fill) == 0 &&
                   shows(code, text, fills, c + 1, t + fill.size());
        });
    std::size_t end = t;
    if (end < text.size() && text[end] == '-')
        ++end;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) != 0 || text[end] == '.'))
        ++end;
    for (std::size_t e = end; e > t; --e) {
        if (shows(code, text, fills, c + 1, e))
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

// The messages of a subsystem's code that pass the test.
std::set<std::string> messages(const std::string& subsystem, bool (*is_message)(const std::string&))
{
    std::set<std::string> out;
    for (const std::string& text : held_texts(subsystem)) {
        if (is_message(text))
            out.insert(shape(text));
    }
    return out;
}

std::set<std::string> configuration_messages()
{
    std::set<std::string> out = messages("angles", operator_message);
    out.merge(messages("config", operator_message));
    out.merge(messages("serial",
                       [](const std::string& text) { return text.rfind("get_baud:", 0) == 0; }));
    return out;
}

std::set<std::string> rules_messages()
{
    std::set<std::string> out = messages("angles", operator_message);
    out.merge(messages("rules", operator_message));
    out.merge(messages("rules", line_text));
    return out;
}

// What the parser prints for lines that lack an argument, without the echoed
// line: each keyword alone, and a position without its longitude. The code
// holds the names of the arguments apart from their message.
std::vector<std::string> missing_argument_messages()
{
    std::vector<std::string> lines = {"position 45:0:0"};
    for (const conf_keyword& keyword : conf_keywords)
        lines.emplace_back(keyword.name);
    std::vector<std::string> out;
    const std::string path = temp_dir("man-conf") + "/pellomatic.conf";
    for (const std::string& line : lines) {
        write_file(path, line + "\n");
        const std::string printed = shape(stdout_of([&] { conf_process(path.c_str()); }));
        out.push_back(printed.substr(0, printed.rfind(": " + line)));
    }
    return out;
}

std::string readable(const std::string& message)
{
    std::string out;
    for (const char c : message)
        out += c == '\1' ? "%" : c == '\2' ? "%s" : std::string(1, c);
    return out;
}

void expect_same_messages(const std::string& page_name, const std::set<std::string>& code,
                          const words& fills = {})
{
    SCOPED_TRACE(page_name);
    ASSERT_GT(code.size(), 20u);
    const std::set<std::string> documented = page_messages(page_name);
    for (const std::string& message : code) {
        EXPECT_TRUE(
            std::any_of(documented.begin(), documented.end(),
                        [&](const std::string& text) { return shows(message, text, fills); }))
            << "not in the page: " << readable(message);
    }
    for (const std::string& text : documented) {
        EXPECT_TRUE(
            std::any_of(code.begin(), code.end(),
                        [&](const std::string& message) { return shows(message, text, fills); }))
            << "the program prints no such message: " << text;
    }
}

TEST(ManPages, ConfigurationMessagesAreExactlyThoseOfTheParser)
{
    expect_same_messages("pellomatic.conf.5", configuration_messages(), held_texts("config"));
    // The names of the missing arguments, which the code holds apart from
    // their message: each keyword's is documented.
    const std::set<std::string> documented = page_messages("pellomatic.conf.5");
    for (const std::string& message : missing_argument_messages()) {
        EXPECT_TRUE(std::any_of(documented.begin(), documented.end(),
                                [&](std::string text) {
                                    std::replace(text.begin(), text.end(), '@', '\1');
                                    return shows(text, message);
                                }))
            << "not in the page: " << message;
    }
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
