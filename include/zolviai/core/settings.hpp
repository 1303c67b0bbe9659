#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zolviai {

// The product's settings, built once per process at its edge (the command line, the HTTP
// server, a Python module as it loads) and read by the layers below through settings(): no
// layer under the agent reads the environment itself.
//
// A value comes from the first layer that has it: flags (what the command line decided),
// the environment, the .env file, then the caller's default. Names take the one prefix
// ZOLVI_; a setting asked for as ZOLVI_X is also found under the older ZOLVIAI_X, with a
// one-line notice on standard error, once per process.
class Settings {
public:
    // Looks a name up in the host's environment; empty optional when unset. The environment
    // is looked up when a setting is read, so a host that changes its environment (a Python
    // program setting os.environ) is heard.
    using Lookup = std::function<std::optional<std::string>(const std::string& name)>;

    Settings() = default;

    Settings& set_flag(const std::string& name, std::string value);
    Settings& set_environment(Lookup lookup);
    Settings& set_dotenv(std::map<std::string, std::string> values);

    // The value of a setting (empty values count as unset), or none.
    std::optional<std::string> get(const std::string& name) const;
    std::string get(const std::string& name, const std::string& fallback) const;
    // 1, true, yes, on (any case) are true; anything else, or unset, is false.
    bool enabled(const std::string& name) const;
    // A variable outside the product's names (OPENAI_API_KEY, PATH): environment, then .env.
    std::optional<std::string> raw(const std::string& name) const;

    // NAME=value lines of a .env file (comments, blank lines, "export ", quotes as a shell
    // would take them); the later of two lines for one name wins.
    static std::map<std::string, std::string> parse_dotenv(const std::string& text);

private:
    std::optional<std::string> layered(const std::string& name) const;

    std::map<std::string, std::string> flags_;
    Lookup environment_;
    std::map<std::string, std::string> dotenv_;
};

// The settings the edge installed; an empty Settings (every value its default) before that.
std::shared_ptr<const Settings> settings();
// Installs the process's settings (later calls replace them; readers keep the copy they got).
void install_settings(Settings settings);
// Whether an edge has installed settings in this process.
bool settings_installed();

// The name a deprecated ZOLVIAI_ spelling of a setting stands for ("" when it is none).
std::string deprecated_alias(const std::string& name);

} // namespace zolviai
