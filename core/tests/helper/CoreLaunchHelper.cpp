// One launch of the app as far as the core logger sees it, for tests of what persists between launches:
// sets the core logger up with the given launch arguments on the given app home, then prints what it found.
//
// core-launch-helper HOME [LAUNCH ARGUMENT ...]

#include "core/DAVLogger.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/foundation/UserDefaults.hpp"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: core-launch-helper HOME [ARGUMENT ...]\n");
        return 2;
    }
    plat::Backend::select(plat::BackendKind::virtualTime);
    plat::AppHome::configure(argv[1]);
    if (auto created = plat::AppHome::createFolders(); !created) {
        std::fprintf(stderr, "core-launch-helper: %s\n", created.error().description().c_str());
        return 1;
    }
    std::vector<std::string> arguments{argv[0]};
    arguments.insert(arguments.end(), argv + 2, argv + argc);
    plat::sim::Process::setArguments(arguments);

    DAVLoggerSetUpOnce();
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    std::printf("debug=%d stored=%d\n", DVULoggerIsLoggable(DVULoggerLevelDebug) ? 1 : 0,
                defaults.object("/razoza/vedudodu/debug_mode") ? 1 : 0);
    plat::Virtual::runUntilIdle();
    return defaults.synchronize() ? 0 : 1;
}
