#pragma once
// A crash-time context over a fresh app home for one test: the active report folder, the fixed
// configuration the crash probe also uses, and the bytes of "sdk.log".

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/tests/FixedConfig.hpp"

#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/FileManager.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <string>

namespace crashtest {

inline std::string readFile(const std::string& path) {
    auto bytes = plat::readData(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

inline bool exists(const std::string& path) {
    return plat::FileManager::defaultManager().fileExists(path);
}

class CrashContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = home.root() + "/report";
        ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(directory, true));
    }

    // Initialises with `config` in the report folder; with `settle`, runs the work left (the protection).
    bool initialize(VZRContextInitData config = fixedConfig(), bool settle = true) {
        config.activeDirectory = directory.c_str();
        const bool ok = VZRContextInitialize(&config);
        if (settle)
            plat::Virtual::runUntilIdle();
        return ok;
    }

    std::string path(const char* name) const { return directory + "/" + name; }
    std::string sdkLog() const { return readFile(path("sdk.log")); }

    plat::test::TempAppHome home;
    std::string directory;
};

} // namespace crashtest
