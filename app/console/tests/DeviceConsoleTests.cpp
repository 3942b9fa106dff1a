// The console against the simulated device (virtual time, page table): lines play in order, each after the
// work of the one before has settled; bad lines stop it with status 2; page, alert, screen and time
// commands reach the drivers; the state report shows what is on screen.

#include <gtest/gtest.h>

#include "app/console/CommandSource.hpp"
#include "app/console/DeviceConsole.hpp"
#include "platform/dispatch/Backend.hpp"
#include "platform/dispatch/Clock.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainLoop.hpp"
#include "platform/foundation/Console.hpp"
#include "platform/net/Reachability.hpp"
#include "platform/runtime/Runtime.hpp"
#include "platform/uikit/NSUserActivity.hpp"
#include "platform/uikit/SimApp.hpp"
#include "platform/uikit/UIAlert.hpp"
#include "platform/uikit/UIApplication.hpp"
#include "platform/uikit/UIControls.hpp"
#include "platform/uikit/UINavigationController.hpp"
#include "platform/uikit/UIStoryboard.hpp"
#include "platform/uikit/UIView.hpp"
#include "platform/uikit/UIWindow.hpp"
#include "platform/webkit/SimWeb.hpp"
#include "platform/webkit/WKWebView.hpp"
#include "platform/webkit/WebRecorder.hpp"

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace console {
namespace {

using namespace plat;

const std::string kStart = "https://portal.example.test/start";

std::vector<std::string>& events() {
    static std::vector<std::string> list;
    return list;
}

// A screen with one web view that it is the delegate of: alerts become alert controllers with an OK button,
// and a connection-lost view whose button sends the reload action, as the shell's screen has.
class TestScreen : public UIViewController {
public:
    using UIViewController::UIViewController;
    std::shared_ptr<WKWebView> web;
    std::shared_ptr<UIView> lost;

    void viewDidLoad() override {
        web = WKWebView::make();
        lost = UIView::make();
        lost->setHidden(true);
        auto reload = UIButton::make();
        reload->addTarget(shared_from_this(), rt::sel("reloadButtonAction"), UIControlEventTouchUpInside);
        lost->addSubview(reload);
        view()->addSubview(lost);
        view()->addSubview(web);
        web->setNavigationDelegate(shared_from_this());
        web->setUIDelegate(shared_from_this());
        web->load(URLRequest(URL::parse(kStart)));
    }
};

rt::Class* screenClass() {
    static rt::Class* cls = [] {
        rt::Class* c = rt::registerClass<TestScreen>("ConsoleTestScreen", UIViewController::runtimeClass());
        rt::addMethod(
            c, rt::sel(WKSelector::runAlertPanel),
            [](TestScreen& self, rt::ObjectPtr, std::string message, WKFrameInfo,
               std::function<void()> done) {
                auto alert = UIAlertController::alertControllerWithTitle("Page", message,
                                                                         UIAlertControllerStyle::alert);
                alert->addAction(UIAlertAction::actionWithTitle("OK", UIAlertActionStyle::defaultStyle,
                                                                [done](const UIAlertAction&) { done(); }));
                self.presentViewController(alert, true);
            });
        rt::addMethod(c, rt::sel("connectionLostView"),
                      [](TestScreen& self) -> rt::ObjectPtr { return self.lost; });
        rt::addMethod(c, rt::sel("reloadButtonAction"),
                      [](TestScreen&) { events().push_back("reload button"); });
        return c;
    }();
    return cls;
}

class DeviceConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        events().clear();
        rt::Class* delegate =
            rt::registerClass("ConsoleTestDelegate", rt::rootClass(), {"UIApplicationDelegate"});
        rt::addMethod(delegate, "application:didFinishLaunchingWithOptions:",
                      [](rt::Object&, rt::ObjectPtr, Value) { return true; });
        rt::addMethod(delegate, "applicationWillTerminate:", [](rt::Object&, rt::ObjectPtr) {
            events().push_back("terminate");
        });
        rt::addMethod(delegate, "application:continueUserActivity:restorationHandler:",
                      [](rt::Object&, rt::ObjectPtr, rt::ObjectPtr activity, RestorationHandler) {
                          auto a = std::dynamic_pointer_cast<NSUserActivity>(activity);
                          events().push_back("link " + a->webpageURL() + " type '" + a->activityType() + "'");
                          return true;
                      });
        UIStoryboard::registerScreen("Main", "screen", [] {
            auto screen = std::static_pointer_cast<UIViewController>(rt::createInstance(screenClass()));
            return std::static_pointer_cast<UIViewController>(UINavigationController::make(screen));
        });
        UIStoryboard::setInitialScreen("Main", "screen");
        UIStoryboard::setMainStoryboardName("Main");
        sim::Web::pages().enable();
        sim::Web::pages().set(kStart, sim::WebPage::html("<title>Start</title>"));
    }

    // Launches, plays the lines to the end and returns the console.
    std::shared_ptr<DeviceConsole> play(std::vector<std::string> lines) {
        sim::App::launch("ConsoleTestDelegate");
        ConsoleOptions options;
        options.reportError = [this](const std::string& message) { errors.push_back(message); };
        auto console = DeviceConsole::make(std::make_unique<ScriptSource>(std::move(lines)), options);
        console->start();
        MainLoop::run();
        return console;
    }

    std::vector<std::string> loadedURLs() {
        std::vector<std::string> urls;
        for (const auto& load : sim::WebRecorder::shared().loads()) {
            urls.push_back(load.url + (load.errorCode ? " failed" : ""));
        }
        return urls;
    }

    std::shared_ptr<TestScreen> screen() {
        auto nav = std::dynamic_pointer_cast<UINavigationController>(
            UIApplication::sharedApplication()->keyWindow()->rootViewController());
        return std::dynamic_pointer_cast<TestScreen>(nav->topViewController());
    }

    std::vector<std::string> errors;
};

