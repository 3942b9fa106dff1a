// The settings model under real threads: kits reading the settings from their own queues while a download's
// completion clears and reloads them always see a whole document.

#include "kit_host/ZUVSettings.hpp"

#include "platform/foundation/FileManager.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(ZUVSettingsConcurrency, ReadersSeeWholeSettingsWhileTheCacheIsClearedAndReloaded) {
    plat::test::TempAppHome home;
    const std::string path = home.root() + "/settings.json";
    std::string document = R"({"app":{"status":"activated","update_required":false},"filler":[)";
    for (int i = 0; i < 200; ++i)
        document += (i ? "," : "") + std::to_string(i);
    document += "]}";
    ASSERT_TRUE(plat::writeData(path, plat::Data(document.begin(), document.end())).ok());
    ZUVSettings settings(path);

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                auto read = settings.settingsDictionary();
                if (!read || read->size() != 2 || settings.appStatus() != "activated")
                    torn.fetch_add(1);
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        settings.clearSettingsDictionary();
        (void)settings.settingsDictionary();
    }
    stop = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(torn.load(), 0);
}

} // namespace
