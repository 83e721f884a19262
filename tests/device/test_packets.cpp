// The download packets: the CRC-16 and its table, the argument checks, and
// the packets as written to the line, byte for byte, captured on a
// pseudo-terminal standing in for the device.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "device/device.hpp"
#include "rules/rules.hpp"
#include "serial/serial.hpp"
#include "support/com_numbers.hpp"
#include "support/pty.hpp"

namespace {

using bytes = std::vector<unsigned char>;
using pello::test::stdout_of;

// The name the host opens for the pseudo-terminal of these tests.
const std::string line_port = pello::test::com::port_name(pello::test::com::device_packets);

TEST(DwnCrc16, TableAndCheckValues)
{
    EXPECT_EQ(pello::dwn_crc_table[0], 0x0000);
    EXPECT_EQ(pello::dwn_crc_table[1], 0x1021);
    EXPECT_EQ(pello::dwn_crc_table[128], 0x9188);
    EXPECT_EQ(pello::dwn_crc_table[255], 0x1EF0);

    // From 0xFFFF with two zero bytes of augmentation the routine gives the
    // catalogued CRC-16/SPI-FUJITSU.
    auto augmented = [](std::string text) {
        text.append(2, '\0');
        return pello::dwn_crc16(0xFFFF, reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()), pello::dwn_crc_table);
    };
    EXPECT_EQ(augmented("abc"), 0x8CDA);
    EXPECT_EQ(augmented("123456789"), 0xE5CC);
    EXPECT_EQ(pello::dwn_crc16(0x1234, nullptr, 0, pello::dwn_crc_table), 0x1234);
}

TEST(DwnWritePkt, ArgumentChecksTouchNoPort)
{
    unsigned char packet[8] = {};
    EXPECT_EQ(stdout_of([&] {
                  EXPECT_EQ(pello::dwn_write_pkt(nullptr, 21), -1);
                  EXPECT_EQ(pello::dwn_write_pkt(packet, 4), -2);
                  EXPECT_EQ(pello::dwn_write_file(nullptr, 10), -1);
                  EXPECT_EQ(pello::dwn_write_file(packet, 0), -2);
              }),
              "dwn_write_pkt: argument ptr pp is null\n"
              "dwn_write_pkt: argument len < 5\n"
              "dwn_write_file: argument ptr bp is null\n"
              "dwn_write_file: argument len < 1\n");
}

// Reads packets from the line and acknowledges each, count of them.
bytes acknowledge_packets(pello::test::pty_port& peer, int count, std::vector<bytes>& packets)
{
    for (int i = 0; i < count; ++i) {
        bytes head = peer.read(2);
        if (head.size() != 2)
            break;
        std::size_t len = static_cast<std::size_t>(head[0] << 8 | head[1]);
        bytes rest = peer.read(len - 2);
        head.insert(head.end(), rest.begin(), rest.end());
        packets.push_back(head);
        peer.write({pello::ACK});
    }
    return peer.read(1, 200);  // anything sent beyond the expected packets
}

class PacketLine : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer_.ready());
        saved_conf_ = pello::conf_record;
        std::snprintf(pello::link_state.port_name, sizeof pello::link_state.port_name, "%s",
                      line_port.c_str());
        int opened = 0;
        opened_output_ = stdout_of([&] { opened = pello::open_port(line_port.c_str(), 57600); });
        ASSERT_EQ(opened, 0) << opened_output_;
    }
    void TearDown() override
    {
        pello::link_reset();
        pello::conf_record = saved_conf_;
    }

    pello::test::pty_port peer_{pello::test::com::device_packets};
    pello::conf_record_t saved_conf_{};
    std::string opened_output_;
};

TEST_F(PacketLine, DataPacketOfThreeBytes)
{
    std::vector<bytes> packets;
    auto device =
        std::async(std::launch::async, [&] { return acknowledge_packets(peer_, 1, packets); });
    unsigned char packet[7] = {0, 0, 'a', 'b', 'c', 0, 0};
    EXPECT_EQ(pello::dwn_write_pkt(packet, 7), 7);
    EXPECT_TRUE(device.get().empty());
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (bytes{0x00, 0x07, 0x61, 0x62, 0x63, 0x3D, 0x35}));
    // A receiver running the routine over the whole packet gets 0.
    EXPECT_EQ(pello::dwn_crc16(0xFFFF, packets[0].data(), 7, pello::dwn_crc_table), 0);
}

