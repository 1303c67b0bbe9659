// The process-wide settings of the host tools, changed and read from several threads.
#include "zolviai/dbtool/settings.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace zolviai::dbtool;

namespace {

// Every value of one call carries the same number, so a reader can tell a mix of two calls.
void set_numbered(int n) {
    const std::string tag = std::to_string(n);
    set_database_config("name" + tag, "user" + tag, "password" + tag, "host" + tag, n);
}

bool from_one_call(const DatabaseSettings& s) {
    const std::string tag = std::to_string(s.db_port);
    return s.db_name == "name" + tag && s.db_user == "user" + tag &&
           s.db_password == "password" + tag && s.db_host == "host" + tag;
}

} // namespace

TEST(DatabaseSettings, ReadersNeverSeeHalfOfAChangeMadeOnAnotherThread) {
    const DatabaseSettings saved = database_settings();
    set_numbered(0);
    std::atomic<bool> writing{true};
    std::atomic<int> mixed{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            do {
                if (!from_one_call(database_settings())) {
                    ++mixed;
                }
            } while (writing);
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([w] {
            for (int i = 1; i <= 3000; ++i) {
                set_numbered(2 * i + w);
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    writing = false;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(mixed.load(), 0) << "a reader saw values of two different set_database_config calls";
    const DatabaseSettings last = database_settings();
    EXPECT_TRUE(from_one_call(last));
    EXPECT_TRUE(last.db_port == 6000 || last.db_port == 6001) << last.db_port;

    set_database_config(saved.db_name.value_or(""), saved.db_user.value_or(""),
                        saved.db_password.value_or(""), saved.db_host.value_or(""), saved.db_port);
}
