#include "app/AppMain.hpp"

#include "app/AppDelegate.hpp"
#include "app/AppLoadHooks.hpp"
#include "platform/uikit/UIApplicationMain.hpp"

int appMain(int argc, char** argv) {
    plat::UIApplicationMain(argc, argv, nullptr, AppDelegate::kClassName, appLoadHooks());
    return 0;
}
