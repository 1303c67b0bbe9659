#pragma once

#include "zolviai/core/error.hpp"

// What each kind of failure is called and returns in every face: the answer's outcome word,
// the command line's exit status, the server's HTTP status, error code and Retry-After, and
// the evaluation's outcome. One row per error kind; faces look the row up by the error's
// class, never by its text.
namespace zolviai::agent {

struct ErrorFace {
    ErrorKind kind;
    const char* outcome;      // Answer::outcome ("refused", "timeout", ...)
    int exit_code;            // zolvi's exit status
    int http_status;          // a question's status in zolvi serve
    const char* http_code;    // {"error": {"code": ...}}
    int retry_after_s;        // Retry-After seconds; 0: none sent
    const char* eval_outcome; // the evaluation's outcome word; nullptr: the whole run ends
};

const ErrorFace& error_face(ErrorKind kind);
inline const ErrorFace& error_face(const std::exception& e) {
    return error_face(error_kind(e));
}

} // namespace zolviai::agent
