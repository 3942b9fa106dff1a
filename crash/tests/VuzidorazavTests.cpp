// The crash reporter's kit class as the kit host finds and starts it, its public methods, the translation of
// the controller's questions into the application's delegate, and web-view error monitoring.

#include "crash/Vuzidorazav.hpp"

#include "crash/capture/VZRUserLogging.hpp"

#include "kit_host/Zuvadu.hpp"

#include "platform/device/Boot.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Thread.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/foundation/ProcessInfo.hpp"
#include "platform/runtime/Messaging.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/webkit/UIWebView.hpp"
#include "platform/webkit/WebKitClasses.hpp"
#include "testing/FixtureBundle.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace rt = plat::rt;
namespace fs = std::filesystem;

TEST(Vuzidorazav, IsAKitClassFoundByName) {
    rt::Class* kit = Vuzidorazav::runtimeClass();
    EXPECT_EQ(rt::getClass("Vuzidorazav"), kit);
    EXPECT_TRUE(rt::conformsTo(kit, "ZUVKit"));
    EXPECT_EQ(rt::msgSend<std::string>(*kit, "bundleIdentifier"), "com.ruzovid.vuzidorazav.ios");
    EXPECT_EQ(rt::msgSend<std::string>(*kit, "kitDisplayVersion"), "3.11.0");
    EXPECT_EQ(rt::msgSend<std::string>(*kit, "kitBuildVersion"), "133");
    EXPECT_EQ(rt::msgSend<rt::ObjectPtr>(*kit, "sharedInstance"), Vuzidorazav::sharedInstance());
    EXPECT_EQ(Vuzidorazav::allocInit(), Vuzidorazav::sharedInstance());
}

std::string kitHex(const std::string& text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A booted device with a launched app, the debugger flag on (so the test process keeps its own fault
// handlers) and a fresh kit object started on it.
class VuzidorazavKitTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat::sim::Process::setArguments({"portal-app", "-DAVDebugEnabled"});
        plat::DeviceConfig config;
        config.appHome = home.home();
        config.bundlePath = bundle.path();
        config.debuggerAttached = true;
        ASSERT_TRUE(plat::boot(config).ok());
        if (!rt::getClass("KitTestAppDelegate"))
            rt::registerClass("KitTestAppDelegate");
        ASSERT_TRUE(plat::sim::App::launch("KitTestAppDelegate"));
        plat::Virtual::runUntilIdle();
        kit = rt::make<Vuzidorazav>(Vuzidorazav::runtimeClass());
        files = std::make_shared<VZRFileManager>();
    }
    void startKit() {
        kit->start();
        drain();
    }
    void drain() {
        for (int i = 0; i < 4; ++i) {
            plat::Virtual::runUntilIdle();
            if (auto controller = kit->crashReportingController())
                controller->operationQueue()->waitUntilAllOperationsAreFinished();
        }
    }
    std::string currentReport() const { return files->activePath() + "/" + Zuvadu::sharedSDK().executionIdentifier(); }
    // Every record file of the current report, as one text.
    std::string currentRecords() const {
        std::string all;
        for (const auto& entry : fs::directory_iterator(currentReport())) {
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            all += text.str();
        }
        return all;
    }
    std::string earlierReport(const std::string& id) {
        const std::string dir = files->activePath() + "/" + id;
        fs::create_directories(dir);
        std::ofstream(dir + "/metadata.vzrrecord") << "{\"identity\":{\"session_id\":\"" << id
                                                   << "\",\"started_at\":1700000000}}\n";
        std::ofstream(dir + "/signal.vzrrecord") << "{\"signal\":{\"number\":11,\"time\":1700000100}}\n";
        return dir;
    }

    plat::test::TempAppHome home;
    plat::test::FixtureBundle bundle{
        home.root() + "/App.app",
        plat::Dictionary{{"CFBundleIdentifier", plat::Value("com.example.portal")},
                         {"Zuvadu", plat::Value(plat::Dictionary{
                                        {"APIKey", plat::Value("0123456789abcdef0123456789abcdef01234567")}})}}};
    std::shared_ptr<Vuzidorazav> kit;
    std::shared_ptr<VZRFileManager> files;
    plat::sim::ConsoleCapture console;
};

TEST_F(VuzidorazavKitTest, StartRunsCrashReportingOnceAndSaysWhereItRuns) {
    startKit();
    kit->start();
    EXPECT_TRUE(kit->isVuzidorazavStarted());
    EXPECT_FALSE(kit->betaController()); // not signed for distribution
    const std::string printed = console.nslog();
    EXPECT_NE(printed.find("[Vuzidorazav] Version 3.11.0 (133)"), std::string::npos);
    EXPECT_EQ(printed.find("[Vuzidorazav] Version 3.11.0 (133)"), printed.rfind("[Vuzidorazav] Version"));
    EXPECT_NE(printed.find("[Vuzidorazav] Running on "), std::string::npos);
    EXPECT_TRUE(fs::exists(currentReport() + "/metadata.vzrrecord"));
}

