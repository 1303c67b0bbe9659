#include "sandbox_reply.hpp"

#include "zolviai/core/json_input.hpp"
#include "zolviai/core/text.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zolviai::pyexec::sandbox {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kHeaderLimit = 4096; // one frame header line
constexpr std::size_t kFrameLimit = 1024;  // frames in one reply
constexpr std::size_t kChunk = 1 << 16;

using Reason = ReplyRefused::Reason;

struct FileType {
    const char* extension;
    std::string_view magic; // what the file starts with; empty: text without NUL bytes
    std::size_t magic_at;
};

// What the answer can show or link: charts as raster images (SVG can carry script and is
// left out), tables as text.
const FileType kTypes[] = {
    {"png", {"\x89PNG\r\n\x1a\n", 8}, 0},
    {"jpg", "\xff\xd8\xff", 0},
    {"jpeg", "\xff\xd8\xff", 0},
    {"gif", "GIF8", 0},
    {"webp", "WEBP", 8},
    {"csv", {}, 0},
    {"tsv", {}, 0},
    {"json", {}, 0},
    {"txt", {}, 0},
};

const FileType* type_of(std::string_view name) {
    const auto dot = name.rfind('.');
    const auto slash = name.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return nullptr;
    }
    std::string extension(name.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const FileType& type : kTypes) {
        if (extension == type.extension) {
            return &type;
        }
    }
    return nullptr;
}

std::vector<std::string_view> parts_of(std::string_view name) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        parts.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool good_part(std::string_view part) {
    if (part.empty() || part.size() > 255 || part.front() == '.') {
        return false; // also ".", ".." and our own temporary names
    }
    return std::none_of(part.begin(), part.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || c == '\\';
    });
}

std::string size_text(std::uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    return std::to_string(bytes) + " bytes";
}

// The channel, read through a buffer, with every byte counted.
class Stream {
public:
    explicit Stream(ByteSource& source) : source_(source), buffer_(kChunk) {}

    // The next header line without its newline; nullopt when the stream ended before it.
    std::optional<std::string> line() {
        std::string text;
        for (;;) {
            const char* begin = buffer_.data() + pos_;
            const char* newline = static_cast<const char*>(std::memchr(begin, '\n', end_ - pos_));
            const std::size_t take =
                newline ? static_cast<std::size_t>(newline - begin) : end_ - pos_;
            if (text.size() + take > kHeaderLimit) {
                throw ReplyRefused(Reason::Malformed, "a frame header is longer than " +
                                                          std::to_string(kHeaderLimit) + " bytes");
            }
            text.append(begin, take);
            pos_ += take;
            if (newline) {
                ++pos_;
                return text;
            }
            if (!fill()) {
                if (text.empty()) {
                    return std::nullopt;
                }
                throw ReplyRefused(Reason::Incomplete, "the channel ended inside a frame header");
            }
        }
    }

    // Hands the next `size` bytes to sink(data, n) piece by piece.
    template <typename Sink>
    void body(std::uint64_t size, Sink&& sink) {
        while (size > 0) {
            if (pos_ == end_ && !fill()) {
                throw ReplyRefused(Reason::Incomplete, "the channel ended inside a frame");
            }
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - pos_));
            sink(buffer_.data() + pos_, n);
            pos_ += n;
            size -= n;
        }
    }

private:
    bool fill() {
        pos_ = 0;
        end_ = source_.read_some(buffer_.data(), buffer_.size());
        return end_ > 0;
    }

    ByteSource& source_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

