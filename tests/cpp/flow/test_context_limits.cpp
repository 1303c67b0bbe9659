// The answer context file is outside input: whatever ZOLVI_CONTEXT_FILE names, reading it ends in
// its two texts or a ConfigError naming the path and the limit, with memory bounded.
#include "support/memory.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/flow/context.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace zolviai;
using namespace zolviai::flow;

namespace {

// The process's peak resident memory since start_kb was taken grew by less than bound_kb.
void expect_bounded(long start_kb, long bound_kb) {
    if (zolviai::testing::memory_is_measured) {
        EXPECT_LT(zolviai::testing::peak_resident_kb() - start_kb, bound_kb);
    }
}

// A context file with the given content, named by ZOLVI_CONTEXT_FILE while the object lives.
class ContextFile {
public:
    explicit ContextFile(const std::string& content) {
        char name[] = "/tmp/zolviai-context-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) {
            throw std::runtime_error("cannot create a temporary file");
        }
        ::close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << content;
        ::setenv("ZOLVI_CONTEXT_FILE", path_.c_str(), 1);
    }
    ~ContextFile() {
        ::unsetenv("ZOLVI_CONTEXT_FILE");
        ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The ConfigError read_values() raises, or "" when it raises none.
std::string refusal() {
    try {
        read_values();
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(ContextLimits, DeepFilesAreConfigErrorsNamingTheLimitAndThePath) {
    const long memory_start_kb = zolviai::testing::reset_peak_resident_kb();
    const std::string deep = std::string(60000, '[') + std::string(60000, ']');
    std::string unclosed_objects;
    for (int i = 0; i < 60000; ++i) {
        unclosed_objects += "{\"a\":";
    }
    for (const std::string& content :
         {deep, R"({"context_prompt":)" + deep + "}", unclosed_objects}) {
        ContextFile file(content);
        const std::string what = refusal();
        EXPECT_NE(what.find("limit of 512 levels"), std::string::npos) << what;
        EXPECT_NE(what.find(file.path()), std::string::npos) << what;
        EXPECT_NE(what.find("ZOLVI_CONTEXT_FILE"), std::string::npos) << what;
    }
    expect_bounded(memory_start_kb, 100 * 1024);
}

TEST(ContextLimits, FilesOverTheSizeLimitAreRefusedWithoutReadingThemWhole) {
    const std::string value = R"({"context_prompt":"Answer in French."})";
    {
        // Exactly at the limit is still a context file.
        ContextFile file(value + std::string(kContextFileMaxBytes - value.size(), ' '));
        EXPECT_EQ(read_values()["context_prompt"], "Answer in French.");
    }
    {
        ContextFile file(value + std::string(kContextFileMaxBytes - value.size() + 1, ' '));
        EXPECT_NE(refusal().find("over the limit of 1048576 bytes"), std::string::npos)
            << refusal();
    }
    // A path to something endless is read only up to the limit.
    const long memory_start_kb = zolviai::testing::reset_peak_resident_kb();
    ::setenv("ZOLVI_CONTEXT_FILE", "/dev/zero", 1);
    const std::string what = refusal();
    ::unsetenv("ZOLVI_CONTEXT_FILE");
    EXPECT_NE(what.find("'/dev/zero' (ZOLVI_CONTEXT_FILE) is over the limit"), std::string::npos)
        << what;
    expect_bounded(memory_start_kb, 100 * 1024);
}
