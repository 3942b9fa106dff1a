#pragma once
// A fresh simulated device for one instance-ID test: app home with its keychain folder, a main bundle with a
// bundle identifier, debug logging on and captured, and helpers to read what was logged.

#include "core/DAVLogger.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace iid_test {

inline constexpr const char* kBundleID = "com.example.portal";

class InstanceIDDeviceTest : public ::testing::Test {
protected:
    InstanceIDDeviceTest() {
        plat::Dictionary info{{"CFBundleIdentifier", plat::Value(kBundleID)},
                              {"CFBundleShortVersionString", plat::Value("4.2")}};
        bundle.emplace(home.root() + "/Portal.app", info);
        bundle->makeMain();
        DAVLoggerChangeLevel(7);
    }

    // Lines logged since the last call.
    std::vector<std::string> logged() {
        plat::Virtual::runUntilIdle();
        auto lines = log.texts();
        plat::sim::SystemLog::clearCaptured();
        return lines;
    }
    // Whether a line with the message code "I-IID<code>" was logged since the last call of logged().
    bool loggedCode(long code) {
        const std::string needle = plat::format("[I-IID%06ld]", code);
        for (const auto& line : logged()) {
            if (line.find(needle) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture log;
    std::optional<plat::test::FixtureBundle> bundle;
};

} // namespace iid_test
