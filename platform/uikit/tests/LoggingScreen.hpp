#pragma once
// A screen for the UI tests that logs its appearance calls as "<title> <call>" into one list per test
// program.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIViewController.hpp"
#include "platform/uikit/UIWindow.hpp"

namespace plat::test {

using Calls = std::vector<std::string>;

inline Calls& calls() {
    static Calls list;
    return list;
}

class LoggingScreen : public UIViewController {
public:
    using UIViewController::UIViewController;
    void viewDidLoad() override { calls().push_back(title() + " load"); }
    void viewWillAppear(bool) override { calls().push_back(title() + " willAppear"); }
    void viewDidAppear(bool) override { calls().push_back(title() + " didAppear"); }
    void viewWillDisappear(bool) override { calls().push_back(title() + " willDisappear"); }
    void viewDidDisappear(bool) override { calls().push_back(title() + " didDisappear"); }
};

// Hooks viewDidAppear: the way a screen reporter does: the current implementation runs, then the screen's
// title is reported. The previous implementation is back once the reporter goes.
class AppearanceReporter {
public:
    AppearanceReporter() {
        previous_ = rt::replaceMethod(
            cls(), sel(),
            [previous = rt::methodImplementation(cls(), sel()), this](rt::Object& self, bool animated) {
                previous.call(self, animated);
                reported.push_back(static_cast<UIViewController&>(self).title());
            });
    }
    ~AppearanceReporter() { rt::replaceMethod(cls(), sel(), previous_); }
    AppearanceReporter(const AppearanceReporter&) = delete;
    AppearanceReporter& operator=(const AppearanceReporter&) = delete;

    std::vector<std::string> reported;

private:
    static rt::Class* cls() { return UIViewController::runtimeClass(); }
    static rt::Sel sel() { return rt::Sel("viewDidAppear:"); }
    rt::Imp previous_;
};

// A launched app, a window not yet shown, and logging screens made through the runtime class.
class LoggingScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        calls().clear();
        sim::App::recorder().reset();
        screenClass = rt::registerClass<LoggingScreen>("LoggingScreen", UIViewController::runtimeClass());
        rt::registerClass("AppDelegate");
        app = sim::App::launch("AppDelegate");
        window = UIWindow::make();
    }
    std::shared_ptr<LoggingScreen> screen(const std::string& title) {
        auto s = rt::make<LoggingScreen>(screenClass);
        s->setTitle(title);
        return s;
    }
    rt::Class* screenClass = nullptr;
    std::shared_ptr<UIApplication> app;
    std::shared_ptr<UIWindow> window;
};

} // namespace plat::test