TEST_F(VuzidorazavKitTest, KeysAndWriteOnlyProperties) {
    startKit();
    kit->setIntValue(5, "int");
    kit->setObjectValue(plat::Value(int64_t{5}), "object");
    kit->setBoolValue(true, "bool");
    const auto keys = VZRUserLoggingGetCompactedKVEntries(VZRUserLoggingUserStore(), true);
    ASSERT_TRUE(keys.find("int") && keys.find("object"));
    EXPECT_EQ(keys.find("int")->description(), keys.find("object")->description());
    EXPECT_EQ(keys.find("int")->description(), "5");
    kit->setUserIdentifier("u-1");
    const auto internal = VZRUserLoggingGetCompactedKVEntries(VZRUserLoggingInternalStore(), true);
    ASSERT_TRUE(internal.find("com.vuzidorazav.user-id"));
    EXPECT_EQ(internal.find("com.vuzidorazav.user-id")->description(), "u-1");
    kit->setDevelopmentPlatformName("Unity");
    EXPECT_FALSE(kit->developmentPlatformName());
    EXPECT_FALSE(kit->developmentPlatformVersion());
    EXPECT_NE(console.nslog().find("[Vuzidorazav] developmentPlatformName is write-only"), std::string::npos);
    EXPECT_NE(console.nslog().find("[Vuzidorazav] developmentPlatformVersion is write-only"), std::string::npos);
}

TEST_F(VuzidorazavKitTest, DebugModeFollowsItsArgument) {
    // Asking for "off" must not turn debug mode (and with it the uploads' certificate pinning) the wrong way.
    kit->setDebugMode(false);
    EXPECT_FALSE(kit->debugMode());
    EXPECT_FALSE(Zuvadu::sharedSDK().debug());
    kit->setDebugMode(true);
    EXPECT_TRUE(kit->debugMode());
    startKit();
    kit->setDebugMode(true);
    EXPECT_NE(console.nslog().find("[Vuzidorazav] Warning, consider enabling debug mode before starting Vuzidorazav"),
              std::string::npos);
}

TEST_F(VuzidorazavKitTest, StartWithAPIKeyAfterTheCoreConfiguredTheHostStartsNothing) {
    Zuvadu::sharedSDK().setInstallationMode(Zuvadu::kInstallationModeVedudodu);
    Vuzidorazav::startWithAPIKey("0123456789abcdef0123456789abcdef01234567");
    EXPECT_NE(console.nslog().find("[Vuzidorazav] Warning, calling startWithAPIKey:... after [DAVApp configure] or "
                                   "VedudoduApp.configure() is not supported"),
              std::string::npos);
    EXPECT_EQ(Zuvadu::sharedSDK().installationMode(), Zuvadu::kInstallationModeKitHost);
    EXPECT_FALSE(Vuzidorazav::sharedInstance()->hasStarted());
}

// A delegate made of the selectors a test gives it, recording the calls in order with the thread they came on.
struct KitDelegateCalls {
    std::vector<std::string> calls;
    std::vector<bool> onMain;
    std::shared_ptr<VZRReport> report;
    void add(std::string call) {
        calls.push_back(std::move(call));
        onMain.push_back(plat::Thread::isMainThread());
    }
};

TEST_F(VuzidorazavKitTest, ADelegateWithOnlyTheReportNoticeGetsItAndEveryReportIsSubmitted) {
    static KitDelegateCalls seen;
    seen = {};
    rt::Class* cls = rt::getClass("ReportNoticeDelegate");
    if (!cls) {
        cls = rt::registerClass("ReportNoticeDelegate");
        rt::addMethod(cls, "vuzidorazavDidDetectReportForLastExecution:", [](rt::Object&, std::shared_ptr<VZRReport> r) {
            seen.add("notice " + r->identifier());
            seen.report = r;
        });
    }
    kit->setDelegate(rt::createInstance(cls));
    ASSERT_TRUE(files->prepareForNewLaunch());
    const std::string dir = earlierReport("A");
    startKit();
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"notice A"}));
    EXPECT_EQ(seen.onMain, (std::vector<bool>{true}));
    ASSERT_TRUE(seen.report);
    ASSERT_TRUE(seen.report->crashedOnDate());
    EXPECT_EQ(seen.report->crashedOnDate()->timeIntervalSince1970(), 1700000100);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_FALSE(files->preparedPathContents().empty());
}

