// The device emulator driven directly over its pseudo-terminal, as the host
// would: the power-up, the console answers, the packet checks and the loader.
#include "support/com_numbers.hpp"
#include "support/run.hpp"
#include "support/sim.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace pello::test {
namespace {

using bytes = std::string;

// Fast power-up for these tests; the host here does not drain the line.
const std::vector<std::string> quick = {"--power-delay", "20", "--loader-wait", "100"};

std::vector<std::string> with(std::vector<std::string> options)
{
    options.insert(options.begin(), quick.begin(), quick.end());
    return options;
}

// The host's end of the line: the linked slave, raw at 9600 baud.
struct host_line {
    int fd = -1;
    bool hung_up = false;

    explicit host_line(const std::string& path)
    {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (fd >= 0 && tcgetattr(fd, &t) == 0) {
            cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD;
            cfsetispeed(&t, B9600);
            cfsetospeed(&t, B9600);
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    ~host_line() { close_line(); }
    void close_line()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    void send(const bytes& b)
    {
        ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }

    // Reads until want bytes have come or timeout_ms has passed.
    bytes read(std::size_t want, int timeout_ms)
    {
        bytes got;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char buf[1024];
            const ssize_t n = ::read(fd, buf, std::min(sizeof buf, want - got.size()));
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
            } else if ((p.revents & (POLLHUP | POLLERR)) != 0) {
                hung_up = true;
                break;
            }
        }
        return got;
    }

    // The whole start-up: ENQ, then the text up to its last line (or a pause).
    bytes power_up()
    {
        bytes got = read(1, 2000);
        while (got.find("Ready\r\n") == bytes::npos) {
            const bytes more = read(1, got.size() == 1 ? 1000 : 200);
            if (more.empty())
                break;
            got += more;
        }
        return got;
    }

    void enter_packet_mode()
    {
        power_up();
        send("download\r\n");
        ASSERT_EQ(read(10, 1000), "download\r\n");
    }
};

// CRC-16/AUG-CCITT of the packet bytes before the CRC field.
unsigned crc16(const bytes& b)
{
    unsigned crc = 0x1D0F;
    for (const char c : b) {
        crc ^= static_cast<unsigned>(static_cast<unsigned char>(c)) << 8;
        for (int i = 0; i < 8; ++i)
            crc = ((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1) & 0xFFFF;
    }
    return crc;
}

bytes packet(const bytes& payload)
{
    const std::size_t n = payload.size() + 4;
    bytes p = {static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)};
    p += payload;
    const unsigned crc = crc16(p);
    return p + static_cast<char>(crc >> 8) + static_cast<char>(crc & 0xFF);
}

bytes hex(const char* text)
{
    bytes b;
    for (const char* p = text; p[0] != '\0' && p[1] != '\0';) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        b += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
        p += 2;
    }
    return b;
}

const bytes conf_packet = hex("00 15 63 6F 6E 66 00 00 00 00 00 00 00 00 31 32 30 00 00 5A 09");
const bytes rules0_packet = hex("00 15 72 75 6C 65 73 00 00 00 00 00 00 00 30 00 00 00 00 E6 AA");
const bytes rules56_packet = hex("00 15 72 75 6C 65 73 00 00 00 00 00 00 00 35 36 00 00 00 CE 8D");
const bytes finish_packet = hex("00 15 2D 63 65 73 74 66 69 6E 69 2D 00 00 00 00 00 00 00 5D CF");
const bytes abc_packet = hex("00 07 61 62 63 3D 35");

