#include "textio/textio.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace pello {

namespace {

// Why a file that is not a regular file is refused.
int not_regular_error(const struct stat& info)
{
    return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
}

// The next character of file, or EOF. A read that a signal interrupted (the
// port layer's drain signal does not restart calls) is taken up again: a
// signal is never the end of the input, nor the operator's Enter.
int next_char(std::FILE* file)
{
    for (;;) {
        const int c = std::getc(file);
        if (c != EOF || std::ferror(file) == 0 || errno != EINTR)
            return c;
        std::clearerr(file);
    }
}

}  // namespace

text_file open_text_file(const char* path)
{
    struct stat info {};
#ifdef _WIN32
    text_file file(std::fopen(path, "r"));
    if (file != nullptr && fstat(fileno(file.get()), &info) == 0 && !S_ISREG(info.st_mode)) {
        errno = not_regular_error(info);
        return nullptr;
    }
    return file;
#else
    // Looked at before it is opened: opening a FIFO waits for a writer, and
    // opening a device acts on it (a serial line raises its modem lines).
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        errno = not_regular_error(info);
        return nullptr;
    }
    // Opened without waiting (which a regular file never does anyway), and
    // looked at again, in case something else took the name's place.
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    int error = fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : not_regular_error(info);
    text_file file(error == 0 ? fdopen(fd, "r") : nullptr);
    if (file == nullptr) {
        error = error != 0 ? error : errno;
        close(fd);
        errno = error;
    }
    return file;
#endif
}

int read_text_line(std::FILE* file, char* buf, int size)
{
    int n = 0;
    while (n < size - 1) {
        int c = next_char(file);
        if (c == EOF)
            break;
        if (c == '\r') {
            int next = next_char(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        buf[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    return n;
}

void line_pieces::next(const char* piece, int length, const char* comment_chars)
{
    continued_ = line_open_;
    if (!continued_)
        comment_ = false;
    after_comment_ = continued_ && comment_;
    if (comment_chars != nullptr && std::strpbrk(piece, comment_chars) != nullptr)
        comment_ = true;
    line_open_ = length > 0 && piece[length - 1] != '\n';
}

std::string shown_text(const char* text)
{
    std::string shown;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            static const char digits[] = "0123456789abcdef";
            shown += "\\x";
            shown += digits[c >> 4];
            shown += digits[c & 0x0F];
        } else {
            shown += *p;
        }
    }
    return shown;
}

int chop_line_end(char* buf)
{
    std::size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] == '\n')
        buf[--len] = '\0';
    return static_cast<int>(len);
}

std::string format_text(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::string text = vformat_text(format, args);
    va_end(args);
    return text;
}

std::string vformat_text(const char* format, std::va_list args)
{
    std::va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (size <= 0)
        return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

int to_int_saturating(const char* text, int base)
{
    const long value = std::strtol(text, nullptr, base);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

long long to_long_long_saturating(const char* text)
{
    return std::strtoll(text, nullptr, 10);
}

long leading_int(const char* text)
{
    if (text == nullptr)
        return 0;
    // Held at the 32-bit range, and symmetrically: every value read this way
    // (port numbers, rates, version numbers) lands in a 32-bit field.
    return std::max(to_int_saturating(text, 10), -INT32_MAX);
}

long com_port_number(const char* word)
{
    if (word == nullptr)
        return 0;
    long number = leading_int(word);
    if (number == 0 && std::strlen(word) >= 3 &&
        std::tolower(static_cast<unsigned char>(word[0])) == 'c' &&
        std::tolower(static_cast<unsigned char>(word[1])) == 'o' &&
        std::tolower(static_cast<unsigned char>(word[2])) == 'm')
        number = leading_int(word + 3);
    return number;
}

float to_float_or_infinity(double value)
{
    if (value > FLT_MAX)
        return INFINITY;
    if (value < -FLT_MAX)
        return -INFINITY;
    return static_cast<float>(value);
}

bool read_operator_line(char* buf, int size)
{
    return read_text_line(stdin, buf, size) > 0;
}

bool ask_yes_no(const char* question, char* answer, int size)
{
    std::printf("%s", question);
    if (!read_operator_line(answer, size)) {
        std::printf("\n");
        return false;
    }
    return answer[0] == 'y' || answer[0] == 'Y';
}

}  // namespace pello
