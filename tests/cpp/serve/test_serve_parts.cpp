#include "serve/http_listener.hpp"
#include "serve/metrics.hpp"
#include "serve/question.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/serve/server.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zolviai::serve {
namespace {

TEST(ListenAddress, SplitsHostAndPortAndRefusesTheRest) {
    struct Case {
        const char* text;
        const char* host; // null: refused
        int port;
    };
    for (const Case c :
         {Case{"127.0.0.1:8700", "127.0.0.1", 8700}, Case{"0.0.0.0:0", "0.0.0.0", 0},
          Case{"[::1]:9000", "::1", 9000}, Case{"localhost:65535", "localhost", 65535},
          Case{"8700", nullptr, 0}, Case{":8700", nullptr, 0}, Case{"host:", nullptr, 0},
          Case{"host:65536", nullptr, 0}, Case{"host:-1", nullptr, 0}, Case{"host:80x", nullptr, 0},
          Case{"host:123456", nullptr, 0}}) {
        std::string host;
        int port = -1;
        if (!c.host) {
            EXPECT_THROW(parse_listen_address(c.text, host, port), ValueError) << c.text;
            continue;
        }
        parse_listen_address(c.text, host, port);
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(ListenAddress, OnlyLoopbackHostsAreLoopback) {
    for (const char* host : {"127.0.0.1", "127.8.9.10", "::1", "localhost"}) {
        EXPECT_TRUE(is_loopback_host(host)) << host;
    }
    for (const char* host :
         {"0.0.0.0", "10.0.0.1", "128.0.0.1", "::", "example.com", "127.0.0.1.nip.io", ""}) {
        EXPECT_FALSE(is_loopback_host(host)) << host;
    }
}

TEST(Metrics, HistogramBucketsAreCumulativeAndCountersAdd) {
    Metrics m;
    m.observe_question(0.07, 3, 30, 15, 0.001);
    m.observe_question(2.0, 5, 50, 25, 0.002);
    m.observe_question(400, 1, 10, 5, 0);
    m.count_request("/v1/ask", 200);
    m.count_request("/v1/ask", 200);
    m.count_request("/v1/ask", 503);
    m.count_refusals(2);
    const std::string text = m.render(3, 4);
    for (const char* line :
         {"zolvi_question_duration_seconds_bucket{le=\"0.05\"} 0\n",
          "zolvi_question_duration_seconds_bucket{le=\"0.1\"} 1\n",
          "zolvi_question_duration_seconds_bucket{le=\"2.5\"} 2\n",
          "zolvi_question_duration_seconds_bucket{le=\"300\"} 2\n",
          "zolvi_question_duration_seconds_bucket{le=\"+Inf\"} 3\n",
          "zolvi_question_duration_seconds_count 3\n",
          "zolvi_http_requests_total{route=\"/v1/ask\",status=\"200\"} 2\n",
          "zolvi_http_requests_total{route=\"/v1/ask\",status=\"503\"} 1\n",
          "zolvi_model_calls_total 9\n", "zolvi_model_tokens_total{kind=\"prompt\"} 90\n",
          "zolvi_model_tokens_total{kind=\"completion\"} 45\n", "zolvi_guard_refusals_total 2\n",
          "zolvi_questions_in_flight 3\n", "zolvi_questions_waiting 4\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

TEST(RowsJson, CellsBecomeJsonValuesThatKeepTheirMeaning) {
    sql::ResultSet result;
    result.columns = {{"v"}};
    const std::vector<std::pair<sql::Cell, Value>> cases = {
        {sql::Cell::null(), nullptr},
        {sql::Cell::of_bool(true), true},
        {sql::Cell::of_int(-9007199254740993LL), -9007199254740993LL},
        {sql::Cell::of_float(1.5), 1.5},
        {sql::Cell::of_decimal("12.50"), "12.50"}, // digits a double would change stay text
        {sql::Cell::of_text("a\"b"), "a\"b"},
        {sql::Cell::of_bytes(std::string("\x00\xff", 2)), "00ff"},
        {sql::Cell::of_date(2024, 1, 5), "2024-01-05"},
        {sql::Cell::of_json("{\"a\": [1, 2]}"), Value::parse("{\"a\": [1, 2]}")},
        {sql::Cell::of_json("{not json"), "{not json"},
    };
    for (const auto& [cell, expected] : cases) {
        result.rows.push_back({cell});
    }
    result.total_rows = 500;
    const Value out = rows_json(result);
    EXPECT_EQ(out["columns"], Value::array({"v"}));
    EXPECT_EQ(out["row_count"], 500) << "all rows the statement produced, not those sent";
    ASSERT_EQ(out["rows"].size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(out["rows"][i][0], cases[i].second) << i;
    }
}

} // namespace
} // namespace zolviai::serve

TEST(LogSafe, EscapesControlCharactersAndCutsLongText) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"/v1/charts/a.png", "/v1/charts/a.png"},
        {"/x\n2026-01-01T00:00:00Z GET / 200", "/x\\x0a2026-01-01T00:00:00Z GET / 200"},
        {"/\x1b[2J\x07\r", "/\\x1b[2J\\x07\\x0d"},
        {"/\"quoted\\", "/\\x22quoted\\x5c"},
        {std::string(300, 'a'), std::string(120, 'a') + "..."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zolviai::serve::log_safe(c.in, 120), c.out) << c.in;
    }
}

TEST(HttpRequest, QueryParametersArePercentDecoded) {
    zolviai::serve::HttpRequest request;
    request.query = "a=1&table=order%20items&plus=x+y&empty=&flag";
    EXPECT_EQ(request.param("table").value(), "order items");
    EXPECT_EQ(request.param("plus").value(), "x y");
    EXPECT_EQ(request.param("empty").value(), "");
    EXPECT_EQ(request.param("flag").value(), "");
    EXPECT_FALSE(request.param("missing").has_value());
}

TEST(PrivateFolder, CreatedForThisUserOnlyAndLinksOrOpenFoldersRefused) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("zolvi-private-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    const fs::path made = root / "a" / "media";
    zolviai::serve::make_private_folder(made.string(), true);
    struct stat info {};
    ASSERT_EQ(::lstat(made.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    const fs::path link = root / "link";
    fs::create_directory_symlink(made, link);
    EXPECT_THROW(zolviai::serve::make_private_folder(link.string(), false), zolviai::ConfigError);

    const fs::path open = root / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all);
    EXPECT_THROW(zolviai::serve::make_private_folder(open.string(), false), zolviai::ConfigError);

    const fs::path file = root / "file";
    std::ofstream(file) << "x";
    EXPECT_THROW(zolviai::serve::make_private_folder(file.string(), false), zolviai::ConfigError);
    fs::remove_all(root);
}

TEST(Ticket, TheListenerHearsEachEventAndTheEndEvenWhenSetLate) {
    using zolviai::serve::Ticket;
    Ticket ticket("q", true, zolviai::serve::Clock::now() + std::chrono::seconds(5), true);
    int calls = 0;
    ticket.push_event("step", {{"phase", "start"}});
    ticket.on_change([&] { ++calls; }); // an event is there already: called at once
    EXPECT_EQ(calls, 1);
    ticket.push_event("step", {{"phase", "end"}});
    ticket.finish(200, {{"answer", "x"}}, 1.0);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(ticket.done());
    bool done = false;
    EXPECT_EQ(ticket.take_events(std::chrono::milliseconds(0), done).size(), 3u);
    EXPECT_TRUE(done);
    int late = 0;
    ticket.on_change([&] { ++late; }); // after the end: called once, not kept
    EXPECT_EQ(late, 1);
}