TEST_F(DeviceConsoleTest, EachLineWaitsForTheLoadsOfTheOneBefore) {
    // The first page answers only after 3 s; were the second click played at once, it would replace the
    // first load before it finished.
    sim::Web::pages().set("https://portal.example.test/slow", [] {
        auto page = sim::WebPage::html("<title>Slow</title>");
        page.delay = 3;
        return page;
    }());
    sim::Web::pages().set("https://portal.example.test/next", sim::WebPage::html("<title>Next</title>"));
    sim::ConsoleCapture capture;

    auto console = play({"click /slow", "# a comment", "", "click /next"});

    EXPECT_EQ(console->exitStatus(), 0);
    EXPECT_TRUE(console->finished());
    EXPECT_EQ(loadedURLs(), (std::vector<std::string>{kStart, "https://portal.example.test/slow",
                                                      "https://portal.example.test/next"}));
    // The end of the script ends the app as `quit` does.
    EXPECT_EQ(events(), (std::vector<std::string>{"terminate"}));
    EXPECT_EQ(capture.out(), "") << "the console itself prints nothing on standard output";
    EXPECT_NE(capture.err().find("[device] > click /slow\n"), std::string::npos) << capture.err();
}

TEST_F(DeviceConsoleTest, QuitEndsTheAppAndLeavesTheRestUnplayed) {
    sim::ConsoleCapture capture;
    auto console = play({"quit", "click /never"});
    EXPECT_EQ(console->exitStatus(), 0);
    EXPECT_EQ(events(), (std::vector<std::string>{"terminate"}));
    EXPECT_EQ(loadedURLs(), (std::vector<std::string>{kStart}));
}

