// zolvi chat: questions line by line as one conversation; each follow-up is read in the light
// of the earlier ones. /new starts over, /sql shows the last statement, /quit ends.
#include "commands.hpp"
#include "flow_lines.hpp"
#include "output.hpp"
#include "zolviai/agent/agent.hpp"
#include "zolviai/agent/conversation.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/pyexec/analysis_runner.hpp"

#include <cstdio>
#include <cstdlib>
#include <editline/readline.h>
#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace zolviai::cli {

std::shared_ptr<state::Store> open_state_store(const std::string& state_db) {
    std::string where = state_db;
    if (where.empty()) {
        where = settings()->get("ZOLVI_STATE_DB", "");
    }
    if (where.empty()) {
        where = state::Store::default_path();
    }
    return state::Store::open(where);
}

std::shared_ptr<state::ConversationStore> open_conversation_store(const std::string& state_db) {
    return std::make_shared<state::ConversationStore>(open_state_store(state_db));
}

namespace {

struct ChatOptions {
    DatabaseOption db;
    std::string state_db;
    std::string conversation; // continue this one
    std::string media = "media";
    std::string analysis = "auto";
    bool sql_only = false;
    bool verbose = false;
};

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// One line from the user: with line editing and history on a terminal, plain standard input
// otherwise. False at the end of the input.
bool read_question(bool terminal, std::string& line) {
    if (!terminal) {
        return static_cast<bool>(std::getline(std::cin, line));
    }
    char* text = ::readline("zolvi> ");
    if (!text) {
        out_line("");
        return false;
    }
    line = text;
    std::free(text);
    if (!trimmed(line).empty()) {
        ::add_history(line.c_str());
    }
    return true;
}

void print_answer(const agent::Answer& a, bool sql_only) {
    if (a.understood_as != a.question) {
        out_line("Understood as: " + a.understood_as);
    }
    if (!sql_only && !a.text.empty()) {
        out_line(a.text);
    }
    if (a.sql) {
        out_line("\nSQL:\n" + *a.sql);
    }
    if (a.result) {
        sql::ResultSet shown = *a.result;
        shown.total_rows =
            std::max<std::int64_t>(shown.total_rows, static_cast<std::int64_t>(shown.rows.size()));
        if (shown.rows.size() > 20) {
            shown.rows.resize(20);
        }
        out_line("\nResult:\n" + format_rows(shown, RowFormat::Table));
    } else if (a.sql && !a.attempts.empty()) {
        out_line("\nResult:\n" + a.attempts.back().error);
    }
    if (!a.analysis.chart.empty()) {
        out_line("\nChart: " + a.analysis.chart);
    }
}

void chat(const ChatOptions& o) {
    log_to_stderr(o.verbose);
    // Conversations and the memory of verified SQL share the state database.
    const auto store = open_state_store(o.state_db);
    auto conversations = std::make_shared<state::ConversationStore>(store);
    const auto runner = pyexec::make_analysis_runner(pyexec::parse_analysis_mode(o.analysis));
    analysis_runner_given();
    auto lines = std::make_shared<FlowLines>(o.verbose);
    SinkScope scope(lines);
    std::shared_ptr<flow::SQLGraph> flow = agent::build_flow_from_environment(o.db.open());
    flow->set_analysis_runner(runner);
    agent::set_usage_reporter([](auto&&...) {}); // a chat reports nothing per question
    agent::Asker asker(flow);
    asker.set_memory(std::make_shared<agent::Memory>(store));
    std::filesystem::create_directories(o.media);

    std::string conversation = o.conversation;
    if (!conversation.empty() && !conversations->find(conversation)) {
        throw state::ConversationNotFound(conversation);
    }
    std::string last_sql;
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    if (terminal) {
        out_line("Ask a question about the database. /new starts a new conversation, /sql shows "
                 "the last SQL, /quit ends.");
    }
    std::string line;
    while (read_question(terminal, line)) {
        const std::string text = trimmed(line);
        if (text.empty()) {
            continue;
        }
        if (text == "/quit" || text == "/exit") {
            break;
        }
        if (text == "/new") {
            conversation.clear();
            last_sql.clear();
            out_line("(new conversation)");
            continue;
        }
        if (text == "/sql") {
            out_line(last_sql.empty() ? "(no SQL yet)" : last_sql);
            continue;
        }
        if (text[0] == '/') {
            out_line("unknown command " + text + ": /new, /sql or /quit");
            continue;
        }
        agent::Question q;
        q.text = text;
        q.media_dir = o.media;
        q.mode = o.sql_only ? agent::RunMode::SqlOnly : agent::RunMode::Full;
        agent::ConversationAnswer turn;
        try {
            turn = agent::ask_in_conversation(asker, *conversations, conversation, q);
        } catch (const state::ConversationFull& e) {
            err_line(std::string("zolvi chat: ") + e.what() + " (type /new)");
            continue;
        } catch (const state::ConversationNotFound& e) {
            // Expired while the chat was open: the question starts a new one.
            err_line(std::string("zolvi chat: ") + e.what() + "; starting a new conversation");
            conversation.clear();
            turn = agent::ask_in_conversation(asker, *conversations, conversation, q);
        }
        if (conversation.empty()) {
            err_line("zolvi chat: conversation " + turn.conversation_id);
        }
        conversation = turn.conversation_id;
        const agent::Answer& a = turn.answer;
        if (a.sql) {
            last_sql = *a.sql;
        }
        if (!a.error_type.empty()) {
            if (!o.verbose) {
                err(lines->held());
            }
            err_line("zolvi chat: the question could not be answered: " + a.error);
            continue;
        }
        print_answer(a, o.sql_only);
        if (a.from_memory) {
            err_line("zolvi chat: " + from_memory_line(*a.from_memory));
        }
        if (a.outcome != "answered") {
            err_line("zolvi chat: the SQL could not be written so that it runs");
        }
        out_line("");
    }
}

} // namespace

void add_chat_command(CLI::App& app) {
    auto o = std::make_shared<ChatOptions>();
    CLI::App* command = app.add_subcommand(
        "chat", "Ask questions one line at a time; follow-ups build on the earlier ones");
    o->db.add_to(*command);
    command->add_option("--state-db", o->state_db,
                        "Where conversations and the memory of verified SQL are kept: an SQLite "
                        "file or postgresql://... "
                        "(default ZOLVI_STATE_DB, else zolviai/state.db in $XDG_STATE_HOME or "
                        "~/.local/state)");
    command->add_option("--conversation", o->conversation,
                        "Continue this conversation (its id) instead of starting a new one");
    command->add_option("--media", o->media, "Directory for charts the analysis saves")
        ->capture_default_str();
    command
        ->add_option("--analysis", o->analysis,
                     "Where the analysis code a model writes runs: sandbox, in-process or auto")
        ->check(CLI::IsMember({"in-process", "sandbox", "auto"}))
        ->capture_default_str();
    command->add_flag("--sql-only", o->sql_only,
                      "Stop each question after its SQL has run, without the analysis and the "
                      "written answer");
    command->add_flag("-v,--verbose", o->verbose,
                      "Also show the flow's own lines and its timing log on standard error");
    command->callback([o] { chat(*o); });
}

} // namespace zolviai::cli
