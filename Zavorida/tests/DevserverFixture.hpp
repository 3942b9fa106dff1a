#pragma once
// A loopback devserver playing "portal.example.test" with a test CA the URL sessions trust, a fresh app home,
// and managers that are invalidated at the end of each test.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Zavorida/Source/SessionManager.hpp"
#include "devserver/Server.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/TempAppHome.hpp"

namespace Zavorida::test {

// Runs the main queue (and, under virtual time, the ready work) until `done` holds, for at most 20 real
// seconds.
inline bool waitFor(const std::function<bool()>& done) {
    if (plat::Backend::isVirtual()) {
        return plat::Virtual::runUntil(done, 20);
    }
    return plat::MainLoop::runUntil(done, 20);
}

class DevserverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(portal.start()) << portal.error();
        caPath = plat::FileManager::defaultManager().temporaryDirectory() + "/test-ca.pem";
        ASSERT_TRUE(portal.writeCa(caPath));
        plat::sim::Network::setCAFile(caPath);
        plat::sim::Network::setResolve(portal.resolveEntry("portal.example.test"));
    }

    void TearDown() override {
        for (const auto& manager : managers) {
            manager->session()->invalidateAndCancel();
        }
        if (plat::Backend::isVirtual()) {
            plat::Virtual::runUntil([] { return false; }, 0.05);
        } else {
            plat::MainLoop::runUntil([] { return false; }, 0.05);
        }
        portal.stop();
        other.stop();
    }

    std::shared_ptr<SessionManager>
    makeManager(std::shared_ptr<ServerTrustPolicyManager> policies = nullptr) {
        auto manager = SessionManager::make(plat::URLSessionConfiguration::ephemeral(),
                                            std::make_shared<SessionDelegate>(), std::move(policies));
        managers.push_back(manager);
        return manager;
    }

    plat::test::TempAppHome home;
    devserver::Server portal;
    devserver::Server other;
    std::string caPath;
    std::vector<std::shared_ptr<SessionManager>> managers;
};

} // namespace Zavorida::test
