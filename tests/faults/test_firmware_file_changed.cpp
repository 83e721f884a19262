// A firmware file that changes after its check, while the operator gets
// ready to power the device (a rebuild, an editor's save): no line the check
// did not see may reach the loader, and the update must not end in success
// with only part of the file sent. The file is changed when the utility asks
// for Enter; the device powers up only if the utility asks for that.
#include "faults.hpp"

#include <filesystem>
#include <fstream>

namespace pello::faults {
namespace {

TEST(FirmwareFileChanged, BetweenTheCheckAndTheSending)
{
    com_lock lock(com_a);
    const std::string fw = firmware_file("faults-firmware-file-changed");
    struct row {
        const char* name;
        std::string text;         // what the file holds then, rewritten in place
        bool same_stamp = false;  // a new file of the same size and time renamed over it
    };
    std::string same_size = pello::test::read_file(fw);  // one data byte and the checksum changed
    same_size.replace(same_size.find("214601360121"), 12, "214601370120");
    const row rows[] = {
        {"truncated to its first two records", fw_records[0] + "\n" + fw_records[1] + "\n"},
        {"rewritten as one long line", ":" + std::string(5000, 'A') + "\n"},
        {"replaced by another of the same size and time", same_size, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        firmware_file("faults-firmware-file-changed");  // the checked file again
        sim_device sim(com_a, {"--manual-power"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        live_utility u;
        u.next_prompt();
        u.send("firmware " + std::to_string(com_a) + " " + fw + "\ny\n");
        ASSERT_TRUE(u.wait_for("Type the Enter key when you are ready to continue...", 10000))
            << u.out();
        if (r.same_stamp) {
            std::ofstream(fw + ".new", std::ios::binary) << r.text;
            std::filesystem::last_write_time(fw + ".new", std::filesystem::last_write_time(fw));
            std::filesystem::rename(fw + ".new", fw);
        } else {
            std::ofstream(fw, std::ios::binary | std::ios::trunc) << r.text;
        }
        u.send("\n");
        ASSERT_TRUE(u.wait_for("continue...\n", 10000)) << u.out();
        if (u.out().find("You have 20 seconds to do this...") != std::string::npos)
            sim.power_cycle();  // the update goes on: let the loader see what it sends
        const std::string before = u.next_prompt();
        u.send("x\n");
        EXPECT_EQ(u.finish(), 0);
        sim.stop();
        EXPECT_EQ(before, fw_question + fw_warning.substr(0, fw_warning.find("continue...") + 11) +
                              "\n\a\aError: Firmware file " + fw +
                              " changed after it was checked!\nDisconnected\n" + fw_failed);
        EXPECT_TRUE(traced(sim.log(), "recv").empty());
        EXPECT_EQ(sim.file("firmware.log"), "");
    }
}

}  // namespace
}  // namespace pello::faults
