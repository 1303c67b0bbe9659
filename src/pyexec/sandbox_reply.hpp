#pragma once

// What a sandboxed run sends back, read as the hostile input it may be. The code can write
// anything to the channel, so the reader holds at most a fixed budget of it in memory, parses
// only small flat frame headers (outside JSON, depth 1), and streams each file to the media
// folder through checks, never keeping a whole file in memory.
//
// The channel carries frames, each a header line and a body of the size it declares:
//     {"kind": "output", "size": N}\n <N bytes: the printed text, UTF-8>
//     {"kind": "error", "size": N}\n  <N bytes: "{type}: {message}", UTF-8>      (optional)
//     {"kind": "file", "name": "a/b.png", "size": N}\n <N bytes: the file>        (any number)
//     {"kind": "end"}\n
// in that order: the text first, since which files are kept depends on it.
#include "zolviai/core/error.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zolviai::pyexec::sandbox {

struct ReplyLimits {
    // Printed text and error together: all the reply the host holds in memory.
    std::size_t max_text = 24u << 20;
    // Files kept in the media folder, and their bytes together.
    std::size_t max_files = 32;
    std::uint64_t max_saved_size = 64ull << 20;
    // Largest single file, and all file bytes the channel may carry (kept or not): a file
    // frame past either cannot have come from the sandbox's own file systems.
    std::uint64_t max_file_size = 64ull << 20;
    std::uint64_t max_file_bytes = 256ull << 20;
    // Folders between the media folder and a kept file.
    std::size_t max_folder_depth = 4;
};

// A reply that breaks the channel's rules: nothing of it is used and the files it had
// written are removed. The reason is the class's code; the message says what was wrong.
class ReplyRefused : public Error {
public:
    enum class Reason {
        TooLarge,  // over a size limit
        Malformed, // not our framing, a header that is not flat JSON, text that is not UTF-8
        Incomplete // the channel ended before the last frame
    };
    ReplyRefused(Reason reason, const std::string& message) : Error(message), reason_(reason) {}
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

// Where the reply's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `size` bytes; 0 when the stream has ended. May throw to abandon the read
    // (a deadline): the reader then removes what it wrote, as for a refused reply.
    virtual std::size_t read_some(char* buffer, std::size_t size) = 0;
};

struct Reply {
    std::string output;
    std::optional<std::string> error;
    std::vector<std::string> files; // kept, as paths under the media folder
    std::size_t discarded = 0;      // file frames whose file was not kept
};

// Whether a file the sandbox saved may be kept, before any of its bytes are read: its name
// relative to the media folder (no empty, "." or ".." part, no part starting with a dot, no
// backslash or control character, valid UTF-8, at most max_folder_depth folders), and an
// extension the answer can use: an image (png, jpg, jpeg, gif, webp) always, a data file
// (csv, tsv, json, txt) only when the printed output names it.
bool may_keep(std::string_view name, std::string_view output, const ReplyLimits& limits);

// Reads one reply from the source. Files go under media (nothing is written when it is
// empty) without following a link anywhere below it; folders are created only for files
// that are kept. Throws ReplyRefused.
Reply read_reply(ByteSource& source, const ReplyLimits& limits, const std::filesystem::path& media);

} // namespace zolviai::pyexec::sandbox
