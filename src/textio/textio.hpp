// Reading text lines as a text-mode stream delivers them: a carriage return
// directly before a newline belongs to the line end and is delivered as the
// newline alone. Shared by the console (standard input), the Configuration and
// Rules file parsers and the firmware file check and update, so that every
// reader splits long lines and counts line ends the same way, opens only
// regular files, and shows a file's text in its messages the same way.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>

// Marks a printf-like function whose format is argument 1, its values from 2.
#if defined(__MINGW32__)
#define PELLO_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define PELLO_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#endif

namespace pello {

// Size of a line buffer: the operator's command lines, the lines of the
// Configuration and Rules files and a firmware file name.
inline constexpr int line_size = 256;

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// A file open for reading, closed on every way out of its scope.
using text_file = std::unique_ptr<std::FILE, file_closer>;

// Opens a regular file for reading as text; null, with errno set, when it
// cannot be opened or is anything else: a folder (EISDIR; the C library opens
// one on some systems and reads it as empty), a FIFO, a device or a socket
// (EINVAL). Anything but a regular file is refused without blocking: the open
// of a FIFO would wait for a writer, and a device such as /dev/zero never
// ends.
text_file open_text_file(const char* path);

// Reads at most size - 1 characters from file into buf, stopping after a
// newline, and terminates them with NUL (like fgets on a text-mode stream).
// NUL bytes of the input are stored as they are. Returns the number of
// characters stored, 0 at end of input with nothing read (buf then holds an
// empty text). size must be at least 2.
int read_text_line(std::FILE* file, char* buf, int size);

// Follows the pieces of physical lines that read_text_line delivers: a line
// longer than the buffer comes in several pieces, each counted as a line of
// its own. Told each piece as read (before its line end is removed), it says
// whether that piece continues the line of the piece before, and whether a
// comment character (any of comment_chars, when given) came earlier in that
// line: the piece is then part of a comment, never text of its own.
class line_pieces {
public:
    void next(const char* piece, int length, const char* comment_chars = nullptr);
    bool continued() const { return continued_; }
    bool after_comment() const { return after_comment_; }

private:
    bool line_open_ = false;  // the last piece did not end its line
    bool comment_ = false;    // the line so far holds a comment character
    bool continued_ = false;
    bool after_comment_ = false;
};

// Text of a file (a line, or a word of it) as a message shows it: control
// bytes (below 0x20 except tab, and 0x7F) as \x and two lower-case hex
// digits, every other byte as it is. A line cannot then clear or retitle the
// operator's screen, while ordinary text, UTF-8 included, shows unchanged.
// The text ends at its first NUL.
std::string shown_text(const char* text);

// Removes a final newline from buf (read by read_text_line) and returns the
// length of the remaining text, up to its first NUL.
int chop_line_end(char* buf);

// printf into a string of whatever length the text needs; empty when the
// format gives nothing or fails.
PELLO_PRINTF_FORMAT std::string format_text(const char* format, ...);
std::string vformat_text(const char* format, std::va_list args);

// Integer text as strtol reads it (leading white space, one sign, digits of
// base, which may be 0 for a 0x or 0 prefix; 0 without digits), held at the
// int range so that a huge value still fails a range check instead of
// wrapping into it.
int to_int_saturating(const char* text, int base);

// Decimal integer text as strtoll reads it, held at the long long range.
long long to_long_long_saturating(const char* text);

// The leading decimal integer of text (blanks and one sign allowed, 0 when
// there are no digits or no text), as the commands read port numbers and
// rates and the link reads the device's version.
long leading_int(const char* text);

// The COM port number of a command argument: 3, com3, COM3 and Com03 all give 3;
// 0 when the word gives no number.
long com_port_number(const char* word);

// A double narrowed to a float, magnitudes past the float range becoming
// infinities (which then fail every range test).
float to_float_or_infinity(double value);

// Reads one operator line from standard input into buf (at most size - 1
// characters, ending after a line end). Returns false at end of input.
bool read_operator_line(char* buf, int size);

// Prints question and reads the operator's answer into answer (size bytes).
// True only for an answer beginning with y or Y; at end of input the
// question's line is ended with a newline and the answer is no.
bool ask_yes_no(const char* question, char* answer, int size);

// A cursor that splits a line into words one at a time, the way the console
// takes a command and its arguments and the file parsers take keywords and
// values. Each call to next_word skips leading separators, ends the word at
// the next separator (overwritten by NUL) and resumes right after that one
// separator; the position lives in the cursor, not in hidden state.
struct word_cursor {
    char* next;  // where the next word search starts; nullptr once used up
};

// The next word of the line, split at any of separators, or nullptr when
// only separators (or nothing) remain.
char* next_word(word_cursor& cursor, const char* separators);

// How a word selects a name of a table: as any abbreviation of it (the
// first strlen(word) characters, the whole name included) or only as the
// whole name, ASCII letter case ignored either way.
enum class word_rule { abbreviation, whole_word };

bool word_selects(const char* word, const char* name, word_rule rule);

// What a word selects among the entries of a table: the first entry (nullptr
// when none) and how many entries. A table read by abbreviation calls a word
// that selects more than one ambiguous, even two names of the same meaning;
// no whole name wins over the longer names it abbreviates.
template <typename Entry>
struct word_match {
    const Entry* first = nullptr;
    int count = 0;
};

// Looks word up among entries, the entries a word may select (a caller
// leaves out the others); name_of gives an entry's name, such as a member
// pointer &entry::name, or std::identity for a table of names.
template <typename Entry, typename NameOf>
word_match<Entry> match_word(const char* word, std::span<const Entry> entries, NameOf name_of,
                             word_rule rule)
{
    word_match<Entry> match;
    for (const Entry& entry : entries) {
        if (!word_selects(word, std::invoke(name_of, entry), rule))
            continue;
        if (match.count++ == 0)
            match.first = &entry;
    }
    return match;
}

}  // namespace pello
