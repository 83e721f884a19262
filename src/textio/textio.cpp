#include "textio/textio.hpp"

#include <cerrno>
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
        int c = std::getc(file);
        if (c == EOF)
            break;
        if (c == '\r') {
            int next = std::getc(file);
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

}  // namespace pello
