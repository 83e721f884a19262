// The handshake results that need the line itself to fail or to answer in a
// way the emulator does not: a refused attention write, a refused carriage
// return, a missing prompt and a successful re-synchronisation, on a
// pseudo-terminal standing in for the device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "device/device.hpp"
#include "serial/serial.hpp"
#include "support/com_numbers.hpp"
#include "support/pty.hpp"

namespace {

using bytes = std::vector<unsigned char>;
using pello::test::stdout_of;

// The name the host opens for the pseudo-terminal of these tests.
const std::string line_port = pello::test::com::port_name(pello::test::com::device_link);

bytes text_bytes(const std::string& text, std::size_t pad_to = 0)
{
    bytes b(text.begin(), text.end());
    if (b.size() < pad_to)
        b.resize(pad_to, '-');
    return b;
}

class LinkLine : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer_.ready());
        pello::link_reset();
        std::snprintf(pello::link_state.port_name, sizeof pello::link_state.port_name, "%s",
                      line_port.c_str());
    }
    void TearDown() override { pello::link_reset(); }
    // Opens the port as a successful connect leaves it.
    void connected()
    {
        int opened = 0;
        std::string out = stdout_of([&] { opened = pello::open_port(line_port.c_str(), 57600); });
        ASSERT_EQ(opened, 0) << out;
        pello::link_state.connected = 1;
    }

    pello::test::pty_port peer_{pello::test::com::device_link};
};

TEST_F(LinkLine, AttentionWriteRefusedGivesResult5)
{
    peer_.stop_output(true);
    auto device = std::async(std::launch::async, [&] {
        if (!peer_.wait_opened())
            return;
        // Past the host's drain window, into its wait for the start-up text.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        peer_.write(text_bytes("Pellomatic Version 2.1\r\n", 100));
    });
    int result = 0;
    std::string out = stdout_of([&] { result = pello::connect_device(57600, 0); });
    device.get();
    EXPECT_EQ(result, 5);
    EXPECT_EQ(pello::link_state.connected, 0);
    EXPECT_FALSE(pello::port_is_open());
    const std::string head =
        "Connecting at 57600...\n"
        "\a\aTURN ON the Pellomatic or CYCLE THE POWER if it is already on.\n"
        "You have 20 seconds to do this...\a\aError: wrote 0 of 1, got error on port " +
        line_port + ": ";
    const std::string tail =
        "\n\n\a\aError: wrote <ctrl>-c attention character, got error on port " + line_port + "\n";
    EXPECT_EQ(out.substr(0, head.size()), head) << out;
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
}

TEST_F(LinkLine, ResynchronisationResults)
{
    struct row {
        const char* name;
        bytes answer;      // what the device has sent before the carriage return
        bool stop_output;  // the carriage return cannot be written
        int result;
        std::string out;
    };
    const row rows[] = {
        {"prompt", text_bytes("\r\nPellom> ", 1024), false, 0,
         "Connecting at 19200...\n\aConnected at 19200\n"},
        {"prompt_late_in_read", text_bytes(std::string(1000, 'x') + "Pellom> ", 1024), false, 0,
         "Connecting at 19200...\n\aConnected at 19200\n"},
        {"no_prompt", text_bytes("Pellom>", 1024), false, 8,
         "Connecting at 19200...\n\a\aError: did not receive the Pellomatic prompt!\n"},
        {"cr_refused", {}, true, 7, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        connected();
        peer_.write(r.answer);
        peer_.stop_output(r.stop_output);
        int result = 0;
        std::string out = stdout_of([&] { result = pello::connect_device(19200, 1); });
        peer_.stop_output(false);
        EXPECT_EQ(result, r.result);
        EXPECT_EQ(pello::link_state.connected, r.result == 0 ? 1 : 0);
        EXPECT_EQ(pello::port_is_open(), r.result == 0);
        if (r.result == 7) {
            EXPECT_EQ(out.rfind("Connecting at 19200...\n\a\aError: wrote 0 of 1, got error on "
                                "port " +
                                    line_port + ": ",
                                0),
                      0u)
                << out;
            const std::string tail =
                "\n\a\aError: wrote CR character, got error on port " + line_port + "\n";
            EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
        } else {
            EXPECT_EQ(out, r.out);
            EXPECT_EQ(peer_.read(1, 500), bytes{'\r'});
        }
        pello::close_port();
        pello::link_state.connected = 0;
        peer_.read(4096, 50);
    }
}

}  // namespace
