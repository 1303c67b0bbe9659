#pragma once

#include "zolviai/core/console.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// How a command routes what the library prints and logs while it runs the flow.
namespace zolviai::cli {

// The library's log on standard error under the name "zolvi": information and above with
// verbose (the flow's step timings), else warnings only.
void log_to_stderr(bool verbose);

// Where the library's printed lines go while a command runs the flow. They are the flow's contract
// for Python hosts (prompts, tracebacks, diagnostic lines), not the command's output: with
// --verbose they go to standard error; otherwise they are held back and shown on standard
// error only when the run fails, so that the error can be read. The library's standard
// error (warnings) always goes to standard error.
class FlowLines : public ConsoleSink {
public:
    explicit FlowLines(bool verbose) : verbose_(verbose) {}

    void write_out(std::string_view text) override;
    void write_err(std::string_view text) override;
    // The last 64 kB held back (nothing with verbose).
    std::string held();

private:
    static constexpr std::size_t max_held = 64 * 1024;
    bool verbose_;
    std::mutex mutex_;
    std::string held_;
};

// Installs a console sink for the life of a command and puts the previous one back.
class SinkScope {
public:
    explicit SinkScope(std::shared_ptr<ConsoleSink> sink);
    ~SinkScope();
    SinkScope(const SinkScope&) = delete;
    SinkScope& operator=(const SinkScope&) = delete;

private:
    std::shared_ptr<ConsoleSink> previous_;
};

} // namespace zolviai::cli
