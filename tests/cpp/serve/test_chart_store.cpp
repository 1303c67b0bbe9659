#include "serve/chart_store.hpp"
#include "sql/sql_test_support.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <thread>

namespace zolviai::serve {
namespace {
namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ChartStore, RecordsTheNamedChartElseTheNewestUnderARandomName) {
    testing::TempDir dir;
    ChartStore store(dir.path(), std::chrono::hours(1));

    const fs::path a = store.new_folder();
    EXPECT_EQ(fs::status(a).permissions() & fs::perms::all, fs::perms::owner_all);
    write(a / "first.png", "first");
    write(a / "second.png", "second");
    write(a / "notes.txt", "not a chart");
    const std::string named = store.record(a, "/somewhere/else/first.png");
    EXPECT_TRUE(std::regex_match(named, std::regex("[0-9a-f]{32}\\.png"))) << named;
    ASSERT_TRUE(store.find(named));
    EXPECT_EQ(read(*store.find(named)), "first");

    const fs::path b = store.new_folder();
    EXPECT_NE(a, b);
    write(b / "old.png", "old");
    fs::last_write_time(b / "old.png", fs::file_time_type::clock::now() - std::chrono::minutes(5));
    write(b / "new.png", "new");
    const std::string newest = store.record(b, "");
    ASSERT_TRUE(store.find(newest));
    EXPECT_EQ(read(*store.find(newest)), "new");
    EXPECT_NE(named, newest);
}

TEST(ChartStore, AFolderWithoutARegularPngIsRemovedAndGivesNoName) {
    testing::TempDir dir;
    ChartStore store(dir.path(), std::chrono::hours(1));
    const fs::path folder = store.new_folder();
    write(folder / "output.csv", "a,b");
    fs::create_symlink("/etc/passwd", folder / "link.png");
    EXPECT_EQ(store.record(folder, "link.png"), "");
    EXPECT_FALSE(fs::exists(folder));
}

TEST(ChartStore, FindsOnlyTheNamesItGave) {
    testing::TempDir dir;
    ChartStore store(dir.path(), std::chrono::hours(1));
    const fs::path folder = store.new_folder();
    write(folder / "chart.png", "png");
    const std::string name = store.record(folder, "");
    ASSERT_TRUE(store.find(name));
    const std::string upper = [&] {
        std::string s = name;
        for (auto& c : s) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return s;
    }();
    for (const std::string other :
         {std::string("chart.png"), folder.filename().string() + "/chart.png", upper,
          name.substr(0, 32), "../" + name, std::string(32, '0') + ".png", std::string()}) {
        EXPECT_FALSE(store.find(other)) << other;
    }
}

TEST(ChartStore, SweepRemovesExpiredFoldersOfThisAndEarlierProcesses) {
    testing::TempDir dir;
    const fs::path root = dir.path();
    fs::create_directories(root / "q-left-by-an-earlier-process");
    fs::create_directories(root / "not-ours");
    ChartStore store(root, std::chrono::seconds(1));
    const fs::path folder = store.new_folder();
    write(folder / "chart.png", "png");
    const std::string name = store.record(folder, "");
    const auto old = fs::file_time_type::clock::now() - std::chrono::seconds(5);
    fs::last_write_time(root / "q-left-by-an-earlier-process", old);
    fs::last_write_time(root / "not-ours", old);

    store.sweep(); // the new folder is younger than its time to live
    EXPECT_TRUE(store.find(name));
    EXPECT_TRUE(fs::exists(folder));
    EXPECT_FALSE(fs::exists(root / "q-left-by-an-earlier-process"));
    EXPECT_TRUE(fs::exists(root / "not-ours")) << "only the server's own folders are swept";

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    fs::last_write_time(folder, old);
    store.sweep();
    EXPECT_FALSE(store.find(name));
    EXPECT_FALSE(fs::exists(folder));
}

// A question that runs longer than the time to live keeps its folder until it records it; a
// failed one that removed its own folder is forgotten.
TEST(ChartStore, SweepLeavesTheFoldersOfRunningQuestions) {
    testing::TempDir dir;
    ChartStore store(dir.path(), std::chrono::seconds(1));
    const fs::path running = store.new_folder();
    const fs::path failed = store.new_folder();
    const auto old = fs::file_time_type::clock::now() - std::chrono::seconds(5);
    fs::last_write_time(running, old);
    fs::remove_all(failed);
    store.sweep();
    ASSERT_TRUE(fs::exists(running));
    EXPECT_EQ(fs::status(running).permissions() & fs::perms::all, fs::perms::owner_all);

    write(running / "chart.png", "png");
    const std::string name = store.record(running, "");
    ASSERT_FALSE(name.empty());
    fs::last_write_time(running, old);
    store.sweep(); // recorded, and older than its time to live: the folder goes
    EXPECT_FALSE(fs::exists(running));
}

} // namespace
} // namespace zolviai::serve
