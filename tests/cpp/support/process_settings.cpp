// A test program is its own edge: it installs settings read from its environment before any
// test runs, as the command line and the Python modules do, so that tests which set a variable
// reach the layers below as a user's setting would.
#include "zolviai/core/settings.hpp"

#include <cstdlib>

namespace {

[[maybe_unused]] const bool installed = [] {
    zolviai::Settings settings;
    settings.set_environment([](const std::string& name) -> std::optional<std::string> {
        const char* v = std::getenv(name.c_str());
        return v ? std::optional<std::string>(v) : std::nullopt;
    });
    zolviai::install_settings(std::move(settings));
    return true;
}();

} // namespace
