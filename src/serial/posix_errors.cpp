// The system error of the backends on POSIX systems (the Linux one and the
// fuzz build's fake port): errno and its text. The Win32 backend has its own,
// of GetLastError.
#include "serial/serial.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pello {

namespace port_backend {

const char* system_error_text()
{
    static char error_text[1024];
    const int error = errno;
    std::snprintf(error_text, sizeof error_text, "%s", std::strerror(error));
    errno = error;
    return error_text;
}

int system_error()
{
    return errno;
}

void set_system_error(int error)
{
    errno = error;
}

}  // namespace port_backend

}  // namespace pello
