// The emulator's trace (a file of timestamped events and bytes), its event
// lines for the operator, and the files a session leaves in the out folder.
#include "sim.hpp"

#include "textio/textio.hpp"

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace pello::sim {

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::unique_ptr<std::FILE, file_closer> trace_file;
const time_point trace_start = sim_clock::now();

void trace_line(const std::string& text)
{
    if (!trace_file)
        return;
    const double seconds = std::chrono::duration<double>(sim_clock::now() - trace_start).count();
    std::fprintf(trace_file.get(), "%10.3f %s\n", seconds, text.c_str());
    std::fflush(trace_file.get());
}

}  // namespace

void trace_open(const std::string& path)
{
    trace_file.reset(std::fopen(path.c_str(), "w"));
    if (!trace_file)
        std::fprintf(stderr, "pellomatic-sim: cannot write the trace %s\n", path.c_str());
}

void trace_close()
{
    trace_file.reset();
}

void trace(const char* format, ...)
{
    if (!trace_file)
        return;
    std::va_list args;
    va_start(args, format);
    const std::string text = vformat_text(format, args);
    va_end(args);
    trace_line(text);
}

void event(const device& d, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string text = vformat_text(format, args);
    va_end(args);
    trace_line(text);
    if (!d.opt.quiet)
        std::printf("pellomatic-sim: %s\n", text.c_str());
}

std::string hex_bytes(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

void trace_bytes(const char* what, const unsigned char* bytes, std::size_t count)
{
    if (trace_file)
        trace_line(format_text("%s %zu: %s", what, count, hex_bytes(bytes, count).c_str()));
}

std::string quoted(const char* text, std::size_t max)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < max && text[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            out += static_cast<char>(c);
        else
            out += format_text("\\x%02X", c);
    }
    return out + "\"";
}

bool write_out(const device& d, const char* name, std::string_view data)
{
    if (d.opt.out_dir.empty())
        return true;
    std::error_code error;
    std::filesystem::create_directories(d.opt.out_dir, error);
    const std::string path = d.opt.out_dir + "/" + name;
    std::unique_ptr<std::FILE, file_closer> f(std::fopen(path.c_str(), "wb"));
    if (!f || (!data.empty() && std::fwrite(data.data(), 1, data.size(), f.get()) != data.size())) {
        std::fprintf(stderr, "pellomatic-sim: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace pello::sim
