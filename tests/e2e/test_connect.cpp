// Connect, disconnect and baud change of the utility against the emulator:
// the handshake at the default rate and at 19200, every handshake failure
// with its message and dump, the version boundaries, exclusive use of the
// port, and the re-synchronisation after a baud change.
#include <algorithm>
#include <string>
#include <vector>

#include "support/com_numbers.hpp"
#include "support/e2e.hpp"

namespace {

using namespace pello::e2e;
using pello::test::sim_device;
namespace com = pello::test::com;

// What the emulator sent in the first of the identical sessions it traced:
// the loader prompt, the start-up text and any answer, as one stream.
bytes first_session_stream(const sim_device& sim, int sessions)
{
    std::vector<bytes> runs = traced(sim.log(), "send");
    bytes stream;
    for (std::size_t i = 0; i < runs.size() / static_cast<std::size_t>(sessions); ++i)
        stream.insert(stream.end(), runs[i].begin(), runs[i].end());
    return stream;
}

TEST(Connect, RatesCommandErrorsAndDisconnect)
{
    const std::string n = std::to_string(com::e2e_connect);
    sim_device sim(com::e2e_connect, {"--fill", "--loader-wait", "100"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("disconnect\nbaud 9600\nconnect\nconnect 0\nconnect com21\nconnect comX\n"
                         "connect " +
                         n + " 115200\nconnect " + n + " abc\nconnect " + n + "\nconnect com" + n +
                         "\nfirmware " + n + " x.hex\ndisconnect\nconnect COM" + n + " 19200\nx\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(transcript(r.out), P + "\a\aError: not Connected!\n" + P +
                                     "\a\aError: must be Connected before changing the Baud!\n" +
                                     P + "\a\aError: missing argument: com_port\n" + P +
                                     "\a\aError: invalid COM port number (1..20): 0\n" + P +
                                     "\a\aError: invalid COM port number (1..20): com21\n" + P +
                                     "\a\aError: invalid COM port number (1..20): comX\n" + P +
                                     "\a\aError: invalid baud rate: 115200\n" + P +
                                     "\a\aError: invalid baud rate: 0\n" + P + connect_ok(9600) +
                                     P + "\a\aError: already Connected!\n" + P +
                                     "\a\aError: already Connected, Disconnect first!\n" + P +
                                     "Disconnected\n" + P + connect_ok(19200) + P);
    // The attention character went out once per connect, nothing before it.
    sim.stop();
    std::vector<bytes> received = traced(sim.log(), "recv");
    EXPECT_EQ(received, (std::vector<bytes>{{0x03}, {0x03}}));
}

TEST(Connect, PortHeldByAnotherProgram)
{
    const std::string n = std::to_string(com::e2e_held);
    sim_device sim(com::e2e_held, {"--fill", "--loader-wait", "100"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    live_utility holder;
    holder.send("connect " + n + " 57600\n");
    ASSERT_TRUE(holder.wait_for("Connected at 57600\n", 10000)) << holder.out();

    const std::string fw = PELLO_SOURCE_DIR "/examples/firmware.hex";
    auto second = run_utility("connect " + n + " 57600\nfirmware " + n + " " + fw + "\ny\nx\n");
    std::string t = transcript(second.out);
    const std::string refused = "\a\aError: cannot open COM port COM" + n + ": ";
    std::size_t first = t.find(refused);
    ASSERT_NE(first, std::string::npos) << t;
    std::size_t end = t.find('\n', first);
    std::string cause = t.substr(first + refused.size(), end - first - refused.size());
    EXPECT_FALSE(cause.empty());
    EXPECT_EQ(t, P + "Connecting at 57600...\n" + refused + cause +
                     "\n\a\aError: could not open COM port COM" + n + "\n" + P +
                     "\a\aWARNING! This will alter the Pellomatic firmware!\n"
                     "Do you want to continue (n or y)? [n]: " +
                     refused + cause + "\n\a\aError: could not open COM port COM" + n +
                     "\n"
                     "Error: Firmware update failed!\n\tPower cycle Pellomatic and try again!\n" +
                     P);

    // Once the holder lets go, the port is free.
    holder.send("disconnect\n");
    ASSERT_TRUE(holder.wait_for("Disconnected\n", 5000)) << holder.out();
    auto third = run_utility("connect " + n + " 57600\nx\n");
    EXPECT_EQ(transcript(third.out), P + connect_ok(57600) + P);
    EXPECT_EQ(holder.finish(), 1);
}

TEST(Connect, VersionBoundaries)
{
    struct row {
        const char* version;
        const char* refused_as;  // nullptr: accepted
    };
    const row rows[] = {
        {"2.0", "2.0"},   {"1.9", "1.9"},    {"2", "2.0"},  // no '.': the minor counts as 0
        {"2.1", nullptr}, {"2.10", nullptr}, {"3.0", nullptr}, {"3", nullptr},
    };
    const std::string n = std::to_string(com::e2e_version);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.version);
        sim_device sim(com::e2e_version,
                       {"--fill", "--loader-wait", "100", "--device-version", r.version});
        ASSERT_TRUE(sim.ready()) << sim.err();
        if (r.refused_as != nullptr) {
            // Twice: the failed handshake has closed the port again.
            std::string refusal = P + connect_start(57600) +
                                  "\n\a\aError: received Pellomatic version " + r.refused_as +
                                  " but minimal is 2.1!\n";
            auto out =
                run_utility("connect " + n + " 57600\nconnect " + n + " 57600\ndisconnect\nx\n");
            EXPECT_EQ(transcript(out.out),
                      refusal + refusal + P + "\a\aError: not Connected!\n" + P);
        } else {
            auto out = run_utility("connect " + n + " 57600\ndisconnect\nx\n");
            EXPECT_EQ(transcript(out.out), P + connect_ok(57600) + P + "Disconnected\n" + P);
        }
    }
}

TEST(Connect, HandshakeFailuresShowWhatArrived)
{
    struct row {
        std::vector<std::string> options;
        int result;
    };
    const row rows[] = {
        {{"--no-name"}, 3},
        {{"--version-first"}, 4},
        {{"--confirm", "Connected 9600"}, 6},
    };
    const std::string n = std::to_string(com::e2e_handshake);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options[0]);
        std::vector<std::string> options = r.options;
        options.insert(options.end(), {"--fill", "--loader-wait", "100"});
        sim_device sim(com::e2e_handshake, options);
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility("connect " + n + " 57600\nconnect " + n + " 57600\nx\n");
        sim.stop();
        // The host's first read takes 100 bytes of what the device sent, its
        // read after 0x03 up to 1024 of the rest.
        bytes stream = first_session_stream(sim, 2);
        ASSERT_GE(stream.size(), 100u);
        std::string failure;
        if (r.result == 3) {
            failure =
                "\n\a\aError: did not receive the Pellomatic prompt!\nExpected: Pellomatic\n" +
                dump(bytes(stream.begin(), stream.begin() + 100));
        } else if (r.result == 4) {
            failure = "\n\a\aError: did not receive the Pellomatic version (minimum 2.1)!\n";
        } else {
            bytes read(stream.begin() + 100, stream.end());
            ASSERT_GE(read.size(), 16u);
            EXPECT_EQ(std::string(read.end() - 16, read.end()), "Connected 9600\r\n");
            read.resize(std::min<std::size_t>(read.size(), 1024));
            failure = "\n\a\aError: did not receive the Pellomatic Connected string!\n"
                      "Expected Connected 57600\n" +
                      dump(read);
        }
        // The same failure twice: the port was closed after the first.
        std::string once = P + connect_start(57600) + failure;
        EXPECT_EQ(transcript(out.out), once + once + P);
    }
}

// The one connect that waits its whole 20-second window: a device that stays
// silent gives the prompt failure with an empty dump, and only after the
// window has passed.
TEST(Connect, SilentDeviceAfterTheWholeWindow)
{
    sim_device sim(com::e2e_silent, {"--silent"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("connect " + std::to_string(com::e2e_silent) + " 57600\nx\n");
    EXPECT_EQ(transcript(r.out),
              P + connect_start(57600) +
                  "\n\a\aError: did not receive the Pellomatic prompt!\nExpected: Pellomatic\n"
                  "Got: length 0 (0x0):\n" +
                  P);
    EXPECT_GE(r.seconds, 20.0);
    EXPECT_LT(r.seconds, 25.0);
}

TEST(Baud, ChangeAndResynchronise)
{
    const std::string n = std::to_string(com::e2e_baud);
    {
        sim_device sim(com::e2e_baud, {"--fill", "--loader-wait", "100"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto r = run_utility("connect " + n +
                             " 57600\nbaud\nbaud 115200\nbaud 19200\nbaud 4800\n"
                             "disconnect\nx\n");
        EXPECT_EQ(transcript(r.out),
                  P + connect_ok(57600) + P + "\a\aError: missing argument: baud\n" + P +
                      "\a\aError: invalid baud rate: 115200\n" + P +
                      "Connecting at 19200...\n\aConnected at 19200\n" + P +
                      "Connecting at 4800...\n\aConnected at 4800\n" + P + "Disconnected\n" + P);
        sim.stop();
        // The device got the host commands and the carriage returns; the
        // refused rate sent nothing.
        std::vector<bytes> received = traced(sim.log(), "recv");
        std::string all;
        for (const bytes& run : received)
            all.append(run.begin(), run.end());
        EXPECT_EQ(all, "\x03host 19200\r\rhost 4800\r\r");
    }
    // The second test that waits a whole 20-second window: the prompt does
    // not come back after the rate change, and the link is given up.
    {
        sim_device sim(com::e2e_baud, {"--fill", "--no-prompt", "--loader-wait", "100"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto r = run_utility("connect " + n + " 57600\nbaud 38400\ndisconnect\nconnect " + n +
                             " 57600\nx\n");
        EXPECT_EQ(
            transcript(r.out),
            P + connect_ok(57600) + P +
                "Connecting at 38400...\n\a\aError: did not receive the Pellomatic prompt!\n" + P +
                "\a\aError: not Connected!\n" + P + connect_ok(57600) + P);
        EXPECT_GE(r.seconds, 20.0);
    }
}

}  // namespace
