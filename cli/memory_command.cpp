// zolvi memory add|list|search|remove|import|check: the memory of verified SQL in the state
// database (--state-db, ZOLVI_STATE_DB, else the user's state file).
#include "commands.hpp"
#include "output.hpp"
#include "zolviai/agent/memory.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/eval/questions.hpp"
#include "zolviai/state/store.hpp"

#include <map>

namespace zolviai::cli {

std::shared_ptr<agent::Memory> open_memory_store(const std::string& state_db) {
    return std::make_shared<agent::Memory>(open_state_store(state_db));
}

namespace {

struct MemoryOptions {
    DatabaseOption db;
    std::string state_db;
    bool json = false;
    // add
    std::string question;
    std::string sql;
    std::string by;
    // search, list
    std::string text;
    std::size_t k = 10;
    bool all_databases = false;
    // remove
    std::int64_t id = 0;
    // import
    std::string file;
    std::string format = "auto";
    std::string db_root;
};

std::shared_ptr<agent::Memory> open_memory(const MemoryOptions& o) {
    return open_memory_store(o.state_db);
}

void show(const std::vector<agent::MemoryEntry>& entries, bool json) {
    if (json) {
        Value list = Value::array();
        for (const auto& e : entries) {
            list.push_back(agent::entry_json(e));
        }
        out_line(list.dump(2));
        return;
    }
    for (const auto& e : entries) {
        out_line("#" + std::to_string(e.id) + "  [" + agent::entry_state_name(e.state) + "]  " +
                 e.question);
        out_line("    " + e.sql);
        out_line("    " + e.source + (e.certified_by.empty() ? "" : " by " + e.certified_by) +
                 ", " + e.created_at + ", used " + std::to_string(e.uses) + " times" +
                 (e.note.empty() ? "" : "; " + e.note));
    }
    if (entries.empty()) {
        out_line("(no entries)");
    }
}

void import_file(const MemoryOptions& o) {
    auto memory = open_memory(o);
    const auto questions = eval::load_questions(o.file, eval::parse_question_format(o.format));
    if (o.db_root.empty()) {
        // Databases named by name cannot be found at all: said once, before anything is stored.
        for (const auto& q : questions) {
            if (!q.db.empty() && q.db.find("://") == std::string::npos) {
                throw ConfigError("question " + q.id + " names the database '" + q.db +
                                  "': give the folder that holds it with --db-root");
            }
        }
    }
    std::map<std::string, std::shared_ptr<sql::CustomSQLDatabase>> opened;
    std::size_t added = 0;
    std::size_t skipped = 0;
    for (const auto& q : questions) {
        try {
            const std::string uri = eval::database_uri(q, o.db_root, "");
            auto& db = opened[uri];
            if (!db) {
                db = uri.empty() ? o.db.open()
                                 : sql::CustomSQLDatabase::from_uri(uri, o.db.options());
            }
            const auto sql = eval::gold_sql_for(q, db->dialect());
            if (!sql) {
                throw ValueError("no gold SQL for " + db->dialect());
            }
            memory->add(*db, q.question, *sql, "import", o.by);
            ++added;
        } catch (const Error& e) {
            // One pair that does not run here does not stop the others.
            ++skipped;
            err_line("zolvi: question " + q.id + " not imported: " + e.what());
        }
    }
    out_line("imported " + std::to_string(added) + " of " + std::to_string(questions.size()) +
             " pairs" + (skipped ? " (" + std::to_string(skipped) + " skipped)" : ""));
}

void check(const MemoryOptions& o) {
    auto memory = open_memory(o);
    auto db = o.db.open();
    const agent::CheckReport r = memory->check(*db);
    if (o.json) {
        Value entries = Value::array();
        for (const auto& e : r.entries) {
            entries.push_back(agent::entry_json(e));
        }
        out_line(Value({{"checked", r.checked},
                        {"certified", r.certified},
                        {"failing", r.failing},
                        {"entries", entries}})
                     .dump(2));
        return;
    }
    for (const auto& e : r.entries) {
        out_line("#" + std::to_string(e.id) + "  " + agent::entry_state_name(e.state) + "  " +
                 e.question + (e.state == agent::EntryState::Failing ? "\n    " + e.note : ""));
    }
    out_line(std::to_string(r.checked) + " checked: " + std::to_string(r.certified) +
             " certified, " + std::to_string(r.failing) + " failing");
}

} // namespace

void add_memory_command(CLI::App& app) {
    auto o = std::make_shared<MemoryOptions>();
    CLI::App* memory = app.add_subcommand(
        "memory", "The memory of verified SQL: certified question/SQL pairs reused as answers "
                  "and shown as examples");
    memory->require_subcommand(1);
    auto common = [o](CLI::App* command, bool with_db) {
        command
            ->add_option("--state-db", o->state_db,
                         "State database: a file path, sqlite:///path or postgresql://...; "
                         "default: ZOLVI_STATE_DB, else the user's state file")
            ->envname("ZOLVI_STATE_DB");
        command->add_flag("--json", o->json, "Entries as JSON");
        if (with_db) {
            o->db.add_to(*command);
        }
    };

    CLI::App* add = memory->add_subcommand(
        "add", "Certify SQL as the answer to a question (it runs through the guard first)");
    common(add, true);
    add->add_option("question", o->question, "The question")->required();
    add->add_option("sql", o->sql, "Its SQL")->required();
    add->add_option("--by", o->by, "Who certifies it");
    add->callback([o] {
        auto db = o->db.open();
        show({open_memory(*o)->add(*db, o->question, o->sql, "cli", o->by)}, o->json);
    });

    CLI::App* list = memory->add_subcommand("list", "The database's entries, newest first");
    common(list, true);
    list->add_flag("--all", o->all_databases, "Every database's entries");
    list->callback([o] {
        const std::string database = o->all_databases ? "" : o->db.open()->identity();
        show(open_memory(*o)->list(database), o->json);
    });

    CLI::App* search =
        memory->add_subcommand("search", "The database's entries most similar to a text");
    common(search, true);
    search->add_option("text", o->text, "What to look for")->required();
    search->add_option("-k", o->k, "How many entries")->capture_default_str();
    search->callback(
        [o] { show(open_memory(*o)->search(o->db.open()->identity(), o->text, o->k), o->json); });

    CLI::App* remove = memory->add_subcommand("remove", "Remove an entry");
    common(remove, false);
    remove->add_option("id", o->id, "The entry's number")->required();
    remove->callback([o] {
        if (!open_memory(*o)->remove(o->id)) {
            throw KeyError("no memory entry #" + std::to_string(o->id));
        }
        out_line("removed #" + std::to_string(o->id));
    });

    CLI::App* import_command = memory->add_subcommand(
        "import", "Certify the pairs of a question file (our JSON Lines, Spider or BIRD)");
    common(import_command, true);
    import_command->add_option("file", o->file, "The question file")->required();
    import_command->add_option("--format", o->format, "auto, jsonl, spider or bird")
        ->capture_default_str();
    import_command->add_option("--db-root", o->db_root,
                               "Where named databases live (<root>/<name>/<name>.sqlite)");
    import_command->add_option("--by", o->by, "Who certifies them");
    import_command->callback([o] { import_file(*o); });

    CLI::App* check_command = memory->add_subcommand(
        "check", "Re-run every entry of the database with a small row limit: entries that "
                 "run are certified, the others failing");
    common(check_command, true);
    check_command->callback([o] { check(*o); });
}

} // namespace zolviai::cli
