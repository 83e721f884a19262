// Reading text lines as a text-mode stream delivers them: a carriage return
// directly before a newline belongs to the line end and is delivered as the
// newline alone. Shared by the console (standard input), the Configuration and
// Rules file parsers and the firmware file check and update, so that every
// reader splits long lines and counts line ends the same way, opens only
// regular files, and shows a file's text in its messages the same way.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace pello {

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

// Text of a file (a line, or a word of it) as a message shows it: control
// bytes (below 0x20 except tab, and 0x7F) as \x and two lower-case hex
// digits, every other byte as it is. A line cannot then clear or retitle the
// operator's screen, while ordinary text, UTF-8 included, shows unchanged.
// The text ends at its first NUL.
std::string shown_text(const char* text);

// Removes a final newline from buf (read by read_text_line) and returns the
// length of the remaining text, up to its first NUL.
int chop_line_end(char* buf);

}  // namespace pello
