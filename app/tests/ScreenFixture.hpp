#pragma once
// A device for the web-view screen's tests: an app home, a bundle with Config.json, the storyboard "Main",
// the in-memory page table with the portal's pages, a reachable network and OS 12.4. showFirstScreen()
// puts the storyboard's initial navigation controller in a key window, as launch does.

#include "app/MainStoryboard.hpp"
#include "app/Strings.hpp"
#include "app/ViewController.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIStoryboard.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/webkit/SimWeb.hpp"
#include "platform/webkit/WebRecorder.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace screen_test {

inline const std::string kLogin(Strings::Endpoint::login);
inline const std::string kBase = "https://portal.example.test";
inline const std::string kNews = "https://portal.example.test/news";
inline const std::string kHome = "https://portal.example.test/home";

inline constexpr const char* kDefaultConfig =
    R"({"base_url": "https://portal.example.test", "base_url_home_host": "portal.example.test"})";

class ScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plat::sim::Device::setOsVersion("12.4"));
        plat::sim::Network::setReachability(plat::kReachabilityFlagsReachable);
        auto& pages = plat::sim::Web::pages();
        pages.enable();
        pages.set(kLogin, plat::sim::WebPage::html("<title>Login</title><a href=\"/news\">news</a>"));
        pages.set(kBase, plat::sim::WebPage::html("<title>Portal</title>"));
        pages.set(kNews, plat::sim::WebPage::html("<title>News</title>"));
        pages.set(kHome, plat::sim::WebPage::html("<title>Home</title>"));
        registerMainStoryboard();
    }

    void TearDown() override {
        plat::Virtual::runUntilIdle();
        const auto faults = plat::sim::WebRecorder::shared().handlerFaults();
        EXPECT_TRUE(faults.empty()) << "first fault: " << faults.front();
    }

    // The bundle's Config.json; call before the first screen is made (the file is read once).
    void configure(const std::string& json = kDefaultConfig) {
        bundle_.emplace(home_.root() + "/Portal.app", plat::Dictionary{{"CFBundleIdentifier", "test.portal"},
                                                                       {"UIMainStoryboardFile", "Main"}});
        bundle_->add("Config.json", json);
        bundle_->makeMain();
    }

    static std::shared_ptr<plat::UIStoryboard> mainStoryboard() {
        return plat::UIStoryboard::storyboardWithName(std::string(Strings::Storyboard::main));
    }

    static std::shared_ptr<ViewController> newScreen() {
        return std::dynamic_pointer_cast<ViewController>(
            mainStoryboard()->instantiateViewControllerWithIdentifier(
                std::string(Strings::ViewController::identifier)));
    }

    // Shows the storyboard's initial screen in a key window and lets its first load settle.
    std::shared_ptr<ViewController> showFirstScreen() {
        if (!bundle_) {
            configure();
        }
        navigation = std::dynamic_pointer_cast<plat::UINavigationController>(
            mainStoryboard()->instantiateInitialViewController());
        EXPECT_NE(navigation, nullptr);
        show(navigation);
        auto first = std::dynamic_pointer_cast<ViewController>(navigation->viewControllers().at(0));
        EXPECT_NE(first, nullptr);
        return first;
    }

    // A screen as the window's root, without a navigation controller around it.
    std::shared_ptr<ViewController> showRootScreen() {
        if (!bundle_) {
            configure();
        }
        auto screen = newScreen();
        show(screen);
        return screen;
    }

    void show(const std::shared_ptr<plat::UIViewController>& root) {
        window = plat::UIWindow::make();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        plat::Virtual::runUntilIdle();
    }

    static std::vector<std::string> screenClasses(const plat::UINavigationController& nav) {
        std::vector<std::string> names;
        for (const auto& vc : nav.viewControllers()) {
            names.push_back(plat::rt::className(*vc));
        }
        return names;
    }

    // The last navigation the engine asked a decision for with this address.
    static std::optional<plat::sim::WebNavigationRecord> lastNavigationTo(const std::string& url) {
        const auto records = plat::sim::WebRecorder::shared().navigations();
        for (auto it = records.rbegin(); it != records.rend(); ++it) {
            if (it->url == url) {
                return *it;
            }
        }
        return std::nullopt;
    }

    static std::string pageURL(const std::shared_ptr<plat::WKWebView>& view) {
        auto url = view ? view->url() : std::nullopt;
        return url ? url->absoluteString() : "<none>";
    }

    plat::test::TempAppHome home_;
    std::optional<plat::test::FixtureBundle> bundle_;
    std::shared_ptr<plat::UIWindow> window;
    std::shared_ptr<plat::UINavigationController> navigation;
};

} // namespace screen_test
