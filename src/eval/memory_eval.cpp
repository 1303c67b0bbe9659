#include "zolviai/eval/memory_eval.hpp"

#include "zolviai/core/error.hpp"
#include "zolviai/eval/report.hpp"
#include "zolviai/state/store.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <spdlog/spdlog.h>
#include <unistd.h>

namespace zolviai::eval {
namespace {

std::string group_of(const Question& q) {
    for (const auto& tag : q.tags) {
        if (tag.rfind("paraphrase:", 0) == 0) {
            return tag;
        }
    }
    return "";
}

// Totals of one run's records for the comparison.
Value totals(const std::vector<Value>& records) {
    std::size_t scored = 0, correct = 0, from_memory = 0, examples = 0;
    double calls = 0, cost = 0;
    for (const auto& r : records) {
        const std::string outcome = r.value("outcome", "");
        if (outcome != outcome_name(Outcome::GoldError)) {
            ++scored;
            correct += outcome == outcome_name(Outcome::Correct);
        }
        from_memory += r.value("from_memory", false) ? 1 : 0;
        examples += r.value("memory_examples", 0) > 0 ? 1 : 0;
        calls += r.value("model_calls", 0.0);
        cost += r.value("cost", 0.0);
    }
    const double n = records.empty() ? 1.0 : static_cast<double>(records.size());
    return {{"questions", records.size()},
            {"scored", scored},
            {"correct", correct},
            {"accuracy", scored ? static_cast<double>(correct) / scored : 0.0},
            {"from_memory", from_memory},
            {"from_memory_share", static_cast<double>(from_memory) / n},
            {"with_examples", examples},
            {"model_calls_per_question", calls / n},
            {"cost_per_question", cost / n}};
}

void write_text(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        throw IoError("cannot write " + path.string());
    }
}

void write_records(const std::filesystem::path& path, const std::vector<Value>& records) {
    std::string text;
    for (const auto& r : records) {
        text += r.dump(-1, ' ', false, Value::error_handler_t::replace) + "\n";
    }
    write_text(path, text);
}

std::vector<Value> records_of(const Value& run) {
    std::vector<Value> out;
    for (const auto& r : run["records"]) {
        out.push_back(r);
    }
    return out;
}

// Certifies the gold pairs of `pairs` in a fresh memory kept at `file` (a temporary file when
// empty). A pair whose database cannot be opened or whose gold SQL does not run is left out.
std::shared_ptr<agent::Memory>
memory_of(const std::vector<const Question*>& pairs, const EvalOptions& options,
          const std::string& file,
          std::map<std::string, std::shared_ptr<sql::CustomSQLDatabase>>& opened) {
    std::filesystem::remove(file);
    auto memory = std::make_shared<agent::Memory>(state::Store::open(file));
    for (const Question* q : pairs) {
        try {
            const std::string uri = database_uri(*q, options.db_root, options.default_db_uri);
            auto& db = opened[uri];
            if (!db) {
                db = uri.empty() && options.default_db
                         ? options.default_db
                         : sql::CustomSQLDatabase::from_uri(uri, options.database);
            }
            const auto gold = gold_sql_for(*q, db->dialect());
            if (gold) {
                // As the harness asks it: with the benchmark's evidence as a hint.
                memory->add(*db, prompt_text(*q), *gold, "eval");
            }
        } catch (const Error& e) {
            spdlog::info("gold pair {} left out of the memory: {}", q->id, e.what());
        }
    }
    return memory;
}

} // namespace

std::vector<std::size_t> assign_folds(const std::vector<Question>& questions, std::size_t folds,
                                      bool paraphrase_twins) {
    std::vector<std::size_t> out(questions.size(), 0);
    std::map<std::string, std::size_t> unit_of; // a group's unit number
    std::map<std::string, std::size_t> seen;    // members of a group so far
    std::size_t units = 0;
    for (std::size_t i = 0; i < questions.size(); ++i) {
        const std::string group = group_of(questions[i]);
        if (group.empty()) {
            out[i] = units++ % folds;
            continue;
        }
        auto [it, fresh] = unit_of.emplace(group, units);
        if (fresh) {
            ++units;
        }
        // Twins: each member one fold further on, so that the others are in memory.
        const std::size_t offset = paraphrase_twins ? seen[group]++ : 0;
        out[i] = (it->second + offset) % folds;
    }
    return out;
}

