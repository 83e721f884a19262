// The command interpreter: start-up, the main loop, command matching and
// dispatch.
#include "console/console.hpp"

#include "config/config.hpp"
#include "device/device.hpp"
#include "rules/rules.hpp"
#include "textio/textio.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pello {

char line_buf[line_size];
char prev_line[line_size];

namespace {

const char version_text[] = "Version 2.1";

// Separators of a command word and of com_port and baud arguments.
const char word_separators[] = ", \t";
// Separators of a file_name argument: blanks belong to the name.
const char name_separators[] = ",\t";

// configure and rules: the file_name argument goes to the file's parser.
void file_command(word_cursor& words, int (*process)(const char*), const char* failure)
{
    const char* file_name = next_word(words, name_separators);
    if (file_name == nullptr) {
        std::printf("\a\aError: missing argument: file_name\n");
        return;
    }
    if (process(file_name) != 0)
        std::printf("%s", failure);
}

// connect and firmware: the com_port argument, then one more, split at its
// own separators.
void port_command(word_cursor& words, const char* separators,
                  void (*command)(const char*, const char*))
{
    const char* port_word = next_word(words, word_separators);
    const char* second = next_word(words, separators);
    command(port_word, second);
}

// Runs one command; false when the command ends the program (exit, quit, x).
bool dispatch(const cmd_entry& entry, word_cursor& words)
{
    switch (entry.code) {
    case cmd_help:
        cmd_summary();
        break;
    case cmd_angles:
        std::printf("%s\n", angles_help);
        break;
    case cmd_configure:
        file_command(words, conf_process, "\a\aError: Configuration processing failed\n");
        break;
    case cmd_dconfigure:
        conf_display();
        break;
    case cmd_rules:
        file_command(words, rules_process, "\a\aError: Rule processing failed\n");
        break;
    case cmd_drules:
        rules_display();
        break;
    case cmd_connect:
        port_command(words, word_separators, connect_command);
        break;
    case cmd_disconnect:
        disconnect_command();
        break;
    case cmd_baud:
        baud_command(next_word(words, word_separators));
        break;
    case cmd_download:
        download_command(line_buf, line_size);
        break;
    case cmd_firmware:
        port_command(words, name_separators, firmware_command);
        break;
    case cmd_exit:
        return false;
    default:
        // The "." entry has no action of its own: a line that begins with
        // "." is a repeat, so the word only arrives here after a blank.
        std::printf("\a\aInternal Error: command %d is invalid!\n", static_cast<int>(entry.code));
        break;
    }
    return true;
}

// Copies the text of a line buffer (up to its first NUL) into another one,
// zero-filling the rest.
void copy_line(char* to, const char* from)
{
    const void* end = std::memchr(from, '\0', line_size - 1);
    const std::size_t length = end != nullptr
                                   ? static_cast<std::size_t>(static_cast<const char*>(end) - from)
                                   : line_size - 1;
    std::fill(to + length, to + line_size, '\0');
    std::copy(from, from + length, to);
}

}  // namespace

void console_reset()
{
    std::memset(line_buf, 0, sizeof line_buf);
    std::memset(prev_line, 0, sizeof prev_line);
}

// Every entry counts, the hidden aliases included.
const cmd_entry* cmd_match(const char* word)
{
    const word_match<cmd_entry> match =
        match_word(word, cmd_table, &cmd_entry::name, word_rule::abbreviation);
    if (match.count > 1) {
        std::printf("\a\aError: ambiguous command: %s\n", word);
        return nullptr;
    }
    if (match.first == nullptr)
        std::printf("\a\aError: unknown command: %s\n", shown_text(word).c_str());
    return match.first;
}

int console_main()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::printf("Pellomatic PC Host Utility %s", version_text);
    std::printf("\n");
    conf_reset();
    cmd_summary();
    std::printf("\n");

    for (;;) {
        std::printf("Command> ");
        // A line longer than the buffer arrives in pieces, each one a
        // command line of its own.
        if (!read_operator_line(line_buf, line_size)) {
            std::printf("\n");
            return 1;
        }
        if (line_buf[0] == '\n')
            continue;
        chop_line_end(line_buf);

        // "." repeats the previous line; any other line becomes it.
        if (line_buf[0] == '.')
            copy_line(line_buf, prev_line);
        else
            copy_line(prev_line, line_buf);

        word_cursor words{line_buf};
        const char* word = next_word(words, word_separators);
        if (word == nullptr)
            continue;
        // exit, quit and x end the program at once with status 0, printing
        // nothing and leaving an open link to be released with the process.
        if (const cmd_entry* entry = cmd_match(word); entry != nullptr && !dispatch(*entry, words))
            return 0;
    }
}

}  // namespace pello
