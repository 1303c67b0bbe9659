#pragma once

#include <string>
#include <string_view>

namespace zolviai::dbtool {

// A client library's error text as one line for the tools' printed lines and status texts:
// PostgreSQL's severity prefix ("ERROR:  ") and its statement excerpt with the caret line
// are dropped, and the remaining lines (message, DETAIL, HINT, a connection failure's
// second line) are joined with single spaces.
inline std::string one_line(std::string_view text) {
    std::string out;
    bool skip_caret = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (skip_caret && line.find_first_not_of(' ') != std::string_view::npos &&
            line[line.find_first_not_of(' ')] == '^') {
            skip_caret = false;
            continue;
        }
        skip_caret = false;
        if (line.rfind("LINE ", 0) == 0 && line.find(": ") != std::string_view::npos) {
            skip_caret = true;
            continue;
        }
        for (std::string_view severity : {"ERROR:  ", "FATAL:  ", "PANIC:  "}) {
            if (line.rfind(severity, 0) == 0) {
                line.remove_prefix(severity.size());
            }
        }
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos) {
            continue;
        }
        line.remove_prefix(first);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (!out.empty()) {
            out.push_back(' ');
        }
        out.append(line);
    }
    return out;
}

} // namespace zolviai::dbtool