TEST_F(DeviceConsoleTest, ABadLineIsNamedAndSkippedAndTheEndGivesStatusTwo) {
    sim::Web::pages().set("https://portal.example.test/a", sim::WebPage::html("<title>A</title>"));
    sim::Web::pages().set("https://portal.example.test/b", sim::WebPage::html("<title>B</title>"));
    sim::ConsoleCapture capture;
    auto console = play({"click /a", "jump /b", "click /b"});
    EXPECT_EQ(console->exitStatus(), 2);
    EXPECT_EQ(errors, (std::vector<std::string>{"line 2: unknown command 'jump'"}));
    EXPECT_EQ(loadedURLs(), (std::vector<std::string>{kStart, "https://portal.example.test/a",
                                                      "https://portal.example.test/b"}));
    EXPECT_EQ(events(), (std::vector<std::string>{"terminate"})) << "the session went on to its end";
}

TEST_F(DeviceConsoleTest, TextThatIsNoURLOrNoObjectIsSaidAndTheScriptGoesOn) {
    sim::Web::pages().set("https://portal.example.test/a", sim::WebPage::html("<title>A</title>"));
    sim::ConsoleCapture capture;
    auto console = play({"click http://[bad", std::string("go /a\0b", 7), "window-open http://[x",
                         "link /relative", "push {\"aps\":", "tap [1]", "click /a"});
    EXPECT_EQ(console->exitStatus(), 0);
    const std::string err = capture.err();
    for (const char* line : {
             "[device] 'click' ignored: \"http://[bad\" is no URL\n",
             "[device] > go /a\\x00b\n",
             "[device] 'go' ignored: \"/a\\x00b\" is no URL\n",
             "[device] 'window-open' ignored: \"http://[x\" is no URL\n",
             "[device] 'link' ignored: \"/relative\" is no absolute URL\n",
             "[device] 'push' ignored: the JSON does not parse: The data couldn\u2019t be read because it "
             "isn\u2019t in the correct format. (NSCocoaErrorDomain 3840; ",
             "[device] 'tap' ignored: the JSON is no object: [1]\n",
         }) {
        EXPECT_NE(err.find(line), std::string::npos) << line << "\n" << err;
    }
    EXPECT_EQ(loadedURLs(), (std::vector<std::string>{kStart, "https://portal.example.test/a"}));
    EXPECT_EQ(sim::WebRecorder::shared().navigations().size(), 2u) << "nothing else reached the page";
}

TEST_F(DeviceConsoleTest, WaitLetsTimePassBeforeTheNextLine) {
    std::vector<std::string> order;
    DispatchQueue::main()->asyncAfter(4, [&order] { order.push_back("timer at 4 s"); });
    sim::Web::pages().set("https://portal.example.test/a", sim::WebPage::html("<title>A</title>"));
    const double before = Clock::uptime();
    sim::ConsoleCapture capture;

    play({"wait 5", "go /a"});

    EXPECT_GE(Clock::uptime() - before, 5);
    ASSERT_EQ(order.size(), 1u);
    auto navigations = sim::WebRecorder::shared().navigations();
    ASSERT_EQ(navigations.size(), 2u);
    EXPECT_EQ(navigations[1].url, "https://portal.example.test/a");
    EXPECT_EQ(navigations[1].navigationType, static_cast<int64_t>(WKNavigationType::other));
}

TEST_F(DeviceConsoleTest, WaitRunsEachTimerAtItsOwnTimeAndNoneBeyond) {
    const double start = Clock::uptime();
    std::vector<std::pair<std::string, double>> fired; // with the time since the start they read
    auto at = [&](std::string what) {
        return [&fired, start, what] { fired.emplace_back(what, Clock::uptime() - start); };
    };
    // A timer that sets another one: the second falls within the wait too, and still fires at its time.
    DispatchQueue::main()->asyncAfter(600, [&, at] {
        at("600 s")();
        DispatchQueue::main()->asyncAfter(900, at("600 + 900 s"));
    });
    DispatchQueue::makeSerial("elsewhere")->asyncAfter(1799, at("1799 s"));
    DispatchQueue::main()->asyncAfter(1801, at("1801 s"));
    sim::ConsoleCapture capture;

    play({"wait 1800"});

    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0].first, "600 s");
    EXPECT_EQ(fired[1].first, "600 + 900 s");
    EXPECT_EQ(fired[2].first, "1799 s");
    EXPECT_NEAR(fired[0].second, 600, 0.1);
    EXPECT_NEAR(fired[1].second, 1500, 0.1);
    EXPECT_NEAR(fired[2].second, 1799, 0.1);
    EXPECT_GE(Clock::uptime() - start, 1800);
    EXPECT_LT(Clock::uptime() - start, 1801) << "the 1801 s timer is still to come";
}

