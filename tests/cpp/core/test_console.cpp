#include "zolviai/core/console.hpp"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

class RecordingSink : public zolviai::ConsoleSink {
public:
    void write_out(std::string_view text) override { out += text; }
    void write_err(std::string_view text) override { err += text; }
    std::string out, err;
};

} // namespace

TEST(Console, LinesReachTheInstalledSinkAndDefaultIsRestored) {
    auto sink = std::make_shared<RecordingSink>();
    zolviai::set_console_sink(sink);
    zolviai::print_line("Agent is Ready!");
    zolviai::print_out("partial");
    zolviai::print_err_line("traceback");
    zolviai::set_console_sink(nullptr);
    zolviai::print_out(""); // goes to the process's stdout, not the recorder
    EXPECT_EQ(sink->out, "Agent is Ready!\npartial");
    EXPECT_EQ(sink->err, "traceback\n");
    EXPECT_NE(zolviai::console_sink(), sink);
}

TEST(Console, AThreadsOwnSinkTakesOnlyThatThreadsLinesUntilItsScopeEnds) {
    auto process = std::make_shared<RecordingSink>();
    auto mine = std::make_shared<RecordingSink>();
    zolviai::set_console_sink(process);
    {
        const zolviai::ThreadSinkScope scope(mine);
        EXPECT_EQ(zolviai::thread_console_sink(), mine);
        zolviai::print_line("prompt");
        zolviai::print_err_line("warning");
        std::thread other([] { zolviai::print_line("another thread"); });
        other.join();
    }
    zolviai::print_line("after");
    zolviai::set_console_sink(nullptr);
    EXPECT_EQ(mine->out, "prompt\n");
    EXPECT_EQ(mine->err, "warning\n");
    EXPECT_EQ(process->out, "another thread\nafter\n");
    EXPECT_EQ(zolviai::thread_console_sink(), nullptr);
}
