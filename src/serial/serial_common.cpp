// What every port backend shares: the baud rates the layer accepts and the
// COM<n> path template.
#include "serial/serial.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pello {

const std::int32_t baud_table[14] = {110,   300,   600,   1200,  2400,  4800,   9600,
                                     14400, 19200, 38400, 56000, 57600, 115200, 0};

std::int32_t get_baud(long rate)
{
    if (rate == 0) {
        std::printf("get_baud: Error: invalid baud: %ld\n", rate);
        return 0;
    }
    for (int i = 0; baud_table[i] != 0; ++i)
        if (baud_table[i] == rate)
            return baud_table[i];
    return 0;
}

std::string port_device_path(const char* name, const char* path_template)
{
    if (name == nullptr || path_template == nullptr || std::strncmp(name, "COM", 3) != 0)
        return {};
    const char* digits = name + 3;
    const std::size_t count = std::strlen(digits);
    if (count == 0 || count > 9 || digits[0] == '0' ||
        std::strspn(digits, "0123456789") != count)
        return {};
    const long number = std::strtol(digits, nullptr, 10);

    std::string path;
    for (const char* t = path_template; *t != '\0'; ++t) {
        if (t[0] == '{' && (t[1] == 'n' || t[1] == 'i') && t[2] == '}') {
            path += std::to_string(t[1] == 'n' ? number : number - 1);
            t += 2;
        } else {
            path += *t;
        }
    }
    return path;
}

}  // namespace pello
