// zolvi tables | schema [TABLE...] | sql "SELECT ..." | graph [--png FILE]
#include "commands.hpp"
#include "output.hpp"
#include "zolviai/agent/environment.hpp"
#include "zolviai/core/console.hpp"
#include "zolviai/core/error.hpp"
#include "zolviai/core/settings.hpp"
#include "zolviai/sql/script.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace zolviai::cli {
namespace {

std::string sample_path() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path dir = cache && *cache ? std::filesystem::path(cache)
                                : home && *home ? std::filesystem::path(home) / ".cache"
                                                : std::filesystem::temp_directory_path();
    return (dir / "zolviai" / "business.db").string();
}

} // namespace

void analysis_runner_given() {
    Settings next = *settings();
    next.set_flag("ZOLVI_ANALYSIS_SANDBOX", "0");
    install_settings(std::move(next));
}

std::string model_help() {
    return "Language models (from the environment or a .env file in the working folder):\n" +
           agent::model_variables();
}

void DatabaseOption::add_to(CLI::App& command, unsigned flags) {
    command
        .add_option("--db", uri,
                    "Database URI (postgresql://, mysql://, mssql://, sqlite:////abs/path.db); "
                    "default: ZOLVI_DB_URI, else the bundled sample database")
        ->envname("ZOLVI_DB_URI");
    if (flags & DbGuard) {
        command.add_option("--allow-function", allowed_functions,
                           "A function of your own that generated SQL may call (repeatable; "
                           "schema.name for a qualified one)");
        command
            .add_flag("--allow-privileged-role", allow_privileged_role,
                      "Run generated SQL even when the database role can do more than read (a "
                      "warning names the risk); by default such a role is refused")
            ->envname("ZOLVI_ALLOW_PRIVILEGED_ROLE");
        command.add_flag("--require-read-only-role", require_read_only_role,
                         "Refuse a role that can do more than read even when it is allowed "
                         "elsewhere (also ZOLVI_REQUIRE_READ_ONLY_ROLE=1)");
    }
    if (flags & DbCatalog) {
        command
            .add_option("--schema-cache", schema_cache,
                        "Directory that keeps the database's catalog between runs, so that a "
                        "new run starts warm")
            ->envname("ZOLVI_SCHEMA_CACHE");
    }
    if (flags & DbPicker) {
        command
            .add_option("--prune-threshold", prune_threshold,
                        "Above this many tables the table picker sees only the tables that "
                        "match the question best")
            ->capture_default_str();
        command
            .add_option("--prune-top-k", prune_top_k,
                        "How many best-matching tables the picker sees on a large database "
                        "(plus the tables their foreign keys name)")
            ->capture_default_str()
            ->check(CLI::PositiveNumber);
    }
    if (flags & DbValues) {
        command
            .add_option("--no-values", no_values,
                        "A column whose values are never read into the value index nor shown to "
                        "the model: table.column, or table.* (repeatable or comma-separated; e.g. "
                        "for personal data)")
            ->delimiter(',')
            ->envname("ZOLVI_NO_VALUES");
        command.add_flag("--no-value-index", no_value_index,
                         "Do not read the database's values to match the question's words");
    }
}

sql::DatabaseOptions DatabaseOption::options() const {
    sql::DatabaseOptions options;
    options.guard.allowed_functions = allowed_functions;
    options.allow_privileged_role = allow_privileged_role;
    options.require_read_only_role = require_read_only_role;
    options.schema_cache_dir = schema_cache;
    options.prune_threshold = prune_threshold;
    options.prune_top_k = prune_top_k;
    options.values.excluded = no_values;
    options.values.enabled = !no_value_index;
    return options;
}

std::shared_ptr<sql::CustomSQLDatabase>
DatabaseOption::open(const sql::DatabaseOptions& options) const {
    if (!uri.empty()) {
        return sql::CustomSQLDatabase::from_uri(uri, options);
    }
    const std::string path = sample_path();
    if (!std::filesystem::exists(path)) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        const std::string tmp = path + ".partial";
        std::filesystem::remove(tmp);
        {
            sql::ConnectSettings settings;
            settings.engine = sql::Engine::Sqlite;
            settings.database = tmp;
            auto connection = sql::connect(settings);
            sql::run_script(*connection, sample_database_script()); // compiled into zolvi
        }
        std::filesystem::rename(tmp, path); // never leave a half-made sample behind
        print_err_line("zolvi: created the sample database " + path);
    }
    // The sample is only ever read: open it so that nothing can write it.
    return sql::CustomSQLDatabase::from_uri("sqlite:///" + path + "?mode=ro", options);
}

