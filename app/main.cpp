// Entry of the `portal-app` program: boots the simulated device from the options, queues the console that
// plays the script (or standard input) as the user and the OS, and runs the app shell's entry point, whose
// main loop runs until `quit` or the end of the input.

#include "app/AppLoadHooks.hpp"
#include "app/AppMain.hpp"
#include "app/console/CommandSource.hpp"
#include "app/console/ConsoleCommand.hpp"
#include "app/console/DeviceConsole.hpp"
#include "deployment/Deployment.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/ProcessInfo.hpp"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: portal-app [--bundle DIR] [--home DIR] [--os-version X.Y[.Z]] [--script FILE] [-- ARG ...]\n"
    "       portal-app --version\n";

struct Options {
    std::string bundle = PORTAL_DEMO_BUNDLE_DIR;
    std::string home;
    std::string osVersion = "12.4";
    std::optional<std::string> script;
    bool version = false;
    // After "--": the app's own launch arguments, as the clients read them from the process.
    std::vector<std::string> launchArguments;
};

bool parseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "portal-app: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        if (arg == "--bundle") {
            if (!value(options.bundle))
                return false;
        } else if (arg == "--home") {
            if (!value(options.home))
                return false;
        } else if (arg == "--os-version") {
            if (!value(options.osVersion))
                return false;
        } else if (arg == "--script") {
            std::string path;
            if (!value(path))
                return false;
            options.script = path;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--") {
            options.launchArguments.assign(argv + i + 1, argv + argc);
            break;
        } else {
            std::fprintf(stderr, "portal-app: unknown argument %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// The whole script is checked before the device boots, so a typo on its last line costs no run.
std::unique_ptr<console::CommandSource> scriptSource(const std::string& path) {
    auto lines = console::ScriptSource::readLines(path);
    if (!lines) {
        std::fprintf(stderr, "portal-app: cannot read the script %s: %s\n", path.c_str(),
                     lines.error().localizedDescription().c_str());
        return nullptr;
    }
    for (size_t i = 0; i < lines->size(); ++i) {
        auto parsed = console::parseCommand((*lines)[i]);
        if (parsed.error) {
            std::fprintf(stderr, "portal-app: %s:%zu: %s\n", path.c_str(), i + 1, parsed.error->c_str());
            return nullptr;
        }
    }
    return std::make_unique<console::ScriptSource>(std::move(*lines));
}

} // namespace

int main(int argc, char** argv) {
    // Someone typing commands sees each print as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!parseArguments(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.version) {
        std::puts("portal-app 1.0");
        return 0;
    }
    std::unique_ptr<console::CommandSource> source;
    if (options.script) {
        source = scriptSource(*options.script);
        if (!source) {
            return 2;
        }
    }

    plat::DeviceConfig device;
    device.backend = plat::BackendKind::threaded;
    device.osVersion = options.osVersion;
    device.appHome = options.home;
    device.bundlePath = options.bundle;
    device.systemName = std::string(deployment::kDeviceSystemName);
    device.model = std::string(deployment::kDeviceModel);
    device.name = std::string(deployment::kDeviceName);
    std::vector<std::string> processArguments{argv[0]};
    processArguments.insert(processArguments.end(), options.launchArguments.begin(), options.launchArguments.end());
    plat::sim::Process::setArguments(std::move(processArguments));
    // The device runs the app's load hooks as it boots, before the entry point, as the loader would.
    if (auto booted = plat::boot(device, appLoadHooks()); !booted) {
        std::fprintf(stderr, "portal-app: %s\n", booted.error().localizedDescription().c_str());
        return 2;
    }
    if (!source) {
        source = std::make_unique<console::StreamSource>(0);
    }
    auto console = console::DeviceConsole::make(std::move(source));
    console->start();
    const int status = appMain(argc, argv);
    std::fflush(stdout);
    return console->finished() ? console->exitStatus() : status;
}
