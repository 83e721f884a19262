// The Win32 serial port layer: the baud table, the write limits, the
// \\.\COM<n> path, the argument checks and their messages, the system
// error text, the fatal exits, and - on COM ports that
// scripts/windows-tests.sh maps to device emulators (COM11 plain, COM12 with
// NUL bytes in its start-up text, COM13 silent) - line settings, exclusive
// use, NUL dropping, purge and the read deadlines.
#include "serial/serial.hpp"
#include "support/serial_cases.hpp"

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

using steady = std::chrono::steady_clock;
using pello::test::ms_since;
using pello::test::stdout_of;

// The system's text for an error code, as the port layer reports it.
std::string system_text(DWORD code)
{
    SetLastError(code);
    return pello::sys_error_text();
}

// The emulators are there only when the test runs under the Windows test
// script.
bool have_emulators()
{
    const char* ports = std::getenv("PELLO_WIN_SIM_PORTS");
    return ports != nullptr && *ports != '\0';
}

#define REQUIRE_EMULATORS()                                                                        \
    if (!have_emulators())                                                                         \
    GTEST_SKIP() << "needs the emulators that scripts/windows-tests.sh maps to COM11-COM13"

TEST(SerialWin32, BaudTableAndGetBaud)
{
    pello::test::expect_baud_table_and_get_baud();
}

TEST(SerialWin32, WriteLimitAtEveryRate)
{
    pello::test::expect_write_limits_at_every_rate();
}

TEST(SerialWin32, PortDevicePath)
{
    struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM20", "\\\\.\\COM20"},
        {"LPT1", "\\\\.\\LPT1"},
        {"COM456789012345", "\\\\.\\COM456789012345"},  // 19 characters: the buffer's limit
        {"COM4567890123456", ""},                       // 20: does not fit
        {nullptr, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pello::port_device_path(c.name), c.path) << (c.name ? c.name : "(null)");
    EXPECT_EQ(pello::port_device_path("COM3", "/dev/ttyS{i}"), "/dev/ttyS2");
    EXPECT_EQ(pello::port_device_path("COM03", "/dev/ttyS{i}"), "");
}

TEST(SerialWin32, ArgumentChecksAndNoPort)
{
    const char data[4] = {'a', 'b', 'c', 'd'};
    const std::string invalid_handle = system_text(ERROR_INVALID_HANDLE);
    struct {
        const char* what;
        int (*call)(const char*);
        int code;
        std::string printed;
    } cases[] = {
        {"open without name", [](const char*) { return pello::open_port(nullptr, 9600); }, -1,
         "open_port: Error: port null argument\n"},
        {"set without name", [](const char*) { return pello::set_comm_prop(nullptr, 9600); }, -1,
         "set_comm_prop: Error: port null argument\n"},
        {"rate not in table", [](const char*) { return pello::set_comm_prop("COM15", 1000); }, -2,
         "\a\aError: Invalid baud rate 1000\n"},
        {"write without name", [](const char* d) { return pello::write_port(nullptr, d, 4); }, -1,
         "write_port: Error: invalid param file port\n"},
        {"write without buffer", [](const char*) { return pello::write_port("COM15", nullptr, 4); },
         -2, "write_port: Error: invalid param buf ptr\n"},
        {"write of 0 bytes", [](const char* d) { return pello::write_port("COM15", d, 0); }, -1,
         "write_port: Error: invalid param len: 0\n"},
        {"write with no port open", [](const char* d) { return pello::write_port("COM15", d, 4); },
         -3, "\a\aError: wrote 0 of 4, got error on port COM15: " + invalid_handle + "\n"},
        {"write after a failed open: still no port",
         [](const char* d) {
             (void)pello::open_port("COM19", 9600);
             return pello::write_port("COM15", d, 4);
         },
         -3,
         "\a\aError: cannot open COM port COM19: " + system_text(ERROR_FILE_NOT_FOUND) +
             "\n\a\aError: wrote 0 of 4, got error on port COM15: " + invalid_handle + "\n"},
    };
    for (const auto& c : cases) {
        int code = 0;
        EXPECT_EQ(stdout_of([&] { code = c.call(data); }), c.printed) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
        EXPECT_FALSE(pello::port_is_open()) << c.what;
    }
}

