#include "platform/uikit/MainThread.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/Console.hpp"

namespace plat {

void requireMainThread(const char* api) {
    if (Thread::isMainThread()) {
        return;
    }
    const std::string message =
        std::string("Main Thread Checker: UI API called on a background thread: ") + api;
    if (Backend::isVirtual()) {
        std::fprintf(stderr, "%s\n", message.c_str());
        std::abort();
    }
    printDevice(message);
}

} // namespace plat
