// The memory of verified SQL, measured: retrieval recall@3 on the business set's paraphrase
// groups (a twin in memory), direct reuse of near misses (another value), and lookup time with
// 100,000 stored entries on an SQLite state file and, when ZOLVIAI_PG_URI is set, on
// PostgreSQL. Prints each figure beside its target.
//
//   bench_memory [entries]        (default 100000)
#include "zolviai/agent/memory.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/eval/questions.hpp"
#include "zolviai/sql/script.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <libpq-fe.h>
#include <map>
#include <random>
#include <unistd.h>

using namespace zolviai;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string tag_of(const eval::Question& q, const std::string& prefix) {
    for (const auto& t : q.tags) {
        if (t.rfind(prefix, 0) == 0) {
            return t;
        }
    }
    return "";
}

// Recall@3: each paraphrase is looked up among every other question of the set; a hit when
// one of its group's twins is among the three best.
void recall(const std::vector<eval::Question>& questions) {
    std::size_t asked = 0, hits = 0, first = 0;
    for (std::size_t i = 0; i < questions.size(); ++i) {
        const std::string group = tag_of(questions[i], "paraphrase:");
        if (group.empty()) {
            continue;
        }
        std::vector<agent::MemoryIndex::Document> docs;
        for (std::size_t j = 0; j < questions.size(); ++j) {
            if (j != i) {
                const auto gold = eval::gold_sql_for(questions[j], "sqlite");
                docs.push_back({static_cast<std::int64_t>(j),
                                agent::entry_terms(agent::mask_question(questions[j].question),
                                                   gold ? *gold : "")});
            }
        }
        const agent::MemoryIndex index(docs);
        const auto found =
            index.search(agent::memory_terms(agent::mask_question(questions[i].question)), 3);
        ++asked;
        const std::size_t before = hits;
        for (std::size_t k = 0; k < found.size(); ++k) {
            if (tag_of(questions[static_cast<std::size_t>(found[k].id)], "paraphrase:") == group) {
                ++hits;
                first += k == 0;
                break;
            }
        }
        if (hits == before) {
            std::printf("  missed: %s\n", questions[i].question.c_str());
            for (const auto& hit : found) {
                std::printf("    found: %s\n",
                            questions[static_cast<std::size_t>(hit.id)].question.c_str());
            }
        }
    }
    std::printf("recall@3 on paraphrase groups: %.1f%% (%zu of %zu; twin first in %zu)   "
                "target >= 95%%\n",
                100.0 * hits / std::max<std::size_t>(asked, 1), hits, asked, first);
}

// Near misses: the first of each pair certified, the second asked.
void near_misses(const std::vector<eval::Question>& questions, sql::CustomSQLDatabase& db,
                 const fs::path& dir) {
    agent::Memory memory(state::Store::open((dir / "near.db").string()));
    std::map<std::string, std::vector<const eval::Question*>> pairs;
    for (const auto& q : questions) {
        const std::string tag = tag_of(q, "near_miss:");
        if (!tag.empty()) {
            pairs[tag].push_back(&q);
        }
    }
    std::size_t asked = 0, reused = 0, example = 0;
    for (const auto& [tag, members] : pairs) {
        if (members.size() < 2) {
            continue;
        }
        const auto stored = memory.add(db, members[0]->question,
                                       *eval::gold_sql_for(*members[0], db.dialect()), "eval");
        const auto match = memory.lookup(db, members[1]->question);
        ++asked;
        reused += match.exact.has_value();
        example += !match.examples.empty() && match.examples[0].id == stored.id;
    }
    std::printf("near misses reused as they are: %zu of %zu (stored pair first example in %zu)   "
                "target 0\n",
                reused, asked, example);
}

// Words for synthetic questions: real ones from the set, and made-up nouns.
std::vector<std::string> vocabulary(const std::vector<eval::Question>& questions) {
    std::vector<std::string> words;
    for (const auto& q : questions) {
        for (const auto& t : agent::memory_terms(agent::mask_question(q.question))) {
            if (t[0] != '<' && t[0] != '=') {
                words.push_back(t);
            }
        }
    }
    for (int i = 0; i < 3000; ++i) {
        words.push_back("term" + std::to_string(i));
    }
    return words;
}

