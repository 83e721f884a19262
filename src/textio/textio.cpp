#include "textio/textio.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace pello {

text_file open_text_file(const char* path)
{
    text_file file(std::fopen(path, "r"));
    struct stat info {};
    if (file != nullptr && fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    return file;
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

int chop_line_end(char* buf)
{
    std::size_t len = std::strlen(buf);
    if (len > 0 && buf[len - 1] == '\n')
        buf[--len] = '\0';
    return static_cast<int>(len);
}

}  // namespace pello
