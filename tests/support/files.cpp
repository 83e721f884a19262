// Test support: files and folders of the tests, the same on every platform.
#include "support/run.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pello::test {

std::string temp_dir(const std::string& name)
{
    std::filesystem::path dir = std::filesystem::path(PELLO_TEST_TMP) / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.generic_string();
}

std::string write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    return path;
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace pello::test
