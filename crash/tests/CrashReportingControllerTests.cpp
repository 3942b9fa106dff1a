// The crash reporting controller at start-up and with the reports of earlier runs: what start returns and
// prints, what it does to the report store, how each earlier report travels (delegate, prompt, upload or
// removal), the Mach exception mask, and the internal keys of the current report.

#include "crash/VZRCrashReportingController.hpp"

#include "crash/capture/VZRContext.hpp"
#include "crash/capture/VZRUserLogging.hpp"
#include "crash/capture/VZRUtilities.hpp"

#include "kit_host/Zuvadu.hpp"

#include "devserver/CrashReportRoutes.hpp"
#include "devserver/Server.hpp"
#include "platform/device/Boot.hpp"
#include "platform/device/SimDevice.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/Faults.hpp"
#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/net/SimNetwork.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIKitTypes.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <set>
#include <signal.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The kit host's answers as a test sets them, and a record of what the controller told it.
class ControllerTestDelegate : public VZRCrashReportingControllerDelegate {
public:
    std::mutex mutex;
    std::vector<std::string> calls;
    bool mustInform = false;
    std::set<int> deliveredSignals;
    std::optional<plat::Dictionary> settingsDictionary;
    // None: the completion is called with YES at once; else kept for the test to call.
    std::optional<bool> answer = true;
    std::vector<std::function<void(bool)>> completions;
    int settingsAsked = 0;

