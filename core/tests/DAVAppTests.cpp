// Configuring the app-services core: the order of what configure does and tells, the refusals around it,
// app identifiers, deletion, the data-collection switch and the library registry.

#include "core/DAVApp.hpp"
#include "core/DAVConfiguration.hpp"
#include "core/DAVErrorObject.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/NotificationCenter.hpp"
#include "platform/foundation/SystemLog.hpp"
#include "platform/foundation/UserDefaults.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace rt = plat::rt;

namespace {

constexpr const char* kAppID = "1:123456789012:ios:0123456789abcdef";

std::string optionsFile(std::string_view appID = kAppID, std::string_view bundleID = "test.portal") {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>RAZOZA_APP_ID</key><string>)") +
           std::string(appID) + "</string>\n<key>BUNDLE_ID</key><string>" + std::string(bundleID) +
           "</string>\n<key>API_KEY</key><string>key-1</string>\n</dict></plist>\n";
}

// What one configure told, in order.
struct Event {
    std::string what;
    plat::Dictionary info;
};

class DAVAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& center = plat::NotificationCenter::defaultCenter();
        for (auto name : {DAVApp::kDiagnosticsNotification, DAVApp::kReadyToConfigureSDKNotification,
                          DAVApp::kDeleteNotification}) {
            tokens.push_back(center.addObserver(std::string(name), nullptr, nullptr, [this](const plat::Notification& n) {
                events.push_back({n.name, n.userInfo});
                if (n.name == DAVApp::kReadyToConfigureSDKNotification) {
                    EXPECT_EQ(n.object, DAVApp::classObject());
                    // Observers find the app by name while the notification runs.
                    foundByObserver = DAVApp::appNamed(n.userInfo.find("DAVAppNameKey")->stringValue()) != nullptr;
                }
            }));
        }
    }
    void TearDown() override {
        for (auto t : tokens) {
            plat::NotificationCenter::defaultCenter().removeObserver(t);
        }
    }

    void makeBundle(std::optional<std::string> options, plat::Dictionary info = {}) {
        info.set("CFBundleIdentifier", plat::Value("test.portal"));
        bundle.emplace(home.root() + "/Portal.app", info);
        if (options) {
            bundle->add("RazozaService-Info.plist", *options);
        }
        bundle->makeMain();
    }
    // A stand-in for the analytics client's class, which records each start.
    void registerAnalyticsStub() {
        rt::Class* cls = rt::registerClass("DAVAnalytics");
        rt::replaceMethod(rt::metaclass(cls), "startWithConfiguration:options:",
                          [this](rt::Object&, std::shared_ptr<DAVAnalyticsConfiguration> configuration,
                                 std::shared_ptr<DAVOptions> options) {
                              EXPECT_EQ(configuration, DAVAnalyticsConfiguration::sharedInstance());
                              startedWith.push_back(options);
                              events.push_back({"analytics started", {}});
                          });
    }
    template <class F> static std::optional<plat::Exception> raises(F&& f) {
        try {
            f();
        } catch (const plat::Exception& e) {
            return e;
        }
        return std::nullopt;
    }
    std::vector<std::string> eventNames() const {
        std::vector<std::string> names;
        for (const auto& e : events) {
            names.push_back(e.what);
        }
        return names;
    }
    std::vector<std::string> logLines() {
        plat::Virtual::runUntilIdle();
        return log.texts();
    }

    plat::test::TempAppHome home;
    plat::sim::SystemLogCapture log;
    std::optional<plat::test::FixtureBundle> bundle;
    std::vector<plat::NotificationCenter::Token> tokens;
    std::vector<Event> events;
    std::vector<std::shared_ptr<DAVOptions>> startedWith;
    bool foundByObserver = false;
};

