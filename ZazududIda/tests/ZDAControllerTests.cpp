// The controller on its event queue: start-up order, recording before and after the settings, rotation by
// size, flush and crash, the compress -> package -> upload chain, the settings that turn the kit off, the
// flush timer, lifecycle notifications, sampling and forwarding.

#include "ZazududIda/ZDADidivarController.hpp"
#include "ZazududIda/tests/ZDAKitTestSupport.hpp"

#include "kit_host/VZRUserDefaults.hpp"
#include "kit_host/Zuvadu.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/runtime/SimRuntime.hpp"
#include "platform/uikit/UIKitTypes.hpp"

#include <cmath>
#include <limits>

namespace {

using plat::Dictionary;
using plat::Value;
using zda_test::kitFilesWithExtension;
using zda_test::kitReadPackage;
using zda_test::logRecordNames;
using zda_test::recordNames;

Dictionary controllerSettings(Dictionary analytics, bool collect = true) {
    return Dictionary{{"analytics", Value(std::move(analytics))},
                      {"features", Value(Dictionary{{"collect_analytics", Value(collect)}})}};
}

class ZDAControllerTest : public ::testing::Test {
protected:
    void SetUp() override { zda_test::bootKitDevice(home_, true); }

    std::shared_ptr<ZDADidivarController> start(std::optional<std::string> betaToken = std::nullopt) {
        controller_ = ZDADidivarController::initWithBetaToken(std::move(betaToken), root());
        plat::Virtual::runUntilIdle();
        return controller_;
    }
    std::string root() const { return home_.root() + "/kit"; }
    std::string events() const { return root() + "/events"; }
    std::vector<plat::URL> packages() const { return kitFilesWithExtension(events(), "multipartmime"); }
    std::vector<std::string> currentLogNames() const {
        return logRecordNames(controller_->currentLogURL()->path());
    }
    // The names in every package, in no particular order of packages.
    std::vector<std::vector<std::string>> packagedNames() const {
        std::vector<std::vector<std::string>> out;
        for (const auto& package : packages()) {
            const auto read = kitReadPackage(package);
            EXPECT_TRUE(read.decoded) << package.path();
            out.push_back(recordNames(read.records));
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    plat::test::TempAppHome home_;
    plat::sim::ConsoleCapture console_;
    std::shared_ptr<ZDADidivarController> controller_;
};

TEST_F(ZDAControllerTest, FirstInstallRecordsInstallThenLaunchAndRotatesTheInstallLog) {
    ASSERT_TRUE(Zuvadu::sharedSDK().isFirstInstall());
    start();
    EXPECT_EQ(controller_->eventQueue()->name(), "di.duduzed.UzuroDizer");
    EXPECT_EQ(controller_->eventQueue()->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(controller_->rootEventDirectory(), events());
    EXPECT_TRUE(plat::FileManager::defaultManager().fileExists(root() + "/crash_metadata"));
    EXPECT_FALSE(controller_->settings()->valid());
    EXPECT_EQ(ZDADidivarController::boundaryFromURL(plat::URL::file("/x/B-1.multipartmime")), "B-1");
    EXPECT_EQ(ZDADidivarController::boundaryFromURL(plat::URL::file("/x/B.gz")), std::nullopt);
    EXPECT_EQ(ZDADidivarController::boundaryFromURL(std::nullopt), std::nullopt);
    EXPECT_EQ(controller_->multipartMimeURLWithBoundary("B").path(), events() + "/B.multipartmime");

    // The install event asks for a flush: its log went through compression and packaging at once; the
    // upload waits for valid settings, so the package stays.
    EXPECT_EQ(packagedNames(), (std::vector<std::vector<std::string>>{{"metadata", "app_installed"}}));
    EXPECT_EQ(currentLogNames(), (std::vector<std::string>{"metadata", "app_launched"}));
    EXPECT_EQ(kitFilesWithExtension(events(), "gz").size(), 0u) << "the compressed log goes once packaged";
    EXPECT_EQ(kitFilesWithExtension(events(), "log").size(), 1u) << "the rotated log goes once compressed";
}

TEST_F(ZDAControllerTest, CollectionOffEmptiesTheFolderAndDropsLaterEvents) {
    start();
    ASSERT_FALSE(zda_test::kitFileNames(events()).empty());
    controller_->initializeSettingsIfNeededWithVizezeSettings(controllerSettings({}, false));
    plat::Virtual::runUntilIdle();
    EXPECT_NE(console_.nslog().find("[Zuvidir] Zuvidir is disabled. Cleaning up."), std::string::npos);
    EXPECT_TRUE(zda_test::kitFileNames(events()).empty());
    controller_->logEvent(std::make_shared<ZDACustomEvent>(std::string("late"), std::nullopt));
    plat::Virtual::runUntilIdle();
    EXPECT_TRUE(zda_test::kitFileNames(events()).empty());
    EXPECT_FALSE(controller_->shouldLogEvent());

    // Settings are taken once: later ones change nothing.
    controller_->initializeSettingsIfNeededWithVizezeSettings(controllerSettings({}, true));
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(controller_->shouldLogEvent());
}

TEST_F(ZDAControllerTest, ALogIsSubmittedOnlyOncePastTheMaximumSize) {
    start();
    struct Case {
        std::size_t size;
        bool submit;
    };
    for (const Case& c : {Case{7999, false}, Case{8000, false}, Case{8001, true}, Case{0, false}}) {
        const std::string path = home_.root() + "/sized.log";
        const std::string bytes(c.size, 'x');
        ASSERT_TRUE(plat::FileManager::defaultManager().createFile(
            path, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
        EXPECT_EQ(controller_->shouldSubmitLogAtURL(plat::URL::file(path)), c.submit) << c.size;
    }
    EXPECT_FALSE(controller_->shouldSubmitLogAtURL(plat::URL::file(home_.root() + "/missing.log")));

    // Through events: with a maximum just under the current log, the next event rotates it.
    controller_->initializeSettingsIfNeededWithVizezeSettings(controllerSettings(
        {{"url", Value("not a url")},
         {"max_byte_size_per_file",
          Value(static_cast<int64_t>(ZDAFileUtils::fileSizeAtURL(*controller_->currentLogURL())))}}));
    plat::Virtual::runUntilIdle();
    controller_->logEvent(std::make_shared<ZDACustomEvent>(std::string("a"), std::nullopt));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(packages().size(), 1u) << "a log of exactly the maximum stays";
    controller_->logEvent(std::make_shared<ZDACustomEvent>(std::string("b"), std::nullopt));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(packagedNames(), (std::vector<std::vector<std::string>>{{"metadata", "app_installed"},
                                                                     {"metadata", "app_launched", "custom", "custom"}}))
        << "one byte over: rotated on the next event, which still lands in the rotated log";
}

TEST_F(ZDAControllerTest, FlushTimerOnlyForAPositiveInterval) {
    struct Case {
        const char* what;
        std::optional<Value> interval;
        bool timer;
    };
    const Case cases[] = {{"absent", std::nullopt, false},
                          {"zero", Value(int64_t(0)), false},
                          {"negative", Value(int64_t(-30)), false},
                          {"NaN", Value(std::nan("")), false},
                          {"thirty", Value(int64_t(30)), true}};
    for (const auto& c : cases) {
        controller_.reset();
        start();
        Dictionary analytics{{"url", Value("not a url")}, {"max_byte_size_per_file", Value(int64_t(10))}};
        if (c.interval) {
            analytics.set("flush_interval_secs", *c.interval);
        }
        controller_->initializeSettingsIfNeededWithVizezeSettings(controllerSettings(analytics));
        plat::Virtual::runUntilIdle();
        EXPECT_EQ(controller_->flushTimer() != nullptr, c.timer) << c.what;
    }
    // The last controller checks its log every 30 s: its launch log is over 10 bytes, so it is rotated
    // when the timer fires, not before.
    const auto before = packages().size();
    plat::Virtual::advanceBy(29);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(packages().size(), before);
    plat::Virtual::advanceBy(1);
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(packages().size(), before + 1);
    EXPECT_EQ(console_.nslog().find("queuing bug"), std::string::npos) << console_.nslog();
}

TEST_F(ZDAControllerTest, UploadTimeOutsFromTheSettingsOrTheirDefaults) {
    struct Case {
        const char* what;
        Value normal;
        Value lowPower;
        double expectedNormal;
        double expectedLowPower;
    };
    const Case cases[] = {
        {"given", Value(int64_t(120)), Value(60.5), 120, 60.5},
        {"negative and NaN", Value(int64_t(-5)), Value(std::nan("")), 21600, 3600},
        {"zero and infinite", Value(int64_t(0)), Value(std::numeric_limits<double>::infinity()), 21600, 3600},
    };
    for (const auto& c : cases) {
        controller_.reset();
        start();
        EXPECT_EQ(controller_->uploader()->defaultUploadTimeout(), 3600) << "until the settings arrive";
        controller_->initializeSettingsIfNeededWithVizezeSettings(
            controllerSettings({{"url", Value("not a url")},
                                {"upload_timeout_secs", c.normal},
                                {"low_power_upload_timeout_secs", c.lowPower}}));
        plat::Virtual::runUntilIdle();
        EXPECT_EQ(controller_->uploader()->defaultUploadTimeout(), c.expectedNormal) << c.what;
        EXPECT_EQ(controller_->uploader()->lowPowerUploadTimeout(), c.expectedLowPower) << c.what;
    }
}

TEST_F(ZDAControllerTest, ApplicationNotificationsBecomeTheirEvents) {
    start();
    for (const char* name :
         {plat::UIApplicationWillTerminateNotification, plat::UIApplicationDidReceiveMemoryWarningNotification,
          plat::UIApplicationDidEnterBackgroundNotification, plat::UIApplicationWillEnterForegroundNotification,
          plat::UIApplicationWillResignActiveNotification, plat::UIApplicationDidBecomeActiveNotification}) {
        plat::NotificationCenter::defaultCenter().post(name);
    }
    plat::Virtual::runUntilIdle();
    // Some of them flush, so they are spread over the packages and the current log.
    std::vector<std::string> names;
    auto add = [&names](const std::vector<std::string>& more) {
        for (const auto& name : more) {
            if (name != "metadata") {
                names.push_back(name);
            }
        }
    };
    for (const auto& package : packagedNames()) {
        add(package);
    }
    if (plat::FileManager::defaultManager().fileExists(controller_->currentLogURL()->path())) {
        add(currentLogNames());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"app_became_active", "app_became_inactive", "app_entered_background",
                                               "app_entered_foreground", "app_installed", "app_launched",
                                               "app_memory_warning", "app_terminated"}));
}

TEST_F(ZDAControllerTest, ACrashEventGetsALogOfItsOwnWithThePreviousExecutionsMetadata) {
    // What the previous execution left behind.
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(root(), true));
    ASSERT_TRUE(ZDACrashMetadata::writeSerializedDictionary(Dictionary{{"session_id", Value("previous")}},
                                                            plat::URL::file(root() + "/crash_metadata")));
    start();
    const auto launchLog = *controller_->currentLogURL();
    controller_->logCrashEvent(std::make_shared<const ZDACrashEvent>(plat::Date::fromTimeIntervalSince1970(1234.5), 0));
    plat::Virtual::runUntilIdle();
    EXPECT_NE(console_.nslog().find("[Zuvidir] Attempting to log app_crashed"), std::string::npos);

    bool found = false;
    for (const auto& package : packages()) {
        const auto read = kitReadPackage(package);
        if (recordNames(read.records) != std::vector<std::string>{"metadata", "app_crashed"}) {
            continue;
        }
        found = true;
        EXPECT_EQ(read.records[0].json, "{\"session_id\":\"previous\"}");
        EXPECT_EQ(read.records[1].time, "1234500");
        EXPECT_NE(read.records[1].json.find("\"crash_state\":\"unknown\""), std::string::npos);
    }
    EXPECT_TRUE(found) << "the crash event in a package of its own";
    EXPECT_EQ(packagedNames(), (std::vector<std::vector<std::string>>{{"metadata", "app_crashed"},
                                                                     {"metadata", "app_installed"},
                                                                     {"metadata", "app_launched"}}))
        << "the launch log was rotated first";
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(launchLog.path()));

    // Without a current log the crash event is written to it and that log rotated.
    controller_->logCrashEvent(std::make_shared<const ZDACrashEvent>(plat::Date::fromTimeIntervalSince1970(7), 0));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(packages().size(), 4u);
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(controller_->currentLogURL()->path()));
}

// The crash reporter hands the crash over right after start, while the launch event's write into the current
// log is still queued behind it: that log must still be closed first, not receive the crash event.
TEST_F(ZDAControllerTest, ACrashHandedOverAtStartDoesNotJoinTheLaunchLog) {
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(root(), true));
    ASSERT_TRUE(ZDACrashMetadata::writeSerializedDictionary(Dictionary{{"session_id", Value("previous")}},
                                                            plat::URL::file(root() + "/crash_metadata")));
    controller_ = ZDADidivarController::initWithBetaToken(std::nullopt, root());
    controller_->logCrashEvent(std::make_shared<const ZDACrashEvent>(plat::Date::fromTimeIntervalSince1970(99), 0));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(packagedNames(), (std::vector<std::vector<std::string>>{{"metadata", "app_crashed"},
                                                                     {"metadata", "app_installed"},
                                                                     {"metadata", "app_launched"}}));
    for (const auto& package : packages()) {
        const auto read = kitReadPackage(package);
        if (recordNames(read.records) == std::vector<std::string>{"metadata", "app_crashed"}) {
            EXPECT_EQ(read.records[0].json, "{\"session_id\":\"previous\"}");
        }
    }
}