const bytes conf_packet = {0x00, 0x15, 0x63, 0x6F, 0x6E, 0x66, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x31, 0x32, 0x30, 0x00, 0x00, 0x5A, 0x09};
const bytes rules0_packet = {0x00, 0x15, 0x72, 0x75, 0x6C, 0x65, 0x73, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00, 0xE6, 0xAA};
const bytes rules56_packet = {0x00, 0x15, 0x72, 0x75, 0x6C, 0x65, 0x73, 0x00, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x35, 0x36, 0x00, 0x00, 0x00, 0xCE, 0x8D};
const bytes finish_packet = {0x00, 0x15, 0x2D, 0x63, 0x65, 0x73, 0x74, 0x66, 0x69, 0x6E, 0x69,
                             0x2D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5D, 0xCF};

// The payload of a data packet, after checking its length and CRC.
bytes payload(const bytes& packet)
{
    EXPECT_GE(packet.size(), 5u);
    EXPECT_EQ(static_cast<std::size_t>(packet[0] << 8 | packet[1]), packet.size());
    EXPECT_EQ(pello::dwn_crc16(0xFFFF, packet.data(), static_cast<int>(packet.size()),
                               pello::dwn_crc_table),
              0);
    return bytes(packet.begin() + 2, packet.end() - 2);
}

TEST_F(PacketLine, DownloadOfConfigurationAndTwoRules)
{
    for (int i = 0; i < 120; ++i)
        reinterpret_cast<unsigned char*>(&pello::conf_record)[i] =
            static_cast<unsigned char>(i * 7);
    pello::conf_record.rule_count = 2;
    for (int r = 0; r < 2; ++r)
        for (int i = 0; i < 28; ++i)
            reinterpret_cast<unsigned char*>(&pello::rule_table[r])[i] =
                static_cast<unsigned char>(200 + r * 28 + i);

    std::vector<bytes> packets;
    auto device =
        std::async(std::launch::async, [&] { return acknowledge_packets(peer_, 6, packets); });
    int r = -1;
    std::string out = stdout_of([&] { r = pello::dwn_download(); });
    EXPECT_TRUE(device.get().empty());
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Downloading Configuration succeeded\nDownloading Rules succeeded\n");

    ASSERT_EQ(packets.size(), 6u);
    EXPECT_EQ(packets[0], conf_packet);
    const unsigned char* conf = pello::conf_image();
    EXPECT_EQ(packets[1].size(), 64u);
    EXPECT_EQ(payload(packets[1]), bytes(conf, conf + 60));
    EXPECT_EQ(payload(packets[2]), bytes(conf + 60, conf + 120));
    EXPECT_EQ(packets[3], rules56_packet);
    EXPECT_EQ(packets[4].size(), 60u);
    const unsigned char* rules = reinterpret_cast<const unsigned char*>(pello::rule_table);
    EXPECT_EQ(payload(packets[4]), bytes(rules, rules + 56));
    EXPECT_EQ(packets[5], finish_packet);
}

TEST_F(PacketLine, DownloadWithoutRules)
{
    pello::conf_record.rule_count = 0;
    std::vector<bytes> packets;
    auto device =
        std::async(std::launch::async, [&] { return acknowledge_packets(peer_, 5, packets); });
    int r = -1;
    std::string out = stdout_of([&] { r = pello::dwn_download(); });
    EXPECT_TRUE(device.get().empty());
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, "Downloading Configuration succeeded\nDownloading Rules succeeded\n");
    ASSERT_EQ(packets.size(), 5u);
    EXPECT_EQ(packets[0], conf_packet);
    EXPECT_EQ(packets[3], rules0_packet);
    EXPECT_EQ(packets.back(), finish_packet);
}

}  // namespace
