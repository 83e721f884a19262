// Shared helpers of the libFuzzer targets.
#include "fuzz_support.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "config/config.hpp"
#include "console/console.hpp"
#include "device/device.hpp"
#include "rules/rules.hpp"
#include "serial/serial.hpp"

namespace pello::fuzz {

namespace {

[[noreturn]] void setup_failed(const char* what)
{
    std::fprintf(stderr, "fuzz set-up: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

void redirect(int target_fd, const char* path, int flags)
{
    const int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0 || dup2(fd, target_fd) < 0)
        setup_failed(path);
    close(fd);
}

}  // namespace

void quiet_stdio()
{
    redirect(STDIN_FILENO, "/dev/null", O_RDONLY);
    if (std::getenv("PELLOMATIC_FUZZ_VERBOSE") == nullptr) {
        std::fflush(stdout);
        redirect(STDOUT_FILENO, "/dev/null", O_WRONLY);
    }
}

memory_file memory_file_create(const char* name)
{
    memory_file file;
    file.fd = memfd_create(name, MFD_CLOEXEC);
    if (file.fd < 0)
        setup_failed("memfd_create");
    file.path = "/proc/self/fd/" + std::to_string(file.fd);
    return file;
}

void memory_file_set(const memory_file& file, const std::uint8_t* data, std::size_t size)
{
    if (ftruncate(file.fd, 0) != 0)
        setup_failed("ftruncate");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            setup_failed("pwrite");
        done += static_cast<std::size_t>(n);
    }
}

void write_file(const std::string& path, const char* text)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        setup_failed(path.c_str());
    std::fputs(text, file);
    if (std::fclose(file) != 0)
        setup_failed(path.c_str());
}

namespace {

// The folders made by make_temp_dir, removed when the fuzzer ends normally.
std::vector<std::string> temp_dirs;

void remove_temp_dirs()
{
    for (const std::string& dir : temp_dirs) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

}  // namespace

std::string make_temp_dir(const char* tag)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/pellomatic-" + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        setup_failed("mkdtemp");
    if (temp_dirs.empty())
        std::atexit(remove_temp_dirs);
    temp_dirs.push_back(pattern);
    return pattern;
}

void reset_state()
{
    port_reset();
    link_reset();
    conf_state_reset();
    rules_reset();
    console_reset();
}

void finding(const char* what)
{
    std::fprintf(stderr, "\nFUZZ FINDING: %s\n", what);
    std::abort();
}

void check_conf_record()
{
    const conf_record_t& c = conf_record;
    auto port_rate = [](std::uint32_t rate) {
        for (int i = 0; baud_table[i] != 0; ++i)
            if (static_cast<std::uint32_t>(baud_table[i]) == rate)
                return true;
        return false;
    };
    if (!port_rate(c.host_baud) || !port_rate(c.dstar_baud) || !port_rate(c.tnc_baud))
        finding("a baud rate of the configuration record is not in baud_table");
    if (std::memchr(c.station_call, '\0', sizeof c.station_call) == nullptr ||
        std::strlen(c.station_call) > 6)
        finding("station_call is not a terminated call sign of at most 6 characters");
    if (c.ssid > 15)
        finding("ssid outside 0..15");
    if (c.wide_max < 1 || c.wide_max > 6 || c.wide_total < 1 || c.wide_total > 6)
        finding("wide_max or wide_total outside 1..6");
    if (c.dupe_window < 5 || c.dupe_window > 500)
        finding("dupe_window outside 5..500");
    for (float angle : {c.base_lat, c.base_lon})
        if (!std::isfinite(angle) || std::fabs(angle) > 360.0f)
            finding("station position is not an angle of at most 360 degrees");
    if (digi_count < 0 || digi_count > 8)
        finding("digi_count outside 0..8");
    for (std::uint16_t flag :
         {c.log_port, c.drop_mangled, c.halt_on_error, c.fix_valid, c.nsr, c.relay})
        if (flag > 1)
            finding("a y-or-n field holds neither 0 nor 1");
}

}  // namespace pello::fuzz
