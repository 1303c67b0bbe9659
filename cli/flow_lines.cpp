#include "flow_lines.hpp"

#include "output.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace zolviai::cli {

void log_to_stderr(bool verbose) {
    auto logger = spdlog::get("zolvi");
    if (!logger) {
        logger = spdlog::stderr_logger_mt("zolvi");
    }
    spdlog::set_default_logger(logger);
    spdlog::set_level(verbose ? spdlog::level::info : spdlog::level::warn);
}

void FlowLines::write_out(std::string_view text) {
    if (verbose_) {
        err(text);
        return;
    }
    std::lock_guard lock(mutex_);
    held_.append(text);
    // Keep the end: the error of a failed run is printed last.
    if (held_.size() > max_held) {
        held_.erase(0, held_.size() - max_held);
    }
}

void FlowLines::write_err(std::string_view text) {
    err(text);
}

std::string FlowLines::held() {
    std::lock_guard lock(mutex_);
    return held_;
}

SinkScope::SinkScope(std::shared_ptr<ConsoleSink> sink) : previous_(console_sink()) {
    set_console_sink(std::move(sink));
}

SinkScope::~SinkScope() {
    set_console_sink(previous_);
}

} // namespace zolviai::cli
