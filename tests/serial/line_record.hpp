// The whole line settings of a terminal (its termios record and its rates),
// for comparing them before and after the port layer had the port.
#pragma once

#include <string>

namespace pello::test {

// The settings of the terminal at path as bytes; empty when unreadable.
std::string line_record(const std::string& path);

// Sets the terminal at path the way another program might have left it:
// 1200 baud, 2 stop bits, modem control lines heeded, XON/XOFF, canonical
// input with echo, output processing. False when refused.
bool set_line_of_another_program(const std::string& path);

}  // namespace pello::test
