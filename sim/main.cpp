// pellomatic-sim: emulates a Pellomatic on a pseudo-terminal, so that the host
// utility (built with a COM port template pointing at the link) can be tried
// and tested without the device.
#include "sim.hpp"

#include "serial/serial.hpp"  // to_timespec

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace pello::sim {

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal(int signo)
{
    const int saved = errno;
    const char code = signo == SIGUSR1 ? 'U' : signo == SIGUSR2 ? 'R' : 'T';
    (void)!write(signal_pipe[1], &code, 1);
    errno = saved;
}

bool parse_number(const char* text, long low, long high, long& value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 0);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

int usage_error(const char* format, const char* what)
{
    std::fprintf(stderr, "pellomatic-sim: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, "\nTry 'pellomatic-sim --help'.\n");
    return 2;
}

// What an option does with its value ("" for an option without one): returns
// 0 to go on, 1 to end after --help or --version, 2 after an error it has
// reported.
using option_action = int (*)(options& opt, const std::string& name, const std::string& value);

// One entry of the command line and of --help: an option, or (without a
// name) a text of the help printed as it stands.
struct option_entry {
    const char* name;   // "--link"; nullptr for a text of the help
    const char* alias;  // a short name ("-h"), or nullptr
    const char* value;  // what its value is called ("PATH"); nullptr when it takes none
    const char* help;   // what it does; lines after the first go under the first
    option_action action;
};

// A number in [low, high] for the option name, or the message that it is not.
bool option_number(const std::string& name, const std::string& value, long low, long high, long& n)
{
    if (parse_number(value.c_str(), low, high, n))
        return true;
    std::fprintf(stderr, "pellomatic-sim: invalid value for %s: %s\n", name.c_str(), value.c_str());
    return false;
}

// "K:VALUE": a packet or record number K from 1 and a value in [0, high].
bool numbered_value(const std::string& value, long high, long& k, long& n)
{
    const auto colon = value.find(':');
    return colon != std::string::npos &&
           parse_number(value.substr(0, colon).c_str(), 1, 1000000, k) &&
           parse_number(value.substr(colon + 1).c_str(), 0, high, n);
}

template <std::string options::*field>
int set_text(options& opt, const std::string&, const std::string& value)
{
    opt.*field = value;
    return 0;
}

template <bool options::*field>
int set_flag(options& opt, const std::string&, const std::string&)
{
    opt.*field = true;
    return 0;
}

template <int options::*field, long low, long high>
int set_number(options& opt, const std::string& name, const std::string& value)
{
    long n = 0;
    if (!option_number(name, value, low, high, n))
        return 2;
    opt.*field = static_cast<int>(n);
    return 0;
}

// A packet or record number, from 1; the option may be given again.
template <std::set<long> options::*field>
int add_number(options& opt, const std::string& name, const std::string& value)
{
    long n = 0;
    if (!option_number(name, value, 1, 1000000, n))
        return 2;
    (opt.*field).insert(n);
    return 0;
}

int set_confirm(options& opt, const std::string&, const std::string& value)
{
    opt.has_confirm = true;
    opt.confirm = value;
    return 0;
}

int add_reply_at(options& opt, const std::string&, const std::string& value)
{
    long k = 0, byte = 0;
    if (!numbered_value(value, 255, k, byte))
        return usage_error("--reply-at needs K:BYTE (K from 1, BYTE 0 to 0xFF), not %s",
                           value.c_str());
    opt.reply_at[k] = static_cast<unsigned char>(byte);
    return 0;
}

int add_delay_at(options& opt, const std::string&, const std::string& value)
{
    long k = 0, ms = 0;
    if (!numbered_value(value, 600000, k, ms))
        return usage_error("--delay-at needs K:MS (K from 1, MS 0 to 600000), not %s",
                           value.c_str());
    opt.delay_at[k] = static_cast<int>(ms);
    return 0;
}

int print_help(options&, const std::string&, const std::string&);

int print_version(options&, const std::string&, const std::string&)
{
    std::printf("pellomatic-sim %s\n", PELLOMATIC_VERSION);
    return 1;
}

// Longest time option, in ms.
constexpr long ms_max = 600000;

const option_entry option_table[] = {
    {nullptr, nullptr, nullptr,
     "Usage: pellomatic-sim --link PATH [options]\n"
     "\n"
     "Emulates a Pellomatic packet-radio digipeater on a pseudo-terminal: its operating\n"
     "console, the packet mode of the download and the firmware loader. The slave side of\n"
     "the pseudo-terminal is linked at PATH; a host utility whose COM port template points\n"
     "there reaches the emulator as a COM port.\n"
     "\n"
     "The device is powered while the host has the port open. It switches on a moment\n"
     "after the host opens the port (--power-delay), or when power-cycled on demand; it\n"
     "sends the loader prompt ENQ (0x05) and waits for SYN (0x16). With SYN it runs the\n"
     "firmware loader; without, it sends its start-up text (the device name and\n"
     "\"Version X.Y\", at least 100 bytes) and runs the operating console. Closing the port\n"
     "switches it off.\n"
     "\n"
     "Operating console: 0x03 is answered \"Connected <rate>\" with the rate set on the line;\n"
     "\"host N\\r\" sets the device's host rate (no answer); \"\\r\" is answered with the prompt\n"
     "\"Pellom> \"; \"download\\r\\n\" is answered \"download\\r\\n\" and enters packet mode.\n"
     "Packet mode answers every packet ACK (0x06), or NAK (0x15) when its length (5 to 64)\n"
     "or its CRC-16 is wrong; after a bad packet the input is dropped until the line pauses.\n"
     "The loader answers SYN and the identifier \"PeLoMa1.0\" with ACK (any other 9 bytes\n"
     "with NAK), then every record line ended by CR with ACK, or DC1 (0x11) when it does not\n"
     "start with ':', DC2 (0x12) when its checksum is wrong, NAK when it is malformed.\n"
     "\n"
     "Line and power:\n",
     nullptr},
    {"--link", nullptr, "PATH",
     "link the pseudo-terminal here (required); an existing symbolic\n"
     "link is replaced, anything else at PATH (a file, a device) is\n"
     "refused, and the link is removed on exit",
     set_text<&options::link>},
    {"--out", nullptr, "DIR",
     "write what each download or firmware update received into\n"
     "DIR (created when missing; see Files)",
     set_text<&options::out_dir>},
    {"--log", nullptr, "FILE", "write a trace of events and bytes, with timestamps, to FILE",
     set_text<&options::log_path>},
    {"--power-delay", nullptr, "MS",
     "power up MS ms after the host opens the port (default 300,\n"
     "later than the host's drain of the line)",
     set_number<&options::power_delay_ms, 0, ms_max>},
    {"--power-at-flush", nullptr, "N",
     "power up at the host's Nth flush of its input after it opens\n"
     "the port, or --power-delay ms after the open when that comes\n"
     "first. The utility flushes once at the open and once when its\n"
     "drain of the line ends: with 2 the loader prompt comes the\n"
     "moment it listens, and the loader's wait for SYN counts from\n"
     "the open, as if the device had been switched on then",
     set_number<&options::power_at_flush, 1, 1000>},
    {"--manual-power", nullptr, nullptr,
     "do not power up when the host opens the port: only on demand.\n"
     "Use it (with --stdin-power) for a firmware update typed by an\n"
     "operator: the utility looks for the loader prompt only after\n"
     "the operator's Enter, and a device switched on at the open\n"
     "would have left its prompt and start-up text in the line's\n"
     "buffer by then; power-cycle when the utility says TURN ON",
     set_flag<&options::manual_power>},
    {"--stdin-power", nullptr, nullptr,
     "each line (Enter) on standard input power-cycles the device",
     set_flag<&options::stdin_power>},
    {"--loader-wait", nullptr, "MS", "how long the device waits for SYN after ENQ (default 500)",
     set_number<&options::loader_wait_ms, 0, ms_max>},
    {"--pace", nullptr, nullptr,
     "pace every byte to the line rate (10 bits per byte at the rate\n"
     "set on the line), both ways: received bytes are handled when\n"
     "they would have arrived, sent bytes go one character time apart.\n"
     "A pseudo-terminal drains at once, so the host's answer window\n"
     "starts before the paced bytes arrive: a firmware record line of\n"
     "more than about 200 characters (128 data bytes take 140 ms at\n"
     "19200 baud, the window is 110 ms) times out here, although it\n"
     "does not on a real line",
     set_flag<&options::pace>},
    {"--once", nullptr, nullptr,
     "exit when the host closes the port after a download or a\n"
     "firmware update (or after a hang-up)",
     set_flag<&options::once>},
    {"--chatter", nullptr, "MS",
     "stand for another device on the port (a GPS receiver, a\n"
     "terminal server): from the host's open on, send a line of\n"
     "text every MS ms, never power up and answer nothing",
     set_number<&options::chatter_ms, 1, ms_max>},
    {"--quiet", nullptr, nullptr, "print only the ready line and errors",
     set_flag<&options::quiet>},
    {"--help", "-h", nullptr, "print this help", print_help},
    {"--version", nullptr, nullptr, "print the emulator's version", print_version},
    {nullptr, nullptr, nullptr,
     "  SIGUSR1 power-cycles the device while the host has the port open; SIGUSR2\n"
     "  resumes a line stalled by --stall-at; SIGTERM and SIGINT end the emulator (what\n"
     "  the current session received is written first).\n"
     "\n"
     "Start-up text and console faults:\n",
     nullptr},
    {"--name", nullptr, "TEXT", "device name in the start-up text (default Pellomatic)",
     set_text<&options::name>},
    {"--no-name", nullptr, nullptr, "no device name in the start-up text",
     set_flag<&options::no_name>},
    {"--device-version", nullptr, "TEXT",
     "version after \"Version \" (default 2.1; for example 2.0,\n"
     "2.10, 3.0, or a text without a '.')",
     set_text<&options::version>},
    {"--version-first", nullptr, nullptr, "the \"Version\" line comes before the device name",
     set_flag<&options::version_first>},
    {"--startup-nul", nullptr, nullptr, "NUL bytes between the lines of the start-up text",
     set_flag<&options::startup_nul>},
    {"--nul-storm", nullptr, "N",
     "N NUL bytes before every byte the device sends (the loader\n"
     "prompt, the start-up text, every answer): the host must drop\n"
     "them all, neither counting them nor ending a read on them",
     set_number<&options::nul_storm, 0, 100000>},
    {"--noise", nullptr, "N",
     "N bytes of noise (any byte but NUL, the high half included)\n"
     "before the start-up text",
     set_number<&options::noise, 0, 4096>},
    {"--short-startup", nullptr, nullptr,
     "a start-up text under 100 bytes (the host then waits its\n"
     "whole window)",
     set_flag<&options::short_startup>},
    {"--silent", nullptr, nullptr, "power up but never send or answer anything",
     set_flag<&options::silent>},
    {"--confirm", nullptr, "TEXT", "answer 0x03 with TEXT instead of \"Connected <rate>\"",
     set_confirm},
    {"--confirm-delay", nullptr, "MS", "answer 0x03 MS ms after it arrived",
     set_number<&options::confirm_delay_ms, 0, ms_max>},
    {"--confirm-hangup", nullptr, "N",
     "answer 0x03 with only the first N bytes of the answer (0: with\n"
     "nothing), then hang the line up",
     set_number<&options::confirm_hangup, 0, 4096>},
    {"--no-prompt", nullptr, nullptr, "no answer to \"\\r\"", set_flag<&options::no_prompt>},
    {"--extra-after-download", nullptr, "N",
     "answer \"download\\r\\n\" with N bytes (\"download\\r\\n\" cut\n"
     "or padded with '.'), to test the host's 64-byte drain",
     set_number<&options::download_answer, 0, 4096>},
    {"--fill", nullptr, nullptr,
     "pad the answers to 0x03 and \"\\r\" in front so that, with what\n"
     "the host has not read yet, they make the 1024 bytes of the\n"
     "host's read, which then ends at once instead of waiting its\n"
     "whole window (3 s at 9600 baud after 0x03, 20 s after \"\\r\");\n"
     "it counts on the host's first read taking 100 bytes of the\n"
     "start-up text, as the utility's does",
     set_flag<&options::fill>},
    {nullptr, nullptr, nullptr,
     "\n"
     "Packet and record faults (K counts the packets, or the record lines, received in\n"
     "one session from 1, resends included; a session is one download or one firmware\n"
     "update and ends when the device is switched off):\n",
     nullptr},
    {"--nak-first", nullptr, "N",
     "answer NAK to the first N sends of every packet and of every\n"
     "record line (a send that repeats a refused packet or line is\n"
     "a further send of it)",
     set_number<&options::nak_first, 0, 1000>},
    {"--reply-at", nullptr, "K:BYTE",
     "answer packet or record K with BYTE (for example 0x41,\n"
     "0x17 ETB, 0x18 CAN, 0x11, 0x12, 0x15); repeatable",
     add_reply_at},
    {"--silent-at", nullptr, "K", "no answer to packet or record K; repeatable",
     add_number<&options::silent_at>},
    {"--hangup-at", nullptr, "K",
     "hang the line up at packet or record K instead of answering it\n"
     "(the emulator closes its side, then links a fresh\n"
     "pseudo-terminal); repeatable",
     add_number<&options::hangup_at>},
    {"--delay-at", nullptr, "K:MS", "answer packet or record K MS ms after it arrived; repeatable",
     add_delay_at},
    {"--stall-at", nullptr, "K",
     "the line stalls before the answer to packet or record K:\n"
     "the device stops taking bytes, so what the host sends next\n"
     "stays in its port, as when the far end of a real line stops\n"
     "reading, until SIGUSR2 resumes the line; repeatable",
     add_number<&options::stall_at>},
    {nullptr, nullptr, nullptr,
     "  A packet or record is used only when it is sound and answered ACK.\n"
     "\n"
     "Loader handshake faults:\n",
     nullptr},
    {"--sync-delay", nullptr, "MS", "acknowledge SYN MS ms after it arrived",
     set_number<&options::sync_delay_ms, 0, ms_max>},
    {"--ident-delay", nullptr, "MS", "answer the identifier MS ms after it arrived",
     set_number<&options::ident_delay_ms, 0, ms_max>},
    {"--ident-hangup", nullptr, nullptr,
     "hang the line up when the identifier has come, instead of\n"
     "answering it",
     set_flag<&options::ident_hangup>},
    {nullptr, nullptr, nullptr,
     "\n"
     "A late answer (--confirm-delay, --delay-at, --sync-delay, --ident-delay) holds back\n"
     "whatever the device sends after it too, in order, as on a serial line.\n",
     nullptr},
    {"--hangup-delay", nullptr, "MS",
     "a hang-up (--hangup-at, --confirm-hangup, --ident-hangup)\n"
     "comes MS ms after what triggers it, or after the late answer\n"
     "it follows (default 50): the host has then finished its write\n"
     "and waits for the answer (a line lost under a write fails the\n"
     "write instead). 50 ms falls inside the 110 ms window of a\n"
     "firmware record; the longer windows allow a longer delay",
     set_number<&options::hangup_delay_ms, 0, ms_max>},
    {nullptr, nullptr, nullptr,
     "\n"
     "Files (in --out DIR, written when a session ends and after the finish packet or the\n"
     "end-of-file record):\n"
     "  download: conf.bin (the configuration image), rules.bin (the rule image),\n"
     "            packets.log (every packet received in hex, with the answer given),\n"
     "            report.txt (counts, CRC results, decoded configuration and rules)\n"
     "  firmware: firmware.log (every record line received, as received without the CR),\n"
     "            firmware.bin (the data from the lowest address, gaps 0xFF),\n"
     "            report.txt (counts, resends, record types, address ranges)\n",
     nullptr},
};

// The help: each option as "  NAME VALUE", its text from the 27th column
// (two blanks further when the name is longer), and the texts between.
std::string help_text()
{
    constexpr std::size_t name_width = 22;
    const std::string indent(2 + name_width + 2, ' ');
    std::string out;
    for (const option_entry& e : option_table) {
        if (e.name == nullptr) {
            out += e.help;
            continue;
        }
        std::string name =
            e.alias != nullptr ? std::string(e.alias) + ", " + e.name : std::string(e.name);
        if (e.value != nullptr)
            name += std::string(" ") + e.value;
        if (name.size() < name_width)
            name.resize(name_width, ' ');
        out += "  " + name + "  ";
        for (const char* c = e.help; *c != '\0'; ++c)
            out += *c == '\n' ? "\n" + indent : std::string(1, *c);
        out += '\n';
    }
    return out;
}

int print_help(options&, const std::string&, const std::string&)
{
    std::fputs(help_text().c_str(), stdout);
    return 1;
}

const option_entry* find_option(const std::string& arg)
{
    for (const option_entry& e : option_table)
        if (e.name != nullptr && (arg == e.name || (e.alias != nullptr && arg == e.alias)))
            return &e;
    return nullptr;
}

// Reads the command line into opt; returns 0 to run, 1 after --help or --version, 2 on an error.
int parse_options(int argc, char** argv, options& opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg.resize(arg.find('='));
            has_value = true;
        }
        const option_entry* entry = find_option(arg);
        const bool needs_value = entry != nullptr && entry->value != nullptr;
        if (needs_value && !has_value) {
            if (i + 1 >= argc)
                return usage_error("%s needs a value", arg.c_str());
            value = argv[++i];
        } else if (!needs_value && has_value) {
            return usage_error("%s takes no value", arg.c_str());
        }
        if (entry == nullptr)
            return usage_error("unknown option %s", arg.c_str());
        const int status = entry->action(opt, arg, value);
        if (status != 0)
            return status;
    }
    if (opt.link.empty())
        return usage_error("%s", "--link PATH is required");
    return 0;
}

