#pragma once
// A screen for the UI tests that logs its appearance calls as "<title> <call>" into one list per test
// program.

#include <string>
#include <vector>

#include "platform/uikit/UIViewController.hpp"

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

} // namespace plat::test
