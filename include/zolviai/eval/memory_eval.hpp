#pragma once

#include "zolviai/eval/harness.hpp"

#include <cstddef>
#include <string>
#include <vector>

// The evaluation of the memory of verified SQL: the same questions answered without memory and
// with one, side by side (accuracy, share answered from memory, model calls and cost).
namespace zolviai::eval {

struct MemoryEvalOptions {
    // A fixed memory: the gold pairs of this question file (any format load_questions reads).
    std::string memory_file;
    // K folds (at least 2): each fold is answered with the other folds' gold pairs as the
    // memory. Questions tagged "paraphrase:<group>" stay in one fold, unless paraphrase_twins
    // spreads each group over the folds so that a question's twins are in memory.
    std::size_t folds = 0;
    bool paraphrase_twins = false;
    std::size_t examples = 3; // similar entries shown to SQL generation
};

// The fold of each question (0 .. folds-1), in question order, as MemoryEvalOptions says.
std::vector<std::size_t> assign_folds(const std::vector<Question>& questions, std::size_t folds,
                                      bool paraphrase_twins);

// Runs both evaluations. With options.out_dir: without-memory/ and with-memory/ hold each
// run's results and reports, memory_summary.json and memory_report.md the comparison (the
// memories are kept in memory/). Returns {"without": summary, "with": summary, "comparison":
// {...}}.
Value run_memory_evaluation(std::vector<Question> questions, const EvalOptions& options,
                            const FlowFactory& factory, const MemoryEvalOptions& memory);

// The comparison's lines, as memory_report.md holds them.
std::string memory_report(const Value& comparison);

} // namespace zolviai::eval
