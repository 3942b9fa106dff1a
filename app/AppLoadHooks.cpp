#include "app/AppLoadHooks.hpp"

#include "app/AppDelegate.hpp"
#include "app/MainStoryboard.hpp"
#include "crash/Vuzidorazav.hpp"

std::span<const plat::rt::LoadHook> appLoadHooks() {
    static const plat::rt::LoadHook hooks[] = {
        {"AppDelegate", [] { AppDelegate::runtimeClass(); }},
        {"Vuzidorazav", [] { Vuzidorazav::runtimeClass(); }},
        {"Main.storyboard", [] { registerMainStoryboard(); }},
    };
    return hooks;
}
