#pragma once

#include "zolviai/graph/state_schema.hpp"

namespace zolviai::flow {

// The record the question-answering flow carries: 25 fields in declared order, each with
// its merge rule. A run starts with iteration_count and iteration_count_pandas at 0 and
// max_iterations_pandas at kDefaultMaxIterationsPandas (a run input may set another
// bound); every other field is absent until a step writes it.
const graph::StateSchema& sql_state_schema();

// How many failed analysis runs are corrected before the flow gives up on the analysis.
inline constexpr int kDefaultMaxIterationsPandas = 3;

} // namespace zolviai::flow