TEST(Sim, PowerUpGivesLoaderPromptThenStartUpTextAndConsoleAnswers)
{
    sim_device sim(com::sim_first, quick);
    ASSERT_TRUE(sim.ready()) << sim.err();
    host_line host(sim.link());
    const bytes startup = host.power_up();
    ASSERT_FALSE(startup.empty());
    EXPECT_EQ(startup[0], '\x05');
    EXPECT_GE(startup.size(), 101u);
    const auto name = startup.find("Pellomatic");
    ASSERT_NE(name, bytes::npos);
    EXPECT_LT(name, 100u);
    EXPECT_NE(startup.find("Version 2.1\r\n", name), bytes::npos);

    host.send("\x03");
    EXPECT_EQ(host.read(16, 1000), "Connected 9600\r\n");
    host.send("\r");
    EXPECT_EQ(host.read(10, 1000), "\r\nPellom> ");
    host.send("host 19200\r");
    EXPECT_EQ(host.read(1, 200), "");  // no answer to the host rate
    host.close_line();
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.log().find("host rate set to 19200"), std::string::npos);
}

TEST(Sim, PowersUpAtTheHostsSecondFlush)
{
    sim_device sim(com::sim_first + 9, {"--power-delay", "60000", "--loader-wait", "0"});
    host_line host(sim.link());
    ASSERT_EQ(tcflush(host.fd, TCIFLUSH), 0);
    EXPECT_EQ(host.read(1, 300), "");
    ASSERT_EQ(tcflush(host.fd, TCIOFLUSH), 0);
    EXPECT_EQ(host.read(1, 5000), "\x05");
}

// The start-up and console faults, each seen from the host.
TEST(Sim, StartUpAndConsoleFaults)
{
    const auto nonnul = [](const bytes& b) {
        return b.size() - static_cast<std::size_t>(std::count(b.begin(), b.end(), '\0'));
    };
    struct {
        std::vector<std::string> options;
        std::function<void(const bytes& startup, host_line& host)> check;
    } const cases[] = {
        {{"--version-first"},
         [](const bytes& s, host_line&) {
             EXPECT_LT(s.find("Version 2.1\r\n"), s.find("Pellomatic"));
         }},
        {{"--no-name"},
         [](const bytes& s, host_line&) {
             EXPECT_EQ(s.find("Pellomatic"), bytes::npos);
             EXPECT_GE(s.size(), 101u);
         }},
        {{"--name", "Pellomatik", "--device-version", "2.10"},
         [](const bytes& s, host_line&) {
             EXPECT_NE(s.find("\r\nPellomatik packet digipeater\r\nVersion 2.10\r\n"), bytes::npos)
                 << s;
         }},
        {{"--noise", "170"},
         [](const bytes& s, host_line&) {
             EXPECT_EQ(s.find("\r\nPellomatic"), 170u);
             EXPECT_EQ(s.substr(0, 170).find('\0'), bytes::npos);
             EXPECT_TRUE(
                 std::any_of(s.begin(), s.begin() + 170, [](char c) { return (c & 0x80) != 0; }));
         }},
        {{"--startup-nul"},
         [nonnul](const bytes& s, host_line&) {
             EXPECT_NE(s.find('\0'), bytes::npos);
             EXPECT_GE(nonnul(s), 101u);
         }},
        {{"--short-startup"},
         [](const bytes& s, host_line&) {
             EXPECT_LT(s.size(), 100u);
             EXPECT_NE(s.find("Version 2.1"), bytes::npos);
         }},
        {{"--confirm", "Connected 4800"},
         [](const bytes&, host_line& h) {
             h.send("\x03");
             EXPECT_EQ(h.read(100, 300), "Connected 4800\r\n");
         }},
        {{"--no-prompt"},
         [](const bytes&, host_line& h) {
             h.send("\r");
             EXPECT_EQ(h.read(1, 300), "");
         }},
        {{"--extra-after-download", "70"},
         [](const bytes&, host_line& h) {
             h.send("download\r\n");
             EXPECT_EQ(h.read(100, 300), "download\r\n" + bytes(60, '.'));
         }},
        {{"--fill"},
         [](const bytes& s, host_line& h) {
             // What the host's first read of 100 bytes (ENQ included) left,
             // and the answer, make 1024 bytes.
             h.send("\x03");
             const bytes answer = h.read(2000, 500);
             EXPECT_EQ(1 + s.size() - 100 + answer.size(), 1024u);
             EXPECT_EQ(answer.substr(answer.size() - 16), "Connected 9600\r\n");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0]);
        sim_device sim(com::sim_first + 6, with(c.options));
        ASSERT_TRUE(sim.ready()) << sim.err();
        host_line host(sim.link());
        const bytes startup = host.power_up();
        ASSERT_FALSE(startup.empty());
        EXPECT_EQ(startup[0], '\x05');
        c.check(startup.substr(1), host);
    }
}

