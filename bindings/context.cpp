// zolviai.prompts.context: the deployment's answer context (ZOLVI_CONTEXT_FILE).
#include "zolviai/flow/context.hpp"

#include "convert.hpp"

namespace py = pybind11;
namespace f = zolviai::flow;

PYBIND11_MODULE(context, m) {
    zolviai::bindings::init_common();
    m.doc() = "The deployment's context and instructions for final answers, from the JSON file "
              "ZOLVI_CONTEXT_FILE names.";
    m.def("read_values", &f::read_values,
          "{'context_prompt': str, 'custom_instructions': str}; both empty without a file.");
    m.def("context_prompt", &f::context_prompt);
    m.def("custom_instructions", &f::custom_instructions);
    m.def("check_instructions", &f::check_instructions, py::arg("instructions"),
          "Whether the instructions hold anything to follow.");
}