Value run_memory_evaluation(std::vector<Question> questions, const EvalOptions& options,
                            const FlowFactory& factory, const MemoryEvalOptions& m) {
    if (m.memory_file.empty() && m.folds < 2) {
        throw ValueError("a memory evaluation needs a memory file or at least 2 folds");
    }
    if (options.limit > 0 && questions.size() > options.limit) {
        questions.resize(options.limit);
    }
    namespace fs = std::filesystem;
    const fs::path out = options.out_dir;
    fs::path memories = out.empty() ? fs::temp_directory_path() /
                                          ("zolviai-memory-eval-" + std::to_string(::getpid()))
                                    : out / "memory";
    fs::create_directories(memories);

    EvalOptions without = options;
    without.memory = nullptr;
    without.limit = 0;
    without.out_dir = out.empty() ? "" : (out / "without-memory").string();
    const Value plain = Evaluation(questions, without, factory).run();
    std::vector<Value> plain_records = records_of(plain);

    std::map<std::string, std::shared_ptr<sql::CustomSQLDatabase>> opened;
    std::vector<Value> with_records;
    EvalOptions with = options;
    with.limit = 0;
    with.out_dir = "";
    with.resume = false;
    if (!m.memory_file.empty()) {
        const auto pairs = load_questions(m.memory_file);
        std::vector<const Question*> all;
        for (const auto& q : pairs) {
            all.push_back(&q);
        }
        with.memory = memory_of(all, options, (memories / "memory.db").string(), opened);
        with_records = records_of(Evaluation(questions, with, factory).run());
    } else {
        const auto folds = assign_folds(questions, m.folds, m.paraphrase_twins);
        for (std::size_t f = 0; f < m.folds; ++f) {
            std::vector<Question> fold;
            std::vector<const Question*> others;
            for (std::size_t i = 0; i < questions.size(); ++i) {
                if (folds[i] == f) {
                    fold.push_back(questions[i]);
                } else {
                    others.push_back(&questions[i]);
                }
            }
            if (fold.empty()) {
                continue;
            }
            with.memory =
                memory_of(others, options,
                          (memories / ("fold-" + std::to_string(f + 1) + ".db")).string(), opened);
            for (auto& r : records_of(Evaluation(std::move(fold), with, factory).run())) {
                r["fold"] = f + 1;
                with_records.push_back(std::move(r));
            }
        }
    }

    Value comparison = {
        {"questions_file", options.questions_file},
        {"memory_file", m.memory_file.empty() ? Value(nullptr) : Value(m.memory_file)},
        {"folds", m.folds},
        {"paraphrase_twins", m.paraphrase_twins},
        {"without", totals(plain_records)},
        {"with", totals(with_records)}};
    const Value about = {{"questions_file", options.questions_file}, {"memory", true}};
    Value result = {{"without", plain["summary"]},
                    {"with", summarize(with_records, about)},
                    {"comparison", comparison}};
    if (!out.empty()) {
        fs::create_directories(out / "with-memory");
        write_records(out / "with-memory" / "results.jsonl", with_records);
        write_text(out / "with-memory" / "summary.json", result["with"].dump(2));
        write_text(out / "memory_summary.json", comparison.dump(2));
        write_text(out / "memory_report.md", memory_report(comparison));
    } else {
        fs::remove_all(memories);
    }
    return result;
}

std::string memory_report(const Value& c) {
    auto row = [](const char* name, const Value& t) {
        char line[256];
        std::snprintf(line, sizeof line, "| %s | %.1f%% (%zu of %zu) | %.1f%% | %.2f | %.5f |\n",
                      name, 100.0 * t.value("accuracy", 0.0), t.value("correct", std::size_t{0}),
                      t.value("scored", std::size_t{0}), 100.0 * t.value("from_memory_share", 0.0),
                      t.value("model_calls_per_question", 0.0), t.value("cost_per_question", 0.0));
        return std::string(line);
    };
    std::string text = "# Memory of verified SQL\n\n";
    if (c.value("folds", 0) > 0) {
        text += std::to_string(c.value("folds", 0)) + " folds" +
                (c.value("paraphrase_twins", false) ? ", paraphrase twins in memory" : "") + "\n\n";
    }
    text +=
        "| run | accuracy | answered from memory | model calls / question | cost / question (USD) |\n"
        "|---|---|---|---|---|\n";
    text += row("without memory", c["without"]);
    text += row("with memory", c["with"]);
    return text;
}

} // namespace zolviai::eval
