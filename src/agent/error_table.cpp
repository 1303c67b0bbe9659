#include "zolviai/agent/error_table.hpp"

namespace zolviai::agent {
namespace {

// Exit statuses: 1 for a question or command that failed, 69 (EX_UNAVAILABLE) for a service
// that could not be reached, 124 for a time-out (as timeout(1) gives), 130 for an interrupt.
// ModelAnswerInvalid stays a 500 question_failed in serve: the model, not the service, failed.
// clang-format off
constexpr ErrorFace table[error_kind_count] = {
    // kind                          outcome              exit status code                    retry eval
    {ErrorKind::Internal,            "failed",            1,   500, "internal_error",         0, "model_error"},
    {ErrorKind::MissingField,        "failed",            1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::Type,                "failed",            1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::Value,               "failed",            1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::Key,                 "failed",            1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::Index,               "failed",            1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::Database,            "sql_failed",        1,   500, "question_failed",        0, "sql_error"},
    {ErrorKind::StatementRefused,    "refused",           1,   400, "statement_refused",      0, "refused"},
    {ErrorKind::StatementTimeout,    "timeout",           124, 504, "timeout",                0, "timeout"},
    {ErrorKind::DatabaseUnavailable, "unavailable",       69,  503, "database_unavailable",   5, "sql_error"},
    {ErrorKind::Model,               "model_error",       1,   502, "model_error",            0, "model_error"},
    {ErrorKind::ModelUnavailable,    "model_unavailable", 69,  502, "model_error",            5, "model_error"},
    {ErrorKind::ModelAnswerInvalid,  "model_error",       1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::GraphRecursion,      "failed",            1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::InvalidUpdate,       "failed",            1,   500, "internal_error",         0, "model_error"},
    {ErrorKind::GraphWiring,         "failed",            1,   500, "internal_error",         0, "model_error"},
    {ErrorKind::Config,              "failed",            1,   500, "question_failed",        0, nullptr},
    {ErrorKind::Io,                  "failed",            1,   500, "question_failed",        0, "model_error"},
    {ErrorKind::Timeout,             "timeout",           124, 504, "timeout",                0, "timeout"},
    {ErrorKind::Interrupted,         "interrupted",       130, 503, "shutting_down",          5, nullptr},
};
// clang-format on

} // namespace

const ErrorFace& error_face(ErrorKind kind) {
    return table[static_cast<int>(kind)];
}

} // namespace zolviai::agent
