#pragma once

#include <memory>
#include <string_view>

namespace zolviai {

// Where printed lines go. Printed lines are part of the product's contract, so every layer
// writes them here; a Python host installs a sink that writes to sys.stdout/sys.stderr.
class ConsoleSink {
public:
    virtual ~ConsoleSink() = default;
    virtual void write_out(std::string_view text) = 0;
    virtual void write_err(std::string_view text) = 0;
};

// Installs a sink for the whole process; nullptr restores the default (the process's
// standard output and error, written with write(2) and flushed at once).
void set_console_sink(std::shared_ptr<ConsoleSink> sink);
std::shared_ptr<ConsoleSink> console_sink();

// Routes the printed lines of the calling thread to another sink while it lives (nullptr:
// back to the process's sink), so that one caller (a host that asked for silence) can take
// its run's lines without changing what the rest of the process prints. The graph engine
// carries it into the threads a step's nodes run on.
class ThreadSinkScope {
public:
    explicit ThreadSinkScope(std::shared_ptr<ConsoleSink> sink);
    ~ThreadSinkScope();
    ThreadSinkScope(const ThreadSinkScope&) = delete;
    ThreadSinkScope& operator=(const ThreadSinkScope&) = delete;

private:
    std::shared_ptr<ConsoleSink> previous_;
};
// The calling thread's own sink; nullptr when it prints to the process's sink.
std::shared_ptr<ConsoleSink> thread_console_sink();

// Writes text to a file descriptor in full, retrying interrupted writes; a closed descriptor
// is ignored. The default sink writes with it, and so do programs that print past the sink.
void write_all(int fd, std::string_view text);

// Writes text followed by one line break, as Python's print() does.
void print_line(std::string_view text);
void print_err_line(std::string_view text);
// Writes text as it is.
void print_out(std::string_view text);
void print_err(std::string_view text);

} // namespace zolviai