TEST(Sim, SilentDeviceSendsNothing)
{
    sim_device sim(com::sim_first + 7, with({"--silent"}));
    ASSERT_TRUE(sim.ready()) << sim.err();
    host_line host(sim.link());
    host.send("\x03\r\x16");
    EXPECT_EQ(host.read(1, 400), "");
}

// Pacing: 10 bits per byte at 9600 baud both ways, about 1.04 ms a byte.
// Every bound is measured from something the host did before the emulator
// could start (opening the line, sending a packet), so a host that reads
// late on a loaded machine can only make the measured span longer.
TEST(Sim, PacingFollowsTheLineRate)
{
    using std::chrono::microseconds;
    using std::chrono::milliseconds;
    sim_device sim(com::sim_first + 8, with({"--pace"}));
    ASSERT_TRUE(sim.ready()) << sim.err();
    const auto opened = std::chrono::steady_clock::now();
    host_line host(sim.link());
    ASSERT_EQ(host.read(1, 2000), "\x05");
    bytes text;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (text.find("Ready\r\n") == bytes::npos && std::chrono::steady_clock::now() < give_up)
        text += host.read(1, 100);
    ASSERT_NE(text.find("Ready\r\n"), bytes::npos);
    const auto took = std::chrono::steady_clock::now() - opened;
    // The text starts no sooner than the power-up delay (20 ms) and the
    // loader's wait for SYN (100 ms) after the open, and its last byte
    // arrives no sooner than n character times after its start. The upper
    // bound is loose (a second of scheduling slack): it catches a rate that
    // is wrong by a large factor, not jitter.
    const auto floor = milliseconds(20 + 100) + microseconds(1041 * text.size());
    EXPECT_GE(took, floor);
    EXPECT_LE(took, floor + milliseconds(1000));
    host.send("download\r\n");
    EXPECT_EQ(host.read(10, 1000), "download\r\n");
    const bytes data = packet(bytes(60, 'x'));
    const auto sent = std::chrono::steady_clock::now();
    host.send(data);
    EXPECT_EQ(host.read(1, 1000), "\x06");
    // The ACK cannot leave before the 64 bytes have arrived, and takes a byte time itself.
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::microseconds(1040 * 65));
}

TEST(Sim, WorkedPacketsAreAcknowledgedAndBadOnesRefused)
{
    sim_device sim(com::sim_first + 1, quick);
    ASSERT_TRUE(sim.ready()) << sim.err();
    host_line host(sim.link());
    host.enter_packet_mode();
    struct {
        const char* what;
        bytes sent;
        char answer;
    } const cases[] = {
        {"conf 120", conf_packet, '\x06'},
        {"rules 0", rules0_packet, '\x06'},
        {"rules 56", rules56_packet, '\x06'},
        {"finish", finish_packet, '\x06'},
        {"data abc", abc_packet, '\x06'},
        {"CRC off by one", hex("00 07 61 62 63 3D 36"), '\x15'},
        {"length 4", hex("00 04 61 62"), '\x15'},
        {"length 65", bytes("\x00\x41", 2) + bytes(63, 'x'), '\x15'},
        {"good after the bad ones", abc_packet, '\x06'},
    };
    for (const auto& c : cases) {
        host.send(c.sent);
        EXPECT_EQ(host.read(1, 1000), bytes(1, c.answer)) << c.what;
        EXPECT_EQ(host.read(1, 50), "") << c.what;  // one answer only
    }
    host.close_line();
    sim.stop();
    const std::string report = sim.file("report.txt");
    EXPECT_NE(report.find("CRC bad             1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Length bad          2\n"), std::string::npos) << report;
}

