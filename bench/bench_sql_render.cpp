// Rendering 100,000 result rows as Python literals, the text generated analysis code pastes,
// against Python's own repr() of the same rows (Debian's python3, measured in the same run).
#include "zolviai/sql/render.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <iostream>

using namespace zolviai::sql;

namespace {

constexpr int row_count = 100000;

ResultSet sample_rows() {
    ResultSet r;
    r.columns = {{"id", "integer", CellType::Integer},          {"name", "text", CellType::Text},
                 {"price", "numeric", CellType::Decimal},       {"ratio", "float", CellType::Float},
                 {"sold_at", "timestamp", CellType::Timestamp}, {"note", "text", CellType::Null}};
    r.rows.reserve(row_count);
    for (int i = 0; i < row_count; ++i) {
        DateTime t;
        t.year = 2024;
        t.month = 1 + i % 12;
        t.day = 1 + i % 28;
        t.hour = i % 24;
        t.minute = i % 60;
        t.second = i % 60;
        r.rows.push_back({Cell::of_int(i), Cell::of_text("Customer 'n' " + std::to_string(i)),
                          Cell::of_decimal(std::to_string(i % 1000) + ".99"),
                          Cell::of_float(i / 7.0), Cell::of_timestamp(t), Cell::null()});
    }
    r.total_rows = row_count;
    return r;
}

void BM_RenderRows(benchmark::State& state) {
    const ResultSet rows = sample_rows();
    RenderLimits unbounded;
    unbounded.max_rows = -1;
    unbounded.max_chars = 0;
    std::size_t chars = 0;
    for (auto _ : state) {
        const std::string text = render_rows(rows, state.range(0) != 0, unbounded);
        chars = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations() * row_count);
    state.counters["chars"] = static_cast<double>(chars);
}

// Python's repr() of the same 100,000 rows (tuples or dicts), in rows per second.
double python_rows_per_second(bool dicts) {
    const std::string script =
        "import datetime, time\n"
        "from decimal import Decimal\n"
        "rows = [(i, \"Customer 'n' %d\" % i, Decimal('%d.99' % (i % 1000)), i / 7.0,\n"
        "         datetime.datetime(2024, 1 + i % 12, 1 + i % 28, i % 24, i % 60, i % 60), None)\n"
        "        for i in range(100000)]\n"
        "if " +
        std::string(dicts ? "True" : "False") +
        ":\n"
        "    keys = ('id', 'name', 'price', 'ratio', 'sold_at', 'note')\n"
        "    rows = [dict(zip(keys, r)) for r in rows]\n"
        "best = min((lambda s: (repr(rows), time.perf_counter() - s)[1])(time.perf_counter())\n"
        "           for _ in range(3))\n"
        "print(100000 / best)\n";
    const std::string command = "/usr/bin/python3 -c \"$ZOLVIAI_BENCH_SCRIPT\"";
    ::setenv("ZOLVIAI_BENCH_SCRIPT", script.c_str(), 1);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buf[256] = {0};
    const bool ok = std::fgets(buf, sizeof buf, pipe) != nullptr;
    ::pclose(pipe);
    return ok ? std::atof(buf) : -1;
}

} // namespace

BENCHMARK(BM_RenderRows)->Arg(0)->Arg(1)->ArgName("include_columns")->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("reference: Python repr() of the same rows: %.0f rows/s as tuples, %.0f rows/s "
                "as dicts\n",
                python_rows_per_second(false), python_rows_per_second(true));
    return 0;
}
