#pragma once
// What the push client's suites share: a fresh app home on the scripted network with verbose logs, and a
// recorder for the success and failure blocks of one send.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozClient.hpp"
#include "deployment/Deployment.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/net/ScriptedTransport.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace push::test {

// Where a request of this path goes.
inline std::string apiURL(const std::string& path) {
    return std::string(deployment::kPushRestRoot) + "api/v1/" + path;
}

inline std::string header(const plat::ScriptedRequest& request, std::string_view name) {
    for (const auto& [key, value] : request.headers) {
        if (key.size() == name.size() && strncasecmp(key.c_str(), name.data(), name.size()) == 0) {
            return value;
        }
    }
    return {};
}

// What the blocks of one send saw; the blocks may run on a session's queue.
struct Outcome {
    mutable std::mutex mutex;
    int successes = 0;
    std::optional<plat::Value> reply;
    std::vector<plat::Error> failures;
    bool onMain = false;

    RIResultSuccessBlock success() {
        return [this](const std::optional<plat::Value>& value) {
            std::lock_guard lock(mutex);
            ++successes;
            reply = value;
        };
    }
    RIFailureBlock failure() {
        return [this](const plat::Error& error) {
            std::lock_guard lock(mutex);
            failures.push_back(error);
        };
    }
    int calls() const {
        std::lock_guard lock(mutex);
        return successes + static_cast<int>(failures.size());
    }
};

class ScriptedPushTest : public ::testing::Test {
protected:
    void SetUp() override {
        net = &plat::sim::Network::useScripted();
        RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, ONE_S_LOG_LEVEL::ONE_S_LL_NONE);
    }

    plat::test::TempAppHome home;
    plat::ScriptedTransport* net = nullptr;
};

} // namespace push::test
