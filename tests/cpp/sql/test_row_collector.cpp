// The budget every driver reads rows under: which rows are kept, which are only counted, and
// when reading stops. A fault here keeps too much of a huge result or drops rows a caller asked
// for.
#include "sql/drivers/drivers.hpp"

#include <gtest/gtest.h>

using namespace zolviai::sql;
using drivers::RowCollector;

namespace {

// Reads `available` rows of one text cell of `width` bytes each; what the collector kept and
// counted is in the result.
ResultSet read(const ExecuteOptions& options, int available, std::size_t width,
               bool bound_bytes = true) {
    ResultSet out;
    RowCollector rows(out, options, bound_bytes);
    for (int i = 0; i < available; ++i) {
        const RowCollector::Next next = rows.next();
        if (next == RowCollector::Next::Stop) {
            break;
        }
        if (next == RowCollector::Next::Skip) {
            continue;
        }
        rows.add({Cell::of_text(std::string(width, 'x'))});
    }
    return out;
}

} // namespace

TEST(RowCollector, KeepsWithinMaxRowsAndBytesAndCountsTheRest) {
    struct Case {
        const char* what;
        std::int64_t max_rows;
        bool stop;
        std::size_t max_result_bytes;
        bool bound_bytes;
        std::size_t kept;
        std::int64_t counted;
    };
    const std::size_t row_bytes = sizeof(Cell) + 100;
    const std::vector<Case> cases = {
        {"no bounds", -1, false, 0, true, 10, 10},
        {"max rows, the rest counted", 3, false, 0, true, 3, 10},
        {"max rows, then stop", 3, true, 0, true, 3, 4},
        {"no rows wanted", 0, false, 0, true, 0, 10},
        // A row is kept while the kept ones hold less than the bound: the one that crosses it
        // is the last.
        {"result bytes", -1, false, 2 * row_bytes + 1, true, 3, 10},
        {"result bytes, then stop", -1, true, 2 * row_bytes, true, 2, 3},
        {"result bytes not bound", -1, false, row_bytes, false, 10, 10},
        {"both bounds, rows first", 2, false, 5 * row_bytes, true, 2, 10},
    };
    for (const Case& c : cases) {
        ExecuteOptions options;
        options.max_rows = c.max_rows;
        options.stop_after_max_rows = c.stop;
        options.max_result_bytes = c.max_result_bytes;
        const ResultSet r = read(options, 10, 100, c.bound_bytes);
        EXPECT_EQ(r.rows.size(), c.kept) << c.what;
        EXPECT_EQ(r.total_rows, c.counted) << c.what;
    }
}
