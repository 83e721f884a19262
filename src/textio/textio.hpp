// Reading text lines as a text-mode stream delivers them: a carriage return
// directly before a newline belongs to the line end and is delivered as the
// newline alone. Shared by the console (standard input), the Configuration and
// Rules file parsers and the firmware file check and update, so that every
// reader splits long lines and counts line ends the same way.
#pragma once

#include <cstdio>
#include <memory>

namespace pello {

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// A file open for reading, closed on every way out of its scope.
using text_file = std::unique_ptr<std::FILE, file_closer>;

// Opens a file for reading as text; null when it cannot be opened or is a
// folder (which the C library opens on some systems and reads as empty).
text_file open_text_file(const char* path);

// Reads at most size - 1 characters from file into buf, stopping after a
// newline, and terminates them with NUL (like fgets on a text-mode stream).
// NUL bytes of the input are stored as they are. Returns the number of
// characters stored, 0 at end of input with nothing read (buf then holds an
// empty text). size must be at least 2.
int read_text_line(std::FILE* file, char* buf, int size);

// Removes a final newline from buf (read by read_text_line) and returns the
// length of the remaining text, up to its first NUL.
int chop_line_end(char* buf);

}  // namespace pello
