// The device itself: power, the loader prompt at power-up, the start-up text,
// the operating console, the answers to packets and records with the faults
// asked for, and the pacing of bytes to the line rate.
#include "sim.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace pello::sim {

namespace {

constexpr std::size_t console_line_max = 128;

// What --chatter sends, over and over: a GPS receiver's position sentence.
constexpr std::string_view chatter_text =
    "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

std::string startup_text(const options& opt)
{
    const std::string name_line = opt.no_name ? "" : opt.name + " packet digipeater\r\n";
    const std::string version_line = "Version " + opt.version + "\r\n";
    const std::string nul = opt.startup_nul ? std::string(2, '\0') : std::string();
    std::string text = nul + "\r\n" + nul;
    text += opt.version_first ? version_line + nul + name_line : name_line + nul + version_line;
    if (opt.short_startup)
        return text;
    text += nul + "Ports: Host, DSTAR, TNC\r\n";
    text += nul + "Configuration and rules loaded from memory\r\n";
    // At least 10 bytes that count (NUL bytes do not) more than the host's
    // first read takes, so that read ends at once.
    constexpr auto startup_min = static_cast<std::size_t>(host_startup_read + 10);
    const auto counted = static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return c != '\0'; }));
    if (counted < startup_min)
        text += std::string(startup_min - counted, '-') + "\r\n";
    return text + "Ready\r\n";
}

// Noise on the line before the start-up text: any byte but NUL (which the
// host drops), the high half included, always the same sequence.
std::string noise_bytes(int count)
{
    std::string bytes;
    std::uint32_t seed = 0x2545F491u;
    while (static_cast<int>(bytes.size()) < count) {
        seed = seed * 1664525u + 1013904223u;
        const auto b = static_cast<unsigned char>(seed >> 24);
        if (b != 0)
            bytes += static_cast<char>(b);
    }
    return bytes;
}

// With --fill an answer is padded in front so that, with what the host has
// not read yet, it makes the whole of the host's read.
void send_filled(device& d, const std::string& text)
{
    std::string answer;
    const long wanted = host_answer_read - d.unread;
    if (d.opt.fill && static_cast<long>(text.size()) < wanted) {
        const auto pad = static_cast<std::size_t>(wanted) - text.size();
        for (std::size_t i = 0; i < pad; ++i)
            answer += (i % 64 == 62 || i + 2 == pad)   ? '\r'
                      : (i % 64 == 63 || i + 1 == pad) ? '\n'
                                                       : '.';
    }
    send(d, answer + text);
    if (d.opt.fill)
        d.unread = 0;
}

void send_startup(device& d)
{
    std::string text = noise_bytes(d.opt.noise) + startup_text(d.opt);
    send(d, text);
    d.state = mode::console;
    d.console_line.clear();
    event(d, "start-up text sent (%zu bytes), operating console", text.size());
}

bool starts_with_word(const std::string& line, const char* word)
{
    std::size_t i = 0;
    for (; word[i] != '\0'; ++i)
        if (i >= line.size() || std::tolower(static_cast<unsigned char>(line[i])) != word[i])
            return false;
    return i == line.size() || line[i] == ' ';
}

void console_command(device& d)
{
    std::string line = d.console_line;
    d.console_line.clear();
    trace("console line \"%s\"", line.c_str());
    if (line.empty()) {
        if (!d.opt.no_prompt)
            send_filled(d, "\r\nPellom> ");
        return;
    }
    if (starts_with_word(line, "host")) {
        d.host_rate = std::strtol(line.c_str() + 4, nullptr, 10);
        event(d, "host rate set to %ld", d.host_rate);
        return;
    }
    if (starts_with_word(line, "download") && line.size() == 8) {
        std::string answer = "download\r\n";
        if (d.opt.download_answer >= 0) {
            answer.resize(std::min(answer.size(), static_cast<std::size_t>(d.opt.download_answer)));
            answer.resize(static_cast<std::size_t>(d.opt.download_answer), '.');
        }
        send(d, answer);
        download_begin(d);
        return;
    }
    send(d, "\r\n?\r\nPellom> ");
}

void console_byte(device& d, unsigned char byte)
{
    if (byte == ETX) {
        d.console_line.clear();
        // The host's first read took the first bytes after power-up.
        if (!d.startup_read) {
            d.unread = std::max(0L, d.unread - host_startup_read);
            d.startup_read = true;
        }
        const long rate = read_line_rates(d.master).out;
        const std::string text = d.opt.has_confirm ? d.opt.confirm + "\r\n"
                                                   : "Connected " + std::to_string(rate) + "\r\n";
        hold_answer(d, d.opt.confirm_delay_ms, "the answer to 0x03");
        if (d.opt.confirm_hangup >= 0) {
            const auto n = std::min(text.size(), static_cast<std::size_t>(d.opt.confirm_hangup));
            send(d, text.substr(0, n));
            plan_hangup(d, format_text("attention: answered %zu bytes", n).c_str());
            return;
        }
        send_filled(d, text);
        event(d, "attention: answered %s",
              d.opt.has_confirm ? "the --confirm text" : text.substr(0, text.size() - 2).c_str());
        return;
    }
    if (byte == '\r') {
        console_command(d);
        return;
    }
    if (byte == '\n')
        return;
    if (d.console_line.size() < console_line_max)
        d.console_line += static_cast<char>(byte);
}

