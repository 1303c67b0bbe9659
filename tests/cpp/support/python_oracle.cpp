#include "support/python_oracle.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace zolviai::testing {

std::string run_python(const std::string& script, const std::string& input) {
    char dir_template[] = "/tmp/zolviai-oracle-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (dir == nullptr) {
        throw std::runtime_error("cannot create a temporary directory");
    }
    const std::filesystem::path base(dir);
    {
        std::ofstream(base / "script.py", std::ios::binary) << script;
        std::ofstream(base / "input", std::ios::binary) << input;
    }
    const std::string command = std::string(ZOLVIAI_PYTHON) + " " + (base / "script.py").string() +
                                " < " + (base / "input").string() + " > " +
                                (base / "output").string() + " 2> " + (base / "errors").string();
    const int status = std::system(command.c_str());
    std::ostringstream out, err;
    out << std::ifstream(base / "output", std::ios::binary).rdbuf();
    err << std::ifstream(base / "errors", std::ios::binary).rdbuf();
    std::filesystem::remove_all(base);
    if (status != 0) {
        throw std::runtime_error("python failed: " + err.str());
    }
    return out.str();
}

} // namespace zolviai::testing
