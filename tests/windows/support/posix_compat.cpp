// POSIX calls for the Windows test build: geteuid and open_memstream. The
// memory stream is a temporary file whose contents fclose hands over (the
// linker routes fclose through __wrap_fclose in the programs that use it).
#include "posix_compat.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

int geteuid()
{
    return 0;
}

namespace {

struct memstream {
    std::FILE* file;
    char** ptr;
    std::size_t* size;
};

std::mutex streams_lock;
std::vector<memstream> streams;

}  // namespace

std::FILE* open_memstream(char** ptr, std::size_t* size)
{
    if (ptr == nullptr || size == nullptr)
        return nullptr;
    std::FILE* file = std::tmpfile();
    if (file == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> hold(streams_lock);
    streams.push_back({file, ptr, size});
    return file;
}

extern "C" int __real_fclose(std::FILE* file);

// fclose of a memory stream first hands its contents over.
extern "C" int __wrap_fclose(std::FILE* file)
{
    memstream found{nullptr, nullptr, nullptr};
    {
        std::lock_guard<std::mutex> hold(streams_lock);
        for (auto it = streams.begin(); it != streams.end(); ++it)
            if (it->file == file) {
                found = *it;
                streams.erase(it);
                break;
            }
    }
    if (found.file != nullptr) {
        std::fflush(file);
        std::rewind(file);
        std::vector<char> bytes;
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        char* text = static_cast<char*>(std::malloc(bytes.size() + 1));
        if (text != nullptr) {
            if (!bytes.empty())
                std::memcpy(text, bytes.data(), bytes.size());
            text[bytes.size()] = '\0';
        }
        *found.ptr = text;
        *found.size = text != nullptr ? bytes.size() : 0;
    }
    return __real_fclose(file);
}