TEST(Sim, DownloadIsDecodedIntoTheOutFiles)
{
    sim_device sim(com::sim_first + 2, quick);
    ASSERT_TRUE(sim.ready()) << sim.err();
    host_line host(sim.link());
    host.enter_packet_mode();

    bytes conf(120, '\0');
    const char call[] = "N0CALL";
    std::copy(call, call + 6, conf.begin() + 0x14);
    conf[0] = static_cast<char>(0x80);  // host_baud 9600 = 0x2580
    conf[1] = 0x25;
    conf[0x34] = 'p';
    conf[0x36] = 2;  // rule_count
    bytes rules(56, '\0');
    std::copy(call, call + 6, rules.begin());
    rules[6] = 5;           // SSID
    rules[24] = 0x25;       // destin
    rules[25] = 0x48;       // pass, SSID given
    rules[26] = 3;          // line 3
    rules[28 + 24] = 0x29;  // rectangle, all zero floats
    rules[28 + 25] = 0x04;  // drop
    rules[28 + 26] = 4;

    bytes bad = packet(conf.substr(0, 60));
    bad.back() = static_cast<char>(bad.back() ^ 1);
    const bytes sequence[] = {conf_packet,
                              bad,
                              packet(conf.substr(0, 60)),
                              packet(conf.substr(60)),
                              rules56_packet,
                              packet(rules),
                              finish_packet};
    const char answers[] = {'\x06', '\x15', '\x06', '\x06', '\x06', '\x06', '\x06'};
    for (std::size_t i = 0; i < std::size(sequence); ++i) {
        host.send(sequence[i]);
        EXPECT_EQ(host.read(1, 1000), bytes(1, answers[i])) << "packet " << i + 1;
    }
    host.close_line();
    sim.stop();
    EXPECT_EQ(sim.file("conf.bin"), conf);
    EXPECT_EQ(sim.file("rules.bin"), rules);
    const std::string report = sim.file("report.txt");
    for (const char* line :
         {"Packets received    7\n", "  refused (NAK)     1\n",
          "Commands            conf 120, rules 56, -cestfini-\n", "Finish packet       received\n",
          "Anomalies           none\n", "  host_baud          9600\n",
          "  station_call       \"N0CALL\"\n", "  implicit_action    0x0070 (pass)\n",
          "  rule_count         2\n",
          "  rule 1: line 3, pass, destin (0x25), mods 0x40: call \"N0CALL\", SSID 5\n",
          "  rule 2: line 4, drop, rectangle (0x29), mods 0x00: lat1 0.000000, lon1 0.000000, lat2 "
          "0.000000, lon2 0.000000\n"})
        EXPECT_NE(report.find(line), std::string::npos) << line << report;
    const std::string log = sim.file("packets.log");
    EXPECT_NE(log.find("   2 bad CRC"), std::string::npos) << log;
    EXPECT_NE(log.find("-> 15 NAK\n   3 ok: 00 40 "), std::string::npos) << log;
}

