#pragma once

// Every measurement benchmark runs the client as an app would: in a temporary app home, with a bundle holding
// the two property lists the client reads, started through the facade with its queues drained.

#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/AppHome.hpp"
#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

namespace bench {

inline bool writeMeasurementBenchFile(const std::string& path, const std::string& text) {
    return plat::writeData(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()))
        .ok();
}

// `name` becomes part of the temporary folder's name; `infoEntries` goes into the bundle's Info.plist after its
// identifier. The temporary folder, or "" when it could not be made.
inline std::string startMeasurementBenchApp(const std::string& name, const std::string& infoEntries = "") {
    plat::Backend::select(plat::BackendKind::threaded);
    std::string folder = "/tmp/bench-measurement-" + name + "-XXXXXX";
    if (!::mkdtemp(folder.data())) {
        return "";
    }
    plat::AppHome::configure(folder + "/home");
    (void)plat::AppHome::createFolders();
    const std::string bundle = folder + "/Bench.app";
    (void)plat::FileManager::defaultManager().createDirectory(bundle, true);
    writeMeasurementBenchFile(bundle + "/Info.plist",
                              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                              "<string>bench.measurement</string>" +
                                  infoEntries + "</dict></plist>");
    writeMeasurementBenchFile(bundle + "/RazozaService-Info.plist",
                              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>RAZOZA_APP_ID</key>"
                              "<string>1:1111:ios:0123456789abcdef</string></dict></plist>");
    plat::Bundle::setMain(bundle);
    DAVAnalytics::load();
    DMSAnalytics::startWithAppID("1:1111:ios:0123456789abcdef", "fa", {});
    DMSAnalytics::operationQueue()->waitUntilAllOperationsAreFinished();
    DMSAnalytics::serialQueue()->sync([] {});
    return folder;
}

} // namespace bench
