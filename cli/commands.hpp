#pragma once

#include <CLI/CLI.hpp>

// Each subcommand registers itself on the application; the single try/catch is in main.
namespace zolviai::cli {

void add_env_command(CLI::App& app);

} // namespace zolviai::cli
