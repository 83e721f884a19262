// The firmware update's failures before the first record that the emulator
// cannot provoke: refused writes (the line's output stopped), a missing sync
// acknowledgement and a refused identifier, on a pseudo-terminal standing in
// for the loader. The port and the file are closed on every one of them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "device/device.hpp"
#include "serial/serial.hpp"
#include "support/com_numbers.hpp"
#include "support/pty.hpp"

namespace {

using bytes = std::vector<unsigned char>;
using pello::test::pty_port;

// The name the host opens for the pseudo-terminal of these tests.
const std::string line_port = pello::test::com::port_name(pello::test::com::device_loader);

int open_descriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// The loader powers up once the host has opened the port and drained it.
bool power_up(pty_port& peer, const bytes& first)
{
    if (!peer.wait_opened())
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    peer.write(first);
    return true;
}

TEST(FirmwareLoaderLine, FailuresBeforeTheFirstRecord)
{
    const bytes SYN = {0x16}, ACK = {0x06}, NAK = {0x15};
    struct row {
        const char* name;
        bool stop_from_start;
        std::function<void(pty_port&)> device;
        int result;
        std::string message;  // the last message before "Disconnected"
    };
    const row rows[] = {
        {"sync_write_refused", true, [](pty_port& p) { power_up(p, {0x05}); }, -7,
         "\n\a\aError: wrote FIRMSYNC sync character, got error on port " + line_port + "\n"},
        {"no_sync_ack", false,
         [&](pty_port& p) {
             if (power_up(p, {0x05}) && p.read(1) == SYN)
                 p.write(NAK);
         },
         -8, "\n\a\aError: did not synchronize with the Pellomatic!\n"},
        {"identifier_write_refused", false,
         [&](pty_port& p) {
             if (power_up(p, {0x05}) && p.read(1) == SYN) {
                 p.stop_output(true);
                 p.write(ACK);
             }
         },
         -9, "\n\a\aError: wrote PeLoMa1.0 identifier, got error on port " + line_port + "\n"},
        // A stray byte before the prompt: the prompt is still caught.
        {"identifier_refused", false,
         [&](pty_port& p) {
             if (power_up(p, {0x41, 0x05}) && p.read(1) == SYN) {
                 p.write(ACK);
                 bytes id = p.read(9);
                 if (std::string(id.begin(), id.end()) == "PeLoMa1.0")
                     p.write(NAK);
             }
         },
         -10, "\n\a\aError: did not receive PeLoMa identifier acknowledgement!\n"},
        {"record_write_refused", false,
         [&](pty_port& p) {
             if (power_up(p, {0x05}) && p.read(1) == SYN) {
                 p.write(ACK);
                 if (p.read(9).size() == 9) {
                     p.stop_output(true);
                     p.write(ACK);
                 }
             }
         },
         -11,
         "\a\aError: wrote FIRMSYNC attention character, got error on port " + line_port + "\n"},
    };

    // The Enter the update waits for: end of input continues.
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        pty_port peer(pello::test::com::device_loader);
        ASSERT_TRUE(peer.ready());
        peer.stop_output(r.stop_from_start);
        int descriptors = open_descriptors();
        auto device = std::async(std::launch::async, [&] { r.device(peer); });
        int result = 0;
        std::string out = pello::test::stdout_of(
            [&] { result = pello::firmware(13, PELLO_SOURCE_DIR "/examples/firmware.hex"); });
        device.get();
        EXPECT_EQ(result, r.result);
        EXPECT_FALSE(pello::port_is_open());
        EXPECT_EQ(open_descriptors(), descriptors);  // the file is closed too
        const std::string tail = r.message + "Disconnected\n";
        ASSERT_GE(out.size(), tail.size()) << out;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
        // A refused write reports itself first.
        EXPECT_EQ(out.find("\a\aError: wrote 0 of ") != std::string::npos,
                  r.result == -7 || r.result == -9 || r.result == -11)
            << out;
    }
}

}  // namespace
