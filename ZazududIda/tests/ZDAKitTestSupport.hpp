#pragma once
// Shared by the event kit's pipeline tests: a booted device on a temporary app home with a bundle that
// names the kit host's API key, the kit's console in debug mode, a devserver whose events service the
// device reaches over HTTPS (its CA trusted through the extra CA file), and readers for what the kit leaves
// on disk.

#include "ZazududIda/ZDAFileUtils.hpp"
#include "ZazududIda/ZDALogger.hpp"

#include "devserver/EventRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zda_test {

// Boots the device; call before anything makes the kit host's shared object. `debug` turns on the kit
// host's debug flag (which also leaves server trust to the default handling instead of pinning).
// Without `kitHostEntry` the Info.plist has no "Zuvadu" entry, so the core's notification puts the kit host
// in Vedudodu mode.
inline void bootKitDevice(const plat::test::TempAppHome& home, bool debug, bool kitHostEntry = true) {
    plat::sim::Process::setArguments(debug ? std::vector<std::string>{"portal-app", "-DAVDebugEnabled"}
                                           : std::vector<std::string>{"portal-app"});
    plat::Dictionary info{{"CFBundleIdentifier", plat::Value("com.example.portal")},
                          {"CFBundleVersion", plat::Value("42")},
                          {"CFBundleShortVersionString", plat::Value("1.2")}};
    if (kitHostEntry) {
        info.set("Zuvadu", plat::Value(plat::Dictionary{{"APIKey", plat::Value("demo-key")}}));
    }
    plat::test::FixtureBundle(home.root() + "/App.app", info);
    plat::DeviceConfig config;
    config.appHome = home.home();
    config.bundlePath = home.root() + "/App.app";
    ASSERT_TRUE(plat::boot(config).ok());
    ZDALogger::sharedLogger().setDebugMode(true);
}

// The files of a folder by name, sorted.
inline std::vector<std::string> kitFileNames(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& url : ZDAFileUtils::allFilesInDirectory(plat::URL::file(directory, true))) {
        names.push_back(url.lastPathComponent());
    }
    return names;
}

inline std::vector<plat::URL> kitFilesWithExtension(const std::string& directory, const char* extension) {
    const auto found = ZDAFileUtils::filesWithExtension(extension, plat::URL::file(directory, true));
    return {found.begin(), found.end()};
}

inline std::string kitReadFile(const std::string& path) {
    auto data = plat::FileManager::defaultManager().contentsAtPath(path);
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// A package read as the events service reads an upload.
inline devserver::ReceivedEventUpload kitReadPackage(const plat::URL& package) {
    devserver::RecordedRequest request;
    request.headers = {{"content-type", "multipart/form-data; boundary=" + ZDAFileUtils::baseName(package)}};
    request.body = kitReadFile(package.path());
    return devserver::EventService::decode(request);
}

inline std::vector<std::string> recordNames(const std::vector<devserver::EventRecord>& records) {
    std::vector<std::string> names;
    for (const auto& record : records) {
        names.push_back(record.name);
    }
    return names;
}

inline std::vector<std::string> logRecordNames(const std::string& path) {
    return recordNames(devserver::EventService::splitLog(kitReadFile(path)));
}

// The devserver with its events service, reached by the device for events.example.test.
class KitEventServer {
public:
    explicit KitEventServer(const plat::test::TempAppHome& home) {
        service = devserver::installEventRoutes(server);
        started = server.start({});
        if (!started) {
            return;
        }
        const std::string ca = home.root() + "/devserver-ca.pem";
        started = server.writeCa(ca);
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kEventsHost));
    }
    ~KitEventServer() { server.stop(); }

    std::size_t uploads() const { return service->received().size(); }

    devserver::Server server;
    std::shared_ptr<devserver::EventService> service;
    bool started = false;
};

// Runs the queues, letting real I/O in, and moves virtual time to the next timer when nothing arrives,
// until `done` holds or `steps` rounds passed.
inline bool runKitUntil(const std::function<bool()>& done, int steps = 40) {
    for (int step = 0; step < steps; ++step) {
        plat::Virtual::runUntilIdle();
        if (done()) {
            return true;
        }
        if (plat::Virtual::runUntil(done, 1.0)) {
            return true;
        }
        auto pending = plat::Virtual::pendingTimers();
        if (!pending.empty()) {
            plat::Virtual::advanceTo(pending.front().deadline);
        }
    }
    return done();
}

} // namespace zda_test
