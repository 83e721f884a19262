// The COM numbers of the test programs, benchmarks and fixtures: each links a
// pseudo-terminal (or the emulator) as PELLO_PORT_DIR "/COM<n>". Programs that
// CTest may run at the same time need different numbers, or hold com_lock of
// the number they share. The utility takes COM1 to COM20 only; the emulator's
// own tests open the link directly and may go above.
#pragma once

namespace pello::test::com {

// End-to-end tests of the utility against the emulator: 1 to 10, one per
// group of cases.
inline constexpr int e2e_first = 1;
inline constexpr int e2e_last = 10;

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

// Benchmarks (not run by CTest). bench_link shares 11 to 13 with the device
// unit tests and bench_paced 14 and 15 with the fault and serial tests: run
// them on a machine that is not running the suite.
inline constexpr int bench_link_binary = 11;
inline constexpr int bench_link_inproc = 12;
inline constexpr int bench_link_echo = 13;
inline constexpr int bench_paced_download = 14;
inline constexpr int bench_paced_firmware = 15;
inline constexpr int bench_serial = 20;

}  // namespace pello::test::com