void device_byte(device& d, unsigned char byte, time_point t)
{
    switch (d.state) {
    case mode::off:
    case mode::silent:
        break;
    case mode::boot:
        if (byte == SYN) {
            hold_answer(d, d.opt.sync_delay_ms, "the ACK of SYN");
            send_byte(d, ACK);
            loader_begin(d);
        }
        break;
    case mode::console:
        console_byte(d, byte);
        break;
    case mode::packet:
        download_byte(d, byte, t);
        break;
    case mode::loader:
        loader_byte(d, byte);
        break;
    }
}

}  // namespace

nanoseconds char_time(const device& d)
{
    long rate = read_line_rates(d.master).out;
    if (rate <= 0)
        rate = 9600;
    return nanoseconds(10'000'000'000LL / rate);
}

void send(device& d, std::string_view bytes)
{
    if (bytes.empty() || d.master < 0 || !d.host_open)
        return;
    // A NUL storm: NUL bytes before every byte; the host must drop them all.
    const auto storm = static_cast<std::size_t>(d.opt.nul_storm);
    if (storm > 0)
        trace("storm: %zu NUL bytes before each byte of the next send", storm);
    trace_bytes("send", reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    // Paced, a byte reaches the host one character time after it starts; an
    // answer starts when the byte it answers arrived, not when the emulator
    // got round to it.
    if (d.opt.pace && d.tx.empty()) {
        const time_point start = d.rx_handled != time_point{} ? d.rx_handled : sim_clock::now();
        d.tx_next = std::max(d.tx_next, start + char_time(d));
    }
    for (const char c : bytes) {
        d.tx.insert(d.tx.end(), storm, 0);
        d.tx.push_back(static_cast<unsigned char>(c));
        if (c != '\0')
            ++d.unread;
    }
}

void send_byte(device& d, unsigned char byte)
{
    send(d, std::string_view(reinterpret_cast<const char*>(&byte), 1));
}

void hold_answer(device& d, int delay_ms, const char* what)
{
    if (delay_ms <= 0)
        return;
    const time_point until = sim_clock::now() + milliseconds(delay_ms);
    d.tx_hold = std::max(d.tx_hold, until);
    // Paced, the first byte then reaches the host one character time later.
    if (d.opt.pace)
        d.tx_next = std::max(d.tx_next, d.tx_hold + char_time(d));
    event(d, "%s held back %d ms", what, delay_ms);
}

// The hang-up comes --hangup-delay ms after what triggered it (and after a
// late answer), so that the host has finished its write and waits in its
// read: a line that goes while the host is still writing fails the write
// instead, which is another fault.
void plan_hangup(device& d, const char* why)
{
    const time_point at =
        std::max(d.tx_hold, sim_clock::now()) + milliseconds(d.opt.hangup_delay_ms);
    d.hangup_due = std::min(d.hangup_due, at);
    event(d, "%s: the line hangs up in %d ms", why, d.opt.hangup_delay_ms);
}

void flush_tx(device& d, time_point now)
{
    if (!d.host_open || d.master < 0) {
        d.tx.clear();
        return;
    }
    if (now < d.tx_hold)
        return;  // a slow answer, and whatever follows it, is not due yet
    if (d.tx_hold != time_point{}) {
        trace("held answer due, going out %lld us late",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::microseconds>(now - d.tx_hold).count()));
        d.tx_hold = time_point{};
    }
    if (!d.opt.pace) {
        while (!d.tx.empty()) {
            unsigned char chunk[1024];
            const std::size_t n = std::min(d.tx.size(), sizeof chunk);
            std::copy_n(d.tx.begin(), n, chunk);
            const ssize_t k = write(d.master, chunk, n);
            if (k <= 0) {
                if (k < 0 && errno != EAGAIN && errno != EINTR)
                    d.tx.clear();  // the line is gone; the hang-up is seen next
                return;
            }
            d.tx.erase(d.tx.begin(), d.tx.begin() + k);
        }
        return;
    }
    // Paced: one byte per character time at the rate set on the line.
    const nanoseconds step = char_time(d);
    while (!d.tx.empty() && now >= d.tx_next) {
        const unsigned char byte = d.tx.front();
        const ssize_t k = write(d.master, &byte, 1);
        if (k != 1) {
            if (k < 0 && errno != EAGAIN && errno != EINTR)
                d.tx.clear();
            return;
        }
        d.tx.pop_front();
        d.tx_next = (now > d.tx_next + step ? now : d.tx_next) + step;
    }
}

// --- The phases of the device, each starting the fields it owns afresh in
// one place: the host's opening of the port, power off, power on, and a
// session (begin_session and end_session).

namespace {

// The host opened the port: the device is off, nothing is on its way in or
// out, and this opening has run no session yet.
void reset_for_open(device& d, time_point now)
{
    d.had_session = false;
    d.rx.clear();
    d.tx.clear();
    d.rx_last = now;
    d.tx_next = now;
    d.state = mode::off;
}

// Power goes off: no power-up is due, nothing is on its way in or out, no
// answer is held back and no hang-up is planned.
void reset_for_power_off(device& d)
{
    d.power_pending = false;
    d.flushes_to_power = 0;
    d.rx.clear();
    d.tx.clear();
    d.tx_hold = time_point{};
    d.hangup_due = time_point::max();
}

// Power comes on: as at power-off, and the console starts afresh (the
// host's first read of the start-up text is still to come).
void reset_for_power_on(device& d)
{
    reset_for_power_off(d);
    d.console_line.clear();
    d.unread = 0;
    d.startup_read = false;
}

}  // namespace

void begin_session(device& d, session_kind kind)
{
    if (kind == session_kind::download) {
        d.dl = download_state{};
        d.state = mode::packet;
    } else {
        d.ld = loader_state{};
        d.state = mode::loader;
    }
    d.session = kind;
    d.had_session = true;
}

void end_session(device& d)
{
    if (d.session == session_kind::download)
        download_write(d);
    else if (d.session == session_kind::firmware)
        loader_write(d);
    d.session = session_kind::none;
}

void host_opened(device& d, time_point now)
{
    d.host_open = true;
    d.opened_at = now;
    reset_for_open(d, now);
    d.power_pending = !d.opt.manual_power && d.opt.chatter_ms == 0;
    d.flushes_to_power = d.power_pending ? d.opt.power_at_flush : 0;
    d.power_at = now + milliseconds(d.opt.power_delay_ms);
    if (d.opt.chatter_ms > 0) {
        d.chatter_due = now;
        event(d, "host opened the port; chatter every %d ms", d.opt.chatter_ms);
    } else if (d.opt.manual_power)
        event(d, "host opened the port; waiting for power (SIGUSR1%s)",
              d.opt.stdin_power ? " or Enter" : "");
    else if (d.flushes_to_power > 0)
        event(d, "host opened the port; power-up at its flush %d of its input, or in %d ms",
              d.flushes_to_power, d.opt.power_delay_ms);
    else
        event(d, "host opened the port; power-up in %d ms", d.opt.power_delay_ms);
    for (; d.reopen_flushes > 0; --d.reopen_flushes)
        host_flushed(d, now);
}

void host_flushed(device& d, time_point now)
{
    if (d.host_closing) {
        ++d.reopen_flushes;
        return;
    }
    if (d.flushes_to_power == 0)
        return;
    event(d, "host flushed its input");
    // Switched on at the open: its loader has waited for SYN since then.
    if (--d.flushes_to_power == 0)
        power_on(d, now, d.opened_at);
}

void handle_pending_input(device& d, time_point now)
{
    read_master(d, now);
    for (auto& entry : d.rx)
        entry.first = now;
    handle_due(d, now);
}

void host_closed(device& d, time_point now)
{
    // What the host wrote before closing is still handled, in order. A flush
    // found with it is the next open's (the utility flushes when it opens
    // the port, never just before it closes it): a close and the open after
    // it are often seen together.
    d.host_closing = true;
    handle_pending_input(d, now);
    d.host_closing = false;
    power_off(d, "host closed the port");
    d.host_open = false;
    d.chatter_due = time_point::max();
    if (d.opt.once && d.had_session)
        d.quit = true;
}

void power_on(device& d, time_point now, time_point switched_on)
{
    reset_for_power_on(d);
    if (d.opt.silent) {
        d.state = mode::silent;
        event(d, "power on (silent)");
        return;
    }
    d.state = mode::boot;
    d.boot_until = std::max(now, switched_on + milliseconds(d.opt.loader_wait_ms));
    event(d, "power on: loader prompt ENQ, waiting %d ms for SYN",
          static_cast<int>(std::chrono::duration_cast<milliseconds>(d.boot_until - now).count()));
    send_byte(d, ENQ);
}

void power_off(device& d, const char* why)
{
    end_session(d);
    if (d.state != mode::off || d.power_pending)
        event(d, "power off: %s", why);
    d.state = mode::off;
    reset_for_power_off(d);
}

void power_cycle(device& d, time_point now, const char* why)
{
    if (d.opt.chatter_ms > 0) {
        event(d, "%s: ignored, the device only chatters", why);
        return;
    }
    if (!d.host_open) {
        event(d, "%s: ignored, the host has not opened the port", why);
        return;
    }
    power_off(d, why);
    power_on(d, now, now);
}

void handle_due(device& d, time_point now)
{
    if (now >= d.hangup_due) {
        d.hangup_due = time_point::max();
        d.hangup = true;
        return;
    }
    if (d.power_pending && now >= d.power_at)
        power_on(d, now, now);
    if (d.host_open && now >= d.chatter_due) {
        send(d, chatter_text);
        d.chatter_due = now + milliseconds(d.opt.chatter_ms);
    }
    while (!d.rx.empty() && d.rx.front().first <= now && !d.hangup) {
        const auto [t, byte] = d.rx.front();
        d.rx.pop_front();
        d.rx_handled = t;
        device_byte(d, byte, t);
    }
    d.rx_handled = time_point{};
    if (d.hangup)
        return;
    if (d.state == mode::boot && now >= d.boot_until && d.rx.empty())
        send_startup(d);
    if (d.state == mode::packet)
        download_timers(d, now);
}

time_point next_wake(const device& d, time_point now)
{
    time_point wake = time_point::max();
    if (d.power_pending)
        wake = std::min(wake, d.power_at);
    if (!d.rx.empty())
        wake = std::min(wake, d.rx.front().first);
    if (!d.tx.empty()) {
        if (d.opt.pace)
            wake = std::min(wake, std::max(d.tx_next, d.tx_hold));
        else
            wake = std::min(wake, now >= d.tx_hold ? now + milliseconds(5) : d.tx_hold);
    }
    wake = std::min(wake, d.hangup_due);
    if (d.host_open)
        wake = std::min(wake, d.chatter_due);
    if (d.state == mode::boot)
        wake = std::min(wake, d.boot_until);
    time_point when;
    if (d.state == mode::packet && download_deadline(d, when))
        wake = std::min(wake, when);
    return wake;
}

namespace {

int decide_answer(device& d, long number, int sends, unsigned char natural)
{
    if (d.opt.hangup_at.count(number) != 0) {
        plan_hangup(d, format_text("no answer to %ld", number).c_str());
        return answer_hangup;
    }
    if (d.opt.silent_at.count(number) != 0)
        return answer_none;
    // The line stops before the answer goes out, so the host's next send
    // meets a stalled line.
    if (d.opt.stall_at.count(number) != 0)
        stall_line(d);
    const auto delay = d.opt.delay_at.find(number);
    if (delay != d.opt.delay_at.end())
        hold_answer(d, delay->second, format_text("the answer to %ld", number).c_str());
    const auto reply = d.opt.reply_at.find(number);
    if (reply != d.opt.reply_at.end())
        return reply->second;
    if (natural == ACK && sends <= d.opt.nak_first)
        return NAK;
    return natural;
}

}  // namespace

decided_answer answer_for(device& d, answer_book& book, std::string_view received,
                          unsigned char natural)
{
    ++book.number;
    const bool resend = !book.previous_accepted && received == book.previous;
    const int sends = resend ? book.sends + 1 : 1;
    if (resend)
        ++book.resends;
    return {decide_answer(d, book.number, sends, natural), sends};
}

void give_booked_answer(device& d, answer_book& book, std::string_view received,
                        decided_answer decided)
{
    if (decided.answer >= 0)
        send_byte(d, static_cast<unsigned char>(decided.answer));
    switch (decided.answer) {
    case ACK:
        ++book.acked;
        break;
    case NAK:
        ++book.refused;
        break;
    case DC1:
        ++book.dc1;
        break;
    case DC2:
        ++book.dc2;
        break;
    case answer_none:
    case answer_hangup:
        ++book.unanswered;
        break;
    default:
        ++book.other;
        break;
    }
    book.previous = received;
    book.previous_accepted = decided.answer == ACK;
    book.sends = decided.sends;
}

std::string answer_text(int answer)
{
    switch (answer) {
    case answer_none:
        return "none";
    case answer_hangup:
        return "hang-up";
    case ACK:
        return "06 ACK";
    case NAK:
        return "15 NAK";
    case DC1:
        return "11 DC1";
    case DC2:
        return "12 DC2";
    case ETB:
        return "17 ETB";
    case CAN:
        return "18 CAN";
    default:
        return format_text("%02X", static_cast<unsigned>(answer));
    }
}

}  // namespace pello::sim