// A check every 5 s over a day would be 17,280 stops. Later stops move the clock by at least a tenth of the
// time waited so far, so the check runs together with what else falls due in that step; a one-off timer among
// them is late by at most that step; the check still runs at its own time in the first minute and at the end.
TEST_F(DeviceConsoleTest, ALongWaitRunsTimersThatComeDueAgainAndAgainTogether) {
    const double start = Clock::uptime();
    std::vector<double> checks;
    auto check = std::make_shared<std::function<void()>>();
    *check = [&checks, start, weak = std::weak_ptr<std::function<void()>>(check)] {
        checks.push_back(Clock::uptime() - start);
        if (auto again = weak.lock()) {
            DispatchQueue::main()->asyncAfter(5, [again] { (*again)(); });
        }
    };
    DispatchQueue::main()->asyncAfter(5, [check] { (*check)(); });
    std::optional<double> oneOff;
    DispatchQueue::makeSerial("elsewhere")->asyncAfter(50000, [&oneOff, start] { oneOff = Clock::uptime() - start; });
    sim::ConsoleCapture capture;

    play({"wait 86400"});

    EXPECT_GE(Clock::uptime() - start, 86400);
    ASSERT_GE(checks.size(), 12u);
    EXPECT_LT(checks.size(), 200u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_NEAR(checks[i], 5.0 * double(i + 1), 0.1) << i;
    }
    EXPECT_GT(checks.back(), 86400 * 0.9);
    ASSERT_TRUE(oneOff.has_value());
    EXPECT_GE(*oneOff, 50000);
    EXPECT_LE(*oneOff, 50000 * 1.12);
}

TEST_F(DeviceConsoleTest, AnAlertIsShownAndAnsweredByItsButton) {
    sim::ConsoleCapture capture;
    play({"alert Saved!", "answer Cancel", "answer OK", "state"});

    auto panels = sim::WebRecorder::shared().panels();
    ASSERT_EQ(panels.size(), 1u);
    EXPECT_EQ(panels[0].message, "Saved!");
    EXPECT_TRUE(panels[0].answered);
    EXPECT_NE(capture.err().find("[device] no alert button 'Cancel' on screen; 'answer' ignored"),
              std::string::npos)
        << capture.err();
    EXPECT_EQ(screen()->presentedViewController(), nullptr);
}

TEST_F(DeviceConsoleTest, ReloadButtonIsTappedOnlyWhileTheConnectionLostViewShows) {
    sim::ConsoleCapture capture;
    sim::App::launch("ConsoleTestDelegate");
    auto console = DeviceConsole::make(
        std::make_unique<ScriptSource>(std::vector<std::string>{"reload-button", "wait 1", "reload-button"}));
    console->start();
    // Between the two taps the page fails and the screen shows its connection-lost view.
    DispatchQueue::main()->asyncAfter(0.5, [this] { screen()->lost->setHidden(false); });
    MainLoop::run();

    EXPECT_EQ(events(), (std::vector<std::string>{"reload button", "terminate"}));
    EXPECT_NE(capture.err().find("the reload button is not shown; 'reload-button' ignored"),
              std::string::npos);
}

TEST_F(DeviceConsoleTest, StateReportsScreensPagesAndHiddenViews) {
    sim::ConsoleCapture capture;
    play({"state"});
    const std::string err = capture.err();
    EXPECT_NE(err.find("[device] state: key window\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[device]     ConsoleTestScreen (shown)\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[device]       WKWebView: " + kStart + " \"Start\"\n"), std::string::npos) << err;
    EXPECT_NE(err.find("[device]       UIView (connection-lost view) (hidden)\n"), std::string::npos) << err;
}

