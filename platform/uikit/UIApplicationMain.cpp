#include "platform/uikit/UIApplicationMain.hpp"

#include "platform/dispatch/MainLoop.hpp"
#include "platform/uikit/SimApp.hpp"

namespace plat {

int UIApplicationMain(int, char**, const char* principalClassName, const char* delegateClassName,
                      std::span<const rt::LoadHook> loadHooks) {
    sim::App::launch(delegateClassName ? delegateClassName : "", sim::App::launchOptions(), loadHooks,
                     principalClassName ? principalClassName : "UIApplication");
    MainLoop::run();
    return 0;
}

} // namespace plat
