// Rendering rows as Python literals: cells of every kind built from the input's bytes.
#include "zolviai/core/error.hpp"
#include "zolviai/sql/render.hpp"

#include <cstdint>
#include <cstring>
#include <string>

using namespace zolviai::sql;

namespace {

// Reads the input as a little program of cells: a kind byte, then its data.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool more() const { return p_ < end_; }
    uint8_t byte() { return more() ? *p_++ : 0; }
    int64_t number() {
        int64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v = (v << 8) | byte();
        }
        return v;
    }
    std::string text() {
        const size_t n = std::min<size_t>(byte(), end_ - p_);
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

Cell next_cell(Reader& r) {
    switch (r.byte() % 12) {
    case 0:
        return Cell::null();
    case 1:
        return Cell::of_bool(r.byte() & 1);
    case 2:
        return Cell::of_int(r.number());
    case 3: {
        const int64_t bits = r.number();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return Cell::of_float(d);
    }
    case 4:
        return Cell::of_decimal(r.text());
    case 5:
        return Cell::of_text(r.text());
    case 6:
        return Cell::of_bytes(r.text());
    case 7:
        return Cell::of_json(r.text());
    case 8: {
        DateTime t;
        parse_timestamp(r.text(), t);
        return Cell::of_timestamp(t);
    }
    case 9: {
        DateTime t;
        parse_time(r.text(), t);
        return Cell::of_time(t);
    }
    case 10:
        return Cell::of_interval(make_interval(r.number() % 1000000000, r.number()));
    default: {
        DateTime t;
        parse_date(r.text(), t);
        return Cell::of_date(t.year, t.month, t.day);
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r(data, size);
    ResultSet rs;
    const int columns = 1 + r.byte() % 4;
    for (int c = 0; c < columns; ++c) {
        rs.columns.push_back({r.text(), "", CellType::Null, ""});
    }
    while (r.more() && rs.rows.size() < 64) {
        Row row;
        for (int c = 0; c < columns; ++c) {
            row.push_back(next_cell(r));
        }
        rs.rows.push_back(std::move(row));
    }
    rs.total_rows = static_cast<int64_t>(rs.rows.size()) + r.byte();
    RenderLimits limits;
    limits.max_text_chars = r.byte();
    try {
        (void)render_rows(rs, false, limits);
        (void)render_rows(rs, true, limits);
    } catch (const zolviai::Error&) {
    }
    return 0;
}