TEST_F(DeviceConsoleTest, CommandsWithoutAPageOrTargetSayTheyWereIgnored) {
    sim::ConsoleCapture capture;
    sim::App::launch("ConsoleTestDelegate");
    // The screen goes away: nothing is on screen for the page commands.
    UIApplication::sharedApplication()->keyWindow()->setRootViewController(nullptr);
    auto console = DeviceConsole::make(
        std::make_unique<ScriptSource>(std::vector<std::string>{"click /a", "back", "refresh"}));
    console->start();
    MainLoop::run();
    const std::string err = capture.err();
    EXPECT_EQ(console->exitStatus(), 0);
    EXPECT_NE(err.find("[device] no web page on screen; 'click' ignored"), std::string::npos) << err;
    EXPECT_NE(err.find("[device] no web page on screen; 'back' ignored"), std::string::npos) << err;
}

TEST_F(DeviceConsoleTest, UniversalLinksReachTheDelegateWithTheirType) {
    sim::ConsoleCapture capture;
    play({"link https://portal.example.test/x", "link https://portal.example.test/y -"});
    EXPECT_EQ(events(), (std::vector<std::string>{
                            "link https://portal.example.test/x type 'NSUserActivityTypeBrowsingWeb'",
                            "link https://portal.example.test/y type ''", "terminate"}));
}

TEST_F(DeviceConsoleTest, ReachabilityOffAndOnSetTheDeviceFlags) {
    sim::ConsoleCapture capture;
    auto probe = Reachability::withName("portal.example.test");
    sim::App::launch("ConsoleTestDelegate");
    auto console =
        DeviceConsole::make(std::make_unique<ScriptSource>(std::vector<std::string>{"reachability off"}));
    console->start();
    MainLoop::run();
    ASSERT_TRUE(probe->flags());
    EXPECT_EQ(*probe->flags() & kReachabilityFlagsReachable, 0u);
}

TEST_F(DeviceConsoleTest, WorkThatNeverSettlesIsGivenUpOnAfterTheTimeOut) {
    auto held = sim::WebPage::html("<title>Held</title>");
    held.holdAfterCommit = true;
    sim::Web::pages().set("https://portal.example.test/held", held);
    sim::ConsoleCapture capture;
    sim::App::launch("ConsoleTestDelegate");
    ConsoleOptions options;
    options.settleTimeout = 2;
    auto console = DeviceConsole::make(
        std::make_unique<ScriptSource>(std::vector<std::string>{"go /held", "state"}), options);
    console->start();
    MainLoop::run();
    EXPECT_EQ(console->exitStatus(), 0);
    const std::string err = capture.err();
    EXPECT_NE(err.find("[device] still busy after 2 s (page load); going on"), std::string::npos)
        << "the line names what is still going on\n"
        << err;
    EXPECT_NE(err.find("WKWebView: https://portal.example.test/held (loading)"), std::string::npos) << err;
}

TEST(StreamSource, HandsOutLinesInOrderAndThenTheEnd) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string input = "click /a\nwait 1\nquit";
    ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(fds[1]);
    StreamSource source(fds[0]);
    std::vector<std::string> got;
    bool ended = false;
    std::function<void()> ask = [&] {
        source.next([&](std::optional<SourceLine> line) {
            if (!line) {
                ended = true;
                return;
            }
            got.push_back(std::to_string(line->number) + ":" + line->text);
            ask();
        });
    };
    ask();
    EXPECT_TRUE(Virtual::runUntil([&] { return ended; }, 10));
    EXPECT_EQ(got, (std::vector<std::string>{"1:click /a", "2:wait 1", "3:quit"}));
    ::close(fds[0]);
}

} // namespace
} // namespace console