void install_signals()
{
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pellomatic-sim: pipe");
        std::exit(1);
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int signo : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2})
        sigaction(signo, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The line was hung up on purpose: the session ends, and a fresh
// pseudo-terminal takes the link for the next connection.
bool hang_up(device& d)
{
    d.hangup = false;
    power_off(d, "hang-up");
    close_line(d);
    event(d, "line hung up");
    if (d.opt.once) {
        d.quit = true;
        return true;
    }
    return open_line(d);
}

// What the host sent. A close and a new open of the port are taken first,
// so that what is read then (the new opening's flush) is the new opening's.
void read_line(device& d, time_point now)
{
    check_host(d, now);
    if (d.host_open)
        read_master(d, now);
}

int run(device& d)
{
    bool stdin_open = d.opt.stdin_power;
    while (!d.quit) {
        time_point now = sim_clock::now();
        check_host(d, now);
        handle_due(d, now);
        if (d.hangup && !hang_up(d))
            return 1;
        flush_tx(d, now);
        if (d.quit)
            break;

        pollfd fds[4];
        nfds_t n = 0;
        fds[n++] = {signal_pipe[0], POLLIN, 0};
        const nfds_t stdin_at = n;
        if (stdin_open)
            fds[n++] = {0, POLLIN, 0};
        if (d.notify >= 0)
            fds[n++] = {d.notify, POLLIN, 0};
        const nfds_t master_at = n;
        if (d.host_open)
            fds[n++] = {d.master, POLLIN, 0};
        time_point wake = next_wake(d, now);
        // Without inotify the opening of the port is found by looking every 5 ms.
        if (!d.host_open && d.notify < 0)
            wake = std::min(wake, now + milliseconds(5));
        const timespec wait = to_timespec(wake - now);
        const int ready = ppoll(fds, n, wake == time_point::max() ? nullptr : &wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::perror("pellomatic-sim: poll");
            return 1;
        }
        now = sim_clock::now();
        if ((fds[0].revents & POLLIN) != 0) {
            char codes[16];
            const ssize_t k = read(signal_pipe[0], codes, sizeof codes);
            for (ssize_t i = 0; i < k; ++i) {
                if (codes[i] == 'U')
                    power_cycle(d, now, "SIGUSR1");
                else if (codes[i] == 'R')
                    resume_line(d);
                else
                    d.quit = true;
            }
        }
        if (stdin_open && fds[stdin_at].revents != 0) {
            char text[256];
            const ssize_t k = read(0, text, sizeof text);
            if (k <= 0)
                stdin_open = false;
            for (ssize_t i = 0; i < k; ++i)
                if (text[i] == '\n')
                    power_cycle(d, now, "Enter on standard input");
        }
        if (d.host_open && master_at < n && (fds[master_at].revents & POLLIN) != 0)
            read_line(d, now);
    }
    return 0;
}

}  // namespace

}  // namespace pello::sim

int main(int argc, char** argv)
{
    using namespace pello::sim;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    device d;
    const int parsed = parse_options(argc, argv, d.opt);
    if (parsed != 0)
        return parsed == 1 ? 0 : 2;
    if (!d.opt.log_path.empty())
        trace_open(d.opt.log_path);
    install_signals();
    if (!open_line(d)) {
        remove_link(d);
        return 1;
    }
    std::printf("pellomatic-sim: ready on %s\n", d.opt.link.c_str());
    trace("ready on %s", d.opt.link.c_str());
    const int status = run(d);
    // A signal to end can come before the emulator has read what the host
    // wrote last (a packet sent just before the host gave up): it is still
    // handled, and so in what the session received.
    if (d.host_open)
        handle_pending_input(d, sim_clock::now());
    power_off(d, "emulator ends");
    resume_line(d);
    remove_link(d);
    close_line(d);
    trace("exit %d", status);
    trace_close();
    return status;
}
