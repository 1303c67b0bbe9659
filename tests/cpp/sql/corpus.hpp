#pragma once

// Attack corpora kept as data files (tests/cpp/sql/corpus/*.txt), one entry a line:
//
//     expect | statement
//
// expect is "refused:<words the refusal must hold>", "allowed" (passes the guard and runs
// without error) or "held" (passes the guard; the server's bounds stop it or it ends, with an
// error or rows, and nothing changes). In the statement \n, \r, \t and \\ stand for themselves
// escaped. Lines starting with '#' and blank lines are skipped.
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zolviai::testing {

struct CorpusEntry {
    enum class Expect { Refused, Allowed, Held };
    Expect expect = Expect::Refused;
    std::string found; // for Refused: a part of the reason
    std::string sql;
    int line = 0;
};

inline std::string corpus_unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char c = text[++i];
        out.push_back(c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c);
    }
    return out;
}

inline std::vector<CorpusEntry> read_corpus(const std::string& name) {
    const std::string path = std::string(ZOLVIAI_SOURCE_DIR) + "/tests/cpp/sql/corpus/" + name;
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<CorpusEntry> out;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t bar = line.find(" | ");
        if (bar == std::string::npos) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": no ' | '");
        }
        CorpusEntry e;
        e.line = number;
        const std::string expect = line.substr(0, bar);
        e.sql = corpus_unescape(line.substr(bar + 3));
        if (expect.rfind("refused:", 0) == 0) {
            e.expect = CorpusEntry::Expect::Refused;
            e.found = expect.substr(8);
        } else if (expect == "allowed") {
            e.expect = CorpusEntry::Expect::Allowed;
        } else if (expect == "held") {
            e.expect = CorpusEntry::Expect::Held;
        } else {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": unknown '" + expect +
                                     "'");
        }
        out.push_back(std::move(e));
    }
    return out;
}

} // namespace zolviai::testing
