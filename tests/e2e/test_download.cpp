// The download against the emulator: whole transfers compared packet by
// packet with what the device received, the operator's questions, refusals,
// wrong and missing answers with their nested messages.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "rules/rules.hpp"
#include "support/com_numbers.hpp"
#include "support/e2e.hpp"

namespace {

using namespace pello::e2e;
using pello::test::sim_device;
namespace com = pello::test::com;

// The connect command on the number of the download group.
const std::string connect_download = "connect " + std::to_string(com::e2e_download) + " 57600\n";

struct images {
    bytes conf, rules;
};

// The images the utility builds from these files, made by the same parsers
// in this process.
images parsed(const std::string& conf_file, const std::string& rules_file)
{
    pello::test::stdout_of([&] {
        pello::conf_process(conf_file.c_str());
        pello::rules_process(rules_file.c_str());
    });
    std::span<const unsigned char> r = pello::rule_image();
    return {bytes(pello::conf_image(), pello::conf_image() + 120), bytes(r.begin(), r.end())};
}

// Command and data packets of one image, as the host must send them.
void add_image(std::vector<bytes>& packets, const std::string& name, const bytes& image)
{
    packets.push_back(command_packet(name, static_cast<long>(image.size())));
    for (std::size_t at = 0; at < image.size(); at += 60) {
        std::size_t end = std::min(image.size(), at + 60);
        packets.push_back(packet_for(
            bytes(image.begin() + static_cast<long>(at), image.begin() + static_cast<long>(end))));
    }
}

// The operator's questions before a download: refusals leave the link
// connected, a confirmed default image goes out, end of input aborts.
void questions_default_image_and_refusals()
{
    const std::string aborted = "\a\aDownload Aborted!\n";
    {
        // Refusals leave the link connected; a confirmed default image goes out.
        sim_device sim(com::e2e_download, {"--fill", "--loader-wait", "100"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto r = run_utility("download\n" + connect_download +
                             "download\nno\ndownload\n\n"
                             "download\ny\nn\ndownload\nyes\nY\nx\n");
        EXPECT_EQ(transcript(r.out), P + "\a\aError: not Connected!\n" + P + connect_ok(57600) + P +
                                         q_conf + aborted + P + q_conf + aborted + P + q_conf +
                                         q_rules + aborted + P + q_conf + q_rules + download_ok +
                                         power_off + P);
        sim.stop();
        std::string conf_bin = sim.file("conf.bin");
        EXPECT_EQ(bytes(conf_bin.begin(), conf_bin.end()),
                  bytes(pello::conf_default_image, pello::conf_default_image + 120));
        std::vector<logged_packet> got = logged_packets(sim.file("packets.log"));
        ASSERT_EQ(got.size(), 5u);
        EXPECT_EQ(got[3].packet, command_packet("rules", 0));
    }
    {
        // End of input at the question.
        sim_device sim(com::e2e_download, {"--fill", "--loader-wait", "100"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto r = run_utility(connect_download + "download\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(transcript(r.out),
                  P + connect_ok(57600) + P + q_conf + "\n" + aborted + P + "\n");
    }
}

TEST(Download, WholeTransfersAndQuestions)
{
    std::string dir = pello::test::temp_dir("e2e-download");
    std::string conf = pello::test::write_file(
        dir + "/station.conf", "call n0call\nssid 7\nwidemax 2\ndigipath WIDE1-1,WIDE2-2\n");
    std::string two = pello::test::write_file(dir + "/two.rules",
                                              "# two rules\npass dst N0CALL\ndrop src K1ABC-3\n");
    std::string many_text;
    for (int i = 0; i < 100; ++i)
        many_text += "pass dst CALL" + std::to_string(i) + "\n";
    std::string many = pello::test::write_file(dir + "/hundred.rules", many_text);
    std::string none = pello::test::write_file(dir + "/none.rules", "pass implicit\n");

    struct row {
        const char* name;
        std::string rules_file;
        std::string rules_line;
        std::size_t packets;
    };
    const row rows[] = {
        {"two rules", two, "Rules processed 2, implicit 0\n", 6},
        {"a hundred rules", many, "Rules processed 100, implicit 0\n", 3 + 1 + 47 + 1},
        {"no rules", none, "Rules processed 0, implicit 1\n", 3 + 1 + 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        images expected = parsed(conf, r.rules_file);
        std::vector<bytes> packets;
        add_image(packets, "conf", expected.conf);
        add_image(packets, "rules", expected.rules);
        packets.push_back(command_packet("-cestfini-", -1));
        ASSERT_EQ(packets.size(), r.packets);

        sim_device sim(com::e2e_download, {"--fill", "--loader-wait", "100"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        auto out = run_utility("configure " + conf + "\nrules " + r.rules_file + "\n" +
                               connect_download + "download\ndisconnect\nx\n");
        EXPECT_EQ(transcript(out.out), P + "Configuration items processed 4\n" + P + r.rules_line +
                                           P + connect_ok(57600) + P + download_ok + power_off + P +
                                           "\a\aError: not Connected!\n" + P);
        sim.stop();
        std::vector<logged_packet> got = logged_packets(sim.file("packets.log"));
        ASSERT_EQ(got.size(), packets.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].packet, packets[i]) << "packet " << i + 1;
            EXPECT_EQ(got[i].answer, 0x06) << "packet " << i + 1;
        }
        std::string conf_bin = sim.file("conf.bin");
        std::string rules_bin = sim.file("rules.bin");
        EXPECT_EQ(bytes(conf_bin.begin(), conf_bin.end()), expected.conf);
        EXPECT_EQ(bytes(rules_bin.begin(), rules_bin.end()), expected.rules);
    }
    // The worked packets of a configuration with two rules.
    EXPECT_EQ(command_packet("conf", 120),
              (bytes{0x00, 0x15, 0x63, 0x6F, 0x6E, 0x66, 0, 0, 0,    0,   0,
                     0,    0,    0,    0x31, 0x32, 0x30, 0, 0, 0x5A, 0x09}));
    EXPECT_EQ(command_packet("rules", 56),
              (bytes{0x00, 0x15, 0x72, 0x75, 0x6C, 0x65, 0x73, 0, 0,    0,   0,
                     0,    0,    0,    0x35, 0x36, 0,    0,    0, 0xCE, 0x8D}));

    questions_default_image_and_refusals();
}

TEST(Download, RefusalsAndWrongAnswers)
{
    std::string dir = pello::test::temp_dir("e2e-download-faults");
    std::string conf = pello::test::write_file(dir + "/c.conf", "call N0CALL\n");
    std::string rules =
        pello::test::write_file(dir + "/r.rules", "pass dst N0CALL\ndrop src K1ABC\n");
    const std::string setup = "configure " + conf + "\nrules " + rules + "\nconnect " +
                              std::to_string(com::e2e_download_faults) + " 57600\n";
    const std::string ready = P + "Configuration items processed 1\n" + P +
                              "Rules processed 2, implicit 0\n" + P + connect_ok(57600) + P;
    auto nak_at = [](int from, int to) {
        std::vector<std::string> o;
        for (int k = from; k <= to; ++k) {
            o.push_back("--reply-at");
            o.push_back(std::to_string(k) + ":0x15");
        }
        return o;
    };
    struct row {
        const char* name;
        std::vector<std::string> options;
        std::string messages;  // between the download command and the power-off request
        std::size_t sends;     // packets the device received
    };
    const row rows[] = {
        {"NAK four times, then ACK", {"--nak-first", "4"}, download_ok, 30},
        {"command refused five times",
         {"--nak-first", "5"},
         "\a\aError: writing Configuration command failed: -6\n\a\aError: Download failed: -1\n",
         5},
        {"data packet refused five times", nak_at(2, 6),
         "\a\aError: writing data pkt: -6\n\a\aError: writing Configuration file failed: -3\n"
         "\a\aError: Download failed: -2\n",
         6},
        {"wrong answer to the conf command",
         {"--reply-at", "1:0x41"},
         "\a\aError: reading ack or nak: got 0x41\n"
         "\a\aError: writing Configuration command failed: -5\n\a\aError: Download failed: -1\n",
         1},
        // 70 bytes of answer to "download\r\n": the 64-byte drain leaves six.
        {"answer longer than the drain",
         {"--extra-after-download", "70"},
         "\a\aError: reading ack or nak: got 0x2e\n"
         "\a\aError: writing Configuration command failed: -5\n\a\aError: Download failed: -1\n",
         1},
        {"wrong answer to the rules command",
         {"--reply-at", "4:0xff"},
         "Downloading Configuration succeeded\n\a\aError: reading ack or nak: got 0xff\n"
         "\a\aError: writing Rules command failed: -5\n\a\aError: Download failed: -3\n",
         4},
        {"wrong answer to a rule packet",
         {"--reply-at", "5:0x41"},
         "Downloading Configuration succeeded\n\a\aError: reading ack or nak: got 0x41\n"
         "\a\aError: writing data pkt: -5\n\a\aError: writing Rules file failed: -3\n"
         "\a\aError: Download failed: -4\n",
         5},
        {"wrong answer to the finish packet",
         {"--reply-at", "6:0x41"},
         download_ok + "\a\aError: reading ack or nak: got 0x41\n"
                       "\a\aError: error writing finish pkt: -5\n\a\aError: Download failed: -5\n",
         6},
        // The only download that waits for its acknowledgement time-out.
        {"no answer",
         {"--silent-at", "1"},
         "\a\aError: reading ack or nak: 0\n"
         "\a\aError: writing Configuration command failed: -4\n\a\aError: Download failed: -1\n",
         1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> options = r.options;
        options.insert(options.end(), {"--fill", "--loader-wait", "100"});
        sim_device sim(com::e2e_download_faults, options);
        ASSERT_TRUE(sim.ready()) << sim.err();
        if (std::string(r.name) == "no answer")  // not the 5 s: the time-limit tests measure that
            setenv("PELLO_E2E_ACK_WAIT_MS", "500", 1);
        auto out = run_utility(setup + "download\ndisconnect\nx\n");
        unsetenv("PELLO_E2E_ACK_WAIT_MS");
        EXPECT_EQ(transcript(out.out),
                  ready + r.messages + power_off + P + "\a\aError: not Connected!\n" + P);
        sim.stop();
        std::vector<logged_packet> got = logged_packets(sim.file("packets.log"));
        EXPECT_EQ(got.size(), r.sends);
        // A refused packet comes again byte for byte.
        for (std::size_t i = 1; i < got.size(); ++i) {
            if (got[i - 1].answer == 0x15) {
                EXPECT_EQ(got[i].packet, got[i - 1].packet) << "send " << i + 1;
            }
        }
        if (std::string(r.name) == "no answer") {
            EXPECT_GE(out.seconds, 0.5);
        }
    }
}

}  // namespace