TEST_F(DAVAppTest, ConfigureReportsStartsAnalyticsThenAnnouncesTheDefaultApp) {
    makeBundle(optionsFile());
    registerAnalyticsStub();
    ASSERT_FALSE(raises([] { DAVApp::configure(); }));

    auto app = DAVApp::defaultApp();
    ASSERT_TRUE(app);
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"DAVAppDiagnosticsNotification", "analytics started",
                                                      "DAVAppReadyToConfigureSDKNotification"}));
    EXPECT_EQ(events[0].info["ConfigType"], plat::Value(1));
    EXPECT_EQ(events[0].info["DAVApp"].asObject(), app);
    EXPECT_EQ(events[2].info, (plat::Dictionary{{"DAVAppNameKey", plat::Value("__DAVAPP_DEFAULT")},
                                                {"DAVAppIsDefaultAppKey", plat::Value(true)},
                                                {"DAVRazozaAppIDKey", plat::Value(kAppID)}}));
    EXPECT_TRUE(foundByObserver);
    ASSERT_EQ(startedWith.size(), 1u);
    EXPECT_EQ(startedWith[0]->razozaAppID(), kAppID);
    EXPECT_TRUE(startedWith[0]->isEditingLocked());
    EXPECT_TRUE(startedWith[0]->usingOptionsFromDefaultPlist());

    auto second = raises([] { DAVApp::configure(); });
    ASSERT_TRUE(second);
    EXPECT_EQ(second->name(), "com.vedudodu.core");
    EXPECT_EQ(second->reason(), "Default app has already been configured.");

    std::optional<bool> deleted;
    app->deleteApp([&](bool ok) { deleted = ok; });
    EXPECT_EQ(deleted, true);
    EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
    EXPECT_EQ(events.back().what, "DAVAppDeleteNotification");
    app->deleteApp([&](bool ok) { deleted = ok; });
    EXPECT_EQ(deleted, false);

    EXPECT_FALSE(raises([] { DAVApp::configure(); }));
    EXPECT_EQ(startedWith.size(), 2u);
    EXPECT_NE(DAVApp::defaultApp(), app);
    auto lines = logLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "5.12.0 - [Vedudodu/Core][I-COR000007] App does not exist."),
              lines.end());
}

TEST_F(DAVAppTest, WithoutTheAnalyticsClassTheDefaultAppIsConfiguredWithAWarning) {
    makeBundle(optionsFile());
    ASSERT_FALSE(raises([] { DAVApp::configure(); }));
    EXPECT_TRUE(DAVApp::isDefaultAppConfigured());
    EXPECT_EQ(logLines(), std::vector<std::string>{
                              "5.12.0 - [Vedudodu/Core][I-COR000022] Vedudodu Analytics is not available. To add it, "
                              "include Vedudodu/Core in the Podfile or add VedudoduAnalytics.framework to the Link "
                              "Build Phase"});
}

TEST_F(DAVAppTest, TheRuntimeClassAnswersOtherClientsByName) {
    DAVApp::load();
    rt::Class* cls = rt::getClass("DAVApp");
    ASSERT_TRUE(cls);
    EXPECT_FALSE(rt::msgSend<rt::ObjectPtr>(*cls, "defaultApp"));
    makeBundle(optionsFile(), {{"VedudoduDataCollectionDefaultEnabled", plat::Value(false)}});
    DAVApp::configure();
    auto app = rt::msgSend<rt::ObjectPtr>(*cls, "defaultApp");
    ASSERT_TRUE(app);
    EXPECT_FALSE(rt::msgSend<bool>(app, "isDataCollectionDefaultEnabled"));
}

TEST_F(DAVAppTest, AppIdentifiers) {
    const std::pair<const char*, bool> cases[] = {
        {"1:1234567890:ios:0a1b2c3d4e5f", true}, {"1:123:ios:ABC", false},   {"1:123:android:abc", false},
        {"1:123:ios:abc:def", false},            {"", false},                {"abc", false},
        {"2:whatever", true},                    {"1:123:ios:", false},      {":123:ios:abc", false},
        {"12:x", true},                          {"1::ios:abc", false},
    };
    for (auto [id, valid] : cases) {
        EXPECT_EQ(DAVApp::validateAppID(std::string(id)), valid) << id;
    }
    EXPECT_FALSE(DAVApp::validateAppID(std::nullopt));
}

