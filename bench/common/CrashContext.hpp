#pragma once
// The crash-time context for the crash reporter's benchmarks: a fresh app home under $TMPDIR (or /tmp) with
// its report folder, initialised on the threaded backend and waited for (five seconds at most).

#include "crash/capture/VZRContext.hpp"

#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/FileManager.hpp"

#include <cstdlib>
#include <ctime>
#include <string>

namespace bench {

// `name` names the folder; `home` receives its path. The configuration's paths stay valid for the run.
inline bool startCrashContext(const char* name, std::string* home) {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".XXXXXX";
    if (!::mkdtemp(base.data()))
        return false;
    if (home)
        *home = base;
    plat::AppHome::configure(base);
    if (!plat::AppHome::createFolders())
        return false;
    static std::string report;
    report = base + "/report";
    if (!plat::FileManager::defaultManager().createDirectory(report, true))
        return false;
    VZRContextInitData config;
    config.apiKey = "0123456789abcdef0123456789abcdef01234567";
    config.sessionId = "bench";
    config.installId = "bench";
    config.activeDirectory = report.c_str();
    config.logBufferSize = 65536;
    config.maxCustomKeys = 64;
    config.maxCustomExceptions = 16;
    if (!VZRContextInitialize(&config))
        return false;
    for (int i = 0; i < 5000 && !VZRContextIsInitialized(); ++i) {
        const timespec millisecond{0, 1000000};
        ::nanosleep(&millisecond, nullptr);
    }
    return VZRContextIsInitialized();
}

} // namespace bench