// The process ends right after the terminate notification returns, so its event must be in the log by then;
// other notifications only queue their event, and the kit reports that work until it is done.
TEST_F(ZDAControllerTest, TheTerminateEventIsWrittenBeforeItsNotificationReturns) {
    start();
    EXPECT_FALSE(controller_->hasWorkInFlight());
    plat::NotificationCenter::defaultCenter().post(plat::UIApplicationDidReceiveMemoryWarningNotification);
    EXPECT_TRUE(controller_->hasWorkInFlight());
    plat::NotificationCenter::defaultCenter().post(plat::UIApplicationWillTerminateNotification);
    EXPECT_EQ(currentLogNames(), (std::vector<std::string>{"metadata", "app_launched", "app_memory_warning",
                                                          "app_terminated"}));
    plat::Virtual::runUntilIdle();
    EXPECT_FALSE(controller_->hasWorkInFlight());
}

TEST_F(ZDAControllerTest, SamplingDropsLifecycleEventsOfASampledOutInstallation) {
    // An installation ID whose hash is no multiple of 10.
    VZRUserDefaults::standardUserDefaults().setObject(Value("A"), Zuvadu::kInstallUUIDDefaultsKey);
    VZRUserDefaults::standardUserDefaults().synchronize();
    ASSERT_EQ(Zuvadu::sharedSDK().installID(), "A");
    start();
    controller_->initializeSettingsIfNeededWithVizezeSettings(
        controllerSettings({{"url", Value("not a url")}, {"sampling_rate", Value(int64_t(10))}}));
    plat::Virtual::runUntilIdle();
    plat::NotificationCenter::defaultCenter().post(plat::UIApplicationDidBecomeActiveNotification);
    controller_->logEvent(std::make_shared<ZDACustomEvent>(std::string("kept"), std::nullopt));
    plat::Virtual::runUntilIdle();
    EXPECT_EQ(currentLogNames(), (std::vector<std::string>{"metadata", "app_launched", "custom"}))
        << "settings arrived after the launch; the lifecycle event after them is dropped, the custom one kept";
    EXPECT_NE(console_.nslog().find("Application is enabled for sampling, skipping"), std::string::npos);
}

