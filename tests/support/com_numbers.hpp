// The COM numbers of the test programs, benchmarks and fixtures: each links a
// pseudo-terminal (or the emulator) as PELLO_PORT_DIR "/COM<n>". Programs that
// CTest may run at the same time need different numbers, or hold com_lock of
// the number they share. The utility takes COM1 to COM20 only; the emulator's
// own tests open the link directly and may go above.
#pragma once

#include <string>

namespace pello::test::com {

// End-to-end tests of the utility against the emulator: 1 to 10, one per
// group of cases.
inline constexpr int e2e_connect = 1;           // rates, command errors, disconnect
inline constexpr int e2e_held = 2;              // port held by another program
inline constexpr int e2e_version = 3;           // device version boundaries
inline constexpr int e2e_handshake = 4;         // handshake failures
inline constexpr int e2e_silent = 5;            // silent device, whole window
inline constexpr int e2e_baud = 6;              // baud change and resynchronisation
inline constexpr int e2e_download = 7;          // download of the images
inline constexpr int e2e_download_faults = 8;   // refused and wrong answers
inline constexpr int e2e_firmware = 9;          // firmware command and file checks
inline constexpr int e2e_firmware_faults = 10;  // loader faults
// A valid number the file tests name in a firmware command whose file is
// refused before any port is opened.
inline constexpr int e2e_never_opened = e2e_connect;

// Device unit tests: the packet exchange, the link, the loader.
inline constexpr int device_packets = 11;
inline constexpr int device_link = 12;
inline constexpr int device_loader = 13;

// Fault tests, each holding com_lock of its number.
inline constexpr int faults_a = 14;
inline constexpr int faults_b = 17;

// Serial tests: the usual pseudo-terminal, the one whose settings cannot be
// set, the one for the long read, and a number that must not exist.
inline constexpr int serial_port = 15;
inline constexpr int serial_unsettable = 16;
inline constexpr int serial_long_read = 18;
inline constexpr int serial_missing = 19;

// The emulator's own tests: 21 and up.
inline constexpr int sim_first = 21;

// Benchmarks (not run by CTest), on numbers no test uses, so that they can run
// while the suite does. Those that open the port directly (open_port,
// firmware(), the emulator's --link) take 31 and up. Those that type the
// utility's command need 1 to 20, where only 20 is free: bench_link's utility
// run and both runs of bench_paced take it, one after the other (the
// benchmark programs run in turn, and each emulator is stopped before the
// next starts).
inline constexpr int bench_link_binary = 20;
inline constexpr int bench_paced_download = 20;
inline constexpr int bench_paced_firmware = 20;
inline constexpr int bench_link_inproc = 31;
inline constexpr int bench_link_echo = 32;
inline constexpr int bench_serial = 33;

// The name the port layer opens for a number: "COM<n>".
inline std::string port_name(int number)
{
    return "COM" + std::to_string(number);
}

}  // namespace pello::test::com