TEST_F(DAVAppTest, AnInvalidAppIDFailsAndLeavesNoDefaultAppBehind) {
    makeBundle(optionsFile("1:123:ios:ABC"));
    auto raised = raises([] { DAVApp::configure(); });
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->reason().rfind("Configuration fails. It may be caused by an invalid RAZOZA_APP_ID", 0), 0u);
    EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
    EXPECT_TRUE(DAVApp::allApps().empty());
    // From the default plist, with collection on: the diagnostics learn why.
    ASSERT_EQ(eventNames(), std::vector<std::string>{"DAVAppDiagnosticsNotification"});
    auto error = DAVErrorObject::errorFromValue(events[0].info["Error"]);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is("com.vedudodu.core", -101));

    // Options built in code: no diagnostics, and a good ID configures the default app after all.
    events.clear();
    EXPECT_TRUE(raises([] { DAVApp::configureWithOptions(DAVOptions::initWithRazozaAppID("abc", "sender")); }));
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(raises([] { DAVApp::configureWithOptions(DAVOptions::initWithRazozaAppID(kAppID, "sender")); }));
    EXPECT_TRUE(DAVApp::isDefaultAppConfigured());
}

TEST_F(DAVAppTest, AMissingOptionsFileIsReportedAndRaisesNamingTheConsole) {
    makeBundle(std::nullopt);
    auto raised = raises([] { DAVApp::configure(); });
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->reason(), "`[DAVApp configure];` (`VedudoduApp.configure()` in Swift) could not find a valid "
                                "RazozaService-Info.plist in your project. Please download one from " +
                                    std::string(DAVApp::kDeveloperConsoleURL) + ".");
    ASSERT_EQ(eventNames(), std::vector<std::string>{"DAVAppDiagnosticsNotification"});
    EXPECT_EQ(events[0].info["ConfigType"], plat::Value(1));
    EXPECT_EQ(DAVErrorObject::errorFromValue(events[0].info["Error"])->code, -100);
    EXPECT_EQ(logLines(), std::vector<std::string>{"5.12.0 - [Vedudodu/Core][I-COR000012] Could not locate "
                                                   "configuration file: 'RazozaService-Info.plist'."});
    EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
}

TEST_F(DAVAppTest, AMissingOptionsFileWithCollectionOffInTheInfoPlistTellsNobody) {
    makeBundle(std::nullopt, {{"VedudoduDataCollectionDefaultEnabled", plat::Value(false)}});
    EXPECT_TRUE(raises([] { DAVApp::configure(); }));
    EXPECT_TRUE(events.empty());
}

TEST_F(DAVAppTest, BadOptionsFilesRaiseWithoutACrash) {
    // The top level is no dictionary, or the identifier is no string.
    for (const char* file : {"<plist version=\"1.0\"><array/></plist>",
                             "<plist version=\"1.0\"><dict><key>RAZOZA_APP_ID</key><integer>7</integer></dict></plist>",
                             "not a property list"}) {
        DAVOptions::resetDefaultOptions();
        makeBundle(std::string(file));
        EXPECT_TRUE(raises([] { DAVApp::configure(); })) << file;
        EXPECT_FALSE(DAVApp::isDefaultAppConfigured()) << file;
    }
}

TEST_F(DAVAppTest, NamesAndRefusals) {
    auto options = DAVOptions::initWithRazozaAppID(kAppID, "sender");
    EXPECT_FALSE(raises([&] { DAVApp::configureWithName("second_App-2", options); }));
    EXPECT_TRUE(DAVApp::appNamed("second_App-2"));
    EXPECT_FALSE(DAVApp::appNamed("second_App-2")->isDefaultApp());
    EXPECT_FALSE(DAVApp::isDefaultAppConfigured());
    const std::pair<std::optional<std::string>, std::string> refused[] = {
        {"second_App-2", "App named second_App-2 has already been configured."},
        {"with space", "App name should only contain Letters, Numbers, Underscores, and Dashes."},
        {"dotted.name", "App name should only contain Letters, Numbers, Underscores, and Dashes."},
        {"", "Name cannot be empty."},
        {std::nullopt, "Neither name nor options can be nil."},
    };
    for (const auto& [name, reason] : refused) {
        auto raised = raises([&] { DAVApp::configureWithName(name, options); });
        ASSERT_TRUE(raised) << reason;
        EXPECT_EQ(raised->reason(), reason);
    }
    EXPECT_EQ(raises([] { DAVApp::configureWithName("x", nullptr); })->reason(), "Neither name nor options can be nil.");
    EXPECT_EQ(raises([] { DAVApp::configureWithOptions(nullptr); })->reason(), "Options is nil. Please pass a valid options.");
    EXPECT_EQ(DAVApp::allApps().size(), 1u);
}

