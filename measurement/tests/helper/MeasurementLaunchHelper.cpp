// One launch of the app as far as the persisted configuration sees it, for tests of what survives a
// relaunch: reads the install's midnight offset on the given app home and prints it. The process ends
// before the suite's coalesced flush is due, so what a first launch drew reaches the disk only through the
// flush at exit.
//
// measurement-launch-helper HOME

#include "measurement/engine/DMSPersistedConfig.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/AppHome.hpp"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: measurement-launch-helper HOME\n");
        return 2;
    }
    plat::Backend::select(plat::BackendKind::virtualTime);
    plat::AppHome::configure(argv[1]);
    if (auto created = plat::AppHome::createFolders(); !created) {
        std::fprintf(stderr, "measurement-launch-helper: %s\n", created.error().description().c_str());
        return 1;
    }
    auto* config = DMSPersistedConfig::sharedInstance();
    if (!config) {
        return 1;
    }
    std::printf("midnight_offset=%.3f\n", config->midnightOffset());
    plat::Virtual::runUntilIdle();
    return 0;
}
