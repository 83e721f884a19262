// The firmware update against the emulator's loader: whole updates whose
// records the loader logged as sent, the command's checks and questions, and
// every way an update fails, down to a line hung up mid-transfer.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/com_numbers.hpp"
#include "support/e2e.hpp"

namespace {

using namespace pello::e2e;
using pello::test::sim_device;
namespace com = pello::test::com;

const std::string not_updated = "Pellomatic Firmware will NOT be updated!\n";

// A data record at offset with count bytes, checksum computed.
std::string data_record(unsigned offset, int count, int seed)
{
    std::vector<int> b = {count, static_cast<int>(offset >> 8), static_cast<int>(offset & 0xFF), 0};
    for (int i = 0; i < count; ++i)
        b.push_back((seed * 31 + i * 7) & 0xFF);
    std::string text = ":";
    int sum = 0;
    char hex[3];
    for (int v : b) {
        std::snprintf(hex, sizeof hex, "%02X", v);
        text += hex;
        sum += v;
    }
    std::snprintf(hex, sizeof hex, "%02X", (-sum) & 0xFF);
    return text + hex;
}

// A firmware file whose record lines are not its physical lines: a comment,
// an empty line, a 128-byte record, CR LF line ends.
std::string test_firmware()
{
    std::string text = "; Pellomatic test image\r\n:020000040001F9\r\n\r\n";
    for (int i = 0; i < 6; ++i)
        text += data_record(0x1000 + 16 * static_cast<unsigned>(i), 16, i) + "\r\n";
    text += data_record(0x2000, 128, 9) + "\r\n:00000001FF\r\n";
    return text;
}

// Checks the progress lines of an update of total records that took the run
// `seconds`: one per accepted record, each with its share and bar, the whole
// seconds since the update began never going back.
void expect_progress(const std::string& out, int total, double seconds)
{
    int seen = 0;
    long before = 0;
    for (std::size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        ++seen;
        long elapsed = -1;
        unsigned long ttc = 0;
        char rest[128] = {};
        ASSERT_EQ(
            std::sscanf(out.c_str() + at, "\r%lds TTC %lus %127[^\r\n]", &elapsed, &ttc, rest), 3);
        char share[32];
        std::snprintf(share, sizeof share, "%4.1f%% ", 100.0 * seen / total);
        std::string bar(static_cast<std::size_t>(seen * 59 / total), '=');
        EXPECT_EQ(std::string(rest), std::string(share).substr(share[0] == ' ' ? 1 : 0) + bar);
        EXPECT_GE(elapsed, before);
        EXPECT_LE(elapsed, static_cast<long>(seconds) + 1);
        before = elapsed;
    }
    EXPECT_EQ(seen, total);
}

TEST(Firmware, UpdatesAndCommandChecks)
{
    std::string dir = pello::test::temp_dir("e2e firmware");
    std::string bad = pello::test::write_file(dir + "/bad.hex", ":0400000012345678FF\n");
    std::string spaced = pello::test::write_file(dir + "/test image.hex", test_firmware());
    const std::string example = PELLO_SOURCE_DIR "/examples/firmware.hex";
    const std::string n = std::to_string(com::e2e_firmware);
    {
        sim_device sim(com::e2e_firmware);
        ASSERT_TRUE(sim.ready()) << sim.err();
        const std::string update = "firmware " + n + " ";
        auto r = run_utility("firmware\nfirmware 21 x\nfirmware com x\nfirmware " + n + "\n" +
                             update + dir + "/none.hex\nn\n" + update + dir + "/none.hex\n\n" +
                             update + dir + "/none.hex\nyes\n" + update + bad + "\ny\nx\n");
        EXPECT_EQ(transcript(r.out),
                  P + "\a\aError: missing arguments: com_port file_name\n" + P +
                      "\a\aError: invalid COM port number (1..20): 21\n" + P +
                      "\a\aError: invalid COM port number (1..20): com\n" + P +
                      "\a\aError: missing argument: file_name\n" + P + fw_question + not_updated +
                      P + fw_question + not_updated + P + fw_question + "\a\aError: cannot open " +
                      dir + "/none.hex\n" + fw_failed + P + fw_question +
                      "\a\aError: checksum mismatch (0x17) for line 1 in Firmware file!\n"
                      "\a\aError: Firmware file has some kind of error!\n" +
                      fw_failed + P);
        // Nothing reached the device.
        sim.stop();
        EXPECT_TRUE(traced(sim.log(), "recv").empty());
    }
    {
        sim_device sim(com::e2e_firmware);
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto r = run_utility("firmware " + n + " " + example + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(transcript(r.out), P + fw_question + "\n" + not_updated + P + "\n");
    }
    // A comment line of 600 characters is read as a piece of 511 characters
    // and a second piece on line 2, which looks like a record but is the
    // rest of the comment: it is neither checked nor sent.
    const std::string tail_record = ":020000040001F9";
    std::string long_line = pello::test::write_file(
        dir + "/long.hex", "#" + std::string(510, '-') + tail_record + "\n" +
                               data_record(0x0400, 16, 3) + "\n:00000001FF\n");
    struct row {
        std::string file;
        std::string command_word;
        std::vector<std::string> records;
    };
    const row rows[] = {
        {example, n, record_lines(pello::test::read_file(example))},
        // The name with its blank is taken whole; com<n> is COM<n>.
        {spaced, "com" + n, record_lines(test_firmware())},
        {long_line, n, {data_record(0x0400, 16, 3), ":00000001FF"}},
    };
    for (const auto& u : rows) {
        SCOPED_TRACE(u.file);
        sim_device sim(com::e2e_firmware);
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto r = run_utility("firmware " + u.command_word + " " + u.file + "\ny\n\nx\n");
        std::string t = transcript(r.out);
        const std::string head = P + fw_question + fw_warning + fw_in_contact + "\n\n";
        const std::string tail = "\nDisconnected\n" + fw_succeeded + P;
        ASSERT_GT(t.size(), head.size() + tail.size()) << t;
        EXPECT_EQ(t.substr(0, head.size()), head);
        EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
        const std::vector<std::string>& records = u.records;
        expect_progress(t.substr(head.size(), t.size() - head.size() - tail.size()),
                        static_cast<int>(records.size()), r.seconds);
        sim.stop();
        // The loader got exactly the file's records, each once, as in the file.
        EXPECT_EQ(lines_of(sim.file("firmware.log")), records);
        // Every record went out with a carriage return and no line feed.
        std::vector<bytes> received = traced(sim.log(), "recv");
        std::string all;
        for (const bytes& run : received)
            all.append(run.begin(), run.end());
        std::string expected = "\x16PeLoMa1.0";
        for (const auto& rec : records)
            expected += rec + "\r";
        EXPECT_EQ(all, expected);
    }
}

TEST(Firmware, FailuresResendsAndHangUp)
{
    std::string dir = pello::test::temp_dir("e2e-firmware-faults");
    std::string file = pello::test::write_file(dir + "/fw.hex", test_firmware());
    const std::string update = "firmware " + std::to_string(com::e2e_firmware_faults) + " ";
    std::vector<std::string> records = record_lines(test_firmware());
    auto resend = [](const std::string& why, int line) {
        return "\n\a\aError: Firmware updating error: " + why + " on Line " + std::to_string(line) +
               ", resending.\n";
    };
    const std::string too_many =
        "\n\a\aError: maximum Firmware updating errors (10) encountered- aborting!\n";
    std::string nine_naks;
    for (int i = 0; i < 9; ++i)
        nine_naks += resend("validation", 2);

    struct row {
        const char* name;
        std::vector<std::string> options;
        std::vector<std::string> messages;  // in order, among the progress lines
        bool ok;
        std::vector<std::string> logged;  // record lines the loader received
    };
    const std::string r1 = records[0], r2 = records[1], r3 = records[2], r4 = records[3];
    const std::string r5 = records[4], r6 = records[5];
    std::vector<std::string> resent = {r1, r2, r2, r3, r3, r4, r4, r5, r5, r6, r6};
    resent.insert(resent.end(), records.begin() + 6, records.end());
    const row rows[] = {
        {"each refusal resends the line",
         {"--reply-at", "2:0x11", "--reply-at", "4:0x12", "--reply-at", "6:0x15", "--reply-at",
          "8:0x80", "--silent-at", "10"},
         {resend("didn't get start character", 4), resend("bad record checksum", 5),
          resend("validation", 6), resend("unknown (0x80)", 7), resend("timed out", 8)},
         true,
         resent},
        {"ten refusals of one record",
         {"--nak-first", "10"},
         {nine_naks + too_many},
         false,
         std::vector<std::string>(10, r1)},
        {"nine refusals, then the tenth error later", {"--nak-first", "9"}, {nine_naks}, false, {}},
        {"buffer full",
         {"--reply-at", "3:0x17"},
         {"\n\a\aError: Firmware updating error: buffer full on Line 5- aborting!\n"},
         false,
         {r1, r2, r3}},
        {"fatal",
         {"--reply-at", "3:0x18"},
         {"\n\a\aError: Firmware updating error: fatal on Line 5- aborting!\n"},
         false,
         {r1, r2, r3}},
        {"no sync acknowledgement",
         {"--loader-wait", "0"},
         {"\n\a\aError: did not synchronize with the Pellomatic!\n"},
         false,
         {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        sim_device sim(com::e2e_firmware_faults, r.options);
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility(update + file + "\ny\n\nx\n");
        std::string t = transcript(out.out);
        std::size_t at = 0;
        for (const auto& m : r.messages) {
            std::size_t found = t.find(m, at);
            EXPECT_NE(found, std::string::npos) << m << "\nin\n" << t;
            if (found != std::string::npos)
                at = found + m.size();
        }
        std::string tail = "Disconnected\n" + (r.ok ? fw_succeeded : fw_failed) + P;
        ASSERT_GE(t.size(), tail.size());
        EXPECT_EQ(t.substr(t.size() - tail.size()), tail) << t;
        sim.stop();
        if (!r.logged.empty()) {
            EXPECT_EQ(lines_of(sim.file("firmware.log")), r.logged);
            // An update cut short left the loader without its end-of-file record.
            EXPECT_EQ(sim.file("report.txt").find("\n  no end-of-file record received\n") !=
                          std::string::npos,
                      !r.ok);
        }
        if (std::string(r.name) == "nine refusals, then the tenth error later") {
            std::vector<std::string> logged(10, r1);
            logged.push_back(r2);
            EXPECT_EQ(lines_of(sim.file("firmware.log")), logged);
            // The first record was accepted; the next one's first refusal ends it.
            EXPECT_NE(t.find("11.1% ======" + too_many), std::string::npos) << t;
        }
    }

    {
        // No loader prompt: what came instead is shown byte by byte, high
        // bytes as two hex digits.
        sim_device sim(com::e2e_firmware_faults, {"--power-delay", "0", "--noise", "8"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility(update + file + "\ny\n\nx\n");
        sim.stop();
        bytes stream;
        for (const bytes& run : traced(sim.log(), "send"))
            if (run != bytes{0x05})
                stream.insert(stream.end(), run.begin(), run.end());
        ASSERT_GE(stream.size(), 4u);
        char got[64];
        std::snprintf(got, sizeof got, "Got 4: 0x%02x 0x%02x 0x%02x 0x%02x\n", stream[0], stream[1],
                      stream[2], stream[3]);
        EXPECT_EQ(transcript(out.out),
                  P + fw_question + fw_warning +
                      "\n\a\aError: did not receive the Pellomatic Firmware prompt!\n" + got +
                      "Disconnected\n" + fw_failed + P);
    }
    {
        // The line hung up while the host waits for a record's answer: the
        // read fails and the program ends through the fatal exit.
        sim_device sim(com::e2e_firmware_faults, {"--hangup-at", "3"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility(update + file + "\ny\n\nx\n");
        EXPECT_EQ(out.status, 3);
        std::vector<std::string> err = lines_of(out.err);
        ASSERT_EQ(err.size(), 2u) << out.err;
        EXPECT_EQ(err[0].rfind("\a\aError: could not read on COM port " +
                                   com::port_name(com::e2e_firmware_faults) + ": ",
                               0),
                  0u)
            << err[0];
        EXPECT_EQ(err[1].rfind("Return code 26, system error code ", 0), 0u) << err[1];
        EXPECT_EQ(out.out.find("Disconnected"), std::string::npos);
    }
}

}  // namespace