TEST_F(DAVAppTest, LookUpsBeforeAnyAppAreLogged) {
    EXPECT_TRUE(DAVApp::allApps().empty());
    EXPECT_FALSE(DAVApp::appNamed("none"));
    EXPECT_FALSE(DAVApp::defaultApp());
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "5.12.0 - [Vedudodu/Core][I-COR000005] No app has been configured yet.");
    EXPECT_EQ(lines[1], "5.12.0 - [Vedudodu/Core][I-COR000004] App with name none does not exist.");
    EXPECT_NE(lines[2].find("[I-COR000003] The default Vedudodu app has not yet been configured."), std::string::npos);
    EXPECT_TRUE(lines[2].ends_with("Read more: " + std::string(deployment::kCoreSetupHelpURL) + "."));
}

TEST_F(DAVAppTest, TheAppsOptionsAreLockedCopiesOverTheCallersStore) {
    makeBundle(optionsFile());
    DAVApp::configure();
    auto appOptions = DAVApp::defaultApp()->options();
    auto raised = raises([&] { appOptions->setRazozaAppID("1:1:ios:ff"); });
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->reason(), "Attempted to modify options after it's set on DAVApp. Please modify all properties "
                                "before initializing DAVApp.");
    EXPECT_EQ(DAVApp::defaultApp()->options()->razozaAppID(), kAppID);
    DAVOptions::defaultOptions()->setRazozaAppID("1:1:ios:ff");
    EXPECT_EQ(DAVApp::defaultApp()->options()->razozaAppID(), "1:1:ios:ff");
}

TEST_F(DAVAppTest, TheDataCollectionSwitchFallsBackFromUserDefaultsToInfoPlistToOn) {
    makeBundle(optionsFile(), {{"VedudoduDataCollectionDefaultEnabled", plat::Value(false)}});
    DAVApp::configure();
    auto app = DAVApp::defaultApp();
    EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    const std::string key = "/razoza/vedudodu/global_data_collection_enabled:__DAVAPP_DEFAULT";
    defaults.set(key, plat::Value("YES")); // not a number: ignored
    EXPECT_FALSE(app->isDataCollectionDefaultEnabled());

    std::vector<plat::Dictionary> told;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::string(DAVAnalyticsConfiguration::kSetEnabledNotification), nullptr, nullptr,
        [&](const plat::Notification& n) { told.push_back(n.userInfo); });
    app->setDataCollectionDefaultEnabled(true);
    plat::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_TRUE(app->isDataCollectionDefaultEnabled());
    EXPECT_EQ(defaults.object(key), plat::Value(true));
    // Collection is not set explicitly in the options, so analytics follows without persisting.
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0]["DAVAnalyticsConfigurationSetEnabledNotification"], plat::Value(true));
    EXPECT_FALSE(defaults.object(DAVAnalyticsConfiguration::kMeasurementEnabledStateKey));

    // Deleting the app forgets its switch.
    app->deleteApp(nullptr);
    EXPECT_FALSE(defaults.object(key));
}

TEST_F(DAVAppTest, SendLogsPostsTheSDKsDiagnostics) {
    auto options = DAVOptions::initWithRazozaAppID(kAppID, "sender");
    DAVApp::configureWithName("named", options);
    auto app = DAVApp::appNamed("named");
    events.clear();
    app->sendLogsWithServiceName("InstanceID", "3.3.0", plat::Error("iid", 4));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info["ConfigType"], plat::Value(2));
    EXPECT_EQ(events[0].info["SDKName"], plat::Value("InstanceID"));
    EXPECT_EQ(events[0].info["SDKVersion"], plat::Value("3.3.0"));
    EXPECT_EQ(events[0].info["DAVApp"].asObject(), app);
    EXPECT_TRUE(DAVErrorObject::errorFromValue(events[0].info["Error"])->is("iid", 4));

    app->setDataCollectionDefaultEnabled(false);
    app->sendLogsWithServiceName("InstanceID", "3.3.0", std::nullopt);
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(DAVAppTest, TheUserAgentListsTheRegisteredLibrariesSorted) {
    makeBundle(std::nullopt, {{"DTXcodeBuild", plat::Value("10E125")}, {"DTSDKBuild", plat::Value("16E226")}});
    DAVOptions::initialize();
    EXPECT_EQ(DAVApp::vedudoduUserAgent(), "apple-sdk/16E226 dav-ios/5.1.7 xcode/10E125");
    DAVApp::registerLibrary("bad name", "1.0");
    DAVApp::registerLibrary("Zeta", "1.0");
    DAVApp::registerLibrary("dav-ios", "5.2.0");
    DAVApp::registerLibrary(std::nullopt, "1.0");
    EXPECT_EQ(DAVApp::vedudoduUserAgent(), "apple-sdk/16E226 dav-ios/5.2.0 xcode/10E125 Zeta/1.0");
    EXPECT_EQ(logLines(), std::vector<std::string>{
                              "5.12.0 - [Vedudodu/Core][I-COR000027] The library name (bad name) or version number "
                              "(1.0) contain illegal characters. Only alphanumeric, dash, underscore and period "
                              "characters are allowed."});
}

