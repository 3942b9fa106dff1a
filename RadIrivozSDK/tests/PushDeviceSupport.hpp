#pragma once
// What the push client's device-level suites share: a device booted at an OS version with a fixture bundle
// and the push client's load hook, an application delegate of the test's own that counts its calls, the
// scripted push service, and readers for the sent requests and the log.

#include "RadIrivozSDK/Source/RadIrivoz.hpp"
#include "RadIrivozSDK/Source/RadIrivozAppDelegate.hpp"
#include "RadIrivozSDK/tests/PushTestSupport.hpp"
#include "RadIrivozSDK/tests/TestAppId.hpp"
#include "platform/device/Boot.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/runtime/LoadHooks.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIResponder.hpp"
#include "platform/usernotifications/SimNotifications.hpp"
#include "testing/FixtureBundle.hpp"

#include <map>
#include <string>
#include <vector>

namespace push::test {

inline const plat::rt::LoadHook kPushLoadHooks[] = {
    {"UIApplication(RadIrivoz)", [] { RadIrivozAppDelegate::load(); }},
};

// Counts the calls of the selectors the test gives it implementations for.
struct DelegateCalls {
    std::map<std::string, int> count;
};

inline DelegateCalls& delegateCalls() {
    static DelegateCalls calls;
    return calls;
}

// A delegate class conforming to UIApplicationDelegate, below UIResponder, with the given lifecycle-style
// methods ((app) -> void) that count their calls.
inline plat::rt::Class* makeDelegateClass(const std::string& name, std::vector<std::string> lifecycle,
                                          plat::rt::Class* superclass = nullptr,
                                          std::vector<std::string> protocols = {"UIApplicationDelegate"}) {
    plat::rt::Class* cls = plat::rt::registerClass(name, superclass ? superclass : plat::UIResponder::runtimeClass(),
                                                   std::move(protocols));
    for (const std::string& selector : lifecycle) {
        const std::string key = name + " " + selector;
        plat::rt::addMethod(cls, plat::rt::Sel(selector),
                            [key](plat::rt::Object&, plat::rt::ObjectPtr) { ++delegateCalls().count[key]; });
    }
    return cls;
}

class PushDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        net = &plat::sim::Network::useScripted();
        RadIrivoz::setLogLevel(ONE_S_LOG_LEVEL::ONE_S_LL_VERBOSE, ONE_S_LOG_LEVEL::ONE_S_LL_NONE);
    }

    // Boots the device with a bundle of these Info.plist entries (beside the identifier and version) and
    // files, running the push client's load hook.
    void boot(const std::string& os, plat::Dictionary info = {},
              std::vector<std::pair<std::string, std::string>> files = {},
              std::optional<std::string> timeZone = std::nullopt) {
        info.set("CFBundleIdentifier", plat::Value("test.example.portal"));
        info.set("CFBundleVersion", plat::Value("7"));
        plat::test::FixtureBundle bundle(home.home() + "/../Portal.app", info);
        for (const auto& [path, contents] : files) {
            bundle.add(path, contents);
        }
        plat::DeviceConfig config;
        config.appHome = home.home();
        config.osVersion = os;
        config.bundlePath = bundle.path();
        config.timeZone = std::move(timeZone);
        ASSERT_TRUE(plat::boot(config, kPushLoadHooks).ok());
    }

    // The app's delegate, set as the device's launch would.
    plat::rt::ObjectPtr setDelegate(plat::rt::Class* cls) {
        delegate = plat::rt::createInstance(cls);
        plat::UIApplication::sharedApplication()->setDelegate(delegate);
        return delegate;
    }

    static void start(plat::Dictionary settings = {{kOSSettingsKeyAutoPrompt, plat::Value(false)}}) {
        RadIrivoz::initWithLaunchOptions(plat::Value(), std::string(radirivoz_test::kAppId), nullptr, nullptr,
                                         settings);
    }

    std::vector<plat::ScriptedRequest> sent(const std::string& method, const std::string& path) const {
        std::vector<plat::ScriptedRequest> out;
        for (const auto& request : net->requests()) {
            if (request.method == method && request.url == apiURL(path)) {
                out.push_back(request);
            }
        }
        return out;
    }
    // Every request but the parameters one, as "METHOD path".
    std::vector<std::string> playerRequests() const {
        std::vector<std::string> out;
        for (const auto& request : net->requests()) {
            if (request.url.find("/ios_params.js") == std::string::npos) {
                out.push_back(request.method + " " + request.url.substr(apiURL("").size()));
            }
        }
        return out;
    }
    static plat::Dictionary body(const plat::ScriptedRequest& request) {
        auto parsed = plat::JSONSerialization::jsonObject(std::span<const uint8_t>(request.body));
        const plat::Dictionary* dict = parsed.ok() ? parsed->ifDictionary() : nullptr;
        return dict ? *dict : plat::Dictionary{};
    }
    static plat::UserDefaults& defaults() { return plat::UserDefaults::standardUserDefaults(); }

    plat::test::TempAppHome home;
    plat::ScriptedTransport* net = nullptr;
    plat::sim::ConsoleCapture console;
    plat::rt::ObjectPtr delegate;
};

} // namespace push::test
