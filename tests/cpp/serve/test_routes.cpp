// The server's routes called as plain requests, without a socket: the route table decides the
// method, the token and the metrics label; the error table decides a failure's status.
#include "serve/http_listener.hpp"
#include "sql/sql_test_support.hpp"
#include "zolviai/core/json_input.hpp"
#include "zolviai/serve/server.hpp"
#include "zolviai/sql/script.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace zolviai;
namespace fs = std::filesystem;

namespace {

struct Fixture {
    Fixture() {
        dir = fs::temp_directory_path() / ("zolviai-routes-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/sample_db.sql",
                                  (dir / "sample.db").string());
        serve::ServeOptions o;
        o.port = 8799;
        o.token = "secret-token";
        o.media_dir = (dir / "media").string();
        server = std::make_unique<serve::Server>(
            o, sql::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "sample.db").string()),
            nullptr);
    }
    ~Fixture() {
        server.reset();
        fs::remove_all(dir);
    }

    serve::HttpResponse call(const std::string& method, const std::string& path,
                             const std::string& body = "", bool token = true) {
        serve::HttpRequest r;
        r.method = method;
        r.target = r.path = path;
        r.headers = {{"host", "127.0.0.1:8799"}};
        if (token) {
            r.headers.emplace_back("authorization", "Bearer secret-token");
        }
        if (!body.empty()) {
            r.headers.emplace_back("content-type", "application/json");
            r.body = body;
        }
        return server->respond(std::move(r));
    }

    fs::path dir;
    std::unique_ptr<serve::Server> server;
};

std::string code_of(const serve::HttpResponse& res) {
    const Value body = parse_json_input(res.body);
    const auto code = string_member(find_member(body, "error"), "code");
    return code ? *code : "";
}

TEST(Routes, EachRouteIsAnsweredAsItsRowSays) {
    Fixture f;
    struct Case {
        const char* method;
        const char* path;
        std::string body;
        bool token;
        int status;
        const char* code;
    } cases[] = {
        {"GET", "/healthz", "", false, 200, ""},
        {"GET", "/v1/tables", "", true, 200, ""},
        {"GET", "/v1/tables", "", false, 401, "unauthorized"},
        {"POST", "/v1/tables", "{}", true, 405, "method_not_allowed"},
        {"GET", "/v1/nothing", "", true, 404, "not_found"},
        {"POST", "/v1/sql", R"({"sql": "SELECT COUNT(*) AS n FROM artist"})", true, 200, ""},
        {"POST", "/v1/sql", R"({"sql": "DELETE FROM artist"})", true, 400, "statement_refused"},
        {"POST", "/v1/sql", R"({"sql": "SELECT nme FROM artist"})", true, 400, "sql_error"},
        {"POST", "/v1/ask", R"({"question": "How many artists?"})", true, 503,
         "model_not_configured"},
        {"GET", "/v1/charts/0123456789abcdef0123456789abcdef.png", "", true, 404, "not_found"},
        {"GET", "/", "", false, 200, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        const serve::HttpResponse res = f.call(c.method, c.path, c.body, c.token);
        EXPECT_EQ(res.status, c.status) << res.body;
        if (*c.code) {
            EXPECT_EQ(code_of(res), c.code) << res.body;
        }
    }
    const serve::HttpResponse sql =
        f.call("POST", "/v1/sql", R"({"sql": "SELECT COUNT(*) AS n FROM artist"})");
    const Value rows = parse_json_input(sql.body);
    EXPECT_EQ(rows["rows"], Value::array({Value::array({8})}));

    // Metrics name routes by their row, never by the client's path.
    const std::string text = f.call("GET", "/metrics").body;
    for (const char* line :
         {"zolvi_http_requests_total{route=\"/v1/sql\",status=\"400\"} 2\n",
          "zolvi_http_requests_total{route=\"/v1/tables\",status=\"401\"} 1\n",
          "zolvi_http_requests_total{route=\"other\",status=\"404\"} 1\n",
          "zolvi_http_requests_total{route=\"/v1/charts/{name}\",status=\"404\"} 1\n",
          "zolvi_guard_refusals_total 1\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

} // namespace