    bool shouldInstallCrashCallback() override { return false; }
    void detectedCrash() override {}
    bool reportingControllerCanUseBackgroundSessions(VZRCrashReportingController&) override { return true; }
    bool reportingControllerMustInformDelegateOfReports(VZRCrashReportingController&) override { return mustInform; }
    void reportingControllerDidDetectReportForLastExecution(VZRCrashReportingController&,
                                                            const std::shared_ptr<VZRInternalReport>& report,
                                                            std::function<void(bool)> completion) override {
        record("report " + report->identifier());
        if (answer)
            completion(*answer);
        else {
            std::lock_guard lock(mutex);
            completions.push_back(std::move(completion));
        }
    }
    void reportingControllerInternalDidDetectReportForLastExecution(
        VZRCrashReportingController&, const std::shared_ptr<VZRInternalReport>& report) override {
        record("internal " + report->identifier());
    }
    bool reportingControllerEnsureDeliveryOfUnixSignal(VZRCrashReportingController&, int signal) override {
        return deliveredSignals.count(signal) > 0;
    }
    std::optional<std::string> APIKeyForCrashReportingController(VZRCrashReportingController&) override {
        return "0123456789abcdef0123456789abcdef01234567";
    }
    std::string installIDForCrashReportingController(VZRCrashReportingController&) override { return "install-1"; }
    bool isFirstInstallForCrashReportingController(VZRCrashReportingController&) override { return false; }
    VZRSettings settingsForCrashReportingController(VZRCrashReportingController&) override {
        std::lock_guard lock(mutex);
        ++settingsAsked;
        return VZRSettings(settingsDictionary);
    }
    void record(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
    }
    std::vector<std::string> recorded() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

plat::Dictionary controllerFeatures(plat::Dictionary features) {
    return plat::Dictionary{{"features", plat::Value(std::move(features))}};
}

void controllerWriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

std::vector<std::string> controllerNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class CrashReportingControllerTest : public ::testing::Test {
public: // the case tables arrange through the fixture
    void SetUp() override {
        plat::sim::Process::setArguments({"portal-app", "-DAVDebugEnabled"});
        plat::DeviceConfig config;
        config.appHome = home.home();
        config.bundlePath = bundle.path();
        config.debuggerAttached = debugger;
        ASSERT_TRUE(plat::boot(config).ok());
        if (!plat::rt::getClass("ControllerTestAppDelegate"))
            plat::rt::registerClass("ControllerTestAppDelegate");
        app = plat::sim::App::launch("ControllerTestAppDelegate");
        ASSERT_TRUE(app);
        plat::Virtual::runUntilIdle();
        files = std::make_shared<VZRFileManager>();
        delegate = std::make_shared<ControllerTestDelegate>();
        executionId = Zuvadu::sharedSDK().executionIdentifier();
    }

    std::shared_ptr<VZRCrashReportingController> makeController() {
        controller = VZRCrashReportingController::initWithFileManager(files, delegate);
        return controller;
    }
    bool start() {
        makeController();
        return controller->startWithProfilingMark(VZRProfilingStart(), std::nullopt);
    }
    // An earlier run's report: a crash record, so it needs submitting (metadata alone does not).
    std::string earlierReport(const std::string& id, bool crash = true) {
        const std::string dir = files->activePath() + "/" + id;
        controllerWriteFile(dir + "/metadata.vzrrecord",
                            "{\"identity\":{\"session_id\":\"" + id + "\",\"started_at\":1700000000}}\n");
        if (crash)
            controllerWriteFile(dir + "/signal.vzrrecord",
                                "{\"signal\":{\"number\":11,\"code\":1,\"address\":0,\"time\":1700000100}}\n");
        return dir;
    }
    void drain() {
        for (int i = 0; i < 5; ++i) {
            plat::Virtual::runUntilIdle();
            controller->operationQueue()->waitUntilAllOperationsAreFinished();
        }
        plat::Virtual::runUntilIdle();
    }
    bool exists(const std::string& path) const { return fs::exists(path); }
    bool submitted(const std::string& id) {
        // Submitted reports leave "active" for a package in "prepared" (whose upload fails here: no server).
        return !exists(files->activePath() + "/" + id) && !controllerNames(files->preparedPath()).empty();
    }

    bool debugger = true; // no handlers in the test process
    plat::test::TempAppHome home;
    plat::test::FixtureBundle bundle{home.root() + "/App.app",
                                     plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example.portal")}}};
    std::shared_ptr<VZRFileManager> files;
    std::shared_ptr<ControllerTestDelegate> delegate;
    std::shared_ptr<VZRCrashReportingController> controller;
    std::shared_ptr<plat::UIApplication> app;
    std::string executionId;
    plat::sim::ConsoleCapture console;
};

TEST_F(CrashReportingControllerTest, StartUpOutcomes) {
    // Each case on a fresh store; the first succeeds, the others stop where the condition says.
    struct Case {
        const char* name;
        std::function<void(CrashReportingControllerTest&)> arrange;
        bool started;
        std::vector<std::string> lines;
        bool currentReport;
    };
    const std::vector<Case> cases = {
        {"healthy", [](auto&) {}, true, {}, true},
        {"reporting off",
         [](auto& t) { t.delegate->settingsDictionary = controllerFeatures({{"collect_reports", plat::Value(false)}}); },
         false, {"[Vuzidorazav:Crash] Reporting is disabled"}, false},
        {"store cannot be made", [](auto&) { plat::sim::Faults::fail("file.mkdir", "v3/active", EACCES); }, false, {},
         false},
        {"current report cannot be made",
         [](auto& t) {
             ASSERT_TRUE(t.files->prepareForNewLaunch());
             controllerWriteFile(t.files->activePath() + "/" + t.executionId, "in the way");
         },
         false, {"[Vuzidorazav:Crash] Unable to setup a new report", "[Vuzidorazav:Crash] Unable to start crash reporter"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(files->rootPath());
        plat::sim::Faults::reset();
        delegate->settingsDictionary.reset();
        const std::string leftover = files->processingPath() + "/old/signal.vzrrecord";
        c.arrange(*this);
        const size_t before = console.nslog().size();
        EXPECT_EQ(start(), c.started);
        drain();
        const std::string printed = console.nslog().substr(before);
        for (const auto& line : c.lines)
            EXPECT_NE(printed.find(line), std::string::npos) << printed;
        EXPECT_EQ(fs::is_directory(files->activePath() + "/" + executionId), c.currentReport);
        if (c.started) {
            EXPECT_EQ(controllerNames(files->structurePath()),
                      (std::vector<std::string>{"active", "prepared", "processing"}));
            EXPECT_TRUE(exists(files->activePath() + "/" + executionId + "/metadata.vzrrecord"));
        }
        controller.reset();
    }
}

TEST_F(CrashReportingControllerTest, ReportingOffEmptiesEveryStage) {
    ASSERT_TRUE(files->prepareForNewLaunch());
    earlierReport("old");
    controllerWriteFile(files->preparedPath() + "/p.multipartmime", "x");
    delegate->settingsDictionary = controllerFeatures({{"collect_reports", plat::Value(false)}});
    EXPECT_FALSE(start());
    EXPECT_TRUE(controllerNames(files->activePath()).empty());
    EXPECT_TRUE(controllerNames(files->preparedPath()).empty());
}

TEST_F(CrashReportingControllerTest, AnEmptyBundleIdentifierRefusesToStart) {
    plat::test::FixtureBundle bare{home.root() + "/Bare.app", plat::Dictionary{}};
    bare.makeMain();
    EXPECT_FALSE(start());
    EXPECT_NE(console.nslog().find("[Vuzidorazav] An application must have a valid bundle idenifier in its Info.plist"),
              std::string::npos);
}

TEST_F(CrashReportingControllerTest, LaunchMarkerMarksALaunchThatEndedBeforeTheMainQueueRan) {
    ASSERT_TRUE(start());
    EXPECT_TRUE(controller->launchMarkerExists());
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(controller->launchMarkerExists());
    // A marker left behind makes the next start see a failed launch (and say so in debug mode).
    ASSERT_TRUE(controller->createLaunchMarker());
    EXPECT_TRUE(controller->checkForAndCreateLaunchMarker());
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash] Last launch failed"), std::string::npos);
}

TEST_F(CrashReportingControllerTest, MachExceptionMaskLeavesOutTheSignalsTheDelegateWants) {
    makeController();
    const std::vector<std::pair<std::set<int>, uint32_t>> cases = {
        {{}, 0},
        {{SIGSEGV}, 0x2},
        {{SIGABRT, SIGSYS}, 0x400},
        {{SIGILL, SIGTRAP, SIGFPE, SIGBUS}, 0x4 | 0x40 | 0x8 | 0x2},
        {{SIGINT}, 0},
    };
    for (const auto& [signals, mask] : cases) {
        delegate->deliveredSignals = signals;
        EXPECT_EQ(controller->machExceptionMask(), mask);
    }
}

TEST_F(CrashReportingControllerTest, ReportsOfEarlierRuns) {
    struct Case {
        const char* name;
        std::function<void(CrashReportingControllerTest&)> arrange;
        bool crash;
        std::vector<std::string> calls;
        bool removed;   // the directory is gone without an upload
        bool submitted; // the report was packaged for upload
    };
    const std::vector<Case> cases = {
        {"metadata only", [](auto&) {}, false, {}, true, false},
        {"delegate submits", [](auto&) {}, true, {"internal A", "report A"}, false, true},
        {"delegate declines", [](auto& t) { t.delegate->answer = false; }, true, {"internal A", "report A"}, true, false},
        {"failed launch, urgent",
         [](auto& t) {
             ASSERT_TRUE(t.files->prepareForNewLaunch());
             controllerWriteFile(t.files->structurePath() + "/launchmarker", "");
         },
         true, {"internal A"}, false, true},
        {"failed launch, delegate must be told",
         [](auto& t) {
             ASSERT_TRUE(t.files->prepareForNewLaunch());
             controllerWriteFile(t.files->structurePath() + "/launchmarker", "");
             t.delegate->mustInform = true;
         },
         true, {"internal A", "report A"}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(files->rootPath());
        delegate = std::make_shared<ControllerTestDelegate>();
        c.arrange(*this);
        const std::string dir = earlierReport("A", c.crash);
        EXPECT_TRUE(start());
        drain();
        EXPECT_EQ(delegate->recorded(), c.calls);
        EXPECT_EQ(!exists(dir) && controllerNames(files->preparedPath()).empty(), c.removed);
        EXPECT_EQ(submitted("A"), c.submitted);
        controller.reset();
    }
}

TEST_F(CrashReportingControllerTest, AnUrgentReportIsPackagedBeforeStartReturns) {
    ASSERT_TRUE(files->prepareForNewLaunch());
    controllerWriteFile(files->structurePath() + "/launchmarker", "");
    earlierReport("A");
    ASSERT_TRUE(start());
    // Nothing run on any queue yet.
    EXPECT_FALSE(exists(files->activePath() + "/A"));
    EXPECT_EQ(controllerNames(files->preparedPath()).size(), 1u);
}

TEST_F(CrashReportingControllerTest, ACompletionCalledLateOrTwiceIsActedOnOnce) {
    delegate->answer.reset();
    earlierReport("A");
    ASSERT_TRUE(start());
    drain();
    // Never called: the report waits in "active" for a later launch.
    EXPECT_TRUE(exists(files->activePath() + "/A"));
    ASSERT_EQ(delegate->completions.size(), 1u);
    delegate->completions[0](false);
    delegate->completions[0](true);
    drain();
    EXPECT_FALSE(exists(files->activePath() + "/A"));
    EXPECT_TRUE(controllerNames(files->preparedPath()).empty());
}

class CrashReportingPromptTest : public CrashReportingControllerTest {
protected:
    void SetUp() override {
        CrashReportingControllerTest::SetUp();
        delegate->settingsDictionary = plat::Dictionary{
            {"features", plat::Value(plat::Dictionary{{"prompt_enabled", plat::Value(true)}})},
            {"prompt", plat::Value(plat::Dictionary{{"title", plat::Value("T")}, {"message", plat::Value("M")}})}};
    }
    std::shared_ptr<plat::UIAlertView> alert() {
        return std::dynamic_pointer_cast<plat::UIAlertView>(controller->crashReportSubmissionAlert());
    }
};

TEST_F(CrashReportingPromptTest, TheUserDecidesThroughTheAlert) {
    earlierReport("A");
    earlierReport("B");
    ASSERT_TRUE(start());
    drain();
    // The prompt turns urgent handling off, so the delegate is asked, then the user.
    EXPECT_EQ(delegate->recorded(), (std::vector<std::string>{"internal A", "report A", "internal B", "report B"}));
    auto first = alert();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->title(), "T");
    EXPECT_EQ(first->message(), "M");
    ASSERT_EQ(first->numberOfButtons(), 3);
    EXPECT_EQ(first->buttonTitleAtIndex(0), "Don't Send");
    EXPECT_EQ(first->buttonTitleAtIndex(1), "Send");
    EXPECT_EQ(first->buttonTitleAtIndex(2), "Always Send");
    // "Don't Send" on the first alert removes its report only.
    ASSERT_TRUE(plat::sim::App::tapAlertButton(0));
    drain();
    const int remaining = exists(files->activePath() + "/A") + exists(files->activePath() + "/B");
    EXPECT_EQ(remaining, 1);
    EXPECT_TRUE(controllerNames(files->preparedPath()).empty());
    // "Always Send" on the second submits it and stands for the rest of the process.
    auto second = alert();
    ASSERT_TRUE(second);
    ASSERT_NE(second, first);
    ASSERT_TRUE(plat::sim::App::tapAlertButton(2));
    drain();
    EXPECT_EQ(controller->promptChoice(), VZRCrashReportingController::kPromptAlwaysSend);
    EXPECT_EQ(controllerNames(files->preparedPath()).size(), 1u);
    // A later report of this launch is submitted without a prompt.
    const std::string later = earlierReport("C");
    controller->processExistingActiveReportPath(later, false);
    drain();
    EXPECT_FALSE(exists(later));
    EXPECT_EQ(controllerNames(files->preparedPath()).size(), 2u);
}

TEST_F(CrashReportingControllerTest, StateChangesBecomeInternalKeys) {
    ASSERT_TRUE(start());
    drain();
    const VZRKVStoreDescriptor* store = VZRUserLoggingInternalStore();
    ASSERT_NE(store, nullptr);
    auto keys = VZRUserLoggingGetCompactedKVEntries(store, true);
    ASSERT_TRUE(keys.find(kVZRInBackgroundKey));
    EXPECT_EQ(keys.find(kVZRInBackgroundKey)->description(), "0");
    EXPECT_EQ(keys.find(kVZRDeviceOrientationKey)->description(), "1");
    EXPECT_EQ(keys.find(kVZRUIOrientationKey)->description(), "1");
    for (const char* key : {kVZRKitStartTimeKey, kVZRFirstRunLoopTimeKey}) {
        ASSERT_TRUE(keys.find(key)) << key;
        const std::string text = keys.find(key)->description();
        size_t used = 0;
        (void)std::stod(text, &used);
        EXPECT_EQ(used, text.size()) << key << " " << text;
    }
    plat::sim::App::enterBackground();
    drain();
    EXPECT_EQ(VZRUserLoggingGetCompactedKVEntries(store, true).find(kVZRInBackgroundKey)->description(), "1");
    plat::sim::App::enterForeground();
    drain();
    EXPECT_EQ(VZRUserLoggingGetCompactedKVEntries(store, true).find(kVZRInBackgroundKey)->description(), "0");
    plat::sim::App::rotate(plat::UIInterfaceOrientation::landscapeLeft);
    drain();
    keys = VZRUserLoggingGetCompactedKVEntries(store, true);
    EXPECT_EQ(keys.find(kVZRUIOrientationKey)->description(),
              std::to_string(static_cast<int64_t>(plat::UIInterfaceOrientation::landscapeLeft)));
}

TEST_F(CrashReportingControllerTest, TheSettingsNotificationIsHandledOnce) {
    ASSERT_TRUE(start());
    const int asked = delegate->settingsAsked;
    auto& center = plat::NotificationCenter::defaultCenter();
    center.post("ZUVSettingsAvailableNotification");
    center.post("ZUVSettingsAvailableNotification");
    // Fresh settings once, not the cached ones, and never again.
    EXPECT_EQ(delegate->settingsAsked, asked + 1);
}

// The analytics client as the controller finds it by name: keeps the listeners it is given.
std::vector<std::function<void(plat::rt::ObjectPtr)>>& controllerAnalyticsListeners() {
    static std::vector<std::function<void(plat::rt::ObjectPtr)>> listeners;
    return listeners;
}

class ControllerAnalyticsValue : public plat::rt::Object {
public:
    explicit ControllerAnalyticsValue(plat::rt::Class* cls) : plat::rt::Object(cls) {}
    int64_t type = 0;
    plat::Value value;
};

class ControllerAnalyticsEvent : public plat::rt::Object {
public:
    explicit ControllerAnalyticsEvent(plat::rt::Class* cls) : plat::rt::Object(cls) {}
    plat::Dictionary parameters;
};

TEST_F(CrashReportingControllerTest, AnalyticsEventsBecomeLogLinesThroughOneListener) {
    namespace rt = plat::rt;
    rt::Class* meta = rt::metaclass(rt::registerClass("DAVAnalytics"));
    rt::replaceMethod(meta, "logInternalEventWithOrigin:name:parameters:",
                      [](rt::Object&, std::string, std::string, plat::Dictionary) {});
    rt::replaceMethod(meta, "addLogEventListener:", [](rt::Object&, std::function<void(rt::ObjectPtr)> listener) {
        controllerAnalyticsListeners().push_back(std::move(listener));
        return rt::ObjectPtr();
    });
    rt::Class* valueClass = rt::registerClass<ControllerAnalyticsValue>("ControllerAnalyticsValue");
    rt::addMethod(valueClass, "valueType", [](ControllerAnalyticsValue& v) { return v.type; });
    rt::addMethod(valueClass, "doubleValue", [](ControllerAnalyticsValue& v) { return v.value.doubleValue(); });
    rt::addMethod(valueClass, "int64Value", [](ControllerAnalyticsValue& v) { return v.value.longLongValue(); });
    rt::addMethod(valueClass, "stringValue", [](ControllerAnalyticsValue& v) { return v.value.stringValue(); });
    rt::Class* eventClass = rt::registerClass<ControllerAnalyticsEvent>("ControllerAnalyticsEvent");
    rt::addMethod(eventClass, "name", [](ControllerAnalyticsEvent&) { return plat::Value("screen_view"); });
    rt::addMethod(eventClass, "parameters", [](ControllerAnalyticsEvent& e) { return e.parameters; });
    auto value = [&](int64_t type, plat::Value v) {
        auto object = rt::make<ControllerAnalyticsValue>(valueClass);
        object->type = type;
        object->value = std::move(v);
        return plat::Value(rt::ObjectPtr(object));
    };

    delegate->settingsDictionary = controllerFeatures({{"vedudodu_vuzidorazav_enabled", plat::Value(true)}});
    ASSERT_TRUE(start());
    plat::NotificationCenter::defaultCenter().post("ZUVSettingsAvailableNotification");
    // Start-up and the settings both ask; one listener.
    ASSERT_EQ(controllerAnalyticsListeners().size(), 1u);
    EXPECT_TRUE(controller->registeredAnalyticsEventListener());

    drain(); // the context's set-up ends on the global queue
    auto event = rt::make<ControllerAnalyticsEvent>(eventClass);
    event->parameters = plat::Dictionary{{"d", value(0, plat::Value(1.5))},
                                         {"i", value(1, plat::Value(int64_t{7}))},
                                         {"s", value(2, plat::Value("x"))}};
    controllerAnalyticsListeners()[0](event);
    drain();
    std::ifstream in(files->activePath() + "/" + executionId + "/log_a.vzrrecord");
    std::stringstream text;
    text << in.rdbuf();
    auto hex = [](const std::string& plain) {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (const unsigned char c : plain) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out;
    };
    for (const char* piece : {"$A$:{", "\"name\":\"screen_view\"", "\"d\":1.5", "\"i\":7", "\"s\":\"x\""})
        EXPECT_NE(text.str().find(hex(piece)), std::string::npos) << piece;
}

// Against devserver's report service over HTTPS.
class CrashReportingUploadTest : public CrashReportingControllerTest {
protected:
    void SetUp() override {
        CrashReportingControllerTest::SetUp();
        reports = devserver::installCrashReportRoutes(server);
        ASSERT_TRUE(server.start()) << server.error();
        const std::string ca = home.root() + "/devserver-ca.pem";
        ASSERT_TRUE(server.writeCa(ca));
        plat::sim::Network::setCAFile(ca);
        plat::sim::Network::setResolve(server.resolveEntry(devserver::kCrashReportsHost));
    }
    void TearDown() override { server.stop(); }
    // Lets real I/O in and moves virtual time to the next timer when nothing arrives.
    bool waitForReports(size_t wanted) {
        for (int step = 0; step < 40; ++step) {
            if (plat::Virtual::runUntil([&] { return reports->reports().size() >= wanted; }, 1.0))
                return true;
            auto pending = plat::Virtual::pendingTimers();
            if (!pending.empty())
                plat::Virtual::advanceTo(pending.front().deadline);
        }
        return reports->reports().size() >= wanted;
    }
    devserver::Server server;
    std::shared_ptr<devserver::CrashReportService> reports;
};

TEST_F(CrashReportingUploadTest, AFailedUploadIsRetriedAfterTenMinutes) {
    ASSERT_TRUE(files->prepareForNewLaunch());
    earlierReport("A");
    reports->scriptNext(devserver::Reply::json(404, "{}"));
    ASSERT_TRUE(start());
    ASSERT_TRUE(waitForReports(1));
    // The failure reaches the controller, which waits ten minutes of (virtual) time before the next try.
    ASSERT_TRUE(plat::Virtual::runUntil(
        [&] { return console.nslog().find("report submission failed") != std::string::npos; }, 10.0));
    plat::Virtual::advanceBy(kVZRUploadRetryDelay - 1);
    plat::Virtual::runUntil([] { return false; }, 0.3);
    EXPECT_EQ(reports->reports().size(), 1u);
    plat::Virtual::advanceBy(2);
    ASSERT_TRUE(plat::Virtual::runUntil([&] { return reports->reports().size() >= 2; }, 10.0)) << console.nslog();
    EXPECT_EQ(reports->reports()[1].reportId, "A");
    ASSERT_TRUE(plat::Virtual::runUntil([&] { return controllerNames(files->preparedPath()).empty(); }, 5.0));
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash] report submission failed with error"), std::string::npos);
    EXPECT_NE(console.nslog().find("[Vuzidorazav:Crash] re-attempting report submission"), std::string::npos);
}

} // namespace
