// zolviai.flow_graph.flow_graph_prompts and zolviai.prompts.answer_prompt: the prompt texts.
#include "convert.hpp"
#include "zolviai/prompts/answer_prompt.hpp"
#include "zolviai/prompts/flow_graph_prompts.hpp"

namespace py = pybind11;
namespace p = zolviai::prompts;

namespace {
py::str text(std::string_view v) {
    return py::str(v.data(), v.size());
}
} // namespace

#ifdef ZOLVIAI_ANSWER_PROMPT
PYBIND11_MODULE(answer_prompt, m) {
    m.doc() = "The text that frames the model's final answer.";
    m.attr("final_node_prompt") = text(p::final_node_prompt);
}
#else
PYBIND11_MODULE(flow_graph_prompts, m) {
    m.doc() = "The prompt texts the flow steps send to the chat model.";
    m.attr("SQL_PREFIX") = text(p::SQL_PREFIX);
    m.attr("GET_RELEVANT_TABLE_NAMES_TEMPLATE") = text(p::GET_RELEVANT_TABLE_NAMES_TEMPLATE);
    m.attr("TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE") =
        text(p::TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE);
    m.attr("REWRITE_QUESTION_TEMPLATE") = text(p::REWRITE_QUESTION_TEMPLATE);
    m.attr("GENERATE_SQL_TEMPLATE") = text(p::GENERATE_SQL_TEMPLATE);
    m.attr("CORRECT_SQL_TEMPLATE") = text(p::CORRECT_SQL_TEMPLATE);
    m.attr("PANDAS_SYSTEM_TEMPLATE") = text(p::PANDAS_SYSTEM_TEMPLATE);
    m.attr("PANDAS_HUMAN_TEMPLATE") = text(p::PANDAS_HUMAN_TEMPLATE);
}
#endif