TEST(Sim, LoaderChecksRecordsAndCollectsTheImage)
{
    sim_device sim(com::sim_first + 3, quick);
    ASSERT_TRUE(sim.ready()) << sim.err();
    host_line host(sim.link());
    ASSERT_EQ(host.read(1, 2000), "\x05");
    host.send("\x16");
    ASSERT_EQ(host.read(1, 500), "\x06");
    host.send("PeLoMa1.0");
    ASSERT_EQ(host.read(1, 500), "\x06");
    struct {
        const char* line;
        char answer;
    } const records[] = {
        {":020000040001F9", '\x06'},      // extended linear address 0x00010000
        {":0400100001020304E2", '\x06'},  // data at 0x00010010
        {":0400100001020304E3", '\x12'},  // checksum off by one
        {"0400100001020304E2", '\x11'},   // no start character
        {":04001000010203G4E2", '\x15'},  // not a hex digit
        {":020000030000FB", '\x15'},      // a start address of 2 bytes
        {":00000001FF", '\x06'},          // the end of the file
        {":020000040001F9", '\x06'},      // a record after it
    };
    for (const auto& r : records) {
        host.send(std::string(r.line) + "\r");
        EXPECT_EQ(host.read(1, 500), bytes(1, r.answer)) << r.line;
    }
    host.close_line();
    sim.stop();
    EXPECT_EQ(sim.file("firmware.log"),
              ":020000040001F9\n:0400100001020304E2\n:0400100001020304E3\n"
              "0400100001020304E2\n:04001000010203G4E2\n:020000030000FB\n:00000001FF\n"
              ":020000040001F9\n");
    EXPECT_EQ(sim.file("firmware.bin"), "\x01\x02\x03\x04");
    const std::string report = sim.file("report.txt");
    EXPECT_NE(report.find("  0x00010010-0x00010013  4 bytes\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  DC2 (checksum)    1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("Anomalies           \n  record 8: after the end-of-file record\n"),
              std::string::npos)
        << report;
}

// Faults on demand, each seen on the "conf" packet sent again and again,
// and the answers as the report counts them: a send after a refused or
// unanswered one is a resend, and DC1 and DC2 are other answers here.
TEST(Sim, PacketFaultsAnswerAsAsked)
{
    struct {
        std::vector<std::string> options;
        bytes answers;       // to four sends of the same packet; '-' stands for silence
        const char* counts;  // acknowledged, refused, other, no answer, resends
    } const cases[] = {
        {{"--nak-first", "2"}, "\x15\x15\x06\x15", "1 3 0 0 2"},
        {{"--reply-at", "2:0x41", "--reply-at", "3:0x18"},
         "\x06"
         "A\x18\x06",
         "2 0 2 0 2"},
        {{"--silent-at", "1"}, "-\x06\x06\x06", "3 0 0 1 1"},
        {{"--reply-at", "1:0x11", "--reply-at", "2:0x12"}, "\x11\x12\x06\x06", "2 0 2 0 2"},
    };
    for (const auto& c : cases) {
        sim_device sim(com::sim_first + 4, with(c.options));
        ASSERT_TRUE(sim.ready()) << sim.err();
        host_line host(sim.link());
        host.enter_packet_mode();
        bytes got;
        for (int i = 0; i < 4; ++i) {
            host.send(conf_packet);
            const bytes answer = host.read(1, 300);
            got += answer.empty() ? bytes("-") : answer;
        }
        EXPECT_EQ(got, c.answers) << c.options[0];
        host.close_line();
        sim.stop();
        const std::string report = sim.file("report.txt");
        const char* const labels[] = {"  acknowledged      ", "  refused (NAK)     ",
                                      "  other answer      ", "  no answer         ",
                                      "  resends seen      "};
        std::string counts;
        for (const char* label : labels) {
            const auto at = report.find(label);
            ASSERT_NE(at, std::string::npos) << label << "\n" << report;
            const auto from = at + std::string(label).size();
            counts +=
                (counts.empty() ? "" : " ") + report.substr(from, report.find('\n', from) - from);
        }
        EXPECT_EQ(counts, c.counts) << c.options[0] << "\n" << report;
    }
}

TEST(Sim, HangUpAtRecordClosesTheLineAndOnceEnds)
{
    sim_device sim(com::sim_first + 5, with({"--hangup-at", "2", "--once"}));
    ASSERT_TRUE(sim.ready()) << sim.err();
    host_line host(sim.link());
    ASSERT_EQ(host.read(1, 2000), "\x05");
    host.send("\x16");
    ASSERT_EQ(host.read(1, 500), "\x06");
    host.send("PeLoMa1.0");
    ASSERT_EQ(host.read(1, 500), "\x06");
    host.send(":00000001FF\r");
    EXPECT_EQ(host.read(1, 500), "\x06");
    host.send(":00000001FF\r");
    EXPECT_EQ(host.read(1, 1000), "");
    EXPECT_TRUE(host.hung_up);
    EXPECT_TRUE(sim.wait_exit(2000));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.file("report.txt").find("  no answer         1\n"), std::string::npos);
}

}  // namespace
}  // namespace pello::test
