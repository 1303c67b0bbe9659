// The reader of sandboxed runs' replies against forged bytes, without a sandbox: the code in
// one can write anything to its channel. Forged framings are in data/reply_attacks.txt; the
// same attacks through a real sandbox are in test_sandbox_runner.cpp.
#include "pyexec/sandbox_reply.hpp"
#include "support/memory.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

using namespace zolviai;
using namespace zolviai::pyexec::sandbox;
namespace fs = std::filesystem;
using Reason = ReplyRefused::Reason;

namespace {

// Bytes handed out a few at a time, as a socket may.
class StringSource : public ByteSource {
public:
    explicit StringSource(std::string data, std::size_t step = 7)
        : data_(std::move(data)), step_(step) {}
    std::size_t read_some(char* buffer, std::size_t size) override {
        const std::size_t n = std::min({size, step_, data_.size() - at_});
        std::copy_n(data_.data() + at_, n, buffer);
        at_ += n;
        if (throw_at_ && at_ >= throw_at_) {
            throw std::runtime_error("deadline");
        }
        return n;
    }
    std::size_t throw_at_ = 0; // abandons the read once this many bytes went out

private:
    std::string data_;
    std::size_t step_;
    std::size_t at_ = 0;
};

// A header and `size` filler bytes made as they are read, so that a large reply costs the
// test no memory of its own.
class GeneratedSource : public ByteSource {
public:
    GeneratedSource(std::string head, std::uint64_t size, std::string tail)
        : head_(std::move(head)), left_(size), tail_(std::move(tail)) {}
    std::size_t read_some(char* buffer, std::size_t size) override {
        if (!head_.empty()) {
            const std::size_t n = std::min(size, head_.size());
            std::copy_n(head_.data(), n, buffer);
            head_.erase(0, n);
            return n;
        }
        if (left_ > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_));
            std::fill_n(buffer, n, 'x');
            left_ -= n;
            return n;
        }
        const std::size_t n = std::min(size, tail_.size());
        std::copy_n(tail_.data(), n, buffer);
        tail_.erase(0, n);
        return n;
    }

private:
    std::string head_;
    std::uint64_t left_;
    std::string tail_;
};

