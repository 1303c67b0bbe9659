#include "serve/chart_store.hpp"

#include "zolviai/core/error.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace zolviai::serve {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFolderPrefix = "q-";

bool is_png(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_regular_file(ec) && !entry.is_symlink(ec) && entry.path().extension() == ".png";
}

} // namespace

std::string random_hex_name() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw IoError("the kernel's random generator failed");
        }
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

ChartStore::ChartStore(fs::path root, std::chrono::seconds ttl)
    : root_(std::move(root)), ttl_(ttl) {
    std::error_code ec;
    fs::create_directories(root_, ec);
    if (ec || !fs::is_directory(root_)) {
        throw ConfigError("cannot create the media folder " + root_.string() + ": " + ec.message());
    }
}

fs::path ChartStore::new_folder() {
    const fs::path folder = root_ / (std::string(kFolderPrefix) + random_hex_name());
    if (::mkdir(folder.c_str(), 0700) != 0) {
        throw IoError("cannot create a folder under the media folder " + root_.string() + ": " +
                      std::error_code(errno, std::generic_category()).message());
    }
    std::lock_guard lock(mutex_);
    in_use_.insert(folder);
    return folder;
}

std::string ChartStore::record(const fs::path& folder, const std::string& named_path) {
    {
        std::lock_guard lock(mutex_);
        in_use_.erase(folder);
    }
    std::error_code ec;
    std::optional<fs::path> chosen;
    fs::file_time_type newest{};
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
        if (!is_png(entry)) {
            continue;
        }
        if (!named_path.empty() && entry.path().filename() == fs::path(named_path).filename()) {
            chosen = entry.path();
            break;
        }
        const auto when = entry.last_write_time(ec);
        if (!chosen || when > newest) {
            chosen = entry.path();
            newest = when;
        }
    }
    if (!chosen) {
        fs::remove_all(folder, ec);
        return "";
    }
    std::string name = random_hex_name() + ".png";
    std::lock_guard lock(mutex_);
    charts_[name] = Entry{*chosen, folder, std::chrono::steady_clock::now()};
    return name;
}

std::optional<fs::path> ChartStore::find(std::string_view name) const {
    std::lock_guard lock(mutex_);
    const auto it = charts_.find(name);
    if (it == charts_.end() || std::chrono::steady_clock::now() - it->second.recorded > ttl_) {
        return std::nullopt;
    }
    return it->second.file;
}

void ChartStore::sweep() {
    const auto now = fs::file_time_type::clock::now();
    std::vector<fs::path> removed;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kFolderPrefix, 0) != 0 || !entry.is_directory(ec) || entry.is_symlink(ec)) {
            continue;
        }
        const auto when = entry.last_write_time(ec);
        if (ec || now - when < ttl_) {
            continue;
        }
        {
            // A question may run longer than the time to live: its folder stays until then.
            std::lock_guard lock(mutex_);
            if (in_use_.count(entry.path()) != 0) {
                continue;
            }
        }
        fs::remove_all(entry.path(), ec);
        removed.push_back(entry.path());
    }
    const auto steady_now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    // A failed question removes its folder itself without recording it.
    for (auto it = in_use_.begin(); it != in_use_.end();) {
        it = fs::exists(*it, ec) ? std::next(it) : in_use_.erase(it);
    }
    for (auto it = charts_.begin(); it != charts_.end();) {
        const bool gone =
            steady_now - it->second.recorded > ttl_ ||
            std::find(removed.begin(), removed.end(), it->second.folder) != removed.end();
        it = gone ? charts_.erase(it) : std::next(it);
    }
}

} // namespace zolviai::serve
