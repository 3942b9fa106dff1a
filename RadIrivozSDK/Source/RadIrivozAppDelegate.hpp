#pragma once
// The push client's view of the application delegate without code in the app: a load hook swaps the
// application's setDelegate: and setApplicationIconBadgeNumber:, and the first delegate set gets the push
// client's implementations of the token, failure, notification and focus callbacks injected into its class.
// Each hook tells the push client first, then calls the app's own implementation when there was one.

#include "platform/runtime/Runtime.hpp"

class RadIrivozAppDelegate {
public:
    RadIrivozAppDelegate() = delete;

    // The runtime class that carries the injectable methods (no instances are made).
    static plat::rt::Class* runtimeClass();
    // The load hook of "UIApplication(RadIrivoz)": once per process, before the app's entry point.
    static void load();
    // The class the hooks went into; null before the first delegate was set.
    static plat::rt::Class* delegateClass();
};