struct ForwardedEvent {
    std::string name;
};
std::vector<ForwardedEvent>& controllerForwarded() {
    static std::vector<ForwardedEvent> sent;
    return sent;
}

TEST_F(ZDAControllerTest, ForwardingFollowsItsSwitches) {
    plat::rt::Class* cls = plat::sim::Runtime::registerClass("DAVAnalytics");
    plat::rt::replaceMethod(plat::rt::metaclass(cls), plat::rt::sel("logInternalEventWithOrigin:name:parameters:"),
                            [](plat::rt::Object&, const std::string&, const std::string& name, const Dictionary&) {
                                controllerForwarded().push_back({name});
                            });
    struct Case {
        bool forward;
        bool purchases;
        std::vector<std::string> sent;
    };
    const Case cases[] = {{false, true, {}}, {true, false, {"cart"}}, {true, true, {"ecommerce_purchase", "cart"}}};
    for (const auto& c : cases) {
        controller_.reset();
        controllerForwarded().clear();
        start();
        controller_->initializeSettingsIfNeededWithVizezeSettings(controllerSettings(
            {{"url", Value("not a url")},
             {"forward_to_razoza_analytics", Value(c.forward)},
             {"include_purchase_events_in_forwarded_events", Value(c.purchases)}}));
        plat::Virtual::runUntilIdle();
        controller_->logEvent(ZDAPredefinedEvent::purchaseEventWithPrice(std::nullopt, std::nullopt, std::nullopt,
                                                                         std::nullopt, std::nullopt, std::nullopt,
                                                                         std::nullopt));
        controller_->logEvent(std::make_shared<ZDACustomEvent>(std::string("cart"), std::nullopt));
        plat::Virtual::runUntilIdle();
        std::vector<std::string> names;
        for (const auto& e : controllerForwarded()) {
            names.push_back(e.name);
        }
        EXPECT_EQ(names, c.sent) << c.forward << c.purchases;
    }
}

TEST_F(ZDAControllerTest, LeftoversOfAnEarlierExecutionAreSortedAtStart) {
    ASSERT_TRUE(plat::FileManager::defaultManager().createDirectory(events(), true));
    const std::string leftLog = events() + "/11111111-1111-1111-1111-111111111111.log";
    const std::string line = "1000\tcustom\t2\t{}\n";
    ASSERT_TRUE(plat::FileManager::defaultManager().createFile(
        leftLog, std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size())));
    ASSERT_TRUE(plat::FileManager::defaultManager().createFile(events() + "/stray.tmp", {}));
    start();
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(leftLog)) << "compressed and packaged";
    EXPECT_FALSE(plat::FileManager::defaultManager().fileExists(events() + "/stray.tmp"));
    bool found = false;
    for (const auto& package : packages()) {
        found = found || kitReadPackage(package).log == line;
    }
    EXPECT_TRUE(found);
}

} // namespace