namespace {

struct SchemaOptions {
    DatabaseOption db;
    std::vector<std::string> names;
    std::vector<std::string> values; // --values TABLE: the value index of these tables
};

std::string quoted_value(const std::string& v) {
    std::string out = "'";
    for (char c : v) {
        out += c;
        if (c == '\'') {
            out += '\'';
        }
    }
    return out + "'";
}

// The value index's columns of the named tables, with their values and counts.
void show_values(const SchemaOptions& o) {
    auto database = o.db.open();
    const auto index = database->value_index();
    if (!index) {
        throw ConfigError("the value index is turned off (--no-value-index)");
    }
    const auto known = database->get_usable_table_names();
    for (const auto& table : o.values) {
        if (std::find(known.begin(), known.end(), table) == known.end()) {
            throw ConfigError("no table named '" + table + "' in the database");
        }
        bool any = false;
        for (const auto& c : index->columns()) {
            if (c.table != table) {
                continue;
            }
            any = true;
            const std::string name = c.table + "." + c.column;
            if (!c.min.empty() || c.values.empty()) {
                out_line(
                    name + ": " +
                    (c.min.empty() ? std::string("no values") : "from " + c.min + " to " + c.max));
                continue;
            }
            std::string about = std::to_string(c.distinct) + " distinct values";
            about += c.complete
                         ? ", all kept"
                         : ", the " + std::to_string(c.values.size()) + " most frequent kept";
            if (c.sampled) {
                about += ", counted on a sample of the rows";
            }
            out_line(name + " (" + about + ")");
            for (const auto& v : c.values) {
                out_line("  " + quoted_value(v.value) + "\t" + std::to_string(v.count));
            }
        }
        if (!any) {
            out_line(table + ": no text or date columns in the value index");
        }
    }
}

struct SqlOptions {
    DatabaseOption db;
    std::string statement;
    bool columns = false;
    std::string format = "python";
    std::int64_t max_rows = -1; // --max-rows; -1: every row
};

// What zolvi sql reads of one result at most: far above what a terminal or a file wants,
// below what takes the machine down. Past it the rows are counted, not kept, and said so.
constexpr std::size_t sql_result_bytes = std::size_t{1} << 30;

void run_sql(const SqlOptions& o) {
    const RowFormat format = parse_row_format(o.format);
    sql::DatabaseOptions options = o.db.options();
    options.max_cell_bytes = 0; // every value whole: a cut value would be a wrong one
    options.max_result_bytes = sql_result_bytes;
    auto database = o.db.open(options);
    const sql::ResultSet rows = database->query(o.statement, o.max_rows);
    write_rows(rows, format, o.columns);
    const auto written = static_cast<std::int64_t>(rows.rows.size());
    if (rows.total_rows <= written) {
        return;
    }
    const std::string counts = "zolvi: wrote " + std::to_string(written) + " of " +
                               std::to_string(rows.total_rows) + " rows";
    if (o.max_rows >= 0 && written == o.max_rows) {
        err_line(counts + " (--max-rows " + std::to_string(o.max_rows) + ")");
    } else {
        err_line(counts + ": the result passed the " + std::to_string(sql_result_bytes >> 20) +
                 " MiB zolvi sql holds at once; narrow the query or use --max-rows");
    }
    throw ExitStatus{rows_left_out_status};
}

// A table name the database does not know (exit status 1, as any lookup that failed).
class UnknownTable : public Error {
public:
    using Error::Error;
    ErrorKind kind() const override { return ErrorKind::Key; }
};

// Names the tables the database does not have, before anything is printed.
void check_tables_exist(const sql::CustomSQLDatabase& database,
                        const std::vector<std::string>& names) {
    const std::vector<std::string> known = database.get_usable_table_names();
    std::string missing;
    for (const auto& name : names) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            missing += (missing.empty() ? "" : ", ") + name;
        }
    }
    if (!missing.empty()) {
        throw UnknownTable("no such table: " + missing + " (zolvi tables lists them)");
    }
}

} // namespace

void add_database_commands(CLI::App& app) {
    auto tables_db = std::make_shared<DatabaseOption>();
    CLI::App* tables = app.add_subcommand("tables", "List the database's tables and views");
    tables_db->add_to(*tables, DbCatalog);
    tables->callback([tables_db] {
        for (const auto& name : tables_db->open()->get_usable_table_names()) {
            out_line(name);
        }
    });

    auto schema_options = std::make_shared<SchemaOptions>();
    CLI::App* schema = app.add_subcommand(
        "schema", "Show table definitions with sample rows (all tables when none is named)");
    schema_options->db.add_to(*schema, DbCatalog | DbValues);
    schema->add_option("tables", schema_options->names, "Table names");
    schema->add_option("--values", schema_options->values,
                       "Show the value index of a table instead: its text columns' values with "
                       "how many rows hold each, and its date columns' ranges (repeatable)");
    schema->callback([schema_options] {
        if (!schema_options->values.empty()) {
            show_values(*schema_options);
            return;
        }
        auto database = schema_options->db.open();
        check_tables_exist(*database, schema_options->names);
        out_line(database->get_table_info_no_throw(schema_options->names.empty()
                                                       ? database->get_usable_table_names()
                                                       : schema_options->names));
    });

    auto sql_options = std::make_shared<SqlOptions>();
    CLI::App* sql_command =
        app.add_subcommand("sql", "Run one read-only query through the statement guard");
    sql_options->db.add_to(*sql_command, DbGuard);
    sql_command->add_option("statement", sql_options->statement, "The query")->required();
    sql_command->add_flag("--columns", sql_options->columns,
                          "Python format: show rows as maps of column name to value");
    sql_command
        ->add_option("--format", sql_options->format,
                     "python (the rows as a Python literal), table, csv or json")
        ->check(CLI::IsMember({"python", "table", "csv", "json"}))
        ->capture_default_str();
    sql_command
        ->add_option("--max-rows", sql_options->max_rows,
                     "Write at most N rows; when the query has more, say so on standard error "
                     "and exit with status 3 (default: every row)")
        ->check(CLI::NonNegativeNumber);
    sql_command->callback([sql_options] { run_sql(*sql_options); });

    auto png = std::make_shared<std::string>();
    CLI::App* graph = app.add_subcommand("graph", "Draw the question-answering flow");
    graph->add_option("--png", *png, "Write a picture instead (format from the extension)");
    graph->callback([png] {
        // The wiring does not depend on the models: draw it with placeholder settings.
        const llm::AzureOpenAIChat35 settings("deployment", "http://127.0.0.1:9", "", "");
        auto database = sql::CustomSQLDatabase::from_uri("sqlite://");
        flow::SQLGraph flow(database, settings, settings);
        if (png->empty()) {
            flow.visualize_graph();
            return;
        }
        flow.visualize_graph("png", *png);
        print_line("Wrote " + *png);
    });
}

} // namespace zolviai::cli