TEST(SerialWin32, OpenOfMissingPortOrOverlongName)
{
    struct {
        const char* name;
        DWORD error;
    } cases[] = {
        {"COM19", ERROR_FILE_NOT_FOUND},
        {"COM4567890123456", ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        const std::string expected = std::string("\a\aError: cannot open COM port ") + c.name +
                                     ": " + system_text(c.error) + "\n";
        int code = 0;
        EXPECT_EQ(stdout_of([&] { code = pello::open_port(c.name, 9600); }), expected);
        EXPECT_EQ(code, -2);
        EXPECT_FALSE(pello::port_is_open());
    }
}

TEST(SerialWin32, SystemErrorTextHasNoLineBreak)
{
    for (DWORD code : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_FILE_NOT_FOUND},
                       DWORD{ERROR_INVALID_HANDLE}, DWORD{ERROR_TIMEOUT}}) {
        SetLastError(code);
        const std::string text = pello::sys_error_text();
        EXPECT_EQ(GetLastError(), code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
    }
    SetLastError(0x2000FFFF);  // no text for it
    EXPECT_STREQ(pello::sys_error_text(), "Unknown error 536936447");
}

TEST(SerialWin32, FatalExitWaitsAndEndsWithStatus3)
{
    const std::string invalid_handle = system_text(ERROR_INVALID_HANDLE);
    auto start = steady::now();
    EXPECT_EXIT(
        {
            SetLastError(0);
            char b[4];
            pello::read_port(nullptr, b, 4, 100);
        },
        testing::ExitedWithCode(3),
        testing::Eq(std::string("read_port: Error: invalid param port\n"
                                "Return code 25, system error code 0\n")));
    EXPECT_GE(ms_since(start), 4950);

    // No port open: the read's time limits cannot be applied.
    EXPECT_EXIT(
        {
            char b[4];
            pello::read_port("COM19", b, 4, 100);
        },
        testing::ExitedWithCode(3),
        testing::Eq("\a\aError: could not set the comm timeouts for port COM19: " + invalid_handle +
                    "\nReturn code 25, system error code 6\n"));

    // Code 0 prints the same way and returns.
    testing::internal::CaptureStderr();
    SetLastError(ERROR_ACCESS_DENIED);
    start = steady::now();
    pello::fatal_report(0, "text as given\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "text as given\nReturn code 0, system error code 5\n");
    EXPECT_LT(ms_since(start), 1000);
}

// Opens port at rate and reads the emulator's power-up: ENQ, then its
// start-up text (the first 100 bytes, which end the read at once).
std::string power_up_text(const char* port, std::int32_t rate)
{
    if (pello::open_port(port, rate) != 0)
        return "(not opened)";
    unsigned char enq = 0;
    if (pello::read_port(port, &enq, 1, 2000) != 1 || enq != 0x05)
        return "(no ENQ)";
    char text[100];
    const auto start = steady::now();
    const int n = pello::read_port(port, text, 100, 3000);
    if (ms_since(start) > 2000)
        return "(read did not end with its 100th byte)";
    return std::string(text, static_cast<std::size_t>(n));
}

TEST(SerialWin32, LineRateReachesTheDevice)
{
    REQUIRE_EMULATORS();
    for (std::int32_t rate : {4800, 9600, 19200, 38400, 57600, 115200}) {
        const std::string text = power_up_text("COM11", rate);
        EXPECT_NE(text.find("Version 2.1"), std::string::npos) << rate << ": " << text;
        // The rest of the start-up text is thrown away; the device answers
        // 0x03 with the rate it sees on the line.
        Sleep(100);
        pello::purge_port();
        EXPECT_EQ(stdout_of([] { EXPECT_EQ(pello::write_port("COM11", "\x03", 1), 1); }), "");
        const std::string expected = "Connected " + std::to_string(rate) + "\r\n";
        std::vector<char> answer(expected.size());
        const int n =
            pello::read_port("COM11", answer.data(), static_cast<int>(answer.size()), 2000);
        EXPECT_EQ(std::string(answer.data(), static_cast<std::size_t>(n)), expected) << rate;
        pello::close_port();
        EXPECT_FALSE(pello::port_is_open());
    }
}

TEST(SerialWin32, FailedOpenKeepsTheOpenPort)
{
    REQUIRE_EMULATORS();
    ASSERT_EQ(pello::open_port("COM11", 9600), 0);
    int code = 0;
    EXPECT_EQ(stdout_of([&] { code = pello::open_port("COM19", 9600); }),
              "\a\aError: cannot open COM port COM19: " + system_text(ERROR_FILE_NOT_FOUND) + "\n");
    EXPECT_EQ(code, -2);
    EXPECT_TRUE(pello::port_is_open());
    unsigned char enq = 0;
    EXPECT_EQ(pello::read_port("COM11", &enq, 1, 2000), 1);
    EXPECT_EQ(enq, 0x05);
    pello::close_port();
    EXPECT_FALSE(pello::port_is_open());
    EXPECT_EQ(pello::open_port("COM11", 9600), 0);
    pello::close_port();
}

// Wine's own entry point, present only when running under Wine.
bool under_wine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(SerialWin32, SecondOpenOfTheSamePortIsRefused)
{
    REQUIRE_EMULATORS();
    if (under_wine())
        GTEST_SKIP() << "Wine does not keep a COM port opened without sharing from a second open";
    ASSERT_EQ(pello::open_port("COM11", 9600), 0);
    int code = 0;
    EXPECT_EQ(stdout_of([&] { code = pello::open_port("COM11", 9600); }),
              "\a\aError: cannot open COM port COM11: " + system_text(ERROR_ACCESS_DENIED) + "\n");
    EXPECT_EQ(code, -2);
    EXPECT_TRUE(pello::port_is_open());
    pello::close_port();
}

TEST(SerialWin32, NulBytesAreDroppedAndNotCounted)
{
    REQUIRE_EMULATORS();
    const std::string plain = power_up_text("COM11", 9600);
    pello::close_port();
    const std::string with_nul = power_up_text("COM12", 9600);  // NUL bytes between its lines
    pello::close_port();
    ASSERT_EQ(plain.size(), 100u) << plain;
    EXPECT_EQ(with_nul, plain);
}

TEST(SerialWin32, PurgeThrowsAwayWhatWasReceived)
{
    REQUIRE_EMULATORS();
    ASSERT_EQ(pello::open_port("COM11", 57600), 0);
    Sleep(1200);  // ENQ and the start-up text have arrived by now
    pello::purge_port();
    char buffer[1024];
    EXPECT_EQ(pello::read_port("COM11", buffer, 1024, 50), 0);
    pello::close_port();
}

TEST(SerialWin32, ReadDeadlines)
{
    REQUIRE_EMULATORS();
    struct {
        std::int32_t rate;
        int size;
        int limit;
        double deadline_ms;  // size * (10000 / rate) + limit + 10
    } cases[] = {
        {115200, 1, 100, 110},
        {57600, 1024, 60, 70},
        {4800, 20, 50, 100},
        {9600, 100, 200, 310},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(pello::open_port("COM13", c.rate), 0);  // a device that never answers
        std::vector<char> buffer(static_cast<std::size_t>(c.size));
        const auto start = steady::now();
        EXPECT_EQ(pello::read_port("COM13", buffer.data(), c.size, c.limit), 0);
        const double took = ms_since(start);
        EXPECT_GE(took, c.deadline_ms - 2) << c.rate;
        EXPECT_LT(took, c.deadline_ms + 60) << c.rate;
        pello::close_port();
    }
}

}  // namespace
