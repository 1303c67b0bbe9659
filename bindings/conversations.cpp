// zolviai._conversations: stored conversations and questions asked as their turns, for the
// Python Conversation (python/zolviai/_conversation.py).
#include "zolviai/state/conversations.hpp"

#include "convert.hpp"
#include "zolviai/agent/conversation.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;
using namespace zolviai;

namespace {

Value turns_json(state::ConversationStore& store, const std::string& id) {
    const auto info = store.find(id);
    if (!info) {
        throw state::ConversationNotFound(id);
    }
    return agent::conversation_json(*info, store.turns(id))["turns"];
}

// An unknown conversation is a KeyError and a full one a ValueError, as Python hosts expect.
template <class F>
auto translated(F&& f) {
    try {
        return f();
    } catch (const state::ConversationNotFound& e) {
        throw py::key_error(e.what());
    } catch (const state::ConversationFull& e) {
        throw py::value_error(e.what());
    }
}

} // namespace

PYBIND11_MODULE(_conversations, m) {
    bindings::init_common();
    m.doc() = "Conversations kept in the state database, and questions asked as their turns.";
    // SQLGraph, which ask takes, is registered there.
    py::module_::import("zolviai.flow_graph.flow_graph");

    py::class_<state::ConversationStore, std::shared_ptr<state::ConversationStore>>(
        m, "ConversationStore",
        "Conversations in a state database: an SQLite file or postgresql://... ('' : the file "
        "under the user's state folder). A file that is not a state database is refused.")
        .def(py::init([](const std::string& state_db) {
                 py::gil_scoped_release release;
                 return std::make_shared<state::ConversationStore>(state::Store::open(
                     state_db.empty() ? state::Store::default_path() : state_db));
             }),
             py::arg("state_db") = "")
        .def(
            "create",
            [](state::ConversationStore& s) {
                py::gil_scoped_release release;
                return s.create();
            },
            "A new conversation's id.")
        .def(
            "turns",
            [](state::ConversationStore& s, const std::string& id) {
                Value turns;
                translated([&] {
                    py::gil_scoped_release release;
                    turns = turns_json(s, id);
                });
                return bindings::from_value(turns);
            },
            py::arg("conversation_id"), "The turns, oldest first; KeyError for an unknown id.")
        .def(
            "remove",
            [](state::ConversationStore& s, const std::string& id) {
                py::gil_scoped_release release;
                return s.remove(id);
            },
            py::arg("conversation_id"));

    m.def(
        "ask",
        [](std::shared_ptr<flow::SQLGraph> graph, state::ConversationStore& store,
           const std::string& conversation_id, const std::string& question,
           const std::string& media_path, bool sql_only, std::size_t max_rows) {
            Value record;
            translated([&] {
                py::gil_scoped_release release;
                agent::Question q;
                q.text = question;
                q.media_dir = media_path;
                q.mode = sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
                q.max_rows = max_rows;
                const agent::Asker asker(std::move(graph));
                auto turn = agent::ask_in_conversation(asker, store, conversation_id, q);
                record = agent::answer_json(turn.answer, max_rows);
                record["conversation_id"] = turn.conversation_id;
                record["turn"] = turn.turn;
            });
            return bindings::from_value(record);
        },
        py::arg("agent"), py::arg("store"), py::arg("conversation_id"), py::arg("question"),
        py::kw_only(), py::arg("media_path") = "", py::arg("sql_only") = false,
        py::arg("max_rows") = 0,
        "Asks the question as the next turn of the conversation ('' starts one): the answer "
        "record of zolviai.agent.ask with 'understood_as', 'conversation_id' and 'turn'.");
}