struct TempDir {
    TempDir() {
        path = fs::temp_directory_path() /
               ("zolviai-reply-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
    static inline int counter = 0;
};

// The corpus's notation: \n, \\ and \xHH escapes; <<N*text>> repeats text N times.
std::string expand(std::string_view spec) {
    std::string out;
    for (std::size_t i = 0; i < spec.size();) {
        if (spec.compare(i, 2, "<<") == 0) {
            const std::size_t star = spec.find('*', i);
            const std::size_t end = spec.find(">>", star);
            const std::string unit = expand(spec.substr(star + 1, end - star - 1));
            for (long n = std::stol(std::string(spec.substr(i + 2, star - i - 2))); n > 0; --n) {
                out += unit;
            }
            i = end + 2;
        } else if (spec[i] == '\\' && i + 1 < spec.size()) {
            const char c = spec[i + 1];
            if (c == 'x') {
                out.push_back(
                    static_cast<char>(std::stoi(std::string(spec.substr(i + 2, 2)), nullptr, 16)));
                i += 4;
            } else {
                out.push_back(c == 'n' ? '\n' : c);
                i += 2;
            }
        } else {
            out.push_back(spec[i++]);
        }
    }
    return out;
}

std::string trimmed(std::string text) {
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string frame(const std::string& header, const std::string& body = "") {
    return header + "\n" + body;
}

std::string output_frame(const std::string& text) {
    return frame(R"({"kind": "output", "size": )" + std::to_string(text.size()) + "}", text);
}

std::string file_frame(const std::string& name, const std::string& data) {
    std::string quoted;
    for (const char c : name) { // JSON escapes for what a name may hold
        char escaped[8];
        if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            quoted += escaped;
        } else {
            quoted.push_back(c);
        }
    }
    return frame(R"({"kind": "file", "name": ")" + quoted + R"(", "size": )" +
                     std::to_string(data.size()) + "}",
                 data);
}

const std::string kEnd = frame(R"({"kind": "end"})");
const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + "image data";

// Every path under the folder, relative, sorted.
std::vector<std::string> listing(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        out.push_back(fs::relative(entry.path(), root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(SandboxReply, EveryForgedReplyInTheCorpusIsRefusedForItsReason) {
    std::ifstream corpus(std::string(ZOLVIAI_SOURCE_DIR) +
                         "/tests/cpp/pyexec/data/reply_attacks.txt");
    ASSERT_TRUE(corpus) << "the corpus is missing";
    ReplyLimits limits;
    limits.max_text = 1 << 20;
    limits.max_file_size = 1000;
    limits.max_file_bytes = 2000;
    const std::map<std::string, Reason> reasons = {{"TooLarge", Reason::TooLarge},
                                                   {"Malformed", Reason::Malformed},
                                                   {"Incomplete", Reason::Incomplete}};
    std::string line;
    int cases = 0;
    while (std::getline(corpus, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto bar = line.find('|');
        const auto second = line.find('|', bar + 1);
        const std::string reason = trimmed(line.substr(0, bar));
        const std::string what = trimmed(line.substr(bar + 1, second - bar - 1));
        const std::string bytes = expand(trimmed(line.substr(second + 1)));
        ASSERT_TRUE(reasons.count(reason)) << line;
        ++cases;
        TempDir media;
        StringSource source(bytes, 4096);
        try {
            read_reply(source, limits, media.path);
            ADD_FAILURE() << what << ": accepted";
        } catch (const ReplyRefused& e) {
            EXPECT_EQ(e.reason(), reasons.at(reason)) << what << ": " << e.what();
        }
        EXPECT_EQ(listing(media.path), std::vector<std::string>{}) << what;
    }
    EXPECT_GE(cases, 30);
}

TEST(SandboxReply, AFileIsKeptOnlyWithASafeNameAUsableTypeAndMatchingContent) {
    struct Case {
        std::string name;
        std::string data;
        bool kept;
    };
    const Case cases[] = {
        {"chart.png", kPng, true},
        {"by year/2024/q1/jan/chart.PNG", kPng, true}, // four folders deep
        {"a/b/c/d/e/chart.png", kPng, false},          // five
        {"photo.jpg", "\xff\xd8\xff\xe0 jpeg", true},
        {"anim.gif", "GIF89a...", true},
        {"pic.webp", std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), true},
        {"rows.csv", "a,b\n1,2\n", true},             // named in the output
        {"summary.json", "{\"a\": 1}", true},         // named in the output
        {"unnamed.csv", "a,b\n", false},              // not named in the output
        {"notes.txt", std::string("a\0b", 3), false}, // named, but not text
        {"fake.png", "<script>alert(1)</script>", false},
        {"short.png", "\x89PNG", false},
        {"drawing.svg", "<svg onload='alert(1)'/>", false},
        {"page.html", "<script></script>", false},
        {"run.sh", "#!/bin/sh\n", false},
        {"noextension", "x", false},
        {"../escaped.png", kPng, false},
        {"/abs.png", kPng, false},
        {"a/./b.png", kPng, false},
        {"a//b.png", kPng, false},
        {".hidden.png", kPng, false},
        {"dir\\evil.png", kPng, false},
        {"bell\x07.png", kPng, false},
        {"del\x7f.png", kPng, false},
        {std::string(256, 'n') + ".png", kPng, false},
    };
    TempDir dir;
    const fs::path media = dir.path / "media";
    std::string reply = output_frame("wrote rows.csv, summary.json and notes.txt");
    for (const Case& c : cases) {
        reply += file_frame(c.name, c.data);
    }
    StringSource source(reply + kEnd);
    const Reply r = read_reply(source, ReplyLimits{}, media);
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        std::error_code ec;
        const bool there = fs::exists(fs::symlink_status(media / c.name, ec));
        EXPECT_EQ(there, c.kept) << c.name;
        if (c.kept) {
            EXPECT_EQ(read_file(media / c.name), c.data) << c.name;
            expected.push_back((media / c.name).string());
        }
    }
    EXPECT_EQ(r.files, expected);
    EXPECT_EQ(r.discarded, std::size(cases) - expected.size());
    EXPECT_FALSE(fs::exists(dir.path / "escaped.png"));
    // Folders exist only for kept files; no temporary file is left.
    EXPECT_EQ(listing(media),
              (std::vector<std::string>{"anim.gif", "by year", "by year/2024", "by year/2024/q1",
                                        "by year/2024/q1/jan", "by year/2024/q1/jan/chart.PNG",
                                        "chart.png", "photo.jpg", "pic.webp", "rows.csv",
                                        "summary.json"}));
}

TEST(SandboxReply, AFolderBombCreatesNoFolderAndTheCountAndSizeLimitsHold) {
    TempDir dir;
    // 40 files 900 folders deep each: none is kept, no folder is made.
    std::string bomb = output_frame("");
    for (int i = 0; i < 40; ++i) {
        std::string name;
        for (int level = 0; level < 900; ++level) {
            name += "d/";
        }
        bomb += file_frame(name + std::to_string(i) + ".png", kPng);
    }
    StringSource bombs(bomb + kEnd, 1 << 16);
    const Reply none = read_reply(bombs, ReplyLimits{}, dir.path / "bomb");
    EXPECT_EQ(none.files.size(), 0u);
    EXPECT_EQ(none.discarded, 40u);
    EXPECT_FALSE(fs::exists(dir.path / "bomb" / "d"));

    // 40 charts: the first 32 are kept. Then the saved-size budget: 3 files of 400 bytes
    // with 1000 allowed keep two.
    std::string many = output_frame("");
    for (int i = 0; i < 40; ++i) {
        many += file_frame("c" + std::to_string(i) + ".png", kPng);
    }
    StringSource charts(many + kEnd, 1 << 16);
    const Reply r = read_reply(charts, ReplyLimits{}, dir.path / "many");
    EXPECT_EQ(r.files.size(), 32u);
    EXPECT_EQ(r.discarded, 8u);
    EXPECT_EQ(listing(dir.path / "many").size(), 32u);
    EXPECT_FALSE(fs::exists(dir.path / "many" / "c32.png"));

    ReplyLimits small;
    small.max_saved_size = 1000;
    const std::string big = kPng + std::string(400 - kPng.size(), 'p');
    StringSource sized(output_frame("") + file_frame("a.png", big) + file_frame("b.png", big) +
                       file_frame("c.png", big) + kEnd);
    EXPECT_EQ(read_reply(sized, small, dir.path / "sized").files.size(), 2u);
    EXPECT_FALSE(fs::exists(dir.path / "sized" / "c.png"));
}

TEST(SandboxReply, LinksPlantedInTheMediaFolderAreNeverFollowed) {
    TempDir dir;
    const fs::path media = dir.path / "media";
    const fs::path outside = dir.path / "outside";
    fs::create_directories(media);
    fs::create_directories(outside);
    std::ofstream(outside / "victim.png") << "the victim";
    fs::create_symlink(outside / "victim.png", media / "chart.png");
    fs::create_symlink(outside, media / "sub");
    fs::create_symlink(outside / "missing.png", media / "dangling.png");
    fs::create_directories(media / "folder.png");
    std::ofstream(media / "earlier.png") << "an earlier chart";

    StringSource source(output_frame("") + file_frame("chart.png", kPng) +
                        file_frame("sub/x.png", kPng) + file_frame("dangling.png", kPng) +
                        file_frame("folder.png", kPng) + file_frame("earlier.png", kPng) + kEnd);
    const Reply r = read_reply(source, ReplyLimits{}, media);
    EXPECT_EQ(r.files, std::vector<std::string>{(media / "earlier.png").string()});
    EXPECT_EQ(read_file(outside / "victim.png"), "the victim");
    EXPECT_TRUE(fs::is_symlink(media / "chart.png"));
    EXPECT_FALSE(fs::exists(outside / "x.png"));
    EXPECT_FALSE(fs::exists(outside / "missing.png"));
    EXPECT_TRUE(fs::is_directory(media / "folder.png"));
    EXPECT_EQ(read_file(media / "earlier.png"), kPng) << "a regular file is replaced";
    EXPECT_EQ(listing(outside), std::vector<std::string>{"victim.png"});
}

TEST(SandboxReply, ARefusedOrAbandonedReplyLeavesNoFileBehind) {
    TempDir dir;
    const fs::path media = dir.path / "media";
    StringSource refused(output_frame("") + file_frame("kept/a.png", kPng) + "garbage\n");
    EXPECT_THROW(read_reply(refused, ReplyLimits{}, media), ReplyRefused);
    EXPECT_EQ(listing(media), std::vector<std::string>{});

    // The deadline passes in the middle of a file.
    StringSource abandoned(output_frame("") + file_frame("a.png", kPng) +
                           file_frame("b.png", kPng + std::string(5000, 'x')) + kEnd);
    abandoned.throw_at_ = 200;
    EXPECT_THROW(read_reply(abandoned, ReplyLimits{}, media), std::runtime_error);
    EXPECT_EQ(listing(media), std::vector<std::string>{});
}

TEST(SandboxReply, TheHostHoldsNoMoreThanTheTextBudget) {
    if (!zolviai::testing::memory_is_measured) {
        GTEST_SKIP() << "peak memory is not measured under AddressSanitizer";
    }
    const long before = zolviai::testing::reset_peak_resident_kb();
    // 20 MiB of output, within the 24 MiB budget, and 1 GiB of file bytes discarded.
    ReplyLimits limits;
    limits.max_file_size = limits.max_file_bytes = 1ull << 30;
    GeneratedSource within(R"({"kind": "output", "size": 20971520})"
                           "\n",
                           20u << 20, file_frame("x.bin", "") + kEnd);
    EXPECT_EQ(read_reply(within, limits, "").output.size(), 20u << 20);
    GeneratedSource files(output_frame("") +
                              R"({"kind": "file", "name": "a.png", "size": 1073741824})"
                              "\n",
                          1ull << 30, kEnd);
    EXPECT_EQ(read_reply(files, limits, "").discarded, 1u);
    // 114 MiB of empty objects as output, and as a header.
    GeneratedSource huge(R"({"kind": "output", "size": 119537664})"
                         "\n",
                         119537664, kEnd);
    EXPECT_THROW(read_reply(huge, limits, ""), ReplyRefused);
    GeneratedSource header("[", 119537664, "]\n");
    EXPECT_THROW(read_reply(header, limits, ""), ReplyRefused);
    const long growth_kb = zolviai::testing::peak_resident_kb() - before;
    EXPECT_LT(growth_kb, (24 << 10) + 4096) << "kB over the resident size before the replies";
}
