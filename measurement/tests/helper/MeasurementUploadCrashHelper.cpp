// One launch of an app that logs numbered events while the measurement client uploads them in debug mode (so
// an upload follows each event within about a second of device time). After each event it queues a block
// behind it along the event's road (operation queue, serial queue, worker queue) that prints "committed n",
// so the line appears only once that event's storage transaction committed. It prints "queued" when a
// bundle entered the upload queue and "posted" when a batch was handed to the network, so a suite can kill
// it right there. The network goes to devserver through PORTAL_APP_RESOLVE and PORTAL_APP_CA_FILE.
//
// measurement-upload-crash-helper HOME FIRST COUNT     (COUNT 0: no events, only uploads until idle)

#include "core/DAVApp.hpp"
#include "measurement/engine/DAVAnalytics.hpp"
#include "measurement/engine/DMSAnalytics.hpp"
#include "measurement/engine/DMSMeasurement.hpp"
#include "measurement/engine/DMSMonitor.hpp"
#include "measurement/engine/DMSScheduler.hpp"
#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/net/SimNetwork.hpp"
#include "testing/FixtureBundle.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::atomic<long long> uploadCrashCommitted{0};

void uploadCrashPrint(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Lets real I/O in while device time moves in small steps, so the alarms of the upload schedule fire.
void uploadCrashPass(double seconds) {
    for (double passed = 0; passed < seconds; passed += 0.25) {
        plat::Virtual::runUntil([] { return false; }, 0.01);
        plat::Virtual::advanceBy(0.25);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: measurement-upload-crash-helper HOME FIRST COUNT\n");
        return 2;
    }
    const std::string home = argv[1];
    const long long first = std::atoll(argv[2]);
    const long long count = std::atoll(argv[3]);
    plat::Backend::select(plat::BackendKind::virtualTime);
    plat::sim::Process::setArguments({"portal-app", "-DAVAnalyticsDebugEnabled"});
    plat::Dictionary info;
    info.set("CFBundleIdentifier", plat::Value("com.example.portal"));
    info.set("CFBundleShortVersionString", plat::Value("1.0"));
    info.set("CFBundleVersion", plat::Value("1.0.3"));
    plat::test::FixtureBundle bundle(home + ".bundle/Portal.app", info);
    bundle.add("RazozaService-Info.plist",
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n"
               "<key>RAZOZA_APP_ID</key><string>1:1111:ios:0123456789abcdef</string>\n"
               "<key>BUNDLE_ID</key><string>com.example.portal</string>\n"
               "<key>API_KEY</key><string>key-1</string>\n</dict></plist>\n");
    plat::DeviceConfig config;
    config.appHome = home;
    config.bundlePath = home + ".bundle/Portal.app";
    if (auto booted = plat::boot(config); !booted.ok()) {
        std::fprintf(stderr, "measurement-upload-crash-helper: the device did not boot\n");
        return 1;
    }
    DMSMonitor::setObserverForTesting([](int64_t, int64_t code, const std::optional<std::string>&, const DMSLogContexts&) {
        if (code == 23116) {
            uploadCrashPrint("queued");
        } else if (code == 23039) {
            uploadCrashPrint("posted");
        } else if (code == 34001 || code == 34002 || code == 12002) {
            uploadCrashPrint("recreated " + std::to_string(code));
        }
    });
    plat::sim::Network::setReachability(2);
    DAVAnalytics::load();
    DAVApp::configure();
    plat::Virtual::runUntilIdle();

    for (long long n = first; n < first + count; ++n) {
        DAVAnalytics::logEventWithName("numbered", {{"n", plat::Value(static_cast<int64_t>(n))}});
        plat::Virtual::runUntilIdle();
        DMSAnalytics::queueOperationWithBlock([n] {
            DMSAnalytics::dispatchAsyncOnSerialQueue([n] {
                DMSMeasurement::sharedInstance()->scheduler().scheduleOnWorkerQueueBlockID("helper", [n] {
                    uploadCrashPrint("committed " + std::to_string(n));
                    uploadCrashCommitted = n;
                });
            });
        });
        plat::Virtual::runUntil([n] { return uploadCrashCommitted.load() == n; }, 10);
        uploadCrashPass(0.5);
    }
    // Until everything stored has left (a last launch drains the store).
    for (int step = 0; step < 400; ++step) {
        uploadCrashPass(1);
        // A retry may be due only after a failure's back-off: device time jumps to the next timer.
        if (!DMSMeasurement::hasRequestsInFlight()) {
            auto pending = plat::Virtual::pendingTimers();
            if (!pending.empty()) {
                plat::Virtual::advanceTo(pending.front().deadline);
            }
        }
        bool empty = false;
        DMSMeasurement::sharedInstance()->scheduler().dispatchSyncOnWorkerQueueBlockID(
            "helper", [&] { empty = !DMSMeasurement::sharedInstance()->hasDataToUpload(); });
        if (empty && !DMSMeasurement::hasRequestsInFlight()) {
            uploadCrashPrint("drained");
            break;
        }
    }
    return 0;
}
