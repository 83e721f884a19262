// A slow device that answers just inside and just outside each time limit of
// the utility's reads. The emulator counts its delay from the moment the
// host's bytes reach it, which is when the host's read window opens (the
// host's write returns once its bytes have left the port).
//
// Margins: an answer is seen late by the scheduling latencies of two
// processes (the emulator's wake-up for the answer, the host's wake-up for
// its data), and the host's window opens a little after the emulator sees its
// bytes. On a loaded 2-core machine these stay within a few milliseconds and
// seldom reach 20 ms. The windows of several seconds get 100 ms each side
// (2.5 % of 4058 ms, still far from the 2010 ms a window without its 1024
// character times would have); the windows of 110 ms and 210 ms get 50 ms
// each side, which still tells a window from one of half or twice its length.
#include "faults.hpp"

namespace pello::faults {
namespace {

// The confirmation after 0x03 at 4800 baud: 1024 characters of 2 ms, 2000 ms
// and 10 ms, 4058 ms from the write of 0x03.
TEST(TimeLimits, ConfirmationJustInsideAndOutside)
{
    com_lock lock(com_b);
    const std::string port = std::to_string(com_b);
    for (const int delay : {4058 - 100, 4058 + 100}) {
        SCOPED_TRACE(delay);
        sim_device sim(com_b, {"--confirm-delay", std::to_string(delay), "--loader-wait", "100"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto r = run_utility("connect " + port + " 4800\nx\n");
        sim.stop();
        if (delay < 4058) {
            EXPECT_EQ(transcript(r.out), P + connect_ok(4800) + P);
            continue;
        }
        // Outside: the read brought only the rest of the start-up text (the
        // first read took its first 100 bytes, the loader prompt included).
        std::vector<bytes> sent = traced(sim.log(), "send");
        ASSERT_GE(sent.size(), 3u);
        EXPECT_EQ(std::string(sent.back().begin(), sent.back().end()), "Connected 4800\r\n");
        bytes before;
        for (std::size_t i = 0; i + 1 < sent.size(); ++i)
            before.insert(before.end(), sent[i].begin(), sent[i].end());
        ASSERT_GE(before.size(), 100u);
        EXPECT_EQ(transcript(r.out),
                  P + connect_start(4800) +
                      "\n\a\aError: did not receive the Pellomatic Connected string!\n"
                      "Expected Connected 4800\n" +
                      dump(bytes(before.begin() + 100, before.end())) + P);
    }
}

// A download packet's acknowledgement at 57600 baud: 5000 ms and 10 ms. Only
// outside: inside would cost 5 s more to show what every download shows.
TEST(TimeLimits, DownloadAcknowledgementJustOutside)
{
    com_lock lock(com_a);
    sim_device sim(com_a, {"--delay-at", "3:5110", "--fill", "--loader-wait", "100"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("connect " + std::to_string(com_a) + " 57600\ndownload\ny\ny\nx\n");
    EXPECT_EQ(transcript(r.out), P + connect_ok(57600) + P + q_conf + q_rules +
                                     "\a\aError: reading ack or nak: 0\n"
                                     "\a\aError: writing data pkt: -4\n"
                                     "\a\aError: writing Configuration file failed: -3\n"
                                     "\a\aError: Download failed: -2\n" +
                                     power_off + P);
    EXPECT_GE(r.seconds, 5.0);
    sim.stop();
    EXPECT_EQ(logged_packets(sim.file("packets.log")).size(), 3u);
}

// The loader at 19200 baud: the ACK of SYN within 210 ms, each record's
// status within 110 ms (the per-character part is 0 ms at this rate).
TEST(TimeLimits, LoaderSyncAndRecordsJustInsideAndOutside)
{
    com_lock lock(com_b);
    const std::string fw = firmware_file("faults-loader-limits");
    const std::string sync_failed = "\n\a\aError: did not synchronize with the Pellomatic!\n";
    const std::string timed_out =
        "\n\a\aError: Firmware updating error: timed out on Line 2, resending.\n";
    const std::string r1 = fw_records[0], r2 = fw_records[1], r3 = fw_records[2],
                      r4 = fw_records[3];
    struct row {
        std::vector<std::string> options;
        bool synchronised;
        bool timed_out;
        std::vector<std::string> logged;  // record lines the loader received
    };
    // 100 ms on each side of the sync limit and 80 ms inside the record's,
    // so that a loaded machine's late wake-up does not turn a row over.
    const row rows[] = {
        {{"--sync-delay", "110"}, true, false, fw_records},
        {{"--sync-delay", "310"}, false, false, {}},
        {{"--delay-at", "2:30"}, true, false, fw_records},
        // Line 2 times out and is sent again; the late ACK comes within the
        // resend's window and is taken as its answer. The loader answered
        // every line ACK, so the update succeeds.
        {{"--delay-at", "2:160"}, true, true, {r1, r2, r2, r3, r4}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.options[0] + " " + r.options[1]);
        sim_device sim(com_b, r.options);
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility("firmware " + std::to_string(com_b) + " " + fw + "\ny\n\nx\n");
        sim.stop();
        std::string t = transcript(out.out);
        if (!r.synchronised) {
            EXPECT_EQ(t, P + fw_question + fw_warning + sync_failed + "Disconnected\n" + fw_failed +
                             P);
            continue;
        }
        const std::string head = P + fw_question + fw_warning + fw_in_contact + "\n\n";
        const std::string tail = "\nDisconnected\n" + fw_succeeded + P;
        ASSERT_GE(t.size(), head.size() + tail.size()) << t;
        EXPECT_EQ(t.substr(0, head.size()), head);
        EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
        const std::string middle = t.substr(head.size(), t.size() - head.size() - tail.size());
        EXPECT_EQ(middle.find(timed_out) != std::string::npos, r.timed_out) << middle;
        EXPECT_EQ(progress_lines(middle), static_cast<int>(fw_records.size()));
        EXPECT_EQ(lines_of(sim.file("firmware.log")), r.logged);
    }
}

// The identifier's acknowledgement: 5000 ms and 10 ms. Only inside: outside
// ends like any silent loader.
TEST(TimeLimits, IdentifierJustInside)
{
    com_lock lock(com_a);
    const std::string fw = firmware_file("faults-identifier-limit");
    sim_device sim(com_a, {"--ident-delay", std::to_string(5010 - 100)});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("firmware " + std::to_string(com_a) + " " + fw + "\ny\n\nx\n");
    std::string t = transcript(r.out);
    const std::string head = P + fw_question + fw_warning + fw_in_contact + "\n\n";
    const std::string tail = "\nDisconnected\n" + fw_succeeded + P;
    ASSERT_GE(t.size(), head.size() + tail.size()) << t;
    EXPECT_EQ(t.substr(0, head.size()), head);
    EXPECT_EQ(t.substr(t.size() - tail.size()), tail);
    EXPECT_GE(r.seconds, 4.9);
    sim.stop();
    EXPECT_EQ(lines_of(sim.file("firmware.log")), fw_records);
}

// A record answered after its window, then the next record refused once.
// The late answer and the answer to the resend come together (the emulator
// holds back whatever follows a late answer); the utility takes the first as
// the resend's and purges its input before the next record line, so the
// other is thrown away instead of being taken for the next record's: the
// refused record is sent again and the update succeeds with both data
// records (32 bytes) in the loader. An answer taken for the wrong record
// would move the refusal onto the record after it, and the update would
// report success with a record missing.
TEST(TimeLimits, LateRecordAnswerIsNotTakenForTheNextRecord)
{
    com_lock lock(com_b);
    const std::string fw = firmware_file("faults-late-record-answer");
    // Record lines as the loader counts them: 1 the address record, 2 the
    // first data record (its ACK 160 ms late, after the 110 ms window), 3
    // its resend, 4 the second data record (answered DC2).
    sim_device sim(com_b, {"--delay-at", "2:160", "--reply-at", "4:0x12"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("firmware " + std::to_string(com_b) + " " + fw + "\ny\n\nx\n");
    sim.stop();
    const std::string t = transcript(r.out);
    EXPECT_NE(t.find(fw_succeeded), std::string::npos) << t;
    EXPECT_NE(sim.file("report.txt").find("Data bytes          32\n"), std::string::npos)
        << "the loader has:\n"
        << sim.file("report.txt") << "\nthe utility printed:\n"
        << t;
}

}  // namespace
}  // namespace pello::faults