TEST_F(DAVAppTest, AnalyticsConfigurationPersistsOnlyWhenAsked) {
    auto configuration = DAVAnalyticsConfiguration::sharedInstance();
    std::vector<plat::Notification> told;
    auto token = plat::NotificationCenter::defaultCenter().addObserver(
        std::nullopt, configuration.get(), nullptr, [&](const plat::Notification& n) { told.push_back(n); });
    auto& defaults = plat::UserDefaults::standardUserDefaults();
    configuration->setAnalyticsCollectionEnabled(false);
    EXPECT_EQ(defaults.object(DAVAnalyticsConfiguration::kMeasurementEnabledStateKey), plat::Value(2));
    configuration->setAnalyticsCollectionEnabled(true, true);
    EXPECT_EQ(defaults.object(DAVAnalyticsConfiguration::kMeasurementEnabledStateKey), plat::Value(1));
    configuration->setAnalyticsCollectionEnabled(false, false);
    EXPECT_EQ(defaults.object(DAVAnalyticsConfiguration::kMeasurementEnabledStateKey), plat::Value(1));
    configuration->setMinimumSessionInterval(10);
    configuration->setSessionTimeoutInterval(1800);
    configuration->postNotificationName("", plat::Value(1));
    configuration->postNotificationName("Other", std::nullopt);
    plat::NotificationCenter::defaultCenter().removeObserver(token);

    ASSERT_EQ(told.size(), 5u);
    EXPECT_EQ(told[2].userInfo["DAVAnalyticsConfigurationSetEnabledNotification"], plat::Value(false));
    EXPECT_EQ(told[3].name, "DAVAnalyticsConfigurationSetMinimumSessionIntervalNotification");
    EXPECT_EQ(told[3].userInfo["DAVAnalyticsConfigurationSetMinimumSessionIntervalNotification"], plat::Value(10.0));
    EXPECT_EQ(told[4].userInfo["DAVAnalyticsConfigurationSetSessionTimeoutIntervalNotification"], plat::Value(1800.0));
}

TEST_F(DAVAppTest, ConfigurablesAndTheUIDHook) {
    std::vector<std::string> configured;
    rt::Class* cls = rt::registerClass("TestConfigurable");
    rt::replaceMethod(rt::metaclass(cls), "configureWithApp:", [&](rt::Object&, rt::ObjectPtr app) {
        configured.push_back(std::dynamic_pointer_cast<DAVApp>(app)->name());
    });
    DAVApp::registerAsConfigurable(cls);
    DAVApp::configureWithName("one", DAVOptions::initWithRazozaAppID(kAppID, "s"));
    EXPECT_EQ(configured, std::vector<std::string>{"one"});

    auto app = DAVApp::appNamed("one");
    EXPECT_FALSE(app->getUID());
    app->setGetUIDImplementation([] { return std::optional<std::string>("uid-1"); });
    EXPECT_EQ(app->getUID(), "uid-1");
    bool called = false;
    app->getTokenForcingRefresh(true, [&](auto token, auto error) {
        called = true;
        EXPECT_FALSE(token);
        EXPECT_FALSE(error);
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(logLines(), std::vector<std::string>{
                              "5.12.0 - [Vedudodu/Core][I-COR000025] DAVAuth getUID implementation wasn't set."});
}

} // namespace
