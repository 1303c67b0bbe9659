#include "zolviai/graph/state_graph.hpp"

#include <map>
#include <set>

namespace zolviai::graph {
namespace {

// Nodes in the order a reader follows the flow: breadth first from START, then any node
// the entry point cannot reach, then END.
std::vector<std::string> reading_order(const std::vector<std::string>& names,
                                       const std::vector<EdgeInfo>& edges) {
    std::vector<std::string> order{START};
    std::set<std::string> seen{START};
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (const auto& e : edges) {
            if (e.source == order[i] && e.target != END && seen.insert(e.target).second) {
                order.push_back(e.target);
            }
        }
    }
    for (const auto& name : names) {
        if (name != END && seen.insert(name).second) {
            order.push_back(name);
        }
    }
    if (!names.empty() && names.back() == END) {
        order.push_back(END);
    }
    return order;
}

std::string box(const std::string& name) {
    const std::string rule = "+" + std::string(name.size() + 2, '-') + "+\n";
    return rule + "| " + name + " |\n" + rule;
}

std::string dot_quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out + "\"";
}

} // namespace

std::string CompiledGraph::draw_ascii() const {
    const auto edge_list = edges();
    std::string out;
    for (const auto& name : reading_order(node_names(), edge_list)) {
        out += box(name);
        for (const auto& e : edge_list) {
            if (e.source != name) {
                continue;
            }
            out += e.conditional ? "    -." + e.label + ".-> " + e.target + "\n"
                                 : "    --> " + e.target + "\n";
        }
    }
    return out;
}

std::string CompiledGraph::draw_mermaid() const {
    std::string out = "%%{init: {'flowchart': {'curve': 'linear'}}}%%\ngraph TD;\n";
    for (const auto& name : node_names()) {
        if (name == START) {
            out += "\t" + name + "([<p>" + name + "</p>]):::first\n";
        } else if (name == END) {
            out += "\t" + name + "([<p>" + name + "</p>]):::last\n";
        } else {
            out += "\t" + name + "(" + name + ")\n";
        }
    }
    for (const auto& e : edges()) {
        if (e.conditional) {
            out += "\t" + e.source + " -. &nbsp;" + e.label + "&nbsp; .-> " + e.target + ";\n";
        } else {
            out += "\t" + e.source + " --> " + e.target + ";\n";
        }
    }
    out += "\tclassDef default fill:#f2f0ff,line-height:1.2\n"
           "\tclassDef first fill-opacity:0\n"
           "\tclassDef last fill:#bfb6fc\n";
    return out;
}

std::string CompiledGraph::draw_dot() const {
    std::string out = "digraph G {\n"
                      "\trankdir=TB;\n"
                      "\tnode [shape=box, style=\"rounded,filled\", fillcolor=\"#f2f0ff\", "
                      "fontname=\"Helvetica\"];\n"
                      "\tedge [fontname=\"Helvetica\", fontsize=10];\n";
    for (const auto& name : node_names()) {
        out += "\t" + dot_quote(name);
        if (name == START || name == END) {
            out += " [shape=oval, fillcolor=\"" + std::string(name == END ? "#bfb6fc" : "white") +
                   "\"]";
        }
        out += ";\n";
    }
    for (const auto& e : edges()) {
        out += "\t" + dot_quote(e.source) + " -> " + dot_quote(e.target);
        if (e.conditional) {
            out += " [style=dashed, label=" + dot_quote(e.label) + "]";
        }
        out += ";\n";
    }
    return out + "}\n";
}

} // namespace zolviai::graph