void lookup_time(const std::string& name, const std::string& state_uri,
                 const std::vector<eval::Question>& questions, sql::CustomSQLDatabase& db,
                 std::size_t entries) {
    auto store = state::Store::open(state_uri);
    agent::Memory memory(store);
    const auto words = vocabulary(questions);
    std::mt19937 random(7);
    const auto start_fill = Clock::now();
    const auto fingerprint = db.schema_fingerprint();
    // Written straight into the memory's table: certifying each would run 100,000 queries.
    const std::size_t batch = 500;
    for (std::size_t done = 0; done < entries; done += batch) {
        std::string sql = "INSERT INTO zolviai_memory (db, engine, fingerprint, question, masked, "
                          "slots, match_key, sql_text, tables, source, certified_by, created_at, "
                          "checked_at, uses, state, note) VALUES ";
        std::vector<state::Param> params;
        for (std::size_t i = done; i < std::min(entries, done + batch); ++i) {
            std::string text;
            for (int w = 0; w < 8; ++w) {
                text += words[random() % words.size()] + " ";
            }
            text += std::to_string(1990 + random() % 40);
            const auto masked = agent::mask_question(text);
            const std::size_t p = params.size();
            sql += (i == done ? "(" : ", (");
            for (int c = 1; c <= 8; ++c) {
                sql += "$" + std::to_string(p + c) + (c < 8 ? ", " : "");
            }
            sql += ", '{}', 'bench', '', '2026-01-01T00:00:00Z', '2026-01-01T00:00:00Z', 0, "
                   "'certified', '')";
            params.insert(params.end(),
                          {db.identity(), db.dialect(), fingerprint, text, masked.masked, "[]",
                           masked.key(), "SELECT COUNT(*) FROM customers"});
        }
        store->execute(sql, params);
    }
    store->execute("INSERT INTO zolviai_memory_versions (db, version) VALUES ($1, 1) ON CONFLICT "
                   "(db) DO UPDATE SET version = zolviai_memory_versions.version + 1",
                   {db.identity()});
    const double fill_s = std::chrono::duration<double>(Clock::now() - start_fill).count();
    const auto start_load = Clock::now();
    memory.lookup(db, questions[0].question); // reads and indexes every entry once
    const double load_ms =
        std::chrono::duration<double, std::milli>(Clock::now() - start_load).count();
    std::vector<double> times;
    std::size_t exact = 0;
    for (int round = 0; round < 5; ++round) {
        for (const auto& q : questions) {
            const auto t0 = Clock::now();
            const auto match = memory.lookup(db, q.question);
            times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            exact += match.exact.has_value();
        }
    }
    std::sort(times.begin(), times.end());
    const auto at = [&](double p) {
        return times[std::min(times.size() - 1, static_cast<std::size_t>(p * times.size()))];
    };
    std::printf("%s lookup with %zu entries: p50 %.2f ms, p95 %.2f ms, max %.2f ms over %zu "
                "lookups   target p95 < 5 ms  (filled in %.1f s; first lookup reads and indexes "
                "them in %.0f ms)\n",
                name.c_str(), entries, at(0.5), at(0.95), times.back(), times.size(), fill_s,
                load_ms);
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t entries = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    const fs::path dir =
        fs::temp_directory_path() / ("zolviai-bench-memory-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    sql::create_sample_sqlite(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/business_db.sql",
                              (dir / "business.db").string());
    auto db = sql::CustomSQLDatabase::from_uri("sqlite:///" + (dir / "business.db").string());
    const auto questions =
        eval::load_questions(std::string(ZOLVIAI_SOURCE_DIR) + "/examples/eval/business.jsonl");
    recall(questions);
    near_misses(questions, *db, dir);
    lookup_time("SQLite", (dir / "state.db").string(), questions, *db, entries);
    if (const char* pg = std::getenv("ZOLVIAI_PG_URI"); pg && *pg) {
        // A scratch state database, dropped at the end.
        PGconn* admin = PQconnectdb(pg);
        const std::string name = "zolvi_bench_memory_" + std::to_string(::getpid());
        PQclear(PQexec(admin, ("CREATE DATABASE " + name).c_str()));
        std::string uri = pg;
        uri = uri.substr(0, uri.rfind('/') + 1) + name;
        lookup_time("PostgreSQL", uri, questions, *db, entries);
        PQclear(PQexec(admin, ("DROP DATABASE " + name + " WITH (FORCE)").c_str()));
        PQfinish(admin);
    } else {
        std::printf("PostgreSQL lookup: not measured (ZOLVIAI_PG_URI is not set)\n");
    }
    fs::remove_all(dir);
    return 0;
}
