// Files a host's configuration names: the .env file and the answer context file. The input is
// written to a file and read as each; the first byte picks which.
#include "zolviai/agent/agent.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/flow/context.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const std::string path = "/tmp/zolviai-fuzz-config-" + std::to_string(::getpid());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data) + 1, static_cast<std::streamsize>(size - 1));
    }
    try {
        if (data[0] & 1) {
            // Variables it sets stay set for the process: a fuzzing run only grows them.
            (void)zolviai::agent::load_dotenv(path);
        } else {
            ::setenv("ZOLVI_CONTEXT_FILE", path.c_str(), 1);
            (void)zolviai::flow::read_values();
        }
    } catch (const zolviai::Error&) {
    }
    return 0;
}
