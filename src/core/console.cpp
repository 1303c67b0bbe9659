#include "zolviai/core/console.hpp"

#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

namespace zolviai {

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return; // a closed stdout must not take the host down with it
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

class StdioSink : public ConsoleSink {
public:
    void write_out(std::string_view text) override { write_all(STDOUT_FILENO, text); }
    void write_err(std::string_view text) override { write_all(STDERR_FILENO, text); }
};

std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<ConsoleSink>& sink_slot() {
    static std::shared_ptr<ConsoleSink> sink = std::make_shared<StdioSink>();
    return sink;
}

thread_local std::shared_ptr<ConsoleSink> thread_sink;

std::shared_ptr<ConsoleSink> current_sink() {
    if (thread_sink) {
        return thread_sink;
    }
    return console_sink();
}

} // namespace

ThreadSinkScope::ThreadSinkScope(std::shared_ptr<ConsoleSink> sink) : previous_(thread_sink) {
    thread_sink = std::move(sink);
}

ThreadSinkScope::~ThreadSinkScope() {
    thread_sink = std::move(previous_);
}

std::shared_ptr<ConsoleSink> thread_console_sink() {
    return thread_sink;
}

void set_console_sink(std::shared_ptr<ConsoleSink> sink) {
    std::lock_guard lock(sink_mutex());
    sink_slot() = sink ? std::move(sink) : std::make_shared<StdioSink>();
}

std::shared_ptr<ConsoleSink> console_sink() {
    std::lock_guard lock(sink_mutex());
    return sink_slot();
}

void print_out(std::string_view text) {
    current_sink()->write_out(text);
}

void print_err(std::string_view text) {
    current_sink()->write_err(text);
}

void print_line(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    current_sink()->write_out(line);
}

void print_err_line(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    current_sink()->write_err(line);
}

} // namespace zolviai