TEST_F(VuzidorazavKitTest, OlderSelectorsFollowTheCompletionCallInOrder) {
    static KitDelegateCalls seen;
    seen = {};
    rt::Class* cls = rt::getClass("OlderFormsDelegate");
    if (!cls) {
        cls = rt::registerClass("OlderFormsDelegate");
        rt::addMethod(cls, "vuzidorazavDidDetectReportForLastExecution:completionHandler:",
                      [](rt::Object&, std::shared_ptr<VZRReport> r, std::function<void(bool)> done) {
                          seen.add("completion " + r->identifier());
                          done(false);
                      });
        rt::addMethod(cls, "vuzidorazav:didDetectCrashDuringPreviousExecution:",
                      [](rt::Object&, rt::ObjectPtr, std::shared_ptr<VZRReport> r) { seen.add("older " + r->identifier()); });
        rt::addMethod(cls, "vuzidorazavDidDetectCrashDuringPreviousExecution:",
                      [](rt::Object&, rt::ObjectPtr) { seen.add("oldest"); });
    }
    kit->setDelegate(rt::createInstance(cls));
    ASSERT_TRUE(files->prepareForNewLaunch());
    const std::string dir = earlierReport("A");
    startKit();
    EXPECT_EQ(seen.calls, (std::vector<std::string>{"completion A", "older A", "oldest"}));
    EXPECT_FALSE(fs::exists(dir)); // the delegate said no
    EXPECT_TRUE(files->preparedPathContents().empty());
    EXPECT_NE(console.nslog().find("implements deprecated methods.  Please see Vuzidorazav.h for details."),
              std::string::npos);
}

TEST_F(VuzidorazavKitTest, ADelegateThatAnswersNothingGetsTheDefaults) {
    kit->setDelegate(rt::createInstance(rt::rootClass()));
    ASSERT_TRUE(files->prepareForNewLaunch());
    const std::string dir = earlierReport("A");
    startKit();
    EXPECT_FALSE(kit->shouldInstallCrashCallback());
    EXPECT_FALSE(kit->reportingControllerEnsureDeliveryOfUnixSignal(*kit->crashReportingController(), SIGSEGV));
    EXPECT_TRUE(kit->reportingControllerCanUseBackgroundSessions(*kit->crashReportingController()));
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_FALSE(files->preparedPathContents().empty());
}

TEST_F(VuzidorazavKitTest, WebViewErrorsBecomeExceptionRecords) {
    startKit();
    plat::webkitClasses();
    auto view = plat::UIWebView::make();
    view->engine()->setScriptAnswer("typeof vuzidorazavOnError", plat::Value("undefined"));
    view->engine()->setScriptAnswer(Vuzidorazav::webViewScriptForUIWebView(), plat::Value("loaded"));
    kit->monitorErrorsForUIWebView(view);
    EXPECT_EQ(console.nslog().find("Unable to monitor UIWebView"), std::string::npos);
    // The page was monitored before: the function is defined, nothing is injected twice.
    view->engine()->setScriptAnswer("typeof vuzidorazavOnError", plat::Value("function"));
    kit->monitorErrorsForUIWebView(view);
    EXPECT_NE(console.nslog().find("[Vuzidorazav] Unable to monitor UIWebView (0x"), std::string::npos);

    struct Case {
        const char* url;
        bool handled;
        const char* recorded; // none: nothing new recorded
    };
    const Case cases[] = {
        {"vuzidorazav://exception/uiwebkit?msg=a%20b&url=u&line=3", true, "a%20b"},
        {"vuzidorazav://exception/uiwebkit?junk&msg=first&msg=second&x=1=2", true, "second"},
        {"vuzidorazav://exception/uiwebkit?url=only", true, nullptr},
        {"https://www.example.test/?msg=other", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string before = currentRecords();
        EXPECT_EQ(kit->handleWebViewShouldStartLoadWithRequest(view, plat::URLRequest(*plat::URL::parse(c.url)), 0),
                  c.handled);
        const std::string after = currentRecords();
        if (c.recorded)
            EXPECT_NE(after.find(kitHex(c.recorded)), std::string::npos);
        else
            EXPECT_EQ(after, before);
    }

    plat::WKWebViewConfiguration configuration;
    kit->monitorErrorsForWKWebViewConfiguration(configuration);
    ASSERT_EQ(configuration.userContentController->userScripts().size(), 1u);
    const plat::WKUserScript& script = configuration.userContentController->userScripts()[0];
    EXPECT_EQ(script.source, Vuzidorazav::webViewScriptForWKWebView());
    EXPECT_EQ(script.injectionTime, plat::WKUserScriptInjectionTime::atDocumentEnd);
    EXPECT_TRUE(script.forMainFrameOnly);
    EXPECT_TRUE(configuration.userContentController->deliver(
        {"vuzidorazav", plat::Value(plat::Dictionary{{"msg", plat::Value("wk failure")}}), std::nullopt}));
    EXPECT_NE(currentRecords().find(kitHex("wk failure")), std::string::npos);
    const std::string before = currentRecords();
    configuration.userContentController->deliver({"vuzidorazav", plat::Value("just text"), std::nullopt});
    EXPECT_EQ(currentRecords(), before);
    EXPECT_NE(console.nslog().find("[Vuzidorazav] Unable to record exception from WKWebView"), std::string::npos);
}

} // namespace
