#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace zolviai::serve {

// The charts questions saved. Each question writes into a folder of its own with a name
// nobody can guess; the server serves a chart only under the name it gave when it recorded
// it, so no path a client sends ever reaches the file system. Folders are removed after the
// time to live.
class ChartStore {
public:
    ChartStore(std::filesystem::path root, std::chrono::seconds ttl);

    // A new empty folder (mode 0700) for one question's files. It is in use, and never swept,
    // until record() takes it (or it is removed).
    std::filesystem::path new_folder();

    // Records the chart a question saved in its folder: the PNG file the answer named when it
    // is there, else the newest one. Returns the public name ("<32 hex digits>.png"), or ""
    // when the folder holds no chart (the folder is then removed).
    std::string record(const std::filesystem::path& folder, const std::string& named_path);

    // The file behind a public name, while it lives; nullopt for any other name.
    std::optional<std::filesystem::path> find(std::string_view name) const;

    // Removes the question folders older than the time to live, recorded or not (those of an
    // earlier process too), but never one a running question still writes into, and forgets
    // their charts.
    void sweep();

    const std::filesystem::path& root() const { return root_; }

private:
    struct Entry {
        std::filesystem::path file;
        std::filesystem::path folder;
        std::chrono::steady_clock::time_point recorded;
    };

    std::filesystem::path root_;
    std::chrono::seconds ttl_;
    mutable std::mutex mutex_;
    std::map<std::string, Entry, std::less<>> charts_;
    std::set<std::filesystem::path> in_use_; // folders of questions still running
};

// 128 random bits as 32 lower-case hexadecimal digits, from the kernel's generator.
std::string random_hex_name();

} // namespace zolviai::serve