// An open folder that closes itself.
struct Dir {
    int fd = -1;
    Dir() = default;
    explicit Dir(int f) : fd(f) {}
    Dir(Dir&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Dir& operator=(Dir&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Dir() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::atomic<unsigned long> g_temporary_counter{0};

// The host's media folder, written only below it and never through a link: each folder is
// opened relative to its parent without following links, each file is written under a
// temporary name and renamed, and a name that is already taken by anything but a regular
// file is left alone.
class MediaFolder {
public:
    explicit MediaFolder(fs::path root) : root_(std::move(root)) {}

    ~MediaFolder() {
        if (!committed_) {
            for (const auto& path : written_) {
                ::unlink(path.c_str());
            }
        }
        // Folders made for files that were not kept after all, deepest first.
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            ::rmdir(it->c_str());
        }
    }

    // Opens (making it when missing) the folder that will hold `name`; fd -1 when a part of
    // the path is not a plain folder.
    Dir folder_for(std::string_view name) {
        if (root_fd_.fd < 0) {
            // The host made the folder private; one that vanished is made again as private,
            // never with the process's default mode.
            ::mkdir(root_.c_str(), 0700);
            root_fd_ = Dir(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (root_fd_.fd < 0) {
                return Dir();
            }
        }
        Dir current(::dup(root_fd_.fd));
        fs::path path = root_;
        const auto parts = parts_of(name);
        for (std::size_t i = 0; i + 1 < parts.size() && current.fd >= 0; ++i) {
            const std::string part(parts[i]);
            path /= part;
            int fd =
                ::openat(current.fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT && ::mkdirat(current.fd, part.c_str(), 0755) == 0) {
                made_.push_back(path);
                fd = ::openat(current.fd, part.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            current = Dir(fd);
        }
        return current;
    }

    void wrote(const fs::path& path) { written_.push_back(path); }
    void commit() { committed_ = true; }

private:
    fs::path root_;
    Dir root_fd_;
    std::vector<fs::path> written_;
    std::vector<fs::path> made_;
    bool committed_ = false;
};

// One file being received: checked as its bytes arrive, written beside its final name.
class Incoming {
public:
    Incoming(const FileType& type, Dir folder, std::string leaf)
        : type_(type), folder_(std::move(folder)), leaf_(std::move(leaf)) {
        temporary_ = ".zolviai-" + std::to_string(::getpid()) + "-" +
                     std::to_string(g_temporary_counter.fetch_add(1)) + ".part";
        fd_ = ::openat(folder_.fd, temporary_.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        created_ = ok_ = fd_ >= 0;
    }

    ~Incoming() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (created_ && !renamed_) {
            ::unlinkat(folder_.fd, temporary_.c_str(), 0);
        }
    }

    void take(const char* data, std::size_t n) {
        if (!ok_) {
            return;
        }
        if (head_.size() < type_.magic_at + type_.magic.size()) {
            head_.append(data, std::min(n, type_.magic_at + type_.magic.size() - head_.size()));
        }
        if (type_.magic.empty() && std::memchr(data, '\0', n) != nullptr) {
            ok_ = false; // a text file does not hold NUL bytes
            return;
        }
        std::size_t written = 0;
        while (written < n) {
            const ssize_t w = ::write(fd_, data + written, n - written);
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                ok_ = false;
                return;
            }
            written += static_cast<std::size_t>(w);
        }
    }

    // Puts the file in place when everything held; false when it was discarded.
    bool finish() {
        if (!ok_ || head_.size() < type_.magic_at + type_.magic.size() ||
            head_.compare(type_.magic_at, type_.magic.size(), type_.magic) != 0) {
            return false;
        }
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) {
            return false;
        }
        struct stat there {};
        if (::fstatat(folder_.fd, leaf_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(there.st_mode)) {
            return false; // a link, a folder or a device already has that name
        }
        if (::renameat(folder_.fd, temporary_.c_str(), folder_.fd, leaf_.c_str()) != 0) {
            return false;
        }
        renamed_ = true;
        return true;
    }

private:
    const FileType& type_;
    Dir folder_;
    std::string leaf_;
    std::string temporary_;
    std::string head_;
    int fd_ = -1;
    bool created_ = false;
    bool ok_ = false; // every check held and every byte was written so far
    bool renamed_ = false;
};

struct Header {
    std::string kind;
    std::uint64_t size = 0;
    std::optional<std::string> name;
};

Header parse_header(const std::string& line) {
    Value doc;
    try {
        doc = parse_json_input(line, JsonLimits{1, kHeaderLimit});
    } catch (const JsonInputError& e) {
        throw ReplyRefused(Reason::Malformed,
                           std::string("a frame header is not flat JSON (") + e.what() + ")");
    }
    Header header;
    const auto kind = string_member(&doc, "kind");
    if (!doc.is_object() || !kind) {
        throw ReplyRefused(Reason::Malformed, "a frame header names no kind");
    }
    header.kind = *kind;
    if (find_member(doc, "size") != nullptr) {
        const auto size = integer_member(&doc, "size");
        if (!size || *size < 0) {
            throw ReplyRefused(Reason::Malformed, "a frame header has a size that is not a count");
        }
        header.size = static_cast<std::uint64_t>(*size);
    }
    header.name = string_member(&doc, "name");
    return header;
}

} // namespace

bool may_keep(std::string_view name, std::string_view output, const ReplyLimits& limits) {
    if (name.size() > 1024 || !is_valid_utf8(name)) {
        return false;
    }
    const auto parts = parts_of(name);
    if (parts.size() > limits.max_folder_depth + 1 ||
        !std::all_of(parts.begin(), parts.end(), good_part)) {
        return false;
    }
    const FileType* type = type_of(name);
    if (type == nullptr) {
        return false;
    }
    // A chart may be named only in the final answer, which is written after the run; a data
    // file is worth keeping only when the printed output points at it.
    return !type->magic.empty() || output.find(parts.back()) != std::string_view::npos;
}

Reply read_reply(ByteSource& source, const ReplyLimits& limits, const fs::path& media) {
    Stream stream(source);
    Reply reply;
    std::optional<MediaFolder> folder;
    if (!media.empty()) {
        folder.emplace(media);
    }
    bool have_output = false;
    bool in_files = false;
    std::size_t text_bytes = 0;
    std::uint64_t file_bytes = 0;
    std::uint64_t saved_bytes = 0;
    for (std::size_t frames = 0;; ++frames) {
        if (frames > kFrameLimit) {
            throw ReplyRefused(Reason::TooLarge, "the reply has more than " +
                                                     std::to_string(kFrameLimit) + " frames");
        }
        const std::optional<std::string> line = stream.line();
        if (!line) {
            throw ReplyRefused(Reason::Incomplete, "the channel ended before the reply did");
        }
        const Header header = parse_header(*line);
        if (header.kind == "output" || header.kind == "error") {
            const bool is_output = header.kind == "output";
            if (in_files || (is_output ? have_output : reply.error.has_value())) {
                throw ReplyRefused(Reason::Malformed, "a " + header.kind + " frame out of order");
            }
            if (header.size > limits.max_text - text_bytes) {
                throw ReplyRefused(Reason::TooLarge, "the printed text and error are larger than " +
                                                         size_text(limits.max_text));
            }
            text_bytes += static_cast<std::size_t>(header.size);
            std::string text;
            text.reserve(static_cast<std::size_t>(header.size));
            stream.body(header.size,
                        [&](const char* data, std::size_t n) { text.append(data, n); });
            if (!is_valid_utf8(text)) {
                throw ReplyRefused(Reason::Malformed, "the " + header.kind + " is not UTF-8 text");
            }
            (is_output ? reply.output : reply.error.emplace()) = std::move(text);
            have_output = have_output || is_output;
            continue;
        }
        if (header.kind == "end") {
            if (!have_output) {
                throw ReplyRefused(Reason::Malformed, "the reply ended without its output");
            }
            if (folder) {
                folder->commit();
            }
            return reply;
        }
        if (header.kind != "file" || !have_output || !header.name) {
            throw ReplyRefused(Reason::Malformed,
                               "a frame of kind '" + header.kind + "'" +
                                   (header.kind == "file" ? " out of order" : ""));
        }
        in_files = true;
        if (header.size > limits.max_file_size ||
            header.size > limits.max_file_bytes - file_bytes) {
            throw ReplyRefused(Reason::TooLarge,
                               "the files are larger than the sandbox can have written (" +
                                   size_text(limits.max_file_size) + " each, " +
                                   size_text(limits.max_file_bytes) + " in all)");
        }
        file_bytes += header.size;
        const std::string& name = *header.name;
        const bool keep = folder && reply.files.size() < limits.max_files &&
                          header.size <= limits.max_saved_size - saved_bytes &&
                          may_keep(name, reply.output, limits);
        std::optional<Incoming> incoming;
        if (keep) {
            Dir dir = folder->folder_for(name);
            if (dir.fd >= 0) {
                incoming.emplace(*type_of(name), std::move(dir),
                                 std::string(parts_of(name).back()));
            }
        }
        stream.body(header.size, [&](const char* data, std::size_t n) {
            if (incoming) {
                incoming->take(data, n);
            }
        });
        if (incoming && incoming->finish()) {
            const fs::path path = media / name;
            folder->wrote(path);
            reply.files.push_back(path.string());
            saved_bytes += header.size;
        } else {
            ++reply.discarded;
        }
    }
}

} // namespace zolviai::pyexec::sandbox
