// The port backend of Windows (KERNEL32): the device opened exclusively as
// \\.\COM<n>, checked through its communications properties, set to 8N1
// without flow control, read and written with the port's own time limits,
// purged and closed.
#include "serial/serial.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace pello {

namespace {

// The open port, nullptr while none is open.
HANDLE port_handle = nullptr;

// The line settings as last applied: their BaudRate is the rate the port was
// last set to, from which the per-byte time limits follow.
DCB line_settings{};

// The standing time limits set by open_port, the template of every read.
COMMTIMEOUTS standing_timeouts{};

// The shared error text buffer of sys_error_text.
char error_text[1024];

// The record length of the first capabilities query.
constexpr WORD first_packet_length = 62;

// The capabilities the device link needs are those of the shared check, in
// the system's own terms.
static_assert(sp_required == (SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS));
static_assert(databits_8 == DATABITS_8);
static_assert(stop_parity_required == (STOPBITS_10 | PARITY_NONE));
static_assert(pcf_required == (PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS));

// A capabilities record from calloc, released on every path.
struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using commprop_ptr = std::unique_ptr<COMMPROP, free_deleter>;

// A zeroed capabilities record of the given length. The system writes at
// least a whole COMMPROP into the record it is given, so the record is
// never shorter than that, whatever length the provider names.
commprop_ptr new_commprop(std::size_t length)
{
    const std::size_t bytes = std::max(length, sizeof(COMMPROP));
    return commprop_ptr(static_cast<COMMPROP*>(std::calloc(1, bytes)));
}

bool handle_is_open(HANDLE h)
{
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

// One capabilities query of the open port with a record of the given length,
// marked as initialised when asked: the record, or nullptr with code set to
// the given one after its message (no_record when there is no memory for it,
// refused when the system refuses the query).
commprop_ptr query_props(const char* name, WORD length, bool initialised, int no_record,
                         int refused, int& code)
{
    commprop_ptr props = new_commprop(length);
    if (!props) {
        std::printf("\a\aError: could not malloc comm properties buffer for port %s: %s\n", name,
                    sys_error_text());
        code = no_record;
        return nullptr;
    }
    props->wPacketLength = length;
    if (initialised)
        props->dwProvSpec1 = COMMPROP_INITIALIZED;
    if (!GetCommProperties(port_handle, props.get())) {
        std::printf("\a\aError: could not get comm properties for port %s: %s\n", name,
                    sys_error_text());
        code = refused;
        return nullptr;
    }
    return props;
}

// The rate the line was last set to, 0 before it has been.
std::int32_t line_rate()
{
    return static_cast<std::int32_t>(line_settings.BaudRate);
}

// A millisecond count for a COMMTIMEOUTS field, kept below MAXDWORD (which
// has a meaning of its own there).
DWORD timeout_field(long long ms)
{
    return static_cast<DWORD>(std::clamp<long long>(ms, 0, MAXDWORD - 1));
}

// Applies the read time limits of one read; a refusal ends the program.
void set_read_timeouts(const char* name, const COMMTIMEOUTS& timeouts)
{
    COMMTIMEOUTS applied = timeouts;
    if (!SetCommTimeouts(port_handle, &applied))
        port_backend::read_limits_refused(name);
}

// One synchronous read of up to want bytes into chunk; a failed read ends
// the program.
DWORD read_once(const char* name, unsigned char* chunk, DWORD want)
{
    DWORD count = 0;
    if (!ReadFile(port_handle, chunk, want, &count, nullptr))
        port_backend::read_failed(name);
    return std::min(count, want);
}

}  // namespace

namespace port_backend {

device_handle open_device(const char* name)
{
    const std::string path = port_device_path(name);
    HANDLE opened = INVALID_HANDLE_VALUE;
    if (path.empty())
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    else
        opened = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return no_device;  // the port open until now, or none, stays as it was
    return reinterpret_cast<device_handle>(opened);
}

void adopt_device(device_handle opened)
{
    port_handle = reinterpret_cast<HANDLE>(opened);
}

int query_caps(const char* name, comm_caps& caps)
{
    // First ask with a record of the common length to learn the length the
    // provider wants, then ask again with a record of that length.
    int code = 0;
    commprop_ptr first =
        query_props(name, first_packet_length, false, caps_no_record, caps_refused, code);
    if (!first)
        return code;
    const WORD length = first->wPacketLength;
    first.reset();

    const commprop_ptr props =
        query_props(name, length, true, caps_no_second_record, caps_second_refused, code);
    if (!props)
        return code;
    caps = comm_caps{static_cast<std::uint32_t>(props->dwSettableParams), props->wSettableData,
                     props->wSettableStopParity,
                     static_cast<std::uint32_t>(props->dwProvCapabilities)};
    return 0;
}

int apply_line(std::int32_t rate)
{
    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(port_handle, &line))
        return line_get_failed;
    // 8 data bits, no parity, 1 stop bit at the rate found; no parity
    // checking, no CTS/DSR output flow control, DTR and RTS held off, no
    // XON/XOFF either way, received NUL bytes discarded. Everything else
    // keeps what the port reported.
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.BaudRate = static_cast<DWORD>(rate);
    line.fParity = 0;
    line.fOutxCtsFlow = 0;
    line.fOutxDsrFlow = 0;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fOutX = 0;
    line.fInX = 0;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    line.fNull = 1;
    if (!SetCommState(port_handle, &line))
        return line_set_failed;
    line_settings = line;
    return 0;
}

int finish_open(const char* name)
{
    // The standing time limits: 10000 / R ms per byte read; for a write
    // those of write_limit_ms (20000 / R ms per byte, at least 1, and 10 ms
    // more); no interval limit.
    const std::int32_t rate_now = line_rate();
    standing_timeouts.ReadIntervalTimeout = 0;
    standing_timeouts.ReadTotalTimeoutMultiplier = timeout_field(read_ms_per_byte(rate_now));
    standing_timeouts.ReadTotalTimeoutConstant = 1;
    standing_timeouts.WriteTotalTimeoutMultiplier =
        timeout_field(write_limit_ms(rate_now, 1) - write_limit_ms(rate_now, 0));
    standing_timeouts.WriteTotalTimeoutConstant = timeout_field(write_limit_ms(rate_now, 0));
    if (!SetCommTimeouts(port_handle, &standing_timeouts))
        return open_limits_refused(name);
    return 0;
}

int read_device(const char* name, void* buffer, int size, int limit_ms)
{
    // The read's own limits: 10000 / R ms per byte and limit + 10 ms more
    // (read_limit_ms), in force until the next read sets its own. The port
    // ends the read when size bytes have arrived or that total has passed; a
    // pause does not.
    const std::int32_t rate_now = line_rate();
    COMMTIMEOUTS timeouts = standing_timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = timeout_field(read_ms_per_byte(rate_now));
    timeouts.ReadTotalTimeoutConstant = timeout_field(read_limit_ms(rate_now, 0, limit_ms));
    set_read_timeouts(name, timeouts);

    const ULONGLONG deadline =
        GetTickCount64() +
        static_cast<ULONGLONG>(std::max<std::int64_t>(0, read_limit_ms(rate_now, size, limit_ms)));
    auto* out = static_cast<unsigned char*>(buffer);
    std::vector<unsigned char> chunk(static_cast<std::size_t>(size));
    int got = 0;
    DWORD want = static_cast<DWORD>(size);
    for (;;) {
        const DWORD count = read_once(name, chunk.data(), want);
        // The port discards NUL bytes itself (fNull); one that a driver lets
        // through is dropped here and does not count as received.
        for (DWORD i = 0; i < count; ++i)
            if (chunk[i] != 0)
                out[got++] = chunk[i];
        // A read that came back short ended at its time limit.
        if (got == size || count < want)
            return got;
        // Every byte asked for came, but NUL bytes among them were dropped:
        // read the rest within what is left of the same time limit.
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return got;
        want = static_cast<DWORD>(size - got);
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = timeout_field(static_cast<long long>(deadline - now));
        set_read_timeouts(name, timeouts);
    }
}

bool write_device(const void* buffer, int length, int& done)
{
    // One synchronous write, bounded by the standing write limit.
    DWORD written = 0;
    const BOOL ok = WriteFile(port_handle, buffer, static_cast<DWORD>(length), &written, nullptr);
    if (ok && written < static_cast<DWORD>(length))
        SetLastError(ERROR_TIMEOUT);  // the write limit ran out before every byte was out
    done = static_cast<int>(std::min(written, static_cast<DWORD>(length)));
    return ok && written >= static_cast<DWORD>(length);
}

int system_error()
{
    return static_cast<int>(GetLastError());
}

void set_system_error(int error)
{
    SetLastError(static_cast<DWORD>(error));
}

void end_program(int, const char*)
{
    std::_Exit(3);
}

void purge_device()
{
    if (handle_is_open(port_handle))
        (void)PurgeComm(port_handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void close_device()
{
    if (!handle_is_open(port_handle))
        return;
    (void)CloseHandle(port_handle);
    port_handle = nullptr;
}

void reset_device()
{
    line_settings = DCB{};
    standing_timeouts = COMMTIMEOUTS{};
}

bool device_is_open()
{
    return handle_is_open(port_handle);
}

// On Windows a port is reached by its own name: \\.\COM3 for COM3, built in
// a 20-character buffer. A name whose path does not fit is not a port.
std::string device_path(const char* name)
{
    if (name == nullptr)
        return {};
    char path[20];
    const int n = std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
        return {};
    return path;
}

const char* system_error_text()
{
    const DWORD error = GetLastError();
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), error_text,
                             sizeof error_text, nullptr);
    if (n == 0 || n >= sizeof error_text) {
        std::snprintf(error_text, sizeof error_text, "Unknown error %lu",
                      static_cast<unsigned long>(error));
    } else {
        // The system's text ends with a line break (CR LF): drop it.
        error_text[n] = '\0';
        while (n > 0 && (error_text[n - 1] == '\n' || error_text[n - 1] == '\r'))
            error_text[--n] = '\0';
    }
    SetLastError(error);
    return error_text;
}

}  // namespace port_backend

}  // namespace pello
