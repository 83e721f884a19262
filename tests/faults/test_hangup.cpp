// A line that hangs up while the utility waits for the device: in the
// confirmation of the handshake, in the middle of a download and at the
// loader's identifier. Each read that finds the line gone ends the program
// through the fatal exit (status 3, the read error on standard error) at
// once, not after the read's own time limit, and the
// utility prints nothing more on standard output.
//
// The emulator hangs up 500 ms after what triggers it (--hangup-delay): the
// utility has then surely finished its write and waits in its read, even on a
// loaded machine; a line lost under the write fails the write instead (that
// is the write's own failure path, not the one tested here). Every window
// here is 4 s or longer, so 500 ms is well inside it.
#include "faults.hpp"

namespace pello::faults {
namespace {

// The utility the tests run ends a fatal error without its 5 s wait. Each of
// these reads would wait 4 s or more if the hang-up were taken for a silent
// device: the run must end before that.
void expect_fatal_read(const run_result& r, int com)
{
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, read_failure(com));
    EXPECT_LT(r.seconds, 4.0);
}

TEST(HangUp, InTheConfirmation)
{
    com_lock lock(com_a);
    // "Conn" of the confirmation arrives, then the line goes. At 4800 baud the
    // read after 0x03 has a window of 4058 ms.
    sim_device sim(com_a,
                   {"--confirm-hangup", "4", "--hangup-delay", "500", "--loader-wait", "100"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("connect " + std::to_string(com_a) + " 4800\nx\n");
    expect_fatal_read(r, com_a);
    EXPECT_EQ(transcript(r.out), P + connect_start(4800));
    sim.stop();
    std::vector<bytes> sent = traced(sim.log(), "send");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), (bytes{'C', 'o', 'n', 'n'}));
    EXPECT_NE(sim.log().find("line hung up"), std::string::npos) << sim.log();
}

TEST(HangUp, InTheDownload)
{
    com_lock lock(com_b);
    // The third packet (the second half of the configuration image) is
    // answered by a hang-up; its acknowledgement window is 5010 ms.
    sim_device sim(com_b,
                   {"--hangup-at", "3", "--hangup-delay", "500", "--fill", "--loader-wait", "100"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("connect " + std::to_string(com_b) + " 57600\ndownload\ny\ny\nx\n");
    expect_fatal_read(r, com_b);
    EXPECT_EQ(transcript(r.out), P + connect_ok(57600) + P + q_conf + q_rules);
    sim.stop();
    std::vector<logged_packet> got = logged_packets(sim.file("packets.log"));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].answer, 0x06);
    EXPECT_EQ(got[1].answer, 0x06);
    EXPECT_EQ(got[2].answer, 0x00);  // none: the line went instead
}

TEST(HangUp, AtTheLoaderIdentifier)
{
    com_lock lock(com_a);
    // The loader takes SYN, then hangs up on the identifier, whose answer
    // the utility waits 5010 ms for. (A hang-up at a record is an end-to-end
    // test of the update.)
    const std::string fw = firmware_file("faults-hangup-identifier");
    sim_device sim(com_a, {"--ident-hangup", "--hangup-delay", "500"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    auto r = run_utility("firmware " + std::to_string(com_a) + " " + fw + "\ny\n\nx\n");
    expect_fatal_read(r, com_a);
    EXPECT_EQ(transcript(r.out), P + fw_question + fw_warning + fw_in_contact);
    sim.stop();
    std::vector<bytes> received = traced(sim.log(), "recv");
    bytes all;
    for (const bytes& run : received)
        all.insert(all.end(), run.begin(), run.end());
    const std::string expected = "\x16PeLoMa1.0";
    EXPECT_EQ(all, bytes(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace pello::faults
