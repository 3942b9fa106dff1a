// The core's shared state under real threads: the queue-guarded dictionary, and the app registry read
// from other threads while apps are configured and deleted (run under the sanitizers, which see races).

#include "core/DAVApp.hpp"
#include "core/DAVLogger.hpp"
#include "core/DVUMutableDictionary.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(CoreConcurrencyTest, DictionaryWritesFromManyThreadsAreAllSeenAfterwards) {
    DVUMutableDictionary d;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&d, t] {
            for (int i = 0; i < 500; ++i) {
                d.setObject(plat::Value(i), std::to_string(t) + ":" + std::to_string(i));
                (void)d.objectForKey(std::to_string(t) + ":0");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(d.count(), 2000u);
    EXPECT_EQ(d["3:499"], plat::Value(499));
}

TEST(CoreConcurrencyTest, TheRegistryIsReadWhileAppsComeAndGo) {
    plat::test::TempAppHome home;
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&done, r] {
            while (!done.load()) {
                // Asked only when configured, so the miss line does not flood the log.
                if (auto app = DAVApp::isDefaultAppConfigured() ? DAVApp::defaultApp() : nullptr) {
                    (void)app->options()->razozaAppID();
                    (void)app->container().instanceForProtocol("Nothing");
                }
                DAVApp::registerLibrary("reader" + std::to_string(r), "1.0");
                (void)DAVApp::vedudoduUserAgent();
                (void)DAVApp::allApps();
                DAVLoggerWriteDebug("[Test]", "I-TST000001", "reader %d", r);
            }
        });
    }
    (void)DAVApp::allApps(); // the table exists from here on
    auto options = DAVOptions::initWithRazozaAppID("1:1:ios:a", "s");
    for (int i = 0; i < 50; ++i) {
        DAVApp::configureWithOptions(options);
        DAVApp::configureWithName("named" + std::to_string(i), options);
        options->setAPIKey("key" + std::to_string(i)); // reaches the apps' copies through the shared store
        DAVApp::defaultApp()->deleteApp(nullptr);
    }
    done = true;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(DAVApp::allApps().size(), 50u);
    EXPECT_EQ(DAVApp::appNamed("named7")->options()->APIKey(), "key49");
}

} // namespace
