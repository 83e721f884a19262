#include "faults.hpp"

#include <cerrno>
#include <cstring>

namespace pello::faults {

std::string firmware_file(const std::string& test_name)
{
    std::string text;
    for (const std::string& record : fw_records)
        text += record + "\n";
    return pello::test::write_file(pello::test::temp_dir(test_name) + "/fw.hex", text);
}

std::string read_failure(int com)
{
    // A hang-up carries no error code of its own: the read counts it as EIO.
    return "\a\aError: could not read on COM port " + pello::test::com::port_name(com) + ": " +
           std::strerror(EIO) + "\nReturn code 26, system error code " + std::to_string(EIO) + "\n";
}

bytes sent_stream(const sim_device& sim)
{
    bytes stream;
    for (const bytes& run : traced(sim.log(), "send"))
        for (const unsigned char b : run)
            if (b != 0)
                stream.push_back(b);
    return stream;
}

int progress_lines(const std::string& text)
{
    int lines = 0;
    for (std::size_t at = text.find("\r"); at != std::string::npos; at = text.find('\r', at + 1))
        ++lines;
    return lines;
}

}  // namespace pello::faults
