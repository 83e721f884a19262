// Noise, bytes above 0x7F and NUL storms on the line. The host's first read
// of the handshake takes exactly 100 counted bytes: the loader prompt ENQ and
// the first 99 bytes of what follows it. Noise in front of the start-up text
// pushes the device name and the version out of that window byte by byte;
// every case ends in the handshake's own result with its message (and dump),
// or in success. NUL bytes are dropped by the port: thousands of them neither
// count as received nor end a read early.
#include "faults.hpp"

#include <algorithm>
#include <cstdio>

namespace pello::faults {
namespace {

std::string version_refused(const std::string& version)
{
    return "\n\a\aError: received Pellomatic version " + version + " but minimal is 2.1!\n";
}

const std::string no_version =
    "\n\a\aError: did not receive the Pellomatic version (minimum 2.1)!\n";
const std::string no_name =
    "\n\a\aError: did not receive the Pellomatic prompt!\nExpected: Pellomatic\n";

TEST(Noise, StartUpTextWindowAndHighBytes)
{
    com_lock lock(com_b);
    const std::string port = std::to_string(com_b);
    // The start-up text after N noise bytes: ENQ (1), noise (N), "\r\n" (2),
    // "Pellomatic packet digipeater\r\n" (30), "Version 2.1\r\n". In the first
    // 100 bytes "Pellomatic" is whole up to N = 87, "Version " up to N = 59,
    // "Version 2.1" up to N = 56; N = 57 ends the window at "Version 2.".
    struct row {
        const char* name;
        std::vector<std::string> options;
        std::string outcome;  // after the start of the connect; "dump": no name, dump of 100 bytes
    };
    const std::string high_version = "\xB2.1";  // not a digit: major 0
    const row rows[] = {
        {"56 noise bytes: the version just fits", {"--noise", "56"}, "ok"},
        {"57 noise bytes: the minor is cut off", {"--noise", "57"}, version_refused("2.0")},
        {"60 noise bytes: \"Version \" is cut", {"--noise", "60"}, no_version},
        {"87 noise bytes: only the name fits", {"--noise", "87"}, no_version},
        {"88 noise bytes: the name is cut", {"--noise", "88"}, "dump"},
        {"300 noise bytes", {"--noise", "300"}, "dump"},
        {"a version byte above 0x7F", {"--device-version", high_version}, version_refused("0.1")},
        {"bytes above 0x7F before the confirmation",
         {"--confirm", "\x80\xFF\xC3"
                       "Connected 57600"},
         "ok"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        // The device powers up when the host's drain ends, or 600 ms after the
        // open (well after the drain): the loader prompt is the first byte of the window.
        std::vector<std::string> options = {"--power-delay", "600", "--loader-wait", "100",
                                            "--fill"};
        options.insert(options.end(), r.options.begin(), r.options.end());
        sim_device sim(com_b, options);
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility("connect " + port + " 57600\nx\n");
        sim.stop();
        EXPECT_EQ(out.status, 0);
        std::string outcome = r.outcome;
        if (outcome == "ok") {
            outcome = connect_ok(57600).substr(connect_start(57600).size());
        } else if (outcome == "dump") {
            bytes stream = sent_stream(sim);
            ASSERT_GE(stream.size(), 100u);
            outcome = no_name + dump(bytes(stream.begin(), stream.begin() + 100));
        }
        EXPECT_EQ(transcript(out.out), P + connect_start(57600) + outcome + P);
    }

    // A reply byte above 0x7F to a download packet is shown as two hex digits.
    sim_device sim(com_b, {"--loader-wait", "100", "--fill", "--reply-at", "1:0xFF"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto out = run_utility("connect " + port + " 57600\ndownload\ny\ny\nx\n");
    EXPECT_EQ(transcript(out.out), P + connect_ok(57600) + P + q_conf + q_rules +
                                       "\a\aError: reading ack or nak: got 0xff\n"
                                       "\a\aError: writing Configuration command failed: -5\n"
                                       "\a\aError: Download failed: -1\n" +
                                       power_off + P);
}

TEST(Noise, NulStorms)
{
    com_lock lock(com_a);
    const std::string port = std::to_string(com_a);
    const std::string fw = firmware_file("faults-nul-storm");
    {
        // 40 NUL bytes before every byte the device sends: inside the device
        // name, the version, "Connected 57600" and the prompt, before the
        // loader prompt and every ACK (tens of thousands in all). With
        // --fill the confirmation, and the prompt after the baud change, end
        // exactly the 1024 counted bytes of the host's read: a read that
        // counted NUL bytes would end long before them.
        sim_device sim(com_a, {"--nul-storm", "40", "--fill", "--loader-wait", "500"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility("connect " + port +
                               " 57600\nbaud 19200\ndownload\ny\ny\n"
                               "firmware " +
                               port + " " + fw + "\ny\n\nx\n");
        EXPECT_EQ(out.status, 0);
        std::string t = transcript(out.out);
        const std::string head = P + connect_ok(57600) + P +
                                 "Connecting at 19200...\n\aConnected at 19200\n" + P + q_conf +
                                 q_rules + download_ok + power_off + P + fw_question + fw_warning +
                                 fw_in_contact + "\n\n";
        const std::string tail = "\nDisconnected\n" + fw_succeeded + P;
        ASSERT_GE(t.size(), head.size() + tail.size()) << t;
        EXPECT_EQ(t.substr(0, head.size()), head);
        EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
        EXPECT_EQ(progress_lines(t.substr(head.size(), t.size() - head.size() - tail.size())),
                  static_cast<int>(fw_records.size()));
        sim.stop();
        std::vector<logged_packet> got = logged_packets(sim.file("packets.log"));
        EXPECT_EQ(got.size(), 5u);
        EXPECT_EQ(lines_of(sim.file("firmware.log")), fw_records);
    }
    {
        // Noise in the storm: the dump shows the first 100 bytes that are not
        // NUL, whatever number of NUL bytes came between them.
        sim_device sim(com_a, {"--nul-storm", "30", "--noise", "300", "--power-delay", "600",
                               "--loader-wait", "100"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility("connect " + port + " 57600\nx\n");
        sim.stop();
        bytes stream = sent_stream(sim);
        ASSERT_GE(stream.size(), 100u);
        EXPECT_EQ(transcript(out.out), P + connect_start(57600) + no_name +
                                           dump(bytes(stream.begin(), stream.begin() + 100)) + P);
    }
}

// Another device on the port (a GPS receiver) sends a sentence every 50 ms,
// so the line never falls silent for the 100 ms of a drain read. The drain
// gives up after its second; the handshake and the loader prompt then fail
// with their own messages, showing bytes of the sentence, long before their
// 20-second windows.
TEST(Noise, LineThatNeverFallsSilent)
{
    com_lock lock(com_a);
    const std::string port = std::to_string(com_a);
    const std::string fw = firmware_file("faults-chatter");
    struct row {
        const char* name;
        std::string input;
        std::string head;                // up to the bytes shown
        std::vector<std::size_t> shown;  // how many bytes may be shown
        std::string tail;
    };
    const row rows[] = {
        {"connect", "connect " + port + "\nx\n", P + connect_start(9600) + no_name, {100}, P},
        {"firmware",
         "firmware " + port + " " + fw + "\ny\n\nx\n",
         P + fw_question + fw_warning +
             "\n\a\aError: did not receive the Pellomatic Firmware prompt!\n",
         {1, 2, 3, 4},
         "Disconnected\n" + fw_failed + P},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        sim_device sim(com_a, {"--chatter", "50"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility(r.input, 30000);
        sim.stop();
        ASSERT_FALSE(out.timed_out) << out.out;
        // The drain (a second, and the read under way then: 150 ms at 9600
        // baud), then the first bytes of the chatter; generous slack for a
        // loaded machine, still far below the 20-second windows.
        EXPECT_LT(out.seconds, 1.15 + 3.0);
        // What is shown is some stretch of the repeated sentence: the
        // purge may have cut a sentence anywhere. After the loader prompt's
        // first byte its next three come with it, or (a sentence cut just
        // before its end, the next one late) fewer.
        const bytes sentence = traced(sim.log(), "send").at(0);
        std::vector<std::string> expected;
        for (const std::size_t n : r.shown) {
            for (std::size_t from = 0; from < sentence.size(); ++from) {
                bytes shown;
                for (std::size_t i = 0; i < n; ++i)
                    shown.push_back(sentence[(from + i) % sentence.size()]);
                if (n > 4) {
                    expected.push_back(r.head + dump(shown) + r.tail);
                    continue;
                }
                std::string got = "Got " + std::to_string(n) + ":";
                for (const unsigned char b : shown) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, " 0x%02x", b);
                    got += hex;
                }
                expected.push_back(r.head + got + "\n" + r.tail);
            }
        }
        const std::string t = transcript(out.out);
        EXPECT_NE(std::find(expected.begin(), expected.end(), t), expected.end()) << t;
    }
}

}  // namespace
}  // namespace pello::faults
