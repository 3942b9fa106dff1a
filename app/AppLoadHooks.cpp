#include "app/AppLoadHooks.hpp"

#include "RadIrivozSDK/Source/RadIrivozAppDelegate.hpp"
#include "app/AppDelegate.hpp"
#include "app/MainStoryboard.hpp"
#include "core/DAVApp.hpp"
#include "core/DAVDiagnostics.hpp"
#include "ZazududIda/Zuvidir.hpp"
#include "crash/Vuzidorazav.hpp"
#include "instance_id/DAVInstanceID.hpp"
#include "kit_host/Zuvadu.hpp"
#include "measurement/engine/DAVAnalytics.hpp"

std::span<const plat::rt::LoadHook> appLoadHooks() {
    static const plat::rt::LoadHook hooks[] = {
        {"AppDelegate", [] { AppDelegate::runtimeClass(); }},
        // Before the other clients, which look the core's app class up by name.
        {"DAVApp", [] { DAVApp::load(); }},
        // Observes the core's configuration, which the delegate starts at launch, and reports it.
        DAVDiagnostics::loadHook(),
        // The analytics class the core starts by name while configuring the default app, and its connector.
        {"DAVAnalytics", [] { DAVAnalytics::load(); }},
        {"Vuzidorazav", [] { Vuzidorazav::runtimeClass(); }},
        // The kit host adds the event kit after the crash reporter when both classes exist.
        {"Zuvidir", [] { Zuvidir::runtimeClass(); }},
        {"Zuvadu", [] { Zuvadu::load(); }},
        // Configures itself when the core announces the default app; the measurement engine finds it by name.
        DAVInstanceID::loadHook(),
        // The push client sees the delegate's token and focus callbacks without code in the shell.
        {"UIApplication(RadIrivoz)", [] { RadIrivozAppDelegate::load(); }},
        {"Main.storyboard", [] { registerMainStoryboard(); }},
    };
    return hooks;
}
