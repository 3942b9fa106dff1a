#pragma once
// The runtime classes of the simulated UI framework, registered once on first use (never from a static
// initialiser), with the methods the system may hook: appearance calls, setDelegate: and the badge setter.

#include "platform/runtime/Class.hpp"

namespace plat {

struct UIKitClasses {
    rt::Class* responder;
    rt::Class* view;
    rt::Class* window;
    rt::Class* viewController;
    rt::Class* navigationController;
    rt::Class* alertController;
    rt::Class* alertView;
    rt::Class* application;
    rt::Class* refreshControl;
    rt::Class* activityIndicator;
    rt::Class* scrollView;
    rt::Class* control;
    rt::Class* button;
    rt::Class* tabBarController;
    rt::Class* pageViewController;
};

const UIKitClasses& uikitClasses();

} // namespace plat
